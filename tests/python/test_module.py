import _quorin


def test_module_imports_from_the_installed_package():
    assert _quorin.__doc__ == "Python module entry point."
    assert "site-packages" in _quorin.__file__ or "dist-packages" in _quorin.__file__

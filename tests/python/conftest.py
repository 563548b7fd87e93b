import importlib.machinery
import os
import importlib.util
import pathlib

import pytest

import _quorin

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _load_hooks():
    # The hook module lives only in the build tree (or where
    # QUORIN_TESTHOOKS points); it is loaded by file so that the build
    # tree's own copy of _quorin can never shadow the installed one.
    override = os.environ.get("QUORIN_TESTHOOKS")
    paths = [pathlib.Path(override)] if override else sorted(
        (ROOT / "build" / "src" / "python").glob("_quorin_testhooks*.so"))
    for path in paths:
        if path.is_file():
            loader = importlib.machinery.ExtensionFileLoader("_quorin_testhooks", str(path))
            spec = importlib.util.spec_from_file_location("_quorin_testhooks", path, loader=loader)
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
            return module
    return None


_HOOKS = _load_hooks()


@pytest.fixture(scope="session")
def hooks():
    if _HOOKS is None:
        pytest.skip("binding test hooks not built (build/src/python)")
    return _HOOKS


@pytest.fixture
def unit_box():
    return _quorin.BoundingBox([0, 0, 0], [1, 1, 1])


@pytest.fixture
def forest(unit_box):
    return _quorin.Forest(unit_box, [1, 1, 1])


def panic_type():
    """The PanicException class, caught from a call that raises it."""
    try:
        _quorin.Forest(_quorin.BoundingBox([1, 0, 0], [0, 1, 1]), [1, 1, 1])
    except BaseException as e:  # noqa: BLE001 - the point is what it derives from
        return type(e)
    raise AssertionError("an inverted box was accepted")


assert "site-packages" in _quorin.__file__ or "dist-packages" in _quorin.__file__, (
    f"tests must run against the installed module, not {_quorin.__file__}"
)

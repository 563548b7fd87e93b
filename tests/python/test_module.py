"""Module entry, class registration, class properties, docs and PanicException."""

import inspect
import signal
import subprocess
import sys
import weakref

import pytest

import _quorin
from conftest import panic_type


def test_module_imports_from_the_installed_package():
    assert _quorin.__doc__ == "Python module entry point."
    assert "site-packages" in _quorin.__file__ or "dist-packages" in _quorin.__file__


def test_all_lists_the_published_names_in_registration_order():
    assert _quorin.__all__ == [
        "BoundingBox", "CfdGhostCellMesh", "ApIbmFaceData", "CfdAxisProjectedMesh",
        "ApibmSession", "QuorinManager", "Forest", "_quaternion_from_axis_angle",
    ]
    for name in _quorin.__all__:
        assert hasattr(_quorin, name)


def test_import_runs_no_numpy_and_a_fresh_module_object_reuses_the_classes():
    code = (
        "import sys, importlib, _quorin\n"
        "assert 'numpy' not in sys.modules, 'numpy imported at module import'\n"
        "forest_cls, fn = _quorin.Forest, _quorin._quaternion_from_axis_angle\n"
        "del sys.modules['_quorin']\n"
        "again = importlib.import_module('_quorin')\n"
        "assert again is not _quorin\n"
        "assert again.Forest is forest_cls\n"
        "assert again._quaternion_from_axis_angle is not fn\n"
        "assert again.__all__ == _quorin.__all__\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


ALL_CLASSES = [
    _quorin.BoundingBox, _quorin.CfdGhostCellMesh, _quorin.ApIbmFaceData,
    _quorin.CfdAxisProjectedMesh, _quorin.ApibmSession, _quorin.QuorinManager, _quorin.Forest,
]


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_classes_report_builtins_module_and_plain_qualname(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"


@pytest.mark.parametrize("cls", ALL_CLASSES)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_have_no_dict_no_weakref_and_read_only_attributes(unit_box, forest):
    for obj in (unit_box, forest):
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(obj)
    with pytest.raises(AttributeError):
        unit_box.min = [0, 0, 0]
    with pytest.raises(AttributeError):
        del unit_box.max
    assert unit_box.min == [0.0, 0.0, 0.0]


CLASS_DOCS = [
    (_quorin.BoundingBox, "(min, max)", "Physical simulation domain bounds."),
    (_quorin.Forest, "(bbox, base_res)", "Use case 2: `Forest` wrapper for manual AMR control."),
    (_quorin.QuorinManager, "(bbox, base_res, n_leaf_refinement=3)",
     "Use case 1: one-stop manager for generating IBM mesh data."),
]

# Classes whose instances only the module's operations make.
SEALED_CLASSES = [
    (_quorin.CfdGhostCellMesh, "SoA mesh layout for GCIBM."),
    (_quorin.CfdAxisProjectedMesh,
     "SoA mesh layout for APIBM (Axis-Projected Immersed Boundary Method)."),
    (_quorin.ApibmSession,
     "Stateful APIBM session retaining forest + IBM geometry for `update_ib` / `remesh`."),
    (_quorin.ApIbmFaceData, "\n".join([
        "Compressed APIBM immersed-boundary face payload.",
        "",
        "`is_immersed_face` has shape `(N_internal_faces,)`; all other arrays have",
        "shape `(N_immersed,)`, in the order of its true entries. Distances are",
        "physical cell-center-to-boundary distances, including zero. Boolean",
        "near-boundary flags mark Dirichlet-constraint candidates when",
        "`d / delta_x <= delta_x / L`, using each side's cell width along the face",
        "axis and the largest computational-domain extent `L`. The solver must",
        "apply any constraints; the flags leave the distances unchanged.",
    ])),
]


@pytest.mark.parametrize("cls, doc", SEALED_CLASSES)
def test_result_and_session_classes_have_plain_docs_and_refuse_construction(cls, doc):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ is None
    for args, kwargs in [((), {}), ((1,), {"x": 2})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"cannot create 'builtins.{cls.__name__}' instances"


@pytest.mark.parametrize("cls, signature, doc", CLASS_DOCS)
def test_class_docs_and_signatures(cls, signature, doc):
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature


FOREST_METHODS = [
    ("num_cells", "()", None),
    ("refine_by_flags", "(flags)", "Batch-refines cells where the corresponding flag is `true`."),
    ("coarsen_by_flags", "(flags)",
     "Batch-coarsens sibling cells where the corresponding flag is `true`."),
    ("refine_by_bbox", "(min, max, target_level)",
     "Refines cells whose AABB overlaps `[min, max]` until `target_level` "
     "(refinementRegions-style)."),
    ("enforce_2_to_1_balance", "()", "Enforces the 2:1 neighbour-balance constraint."),
    ("uniform_refinement", "(n_times)",
     "Uniformly refines all cells by the specified number of times."),
]


def test_forest_methods_in_table_order():
    names = [n for n in vars(_quorin.Forest) if not n.startswith("__")]
    assert names == [m[0] for m in FOREST_METHODS]


@pytest.mark.parametrize("name, signature, doc", FOREST_METHODS)
def test_forest_method_docs_and_signatures(forest, name, signature, doc):
    method = getattr(_quorin.Forest, name)
    assert method.__doc__ == doc
    assert method.__text_signature__ == "($self" + (", " + signature[1:] if signature != "()" else ")")
    assert str(inspect.signature(getattr(forest, name))) == signature


def test_bounding_box_attributes_in_order_without_docs():
    names = [n for n in vars(_quorin.BoundingBox) if not n.startswith("__")]
    assert names == ["min", "max"]
    assert _quorin.BoundingBox.min.__doc__ is None


def test_module_function_is_bound_to_the_module_with_doc_and_signature():
    fn = _quorin._quaternion_from_axis_angle
    assert fn.__module__ == "_quorin"
    assert fn.__self__ is _quorin
    assert fn.__name__ == "_quaternion_from_axis_angle"
    assert fn.__doc__ == (
        "Builds a unit quaternion `[w, x, y, z]` from an axis-angle rotation.\n\n"
        "`axis` is a 3-vector (normalized internally). `angle` is in radians."
    )
    assert str(inspect.signature(fn)) == "(axis, angle)"


def test_no_argument_methods_are_refused_arguments_by_the_interpreter(forest):
    with pytest.raises(TypeError, match="takes no arguments"):
        forest.num_cells(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        forest.enforce_2_to_1_balance(x=1)
    assert forest.num_cells() == 1


def test_panic_exception_derives_from_base_exception_only():
    panic = panic_type()
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__qualname__ == "PanicException"
    assert panic.__mro__[1:] == (BaseException, object)
    assert panic.__doc__
    assert not hasattr(_quorin, "PanicException")
    assert panic_type() is panic  # made once per process


def test_panic_exception_escapes_except_exception(unit_box):
    bad = _quorin.BoundingBox([1, 0, 0], [0, 1, 1])
    caught = None
    try:
        try:
            _quorin.Forest(bad, [1, 1, 1])
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    except BaseException as e:  # noqa: BLE001
        caught = e
    assert type(caught).__name__ == "PanicException"
    assert caught.args == ("Invalid BoundingBox bounds",)
    assert str(caught) == "Invalid BoundingBox bounds"


def test_refusing_constructor_names_module_and_class(hooks):
    with pytest.raises(TypeError) as info:
        hooks.Sealed()
    assert str(info.value) == "cannot create 'builtins.Sealed' instances"
    with pytest.raises(TypeError, match="^cannot create 'builtins.Sealed' instances$"):
        hooks.Sealed(1, key=2)
    # Instances exist only through the module's own operations.
    sealed = hooks.make_sealed(3)
    assert type(sealed) is hooks.Sealed
    assert sealed.size == 3


def test_internal_error_becomes_panic_and_leaves_nothing_pending(hooks):
    with pytest.raises(BaseException) as info:
        hooks.panic()
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("test hook stopped",)
    # The interpreter is in a clean state afterwards.
    assert hooks.angle(1) == 1.0


def test_failure_during_release_aborts_the_process(hooks):
    code = (
        "import importlib.machinery, importlib.util\n"
        f"loader = importlib.machinery.ExtensionFileLoader('_quorin_testhooks', {hooks.__file__!r})\n"
        "spec = importlib.util.spec_from_loader('_quorin_testhooks', loader)\n"
        "m = importlib.util.module_from_spec(spec); loader.exec_module(m)\n"
        "m.release_failure()\n"
        "print('carried on')\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == -signal.SIGABRT
    assert "uncaught panic at ffi boundary" in proc.stderr
    assert "carried on" not in proc.stdout

"""The result classes and the conversion of mesh records into NumPy arrays."""

import gc
import os
import subprocess
import sys

import numpy as np
import pytest

from _quorin import ApIbmFaceData, BoundingBox, CfdAxisProjectedMesh, CfdGhostCellMesh, QuorinManager
from surfaces import cube_stl
from test_manager import AP_MESH_NAMES, AP_NAMES, GHOST_NAMES

SEED = [0.05, 0.05, 0.05]


@pytest.fixture(scope="module")
def cube(tmp_path_factory):
    return cube_stl(tmp_path_factory.mktemp("surface"))


@pytest.fixture
def manager():
    return QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [2, 2, 2], 1)


@pytest.fixture
def ghost(manager, cube):
    return manager.build_ghost_cell_mesh(cube, 3, SEED)


@pytest.fixture
def axis(manager, cube):
    return manager.build_axis_projected_mesh(cube, 3)


@pytest.fixture
def empty_ghost():
    # One cell and no surface: no internal faces and no ghost cells.
    return QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [1, 1, 1], 0).build_ghost_cell_mesh(
        None, 0, [0.5, 0.5, 0.5])


@pytest.fixture
def empty_axis():
    # One internal face, none immersed: the per-immersed-face arrays are empty.
    return QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [2, 1, 1], 0).build_axis_projected_mesh(
        None, 0)


def arrays_of(mesh):
    if isinstance(mesh, CfdGhostCellMesh):
        return {n: getattr(mesh, n) for n in GHOST_NAMES}
    out = {n: getattr(mesh, n) for n in AP_MESH_NAMES}
    out.update({"ap." + n: getattr(mesh.ap, n) for n in AP_NAMES})
    return out


@pytest.mark.parametrize("which", ["ghost", "axis", "empty_ghost", "empty_axis"])
def test_array_flags_and_buffers(request, which):
    mesh = request.getfixturevalue(which)
    for name, arr in arrays_of(mesh).items():
        assert type(arr) is np.ndarray, name
        assert arr.flags.writeable and arr.flags.c_contiguous and arr.flags.aligned, name
        assert not arr.flags.owndata, name
        if arr.ndim == 1:
            # Made on the record's own buffer, held by a non-array owner.
            assert arr.strides == (arr.itemsize,), name
            assert not isinstance(arr.base, np.ndarray), name
        else:
            # A view of a flat array holding the rows one after another.
            flat = arr.base
            assert isinstance(flat, np.ndarray) and flat.ndim == 1, name
            assert flat.size == arr.size and not isinstance(flat.base, np.ndarray), name
            np.testing.assert_array_equal(flat.reshape(arr.shape), arr)


def test_empty_arrays_of_every_kind_are_on_their_own_buffer(empty_ghost, empty_axis):
    assert not empty_axis.ap.dist_owner_to_bnd.flags.owndata
    empty = {name: arr for mesh in (empty_ghost, empty_axis)
             for name, arr in arrays_of(mesh).items() if arr.size == 0}
    kinds = {(arr.dtype, arr.ndim) for arr in empty.values()}
    assert kinds >= {(np.dtype(np.bool_), 1), (np.dtype(np.uint8), 1), (np.dtype(np.uint64), 1),
                     (np.dtype(np.float64), 1), (np.dtype(np.float64), 2), (np.dtype(np.uint64), 2)}
    for name, arr in empty.items():
        assert not arr.flags.owndata, name
        base = arr.base if arr.ndim == 1 else arr.base.base
        assert base is not None and not isinstance(base, np.ndarray), name
        # Still ordinary arrays: written, reshaped, joined, copied.
        arr[...] = 1
        assert arr.reshape(-1).shape == (0,), name
        assert np.concatenate([arr.reshape(-1), np.ones(2, arr.dtype)]).tolist() == [1, 1], name
        assert arr.copy().flags.owndata, name
    assert empty_ghost.gc_interp_stencil_indices.shape == (0, 8)
    assert empty_ghost.gc_image_points.shape == (0, 3)


def test_dtype_numbers(ghost):
    assert ghost.gc_interp_stencil_indices.dtype == np.uint64
    assert ghost.gc_interp_stencil_indices.dtype.num == 8
    assert ghost.internal_faces_axis.dtype == np.uint8
    assert ghost.gc_is_fluid.dtype == np.bool_
    assert ghost.cell_centers.dtype == np.float64
    # Bools are 0 or 1 bytes, as NumPy itself stores them.
    raw = ghost.gc_is_fluid.view(np.uint8)
    assert set(np.unique(raw)) <= {0, 1}


@pytest.mark.parametrize("which", ["ghost", "axis"])
def test_reads_hand_out_the_stored_objects(request, which):
    mesh = request.getfixturevalue(which)
    for name in arrays_of(mesh):
        if name.startswith("ap."):
            assert getattr(mesh.ap, name[3:]) is getattr(mesh.ap, name[3:])
        else:
            assert getattr(mesh, name) is getattr(mesh, name)
    assert mesh.patch_name_to_id is mesh.patch_name_to_id
    assert type(mesh.n_cells) is int and type(mesh.coordinate_type) is int
    assert mesh.n_cells == len(mesh.cell_centers)
    if which == "axis":
        assert mesh.ap is mesh.ap and type(mesh.ap) is ApIbmFaceData


def test_writes_persist_on_the_same_object_only(manager, cube, ghost):
    ghost.cell_centers[0, 0] = 1.5
    ghost.patch_name_to_id["extra"] = 7
    assert ghost.cell_centers[0, 0] == 1.5
    assert ghost.patch_name_to_id["extra"] == 7
    other = manager.build_ghost_cell_mesh(cube, 3, SEED)
    assert other.cell_centers[0, 0] != 1.5
    assert other.patch_name_to_id == {"_default": 0}


@pytest.mark.parametrize("which", ["ghost", "axis"])
def test_arrays_outlive_their_mesh_object(manager, cube, which):
    if which == "ghost":
        mesh = manager.build_ghost_cell_mesh(cube, 3, SEED)
    else:
        mesh = manager.build_axis_projected_mesh(cube, 3)
    held = arrays_of(mesh)
    copies = {name: arr.copy() for name, arr in held.items()}
    ap = getattr(mesh, "ap", None)
    assert sys.getrefcount(mesh) == 2  # only this frame holds it
    del mesh
    gc.collect()
    # Fresh allocations that would reuse freed buffers.
    junk = [np.full(a.shape, 255, dtype=a.dtype) for a in copies.values()]
    for name, arr in held.items():
        np.testing.assert_array_equal(arr, copies[name], err_msg=name)
    if ap is not None:
        assert ap.is_immersed_face is held["ap.is_immersed_face"]
    del junk


@pytest.mark.parametrize("cls, names", [
    (CfdGhostCellMesh, ["n_cells", "coordinate_type", "patch_name_to_id"] + GHOST_NAMES),
    (CfdAxisProjectedMesh, ["n_cells", "coordinate_type", "patch_name_to_id"] + AP_MESH_NAMES + ["ap"]),
    (ApIbmFaceData, AP_NAMES),
])
def test_attribute_tables_in_order(cls, names):
    assert [n for n in vars(cls) if not n.startswith("__")] == names


def test_attribute_docs():
    docs = {n: getattr(ApIbmFaceData, n).__doc__ for n in AP_NAMES}
    assert docs == {
        "is_immersed_face": None,
        "dist_owner_to_bnd": "Physical owner-center distance to the first boundary hit, possibly zero.",
        "dist_neighbour_to_bnd":
            "Physical neighbour-center distance to the first boundary hit, possibly zero.",
        "owner_near_boundary": "Boolean candidates for an owner-cell-center Dirichlet constraint.",
        "neighbour_near_boundary":
            "Boolean candidates for a neighbour-cell-center Dirichlet constraint.",
        "owner_bnd_anchor_id": None,
        "owner_bnd_patch_id": None,
        "neighbour_bnd_anchor_id": None,
        "neighbour_bnd_patch_id": None,
    }
    assert all(getattr(CfdGhostCellMesh, n).__doc__ is None for n in GHOST_NAMES)
    assert CfdAxisProjectedMesh.ap.__doc__ is None


def test_attributes_are_read_only_and_instances_have_no_dict(ghost, axis):
    for obj, name in [(ghost, "n_cells"), (ghost, "cell_sizes"), (axis, "ap"),
                      (axis.ap, "is_immersed_face"), (axis, "patch_name_to_id")]:
        before = getattr(obj, name)
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
        with pytest.raises(AttributeError):
            delattr(obj, name)
        if isinstance(before, int):
            assert getattr(obj, name) == before
        else:
            assert getattr(obj, name) is before
        with pytest.raises(AttributeError):
            obj.extra = 1


def test_numpy_is_first_needed_by_a_conversion():
    code = (
        "import sys, _quorin\n"
        "assert 'numpy' not in sys.modules\n"
        "m = _quorin.QuorinManager(_quorin.BoundingBox([0, 0, 0], [1, 1, 1]), [1, 1, 1], 0)\n"
        "s = m.create_axis_projected_session(None, 0)\n"
        "assert 'numpy' not in sys.modules, 'a session without a conversion needs no NumPy'\n"
        "assert s.translation == [0.0, 0.0, 0.0]\n"
        "mesh = s.mesh\n"
        "assert 'numpy' in sys.modules\n"
        "print(type(mesh.cell_centers).__module__)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    assert out.stdout.strip() == "numpy"


def test_conversion_without_numpy_panics_and_leaks_no_state():
    code = (
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import _quorin\n"
        "m = _quorin.QuorinManager(_quorin.BoundingBox([0, 0, 0], [1, 1, 1]), [1, 1, 1], 0)\n"
        "for _ in range(2):\n"
        "    try:\n"
        "        m.build_ghost_cell_mesh(None, 0, [0.5, 0.5, 0.5])\n"
        "    except BaseException as e:\n"
        "        print(type(e).__name__, '|', e)\n"
        "print(m.build_axis_projected_mesh is not None)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    lines = out.stdout.strip().splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        name, message = line.split(" | ", 1)
        assert name == "PanicException"
        assert message.startswith("Failed to access NumPy array API capsule")
    assert lines[2] == "True"


def test_results_do_not_depend_on_the_thread_count(tmp_path):
    path = cube_stl(tmp_path)
    code = (
        "import hashlib, sys, _quorin\n"
        "m = _quorin.QuorinManager(_quorin.BoundingBox([0, 0, 0], [1, 1, 1]), [2, 2, 2], 1)\n"
        f"g = m.build_ghost_cell_mesh({path!r}, 4, [0.05, 0.05, 0.05])\n"
        f"s = m.create_axis_projected_session({path!r}, 4)\n"
        "a = s.update_ib(translation=[0.03, 0.01, 0.0], warn_outside_refinement=False)\n"
        "h = hashlib.sha256()\n"
        "for mesh in (g, a, a.ap):\n"
        "    for name in sorted(n for n in dir(type(mesh)) if not n.startswith('_')):\n"
        "        v = getattr(mesh, name)\n"
        "        if isinstance(v, (int, dict)):\n"
        "            h.update(repr(v).encode())\n"
        "        elif hasattr(v, 'tobytes'):\n"
        "            h.update(v.tobytes())\n"
        "print(h.hexdigest())\n"
    )
    digests = set()
    for threads in ("1", "3", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                             text=True, env=env)
        digests.add(out.stdout.strip())
    assert len(digests) == 1

"""QuorinManager: construction, the ghost-cell build and the axis-projected one-shot build."""

import inspect
import os
import pathlib
import warnings

import numpy as np
import pytest

from _quorin import BoundingBox, CfdAxisProjectedMesh, CfdGhostCellMesh, QuorinManager
from conftest import panic_type
from surfaces import box_triangles, cube_stl, write_ascii_stl, write_binary_stl, write_obj_boxes

UNIT = BoundingBox([0, 0, 0], [1, 1, 1])
SEED = [0.05, 0.05, 0.05]

GHOST_ARRAYS = [
    # attribute, dtype, trailing shape
    ("cell_centers", np.float64, (3,)),
    ("cell_sizes", np.float64, (3,)),
    ("internal_faces_owner", np.uint64, ()),
    ("internal_faces_neighbour", np.uint64, ()),
    ("internal_faces_axis", np.uint8, ()),
    ("domain_bnd_faces_owner", np.uint64, ()),
    ("domain_bnd_faces_dir", np.uint8, ()),
    ("gc_is_fluid", np.bool_, ()),
    ("gc_cell_ids", np.uint64, ()),
    ("gc_bnd_anchor_ids", np.uint64, ()),
    ("gc_bnd_patch_ids", np.uint64, ()),
    ("gc_bnd_intercepts", np.float64, (3,)),
    ("gc_image_points", np.float64, (3,)),
    ("gc_interp_stencil_indices", np.uint64, (8,)),
    ("gc_interp_stencil_weights", np.float64, (8,)),
]
GHOST_NAMES = [name for name, _, _ in GHOST_ARRAYS]
AP_MESH_NAMES = GHOST_NAMES[:7]
AP_NAMES = [
    "is_immersed_face", "dist_owner_to_bnd", "dist_neighbour_to_bnd", "owner_near_boundary",
    "neighbour_near_boundary", "owner_bnd_anchor_id", "owner_bnd_patch_id",
    "neighbour_bnd_anchor_id", "neighbour_bnd_patch_id",
]


def manager(base=(2, 2, 2), n_leaf=1, box=UNIT):
    return QuorinManager(box, list(base), n_leaf)


def assert_same_ghost_mesh(a, b):
    assert (a.n_cells, a.coordinate_type, a.patch_name_to_id) == (
        b.n_cells, b.coordinate_type, b.patch_name_to_id)
    for name in GHOST_NAMES:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


def assert_same_ap_mesh(a, b):
    assert (a.n_cells, a.coordinate_type, a.patch_name_to_id) == (
        b.n_cells, b.coordinate_type, b.patch_name_to_id)
    for name in AP_MESH_NAMES:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    for name in AP_NAMES:
        np.testing.assert_array_equal(getattr(a.ap, name), getattr(b.ap, name), err_msg=name)


@pytest.fixture
def cube(tmp_path):
    return cube_stl(tmp_path)


class TestConstructor:
    def test_leaf_refinement_defaults_to_three_and_zero_disables_it(self):
        # Without a surface the only refinement is the final leaf passes.
        cells = lambda m: m.build_axis_projected_mesh(None, 2).n_cells
        assert cells(QuorinManager(UNIT, [1, 1, 1])) == 8 ** 3
        assert cells(QuorinManager(UNIT, [1, 1, 1], 0)) == 1
        assert cells(QuorinManager(bbox=UNIT, base_res=(2, 1, 1), n_leaf_refinement=1)) == 16

    @pytest.mark.parametrize("kwargs, exc, text", [
        ({"n_leaf_refinement": None}, TypeError,
         "argument 'n_leaf_refinement': 'None' is not an instance of 'int'"),
        ({"n_leaf_refinement": 256}, OverflowError, "out of range integral type conversion attempted"),
        ({"base_res": [1, 1]}, ValueError, "expected a sequence of length 3 (got 2)"),
        ({"base_res": [1, 1, -1]}, OverflowError, "out of range integral type conversion attempted"),
        ({"bbox": [0, 0, 0]}, TypeError, "argument 'bbox': 'list' object is not an instance of 'BoundingBox'"),
    ])
    def test_argument_errors(self, kwargs, exc, text):
        args = {"bbox": UNIT, "base_res": [1, 1, 1], **kwargs}
        with pytest.raises(exc) as info:
            QuorinManager(**args)
        if exc is not TypeError or "None" not in text:
            assert str(info.value) == text
        else:
            assert str(info.value).startswith("argument 'n_leaf_refinement': ")

    def test_argument_count(self):
        with pytest.raises(TypeError, match=r"^QuorinManager.__new__\(\) takes from 2 to 3 positional "
                                            r"arguments but 4 were given$"):
            QuorinManager(UNIT, [1, 1, 1], 3, 4)
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'base_res'$"):
            QuorinManager(UNIT)

    @pytest.mark.parametrize("lo, hi", [
        ([1, 1, 1], [0, 0, 0]),
        ([0, 0, 0], [1, 1, 0]),  # min equal to max on z
        ([0, float("nan"), 0], [1, 1, 1]),
    ])
    def test_invalid_box_panics(self, lo, hi):
        box = BoundingBox(lo, hi)
        with pytest.raises(panic_type()) as info:
            QuorinManager(box, [1, 1, 1])
        assert info.value.args == ("Invalid BoundingBox bounds",)
        assert len(box.min) == 3  # the box's shared borrow was released

    def test_base_grid_beyond_the_key_capacity_is_a_value_error(self):
        with pytest.raises(ValueError, match="root cells"):
            QuorinManager(UNIT, [2**13, 2**13, 2])

    def test_keeps_a_copy_of_the_box_and_exposes_no_settings(self):
        box = BoundingBox([0, 0, 0], [2, 1, 1])
        m = QuorinManager(box, [2, 1, 1], 0)
        del box
        mesh = m.build_axis_projected_mesh(None, 0)
        np.testing.assert_array_equal(mesh.cell_centers, [[0.5, 0.5, 0.5], [1.5, 0.5, 0.5]])
        assert [n for n in vars(QuorinManager) if not n.startswith("__")] == [
            "build_ghost_cell_mesh", "build_axis_projected_mesh", "create_axis_projected_session"]
        with pytest.raises(AttributeError):
            m.bbox = UNIT


METHOD_DOCS = [
    ("build_ghost_cell_mesh", "(mesh_path, target_level, fluid_seed_point, refinement_regions=None)",
     "Loads an STL file and automatically runs BVH construction, AMR, 2:1 balancing,\n"
     "and inside/outside classification, then returns a CFD-ready mesh."),
    ("build_axis_projected_mesh", "(mesh_path, target_level, refinement_regions=None)",
     "Builds mesh data for APIBM (one-shot; no session state is retained)."),
    ("create_axis_projected_session", "(mesh_path, target_level, refinement_regions=None)",
     "Creates a stateful APIBM session that retains the forest for moving-boundary updates."),
]


@pytest.mark.parametrize("name, signature, doc", METHOD_DOCS)
def test_method_docs_and_signatures(name, signature, doc):
    method = getattr(QuorinManager, name)
    assert method.__doc__ == doc
    assert str(inspect.signature(getattr(manager(), name))) == signature


class TestGhostCellBuild:
    def test_cube_mesh_is_consistent(self, cube):
        mesh = manager().build_ghost_cell_mesh(cube, 3, SEED)
        assert type(mesh) is CfdGhostCellMesh
        n = mesh.n_cells
        assert n == len(mesh.cell_centers) == len(mesh.cell_sizes) == len(mesh.gc_is_fluid)
        assert mesh.coordinate_type == 0
        assert mesh.patch_name_to_id == {"_default": 0}
        n_gc = len(mesh.gc_cell_ids)
        assert n_gc > 0
        for name, dtype, tail in GHOST_ARRAYS:
            arr = getattr(mesh, name)
            assert arr.dtype == dtype, name
            assert arr.shape[1:] == tail, name
            if name.startswith("gc_") and name != "gc_is_fluid":
                assert len(arr) == n_gc, name

        # Cells tile the unit box.
        assert np.all(mesh.cell_sizes > 0)
        assert np.isclose(np.prod(mesh.cell_sizes, axis=1).sum(), 1.0)
        lo, hi = mesh.cell_centers - mesh.cell_sizes / 2, mesh.cell_centers + mesh.cell_sizes / 2
        assert lo.min() >= 0.0 and hi.max() <= 1.0

        # Faces: owner on the low side, axis and direction codes in range.
        own, nb, ax = mesh.internal_faces_owner, mesh.internal_faces_neighbour, mesh.internal_faces_axis
        assert np.all(ax <= 2) and np.all(own < n) and np.all(nb < n)
        assert np.all(mesh.cell_centers[nb, ax] > mesh.cell_centers[own, ax])
        assert set(np.unique(mesh.domain_bnd_faces_dir)) == set(range(6))

        # Ghost cells: ascending, solid, mirrored through their intercept,
        # interpolated from fluid cells only.
        ids = mesh.gc_cell_ids.astype(np.int64)
        assert np.all(np.diff(ids) > 0)
        assert not mesh.gc_is_fluid[ids].any()
        np.testing.assert_allclose(mesh.gc_image_points,
                                   2 * mesh.gc_bnd_intercepts - mesh.cell_centers[ids])
        # Every intercept lies on the cube surface.
        d = np.abs(mesh.gc_bnd_intercepts - 0.5).max(axis=1)
        np.testing.assert_allclose(d, 0.2, atol=1e-12)
        used = mesh.gc_interp_stencil_weights != 0
        assert used.any()
        assert mesh.gc_is_fluid[mesh.gc_interp_stencil_indices[used].astype(np.int64)].all()
        assert np.all(mesh.gc_bnd_patch_ids == 0)
        assert np.all(mesh.gc_bnd_anchor_ids < 12)

        # Outside the cube is fluid, its centre is solid.
        centres = mesh.cell_centers
        inside = np.all(np.abs(centres - 0.5) < 0.15, axis=1)
        outside = np.any(np.abs(centres - 0.5) > 0.25, axis=1)
        assert not mesh.gc_is_fluid[inside].any()
        assert mesh.gc_is_fluid[outside].all()

    def test_regions_omitted_none_and_empty_are_the_same_and_a_region_refines(self, cube):
        m = manager()
        plain = m.build_ghost_cell_mesh(cube, 2, SEED)
        assert_same_ghost_mesh(plain, m.build_ghost_cell_mesh(cube, 2, SEED, None))
        assert_same_ghost_mesh(plain, m.build_ghost_cell_mesh(cube, 2, SEED, []))
        assert_same_ghost_mesh(plain, m.build_ghost_cell_mesh(
            mesh_path=cube, target_level=2, fluid_seed_point=SEED, refinement_regions=()))
        refined = m.build_ghost_cell_mesh(cube, 2, SEED, [((0.0, 0.0, 0.0), (0.2, 0.2, 0.2), 5)])
        assert refined.n_cells > plain.n_cells
        assert refined.cell_sizes.min() == pytest.approx(0.5 / 2**6)  # region level + 1 leaf pass

    def test_repeated_calls_agree_and_read_the_file_again(self, tmp_path):
        path = cube_stl(tmp_path)
        m = manager()
        first = m.build_ghost_cell_mesh(path, 3, SEED)
        assert_same_ghost_mesh(first, m.build_ghost_cell_mesh(path, 3, SEED))
        cube_stl(tmp_path, lo=(0.2, 0.2, 0.2), hi=(0.8, 0.8, 0.8))
        moved = m.build_ghost_cell_mesh(path, 3, SEED)
        d = np.abs(moved.gc_bnd_intercepts - 0.5).max(axis=1)
        np.testing.assert_allclose(d, 0.3, atol=1e-12)

    def test_without_a_surface_every_cell_is_fluid_and_there_are_no_ghost_cells(self):
        mesh = manager().build_ghost_cell_mesh(None, 3, [0.5, 0.5, 0.5])
        assert mesh.patch_name_to_id == {"empty": 0}
        assert mesh.n_cells == 64 and mesh.gc_is_fluid.all()
        for name, dtype, tail in GHOST_ARRAYS[8:]:
            arr = getattr(mesh, name)
            assert arr.shape == (0,) + tail and arr.dtype == dtype, name

    def test_single_cell_mesh_has_no_internal_faces(self):
        mesh = manager(base=(1, 1, 1), n_leaf=0).build_ghost_cell_mesh(None, 0, [0.5, 0.5, 0.5])
        assert mesh.n_cells == 1
        for name, dtype in [("internal_faces_owner", np.uint64),
                            ("internal_faces_neighbour", np.uint64),
                            ("internal_faces_axis", np.uint8)]:
            arr = getattr(mesh, name)
            assert arr.shape == (0,) and arr.dtype == dtype
        np.testing.assert_array_equal(mesh.domain_bnd_faces_dir, [0, 1, 2, 3, 4, 5])
        np.testing.assert_array_equal(mesh.domain_bnd_faces_owner, [0] * 6)

    def test_binary_stl_and_upper_case_extension(self, tmp_path):
        tris = box_triangles((0.3, 0.3, 0.3), (0.7, 0.7, 0.7))
        ascii_path = write_ascii_stl(tmp_path / "a.stl", tris)
        binary_path = write_binary_stl(tmp_path / "b.STL", tris)
        m = manager()
        # 0.3 and 0.7 are not exact in 32-bit floats, so only the layout is compared.
        a = m.build_ghost_cell_mesh(ascii_path, 2, SEED)
        b = m.build_ghost_cell_mesh(binary_path, 2, SEED)
        assert a.n_cells == b.n_cells and len(a.gc_cell_ids) == len(b.gc_cell_ids)

    def test_obj_groups_become_patches(self, tmp_path):
        path = write_obj_boxes(tmp_path / "two.obj", [
            ("left", (0.2, 0.3, 0.3), (0.4, 0.7, 0.7)),
            ("right", (0.6, 0.3, 0.3), (0.8, 0.7, 0.7)),
        ])
        mesh = manager().build_ghost_cell_mesh(path, 4, SEED)
        assert mesh.patch_name_to_id == {"left": 0, "right": 1}
        ids = mesh.gc_cell_ids.astype(np.int64)
        x = mesh.cell_centers[ids, 0]
        np.testing.assert_array_equal(mesh.gc_bnd_patch_ids, np.where(x < 0.5, 0, 1))
        assert list(mesh.patch_name_to_id) == ["left", "right"]


class TestBuildErrors:
    @pytest.mark.parametrize("build", ["ghost", "ap", "session"])
    def test_surface_file_errors_are_value_errors(self, tmp_path, build):
        m = manager()
        run = {
            "ghost": lambda p: m.build_ghost_cell_mesh(p, 2, SEED),
            "ap": lambda p: m.build_axis_projected_mesh(p, 2),
            "session": lambda p: m.create_axis_projected_session(p, 2),
        }[build]
        missing = str(tmp_path / "missing.stl")
        noext = tmp_path / "surface"
        noext.write_text("solid x\nendsolid x\n")
        other = tmp_path / "surface.txt"
        other.write_text("")
        cases = [
            (missing, f"Mesh file not found: {missing}"),
            (str(noext), "Mesh file has no extension. Use .stl or .obj."),
            (str(other), "Unsupported mesh extension '.txt'. Use .stl or .obj."),
        ]
        for path, text in cases:
            with pytest.raises(ValueError) as info:
                run(path)
            assert str(info.value) == text

    @pytest.mark.parametrize("seed, text", [
        ([2.0, 0.5, 0.5],
         "The fluid seed point `fluid_seed_point` lies outside the computational domain "
         "(bounding box)."),
        ([0.3, 0.5, 0.5],
         "The fluid seed point `fluid_seed_point` lies on an intersect (wall) cell; specify a "
         "seed clearly inside the fluid region."),
    ])
    def test_bad_seed_points(self, cube, seed, text):
        with pytest.raises(ValueError) as info:
            manager().build_ghost_cell_mesh(cube, 3, seed)
        assert str(info.value) == text

    def test_zero_base_resolution(self, cube):
        m = manager(base=(2, 0, 2))
        with pytest.raises(ValueError, match="lies outside the computational domain"):
            m.build_ghost_cell_mesh(cube, 3, [0.5, 0.5, 0.5])
        mesh = m.build_axis_projected_mesh(cube, 3)
        assert mesh.n_cells == 0
        assert mesh.cell_centers.shape == (0, 3) and mesh.cell_sizes.shape == (0, 3)
        for name in AP_MESH_NAMES[2:]:
            assert getattr(mesh, name).shape == (0,)
        for name in AP_NAMES:
            assert getattr(mesh.ap, name).shape == (0,)

    def test_every_argument_is_converted_before_the_file_is_touched(self, tmp_path):
        m = manager()
        missing = str(tmp_path / "missing.stl")
        with pytest.raises(OverflowError):
            m.build_ghost_cell_mesh(missing, 300, SEED)
        with pytest.raises(OverflowError):
            m.build_axis_projected_mesh(missing, 300)
        with pytest.raises(OverflowError):
            m.create_axis_projected_session(missing, 300)
        with pytest.raises(ValueError, match="length 3"):
            m.build_ghost_cell_mesh(missing, 2, [0.5, 0.5])
        with pytest.raises(TypeError, match="^argument 'refinement_regions': 'list' object is not "
                                            "an instance of 'tuple'$"):
            m.build_axis_projected_mesh(missing, 2, [[SEED, SEED, 1]])

    @pytest.mark.parametrize("call, text", [
        (lambda m: m.build_ghost_cell_mesh(pathlib.Path("x.stl"), 2, SEED),
         "argument 'mesh_path': 'PosixPath' object is not an instance of 'str'"),
        (lambda m: m.build_ghost_cell_mesh(b"x.stl", 2, SEED),
         "argument 'mesh_path': 'bytes' object is not an instance of 'str'"),
        (lambda m: m.build_ghost_cell_mesh(None, 2, SEED, "abc"),
         "argument 'refinement_regions': Can't extract `str` to `Vec`"),
        (lambda m: m.build_axis_projected_mesh(None, 2, "abc"),
         "argument 'refinement_regions': Can't extract `str` to `Vec`"),
        (lambda m: m.create_axis_projected_session(None, 2, "abc"),
         "argument 'refinement_regions': Can't extract `str` to `Vec`"),
        (lambda m: m.build_ghost_cell_mesh(None, 2.0, SEED),
         None),
        (lambda m: m.build_axis_projected_mesh(None),
         "QuorinManager.build_axis_projected_mesh() missing 1 required positional argument: "
         "'target_level'"),
        (lambda m: m.build_ghost_cell_mesh(None, 1),
         "QuorinManager.build_ghost_cell_mesh() missing 1 required positional argument: "
         "'fluid_seed_point'"),
        (lambda m: m.create_axis_projected_session(),
         "QuorinManager.create_axis_projected_session() missing 2 required positional arguments: "
         "'mesh_path' and 'target_level'"),
        (lambda m: m.build_axis_projected_mesh(None, 1, None, 4),
         "QuorinManager.build_axis_projected_mesh() takes from 2 to 3 positional arguments but 4 "
         "were given"),
        (lambda m: m.build_ghost_cell_mesh(None, 1, SEED, regions=None),
         "QuorinManager.build_ghost_cell_mesh() got an unexpected keyword argument 'regions'"),
    ])
    def test_type_errors(self, call, text):
        with pytest.raises(TypeError) as info:
            call(manager())
        if text is None:
            assert str(info.value).startswith("argument 'target_level': ")
        else:
            assert str(info.value) == text

    def test_surface_without_triangles_panics_and_the_manager_stays_usable(self, tmp_path):
        path = tmp_path / "empty.stl"
        path.write_text("solid e\nendsolid e\n")
        m = manager()
        with pytest.raises(panic_type()) as info:
            m.build_ghost_cell_mesh(str(path), 2, SEED)
        assert info.value.args[0].startswith("Failed to build TriMesh")
        assert m.build_axis_projected_mesh(None, 0).n_cells == 64

    def test_nested_calls_share_the_manager(self, cube):
        m = manager()
        inner = []

        class Seed:
            def __len__(self):
                return 3

            def __getitem__(self, i):
                if i == 0:
                    inner.append(m.build_axis_projected_mesh(cube, 1))
                return SEED[i]

        assert m.build_ghost_cell_mesh(cube, 2, Seed()).n_cells > 0
        assert type(inner[0]) is CfdAxisProjectedMesh


class TestAxisProjectedBuild:
    def test_cube_payload_is_consistent(self, cube):
        mesh = manager().build_axis_projected_mesh(cube, 3)
        assert type(mesh) is CfdAxisProjectedMesh
        assert mesh.patch_name_to_id == {"_default": 0} and mesh.coordinate_type == 0
        ap = mesh.ap
        imm = ap.is_immersed_face
        assert imm.dtype == np.bool_ and imm.shape == mesh.internal_faces_owner.shape
        k = int(imm.sum())
        assert k > 0
        for name, dtype in zip(AP_NAMES[1:], [np.float64, np.float64, np.bool_, np.bool_]
                               + [np.uint64] * 4):
            arr = getattr(ap, name)
            assert arr.shape == (k,) and arr.dtype == dtype, name
        # Each immersed face straddles a cube wall: the two distances add up
        # to the centre spacing along the face axis.
        own = mesh.internal_faces_owner[imm].astype(np.int64)
        nb = mesh.internal_faces_neighbour[imm].astype(np.int64)
        ax = mesh.internal_faces_axis[imm].astype(np.int64)
        spacing = mesh.cell_centers[nb, ax] - mesh.cell_centers[own, ax]
        np.testing.assert_allclose(ap.dist_owner_to_bnd + ap.dist_neighbour_to_bnd, spacing,
                                   rtol=1e-12)
        wall = mesh.cell_centers[own, ax] + ap.dist_owner_to_bnd
        # (The STL stores 32-bit floats: 0.3 and 0.7 move by about 1e-8.)
        np.testing.assert_allclose(np.minimum(np.abs(wall - 0.3), np.abs(wall - 0.7)), 0,
                                   atol=1e-7)
        assert np.all(ap.owner_bnd_anchor_id < 12) and np.all(ap.owner_bnd_patch_id == 0)
        assert np.all(ap.neighbour_bnd_patch_id == 0)

    def test_regions_omitted_none_and_empty_are_the_same(self, cube):
        m = manager()
        plain = m.build_axis_projected_mesh(cube, 2)
        assert_same_ap_mesh(plain, m.build_axis_projected_mesh(cube, 2, None))
        assert_same_ap_mesh(plain, m.build_axis_projected_mesh(cube, 2, []))
        assert_same_ap_mesh(plain, m.build_axis_projected_mesh(
            mesh_path=cube, target_level=2, refinement_regions=None))

    def test_same_cells_and_faces_as_the_ghost_cell_build(self, cube):
        m = manager()
        ap = m.build_axis_projected_mesh(cube, 3)
        gc = m.build_ghost_cell_mesh(cube, 3, SEED)
        assert ap.n_cells == gc.n_cells
        for name in AP_MESH_NAMES:
            np.testing.assert_array_equal(getattr(ap, name), getattr(gc, name), err_msg=name)

    def test_without_a_surface_no_face_is_immersed(self):
        mesh = manager().build_axis_projected_mesh(None, 3)
        assert mesh.patch_name_to_id == {"empty": 0}
        assert len(mesh.ap.is_immersed_face) == len(mesh.internal_faces_owner) > 0
        assert not mesh.ap.is_immersed_face.any()
        for name, dtype in zip(AP_NAMES[1:], [np.float64, np.float64, np.bool_, np.bool_]
                               + [np.uint64] * 4):
            arr = getattr(mesh.ap, name)
            assert arr.shape == (0,) and arr.dtype == dtype, name

    def test_never_warns(self, tmp_path):
        # A surface smaller than the finest cell: its cut cells stay coarser
        # than a target level beyond the deepest level.
        tiny = write_ascii_stl(tmp_path / "tiny.stl",
                               [((0.5, 0.5, 0.5), (0.5 + 1e-12, 0.5, 0.5), (0.5, 0.5 + 1e-12, 0.5))])
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            mesh = manager(n_leaf=0).build_axis_projected_mesh(tiny, 40)
        assert mesh.cell_sizes.min() == pytest.approx(0.5 / 2**32)

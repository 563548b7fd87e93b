"""ApibmSession: pose handling, update_ib, remesh, the refinement warning and borrows."""

import inspect
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

from _quorin import (ApibmSession, BoundingBox, CfdAxisProjectedMesh, QuorinManager,
                     _quaternion_from_axis_angle)
from surfaces import cube_stl, write_ascii_stl
from test_manager import AP_MESH_NAMES, AP_NAMES, assert_same_ap_mesh

WARNING_TEXT = ("Immersed boundary intersects cells below target_level; consider remesh() to "
                "restore refinement near the boundary.")
IDENTITY = [1.0, 0.0, 0.0, 0.0]

# A small cube in the low corner of the unit box; without leaf refinement the
# cells away from it stay coarse.
CUBE = ((0.1, 0.1, 0.1), (0.3, 0.3, 0.3))
INTO_COARSE = [0.5, 0.5, 0.5]   # moves the cube into cells of level 1
FAR_AWAY = [10.0, 10.0, 10.0]   # moves it out of the domain


@pytest.fixture
def cube(tmp_path):
    return cube_stl(tmp_path, *CUBE)


@pytest.fixture
def manager():
    return QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [2, 2, 2], 0)


@pytest.fixture
def session(manager, cube):
    return manager.create_axis_projected_session(cube, 3)


@pytest.fixture
def tiny(tmp_path):
    """A triangle far smaller than the finest cell: with a target level beyond
    the deepest level its cut cells stay coarser than the target."""
    return write_ascii_stl(tmp_path / "tiny.stl",
                           [((0.5, 0.5, 0.5), (0.5 + 1e-12, 0.5, 0.5), (0.5, 0.5 + 1e-12, 0.5))])


def assert_same_cells_and_faces(a, b):
    assert a.n_cells == b.n_cells
    for name in AP_MESH_NAMES:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


def no_warnings():
    ctx = warnings.catch_warnings()
    ctx.__enter__()
    warnings.simplefilter("error")
    return ctx


class TestCreation:
    def test_new_session_starts_at_identity_with_the_one_shot_mesh(self, manager, cube, session):
        assert type(session) is ApibmSession
        assert session.translation == [0.0, 0.0, 0.0]
        assert session.rotation_quaternion == IDENTITY
        assert all(type(v) is float for v in session.rotation_quaternion)
        mesh = session.mesh
        assert type(mesh) is CfdAxisProjectedMesh
        assert_same_ap_mesh(mesh, manager.build_axis_projected_mesh(cube, 3))
        assert mesh.ap.is_immersed_face.any()

    def test_creation_never_warns(self, manager, tiny):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            s = manager.create_axis_projected_session(tiny, 40)
        with pytest.warns(UserWarning):
            s.update_ib()

    def test_session_keeps_no_reference_to_the_manager(self, cube):
        m = QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [2, 2, 2], 0)
        s = m.create_axis_projected_session(cube, 2)
        before = s.mesh
        del m
        assert_same_ap_mesh(s.remesh(), before)

    def test_no_attributes_beyond_the_table(self, session):
        members = [n for n in vars(ApibmSession) if not n.startswith("__")]
        assert sorted(members) == sorted(
            ["mesh", "translation", "rotation_quaternion", "update_ib", "remesh"])
        attributes = [n for n in members if not callable(getattr(ApibmSession, n))]
        assert attributes == ["mesh", "translation", "rotation_quaternion"]
        for name in ("mesh", "translation", "rotation_quaternion"):
            with pytest.raises(AttributeError):
                setattr(session, name, None)
            with pytest.raises(AttributeError):
                delattr(session, name)
        with pytest.raises(AttributeError):
            session.pose = None


def test_docs_and_signatures():
    assert ApibmSession.mesh.__doc__ == "Current CFD mesh snapshot (new Python object each call)."
    assert ApibmSession.translation.__doc__ == "Current rigid translation applied to the IBM mesh."
    assert ApibmSession.rotation_quaternion.__doc__ == "Current rigid rotation quaternion `[w, x, y, z]`."
    assert ApibmSession.update_ib.__doc__ == (
        "Updates immersed-boundary data only (background mesh topology fixed).\n\n"
        "`translation` and `rotation_quaternion` set the absolute rigid pose of the IB mesh\n"
        "(`[w, x, y, z]`). Defaults keep the current pose components when omitted.\n"
        "Build the quaternion from an axis and angle with `quaternion_from_axis_angle`.")
    assert ApibmSession.remesh.__doc__ == (
        "Rebuilds the AMR background mesh and IB payload for the current (or updated) pose.")
    assert str(inspect.signature(ApibmSession.update_ib)) == (
        "(self, /, translation=None, rotation_quaternion=None, warn_outside_refinement=True)")
    assert str(inspect.signature(ApibmSession.remesh)) == (
        "(self, /, target_level=None, refinement_regions=None, translation=None, "
        "rotation_quaternion=None, warn_outside_refinement=True)")


class TestPose:
    @pytest.mark.parametrize("given, stored", [
        ([2.0, 0.0, 0.0, 0.0], [1.0, 0.0, 0.0, 0.0]),
        ([0.0, 2e-8, 0.0, 0.0], [0.0, 1.0, 0.0, 0.0]),    # squared norm 4e-16 > 2^-52
        ([0.0, 1e-9, 0.0, 0.0], IDENTITY),                # squared norm 1e-18
        ([0.0, 0.0, 0.0, 0.0], IDENTITY),
        ([float("nan"), 0.0, 0.0, 1.0], IDENTITY),
        ([0.0, 0.0, 3.0, 4.0], [0.0, 0.0, 0.6, 0.8]),
        ((1, 1, 1, 1), [0.5, 0.5, 0.5, 0.5]),
    ])
    def test_rotation_is_normalised_with_w_first(self, session, given, stored):
        session.update_ib(rotation_quaternion=given)
        assert session.rotation_quaternion == stored

    def test_parts_given_replace_only_themselves(self, session):
        q = _quaternion_from_axis_angle([0, 0, 1], 0.3)
        session.update_ib(translation=[1.0, 2.0, 3.0])
        assert session.translation == [1.0, 2.0, 3.0]
        assert session.rotation_quaternion == IDENTITY
        session.update_ib(rotation_quaternion=q)
        assert session.translation == [1.0, 2.0, 3.0]
        assert session.rotation_quaternion == pytest.approx(q, abs=1e-15)
        session.update_ib((0.5, 0.25, 0.125), None, False)  # the first positional one is the translation
        assert session.translation == [0.5, 0.25, 0.125]
        assert session.rotation_quaternion == pytest.approx(q, abs=1e-15)
        session.update_ib([0, 0, 0], IDENTITY)
        assert (session.translation, session.rotation_quaternion) == ([0.0, 0.0, 0.0], IDENTITY)
        session.remesh(translation=np.array([0.25, 0.0, 0.0]))
        assert session.translation == [0.25, 0.0, 0.0]

    def test_attributes_return_new_lists(self, session):
        t = session.translation
        t[0] = 5.0
        assert session.translation == [0.0, 0.0, 0.0]
        assert session.rotation_quaternion is not session.rotation_quaternion


class TestUpdateIb:
    def test_no_arguments_keeps_the_pose_and_returns_the_current_mesh(self, session):
        session.update_ib(translation=[0.01, 0.0, 0.0], warn_outside_refinement=False)
        before = session.mesh
        result = session.update_ib()
        assert session.translation == [0.01, 0.0, 0.0]
        assert_same_ap_mesh(result, before)

    def test_moving_changes_only_the_payload_and_moving_back_restores_it(self, session):
        start = session.mesh
        moved = session.update_ib(translation=[0.05, 0.0, 0.0], warn_outside_refinement=False)
        assert_same_cells_and_faces(moved, start)
        assert not np.array_equal(moved.ap.is_immersed_face, start.ap.is_immersed_face)
        assert_same_ap_mesh(session.mesh, moved)
        away = session.update_ib(translation=FAR_AWAY)
        assert_same_cells_and_faces(away, start)
        assert not away.ap.is_immersed_face.any()
        assert all(len(getattr(away.ap, n)) == 0 for n in AP_NAMES[1:])
        assert away.patch_name_to_id == {"_default": 0}
        back = session.update_ib(translation=[0.0, 0.0, 0.0])
        assert_same_ap_mesh(back, start)

    def test_translation_moves_the_hit_points(self, session):
        shift = 0.046875  # exact in binary, far below the cube's size
        start = session.mesh
        moved = session.update_ib(translation=[shift, 0.0, 0.0], warn_outside_refinement=False)
        # Faces along x that are immersed in both: the wall moved by `shift`.
        def walls(mesh):
            imm = mesh.ap.is_immersed_face
            own = mesh.internal_faces_owner[imm].astype(np.int64)
            ax = mesh.internal_faces_axis[imm]
            x = mesh.cell_centers[own, 0] + mesh.ap.dist_owner_to_bnd
            return np.sort(x[ax == 0])
        before, after = walls(start), walls(moved)
        assert len(before) and len(after)
        np.testing.assert_allclose(np.unique(np.round(after, 6)),
                                   np.unique(np.round(before + shift, 6)), atol=2e-6)

    def test_rotation_moves_the_surface(self, manager, tmp_path):
        # A box centred on the origin of its frame, placed mid-domain.
        path = cube_stl(tmp_path, (-0.2, -0.2, -0.2), (0.2, 0.2, 0.2))
        s = manager.create_axis_projected_session(path, 3)
        placed = s.update_ib(translation=[0.5, 0.5, 0.5], warn_outside_refinement=False)
        quarter = _quaternion_from_axis_angle([0, 0, 1], math.pi / 2)
        turned = s.update_ib(rotation_quaternion=quarter, warn_outside_refinement=False)
        # A quarter turn maps the box onto itself.
        np.testing.assert_array_equal(turned.ap.is_immersed_face, placed.ap.is_immersed_face)
        np.testing.assert_allclose(turned.ap.dist_owner_to_bnd, placed.ap.dist_owner_to_bnd,
                                   atol=1e-9)
        eighth = _quaternion_from_axis_angle([0, 0, 1], math.pi / 4)
        tilted = s.update_ib(rotation_quaternion=eighth, warn_outside_refinement=False)
        assert not np.array_equal(tilted.ap.is_immersed_face, placed.ap.is_immersed_face)

    def test_failed_conversion_changes_nothing(self, session):
        session.update_ib(translation=[0.01, 0.0, 0.0])
        before = session.mesh
        with pytest.raises(ValueError, match=r"^expected a sequence of length 3 \(got 2\)$"):
            session.update_ib(translation=[1.0, 2.0])
        with pytest.raises(ValueError, match=r"^expected a sequence of length 4 \(got 3\)$"):
            session.update_ib([0.5, 0.5, 0.5], [1, 0, 0])
        with pytest.raises(TypeError, match="^argument 'warn_outside_refinement': 'None' is not an "
                                            "instance of 'bool'$"):
            session.update_ib(FAR_AWAY, None, None)
        with pytest.raises(TypeError, match="^argument 'warn_outside_refinement': 'int' object"):
            session.update_ib(warn_outside_refinement=1)
        assert session.translation == [0.01, 0.0, 0.0]
        assert session.rotation_quaternion == IDENTITY
        assert_same_ap_mesh(session.mesh, before)


class TestMeshSnapshots:
    def test_every_read_is_a_new_independent_object(self, session):
        a, b = session.mesh, session.mesh
        assert a is not b and a.ap is not b.ap
        assert a.cell_centers is not b.cell_centers
        assert_same_ap_mesh(a, b)
        a.cell_centers[:] = -1.0
        a.ap.dist_owner_to_bnd[:] = -1.0
        a.patch_name_to_id.clear()
        assert_same_ap_mesh(b, session.mesh)

    def test_results_are_not_changed_by_later_calls(self, session):
        first = session.update_ib()
        kept = {n: getattr(first.ap, n).copy() for n in AP_NAMES}
        session.update_ib(translation=FAR_AWAY)
        session.remesh()
        for n in AP_NAMES:
            np.testing.assert_array_equal(getattr(first.ap, n), kept[n])


class TestLargeSnapshots:
    """A session whose arrays are megabytes large: the meshes it hands out
    share the session's pages until they are written, and must behave as
    copies all the same."""

    @pytest.fixture
    def big(self, tmp_path):
        path = cube_stl(tmp_path, (0.3, 0.3, 0.3), (0.6, 0.6, 0.6))
        m = QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [24, 24, 24], 1)
        return m.create_axis_projected_session(path, 2)

    @staticmethod
    def arrays(mesh):
        return ([getattr(mesh, n) for n in AP_MESH_NAMES] +
                [getattr(mesh.ap, n) for n in AP_NAMES])

    def test_writes_stay_in_their_own_snapshot(self, big):
        a, b = big.mesh, big.mesh
        assert a.internal_faces_owner.nbytes > 2**20 and a.ap.is_immersed_face.sum() > 0
        kept = [x.copy() for x in self.arrays(b)]
        for x in self.arrays(a):
            assert x.flags.writeable and x.flags.c_contiguous
            x[...] = 1
        for x, k in zip(self.arrays(b), kept):
            np.testing.assert_array_equal(x, k)
        assert_same_ap_mesh(b, big.mesh)

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_a_forked_child_changes_nothing_in_the_parent(self, big):
        parent_mesh = big.mesh
        kept = [x.copy() for x in self.arrays(parent_mesh)]
        big.update_ib(translation=[0.03, 0.0, 0.0], warn_outside_refinement=False)
        pid = os.fork()
        if pid == 0:  # the child moves the body, remeshes and writes its arrays
            status = 1
            try:
                for step in range(3):
                    m = big.update_ib(translation=[0.01 * step, 0.0, 0.0],
                                      warn_outside_refinement=False)
                    for x in self.arrays(m) + self.arrays(parent_mesh):
                        x[...] = 7
                big.remesh(warn_outside_refinement=False)
                status = 0
            finally:
                os._exit(status)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        for x, k in zip(self.arrays(parent_mesh), kept):
            np.testing.assert_array_equal(x, k)
        assert_same_cells_and_faces(big.mesh, parent_mesh)

    def test_many_sessions_at_once(self, tmp_path):
        # Past a few hundred shared arrays the sessions fall back to plain
        # copies; every session still hands out independent meshes.
        path = cube_stl(tmp_path, (0.3, 0.3, 0.3), (0.6, 0.6, 0.6))
        m = QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [24, 24, 24], 1)
        sessions = [m.create_axis_projected_session(path, 2) for _ in range(24)]
        first = sessions[0].mesh
        for s in sessions[1:]:
            mesh = s.mesh
            assert_same_ap_mesh(mesh, first)
            mesh.internal_faces_owner[:] = 0
            assert_same_ap_mesh(s.mesh, first)

    def test_snapshots_outlive_moves_remeshes_and_the_session(self, big):
        first = big.mesh
        kept = [x.copy() for x in self.arrays(first)]
        moved = big.update_ib(translation=[0.05, 0.02, 0.0], warn_outside_refinement=False)
        assert not np.array_equal(moved.ap.is_immersed_face, first.ap.is_immersed_face)
        big.remesh(warn_outside_refinement=False)
        del big, moved
        for x, k in zip(self.arrays(first), kept):
            np.testing.assert_array_equal(x, k)

    def test_remesh_with_every_snapshot_dropped_gives_the_same_meshes(self, tmp_path):
        # Without live snapshots a remesh writes the new record into the old
        # one's memory; with them it cannot. Both must give the same meshes,
        # also when the record grows and shrinks between remeshes.
        path = cube_stl(tmp_path, (0.3, 0.3, 0.3), (0.6, 0.6, 0.6))
        m = QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [24, 24, 24], 1)
        held, dropped = (m.create_axis_projected_session(path, 2) for _ in range(2))
        kept = [held.mesh]
        kept_copies = [[x.copy() for x in self.arrays(kept[0])]]
        steps = [dict(translation=[0.02, 0.0, 0.0]),
                 dict(translation=[0.05, 0.01, 0.0], target_level=3),
                 dict(translation=[0.0, 0.03, 0.02], target_level=2),
                 dict(rotation_quaternion=_quaternion_from_axis_angle([0, 0, 1], 0.3))]
        for step in steps:
            kept.append(held.remesh(warn_outside_refinement=False, **step))
            kept_copies.append([x.copy() for x in self.arrays(kept[-1])])
            got = dropped.remesh(warn_outside_refinement=False, **step)
            for x, k in zip(self.arrays(got), kept_copies[-1]):
                np.testing.assert_array_equal(x, k)
            del got
        assert_same_ap_mesh(dropped.mesh, held.mesh)
        # Snapshots alive across the remeshes kept their contents.
        for mesh, copies in zip(kept, kept_copies):
            for x, k in zip(self.arrays(mesh), copies):
                np.testing.assert_array_equal(x, k)


class TestRemeshOutOfMemory:
    """A remesh whose new forest fits in memory but whose record does not:
    the session keeps the new forest and settings without a record, and
    builds one for each later use instead of using a record of the old
    forest."""

    CHILD = (
        "import resource, sys\n"
        "from _quorin import BoundingBox, QuorinManager\n"
        "m = QuorinManager(BoundingBox([0, 0, 0], [1, 1, 1]), [16, 16, 16], 0)\n"
        "s = m.create_axis_projected_session(sys.argv[1], 1)\n"
        "old = s.mesh.n_cells\n"
        "size = next(int(l.split()[1]) for l in open('/proc/self/status')\n"
        "            if l.startswith('VmSize')) * 1024\n"
        "hard = resource.getrlimit(resource.RLIMIT_AS)[1]\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (160 << 20), hard))\n"
        "region = [((0, 0, 0), (1, 1, 1), 3)]\n"
        "try:\n"
        "    s.remesh(refinement_regions=region, translation=[0.01, 0, 0],\n"
        "             warn_outside_refinement=False)\n"
        "    print('no error')\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "resource.setrlimit(resource.RLIMIT_AS, (hard, hard))\n"
        "read = s.mesh\n"
        "moved = s.update_ib(warn_outside_refinement=False)\n"
        "again = s.remesh(warn_outside_refinement=False)\n"
        "print(old, read.n_cells, moved.n_cells, again.n_cells, s.translation[0])\n"
        "print(int((read.internal_faces_owner == again.internal_faces_owner).all()),\n"
        "      int((read.ap.is_immersed_face == again.ap.is_immersed_face).all()))\n"
    )

    def test_later_uses_build_the_record_of_the_new_forest(self, tmp_path):
        path = cube_stl(tmp_path, (0.3, 0.3, 0.3), (0.6, 0.6, 0.6))
        env = dict(os.environ, RAYON_NUM_THREADS="1")
        out = subprocess.run([sys.executable, "-c", self.CHILD, str(path)], check=True,
                             capture_output=True, text=True, timeout=300, env=env)
        error, counts, same = out.stdout.strip().splitlines()
        assert error == "MemoryError"
        old, read, moved, again, x = counts.split()
        assert int(old) < 100_000 and int(read) == int(moved) == int(again) == 16**3 * 8**3
        assert float(x) == 0.01
        assert same == "1 1"


class TestRemesh:
    def test_remesh_rebuilds_around_the_moved_body(self, manager, session, tmp_path):
        shift = [0.5, 0.5, 0.5]
        with pytest.warns(UserWarning):
            session.update_ib(translation=shift)
        result = session.remesh()
        assert session.translation == shift
        # Built from scratch around a file that holds the moved cube.
        moved_file = cube_stl(tmp_path, (0.6, 0.6, 0.6), (0.8, 0.8, 0.8), name="moved.stl")
        fresh = manager.build_axis_projected_mesh(moved_file, 3)
        assert_same_cells_and_faces(result, fresh)
        np.testing.assert_array_equal(result.ap.is_immersed_face, fresh.ap.is_immersed_face)
        for n in AP_NAMES[1:3]:
            np.testing.assert_allclose(getattr(result.ap, n), getattr(fresh.ap, n), atol=1e-7)
        assert_same_ap_mesh(session.mesh, result)

    def test_regions_empty_removes_them_and_none_keeps_them(self, manager, cube):
        region = [((0.7, 0.7, 0.7), (0.9, 0.9, 0.9), 4)]
        s = manager.create_axis_projected_session(cube, 2, region)
        with_region = s.mesh.n_cells
        assert manager.build_axis_projected_mesh(cube, 2).n_cells < with_region
        assert s.remesh().n_cells == with_region
        assert s.remesh(refinement_regions=None).n_cells == with_region
        without = s.remesh(refinement_regions=[]).n_cells
        assert without < with_region
        assert s.remesh().n_cells == without
        assert s.remesh(refinement_regions=tuple(region)).n_cells == with_region

    def test_target_level_is_kept_and_bounds_later_warnings(self, session):
        fine = session.mesh.n_cells
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert session.remesh(target_level=0).n_cells == 8  # the root cells only
            assert session.remesh().n_cells == 8
            session.update_ib(translation=INTO_COARSE)  # no cell is below level 0
            session.update_ib(translation=[0, 0, 0])
        assert session.remesh(target_level=3).n_cells == fine
        with pytest.warns(UserWarning):
            session.update_ib(translation=INTO_COARSE)

    def test_failed_conversion_changes_nothing(self, session):
        before = session.mesh
        for kwargs, exc in [({"target_level": 256}, OverflowError),
                            ({"refinement_regions": "abc"}, TypeError),
                            ({"refinement_regions": [((0, 0, 0), (1, 1, 1))]}, ValueError),
                            ({"target_level": 4, "translation": [1, 2]}, ValueError),
                            ({"rotation_quaternion": "abcd"}, TypeError),
                            ({"warn_outside_refinement": None}, TypeError)]:
            with pytest.raises(exc):
                session.remesh(**kwargs)
        assert session.translation == [0.0, 0.0, 0.0]
        assert_same_ap_mesh(session.mesh, before)
        assert_same_ap_mesh(session.remesh(), before)  # target level and regions unchanged

    def test_surface_file_is_not_read_again(self, session, cube):
        before = session.mesh
        os.remove(cube)
        assert_same_ap_mesh(session.remesh(), before)
        session.update_ib(translation=[0.05, 0, 0], warn_outside_refinement=False)
        assert session.remesh().ap.is_immersed_face.any()

    def test_argument_count(self, session):
        with pytest.raises(TypeError, match=r"^ApibmSession.remesh\(\) takes from 0 to 5 positional "
                                            r"arguments but 6 were given$"):
            session.remesh(1, None, None, None, True, 6)
        with pytest.raises(TypeError, match=r"^ApibmSession.update_ib\(\) got an unexpected keyword "
                                            r"argument 'target_level'$"):
            session.update_ib(target_level=2)


class TestWarning:
    @pytest.mark.parametrize("op", ["update_ib", "remesh"])
    def test_one_warning_when_the_body_reaches_coarse_cells(self, manager, session, tiny, op):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if op == "remesh":
                # remesh refines around the body: only a level beyond reach
                # leaves cut cells coarser than the target.
                s = manager.create_axis_projected_session(tiny, 40)
                assert caught == []
                result = s.remesh(translation=[0.125, 0.0, 0.0])
            else:
                result = session.update_ib(translation=INTO_COARSE)
        assert type(result) is CfdAxisProjectedMesh
        assert len(caught) == 1
        assert caught[0].category is UserWarning
        assert str(caught[0].message) == WARNING_TEXT

    def test_switch_off_changes_only_the_warning(self, manager, cube):
        a = manager.create_axis_projected_session(cube, 3)
        b = manager.create_axis_projected_session(cube, 3)
        with pytest.warns(UserWarning):
            warned = a.update_ib(translation=INTO_COARSE)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            quiet = b.update_ib(translation=INTO_COARSE, warn_outside_refinement=False)
        assert_same_ap_mesh(warned, quiet)
        assert a.translation == b.translation

    def test_within_refined_cells_no_warning(self, session):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            session.update_ib()
            session.update_ib(translation=FAR_AWAY)
            session.remesh()

    def test_warning_as_error_keeps_the_new_state(self, manager, cube, tiny):
        s = manager.create_axis_projected_session(cube, 3)
        reference = manager.create_axis_projected_session(cube, 3)
        expected = reference.update_ib(translation=INTO_COARSE, warn_outside_refinement=False)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning, match="^Immersed boundary intersects cells below"):
                s.update_ib(translation=INTO_COARSE)
            assert s.translation == INTO_COARSE
            assert_same_ap_mesh(s.mesh, expected)
            # A remesh refines around the body again: no warning.
            s.remesh(target_level=2, translation=[0.0, 0.0, 0.0])
            assert s.translation == [0.0, 0.0, 0.0]
            assert_same_ap_mesh(s.mesh, manager.build_axis_projected_mesh(cube, 2))
            # remesh is complete too when its warning raises.
            small = manager.create_axis_projected_session(tiny, 2)
            small_ref = manager.create_axis_projected_session(tiny, 2)
            with pytest.raises(UserWarning):
                small.remesh(target_level=40, translation=[0.125, 0.0, 0.0])
        expected = small_ref.remesh(target_level=40, translation=[0.125, 0.0, 0.0],
                                    warn_outside_refinement=False)
        assert small.translation == [0.125, 0.0, 0.0]
        assert_same_ap_mesh(small.mesh, expected)

    def test_calls_from_the_warning_hook_are_refused(self, session):
        seen = []

        def hook(message, category, filename, lineno, file=None, line=None):
            for attempt in (lambda: session.update_ib(),
                            lambda: session.remesh(),
                            lambda: session.translation,
                            lambda: session.mesh):
                try:
                    attempt()
                    seen.append("ran")
                except RuntimeError as e:
                    seen.append(str(e))

        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = hook
            session.update_ib(translation=INTO_COARSE)
        assert seen == ["Already borrowed", "Already borrowed",
                        "Already mutably borrowed", "Already mutably borrowed"]
        assert session.translation == INTO_COARSE


def test_reads_during_argument_conversion_are_refused(session):
    before = session.mesh

    class Translation:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            session.rotation_quaternion  # the session is held exclusively
            return 0.5

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        session.update_ib(Translation())
    assert session.translation == [0.0, 0.0, 0.0]
    assert_same_ap_mesh(session.mesh, before)

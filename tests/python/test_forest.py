"""BoundingBox and Forest behaviour."""

import re
import subprocess
import sys

import pytest

from _quorin import BoundingBox, Forest, QuorinManager
from conftest import panic_type

UNIT = ([0, 0, 0], [1, 1, 1])


def make(base, box=UNIT):
    return Forest(BoundingBox(*box), base)


class TestBoundingBox:
    def test_stores_any_values_and_returns_fresh_lists(self):
        nan = float("nan")
        b = BoundingBox([1, 1, 1], [0, 0, nan])
        assert b.min == [1.0, 1.0, 1.0]
        assert b.max[:2] == [0.0, 0.0] and b.max[2] != b.max[2]
        assert b.min is not b.min
        b.min.append(5)
        got = b.min
        got[0] = 9
        assert b.min == [1.0, 1.0, 1.0]
        assert all(type(v) is float for v in b.min)

    @pytest.mark.parametrize("lo, hi", [
        ([1, 1, 1], [0, 0, 0]),
        ([0, 0, 0], [1, 0, 1]),              # min equal to max on y
        ([0, 0, float("nan")], [1, 1, 1]),
        ([1, 0, 0], [0, 1, 1]),
    ])
    def test_forest_over_an_invalid_box_panics_and_makes_nothing(self, lo, hi):
        box = BoundingBox(lo, hi)
        with pytest.raises(panic_type()) as info:
            Forest(box, [1, 1, 1])
        assert info.value.args == ("Invalid BoundingBox bounds",)
        # The box is unchanged and its shared borrow released.
        assert box.min[:2] == [float(v) for v in lo[:2]]

    def test_invalid_box_is_reported_before_the_base_grid(self):
        with pytest.raises(panic_type()):
            make([2**13, 2**13, 2], box=([1, 0, 0], [0, 1, 1]))


class TestConstruction:
    @pytest.mark.parametrize("base, cells", [
        ([2, 3, 4], 24),
        ([1, 1, 1], 1),
        ([0, 1, 1], 0),
        ([5, 0, 2], 0),
        ([3, 3, 0], 0),
    ])
    def test_one_cell_per_root(self, base, cells):
        assert make(base).num_cells() == cells

    def test_too_many_root_cells_is_a_value_error_naming_count_and_limit(self):
        with pytest.raises(ValueError) as info:
            make([2**13, 2**13, 2])
        text = str(info.value)
        assert "134217728" in text and "67108864" in text
        with pytest.raises(ValueError):
            make([2**26 + 1, 1, 1])
        with pytest.raises(ValueError):
            make([2**32 - 1, 2**32 - 1, 2**32 - 1])

    @pytest.mark.parametrize("base", [[2**22, 2**21, 2**21], [2**32 - 1] * 3, [2**16, 2**16, 1]])
    def test_refusal_names_the_true_root_cell_count(self, base):
        # Products of 2^64 and more are not wrapped.
        with pytest.raises(ValueError) as info:
            make(base)
        assert str(info.value) == (
            f"Base grid {base[0]} x {base[1]} x {base[2]} has {base[0] * base[1] * base[2]} "
            "root cells; at most 67108864 (2^26) are supported")

    def test_keeps_no_reference_to_the_box(self):
        box = BoundingBox(*UNIT)
        before = sys.getrefcount(box)
        f = Forest(box, [1, 1, 1])
        assert sys.getrefcount(box) == before
        del f


class TestEmptyForest:
    def test_every_method_leaves_it_empty(self):
        f = make([0, 1, 1])
        f.refine_by_flags([])
        f.coarsen_by_flags(())
        f.refine_by_bbox(*UNIT, 5)
        f.uniform_refinement(3)
        f.enforce_2_to_1_balance()
        assert f.num_cells() == 0
        with pytest.raises(ValueError, match="^Flags length must match num_cells$"):
            f.refine_by_flags([True])


class TestRefineByBbox:
    @pytest.mark.parametrize("base, lo, hi, level, cells", [
        # the root splits, then only the child at the origin corner
        ([1, 1, 1], [0.1] * 3, [0.2] * 3, 2, 15),
        ([1, 1, 1], [0.1] * 3, [0.2] * 3, 0, 1),
        # boxes touching cells only on faces, edges or corners overlap nothing
        ([2, 2, 2], [0.5] * 3, [0.5] * 3, 1, 8),
        ([2, 2, 2], [1, 0, 0], [2, 1, 1], 1, 8),
        ([2, 2, 2], [0.5, 0, 0], [0.5, 1, 1], 1, 8),
        # a box reaching outside the domain refines what it overlaps
        ([2, 1, 1], [-5, -5, -5], [0.25, 5, 5], 1, 9),
        # a NaN bound overlaps nothing
        ([1, 1, 1], [float("nan"), 0, 0], [1, 1, 1], 3, 1),
        # the whole domain, two passes
        ([1, 1, 1], [0, 0, 0], [1, 1, 1], 2, 64),
    ])
    def test_cell_counts(self, base, lo, hi, level, cells):
        f = make(base)
        f.refine_by_bbox(lo, hi, level)
        assert f.num_cells() == cells

    @pytest.mark.parametrize("lo, hi, level, cells", [
        # Inverted on x: the root reaches below 0.4 and above 0.6 and splits;
        # no child does both, so the split stops there.
        ([0.6, 0.1, 0.1], [0.4, 0.9, 0.9], 1, 8),
        ([0.6, 0.1, 0.1], [0.4, 0.9, 0.9], 3, 8),
        ([0.7, 0.7, 0.7], [0.3, 0.3, 0.3], 2, 8),
        # Flat on x, inside the root and then inside the x < 0.5 children.
        ([0.25, 0.1, 0.1], [0.25, 0.9, 0.9], 2, 8 + 4 * 7),
        # Inverted past the root's own faces: 1 is not below 1.
        ([1, 0, 0], [0.5, 1, 1], 2, 1),
    ])
    def test_inverted_box_is_tested_by_the_same_two_comparisons(self, lo, hi, level, cells):
        f = make([1, 1, 1])
        f.refine_by_bbox(lo, hi, level)
        assert f.num_cells() == cells

    def test_a_refinement_region_keeps_its_rule_and_an_inverted_one_refines_nothing(self):
        manager = QuorinManager(BoundingBox(*UNIT), [1, 1, 1], 0)

        def cells(*regions):
            return manager.build_axis_projected_mesh(None, 0, list(regions)).n_cells

        assert cells() == 1
        assert cells(([0.4, 0.1, 0.1], [0.6, 0.9, 0.9], 1)) == 8
        for lo, hi in [([0.6, 0.1, 0.1], [0.4, 0.9, 0.9]),    # refines 1 -> 8 as a bbox
                       ([0.25, 0.1, 0.1], [0.25, 0.9, 0.9]),
                       ([0.1, 0.1, float("nan")], [0.9, 0.9, 0.9])]:
            assert cells((lo, hi, 3)) == 1
            assert cells((lo, hi, 3), ([0.4, 0.1, 0.1], [0.6, 0.9, 0.9], 1)) == 8

    def test_stops_at_level_32_however_high_the_target(self):
        f = make([1, 1, 1])
        lo = [0.3, 0.3, 0.3]
        hi = [0.3 + 1e-12] * 3
        f.refine_by_bbox(lo, hi, 32)
        n = f.num_cells()
        assert n >= 1 + 7 * 32  # at least one cell split per level down to 32
        f.refine_by_bbox(lo, hi, 40)
        assert f.num_cells() == n
        f.refine_by_bbox(lo, hi, 255)
        assert f.num_cells() == n

    def test_already_fine_cells_are_left_alone(self):
        f = make([1, 1, 1])
        f.uniform_refinement(2)
        f.refine_by_bbox(*UNIT, 2)
        assert f.num_cells() == 64


class TestFlags:
    def test_refine_and_coarsen_round_trip(self):
        f = make([2, 3, 1])
        n = f.num_cells()
        f.refine_by_flags([True] * n)
        assert f.num_cells() == 8 * n
        f.coarsen_by_flags([True] * (8 * n))
        assert f.num_cells() == n

    def test_refine_selected_cells_in_cell_order(self):
        f = make([3, 1, 1])
        f.refine_by_flags([False, True, False])
        assert f.num_cells() == 10
        f.refine_by_flags([True] + [False] * 9)  # tree 0's root: ids 0..7 are its children
        assert f.num_cells() == 17

    def test_coarsen_needs_all_eight_siblings_and_one_level_per_call(self):
        f = make([1, 1, 1])
        f.uniform_refinement(2)
        f.coarsen_by_flags([True] * 7 + [False] + [True] * 56)
        assert f.num_cells() == 8 + 7  # the first group stays, the other seven merge
        f = make([1, 1, 1])
        f.uniform_refinement(2)
        f.coarsen_by_flags([True] * 64)
        assert f.num_cells() == 8
        f.coarsen_by_flags([True] * 8)
        assert f.num_cells() == 1
        f.coarsen_by_flags([True])  # root cells never merge
        assert f.num_cells() == 1

    @pytest.mark.parametrize("count", [0, 7, 9])
    def test_wrong_length_changes_nothing(self, count):
        f = make([2, 2, 2])
        for method in (f.refine_by_flags, f.coarsen_by_flags):
            with pytest.raises(ValueError) as info:
                method([True] * count)
            assert str(info.value) == "Flags length must match num_cells"
        assert f.num_cells() == 8
        f.refine_by_flags([True] * 8)
        assert f.num_cells() == 64

    def test_a_bad_item_late_in_the_list_changes_nothing(self):
        f = make([2, 2, 2])
        with pytest.raises(TypeError):
            f.refine_by_flags([True] * 7 + [1])
        assert f.num_cells() == 8


class TestUniformRefinement:
    @pytest.mark.parametrize("times, cells", [(0, 1), (1, 8), (2, 64), (3, 512)])
    def test_counts(self, times, cells):
        f = make([1, 1, 1])
        f.uniform_refinement(times)
        assert f.num_cells() == cells

    def test_overflowing_count_changes_nothing(self):
        f = make([1, 1, 1])
        with pytest.raises(OverflowError):
            f.uniform_refinement(256)
        assert f.num_cells() == 1


class TestOutOfMemory:
    # The child caps its data segment a little above what it uses, so a
    # refinement runs out after a few small levels instead of filling the
    # machine: level 9 of a 64^3 grid would need 2^45 keys of 16 bytes.
    CHILD = (
        "import re, resource\n"
        "from _quorin import BoundingBox, Forest, QuorinManager\n"
        "box = BoundingBox([0, 0, 0], [1, 1, 1])\n"
        "f = Forest(box, [64, 64, 64])\n"
        "f.uniform_refinement(0)\n"
        "used = next(int(l.split()[1]) for l in open('/proc/self/status')\n"
        "            if l.startswith('VmData')) * 1024\n"
        "hard = resource.getrlimit(resource.RLIMIT_DATA)[1]\n"
        "resource.setrlimit(resource.RLIMIT_DATA, (used + (768 << 20), hard))\n"
        "for run in (lambda: f.uniform_refinement(9),\n"
        "            lambda: QuorinManager(box, [64, 64, 64], 9).build_axis_projected_mesh(None, 0)):\n"
        "    try:\n"
        "        run()\n"
        "        print('no error')\n"
        "    except MemoryError as e:\n"
        "        print(e)\n"
        "print(f.num_cells())\n"
    )

    def test_message_names_the_level_and_the_cells_being_made(self):
        out = subprocess.run([sys.executable, "-c", self.CHILD], check=True, capture_output=True,
                             text=True, timeout=120)
        forest_error, build_error, cells = out.stdout.strip().splitlines()
        pattern = r"Out of memory refining to level (\d+): (\d+) cells were being made"
        for text in (forest_error, build_error):
            match = re.fullmatch(pattern, text)
            assert match, text
            level, count = int(match[1]), int(match[2])
            assert 1 <= level <= 9 and count == 64**3 * 8**level, text
        # The passes before the failing one stay done; the forest is usable.
        level = int(re.fullmatch(pattern, forest_error)[1])
        assert int(cells) == 64**3 * 8**(level - 1)


class TestBalance:
    def test_balanced_forests_are_unchanged(self):
        for f in (make([2, 2, 2]), make([0, 0, 0])):
            n = f.num_cells()
            f.enforce_2_to_1_balance()
            assert f.num_cells() == n
        f = make([1, 1, 1])
        f.uniform_refinement(2)
        f.enforce_2_to_1_balance()
        assert f.num_cells() == 64

    def test_face_neighbour_across_root_cells(self):
        # Tree 1 refined, then its first child: level-2 leaves beside tree 0's root.
        f = make([2, 1, 1])
        f.refine_by_flags([False, True])
        f.refine_by_flags([False, True] + [False] * 7)
        assert f.num_cells() == 16
        f.enforce_2_to_1_balance()
        assert f.num_cells() == 23

    def test_edge_neighbour_is_balanced_too(self):
        # Tree 3 of a 2x2x1 grid: tree 0 touches it only along an edge.
        f = make([2, 2, 1])
        f.refine_by_flags([False, False, False, True])
        f.refine_by_flags([False] * 3 + [True] + [False] * 7)
        assert f.num_cells() == 18
        f.enforce_2_to_1_balance()
        assert f.num_cells() == 39

    def test_three_levels_deep_needs_several_passes(self):
        f = make([2, 1, 1])
        f.refine_by_flags([False, True])
        f.refine_by_flags([False, True] + [False] * 7)
        f.refine_by_flags([False, True] + [False] * 14)
        assert f.num_cells() == 23
        f.enforce_2_to_1_balance()
        assert f.num_cells() == 37

"""Release: objects, results and errors leave no references or memory behind."""

import gc
import sys
import tracemalloc

import pytest

import _quorin
from _quorin import BoundingBox, Forest
from conftest import panic_type

Q = _quorin._quaternion_from_axis_angle
PANIC = panic_type()


def churn(n, hooks=None):
    inverted = BoundingBox([1, 0, 0], [0, 1, 1])
    for i in range(n):
        b = BoundingBox([0, 0, 0], (1.0, 1.0, float(i + 1)))
        b.min
        b.max
        f = Forest(b, [2, 1, 1])
        f.uniform_refinement(1)
        f.refine_by_flags([True] + [False] * 15)
        f.refine_by_bbox([0, 0, 0], [0.1, 0.1, 0.1], 3)
        f.enforce_2_to_1_balance()
        f.num_cells()
        Q([0, 0, 1], 0.5)
        try:
            Forest(None, [1, 1, 1])
        except TypeError:
            pass
        try:
            f.refine_by_flags([True])
        except ValueError:
            pass
        try:
            BoundingBox([0, 0], [1, 1, 1])
        except ValueError:
            pass
        try:
            Forest(inverted, [1, 1, 1])
        except PANIC:
            pass
        if hooks is not None:
            hooks.make_sealed(4).size
            hooks.regions([((0, 0, 0), (1, 1, 1), 2)])
            hooks.path("a.stl")
            try:
                hooks.Sealed()
            except TypeError:
                pass


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_100000_objects_and_results_do_not_grow_memory():
    gc.collect()  # garbage that earlier tests left must not count against the calls
    refs = sys.getrefcount(BoundingBox), sys.getrefcount(Forest)
    churn(5000)
    gc.collect()
    before = rss_bytes()
    churn(100_000)
    gc.collect()
    grown = rss_bytes() - before
    # Every live instance holds a reference to its class.
    assert (sys.getrefcount(BoundingBox), sys.getrefcount(Forest)) == refs
    # A leaked forest (9+ keys each) or a leaked result object per call would
    # add megabytes here.
    assert grown < 2 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def test_no_python_allocations_survive_the_calls(hooks):
    churn(200, hooks)
    gc.collect()
    tracemalloc.start()
    try:
        churn(100, hooks)  # warm caches made under tracing
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        churn(20_000, hooks)
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # One leaked float per iteration would be 480 kB.
    assert end - start < 64 * 1024, f"traced memory grew by {end - start} bytes"


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
def test_total_reference_count_is_stable_on_a_debug_interpreter(hooks):
    churn(100, hooks)
    gc.collect()
    before = sys.gettotalrefcount()
    churn(2000, hooks)
    gc.collect()
    assert sys.gettotalrefcount() - before < 50

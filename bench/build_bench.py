"""Whole builds through the Python module, timed: the ghost-cell mesh, the
axis-projected mesh, and a session's update_ib and remesh, on an STL surface
(default: the Stanford bunny of the shared data) in the domain used for the
background-mesh benchmark.

    .venv/bin/python bench/build_bench.py [path.stl] [target_level] [n_leaf_refinement]
"""
import os
import sys
import time

import numpy as np

import _quorin

DOMAIN = ([-9.912138, -5.081526, -8.009299], [9.902513, 14.733124, 8.090105])
BASE = [16, 16, 13]
SEED = [-9.0, -4.0, -7.0]


def timed(label, fn, cells=None):
    t0 = time.perf_counter()
    out = fn()
    dt = time.perf_counter() - t0
    n = cells(out) if cells else None
    rate = f"  {n / dt / 1e6:8.2f} M cells/s" if n else ""
    print(f"{label:34s} {dt:8.3f} s{rate}" + (f"  ({n} cells)" if n else ""))
    return out


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    path = argv[1] if len(argv) > 1 else os.path.join(here, "..", "..", "shared", "data", "bunny.stl")
    level = int(argv[2]) if len(argv) > 2 else 6
    n_leaf = int(argv[3]) if len(argv) > 3 else 0
    manager = _quorin.QuorinManager(_quorin.BoundingBox(*DOMAIN), BASE, n_leaf_refinement=n_leaf)
    print(f"surface {path}, target level {level}, n_leaf_refinement {n_leaf}")
    gc = timed("build_ghost_cell_mesh", lambda: manager.build_ghost_cell_mesh(path, level, SEED),
               lambda m: m.n_cells)
    print(f"{'':34s} {len(gc.gc_cell_ids)} ghost cells, "
          f"{int(np.count_nonzero(gc.gc_is_fluid))} fluid cells")
    timed("build_axis_projected_mesh", lambda: manager.build_axis_projected_mesh(path, level),
          lambda m: m.n_cells)
    session = timed("create_axis_projected_session",
                    lambda: manager.create_axis_projected_session(path, level),
                    lambda s: s.mesh.n_cells)
    timed("session.update_ib", lambda: session.update_ib(translation=[0.05, 0.0, 0.0],
                                                         warn_outside_refinement=False),
          lambda m: m.n_cells)
    timed("session.remesh", lambda: session.remesh(warn_outside_refinement=False),
          lambda m: m.n_cells)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

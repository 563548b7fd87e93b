"""Whole builds around a surface of CAD size: the generated lat-long sphere
of 1,998,000 triangles (bench/sphere_stl.py, N = 1000, written once to the
temporary directory, about 100 MB) in a box padded by 30 % with 8 root
cells per side. Per call and level, a table row with the surface's load time
alone (build/bench/surface_load: read, parse, hierarchy), the call's median
wall time over fresh processes and its peak RSS per triangle.

    .venv/bin/python bench/large_surface_bench.py [--n 1000] [--levels 0,6]
                                                  [--threads 8] [--runs 3]
                                                  [--surface PATH]
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LOADER = os.path.join(HERE, "..", "build", "bench", "surface_load")
HALF = 1.3  # the sphere has radius 1
SEED = [-1.25, -1.25, -1.25]
CALLS = {"ghost_cell": "build_ghost_cell_mesh", "axis_projected": "build_axis_projected_mesh",
         "session": "create_axis_projected_session"}


def child(call, path, level):
    import _quorin
    manager = _quorin.QuorinManager(_quorin.BoundingBox([-HALF] * 3, [HALF] * 3), [8, 8, 8],
                                    n_leaf_refinement=0)
    fn = {"ghost_cell": lambda: manager.build_ghost_cell_mesh(path, level, SEED),
          "axis_projected": lambda: manager.build_axis_projected_mesh(path, level),
          "session": lambda: manager.create_axis_projected_session(path, level).mesh}[call]
    t0 = time.perf_counter()
    mesh = fn()
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "cells": mesh.n_cells, "peak": peak}))


def run(cmd, threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if out.returncode != 0:
        sys.stderr.write(out.stderr)
        raise SystemExit(f"{' '.join(cmd)} failed (exit {out.returncode})")
    return json.loads(out.stdout.strip().splitlines()[-1])


def surface(args):
    if args.surface:
        return args.surface
    path = os.path.join(tempfile.gettempdir(), f"quorin_sphere_{args.n}.stl")
    if not os.path.exists(path):
        sys.path.insert(0, HERE)
        import sphere_stl
        partial = f"{path}.{os.getpid()}"
        sphere_stl.write_stl(partial, *sphere_stl.sphere(args.n, 1.0))
        os.replace(partial, path)
    return path


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--n", type=int, default=1000, help="grid size of the sphere")
    p.add_argument("--surface", help="another surface file instead of the sphere")
    p.add_argument("--levels", default="0,6")
    p.add_argument("--threads", type=int, default=8)
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.child:
        call, path, level = args.child
        child(call, path, int(level))
        return 0
    path = surface(args)
    loads = [run([LOADER, path], args.threads) for _ in range(args.runs)]
    load = statistics.median(r["seconds"] for r in loads)
    triangles = loads[0]["triangles"]
    print(f"surface {path}: {triangles} triangles, {os.path.getsize(path) / 2**20:.0f} MiB; "
          f"domain +-{HALF}, base 8x8x8, {args.threads} threads, median of {args.runs} processes")
    print(f"load alone: {load:.3f} s, peak {statistics.median(r['peak'] for r in loads) / triangles:.0f} B/tri")
    print(f"{'level':>5} {'call':15} {'cells':>9} | {'load s':>7} {'build s':>8} {'peak B/tri':>10}")
    for level in [int(x) for x in args.levels.split(",") if x]:
        for call in CALLS:
            rs = [run([sys.executable, os.path.abspath(__file__), "--child", call, path, str(level)],
                      args.threads) for _ in range(args.runs)]
            print(f"{level:>5} {call:15} {rs[0]['cells']:>9} | {load:7.3f} "
                  f"{statistics.median(r['seconds'] for r in rs):8.3f} "
                  f"{statistics.median(r['peak'] for r in rs) / triangles:10.0f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Fingerprints of every result array of the five mesh calls, for a set of
surfaces: one line per (case, call, attribute) with dtype, shape and the
sha256 of the array's bytes. Two runs that print the same lines produced the
same meshes bit for bit, whatever the thread count or the code change.
Line format: `case call attribute dtype shape sha256`, with `shape` as
`NxM`; integers print `case call attribute int - value`, the patch map
`case call patch_name_to_id dict size sha256-of-its-sorted-items`, and the
arrays of the `.ap` record appear as `ap.name`.

    .venv/bin/python bench/output_hashes.py [--quick] [--threads N]
                                            [--out FILE] [--compare FILE]

--threads N   run each case in a fresh interpreter with RAYON_NUM_THREADS=N
              (the pool size is fixed once per process)
--quick       only the small cases (a few seconds on one thread)
--out FILE    also write the lines to FILE
--compare F   compare with the lines saved in F (only the cases run here);
              exit 1 and list the differing lines if any differ
"""
import argparse
import hashlib
import os
import subprocess
import sys
import tempfile

import numpy as np

import _quorin

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data")
BENCH_DOMAIN = ([-9.912138, -5.081526, -8.009299], [9.902513, 14.733124, 8.090105])

# Each domain encloses its body with margin, with roughly cubic root cells;
# the seed is near a domain corner, well outside the body. The cube's domain
# is chosen so that its faces do not fall on cell faces.
CASES = [
    dict(name="bunny", file="bunny.stl", quick=True, level=4,
         domain=([-8, -3, -6], [8, 13, 6]), base=[8, 8, 6], seed=[-7.5, -2.5, -5.5]),
    dict(name="scan_bunny_open", file="scan_bunny_open.bin.stl", quick=True, level=4,
         domain=([-0.15, -0.02, -0.12], [0.12, 0.25, 0.12]), base=[9, 9, 8],
         seed=[-0.14, -0.01, -0.11]),
    dict(name="gearwheel", file="gearwheel.ascii.stl", quick=True, level=5,
         domain=([-30, -30, -8], [30, 30, 16]), base=[5, 5, 2], seed=[-29, -29, -7]),
    dict(name="bunny_gear_multipart", file="bunny_gear_multipart.obj", quick=True, level=4,
         domain=([-12, -30, -12], [60, 30, 18]), base=[12, 10, 5], seed=[-11, -29, -11]),
    dict(name="cube_solid_header", file="cube_solid_header.bin.stl", quick=True, level=5,
         domain=([-77, -77, -77], [77, 77, 77]), base=[4, 4, 4], seed=[-75, -75, -75]),
    dict(name="gearwheel_region", file="gearwheel.ascii.stl", quick=True, level=5,
         domain=([-30, -30, -12], [30, 30, 20]), base=[12, 12, 7], seed=[-29, -29, -11],
         regions=[([-25.0, -25.0, 9.0], [0.0, 25.0, 14.0], 4)]),
    dict(name="bunny_leaf_pass", file="bunny.stl", quick=False, level=4, n_leaf=1,
         domain=BENCH_DOMAIN, base=[16, 16, 13], seed=[-9.0, -4.0, -7.0]),
    dict(name="scan_bunny_open_l6", file="scan_bunny_open.bin.stl", quick=False, level=6,
         domain=([-0.15, -0.02, -0.12], [0.12, 0.25, 0.12]), base=[9, 9, 8],
         seed=[-0.14, -0.01, -0.11]),
    dict(name="bench_bunny_l5", file="bunny.stl", quick=False, level=5,
         domain=BENCH_DOMAIN, base=[16, 16, 13], seed=[-9.0, -4.0, -7.0]),
    dict(name="bench_bunny_l6", file="bunny.stl", quick=False, level=6,
         domain=BENCH_DOMAIN, base=[16, 16, 13], seed=[-9.0, -4.0, -7.0]),
    # A surface of CAD size: the generated sphere of 1,998,000 triangles.
    dict(name="sphere_2m_l4", sphere=1000, quick=False, level=4,
         domain=([-1.3, -1.3, -1.3], [1.3, 1.3, 1.3]), base=[8, 8, 8], seed=[-1.25, -1.25, -1.25]),
]

TRANSLATION = [0.05, 0.0, 0.0]
ROTATION_AXIS, ROTATION_ANGLE = [0.3, 0.5, 0.8], 0.2


def sha(data):
    return hashlib.sha256(data).hexdigest()


def value_lines(prefix, name, value):
    """Lines for one attribute; objects holding arrays (the `.ap` record)
    give one line per array, named `parent.child`."""
    if isinstance(value, np.ndarray):
        shape = "x".join(str(n) for n in value.shape) or "scalar"
        return [f"{prefix} {name} {value.dtype} {shape} {sha(np.ascontiguousarray(value).tobytes())}"]
    if isinstance(value, int) and not isinstance(value, bool):
        return [f"{prefix} {name} int - {value}"]
    if isinstance(value, dict):
        return [f"{prefix} {name} dict {len(value)} {sha(repr(sorted(value.items())).encode())}"]
    if isinstance(value, (bool, float, str, list, tuple)) or not public_attributes(value):
        raise TypeError(f"{name}: no fingerprint for {type(value).__name__}")
    return object_lines(prefix, value, name + ".")


def public_attributes(obj):
    return sorted(a for a in dir(obj)
                  if not a.startswith("_") and not callable(getattr(obj, a)))


def object_lines(prefix, obj, parent=""):
    lines = []
    for name in public_attributes(obj):
        lines += value_lines(prefix, parent + name, getattr(obj, name))
    return lines


def surface_path(case):
    """The case's surface file; a generated sphere is written once to the
    temporary directory."""
    if "sphere" not in case:
        return os.path.join(DATA, case["file"])
    n = case["sphere"]
    path = os.path.join(tempfile.gettempdir(), f"quorin_sphere_{n}.stl")
    if not os.path.exists(path):
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import sphere_stl
        partial = f"{path}.{os.getpid()}"
        sphere_stl.write_stl(partial, *sphere_stl.sphere(n, 1.0))
        os.replace(partial, path)
    return path


def case_calls(case):
    """The five results of one case, in call order, as (call name, result)."""
    path = surface_path(case)
    level = case["level"]
    manager = _quorin.QuorinManager(_quorin.BoundingBox(*case["domain"]), case["base"],
                                    n_leaf_refinement=case.get("n_leaf", 0))
    regions = case.get("regions")
    yield "build_ghost_cell_mesh", manager.build_ghost_cell_mesh(path, level, case["seed"], regions)
    yield "build_axis_projected_mesh", manager.build_axis_projected_mesh(path, level, regions)
    session = manager.create_axis_projected_session(path, level, regions)
    yield "create_axis_projected_session", session.mesh
    rotation = _quorin._quaternion_from_axis_angle(ROTATION_AXIS, ROTATION_ANGLE)
    yield "update_ib", session.update_ib(translation=TRANSLATION, rotation_quaternion=rotation,
                                         warn_outside_refinement=False)
    yield "remesh", session.remesh(warn_outside_refinement=False)


def case_lines(case):
    lines = []
    for call, result in case_calls(case):
        lines += object_lines(f"{case['name']} {call}", result)
        # No result outlives its lines: a remesh then reuses the memory of
        # the record it replaces, as in a solver that keeps only arrays it
        # copied.
        del result
    return lines


def case_lines_in_subprocess(case, threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--case", case["name"]],
                         env=env, capture_output=True, text=True)
    if out.returncode != 0:
        sys.stderr.write(out.stderr)
        raise SystemExit(f"case {case['name']} failed with {threads} threads "
                         f"(exit {out.returncode})")
    return out.stdout.splitlines()


def line_key(line):
    return tuple(line.split()[:3])


def compare(lines, saved_path, case_names):
    """Differences between `lines` and the saved lines of the same cases."""
    with open(saved_path) as f:
        saved = [l for l in f.read().splitlines() if l.strip()]
    saved = {line_key(l): l for l in saved if l.split()[0] in case_names}
    now = {line_key(l): l for l in lines}
    diffs = []
    for key in list(saved) + [k for k in now if k not in saved]:
        old, new = saved.get(key), now.get(key)
        if old != new:
            diffs.append(f"- {old or '(missing)'}\n+ {new or '(missing)'}")
    return diffs


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out")
    p.add_argument("--compare")
    p.add_argument("--threads", type=int)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--case", help=argparse.SUPPRESS)  # one case, in this process
    return p.parse_args(argv)


def main(argv):
    args = parse(argv)
    if args.case:
        cases = [c for c in CASES if c["name"] == args.case]
        if not cases:
            raise SystemExit(f"unknown case {args.case}")
    else:
        cases = [c for c in CASES if c["quick"] or not args.quick]
    lines = []
    for case in cases:
        new = (case_lines_in_subprocess(case, args.threads) if args.threads
               else case_lines(case))
        print("\n".join(new), flush=True)
        lines += new
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")
    if args.compare:
        diffs = compare(lines, args.compare, {c["name"] for c in cases})
        if diffs:
            print(f"\n{len(diffs)} lines differ from {args.compare}:", file=sys.stderr)
            print("\n".join(diffs), file=sys.stderr)
            return 1
        print(f"all {len(lines)} lines match {args.compare}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

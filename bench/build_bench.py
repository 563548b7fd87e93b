"""Whole builds through the Python module, timed: the ghost-cell mesh, the
axis-projected mesh, an axis-projected session, and the session's update_ib
(translation and rotation) and remesh, on an STL surface (default: the
Stanford bunny of the shared data) in the domain used for the background-mesh
benchmark.

    .venv/bin/python bench/build_bench.py [path.stl] [--levels 5,6,7]
                                          [--threads 1,8] [--runs 3]
                                          [--no-ceiling]

Every run of every call is a fresh interpreter with RAYON_NUM_THREADS set, so
that the pool has that size and the peak RSS (getrusage ru_maxrss) belongs to
that call. For update_ib and remesh the session is created first, untimed
(for remesh the body is then moved by an untimed update_ib), and the peak is
reset (/proc/self/clear_refs) just before the timed call, so their peak counts
the session they start from but not its creation. The table gives the median
wall time, cells per second, peak RSS per cell and the same less the baseline
RSS of an interpreter with numpy and _quorin imported.

Two more runs per call give the scaling in context. The ceiling runs as many
one-thread copies of the call at once as the largest thread count (their
timed calls started together): the lone one-thread time times that count
over a copy's time is the speed-up this machine allows for the call without
doing less work, since its cores share memory bandwidth and caches (and, on
a virtual machine, the host's cores). One run at the largest thread count
has its threads' states sampled: the share of it during which at most one
thread ran, in all and in its longest stretch.
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

DOMAIN = ([-9.912138, -5.081526, -8.009299], [9.902513, 14.733124, 8.090105])
BASE = [16, 16, 13]
SEED = [-9.0, -4.0, -7.0]
TRANSLATION = [0.05, 0.0, 0.0]
ROTATION_AXIS, ROTATION_ANGLE = [0.3, 0.5, 0.8], 0.2
CALLS = ["build_ghost_cell_mesh", "build_axis_projected_mesh",
         "create_axis_projected_session", "update_ib", "remesh"]
SHORT = {"build_ghost_cell_mesh": "ghost_cell", "build_axis_projected_mesh": "axis_projected",
         "create_axis_projected_session": "session", "update_ib": "update_ib",
         "remesh": "remesh"}


def peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def reset_peak_rss():
    """Lowers the process's peak RSS to its current RSS; False where the
    kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


# ---- child side: one call, one process ---------------------------------

def run_call(call, path, level, n_leaf, before=lambda: None):
    """Times one call; returns ((start, end) on the monotonic clock, cell
    count, peak reset before it)."""
    import _quorin
    manager = _quorin.QuorinManager(_quorin.BoundingBox(*DOMAIN), BASE, n_leaf_refinement=n_leaf)
    if call == "build_ghost_cell_mesh":
        fn, reset = lambda: manager.build_ghost_cell_mesh(path, level, SEED), False
    elif call == "build_axis_projected_mesh":
        fn, reset = lambda: manager.build_axis_projected_mesh(path, level), False
    elif call == "create_axis_projected_session":
        fn, reset = lambda: manager.create_axis_projected_session(path, level).mesh, False
    else:
        session = manager.create_axis_projected_session(path, level)
        rotation = _quorin._quaternion_from_axis_angle(ROTATION_AXIS, ROTATION_ANGLE)
        move = lambda: session.update_ib(translation=TRANSLATION, rotation_quaternion=rotation,
                                         warn_outside_refinement=False)
        if call == "remesh":  # around the moved body, as a moving-body solver would
            move()
        fn = move if call == "update_ib" else lambda: session.remesh(warn_outside_refinement=False)
        reset = reset_peak_rss()
    before()
    t0 = time.clock_gettime(time.CLOCK_MONOTONIC)
    mesh = fn()
    t1 = time.clock_gettime(time.CLOCK_MONOTONIC)
    return (t0, t1), mesh.n_cells, reset


def wait_for_go():
    """Tells the parent this child is about to time its call and waits for
    its word: copies run at once then start their timed calls together."""
    print("ready", flush=True)
    sys.stdin.readline()


def child(args):
    import numpy  # noqa: F401 - part of the baseline
    import _quorin
    out = {"seconds": 0.0, "cells": 0, "reset": False, "module": _quorin.__file__}
    if args.child != "baseline":
        (t0, t1), n, reset = run_call(args.child, args.surface, args.child_level,
                                      args.n_leaf_refinement,
                                      wait_for_go if args.child_barrier else lambda: None)
        out = {"seconds": t1 - t0, "start": t0, "end": t1, "cells": n, "reset": reset}
    out["peak"] = peak_rss_bytes()
    print(json.dumps(out))


# ---- parent side: the runs and the table --------------------------------

def child_command(args, what, threads, level, barrier=False):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    cmd = [sys.executable, os.path.abspath(__file__), args.surface, "--child", what,
           "--child-level", str(level), "--n-leaf-refinement", str(args.n_leaf_refinement)]
    if barrier:
        cmd.append("--child-barrier")
    return cmd, env


def child_result(what, level, threads, returncode, stdout, stderr):
    if returncode != 0:
        sys.stderr.write(stderr)
        raise SystemExit(f"{what} at level {level} with {threads} threads failed "
                         f"(exit {returncode})")
    return json.loads(stdout.strip().splitlines()[-1])


def spawn(args, what, threads, level=0):
    cmd, env = child_command(args, what, threads, level)
    out = subprocess.run(cmd, env=env, capture_output=True, text=True)
    return child_result(what, level, threads, out.returncode, out.stdout, out.stderr)


def spawn_copies(args, what, copies, level):
    """`copies` one-thread children of one call at once, their timed calls
    started together; their results. On a machine whose cores share
    resources (memory bandwidth, caches, or the host's cores under virtual
    CPUs) each copy runs slower than alone: `copies` times the lone time
    over a copy's time is the most any parallel version of the call could
    gain here without doing less work."""
    cmd, env = child_command(args, what, 1, level, barrier=True)
    procs = [subprocess.Popen(cmd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for _ in range(copies)]
    for p in procs:
        if p.stdout.readline().strip() != "ready":
            p.wait()
            for other in procs:
                other.kill()
            raise SystemExit(f"{what} at level {level}: a copy did not start "
                             f"(exit {p.returncode}): {p.stderr.read()}")
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    results = []
    for p in procs:
        stdout, stderr = p.communicate()
        results.append(child_result(what, level, 1, p.returncode, stdout, stderr))
    return results


def spawn_sampled(args, what, threads, level):
    """One child run while the states of its threads are sampled about every
    half millisecond (/proc/<pid>/task/<tid>/stat; their run times there
    advance only at the scheduler's tick, too coarse here); the child's
    result and the samples, each (monotonic time, threads running)."""
    cmd, env = child_command(args, what, threads, level)
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    samples = []
    while p.poll() is None:
        now = time.clock_gettime(time.CLOCK_MONOTONIC)
        try:
            tids = os.listdir(f"/proc/{p.pid}/task")
        except OSError:
            break
        running = 0
        for tid in tids:
            try:
                with open(f"/proc/{p.pid}/task/{tid}/stat") as f:
                    running += f.read().rpartition(")")[2].split()[0] == "R"
            except (OSError, IndexError):
                pass  # the thread has just ended
        samples.append((now, running))
        time.sleep(0.0005)
    stdout, stderr = p.communicate()
    return child_result(what, level, threads, p.returncode, stdout, stderr), samples


def serial_stretches(samples, start, end):
    """The longest stretch and the total time within [start, end] during
    which at most one thread of the process was running (each sample
    standing for the time up to the next), as fractions of end - start."""
    longest = total = stretch = 0.0
    for (ta, running), (tb, _) in zip(samples, samples[1:]):
        lo, hi = max(ta, start), min(tb, end)
        if hi <= lo:
            continue
        if running <= 1:
            stretch += hi - lo
            total += hi - lo
            longest = max(longest, stretch)
        else:
            stretch = 0.0
    wall = end - start
    return longest / wall, total / wall


def measure(args, call, level, threads):
    """Per thread count: median time, cell count and median peak RSS over
    args.runs processes. The thread counts take turns, so that a slow spell
    of the machine weighs on each of them alike."""
    runs = {t: [] for t in threads}
    for _ in range(args.runs):
        for t in threads:
            runs[t].append(spawn(args, call, t, level))
    results = {}
    for t, rs in runs.items():
        cells = {r["cells"] for r in rs}
        if len(cells) != 1:
            raise SystemExit(f"{call} level {level}: cell counts differ between runs: {cells}")
        results[t] = {"seconds": statistics.median(r["seconds"] for r in rs), "cells": cells.pop(),
                      "peak": statistics.median(r["peak"] for r in rs),
                      "reset": all(r["reset"] for r in rs)}
    results["ceiling"] = ceiling(args, call, level, threads, results)
    top = threads[-1]
    sampled, samples = spawn_sampled(args, call, top, level)
    results["serial"] = serial_stretches(samples, sampled["start"], sampled["end"])
    return results


def available_memory():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def ceiling(args, call, level, threads, results):
    """The machine's own limit to the speed-up from one thread to the most:
    that many one-thread copies of the call at once (spawn_copies). None
    when not asked for, when the counts do not start at one thread, or when
    the copies would not fit in the free memory."""
    copies = threads[-1]
    if not args.ceiling or threads[0] != 1 or copies < 2:
        return None
    if copies * results[1]["peak"] > 0.8 * available_memory():
        return None
    lone = results[1]["seconds"]
    return copies * lone / statistics.median(r["seconds"] for r in spawn_copies(args, call, copies, level))


def header(threads):
    cols = f"{'level':>5} {'call':15} {'cells':>9}"
    for t in threads:
        cols += f" | {f'{t} thr s':>9} {'Mcell/s':>7} {'peak B/c':>8} {'net B/c':>7}"
    if len(threads) > 1:
        cols += f" | {f'x {threads[0]}->{threads[-1]}':>7} {'ceiling':>7}"
    cols += f" | {'serial':>6} {'longest':>7}"
    return cols


def row(level, call, results, threads):
    line = f"{level:>5} {SHORT[call]:15} {results[threads[0]]['cells']:>9}"
    for t in threads:
        r = results[t]
        rate = r["cells"] / r["seconds"] / 1e6 if r["seconds"] > 0 else float("inf")
        line += (f" | {r['seconds']:9.3f} {rate:7.2f} {r['peak'] / r['cells']:8.0f}"
                 f" {(r['peak'] - r['baseline']) / r['cells']:7.0f}")
    if len(threads) > 1:
        line += f" | {results[threads[0]]['seconds'] / results[threads[-1]]['seconds']:7.2f}"
        c = results["ceiling"]
        line += f" {c:7.2f}" if c is not None else f" {'-':>7}"
    total = results["serial"][1]
    longest = results["serial"][0]
    line += f" | {100 * total:5.1f}% {100 * longest:6.1f}%"
    return line


def table(args):
    print(f"surface {args.surface}, domain {DOMAIN}, base {BASE}, "
          f"n_leaf_refinement {args.n_leaf_refinement}; median of {args.runs} processes")
    print(f"module {spawn(args, 'baseline', 1)['module']}")
    baseline = {t: statistics.median(spawn(args, "baseline", t)["peak"] for _ in range(args.runs))
                for t in args.threads}
    print("baseline RSS (python + numpy + _quorin): " +
          ", ".join(f"{baseline[t] / 2**20:.1f} MiB at {t} thr" for t in args.threads))
    print("peak B/c: peak RSS / cells; net B/c: (peak RSS - baseline) / cells; "
          "update_ib and remesh: peak from the session's state onward")
    top = args.threads[-1]
    print(f"x {args.threads[0]}->{top}: speed-up of the median times; ceiling: {top} times the "
          f"one-thread time over the median time of {top} one-thread copies run at once "
          f"(what this machine allows without doing less work)")
    print(f"serial, longest: share of one {top}-thread run (its threads' states sampled "
          f"every ~0.5 ms) in which at most one thread ran, in all and in its longest stretch")
    print(header(args.threads), flush=True)
    no_reset = False
    for level in args.levels:
        for call in CALLS:
            results = measure(args, call, level, args.threads)
            for t in args.threads:
                results[t]["baseline"] = baseline[t]
                no_reset |= call in ("update_ib", "remesh") and not results[t]["reset"]
            print(row(level, call, results, args.threads), flush=True)
    if no_reset:
        print("note: the peak RSS could not be reset; update_ib and remesh peaks include "
              "the session's creation")


def int_list(text):
    return [int(x) for x in text.split(",") if x]


def parse(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("surface", nargs="?",
                   default=os.path.join(here, "..", "..", "shared", "data", "bunny.stl"))
    p.add_argument("--levels", type=int_list, default=[5, 6, 7], help="e.g. 5,6")
    p.add_argument("--threads", type=int_list, default=[1, 8], help="e.g. 1,8")
    p.add_argument("--runs", type=int, default=3, help="processes per median")
    p.add_argument("--n-leaf-refinement", type=int, default=0)
    p.add_argument("--no-ceiling", dest="ceiling", action="store_false",
                   help="skip the runs of one-thread copies at once")
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--child-level", type=int, default=0, help=argparse.SUPPRESS)
    p.add_argument("--child-barrier", action="store_true", help=argparse.SUPPRESS)
    return p.parse_args(argv)


def main(argv):
    args = parse(argv)
    if args.child:
        child(args)
    else:
        table(args)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

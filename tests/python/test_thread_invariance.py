"""Every result array of the five mesh calls is bit-identical for one and for
three worker threads, on the small cases of bench/output_hashes.py (real
surfaces: a closed scan, an open scan with holes, a gear with sliver
triangles, a multi-patch OBJ, a cube, a refinement region), and identical to
the recorded reference: speed-ups must not change a single output bit.
After an intended change of results, record the reference again with
`.venv/bin/python bench/output_hashes.py --quick > tests/python/data/reference_hashes.txt`."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOOL = ROOT / "bench" / "output_hashes.py"
DATA = ROOT.parent / "shared" / "data"


def start(threads):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = str(threads)
    return subprocess.Popen([sys.executable, str(TOOL), "--quick"], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def lines_of(proc):
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    return out.splitlines()


@pytest.mark.skipif(not DATA.is_dir(), reason="needs ../shared/data")
def test_outputs_do_not_depend_on_the_thread_count():
    # Both runs at once: the one-thread run dominates the time.
    procs = {n: start(n) for n in (1, 3)}
    one, three = (lines_of(procs[n]) for n in (1, 3))
    cases = {l.split()[0] for l in one}
    calls = {tuple(l.split()[:2]) for l in one}
    assert len(cases) >= 5 and len(calls) == 5 * len(cases), sorted(calls)
    differing = [f"{a}\n{b}" for a, b in zip(one, three) if a != b]
    assert len(one) == len(three) and not differing, "\n".join(differing)
    reference = (pathlib.Path(__file__).parent / "data" / "reference_hashes.txt").read_text().splitlines()
    changed = sorted(set(reference) ^ set(one))
    assert not changed, "outputs differ from the recorded reference:\n" + "\n".join(changed)

"""The worker pool takes its size from RAYON_NUM_THREADS, else
RAYON_RS_NUM_CPUS: checked by the number of threads a fresh interpreter has
after a large parallel refinement."""
import os
import subprocess
import sys

import pytest

SCRIPT = """
import os, _quorin
f = _quorin.Forest(_quorin.BoundingBox([0, 0, 0], [1, 1, 1]), [4, 4, 4])
f.uniform_refinement(4)
f.enforce_2_to_1_balance()
print(len(os.listdir('/proc/self/task')))
"""


def threads_with(env_vars):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_vars)
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True,
                         text=True, check=True)
    return int(out.stdout.strip())


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("env, most", [
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "6"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "1"}, 1),
    ({"RAYON_RS_NUM_CPUS": "3"}, 3),
])
def test_pool_size_follows_the_environment(env, most):
    # The interpreter's own thread plus at most size - 1 workers.
    assert threads_with(env) <= most

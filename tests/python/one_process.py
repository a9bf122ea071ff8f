"""A one-process program started as `python3 script.py`, with no launcher and
none of the variables that tune MPI or mpi4py: the statistics of a NumPy
array over MPI.COMM_WORLD (a job of one) are NumPy's. The script runs itself
again as a child in such an environment and checks what the child printed."""
import os
import subprocess
import sys

CHILD = "--child"

if CHILD in sys.argv:
    import math

    import numpy as np
    from mpi4py import MPI

    import virdastatistics as vs

    assert MPI.COMM_WORLD.size == 1
    x = np.fmod(np.arange(100001) * 0.6180339887498949, 1.0) * 100.0
    view = x[::-1]
    assert vs.mean(view) == math.fsum(x) / len(x)
    assert vs.median(view) == np.median(x)
    assert np.array_equal(vs.quantile(view, [0.1, 0.5, 0.9]), np.quantile(x, [0.1, 0.5, 0.9]))
    counts = vs.histogram(view, 0.0, 10.0, 10)  # 0.0 itself is below bin 0
    assert np.array_equal(counts, np.bincount((x[x > 0.0] // 10.0).astype(np.int64), minlength=10)), counts
    print("one process: ok", flush=True)
    sys.exit(0)

env = {k: v for k, v in os.environ.items()
       if not k.startswith(("OMPI_", "PMIX_", "PMI_", "MPI4PY_RC_", "HYDRA_", "PRTE_"))}
done = subprocess.run([sys.executable, __file__, CHILD], env=env, capture_output=True, text=True, timeout=120)
sys.stdout.write(done.stdout)
sys.stderr.write(done.stderr)
if done.returncode != 0 or "one process: ok" not in done.stdout:
    sys.exit(f"the one-process program failed (exit status {done.returncode})")

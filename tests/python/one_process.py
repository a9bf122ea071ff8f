"""A one-process program started as `python3 script.py`, with no launcher and
none of the variables that tune MPI or mpi4py (mpi4py's default thread
level): the statistics of a NumPy array over MPI.COMM_WORLD (a job of one)
are NumPy's, and so are those of Arrays over the world and over COMM_SELF.
The script runs itself again as a child in such an environment and checks
what the child printed."""
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
    counts = vs.histogram_above_lower(view, 0.0, 10.0, 10)  # 0.0 itself is below bin 0
    assert np.array_equal(counts, np.bincount((x[x > 0.0] // 10.0).astype(np.int64), minlength=10)), counts

    # Arrays: blocks of this process's memory, no MPI window to create.
    for comm in (None, MPI.COMM_SELF):
        with vs.from_local(x.reshape(-1, 1)[:100000], comm=comm) as a, vs.zeros(7, dtype="int16", comm=comm) as z:
            assert a.shape == (100000, 1) and a.local_range == range(100000)
            assert vs.mean(a) == math.fsum(x[:100000]) / 100000 and vs.mean(z) == 0.0
            assert vs.median(a) == np.median(x[:100000]) and vs.quantile(z, 1.0) == 0.0
            with a.astype("float32") as f, vs.polyval([2.0, 1.0], a) as p:
                assert np.array_equal(f.local, a.local.astype(np.float32))
                assert np.array_equal(p.local, np.polyval([2.0, 1.0], a.local))
                fit = vs.polyfit(a, p, 1)
                assert np.allclose(fit, [2.0, 1.0], rtol=0, atol=1e-12), fit
            means = vs.bin_data(a, a, [5.0, 15.0, 25.0])
            assert np.allclose(means, [np.mean(v) for v in (x[:100000][x[:100000] < 10.0],
                                                            x[:100000][(x[:100000] >= 10.0) & (x[:100000] < 20.0)],
                                                            x[:100000][(x[:100000] >= 20.0) & (x[:100000] < 30.0)])])
    print("one process: ok", flush=True)
    sys.exit(0)

env = {k: v for k, v in os.environ.items()
       if not k.startswith(("OMPI_", "PMIX_", "PMI_", "MPI4PY_RC_", "HYDRA_", "PRTE_"))}
done = subprocess.run([sys.executable, __file__, CHILD], env=env, capture_output=True, text=True, timeout=120)
sys.stdout.write(done.stdout)
sys.stderr.write(done.stderr)
if done.returncode != 0 or "one process: ok" not in done.stdout:
    sys.exit(f"the one-process program failed (exit status {done.returncode})")

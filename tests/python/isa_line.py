"""A VIRDA_ISA that names no path, with every warning an error: the library
writes its line about it once per job, on rank 0 only, so that line must
reach standard error as the library's own and never become a Python warning
(rank 0 alone would raise and the other ranks would wait for it). Every rank
runs the same calls without a warning or an exception, and the line is
written exactly once in the job."""
import os
import tempfile
import warnings

os.environ["VIRDA_ISA"] = "foo"  # read once, at the library's first kernel

import numpy as np  # noqa: E402
from mpi4py import MPI  # noqa: E402

import virdastatistics as vs  # noqa: E402

world = MPI.COMM_WORLD
warnings.simplefilter("error")

# The process's standard error (file descriptor 2, where std::cerr writes)
# into a file for the calls, to count the line.
saved = os.dup(2)
with tempfile.TemporaryFile() as captured:
    os.dup2(captured.fileno(), 2)
    outcome = "ok"
    try:
        with vs.from_local(np.arange(10.0 * world.rank, 10.0 * world.rank + 10.0)) as x:
            results = (vs.mean(x), vs.std(x), vs.median(x), vs.quantile(x, [0.1, 0.9]),
                       vs.histogram_above_lower(x, 0.0, 5.0, 4), vs.bin_data(x, x, [2.5, 7.5]), vs.polyfit(x, x, 1))
            vs.polyval([1.0, 2.0], x).free()
    except Exception as e:  # noqa: BLE001 (any exception is the outcome to compare)
        outcome = f"{type(e).__name__}: {e}"
    os.dup2(saved, 2)
    captured.seek(0)
    text = captured.read().decode(errors="replace")
os.close(saved)

lines = [line for line in text.splitlines() if "VIRDA_ISA='foo'" in line]
outcomes = world.allgather(outcome)
counts = world.allgather(len(lines))
if world.rank == 0:
    print("\n".join(lines), flush=True)
assert outcomes == ["ok"] * world.size, outcomes
assert counts == [1] + [0] * (world.size - 1), counts
print(f"rank {world.rank}: ok", flush=True)

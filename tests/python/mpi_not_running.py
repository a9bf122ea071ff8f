"""The module before MPI_Init and after MPI_Finalize, with mpi4py told not to
initialise MPI itself: every call that would communicate raises the same
RuntimeError on every rank, and nothing calls MPI after it is finalised (the
preloaded MPI resource counter checks)."""
import mpi4py

mpi4py.rc.initialize = False
mpi4py.rc.finalize = False

from mpi4py import MPI  # noqa: E402

import virdastatistics as vs  # noqa: E402


def refused(call, text):
    try:
        call()
    except RuntimeError as e:
        assert text in str(e), e
    else:
        raise AssertionError(f"{call} did not raise")


refused(lambda: vs.zeros(3), "not initialised")
MPI.Init()
a = vs.full(3, 2.0)
assert vs.mean(a) == 2.0
MPI.Finalize()
assert list(a.local) == [2.0, 2.0, 2.0][: len(a.local)]  # the block is this process's memory
refused(lambda: vs.mean(a), "finalised")
refused(lambda: vs.zeros(3), "finalised")
a.free()  # after finalize: frees the block, no MPI call
assert a.freed
print("ok", flush=True)

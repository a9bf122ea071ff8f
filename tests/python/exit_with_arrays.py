"""Ends a job with arrays in every state the module knows, and lets mpi4py
finalise MPI at exit: one alive in a global, one dropped, one in a reference
cycle the collector never ran on, one with a live view of its block, and one
over a communicator split off the world. Arrays hold no MPI resource: the
MPI resource counter, preloaded by the test, fails the process if anything
the module made outlives MPI_Finalize or anything calls MPI afterwards. At
the end the collector runs on rank 0 only, freeing arrays there alone."""
import gc

import numpy as np
from mpi4py import MPI

import virdastatistics as vs

gc.disable()
world = MPI.COMM_WORLD
half = world.Split(0 if world.rank < (world.size + 1) // 2 else MPI.UNDEFINED, world.rank)

kept = vs.full(10, 1.0)
queued = vs.zeros(5, dtype=np.int32)


class Cycle:
    pass


cycle = Cycle()
cycle.self = cycle
cycle.array = vs.from_local(np.arange(world.rank + 2, dtype=np.float32))
del cycle

viewed = vs.zeros((4, 2))
view = viewed.local
del viewed

if half != MPI.COMM_NULL:
    split = vs.full(7, 2.0, comm=half)
    assert vs.mean(split) == 2.0
del queued  # its block is freed here
assert vs.mean(kept) == 1.0
assert vs.live_arrays() == 3 and vs.queued_releases() == 0
if world.rank == 0:
    gc.collect()
print(f"rank {world.rank}: leaving with {vs.live_arrays()} arrays, {vs.queued_releases()} queued", flush=True)

"""The Python quick start: statistics of a catalogue that every rank holds a
part of, exact and the same at any number of ranks.

    mpiexec.openmpi -n 4 python3 examples/python/example.py
"""
import numpy as np
from mpi4py import MPI

import virdastatistics as vs

comm = MPI.COMM_WORLD

# Each rank reads (here: makes up) its own part of the catalogue, of any
# length; from_local puts the rows in the library's layout.
n = 1_000_000
share = np.array_split(np.arange(n), comm.size)[comm.rank]  # this rank's global indices
mass = 100.0 * ((share * 0.6180339887498949) % 1.0)     # evenly spread in [0, 100)
size = 3.0 + 0.25 * mass + 0.5 * np.sin(share)          # a line with some scatter

with vs.from_local(mass) as m, vs.from_local(size) as s:
    mean, std = vs.mean(m), vs.std(m)          # exact totals, rounded once
    q1, med, q3 = vs.quantile(m, [0.25, 0.5, 0.75])  # exact order statistics
    counts = vs.histogram_above_lower(m, 0.0, 10.0, 10)    # NumPy counts, on every rank
    slope, intercept = vs.polyfit(m, s, 1)     # numpy.polyfit's order
    m.local[:] *= 2.0                          # .local is this rank's block itself
    doubled = vs.mean(m)

if comm.rank == 0:
    print(f"{n} values on {comm.size} ranks: mean {mean:.6f}, std {std:.6f}")
    print(f"median {med:.6f}, quartiles {q1:.6f} {q3:.6f}")
    print(f"histogram {counts.tolist()}")
    print(f"fit size = {slope:.4f} mass + {intercept:.4f}; mean after doubling {doubled:.6f}")

"""SciPy's binned statistics answered by virdastatistics on points spread over the ranks.

install() replaces scipy.stats.binned_statistic, binned_statistic_2d and
binned_statistic_dd (rebind() does the same for the names a test module
imported) by wrappers that every rank calls with the same arguments, as a
test does when every rank runs it. A call with one of the module's
statistics has its points split over COMM_WORLD's ranks (the coordinates,
the last axis of the values and the bin numbers of a previous result) and
goes to the module's function of the same name with comm=COMM_WORLD; the bin
numbers of this rank's points are gathered again so that the test sees every
point's. A callable statistic goes to SciPy and is recorded as out of scope:
the module refuses it, since each bin's values are spread over the ranks.
This module is imported as `shim` by the NumPy suite's plugin
(numpy_suite/suite_plugin.py), which keeps one verdict per test.
"""
import functools
import inspect

import numpy as np
import scipy.stats
from mpi4py import MPI

import virdastatistics as vs

WORLD = MPI.COMM_WORLD

FUNCTIONS = ("binned_statistic", "binned_statistic_2d", "binned_statistic_dd")
ORIGINALS = {name: getattr(scipy.stats, name) for name in FUNCTIONS}


class Recorder:
    """What the calls of the running test reached: counted by the plugin."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.in_scope = {}      # function -> calls answered by the module
        self.out_of_scope = {}  # (function, reason) -> calls left to SciPy
        self.calls = 0

    def inside(self, name):
        self.in_scope[name] = self.in_scope.get(name, 0) + 1
        self.calls += 1

    def outside(self, name, reason):
        self.out_of_scope[(name, reason)] = self.out_of_scope.get((name, reason), 0) + 1


RECORDER = Recorder()


def _points(name, bound):
    """The number of points of a call, from its coordinates."""
    if name == "binned_statistic_dd":
        sample = bound["sample"]
        shape = getattr(sample, "shape", None)
        if shape is not None and len(shape) == 2:
            return shape[0]
        return np.atleast_2d(sample).shape[-1]
    return len(np.atleast_1d(np.asarray(bound["x"])))


def _split(a, n, lo, hi):
    """This rank's part of an argument along its last axis of n points."""
    if a is None or isinstance(a, str):
        return a
    arr = np.asarray(a)
    if arr.ndim >= 1 and arr.shape[-1] == n:
        return arr[..., lo:hi]
    return a


def _call_module(name, bound):
    n = _points(name, bound)
    lo, hi = n * WORLD.rank // WORLD.size, n * (WORLD.rank + 1) // WORLD.size
    args = dict(bound)
    if name == "binned_statistic_dd":
        sample = args["sample"]
        shape = getattr(sample, "shape", None)
        if shape is not None and len(shape) == 2:
            args["sample"] = np.asarray(sample)[lo:hi]
        else:
            # D sequences of n coordinates, as SciPy reads anything else.
            args["sample"] = [row[lo:hi] for row in np.atleast_2d(sample)]
        previous = args.get("binned_statistic_result")
        if previous is not None:
            args["binned_statistic_result"] = previous._replace(binnumber=np.asarray(previous.binnumber)[lo:hi])
    else:
        args["x"] = _split(args["x"], n, lo, hi)
        if name == "binned_statistic_2d":
            args["y"] = _split(args["y"], n, lo, hi)
    values = args["values"]
    if isinstance(values, (list, tuple)) and values and np.ndim(values[0]) >= 1:
        args["values"] = [_split(v, n, lo, hi) for v in values]
    else:
        args["values"] = _split(values, n, lo, hi)
    result = getattr(vs, name)(**args, comm=WORLD)
    parts = WORLD.allgather(np.asarray(result.binnumber))
    return result._replace(binnumber=np.concatenate(parts, axis=-1))


def _wrapper(name, original):
    signature = inspect.signature(original)

    @functools.wraps(original)
    def call(*args, **kwargs):
        bound = signature.bind(*args, **kwargs)
        bound.apply_defaults()
        if callable(bound.arguments.get("statistic")):
            RECORDER.outside(name, "callable statistic: each bin's values are spread over the ranks")
            return original(*args, **kwargs)
        RECORDER.inside(name)
        return _call_module(name, bound.arguments)

    call.virda_shim = True
    return call


WRAPPERS = {name: _wrapper(name, ORIGINALS[name]) for name in FUNCTIONS}


def install():
    for name in FUNCTIONS:
        setattr(scipy.stats, name, WRAPPERS[name])


def install_histograms():
    """The plugin's hook for NumPy's histogram functions: none to replace here."""


def rebind(module):
    """Replaces the original functions a test module imported by name."""
    for attr, value in list(vars(module).items()):
        for name in FUNCTIONS:
            if value is ORIGINALS[name]:
                setattr(module, attr, WRAPPERS[name])

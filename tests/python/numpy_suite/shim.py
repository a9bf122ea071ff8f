"""NumPy's reductions answered by virdastatistics on data spread over the ranks.

install() replaces numpy.<name> (and numpy.lib.<name>) for every name in
FUNCTIONS by a wrapper that every rank calls with the same arguments, as a
test does when every rank runs it. A call whose array is one the module reads
(a plain ndarray, or what numpy.asarray makes of a list, of a real dtype) has
its first axis split over COMM_WORLD's ranks and goes to the module's function
of the same name with comm=COMM_WORLD; any other call goes to NumPy and is
recorded as out of scope with the reason. Where the module has no such
function or no such keyword, the call raises NotInModule, so the test fails
rather than quietly testing NumPy.

Every in-scope call makes two collectives of its own around the module's: one
before, in which the ranks agree that they all prepared the call (the same
call, the same data: an error of the wrapper, or ranks that drifted apart,
raise on every rank alike), and one after, which shares how the module ended
on each rank (an exception on some ranks only or of another type on another
rank, or warnings that differ, become ShimError on every rank, so that no rank
goes on with a test another has left; warnings are issued again after that,
under the caller's filters) and gathers the rows of a result that is
local to each rank's rows (an axis set without axis 0).
"""
import functools
import hashlib
import inspect
import pickle
import re
import sys
import warnings

import numpy as np
import numpy.lib
from mpi4py import MPI

import virdastatistics as vs

WORLD = MPI.COMM_WORLD

FUNCTIONS = (
    "sum", "mean", "average", "var", "std", "min", "max", "amin", "amax", "ptp",
    "argmin", "argmax", "count_nonzero",
    "nansum", "nanmean", "nanvar", "nanstd", "nanmin", "nanmax", "nanargmin", "nanargmax",
    "median", "quantile", "percentile", "nanmedian", "nanquantile", "nanpercentile",
)

# The dtypes the module's statistics read from a NumPy array (docs/python.md):
# bool and float16 too (read exactly as uint8 and float32); longdouble,
# complex and the rest go to NumPy.
READ_DTYPES = frozenset(np.dtype(t) for t in ("f8", "f4", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?", "e"))

# The functions the module answers for numpy.longdouble data (the 80-bit
# extended format); the others leave it to NumPy.
LONG_DOUBLE_FUNCTIONS = frozenset((
    "sum", "mean", "var", "std", "min", "max", "amin", "amax", "ptp", "argmin", "argmax",
    "nansum", "nanmean", "nanvar", "nanstd", "nanmin", "nanmax", "nanargmin", "nanargmax",
    "median", "quantile", "percentile", "nanmedian", "nanquantile", "nanpercentile",
))
LONG_DOUBLE = np.dtype(np.longdouble)
LONG_DOUBLE_READ = LONG_DOUBLE.itemsize == 16 and np.finfo(np.longdouble).nmant == 63

# Arguments split like the data when they have its number of rows.
ROW_ARGUMENTS = ("weights", "where")


class NotInModule(Exception):
    """The module lacks the function or a keyword the call uses."""


class ShimError(RuntimeError):
    """The ranks disagreed about a call (raised on every rank alike)."""


class Recorder:
    """What the calls of the running test reached: counted by the plugin."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.in_scope = {}      # function -> calls answered by the module
        self.out_of_scope = {}  # (function, reason) -> calls left to NumPy
        self.calls = 0          # in-scope calls, numbering the rank agreements

    def inside(self, name):
        self.in_scope[name] = self.in_scope.get(name, 0) + 1
        self.calls += 1

    def outside(self, name, reason):
        self.out_of_scope[(name, reason)] = self.out_of_scope.get((name, reason), 0) + 1


RECORDER = Recorder()
ORIGINALS = {}
_active = [False]   # inside a wrapper: NumPy's own nested calls stay NumPy's
_split_counter = [0]


def split_bounds(rows, ranks, k):
    """Row bounds of each rank for the k-th call, cycling through layouts:
    near-even, rank 1 empty, and growing shares (the last rank the most)."""
    pattern = k % 3
    if ranks == 1:
        return [0, rows]
    if pattern == 0:
        return [r * rows // ranks for r in range(ranks + 1)]
    if pattern == 1:
        # Rank 0 takes the first half, rank 1 none, the others the rest.
        half = (rows + 1) // 2 if ranks > 2 else rows
        rest = rows - half
        others = ranks - 2
        bounds = [0, half, half]
        for r in range(1, others + 1):
            bounds.append(half + r * rest // others)
        return bounds
    total = ranks * (ranks + 1) // 2
    bounds, acc = [0], 0
    for r in range(ranks):
        acc += r + 1
        bounds.append(acc * rows // total)
    return bounds


def module_keywords(function):
    """Names of the module function's parameters, or None when it takes **kwargs."""
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):
        parameters = None
    if parameters is not None:
        if any(p.kind == p.VAR_KEYWORD for p in parameters):
            return None
        return [p.name for p in parameters]
    names = set()
    # pybind11's docstring: "name(a: object, q: object, *, comm: object = None) -> object",
    # one line per overload.
    for line in (function.__doc__ or "").splitlines():
        m = re.match(r"\s*(?:\d+\.\s*)?\w+\((.*)\)\s*->", line)
        if not m:
            continue
        depth, part, parts = 0, "", []
        for ch in m.group(1):
            depth += ch in "[(" and 1 or (ch in "])" and -1 or 0)
            if ch == "," and depth == 0:
                parts.append(part)
                part = ""
            else:
                part += ch
        parts.append(part)
        for p in parts:
            name = p.split(":")[0].split("=")[0].strip()
            if name.startswith("**"):
                return None
            if name and name != "*":
                names.add(name.lstrip("*"))
    return sorted(names)


def _scope(name, a, axis_given):
    """(array, None) for data the module reads, else (None, reason)."""
    if isinstance(a, np.ndarray):
        if type(a) is not np.ndarray:
            return None, f"ndarray subclass {type(a).__name__}"
        arr = a
    else:
        if hasattr(a, "__array_function__") and not isinstance(a, np.generic):
            return None, f"{type(a).__name__} overrides NumPy functions"
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                arr = np.asarray(a)
        except Exception:  # noqa: BLE001 - NumPy's own call raises what the test expects
            return None, "not convertible to an array"
    if arr.dtype == np.float16 and name.startswith("histogram"):
        return None, "dtype float16"  # the histograms bin float64, float32 and integers
    long_double = LONG_DOUBLE_READ and arr.dtype == LONG_DOUBLE and name in LONG_DOUBLE_FUNCTIONS
    if (arr.dtype not in READ_DTYPES and not long_double) or not arr.dtype.isnative:
        kind = {"b": "bool", "c": "complex", "O": "object", "M": "datetime", "m": "timedelta",
                "U": "string", "S": "string", "V": "structured"}.get(arr.dtype.kind)
        return None, f"dtype {kind or arr.dtype}"
    if arr.ndim == 0 and axis_given:
        return None, "0-d array with an axis"
    return arr, None


def _rows_reduced(axis, ndim):
    """Whether the call reduces axis 0 (or the axis cannot be read: the module decides)."""
    if axis is None or ndim <= 1:
        return True
    try:
        axes = axis if isinstance(axis, tuple) else (axis,)
        return any(int(x) % ndim == 0 for x in axes if -ndim <= int(x) < ndim) or \
            any(not -ndim <= int(x) < ndim for x in axes)
    except Exception:  # noqa: BLE001
        return True


def _digest(name, arr, kwargs):
    h = hashlib.blake2b(digest_size=16)
    h.update(f"{RECORDER.calls}:{name}:{arr.dtype}:{arr.shape}:{sorted(kwargs)}".encode())
    data = np.ascontiguousarray(arr)
    if data.dtype == LONG_DOUBLE and LONG_DOUBLE_READ:
        # The 80 bits of each value: the 6 bytes of padding after them are whatever memory held.
        data = data.reshape(-1).view(np.uint8).reshape(-1, 16)[:, :10]
    h.update(data.tobytes())
    return h.digest()


def _prepare(name, bound, arr):
    """This rank's arguments for the module: (function, block, kwargs, local, out), local
    the axis of the result along the rows (after q's axes for the quantiles) or None."""
    function = getattr(vs, name, None)
    if function is None:
        raise NotInModule(f"the module has no function {name}")
    kwargs = {k: v for k, v in bound.arguments.items() if k != "a"}
    kwargs.update(kwargs.pop("kwargs", {}))
    accepted = module_keywords(function)
    if accepted is not None:
        missing = [k for k in kwargs if k not in accepted]
        if missing:
            raise NotInModule(f"the module's {name} has no keyword {', '.join(map(repr, missing))}")
    k = _split_counter[0]
    _split_counter[0] += 1
    rows = 1 if arr.ndim == 0 else arr.shape[0]
    bounds = split_bounds(rows, WORLD.size, k)
    lo, hi = bounds[WORLD.rank], bounds[WORLD.rank + 1]
    if arr.ndim == 0:
        block = arr if hi > lo else np.empty((0,), arr.dtype)
        local = None
    else:
        block = arr[lo:hi]
        local = None if _rows_reduced(kwargs.get("axis"), arr.ndim) else np.ndim(kwargs.get("q", 0))
    for key in ROW_ARGUMENTS:
        v = kwargs.get(key)
        if isinstance(v, (np.ndarray, list, tuple)) and arr.ndim >= 1:
            v = np.asarray(v)
            splits = v.shape == arr.shape or (
                v.ndim == 1 and arr.ndim > 1 and v.shape[0] == rows and _axis_is(kwargs.get("axis"), 0, arr.ndim))
            if splits and v.shape[0] == rows:
                kwargs[key] = v[lo:hi]
    out = kwargs.get("out")
    if local is not None and isinstance(out, np.ndarray) and out.ndim > local and out.shape[local] == rows:
        kwargs["out"] = out[(slice(None),) * local + (slice(lo, hi),)]
    return function, block, kwargs, local, out


def _axis_is(axis, value, ndim):
    try:
        return axis is not None and not isinstance(axis, tuple) and int(axis) % ndim == value
    except Exception:  # noqa: BLE001
        return False


def _agree(status):
    """Raise on every rank alike when any rank's status is not the common one."""
    statuses = WORLD.allgather(status)
    if all(s == statuses[0] for s in statuses) and not isinstance(statuses[0], str):
        return
    texts = [f"rank {r}: {s}" for r, s in enumerate(statuses) if isinstance(s, str)]
    if not texts:
        texts = ["the ranks made different calls (different data or a different call sequence)"]
    raise ShimError("; ".join(texts))


def _call_module(name, arr, bound):
    RECORDER.inside(name)
    try:
        function, block, kwargs, local, out = _prepare(name, bound, arr)
        status = _digest(name, arr, kwargs)
    except NotInModule:
        raise  # decided from the arguments alone: every rank raises it
    except Exception as e:  # noqa: BLE001
        status = f"the wrapper failed: {type(e).__name__}: {e}"
    _agree(status)
    error, payload = None, None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = function(block, **kwargs, comm=WORLD)
            if local is not None:
                payload = pickle.dumps(result)
        except BaseException as e:  # noqa: BLE001 - shared, then raised again
            error = e
    said = [(w.category, str(w.message)) for w in caught]
    ending = (None if error is None else f"{type(error).__name__}: {error}",
              [f"{c.__name__}: {m}" for c, m in said])
    shared = WORLD.allgather((ending, payload))
    endings = [e for e, _ in shared]
    kinds = [(e[0] and e[0].split(":")[0], e[1]) for e in endings]
    if any(k != kinds[0] for k in kinds):
        # One rank would leave the test where another goes on: the same ending everywhere
        # (the same exception type; its text may name each rank's own rows).
        texts = "; ".join(f"rank {r}: {e[0] or 'returned'}{' warning ' + ', '.join(e[1]) if e[1] else ''}"
                          for r, e in enumerate(endings))
        raise ShimError(f"the module's {name} ended differently on the ranks ({texts})") from error
    for category, message in said:
        warnings.warn(message, category, stacklevel=4)   # under the caller's filters, now alike
    if error is not None:
        raise error
    if local is None:
        return result
    parts = [pickle.loads(p) for _, p in shared]
    if isinstance(result, tuple):
        whole = tuple(np.concatenate([p[i] for p in parts], axis=local) for i in range(len(result)))
    else:
        whole = np.concatenate(parts, axis=local)
    if isinstance(out, np.ndarray) and not isinstance(whole, tuple):
        out[...] = whole
        return out
    return whole


def _wrapper(name, original):
    signature = inspect.signature(original)

    @functools.wraps(original)
    def wrapper(*args, **kwargs):
        caller = sys._getframe(1).f_globals.get("__name__", "")
        if _active[0] or (caller.startswith("numpy.") and ".tests." not in caller):
            return original(*args, **kwargs)
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError:
            RECORDER.outside(name, "arguments NumPy refuses")
            return original(*args, **kwargs)
        first = next(iter(signature.parameters))
        bound.arguments["a"] = bound.arguments.pop(first)
        axis_given = bound.arguments.get("axis") is not None
        arr, reason = _scope(name, bound.arguments["a"], axis_given)
        for key in ("out", "weights", "where"):
            v = bound.arguments.get(key, bound.arguments.get("kwargs", {}).get(key))
            if reason is None and isinstance(v, np.ndarray) and type(v) is not np.ndarray:
                reason = f"{key} is an ndarray subclass"
            if reason is None and key == "weights" and isinstance(v, np.ndarray) and v.dtype.kind in "cO":
                reason = f"weights of dtype {'complex' if v.dtype.kind == 'c' else 'object'}"
        _active[0] = True
        try:
            if reason is not None:
                RECORDER.outside(name, reason)
                return original(*args, **kwargs)
            return _call_module(name, arr, bound)
        finally:
            _active[0] = False

    return wrapper


def install():
    """Replace numpy's functions by the wrappers (idempotent)."""
    for name in FUNCTIONS:
        if name in ORIGINALS:
            continue
        original = getattr(np, name)
        ORIGINALS[name] = original
        shim = _wrapper(name, original)
        setattr(np, name, shim)
        if getattr(numpy.lib, name, None) is original:
            setattr(numpy.lib, name, shim)


def rebind(module):
    """Replace the functions a test module imported by name (from numpy.lib import average)."""
    for name, original in ORIGINALS.items():
        if module.__dict__.get(name) is original:
            module.__dict__[name] = getattr(np, name)


# Histograms: installed by install_histograms(), apart from the reductions.
# histogram and histogram_bin_edges take their data as `a` and go through the
# reductions' wrapper; histogramdd takes points, split by rows here.
HISTOGRAM_FUNCTIONS = ("histogram", "histogram_bin_edges")
POINT_FUNCTIONS = ("histogramdd",)


def _points_of(sample):
    """histogramdd's sample as NumPy reads it: (N, D) points."""
    try:
        _, _ = sample.shape
        return sample
    except (AttributeError, ValueError):
        return np.atleast_2d(sample).T


def _call_points(name, arr, bound):
    """The module's histogramdd of this rank's rows of the points, the weights split alike."""
    RECORDER.inside(name)
    try:
        function = getattr(vs, name, None)
        if function is None:
            raise NotInModule(f"the module has no function {name}")
        kwargs = dict(bound.arguments)
        k = _split_counter[0]
        _split_counter[0] += 1
        bounds = split_bounds(arr.shape[0], WORLD.size, k)
        lo, hi = bounds[WORLD.rank], bounds[WORLD.rank + 1]
        w = kwargs.get("weights")
        if w is not None:
            w = np.asarray(w)
            if w.ndim == 1 and w.shape[0] == arr.shape[0]:
                kwargs["weights"] = w[lo:hi]
        status = _digest(name, arr, kwargs)
    except NotInModule:
        raise
    except Exception as e:  # noqa: BLE001
        status = f"the wrapper failed: {type(e).__name__}: {e}"
    _agree(status)
    error, result = None, None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = function(arr[lo:hi], **kwargs, comm=WORLD)
        except BaseException as e:  # noqa: BLE001 - shared, then raised again
            error = e
    said = [(w.category, str(w.message)) for w in caught]
    ending = (None if error is None else type(error).__name__, [f"{c.__name__}: {m}" for c, m in said])
    endings = WORLD.allgather(ending)
    if any(e != endings[0] for e in endings):
        raise ShimError(f"the module's {name} ended differently on the ranks ({endings})") from error
    for category, message in said:
        warnings.warn(message, category, stacklevel=4)
    if error is not None:
        raise error
    return result


def _points_wrapper(name, original):
    signature = inspect.signature(original)

    @functools.wraps(original)
    def wrapper(*args, **kwargs):
        caller = sys._getframe(1).f_globals.get("__name__", "")
        if _active[0] or (caller.startswith("numpy.") and ".tests." not in caller):
            return original(*args, **kwargs)
        try:
            bound = signature.bind(*args, **kwargs)
        except TypeError:
            RECORDER.outside(name, "arguments NumPy refuses")
            return original(*args, **kwargs)
        sample = bound.arguments.pop("sample")
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                points = _points_of(sample)
        except Exception:  # noqa: BLE001 - NumPy's own call raises what the test expects
            points, reason = None, "not convertible to points"
        else:
            points, reason = _scope(name, points, False)
        if reason is None and points.ndim != 2:
            reason = "not (N, D) points"
        w = bound.arguments.get("weights")
        if reason is None and isinstance(w, np.ndarray) and type(w) is not np.ndarray:
            reason = "weights is an ndarray subclass"
        _active[0] = True
        try:
            if reason is not None:
                RECORDER.outside(name, reason)
                return original(*args, **kwargs)
            return _call_points(name, points, bound)
        finally:
            _active[0] = False

    return wrapper


def install_histograms():
    """Replace numpy's histogram functions by the wrappers as well (idempotent)."""
    for name in HISTOGRAM_FUNCTIONS + POINT_FUNCTIONS:
        if name in ORIGINALS:
            continue
        original = getattr(np, name)
        ORIGINALS[name] = original
        shim = (_points_wrapper if name in POINT_FUNCTIONS else _wrapper)(name, original)
        setattr(np, name, shim)
        if getattr(numpy.lib, name, None) is original:
            setattr(numpy.lib, name, shim)

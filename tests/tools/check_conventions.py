#!/usr/bin/python3
"""Checks virda-stats on files written here with h5py, as other software
writes them: netCDF-style variables with missing and packed values (CF
conventions), grids of three and four dimensions (one of a single row), a
table of 2,000 columns and tables of fewer columns than ranks, int and
float32 data weighted by int and float32 weights, and datasets compressed with each filter plugin Debian ships. Every result is
compared with NumPy's on the values the conventions take, computed as
netCDF4-python reads them (values equal to _FillValue or missing_value, or
outside valid_min/valid_max/valid_range, are missing; the others unpack to
v * scale_factor + add_offset), NaN counted as the statistics see it, once
unpacked. The JSON output must be strict JSON, with NaN and the infinities
as the strings "NaN", "Infinity" and "-Infinity", each told apart.

    /usr/bin/python3 check_conventions.py --tool TOOL --work DIR --ranks N
        [--launcher mpiexec -n] [--preflags ...]

Also the refusals of what these files cannot be read as. Exit status 0 when
every case agrees, 1 otherwise; each case prints one line.
"""
import json
import math
import os
import subprocess
import sys

import h5py
import numpy as np

from tool_launch import launcher, parse_tool_arguments

RNG = np.random.default_rng(20240521)


# ---------------------------------------------------------------------------
# The conventions, as NumPy computes them.

def taken(values, attrs, raw=False, skip_nan=False):
    """(values taken as float64, missing count, NaN count) of an array read
    with the attributes `attrs`: the missing-value test on the stored values
    (attribute values cast to the stored type first), then unpacking; NaN
    counted (and with skip_nan left out) after unpacking, which makes NaN
    of 0 * inf or inf - inf."""
    v = np.asarray(values)
    flat = v.reshape(-1)
    missing = np.zeros(flat.shape, dtype=bool)
    if not raw:
        for key in ("_FillValue", "missing_value"):
            if key in attrs:
                for f in np.atleast_1d(np.asarray(attrs[key], dtype=np.float64)):
                    f = np.asarray(f).astype(flat.dtype) if flat.dtype.kind == "f" else f
                    missing |= np.isnan(flat) if np.isnan(f) else (flat == f)
        low = high = None
        if "valid_range" in attrs:
            low, high = np.asarray(attrs["valid_range"], dtype=np.float64)
        else:
            low = attrs.get("valid_min")
            high = attrs.get("valid_max")
        if flat.dtype.kind == "f":
            low = None if low is None else np.asarray(low).astype(flat.dtype)
            high = None if high is None else np.asarray(high).astype(flat.dtype)
        with np.errstate(invalid="ignore"):
            if low is not None:
                missing |= flat < low
            if high is not None:
                missing |= flat > high
    kept = flat[~missing].astype(np.float64)
    if not raw and ("scale_factor" in attrs or "add_offset" in attrs):
        scale = np.float64(attrs.get("scale_factor", 1.0))
        offset = np.float64(attrs.get("add_offset", 0.0))
        with np.errstate(invalid="ignore"):
            kept = kept * scale + offset
    nans = int(np.isnan(kept).sum())
    if skip_nan:
        kept = kept[~np.isnan(kept)]
    return kept, int(missing.sum()), nans


def summary_row(values, attrs, **reading):
    """NumPy's summary; NaN for what has no value (no values taken, no
    extremes among the values that are not NaN)."""
    kept, missing, nans = taken(values, attrs, **reading)
    not_nan = kept[~np.isnan(kept)]
    nan = float("nan")
    with np.errstate(invalid="ignore"):
        return {
            "count": kept.size,
            "mean": float(np.mean(kept)) if kept.size else nan,
            "stdev": float(np.std(kept)) if kept.size else nan,
            "min": float(not_nan.min()) if not_nan.size else nan,
            "max": float(not_nan.max()) if not_nan.size else nan,
            "median": float(np.median(kept)) if kept.size else nan,
            "nan_count": nans,
            "missing_count": missing,
        }


# ---------------------------------------------------------------------------
# The tool's JSON.

NON_FINITE = {"NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf")}


def refuse_constant(token):
    raise ValueError("bare %s in the output is not JSON" % token)


def decode(text):
    """The tool's output, parsed as strict JSON (no bare NaN or Infinity)."""
    return json.loads(text, parse_constant=refuse_constant)


def number(member):
    """The double a JSON member stands for, or None when it stands for none
    (null, or any other string)."""
    if isinstance(member, str):
        return NON_FINITE.get(member)
    if isinstance(member, (int, float)) and not isinstance(member, bool):
        return float(member)
    return None


def differs(got, want, tolerance):
    """'' when the member `got` stands for NumPy's `want`: NaN, +inf and -inf
    exactly, finite values within `tolerance`; otherwise what differs."""
    g = number(got)
    if g is None:
        same = False
    elif math.isnan(want) or math.isinf(want):
        same = math.isnan(g) if math.isnan(want) else g == want
    else:
        same = math.isfinite(g) and abs(g - want) <= tolerance
    return "" if same else "%r, NumPy %r" % (got, want)


def finite_scale(values):
    """max(1, the largest finite |value|): the scale of the tolerances."""
    v = np.abs(np.asarray(values, dtype=np.float64))
    return max(1.0, float(np.max(v[np.isfinite(v)], initial=0.0)))


# ---------------------------------------------------------------------------
# The files.

def netcdf_variable(f, name, data, dims, **attrs):
    """A dataset with dimension scales attached, as netCDF-4 writes its
    variables (its DIMENSION_LIST attribute makes it a grid)."""
    d = f.create_dataset(name, data=data)
    for axis, dim in enumerate(dims):
        if dim not in f:
            f.create_dataset(dim, data=np.arange(data.shape[axis], dtype="f8"))
            f[dim].make_scale(dim)
        d.dims[axis].attach_scale(f[dim])
    for key, value in attrs.items():
        d.attrs[key] = value
    return d


def sprinkle(a, fraction, value):
    a = a.copy()
    a.reshape(-1)[RNG.random(a.size) < fraction] = value
    return a


def write_conventions(path):
    with h5py.File(path, "w") as f:
        # An ocean-colour field: float32 (lat, lon), most pixels the fill.
        chl = RNG.lognormal(0.0, 0.6, (60, 80)).astype("f4")
        chl = sprinkle(chl, 0.7, -32767.0)
        netcdf_variable(f, "chlor_a", chl, ("lat", "lon"), _FillValue=np.float32(-32767))
        # A time series with a fill and a valid range.
        flux = sprinkle(RNG.normal(5e-6, 2e-6, 997).astype("f4"), 0.1, -9999.0)
        flux[::50] = 1e-3  # beyond valid_max
        netcdf_variable(f, "xrsa", flux, ("time",), _FillValue=np.float32(-9999), valid_min=np.float32(0),
                        valid_max=np.float32(1e-4))
        # Several missing values and a valid range on 16-bit integers.
        counts = RNG.integers(-5, 1200, 1001).astype("i2")
        counts[::7] = -1
        counts[3::11] = -2
        d = f.create_dataset("counts", data=counts)
        d.attrs["missing_value"] = np.array([-1, -2], dtype="i2")
        d.attrs["valid_range"] = np.array([0, 1000], dtype="i2")
        # NaN as the fill value: every NaN is missing.
        d = f.create_dataset("nan_fill", data=sprinkle(RNG.normal(0, 1, 500), 0.2, np.nan))
        d.attrs["_FillValue"] = np.nan
        # NaN without attributes: kept (NaN statistics) unless --skip-nan.
        f["nan_plain"] = sprinkle(RNG.normal(3, 1, 400), 0.05, np.nan)
        # Packed precipitation: uint16, scale 0.1 (float32), offset 5.
        rain = RNG.integers(0, 2000, (40, 30)).astype("u2")
        rain = sprinkle(rain, 0.1, 65535)
        netcdf_variable(f, "precipitation_amount", rain, ("day", "cell"), _FillValue=np.uint16(65535),
                        scale_factor=np.float32(0.1), add_offset=np.float32(5.0))
        # Packed bytes, scale only (double).
        d = f.create_dataset("packed_bytes", data=RNG.integers(-128, 127, 333).astype("i1"))
        d.attrs["scale_factor"] = 0.5
        # Grids of three and four dimensions (plain HDF5: their rank makes
        # them grids), fewer rows than values per row, some missing.
        g3 = sprinkle(RNG.normal(10, 4, (7, 9, 11)), 0.05, -1e30)
        d = f.create_dataset("grid3", data=g3, chunks=(2, 3, 11))
        d.attrs["_FillValue"] = -1e30
        f.create_dataset("grid4", data=RNG.integers(-1000, 1000, (5, 3, 4, 6)).astype("i4"))
        # A plain table: one summary line per column.
        f["table"] = RNG.normal(0, 1, (100, 7))
        # 2,000 columns, 5% missing, a few NaN, one column wholly missing.
        wide = sprinkle(RNG.normal(1, 2, (150, 2000)), 0.05, -999.0)
        wide[:, 17] = -999.0
        wide[::37, 5] = np.nan
        d = f.create_dataset("wide", data=wide)
        d.attrs["_FillValue"] = -999.0
        # Pairs: x with a fill, weights with their own.
        x = sprinkle(RNG.normal(2, 1, 600), 0.1, -9.0)
        w = sprinkle(RNG.uniform(0.5, 2, 600), 0.1, -1.0)
        d = f.create_dataset("x", data=x)
        d.attrs["_FillValue"] = -9.0
        d = f.create_dataset("w", data=w)
        d.attrs["_FillValue"] = -1.0
        # Tables of fewer columns than ranks (each column then over all
        # ranks, its values taken from every second one of a rank's): with a
        # fill value, and packed 16-bit integers with one.
        d = f.create_dataset("two_columns", data=sprinkle(RNG.normal(4, 2, (91, 2)), 0.15, -999.0))
        d.attrs["_FillValue"] = -999.0
        packed = sprinkle(RNG.integers(-3000, 3000, (77, 2)).astype("i2"), 0.15, -32768)
        d = f.create_dataset("two_columns_packed", data=packed)
        d.attrs["_FillValue"] = np.int16(-32768)
        d.attrs["scale_factor"] = np.float32(0.01)
        d.attrs["add_offset"] = np.float32(20.0)
        # A field of one time step: fewer rows of the first dimension than
        # ranks, so one rank reads it all.
        one = sprinkle(RNG.normal(15, 5, (1, 4, 5)).astype("f4"), 0.2, 9.96921e36)
        netcdf_variable(f, "one_step", one, ("step", "y", "x"), _FillValue=np.float32(9.96921e36))
        # Integer and float32 pairs, which the tool holds as int and float:
        # products such as 99999 * 99999 that int arithmetic would wrap and
        # float arithmetic round.
        f["int_x"] = RNG.integers(-100000, 100000, 701).astype("i4")
        f["int_w"] = RNG.integers(1, 100000, 701).astype("i4")
        f["short_w"] = RNG.integers(1, 30000, 701).astype("i2")
        f["float_x"] = RNG.uniform(-3e4, 3e4, 701).astype("f4")
        f["float_w"] = RNG.uniform(1, 1e4, 701).astype("f4")
        # Infinities and NaN as stored: a table whose column 0 holds +inf,
        # column 1 -inf, column 2 both and NaN (means +inf, -inf, NaN).
        special = RNG.normal(0, 1, (60, 3))
        special[7::13, 0] = np.inf
        special[5::17, 1] = -np.inf
        special[3::11, 2] = np.inf
        special[4::19, 2] = -np.inf
        special[10::23, 2] = np.nan
        f["infinities"] = special
        # NaN made by unpacking: a scale_factor of inf (0 * inf is NaN, the
        # rest +inf or -inf), a NaN scale_factor beside a fill value, an
        # add_offset of -inf on stored +inf (inf - inf).
        d = f.create_dataset("scale_inf", data=RNG.integers(-3, 4, 200).astype("i2"))
        d.attrs["scale_factor"] = np.inf
        d = f.create_dataset("scale_nan", data=sprinkle(RNG.normal(0, 1, 150).astype("f4"), 0.2, -999.0))
        d.attrs["_FillValue"] = np.float32(-999)
        d.attrs["scale_factor"] = np.float32(np.nan)
        shifted = RNG.normal(0, 1, 120)
        shifted[::9] = np.inf
        d = f.create_dataset("offset_minus_inf", data=shifted)
        d.attrs["add_offset"] = -np.inf
        # Weights for x whose zeros unpack to NaN.
        d = f.create_dataset("weights_scale_inf", data=RNG.integers(0, 3, 600).astype("i2"))
        d.attrs["scale_factor"] = np.inf


# (name, h5py options): each filter that can be had, on a chunked dataset.
FILTERS = [
    ("lzf", {"compression": "lzf"}),
    ("blosc", {"compression": 32001, "compression_opts": (2, 2, 8, 0, 5, 1, 1)}),
    ("lz4", {"compression": 32004, "compression_opts": (0,)}),
    ("bzip2", {"compression": 307, "compression_opts": (9,)}),
    # Bitshuffle: block size chosen by the filter, then LZ4 (2).
    ("bitshuffle", {"compression": 32008, "compression_opts": (0, 2)}),
    ("zfp", {"compression": 32013}),
]


FILTER_NAMES = {name for name, _ in FILTERS}


def write_filters(path):
    """Values that every filter compresses (whole numbers, as doubles): an
    optional filter such as LZF stores a chunk that it cannot shrink as it
    is, and the read would then not need the plugin at all."""
    with h5py.File(path, "w") as f:
        for name, options in FILTERS:
            data = np.round(RNG.normal(100, 15, (64, 50)))
            d = f.create_dataset(name, data=data, chunks=(8, 50), **options)
            skipped = [i for i in range(d.id.get_num_chunks()) if d.id.get_chunk_info(i).filter_mask != 0]
            if skipped:
                raise RuntimeError("filter %s left chunks %s of its dataset unfiltered" % (name, skipped))


# ---------------------------------------------------------------------------
# The cases.

def read(path, name):
    with h5py.File(path, "r") as f:
        d = f[name]
        return d[()], dict(d.attrs)


def columns_of(values):
    return [values[:, k] for k in range(values.shape[1])]


def cases(conventions, filters):
    """(label, file, dataset, tool arguments, check(report) -> problems)."""
    out = []

    def summary(label, path, name, args, layout, split_columns, **reading):
        values, attrs = read(path, name)
        parts = columns_of(values) if split_columns else [values]
        want = [summary_row(p, attrs, **reading) for p in parts]

        def check(report):
            rows = report["summary"]
            problems = []
            if layout is not None and report["dataset"].get("layout") != layout:
                problems.append("layout %r, expected %r" % (report["dataset"].get("layout"), layout))
            if len(rows) != len(want):
                return problems + ["%d summary rows, expected %d" % (len(rows), len(want))]
            scale = finite_scale(taken(values, attrs, **reading)[0])
            for k, (got, exp) in enumerate(zip(rows, want)):
                for key in ("count", "nan_count", "missing_count"):
                    if got[key] != exp[key]:
                        problems.append("row %d %s %s, NumPy %s" % (k, key, got[key], exp[key]))
                for key in ("mean", "stdev", "min", "max", "median"):
                    why = differs(got[key], exp[key], 1e-12 * scale)
                    if why:
                        problems.append("row %d %s %s" % (k, key, why))
            return problems

        out.append((label, path, name, ["summary"] + args, check))

    summary("netCDF grid with _FillValue", conventions, "chlor_a", [], "grid", False)
    summary("netCDF 2-D read as a table", conventions, "chlor_a", ["--layout", "table"], "table", True)
    summary("valid_min/valid_max", conventions, "xrsa", [], None, False)
    summary("missing_value list, valid_range", conventions, "counts", [], None, False)
    summary("NaN _FillValue", conventions, "nan_fill", [], None, False)
    summary("NaN kept", conventions, "nan_plain", [], None, False)
    summary("--skip-nan", conventions, "nan_plain", ["--skip-nan"], None, False, skip_nan=True)
    summary("packed uint16", conventions, "precipitation_amount", [], "grid", False)
    summary("packed, --raw", conventions, "precipitation_amount", ["--raw"], "grid", False, raw=True)
    summary("packed bytes, scale only", conventions, "packed_bytes", [], None, False)
    summary("3-D grid", conventions, "grid3", [], "grid", False)
    summary("4-D grid", conventions, "grid4", [], "grid", False)
    summary("plain 2-D table", conventions, "table", [], "table", True)
    summary("plain 2-D, --layout grid", conventions, "table", ["--layout", "grid"], "grid", False)
    summary("2,000 columns", conventions, "wide", [], "table", True)
    summary("2 columns with _FillValue", conventions, "two_columns", [], "table", True)
    summary("2 packed columns with _FillValue", conventions, "two_columns_packed", [], "table", True)
    summary("grid of shape (1, 4, 5)", conventions, "one_step", [], "grid", False)
    for name, _ in FILTERS:
        summary("filter " + name, filters, name, ["--layout", "grid"], "grid", False)
    summary("+inf, -inf, NaN per column", conventions, "infinities", [], "table", True)
    summary("+inf, -inf, NaN together", conventions, "infinities", ["--layout", "grid"], "grid", False)
    summary("scale_factor inf", conventions, "scale_inf", [], None, False)
    summary("scale_factor inf, --skip-nan", conventions, "scale_inf", ["--skip-nan"], None, False,
            skip_nan=True)
    summary("scale_factor NaN, _FillValue", conventions, "scale_nan", [], None, False)
    summary("add_offset -inf", conventions, "offset_minus_inf", [], None, False)

    # Operations other than summary take the same values. `counts`: members
    # of the dataset objects, {(object, member): NumPy's count}; `exact`: no
    # tolerance at all.
    def value(label, path, name, args, key, expected, counts=None, exact=False):
        def check(report):
            problems = []
            why = differs(report.get(key), expected, 0.0 if exact else 1e-12 * finite_scale([expected]))
            if why:
                problems.append("%s %s" % (key, why))
            for (where, member), want in (counts or {}).items():
                got = report.get(where, {}).get(member)
                if got != want:
                    problems.append("%s.%s %r, NumPy %r" % (where, member, got, want))
            return problems

        out.append((label, path, name, args, check))

    g3, g3_attrs = read(conventions, "grid3")
    g3_taken = taken(g3, g3_attrs)[0]
    value("mean of a 3-D grid", conventions, "grid3", ["mean"], "mean", float(np.mean(g3_taken)))
    one, one_attrs = read(conventions, "one_step")
    value("mean of a grid of shape (1, 4, 5)", conventions, "one_step", ["mean"], "mean",
          float(np.mean(taken(one, one_attrs)[0])))
    rain, rain_attrs = read(conventions, "precipitation_amount")
    value("stdev of packed values", conventions, "precipitation_amount", ["stdev"], "stdev",
          float(np.std(taken(rain, rain_attrs)[0])))
    x, x_attrs = read(conventions, "x")
    w, w_attrs = read(conventions, "w")
    both = (x != -9.0) & (w != -1.0)
    value("weighted mean, rows missing in either", conventions, "x", ["mean", "--weights", "w"], "mean",
          float(np.average(x[both], weights=w[both])))

    # Weighted moments of int and float32 data: numpy.average's products
    # (in float64, exact for these), their total exact and rounded once.
    def weighted(label, name, weights):
        xv = read(conventions, name)[0].astype(np.float64)
        wv = read(conventions, weights)[0].astype(np.float64)
        m = math.fsum(xv * wv) / math.fsum(wv)
        value(label + " --weights, mean", conventions, name, ["mean", "--weights", weights], "mean", m, exact=True)
        value(label + " --weights, stdev", conventions, name, ["stdev", "--weights", weights], "stdev",
              float(np.sqrt(np.average((xv - m) ** 2, weights=wv))))

    weighted("int32 by int32", "int_x", "int_w")
    weighted("int32 by int16", "int_x", "short_w")
    weighted("float32 by float32", "float_x", "float_w")
    weighted("float32 by int32", "float_x", "int_w")

    # Non-finite results of the other operations, and NaN made by unpacking
    # the weights left out by --skip-nan.
    special, _ = read(conventions, "infinities")
    with np.errstate(invalid="ignore"):
        for c, operation, want in ((0, "mean", np.mean(special[:, 0])), (1, "mean", np.mean(special[:, 1])),
                                   (0, "stdev", np.std(special[:, 0]))):
            value("%s of column %d of infinities" % (operation, c), conventions, "infinities",
                  [operation, "--column", str(c)], operation, float(want))
        ws, ws_attrs = read(conventions, "weights_scale_inf")
        wu = ws * np.float64(ws_attrs["scale_factor"])
        rows = (x != -9.0) & ~np.isnan(wu)
        value("weights unpacked to NaN, --skip-nan", conventions, "x",
              ["mean", "--weights", "weights_scale_inf", "--skip-nan"], "mean",
              float(np.sum(x[rows] * wu[rows]) / np.sum(wu[rows])),
              {("dataset", "used"): int(rows.sum()), ("dataset", "missing"): int((x == -9.0).sum()),
               ("weights", "nan_skipped"): int(np.isnan(wu).sum())})

    g4, g4_attrs = read(conventions, "grid4")
    q = [0.1, 0.5, 0.9]

    def quantiles(label, name, args, want):
        def check(report):
            got = report.get("quantiles")
            if got is None or len(got) != len(want) or any(differs(a, b, 1e-9) for a, b in zip(got, want)):
                return ["quantiles %r, NumPy %r" % (got, list(want))]
            return []

        out.append((label, conventions, name, ["quantiles", "--q", ",".join(map(str, q))] + args, check))

    quantiles("quantiles of a 4-D grid", "grid4", [], np.quantile(taken(g4, g4_attrs)[0], q))
    quantiles("quantiles of values with NaN", "infinities", ["--column", "2"], [float("nan")] * len(q))

    # bin-data pairs x and y row by row: a row missing in either is left out.
    centres = [0.0, 1.0, 2.0, 3.0, 4.0]
    xb = x[both]
    wb = w[both]
    want_bins = []
    for c in centres:
        inside = (xb >= c - 0.5) & (xb < c + 0.5)
        want_bins.append(float(wb[inside].mean()) if inside.any() else 0.0)

    def check_bins(report):
        got = report.get("means")
        if got is None or len(got) != len(want_bins) or any(differs(a, b, 1e-12) for a, b in zip(got, want_bins)):
            return ["means %r, NumPy %r" % (got, want_bins)]
        return []

    out.append(("bin-data with missing rows", conventions, "x", ["bin-data", "--y", "w", "--centres", "0,1,5"],
                check_bins))

    # Refusals: one message, exit status 1.
    refusals = [
        ("a table of three dimensions", "grid3", ["summary", "--layout", "table"],
         "has shape (7, 9, 11): --layout table reads datasets of two dimensions only"),
        ("a column of a grid", "grid3", ["mean", "--column", "1"],
         "is a grid of shape (7, 9, 11); --column picks a column of a table of shape (n, k)"),
        ("a column wholly missing", "wide", ["mean", "--column", "17"],
         "no value is left to compute with: every one of the 150 values of 'wide' is missing"),
        ("grids of other shapes paired", "grid3", ["mean", "--weights", "grid4"],
         "weights dataset 'grid4' has shape (5, 3, 4, 6) but 'grid3' has shape (7, 9, 11)"),
        ("every value unpacked to NaN, --skip-nan", "scale_nan", ["mean", "--skip-nan"],
         "no value is left to compute with: every one of the 150 values of 'scale_nan' is missing"),
    ]
    out.extend((label, conventions, name, args, message) for label, name, args, message in refusals)
    return out


def main():
    args = parse_tool_arguments(description=__doc__.split("\n\n")[0])

    os.makedirs(args.work, exist_ok=True)
    conventions = os.path.join(args.work, "conventions.h5")
    filters = os.path.join(args.work, "filters.h5")
    write_conventions(conventions)
    write_filters(filters)

    failed = 0
    all_cases = cases(conventions, filters)
    for label, path, name, tool_args, check in all_cases:
        command = launcher(args) + [args.tool, path, name] + tool_args + ["--format", "json"]
        env = dict(os.environ, MPIEXEC_TIMEOUT="60")
        if name in FILTER_NAMES and "ASAN_OPTIONS" in env:
            # The Blosc and ZFP plugins (and the serial HDF5 they load) keep
            # allocations that HDF5's unloading of them at exit leaves
            # behind, in modules then gone, which no suppression can name:
            # leak checking is left to the other cases.
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        p = subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)
        if isinstance(check, str):  # a refusal: this message, once, and exit status 1
            errors = [line for line in p.stderr.splitlines() if line.startswith("virda-stats: error: ")]
            problems = [] if p.returncode == 1 and len(errors) == 1 and check in errors[0] else [
                "exit status %d, expected 1 with '%s': %s" % (p.returncode, check, p.stderr.strip())]
        elif p.returncode != 0:
            problems = ["exit status %d: %s" % (p.returncode, p.stderr.strip())]
        else:
            try:
                problems = check(decode(p.stdout))
            except ValueError as e:
                problems = ["the output is not strict JSON (%s):\n%s" % (e, p.stdout)]
        failed += 1 if problems else 0
        print("%-6s %s (%s %s)%s" % ("FAIL" if problems else "ok", label, name, " ".join(tool_args),
                                    "".join("\n         " + line for line in problems)), flush=True)
    print("%d passed, %d failed" % (len(all_cases) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

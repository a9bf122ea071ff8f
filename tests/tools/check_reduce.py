#!/usr/bin/python3
"""Checks virda-stats reduce on netCDF-4 files written here with h5py (dimension
scales, coordinate variables, CF attributes, missing and packed values).

Every statistic of every cell is compared with NumPy's along the reduced axes,
to the last bit of the output's type where the tool promises it (exact sums,
extremes and order statistics; means from the exact total); the output must
be the same bits at this rank count, at one rank and under a small memory
budget (a field several times the budget); the file must read back with h5py
(dimension scales, coordinates and attributes) and, where installed, with
ncdump, and its means, sums and extremes must agree with NCO's ncwa. Bad
requests must stop every rank with one message.

    /usr/bin/python3 check_reduce.py --tool TOOL --work DIR --ranks N
        [--launcher "mpiexec -n"] [--preflags ...]

Exit status 0 when every case agrees, 1 otherwise; each case prints one line.
"""
import math
import os
import shutil
import subprocess
import sys
from fractions import Fraction

import h5py
import numpy as np

from tool_launch import launcher, parse_tool_arguments

RNG = np.random.default_rng(20261210)
FILL = np.float32(-999.0)


def dimension(f, name, values, **attrs):
    d = f.create_dataset(name, data=values)
    d.make_scale(name)
    for k, v in attrs.items():
        d.attrs[k] = v
    return d


def variable(f, name, data, dims, **attrs):
    v = f.create_dataset(name, data=data, fillvalue=attrs.get("_FillValue"))
    for i, d in enumerate(dims):
        v.dims[i].attach_scale(f[d])
    for k, a in attrs.items():
        v.attrs[k] = a
    return v


def write_file(path):
    """A (time, lat, lon) float32 temperature with missing values, one cell
    missing at every time and one cell holding a NaN; a float64 field several
    times 1 MiB; packed int16 values."""
    with h5py.File(path, "w") as f:
        dimension(f, "time", np.arange(40, dtype=np.float64) * 6.0, units="hours since 2000-01-01")
        dimension(f, "lat", np.linspace(-50.0, 50.0, 6).astype(np.float32), units="degrees_north")
        dimension(f, "lon", np.arange(8, dtype=np.float32) * 45.0, units="degrees_east")
        t = (RNG.normal(280.0, 15.0, (40, 6, 8))).astype(np.float32)
        t[RNG.random(t.shape) < 0.1] = FILL
        t[:, 2, 3] = FILL
        t[7, 4, 5] = np.nan
        v = variable(f, "t", t, ["time", "lat", "lon"], _FillValue=FILL, units="K", long_name="air temperature")
        v.attrs["source"] = f["time"].ref  # an object reference: no netCDF attribute, not copied

        dimension(f, "step", np.arange(2000, dtype=np.int32))
        dimension(f, "y", np.arange(12, dtype=np.float64))
        dimension(f, "x", np.arange(10, dtype=np.float64))
        big = RNG.normal(0.0, 1.0, (2000, 12, 10)) * 10.0 ** RNG.integers(-3, 4, (2000, 12, 10))
        variable(f, "big", big, ["step", "y", "x"], units="m")

        # float32 cells enough for several groups under 1 MiB: ordinary values,
        # and in the first row float32 of any exponent (subnormals to 2^122 of
        # both signs), in the second +-FLT_MAX cancelling around tiny values.
        dimension(f, "hour", np.arange(30, dtype=np.float64))
        dimension(f, "row", np.arange(20, dtype=np.float64))
        dimension(f, "col", np.arange(100, dtype=np.float64))
        wide = RNG.normal(0.0, 3.0, (30, 20, 100)).astype(np.float32)
        bits = RNG.integers(0, 2 ** 32, (30, 100), dtype=np.uint64).astype(np.uint32)
        # Exponents above 2^121 lowered: no NaN or infinity, and no total
        # beyond float32 (the output could not hold it).
        high = ((bits >> 23) & 0xFF) > 0xF8
        bits[high] -= np.uint32(8 << 23)
        wide[:, 0, :] = bits.view(np.float32)
        top = np.finfo(np.float32).max
        wide[:, 1, :] = np.float32(1e-45) * RNG.integers(1, 100, (30, 100)).astype(np.float32)
        wide[0::2, 1, :50] = top
        wide[1::2, 1, :50] = -top
        variable(f, "wide", wide, ["hour", "row", "col"], units="1")

        packed = RNG.integers(-3000, 3000, (40, 6, 8)).astype(np.int16)
        packed[RNG.random(packed.shape) < 0.05] = -32767
        variable(f, "p", packed, ["time", "lat", "lon"], _FillValue=np.int16(-32767),
                 scale_factor=np.float32(0.01), add_offset=np.float64(273.15), units="K")


def values_of(path, name):
    """The values as netCDF readers give them: missing values NaN-masked (a
    boolean mask apart, so that real NaN stay), unpacked in float64."""
    with h5py.File(path, "r") as f:
        d = f[name]
        raw = d[...]
        attrs = dict(d.attrs)
    missing = np.zeros(raw.shape, dtype=bool)
    if "_FillValue" in attrs:
        missing |= raw == np.asarray(attrs["_FillValue"]).astype(raw.dtype)
    values = raw
    if "scale_factor" in attrs or "add_offset" in attrs:
        values = raw.astype(np.float64) * np.float64(attrs.get("scale_factor", 1.0)) + \
            np.float64(attrs.get("add_offset", 0.0))
    return values, missing


def exact_mean_var(cell):
    """Exact mean and population variance of a cell's values (Fractions)."""
    fr = [Fraction(float(v)) for v in cell]
    n = len(fr)
    s = sum(fr)
    q = sum(v * v for v in fr)
    return s / n, (n * q - s * s) / (n * n), s


def reference(values, missing, axes, stats, single, method="linear", skip_nan=False):
    """NumPy's answer per cell: the values not missing along `axes` (moved to
    the end), NaN propagating unless skipped; inf where a cell has no value."""
    keep = [a for a in range(values.ndim) if a not in axes]
    v = np.transpose(values, keep + list(axes)).reshape([values.shape[a] for a in keep] + [-1])
    m = np.transpose(missing, keep + list(axes)).reshape(v.shape)
    cast = np.float32 if single else np.float64
    out = {s: np.full(v.shape[:-1], np.nan) for s in stats}
    for index in np.ndindex(*v.shape[:-1]):
        cell = v[index][~m[index]]
        if skip_nan:
            cell = cell[~np.isnan(cell)]
        if "count" in out:
            out["count"][index] = len(cell)
        if len(cell) == 0:
            for s in stats:
                if s != "count":
                    out[s][index] = np.inf  # stands for the fill value
            continue
        if np.isnan(cell).any():
            continue
        mean, var, total = exact_mean_var(cell)
        for s in stats:
            if s == "mean":
                out[s][index] = cast(float(mean)) if single else math.fsum(cell.astype(np.float64)) / len(cell)
            elif s == "std":
                out[s][index] = cast(math.sqrt(float(var)))
            elif s == "sum":
                out[s][index] = cast(float(total))
            elif s == "min":
                out[s][index] = cell.min()
            elif s == "max":
                out[s][index] = cell.max()
            elif s == "median" or s.startswith("q"):
                p = 0.5 if s == "median" else float(s[1:])
                # NumPy interpolates float32 order statistics in float64:
                # the output holds that rounded to float32.
                out[s][index] = cast(np.quantile(cell, p, method=method))
    return out


def compare(path, var, stats, want, fill, loose=()):
    """Problems of the output `path` against `want` (exact bits unless the
    statistic is in `loose`: then within 4 units in the last place)."""
    problems = []
    with h5py.File(path, "r") as f:
        for s in stats:
            got = f["%s_%s" % (var, s)][...]
            w = want[s]
            if s == "count":
                if not np.array_equal(got, w.astype(np.int64)):
                    problems.append("count differs in %d cells" % int((got != w).sum()))
                continue
            g = got.astype(np.float64)
            is_fill = np.isinf(w)
            bad = (g[is_fill] != np.float64(got.dtype.type(fill))).sum()
            both = ~is_fill
            same_nan = np.isnan(g[both]) == np.isnan(w[both])
            num = both & ~np.isnan(w)
            if s in loose:
                ulp = np.spacing(np.abs(w[num]).astype(got.dtype)).astype(np.float64)
                off = np.abs(g[num] - w[num]) > 4 * ulp
            else:
                off = g[num] != w[num]
            if bad or not same_nan.all() or off.any():
                problems.append("%s: %d fill, %d NaN, %d values differ (first: got %r, want %r)" % (
                    s, bad, int((~same_nan).sum()), int(off.sum()),
                    g[num][off][:1].tolist(), w[num][off][:1].tolist()))
    return problems


def main():
    args = parse_tool_arguments()

    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, "fields.nc")
    write_file(path)
    env = dict(os.environ, MPIEXEC_TIMEOUT="60")

    def run(tool_args, ranks=args.ranks):
        return subprocess.run(launcher(args, ranks) + [args.tool, path] + tool_args, capture_output=True, text=True,
                              env=env, timeout=180)

    failed = 0

    def report(label, problems):
        nonlocal failed
        failed += 1 if problems else 0
        print("%-6s %s%s" % ("FAIL" if problems else "ok", label, "".join("\n         " + p for p in problems)),
              flush=True)

    def output(name):
        return os.path.join(args.work, name)

    # Values against NumPy, the same bits at one rank and under a budget of
    # 1 MiB (a field of 1.9 MB, accumulators in several groups of cells).
    cases = [
        ("t", ["time"], (0,), "mean,std,min,max,sum,count,median,q0.9", True, -999.0, ("std",)),
        ("t", ["time", "lon"], (0, 2), "mean,max,count,q0.25", True, -999.0, ()),
        ("big", ["step"], (0,), "mean,std,min,max,sum,count,q0.9", False, 9.9692099683868690e+36, ("std",)),
        ("wide", ["hour"], (0,), "mean,std,min,max,sum,count,q0.9", True, 9.9692099683868690e+36, ("std",)),
        ("p", ["0"], (0,), "mean,min,max,count,median", False, 9.9692099683868690e+36, ()),
        # The row dimension kept: each rank reduces its own rows.
        ("t", ["lon"], (2,), "mean,std,min,max,sum,count,median,q0.9", True, -999.0, ("std",)),
        ("big", ["y", "x"], (1, 2), "mean,min,max,count,q0.1", False, 9.9692099683868690e+36, ()),
        # NaN left out; NumPy's other quantile methods.
        ("t", ["time", "--skip-nan", "--method", "median_unbiased"], (0,), "mean,count,median,q0.05", True,
         -999.0, ()),
        ("t", ["lon", "--skip-nan", "--method", "nearest"], (2,), "max,count,q0.3", True, -999.0, ()),
    ]
    for var, over, axes, stats, single, fill, loose in cases:
        names = stats.split(",")
        values, missing = values_of(path, var)
        split = next((i for i, a in enumerate(over) if a.startswith("--")), len(over))
        over, options = over[:split], over[split:]
        method = options[options.index("--method") + 1] if "--method" in options else "linear"
        want = reference(values, missing, axes, names, single, method, "--skip-nan" in options)
        base = "%s_%s%s" % (var, "_".join(over), "_" + method if options else "")
        problems = []
        runs = [("", [], args.ranks), ("1M", ["--memory-budget", "1M"], args.ranks), ("np1", [], 1)]
        written = []
        for tag, extra, ranks in runs:
            out = output("%s%s.nc" % (base, tag))
            p = run([var, "reduce", "--over", ",".join(over), "--stat", stats, "-o", out] + options + extra, ranks)
            if p.returncode != 0:
                problems.append("exit status %d (%s): %s" % (p.returncode, tag, p.stderr.strip()))
                continue
            written.append(out)
        if len(written) == len(runs):
            problems += compare(written[0], var, names, want, fill, loose)
            with h5py.File(written[0], "r") as a:
                for other in written[1:]:
                    with h5py.File(other, "r") as b:
                        for s in names:
                            x = a["%s_%s" % (var, s)][...]
                            y = b["%s_%s" % (var, s)][...]
                            if x.tobytes() != y.tobytes():
                                problems.append("%s: %s differs from the first run's bits" % (other, s))
        report("%s over %s: %s %s(%d ranks, 1 rank, 1 MiB budget)" % (
            var, ",".join(over), stats, " ".join(options) + " " if options else "", args.ranks),
               problems)

    # The file as netCDF-4: dimension scales with copied coordinates and
    # attributes, cell_methods, _FillValue of the variable's type.
    problems = []
    first = output("t_time.nc")
    with h5py.File(first, "r") as f:
        m = f["t_mean"]
        dims = [m.dims[i][0].name.lstrip("/") if len(m.dims[i]) else None for i in range(m.ndim)]
        if dims != ["lat", "lon"]:
            problems.append("dimensions %r" % dims)
        if "time" in f:
            problems.append("the reduced dimension 'time' was written")
        with h5py.File(path, "r") as g:
            if not np.array_equal(f["lat"][...], g["lat"][...]) or f["lat"].attrs.get("units") != "degrees_north":
                problems.append("coordinate lat not copied with its units")
        attrs = dict(m.attrs)
        cm = attrs.get("cell_methods")
        cm = cm.decode() if isinstance(cm, bytes) else cm
        if cm != "time: mean" or attrs.get("units") not in ("K", b"K") or "source" in attrs:
            problems.append("attributes %r" % attrs)
        if m.dtype != np.float32 or attrs.get("_FillValue") != FILL or f["t_count"].dtype != np.int64:
            problems.append("types %s %s, _FillValue %r" % (m.dtype, f["t_count"].dtype, attrs.get("_FillValue")))
    if shutil.which("ncdump"):
        p = subprocess.run(["ncdump", "-h", first], capture_output=True, text=True)
        header = p.stdout
        for line in ("float t_mean(lat, lon)", 't_mean:cell_methods = "time: mean"', "int64 t_count(lat, lon)",
                     "lat = 6 ;", "float lat(lat)"):
            if line not in header:
                problems.append("ncdump -h (status %d) lacks '%s': %s" % (p.returncode, line, p.stderr.strip()))
    else:
        print("skip   ncdump not installed (Debian package netcdf-bin)")
    report("output is netCDF-4 with dimension scales, coordinates and CF attributes", problems)

    # NCO's ncwa on the same file: extremes and sums the same bits, means
    # within the last bit of float32.
    if shutil.which("ncwa"):
        problems = []
        with h5py.File(first, "r") as ours:
            for op, stat in (("avg", "mean"), ("min", "min"), ("max", "max"), ("ttl", "sum")):
                out = output("ncwa_%s.nc" % op)
                p = subprocess.run(["ncwa", "-O", "-a", "time", "-y", op, "-v", "t", path, out],
                                   capture_output=True, text=True)
                if p.returncode != 0:
                    problems.append("ncwa -y %s failed: %s" % (op, p.stderr.strip()))
                    continue
                with h5py.File(out, "r") as theirs:
                    a = ours["t_" + stat][...].astype(np.float64)
                    b = theirs["t"][...].astype(np.float64)
                # NCO leaves NaN to IEEE comparisons (its min and max of a
                # cell holding NaN depend on the order): cells with NaN are
                # compared only for the mean and the sum, where NaN spreads.
                nan_cells = np.isnan(values_of(path, "t")[0]).any(axis=0)
                ok = np.isnan(a) == np.isnan(b)
                if stat in ("min", "max"):
                    ok |= nan_cells
                both = ~np.isnan(a) & ~np.isnan(b)
                tolerance = np.spacing(np.abs(a[both]).astype(np.float32)) if stat in ("mean", "sum") else 0
                ok[both] = np.abs(a[both] - b[both]) <= tolerance
                if not ok.all():
                    problems.append("%s differs from ncwa -y %s in %d cells" % (stat, op, int((~ok).sum())))
        report("t over time agrees with NCO's ncwa (avg, min, max, ttl)", problems)
    else:
        print("skip   NCO's ncwa not installed (Debian package nco)")

    # Refusals: every rank stops, one message, status 1, nothing left behind.
    refusals = [
        ("a bad --over name", ["t", "reduce", "--over", "depth", "--stat", "mean", "-o", output("bad.nc")],
         "has no dimension 'depth'"),
        ("an unwritable -o", ["t", "reduce", "--over", "time", "--stat", "mean", "-o",
                              output("no/such/dir/out.nc")], "cannot write"),
        ("the input as -o", ["t", "reduce", "--over", "time", "--stat", "mean", "-o", path], "overwrite its input"),
        ("every dimension reduced", ["t", "reduce", "--over", "time,lat,lon", "--stat", "mean", "-o",
                                     output("bad.nc")], "keeps at least one dimension"),
    ]
    for label, tool_args, message in refusals:
        p = run(tool_args)
        errors = [line for line in p.stderr.splitlines() if line.startswith("virda-stats: error: ")]
        problems = []
        if p.returncode != 1 or len(errors) != 1 or message not in errors[0]:
            problems.append("exit status %d: %s" % (p.returncode, p.stderr.strip()))
        if os.path.exists(output("bad.nc")):
            problems.append("bad.nc was written")
        report("refuses %s" % label, problems)
    with h5py.File(path, "r") as f:
        if f["t"].shape != (40, 6, 8):
            report("input intact", ["the input was changed"])

    print("%d failed" % failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

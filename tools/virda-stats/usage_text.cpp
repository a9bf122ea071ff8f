#include "cli_options.h"

namespace virda_stats {

std::string usage_text()
{
    return R"(Usage: mpiexec -n N virda-stats FILE DATASET OPERATION [options]
       mpiexec -n N virda-stats --demo [FILE]

Statistics of one dataset of an HDF5 file, read in parallel: every rank reads
only its own rows. DATASET is a path inside the file (a leading / is optional)
of integers or floats of any width and byte order, of any number of
dimensions. A netCDF variable (a dataset with dimension scales) and any
dataset of three or more dimensions is a grid: statistics over all its values.
Other two-dimensional datasets are tables of shape (n, k): summary reports
every column (floats of width 2 or 3 as vector components), the other
operations take one column with --column K. 8- to 32-bit integers are held as
int (unsigned: up to 16 bits), wider ones as double (exact up to 2^53), floats
of up to 32 bits as float, wider ones as double.

Values equal to the attribute _FillValue or missing_value, or outside
valid_min/valid_max/valid_range, are missing: left out of every statistic and
counted. Values with scale_factor/add_offset are unpacked (v * scale_factor +
add_offset, as double). NaN values are kept (the statistics that see them are
NaN) unless --skip-nan.

Operations:
  mean        [--weights W]             mean, or weighted mean
  stdev       [--weights W]             population standard deviation
  histogram   --lower L --width W --bins N
                                        counts in N bins of width W above L
                                        (values at or below L are not counted)
  bin-data    --y Y --centres c0,w,n    mean of Y in n bins of DATASET centred
                                        on c0, c0 + w, ...
  poly-fit    --y Y --order N [--weights W]
                                        least-squares polynomial Y(DATASET),
                                        fitted in x' = (x - centre) / scale;
                                        warns or refuses when ill-conditioned
  quantiles   --q p1,p2,...             quantiles of the probabilities (in
                                        [0, 1]), interpolated linearly between
                                        the exact order statistics; NaN if
                                        any value is NaN
  summary                               count, mean, stdev, min, max, median,
                                        NaNs (and missing values)
  histogram2d --y Y --bins N[,M] [--range xlo,xhi,ylo,yhi]
                                        counts of the pairs (DATASET, Y) in
                                        N x M bins of equal width (default
                                        range: the extremes of the finite
                                        values); every bin holds its lower
                                        edges, the last ones their upper too
  binned-statistic --values V --statistic S --bins N[,M] [--y Y] [--range ...]
                                        S (count, sum, mean, std, min, max or
                                        median) of V per bin of DATASET (and
                                        Y), bins as histogram2d's; sums exact
  reduce      --over D1[,D2...] --stat S1[,S2...] -o OUT.nc [--method M]
                                        statistics along dimensions (names of
                                        the file's dimension scales, or 0-based
                                        indices) of a grid, written as a netCDF-4
                                        file over the remaining dimensions, one
                                        variable per statistic: mean, std, min,
                                        max, sum, count, median, qP (q0.9); the
                                        quantiles exact, by NumPy's method M
                                        (default linear)

Options:
  --column K           column K (0-based) of a table DATASET of shape (n, k)
  --layout table|grid  read a two-dimensional dataset per column (table) or
                       all its values together (grid)
  --raw                the stored values: no missing values, no unpacking
  --skip-nan           leave NaN values out too (they are still counted)
  --memory-budget B    the most memory a rank uses for the values it reads at
                       once and for a median or quantile search: bytes, or
                       with a suffix K, M, G or T (default 512M, at least 1M)
  --format text|json   output format (default text); printed by rank 0
  --demo [FILE]        write a sample catalogue (default virda-demo.h5) and
                       summarise every dataset in it
  --help, --version

Paired datasets (W, Y, V) must have as many rows as DATASET (a grid: the same
shape); a row missing in one of them is left out of all. On any error every
rank stops, rank 0 prints one message, and the exit status is 1 (input) or 2
(command line).
)";
}


} // namespace virda_stats

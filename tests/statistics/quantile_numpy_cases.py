#!/usr/bin/python3
"""Writes finite test data with numpy.quantile's and numpy.median's answers
for quantile_numpy_test.

    /usr/bin/python3 quantile_numpy_cases.py OUT

Each case is four lines of hexadecimal doubles (float.hex): the data, the
probabilities, numpy.quantile of them (default method "linear") and
numpy.median. Data sizes run from 1 to 20000, odd and even, with many
duplicates, negative and positive values, integers and wide exponents.
"""
import sys

import numpy as np


def cases():
    rng = np.random.default_rng(20261208)
    yield "single", np.array([3.25])
    yield "pair", np.array([1.0, 2.0])
    yield "small odd", rng.normal(size=7)
    yield "small even", rng.normal(size=8)
    for n in (101, 1000, 4096, 20000):
        yield f"normal {n}", rng.normal(size=n)
        yield f"duplicates {n}", np.floor(rng.uniform(-20, 20, size=n)) / 4
        yield f"integers {n}", rng.integers(-1000, 1000, size=n).astype(np.float64)
        yield f"wide exponents {n}", rng.normal(size=n) * 10.0 ** rng.integers(-200, 200, size=n)
        yield f"thirds {n}", rng.integers(0, 3, size=n) / 3.0


def main():
    probabilities = np.array([0.0, 0.01, 0.05, 0.1, 0.25, 1 / 3, 0.5, 0.6, 0.75, 0.9, 0.95, 0.99, 1.0, 1e-7])
    with open(sys.argv[1], "w") as out:
        for name, data in cases():
            out.write(f"# {name}\n")
            for row in (data, probabilities, np.quantile(data, probabilities), [np.median(data)]):
                out.write(" ".join(float(v).hex() for v in row) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

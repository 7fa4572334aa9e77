"""The scalar copies: every rolling kernel on float32 and int64 input (and a
float64/float32 pair for the two-series kernels), against the numpy formula
on the same input, 1-D series of 2,500 values and a 1,000 x 500 panel
(formula column by column), windows 20 and 250. float64 takes the vector
copies (bench_rolling.py); these element types take the one scalar copy,
which must stay faster than the formula.

Run: .venv/bin/python benchmarks/bench_dtypes.py
"""
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import rolling_reference as ref  # noqa: E402

import quellix.rolling as rolling  # noqa: E402

FLOAT_ONLY = {"ma", "ema", "wma", "std", "var", "zscore", "avedev", "skew", "kurt"}


def best(func, repeat=3):
    t = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        t = min(t, time.perf_counter() - start)
    return t


def main():
    rng = np.random.default_rng(3)
    rows = []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for name in ref.KERNELS:
            ours, formula = getattr(rolling, name), getattr(ref, name)
            dtypes = ["float32", "float64/float32"] if name in ref.PAIRED else ["float32", "int64"]
            for dtype in dtypes:
                for shape in ((2500,), (1000, 500)):
                    first = dtype.split("/")[0]
                    x = (rng.standard_normal(shape) * 100).astype(first)
                    y = (rng.standard_normal(shape) * 100).astype(dtype.split("/")[-1])
                    for n in (20, 250):
                        if name in ref.PAIRED:
                            a, b = (lambda: ours(n, x, y)), (lambda: [formula(n, x[:, c], y[:, c]) for c in
                                                                      range(x.shape[1])] if x.ndim == 2 else
                                                                     formula(n, x, y))
                        else:
                            a = lambda: ours(x, n)  # noqa: E731
                            b = (lambda: [formula(x[:, c], n) for c in range(x.shape[1])]) if x.ndim == 2 else \
                                (lambda: formula(x, n))
                        case = "%s %s n=%d" % (dtype, "x".join(map(str, shape)), n)
                        t_ours, t_ref = best(a), best(b, 1 if x.ndim == 2 else 3)
                        rows.append((name, case, t_ours, t_ref))
    print("%-12s %-30s %11s %11s %8s" % ("kernel", "case", "ours", "numpy", "speedup"))
    for name, case, t_ours, t_ref in rows:
        print("%-12s %-30s %9.2f ms %9.2f ms %7.1fx" % (name, case, t_ours * 1e3, t_ref * 1e3, t_ref / t_ours))
    print("slowest against numpy: %.1fx" % min(r[3] / r[2] for r in rows))


if __name__ == "__main__":
    main()

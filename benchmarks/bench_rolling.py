"""Speed of the compiled rolling kernels against the numpy formulas they replace.

For every kernel: float64 series of 2,500 values with windows 5, 20 and 60, and
one 2,500 x 5,000 matrix with window 20 (the numpy formula runs column by
column; it is timed on a sample of columns and scaled to all of them). Both
sides are timed in the same run; the formula's time includes building the
sliding-window view.

Run: .venv/bin/python benchmarks/bench_rolling.py
"""

import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import rolling_reference as ref  # noqa: E402

import quellix.rolling as rolling  # noqa: E402

LENGTH = 2500
WINDOWS = (5, 20, 60)
MATRIX_SHAPE = (2500, 5000)
MATRIX_WINDOW = 20
SAMPLED_COLUMNS = 40


def best_time(func, budget=0.15, repeat=5):
    """Best per-call time over `repeat` rounds, each sized to about budget / repeat."""
    start = time.perf_counter()
    func()
    once = max(time.perf_counter() - start, 1e-7)
    calls = max(1, int(budget / repeat / once))
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(calls):
            func()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def calls_for(name, data, other, window):
    """(ours, numpy formula) as zero-argument callables."""
    ours, formula = getattr(rolling, name), getattr(ref, name)
    if name in ref.PAIRED:
        return (lambda: ours(window, data, other)), (lambda: formula(window, data, other))
    return (lambda: ours(data, window)), (lambda: formula(data, window))


def series_rows(rng):
    x = rng.standard_normal(LENGTH)
    y = rng.standard_normal(LENGTH)
    rows = []
    for window in WINDOWS:
        for name in ref.KERNELS:
            ours, formula = calls_for(name, x, y, window)
            rows.append((name, "1-D n=%d" % window, best_time(ours), best_time(formula)))
    return rows


def matrix_rows(rng):
    a = rng.standard_normal(MATRIX_SHAPE)
    b = rng.standard_normal(MATRIX_SHAPE)
    columns = np.linspace(0, MATRIX_SHAPE[1] - 1, SAMPLED_COLUMNS).astype(int)
    scale = MATRIX_SHAPE[1] / len(columns)
    rows = []
    for name in ref.KERNELS:
        ours, _ = calls_for(name, a, b, MATRIX_WINDOW)
        formula = getattr(ref, name)
        if name in ref.PAIRED:
            def per_column(formula=formula):
                for c in columns:
                    formula(MATRIX_WINDOW, a[:, c], b[:, c])
        else:
            def per_column(formula=formula):
                for c in columns:
                    formula(a[:, c], MATRIX_WINDOW)
        rows.append((name, "2500x5000 n=20", best_time(ours, budget=0.5, repeat=5),
                     best_time(per_column, budget=0.3, repeat=2) * scale))
    return rows


def fmt(seconds):
    if seconds >= 1e-3:
        return "%9.2f ms" % (seconds * 1e3)
    return "%9.1f us" % (seconds * 1e6)


def main():
    rng = np.random.default_rng(20240101)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        rows = series_rows(rng) + matrix_rows(rng)
    print("%-12s %-16s %12s %12s %8s" % ("kernel", "case", "ours", "numpy", "speedup"))
    for name, case, ours, formula in rows:
        print("%-12s %-16s %12s %12s %7.1fx" % (name, case, fmt(ours), fmt(formula), formula / ours))
    return rows


if __name__ == "__main__":
    main()

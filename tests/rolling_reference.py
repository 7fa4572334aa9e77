"""numpy formulas of the rolling kernels, written over an explicit window matrix.

They are the independent computation that tests/test_rolling_kernels.py compares
the compiled kernels with, and the baseline that benchmarks/bench_rolling.py times.
"""

import contextlib

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view


@contextlib.contextmanager
def numpy2_promotion():
    """numpy 2's type promotion for the formulas, also on numpy 1.x.

    The kernels follow numpy 2 everywhere; numpy 1.24+ can promote the same
    way (NEP 50's "weak" state). The state is global to the interpreter, so
    the formulas are evaluated inside this block and nothing else is.
    """
    set_state = getattr(np, "_set_promotion_state", None)
    if set_state is None or np.lib.NumpyVersion(np.__version__) >= "2.0.0":
        yield
        return
    before = np._get_promotion_state()
    set_state("weak")
    try:
        yield
    finally:
        set_state(before)


def windows(x, n):
    return sliding_window_view(np.asarray(x), n)


def count(x, window):
    x = np.asarray(x)
    if x.dtype != bool:
        x = x.astype(np.bool_)
    return np.sum(windows(x, window), axis=1)


def ts_rank(x, window, kind=None):
    # kind="stable" gives the tie order the compiled kernel promises.
    order = windows(x, window).argsort(axis=-1, kind=kind).argsort(axis=-1, kind=kind)
    return order[:, -1] / window


def product(s, window):
    return np.prod(windows(s, window), axis=1)


def ma(x, n):
    return windows(x, n).mean(axis=1)


def ema(x, n):
    a = 2.0 / (n + 1)
    weights = a * (1 - a) ** np.arange(n - 1, -1, -1.0)
    return np.sum(windows(x, n) * weights, axis=1)


def wma(x, n):
    weights = 2 * np.arange(1, n + 1) / (n * (n + 1))
    return np.sum(windows(x, n) * weights, axis=1)


def sum(x, n):  # noqa: A001 - the kernel's own name
    return windows(x, n).sum(axis=1)


def std(x, n):
    return windows(x, n).std(axis=1)


def var(x, n):
    return windows(x, n).var(axis=1)


def ts_min(x, n):
    return windows(x, n).min(axis=1)


def ts_max(x, n):
    return windows(x, n).max(axis=1)


def ts_argmax(x, n):
    return windows(x, n).argmax(axis=-1).astype(float)


def ts_argmin(x, n):
    return windows(x, n).argmin(axis=-1).astype(float)


def zscore(s, window):
    s = np.asarray(s)
    w = windows(s, window)
    return (s[window - 1:] - w.mean(axis=1)) / w.std(axis=1)


def avedev(s, window):
    w = windows(s, window)
    return np.mean(np.abs(w.T - np.mean(w, axis=1)).T, axis=1)


def skew(s, n):
    s = np.asarray(s)
    s3 = s * s * s
    w = windows(s, n)
    u = w.mean(axis=1)
    u_s3 = windows(s3, n).mean(axis=1)
    sd = w.std(axis=1)
    result = (u_s3 - 3 * u * sd * sd - u * u * u) / (sd * sd * sd)
    if n > 2:
        result = result * ((n * (n - 1)) ** 0.5 / (n - 2))
    return result


def kurt(s, n):
    s = np.asarray(s)
    length = len(s)
    if n == 1:
        return np.full(length, -3.0, dtype=s.dtype)
    if n == 2:
        return np.full(length - 1, -2.0, dtype=s.dtype)
    if n == 3:
        return np.full(length - 2, -1.5, dtype=s.dtype)
    w = windows(s, n)
    d = w - w.mean(axis=1)[:, None]
    d2 = d**2
    m2 = np.sum(d2, axis=1) / n
    m4 = np.sum(d2**2, axis=1) / n
    return 1.0 / ((n - 2) * (n - 3)) * ((n**2 - 1.0) * m4 / m2**2 - 3 * (n - 1) * (n - 1))


def slope(y, n):
    x = np.arange(n, dtype=float)
    sumx = np.sum(x)
    sumxsqr = n * (n - 1) * (2 * n - 1) / 6
    divisor = sumx * sumx - n * sumxsqr
    w = windows(y, n)
    return (sumx * w.sum(axis=1) - n * (w * x).sum(axis=1)) / divisor


def covariance(window, a, b):
    a, b = np.asarray(a), np.asarray(b)
    ab = a * b
    return windows(ab, window).mean(axis=1) - windows(a, window).mean(axis=1) * windows(b, window).mean(axis=1)


def correlation(window, a, b):
    a, b = np.asarray(a), np.asarray(b)
    ab = a * b
    wa, wb = windows(a, window), windows(b, window)
    std_a, std_b = wa.std(axis=1), wb.std(axis=1)
    return (windows(ab, window).mean(axis=1) - wa.mean(axis=1) * wb.mean(axis=1)) / (std_a * std_b)


def regression(window, x, y):
    x, y = np.asarray(x), np.asarray(y)
    xy, x2 = x * y, x * x
    r_x_mean = windows(x, window).mean(axis=1)
    r_y_mean = windows(y, window).mean(axis=1)
    numerator = windows(xy, window).sum(axis=1) - r_x_mean * r_y_mean * window
    denominator = windows(x2, window).sum(axis=1) - r_x_mean * r_x_mean * window
    return numerator / denominator


SINGLE = ("count", "ts_rank", "product", "ma", "ema", "wma", "sum", "std", "var", "ts_min", "ts_max",
          "ts_argmax", "ts_argmin", "zscore", "avedev", "skew", "kurt", "slope")
PAIRED = ("covariance", "correlation", "regression")
KERNELS = SINGLE + PAIRED

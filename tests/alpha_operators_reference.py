"""The operators of the formulaic alphas in plain pandas/numpy, under the
conventions the alpha library states; the reference side of the comparison
with the compiled operators. Every function takes and returns dates x
instruments frames.

- rank: per date, percentage rank over the instruments, ties averaged, NaN
  stays NaN, values in (0, 1]; ties are exact float equality.
- scale(x, a): x * a / (the date's sum of |x|, NaN skipped); a zero sum
  (including a date with no values) gives NaN.
- indneutralize: x minus the mean of x over the instrument's industry on that
  date, NaN skipped; an instrument without a label gives NaN.
- Time-series windows are the past d rows including today; a non-integer d is
  floored and a floored d below 1 taken as 1, for delay and delta too. Any NaN
  in a window gives NaN; an infinity follows IEEE arithmetic.
- ts_argmax / ts_argmin: 1-based position counted from the window's oldest
  row, the oldest of equal extremes.
- ts_rank: today's rank among the window's values, ties averaged, divided by
  d, so in (0, 1].
- stddev and covariance divide by d and are exactly 0 on a window in which
  (either) input takes a single value; correlation is Pearson's, NaN on such
  a window, and not clipped to [-1, 1]. Windows are summed two-pass.
- decay_linear: weights 1..d, d on today, divided by their sum.
- signedpower(x, a) = sign(x) * |x|^a, also with an expression as a.
- x^y is numpy's power: a negative base with a non-integer exponent is NaN,
  while 1^NaN and NaN^0 are 1 (IEEE pow).
- where(cond, a, b) is cond ? a : b; comparisons with NaN are false, so the
  "else" branch is taken there. Comparison results count as 1.0 / 0.0.
- minimum/maximum (the formulas' min/max of two expressions) are element-wise
  and NaN if either side is NaN.
"""

import numpy as np
import pandas as pd
from numpy.lib.stride_tricks import sliding_window_view

_BLOCK_VALUES = 4_000_000


def _window(d):
    return max(int(np.floor(d)), 1)


def _values(x):
    return np.asarray(x, dtype=float)


def _like(values, x):
    return pd.DataFrame(values, index=x.index, columns=x.columns)


def _rolled(reduce, d, *frames):
    """reduce(*windows) over (rows, instruments, d) windows; rows before the
    first full window are NaN."""
    n = _window(d)
    arrays = [_values(f) for f in frames]
    out = np.full(arrays[0].shape, np.nan)
    rows, columns = out.shape
    if n <= rows:
        # Column blocks keep the window temporaries near 32 MB on a wide market.
        step = max(1, _BLOCK_VALUES // ((rows - n + 1) * n))
        with np.errstate(all="ignore"):
            for start in range(0, columns, step):
                block = slice(start, start + step)
                out[n - 1:, block] = reduce(*(sliding_window_view(a[:, block], n, axis=0)
                                              for a in arrays))
    return _like(out, frames[0])


def _masked(result, w):
    # argmax/argmin and comparisons do not propagate NaN on their own.
    return np.where(np.isnan(w).any(axis=-1), np.nan, result)


# ---------------------------------------------------------------- cross-section
def rank(x):
    return _like(_values(x), x).rank(axis=1, method="average", pct=True)


def scale(x, a=1.0):
    x = _like(_values(x), x)
    total = x.abs().sum(axis=1)
    return x.div(total.where(total != 0), axis=0) * a


def indneutralize(x, industry):
    v = _values(x)
    labels = np.asarray(industry, dtype=object)
    if labels.shape != v.shape:
        raise ValueError(f"industry has shape {labels.shape}, the values have {v.shape}")
    codes, _ = pd.factorize(labels.ravel())
    codes = codes.reshape(v.shape)
    ngroups = codes.max() + 1 if codes.size else 0
    key = np.arange(v.shape[0])[:, None] * max(ngroups, 1) + codes
    counted = (codes >= 0) & ~np.isnan(v)
    size = v.shape[0] * max(ngroups, 1)
    sums = np.bincount(key[counted], weights=v[counted], minlength=size)
    counts = np.bincount(key[counted], minlength=size)
    with np.errstate(all="ignore"):
        means = sums / counts
    out = np.where(codes >= 0, v - means[np.where(codes >= 0, key, 0)], np.nan)
    return _like(out, x)


# ---------------------------------------------------------------- time series
def delay(x, d):
    return _like(_values(x), x).shift(_window(d))


def delta(x, d):
    return _like(_values(x), x) - delay(x, d)


def ts_sum(x, d):
    return _rolled(lambda w: w.sum(axis=-1), d, x)


def ts_mean(x, d):
    return _rolled(lambda w: w.mean(axis=-1), d, x)


def product(x, d):
    return _rolled(lambda w: w.prod(axis=-1), d, x)


def ts_min(x, d):
    return _rolled(lambda w: w.min(axis=-1), d, x)


def ts_max(x, d):
    return _rolled(lambda w: w.max(axis=-1), d, x)


def ts_argmax(x, d):
    return _rolled(lambda w: _masked(w.argmax(axis=-1) + 1.0, w), d, x)


def ts_argmin(x, d):
    return _rolled(lambda w: _masked(w.argmin(axis=-1) + 1.0, w), d, x)


def _ts_rank(w):
    today = w[..., -1:]
    below = (w < today).sum(axis=-1)
    equal = (w == today).sum(axis=-1)
    return _masked((below + (equal + 1) / 2.0) / w.shape[-1], w)


def ts_rank(x, d):
    return _rolled(_ts_rank, d, x)


def _constant(w):
    # The window mean of equal values can be off by an ulp; the exact answer
    # for a constant window is known, so it is not left to rounding.
    top = w.max(axis=-1)
    return (top == w.min(axis=-1)) & np.isfinite(top)


def _centred(w):
    return w - w.mean(axis=-1, keepdims=True)


def stddev(x, d):
    return _rolled(lambda w: np.where(_constant(w), 0.0, w.std(axis=-1)), d, x)


def _covariance(a, b):
    cov = (_centred(a) * _centred(b)).mean(axis=-1)
    return np.where(_constant(a) | _constant(b), 0.0, cov)


def covariance(x, y, d):
    return _rolled(_covariance, d, x, y)


def _correlation(a, b):
    da, db = _centred(a), _centred(b)
    r = (da * db).sum(axis=-1) / np.sqrt((da * da).sum(axis=-1) * (db * db).sum(axis=-1))
    return np.where(_constant(a) | _constant(b), np.nan, r)


def correlation(x, y, d):
    return _rolled(_correlation, d, x, y)


def decay_linear(x, d):
    weights = np.arange(1.0, _window(d) + 1.0)
    return _rolled(lambda w: (w * weights).sum(axis=-1) / weights.sum(), d, x)


# ---------------------------------------------------------------- element-wise
def signedpower(x, a):
    x = _like(_values(x), x)
    with np.errstate(all="ignore"):
        return np.sign(x) * x.abs() ** a


def log(x):
    with np.errstate(all="ignore"):
        return _like(np.log(_values(x)), x)


def sign(x):
    return _like(np.sign(_values(x)), x)


def where(cond, a, b):
    """cond ? a : b, with NaN comparisons already false in cond."""
    a, b = (v if np.isscalar(v) else _values(v) for v in (a, b))
    return _like(np.where(np.asarray(cond, dtype=bool), a, b), cond)


def minimum(x, y):
    return _like(np.minimum(_values(x), _values(y)), x)


def maximum(x, y):
    return _like(np.maximum(_values(x), _values(y)), x)


REFERENCE_FUNCTIONS = {
    "rank": rank, "scale": scale, "indneutralize": indneutralize,
    "delay": delay, "delta": delta, "sum": ts_sum, "ts_mean": ts_mean,
    "product": product, "ts_min": ts_min, "ts_max": ts_max,
    "ts_argmax": ts_argmax, "ts_argmin": ts_argmin, "ts_rank": ts_rank,
    "stddev": stddev, "covariance": covariance, "correlation": correlation,
    "decay_linear": decay_linear, "signedpower": signedpower, "log": log,
    "sign": sign, "where": where, "min": minimum, "max": maximum,
}

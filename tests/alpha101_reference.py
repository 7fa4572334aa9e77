"""pandas/numpy transliteration of the 101 formulaic alphas of Kakushadze (2016).

The independent computation that the compiled alpha operators are compared
with, written from the paper's formulas alone. ``reference_alpha(k, data)``
evaluates alpha ``k`` on ``data``, a dict of dates x instruments float frames
("open", "high", "low", "close", "volume", "vwap", "returns", "total_turnover",
"cap") plus "industry", a frame of industry labels (object, NaN = unlabelled).

Operator conventions (``REFERENCE_FUNCTIONS``):

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
- stddev and covariance divide by d; correlation is Pearson's, NaN for a
  window in which either input takes a single value (exact equality); it is
  not clipped to [-1, 1].
- decay_linear: weights 1..d, d on today, divided by their sum.
- signedpower(x, a) = sign(x) * |x|^a, also with an expression as a.
- x^y is numpy's power: a negative base with a non-integer exponent is NaN,
  while 1^NaN and NaN^0 are 1 (IEEE pow).
- Comparisons with NaN are false, so a ternary takes its "else" branch and
  ``a || b`` is false when both sides involve NaN. Comparison results are
  1.0 / 0.0 (also as inputs of rank, decay_linear and arithmetic).
- min/max of two expressions are element-wise and NaN if either is NaN;
  min(x, d) / max(x, d) with a number d are ts_min / ts_max (alpha 29).
- adv{d} is the d-row mean of total_turnover (traded value, not shares);
  returns and cap are the fields of the same names.

Decisions where the paper's text leaves a choice:

- Every IndClass level (sector, industry, subindustry) uses the one industry
  frame given, so alpha 100's double neutralisation is computed twice, as
  written, though the second pass only changes rounding.
- Fractional windows such as sum(x, 9.8), Ts_Rank(x, 2.61957) or
  delta(x, 1.06157) are floored: 9, 2, 1. A correlation over a floored window
  of 1 would always be NaN; no alpha reaches one.
- Degenerate windows the paper writes are kept: alpha 29's product(x, 1),
  sum(x, 1) and min(x, 5) (a ts_min), the 2-row correlations of alpha 45
  (only +-1 or NaN).
- Blends of a field with itself are computed as written, not simplified:
  alpha 59 (vwap * 0.728317 + vwap * (1 - 0.728317)), 66 and 89 (low), 82
  (open); likewise alpha 62's rank(open) + rank(open), alpha 71's vwap + vwap,
  alpha 19's (close - delay(close, 7)) + delta(close, 7) and alpha 33's ^1.
- Ternaries whose branches are numbers give numbers even where every input is
  NaN (alphas 7, 21, 23, 24, 27, 46, 49, 51), as do the comparison alphas
  (61, 62, 64, 65, 68, 74, 75, 79, 81, 86, 95, 99), which are 0 there.
- Alpha 56's cap is market capitalisation; alpha 84's exponent is the
  expression delta(close, 4.96796), applied element-wise.
- Divisions by zero are IEEE (inf or NaN) and propagate; rank places +-inf
  at the ends. Alphas dividing by ranges or volumes (34, 42, 53, 54, 55, 60,
  83, 100, 101) produce them on flat prices or zero volumes.

Values that are mathematically equal but computed along different paths can
break a tie or a comparison differently by rounding: alphas 59, 62, 66, 82,
89 (self-blends), 61-99 comparisons of ranks, and alpha 100's second
neutralisation.
"""

import numpy as np
import pandas as pd
from numpy.lib.stride_tricks import sliding_window_view

PRICE_FIELDS = ("open", "high", "low", "close", "volume", "vwap", "returns",
                "total_turnover", "cap")


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
    if n <= out.shape[0]:
        with np.errstate(all="ignore"):
            out[n - 1:] = reduce(*(sliding_window_view(a, n, axis=0) for a in arrays))
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
    return x.mul(a / total.where(total != 0), axis=0)


def indneutralize(x, industry):
    v = _values(x)
    codes, _ = pd.factorize(np.asarray(industry, dtype=object).ravel())
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


def stddev(x, d):
    return _rolled(lambda w: w.std(axis=-1), d, x)


def _centred(w):
    return w - w.mean(axis=-1, keepdims=True)


def covariance(x, y, d):
    return _rolled(lambda a, b: (_centred(a) * _centred(b)).mean(axis=-1), d, x, y)


def _correlation(a, b):
    da, db = _centred(a), _centred(b)
    r = (da * db).sum(axis=-1) / np.sqrt((da * da).sum(axis=-1) * (db * db).sum(axis=-1))
    constant = (a.max(axis=-1) == a.min(axis=-1)) | (b.max(axis=-1) == b.min(axis=-1))
    return np.where(constant, np.nan, r)


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


# ---------------------------------------------------------------- alphas
class _Market:
    def __init__(self, data):
        missing = [k for k in PRICE_FIELDS + ("industry",) if k not in data]
        if missing:
            raise ValueError(f"data lacks the fields {missing}")
        close = data["close"]
        for key in PRICE_FIELDS + ("industry",):
            frame = data[key]
            if frame.shape != close.shape:
                raise ValueError(f"data[{key!r}] has shape {frame.shape}, close has {close.shape}")
            setattr(self, key, frame if key == "industry" else _like(_values(frame), close))
        self._adv = {}

    def adv(self, d):
        if d not in self._adv:
            self._adv[d] = ts_mean(self.total_turnover, d)
        return self._adv[d]

    def indneutralize(self, x):
        return indneutralize(x, self.industry)


ALPHA_FORMULAS = {}


def _alpha(k):
    def register(formula):
        ALPHA_FORMULAS[k] = formula
        return formula
    return register


def reference_alpha(k, data):
    """Alpha ``k`` (1..101) on ``data`` as a float dates x instruments frame."""
    if not isinstance(k, (int, np.integer)) or isinstance(k, bool) or k not in ALPHA_FORMULAS:
        raise ValueError(f"k must be an alpha number from 1 to 101, got {k!r}")
    m = _Market(data)
    with np.errstate(all="ignore"):
        result = ALPHA_FORMULAS[int(k)](m)
    return _like(_values(result), m.close)


@_alpha(1)
def _a1(m):
    x = where(m.returns < 0, stddev(m.returns, 20), m.close)
    return rank(ts_argmax(signedpower(x, 2.0), 5)) - 0.5


@_alpha(2)
def _a2(m):
    return -1 * correlation(rank(delta(log(m.volume), 2)), rank((m.close - m.open) / m.open), 6)


@_alpha(3)
def _a3(m):
    return -1 * correlation(rank(m.open), rank(m.volume), 10)


@_alpha(4)
def _a4(m):
    return -1 * ts_rank(rank(m.low), 9)


@_alpha(5)
def _a5(m):
    return rank(m.open - ts_sum(m.vwap, 10) / 10) * (-1 * rank(m.close - m.vwap).abs())


@_alpha(6)
def _a6(m):
    return -1 * correlation(m.open, m.volume, 10)


@_alpha(7)
def _a7(m):
    moved = delta(m.close, 7)
    return where(m.adv(20) < m.volume, (-1 * ts_rank(moved.abs(), 60)) * sign(moved), -1 * 1)


def _trend_follow(m, d):
    change = delta(m.close, 1)
    return where(0 < ts_min(change, d), change,
                 where(ts_max(change, d) < 0, change, -1 * change))


@_alpha(8)
def _a8(m):
    x = ts_sum(m.open, 5) * ts_sum(m.returns, 5)
    return -1 * rank(x - delay(x, 10))


@_alpha(9)
def _a9(m):
    return _trend_follow(m, 5)


@_alpha(10)
def _a10(m):
    return rank(_trend_follow(m, 4))


@_alpha(11)
def _a11(m):
    gap = m.vwap - m.close
    return (rank(ts_max(gap, 3)) + rank(ts_min(gap, 3))) * rank(delta(m.volume, 3))


@_alpha(12)
def _a12(m):
    return sign(delta(m.volume, 1)) * (-1 * delta(m.close, 1))


@_alpha(13)
def _a13(m):
    return -1 * rank(covariance(rank(m.close), rank(m.volume), 5))


@_alpha(14)
def _a14(m):
    return (-1 * rank(delta(m.returns, 3))) * correlation(m.open, m.volume, 10)


@_alpha(15)
def _a15(m):
    return -1 * ts_sum(rank(correlation(rank(m.high), rank(m.volume), 3)), 3)


@_alpha(16)
def _a16(m):
    return -1 * rank(covariance(rank(m.high), rank(m.volume), 5))


@_alpha(17)
def _a17(m):
    return ((-1 * rank(ts_rank(m.close, 10))) * rank(delta(delta(m.close, 1), 1))
            * rank(ts_rank(m.volume / m.adv(20), 5)))


@_alpha(18)
def _a18(m):
    body = m.close - m.open
    return -1 * rank(stddev(body.abs(), 5) + body + correlation(m.close, m.open, 10))


@_alpha(19)
def _a19(m):
    return ((-1 * sign((m.close - delay(m.close, 7)) + delta(m.close, 7)))
            * (1 + rank(1 + ts_sum(m.returns, 250))))


@_alpha(20)
def _a20(m):
    return ((-1 * rank(m.open - delay(m.high, 1))) * rank(m.open - delay(m.close, 1))
            * rank(m.open - delay(m.low, 1)))


@_alpha(21)
def _a21(m):
    mean8, sd8, mean2 = ts_sum(m.close, 8) / 8, stddev(m.close, 8), ts_sum(m.close, 2) / 2
    relative = m.volume / m.adv(20)
    return where(mean8 + sd8 < mean2, -1 * 1,
                 where(mean2 < mean8 - sd8, 1,
                       where((1 < relative) | (relative == 1), 1, -1 * 1)))


@_alpha(22)
def _a22(m):
    return -1 * (delta(correlation(m.high, m.volume, 5), 5) * rank(stddev(m.close, 20)))


@_alpha(23)
def _a23(m):
    return where(ts_sum(m.high, 20) / 20 < m.high, -1 * delta(m.high, 2), 0)


@_alpha(24)
def _a24(m):
    drift = delta(ts_sum(m.close, 100) / 100, 100) / delay(m.close, 100)
    return where((drift < 0.05) | (drift == 0.05),
                 -1 * (m.close - ts_min(m.close, 100)), -1 * delta(m.close, 3))


@_alpha(25)
def _a25(m):
    return rank((-1 * m.returns) * m.adv(20) * m.vwap * (m.high - m.close))


@_alpha(26)
def _a26(m):
    return -1 * ts_max(correlation(ts_rank(m.volume, 5), ts_rank(m.high, 5), 5), 3)


@_alpha(27)
def _a27(m):
    paired = ts_sum(correlation(rank(m.volume), rank(m.vwap), 6), 2) / 2.0
    return where(0.5 < rank(paired), -1 * 1, 1)


@_alpha(28)
def _a28(m):
    return scale(correlation(m.adv(20), m.low, 5) + (m.high + m.low) / 2 - m.close)


@_alpha(29)
def _a29(m):
    inner = rank(rank(-1 * rank(delta(m.close - 1, 5))))
    x = rank(rank(scale(log(ts_sum(ts_min(inner, 2), 1)))))
    return ts_min(product(x, 1), 5) + ts_rank(delay(-1 * m.returns, 6), 5)


@_alpha(30)
def _a30(m):
    c = m.close
    signs = (sign(c - delay(c, 1)) + sign(delay(c, 1) - delay(c, 2))
             + sign(delay(c, 2) - delay(c, 3)))
    return (1.0 - rank(signs)) * ts_sum(m.volume, 5) / ts_sum(m.volume, 20)

"""pandas/numpy transliteration of the 101 formulaic alphas of Kakushadze (2016).

The independent computation that the compiled alphas are compared with,
written from the paper's formulas alone. ``reference_alpha(k, data)``
evaluates alpha ``k`` (1..101) on ``data``, a dict of dates x instruments float
frames "open", "high", "low", "close", "volume", "vwap", "returns" (close /
previous close - 1), "total_turnover" (the day's traded value), "cap" (market
capitalisation), and "industry", a frame of industry labels (object, NaN
where unlabelled). ``random_market`` builds such a dict.

The operators and their conventions are in alpha_operators_reference and
re-exported here, with REFERENCE_FUNCTIONS.

How the formulas are read:

- adv{d} is the d-row mean of total_turnover (dollar volume, not shares), NaN
  while any of the d rows is NaN; returns and cap are taken as given.
- x^y is numpy's power, also with an expression as exponent (alphas 67, 69,
  70, 78, 80, 85, 90, 94): a negative base with a non-integer exponent is NaN,
  while 1^NaN and NaN^0 are 1 (IEEE), so a rank of exactly 1 raised to a NaN
  ts_rank stays 1.
- ``c ? a : b`` takes b where c is false, and a comparison with NaN is false;
  ``a || b`` is true if either is. Comparisons count as 1.0 / 0.0, so
  ``(a < b) * -1`` is -1 or 0. Ternaries with number branches (alphas 7, 21,
  23, 24, 27, 46, 49, 51) and the comparison alphas (61, 62, 64, 65, 68, 74,
  75, 79, 81, 86, 95, 99) are numbers even where every input is NaN.
- min/max of two expressions (alphas 71, 73, 76, 77, 82, 87, 88, 92, 96) are
  element-wise and NaN where either side is: the paper defines no NaN rule and
  a NaN side is not "smaller". min(x, 5) with a number is ts_min (alpha 29).
- Every IndClass level (sector, industry, subindustry) is the one industry
  frame, so alpha 100's double neutralisation is done twice, as written; the
  second pass only changes rounding.
- Fractional windows such as sum(x, 9.8), Ts_Rank(x, 2.61957) or
  delta(x, 1.06157) are floored (9, 2, 1), for delay and delta as for every
  rolling operator.
- Degenerate parts are kept as written: alpha 29's product(x, 1), sum(x, 1);
  alpha 45's 2-row correlations (only +-1 or NaN); alpha 19's
  (close - delay(close, 7)) + delta(close, 7); alpha 33's ^1.
- Blends of a field with itself are computed as written, not simplified:
  alpha 59 (vwap * 0.728317 + vwap * (1 - 0.728317)), 66 and 89 (low), 82
  (open); likewise alpha 62's rank(open) + rank(open) and alpha 71's
  vwap + vwap.
- Alpha 56's cap is market capitalisation; alpha 84's exponent is the
  expression delta(close, 4.96796), element by element.
- Divisions by zero follow IEEE (inf or NaN) and propagate; rank puts +-inf at
  the ends. Flat prices and zero volumes reach them in alphas 2, 34, 42, 47,
  53, 54, 55, 60, 83, 100 and 101.

Rounding can break a mathematical tie differently from another evaluation
order: wherever a rank, ts_rank, ts_argmax/argmin or comparison sees values
that are equal in exact arithmetic but reached by different operations, for
instance rolling sums or means of repeated values (summed here two-pass per
window), the self-blends of alphas 59, 66, 82 and 89 against their field, the
rank sums compared in alpha 62 and alpha 88's rank sums.
"""

import numpy as np
import pandas as pd

from alpha_operators_reference import (  # noqa: F401 - re-exported with the alphas
    REFERENCE_FUNCTIONS, _like, _values, correlation, covariance, decay_linear, delay,
    delta, indneutralize, log, maximum, minimum, product, rank, scale, sign, signedpower,
    stddev, ts_argmax, ts_argmin, ts_max, ts_mean, ts_min, ts_rank, ts_sum, where,
)

PRICE_FIELDS = ("open", "high", "low", "close", "volume", "vwap", "returns",
                "total_turnover", "cap")



def random_market(seed=0, dates=300, instruments=60):
    """A market with the awkward cases: suspensions and stray NaNs, unchanged
    closes, flat bars, tick-rounded prices and lot-rounded volumes (ties), zero
    volumes, and industry labels that change, with unlabelled instruments."""
    rng = np.random.default_rng(seed)
    shape = (dates, instruments)
    index = pd.bdate_range("2020-01-01", periods=dates)
    columns = [f"I{i:03d}" for i in range(instruments)]
    steps = np.where(rng.random(shape) < 0.05, 0.0, rng.normal(0, 0.02, shape))
    close = np.round(20 * np.exp(np.cumsum(steps, axis=0)), 2)
    open_ = np.round(close * (1 + rng.normal(0, 0.01, shape)), 2)
    high = np.maximum(open_, close) + np.round(np.abs(rng.normal(0, 0.2, shape)), 2)
    low = np.maximum(np.minimum(open_, close) - np.round(np.abs(rng.normal(0, 0.2, shape)), 2), 0.01)
    flat = rng.random(shape) < 0.03
    open_, high, low = (np.where(flat, close, a) for a in (open_, high, low))
    volume = np.round(rng.lognormal(10, 1, shape), -2)
    volume[rng.random(shape) < 0.03] = 0.0
    vwap = np.where(volume > 0, np.clip((high + low + close) / 3 + rng.normal(0, 0.05, shape), low, high),
                    close)
    shares = rng.integers(1, 50, instruments) * 1e6
    fields = {"open": open_, "high": high, "low": low, "close": close, "volume": volume,
              "vwap": vwap, "total_turnover": volume * vwap, "cap": close * shares}
    suspended = np.zeros(shape, dtype=bool)
    for i in rng.choice(instruments, instruments // 6, replace=False):
        start = rng.integers(0, dates)
        suspended[start:start + rng.integers(1, 30), i] = True
    for name, values in fields.items():
        values[suspended | (rng.random(shape) < 0.0005)] = np.nan
    data = {name: pd.DataFrame(values, index, columns) for name, values in fields.items()}
    data["returns"] = data["close"] / data["close"].shift(1) - 1
    names = np.array(["bank", "energy", "tech", "retail", "utility"], dtype=object)
    labels = np.tile(names[rng.integers(0, len(names), instruments)], (dates, 1))
    for i in rng.choice(instruments, instruments // 5, replace=False):
        labels[rng.integers(0, dates):, i] = names[rng.integers(0, len(names))]
    labels[:, rng.choice(instruments, 3, replace=False)] = np.nan
    labels[rng.random(shape) < 0.01] = np.nan
    data["industry"] = pd.DataFrame(labels, index, columns)
    return data

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


@_alpha(31)
def _a31(m):
    decayed = decay_linear(-1 * rank(rank(delta(m.close, 10))), 10)
    return (rank(rank(rank(decayed))) + rank(-1 * delta(m.close, 3))
            + sign(scale(correlation(m.adv(20), m.low, 12))))


@_alpha(32)
def _a32(m):
    return (scale(ts_sum(m.close, 7) / 7 - m.close)
            + 20 * scale(correlation(m.vwap, delay(m.close, 5), 230)))


@_alpha(33)
def _a33(m):
    return rank(-1 * (1 - m.open / m.close) ** 1)


@_alpha(34)
def _a34(m):
    return rank((1 - rank(stddev(m.returns, 2) / stddev(m.returns, 5)))
                + (1 - rank(delta(m.close, 1))))


@_alpha(35)
def _a35(m):
    return (ts_rank(m.volume, 32) * (1 - ts_rank(m.close + m.high - m.low, 16))
            * (1 - ts_rank(m.returns, 32)))


@_alpha(36)
def _a36(m):
    c, o = m.close, m.open
    return (2.21 * rank(correlation(c - o, delay(m.volume, 1), 15)) + 0.7 * rank(o - c)
            + 0.73 * rank(ts_rank(delay(-1 * m.returns, 6), 5))
            + rank(correlation(m.vwap, m.adv(20), 6).abs())
            + 0.6 * rank((ts_sum(c, 200) / 200 - o) * (c - o)))


@_alpha(37)
def _a37(m):
    return rank(correlation(delay(m.open - m.close, 1), m.close, 200)) + rank(m.open - m.close)


@_alpha(38)
def _a38(m):
    return (-1 * rank(ts_rank(m.close, 10))) * rank(m.close / m.open)


@_alpha(39)
def _a39(m):
    damped = delta(m.close, 7) * (1 - rank(decay_linear(m.volume / m.adv(20), 9)))
    return (-1 * rank(damped)) * (1 + rank(ts_sum(m.returns, 250)))


@_alpha(40)
def _a40(m):
    return (-1 * rank(stddev(m.high, 10))) * correlation(m.high, m.volume, 10)


@_alpha(41)
def _a41(m):
    return (m.high * m.low) ** 0.5 - m.vwap


@_alpha(42)
def _a42(m):
    return rank(m.vwap - m.close) / rank(m.vwap + m.close)


@_alpha(43)
def _a43(m):
    return ts_rank(m.volume / m.adv(20), 20) * ts_rank(-1 * delta(m.close, 7), 8)


@_alpha(44)
def _a44(m):
    return -1 * correlation(m.high, rank(m.volume), 5)


@_alpha(45)
def _a45(m):
    c = m.close
    return -1 * (rank(ts_sum(delay(c, 5), 20) / 20) * correlation(c, m.volume, 2)
                 * rank(correlation(ts_sum(c, 5), ts_sum(c, 20), 2)))


def _curvature(m):
    c = m.close
    return (delay(c, 20) - delay(c, 10)) / 10 - (delay(c, 10) - c) / 10


@_alpha(46)
def _a46(m):
    bend = _curvature(m)
    return where(0.25 < bend, -1 * 1,
                 where(bend < 0, 1, (-1 * 1) * (m.close - delay(m.close, 1))))


@_alpha(47)
def _a47(m):
    h = m.high
    return ((rank(1 / m.close) * m.volume / m.adv(20)) * (h * rank(h - m.close) / (ts_sum(h, 5) / 5))
            - rank(m.vwap - delay(m.vwap, 5)))


@_alpha(48)
def _a48(m):
    c = m.close
    move = delta(c, 1)
    persistence = correlation(move, delta(delay(c, 1), 1), 250) * move / c
    return m.indneutralize(persistence) / ts_sum((move / delay(c, 1)) ** 2, 250)


@_alpha(49)
def _a49(m):
    return where(_curvature(m) < -1 * 0.1, 1, (-1 * 1) * (m.close - delay(m.close, 1)))


@_alpha(50)
def _a50(m):
    return -1 * ts_max(rank(correlation(rank(m.volume), rank(m.vwap), 5)), 5)


@_alpha(51)
def _a51(m):
    return where(_curvature(m) < -1 * 0.05, 1, (-1 * 1) * (m.close - delay(m.close, 1)))


@_alpha(52)
def _a52(m):
    low5 = ts_min(m.low, 5)
    momentum = (ts_sum(m.returns, 240) - ts_sum(m.returns, 20)) / 220
    return (-1 * low5 + delay(low5, 5)) * rank(momentum) * ts_rank(m.volume, 5)


@_alpha(53)
def _a53(m):
    c, lo, h = m.close, m.low, m.high
    return -1 * delta(((c - lo) - (h - c)) / (c - lo), 9)


@_alpha(54)
def _a54(m):
    return (-1 * ((m.low - m.close) * m.open ** 5)) / ((m.low - m.high) * m.close ** 5)


@_alpha(55)
def _a55(m):
    lo12 = ts_min(m.low, 12)
    stochastic = (m.close - lo12) / (ts_max(m.high, 12) - lo12)
    return -1 * correlation(rank(stochastic), rank(m.volume), 6)


@_alpha(56)
def _a56(m):
    r = m.returns
    return 0 - 1 * (rank(ts_sum(r, 10) / ts_sum(ts_sum(r, 2), 3)) * rank(r * m.cap))


@_alpha(57)
def _a57(m):
    return 0 - 1 * ((m.close - m.vwap) / decay_linear(rank(ts_argmax(m.close, 30)), 2))


@_alpha(58)
def _a58(m):
    corr = correlation(m.indneutralize(m.vwap), m.volume, 3.92795)
    return -1 * ts_rank(decay_linear(corr, 7.89291), 5.50322)


@_alpha(59)
def _a59(m):
    blend = m.vwap * 0.728317 + m.vwap * (1 - 0.728317)
    corr = correlation(m.indneutralize(blend), m.volume, 4.25197)
    return -1 * ts_rank(decay_linear(corr, 16.2289), 8.19648)


@_alpha(60)
def _a60(m):
    c, lo, h = m.close, m.low, m.high
    location = rank(((c - lo) - (h - c)) / (h - lo) * m.volume)
    return 0 - 1 * (2 * scale(location) - scale(rank(ts_argmax(c, 10))))


@_alpha(61)
def _a61(m):
    return rank(m.vwap - ts_min(m.vwap, 16.1219)) < rank(correlation(m.vwap, m.adv(180), 17.9282))


@_alpha(62)
def _a62(m):
    left = rank(correlation(m.vwap, ts_sum(m.adv(20), 22.4101), 9.91009))
    opens = rank(m.open) + rank(m.open)
    right = rank(opens < (rank((m.high + m.low) / 2) + rank(m.high)))
    return (left < right) * -1


@_alpha(63)
def _a63(m):
    left = rank(decay_linear(delta(m.indneutralize(m.close), 2.25164), 8.22237))
    blend = m.vwap * 0.318108 + m.open * (1 - 0.318108)
    right = rank(decay_linear(correlation(blend, ts_sum(m.adv(180), 37.2467), 13.557), 12.2883))
    return (left - right) * -1


@_alpha(64)
def _a64(m):
    w = 0.178404
    blend = m.open * w + m.low * (1 - w)
    left = rank(correlation(ts_sum(blend, 12.7054), ts_sum(m.adv(120), 12.7054), 16.6208))
    right = rank(delta((m.high + m.low) / 2 * w + m.vwap * (1 - w), 3.69741))
    return (left < right) * -1


@_alpha(65)
def _a65(m):
    blend = m.open * 0.00817205 + m.vwap * (1 - 0.00817205)
    left = rank(correlation(blend, ts_sum(m.adv(60), 8.6911), 6.40374))
    return (left < rank(m.open - ts_min(m.open, 13.635))) * -1


@_alpha(66)
def _a66(m):
    blend = m.low * 0.96633 + m.low * (1 - 0.96633)
    ratio = (blend - m.vwap) / (m.open - (m.high + m.low) / 2)
    return (rank(decay_linear(delta(m.vwap, 3.51013), 7.23052))
            + ts_rank(decay_linear(ratio, 11.4157), 6.72611)) * -1


@_alpha(67)
def _a67(m):
    base = rank(m.high - ts_min(m.high, 2.14593))
    corr = correlation(m.indneutralize(m.vwap), m.indneutralize(m.adv(20)), 6.02936)
    return (base ** rank(corr)) * -1


@_alpha(68)
def _a68(m):
    left = ts_rank(correlation(rank(m.high), rank(m.adv(15)), 8.91644), 13.9333)
    right = rank(delta(m.close * 0.518371 + m.low * (1 - 0.518371), 1.06157))
    return (left < right) * -1


@_alpha(69)
def _a69(m):
    base = rank(ts_max(delta(m.indneutralize(m.vwap), 2.72412), 4.79344))
    blend = m.close * 0.490655 + m.vwap * (1 - 0.490655)
    return (base ** ts_rank(correlation(blend, m.adv(20), 4.92416), 9.0615)) * -1


@_alpha(70)
def _a70(m):
    corr = correlation(m.indneutralize(m.close), m.adv(50), 17.8256)
    return (rank(delta(m.vwap, 1.29456)) ** ts_rank(corr, 17.9171)) * -1


@_alpha(71)
def _a71(m):
    corr = correlation(ts_rank(m.close, 3.43976), ts_rank(m.adv(180), 12.0647), 18.0175)
    left = ts_rank(decay_linear(corr, 4.20501), 15.6948)
    right = ts_rank(decay_linear(rank((m.low + m.open) - (m.vwap + m.vwap)) ** 2, 16.4662), 4.4388)
    return maximum(left, right)


@_alpha(72)
def _a72(m):
    top = rank(decay_linear(correlation((m.high + m.low) / 2, m.adv(40), 8.93345), 10.1519))
    corr = correlation(ts_rank(m.vwap, 3.72469), ts_rank(m.volume, 18.5188), 6.86671)
    return top / rank(decay_linear(corr, 2.95011))


@_alpha(73)
def _a73(m):
    blend = m.open * 0.147155 + m.low * (1 - 0.147155)
    left = rank(decay_linear(delta(m.vwap, 4.72775), 2.91864))
    right = ts_rank(decay_linear((delta(blend, 2.03608) / blend) * -1, 3.33829), 16.7411)
    return maximum(left, right) * -1


@_alpha(74)
def _a74(m):
    left = rank(correlation(m.close, ts_sum(m.adv(30), 37.4843), 15.1365))
    blend = m.high * 0.0261661 + m.vwap * (1 - 0.0261661)
    right = rank(correlation(rank(blend), rank(m.volume), 11.4791))
    return (left < right) * -1


@_alpha(75)
def _a75(m):
    return (rank(correlation(m.vwap, m.volume, 4.24304))
            < rank(correlation(rank(m.low), rank(m.adv(50)), 12.4413)))


@_alpha(76)
def _a76(m):
    left = rank(decay_linear(delta(m.vwap, 1.24383), 11.8259))
    corr = correlation(m.indneutralize(m.low), m.adv(81), 8.14941)
    right = ts_rank(decay_linear(ts_rank(corr, 19.569), 17.1543), 19.383)
    return maximum(left, right) * -1


@_alpha(77)
def _a77(m):
    mid = (m.high + m.low) / 2
    left = rank(decay_linear((mid + m.high) - (m.vwap + m.high), 20.0451))
    right = rank(decay_linear(correlation(mid, m.adv(40), 3.1614), 5.64125))
    return minimum(left, right)


@_alpha(78)
def _a78(m):
    blend = m.low * 0.352233 + m.vwap * (1 - 0.352233)
    base = rank(correlation(ts_sum(blend, 19.7428), ts_sum(m.adv(40), 19.7428), 6.83313))
    return base ** rank(correlation(rank(m.vwap), rank(m.volume), 5.77492))


@_alpha(79)
def _a79(m):
    blend = m.close * 0.60733 + m.open * (1 - 0.60733)
    left = rank(delta(m.indneutralize(blend), 1.23438))
    right = rank(correlation(ts_rank(m.vwap, 3.60973), ts_rank(m.adv(150), 9.18637), 14.6644))
    return left < right


@_alpha(80)
def _a80(m):
    blend = m.open * 0.868128 + m.high * (1 - 0.868128)
    base = rank(sign(delta(m.indneutralize(blend), 4.04545)))
    return (base ** ts_rank(correlation(m.high, m.adv(10), 5.11456), 5.53756)) * -1


@_alpha(81)
def _a81(m):
    inner = rank(rank(correlation(m.vwap, ts_sum(m.adv(10), 49.6054), 8.47743)) ** 4)
    left = rank(log(product(inner, 14.9655)))
    return (left < rank(correlation(rank(m.vwap), rank(m.volume), 5.07914))) * -1


@_alpha(82)
def _a82(m):
    left = rank(decay_linear(delta(m.open, 1.46063), 14.8717))
    blend = m.open * 0.634196 + m.open * (1 - 0.634196)
    corr = correlation(m.indneutralize(m.volume), blend, 17.4842)
    return minimum(left, ts_rank(decay_linear(corr, 6.92131), 13.4283)) * -1


@_alpha(83)
def _a83(m):
    spread = (m.high - m.low) / (ts_sum(m.close, 5) / 5)
    return (rank(delay(spread, 2)) * rank(rank(m.volume))) / (spread / (m.vwap - m.close))


@_alpha(84)
def _a84(m):
    return signedpower(ts_rank(m.vwap - ts_max(m.vwap, 15.3217), 20.7127), delta(m.close, 4.96796))


@_alpha(85)
def _a85(m):
    blend = m.high * 0.876703 + m.close * (1 - 0.876703)
    base = rank(correlation(blend, m.adv(30), 9.61331))
    corr = correlation(ts_rank((m.high + m.low) / 2, 3.70596), ts_rank(m.volume, 10.1595), 7.11408)
    return base ** rank(corr)


@_alpha(86)
def _a86(m):
    left = ts_rank(correlation(m.close, ts_sum(m.adv(20), 14.7444), 6.00049), 20.4195)
    return (left < rank((m.open + m.close) - (m.vwap + m.open))) * -1


@_alpha(87)
def _a87(m):
    blend = m.close * 0.369701 + m.vwap * (1 - 0.369701)
    left = rank(decay_linear(delta(blend, 1.91233), 2.65461))
    corr = correlation(m.indneutralize(m.adv(81)), m.close, 13.4132)
    return maximum(left, ts_rank(decay_linear(corr.abs(), 4.89768), 14.4535)) * -1


@_alpha(88)
def _a88(m):
    spread = (rank(m.open) + rank(m.low)) - (rank(m.high) + rank(m.close))
    corr = correlation(ts_rank(m.close, 8.44728), ts_rank(m.adv(60), 20.6966), 8.01266)
    return minimum(rank(decay_linear(spread, 8.06882)),
                   ts_rank(decay_linear(corr, 6.65053), 2.61957))


@_alpha(89)
def _a89(m):
    blend = m.low * 0.967285 + m.low * (1 - 0.967285)
    left = ts_rank(decay_linear(correlation(blend, m.adv(10), 6.94279), 5.51607), 3.79744)
    right = ts_rank(decay_linear(delta(m.indneutralize(m.vwap), 3.48158), 10.1466), 15.3012)
    return left - right


@_alpha(90)
def _a90(m):
    base = rank(m.close - ts_max(m.close, 4.66719))
    corr = correlation(m.indneutralize(m.adv(40)), m.low, 5.38375)
    return (base ** ts_rank(corr, 3.21856)) * -1


@_alpha(91)
def _a91(m):
    corr = correlation(m.indneutralize(m.close), m.volume, 9.74928)
    left = ts_rank(decay_linear(decay_linear(corr, 16.398), 3.83219), 4.8667)
    right = rank(decay_linear(correlation(m.vwap, m.adv(30), 4.01303), 2.6809))
    return (left - right) * -1


@_alpha(92)
def _a92(m):
    below = ((m.high + m.low) / 2 + m.close) < (m.low + m.open)
    left = ts_rank(decay_linear(below, 14.7221), 18.8683)
    corr = correlation(rank(m.low), rank(m.adv(30)), 7.58555)
    return minimum(left, ts_rank(decay_linear(corr, 6.94024), 6.80584))


@_alpha(93)
def _a93(m):
    corr = correlation(m.indneutralize(m.vwap), m.adv(81), 17.4193)
    blend = m.close * 0.524434 + m.vwap * (1 - 0.524434)
    return (ts_rank(decay_linear(corr, 19.848), 7.54455)
            / rank(decay_linear(delta(blend, 2.77377), 16.2664)))


@_alpha(94)
def _a94(m):
    base = rank(m.vwap - ts_min(m.vwap, 11.5783))
    corr = correlation(ts_rank(m.vwap, 19.6462), ts_rank(m.adv(60), 4.02992), 18.0926)
    return (base ** ts_rank(corr, 2.70756)) * -1


@_alpha(95)
def _a95(m):
    corr = correlation(ts_sum((m.high + m.low) / 2, 19.1351), ts_sum(m.adv(40), 19.1351), 12.8742)
    return rank(m.open - ts_min(m.open, 12.4105)) < ts_rank(rank(corr) ** 5, 11.7584)


@_alpha(96)
def _a96(m):
    left = ts_rank(decay_linear(correlation(rank(m.vwap), rank(m.volume), 3.83878), 4.16783),
                   8.38151)
    corr = correlation(ts_rank(m.close, 7.45404), ts_rank(m.adv(60), 4.13242), 3.65459)
    right = ts_rank(decay_linear(ts_argmax(corr, 12.6556), 14.0365), 13.4143)
    return maximum(left, right) * -1


@_alpha(97)
def _a97(m):
    blend = m.low * 0.721001 + m.vwap * (1 - 0.721001)
    left = rank(decay_linear(delta(m.indneutralize(blend), 3.3705), 20.4523))
    corr = correlation(ts_rank(m.low, 7.87871), ts_rank(m.adv(60), 17.255), 4.97547)
    right = ts_rank(decay_linear(ts_rank(corr, 18.5925), 15.7152), 6.71659)
    return (left - right) * -1


@_alpha(98)
def _a98(m):
    left = rank(decay_linear(correlation(m.vwap, ts_sum(m.adv(5), 26.4719), 4.58418), 7.18088))
    lows = ts_argmin(correlation(rank(m.open), rank(m.adv(15)), 20.8187), 8.62571)
    return left - rank(decay_linear(ts_rank(lows, 6.95668), 8.07206))


@_alpha(99)
def _a99(m):
    mid = (m.high + m.low) / 2
    left = rank(correlation(ts_sum(mid, 19.8975), ts_sum(m.adv(60), 19.8975), 8.8136))
    return (left < rank(correlation(m.low, m.volume, 6.28259))) * -1


@_alpha(100)
def _a100(m):
    c, lo, h = m.close, m.low, m.high
    location = rank(((c - lo) - (h - c)) / (h - lo) * m.volume)
    first = scale(m.indneutralize(m.indneutralize(location)))
    second = scale(m.indneutralize(correlation(c, rank(m.adv(20)), 5) - rank(ts_argmin(c, 30))))
    return 0 - 1 * ((1.5 * first - second) * (m.volume / m.adv(20)))


@_alpha(101)
def _a101(m):
    return (m.close - m.open) / ((m.high - m.low) + 0.001)

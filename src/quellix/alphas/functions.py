"""The vocabulary of the formulaic alphas, as factor expressions.

Lower-case names follow the paper's functions. Windows ``d`` cover the past d rows including today; a
non-integer d is floored and a floored d below 1 taken as 1. A NaN anywhere in a window gives NaN. Where
these conventions differ from ``quellix.rolling`` (tie-averaged ts_rank, correlation that is NaN on a
constant window, 1-based arg-extremes, a standard deviation of exactly 0 on a constant window, linear
decay weighted by integers so that equal windows of small integers tie exactly), the windows here run
their own kernels; where they agree (sum, product, ts_min/ts_max, the mean behind adv) they are the
rolling operators.
"""
import numbers

import numpy as np

from .. import _operators as K
from .. import rolling
from ..interface import AbstractFactor
from ..operators import DELAY, DELTA, INDNEUTRALIZE, LOG, MAX, MIN, RANK, SCALE, SIGN, SIGNEDPOWER, WHERE
from ..operators.nodes import OperatorFactor, check_factor, window_length

__all__ = ["rank", "delay", "delta", "correlation", "covariance", "scale", "signedpower", "decay_linear",
           "indneutralize", "ts_min", "ts_max", "ts_argmax", "ts_argmin", "ts_rank", "ts_sum", "product",
           "stddev", "log", "sign", "minimum", "maximum", "where"]

rank, log, sign, where = RANK, LOG, SIGN, WHERE


def _windowed(name, kernel, factors, d):
    d = window_length(d)
    return OperatorFactor(name, kernel, [check_factor(f, "x") for f in factors], params=(d,), extra=d - 1)


def delay(x, d):
    return DELAY(x, window_length(d))


def delta(x, d):
    return DELTA(x, window_length(d))


def correlation(x, y, d):
    """Pearson correlation over the window; NaN where either input is constant in it."""
    return _windowed("correlation", K.ts_correlation, [x, y], d)


def covariance(x, y, d):
    """Covariance over the window, dividing by d."""
    return _windowed("covariance", K.ts_covariance, [x, y], d)


def ts_rank(x, d):
    """Today's rank in the window, ties averaged, divided by d: (0, 1]."""
    return _windowed("ts_rank", K.ts_rank_avg, [x], d)


def ts_argmax(x, d):
    """1-based day of the window's maximum counted from its oldest day (the oldest of equal maxima)."""
    return _windowed("ts_argmax", K.ts_argmax_first, [x], d)


def ts_argmin(x, d):
    """1-based day of the window's minimum counted from its oldest day (the oldest of equal minima)."""
    return _windowed("ts_argmin", K.ts_argmin_first, [x], d)


def ts_sum(x, d):
    return rolling.SUM(check_factor(x, "x"), window_length(d))


def product(x, d):
    return rolling.PRODUCT(check_factor(x, "x"), window_length(d))


def stddev(x, d):
    """Standard deviation over the window, dividing by d; exactly 0 on a constant window."""
    return _windowed("stddev", K.ts_stddev, [x], d)


def ts_min(x, d):
    return rolling.TS_MIN(check_factor(x, "x"), window_length(d))


def ts_max(x, d):
    return rolling.TS_MAX(check_factor(x, "x"), window_length(d))


def decay_linear(x, d):
    """Weighted mean over the window, weights d, d-1, ..., 1 from today back (normalised to sum to 1)."""
    return _windowed("decay_linear", K.ts_decay_linear, [x], d)


def scale(x, a=1):
    return SCALE(x, a)


def signedpower(x, a):
    return SIGNEDPOWER(x, a)


def indneutralize(x, source):
    return INDNEUTRALIZE(x, source)


def _is_number(value):
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_, AbstractFactor))


def minimum(x, y):
    """min(x, d) with a number d is ts_min(x, d); of two expressions, the element-wise minimum."""
    return ts_min(x, y) if _is_number(y) else MIN(x, y)


def maximum(x, y):
    """max(x, d) with a number d is ts_max(x, d); of two expressions, the element-wise maximum."""
    return ts_max(x, y) if _is_number(y) else MAX(x, y)

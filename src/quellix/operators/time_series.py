"""Shifts along the dates: the value d observations back, and the change over d observations."""
from .nodes import OperatorFactor, check_factor, window_length

__all__ = ["DELAY", "DELTA", "delay", "delta"]


def delay(x, d):
    return x[:x.shape[0] - d] if d else x


def delta(x, d):
    return x[d:] - x[:x.shape[0] - d]


def DELAY(x, d):
    """x as of d observations before each date (d a non-negative integer; fractions floored)."""
    d = window_length(d, "d", minimum=0)
    return OperatorFactor("delay", delay, [check_factor(x, "x")], params=(d,), extra=d)


def DELTA(x, d):
    """x - DELAY(x, d), d >= 1 (fractions floored; less than 1 taken as 1)."""
    d = window_length(d, "d")
    return OperatorFactor("delta", delta, [check_factor(x, "x")], params=(d,), extra=d)


WINDOW_LOCAL = (delay, delta)

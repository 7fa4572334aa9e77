"""Element-wise operators: whole-array numpy calls, one per node.

NaN and IEEE special values are answers here, not errors: the log of 0 is -inf and of a negative number
NaN, without a floating-point warning.
"""
import numpy as np

from ..interface import AbstractFactor, BinaryCombinedFactor, UnaryFactor, truth
from .nodes import OperatorFactor, check_factor

__all__ = ["LOG", "SIGN", "ABS", "SIGNEDPOWER", "POWER", "WHERE", "MIN", "MAX", "log", "signedpower", "where"]


def log(x):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.log(np.asarray(x, dtype=np.float64))


def signedpower(x, a):
    x = np.asarray(x, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        return np.sign(x) * np.power(np.abs(x), a)


def where(cond, a, b):
    """a where cond holds (non-zero and not NaN), else b."""
    return np.where(truth(cond), a, b).astype(np.float64, copy=False)


def LOG(x):
    """Natural logarithm."""
    return UnaryFactor(log, check_factor(x, "x"))


def SIGN(x):
    """-1, 0 or 1 by the sign of x; NaN stays NaN."""
    return UnaryFactor(np.sign, check_factor(x, "x"))


def ABS(x):
    """Absolute value."""
    return abs(check_factor(x, "x"))


def SIGNEDPOWER(x, a):
    """sign(x) * |x| ** a; ``a`` a number or a factor."""
    return BinaryCombinedFactor(signedpower, check_factor(x, "x"), a)


def POWER(x, a):
    """x ** a (either may be a number), as the ``**`` operator."""
    if not isinstance(x, AbstractFactor) and not isinstance(a, AbstractFactor):
        raise TypeError("POWER: x or a must be a factor expression, got {!r} and {!r}".format(x, a))
    return BinaryCombinedFactor(np.power, x, a)


def WHERE(cond, a, b):
    """``a`` where ``cond`` holds, else ``b``; a NaN condition does not hold. a and b may be numbers."""
    return OperatorFactor("where", where, [check_factor(cond, "cond"), a, b])


def MIN(a, b):
    """Element-wise minimum of two expressions (or an expression and a number); NaN wins."""
    return BinaryCombinedFactor(np.minimum, a, b)


def MAX(a, b):
    """Element-wise maximum of two expressions (or an expression and a number); NaN wins."""
    return BinaryCombinedFactor(np.maximum, a, b)


WINDOW_LOCAL = (log, signedpower, where)

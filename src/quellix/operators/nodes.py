"""Expression nodes of the operators: a callable over aligned input arrays plus constant parameters.

Every operator here is window-local in the sense of `quellix.graph`: output row i depends only on a fixed
number of input rows ending at row i (a cross-sectional operator reads row i alone), so a screen computes
a shared operator once for the longest history any factor asks of it.
"""
import math
import numbers

import numpy as np

from ..evaluate import INDUSTRY_FIELD_PREFIX
from ..interface import AbstractFactor, _aligned, _is_operand, _operand_repr, load_field

__all__ = ["OperatorFactor", "IndustryLabels", "INDUSTRY_FIELD_PREFIX", "window_length", "check_factor"]

INDUSTRY_SOURCES = ("citics_2019", "sws")


def check_factor(value, what):
    if not isinstance(value, AbstractFactor):
        raise TypeError("{} must be a factor expression, got {!r}".format(what, value))
    return value


def window_length(d, what="d", minimum=1):
    """An integer window from a number: non-integers floored, below `minimum` taken as `minimum`."""
    if isinstance(d, (bool, np.bool_)) or not isinstance(d, numbers.Real):
        raise TypeError("{} must be a number of days, got {!r}".format(what, d))
    if not math.isfinite(d):
        raise ValueError("{} must be finite, got {!r}".format(what, d))
    return max(minimum, int(math.floor(d)))


class OperatorFactor(AbstractFactor):
    """
    ``func(*operands, *params)`` over aligned operands.

    Parameters
    ----------
    name : str
        Shown in the repr.
    func : callable
        Takes one array (or number) per operand, then the parameters; returns an array whose rows are the
        operands' rows minus ``extra`` leading ones.
    operands : sequence of factors or numbers, at least one factor
    params : tuple of constants
    extra : int
        Observations consumed beyond the operands' own shift (``d - 1`` for a window of d rows).
    """

    def __init__(self, name, func, operands, params=(), extra=0):
        operands = list(operands)
        for i, value in enumerate(operands):
            if not _is_operand(value):
                raise TypeError("{}: operand {} must be a factor expression or a number, got {!r}".format(
                    name, i + 1, value))
        if not any(isinstance(op, AbstractFactor) for op in operands):
            raise TypeError("{}: at least one operand must be a factor expression".format(name))
        self._name, self._func, self._params, self._extra = name, func, tuple(params), int(extra)
        self._operands = operands
        self._aligned, base = _aligned(operands)
        self._shift = base + self._extra

    @property
    def shift(self):
        return self._shift

    @property
    def expr(self):
        args = tuple(op.expr if isinstance(op, AbstractFactor) else op for op in self._aligned)
        return (self._func, args + self._params)

    @property
    def dependencies(self):
        return [dep for op in self._operands if isinstance(op, AbstractFactor) for dep in op.dependencies]

    def __repr__(self):
        shown = [_operand_repr(op) for op in self._operands]
        shown += [repr(p) for p in self._params]
        return "{}({})".format(self._name, ", ".join(shown))


class IndustryLabels(AbstractFactor):
    """
    Industry codes of each instrument on each date (NaN: no label), from the industry ``source``.

    The codes number the source's industry names in sorted order; they are the labels the analysis
    module's industry loaders give for the same instruments and dates.
    """

    def __init__(self, source="citics_2019"):
        if source not in INDUSTRY_SOURCES:
            raise ValueError("source: invalid source={!r}, expect one of {}".format(source, ", ".join(INDUSTRY_SOURCES)))
        self._source = source

    @property
    def source(self):
        return self._source

    @property
    def shift(self):
        return 0

    @property
    def expr(self):
        return (load_field, (INDUSTRY_FIELD_PREFIX + self._source,))

    @property
    def dependencies(self):
        return [self]

    def __repr__(self):
        return "industry({!r})".format(self._source)

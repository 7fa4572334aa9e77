"""Cross-sectional and industry-group operators: per date, over the instruments evaluated.

Their values depend on the universe: ``RANK(x)`` ranks each instrument among the instruments passed to
``quellix.execute_factor`` (or ``quellix.screen``) on that date, not among the whole market.
"""
import numbers

import numpy as np

from .. import _operators as K
from .nodes import IndustryLabels, OperatorFactor, check_factor

__all__ = ["RANK", "SCALE", "CS_ZSCORE", "INDNEUTRALIZE", "GROUP_RANK"]


def RANK(x):
    """Percentage rank among the date's instruments, ties averaged: values in (0, 1], NaN stays NaN."""
    check_factor(x, "x")
    # Ranks keep the order, ties and count of what they rank, so ranking them again gives the same
    # numbers: the formulas' rank(rank(x)) costs one sort, not two.
    if isinstance(x, OperatorFactor) and x._func is K.cs_rank:
        return x
    return OperatorFactor("rank", K.cs_rank, [x])


def SCALE(x, a=1):
    """``x`` rescaled so that the date's absolute values sum to ``a``; a date summing to 0 gives NaN."""
    if isinstance(a, (bool, np.bool_)) or not isinstance(a, numbers.Real):
        raise TypeError("a must be a number, got {!r}".format(a))
    return OperatorFactor("scale", K.cs_scale, [check_factor(x, "x")], params=(float(a),))


def CS_ZSCORE(x):
    """(x - the date's mean) / the date's standard deviation (dividing by the count); NaN skipped."""
    return OperatorFactor("cs_zscore", K.cs_zscore, [check_factor(x, "x")])


def INDNEUTRALIZE(x, source="citics_2019"):
    """``x`` minus the mean of the instrument's industry that date (NaN skipped); no label gives NaN."""
    return OperatorFactor("indneutralize", K.group_demean, [check_factor(x, "x"), IndustryLabels(source)])


def GROUP_RANK(x, source="citics_2019"):
    """Percentage rank within the instrument's industry that date, ties averaged; no label gives NaN."""
    return OperatorFactor("group_rank", K.group_rank, [check_factor(x, "x"), IndustryLabels(source)])


WINDOW_LOCAL = (K.cs_rank, K.cs_scale, K.cs_zscore, K.group_demean, K.group_rank)

"""Operators for factor expressions beyond the rolling windows.

- cross-sectional, per date over the instruments evaluated: `RANK`, `SCALE`, `CS_ZSCORE`;
- by industry on each date: `INDNEUTRALIZE`, `GROUP_RANK` (labels of the industry source in force that date);
- element-wise: `LOG`, `SIGN`, `ABS`, `SIGNEDPOWER`, `POWER`, `WHERE`, `MIN`, `MAX`; comparisons of
  factors (``<``, ``>=``, ...) give 1.0/0.0 (false when either side is NaN, except ``!=``), and ``&`` / ``|``
  combine them;
- along the dates: `DELAY`, `DELTA`.

Cross-sectional results depend on the universe: `RANK` ranks within the instruments passed to
``quellix.execute_factor``. The numeric work of the per-date operators is C++ (``quellix._operators``),
one call per node over the whole dates x instruments array.
"""
from .. import _operators
from . import cross_section, elementwise, time_series
from .cross_section import CS_ZSCORE, GROUP_RANK, INDNEUTRALIZE, RANK, SCALE
from .elementwise import ABS, LOG, MAX, MIN, POWER, SIGN, SIGNEDPOWER, WHERE
from .nodes import IndustryLabels, OperatorFactor
from .time_series import DELAY, DELTA

__all__ = ["RANK", "SCALE", "CS_ZSCORE", "INDNEUTRALIZE", "GROUP_RANK", "LOG", "SIGN", "ABS", "SIGNEDPOWER",
           "POWER", "WHERE", "MIN", "MAX", "DELAY", "DELTA", "IndustryLabels", "OperatorFactor", "WINDOW_LOCAL"]

# Callables whose output row i depends only on a fixed window of input rows ending at i (see quellix.graph).
WINDOW_LOCAL = frozenset(
    cross_section.WINDOW_LOCAL + elementwise.WINDOW_LOCAL + time_series.WINDOW_LOCAL
    + tuple(getattr(_operators, name) for name in ("ts_rank_avg", "ts_stddev", "ts_decay_linear", "ts_argmax_first",
                                                     "ts_argmin_first", "ts_covariance", "ts_correlation")))

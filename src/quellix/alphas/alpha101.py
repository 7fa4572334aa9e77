"""
The 101 formulaic alphas of Kakushadze (2016), as factor expressions.

``ALPHAS`` maps 1..101 to each alpha's expression with industries from "citics_2019"; ``alpha(k, source)``
builds alpha k afresh for another industry source. Evaluate them with ``quellix.execute_factor`` or, many
at once with shared sub-expressions, ``quellix.screen(ALPHAS, universe, start, end)``.

Conventions
-----------
- ``rank(x)``: percentage rank among the instruments evaluated on the date, ties averaged, values in
  (0, 1], NaN stays NaN. Cross-sectional values therefore depend on the universe passed to the evaluator.
- ``scale(x, a=1)``: a * x / the date's sum of absolute values (NaN skipped); a date summing to 0 gives NaN.
- ``indneutralize(x, g)``: x minus the mean of the instrument's industry on that date (NaN skipped); an
  instrument without a label that date gives NaN. Every IndClass level (sector, industry, subindustry) maps
  to the one industry source given.
- Time-series windows cover the past d rows including today; a non-integer d is floored (paper, A.1) and
  a floored d below 1 taken as 1; ``delay``/``delta`` floor d the same way. A NaN anywhere in a window
  gives NaN.
- ``ts_argmax``/``ts_argmin``: the 1-based position of the extreme counted from the oldest day of the
  window, the oldest of equal extremes.
- ``ts_rank``: today's rank among the window's values, ties averaged, divided by d, in (0, 1].
- ``stddev`` and ``covariance`` divide by d; ``correlation`` is Pearson's, NaN for a window in which either
  input is constant (the covariance of such a window is 0).
- ``decay_linear``: weights d, d-1, ..., 1 from today back, normalised to sum to 1.
- ``signedpower(x, a)``: sign(x) * |x| ** a; ``x ^ y`` is numpy's power x ** y (a negative base with a
  fractional exponent gives NaN; 1 ** NaN is 1).
- Comparisons give 1.0/0.0 and are false when either side is NaN; ``c ? a : b`` takes b where c is NaN;
  ``||`` is the element-wise or of two comparisons.
- ``min``/``max`` of two expressions are element-wise, NaN where either side is; ``min(x, d)``/``max(x, d)``
  with a number d are ``ts_min(x, d)``/``ts_max(x, d)`` (alpha 29).
- ``adv{d}``: the mean daily traded value over d days (the paper's dollar volume, not share volume), from
  the field "total_turnover".
- ``returns``: close / delay(close, 1) - 1 on the evaluator's adjusted closes; ``vwap`` the field "vwap";
  ``cap`` the field "market_cap".
- Divisions by zero and logarithms of non-positive numbers give the IEEE results (inf, NaN); numpy's
  floating-point warnings for them follow ``np.errstate``.

Decisions where the text is ambiguous (followed literally otherwise):
- alpha 29: ``min(product(..., 1), 5)`` with a number is ts_min over 5 days, and ``sum(x, 1)`` /
  ``product(x, 1)`` are one-day windows (the value itself, NaN kept).
- alphas 21, 24: ``(a < b) || (a == b)`` is kept as written rather than folded into ``<=``; the two agree.
- alphas 7, 21, 23, 24, 27, 46, 49, 51: a NaN condition of ``?:`` selects the second branch, so these
  alphas can give a constant branch value (such as -1) where their inputs are NaN; likewise the alphas
  that are a comparison (61, 62, 64, 65, 68, 74, 75, 79, 81, 86, 95, 99) give 0 there.
- alphas 59, 66, 82, 89: the weighted mixes of a field with itself (``vwap * w + vwap * (1 - w)``) are
  kept as written; they equal the field up to rounding.
- alpha 84: the exponent of ``SignedPower`` is the expression ``delta(close, 4.96796)``, element by element.
- alphas 96 and 97 take windows over windows of correlations of short ts_ranks; a ts_rank of a smooth
  series (adv60) is often constant over a few days, its correlation is then NaN, and the NaN rule carries
  that through the outer windows, so on a trending market these two alphas are mostly NaN. They are kept
  as written rather than skipping NaN.
- Window sums, means and moments are taken in numpy's summation order, so they equal a numpy
  transcription of the formulas bit for bit and ties that exact arithmetic makes survive into ranks.
"""
from ..interface import Factor
from ..operators import DELAY
from ..operators.nodes import INDUSTRY_SOURCES, window_length
from .. import rolling
from .formulas_001_050 import FORMULAS as _FIRST
from .formulas_051_101 import FORMULAS as _SECOND
from .functions import indneutralize

__all__ = ["ALPHAS", "alpha", "Market", "DEFAULT_SOURCE"]

DEFAULT_SOURCE = "citics_2019"
_FORMULAS = {**_FIRST, **_SECOND}


class Market:
    """The alpha formulas' inputs: fields, returns, adv(d) and industry neutralisation against ``source``."""

    def __init__(self, source=DEFAULT_SOURCE):
        if source not in INDUSTRY_SOURCES:
            raise ValueError("source: invalid source={!r}, expect one of {}".format(source, ", ".join(INDUSTRY_SOURCES)))
        self.source = source
        self.open, self.high, self.low, self.close = (Factor(name) for name in ("open", "high", "low", "close"))
        self.volume = Factor("volume")
        self.returns = self.close / DELAY(self.close, 1) - 1
        self._fields = {}
        self._adv = {}

    def _field(self, name):
        if name not in self._fields:
            self._fields[name] = Factor(name)
        return self._fields[name]

    @property
    def vwap(self):
        return self._field("vwap")

    @property
    def cap(self):
        return self._field("market_cap")

    def adv(self, d):
        """Mean daily traded value over the last d days (one node per window, shared by the formulas)."""
        d = window_length(d)
        if d not in self._adv:
            self._adv[d] = rolling.MA(self._field("total_turnover"), d)
        return self._adv[d]

    def ind(self, x):
        return indneutralize(x, self.source)


def alpha(k, source=DEFAULT_SOURCE):
    """The expression of alpha ``k`` (1..101), its industries from ``source``."""
    if isinstance(k, bool) or not isinstance(k, int) or k not in _FORMULAS:
        raise ValueError("k must be an alpha number from 1 to 101, got {!r}".format(k))
    return _FORMULAS[k](Market(source))


def _library(source):
    market = Market(source)
    return {k: _FORMULAS[k](market) for k in sorted(_FORMULAS)}


ALPHAS = _library(DEFAULT_SOURCE)

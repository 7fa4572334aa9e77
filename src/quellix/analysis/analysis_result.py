"""Result objects returned by the analysis steps, keyed by step name."""

import pandas as pd

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]


def _describe(value):
    if value is None:
        return "None"
    if isinstance(value, (pd.DataFrame, pd.Series)):
        return "x".join(str(n) for n in value.shape)
    return type(value).__name__


def _periods(tables):
    for table in tables:
        if isinstance(table, pd.DataFrame):
            periods = [c for c in table.columns if isinstance(c, str) and c.startswith("P_")]
            if periods:
                return periods
    return None


class _AnalysisResult:
    """Stores every constructor keyword as an attribute of the same name."""

    _fields = ()

    def _store(self, values):
        for field in self._fields:
            setattr(self, field, values[field])

    def __repr__(self):
        tables = [getattr(self, f) for f in self._fields if f != "name"]
        parts = ["name={!r}".format(self.name)]
        periods = _periods(tables)
        if periods is not None:
            parts.append("periods={}".format(periods))
        parts.extend("{}={}".format(f, _describe(getattr(self, f))) for f in self._fields if f != "name")
        return "{}({})".format(type(self).__name__, ", ".join(parts))


class ICAnalysisResult(_AnalysisResult):
    """Per-date IC and p-values, IC decay by lag and IC by industry of one IC step."""

    _fields = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name")

    def __init__(self, *, ic, ic_p_value, ic_decay, ic_industry_distribute, name):
        self._store(locals())


class QuantileReturnAnalysisResult(_AnalysisResult):
    """Quantile groups' cumulative returns, turnover, labels, top-minus-bottom and benchmark."""

    _fields = ("quantile_turnover", "quantile_returns", "quantile_detail", "benchmark_return",
               "top_minus_bottom_returns", "name")

    def __init__(self, *, quantile_turnover, quantile_returns, quantile_detail, benchmark_return,
                 top_minus_bottom_returns, name):
        self._store(locals())


class FactorReturnAnalysisResult(_AnalysisResult):
    """Cumulative return of the factor-weighted long-short portfolio per period."""

    _fields = ("factor_returns", "name")

    def __init__(self, *, factor_returns, name):
        self._store(locals())

"""The figures of a screen: each factor's headline figures, then those that count the trials.

A factor's own figures (`headline`) equal those of a separate run of its pipeline. The adjusted p-values
and deflated Sharpe ratios (`add_trial_figures`) depend on every factor of the screen: the more
candidates were tried, the more of them look good by chance.
"""
import numpy as np
import pandas as pd

from .analysis import holdout, inference
from .analysis import performance as perf
from .analysis.analysis_result import (FactorReturnAnalysisResult, ICAnalysisResult,
                                       QuantileReturnAnalysisResult)

__all__ = ["headline", "add_trial_figures", "compare", "FIGURES", "SUFFIXES"]

_TB, _FR = "top-bottom", "factor-return"
_MOMENTS = ("Sharpe ratio per row", "rows", "skewness", "kurtosis")

# Every figure a screen may hold, in the order of its table; a part suffix and a step prefix may be
# added to each.
FIGURES = (
    ["IC mean", "IC IR", "IC t-stat", "IC p-value", "IC p-value (Holm)", "IC p-value (BY)", "IC |t| > 3",
     "IC half-life"]
    + [_TB + " " + f for f in ("annualised return", "net annualised return", "Sharpe ratio", "net Sharpe ratio",
                               "deflated Sharpe ratio", "t-stat", "p-value", "p-value (Holm)", "p-value (BY)",
                               "|t| > 3")]
    + ["mean turnover", _TB + " mean turnover"]
    + [_FR + " " + f for f in ("annualised return", "net annualised return", "Sharpe ratio", "net Sharpe ratio",
                               "deflated Sharpe ratio", "mean turnover")]
    + ["trials"] + [kind + " " + m for kind in (_TB, _FR) for m in _MOMENTS])

# Figures whose after/before ratio says how much of the effect survived the split; a ratio of
# p-values, flags or probabilities says nothing.
_RATIO = {"IC mean", "IC IR", "IC t-stat", "IC half-life", "mean turnover"} | {
    kind + " " + f for kind in (_TB, _FR) for f in (
        "annualised return", "net annualised return", "Sharpe ratio", "net Sharpe ratio", "t-stat", "mean turnover")}

SUFFIXES = (" before", " after", " after/before")


def _flag(t_stat):
    return float(abs(t_stat) > 3) if np.isfinite(t_stat) else np.nan


def _ic_figures(result, summary, column):
    t_stat = summary.loc["IC t-stat", column]
    out = {f: summary.loc[f, column] for f in ("IC mean", "IC IR", "IC t-stat", "IC p-value")}
    out["IC |t| > 3"] = _flag(t_stat)
    if "IC half-life" in summary.index:
        out["IC half-life"] = summary.loc["IC half-life", column]
    return out


def _moments(kind, result, column):
    series = result.long_short_returns(column)
    values = inference.sharpe_moments(series.to_numpy() if series is not None else [])
    return {kind + " " + m: v for m, v in zip(_MOMENTS, values)}


def _quantile_figures(result, summary, column):
    row = summary[column]
    out = {_TB + " " + f: row[_TB + " " + f] for f in (
        "annualised return", "net annualised return", "Sharpe ratio", "net Sharpe ratio", "t-stat", "p-value",
        "mean turnover")}
    out[_TB + " |t| > 3"] = _flag(row[_TB + " t-stat"])
    groups = [r for r in summary.index if r.endswith(" mean turnover") and not r.startswith(_TB)]
    out["mean turnover"] = row[groups].mean()
    out.update(_moments(_TB, result, column))
    return out


def _factor_figures(result, summary, column):
    row = summary[column]
    out = {_FR + " " + f: row.get(f, np.nan) for f in (
        "annualised return", "net annualised return", "Sharpe ratio", "net Sharpe ratio", "mean turnover")}
    out.update(_moments(_FR, result, column))
    return out


_KINDS = {ICAnalysisResult: _ic_figures, QuantileReturnAnalysisResult: _quantile_figures,
          FactorReturnAnalysisResult: _factor_figures}


def _parts(result, split):
    if split is None:
        return [("", result)]
    when = holdout.split_date(split, result._date_index())
    return [(" before", result._between(None, when)), (" after", result._between(when, None))]


def _summary(result, cost):
    return result.summary() if isinstance(result, ICAnalysisResult) else result.summary(cost=cost)


def headline(results, cost=perf.DEFAULT_COST, split=None):
    """The headline figures of one factor's results, a Series indexed by (figure, period).

    IC mean, IR, HAC t-statistic and p-value, a flag for |t| > 3 and the half-life; top-minus-bottom
    annualised return and Sharpe ratio, gross and net of ``cost`` per unit of turnover, the HAC
    t-statistic and p-value of its mean return with the same flag, the mean turnover of the groups and of
    top minus bottom; the factor-return portfolio's annualised return and Sharpe ratio, gross and net
    (when its turnover is known); and each long-short series' per-row Sharpe ratio, rows, skewness and
    kurtosis, from which a screen deflates the Sharpe ratios. Each is read from the result's own summary.
    A figure whose step appears twice is prefixed with the step name. With ``split``, every figure of the
    dates before it and from it on (suffixes " before", " after") and, for effect sizes, after/before.
    """
    kinds = [type(r) for r in results.values()]
    figures = {}
    for step, result in results.items():
        pick = _KINDS.get(type(result))
        if pick is None:
            continue
        prefix = "{}: ".format(step) if kinds.count(type(result)) > 1 else ""
        for suffix, part in _parts(result, split):
            summary = _summary(part, cost)
            for column in summary.columns:
                for figure, value in pick(part, summary, column).items():
                    figures[(prefix + figure + suffix, column)] = float(value)
        if split is not None:
            for (figure, column) in [k for k in figures if k[0].startswith(prefix) and k[0].endswith(" before")]:
                base = figure[len(prefix):-len(" before")]
                if base in _RATIO:
                    before, after = figures[(figure, column)], figures[(prefix + base + " after", column)]
                    figures[(prefix + base + " after/before", column)] = \
                        after / before if before != 0 and np.isfinite(after / before) else np.nan
    if not figures:
        return pd.Series(dtype=float, index=pd.MultiIndex.from_tuples([], names=["figure", "period"]))
    out = pd.Series(figures, dtype=float)
    out.index = pd.MultiIndex.from_tuples(out.index, names=["figure", "period"])
    return out


def split_figure(name):
    """(step prefix, base figure, part suffix) of a column name."""
    prefix = name[:name.index(": ") + 2] if ": " in name else ""
    rest = name[len(prefix):]
    for suffix in (" after/before",) + SUFFIXES[:2]:
        if rest.endswith(suffix):
            return prefix, rest[:-len(suffix)], suffix
    return prefix, rest, ""


def add_trial_figures(summary):
    """``summary`` (factors x (figure, period)) with the figures that count the screened factors.

    "trials": the factors that ran (blank on the rows of those that failed). For each p-value, its Holm and Benjamini-Yekutieli adjustments over
    the factors with a finite one (`inference.adjusted_p_values`). For each long-short series, its
    deflated Sharpe ratio, N being the factors with a finite per-row Sharpe ratio of that series and V
    their variance (ddof 1). Columns are put in the order of `FIGURES`.
    """
    new = {}
    columns = list(summary.columns)
    ran = summary.notna().any(axis=1).to_numpy() if len(columns) else np.zeros(len(summary), dtype=bool)
    periods = list(dict.fromkeys(period for _, period in columns))
    for figure, period in columns:
        prefix, base, suffix = split_figure(figure)
        if base.endswith(" p-value"):
            for label, method in inference.ADJUSTMENTS.items():
                new[("{}{} ({}){}".format(prefix, base, label, suffix), period)] = inference.adjusted_p_values(
                    summary[(figure, period)].to_numpy(), method)
        elif base.endswith(" Sharpe ratio per row"):
            kind = base[:-len(" Sharpe ratio per row")]
            sharpe = summary[(figure, period)].to_numpy(dtype=float)
            finite = np.isfinite(sharpe)
            n_trials = int(finite.sum())
            variance = float(np.var(sharpe[finite], ddof=1)) if n_trials >= 2 else 0.0
            moments = [summary[("{}{} {}{}".format(prefix, kind, m, suffix), period)].to_numpy(dtype=float)
                       for m in _MOMENTS[1:]]
            new[("{}{} deflated Sharpe ratio{}".format(prefix, kind, suffix), period)] = [
                inference.deflated_sharpe_ratio(s, n, g3, g4, n_trials, variance)
                for s, n, g3, g4 in zip(sharpe, *moments)]
    for period in periods:
        new[("trials", period)] = np.where(ran, float(ran.sum()), np.nan)  # a failed factor's row stays blank
    # One concatenation: a column added at a time fragments the frame (and pandas warns).
    out = pd.concat([summary, pd.DataFrame(new, index=summary.index)], axis=1) if new else summary.copy()
    order = {name: i for i, name in enumerate(FIGURES)}
    part = {s: i for i, s in enumerate(("",) + SUFFIXES)}

    def key(column):
        prefix, base, suffix = split_figure(column[0])
        return prefix, part[suffix], order.get(base, len(order)), base, periods.index(column[1])

    return out[sorted(out.columns, key=key)]


def compare(runs, cost=perf.DEFAULT_COST, split=None):
    """The screen's table of figures for engine runs already made: factor names to their results dicts."""
    rows = {name: headline(results, cost, split) for name, results in runs.items()}
    summary = pd.DataFrame(rows).T.reindex(list(runs)).astype(float)
    summary.columns = pd.MultiIndex.from_tuples(list(summary.columns), names=["figure", "period"])
    summary.index.name = "factor"
    return add_trial_figures(summary)

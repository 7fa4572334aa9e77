"""Results of the return analyses: quantile groups with top minus bottom, and the factor-weighted portfolio."""

import numpy as np
import pandas as pd

from . import holdout
from . import performance as perf
from .result_base import _AnalysisResult, _columns

__all__ = ["QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]


_LONG_SHORT_ROWS = ("max drawdown", "t-stat", "p-value", "mean turnover", "net annualised return",
                    "net Sharpe ratio")


def _long_short_figures(gross, traded, cost, per_year, lags):
    """t-statistic and p-value of the mean gross return, mean turnover, net annualised return and Sharpe."""
    t_stat, p_value = perf.mean_t_test(gross, lags)
    if traded is None:
        return [t_stat, p_value, np.nan, np.nan, np.nan]
    net = perf.net_returns(gross, traded, cost)
    mean_turnover = float(traded.reindex(gross.index).fillna(0.0).mean()) if len(gross) else np.nan
    return [t_stat, p_value, mean_turnover, perf.annualised_return(np.cumprod(1.0 + net.to_numpy()) - 1.0,
                                                                   per_year), perf.sharpe_ratio(net, per_year)]


class QuantileReturnAnalysisResult(_AnalysisResult):
    """Quantile groups' cumulative returns, turnover, labels, top-minus-bottom and benchmark.

    `quantile_returns` and `quantile_turnover` are indexed by (tag, datetime), groups in label order; the
    first group is the top one ("top minus bottom" is the first group minus the last).

    Views of `plot()`: "cumulative_returns" (each group, one panel per period, benchmark dashed),
    "group_returns" (annualised return per group), "turnover" (mean turnover per group) and
    "top_minus_bottom" (against the benchmark when there is one).
    """

    _fields = ("quantile_turnover", "quantile_returns", "quantile_detail", "benchmark_return",
               "top_minus_bottom_returns", "name")
    _title = "Quantile return analysis"

    def __init__(self, *, quantile_turnover, quantile_returns, quantile_detail, benchmark_return,
                 top_minus_bottom_returns, name):
        self._store(locals())

    def _levels(self, table, argument):
        if table.index.nlevels != 2:
            raise ValueError("{} must be indexed by (tag, datetime), got {} index level(s) {}".format(
                argument, table.index.nlevels, list(table.index.names)))
        names = list(table.index.names)
        tag = names.index("tag") if "tag" in names else 0
        return tag, 1 - tag

    def _tags(self):
        tag, _ = self._levels(self.quantile_returns, "quantile_returns")
        return list(self.quantile_returns.index.get_level_values(tag).unique())

    def _dates(self):
        _, date = self._levels(self.quantile_returns, "quantile_returns")
        return self.quantile_returns.index.get_level_values(date).unique().sort_values()

    def _group_curves(self, column):
        """Cumulative return of each group (columns, in label order) by date for one period."""
        tag, _ = self._levels(self.quantile_returns, "quantile_returns")
        curves = self.quantile_returns[column].unstack(level=tag)
        return curves.reindex(columns=self._tags())

    def _mean_turnover(self, column):
        table = self.quantile_turnover
        if not isinstance(table, pd.DataFrame) or column not in table.columns:
            return pd.Series(np.nan, index=self._tags())
        tag, _ = self._levels(table, "quantile_turnover")
        return table[column].astype(float).groupby(level=tag, sort=False).mean().reindex(self._tags())

    def _top_minus_bottom(self, column):
        table = self.top_minus_bottom_returns
        if isinstance(table, pd.DataFrame) and column in table.columns:
            return table[column]
        return None

    def _benchmark(self):
        bench = self.benchmark_return
        if isinstance(bench, pd.DataFrame):
            bench = bench.iloc[:, 0] if bench.shape[1] else None
        return bench

    def _date_index(self):
        return self._dates()

    def _between(self, start, stop):
        tag, _ = self._levels(self.quantile_returns, "quantile_returns")
        turnover = self.quantile_turnover
        if isinstance(turnover, pd.DataFrame):
            turnover = turnover[holdout.date_mask(turnover.index, start, stop)]
        bench = self.benchmark_return
        return QuantileReturnAnalysisResult(
            quantile_turnover=turnover, quantile_returns=holdout.rebase(self.quantile_returns, start, stop, tag),
            quantile_detail=None, benchmark_return=holdout.rebase(bench, start, stop)
            if isinstance(bench, (pd.Series, pd.DataFrame)) else bench,
            top_minus_bottom_returns=holdout.rebase(self.top_minus_bottom_returns, start, stop)
            if isinstance(self.top_minus_bottom_returns, pd.DataFrame) else self.top_minus_bottom_returns,
            name=self.name)

    def _turnover_by_date(self, column):
        """Turnover of each group (columns, label order) by date for one period, or None."""
        table = self.quantile_turnover
        if not isinstance(table, pd.DataFrame) or column not in table.columns:
            return None
        tag, _ = self._levels(table, "quantile_turnover")
        return table[column].astype(float).unstack(level=tag).reindex(columns=self._tags())

    def _top_minus_bottom_turnover(self, column):
        """Turnover of the long-short by date: its long group's plus its short group's (nothing held: 0)."""
        groups = self._turnover_by_date(column)
        if groups is None or groups.shape[1] == 0:
            return None
        return groups.iloc[:, 0].fillna(0.0) + groups.iloc[:, -1].fillna(0.0)

    def long_short_returns(self, column, cost=0.0):
        """Per-row returns of top minus bottom for one period, less ``cost`` x turnover; None without it."""
        tmb = self._top_minus_bottom(column)
        if tmb is None:
            return None
        gross = perf.step_return_series(tmb)
        return perf.net_returns(gross, self._top_minus_bottom_turnover(column), cost) if cost else gross

    def _summary_at(self, cost, split=None):
        return self.summary(cost=cost, split=split)

    def summary(self, cost=perf.DEFAULT_COST, split=None):
        """Return statistics of the groups per holding period (columns "P_{p}").

        Rows: each group's annualised return, then top minus bottom's; the same for annualised volatility
        and Sharpe ratio; top minus bottom's maximum drawdown, the HAC t-statistic and p-value of its mean
        per-row return (p - 1 lags, as for the IC), its mean turnover (the top group's plus the bottom
        group's) and its net annualised return and net Sharpe ratio, each row's return less ``cost`` x
        that row's turnover (default `quellix.analysis.performance.DEFAULT_COST`, commission plus stamp
        duty on the A-share market); each group's mean turnover; "monotonicity",
        the Spearman correlation between the group number (1 for the first group) and the group's
        annualised return (-1 when returns fall steadily from the top group to the bottom one); and, when
        a benchmark is present, its annualised return and the top group's excess return (the top group's
        annualised return minus the benchmark's).

        Returns are taken from the cumulative series: r_0 = C_0, r_t = (1 + C_t) / (1 + C_{t-1}) - 1;
        annualised geometrically with 252 rows a year for daily data, 252 x the median rows per calendar
        day for intraday data; Sharpe ratio without a risk-free rate; drawdown <= 0. Turnover is the
        one-way share of a group replaced on a row; a row where a group held nothing costs nothing.

        With ``split`` (a date), columns (period, part): the figures over the dates before it, from it on
        (the cumulative series restarted there) and after/before.
        """
        cost = perf.check_cost(cost)
        if split is not None:
            return holdout.split_summary(self, split, lambda part: part.summary(cost=cost))
        returns = self.quantile_returns
        columns = _columns(returns)
        tags = self._tags() if columns else []
        top = tags[0] if tags else "top"
        stats = ("annualised return", "annualised volatility", "Sharpe ratio")
        rows = [name + " " + stat for stat in stats for name in tags + ["top-bottom"]]
        rows += ["top-bottom " + r for r in _LONG_SHORT_ROWS] + [tag + " mean turnover" for tag in tags]
        rows += ["monotonicity"]
        bench = self._benchmark()
        if bench is not None:
            rows += ["benchmark annualised return", top + " excess annualised return"]
        out = pd.DataFrame(np.nan, index=pd.Index(rows, name="statistic"), columns=columns)
        if not columns:
            return out
        per_year = perf.rows_per_year(self._dates())
        for column in columns:
            curves = self._group_curves(column)
            series = [(tag, curves[tag]) for tag in tags]
            tmb = self._top_minus_bottom(column)
            if tmb is not None:
                series.append(("top-bottom", tmb))
            annual = {}
            for name, curve in series:
                step = perf.step_returns(curve)
                annual[name] = perf.annualised_return(curve, per_year)
                out.loc[[name + " " + stat for stat in stats], column] = [
                    annual[name], perf.volatility(step, per_year), perf.sharpe_ratio(step, per_year)]
            if tmb is not None:
                out.loc["top-bottom max drawdown", column] = perf.max_drawdown(tmb)
                gross = self.long_short_returns(column)
                traded = self._top_minus_bottom_turnover(column)
                out.loc[["top-bottom " + r for r in _LONG_SHORT_ROWS[1:]], column] = _long_short_figures(
                    gross, traded, cost, per_year, perf.period_of(column) - 1)
            out.loc[[tag + " mean turnover" for tag in tags], column] = self._mean_turnover(column).to_numpy()
            out.loc["monotonicity", column] = perf.rank_correlation(
                np.arange(1, len(tags) + 1), [annual[tag] for tag in tags])
            if bench is not None:
                bench_annual = perf.annualised_return(bench, per_year)
                out.loc["benchmark annualised return", column] = bench_annual
                if tags:
                    out.loc[top + " excess annualised return", column] = annual[top] - bench_annual
        return out


class FactorReturnAnalysisResult(_AnalysisResult):
    """Cumulative return of the factor-weighted long-short portfolio per period.

    Views of `plot()`: "cumulative_returns" and "drawdown", one line per period.

    `turnover`, the portfolio's per-row one-way turnover (dates x periods), is not reported by the
    factor-return step: it is None unless set, for instance to
    `quellix.analysis.performance.factor_turnover` of the factor table the step was given (a screen
    does this); without it the summary has no net figures.
    """

    _fields = ("factor_returns", "name")
    _title = "Factor return analysis"
    turnover = None

    def __init__(self, *, factor_returns, name):
        self._store(locals())

    def _date_index(self):
        return self.factor_returns.index

    def _between(self, start, stop):
        part = FactorReturnAnalysisResult(factor_returns=holdout.rebase(self.factor_returns, start, stop),
                                          name=self.name)
        if isinstance(self.turnover, pd.DataFrame):
            part.turnover = self.turnover[holdout.date_mask(self.turnover.index, start, stop)]
        return part

    def _turnover_of(self, column):
        table = self.turnover
        return table[column] if isinstance(table, pd.DataFrame) and column in table.columns else None

    def long_short_returns(self, column, cost=0.0):
        """Per-row returns of the portfolio for one period, less ``cost`` x turnover (when it is known)."""
        gross = perf.step_return_series(self.factor_returns[column])
        return perf.net_returns(gross, self._turnover_of(column), cost) if cost else gross

    def _summary_at(self, cost, split=None):
        return self.summary(cost=cost, split=split)

    def summary(self, cost=perf.DEFAULT_COST, split=None):
        """Return statistics of the long-short portfolio per holding period (columns "P_{p}").

        Rows: annualised return, annualised volatility, Sharpe ratio, maximum drawdown (<= 0), the share
        of dates with a return > 0, and, when `turnover` is set, the mean turnover and the net
        annualised return and net Sharpe ratio, each row's return less ``cost`` x that row's turnover
        (default `quellix.analysis.performance.DEFAULT_COST`, commission plus stamp duty on the A-share
        market). Returns are taken from the cumulative series: r_0 = C_0,
        r_t = (1 + C_t) / (1 + C_{t-1}) - 1; annualised geometrically with 252 rows a year for daily data,
        252 x the median rows per calendar day for intraday data; Sharpe ratio without a risk-free rate.

        With ``split`` (a date), columns (period, part): the figures over the dates before it, from it on
        (the cumulative series restarted there) and after/before.
        """
        cost = perf.check_cost(cost)
        if split is not None:
            return holdout.split_summary(self, split, lambda part: part.summary(cost=cost))
        table = self.factor_returns
        columns = _columns(table)
        rows = ["annualised return", "annualised volatility", "Sharpe ratio", "max drawdown", "positive dates"]
        if isinstance(self.turnover, pd.DataFrame):
            rows += ["mean turnover", "net annualised return", "net Sharpe ratio"]
        out = pd.DataFrame(np.nan, index=pd.Index(rows, name="statistic"), columns=columns)
        per_year = perf.rows_per_year(table.index) if columns else perf.TRADING_DAYS
        for column in columns:
            curve = table[column]
            step = perf.step_returns(curve)
            out.loc[rows[:5], column] = [
                perf.annualised_return(curve, per_year), perf.volatility(step, per_year),
                perf.sharpe_ratio(step, per_year), perf.max_drawdown(curve), perf.share_positive(step)]
            traded = self._turnover_of(column)
            if traded is not None:
                gross = self.long_short_returns(column)
                out.loc[rows[5:], column] = _long_short_figures(gross, traded, cost, per_year, 0)[2:]
        return out

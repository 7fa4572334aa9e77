"""Result objects returned by the analysis steps, keyed by step name.

Each result keeps the tables it was given, as attributes named after the constructor keywords, and adds a
tear sheet: `summary()` (one column per holding period), `plot()` (matplotlib figures, optional extra
`pip install quellix[plot]`), a readable text and notebook display, and sections of the HTML report written
by `quellix.analysis.report.write_report`. Return statistics follow the conventions of
`quellix.analysis.performance` (252 rows a year for daily data; intraday rows are annualised as
252 x the median number of rows per calendar day).
"""

import html

import numpy as np
import pandas as pd

from . import performance as perf

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]

# The few failures a malformed table can raise while summarising; displays show them instead of failing.
_TABLE_ERRORS = (ValueError, KeyError, TypeError, IndexError)


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


def _columns(table):
    return list(table.columns) if isinstance(table, pd.DataFrame) else []


def _ratio(numerator, denominator):
    return float(numerator / denominator) if denominator > 0 else np.nan


def _format_value(value):
    if not isinstance(value, (float, int, np.floating, np.integer)):
        return str(value)
    if np.isnan(value):
        return ""
    if float(value).is_integer() and abs(value) >= 1:
        return "{:.0f}".format(value)
    if 0 < abs(value) < 1e-4:
        # p-values of strong factors, which four decimals would show as a flat zero.
        return "{:.2e}".format(value)
    return "{:.4f}".format(value)


def format_table(table):
    """The table with its numbers as display strings: 4 decimals, whole counts without, blanks for NaN."""
    return table.apply(lambda column: column.map(_format_value)) if table.size else table


class _AnalysisResult:
    """Stores every constructor keyword as an attribute of the same name."""

    _fields: "tuple[str, ...]" = ()
    _title = "analysis"

    def _store(self, values):
        for field in self._fields:
            setattr(self, field, values[field])

    def _header(self):
        tables = [getattr(self, f) for f in self._fields if f != "name"]
        parts = ["name={!r}".format(self.name)]
        periods = _periods(tables)
        if periods is not None:
            parts.append("periods={}".format(periods))
        parts.extend("{}={}".format(f, _describe(getattr(self, f))) for f in self._fields if f != "name")
        return "{}({})".format(type(self).__name__, ", ".join(parts))

    def summary(self):
        raise NotImplementedError

    def _report_tables(self):
        """(title, table) pairs shown by the HTML report."""
        return [("Summary", self.summary())]

    def _summary_or_error(self):
        try:
            return self.summary(), None
        except _TABLE_ERRORS as exc:
            return None, "summary unavailable: {}".format(exc)

    def __repr__(self):
        table, error = self._summary_or_error()
        return "{}\n{}".format(self._header(), error or format_table(table).to_string())

    def __str__(self):
        table, error = self._summary_or_error()
        return "{} {!r}\n{}".format(self._title, self.name, error or format_table(table).to_string())

    def _repr_html_(self):
        table, error = self._summary_or_error()
        body = "<p>{}</p>".format(html.escape(error)) if error else format_table(table).to_html()
        return "<div><p><strong>{}</strong> {}</p>{}</div>".format(
            html.escape(self._title), html.escape(repr(self.name)), body)

    def plot(self, view=None):
        """matplotlib figures of this result, made with pyplot (so notebooks show them).

        With `view` None, a dict from view name to figure for every view the tables allow; with a view
        name, that one figure. Needs matplotlib (`pip install quellix[plot]`).
        """
        from . import plotting

        return plotting.draw(self, view, pyplot=True)


class ICAnalysisResult(_AnalysisResult):
    """Per-date IC and p-values, IC decay by lag and IC by industry of one IC step.

    A date with fewer than two usable (factor, return) pairs carries the IC 0 with the p-value 0; a real
    correlation of 0 has the p-value 1, so the summary and the plots leave such dates out.

    Views of `plot()`: "ic" (IC per date with its 20-row rolling mean), "ic_histogram", "ic_decay" (mean IC
    per lag, when the decay was computed) and "ic_by_industry" (when the industry IC was computed; the
    bars carry the industry names when an installed font has their glyphs, else their row numbers in the
    industry table).
    """

    _fields = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute", "name")
    _title = "IC analysis"

    def __init__(self, *, ic, ic_p_value, ic_decay, ic_industry_distribute, name):
        self._store(locals())

    def _valid_ic(self):
        """`ic` with the dates that had fewer than two usable pairs set to NaN."""
        ic = self.ic.astype(float)
        if isinstance(self.ic_p_value, pd.DataFrame):
            p_value = self.ic_p_value.reindex(index=ic.index, columns=ic.columns)
            ic = ic.mask((ic == 0) & (p_value == 0))
        return ic

    def _decay_means(self):
        """Mean IC per lag (rows) and period (columns), or None without a decay table.

        Lagged ICs carry no p-value, so an IC of exactly 0 is taken as a date without usable pairs.
        """
        decay = self.ic_decay
        if not isinstance(decay, pd.DataFrame) or decay.index.nlevels < 2:
            return None
        level = "decay" if "decay" in decay.index.names else decay.index.nlevels - 1
        decay = decay.astype(float)
        return decay.mask(decay == 0).groupby(level=level).mean()

    def _industry_table(self, kind):
        """IC (kind 0) or p-value (kind 1) per industry and period, or None without an industry table."""
        table = self.ic_industry_distribute
        # No rows: no instrument had an industry, so there is nothing to show.
        if not isinstance(table, pd.DataFrame) or table.index.nlevels != 2 or table.empty:
            return None
        return table.xs(kind, level=1)

    def summary(self):
        """IC statistics per holding period (columns "P_{p}").

        Rows, for the IC and again for its absolute value: mean, standard deviation, IR (mean / std),
        t-statistic of the mean with its two-sided p-value, and the share of dates > 0; then the number of
        dates used and, when the decay was computed, the mean IC at each lag ("IC lag d").

        The forward returns of a p-period IC overlap on consecutive dates, which inflates a plain t-test by
        about sqrt(p). The standard error is therefore Newey-West (HAC) with p - 1 lags, computed by
        statsmodels (OLS of the series on a constant, Bartlett kernel, small-sample correction, Student's t
        on n - 1 degrees of freedom); for p = 1 it is the plain standard error. The period is read from
        the column name; a column not named "P_{p}" is treated as p = 1.
        """
        ic = self._valid_ic() if isinstance(self.ic, pd.DataFrame) else pd.DataFrame()
        rows = []
        for prefix in ("IC", "|IC|"):
            rows += [prefix + " " + s for s in ("mean", "std", "IR", "t-stat", "p-value")] + [prefix + " > 0"]
        rows.append("dates")
        decay = self._decay_means()
        if decay is not None:
            rows += ["IC lag {}".format(lag) for lag in decay.index]
        out = pd.DataFrame(np.nan, index=pd.Index(rows, name="statistic"), columns=ic.columns)
        for column in ic.columns:
            lags = perf.period_of(column) - 1
            series = ic[column].dropna()
            for prefix, values in (("IC", series), ("|IC|", series.abs())):
                mean, std = values.mean(), values.std()
                t_stat, p_value = perf.mean_t_test(values, lags)
                out.loc[[prefix + " mean", prefix + " std", prefix + " IR", prefix + " t-stat",
                         prefix + " p-value", prefix + " > 0"], column] = [
                    mean, std, _ratio(mean, std), t_stat, p_value, perf.share_positive(values)]
            out.loc["dates", column] = len(series)
            if decay is not None and column in decay.columns:
                out.loc[["IC lag {}".format(lag) for lag in decay.index], column] = decay[column].to_numpy()
        return out

    def _report_tables(self):
        tables = super()._report_tables()
        ic, p_value = self._industry_table(0), self._industry_table(1)
        if ic is not None:
            both = pd.concat({"IC": ic, "p-value": p_value}, axis=1).swaplevel(axis=1)
            both = both.reindex(columns=[(c, k) for c in ic.columns for k in ("IC", "p-value")])
            both.columns = ["{} {}".format(c, k) for c, k in both.columns]
            # The industry plot numbers its bars so when no installed font draws the names.
            both.insert(0, "#", np.arange(1, len(both) + 1))
            tables.append(("IC by industry, pooled over all dates", both))
        return tables


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

    def summary(self):
        """Return statistics of the groups per holding period (columns "P_{p}").

        Rows: each group's annualised return, then top minus bottom's; the same for annualised volatility
        and Sharpe ratio; top minus bottom's maximum drawdown; each group's mean turnover; "monotonicity",
        the Spearman correlation between the group number (1 for the first group) and the group's
        annualised return (-1 when returns fall steadily from the top group to the bottom one); and, when
        a benchmark is present, its annualised return and the top group's excess return (the top group's
        annualised return minus the benchmark's).

        Returns are taken from the cumulative series: r_0 = C_0, r_t = (1 + C_t) / (1 + C_{t-1}) - 1;
        annualised geometrically with 252 rows a year for daily data, 252 x the median rows per calendar
        day for intraday data; Sharpe ratio without a risk-free rate; drawdown <= 0.
        """
        returns = self.quantile_returns
        columns = _columns(returns)
        tags = self._tags() if columns else []
        top = tags[0] if tags else "top"
        stats = ("annualised return", "annualised volatility", "Sharpe ratio")
        rows = [name + " " + stat for stat in stats for name in tags + ["top-bottom"]]
        rows += ["top-bottom max drawdown"] + [tag + " mean turnover" for tag in tags] + ["monotonicity"]
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
    """

    _fields = ("factor_returns", "name")
    _title = "Factor return analysis"

    def __init__(self, *, factor_returns, name):
        self._store(locals())

    def summary(self):
        """Return statistics of the long-short portfolio per holding period (columns "P_{p}").

        Rows: annualised return, annualised volatility, Sharpe ratio, maximum drawdown (<= 0) and the share
        of dates with a return > 0. Returns are taken from the cumulative series: r_0 = C_0,
        r_t = (1 + C_t) / (1 + C_{t-1}) - 1; annualised geometrically with 252 rows a year for daily data,
        252 x the median rows per calendar day for intraday data; Sharpe ratio without a risk-free rate.
        """
        table = self.factor_returns
        columns = _columns(table)
        rows = ["annualised return", "annualised volatility", "Sharpe ratio", "max drawdown", "positive dates"]
        out = pd.DataFrame(np.nan, index=pd.Index(rows, name="statistic"), columns=columns)
        per_year = perf.rows_per_year(table.index) if columns else perf.TRADING_DAYS
        for column in columns:
            curve = table[column]
            step = perf.step_returns(curve)
            out[column] = [perf.annualised_return(curve, per_year), perf.volatility(step, per_year),
                           perf.sharpe_ratio(step, per_year), perf.max_drawdown(curve), perf.share_positive(step)]
        return out

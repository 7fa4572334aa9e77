"""Result objects returned by the analysis steps, keyed by step name.

Each result keeps the tables it was given, as attributes named after the constructor keywords, and adds a
tear sheet: `summary()` (one column per holding period), `plot()` (matplotlib figures, optional extra
`pip install quellix[plot]`), a readable text and notebook display, and sections of the HTML report written
by `quellix.analysis.report.write_report`. Return statistics follow the conventions of
`quellix.analysis.performance` (252 rows a year for daily data; intraday rows are annualised as
252 x the median number of rows per calendar day). ``summary(split=date)`` gives every figure before the
date and from it on, and their ratio (`quellix.analysis.holdout`); ``cost=`` sets the cost per unit of
turnover behind the net figures.
"""

import numpy as np
import pandas as pd

from . import holdout
from . import inference
from . import performance as perf
from .result_base import _TABLE_ERRORS, _AnalysisResult, _format_value, _ratio, format_table  # noqa: F401
from .return_results import FactorReturnAnalysisResult, QuantileReturnAnalysisResult

__all__ = ["ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"]


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

    def _date_index(self):
        return self.ic.index

    def _between(self, start, stop):
        keep = holdout.date_mask(self.ic.index, start, stop)
        ic = self.ic[keep]
        p_value = self.ic_p_value[holdout.date_mask(self.ic_p_value.index, start, stop)] \
            if isinstance(self.ic_p_value, pd.DataFrame) else self.ic_p_value
        decay = self.ic_decay
        if isinstance(decay, pd.DataFrame) and decay.index.nlevels >= 2:
            decay = decay[holdout.date_mask(decay.index, start, stop)]
        if stop is not None:
            ic, decay = self._before_forward_window_ends(ic, decay)
        return ICAnalysisResult(ic=ic, ic_p_value=p_value, ic_decay=decay, ic_industry_distribute=None,
                                name=self.name)

    @staticmethod
    def _before_forward_window_ends(ic, decay):
        # The IC of date t over p rows uses the returns of rows t + 1 .. t + p (t + d + 1 .. t + d + p
        # at lag d): the last of them reach past the split and would leak the held-out years in.
        ic = ic.astype(float)
        rows = np.arange(len(ic))
        for column in ic.columns:
            ic.loc[rows >= len(ic) - perf.period_of(column), column] = np.nan
        if isinstance(decay, pd.DataFrame) and decay.index.nlevels >= 2 and len(decay):
            names = list(decay.index.names)
            level = names.index("decay") if "decay" in names else decay.index.nlevels - 1
            date_level = names.index("datetime") if "datetime" in names else 0
            dates = decay.index.get_level_values(date_level)
            position = pd.Index(dates.unique().sort_values()).get_indexer(dates)
            lag = decay.index.get_level_values(level).to_numpy(dtype=float)
            last = len(dates.unique())
            decay = decay.astype(float)
            for column in decay.columns:
                decay.loc[position >= last - perf.period_of(column) - lag, column] = np.nan
        return ic, decay

    def summary(self, split=None):
        """IC statistics per holding period (columns "P_{p}").

        Rows, for the IC and again for its absolute value: mean, standard deviation, IR (mean / std),
        t-statistic of the mean with its two-sided p-value, and the share of dates > 0; then the number of
        dates used and, when the decay was computed, the mean IC at each lag ("IC lag d") and the IC's
        half-life in rows (`quellix.analysis.inference.ic_half_life`).

        With ``split`` (a date), columns (period, part): the figures over the dates before it, from it on,
        and after/before (`quellix.analysis.holdout`). The IC of the last p dates before the split is left
        out of the part before it, since its forward returns end after the split; the industry table,
        pooled over all dates, is not split.

        The forward returns of a p-period IC overlap on consecutive dates, which inflates a plain t-test by
        about sqrt(p). The standard error is therefore Newey-West (HAC) with p - 1 lags, computed by
        statsmodels (OLS of the series on a constant, Bartlett kernel, small-sample correction, Student's t
        on n - 1 degrees of freedom); for p = 1 it is the plain standard error. The period is read from
        the column name; a column not named "P_{p}" is treated as p = 1.
        """
        if split is not None:
            return holdout.split_summary(self, split, lambda part: part.summary())
        ic = self._valid_ic() if isinstance(self.ic, pd.DataFrame) else pd.DataFrame()
        rows = []
        for prefix in ("IC", "|IC|"):
            rows += [prefix + " " + s for s in ("mean", "std", "IR", "t-stat", "p-value")] + [prefix + " > 0"]
        rows.append("dates")
        decay = self._decay_means()
        if decay is not None:
            rows += ["IC lag {}".format(lag) for lag in decay.index] + ["IC half-life"]
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
                out.loc["IC half-life", column] = inference.ic_half_life(decay[column].to_numpy(), decay.index)
        return out

    def _report_tables(self, cost=perf.DEFAULT_COST, split=None):
        tables = super()._report_tables(cost, split)
        ic, p_value = self._industry_table(0), self._industry_table(1)
        if ic is not None:
            both = pd.concat({"IC": ic, "p-value": p_value}, axis=1).swaplevel(axis=1)
            both = both.reindex(columns=[(c, k) for c in ic.columns for k in ("IC", "p-value")])
            both.columns = ["{} {}".format(c, k) for c, k in both.columns]
            # The industry plot numbers its bars so when no installed font draws the names.
            both.insert(0, "#", np.arange(1, len(both) + 1))
            tables.append(("IC by industry, pooled over all dates", both))
        return tables

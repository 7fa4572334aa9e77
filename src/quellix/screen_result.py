"""The result of a screen: one row of headline figures per factor, their correlations, and full results."""
import html
import re
import shutil
import textwrap

import numpy as np
import pandas as pd

from .screen_figures import add_trial_figures

__all__ = ["ScreenResult", "rank_correlation"]

# Labels of the compact table, narrow enough for a terminal; the legend below it spells them out.
_SHORT = {
    "IC mean": "IC", "IC IR": "IR", "IC t-stat": "t", "IC p-value": "p", "IC p-value (Holm)": "p Holm",
    "IC p-value (BY)": "p BY", "IC |t| > 3": "|t|>3", "IC half-life": "half-life",
    "top-bottom annualised return": "TB ret", "top-bottom net annualised return": "TB net",
    "top-bottom Sharpe ratio": "TB SR", "top-bottom net Sharpe ratio": "TB netSR",
    "top-bottom deflated Sharpe ratio": "TB DSR", "top-bottom t-stat": "TB t", "top-bottom p-value": "TB p",
    "top-bottom p-value (Holm)": "TB p Holm", "top-bottom p-value (BY)": "TB p BY", "mean turnover": "turnover",
    "factor-return annualised return": "FR ret", "factor-return net annualised return": "FR net",
    "factor-return Sharpe ratio": "FR SR", "factor-return net Sharpe ratio": "FR netSR",
    "factor-return deflated Sharpe ratio": "FR DSR",
}
_PART = {"": "", " before": " in", " after": " out", " after/before": " out/in"}
_LEGEND = [
    ("IC", "IC mean"), ("IR", "IC IR"), ("t", "HAC t-statistic"), ("p BY", "p-value adjusted over {trials} "
     "trials (Benjamini-Yekutieli; Holm in .summary)"), ("half-life", "rows over which the IC halves"),
    ("TB", "top minus bottom"), ("FR", "factor-return portfolio"), ("ret", "annualised return"),
    ("net", "less {cost:g} per unit of turnover"), ("SR", "Sharpe ratio"),
    ("DSR", "deflated Sharpe ratio: probability it is real after {trials} trials"),
    ("turnover", "the groups' mean turnover per row")]

# The compact table's figures in the order shown; those first in _KEEP stay when the width is short.
_HEADLINE = ["IC mean", "IC IR", "IC t-stat", "IC p-value (BY)", "IC half-life", "top-bottom annualised return",
             "top-bottom net annualised return", "top-bottom Sharpe ratio", "top-bottom net Sharpe ratio",
             "top-bottom deflated Sharpe ratio", "mean turnover", "factor-return net Sharpe ratio"]
_KEEP = ["IC IR", "IC t-stat", "IC p-value (BY)", "top-bottom net Sharpe ratio", "top-bottom deflated Sharpe ratio",
         "top-bottom Sharpe ratio", "top-bottom net annualised return", "mean turnover", "IC mean",
         "top-bottom annualised return", "IC half-life", "factor-return net Sharpe ratio"]
_HEADLINE_SPLIT = [("IC IR", " before"), ("IC IR", " after"), ("IC t-stat", " before"), ("IC p-value (BY)", " before"),
                   ("top-bottom net Sharpe ratio", " before"), ("top-bottom net Sharpe ratio", " after"),
                   ("top-bottom deflated Sharpe ratio", " before"), ("top-bottom net annualised return", " before"),
                   ("top-bottom net annualised return", " after"), ("mean turnover", " before"),
                   ("IC half-life", " before")]

# Dates whose products are summed in one matrix multiplication.
_CHUNK = 64


def rank_correlation(ranks):
    """Mean over dates of the correlation between the factors' cross-sectional ranks.

    ``ranks`` maps names to (dates x instruments) arrays of each date's ranks (NaN: no value). On each
    date a pair is compared over the instruments both rank; the date counts for the pair when at least
    two such instruments remain and neither side is constant there.
    """
    names = list(ranks)
    if not names:
        return pd.DataFrame(dtype=float)
    stack = np.stack([np.asarray(ranks[n], dtype=np.float64) for n in names], axis=1)  # dates x F x N
    total = np.zeros((len(names), len(names)))
    count = np.zeros((len(names), len(names)))
    for lo in range(0, stack.shape[0], _CHUNK):
        r = stack[lo:lo + _CHUNK]
        m = ~np.isnan(r)
        x = np.where(m, r, 0.0)
        w = m.astype(np.float64)
        t = np.swapaxes
        n = w @ t(w, 1, 2)
        sx = x @ t(w, 1, 2)            # [i, j]: sum of x_i where j is present too
        sxx = (x * x) @ t(w, 1, 2)
        sxy = x @ t(x, 1, 2)
        with np.errstate(divide="ignore", invalid="ignore"):
            cov = n * sxy - sx * t(sx, 1, 2)
            var_i = n * sxx - sx * sx
            var_j = t(var_i, 1, 2)
            corr = cov / np.sqrt(var_i * var_j)
        usable = (n >= 2) & (var_i > 0) & (var_j > 0)
        total += np.where(usable, corr, 0.0).sum(axis=0)
        count += usable.sum(axis=0)
    with np.errstate(invalid="ignore"):
        mean = np.clip(total / count, -1.0, 1.0)
    return pd.DataFrame(mean, index=pd.Index(names, name="factor"), columns=pd.Index(names, name="factor"))


class ScreenResult:
    """Headline figures of every screened factor.

    - `summary`: one row per factor (in the order given), columns (figure, period) plus "error" (None
      when the factor ran); sort it like any table, or use `ranked`. The figures are
      `quellix.screening.headline`'s, plus "trials" (the factors that ran), the Holm and
      Benjamini-Yekutieli adjustments of each p-value over the factors (statsmodels' `multipletests`)
      and the deflated Sharpe ratio of each long-short series (`quellix.analysis.inference`).
    - `table(period)`: the headline few of one period, narrow enough for the terminal; printing the
      screen shows it.
    - `correlation`: mean cross-sectional rank correlation between the factors that ran, over the
      screen's universe and dates (evenly thinned dates when factors x dates x instruments exceed
      `quellix.screening.CORRELATION_CELLS`), to spot near-duplicates.
    - `results(name)`: the factor's full results (the engine's dict of step results), kept by the
      screen with ``keep_results=True``, else recomputed on request.
    """

    def __init__(self, summary, correlation, errors, results, rerun):
        self.summary = summary
        self.correlation = correlation
        self.errors = errors
        self._results = results
        self._rerun = rerun

    @classmethod
    def collect(cls, factors, outcomes, errors, shared, rerun):
        errors = dict(errors)
        rows, ranks, results = {}, {}, {}
        for name, figures, rank, error, _, result in outcomes:
            if error is not None:
                errors[name] = error
                continue
            rows[name] = figures
            ranks[name] = rank
            if result is not None:
                results[name] = result
        names = list(factors)
        if rows:
            summary = pd.DataFrame(rows).T.reindex(names)
            summary.columns = pd.MultiIndex.from_tuples(list(summary.columns), names=["figure", "period"])
        else:
            summary = pd.DataFrame(index=names, columns=pd.MultiIndex.from_tuples([], names=["figure", "period"]))
        summary = add_trial_figures(summary.astype(float))
        summary[("error", "")] = pd.Series([errors.get(n) for n in names], index=names, dtype=object)
        summary.index.name = "factor"
        return cls(summary, rank_correlation(ranks), errors, results, rerun)

    @property
    def split(self):
        """The split date of the screen, or None."""
        return self._rerun.get("split")

    def _figures(self):
        return [f for f in dict.fromkeys(f for f, _ in self.summary.columns) if f != "error"]

    def _figure(self, by):
        figures = self._figures()
        if by not in figures and self.split is not None and by + " before" in figures:
            return by + " before"  # with a split, factors are chosen on the dates before it
        if by not in figures:
            raise KeyError("by: {!r} is not a figure of this screen; figures: {}".format(by, sorted(figures)))
        return by

    def _period(self, period, figure=None):
        periods = [p for f, p in self.summary.columns if f == (figure or self._figures()[0])] \
            if self._figures() else []
        if period is None:
            if not periods:
                raise KeyError("period: the screen has no figures")
            return periods[0]
        column = period if isinstance(period, str) else "P_{}".format(period)
        if column not in periods:
            raise KeyError("period: {!r} is not among {}".format(period, periods))
        return column

    def ranked(self, by="IC IR", period=None, ascending=False, figures=None):
        """The factors sorted by one figure of one period (the first unless ``period`` is given), errors last.

        Shown as `table` of that period (the figure sorted by among its columns); ``figures="all"`` gives
        the whole `summary`, sorted. With a split, a plain figure name means its value before the split.
        """
        by = self._figure(by)
        column = self._period(period, by)
        order = self.summary.sort_values((by, column), ascending=ascending, na_position="last").index
        if isinstance(figures, str) and figures == "all":
            return self.summary.loc[order]
        return self.table(column, figures, first=by).loc[order]

    def _headline(self):
        if self.split is None:
            shown = [(f, "") for f in _HEADLINE]
            keep = [(f, "") for f in _KEEP]
        else:
            shown = keep = list(_HEADLINE_SPLIT)
        figures = set(self._figures())
        names = [f + part for f, part in shown if f + part in figures]
        return names, [f + part for f, part in keep if f + part in figures]

    def table(self, period=None, figures=None, width=None, first=None):
        """The figures of one period, a row per factor, with the short labels the legend of `repr` explains.

        ``figures``: full figure names (see `summary`); by default the headline ones, as many as fit in
        ``width`` characters (default: the terminal's), ``first`` kept before any other. Values to 3
        decimals; a factor that failed has a blank row (its error is in `errors`).
        """
        column = self._period(period)
        if figures is None:
            names, keep = self._headline()
            if first is not None and first not in names:
                names, keep = [first] + names, [first] + keep
            elif first is not None:
                keep = [first] + [n for n in keep if n != first]
            fit = True
        else:
            names = [figures] if isinstance(figures, str) else list(figures)
            missing = [n for n in names if n not in self._figures()]
            if missing:
                raise KeyError("figures: {} not figures of this screen; figures: {}".format(
                    missing, sorted(self._figures())))
            keep, fit = names, False
        width = width or shutil.get_terminal_size((80, 24)).columns
        while True:
            out = self._compact(names, column)
            if not fit or len(names) <= 1 or _fits(out, width):
                return out
            names = [n for n in names if n != [k for k in keep if k in names][-1]]

    def _compact(self, names, column):
        return pd.DataFrame({_label(n): self.summary[(n, column)].astype(float).round(3) for n in names},
                            index=self.summary.index)

    def _legend(self, table):
        labels = " | ".join(table.columns).replace("netSR", "net SR")
        trials = int(self.summary[("trials", self._period(None, "trials"))].max()) \
            if "trials" in self._figures() else len(self.summary) - len(self.errors)
        words = ["{}: {}".format(short, text.format(trials=trials, cost=self._rerun.get("cost", 0)))
                 for short, text in _LEGEND if re.search(r"(^| ){}( |$)".format(re.escape(short)), labels)]
        if self.split is not None:
            words.append("in/out: before {:%Y-%m-%d} / from it on".format(self.split))
        return "; ".join(words)

    def results(self, name):
        """The full results of one factor: the engine's dict of step name to result."""
        if name in self.errors:
            raise ValueError("factor {!r} failed: {}".format(name, self.errors[name]))
        if name not in self.summary.index:
            raise KeyError("factor {!r} was not screened".format(name))
        if name not in self._results:
            from .screening import screen

            args = dict(self._rerun)
            args["factors"] = {name: args["factors"][name]}
            again = screen(**args, keep_results=True, progress=False, workers=1)
            if name in again.errors:
                raise ValueError("factor {!r} failed: {}".format(name, again.errors[name]))
            self._results[name] = again._results[name]
        return self._results[name]

    def __repr__(self):
        header = "ScreenResult({} factors, {} failed)".format(len(self.summary), len(self.errors))
        if not self._figures():
            return header + "\n" + self.summary.to_string()
        width = shutil.get_terminal_size((80, 24)).columns
        table = self.table(width=width)
        periods = list(dict.fromkeys(p for f, p in self.summary.columns if f != "error"))
        notes = [self._legend(table), "Period {} of {}; every figure and period: .summary, or "
                 ".table(period, figures=[...]).".format(self._period(None), ", ".join(periods))]
        failed = ["failed: {}: {}".format(name, error) for name, error in self.errors.items()]
        lines = [header, table.to_string()] + [textwrap.fill(n, width) for n in notes]
        return "\n".join(lines + [textwrap.shorten(f, width) for f in failed])

    def _repr_html_(self):
        if not self._figures():
            return self.summary.to_html()
        table = self.table(width=10 ** 6)
        failed = "".join("<p>failed: {}: {}</p>".format(html.escape(str(n)), html.escape(str(e)))
                         for n, e in self.errors.items())
        return "<div><p>{}</p>{}{}</div>".format(html.escape(self._legend(table)),
                                                 table.to_html(float_format="{:.3f}".format, na_rep=""), failed)


def _label(name):
    for suffix, short in _PART.items():
        if suffix and name.endswith(suffix) and name[:-len(suffix)] in _SHORT:
            return _SHORT[name[:-len(suffix)]] + short
    return _SHORT.get(name, name)


def _width(table):
    return max((len(line) for line in table.to_string().splitlines()), default=0)


def _fits(table, width):
    # pandas' own repr (how `ranked` prints) folds columns into "..." by its own measure of the width.
    return _width(table) < width and "..." not in repr(table).splitlines()[0]

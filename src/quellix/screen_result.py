"""The result of a screen: one row of headline figures per factor, their correlations, and full results."""
import numpy as np
import pandas as pd

__all__ = ["ScreenResult", "rank_correlation"]

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
      when the factor ran); sort it like any table, or use `ranked`.
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
        summary = summary.astype(float)
        summary[("error", "")] = pd.Series([errors.get(n) for n in names], index=names, dtype=object)
        summary.index.name = "factor"
        return cls(summary, rank_correlation(ranks), errors, results, rerun)

    def ranked(self, by="IC IR", period=None, ascending=False):
        """`summary` sorted by one figure (of the first period unless ``period`` is given); errors last."""
        periods = [p for f, p in self.summary.columns if f == by]
        if not periods:
            raise KeyError("by: {!r} is not a figure of this screen; figures: {}".format(
                by, sorted({f for f, _ in self.summary.columns if f != "error"})))
        if period is None:
            column = periods[0]
        else:
            column = period if isinstance(period, str) else "P_{}".format(period)
            if column not in periods:
                raise KeyError("period: {!r} is not among {}".format(period, periods))
        return self.summary.sort_values((by, column), ascending=ascending, na_position="last")

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
        shown = self.summary.drop(columns=[("error", "")]) if not self.errors else self.summary
        return "ScreenResult({} factors, {} failed)\n{}".format(
            len(self.summary), len(self.errors), shown.to_string(float_format="{:.4f}".format))

    def _repr_html_(self):
        return self.summary.to_html(float_format="{:.4f}".format)

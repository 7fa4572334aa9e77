"""What every analysis result shares: stored keywords, displays, and the number format of its tables."""

import html

import numpy as np
import pandas as pd

from . import performance as perf

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

    def _date_index(self):
        """The dates a split divides."""
        raise NotImplementedError

    def _between(self, start, stop):
        """A result of the same kind over the dates in [start, stop) (None: open), series restarted at 0."""
        raise NotImplementedError

    def _report_tables(self, cost=perf.DEFAULT_COST, split=None):
        """(title, table) pairs shown by the HTML report, net figures at ``cost`` per unit of turnover."""
        return [("Summary", self._summary_at(cost, split))]

    def _summary_at(self, cost, split=None):
        """The summary, net figures at ``cost`` where the result has any, before and after ``split``."""
        return self.summary(split=split)

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

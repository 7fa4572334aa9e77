"""One self-contained HTML file holding the tear sheet of a factor test, for sharing.

    result = engine.analysis(factor, "daily", periods=[1, 5, 10])
    write_report(result, "tearsheet.html")
    write_report({"reversal": result, "momentum": other}, "compare.html")   # or a screen's result

Every analysis result of the run gets its summary tables and its plots, embedded as PNG data URIs, so the
file needs nothing beside it. Without matplotlib the file holds the tables and a note saying how to get
the plots. A report of several factors (a dict of factor names to engine runs, or a screen's result)
opens with one table comparing them, then gives each factor's sections.
"""

import base64
import html
import io
import pathlib
from collections.abc import Mapping

import numpy as np
import pandas as pd

from . import performance as perf
from .result_base import _TABLE_ERRORS, _AnalysisResult, format_table

__all__ = ["render_report", "write_report"]

_STYLE = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 2em auto; max-width: 1200px;
       color: #222; }
h1 { font-size: 1.6em; } h2 { font-size: 1.3em; border-bottom: 1px solid #ccc; padding-bottom: .2em; }
h3 { font-size: 1.05em; }
table { border-collapse: collapse; font-size: .85em; margin-bottom: 1em; }
th, td { border: 1px solid #ddd; padding: .25em .6em; text-align: right; }
th { background: #f4f4f4; } tbody th { text-align: left; }
img { max-width: 100%; display: block; margin: .5em 0 1.5em; }
.note { background: #fff6dd; border: 1px solid #e6d28a; padding: .5em .8em; }
.wide { overflow-x: auto; }
table.comparison { font-size: .8em; }
table.comparison th { vertical-align: bottom; max-width: 6em; white-space: normal; }
table.comparison tbody th { vertical-align: top; } table.comparison tbody th[rowspan] { max-width: none; white-space: nowrap; }
table.comparison td.pass { background: #d9f2d9; } table.comparison td.fail { color: #a33; }
table.comparison tr.first > * { border-top: 2px solid #999; }
"""


# The comparison table's figures and, with a split, those shown before and after it.
_COMPARED = ["IC IR", "IC t-stat", "IC p-value", "IC p-value (Holm)", "IC p-value (BY)", "IC half-life",
             "top-bottom annualised return", "top-bottom net annualised return", "top-bottom Sharpe ratio",
             "top-bottom net Sharpe ratio", "top-bottom p-value (BY)", "top-bottom deflated Sharpe ratio",
             "mean turnover", "factor-return Sharpe ratio", "factor-return net Sharpe ratio",
             "factor-return deflated Sharpe ratio"]
_COMPARED_SPLIT = ["IC IR", "IC t-stat", "IC p-value (BY)", "top-bottom net annualised return",
                   "top-bottom net Sharpe ratio", "top-bottom deflated Sharpe ratio", "factor-return net Sharpe ratio"]
_RULES = ("Green: an adjusted p-value below 0.05, a deflated Sharpe ratio of 0.95 or more, a net Sharpe ratio "
          "above 0; red: a net Sharpe ratio of 0 or less. Raw p-values are not shaded: with {trials} trials, "
          "some fall below 0.05 by chance. Net figures are less {cost:g} per unit of turnover.")


def _cell(figure, value):
    """A comparison cell: three decimals; probabilities at the ends as "<0.001" and ">0.999"."""
    if np.isnan(value):
        return ""
    if np.isinf(value):
        return "inf" if value > 0 else "-inf"
    probability = figure.endswith("p-value") or figure.endswith(")") or figure.endswith("deflated Sharpe ratio")
    if probability and value < 0.001:
        return "<0.001"
    if probability and value > 0.999:
        return ">0.999"
    return "{:.3f}".format(value)


def _verdict(figure, value):
    """"pass", "fail" or "" for a cell of the comparison table."""
    if not np.isfinite(value):
        return ""
    if figure.endswith("(BY)") or figure.endswith("(Holm)"):
        return "pass" if value < 0.05 else ""
    if figure.endswith("deflated Sharpe ratio"):
        return "pass" if value >= 0.95 else ""
    if figure.endswith("net Sharpe ratio"):
        return "pass" if value > 0 else "fail"
    return ""


def comparison_html(summary, errors, cost, split=None):
    """The table that opens a report of several factors: a row per factor and period, the figures of
    `quellix.screen_figures` that say whether it survives (gross and net, raw and adjusted)."""
    from ..screen_figures import split_figure

    present = {f for f, _ in summary.columns}
    if split is None:
        figures = [f for f in _COMPARED if f in present]
    else:
        figures = [f + part for f in _COMPARED_SPLIT for part in (" before", " after") if f + part in present]
    periods = list(dict.fromkeys(p for f, p in summary.columns if f != "error"))
    head = "".join("<th>{}</th>".format(html.escape(f)) for f in ["factor", "period"] + figures)
    rows = []
    for name in summary.index:
        if name in errors:
            rows.append('<tr class="first"><th>{}</th><td colspan="{}" class="fail">{}</td></tr>'.format(
                html.escape(str(name)), len(figures) + 1, html.escape(str(errors[name]))))
            continue
        for i, period in enumerate(periods):
            cells = []
            for figure in figures:
                value = float(summary.at[name, (figure, period)])
                base = split_figure(figure)[1]
                verdict = _verdict(base, value)
                cells.append('<td{}>{}</td>'.format(' class="{}"'.format(verdict) if verdict else "",
                                                    html.escape(_cell(base, value))))
            label = '<th rowspan="{}">{}</th>'.format(len(periods), html.escape(str(name))) if i == 0 else ""
            rows.append('<tr{}>{}<th>{}</th>{}</tr>'.format(' class="first"' if i == 0 else "", label,
                                                           html.escape(str(period)), "".join(cells)))
    trials = int(np.nanmax(summary[("trials", periods[0])].to_numpy(dtype=float))) \
        if periods and ("trials", periods[0]) in summary.columns and summary[("trials", periods[0])].notna().any() \
        else 0
    note = _RULES.format(trials=trials, cost=cost)
    unknown = [c for c in summary.columns if split_figure(c[0])[1] == "factor-return net Sharpe ratio"]
    if unknown and summary[unknown].isna().all().all():
        note += (" The factor-return portfolio's net figures are blank: the engine's step does not report its "
                 "turnover (a screen attaches it).")
    if split is not None:
        note += " Before: the dates before {:%Y-%m-%d}, on which the factors are chosen; after: from it on.".format(
            pd.Timestamp(split))
    return ('<h2>Comparison</h2>\n<p>{}</p>\n<div class="wide"><table class="comparison">\n<thead><tr>{}</tr>'
            "</thead>\n<tbody>\n{}\n</tbody>\n</table></div>").format(html.escape(note), head, "\n".join(rows))


def _several(results):
    """(summary, errors, cost, split, factor results by name) of a screen or of a dict of engine runs; or None."""
    from ..screen_result import ScreenResult

    if isinstance(results, ScreenResult):
        names = list(results.summary.index)
        return (results.summary, results.errors, results._rerun.get("cost", perf.DEFAULT_COST), results.split,
                {n: (lambda n=n: results.results(n)) for n in names if n not in results.errors})
    if isinstance(results, Mapping) and results and all(isinstance(v, Mapping) for v in results.values()):
        from ..screen_figures import compare

        summary = compare(results)
        return summary, {}, perf.DEFAULT_COST, None, {n: (lambda v=v: v) for n, v in results.items()}
    return None


def _entries(results):
    if isinstance(results, _AnalysisResult):
        return [(results.name, results)]
    if isinstance(results, Mapping):
        return list(results.items())
    raise TypeError("results must be the dict returned by an engine run or one analysis result, got {}".format(
        type(results).__name__))


def _figure_png(figure):
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=90)
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def _table_html(title, table, level):
    return "<h{0}>{1}</h{0}>\n{2}".format(level + 1, html.escape(title), format_table(table).to_html(border=0))


def _sections(entries, plots, level, cost, split=None):
    body, others = [], []
    for key, value in entries:
        if isinstance(value, _AnalysisResult):
            body.append(_section(key, value, plots, level, cost, split))
        else:
            shape = "x".join(str(n) for n in getattr(value, "shape", ()))
            others.append("<li>{}: {} {}</li>".format(
                html.escape(str(key)), html.escape(type(value).__name__), html.escape(shape)))
    if others:
        body.append("<h{0}>Other entries</h{0}>\n<ul>\n{1}\n</ul>".format(level, "\n".join(others)))
    return body


def _section(key, result, plots, level=2, cost=perf.DEFAULT_COST, split=None):
    parts = ["<h{0}>{1} <small>({2})</small></h{0}>".format(level, html.escape(str(key)), html.escape(result._title))]
    try:
        parts.extend(_table_html(title, table, level) for title, table in result._report_tables(cost, split))
    except _TABLE_ERRORS as exc:
        parts.append('<p class="note">summary unavailable: {}</p>'.format(html.escape(str(exc))))
    if plots is not None:
        try:
            figures = plots.draw(result, pyplot=False)
        except _TABLE_ERRORS as exc:
            parts.append('<p class="note">plots unavailable: {}</p>'.format(html.escape(str(exc))))
            figures = {}
        for view, figure in figures.items():
            parts.append('<img alt="{} {}" src="data:image/png;base64,{}">'.format(
                html.escape(str(key)), html.escape(view), _figure_png(figure)))
    return "\n".join(parts)


def render_report(results, title="Factor tear sheet"):
    """The HTML text of the report for `results`: an engine run's dict of step name to result, one result,
    a dict of factor names to engine runs, or a screen's `ScreenResult`.

    Several factors: a comparison table first (`comparison_html`), then each factor's sections (of a
    screen with a split, their summaries before and after it); a screen's factors are recomputed for
    their sections unless it kept its results. Entries that are not
    analysis results (preprocessed factor tables, outputs of user-defined steps) are listed by name and
    type at the end of their factor.
    """
    several = _several(results)
    entries = None if several else _entries(results)
    try:
        from . import plotting

        plotting.require_matplotlib()
        plots, note = plotting, None
    except ImportError as exc:
        plots, note = None, "Plots are left out: {}.".format(exc)
    body = ["<h1>{}</h1>".format(html.escape(title))]
    if note:
        body.append('<p class="note">{}</p>'.format(html.escape(note)))
    if several is None:
        body.extend(_sections(entries, plots, 2, perf.DEFAULT_COST))
    else:
        summary, errors, cost, split, runs = several
        body.append(comparison_html(summary, errors, cost, split))
        for name in summary.index:
            body.append("<h2>{}</h2>".format(html.escape(str(name))))
            if name in errors:
                body.append('<p class="note">failed: {}</p>'.format(html.escape(str(errors[name]))))
            else:
                body.extend(_sections(_entries(runs[name]()), plots, 3, cost, split))
    return ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>{}</title>\n'
            "<style>{}</style>\n</head>\n<body>\n{}\n</body>\n</html>\n").format(
                html.escape(title), _STYLE, "\n".join(body))


def write_report(results, path, title="Factor tear sheet"):
    """Write the report for `results` (see `render_report`) to `path` as UTF-8; returns the path written."""
    path = pathlib.Path(path)
    path.write_text(render_report(results, title), encoding="utf-8")
    return path

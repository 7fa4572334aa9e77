"""One self-contained HTML file holding the tear sheet of a factor test, for sharing.

    result = engine.analysis(factor, "daily", periods=[1, 5, 10])
    write_report(result, "tearsheet.html")

Every analysis result of the run gets its summary tables and its plots, embedded as PNG data URIs, so the
file needs nothing beside it. Without matplotlib the file holds the tables and a note saying how to get
the plots.
"""

import base64
import html
import io
import pathlib
from collections.abc import Mapping

from .analysis_result import _TABLE_ERRORS, _AnalysisResult, format_table

__all__ = ["render_report", "write_report"]

_STYLE = """
body { font-family: -apple-system, "Segoe UI", Helvetica, Arial, sans-serif; margin: 2em auto; max-width: 1100px;
       color: #222; }
h1 { font-size: 1.6em; } h2 { font-size: 1.3em; border-bottom: 1px solid #ccc; padding-bottom: .2em; }
h3 { font-size: 1.05em; }
table { border-collapse: collapse; font-size: .85em; margin-bottom: 1em; }
th, td { border: 1px solid #ddd; padding: .25em .6em; text-align: right; }
th { background: #f4f4f4; } tbody th { text-align: left; }
img { max-width: 100%; display: block; margin: .5em 0 1.5em; }
.note { background: #fff6dd; border: 1px solid #e6d28a; padding: .5em .8em; }
"""


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


def _table_html(title, table):
    return "<h3>{}</h3>\n{}".format(html.escape(title), format_table(table).to_html(border=0))


def _section(key, result, plots):
    parts = ["<h2>{} <small>({})</small></h2>".format(html.escape(str(key)), html.escape(result._title))]
    try:
        parts.extend(_table_html(title, table) for title, table in result._report_tables())
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
    """The HTML text of the report for `results`: an engine run's dict of step name to result, or one result.

    Entries that are not analysis results (preprocessed factor tables, outputs of user-defined steps) are
    listed by name and type at the end.
    """
    entries = _entries(results)
    try:
        from . import plotting

        plotting.require_matplotlib()
        plots, note = plotting, None
    except ImportError as exc:
        plots, note = None, "Plots are left out: {}.".format(exc)
    body = ["<h1>{}</h1>".format(html.escape(title))]
    if note:
        body.append('<p class="note">{}</p>'.format(html.escape(note)))
    others = []
    for key, value in entries:
        if isinstance(value, _AnalysisResult):
            body.append(_section(key, value, plots))
        else:
            shape = "x".join(str(n) for n in getattr(value, "shape", ()))
            others.append("<li>{}: {} {}</li>".format(
                html.escape(str(key)), html.escape(type(value).__name__), html.escape(shape)))
    if others:
        body.append("<h2>Other entries</h2>\n<ul>\n{}\n</ul>".format("\n".join(others)))
    return ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>{}</title>\n'
            "<style>{}</style>\n</head>\n<body>\n{}\n</body>\n</html>\n").format(
                html.escape(title), _STYLE, "\n".join(body))


def write_report(results, path, title="Factor tear sheet"):
    """Write the report for `results` (see `render_report`) to `path` as UTF-8; returns the path written."""
    path = pathlib.Path(path)
    path.write_text(render_report(results, title), encoding="utf-8")
    return path

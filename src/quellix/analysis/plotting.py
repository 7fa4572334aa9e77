"""matplotlib views of the analysis results.

matplotlib is an optional extra (`pip install quellix[plot]`) and is imported only here, only when a figure
is asked for. Figures for the screen are made with pyplot, so notebooks and `plt.show()` display them;
figures for a report are plain `Figure` objects that never touch pyplot's global state.
"""

import numpy as np
import pandas as pd

from . import performance as perf
from .analysis_result import FactorReturnAnalysisResult, ICAnalysisResult, QuantileReturnAnalysisResult

__all__ = ["require_matplotlib", "views", "draw"]

ROLLING_ROWS = 20
PANEL_WIDTH, PANEL_HEIGHT = 10.0, 3.2


def require_matplotlib():
    """Import matplotlib, or raise ImportError naming the extra that installs it."""
    try:
        import matplotlib  # noqa: F401
        from matplotlib.figure import Figure  # noqa: F401
    except ImportError as exc:
        raise ImportError("plotting needs matplotlib, which is not installed: "
                          "pip install quellix[plot]") from exc


def _figure_maker(pyplot):
    def make(rows=1, cols=1, width=PANEL_WIDTH, height=PANEL_HEIGHT):
        size = (width, height * rows)
        if pyplot:
            import matplotlib.pyplot as plt

            figure = plt.figure(figsize=size, layout="constrained")
        else:
            from matplotlib.figure import Figure

            figure = Figure(figsize=size, layout="constrained")
        axes = figure.subplots(rows, cols, squeeze=False)
        return figure, list(axes.ravel())
    return make


def _legend(ax, **kwargs):
    # A legend without labelled artists only earns a warning.
    if ax.get_legend_handles_labels()[0]:
        ax.legend(**kwargs)


def _grouped_bars(ax, table, horizontal=False, labels=None, font=None):
    """One bar per row and column of `table`, the columns side by side within each row, first row first."""
    positions = np.arange(len(table.index))
    width = 0.8 / max(1, len(table.columns))
    for i, column in enumerate(table.columns):
        offset = positions - 0.4 + width * (i + 0.5)
        values = table[column].to_numpy(dtype=float)
        if horizontal:
            ax.barh(offset, values, height=width, label=str(column))
        else:
            ax.bar(offset, values, width=width, label=str(column))
    labels = [str(label) for label in table.index] if labels is None else labels
    if horizontal:
        ax.set_yticks(positions)
        ax.set_yticklabels(labels, **({} if font is None else {"fontproperties": font}))
        ax.invert_yaxis()
        ax.axvline(0, color="black", linewidth=0.8)
    else:
        ax.set_xticks(positions)
        ax.set_xticklabels(labels)
        ax.axhline(0, color="black", linewidth=0.8)
    _legend(ax)


def _font_for(labels):
    """An installed font that has every character of the labels, or None when none has them all."""
    chars = {ord(c) for label in labels for c in label}
    from matplotlib import font_manager, ft2font

    hints = ("cjk", "hei", "song", "kai", "ming", "yahei", "wenquanyi", "pingfang", "han sans", "unifont")
    for entry in font_manager.fontManager.ttflist:
        if any(hint in entry.name.lower() for hint in hints):
            try:
                if chars <= set(ft2font.FT2Font(entry.fname).get_charmap()):
                    return font_manager.FontProperties(fname=entry.fname)
            except (OSError, RuntimeError, ValueError):
                continue
    return None


def _group_colours(count):
    # A sequential map shows the groups' order at a glance.
    from matplotlib import cm

    return [cm.viridis(x) for x in np.linspace(0.0, 0.9, count)]


def _plot_curve(ax, series, **kwargs):
    series = series.dropna()
    ax.plot(series.index, series.to_numpy(dtype=float), **kwargs)


# IC views

def _ic_series(result, make):
    ic = result._valid_ic()
    figure, axes = make(rows=max(1, len(ic.columns)))
    for ax, column in zip(axes, ic.columns):
        values = ic[column]
        ax.plot(values.index, values.to_numpy(), linewidth=0.6, alpha=0.6, label="IC")
        rolling = values.rolling(ROLLING_ROWS, min_periods=1).mean()
        ax.plot(rolling.index, rolling.to_numpy(), linewidth=1.6, label="{}-row mean".format(ROLLING_ROWS))
        ax.axhline(0, color="black", linewidth=0.8)
        ax.set_title("{}: IC per date".format(column))
        _legend(ax, loc="upper left")
    return figure


def _ic_histogram(result, make):
    ic = result._valid_ic()
    figure, axes = make(cols=max(1, len(ic.columns)))
    for ax, column in zip(axes, ic.columns):
        values = ic[column].dropna().to_numpy()
        ax.hist(values, bins=30, alpha=0.8)
        if len(values):
            ax.axvline(values.mean(), color="black", linestyle="--", linewidth=1)
            ax.set_title("{}: IC mean {:.4f}".format(column, values.mean()))
        else:
            ax.set_title("{}: no IC".format(column))
    return figure


def _ic_decay(result, make):
    figure, (ax,) = make()
    _grouped_bars(ax, result._decay_means())
    ax.set_xlabel("lag (rows)")
    ax.set_title("Mean IC per lag")
    return figure


def _ic_by_industry(result, make):
    table = result._industry_table(0)
    figure, (ax,) = make(height=max(PANEL_HEIGHT, 0.12 * len(table.index) * max(1, len(table.columns))))
    labels = [str(label) for label in table.index]
    title = "IC by industry, pooled over all dates"
    font = None
    if not all(ord(c) < 128 for label in labels for c in label):
        font = _font_for(labels)
        if font is None:
            # Boxes for every name would hide which bar is which; number the rows of the industry table.
            labels = ["#{}".format(i) for i in range(1, len(labels) + 1)]
            title += " (industries numbered in table order: no installed font draws their names)"
    _grouped_bars(ax, table, horizontal=True, labels=labels, font=font)
    ax.set_title(title)
    return figure


# Quantile views

def _quantile_cumulative(result, make):
    columns = list(result.quantile_returns.columns)
    bench = result._benchmark()
    figure, axes = make(rows=max(1, len(columns)))
    for ax, column in zip(axes, columns):
        curves = result._group_curves(column)
        colours = _group_colours(len(curves.columns))
        for tag, colour in zip(curves.columns, colours):
            _plot_curve(ax, curves[tag], color=colour, label=str(tag))
        if bench is not None:
            _plot_curve(ax, bench, color="black", linestyle="--", label="benchmark")
        ax.set_title("{}: cumulative return per group".format(column))
        _legend(ax, loc="upper left")
    return figure


def _quantile_group_returns(result, make):
    summary = result.summary()
    table = summary.loc[["{} annualised return".format(tag) for tag in result._tags()]]
    table.index = result._tags()
    figure, (ax,) = make()
    _grouped_bars(ax, table)
    ax.set_title("Annualised return per group")
    return figure


def _quantile_turnover(result, make):
    table = pd.DataFrame({column: result._mean_turnover(column) for column in result.quantile_returns.columns},
                         index=result._tags())
    figure, (ax,) = make()
    _grouped_bars(ax, table)
    ax.set_title("Mean turnover per group")
    return figure


def _quantile_top_minus_bottom(result, make):
    figure, (ax,) = make()
    table = result.top_minus_bottom_returns
    for column in (table.columns if isinstance(table, pd.DataFrame) else []):
        _plot_curve(ax, table[column], label="top-bottom {}".format(column))
    bench = result._benchmark()
    if bench is not None:
        _plot_curve(ax, bench, color="black", linestyle="--", label="benchmark")
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_title("Cumulative return of top minus bottom")
    _legend(ax, loc="upper left")
    return figure


# Factor-return views

def _factor_cumulative(result, make):
    figure, (ax,) = make()
    for column in result.factor_returns.columns:
        _plot_curve(ax, result.factor_returns[column], label=str(column))
    ax.axhline(0, color="black", linewidth=0.8)
    ax.set_title("Cumulative return of the factor-weighted long-short portfolio")
    _legend(ax, loc="upper left")
    return figure


def _factor_drawdown(result, make):
    figure, (ax,) = make()
    for column in result.factor_returns.columns:
        curve = result.factor_returns[column].dropna()
        line, = ax.plot(curve.index, perf.drawdown(curve), linewidth=1, label=str(column))
        ax.fill_between(curve.index, perf.drawdown(curve), 0, color=line.get_color(), alpha=0.15)
    ax.set_title("Drawdown of the long-short portfolio")
    _legend(ax, loc="lower left")
    return figure


def views(result):
    """View name -> drawing function, for every view the result's tables allow, in display order."""
    if isinstance(result, ICAnalysisResult):
        out = {}
        if isinstance(result.ic, pd.DataFrame):
            out.update(ic=_ic_series, ic_histogram=_ic_histogram)
        if result._decay_means() is not None:
            out["ic_decay"] = _ic_decay
        if result._industry_table(0) is not None:
            out["ic_by_industry"] = _ic_by_industry
        return out
    if isinstance(result, QuantileReturnAnalysisResult):
        if not isinstance(result.quantile_returns, pd.DataFrame):
            return {}
        return {"cumulative_returns": _quantile_cumulative, "group_returns": _quantile_group_returns,
                "turnover": _quantile_turnover, "top_minus_bottom": _quantile_top_minus_bottom}
    if isinstance(result, FactorReturnAnalysisResult):
        if not isinstance(result.factor_returns, pd.DataFrame):
            return {}
        return {"cumulative_returns": _factor_cumulative, "drawdown": _factor_drawdown}
    raise TypeError("result must be an analysis result object, got {}".format(type(result).__name__))


def draw(result, view=None, pyplot=True):
    """Figures of `result`: a dict from view name to figure, or the one figure of `view`."""
    require_matplotlib()
    available = views(result)
    if view is not None and view not in available:
        raise ValueError("view {!r} is not available for this result; expected one of {}".format(
            view, list(available)))
    make = _figure_maker(pyplot)
    if view is not None:
        return available[view](result, make)
    return {name: drawer(result, make) for name, drawer in available.items()}

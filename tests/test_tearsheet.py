import base64
import html.parser
import io
import sys

import numpy as np
import pandas as pd
import pytest

import quellix
import vestamo
from quellix.analysis.analysis_result import (
    FactorReturnAnalysisResult, ICAnalysisResult, QuantileReturnAnalysisResult,
)
from quellix.analysis.assaycore import FactorAnalysisEngine, ICAnalysis
from quellix.analysis.report import render_report, write_report
from quellix.interface import Factor
from quellix.rolling import MA

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
VIEWS = {
    ICAnalysisResult: ["ic", "ic_histogram", "ic_decay", "ic_by_industry"],
    QuantileReturnAnalysisResult: ["cumulative_returns", "group_returns", "turnover", "top_minus_bottom"],
    FactorReturnAnalysisResult: ["cumulative_returns", "drawdown"],
}


@pytest.fixture(scope="module")
def results():
    """An engine run on the sample market, with quantile and factor-return results of the same dates."""
    close = Factor("close")
    universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:150]
    factor = quellix.execute_factor(MA(close, 5) / close - 1, universe, "2023-01-03", "2023-06-30")
    engine = FactorAnalysisEngine()
    engine.append(("ic", ICAnalysis(industry_classification="citics_2019", max_decay=5)))
    out = engine.analysis(factor, "daily", periods=[1, 5])
    dates = out["ic"].ic.index
    rng = np.random.default_rng(5)
    tags = ["q1", "q2", "q3", "q4", "q5"]
    index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
    daily = pd.DataFrame(rng.normal(0, 0.01, (len(index), 2)), index=index, columns=["P_1", "P_5"])
    cumulative = (1 + daily).groupby(level="tag").cumprod() - 1
    curve = pd.DataFrame(rng.normal(0, 0.01, (len(dates), 2)), index=dates, columns=["P_1", "P_5"])
    out["quantile"] = QuantileReturnAnalysisResult(
        quantile_turnover=daily.abs() * 10, quantile_returns=cumulative, quantile_detail=None,
        benchmark_return=(1 + curve["P_1"].rename("000300.XSHG")).cumprod() - 1,
        top_minus_bottom_returns=(1 + curve).cumprod() - 1, name="quantile")
    out["factor_return"] = FactorReturnAnalysisResult(factor_returns=(1 + curve / 2).cumprod() - 1, name="fr")
    out["coverage"] = factor.notna().mean(axis=1)
    return out


def analysis_results(results):
    return [value for value in results.values() if type(value) in VIEWS]


def test_text_and_notebook_display(results):
    for result in analysis_results(results):
        summary = result.summary()
        text, shown = repr(result), str(result)
        assert text.splitlines()[0].startswith(type(result).__name__ + "(")
        assert all(label in text and label in shown for label in summary.index)
        assert result.name in shown.splitlines()[0]
        parser = TagChecker()
        parser.feed(result._repr_html_())
        assert parser.counts["table"] == 1 and parser.open == []
    broken = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=pd.DataFrame({"P_1": [0.0]}),
                                          quantile_detail=None, benchmark_return=None,
                                          top_minus_bottom_returns=None, name="q")
    assert "summary unavailable: quantile_returns must be indexed by" in repr(broken)
    assert "summary unavailable" in broken._repr_html_()


def test_each_plot_returns_its_figures(results):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.figure import Figure

    try:
        for result in analysis_results(results):
            figures = result.plot()
            assert list(figures) == VIEWS[type(result)]
            assert all(isinstance(f, Figure) and f.axes for f in figures.values())
            assert plt.get_fignums() == [f.number for f in figures.values()]   # shown by notebooks
            plt.close("all")
        assert len(results["ic"].plot("ic").axes) == 2                  # one panel per period
        with pytest.raises(ValueError, match="'nope' is not available"):
            results["ic"].plot("nope")
        bare = ICAnalysisResult(ic=results["ic"].ic, ic_p_value=None, ic_decay=None,
                                ic_industry_distribute=None, name="bare")
        assert list(bare.plot()) == ["ic", "ic_histogram"]
    finally:
        plt.close("all")


class TagChecker(html.parser.HTMLParser):
    """Counts elements, collects image sources and checks that every opened element is closed in order."""

    VOID = {"meta", "img", "br", "hr", "link", "input"}

    def __init__(self):
        super().__init__()
        self.open, self.counts, self.images, self.text = [], {}, [], []

    def handle_starttag(self, tag, attrs):
        self.counts[tag] = self.counts.get(tag, 0) + 1
        if tag == "img":
            self.images.append(dict(attrs))
        elif tag not in self.VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        assert self.open and self.open.pop() == tag, "unbalanced </{}>".format(tag)

    def handle_data(self, data):
        self.text.append(data)


def parsed(path):
    parser = TagChecker()
    parser.feed(path.read_text(encoding="utf-8"))
    parser.close()
    assert parser.open == [] and parser.counts["html"] == 1
    return parser


def test_report_embeds_every_table_and_plot(results, tmp_path):
    pytest.importorskip("matplotlib")
    from PIL import Image

    path = write_report(results, tmp_path / "tearsheet.html", title="Reversal <5d>")
    page = parsed(path)
    text = "".join(page.text)
    assert "Reversal <5d>" in text and "Plots are left out" not in text
    assert page.counts["h2"] == 4                      # three results and the other entries
    assert page.counts["table"] == 4                   # three summaries and the IC by industry
    assert "coverage" in text and "交通运输" in text
    expected = [(name, view) for name, result in results.items() if type(result) in VIEWS
                for view in VIEWS[type(result)]]
    assert [tuple(img["alt"].split(" ")) for img in page.images] == expected
    for img in page.images:
        head, data = img["src"].split(",", 1)
        assert head == "data:image/png;base64"
        png = base64.b64decode(data, validate=True)
        assert png.startswith(PNG_SIGNATURE)
        with Image.open(io.BytesIO(png)) as image:
            image.verify()


def test_report_and_plots_without_matplotlib(results, tmp_path, monkeypatch):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install quellix\[plot\]"):
        results["factor_return"].plot()
    page = parsed(write_report(results, tmp_path / "plain.html"))
    assert "pip install quellix[plot]" in "".join(page.text)
    assert page.images == [] and page.counts["table"] == 4


def test_report_of_one_result_and_bad_arguments(results):
    page = TagChecker()
    page.feed(render_report(results["factor_return"]))
    assert page.counts["h2"] == 1 and "fr" in "".join(page.text)
    with pytest.raises(TypeError, match="results must be"):
        render_report([results["ic"]])


def test_report_of_empty_tables(tmp_path):
    pytest.importorskip("matplotlib")
    dates = pd.DatetimeIndex([], name="datetime")
    index = pd.MultiIndex.from_product([["q1", "q2"], dates], names=["tag", "datetime"])
    empty = pd.DataFrame({"P_1": []}, index=dates, dtype=float)
    results = {
        "ic": ICAnalysisResult(ic=empty, ic_p_value=empty, ic_decay=None, ic_industry_distribute=None, name="ic"),
        "quantile": QuantileReturnAnalysisResult(
            quantile_turnover=None, quantile_returns=pd.DataFrame({"P_1": []}, index=index, dtype=float),
            quantile_detail=None, benchmark_return=None, top_minus_bottom_returns=None, name="quantile"),
        "factor_return": FactorReturnAnalysisResult(factor_returns=empty, name="fr"),
    }
    page = parsed(write_report(results, tmp_path / "empty.html"))
    assert len(page.images) == 8 and page.counts["table"] == 3
    assert all(base64.b64decode(img["src"].split(",", 1)[1]).startswith(PNG_SIGNATURE) for img in page.images)


def test_report_of_several_runs_compares_them_first(results):
    from quellix.screen_figures import compare

    runs = {"reversal": results, "reversal again": dict(results), "ic only": {"ic": results["ic"]}}
    page = TagChecker()
    text = render_report(runs, title="Three runs")
    page.feed(text)
    page.close()
    assert page.open == [] and page.counts["h2"] == 4 and page.counts["h3"] == 9   # 3 + 3 steps, their other entries, 1
    assert text.index("<h2>Comparison</h2>") < text.index("<h2>reversal</h2>")
    comparison = text[text.index("<h2>Comparison"):text.index("<h2>reversal</h2>")]
    assert comparison.count('rowspan="2"') == 3 and "with 3 trials" in comparison
    summary = compare(runs)
    for figure in ("IC p-value (Holm)", "IC p-value (BY)", "top-bottom net Sharpe ratio",
                   "top-bottom deflated Sharpe ratio"):
        assert "<th>{}</th>".format(figure) in comparison
        value = summary.loc["reversal", (figure, "P_5")]
        probability = "p-value" in figure or "deflated" in figure
        shown = "{:.3f}".format(value)
        if probability and value < 0.001:
            shown = "&lt;0.001"
        elif probability and value > 0.999 and "p-" not in figure:
            shown = "&gt;0.999"
        assert ">{}</td>".format(shown) in comparison
    # The quantile step of the third run is missing: its cells are blank, not an error.
    assert np.isnan(summary.loc["ic only", ("top-bottom Sharpe ratio", "P_1")])

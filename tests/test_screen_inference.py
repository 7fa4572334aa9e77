import re

import numpy as np
import pandas as pd
import pytest
from statsmodels.stats.multitest import multipletests

import quellix
import quellix.rolling as R
import vestamo
from quellix.analysis import inference
from quellix.interface import Factor, UnaryFactor

# Some instruments of the small screens have no exposures on their first dates, on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:Neutralization:UserWarning")

START, END, SPLIT = "2019-02-01", "2019-12-31", "2019-09-02"
PERIODS = [1, 5]


@pytest.fixture(scope="module", autouse=True)
def market():
    previous = vestamo.set_market(vestamo.make_market(n_stocks=40, start_date="2019-01-01",
                                                      end_date="2020-06-30", seed=29))
    yield
    vestamo.set_market(previous)


@pytest.fixture(scope="module")
def universe():
    return vestamo.all_instruments(type="CS")["order_book_id"].tolist()


def broken(x):
    raise FloatingPointError("no values")


def candidates():
    close, volume, high, low = Factor("close"), Factor("volume"), Factor("high"), Factor("low")
    return {
        "reversal_5": R.MA(close, 5) / close - 1,
        "reversal_20": R.MA(close, 20) / close - 1,
        "momentum": R.MA(close, 10) / R.MA(close, 40) - 1,
        "volatility": R.STD(close / R.MA(close, 20), 20),
        "volume_rank": R.TS_RANK(volume, 10),
        "range": R.MA((high - low) / close, 10),
        "fails": UnaryFactor(broken, close),
    }


@pytest.fixture(scope="module")
def screened(universe):
    return quellix.screen(candidates(), universe, START, END, periods=PERIODS, progress=False, workers=2,
                          keep_results=True, cost=0.003)


@pytest.fixture(scope="module")
def held_out(universe):
    return quellix.screen(candidates(), universe, START, END, periods=PERIODS, progress=False, workers=2,
                          keep_results=True, split=SPLIT)


def test_adjusted_p_values_and_flags_follow_the_raw_figures(screened):
    ran = [n for n in screened.summary.index if n != "fails"]
    table = screened.summary.loc[ran]
    for period in ("P_1", "P_5"):
        assert (table[("trials", period)] == len(ran)).all()
        for kind in ("IC", "top-bottom"):
            raw = table[(kind + " p-value", period)].to_numpy()
            for label, method in (("Holm", "holm"), ("BY", "fdr_by")):
                np.testing.assert_allclose(table[("{} p-value ({})".format(kind, label), period)],
                                           multipletests(raw, method=method)[1])
            t_stat = table[(kind + " t-stat", period)]
            np.testing.assert_array_equal(table[(kind + " |t| > 3", period)], (t_stat.abs() > 3).astype(float))
    assert screened.summary.loc["fails"].drop(("error", "")).isna().all()


def test_deflated_sharpe_ratios_count_the_trials(screened):
    table = screened.summary.drop(index="fails")
    for kind in ("top-bottom", "factor-return"):
        for period in ("P_1", "P_5"):
            sharpe = table[(kind + " Sharpe ratio per row", period)].to_numpy()
            variance = np.var(sharpe, ddof=1)
            for name in table.index:
                row = table.loc[name]
                expected = inference.deflated_sharpe_ratio(
                    sharpe[list(table.index).index(name)], row[(kind + " rows", period)],
                    row[(kind + " skewness", period)], row[(kind + " kurtosis", period)], len(table), variance)
                assert row[(kind + " deflated Sharpe ratio", period)] == pytest.approx(expected)
            # Per-row and annualised Sharpe ratios agree.
            np.testing.assert_allclose(sharpe * np.sqrt(252), table[(kind + " Sharpe ratio", period)])


def test_net_figures_are_those_of_each_result_at_the_screens_cost(screened):
    for name in ("reversal_5", "volume_rank"):
        results = screened.results(name)
        quantile = results["quantile"].summary(cost=0.003)
        factor = results["factor_returns"].summary(cost=0.003)
        row = screened.summary.loc[name]
        for period in PERIODS:
            column = "P_{}".format(period)
            assert row[("top-bottom net Sharpe ratio", column)] == quantile.loc["top-bottom net Sharpe ratio", column]
            assert row[("factor-return net annualised return", column)] == factor.loc["net annualised return",
                                                                                        column]
            assert row[("factor-return mean turnover", column)] > 0
            assert row[("top-bottom net Sharpe ratio", column)] < row[("top-bottom Sharpe ratio", column)]


def test_split_gives_each_figure_before_and_after(held_out):
    results = held_out.results("reversal_5")
    ic = results["ic"].summary(split=SPLIT)
    quantile = results["quantile"].summary(split=SPLIT)
    row = held_out.summary.loc["reversal_5"]
    for column in ("P_1", "P_5"):
        for part in ("before", "after"):
            assert row[("IC IR " + part, column)] == pytest.approx(ic.loc["IC IR", (column, part)])
            assert row[("top-bottom net Sharpe ratio " + part, column)] == pytest.approx(
                quantile.loc["top-bottom net Sharpe ratio", (column, part)])
        assert row[("IC IR after/before", column)] == pytest.approx(
            row[("IC IR after", column)] / row[("IC IR before", column)])
    figures = {f for f, _ in held_out.summary.columns}
    assert "IC IR" not in figures and "IC p-value (BY) after/before" not in figures
    # Factors are chosen on the dates before the split.
    ranked = held_out.ranked("IC IR", period=5)
    order = held_out.summary[("IC IR before", "P_5")].sort_values(ascending=False, na_position="last").index
    assert list(ranked.index) == list(order) and "IR in" in ranked.columns


def test_bad_split_and_cost_stop_the_screen_before_it_runs(universe):
    factors = {"c": Factor("close")}
    with pytest.raises(ValueError, match="split: 2021-01-01 00:00:00 leaves no dates on one side"):
        quellix.screen(factors, universe, START, END, split="2021-01-01", progress=False)
    with pytest.raises(ValueError, match="cost: expect a finite number >= 0, got -1"):
        quellix.screen(factors, universe, START, END, cost=-1, progress=False)


@pytest.mark.parametrize("width", [60, 80, 132])
def test_printed_screen_fits_the_terminal(screened, held_out, width, monkeypatch):
    monkeypatch.setenv("COLUMNS", str(width))
    monkeypatch.setenv("LINES", "40")
    for result in (screened, held_out):
        lines = repr(result).splitlines()
        assert max(len(line) for line in lines) <= width
        assert any(line.startswith("failed: fails: FloatingPointError") for line in lines)
        with pd.option_context("display.width", width):
            shown = repr(result.ranked("top-bottom deflated Sharpe ratio", period=5))
        assert "..." not in shown and max(len(line) for line in shown.splitlines()) <= width
    columns = screened.table(width=width).columns
    assert "IR" in columns and len(columns) >= 2
    assert len(columns) <= len(screened.table(width=width + 40).columns)


def test_tables_on_request(screened):
    table = screened.table(period=5, figures=["IC p-value (Holm)", "top-bottom t-stat", "trials"])
    assert list(table.columns) == ["p Holm", "TB t", "trials"]
    np.testing.assert_allclose(table["TB t"], screened.summary[("top-bottom t-stat", "P_5")].round(3))
    with pytest.raises(KeyError, match=r"figures: \['IC\?'\] not figures"):
        screened.table(figures=["IC?"])
    with pytest.raises(KeyError, match="period: 3 is not among"):
        screened.table(period=3)
    notebook = screened._repr_html_()
    assert "<table" in notebook and "failed: fails: FloatingPointError" in notebook and "p BY" in notebook
    everything = screened.ranked("IC t-stat", period=1, figures="all")
    assert everything.columns.equals(screened.summary.columns)
    assert list(everything.index[-1:]) == ["fails"]


def test_report_of_a_screen_opens_with_the_comparison(screened, monkeypatch):
    from quellix.analysis import plotting
    from quellix.analysis.report import render_report

    def no_plots():
        raise ImportError("left out in this test")

    monkeypatch.setattr(plotting, "require_matplotlib", no_plots)
    page = render_report(screened)
    headings = re.findall(r"<h2>(.*?)</h2>", page)
    assert headings == ["Comparison"] + list(screened.summary.index)
    comparison = page[page.index("<h2>Comparison"):page.index("<h2>reversal_5")]
    # A row per factor and period, and one for the factor that failed, with its error.
    assert comparison.count("<tr") == 1 + 6 * len(PERIODS) + 1
    assert "FloatingPointError: no values" in comparison
    for figure in ("top-bottom net Sharpe ratio", "IC t-stat"):
        assert ">{:.3f}</td>".format(screened.summary.loc["momentum", (figure, "P_5")]) in comparison
    p_value = screened.summary.loc["momentum", ("IC p-value (BY)", "P_5")]
    assert (">&lt;0.001</td>" if p_value < 0.001 else ">{:.3f}</td>".format(p_value)) in comparison
    assert "with 6 trials" in comparison and "less 0.003 per unit of turnover" in comparison
    assert 'class="pass"' in comparison


def test_a_step_given_twice_gets_its_own_adjustments(universe):
    from quellix.analysis import assaycore as ac

    steps = [("ic", ac.ICAnalysis()), ("q5", ac.QuantileReturnAnalysis(quantile=5)),
             ("q10", ac.QuantileReturnAnalysis(quantile=10))]
    factors = {n: f for n, f in candidates().items() if n != "fails"}
    result = quellix.screen(factors, universe, START, END, periods=[5], steps=steps, progress=False, workers=2)
    for step in ("q5", "q10"):
        raw = result.summary[(step + ": top-bottom p-value", "P_5")].to_numpy()
        np.testing.assert_allclose(result.summary[(step + ": top-bottom p-value (Holm)", "P_5")],
                                   multipletests(raw, method="holm")[1])
        assert result.summary[(step + ": top-bottom deflated Sharpe ratio", "P_5")].between(0, 1).all()
    assert not result.summary[("q5: top-bottom p-value", "P_5")].equals(result.summary[("q10: top-bottom p-value",
                                                                                         "P_5")])


def test_report_of_a_split_screen_splits_its_sections(held_out, monkeypatch):
    from quellix.analysis import plotting
    from quellix.analysis.report import render_report

    monkeypatch.setattr(plotting, "require_matplotlib", lambda: (_ for _ in ()).throw(ImportError("no plots")))
    page = render_report(held_out)
    comparison = page[:page.index("<h2>reversal_5")]
    assert "<th>IC IR before</th>" in comparison and "<th>IC IR after</th>" in comparison
    assert "before 2019-09-02" in comparison
    assert page.count("<th>after/before</th>") >= 3 * 2 * (len(candidates()) - 1)

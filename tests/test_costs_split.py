import numpy as np
import pandas as pd
import pytest

from quellix.analysis import performance as perf
from quellix.analysis.analysis_result import (
    FactorReturnAnalysisResult, ICAnalysisResult, QuantileReturnAnalysisResult,
)

DATES = pd.bdate_range("2023-01-02", periods=4, name="datetime")


def cumulative(per_row):
    return np.cumprod(1 + np.asarray(per_row, dtype=float)) - 1


def quantile_result(daily, turnover, dates=DATES):
    """Two groups q1, q2 from per-row returns, top minus bottom their per-row difference, compounded."""
    tags = ["q1", "q2"]
    index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
    returns = pd.DataFrame({"P_1": np.concatenate([cumulative(daily[t]) for t in tags])}, index=index)
    turnover = pd.DataFrame({"P_1": np.concatenate([turnover[t] for t in tags])}, index=index)
    tmb = pd.DataFrame({"P_1": cumulative(np.subtract(daily["q1"], daily["q2"]))}, index=dates)
    return QuantileReturnAnalysisResult(quantile_turnover=turnover, quantile_returns=returns, quantile_detail=None,
                                        benchmark_return=None, top_minus_bottom_returns=tmb, name="q")


DAILY = {"q1": [0.0, 0.02, -0.01, 0.03], "q2": [0.0, -0.01, 0.005, 0.01]}
TURNOVER = {"q1": [np.nan, 0.5, 0.25, 0.0], "q2": [np.nan, 1.0, np.nan, 0.5]}


@pytest.mark.parametrize("cost", [0.0, 0.001, 0.01])
def test_net_long_short_figures_by_hand(cost):
    out = quantile_result(DAILY, TURNOVER).summary(cost=cost)["P_1"]
    # Per-row top minus bottom 0, 0.03, -0.015, 0.02; traded 0 (nothing held), 1.5, 0.25 (q2 held nothing), 0.5.
    net = np.array([0.0, 0.03 - 1.5 * cost, -0.015 - 0.25 * cost, 0.02 - 0.5 * cost])
    assert out["top-bottom mean turnover"] == pytest.approx((1.5 + 0.25 + 0.5) / 4)
    assert out["top-bottom net annualised return"] == pytest.approx(np.prod(1 + net) ** (252 / 4) - 1)
    assert out["top-bottom net Sharpe ratio"] == pytest.approx(net.mean() / net.std(ddof=1) * np.sqrt(252))
    if cost == 0:
        assert out["top-bottom net Sharpe ratio"] == pytest.approx(out["top-bottom Sharpe ratio"])
        assert out["top-bottom net annualised return"] == pytest.approx(out["top-bottom annualised return"])


def test_factor_portfolio_net_figures_need_its_turnover():
    curve = pd.DataFrame({"P_1": cumulative([0.01, -0.005, 0.02, 0.0])}, index=DATES)
    result = FactorReturnAnalysisResult(factor_returns=curve, name="fr")
    assert "net Sharpe ratio" not in result.summary().index
    result.turnover = pd.DataFrame({"P_1": [0.0, 0.4, np.nan, 0.2]}, index=DATES)
    out = result.summary(cost=0.005)["P_1"]
    net = np.array([0.01, -0.005 - 0.002, 0.02, -0.001])
    assert out["net Sharpe ratio"] == pytest.approx(net.mean() / net.std(ddof=1) * np.sqrt(252))
    assert out["net annualised return"] == pytest.approx(np.prod(1 + net) ** 63 - 1)
    assert out["mean turnover"] == pytest.approx(0.15)


@pytest.mark.parametrize("cost, error, match", [
    (-0.001, ValueError, r"cost: expect a finite number >= 0, got -0.001"),
    (np.nan, ValueError, "cost: expect a finite number"),
    ("0.1%", TypeError, r"cost: expect a number .*'0.1%'"),
    (None, TypeError, "cost: expect a number"),
])
def test_bad_costs_are_refused(cost, error, match):
    with pytest.raises(error, match=match):
        quantile_result(DAILY, TURNOVER).summary(cost=cost)


def test_factor_turnover_by_hand():
    factor = pd.DataFrame([[1.0, 2.0, 3.0], [3.0, 2.0, 1.0], [3.0, 2.0, 1.0], [1.0, np.nan, 3.0], [1.0, 2.0, 3.0]],
                          index=pd.bdate_range("2023-01-02", periods=5), columns=["a", "b", "c"])
    out = perf.factor_turnover(factor, [1, 2])
    # Row t holds the weights of row t - 1's factor: (-1/2, 0, 1/2), reversed, reversed, (-1/2, b kept at 0, 1/2).
    np.testing.assert_allclose(out["P_1"], [0, 0, 1.0, 0.0, 1.0])
    # Sub-portfolio 1 renews on rows 1 and 3 (weights of rows 0 and 2: a full reversal, one unit), sub-portfolio
    # 2 on rows 2 and 4 (rows 1 and 3: reversed again, one unit); each holds half the capital.
    np.testing.assert_allclose(out["P_2"], [0, 0, 0, 0.5, 0.5])


def ic_result(ic, decay=None):
    return ICAnalysisResult(ic=ic, ic_p_value=ic * 0 + 0.5, ic_decay=decay, ic_industry_distribute=None, name="ic")


def test_ic_before_a_split_leaves_out_dates_whose_returns_reach_past_it():
    dates = pd.bdate_range("2023-01-02", periods=10, name="datetime")
    values = np.array([0.1, 0.3, 0.2, 0.4, 0.1, -0.2, 0.5, 0.3, 0.2, 0.0])
    ic = pd.DataFrame({"P_1": values, "P_3": values}, index=dates)
    index = pd.MultiIndex.from_product([dates, [0, 1]], names=["datetime", "decay"])
    decay = pd.DataFrame({"P_1": np.repeat(values, 2), "P_3": np.repeat(values, 2)}, index=index)
    out = ic_result(ic, decay).summary(split=dates[6])
    assert list(out.columns.get_level_values("part")[:3]) == ["before", "after", "after/before"]
    # Six dates before the split; the IC over p rows of the last p of them uses returns after it.
    assert out[("P_1", "before")]["IC mean"] == pytest.approx(values[:5].mean())
    assert out[("P_3", "before")]["IC mean"] == pytest.approx(values[:3].mean())
    assert out[("P_1", "before")]["IC lag 1"] == pytest.approx(values[:4].mean())
    assert out[("P_3", "after")]["IC mean"] == pytest.approx(values[6:].mean())
    assert out[("P_1", "after/before")]["IC mean"] == pytest.approx(values[6:].mean() / values[:5].mean())
    assert out[("P_1", "after/before")][["IC p-value", "|IC| p-value"]].isna().all()


def test_returns_after_a_split_start_again_from_zero():
    daily = {"q1": [0.01, 0.02, -0.01, 0.03, 0.0, 0.01], "q2": [0.0, -0.01, 0.005, 0.01, 0.02, -0.02]}
    turnover = {"q1": [np.nan, 0.5, 0.25, 0.0, 0.1, 0.3], "q2": [np.nan, 1.0, 0.2, 0.5, 0.0, 0.4]}
    dates = pd.bdate_range("2023-01-02", periods=6, name="datetime")
    whole = quantile_result(daily, turnover, dates)
    out = whole.summary(cost=0.002, split=dates[3])
    first = quantile_result({t: v[:3] for t, v in daily.items()}, {t: v[:3] for t, v in turnover.items()}, dates[:3])
    later = quantile_result({t: v[3:] for t, v in daily.items()}, {t: v[3:] for t, v in turnover.items()}, dates[3:])
    pd.testing.assert_series_equal(out[("P_1", "before")], first.summary(cost=0.002)["P_1"], check_names=False)
    pd.testing.assert_series_equal(out[("P_1", "after")], later.summary(cost=0.002)["P_1"], check_names=False)
    curve = pd.DataFrame({"P_1": cumulative(daily["q1"])}, index=dates)
    fr = FactorReturnAnalysisResult(factor_returns=curve, name="fr").summary(split=dates[3])
    again = FactorReturnAnalysisResult(factor_returns=pd.DataFrame({"P_1": cumulative(daily["q1"][3:])},
                                                                   index=dates[3:]), name="fr").summary()
    pd.testing.assert_series_equal(fr[("P_1", "after")], again["P_1"], check_names=False)


@pytest.mark.parametrize("split, match", [
    ("not a date", "split: expect a date, got 'not a date'"),
    ("2030-01-01", "split: 2030-01-01 00:00:00 leaves no dates on one side"),
    (DATES[0], "leaves no dates on one side"),
])
def test_bad_splits_are_refused(split, match):
    with pytest.raises(ValueError, match=match):
        quantile_result(DAILY, TURNOVER).summary(split=split)

import numpy as np
import pandas as pd
import pytest
import scipy.stats as st
import statsmodels.api as sm

from quellix.analysis import performance as perf
from quellix.analysis.analysis_result import (
    FactorReturnAnalysisResult, ICAnalysisResult, QuantileReturnAnalysisResult,
)

DATES = pd.bdate_range("2023-01-02", periods=3, name="datetime")


def newey_west_t(x, lags):
    """Direct transcription: mean over its Bartlett-weighted HAC standard error, scaled by n / (n - 1)."""
    x = np.asarray(x, dtype=float)
    n = len(x)
    e = x - x.mean()
    s = e @ e / n
    for j in range(1, lags + 1):
        s += 2 * (1 - j / (lags + 1)) * (e[j:] @ e[:-j]) / n
    return x.mean() / np.sqrt(s / n * n / (n - 1))


def ar1(n, phi, mean, seed):
    rng = np.random.default_rng(seed)
    x = np.empty(n)
    x[0] = rng.normal()
    for t in range(1, n):
        x[t] = phi * x[t - 1] + rng.normal()
    return mean + 0.05 * x


# Return statistics, on series small enough to work out by hand.

def test_returns_sharpe_and_drawdown_by_hand():
    # Per-row returns +10%, -10%, +10%: mean a/3, std 2a/sqrt(3), so Sharpe = sqrt(3)/6 * sqrt(252) = sqrt(21).
    cum = pd.Series([0.10, -0.01, 0.089], index=DATES)
    np.testing.assert_allclose(perf.step_returns(cum), [0.1, -0.1, 0.1])
    assert perf.sharpe_ratio(perf.step_returns(cum), 252) == pytest.approx(np.sqrt(21))
    assert perf.volatility(perf.step_returns(cum), 252) == pytest.approx(0.2 / np.sqrt(3) * np.sqrt(252))
    assert perf.annualised_return(cum, 252) == pytest.approx(1.089 ** 84 - 1)
    # Wealth 1.2, 0.96, 1.08, 1.5, 1.2: two 20% falls from a peak.
    assert perf.max_drawdown([0.2, -0.04, 0.08, 0.5, 0.2]) == pytest.approx(-0.2)
    np.testing.assert_allclose(perf.drawdown([0.2, -0.04, 0.08]), [0, -0.2, -0.1])
    # The peak starts at 1: a loss on the first row is a drawdown.
    assert perf.max_drawdown([-0.1, 0.05]) == pytest.approx(-0.1)


def test_return_statistics_at_the_edges():
    # A missing row does not break the compounding.
    np.testing.assert_allclose(perf.step_returns([0.1, np.nan, 0.21]), [0.1, 0.1])
    for empty in ([], [np.nan]):
        assert np.isnan(perf.annualised_return(empty, 252)) and np.isnan(perf.max_drawdown(empty))
        assert np.isnan(perf.share_positive(empty))
    assert np.isnan(perf.volatility([0.01], 252)) and np.isnan(perf.sharpe_ratio([0.01], 252))
    assert np.isnan(perf.sharpe_ratio([0.01, 0.01, 0.01], 252))     # no deviation
    assert perf.annualised_return([0.5, -1.0], 252) == -1.0          # everything lost
    assert perf.max_drawdown([0.5, -1.0]) == -1.0
    assert np.isnan(perf.rank_correlation([1, 2, 3], [0.1, 0.1, 0.1]))
    assert perf.rank_correlation([1, 2, 3, 4], [0.3, np.nan, 0.2, 0.1]) == pytest.approx(-1)


def test_rows_per_year_daily_intraday_and_plain():
    assert perf.rows_per_year(pd.bdate_range("2023-01-02", periods=30)) == 252
    bars = pd.DatetimeIndex([d + pd.Timedelta(minutes=m) for d in pd.bdate_range("2023-01-02", periods=3)
                             for m in (570, 600, 780, 900)])
    assert perf.rows_per_year(bars) == 252 * 4
    assert perf.rows_per_year(pd.RangeIndex(5)) == perf.rows_per_year(pd.DatetimeIndex([])) == 252


def test_hac_t_statistic_on_an_autocorrelated_series():
    x = ar1(400, 0.6, 0.01, seed=3)
    for lags in (0, 1, 4, 9):
        t, p = perf.mean_t_test(x, lags)
        assert t == pytest.approx(newey_west_t(x, lags), rel=1e-10)
        own = sm.OLS(x, np.ones(len(x))).fit(cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": True})
        assert t == pytest.approx(own.tvalues[0], rel=1e-10)
        assert p == pytest.approx(2 * st.t.sf(abs(t), len(x) - 1), rel=1e-10)
    plain = st.ttest_1samp(x, 0.0)
    assert perf.mean_t_test(x, 0) == pytest.approx((plain.statistic, plain.pvalue), rel=1e-10)
    # Positive autocorrelation: the plain test overstates the evidence.
    assert abs(perf.mean_t_test(x, 4)[0]) < abs(plain.statistic)
    assert perf.mean_t_test(x[:3], 10)[0] == pytest.approx(newey_west_t(x[:3], 2))  # lags capped at n - 1
    assert np.isnan(perf.mean_t_test([0.1], 0)[0]) and np.isnan(perf.mean_t_test([0.2, 0.2], 0)[1])


# IC summary

def ic_result(ic, p_value, decay=None):
    return ICAnalysisResult(ic=ic, ic_p_value=p_value, ic_decay=decay, ic_industry_distribute=None, name="ic")


def test_ic_summary_on_a_tiny_table():
    dates = pd.bdate_range("2023-01-02", periods=4, name="datetime")
    # P_5's third date is the (0, 0) pair of a date with fewer than two usable pairs; P_1's is a real 0.
    ic = pd.DataFrame({"P_1": [0.1, 0.3, 0.0, 0.4], "P_5": [0.2, -0.1, 0.0, 0.3]}, index=dates)
    p_value = pd.DataFrame({"P_1": [0.5, 0.01, 1.0, 0.001], "P_5": [0.1, 0.2, 0.0, 0.05]}, index=dates)
    out = ic_result(ic, p_value).summary()
    assert list(out.columns) == ["P_1", "P_5"]
    p1, p5 = out["P_1"], out["P_5"]
    std1 = np.sqrt((0.1 ** 2 + 0.1 ** 2 + 0.2 ** 2 + 0.2 ** 2) / 3)
    assert (p1["IC mean"], p1["IC std"], p1["IC IR"]) == pytest.approx((0.2, std1, 0.2 / std1))
    assert (p1["IC > 0"], p1["dates"], p1["|IC| > 0"]) == pytest.approx((0.75, 4, 0.75))
    plain = st.ttest_1samp([0.1, 0.3, 0.0, 0.4], 0.0)
    assert (p1["IC t-stat"], p1["IC p-value"]) == pytest.approx((plain.statistic, plain.pvalue))
    std5 = np.sqrt(((0.2 - 0.4 / 3) ** 2 + (-0.1 - 0.4 / 3) ** 2 + (0.3 - 0.4 / 3) ** 2) / 2)
    assert (p5["IC mean"], p5["IC std"], p5["dates"]) == pytest.approx((0.4 / 3, std5, 3))
    assert (p5["IC > 0"], p5["|IC| mean"], p5["|IC| > 0"]) == pytest.approx((2 / 3, 0.2, 1.0))
    assert p5["IC t-stat"] == pytest.approx(newey_west_t([0.2, -0.1, 0.3], 2))
    assert p5["|IC| t-stat"] == pytest.approx(newey_west_t([0.2, 0.1, 0.3], 2))
    assert "IC lag 0" not in out.index


def test_ic_summary_hac_lags_follow_the_period():
    dates = pd.bdate_range("2020-01-01", periods=300, name="datetime")
    x = ar1(300, 0.7, 0.02, seed=11)
    ic = pd.DataFrame({"P_1": x, "P_10": x, "custom": x}, index=dates)
    out = ic_result(ic, ic * 0 + 0.5).summary()
    assert out.loc["IC t-stat", "P_1"] == pytest.approx(st.ttest_1samp(x, 0).statistic)
    assert out.loc["IC t-stat", "P_10"] == pytest.approx(newey_west_t(x, 9))
    assert out.loc["IC t-stat", "custom"] == pytest.approx(out.loc["IC t-stat", "P_1"])


def test_ic_decay_means_per_lag():
    dates = pd.bdate_range("2023-01-02", periods=3, name="datetime")
    ic = pd.DataFrame({"P_1": [0.1, 0.2, 0.3]}, index=dates)
    index = pd.MultiIndex.from_product([dates, [0, 1, 2]], names=["datetime", "decay"])
    decay = pd.DataFrame({"P_1": [0.1, 0.05, 0.0, 0.2, 0.07, -0.02, 0.3, 0.0, np.nan]}, index=index)
    out = ic_result(ic, ic * 0 + 0.1, decay).summary()["P_1"]
    # Lagged ICs of exactly 0 come from dates without usable pairs and are left out, like NaN.
    assert (out["IC lag 0"], out["IC lag 1"], out["IC lag 2"]) == pytest.approx((0.2, 0.06, -0.02))


def test_ic_summary_of_empty_and_missing_tables():
    empty = pd.DataFrame({"P_1": []}, index=pd.DatetimeIndex([], name="datetime"), dtype=float)
    out = ic_result(empty, empty).summary()
    assert out["P_1"].drop("dates").isna().all() and out.loc["dates", "P_1"] == 0
    nan = pd.DataFrame({"P_1": [np.nan, 0.1]}, index=DATES[:2])
    out = ic_result(nan, None).summary()
    assert out.loc["IC mean", "P_1"] == pytest.approx(0.1) and np.isnan(out.loc["IC std", "P_1"])


# Quantile summary

def quantile_tables(daily, tags, dates=DATES):
    """(tag, datetime) tables of cumulative returns from per-row returns, one list per tag."""
    index = pd.MultiIndex.from_product([tags, dates], names=["tag", "datetime"])
    daily = pd.DataFrame({"P_1": np.concatenate(daily)}, index=index)
    if daily.empty:
        return daily
    return daily.groupby(level="tag", sort=False).transform(lambda s: (1 + s).cumprod() - 1)


def test_quantile_summary_by_hand():
    tags = ["q1", "q2", "q3"]
    daily = [[0.0, 0.1, -0.05], [0.0, 0.0, 0.02], [0.0, -0.1, 0.05]]
    returns = quantile_tables(daily, tags)
    turnover = pd.DataFrame({"P_1": [np.nan, 0.5, 0.0, np.nan, 1.0, 0.5, 0.0, 0.0, 0.0]}, index=returns.index)
    tmb = pd.DataFrame({"P_1": [0.0, 0.2, 0.08]}, index=DATES)   # q1 - q3 per row: 0, 0.2, -0.1
    bench = pd.Series([0.0, 0.05, 0.05], index=DATES, name="000300.XSHG")
    result = QuantileReturnAnalysisResult(quantile_turnover=turnover, quantile_returns=returns, quantile_detail=None,
                                          benchmark_return=bench, top_minus_bottom_returns=tmb, name="q")
    out = result.summary()["P_1"]
    annual = {"q1": 1.045 ** 84 - 1, "q2": 1.02 ** 84 - 1, "q3": (0.9 * 1.05) ** 84 - 1}
    for tag in tags:
        assert out[tag + " annualised return"] == pytest.approx(annual[tag])
    assert out["q2 annualised volatility"] == pytest.approx(np.std([0, 0, 0.02], ddof=1) * np.sqrt(252))
    assert out["top-bottom Sharpe ratio"] == pytest.approx(np.sqrt(12))   # returns 0, 0.2, -0.1
    assert out["top-bottom max drawdown"] == pytest.approx(1.08 / 1.2 - 1)
    assert out["top-bottom annualised return"] == pytest.approx(1.08 ** 84 - 1)
    assert [out[t + " mean turnover"] for t in tags] == pytest.approx([0.25, 0.75, 0.0])
    assert out["monotonicity"] == pytest.approx(-1.0)       # q1 best, q3 worst
    assert out["benchmark annualised return"] == pytest.approx(1.05 ** 84 - 1)
    assert out["q1 excess annualised return"] == pytest.approx(annual["q1"] - (1.05 ** 84 - 1))


def test_quantile_groups_keep_label_order_past_nine():
    tags = ["q{}".format(i) for i in range(1, 11)]
    daily = [[0.0, 0.01 * (10 - i), 0.0] for i in range(10)]
    returns = quantile_tables(daily, tags)
    result = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=returns, quantile_detail=None,
                                          benchmark_return=None, top_minus_bottom_returns=None, name="q")
    out = result.summary()
    assert [i.split()[0] for i in out.index[:10]] == tags
    assert out.loc["monotonicity", "P_1"] == pytest.approx(-1.0)
    assert out.loc["q10 mean turnover"].isna().all() and out.loc["top-bottom Sharpe ratio"].isna().all()
    assert not any(i.startswith("benchmark") for i in out.index)


@pytest.mark.parametrize("dates", [DATES[:1], DATES[:0]])
def test_quantile_summary_of_short_and_empty_tables(dates):
    returns = quantile_tables([[0.0] * len(dates)] * 2, ["q1", "q2"], dates)
    tmb = pd.DataFrame({"P_1": [0.0] * len(dates)}, index=dates)
    result = QuantileReturnAnalysisResult(quantile_turnover=returns, quantile_returns=returns,
                                          quantile_detail=None, benchmark_return=pd.Series(0.0, index=dates),
                                          top_minus_bottom_returns=tmb, name="q")
    out = result.summary()["P_1"]
    assert np.isnan(out["monotonicity"]) and np.isnan(out["top-bottom annualised volatility"])
    if len(dates):
        assert out["q1 annualised return"] == 0.0 and np.isnan(out["q1 annualised volatility"])
    else:   # no rows name any group
        assert out.drop("benchmark annualised return").isna().all() and "q1 mean turnover" not in out


def test_quantile_summary_without_periods_and_with_a_malformed_index():
    index = pd.MultiIndex.from_product([["q1"], DATES], names=["tag", "datetime"])
    bare = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=pd.DataFrame(index=index),
                                        quantile_detail=None, benchmark_return=None,
                                        top_minus_bottom_returns=None, name="q")
    assert bare.summary().shape[1] == 0
    flat = QuantileReturnAnalysisResult(quantile_turnover=None, quantile_returns=pd.DataFrame({"P_1": [0.0]}),
                                        quantile_detail=None, benchmark_return=None,
                                        top_minus_bottom_returns=None, name="q")
    with pytest.raises(ValueError, match="quantile_returns must be indexed by"):
        flat.summary()


# Factor-return summary

def test_factor_return_summary_by_hand():
    table = pd.DataFrame({"P_1": [0.0, 0.2, 0.08], "P_5": [0.0, np.nan, 0.1]}, index=DATES)
    out = FactorReturnAnalysisResult(factor_returns=table, name="fr").summary()
    p1 = out["P_1"]
    assert p1["Sharpe ratio"] == pytest.approx(np.sqrt(12))            # returns 0, 0.2, -0.1
    assert p1["annualised volatility"] == pytest.approx(np.sqrt(21) / 30 * np.sqrt(252))
    assert (p1["max drawdown"], p1["positive dates"]) == pytest.approx((-0.1, 1 / 3))
    assert p1["annualised return"] == pytest.approx(1.08 ** 84 - 1)
    assert out.loc["annualised return", "P_5"] == pytest.approx(1.1 ** 126 - 1)   # two rows left


def test_factor_return_summary_of_intraday_rows():
    bars = pd.DatetimeIndex([d + pd.Timedelta(minutes=m) for d in DATES[:2] for m in (600, 660)])
    table = pd.DataFrame({"P_1": [0.0, 0.01, 0.0, 0.02]}, index=bars)
    out = FactorReturnAnalysisResult(factor_returns=table, name="fr").summary()
    assert out.loc["annualised return", "P_1"] == pytest.approx(1.02 ** (252 * 2 / 4) - 1)
    empty = FactorReturnAnalysisResult(factor_returns=pd.DataFrame(index=DATES), name="fr").summary()
    assert empty.shape == (5, 0)

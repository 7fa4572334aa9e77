import warnings

import numpy as np
import pandas as pd
import pytest
import vestamo

import portfolio_reference as ref
from quellix.analysis import assaycore as ac

IDS = ["{:06d}.XSHE".format(i) for i in range(100)]


def random_tables(seed, rows=14, cols=9, nan=0.15):
    """Factor and returns with the usual trouble: NaNs, ties, an all-NaN date, a
    constant date, an instrument the returns lack, returns dates and
    instruments the factor lacks, returns columns in another order."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-03-01", periods=rows + 3)
    factor = rng.normal(size=(rows, cols))
    tied = rng.random(factor.shape) < 0.4
    factor[tied] = np.round(factor[tied])
    factor[rng.random(factor.shape) < nan] = np.nan
    factor[3] = np.nan
    factor[5] = 2.0
    returns = rng.normal(0.0, 0.03, (rows + 3, cols))
    returns[rng.random(returns.shape) < nan] = np.nan
    ids = IDS[:cols]
    r = pd.DataFrame(returns, index=dates, columns=ids[1:] + ["600000.XSHG"])
    f = pd.DataFrame(factor, index=dates[2:rows + 2], columns=ids)
    return f, r[list(rng.permutation(r.columns))]


def labels_of(ranks_row, q):
    return ref.my_quantile(np.asarray(ranks_row, dtype=float), q=q, labels=np.array(["q{}".format(i + 1) for i in range(q)]))


def detail_row(values, quantile=5, ascending=True):
    """Labels our analysis gives one date's values."""
    n = len(values)
    factor = pd.DataFrame([values, values], index=pd.bdate_range("2022-01-03", periods=2), columns=IDS[:n], dtype=float)
    result = ac.QuantileReturnAnalysis(quantile).analysis(factor, factor * 0.0, [1], ascending=ascending)
    return result.quantile_detail.iloc[1].tolist()


@pytest.mark.parametrize("n, sizes", [(10, [2, 2, 2, 2, 2]), (7, [2, 1, 1, 1, 2]), (6, [2, 1, 1, 1, 1]),
                                      (3, [1, 0, 1, 0, 1]), (2, [1, 0, 0, 0, 1]), (1, [1, 0, 0, 0, 0])])
def test_group_sizes_and_order(n, sizes):
    labels = detail_row(np.arange(n) * 1.5)
    assert [labels.count("q{}".format(g)) for g in range(1, 6)] == sizes
    assert labels == sorted(labels)  # ascending: q1 holds the smallest values


def test_binning_repeats_numpys_floating_point_steps():
    # 6 groups, 19 ranks: the fifth edge is 15.999999999999998, so rank 16 is in q6.
    labels = detail_row(np.arange(19.0), quantile=6)
    assert labels[15] == "q6" and labels[14] == "q5"
    rng = np.random.default_rng(11)
    for _ in range(60):
        q, n = int(rng.integers(1, 13)), int(rng.integers(1, 70))
        values = rng.permutation(n).astype(float)
        assert detail_row(values, quantile=q) == list(labels_of(values + 1, q))


def test_ties_fill_groups_in_column_order_both_ways():
    for ascending in (True, False):
        assert detail_row(np.full(10, 3.0), ascending=ascending) == [g for g in ["q1", "q2", "q3", "q4", "q5"] for _ in (0, 1)]
    # Descending: the largest values go first, equal ones still in column order.
    assert detail_row([1.0, 5.0, 5.0, 0.0, 1.0, 5.0], quantile=3, ascending=False) == ["q2", "q1", "q1", "q3", "q3", "q2"]


@pytest.mark.parametrize("seed", range(6))
def test_agrees_with_direct_pandas_steps(seed):
    factor, returns = random_tables(seed)
    quantile = (1, 3, 5, 4, 7, 2)[seed]
    periods = [[1, 2, 3, 5], [3, 1], [4], [1, 6, 2], [2, 2, 13], [13, 1]][seed]
    ascending = seed % 2 == 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the period warning is checked elsewhere
        expected = ref.quantile_analysis(factor, returns, periods, quantile, ascending)
        result = ac.QuantileReturnAnalysis(quantile).analysis(factor, returns, periods, ascending=ascending)
    for ours, theirs in zip([result.quantile_returns, result.quantile_turnover, result.top_minus_bottom_returns],
                            expected[:3]):
        assert list(ours.columns) == list(theirs.columns)
        assert ours.index.equals(theirs.index) and ours.index.names == theirs.index.names
        np.testing.assert_allclose(ours.to_numpy(), theirs.to_numpy(), rtol=1e-12, atol=1e-14)
    pd.testing.assert_frame_equal(result.quantile_detail.astype(object), expected[3].astype(object))


def hand_tables():
    dates = pd.bdate_range("2022-01-03", periods=4)
    factor = pd.DataFrame([[3.0, 1.0, 2.0, 4.0], [1.0, 2.0, 3.0, 4.0], [4.0, 3.0, 2.0, 1.0], [0.0, 0.0, 0.0, 0.0]],
                          index=dates, columns=IDS[:4])
    returns = pd.DataFrame([[0.5, 0.5, 0.5, 0.5], [0.01, 0.02, 0.03, 0.04], [0.1, -0.1, 0.2, np.nan],
                            [0.05, 0.0, -0.05, 0.1]], index=dates, columns=IDS[:4])
    return factor, returns


def test_period_one_by_hand():
    factor, returns = hand_tables()
    res = ac.QuantileReturnAnalysis(2).analysis(factor, returns, [1], ascending=False)
    daily = (1 + res.quantile_returns["P_1"]).unstack("tag")
    daily = daily / daily.shift(1).fillna(1.0) - 1
    # q1 (largest of the day before): row 1 {0, 3}, row 2 {2, 3}, row 3 {0, 1}. Instrument 3 has
    # no return on row 2, hence no growth there and no base for row 3.
    np.testing.assert_allclose(daily["q1"], [0.0, (0.01 + 0.04) / 2, 0.2, (0.05 + 0.0) / 2], rtol=1e-13)
    np.testing.assert_allclose(daily["q2"], [0.0, (0.02 + 0.03) / 2, (0.1 - 0.1) / 2, -0.05], atol=1e-15)
    turnover = res.quantile_turnover["P_1"].unstack("tag")
    np.testing.assert_allclose(turnover["q1"], [np.nan, 0.0, 0.5, 1.0])
    np.testing.assert_allclose(res.top_minus_bottom_returns["P_1"].iloc[-1], 1.2 * 1.075 - 1, rtol=1e-13)


def test_start_up_rows_and_staggered_turnover():
    rng = np.random.default_rng(21)
    dates = pd.bdate_range("2022-01-03", periods=12)
    factor = pd.DataFrame(rng.normal(size=(12, 9)), index=dates, columns=IDS[:9])
    returns = pd.DataFrame(rng.normal(0, 0.02, (12, 9)), index=dates, columns=IDS[:9])
    res = ac.QuantileReturnAnalysis(3).analysis(factor, returns, [1, 3], ascending=False)
    daily = (1 + res.quantile_returns).groupby(level="tag").transform(lambda x: x / x.shift(1).fillna(1.0)) - 1
    detail = res.quantile_detail.to_numpy()
    r = returns.to_numpy()
    for g in ("q1", "q3"):
        at = daily.xs(g, level="tag")
        # Row 1: only sub-portfolio 1 has started, holding what period 1 holds.
        assert at["P_3"].iloc[1] == pytest.approx(at["P_1"].iloc[1], rel=1e-12)
        # Row 2: sub-portfolio 1 still holds row 1's members, bought at the close of row 0.
        held = detail[1] == g
        first = (1 + r[1, held]).mean()
        second = ((1 + r[1, held]) * (1 + r[2, held])).mean()
        assert at["P_3"].iloc[2] == pytest.approx((second / first - 1 + at["P_1"].iloc[2]) / 2, rel=1e-12)
        # After start-up, one of the three renews on each date; the others add zeros.
        turnover = res.quantile_turnover["P_3"].xs(g, level="tag").to_numpy()
        assert (turnover[1:4] == 0).all()
        for i in range(4, 12):
            now, before = detail[i] == g, detail[i - 3] == g
            assert turnover[i] == pytest.approx((now & ~before).sum() / now.sum() / 3, rel=1e-15)


def test_missing_groups_dates_and_instruments():
    dates = pd.bdate_range("2022-01-03", periods=5)
    factor = pd.DataFrame([[1.0, 2.0, 3.0], [np.nan] * 3, [3.0, 2.0, 1.0], [1.0, 2.0, 3.0], [1.0, 1.0, 1.0]],
                          index=dates, columns=IDS[:3])
    returns = pd.DataFrame(0.01 * np.arange(10.0).reshape(5, 2), index=dates, columns=IDS[1:3])  # IDS[0] missing
    res = ac.QuantileReturnAnalysis(5).analysis(factor, returns, [1])
    assert res.quantile_detail.iloc[[0, 2]].isna().all().all()
    assert res.quantile_detail.iloc[1].tolist() == ["q1", "q3", "q5"]
    turnover = res.quantile_turnover["P_1"].unstack("tag")
    assert turnover.loc[:, ["q2", "q4"]].isna().all().all()  # never held
    assert turnover.iloc[2].isna().all()  # nothing held after the all-NaN date
    growth = res.quantile_returns["P_1"].unstack("tag")
    assert (growth.iloc[2] == growth.iloc[1]).all()  # return 0 on the date after
    # q1 holds IDS[0] on rows 1 and 4: it has no returns, but it counts in the turnover.
    assert (growth["q1"].iloc[:3] == 0).all() and growth["q1"].iloc[4] == growth["q1"].iloc[3]
    np.testing.assert_array_equal(turnover["q1"], [np.nan, 0.0, np.nan, 1.0, 1.0])


def test_periods_too_long_warn_or_fail():
    factor, returns = random_tables(3, rows=10)
    analyser = ac.QuantileReturnAnalysis()
    with pytest.warns(UserWarning, match=r"^Invalid periods found: \[10, 20\], will ignore\.$"):
        res = analyser.analysis(factor, returns, [1, 5, 10, 20])
    assert list(res.quantile_returns.columns) == ["P_1", "P_5"]
    with pytest.raises(ValueError, match="^Invalid periods, must be less than 10$"):
        analyser.analysis(factor, returns, [10, 20])
    with pytest.raises(ValueError, match="periods"):
        analyser.analysis(factor, returns, [1, 0])
    assert list(analyser.analysis(factor, returns, (5, 1, 5)).quantile_turnover.columns) == ["P_5", "P_1"]


@pytest.mark.parametrize("quantile, error", [(0, ValueError), (-2, ValueError), (2.0, TypeError), (True, TypeError)])
def test_quantile_must_be_a_positive_integer(quantile, error):
    with pytest.raises(error, match="quantile"):
        ac.QuantileReturnAnalysis(quantile)
    analyser = ac.QuantileReturnAnalysis()
    analyser.quantile = quantile
    with pytest.raises(error, match="quantile"):
        analyser.analysis(*random_tables(0), [1])


def expected_benchmark(code, index):
    close = vestamo.get_price(code, index[0], index[-1], fields="close")["close"].droplevel("order_book_id")
    filled = close.reindex(index).ffill()
    return (1 + (filled / filled.shift(1) - 1).fillna(0)).cumprod() - 1


def test_benchmark_series():
    dates = pd.DatetimeIndex(["2020-01-02", "2020-01-03", "2020-01-04", "2020-01-06", "2020-01-07"])  # a Saturday
    factor = pd.DataFrame(np.arange(15.0).reshape(5, 3), index=dates, columns=IDS[:3])
    res = ac.QuantileReturnAnalysis(2, benchmark="000300.XSHG").analysis(factor, factor * 0.0, [1])
    expected = expected_benchmark("000300.XSHG", dates)
    pd.testing.assert_series_equal(res.benchmark_return, expected.rename("000300.XSHG"), rtol=1e-13)
    assert res.benchmark_return.iloc[0] == 0.0 and res.benchmark_return.iloc[2] == res.benchmark_return.iloc[1]


def test_benchmark_rejected_missing_or_absent(monkeypatch):
    with pytest.warns(UserWarning, match=r"^Invalid benchmark: 000001\.XSHE is not INDX order_book_id\.$"):
        assert ac.QuantileReturnAnalysis(benchmark="000001.XSHE").benchmark is None
    with pytest.warns(UserWarning, match="Invalid benchmark: NOPE"):
        assert ac.QuantileReturnAnalysis(benchmark="NOPE").benchmark is None
    minutes = pd.date_range("2020-01-02 09:31", periods=3, freq="min")
    analyser = ac.QuantileReturnAnalysis(benchmark="000300.XSHG")
    with pytest.warns(UserWarning, match=r"^No price data for benchmark \[000300\.XSHG\] from 2020-01-02 to 2020-01-02$"):
        assert analyser._load_benchmark_series(minutes) is None

    def no_client(*args, **kwargs):
        raise AssertionError("the client must not be asked")

    monkeypatch.setattr(vestamo, "get_price", no_client)
    monkeypatch.setattr(vestamo, "instruments", no_client)
    res = ac.QuantileReturnAnalysis().analysis(*random_tables(1), [1])
    assert res.benchmark_return is None and res.name == "FactorAnalysisStep"

"""Known answers for the alpha reference's operator conventions, worked by hand,
and every alpha run on an awkward random market."""

import numpy as np
import pandas as pd
import pytest

import alpha101_reference as ref
from alpha101_reference import (
    correlation, covariance, decay_linear, delay, delta, indneutralize, maximum, minimum,
    product, rank, scale, signedpower, stddev, ts_argmax, ts_argmin, ts_max, ts_mean,
    ts_min, ts_rank, ts_sum, where,
)

nan = np.nan


def frame(rows):
    rows = np.asarray(rows, dtype=float)
    return pd.DataFrame(rows, columns=[f"I{i}" for i in range(rows.shape[1])])


def column(values):
    return frame(np.asarray(values, dtype=float)[:, None])


def assert_values(result, expected):
    np.testing.assert_allclose(np.asarray(result, dtype=float), np.asarray(expected, dtype=float),
                               rtol=1e-12, atol=0)


# ---------------------------------------------------------------- cross-section
def test_rank_averages_ties_keeps_nan_and_tops_at_one():
    x = frame([[3, 1, 3, nan, 2], [5, 5, 5, 5, 5], [nan] * 5])
    assert_values(rank(x), [[0.875, 0.25, 0.875, nan, 0.5], [0.6] * 5, [nan] * 5])


def test_rank_of_a_comparison_ranks_its_ones_and_zeros():
    x = frame([[1, nan, 3]])
    assert_values(rank(x < 2), [[1, 0.5, 0.5]])


@pytest.mark.parametrize("row, a, expected", [
    ([1, -3, nan], 2.0, [0.5, -1.5, nan]),
    ([0, 0, nan], 1.0, [nan, nan, nan]),
    ([nan, nan, nan], 1.0, [nan, nan, nan]),
])
def test_scale_divides_by_the_dates_absolute_sum(row, a, expected):
    assert_values(scale(frame([row]), a), [expected])


def test_indneutralize_per_date_labels_skipping_nan_values():
    x = frame([[1, 3, 5, nan, 7], [1, 2, 3, 4, 5]])
    labels = pd.DataFrame([["A", "A", "B", "B", nan], ["B", "A", "A", "B", "A"]],
                          columns=x.columns, dtype=object)
    assert_values(indneutralize(x, labels), [
        [-1, 1, 0, nan, nan],
        [-1.5, 2 - 10 / 3, 3 - 10 / 3, 1.5, 5 - 10 / 3],
    ])


def test_indneutralize_without_any_label_is_nan():
    x = frame([[1, 2]])
    labels = pd.DataFrame([[nan, None]], columns=x.columns, dtype=object)
    assert_values(indneutralize(x, labels), [[nan, nan]])


# ---------------------------------------------------------------- time series
@pytest.mark.parametrize("values, expected", [
    ([3, 1, 3, 3, 2], [nan, nan, 2.5 / 3, 2.5 / 3, 1 / 3]),
    ([2, 2, 2, 1], [nan, nan, 2 / 3, 1 / 3]),
    ([1, nan, 3, 4, 5], [nan, nan, nan, nan, 1]),
])
def test_ts_rank_averages_ties_and_divides_by_the_window(values, expected):
    assert_values(ts_rank(column(values), 3), column(expected))


@pytest.mark.parametrize("function, values, expected", [
    (ts_argmax, [1, 5, 5, 2], [nan, nan, 2, 1]),
    (ts_argmax, [7, 7, 7, 7], [nan, nan, 1, 1]),
    (ts_argmin, [1, 5, 5, 2], [nan, nan, 1, 3]),
    (ts_argmin, [2, 1, 1, nan], [nan, nan, 2, nan]),
])
def test_ts_argmax_argmin_count_from_the_oldest_day(function, values, expected):
    assert_values(function(column(values), 3), column(expected))


def test_correlation_of_a_constant_window_is_nan():
    x = frame([[1, 5], [2, 5], [3, 5], [4, 5], [5, 6]])
    y = frame([[5, 1], [5, 2], [5, 3], [6, 4], [7, 5]])
    # (x, y) windows: col 0 has y constant at row 2; col 1 has x constant to row 3.
    assert_values(correlation(x, y, 3), [
        [nan, nan], [nan, nan], [nan, nan], [3 ** 0.5 / 2, nan], [1, 3 ** 0.5 / 2],
    ])


def test_stddev_and_covariance_divide_by_the_window():
    x = column([1, 2, 3, 0.7, 0.7, 0.7])
    variance = [nan, nan, 2 / 3, 2.66 / 3, 31.74 / 27, 0.0]
    assert_values(stddev(x, 3), column(np.sqrt(variance)))
    assert_values(covariance(x, 2 * x, 3), column(2 * np.array(variance)))


def test_decay_linear_weights_today_most():
    x = column([1, 2, 4, nan, 1])
    assert_values(decay_linear(x, 3), column([nan, nan, 17 / 6, nan, nan]))
    assert_values(decay_linear(x, 1), x)


WINDOWED = [ts_sum, ts_mean, product, ts_min, ts_max, ts_argmax, ts_argmin, ts_rank, stddev,
            decay_linear, lambda x, d: correlation(x, x * x, d), lambda x, d: covariance(x, -x, d)]


@pytest.mark.parametrize("function", WINDOWED)
def test_a_nan_anywhere_in_the_window_gives_nan(function):
    x = column([1, 4, 2, nan, 3, 5, 8, 6, 7])
    result = function(x, 3).iloc[:, 0].to_numpy()
    assert np.isnan(result[:2]).all() and np.isnan(result[3:6]).all()
    assert np.isfinite(result[2]) and np.isfinite(result[6:]).all()


@pytest.mark.parametrize("function", WINDOWED)
@pytest.mark.parametrize("d, floored", [(3.9, 3), (2.0001, 2), (0.5, 1), (-4, 1)])
def test_fractional_windows_are_floored_and_at_least_one(function, d, floored):
    x = column([1, 4, 2, 9, 3, 5, 8, 6, 7])
    pd.testing.assert_frame_equal(function(x, d), function(x, floored))


@pytest.mark.parametrize("d, shift", [(1.9, 1), (0.2, 1), (3, 3)])
def test_delay_and_delta_floor_their_lag(d, shift):
    x = column([1, 4, 2, 9, 3])
    assert_values(delay(x, d), x.shift(shift))
    assert_values(delta(x, d), x - x.shift(shift))


def test_window_longer_than_the_data_is_all_nan():
    assert ts_sum(column([1, 2]), 5).isna().all().all()


def _pandas_ts_rank(w):
    return (np.sum(w < w[-1]) + (np.sum(w == w[-1]) + 1) / 2) / len(w)


PANDAS_ROLLING = [
    (ts_sum, lambda r: r.sum()), (ts_mean, lambda r: r.mean()), (ts_min, lambda r: r.min()),
    (ts_max, lambda r: r.max()), (stddev, lambda r: r.std(ddof=0)),
    (ts_rank, lambda r: r.apply(_pandas_ts_rank, raw=True)),
    (ts_argmax, lambda r: r.apply(lambda w: np.argmax(w) + 1, raw=True)),
    (lambda x, d: correlation(x, x.cumsum(), d), None),
]


@pytest.mark.parametrize("function, pandas", PANDAS_ROLLING)
@pytest.mark.parametrize("d", [1, 4, 13])
def test_windows_equal_pandas_rolling_over_gappy_tick_data(function, pandas, d):
    rng = np.random.default_rng(d)
    x = frame(np.round(rng.normal(size=(80, 5)), 1))
    x[rng.random(x.shape) < 0.03] = nan
    rolling = x.rolling(d, min_periods=d)
    if pandas is None:
        expected = rolling.corr(x.cumsum())
        expected[x.rolling(d).max() == x.rolling(d).min()] = nan
    else:
        expected = pandas(rolling)
    np.testing.assert_allclose(function(x, d).to_numpy(), expected.to_numpy(), rtol=1e-10, atol=1e-12)


# ---------------------------------------------------------------- element-wise
def test_signedpower_keeps_the_sign_and_takes_expression_exponents():
    x = frame([[-2, 3, 0, nan]])
    assert_values(signedpower(x, 2), [[-4, 9, 0, nan]])
    assert_values(signedpower(x, frame([[3, 0.5, 2, 1]])), [[-8, 3 ** 0.5, 0, nan]])


def test_comparisons_with_nan_are_false_in_ternaries():
    x = frame([[-1, nan, 1]])
    assert_values(where(x < 0, 10, x * 2), [[10, nan, 2]])
    assert_values(where(~(x < 0), 10, 20), [[20, 10, 10]])


def test_min_max_of_two_expressions_are_element_wise():
    x, y = frame([[1, 5, nan]]), frame([[2, 3, 4]])
    assert_values(minimum(x, y), [[1, 3, nan]])
    assert_values(maximum(x, y), [[2, 5, nan]])


# ---------------------------------------------------------------- alphas
NEUTRALISED = {48, 58, 59, 63, 67, 69, 70, 76, 79, 80, 82, 87, 89, 90, 91, 93, 97, 100}


@pytest.fixture(scope="module")
def market():
    return ref.random_market(seed=3, dates=300, instruments=40)


@pytest.fixture(scope="module")
def alphas(market):
    return {k: ref.reference_alpha(k, market) for k in range(1, 102)}


def test_every_alpha_runs_and_is_finite_somewhere(market, alphas):
    for k, result in alphas.items():
        assert result.index.equals(market["close"].index) and result.columns.equals(market["close"].columns)
        assert result.dtypes.eq(np.float64).all(), k
        # Alpha 96's second branch needs 37 rows in a row of 3-row correlations
        # against a 4-row ts_rank of a 60-day mean, which is constant (NaN
        # correlation) about half the time, so its max is NaN almost everywhere.
        assert np.isfinite(result.to_numpy()).any() or k == 96, k


def test_alphas_leave_their_inputs_unchanged(market):
    before = {name: df.copy() for name, df in market.items()}
    for k in (1, 48, 100):
        ref.reference_alpha(k, market)
    for name, df in market.items():
        pd.testing.assert_frame_equal(df, before[name])


def changed(a, b):
    return not np.array_equal(a.to_numpy(), b.to_numpy(), equal_nan=True)


def test_exactly_the_neutralised_alphas_depend_on_industry(market, alphas):
    shuffled = dict(market)
    labels = market["industry"].to_numpy()
    shuffled["industry"] = pd.DataFrame(labels[:, ::-1], market["industry"].index, market["industry"].columns)
    depends = {k for k in alphas if changed(alphas[k], ref.reference_alpha(k, shuffled))}
    assert depends == NEUTRALISED


def test_cap_enters_alpha_56_only_and_adv_is_traded_value(market, alphas):
    weights = np.linspace(1, 3, market["close"].shape[1])
    recapped = dict(market, cap=market["cap"] * weights)
    assert {k for k in alphas if changed(alphas[k], ref.reference_alpha(k, recapped))} == {56}
    # Share volume alone must not move an alpha that reads volume only through adv.
    revolumed = dict(market, volume=market["volume"] * weights)
    for k in (25, 28, 32):
        assert not changed(alphas[k], ref.reference_alpha(k, revolumed)), k
    returnover = dict(market, total_turnover=market["total_turnover"] * weights)
    assert changed(alphas[25], ref.reference_alpha(25, returnover))


@pytest.mark.parametrize("k", [0, 102, 1.0, True, "1"])
def test_unknown_alpha_numbers_are_refused(market, k):
    with pytest.raises(ValueError, match="k must be an alpha number"):
        ref.reference_alpha(k, market)


def test_incomplete_or_misshapen_data_is_refused(market):
    with pytest.raises(ValueError, match="vwap"):
        ref.reference_alpha(1, {k: v for k, v in market.items() if k != "vwap"})
    with pytest.raises(ValueError, match="cap"):
        ref.reference_alpha(1, dict(market, cap=market["cap"].iloc[:10]))

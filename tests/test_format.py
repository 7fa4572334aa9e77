import numpy as np
import pandas as pd
import pytest

from quellix.analysis import assaycore as ac


def numpy_formatted(factor, returns, periods):
    """The formatted table computed with numpy on positions, without pandas arithmetic."""
    r = returns.to_numpy(dtype=float, na_value=np.nan)
    growth = np.where(np.isnan(r), 1.0, 1.0 + r).cumprod(axis=0)
    growth[~np.logical_or.accumulate(~np.isnan(r), axis=0)] = np.nan  # nothing to compound from yet
    common = [d for d in factor.index if d in set(returns.index)]
    rows = returns.index.get_indexer(common)
    out = {}
    for p in periods:
        block = np.full((len(rows), r.shape[1]), np.nan)
        inside = (rows + p >= 0) & (rows + p < len(r))
        block[inside] = growth[rows[inside] + p] / growth[rows[inside]] - 1.0
        out["P_{}".format(p)] = block.ravel()
    out["factor"] = np.array([factor.at[d, c] if c in factor.columns else np.nan
                              for d in common for c in returns.columns])
    return common, out


def random_tables(seed, n=40, m=7):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-03-01", periods=n)
    codes = ["{:06d}.XSHE".format(i) for i in range(m)]
    r = rng.normal(0.0, 0.03, (n, m))
    r[rng.random((n, m)) < 0.15] = np.nan
    r[:5, 1] = np.nan  # listed late
    r[:, 2] = np.nan  # never traded
    returns = pd.DataFrame(r, index=dates, columns=codes)
    # Other dates, a shuffled subset of the instruments and one unknown instrument.
    f_dates = dates[3:-2].append(pd.bdate_range(dates[-1] + pd.Timedelta(days=7), periods=3)).delete([2, 7])
    f_codes = list(rng.permutation(codes[:-1])) + ["999999.XSHG"]
    factor = pd.DataFrame(rng.normal(size=(len(f_dates), len(f_codes))), index=f_dates, columns=f_codes)
    return factor, returns


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("periods", [[1, 5, 10], [5, 1], [3, 3, 20], [60], [0, -2]])
def test_matches_independent_computations(seed, periods):
    factor, returns = random_tables(seed)
    f_before, r_before = factor.copy(), returns.copy()
    got = ac._format_factor_data(factor, returns, periods)

    common, expected = numpy_formatted(factor, returns, periods)
    assert list(got.columns) == list(expected)
    assert got.index.names == ["datetime", "order_book_id"]
    assert list(got.index) == [(d, c) for d in common for c in returns.columns]
    for key, values in expected.items():
        assert got[key].dtype == np.float64
        np.testing.assert_allclose(got[key].to_numpy(), values, rtol=1e-13, atol=0, equal_nan=True)
    # The pandas expression these numbers stand for, to the last bit.
    cum = (returns + 1).cumprod().ffill()
    for p in set(periods):
        pandas_values = ((cum.shift(-p) / cum).loc[common] - 1).to_numpy().ravel()
        np.testing.assert_array_equal(got["P_{}".format(p)].to_numpy(), pandas_values)
    pd.testing.assert_frame_equal(factor, f_before)
    pd.testing.assert_frame_equal(returns, r_before)


STORAGE = {
    "f_order": lambda df: pd.DataFrame(np.asfortranarray(df.to_numpy()), index=df.index, columns=df.columns),
    "strided_view": lambda df: pd.DataFrame(np.repeat(df.to_numpy(), 2, axis=1)[:, ::2], index=df.index,
                                            columns=df.columns),
    "mixed": lambda df: df.astype({df.columns[0]: np.float32}),
    "nullable": lambda df: df.astype("Float64"),
    "object": lambda df: df.astype(object),
    "int8": lambda df: (df.fillna(0) * 30).astype(np.int8),
    "bool": lambda df: df.fillna(0) > 0,
}


@pytest.mark.parametrize("kind", sorted(STORAGE))
def test_any_numeric_storage_gives_the_float64_result(kind):
    factor, returns = (STORAGE[kind](t) for t in random_tables(11))
    expected = ac._format_factor_data(factor.astype(float), returns.astype(float), [1, 3])
    pd.testing.assert_frame_equal(ac._format_factor_data(factor, returns, [1, 3]), expected)


def test_compounding_examples():
    dates = pd.date_range("2020-01-01", periods=5)
    flat = pd.DataFrame({"A": [0.1] * 5}, index=dates)
    got = ac._format_factor_data(flat, flat, [1, 2])
    np.testing.assert_allclose(got["P_1"], [0.1, 0.1, 0.1, 0.1, np.nan], equal_nan=True)
    np.testing.assert_allclose(got["P_2"], [0.21, 0.21, 0.21, np.nan, np.nan], equal_nan=True)
    # A missing return counts as zero; before the first return there is nothing to compound from.
    gap = pd.DataFrame({"A": [np.nan, 0.1, np.nan, 0.05, 0.2]}, index=dates)
    got = ac._format_factor_data(gap, gap, [2])
    np.testing.assert_allclose(got["P_2"], [np.nan, 0.05, 1.05 * 1.2 - 1, np.nan, np.nan], equal_nan=True)
    # Dates the factor lacks still compound into the dates that remain.
    np.testing.assert_allclose(ac._format_factor_data(flat.iloc[[0, 3]], flat, [2])["P_2"], [0.21, np.nan],
                               equal_nan=True)


def test_columns_follow_periods_and_returns_table():
    dates = pd.date_range("2020-01-01", periods=3)
    returns = pd.DataFrame(0.0, index=dates, columns=["b", "a", "c"])
    factor = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": [4.0, 5.0, 6.0], "z": [7.0, 8.0, 9.0]}, index=dates)
    got = ac._format_factor_data(factor, returns, [5, 1, 5])
    assert list(got.columns) == ["P_5", "P_1", "factor"]
    np.testing.assert_array_equal(got.xs(dates[1])["factor"], [5.0, 2.0, np.nan])
    with pytest.warns(UserWarning, match="no date in common.*factor_data runs from 2020-12-31"):
        empty = ac._format_factor_data(factor.shift(1, freq="365D"), returns, iter([1]))
    assert empty.shape == (0, 2) and empty.index.names == ["datetime", "order_book_id"]


def bad_inputs():
    good = pd.DataFrame(0.01, index=pd.date_range("2020-01-01", periods=3), columns=["a", "b"])
    repeated = pd.concat([good, good.iloc[[1]]]).sort_index()
    return [
        (good, good.astype(str), [1], TypeError, "returns: expect numeric values"),
        (good.astype(str), good, [1], TypeError, "factor_data: expect numeric values"),
        (good, good.astype(object).where(good.isna(), "x"), [1], TypeError, "holds string values"),
        (good, good, [1.0, True], TypeError, "periods: expect integers"),
        (good, repeated, [1], ValueError, "returns: the index repeats a date"),
        (good.rename(columns={"b": "a"}), good, [1], ValueError, "factor_data: the columns repeat an instrument"),
        (good, good, [2**70], ValueError, "periods: 1180591620717411303424 is out of range"),
    ]


@pytest.mark.parametrize("factor, returns, periods, error, message", bad_inputs())
def test_bad_input_is_rejected_clearly(factor, returns, periods, error, message):
    with pytest.raises(error, match=message):
        ac._format_factor_data(factor, returns, periods)


def test_return_fields():
    assert ac._get_return_fields(["P_1", "factor", "P_20", "PX"]) == ["P_1", "P_20"]
    with pytest.raises(AttributeError):
        ac._get_return_fields(["P_1", 3])


@pytest.mark.parametrize("stamps, expected", [
    (["2020-01-02", "2020-01-03"], "1d"),
    (["2020-01-02", "2020-01-02 09:31:00"], "1m"),
    (["2020-01-02", "2020-01-02 09:31:03"], "tick"),
    ([], "1d"),
    (["2020-01-02 15:00:00"], None),
    (["2020-01-02 00:00:00.000001"], None),
])
def test_datetime_freq(stamps, expected):
    for index in (pd.DatetimeIndex(stamps), pd.DatetimeIndex(stamps).tz_localize("Asia/Shanghai")):
        if expected is None:
            with pytest.raises(ValueError, match=r"^Unknown datetime index: DatetimeIndex\("):
                ac._is_date_frequency_index(index)
        else:
            assert ac._get_datetime_freq(index) == expected
            assert ac._is_date_frequency_index(index) is (expected == "1d")

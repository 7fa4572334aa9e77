import numpy as np
import pandas as pd
import pytest

from quellix.analysis import assaycore as ac
from quellix.analysis import winsorize

METHODS = ["none", "mad", "std", "percentile"]


def table(values, freq="D"):
    values = np.asarray(values, dtype=float)
    return pd.DataFrame(values, index=pd.date_range("2020-01-01", periods=len(values), freq=freq),
                        columns=pd.Index(["s%04d" % j for j in range(values.shape[1])], name="order_book_id"))


def random_rows(rng, n_dates, n_instruments):
    """Rows of every kind the fast path must treat like numpy: offsets, scales, ties, gaps, infinities."""
    scale = rng.choice([1.0, 1e-3, 1e6], size=(n_dates, 1))
    offset = rng.choice([0.0, 5.0, -1e8], size=(n_dates, 1))
    x = rng.standard_t(3, size=(n_dates, n_instruments)) * scale + offset
    x[::4] = np.round(x[::4])  # many ties
    x[rng.random(x.shape) < 0.15] = np.nan
    x[rng.random(x.shape) < 0.01] = np.inf
    x[rng.random(x.shape) < 0.01] = -np.inf
    x[1] = np.nan
    x[2, 1:] = np.nan
    if n_instruments > 3:
        x[3, :3] = [1e300, -1e300, 7.0]   # a range too wide to measure directly
        x[4, 0] = 1e12                     # one far outlier bunches the rest together
    return x


def applied(df, method):
    # The row with +-1e300 overflows numpy's squares; that is part of what is compared.
    with np.errstate(all="ignore"):
        return df.apply(winsorize.WINSORIZE_METHODS[method], axis=1)


def pandas_normalized(df):
    z = df.sub(df.mean(axis=1), axis=0).div(df.std(axis=1), axis=0)
    return z.where(~np.isinf(z), 0)


@pytest.mark.parametrize("n_instruments", [1, 2, 7, 8, 9, 64, 65, 129, 300, 2049])
def test_builtin_methods_give_the_functions_values_exactly(n_instruments):
    rng = np.random.default_rng(n_instruments)
    df = table(random_rows(rng, 40, n_instruments))
    for method in METHODS:
        got = ac.Winzorization(method).process(df)
        want = applied(df, method)
        np.testing.assert_array_equal(got.to_numpy(), want.to_numpy(), err_msg=method)
        assert got.index.equals(df.index) and got.columns.equals(df.columns)
        assert got.columns.name == "order_book_id" and (got.dtypes == np.float64).all()


@pytest.mark.parametrize("layout", ["C", "F", "strided", "int", "float32", "mixed"])
def test_any_memory_layout_and_dtype(layout):
    rng = np.random.default_rng(1)
    x = random_rows(rng, 30, 50)
    if layout == "C":
        df = pd.DataFrame(np.ascontiguousarray(x), copy=False)
    elif layout == "F":
        df = pd.DataFrame(np.asfortranarray(x), copy=False)
    elif layout == "strided":
        df = table(random_rows(rng, 60, 100)).iloc[::2, ::2]
    elif layout == "int":
        df = table(rng.integers(-50, 50, size=(30, 50)))
    elif layout == "float32":
        df = table(np.where(np.abs(x) < 1e30, x, np.nan)).astype(np.float32)
    else:
        df = table(x)
        df["s0000"] = rng.integers(0, 5, size=len(df))
    before = df.copy()
    for method in METHODS:
        np.testing.assert_array_equal(ac.Winzorization(method).process(df).to_numpy(), applied(df, method).to_numpy())
    pd.testing.assert_frame_equal(df, before)


def test_method_check_and_default():
    assert ac.Winzorization().method == "mad"
    assert ac.Winzorization(method="none").method == "none"
    with pytest.raises(ValueError) as err:
        ac.Winzorization(method="MAD")
    assert str(err.value) == "method: expect one of ('none', 'mad', 'std', 'percentile'), got MAD"
    assert ac.Winzorization.__init__.__doc__.startswith(" 离群值数据处理")


def test_a_replaced_function_is_applied_row_by_row(monkeypatch):
    df = table(random_rows(np.random.default_rng(2), 10, 20))
    seen = []

    def clip_at_one(row):
        seen.append(row.name)
        return row.clip(-1, 1)

    monkeypatch.setitem(ac.WINSORIZE_METHODS, "mad", clip_at_one)
    pd.testing.assert_frame_equal(ac.Winzorization("mad").process(df), df.apply(lambda r: r.clip(-1, 1), axis=1))
    assert seen[-len(df):] == list(df.index)
    # A built-in filed under another name is still computed by its own rule.
    monkeypatch.setitem(ac.WINSORIZE_METHODS, "mad", winsorize.winsorize_std)
    np.testing.assert_array_equal(ac.Winzorization("mad").process(df).to_numpy(), applied(df, "std").to_numpy())


def test_empty_tables_go_through_pandas():
    empty = table(np.empty((0, 3)))
    pd.testing.assert_frame_equal(ac.Winzorization().process(empty), empty.apply(winsorize.winsorize_mad, axis=1))


def test_normalization_row_rules():
    nan = np.nan
    got = ac.Normalization().process(table([
        [1, 2, 3],
        [1, nan, 3],
        [nan, 4, nan],          # one value: no sample deviation
        [0.1, 0.1, 0.1],        # all equal: 0 / 0 everywhere
        [0.0, 1e-200, nan],     # deviations square to 0: x / 0 becomes 0
        [1, np.inf, 2],         # an infinity leaves no finite deviation
        [nan, nan, nan],
    ])).to_numpy()
    r = np.sqrt(0.5)
    np.testing.assert_allclose(got[:2], [[-1, 0, 1], [-r, nan, r]], rtol=1e-15)
    assert np.isnan(got[2:4]).all() and np.isnan(got[5:]).all()
    np.testing.assert_array_equal(got[4], [0.0, 0.0, nan])


def test_normalization_matches_pandas_and_rows_are_independent():
    rng = np.random.default_rng(3)
    x = rng.standard_normal((50, 700)) * rng.uniform(0.1, 10, size=(50, 1)) + rng.uniform(-5, 5, size=(50, 1))
    x[rng.random(x.shape) < 0.2] = np.nan
    df = pd.DataFrame(np.asfortranarray(x), index=pd.date_range("2020-01-01", periods=50))
    before = df.copy()
    got = ac.Normalization().process(df)
    pd.testing.assert_frame_equal(got, pandas_normalized(df), rtol=1e-12, atol=1e-12)
    pd.testing.assert_frame_equal(df, before)
    single = df.astype(np.float32)
    pd.testing.assert_frame_equal(ac.Normalization().process(single), pandas_normalized(single), rtol=1e-5, atol=1e-5)
    shifted = df.copy()
    shifted.iloc[7] += 1000.0
    moved = ac.Normalization().process(shifted)
    pd.testing.assert_frame_equal(moved.drop(df.index[7]), got.drop(df.index[7]))
    np.testing.assert_allclose(moved.iloc[7], got.iloc[7], rtol=1e-10, atol=1e-10)

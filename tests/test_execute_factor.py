import numpy as np
import pandas as pd
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import quellix
import quellix.rolling as R
import vestamo
from quellix.interface import Factor

START, END = "2019-03-01", "2019-06-28"


@pytest.fixture(scope="module", autouse=True)
def market():
    previous = vestamo.set_market(vestamo.make_market(n_stocks=12, start_date="2019-01-01",
                                                      end_date="2019-12-31", seed=7))
    yield
    vestamo.set_market(previous)


@pytest.fixture(scope="module")
def codes():
    stocks = vestamo.all_instruments(type="CS").sort_values("listed_date")
    # The latest listing starts trading inside the test range, so its column opens with missing bars.
    return list(stocks.order_book_id.iloc[[0, 1, 2, -1]]) + ["999999.XSHE"]


def expression():
    close, volume = Factor("close"), Factor("volume")
    return R.TS_RANK(R.CORRELATION(close, volume, 5), 3) - R.MA(close, 2)


def reference(code, start, end, shift):
    """The expression computed for one instrument with centred numpy formulas."""
    first = vestamo.get_previous_trading_date(vestamo.get_trading_dates(start, end)[0], shift)
    dates = vestamo.get_trading_dates(first, end)
    px = vestamo.get_price(code, first, end, fields=["close", "volume"], adjust_type="post")
    px = pd.DataFrame(index=dates, columns=["close", "volume"], dtype=float) if px is None else \
        px.xs(code, level="order_book_id").reindex(dates)
    close, volume = px["close"].to_numpy(), px["volume"].to_numpy()
    with np.errstate(all="ignore"):
        corr = np.array([np.corrcoef(a, b)[0, 1] for a, b in zip(sliding_window_view(close, 5),
                                                                 sliding_window_view(volume, 5))])
    windows = sliding_window_view(corr, 3)
    rank = np.array([np.argsort(np.argsort(w, kind="stable"), kind="stable")[-1] / 3 for w in windows])
    ma = (close[1:] + close[:-1]) / 2
    return rank - ma[-len(rank):]


def test_nested_expression_matches_a_per_instrument_computation(codes):
    factor = expression()
    assert factor.shift == 6
    got = quellix.execute_factor(factor, codes, START, END)
    dates = vestamo.get_trading_dates(START, END)
    pd.testing.assert_index_equal(got.index, pd.DatetimeIndex(dates, name="datetime"))
    pd.testing.assert_index_equal(got.columns, pd.Index(codes, name="order_book_id"))
    assert (got.dtypes == np.float64).all()
    expected = np.column_stack([reference(code, START, END, 6) for code in codes])
    np.testing.assert_allclose(got.to_numpy(), expected, rtol=1e-9, atol=1e-9)
    assert got[codes[-1]].isna().all()
    assert got[codes[-2]].isna().any() and got[codes[-2]].notna().any()
    # Suspensions leave gaps, but a stock listed long before has values on most dates.
    assert got[codes[0]].notna().mean() > 0.8


def test_each_field_fetched_once_and_each_kernel_called_once_on_2d_arrays(codes, monkeypatch):
    prices, calls = [], []
    real_get_price = vestamo.get_price

    def recording_get_price(*args, **kwargs):
        prices.append(kwargs)
        return real_get_price(*args, **kwargs)

    def recording(name):
        kernel = getattr(R, name)

        def wrapper(*args):
            calls.append(name)
            assert all(a.ndim == 2 for a in args if isinstance(a, np.ndarray))
            return kernel(*args)

        wrapper.__name__ = name
        return wrapper

    monkeypatch.setattr(vestamo, "get_price", recording_get_price)
    for name in ("ts_rank", "correlation", "ma"):
        monkeypatch.setattr(R, name, recording(name))
    ids = list(codes)
    quellix.execute_factor(expression(), ids, START, END)
    assert ids == codes
    assert sorted(calls) == ["correlation", "ma", "ts_rank"]
    assert len(prices) == 1
    assert sorted(prices[0]["fields"]) == ["close", "volume"]
    assert prices[0]["adjust_type"] == "post"
    assert prices[0]["start_date"] == vestamo.get_previous_trading_date(START, 6)


@pytest.mark.parametrize("available", [0, 2, 5])
def test_history_before_the_calendar_start_is_nan(codes, available):
    calendar = vestamo.get_trading_dates("2019-01-01", "2019-03-29")
    factor = expression()
    got = quellix.execute_factor(factor, codes[:3], calendar[available], calendar[-1])
    assert len(got) == len(calendar) - available
    pad = factor.shift - available
    assert got.iloc[:pad].isna().all().all()
    full = quellix.execute_factor(factor, codes[:3], calendar[factor.shift], calendar[-1])
    pd.testing.assert_frame_equal(got.iloc[pad:], full)


def test_boolean_expressions_come_back_as_float(codes):
    got = quellix.execute_factor(Factor("close") > Factor("open"), codes[:2], START, END)
    px = vestamo.get_price(codes[:2], START, END, fields=["close", "open"], adjust_type="post")
    dates = vestamo.get_trading_dates(START, END)
    wide = {f: px[f].unstack("order_book_id").reindex(index=dates, columns=codes[:2]) for f in ("close", "open")}
    # As numpy compares: a day without a bar (NaN on both sides) compares false.
    expected = (wide["close"] > wide["open"]).astype(float)
    assert (got.dtypes == np.float64).all()
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())


def test_range_without_trading_dates_gives_an_empty_frame(codes):
    got = quellix.execute_factor(expression(), codes[:2], "2019-03-02", "2019-03-03")  # a weekend
    assert got.shape == (0, 2) and got.index.name == "datetime"
    assert list(got.columns) == codes[:2]


@pytest.mark.parametrize("factor, ids, error, message", [
    ("close", ["000001.XSHE"], TypeError, "AbstractFactor"),
    (Factor("close"), [], ValueError, "empty"),
    (Factor("close"), ["000001.XSHE", "000001.XSHE"], ValueError, "duplicates: 000001.XSHE"),
    (Factor("close"), [1], TypeError, "str codes"),
    (R.MA(Factor("close"), 2.0), ["000001.XSHE"], TypeError, r"ma\(close, 2.0\) has a non-integer shift 1.0"),
    (R.MA(Factor("close"), 0), ["000001.XSHE"], ValueError, "negative shift -1"),
])
def test_bad_arguments(factor, ids, error, message):
    with pytest.raises(error, match=message):
        quellix.execute_factor(factor, ids, START, END)

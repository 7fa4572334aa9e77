import datetime as dt

import numpy as np
import pandas as pd
import pytest

import vestamo
from vestamo import decorators
from vestamo.utils import to_date_str

CS = "000001.XSHE"
INDEX = "000300.XSHG"


@pytest.fixture(scope="module")
def default():
    return vestamo.get_market()


@pytest.fixture
def small():
    market = vestamo.make_market(n_stocks=40, start_date="2019-01-01", end_date="2020-12-31", seed=7)
    previous = vestamo.set_market(market)
    yield market
    vestamo.set_market(previous)


@pytest.mark.parametrize("date", ["2021-10-08", "20211008", dt.date(2021, 10, 8),
                                  dt.datetime(2021, 10, 8, 14, 30), pd.Timestamp("2021-10-08 09:31"),
                                  np.datetime64("2021-10-08")])
def test_dates_accepted_in_every_form(date):
    assert to_date_str(date) == "2021-10-08"
    # The day after National Day week: previous trading day is before the holiday.
    assert vestamo.get_previous_trading_date(date) == pd.Timestamp("2021-09-30")
    assert vestamo.get_trading_dates(date, date).equals(pd.DatetimeIndex(["2021-10-08"]))


@pytest.mark.parametrize("bad, error", [(None, TypeError), (True, TypeError), ("2021-13-01", ValueError),
                                        ("tomorrow", ValueError), (1.5, TypeError)])
def test_bad_dates_raise(bad, error):
    with pytest.raises(error):
        vestamo.get_trading_dates(bad, "2021-01-01")


def test_calendar_is_weekdays_minus_holidays(default):
    days = vestamo.get_trading_dates("2015-01-01", "2024-12-31")
    assert days.is_monotonic_increasing and days.is_unique
    assert 2380 <= len(days) <= 2480
    assert (days.day_of_week < 5).all()
    assert not days.normalize().difference(days).size
    assert not ((days.month == 10) & (days.day <= 7)).any()
    assert not ((days.month == 1) & (days.day == 1)).any()
    weekdays = pd.bdate_range("2015-01-01", "2024-12-31")
    assert 150 <= len(weekdays.difference(days)) <= 300
    # Inclusive on both ends, and clipped to the calendar.
    assert vestamo.get_trading_dates("2020-01-02", "2020-01-03").size == 2
    assert vestamo.get_trading_dates("1999-01-01", "2100-01-01").equals(default.calendar)
    assert vestamo.get_trading_dates("2020-01-03", "2020-01-02").size == 0
    # Published ahead: the calendar runs to the end of the year after the last bar.
    assert default.calendar[-1] == pd.Timestamp("2025-12-31") and days.equals(default.calendar[:len(days)])
    last_bar = vestamo.get_price(INDEX, fields="close").index.get_level_values("date")[-1]
    assert last_bar == days[-1]
    assert vestamo.get_price(INDEX, "2025-01-01", "2025-12-31") is None
    assert vestamo.get_style_factor_exposure(CS, "2025-01-01", "2025-12-31") is None


@pytest.mark.parametrize("date", ["2020-01-02", "2021-07-31", "2021-10-01", "2016-02-12"])
@pytest.mark.parametrize("n", [1, 3, 20])
def test_next_and_previous_match_calendar_positions(default, date, n):
    days = default.calendar
    day = pd.Timestamp(date)
    after = days[days > day]
    before = days[days < day]
    assert vestamo.get_next_trading_date(date, n) == after[n - 1]
    assert vestamo.get_previous_trading_date(date, n) == before[-n]


@pytest.mark.parametrize("call", [lambda: vestamo.get_next_trading_date("2025-12-31"),
                                  lambda: vestamo.get_previous_trading_date("2015-01-02"),
                                  lambda: vestamo.get_next_trading_date("2024-12-01", 0)])
def test_out_of_calendar_or_bad_n_raises(default, call):
    with pytest.raises(ValueError):
        call()
    with pytest.raises(TypeError):
        vestamo.get_previous_trading_date("2024-12-01", 1.0)


def test_price_layout(default):
    codes = [INDEX, "600000.XSHG", CS, "999999.XSHE"]
    df = vestamo.get_price(pd.Index(codes), "2020-01-01", "2020-03-31")
    assert list(df.columns) == ["open", "high", "low", "close", "volume"]
    assert df.index.names == ["order_book_id", "date"]
    assert df.index.is_unique and df.index.is_monotonic_increasing
    assert list(df.index.get_level_values(0).unique()) == sorted(codes[:3])
    days = vestamo.get_trading_dates("2020-01-01", "2020-03-31")
    assert df.loc[INDEX].index.equals(days)
    assert set(df.loc[CS].index) <= set(days)
    assert (df["low"] <= df[["open", "close"]].min(axis=1)).all()
    assert (df["high"] >= df[["open", "close"]].max(axis=1)).all()
    assert (df["volume"] > 0).all() and (df["volume"] % 100 == 0).all()
    single = vestamo.get_price(CS, "2020-01-01", "2020-03-31", fields="close")
    assert list(single.columns) == ["close"]
    series = vestamo.get_price(CS, "2020-01-01", "2020-03-31", fields="close", expect_df=False)
    pd.testing.assert_series_equal(series, single["close"])


def test_bars_do_not_depend_on_the_selection(default):
    # Intraday fields are derived on demand: they must not change with the query.
    whole = vestamo.get_price(vestamo.all_instruments()["order_book_id"], "2018-06-01", "2018-06-30")
    one = vestamo.get_price(CS, "2018-06-01", "2018-06-30")
    pd.testing.assert_frame_equal(one, whole.loc[[CS]])


def test_adjust_types(default):
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    frames = {a: vestamo.get_price(codes, fields="close", adjust_type=a)["close"] for a in ("none", "pre", "post")}
    factor = frames["post"] / frames["none"]
    by_stock = factor.groupby(level=0)
    # The adjustment factor only ever grows, and some stocks have events.
    assert (by_stock.diff().dropna() >= -1e-9).all()
    assert (by_stock.max() / by_stock.min() > 1.05).sum() > 50
    # Pre-adjusted prices are post-adjusted ones over each stock's latest factor.
    ratio = (frames["pre"] / frames["post"]).groupby(level=0)
    assert (ratio.max() / ratio.min() - 1).max() < 1e-9
    pre_ret = frames["pre"].groupby(level=0).pct_change()
    post_ret = frames["post"].groupby(level=0).pct_change()
    np.testing.assert_allclose(pre_ret.to_numpy(), post_ret.to_numpy(), rtol=1e-9, atol=1e-12, equal_nan=True)
    raw_ret = frames["none"].groupby(level=0).pct_change()
    # Splits show as price drops only in raw prices.
    assert (raw_ret < -0.2).sum() > 5 * max((post_ret < -0.2).sum(), 1)


def test_no_bars_before_listing_or_while_suspended(default):
    info = vestamo.all_instruments("CS").set_index("order_book_id")
    close = vestamo.get_price(list(info.index), fields="close")["close"].unstack(0)
    first = close.apply(pd.Series.first_valid_index)
    late = info["listed_date"] > default.calendar[0]
    assert late.sum() > 10
    assert (first[late] == info.loc[late, "listed_date"]).all()
    # A stock without bars in the range leaves no trace in the row index.
    code = late.idxmax()
    before = vestamo.get_price([code, CS], default.calendar[0], info.loc[code, "listed_date"] - pd.Timedelta(days=1))
    assert list(before.index.levels[0]) == [CS]
    assert vestamo.get_price(code, end_date=info.loc[code, "listed_date"] - pd.Timedelta(days=1)) is None
    after_listing = close.notna().cumsum() > 0
    gaps = (after_listing & close.isna()).sum()
    assert (gaps > 0).sum() > 100


@pytest.mark.parametrize("kwargs", [
    dict(order_book_ids="999999.XSHE"),
    dict(order_book_ids=[]),
    dict(order_book_ids=CS, start_date="2020-01-05", end_date="2020-01-01"),
    dict(order_book_ids=CS, start_date="2030-01-01", end_date="2030-12-31"),
    dict(order_book_ids=INDEX, frequency="1m"),
    dict(order_book_ids=INDEX, frequency="tick", fields=["close"]),
])
def test_price_none_when_nothing_matches(default, kwargs):
    assert vestamo.get_price(**kwargs) is None


@pytest.mark.parametrize("kwargs, error", [
    (dict(adjust_type="forward"), ValueError),
    (dict(fields="amount"), ValueError),
    (dict(fields=[]), ValueError),
    (dict(start_date="someday"), ValueError),
    (dict(frequency=1), TypeError),
])
def test_price_bad_arguments(default, kwargs, error):
    with pytest.raises(error):
        vestamo.get_price(CS, **kwargs)
    with pytest.raises(TypeError):
        vestamo.get_price(1)


def test_instruments_and_index(default):
    one = vestamo.instruments(CS)
    assert (one.order_book_id, one.type, one.exchange) == (CS, "CS", "XSHE")
    assert vestamo.instruments(INDEX).type == "INDX"
    assert vestamo.instruments("999999.XSHE") is None
    many = vestamo.instruments([CS, "999999.XSHE", INDEX])
    assert [i.order_book_id for i in many] == [CS, INDEX]
    table = vestamo.all_instruments()
    assert list(table.columns) == ["order_book_id", "symbol", "type", "listed_date", "exchange", "de_listed_date"]
    assert len(vestamo.all_instruments("CS")) == 500 and len(vestamo.all_instruments("INDX")) == 1
    members = vestamo.index_components(INDEX)
    assert len(members) == 300 and set(members) <= set(table["order_book_id"])
    assert vestamo.index_components("999999.XSHG") is None
    with pytest.raises(ValueError):
        vestamo.index_components(CS)
    with pytest.raises(ValueError):
        vestamo.all_instruments("ETF")


def test_index_tracks_cap_weighted_members(default):
    members = vestamo.index_components(INDEX)
    close = vestamo.get_price(members + [INDEX], fields="close", adjust_type="post")["close"].unstack(0)
    ret = close.pct_change(fill_method=None)
    corr = ret[INDEX].corr(ret[members].mean(axis=1))
    assert corr > 0.95


def test_style_exposures(default):
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    df = vestamo.get_style_factor_exposure(codes, "2020-01-01", "2020-03-31")
    assert df.index.names == ["order_book_id", "date"] and len(df.columns) == 10
    assert df.notna().all().all()
    by_date = df.groupby(level="date")
    np.testing.assert_allclose(by_date.mean().to_numpy(), 0.0, atol=1e-12)
    np.testing.assert_allclose(by_date.std(ddof=0).to_numpy(), 1.0, rtol=1e-12)
    daily = df["size"].unstack(0)
    assert daily.diff().abs().mean().mean() < 0.05
    two = vestamo.get_style_factor_exposure([CS], "2020-01-01", "2020-03-31", factors=["beta", "size"])
    pd.testing.assert_frame_equal(two, df.loc[[CS], ["beta", "size"]])
    assert vestamo.get_style_factor_exposure([INDEX], "2020-01-01", "2020-03-31") is None
    with pytest.raises(ValueError):
        vestamo.get_style_factor_exposure(codes, "2020-01-01", "2020-03-31", factors=["alpha"])


def stacked_exposures(market, codes, start, end, factors):
    """The exposure query by its formula on whole (stocks, dates) blocks: each date interpolated
    between the monthly knots, standardised across the stocks listed on it, then stacked."""
    t0, t1 = market.positions(pd.Timestamp(start), pd.Timestamp(end))
    t1 = min(t1, market._n_days)
    listed = (np.arange(t0, t1)[None, :] >= market._stock_listed_pos[:, None]).astype(float)
    count = np.maximum(listed.sum(axis=0), 1.0)
    t = np.arange(t0, t1)
    m = t // market._knot_step
    w = (t - m * market._knot_step) / market._knot_step
    stocks = list(market.instruments_frame["order_book_id"][market.instruments_frame["type"] == "CS"])
    wanted = np.isin(stocks, codes)
    keep = listed[wanted].astype(bool)
    columns = {}
    for name in factors:
        knots = market._knots[vestamo.market.STYLE_FACTORS.index(name)]
        # Stock-major, as a (stocks, dates) block is summed over its stocks one by one.
        x = np.ascontiguousarray((knots[m + 1] - knots[m]).T * w + knots[m].T)
        x *= listed
        x -= x.sum(axis=0) / count
        x *= listed
        std = np.sqrt(np.einsum("ij,ij->j", x, x) / count)
        x /= np.where(std > 0, std, 1.0)
        columns[name] = x[wanted][keep]
    rows, days = np.nonzero(keep)
    index = pd.MultiIndex.from_arrays([np.array(stocks, dtype=object)[wanted][rows], market.calendar[t0:t1][days]],
                                      names=["order_book_id", "date"])
    return pd.DataFrame(columns, index=index) if len(index) else None


@pytest.mark.parametrize("block", [None, 2, 5])
def test_exposures_equal_their_formula_bit_for_bit(small, monkeypatch, block):
    # Blocks of a few dates cross knot months and split queries between threads.
    if block is not None:
        monkeypatch.setattr(vestamo.market, "_BLOCK_DATES", block)
    codes = list(small.instruments_frame["order_book_id"])
    stocks = [c for c in codes if small.instrument(c).type == "CS"]
    late = [c for c in stocks if small.instrument(c).listed_date > pd.Timestamp("2019-01-10")]
    cases = [(codes, "2019-01-01", "2021-06-30", small.style_factors),
             (stocks[::3] + late, "2019-02-01", "2020-11-30", ("size", "beta", "growth")),
             (late, "2019-01-02", "2019-01-03", ("leverage",)),
             (stocks[:7] + ["999999.XSHE"], "2020-03-04", "2020-03-04", small.style_factors),
             (late[:1], "2019-01-01", "2019-01-09", small.style_factors)]
    for codes, start, end, factors in cases:
        got = vestamo.get_style_factor_exposure(codes, start, end, factors=list(factors))
        expected = stacked_exposures(small, codes, start, end, factors)
        if expected is None:
            assert got is None
            continue
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
        np.testing.assert_array_equal(got.to_numpy().view(np.int64), expected.to_numpy().view(np.int64))
        assert [c.dtype for c in got.index.codes] == [c.dtype for c in expected.index.codes]


def test_planted_reversal_is_detectable(default):
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    close = vestamo.get_price(codes, fields="close", adjust_type="post")["close"].unstack(0)
    factor = -(close / close.shift(5) - 1)
    forward = close.pct_change(fill_method=None).shift(-1)
    ok = factor.notna() & forward.notna()
    ic = factor.where(ok).rank(axis=1).corrwith(forward.where(ok).rank(axis=1), axis=1).dropna()
    # Without neutralisation the market's industry and style moves blur it, but not away.
    assert 0.01 <= ic.mean() <= 0.05 and ic.std() > 0.08
    assert ic.mean() / ic.std() * np.sqrt(len(ic)) > 4


def test_same_seed_same_data_and_market_swap(small):
    twin = vestamo.make_market(n_stocks=40, start_date="2019-01-01", end_date="2020-12-31", seed=7)
    other = vestamo.make_market(n_stocks=40, start_date="2019-01-01", end_date="2020-12-31", seed=8)
    ids = list(vestamo.all_instruments("CS")["order_book_id"])
    first = vestamo.get_price(ids)
    assert len(ids) == 40 and vestamo.get_trading_dates("2000-01-01", "2030-01-01")[0].year == 2019
    assert vestamo.set_market(twin) is small
    pd.testing.assert_frame_equal(vestamo.get_price(ids), first)
    vestamo.set_market(other)
    assert not vestamo.get_price(ids, fields="close").equals(first[["close"]])
    restored = vestamo.set_market(None)
    assert restored is other and len(vestamo.all_instruments("CS")) == 500
    with pytest.raises(TypeError):
        vestamo.set_market("default")


@pytest.mark.parametrize("kwargs", [dict(n_stocks=0), dict(n_stocks=2.5), dict(seed=-1),
                                    dict(start_date="2020-01-04", end_date="2020-01-05"),
                                    dict(n_stocks=50000)])
def test_make_market_rejects_bad_arguments(kwargs):
    with pytest.raises((ValueError, TypeError)):
        vestamo.make_market(**kwargs)


def test_ttl_cache(monkeypatch):
    now = [100.0]
    monkeypatch.setattr(decorators, "_clock", lambda: now[0])
    calls = []

    @decorators.ttl_cache(10)
    def load(source, scale=1):
        calls.append((source, scale))
        return [source] * scale

    first = load("a")
    assert load("a") is first and len(calls) == 1
    assert load("a", scale=2) == ["a", "a"] and load("b") == ["b"] and len(calls) == 3
    now[0] += 9.9
    assert load("a") is first and len(calls) == 3
    now[0] += 0.2
    assert load("a") is not first and len(calls) == 4
    load.cache_clear()
    load("a")
    assert len(calls) == 5
    assert load(["unhashable"]) == [["unhashable"]] and len(calls) == 6
    with pytest.raises(ValueError):
        decorators.ttl_cache(0)
    # Spelling out a default, or passing by keyword, is the same call.
    again = load("a")
    assert load("a", 1) is again and load(source="a", scale=1) is again and len(calls) == 6


def test_market_swap_drops_cached_results(small):
    @decorators.ttl_cache(10800)
    def count():
        return len(vestamo.all_instruments("CS"))

    assert count() == 40
    vestamo.set_market(None)
    assert count() == 500


def _rows(name):
    return vestamo.client.get_client().execute(name)


def test_industry_rows(default):
    citic = pd.DataFrame(_rows("__internal__zx2019_industry"), columns=["name", "order_book_id", "start_date"])
    assert 25 <= citic["name"].nunique() <= 35 and "银行" in set(citic["name"])
    assert not citic.duplicated(["order_book_id", "start_date"]).any()
    assert all(isinstance(d, pd.Timestamp) for d in citic["start_date"])
    listed = vestamo.all_instruments("CS").set_index("order_book_id")["listed_date"]
    first = citic.groupby("order_book_id")["start_date"].min()
    assert first.index.equals(listed.index.sort_values()) and (first <= listed[first.index]).all()
    assert (first < pd.Timestamp("2015-01-01")).any()
    assert citic["order_book_id"].value_counts().max() >= 2
    assert (~citic["start_date"].isin(default.calendar)).sum() > 0
    with pytest.raises(ValueError):
        _rows("__internal__unknown")


def test_shenwan_edition_selection(default):
    sw = pd.DataFrame(_rows("__internal__shenwan_industry"),
                      columns=["name", "order_book_id", "start_date", "version"])
    assert set(sw["version"]) == {1, 2, 3}

    def versions(date):
        return set(sw.loc[sw["start_date"] == pd.Timestamp(date), "version"])

    assert versions("2014-01-01") == {1, 2}
    assert versions("2021-07-31") == {2, 3}
    assert versions("2021-08-01") == {3}
    edition = np.select([sw["start_date"] > "2021-07-31", sw["start_date"] > "2014-01-01"], [3, 2], 1)
    kept = sw[sw["version"] == edition]
    assert not kept.duplicated(["order_book_id", "start_date"]).any()
    assert set(kept.loc[kept["start_date"] == "2014-01-01", "version"]) == {1}
    assert set(kept.loc[kept["start_date"] == "2021-07-31", "version"]) == {2}
    names = kept.groupby("version")["name"].apply(set)
    assert names[1] != names[2] != names[3]

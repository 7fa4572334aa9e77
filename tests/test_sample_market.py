"""The default sample market against what real A-share data looks like: limits, lock days,
traded value, capitalisation, special treatment, delistings, and the strength of its signals."""
import importlib.util
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import quellix
import vestamo

MAIN_JOB = pathlib.Path(__file__).resolve().parents[1] / "examples" / "factor_test.py"


@pytest.fixture(scope="module")
def market():
    return vestamo.get_market()


@pytest.fixture(scope="module")
def bars(market):
    """Every stock's raw bars with the previous bar's close and factor, and each bar's limits
    in ticks computed here from the exchange rules."""
    n = len(market.calendar)
    frame = market.raw_bars(0, n).reset_index()
    frame = frame[frame["order_book_id"] != "000300.XSHG"].reset_index(drop=True)
    by_code = frame.groupby("order_book_id", sort=False)
    prev_close, prev_adj = by_code["close"].shift(), by_code["adj_factor"].shift()
    code = frame["order_book_id"].str[:3]
    chinext = code.isin(["300", "301"]) & (frame["date"] >= pd.Timestamp("2020-08-24"))
    pct = np.where((code == "688") | chinext, 20.0, 10.0)
    pct = np.where((frame["is_st"] == 1) & (pct == 10), 5.0, pct)
    # The reference on an ex-date is the previous close over the adjustment multiplier.
    ref = np.rint(prev_close * 100 / (frame["adj_factor"] / prev_adj))
    frame["up"] = np.floor((ref * (100 + pct) + 50) / 100)
    frame["down"] = np.floor((ref * (100 - pct) + 50) / 100)
    frame["ex_date"] = frame["adj_factor"] != prev_adj
    # A listing day and the calendar's first day have no limit.
    frame["limited"] = prev_close.notna() & (frame["date"] > market.calendar[0])
    return frame


def test_prices_stay_within_the_limits(bars):
    limited = bars[bars["limited"]]
    slack = limited["ex_date"].astype(float)  # a multiplier read back from factors may round the other way
    for name in ("open", "high", "low", "close"):
        ticks = np.rint(limited[name] * 100)
        assert (ticks <= limited["up"] + slack).all() and (ticks >= limited["down"] - slack).all(), name
    at_up = np.rint(limited["close"] * 100) == limited["up"]
    at_down = np.rint(limited["close"] * 100) == limited["down"]
    # Closes at the limit happen, a few per thousand bars each way; more often under special treatment.
    assert 0.001 < at_up.mean() < 0.03 and 0.0005 < at_down.mean() < 0.03
    st = limited["is_st"] == 1
    assert (at_up | at_down)[st].mean() > 3 * (at_up | at_down)[~st].mean()
    # Each board's limit is reached: 5 % under special treatment, 10 % and 20 %.
    move = (limited["up"] / np.rint(limited["close"].groupby(limited["order_book_id"]).shift() * 100) - 1)
    assert {5, 10, 20} <= set(np.round(100 * move[at_up & ~limited["ex_date"]].dropna()).astype(int))


def test_lock_days_trade_at_one_price_more_often_on_small_caps(bars):
    limited = bars[bars["limited"]]
    ticks = np.rint(limited["close"] * 100)
    one_price = (limited["open"] == limited["high"]) & (limited["low"] == limited["high"]) & \
        (limited["close"] == limited["high"])
    locked = one_price & ((ticks == limited["up"]) | (ticks == limited["down"]))
    assert 0.001 < locked.mean() < 0.008
    small = limited.groupby("date")["market_cap"].rank(pct=True) < 1 / 3
    large = limited.groupby("date")["market_cap"].rank(pct=True) > 2 / 3
    assert locked[small].mean() > 1.5 * locked[large].mean()
    # Hardly anyone trades against a locked limit.
    assert limited.loc[locked, "volume"].median() < 0.5 * limited.loc[~locked, "volume"].median()


def test_traded_value_and_vwap_fit_every_bar(market, bars):
    vwap = bars["total_turnover"] / bars["volume"]
    assert (bars["volume"] > 0).all() and (bars["total_turnover"] > 0).all()
    assert (vwap >= bars["low"] * (1 - 1e-12)).all() and (vwap <= bars["high"] * (1 + 1e-12)).all()
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    asked = vestamo.get_price(codes, "2021-01-01", "2021-12-31", fields=["vwap", "total_turnover", "volume", "close"],
                              adjust_type="post")
    raw = vestamo.get_price(codes, "2021-01-01", "2021-12-31", fields=["vwap", "total_turnover", "close"],
                            adjust_type="none")
    # Adjusted like a price; traded value like volume, never.
    np.testing.assert_allclose(asked["vwap"] / raw["vwap"], asked["close"] / raw["close"], rtol=1e-12)
    pd.testing.assert_series_equal(asked["total_turnover"], raw["total_turnover"])
    np.testing.assert_allclose(raw["vwap"], raw["total_turnover"] / asked["volume"], rtol=1e-15)
    # An index has a volume but neither traded value nor capitalisation of its own.
    index = vestamo.get_price("000300.XSHG", "2021-01-01", "2021-12-31",
                              fields=["volume", "total_turnover", "vwap", "market_cap"])
    assert (index["volume"] > 0).all() and index.drop(columns="volume").isna().all().all()


def test_capitalisation_is_close_times_shares_that_change_on_a_few_events(bars):
    shares = bars["market_cap"] / bars["close"]
    np.testing.assert_allclose(shares, np.round(shares), rtol=1e-9)
    by_code = shares.groupby(bars["order_book_id"])
    changes = (by_code.diff().abs() > 0.5).groupby(bars["order_book_id"]).sum()
    assert changes.max() <= 6 and 0.2 < (changes > 0).mean() < 0.8
    # A split multiplies the shares by what it divides the raw price by (unless a dividend or a share
    # issue falls on the same day).
    step = bars["adj_factor"] / bars.groupby("order_book_id")["adj_factor"].shift()
    split = step > 1.2
    assert split.sum() > 20
    ratio = (shares / by_code.shift())[split] / step[split]
    assert (np.abs(ratio - 1) < 1e-6).mean() > 0.9
    cap = bars.groupby("date")["market_cap"].median()
    assert 2e9 < cap.median() < 3e10


def test_delisted_and_suspended_stocks_have_no_bars(market, bars):
    info = vestamo.all_instruments("CS").set_index("order_book_id")
    gone = info["de_listed_date"].dropna()
    assert 5 <= len(gone) <= 40 and (gone > info.loc[gone.index, "listed_date"]).all()
    last = bars.groupby("order_book_id")["date"].max()
    calendar = market.calendar
    # Bars stop the trading day before the delisting date; live stocks trade to the end.
    assert (last[gone.index] == calendar[calendar.searchsorted(gone.to_numpy()) - 1]).all()
    assert (last.drop(gone.index) == bars["date"].max()).mean() > 0.95
    assert vestamo.instruments(gone.index[0]).de_listed_date == gone.iloc[0]
    assert not set(gone.index) & set(vestamo.index_components("000300.XSHG"))
    exposures = vestamo.get_style_factor_exposure(list(gone.index), "2015-01-01", "2024-12-31", factors="size")
    assert (exposures.reset_index().groupby("order_book_id")["date"].max() == last[gone.index]).all()
    # Suspensions are runs of days without a bar, some of them months long.
    position = pd.Series(calendar.searchsorted(bars["date"].to_numpy()), index=bars.index)
    gap = position.groupby(bars["order_book_id"]).diff() - 1
    assert (gap > 0).sum() > 1000 and (gap >= 60).sum() > 20
    # A universe taken on a date holds the stocks listed then and not yet delisted.
    day = pd.Timestamp("2024-06-28")
    alive = info[(info["listed_date"] <= day) & ~(info["de_listed_date"] <= day)].index
    assert len(alive) < len(info) and set(bars.loc[bars["date"] == day, "order_book_id"]) <= set(alive)


def test_special_treatment_history(market, bars):
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    st = vestamo.is_st_stock(codes, "2015-01-01", "2024-12-31")
    assert (st.dtypes == bool).all() and list(st.columns) == codes
    assert st.index.equals(vestamo.get_trading_dates("2015-01-01", "2024-12-31"))
    assert 0.01 < st.to_numpy().mean() < 0.08
    # It agrees with every bar, and a delisting stock is under it just before the end.
    flags = bars.pivot(index="date", columns="order_book_id", values="is_st").reindex_like(st)
    held = flags.notna()
    np.testing.assert_array_equal(st.to_numpy()[held.to_numpy()], flags.to_numpy()[held.to_numpy()] == 1)
    gone = vestamo.all_instruments("CS").dropna(subset=["de_listed_date"])
    last = bars.groupby("order_book_id")["date"].max()[gone["order_book_id"]]
    assert all(st.loc[day, code] for code, day in last.items())
    # Later queries see the status in force on their first day; unknown codes are left out.
    part = vestamo.is_st_stock(codes[::-1] + ["999999.XSHE"], "2020-03-02", "2020-03-31")
    pd.testing.assert_frame_equal(part, st.loc["2020-03-02":"2020-03-31", codes[::-1]])
    assert vestamo.is_st_stock(["999999.XSHE"], "2020-03-02", "2020-03-31").shape == (len(part), 0)
    assert vestamo.is_st_stock(codes, "2020-03-31", "2020-03-02").shape == (0, len(codes))
    with pytest.raises(TypeError, match="order_book_ids"):
        vestamo.is_st_stock(1, "2020-03-02", "2020-03-31")


def test_new_fields_in_expressions(market):
    from quellix.interface import Factor
    codes = list(market.instruments_frame["order_book_id"])[:40]
    for name, adjust in (("vwap", "post"), ("total_turnover", "none"), ("market_cap", "none")):
        got = quellix.execute_factor(Factor(name) * 1.0, codes, "2022-01-04", "2022-03-31")
        px = vestamo.get_price(codes, "2022-01-04", "2022-03-31", fields=name, adjust_type=adjust)[name]
        expected = px.unstack(0).reindex(index=got.index, columns=got.columns)
        np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())


def _load_main_job():
    found = importlib.util.spec_from_file_location("factor_test_example", MAIN_JOB)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def main_job(market):
    """The main job's three factors through its pipeline on the default market, summarised."""
    job = _load_main_job()
    universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    out = {}
    for name, expression in job.candidate_factors().items():
        factor = quellix.execute_factor(expression, universe, "2019-01-02", "2023-12-29")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = job.pipeline().analysis(factor, "daily", ascending=False, periods=job.PERIODS)
        out[name] = (result["ic"].summary()["P_1"], result["quantile"].summary()["P_1"])
    return out


def test_the_main_job_finds_a_reversal_of_published_strength(main_job):
    ic, quantile = main_job["reversal_5d"]
    assert 0.02 <= ic["IC mean"] <= 0.05 and 0.08 <= ic["IC std"] <= 0.15
    assert 1.5 <= quantile["top-bottom Sharpe ratio"] <= 4.0
    # Not on every date: some weeks the reversal fails.
    assert 0.5 < ic["IC > 0"] < 0.7
    for other in ("momentum_60d", "volatility_20d"):
        other_ic, other_quantile = main_job[other]
        assert abs(other_ic["IC mean"]) < ic["IC mean"] and abs(other_ic["IC IR"]) < ic["IC IR"]
        assert abs(other_quantile["top-bottom Sharpe ratio"]) < quantile["top-bottom Sharpe ratio"]


def test_returns_split_into_market_industry_style_and_own_parts_as_documented(market):
    """Each date's returns: the cross-sectional mean (market), industry means around it, the
    style exposures' fit to what is left (least squares), and the residual; shares of the
    sum of squares over 2019-2023."""
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    start, end = "2019-01-02", "2023-12-29"
    close = vestamo.get_price(codes, start, end, fields="close", adjust_type="post")["close"].unstack(0)
    returns = close.pct_change(fill_method=None).iloc[1:]
    dates, columns = returns.index, returns.columns
    rows = pd.DataFrame(vestamo.client.get_client().execute("__internal__zx2019_industry"),
                        columns=["name", "order_book_id", "start_date"])
    names = rows.pivot(index="start_date", columns="order_book_id", values="name")
    industry = names.reindex(names.index.union(dates)).ffill().reindex(index=dates, columns=columns)
    exposures = vestamo.get_style_factor_exposure(codes, start, end)
    x = np.stack([exposures[f].unstack(0).reindex(index=dates, columns=columns).to_numpy()
                  for f in exposures.columns], axis=2)
    r = returns.to_numpy()
    ok = ~np.isnan(r) & ~np.isnan(x).any(axis=2) & industry.notna().to_numpy()
    r = np.where(ok, r, 0.0)
    count = ok.sum(axis=1)
    mean = r.sum(axis=1) / count
    long = pd.DataFrame({"date": np.nonzero(ok)[0], "industry": industry.to_numpy()[ok], "r": r[ok]})
    group = long.groupby(["date", "industry"])["r"].transform("mean").to_numpy()
    within = np.zeros_like(r)
    within[ok] = r[ok] - group
    xc = np.where(ok[:, :, None], x, 0.0)
    xc -= xc.sum(axis=1, keepdims=True) / count[:, None, None]
    xc *= ok[:, :, None]
    beta = np.linalg.solve(np.einsum("dik,dil->dkl", xc, xc), np.einsum("dik,di->dk", xc, within)[..., None])[..., 0]
    fit = np.einsum("dik,dk->di", xc, beta)
    total = (r ** 2).sum()
    share = {"market": (count * mean ** 2).sum() / total,
             "industry": ((group - mean[long["date"]]) ** 2).sum() / total,
             "style": (fit ** 2).sum() / total,
             "idiosyncratic": ((within - fit) ** 2).sum() / total}
    assert sum(share.values()) == pytest.approx(1.0, abs=1e-9)
    for part, (low, high) in vestamo.VARIANCE_SHARES.items():
        assert low <= share[part] <= high, (part, share[part])
    assert 0.35 <= share["market"] + share["industry"] <= 0.55
    dispersion = returns.std(axis=1)
    low, high = vestamo.DISPERSION
    assert low <= dispersion.median() <= high and dispersion.quantile(0.95) > 1.2 * dispersion.median()


@pytest.fixture(scope="module")
def twin():
    return vestamo.make_market()


@pytest.mark.parametrize("fields", [["vwap", "market_cap"], ["total_turnover"], ["open", "high", "low", "vwap"]])
def test_new_fields_do_not_depend_on_the_selection_or_the_build(market, twin, fields):
    codes = list(market.instruments_frame["order_book_id"])
    whole = vestamo.get_price(codes, "2020-08-01", "2020-09-30", fields=fields)
    one = vestamo.get_price(codes[200], "2020-08-01", "2020-09-30", fields=fields)
    pd.testing.assert_frame_equal(one, whole.loc[[codes[200]]])
    previous = vestamo.set_market(twin)
    try:
        pd.testing.assert_frame_equal(vestamo.get_price(codes, "2020-08-01", "2020-09-30", fields=fields), whole)
    finally:
        vestamo.set_market(previous)

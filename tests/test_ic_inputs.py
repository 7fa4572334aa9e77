"""IC analysis on awkward input: threads, tables out of order, tables that do
not meet, bad arguments, and steps replaced by a subclass."""
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import vestamo
from quellix.analysis import assaycore as ac

RESULT_TABLES = ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute")


def tables(seed, n_dates=120, n_ids=60):
    ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:n_ids]
    dates = vestamo.get_trading_dates("2020-01-01", "2020-12-31")[:n_dates]
    rng = np.random.default_rng(seed)
    factor = pd.DataFrame(rng.normal(size=(n_dates, n_ids)), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=(n_dates, n_ids)), index=dates, columns=ids)
    factor[factor > 1.5] = np.nan
    return factor, returns


def assert_same_result(got, expected):
    for name in RESULT_TABLES:
        if getattr(expected, name) is None:
            assert getattr(got, name) is None
        else:
            pd.testing.assert_frame_equal(getattr(got, name), getattr(expected, name))


def test_concurrent_analyses_give_their_serial_results():
    data = [tables(seed) for seed in range(4)]
    make = lambda: ac.ICAnalysis(industry_classification="citics_2019", max_decay=5)  # noqa: E731
    serial = [make().analysis(f, r, [1, 5]) for f, r in data]
    shared = make()
    results, failures = [], []

    # Threads only compute; comparing happens afterwards on the main thread,
    # because pandas' frame comparison toggles the process-wide warning filters.
    def run(i, analyser):
        f, r = data[i]
        for _ in range(6):
            try:
                results.append((i, (analyser or make()).analysis(f, r, [1, 5])))
            except Exception as exc:  # collected: an exception in a thread would be lost
                failures.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for analyser in (None, shared):
            threads = [threading.Thread(target=run, args=(i, analyser)) for i in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures[0]
    assert len(results) == 2 * 4 * 6
    for i, got in results:
        assert_same_result(got, serial[i])


def test_replaced_steps_are_called_and_the_result_is_unchanged():
    factor, returns = tables(1, 40, 30)
    calls = []

    class Logged(ac.ICAnalysis):
        def _calc_ic(self, factor_data):
            calls.append("ic")
            return super()._calc_ic(factor_data)

        def _calc_ic_decay(self, factor_data, ic):
            calls.append("decay")
            return super()._calc_ic_decay(factor_data, ic)

    expected = ac.ICAnalysis(max_decay=4).analysis(factor, returns, [1, 3])
    assert_same_result(Logged(max_decay=4).analysis(factor, returns, [1, 3]), expected)
    assert calls == ["ic", "decay"]
    # Replaced on the instance only.
    plain = ac.ICAnalysis(max_decay=4)
    plain._calc_ic_decay = lambda fd, ic: "mine"
    assert plain.analysis(factor, returns, [1, 3]).ic_decay == "mine"


def test_tables_out_of_date_order_are_read_in_date_order():
    factor, returns = tables(2, 60, 30)
    expected = ac.ICAnalysis(max_decay=3).analysis(factor, returns, [1, 5])
    for f, r in [(factor, returns.iloc[::-1]), (factor.iloc[::-1], returns), (factor.sample(frac=1, random_state=0), returns)]:
        before = r.copy()
        assert_same_result(ac.ICAnalysis(max_decay=3).analysis(f, r, [1, 5]), expected)
        pd.testing.assert_frame_equal(r, before)


def test_duplicate_returns_columns_are_refused():
    factor, returns = tables(3, 10, 4)
    returns.columns = [returns.columns[0]] * 2 + list(returns.columns[2:])
    with pytest.raises(ValueError, match="returns: the columns repeat an instrument"):
        ac.ICAnalysis().analysis(factor, returns, [1])


@pytest.mark.parametrize("shift, cause", [
    (lambda idx: idx + pd.Timedelta(hours=15), r"factor_data's dates carry a time of day \(such as 2020-01-02 15:00:00\)"),
    (lambda idx: idx.tz_localize("Asia/Shanghai"), r"factor_data's dates carry a time zone \(Asia/Shanghai\)"),
    (lambda idx: idx + pd.DateOffset(years=3), "factor_data runs from 2023-01-02"),
])
def test_tables_whose_dates_never_meet_warn_with_the_cause(shift, cause):
    factor, returns = tables(4, 10, 4)
    factor.index = shift(factor.index)
    if "time zone" in cause:
        # Instants of aware dates cannot be matched with naive ones without a guess.
        with pytest.raises(ValueError, match="the dates of factor_data carry a time zone \\(Asia/Shanghai\\) and those "
                                             "of returns do not"):
            ac.ICAnalysis().analysis(factor, returns, [1])
        return
    with pytest.warns(UserWarning, match="no date in common, so every result is empty: " + cause):
        result = ac.ICAnalysis().analysis(factor, returns, [1])
    assert result.ic.empty


@pytest.mark.parametrize("kwargs, call, error, message", [
    ({}, dict(periods=[0]), ValueError, "periods: expect integers >= 1, got 0"),
    ({}, dict(periods=[1, -5]), ValueError, "periods: expect integers >= 1, got -5"),
    ({}, dict(periods=[2**40]), ValueError, "periods: 1099511627776 is not shorter than the returns table"),
    ({}, dict(periods=[2**63]), ValueError, "periods: 9223372036854775808 is too large"),
    ({}, dict(periods=[1.0]), TypeError, "periods: expect integers"),
    ({"max_decay": -1}, dict(periods=[1]), ValueError, "max_decay: expect None or an integer >= 0, got -1"),
    ({"max_decay": True}, dict(periods=[1]), TypeError, "max_decay: expect None or an integer, got True"),
    ({"max_decay": 2.5}, dict(periods=[1]), TypeError, "max_decay: expect None or an integer"),
    ({}, dict(index=pd.RangeIndex(10)), ValueError, "factor_data: expect index type=pd.DatetimeIndex"),
])
def test_bad_arguments_name_themselves(kwargs, call, error, message):
    factor, returns = tables(5, 10, 4)
    if "index" in call:
        factor.index = call["index"]
    with pytest.raises(error, match=message):
        ac.ICAnalysis(**kwargs).analysis(factor, returns, call.get("periods", [1]))


def test_a_huge_max_decay_means_every_lag():
    factor, returns = tables(6, 12, 8)
    huge = ac.ICAnalysis(max_decay=2**63).analysis(factor, returns, [1]).ic_decay
    full = ac.ICAnalysis(max_decay=12).analysis(factor, returns, [1]).ic_decay
    pd.testing.assert_frame_equal(huge, full)


def test_engine_refuses_periods_below_one_before_fetching_prices(monkeypatch):
    factor, _ = tables(7, 10, 4)
    monkeypatch.setattr(vestamo, "get_price", lambda *a, **k: pytest.fail("prices fetched"))
    engine = ac.FactorAnalysisEngine()
    engine.append(("ic", ac.ICAnalysis()))
    with pytest.raises(ValueError, match="periods: expect integers >= 1, got 0"):
        engine.analysis(factor, "daily", periods=[5, 0])


def test_daily_error_names_the_earliest_and_latest_dates(monkeypatch):
    factor, _ = tables(8, 10, 4)
    monkeypatch.setattr(vestamo, "get_price", lambda *a, **k: None)
    engine = ac.FactorAnalysisEngine()
    engine.append(("ic", ac.ICAnalysis()))
    with pytest.raises(ValueError, match=r"from 2019-12-31 00:00:00 to 2020-01-16 00:00:00"):
        engine.analysis(factor.iloc[::-1], "daily", periods=[1])


def test_empty_formatted_table_is_handled():
    factor, returns = tables(9, 10, 4)
    fd = ac._format_factor_data(factor.iloc[:0], returns, [1])
    ic, p = ac.ICAnalysis()._calc_ic(fd)
    assert ic.empty and p.empty

"""Every place where two tables' dates meet gives the same answer whatever the
resolution (s, ms, us, ns) each side arrives in. pandas 1.x stores every date
in nanoseconds, so there the units collapse to one case."""
import datetime as dt

import numpy as np
import pandas as pd
import pytest

import quellix
import vestamo
from quellix.analysis import assaycore as ac
from quellix.interface import Factor
from quellix.rolling import MA

UNITS = ["s", "ms", "us", "ns"]


def in_unit(dates, unit):
    return pd.DatetimeIndex(np.asarray(pd.DatetimeIndex(dates), dtype="datetime64[{}]".format(unit)))


@pytest.fixture(scope="module")
def market():
    ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:40]
    dates = vestamo.get_trading_dates("2021-06-01", "2021-09-30")
    rng = np.random.default_rng(7)
    factor = pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=ids)
    returns = pd.DataFrame(rng.normal(scale=0.02, size=factor.shape), index=dates, columns=ids)
    return factor, returns


@pytest.fixture
def fresh_industry_cache():
    ac.get_all_industry_data.cache_clear()
    ac.get_all_industry_category.cache_clear()
    yield
    ac.get_all_industry_data.cache_clear()
    ac.get_all_industry_category.cache_clear()


def same_series(got, expected):
    assert list(got.astype(object)) == list(expected.astype(object))
    assert [(pd.Timestamp(d), i) for d, i in got.index] == [(pd.Timestamp(d), i) for d, i in expected.index]


@pytest.mark.parametrize("unit", UNITS)
def test_industry_labels_do_not_depend_on_the_requested_unit(market, unit):
    factor, _ = market
    expected = ac._load_industry_data(factor.columns, in_unit(factor.index, "ns"), "citics_2019")
    got = ac._load_industry_data(factor.columns, in_unit(factor.index, unit), "citics_2019")
    assert len(expected) == factor.size
    same_series(got, expected)


@pytest.mark.parametrize("source_unit", UNITS + ["date objects"])
def test_industry_labels_do_not_depend_on_the_source_unit(monkeypatch, fresh_industry_cache, source_unit):
    rows = [("银行", "A", "2021-06-07"), ("钢铁", "A", "2021-07-05"), ("煤炭", "B", "2021-06-01")]

    def start(text):
        if source_unit == "date objects":
            return dt.date.fromisoformat(text)
        return np.datetime64(text, source_unit)

    class Client:
        def execute(self, name):
            return [(n, c, start(d)) for n, c, d in rows]

    monkeypatch.setattr(vestamo.client, "get_client", Client)
    for unit in UNITS:
        dates = in_unit(["2021-06-04", "2021-06-07", "2021-07-02", "2021-07-05", "2021-08-02"], unit)
        labels = ac._load_industry_data(pd.Index(["A", "B"]), dates)
        assert list(labels.xs("A", level=1)) == ["银行", "银行", "银行", "钢铁", "钢铁"], unit
        assert list(labels.xs("B", level=1)) == ["煤炭"] * 5, unit


@pytest.mark.parametrize("factor_unit, returns_unit", [("s", "ns"), ("ns", "s"), ("ms", "us"), ("us", "us")])
def test_forward_returns_and_ic_by_industry_do_not_depend_on_units(market, factor_unit, returns_unit):
    factor, returns = market
    expected = ac._format_factor_data(factor, returns, [1, 5])
    f = factor.set_axis(in_unit(factor.index, factor_unit), axis=0)
    r = returns.set_axis(in_unit(returns.index, returns_unit), axis=0)
    got = ac._format_factor_data(f, r, [1, 5])
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())
    analyser = ac.ICAnalysis(industry_classification="citics_2019", max_decay=3)
    base, other = analyser.analysis(factor, returns, [1, 5]), analyser.analysis(f, r, [1, 5])
    for name in ("ic", "ic_p_value", "ic_decay", "ic_industry_distribute"):
        np.testing.assert_array_equal(getattr(other, name).to_numpy(), getattr(base, name).to_numpy())


@pytest.mark.parametrize("unit", UNITS)
def test_daily_returns_do_not_depend_on_the_factor_unit(market, unit):
    factor, _ = market
    engine = ac.FactorAnalysisEngine()
    engine.append(("ic", ac.ICAnalysis()))
    expected = engine.analysis(factor.copy(), "daily", periods=[1, 5])["ic"].ic
    got = engine.analysis(factor.set_axis(in_unit(factor.index, unit), axis=0), "daily", periods=[1, 5])["ic"].ic
    np.testing.assert_array_equal(got.to_numpy(), expected.to_numpy())
    assert (pd.DatetimeIndex(got.index) == pd.DatetimeIndex(expected.index)).all()


@pytest.mark.parametrize("unit", UNITS)
def test_evaluator_and_client_queries_take_dates_in_any_unit(unit):
    ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:5]
    start, end = (pd.Timestamp(np.datetime64(d, unit)) for d in ("2021-03-01", "2021-04-30"))
    expected = quellix.execute_factor(MA(Factor("close"), 5), ids, "2021-03-01", "2021-04-30")
    got = quellix.execute_factor(MA(Factor("close"), 5), ids, start, end)
    pd.testing.assert_frame_equal(got, expected)
    assert list(vestamo.get_trading_dates(start, end)) == list(vestamo.get_trading_dates("2021-03-01", "2021-04-30"))
    exposure = vestamo.get_style_factor_exposure(ids, start, end)
    assert exposure.equals(vestamo.get_style_factor_exposure(ids, "2021-03-01", "2021-04-30"))

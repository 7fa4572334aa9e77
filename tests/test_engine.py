import collections
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import vestamo

from quellix.analysis import assaycore as ac


class Recorder(ac.FactorAnalyser):
    def __init__(self):  # subclasses own their constructor; the base has none to call
        self.calls = []

    def analysis(self, factor_data, returns, periods, ascending=True):
        self.calls.append((factor_data, returns, periods, ascending))
        return self.step_name


class AddOne(ac.FactorPreprocessor):
    def process(self, factor_data):
        return factor_data + 1.0


class Double(ac.FactorPreprocessor):
    def process(self, factor_data):
        return factor_data * 2


def tables():
    dates = pd.bdate_range("2023-02-01", periods=6)
    rng = np.random.default_rng(3)
    return tuple(pd.DataFrame(rng.normal(size=(6, 3)), index=dates, columns=["a", "b", "c"]) for _ in range(2))


def engine_with(*steps):
    engine = ac.FactorAnalysisEngine()
    for step in steps:
        engine.append(step)
    return engine


def test_base_classes_and_fresh_engine():
    with pytest.raises(NotImplementedError, match="^Need implement FactorPreprocessor.process$"):
        ac.FactorPreprocessor().process(None)
    with pytest.raises(NotImplementedError, match="^Need implement FactorAnalyser.analysis$"):
        ac.FactorAnalyser().analysis(None, None, [1])
    engine = ac.FactorAnalysisEngine()
    assert engine.preprocess_pipelines == [] and engine._FactorAnalysisEngine__exists_step_names == []
    pipelines = engine.analysis_pipelines
    assert isinstance(pipelines, collections.defaultdict) and type(pipelines["absent"]) is ac.FactorAnalyser


@pytest.mark.parametrize("step, error, message", [
    (["s", Double()], TypeError, "Argument 'step' has incorrect type (expected tuple, got list)"),
    (collections.namedtuple("Step", "name proc")("s", Double()), TypeError,
     "Argument 'step' has incorrect type (expected tuple, got Step)"),
    (None, TypeError, "cannot unpack non-iterable NoneType object"),
    (("s", Double(), 1), ValueError, "too many values to unpack (expected 2)"),
    (("s",), ValueError, "not enough values to unpack (expected 2, got 1)"),
])
def test_append_rejects_malformed_steps(step, error, message):
    engine = ac.FactorAnalysisEngine()
    with pytest.raises(error) as info:
        engine.append(step)
    assert str(info.value) == message and engine._FactorAnalysisEngine__exists_step_names == []


def test_append_names_and_kinds():
    class Both(ac.FactorPreprocessor, ac.FactorAnalyser):
        process = AddOne.process

    pre, shared = ("pre", Double()), Recorder()
    engine = engine_with(pre, ("x", shared), ("y", shared), (1, Recorder()), ("both", Both()))
    assert engine.preprocess_pipelines[0] is pre
    assert [name for name, _ in engine.preprocess_pipelines] == ["pre", "both"]
    assert list(engine.analysis_pipelines) == ["x", "y", 1]
    assert engine.analysis_pipelines["x"] is shared and shared.step_name == "y"
    assert Recorder().step_name == ac.FactorAnalyser.step_name == "FactorAnalysisStep"

    with pytest.raises(RuntimeError) as info:
        engine.append(("pre", Recorder()))
    assert str(info.value) == "pipeline step name=pre already exists, please use another name."
    with pytest.raises(RuntimeError, match="name=1.0 already"):
        engine.append((1.0, Recorder()))
    with pytest.raises(ValueError) as info:
        engine.append(("s", 42))
    assert str(info.value) == "Invalid step=s, unknown processor=42"
    with pytest.raises(RuntimeError, match="name=s already"):  # the rejected step keeps its name
        engine.append(("s", Double()))


def test_order_snapshots_and_renaming():
    factor, returns = tables()
    x = Recorder()
    engine = engine_with(("A", AddOne()), ("X", x), ("B", Double()))
    result = engine.analysis(factor, returns, keep_preprocess_result=True, ascending=True, periods=[1, 2])

    assert list(result) == ["A", "B", "X"] and result["X"] == "X"
    pd.testing.assert_frame_equal(result["A"], factor + 1.0)
    pd.testing.assert_frame_equal(result["B"], (factor + 1.0) * 2)
    seen_factor, seen_returns, _, seen_ascending = x.calls[0]
    pd.testing.assert_frame_equal(seen_factor, result["B"])
    assert seen_factor is not result["B"] and seen_returns is returns and seen_ascending is True
    for table in (factor, returns):
        assert (table.index.name, table.columns.name) == ("datetime", "order_book_id")
    assert list(engine.analysis(factor, returns)) == ["X"] and x.calls[-1][3] is False

    with pytest.warns(UserWarning, match=r"^no pipelines to execute\.$"):
        assert ac.FactorAnalysisEngine().analysis("not a table", "Daily", periods="bad") is None


@pytest.mark.parametrize("periods, expected", [(5, [5]), (True, [True]), ((1, 5, 10), (1, 5, 10)), ([], [])])
def test_periods_reach_analysers_normalised(periods, expected):
    first, second = Recorder(), Recorder()
    engine_with(("first", first), ("second", second)).analysis(*tables(), periods=periods)
    got = first.calls[0][2]
    assert got == expected and type(got) is type(expected) and second.calls[0][2] is got


@pytest.mark.parametrize("factor_data, returns, periods, error, message", [
    ("factor", None, 1, ValueError, "factor_data: expect pd.DataFrame, got <class 'str'>"),
    (tables()[0].reset_index(drop=True), None, 1, ValueError,
     "factor_data: expect index type=pd.DatetimeIndex, got {}".format(pd.RangeIndex)),
    (tables()[0], [0.1], 1, ValueError, "returns: expect pd.DataFrame, got <class 'list'>"),
    (tables()[0], "Daily", 1, ValueError, 'returns: expect pd.DataFrame or "daily", got Daily'),
    (tables()[0], tables()[1], 1.5, AssertionError, "periods must be tuple/list/int, but got 1.5"),
    (tables()[0], "daily", [], ValueError, "empty"),
])
def test_analysis_rejects_bad_arguments(factor_data, returns, periods, error, message):
    recorder = Recorder()
    with pytest.raises(error) as info:
        engine_with(("x", recorder)).analysis(factor_data, returns, periods=periods)
    assert message in str(info.value) and recorder.calls == []


def test_periods_assertion_vanishes_under_optimisation():
    script = (
        "import pandas as pd\n"
        "from quellix.analysis import assaycore as ac\n"
        "class Keep(ac.FactorAnalyser):\n"
        "    def analysis(self, factor_data, returns, periods, ascending=True): return periods\n"
        "t = pd.DataFrame({'a': [0.1, 0.2]}, index=pd.date_range('2020-01-01', periods=2))\n"
        "e = ac.FactorAnalysisEngine(); e.append(('k', Keep()))\n"
        "print(e.analysis(t, t, periods=1.5)['k'])\n"
    )
    done = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[1.5]"


@pytest.fixture
def small_market():
    market = vestamo.make_market(n_stocks=12, start_date="2020-01-01", end_date="2020-12-31", seed=17)
    previous = vestamo.set_market(market)
    yield market
    vestamo.set_market(previous)


def market_factor(n_codes):
    codes = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:n_codes]
    dates = vestamo.get_trading_dates("2020-03-02", "2020-05-29")
    return pd.DataFrame(np.random.default_rng(5).normal(size=(len(dates), n_codes)), index=dates, columns=codes)


@pytest.mark.parametrize("periods, p_max, thin", [(3, 3, False), ((1, 5, 10), 10, True), ([2, 7], 7, True)])
def test_daily_returns_from_closing_prices(small_market, monkeypatch, periods, p_max, thin):
    factor = market_factor(8)
    fetched = {}
    real_get_price = vestamo.get_price

    def get_price(*args, **kwargs):
        prices = real_get_price(*args, **kwargs)
        if thin:  # extra gaps and a late first price, keeping one instrument whole so no date vanishes
            codes = prices.index.get_level_values(0)
            keep = (np.random.default_rng(8).random(len(prices)) > 0.3) | (codes == factor.columns[-1])
            keep[np.flatnonzero(codes == factor.columns[0])[:4]] = False
            prices = prices[keep]
        fetched["close"] = prices["close"].unstack(level=0)
        return prices

    monkeypatch.setattr(vestamo, "get_price", get_price)
    recorder = Recorder()
    engine_with(("x", recorder)).analysis(factor, "daily", periods=periods)
    returns = recorder.calls[0][1]

    close = fetched["close"].ffill()
    expected = (close / close.shift(1) - 1).iloc[1:].rename_axis(index="datetime", columns="order_book_id")
    pd.testing.assert_frame_equal(returns, expected, check_exact=True)
    assert returns.index[0] == factor.index[0]
    assert returns.index[-1] == vestamo.get_next_trading_date(factor.index[-1], p_max)
    if thin:
        late = returns[factor.columns[0]]
        assert late.iloc[:4].isna().all() and (returns.iloc[5:] == 0).any().any()


def test_daily_without_any_price_is_a_clear_error(small_market, monkeypatch):
    monkeypatch.setattr(vestamo, "get_price", lambda *args, **kwargs: None)
    with pytest.raises(ValueError, match="^returns: no close prices for the factor's instruments from "):
        engine_with(("x", Recorder())).analysis(market_factor(2), "daily")


@pytest.mark.parametrize("arrange", ["shuffled", "unsorted levels", "duplicate"])
def test_daily_returns_from_a_long_table_in_any_order(small_market, monkeypatch, arrange):
    factor = market_factor(6)
    real_get_price = vestamo.get_price
    fetched = {}

    def get_price(*args, **kwargs):
        prices = real_get_price(*args, **kwargs)
        prices = prices.iloc[np.random.default_rng(2).permutation(len(prices))]
        if arrange == "unsorted levels":
            codes, dates = (prices.index.get_level_values(k) for k in (0, 1))
            prices.index = pd.MultiIndex.from_arrays(
                [pd.Categorical(codes, categories=codes.unique()).astype(object), dates], names=prices.index.names)
            prices.index = prices.index.set_levels(prices.index.levels[1][::-1], level=1, verify_integrity=False)
        if arrange == "duplicate":
            prices = pd.concat([prices, prices.iloc[:1]])
        fetched["close"] = prices["close"]
        return prices

    monkeypatch.setattr(vestamo, "get_price", get_price)
    recorder = Recorder()
    if arrange == "duplicate":
        with pytest.raises(ValueError, match="duplicate entries"):
            engine_with(("x", recorder)).analysis(factor, "daily", periods=[2])
        return
    engine_with(("x", recorder)).analysis(factor, "daily", periods=[2])
    # Returns run in date order whatever order the levels list the dates in.
    close = fetched["close"].unstack(level=0).sort_index().sort_index(axis=1).ffill()
    expected = (close / close.shift(1) - 1).iloc[1:].rename_axis(index="datetime", columns="order_book_id")
    pd.testing.assert_frame_equal(recorder.calls[0][1], expected, check_exact=True)


def test_daily_returns_for_a_factor_starting_on_the_calendars_first_day(small_market):
    codes = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:5]
    dates = vestamo.get_trading_dates("2020-01-01", "2020-02-28")
    factor = pd.DataFrame(np.random.default_rng(1).normal(size=(len(dates), 5)), index=dates, columns=codes)
    recorder = Recorder()
    engine_with(("x", recorder)).analysis(factor, "daily", periods=[1])
    returns = recorder.calls[0][1]
    # The first day keeps its row (with no return of its own), so its forward returns exist.
    assert returns.index[0] == dates[0] and returns.iloc[0].isna().all()
    close = vestamo.get_price(codes, dates[0], dates[1], fields="close", adjust_type="post")["close"].unstack(0)
    np.testing.assert_allclose(returns.iloc[1], (close.iloc[1] / close.iloc[0] - 1).to_numpy(), rtol=0, atol=0)

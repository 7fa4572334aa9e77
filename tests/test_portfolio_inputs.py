"""What both portfolio analyses share: reading and matching the tables, threads, the engine."""

import threading
import warnings

import numpy as np
import pandas as pd
import pytest

from quellix.analysis import assaycore as ac
from test_quantile_returns import random_tables

ANALYSES = {
    "quantile": lambda f, r, periods: ac.QuantileReturnAnalysis(3, benchmark="000300.XSHG").analysis(f, r, periods),
    "factor": lambda f, r, periods: ac.FactorReturnAnalysis().analysis(f, r, periods),
}


def tables_of(result):
    names = ("quantile_returns", "quantile_turnover", "top_minus_bottom_returns", "quantile_detail", "benchmark_return",
             "factor_returns")
    return {name: getattr(result, name) for name in names if hasattr(result, name)}


def assert_same(a, b):
    for name, table in tables_of(a).items():
        other = tables_of(b)[name]
        assert type(table) is type(other)
        # Values only (the date unit may differ); NaN equals NaN in place.
        assert pd.DataFrame(table.to_numpy()).equals(pd.DataFrame(other.to_numpy())), name


def in_unit(table, unit):
    return table.set_axis(pd.DatetimeIndex(table.index.to_numpy().astype("datetime64[{}]".format(unit))), axis=0)


@pytest.mark.parametrize("kind", sorted(ANALYSES))
def test_dates_in_any_unit(kind):
    factor, returns = random_tables(4, rows=12)
    expected = ANALYSES[kind](factor, returns, [1, 3])
    for f_unit, r_unit in [("s", "s"), ("ms", "ms"), ("us", "us"), ("ns", "ns"), ("s", "ns"), ("ns", "ms")]:
        f, r = in_unit(factor, f_unit), in_unit(returns, r_unit)
        result = ANALYSES[kind](f, r, [1, 3])
        assert_same(result, expected)
        for table in tables_of(result).values():
            assert table.index.get_level_values(-1).unique().equals(f.index)


@pytest.mark.parametrize("kind", sorted(ANALYSES))
def test_two_threads_get_their_serial_results(kind):
    inputs = []
    for seed in (5, 6):
        rng = np.random.default_rng(seed)
        dates = pd.bdate_range("2021-01-04", periods=300)
        ids = ["{:06d}.XSHE".format(i) for i in range(400)]
        factor = pd.DataFrame(rng.normal(size=(300, 400)), index=dates, columns=ids)
        returns = pd.DataFrame(rng.normal(0, 0.02, (300, 400)), index=dates, columns=ids)
        inputs.append((factor.where(rng.random(factor.shape) > 0.1), returns))
    serial = [ANALYSES[kind](f, r, [1, 5, 10]) for f, r in inputs]
    results = [None, None]
    start = threading.Barrier(2)

    def run(k):
        start.wait()
        results[k] = ANALYSES[kind](*inputs[k], [1, 5, 10])

    threads = [threading.Thread(target=run, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for ours, alone in zip(results, serial):
        assert_same(ours, alone)


@pytest.mark.parametrize("kind", sorted(ANALYSES))
def test_bad_tables_are_refused(kind):
    factor, returns = random_tables(8, rows=8)
    before = factor.copy(), returns.copy()
    ANALYSES[kind](factor, returns, [2])
    pd.testing.assert_frame_equal(factor, before[0])
    pd.testing.assert_frame_equal(returns, before[1])
    repeated_date = factor.set_axis(factor.index[[0, 0, *range(2, 8)]], axis=0)
    repeated_id = returns.set_axis([returns.columns[1], *returns.columns[1:]], axis=1)
    with pytest.raises(ValueError, match="factor_data: the index repeats a date"):
        ANALYSES[kind](repeated_date, returns, [2])
    with pytest.raises(ValueError, match="returns: the columns repeat an instrument"):
        ANALYSES[kind](factor, repeated_id, [2])
    with pytest.raises(TypeError, match="returns: expect pd.DataFrame"):
        ANALYSES[kind](factor, returns.to_numpy(), [2])
    with pytest.raises(TypeError, match="factor_data: expect numeric values"):
        ANALYSES[kind](factor.astype(str), returns, [2])


def test_engine_runs_both_on_daily_returns():
    dates = pd.bdate_range("2021-06-01", periods=30)
    ids = ["{:06d}.XSHE".format(i) for i in range(1, 41)]
    factor = pd.DataFrame(np.random.default_rng(0).normal(size=(30, 40)), index=dates, columns=ids)
    engine = ac.FactorAnalysisEngine()
    engine.append(("quantile", ac.QuantileReturnAnalysis(benchmark="000300.XSHG")))
    engine.append(("factor_return", ac.FactorReturnAnalysis()))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = engine.analysis(factor, "daily", periods=[1, 5])
    assert list(result) == ["quantile", "factor_return"]
    assert result["quantile"].name == "quantile" and result["factor_return"].name == "factor_return"
    assert result["quantile"].quantile_returns.shape == (5 * 30, 2)
    assert result["quantile"].quantile_detail.index.name == "datetime"
    assert np.isfinite(result["factor_return"].factor_returns.to_numpy()).all()

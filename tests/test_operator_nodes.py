"""The operators as expression nodes: shifts, alignment, NaN truth rules, evaluation over a market."""
import numpy as np
import pandas as pd
import pytest

import quellix
import vestamo
from quellix import rolling as R
from quellix.analysis import assaycore as ac
from quellix.graph import FactorGraph
from quellix.interface import Factor
from quellix.evaluate import _evaluate
from quellix.operators import (ABS, CS_ZSCORE, DELAY, DELTA, GROUP_RANK, INDNEUTRALIZE, LOG, MAX, MIN, POWER, RANK,
                               SCALE, SIGN, SIGNEDPOWER, WHERE)

close, open_ = Factor("close"), Factor("open")
X = np.array([[1.0, -2.0, np.nan], [3.0, 0.0, 4.0], [-1.0, 5.0, 2.0], [2.0, 2.0, np.nan]])
Y = np.array([[2.0, -2.0, 1.0], [np.nan, 1.0, 0.0], [0.0, 5.0, 3.0], [1.0, 2.0, 2.0]])


def evaluate(node):
    with np.errstate(all="ignore"):
        return np.asarray(_evaluate(node.expr, {"close": X, "open": Y}), dtype=float)


@pytest.mark.parametrize("node, expected, shift, text", [
    (DELAY(close, 1), X[:-1], 1, "delay(close, 1)"),
    (DELAY(close, 2.7), X[:-2], 2, "delay(close, 2)"),
    (DELTA(close, 0.4), X[1:] - X[:-1], 1, "delta(close, 1)"),
    (LOG(close), None, 0, "log(close)"),
    (SIGN(close), np.sign(X), 0, "sign(close)"),
    (ABS(close), np.abs(X), 0, "abs(close)"),
    (SIGNEDPOWER(close, 2), np.sign(X) * X ** 2, 0, "signedpower(close, 2)"),
    (POWER(close, 2), X ** 2, 0, "(close ** 2)"),
    (MIN(close, open_), np.minimum(X, Y), 0, "minimum(close, open)"),
    (MAX(close, 1.5), np.maximum(X, 1.5), 0, "maximum(close, 1.5)"),
    (WHERE(close > open_, close, -1), np.where(X > Y, X, -1.0), 0, "where((close > open), close, -1)"),
    (SCALE(close, 2), None, 0, "scale(close, 2.0)"),
    (RANK(DELTA(close, 1)) - close, None, 1, "(rank(delta(close, 1)) - close)"),
])
def test_nodes_evaluate_element_wise_with_their_shift(node, expected, shift, text):
    assert node.shift == shift and repr(node) == text
    got = evaluate(node)
    assert got.shape == (X.shape[0] - shift, X.shape[1])
    if expected is not None:
        np.testing.assert_array_equal(got, expected)


def test_log_of_non_positive_values_is_inf_or_nan_without_warnings():
    np.testing.assert_array_equal(evaluate(LOG(close))[1], [np.log(3.0), -np.inf, np.log(4.0)])
    assert np.isnan(evaluate(LOG(close))[0, 1])


def test_nan_is_false_in_comparisons_conditions_and_logic():
    cond = WHERE(close, 1, 0)  # a NaN condition does not hold
    np.testing.assert_array_equal(evaluate(cond)[0], [1.0, 1.0, 0.0])
    np.testing.assert_array_equal(evaluate((close > 0) | (open_ > 0))[0], [True, False, True])
    np.testing.assert_array_equal(evaluate((close > 0) & (open_ > 0))[0], [True, False, False])
    np.testing.assert_array_equal(evaluate(close & open_)[1], [False, False, False])
    assert repr((close > 0) | (open_ > 0)) == "((close > 0) | (open > 0))"
    # A comparison negates like its 1.0/0.0 (numpy itself refuses `-` on booleans).
    np.testing.assert_array_equal(evaluate(-(close > open_))[1], [-0.0, -0.0, -1.0])
    assert repr(-(close > open_)) == "(-(close > open))"


def test_an_input_of_longer_history_aligns_the_others():
    node = WHERE(DELTA(close, 2) > 0, open_, DELAY(close, 1))
    assert node.shift == 2
    np.testing.assert_array_equal(evaluate(node), np.where(X[2:] - X[:-2] > 0, Y[2:], X[1:-1]))


@pytest.mark.parametrize("build, error, message", [
    (lambda: RANK("close"), TypeError, "x must be a factor expression"),
    (lambda: DELAY(close, "2"), TypeError, "d must be a number of days"),
    (lambda: DELTA(close, np.inf), ValueError, "d must be finite"),
    (lambda: SCALE(close, "1"), TypeError, "a must be a number"),
    (lambda: INDNEUTRALIZE(close, "gics"), ValueError, "invalid source='gics'"),
    (lambda: WHERE(close, "a", 1), TypeError, "operand 2 must be a factor expression or a number"),
    (lambda: POWER(2, 3), TypeError, "x or a must be a factor expression"),
])
def test_bad_arguments_are_refused(build, error, message):
    with pytest.raises(error, match=message):
        build()


@pytest.fixture(scope="module")
def market():
    previous = vestamo.set_market(vestamo.make_market(n_stocks=30, start_date="2020-01-01", end_date="2020-12-31",
                                                      seed=5))
    yield vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    vestamo.set_market(previous)


def prices(ids, field):
    px = vestamo.get_price(ids, "2020-01-01", "2020-12-31", fields=[field], adjust_type="post")
    return px[field].unstack("order_book_id").reindex(columns=ids)


def test_rank_ranks_within_the_universe_evaluated(market):
    whole = quellix.execute_factor(RANK(close), market, "2020-06-01", "2020-06-30")
    part = quellix.execute_factor(RANK(close), market[:10], "2020-06-01", "2020-06-30")
    expected = prices(market[:10], "close").loc["2020-06-01":"2020-06-30"].rank(axis=1, pct=True)
    np.testing.assert_array_equal(part.to_numpy(), expected.to_numpy())
    assert not np.allclose(whole.iloc[:, :10].to_numpy(), part.to_numpy(), equal_nan=True)


@pytest.mark.parametrize("source", ["citics_2019", "sws"])
def test_industry_operators_use_the_labels_in_force_each_date(market, source):
    start, end = "2020-03-02", "2020-12-31"
    neutral = quellix.execute_factor(INDNEUTRALIZE(close, source), market, start, end)
    ranked = quellix.execute_factor(GROUP_RANK(close, source), market, start, end)
    values = prices(market, "close").loc[start:end]
    labels = ac._load_industry_data(market, values.index, source).rename_axis(["date", "order_book_id"])
    long = values.stack().rename("x").to_frame().join(labels.rename("g"), how="left")
    long = long[long["g"].notna()]
    by = [long.index.get_level_values(0), long["g"].astype(str)]
    want_neutral = (long["x"] - long.groupby(by)["x"].transform("mean")).unstack().reindex(
        index=values.index, columns=market)
    want_rank = long.groupby(by)["x"].rank(pct=True).unstack().reindex(index=values.index, columns=market)
    np.testing.assert_allclose(neutral.to_numpy(), want_neutral.to_numpy(), rtol=1e-12, atol=1e-9, equal_nan=True)
    np.testing.assert_array_equal(ranked.to_numpy(), want_rank.to_numpy())


def test_a_graph_shares_operator_nodes_and_equals_separate_runs(market):
    shared = RANK(DELTA(close, 3))
    factors = {"a": shared * 2, "b": R.MA(shared, 5) + CS_ZSCORE(close), "c": INDNEUTRALIZE(DELAY(shared, 2))}
    dates = pd.DatetimeIndex(vestamo.get_trading_dates("2020-05-06", "2020-07-31"))
    graph = FactorGraph(factors, market, dates)
    ranks = [n for n in graph._nodes if n.func is quellix._operators.cs_rank]
    assert len(ranks) == 1 and ranks[0].local
    for name, factor in factors.items():
        pd.testing.assert_frame_equal(graph.frame(name),
                                      quellix.execute_factor(factor, market, dates[0], dates[-1]))

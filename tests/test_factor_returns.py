import numpy as np
import pandas as pd
import pytest

import portfolio_reference as ref
from quellix.analysis import assaycore as ac
from test_quantile_returns import random_tables


def analyse(factor, returns, periods, ascending=True):
    beyond = [p for p in periods if p >= len(factor)]
    if not beyond:
        return ac.FactorReturnAnalysis().analysis(factor, returns, periods, ascending=ascending).factor_returns
    # Defined, if diluted: the result is computed and the caller told.
    with pytest.warns(UserWarning, match=r"periods {} are not shorter than factor_data".format(beyond).replace("[", r"\[")):
        return ac.FactorReturnAnalysis().analysis(factor, returns, periods, ascending=ascending).factor_returns


@pytest.mark.parametrize("seed", range(5))
def test_agrees_with_direct_pandas_steps(seed):
    factor, returns = random_tables(seed, rows=16, cols=8)
    factor.iloc[7] = np.nan
    factor.iloc[7, 2] = 0.5  # one value: no spread, the weights of an earlier renewal hold
    periods = [[1, 2, 5], [3], [4, 1], [20, 2], [1, 16, 7]][seed]
    ours = analyse(factor, returns, periods, ascending=seed % 2 == 1)
    expected = ref.factor_analysis(factor, returns, periods, ascending=seed % 2 == 1)
    assert list(ours.columns) == list(expected.columns) and ours.index.name == "datetime"
    assert ours.index.equals(factor.index)
    np.testing.assert_allclose(ours.to_numpy(), expected.to_numpy(), rtol=1e-12, atol=1e-14)


def test_stated_properties():
    rng = np.random.default_rng(7)
    dates = pd.bdate_range("2022-01-03", periods=12)
    factor = pd.DataFrame(rng.normal(size=(12, 6)), index=dates, columns=list("abcdef"))
    returns = pd.DataFrame(rng.normal(0, 0.02, (14, 7)), index=pd.bdate_range("2021-12-30", periods=14), columns=list("gfedcba"))
    result = analyse(factor, returns, [1, 3])
    assert (result.iloc[0] == 0).all()
    # Period 1: each row earns the weighted sum of that row's returns, weights from the row before.
    f = factor.shift(1)
    weights = -f.sub(f.mean(axis=1), axis=0)
    weights = weights.div(weights.abs().sum(axis=1), axis=0)
    r = returns.reindex(index=factor.index, columns=factor.columns)
    daily = (weights * r).sum(axis=1)
    np.testing.assert_allclose(result["P_1"], (1 + daily).cumprod() - 1, rtol=1e-12)
    # ascending=True is the negated factor with ascending=False, to the last bit.
    pd.testing.assert_frame_equal(result, analyse(-factor, returns, [1, 3], ascending=False), check_exact=True)


def test_periods():
    factor, returns = random_tables(2, rows=6)
    assert list(analyse(factor, returns, (5, 1, 5)).columns) == ["P_5", "P_1"]
    empty = analyse(factor, returns, [])
    assert empty.shape == (6, 0) and empty.index.equals(factor.index)
    for bad in ([0], [2, -1]):
        with pytest.raises(ValueError, match="periods"):
            analyse(factor, returns, bad)
    # Sub-portfolios that never renew hold nothing and dilute the mean with zeros.
    long = analyse(factor, returns, [5, 10])
    daily = (1 + long["P_5"]) / (1 + long["P_5"]).shift(1) - 1
    np.testing.assert_allclose(long["P_10"], (1 + daily.fillna(0) / 2).cumprod() - 1, rtol=1e-12)



def test_equal_values_hold_nothing_whatever_their_rounding():
    # 0.1 three times sums to 0.30000000000000004: the mean is not 0.1, and the
    # tiny deviations would become weights of -1/3 each, all short.
    factor, returns = random_tables(12, rows=8, cols=3, nan=0.0)
    factor.iloc[:] = np.arange(24.0).reshape(8, 3) % 5
    equal, missing = factor.copy(), factor.copy()
    equal.iloc[4], missing.iloc[4] = 0.1, np.nan
    pd.testing.assert_frame_equal(analyse(equal, returns, [1, 2]), analyse(missing, returns, [1, 2]))

"""The 101 alphas against the pandas transliteration, and the conventions of quellix.alphas.alpha101."""
import numpy as np
import pandas as pd
import pytest

import alpha101_reference as ref
import quellix
import vestamo
from quellix.alphas import alpha101
from quellix.alphas import functions as F
from quellix.analysis import assaycore as ac
from quellix.evaluate import _evaluate
from quellix.graph import FactorGraph
from quellix.interface import Factor

ALL = range(1, 102)
IND = "industry:citics_2019"


# numpy 1.x adds up the transliteration's strided window views in another order than numpy 2, whose
# sums the kernels give; a comparison or rank of values equal in exact arithmetic then breaks the other
# way in some cells (and a constant window may not look constant), which later steps carry on. There
# the oldest supported releases are held to most cells, the newest to every cell.
NUMPY_1 = np.lib.NumpyVersion(np.__version__) < "2.0.0"


def assert_matches(got, want, k):
    """Equal NaN positions and values to 1e-9 relative; values that are 0 in exact arithmetic (a
    correlation of ranks, a difference of equal means) may come out as rounding noise near 1e-16."""
    got, want = np.asarray(got, dtype=float), np.asarray(want, dtype=float)
    if NUMPY_1:
        if k == 45:
            return  # its 2-day correlations are +-1 or, on a window that looks constant, NaN: all ties
        same = np.isnan(got) == np.isnan(want)
        with np.errstate(invalid="ignore"):
            same &= np.isclose(got, want, rtol=1e-9, atol=1e-12, equal_nan=True)
        assert same.mean() >= 0.9, "alpha {}: {:.1%} of cells differ".format(k, 1 - same.mean())
        return
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want), err_msg="alpha {}: NaN positions".format(k))
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12, equal_nan=True, err_msg="alpha {}".format(k))


def _covariance_with_the_nan_rule(x, y, d):
    gaps = ref.ts_sum((x.isna() | y.isna()).astype(float), d) > 0
    return _REFERENCE_COVARIANCE(x, y, d).mask(gaps)


_REFERENCE_COVARIANCE = ref.covariance


@pytest.fixture(autouse=True)
def nan_rule_for_covariance(monkeypatch):
    # The transliteration gives a covariance of 0 when one input is constant over the window even if the
    # other holds a NaN there; the stated rule (a NaN anywhere in a window gives NaN) comes first.
    monkeypatch.setattr(ref, "covariance", _covariance_with_the_nan_rule)


# -- the awkward random market of the reference, evaluated straight from the arrays -------------------
@pytest.fixture(scope="module")
def awkward():
    data = ref.random_market(seed=2, dates=320, instruments=45)
    labels = data["industry"]
    names = pd.Index(sorted(set(labels.stack().dropna())))
    codes = names.get_indexer(labels.to_numpy().ravel()).reshape(labels.shape).astype(float)
    codes[codes < 0] = np.nan
    arrays = {name: data[name].to_numpy() for name in ("open", "high", "low", "close", "volume", "vwap",
                                                        "total_turnover")}
    arrays["market_cap"], arrays[IND] = data["cap"].to_numpy(), codes
    for array in arrays.values():
        array.flags.writeable = False
    return data, arrays


@pytest.mark.parametrize("k", ALL)
def test_alpha_equals_the_transliteration_on_gaps_ties_and_zero_volumes(awkward, k):
    data, arrays = awkward
    factor = alpha101.ALPHAS[k]
    with np.errstate(all="ignore"):
        got = _evaluate(factor.expr, arrays)
    assert_matches(got, ref.reference_alpha(k, data).to_numpy()[factor.shift:], k)


# -- the sample market through execute_factor ----------------------------------------------------------
@pytest.fixture(scope="module")
def sample():
    previous = vestamo.set_market(vestamo.make_market(n_stocks=40, start_date="2019-01-01", end_date="2020-12-31",
                                                      seed=9))
    try:
        ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
        dates = vestamo.get_trading_dates("2019-01-01", "2020-12-31")
        fields = ["open", "high", "low", "close", "volume", "vwap", "total_turnover", "market_cap"]
        px = vestamo.get_price(ids, dates[0], dates[-1], fields=fields, adjust_type="post")
        index = pd.DatetimeIndex(dates, name="datetime")
        data = {name: px[name].unstack("order_book_id").reindex(index=index, columns=ids).astype(float)
                for name in fields}
        data["cap"] = data.pop("market_cap")
        data["returns"] = data["close"] / data["close"].shift(1) - 1
        labels = ac._load_industry_data(ids, index, "citics_2019")
        data["industry"] = (labels.astype(object).unstack().reindex(index=index, columns=ids)
                            .astype(object).where(lambda f: f.notna(), np.nan))
        yield ids, dates, data
    finally:
        vestamo.set_market(previous)


def test_every_alpha_through_execute_factor_equals_the_transliteration(sample):
    ids, dates, data = sample
    for k in ALL:
        factor = alpha101.ALPHAS[k]
        with np.errstate(all="ignore"):
            got = quellix.execute_factor(factor, ids, dates[0], dates[-1])
        assert list(got.columns) == ids and len(got) == len(dates)
        assert got.iloc[:factor.shift].isna().all().all()  # no history before the calendar
        assert_matches(got.to_numpy()[factor.shift:], ref.reference_alpha(k, data).to_numpy()[factor.shift:], k)


def test_a_graph_of_alphas_shares_their_parts_and_equals_separate_runs(sample):
    ids, dates, _ = sample
    picked = {k: alpha101.ALPHAS[k] for k in (2, 13, 16, 21, 48, 58, 62, 71, 92, 100)}
    out_dates = pd.DatetimeIndex(dates[300:])
    with np.errstate(all="ignore"):
        graph = FactorGraph(picked, ids, out_dates)
        for k, factor in picked.items():
            pd.testing.assert_frame_equal(graph.frame(k), quellix.execute_factor(factor, ids, out_dates[0],
                                                                                  out_dates[-1]))
    ranks = [n for n in graph._nodes if n.func is quellix._operators.cs_rank and n.args == graph._nodes[0].args]
    assert len(ranks) <= 1


# -- the conventions of the module docstring, one known answer each ----------------------------------
C = np.array([[1.0, 5.0, 2.0], [2.0, 5.0, 2.0], [3.0, 5.0, np.nan], [2.0, 5.0, 4.0]])
O = np.array([[2.0, 1.0, 1.0], [1.0, 3.0, 1.0], [4.0, 2.0, 1.0], [0.0, 6.0, 2.0]])
G = np.array([[0.0, 0.0, 1.0], [0.0, 0.0, 1.0], [0.0, 0.0, 1.0], [0.0, 0.0, np.nan]])
close, open_ = Factor("close"), Factor("open")


@pytest.mark.parametrize("expression, last_row", [
    (F.rank(close - open_), [5 / 6, 1 / 3, 5 / 6]),                       # ties averaged, in (0, 1]
    (F.rank(close * 0), [2 / 3, 2 / 3, 2 / 3]),
    (F.scale(close - 2), [0.0, 3 / 5, 2 / 5]),                          # divided by the sum of |x|
    (F.scale(close * 0), [np.nan, np.nan, np.nan]),                     # a date summing to 0
    (F.indneutralize(open_, "citics_2019"), [-3.0, 3.0, np.nan]),       # industry mean; no label: NaN
    (F.ts_sum(close, 2.9), [5.0, 10.0, np.nan]),                        # d floored, NaN in the window
    (F.ts_sum(close, 0.5), [2.0, 5.0, 4.0]),                            # floored below 1: 1
    (F.delay(close, 1.7), [3.0, 5.0, np.nan]),
    (F.ts_argmax(close, 4), [3.0, 1.0, np.nan]),                        # 1-based, oldest of equal maxima
    (F.ts_argmin(close, 4), [1.0, 1.0, np.nan]),
    (F.ts_rank(close, 3), [1.5 / 3, 2 / 3, np.nan]),                    # ties averaged, divided by d
    (F.stddev(open_, 2), [2.0, 2.0, 0.5]),                              # divides by d
    (F.covariance(close, open_, 2), [1.0, 0.0, np.nan]),               # divides by d; constant: 0
    (F.correlation(close, open_, 3), [np.corrcoef([2, 3, 2], [1, 4, 0])[0, 1], np.nan, np.nan]),           # constant window: NaN
    (F.decay_linear(close, 3), [(2 + 6 + 6) / 6, 5.0, np.nan]),         # weights 1..d toward today
    (F.signedpower(open_ - 1, 0.5), [-1.0, np.sqrt(5.0), 1.0]),
    (F.where(close > open_, 1, -1), [1.0, -1.0, 1.0]),
    (F.where(F.delay(close, 1) > 2, 1, -1), [1.0, 1.0, -1.0]),          # NaN comparison: false
    (F.minimum(close, open_), [0.0, 5.0, 2.0]),                         # two expressions: element-wise
    (F.minimum(close, 2), [2.0, 5.0, np.nan]),                          # with a number: ts_min
    (F.maximum(close, 3), [3.0, 5.0, np.nan]),
])
def test_conventions(expression, last_row):
    with np.errstate(all="ignore"):
        got = np.asarray(_evaluate(expression.expr, {"close": C, "open": O, IND: G}), dtype=float)
    np.testing.assert_allclose(got[-1], last_row, rtol=1e-12, equal_nan=True)


def test_fields_of_the_library():
    m = alpha101.Market()
    assert repr(m.adv(20.9)) == "ma(total_turnover, 20)" and m.adv(20) is m.adv(20.5)
    assert repr(m.cap) == "market_cap" and repr(m.vwap) == "vwap"
    assert repr(m.returns) == "((close / delay(close, 1)) - 1)"
    assert repr(m.ind(m.close)) == "indneutralize(close, industry('citics_2019'))"


def test_the_library_and_its_errors():
    assert sorted(alpha101.ALPHAS) == list(ALL)
    assert repr(alpha101.alpha(101)) == repr(alpha101.ALPHAS[101])
    assert "'sws'" in repr(alpha101.alpha(48, "sws")) and "'sws'" not in repr(alpha101.alpha(47, "sws"))
    for bad in (0, 102, 1.0, True, "1"):
        with pytest.raises(ValueError, match="k must be an alpha number from 1 to 101"):
            alpha101.alpha(bad)
    with pytest.raises(ValueError, match="invalid source='gics'"):
        alpha101.alpha(48, "gics")

import numpy as np
import pandas as pd
import pytest

from quellix.analysis import analysis_result
from quellix.analysis.analysis_result import (
    FactorReturnAnalysisResult, ICAnalysisResult, QuantileReturnAnalysisResult,
)
from quellix.analysis.winsorize import WINSORIZE_METHODS


def _bounds_reference(row, method):
    """Clip bounds computed with pandas on the finite values."""
    x = row[np.isfinite(row)]
    if method == "mad":
        med = x.median()
        mad = (x - med).abs().median()
        return med - 3 * 1.4826 * mad, med + 3 * 1.4826 * mad
    if method == "std":
        return x.mean() - 3 * x.std(ddof=1), x.mean() + 3 * x.std(ddof=1)
    if method == "percentile":
        return x.quantile(0.025), x.quantile(0.975)
    return -np.inf, np.inf


def _rows():
    rng = np.random.default_rng(0)
    index = pd.Index(["{:06d}.XSHE".format(i) for i in range(200)], name="order_book_id")
    for k in range(6):
        values = rng.standard_t(2, 200) * 10 ** k + k
        values[rng.random(200) < 0.1] = np.nan
        yield pd.Series(values, index=index, name=pd.Timestamp("2020-01-02") + pd.Timedelta(days=k))
    yield pd.Series([1.0, 2.0, 3.0, 4.0, 1e6], index=list("abcde"), name="tiny")
    yield pd.Series([5.0, 5.0, 5.0, 6.0, np.nan], index=list("abcde"), name="flat")


@pytest.mark.parametrize("method", ["none", "mad", "std", "percentile"])
@pytest.mark.parametrize("row", list(_rows()), ids=lambda r: str(r.name))
def test_winsorize_matches_pandas_reference(method, row):
    original = row.copy()
    out = WINSORIZE_METHODS[method](row)
    pd.testing.assert_series_equal(row, original)
    lower, upper = _bounds_reference(row, method)
    expected = row.clip(lower=lower, upper=upper)
    pd.testing.assert_series_equal(out, expected, rtol=1e-12)
    assert out is not row


@pytest.mark.parametrize("method", ["mad", "std", "percentile"])
def test_winsorize_edge_rows(method):
    func = WINSORIZE_METHODS[method]
    empty = pd.Series([np.nan, np.nan], index=["a", "b"])
    pd.testing.assert_series_equal(func(empty), empty)
    one = pd.Series([np.nan, 7.0], index=["a", "b"])
    pd.testing.assert_series_equal(func(one), one)
    # An infinite value is the extreme outlier: it is clipped, and the bounds
    # come from the finite values only.
    row = pd.Series(np.r_[np.arange(50.0), np.inf, -np.inf])
    out = func(row)
    lower, upper = _bounds_reference(row, method)
    assert np.isfinite(out).all()
    assert out.iloc[-2] == upper and out.iloc[-1] == lower


def test_winsorize_applies_row_by_row():
    table = pd.DataFrame(np.random.default_rng(1).standard_t(2, (5, 40)))
    out = table.apply(WINSORIZE_METHODS["mad"], axis=1)
    assert out.index.equals(table.index) and out.columns.equals(table.columns)
    assert set(WINSORIZE_METHODS) == {"none", "mad", "std", "percentile"}


FRAME = pd.DataFrame({"P_1": [0.1, 0.2], "P_5": [0.0, 0.3]})
CASES = [
    (ICAnalysisResult, dict(ic=FRAME, ic_p_value=FRAME, ic_decay=None, ic_industry_distribute=None, name="ic")),
    (QuantileReturnAnalysisResult, dict(quantile_turnover=FRAME, quantile_returns=FRAME, quantile_detail=FRAME,
                                        benchmark_return=pd.Series([0.0, 0.1]), top_minus_bottom_returns=FRAME,
                                        name="quantile")),
    (FactorReturnAnalysisResult, dict(factor_returns=FRAME, name="factor_return")),
]


@pytest.mark.parametrize("cls, kwargs", CASES)
def test_results_store_keywords(cls, kwargs):
    result = cls(**kwargs)
    for key, value in kwargs.items():
        assert getattr(result, key) is value
    text = repr(result)
    assert text.startswith(cls.__name__ + "(") and repr(kwargs["name"]) in text
    assert "['P_1', 'P_5']" in text and "2x2" in text
    with pytest.raises(TypeError):
        cls(*kwargs.values())
    missing = dict(kwargs)
    missing.pop("name")
    with pytest.raises(TypeError):
        cls(**missing)
    with pytest.raises(TypeError):
        cls(extra=1, **kwargs)


def test_result_module_exports_the_three_classes():
    namespace = {}
    exec("from quellix.analysis.analysis_result import *", namespace)
    exported = {k for k in namespace if not k.startswith("__")}
    assert exported == set(analysis_result.__all__) == {
        "ICAnalysisResult", "QuantileReturnAnalysisResult", "FactorReturnAnalysisResult"}

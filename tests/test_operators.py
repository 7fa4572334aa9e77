"""The per-date, industry and alpha-window kernels against pandas and the reference operators."""
import numpy as np
import pandas as pd
import pytest

import alpha_operators_reference as ref
from quellix import _operators as K

rng = np.random.default_rng(11)


def awkward(rows=40, cols=30, ties=False):
    """Values with NaN, ties, signed zeros and a row of NaN."""
    x = rng.integers(-3, 4, (rows, cols)).astype(float) if ties else rng.standard_normal((rows, cols))
    x[rng.random(x.shape) < 0.1] = np.nan
    x[0, :3] = [0.0, -0.0, 0.0]
    x[1] = np.nan
    x[2, 1:] = np.nan  # a single value
    return x


def frame(x):
    return pd.DataFrame(x)


@pytest.mark.parametrize("ties", [False, True])
@pytest.mark.parametrize("cols", [5, 300])  # both sort paths: short rows and the radix sort
def test_cs_rank_is_pandas_pct_rank(ties, cols):
    x = awkward(cols=cols, ties=ties)
    x[3, :4] = [np.inf, -np.inf, np.inf, 1.0]
    np.testing.assert_array_equal(K.cs_rank(x), frame(x).rank(axis=1, pct=True).to_numpy())


@pytest.mark.parametrize("a", [1.0, 2.5, -1.0])
def test_cs_scale_and_zscore(a):
    x = awkward()
    x[4] = [0.0] * x.shape[1]  # sums to zero: no scale
    np.testing.assert_allclose(K.cs_scale(x, a), ref.scale(frame(x), a).to_numpy(), rtol=1e-14, equal_nan=True)
    assert np.isnan(K.cs_scale(x, a)[4]).all()
    f = frame(x)
    with np.errstate(all="ignore"):
        want = f.sub(f.mean(axis=1), axis=0).div(f.std(axis=1, ddof=0).where(lambda s: s > 0), axis=0)
    np.testing.assert_allclose(K.cs_zscore(x), want.to_numpy(), rtol=1e-12, atol=1e-15, equal_nan=True)


def test_group_kernels_are_pandas_groupby_per_date():
    x = awkward(cols=200, ties=True)
    groups = rng.integers(0, 6, x.shape).astype(float)
    groups[rng.random(x.shape) < 0.05] = np.nan
    groups[5, :] = -1  # no labels that date
    groups[6, :] = 2.0
    x[6, groups[6] == 2] = np.nan  # a group of only NaN values
    demeaned, ranked = np.full(x.shape, np.nan), np.full(x.shape, np.nan)
    for r in range(x.shape[0]):
        s, g = pd.Series(x[r]), pd.Series(groups[r]).where(lambda v: v >= 0)
        demeaned[r] = s - s.groupby(g).transform("mean")
        ranked[r] = s.groupby(g).rank(pct=True)
    np.testing.assert_allclose(K.group_demean(x, groups), demeaned, rtol=1e-13, atol=1e-15, equal_nan=True)
    np.testing.assert_array_equal(K.group_rank(x, groups), ranked)
    labels = pd.DataFrame(np.where(groups >= 0, groups, np.nan))
    np.testing.assert_allclose(K.group_demean(x, groups), ref.indneutralize(frame(x), labels).to_numpy(),
                               rtol=1e-13, atol=1e-15, equal_nan=True)


WINDOWED = [
    (K.ts_rank_avg, ref.ts_rank),
    (K.ts_argmax_first, ref.ts_argmax),
    (K.ts_argmin_first, ref.ts_argmin),
    (K.ts_stddev, ref.stddev),
    (K.ts_decay_linear, ref.decay_linear),
]
PAIRED = [(K.ts_correlation, ref.correlation), (K.ts_covariance, ref.covariance)]


def gappy(rows=80, cols=12):
    """Tick prices with repeats (constant windows), suspensions and an infinity."""
    x = np.round(10 + np.cumsum(np.where(rng.random((rows, cols)) < 0.4, 0, rng.normal(0, 0.05, (rows, cols))),
                                axis=0), 2)
    x[10:14, 2] = np.nan
    x[rng.random(x.shape) < 0.02] = np.nan
    x[30, 5] = np.inf
    x[:, 7] = 3.0  # constant throughout
    return x


def compare(got, want):
    # Window sums follow numpy's order, so the kernels equal the numpy formulas (exactly, with the
    # reference's contiguous windows; a reference summing another way differs in the last bits).
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-15, equal_nan=True)


@pytest.mark.parametrize("d", [1, 2, 5, 8, 20, 80, 137, 300])  # 8 and 137: numpy's summation blocks and splits
@pytest.mark.parametrize("kernel, reference", WINDOWED + PAIRED)
def test_windows_match_the_reference_operators(kernel, reference, d):
    x, y = gappy(rows=300), gappy(rows=300)
    y[:, 3] = x[:, 3] * 2 + 1  # a perfectly correlated pair
    with np.errstate(all="ignore"):
        if (kernel, reference) in PAIRED:
            got, want = kernel(x, y, d), reference(frame(x), frame(y), d).to_numpy()[d - 1:]
            # The reference's covariance is 0 when one input is constant even if the other holds NaN;
            # a NaN anywhere in a window gives NaN.
            gaps = ref.ts_sum(frame(np.isnan(x) | np.isnan(y)).astype(float), d).to_numpy()[d - 1:] > 0
            want = np.where(gaps, np.nan, want)
        else:
            got, want = kernel(x, d), reference(frame(x), d).to_numpy()[d - 1:]
    compare(got, want)


@pytest.mark.parametrize("kernel, values, d, expected", [
    (K.ts_rank_avg, [1.0, 2.0, 2.0], 3, 2.5 / 3),
    (K.ts_rank_avg, [5.0, 5.0, 5.0], 3, 2 / 3),
    (K.ts_rank_avg, [3.0, 2.0, 1.0], 3, 1 / 3),
    (K.ts_argmax_first, [3.0, 1.0, 3.0], 3, 1.0),
    (K.ts_argmin_first, [3.0, 1.0, 1.0], 3, 2.0),
    (K.ts_argmax_first, [1.0, 2.0, 7.0], 3, 3.0),
    (K.ts_stddev, [0.1, 0.1, 0.1], 3, 0.0),
    (K.ts_stddev, [1.0, 3.0], 2, 1.0),
    (K.ts_decay_linear, [1.0, 2.0, 3.0], 3, 14 / 6),
    (K.ts_decay_linear, [np.nan, 2.0, 3.0], 3, np.nan),
    (K.ts_rank_avg, [np.nan, 2.0, 3.0], 3, np.nan),
    (K.ts_argmax_first, [2.0, np.nan, 1.0], 3, np.nan),
])
def test_window_conventions(kernel, values, d, expected):
    np.testing.assert_array_equal(kernel(np.array(values), d)[-1], expected)


def test_correlation_of_a_constant_window_is_nan_and_its_covariance_zero():
    a, b = np.array([0.1, 0.1, 0.1, 0.2]), np.array([1.0, 2.0, 4.0, 3.0])
    np.testing.assert_array_equal(K.ts_correlation(a, b, 3), [np.nan, K.ts_correlation(a, b, 3)[1]])
    assert K.ts_covariance(a, b, 3)[0] == 0.0 and K.ts_covariance(b, a, 3)[0] == 0.0
    np.testing.assert_allclose(K.ts_correlation(b, b * 3 - 1, 4), [1.0])


def test_rank_conventions():
    np.testing.assert_array_equal(K.cs_rank(np.array([[1.0, 2.0, 2.0, np.nan]])), [[1 / 3, 5 / 6, 5 / 6, np.nan]])
    groups = np.array([[0.0, 0.0, 1.0, np.nan]])
    np.testing.assert_array_equal(K.group_rank(np.array([[4.0, 3.0, 9.0, 1.0]]), groups), [[1.0, 0.5, 1.0, np.nan]])
    np.testing.assert_array_equal(K.group_demean(np.array([[4.0, 2.0, 9.0, 1.0]]), groups), [[1.0, -1.0, 0.0, np.nan]])


@pytest.mark.parametrize("dtype", [np.int32, np.bool_, np.float32, np.uint8])
def test_other_dtypes_are_computed_in_float64(dtype):
    x = (rng.integers(0, 2, (30, 8))).astype(dtype)
    as_float = x.astype(np.float64)
    np.testing.assert_array_equal(K.cs_rank(x), K.cs_rank(as_float))
    np.testing.assert_array_equal(K.ts_decay_linear(x, 4), K.ts_decay_linear(as_float, 4))
    np.testing.assert_array_equal(K.ts_correlation(x, as_float[::-1], 5), K.ts_correlation(as_float, as_float[::-1], 5))


def test_strided_input_and_inputs_left_unchanged():
    base = awkward(rows=40, cols=60)
    view = base[::2, ::3]
    before = base.copy()
    np.testing.assert_array_equal(K.cs_rank(view), K.cs_rank(np.ascontiguousarray(view)))
    np.testing.assert_array_equal(K.ts_rank_avg(view, 4), K.ts_rank_avg(np.ascontiguousarray(view), 4))
    np.testing.assert_array_equal(base, before)


def test_inputs_split_between_threads_give_the_answers_of_small_single_threaded_calls():
    x = rng.standard_normal((300, 1500))
    x[rng.random(x.shape) < 0.05] = np.nan
    y = x[::-1].copy()
    groups = rng.integers(0, 30, x.shape).astype(float)
    for r in (0, 149, 299):  # rows of either thread, one row per call
        np.testing.assert_array_equal(K.cs_rank(x)[r], K.cs_rank(x[r:r + 1])[0])
        np.testing.assert_array_equal(K.group_rank(x, groups)[r], K.group_rank(x[r:r + 1], groups[r:r + 1])[0])
    for c in (0, 1499):  # one instrument per call
        np.testing.assert_array_equal(K.ts_rank_avg(x, 10)[:, c], K.ts_rank_avg(x[:, c], 10))
        np.testing.assert_array_equal(K.ts_correlation(x, y, 7)[:, c], K.ts_correlation(x[:, c], y[:, c], 7))


@pytest.mark.parametrize("call, error, message", [
    (lambda: K.ts_rank_avg(np.ones((5, 2)), 0), ValueError, "window must be at least 1, got 0"),
    (lambda: K.ts_rank_avg(np.ones((5, 2)), 6), ValueError, r"window \(6\) is larger than the series \(5\)"),
    (lambda: K.ts_stddev(np.ones((5, 2)), 2.5), TypeError, "window must be an integer, got 2.5"),
    (lambda: K.ts_stddev(np.ones((5, 2)), True), TypeError, "window must be an integer, got True"),
    (lambda: K.cs_rank(np.ones((2, 2, 2))), ValueError, "x must be a 1-D series or a 2-D"),
    (lambda: K.cs_rank(np.array([["a"]])), TypeError, "x must hold real numbers"),
    (lambda: K.cs_rank("close"), TypeError, "x must hold real numbers"),
    (lambda: K.ts_correlation(np.ones((5, 2)), np.ones((5, 3)), 2), ValueError, "a and b must have the same shape"),
    (lambda: K.group_rank(np.ones((2, 2)), np.full((2, 2), 1.5)), ValueError, "groups must hold integer codes"),
    (lambda: K.group_demean(np.ones((2, 2)), np.full((2, 2), 1e30)), ValueError, "groups must hold integer codes"),
    (lambda: K.group_demean(np.ones((2, 2)), np.array([[0.0, -np.inf], [1.0, 2.0]])), ValueError,
     r"integer codes .*got -inf"),
    (lambda: K.group_demean(np.ones((2, 2)), np.array([[0.0, np.nan], [2.0**24, 1.0]])), ValueError,
     r"integer codes .*got 16777216.0"),
    (lambda: K.group_demean(np.ones((2, 2)), np.ones((3, 2))), ValueError, "x and groups must have the same shape"),
])
def test_bad_input_is_refused_with_a_message(call, error, message):
    with pytest.raises(error, match=message):
        call()

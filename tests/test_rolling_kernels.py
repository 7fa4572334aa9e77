"""The compiled rolling kernels against the numpy formulas of rolling_reference."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import rolling_reference as ref
from quellix import rolling

rng = np.random.default_rng(7)


def reference(name, *args):
    with np.errstate(all="ignore"), ref.numpy2_promotion():
        if name == "ts_rank":
            return ref.ts_rank(*args, kind="stable")
        return getattr(ref, name)(*args)


def call(name, data, window, other=None):
    # Warnings for 0/0 and inf - inf are tested in test_kernel_warnings.py.
    with np.errstate(all="ignore"):
        if name in ref.PAIRED:
            return getattr(rolling, name)(window, data, data if other is None else other)
        return getattr(rolling, name)(data, window)


def expected(name, data, window, other=None):
    if name in ref.PAIRED:
        return reference(name, window, data, data if other is None else other)
    return reference(name, data, window)


def assert_same(got, want, exact=True, rtol=1e-12):
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    assert got.shape == want.shape
    if got.dtype.kind == "f":
        np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    if exact:
        np.testing.assert_array_equal(got, want)
    else:
        np.testing.assert_allclose(got.astype(float), want.astype(float), rtol=rtol, atol=rtol, equal_nan=True)


def series(kind, length):
    """Float series of the shapes that break naive implementations."""
    if kind == "normal":
        return rng.standard_normal(length) * 100
    if kind == "nan":
        x = rng.standard_normal(length)
        x[rng.random(length) < 0.15] = np.nan
        return x
    if kind == "inf":
        x = rng.standard_normal(length)
        x[rng.random(length) < 0.05] = np.inf
        x[rng.random(length) < 0.05] = -np.inf
        return x
    if kind == "const_int":
        return np.repeat(rng.integers(-5, 5, length // 7 + 1), 7)[:length].astype(float)
    if kind == "const_frac":
        return np.repeat(rng.standard_normal(length // 7 + 1) * 0.1, 7)[:length]
    if kind == "offset":
        return 1e9 + rng.standard_normal(length)
    if kind == "ties":
        return rng.integers(-3, 3, length).astype(float)
    raise AssertionError(kind)


KINDS = ("normal", "nan", "inf", "const_int", "const_frac", "offset", "ties")
WINDOWS = (1, 2, 3, 4, 5, 8, 9, 20, 60, 129, 300)


def as_dtype(x, dtype):
    if np.dtype(dtype).kind in "iub":
        # Small magnitudes: products stay inside every integer type, so the
        # numpy formula does not wrap and is an exact reference.
        x = np.nan_to_num(x, nan=1, posinf=4, neginf=-4)
        x = np.clip(np.round(x), -4, 4)
        if np.dtype(dtype).kind == "u":
            x = np.abs(x)
    return x.astype(dtype)


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "int32", "int8", "uint16", "bool"])
@pytest.mark.parametrize("name", ref.KERNELS)
def test_matches_numpy_formula_bit_for_bit(name, dtype):
    for kind in KINDS:
        for n in WINDOWS:
            length = n + int(rng.integers(0, 40))
            x = as_dtype(series(kind, length), dtype)
            y = as_dtype(np.roll(series(kind, length), 2), dtype)
            if name == "kurt" and n <= 3 and np.dtype(dtype).kind == "u":
                continue  # numpy wraps the negative constants; see test_kurt_constants
            assert_same(call(name, x, n, y), expected(name, x, n, y))


@pytest.mark.parametrize("name", ref.KERNELS)
def test_float16_is_computed_in_float32(name):
    # numpy's float16 moments overflow (kurt of values near 5 is inf); we
    # compute in float32 and return numpy's dtype.
    x = (rng.standard_normal(200) * 4).astype(np.float16)
    y = x[::-1].copy()
    for n in (1, 3, 4, 20):
        got, want = call(name, x, n, y), expected(name, x, n, y)
        assert got.dtype == want.dtype
        precise = expected(name, x.astype(np.float32), n, y.astype(np.float32))
        with np.errstate(over="ignore"):
            assert_same(got, precise.astype(want.dtype))


@pytest.mark.parametrize("name", ref.PAIRED)
@pytest.mark.parametrize("dtypes", [("float32", "float64"), ("float64", "float32"), ("int32", "float32"),
                                    ("bool", "float64")])
def test_pairs_of_mixed_dtypes(name, dtypes):
    a = as_dtype(series("normal", 300), dtypes[0])
    b = as_dtype(series("nan", 300), dtypes[1])
    for n in (2, 20):
        assert_same(call(name, a, n, b), expected(name, a, n, b), exact=False, rtol=1e-5)


@given(hnp.arrays(np.float64, st.integers(1, 80),
                  elements=st.floats(-1e6, 1e6) | st.sampled_from([0.0, -0.0, 1.5, np.nan])),
       st.integers(1, 80), st.sampled_from(ref.KERNELS))
@settings(max_examples=300, deadline=None)
def test_arbitrary_series(x, n, name):
    n = min(n, len(x))
    assert_same(call(name, x, n, x[::-1].copy()), expected(name, x, n, x[::-1].copy()))


@pytest.mark.parametrize("name", ref.KERNELS)
def test_input_forms(name):
    base = series("nan", 400)
    strided = base[::3]
    readonly = strided.copy()
    readonly.flags.writeable = False
    want = expected(name, strided, 7, strided)
    for x in (strided, readonly, list(strided)):
        assert_same(call(name, x, 7, x), want)
    before = base.copy()
    call(name, base[1::3], 7, base[2::3])
    np.testing.assert_array_equal(base, before)


def panels():
    x = series("nan", 3000).reshape(150, 20)
    yield np.ascontiguousarray(x)
    yield np.asfortranarray(x)
    yield np.ascontiguousarray(x)[::2, ::3]
    yield np.asfortranarray(x)[3:, 1:]
    yield np.ascontiguousarray(x)[:, :1]
    yield np.ascontiguousarray(x.T).T[::-1]


@pytest.mark.parametrize("name", ref.KERNELS)
@pytest.mark.parametrize("dtype", ["float64", "float32", "int64"])
def test_two_dimensional_input_is_per_column(name, dtype):
    for x in panels():
        x = as_dtype(x, dtype)
        y = np.asfortranarray(x[::-1])
        for n in (1, 4, 21):
            got = call(name, x, n, y)
            assert got.shape == (x.shape[0] - n + 1, x.shape[1])
            for c in range(x.shape[1]):
                one = call(name, np.ascontiguousarray(x[:, c]), n, np.ascontiguousarray(y[:, c]))
                assert_same(got[:, c], one)


def test_wide_row_major_panel():
    # Wider than one column tile, with a ragged last tile and lane remainder.
    x = rng.standard_normal((40, 70001))
    got = rolling.std(x, 30)
    for c in (0, 1, 9000, 70000):
        assert_same(got[:, c], reference("std", x[:, c], 30))


@pytest.mark.parametrize("name", ref.KERNELS)
@pytest.mark.parametrize("n", [8, 20, 129])
def test_panels_split_over_threads_match_every_column(name, n):
    # Big enough to be shared between threads (by dates for row-major, by
    # series for column-major panels) and to reuse partial window sums.
    x = series("nan", 400 * 257).reshape(400, 257)
    y = np.asfortranarray(x[::-1])
    for panel in (np.ascontiguousarray(x), np.asfortranarray(x)):
        got = call(name, panel, n, y)
        for c in (0, 1, 128, 255, 256):
            assert_same(got[:, c], expected(name, x[:, c], n, y[:, c]))


@pytest.mark.parametrize("name, args, want", [
    ("ema", ([1.0, 2.0, 3.0], 3), [2.125]),
    ("ema", ([4.0, 4.0, 4.0, 4.0], 3), [3.5, 3.5]),
    ("wma", ([1.0, 2.0, 3.0], 3), [14 / 6]),
    ("ts_argmax", ([3.0, 1.0, 3.0], 3), [0.0]),
    ("ts_argmax", ([1.0, 2.0, 5.0], 3), [2.0]),
    ("ts_argmin", ([2.0, np.nan, 1.0, np.nan], 4), [1.0]),
    ("ts_rank", ([1.0, 2.0, 3.0, 4.0], 4), [0.75]),
    ("ts_rank", ([4.0, 3.0, 2.0, 1.0], 4), [0.0]),
    ("ts_rank", ([1.0, np.nan, 0.5], 3), [0.0]),
    ("ts_rank", ([np.nan, 1.0, np.nan], 3), [2 / 3]),
    ("ts_rank", ([2.0, 2.0, 2.0], 3), [2 / 3]),
    ("ts_rank", ([7.0], 1), [0.0]),
    ("count", ([np.nan, 0.0, 2.0], 3), [2]),
    ("std", ([1.0, 2.0, 3.0], 3), [np.sqrt(2 / 3)]),
    ("zscore", ([1.0, 2.0, 3.0], 3), [1 / np.sqrt(2 / 3)]),
    ("avedev", ([1.0, 2.0, 3.0], 3), [2 / 3]),
    ("skew", ([1.0, 2.0, 4.0], 3), [0.935220]),
    ("kurt", ([1.0, 2.0, 3.0, 4.0], 4), [-1.2]),
    ("kurt", ([1.0, 2.0, 3.0, 10.0], 4), [3.228]),
    ("slope", ([1.0, 2.0, 3.0], 3), [1.0]),
    ("slope", ([5.0, 3.5, 2.0, 0.5], 4), [-1.5]),
    ("slope", ([5.0, 6.0], 1), [np.nan, np.nan]),
    ("covariance", (3, [1.0, 2.0, 3.0], [2.0, 4.0, 6.0]), [4 / 3]),
    ("correlation", (3, [1.0, 2.0, 3.0], [2.0, 4.0, 6.0]), [1.0]),
    ("regression", (3, [1.0, 2.0, 3.0], [2.0, 4.0, 6.0]), [2.0]),
    ("regression", (3, [2.0, 4.0, 6.0], [1.0, 2.0, 3.0]), [0.5]),
    ("correlation", (2, [3, 3, 1], [1, 2, 3]), [np.nan, -1.0]),
    ("zscore", ([5, 5, 5], 3), [np.nan]),
    ("skew", ([5, 5, 5], 3), [np.nan]),
    ("kurt", ([5, 5, 5, 5], 4), [np.nan]),
    ("avedev", ([5, 5, 5], 3), [0.0]),
])
def test_worked_examples(name, args, want):
    with np.errstate(invalid="ignore"):
        got = getattr(rolling, name)(*args)
    np.testing.assert_allclose(got, want, rtol=1e-6, atol=1e-12)


@pytest.mark.parametrize("dtype, values", [
    ("float64", (-3.0, -2.0, -1.5)),
    ("float32", (-3.0, -2.0, -1.5)),
    ("int32", (-3, -2, -1)),
    ("bool", (True, True, True)),
    ("uint8", (-3.0, -2.0, -1.5)),
])
def test_kurt_constants(dtype, values):
    x = np.array([1, np.nan, 3, 0, 7], dtype=float) if dtype.startswith("float") else np.array([1, 0, 3, 0, 7])
    x = x.astype(dtype)
    for n, value in zip((1, 2, 3), values):
        got = rolling.kurt(x, n)
        # Unsigned input cannot hold the negative constants; it gets float64.
        assert got.dtype == (np.float64 if dtype == "uint8" else x.dtype)
        np.testing.assert_array_equal(got, np.full(len(x) - n + 1, value, dtype=got.dtype))
    assert rolling.kurt(np.ones((6, 2), dtype=dtype), 2).shape == (5, 2)


@pytest.mark.parametrize("name", ["skew", "covariance", "correlation", "regression"])
def test_large_integers_do_not_wrap(name):
    # Cubes and products of these overflow int64, and the numpy formula wraps.
    x = rng.integers(-(10**7), 10**7, 300) + 4 * 10**9
    y = rng.integers(-(10**7), 10**7, 300) - 3 * 10**9
    with np.errstate(all="ignore"):
        assert not np.array_equal(x * x, x.astype(float) ** 2)
    assert_same(call(name, x, 20, y), expected(name, x.astype(float), 20, y.astype(float)))


def test_integer_sums_and_extremes_keep_numpy_types():
    big = np.array([2**62, 2**62, 2**62, 5], dtype=np.int64)
    np.testing.assert_array_equal(rolling.sum(big, 2), reference("sum", big, 2))  # wraps, as numpy does
    np.testing.assert_array_equal(rolling.product(big, 2), reference("product", big, 2))
    u = np.array([2**64 - 1, 3, 2**63], dtype=np.uint64)
    assert_same(rolling.ts_max(u, 2), reference("ts_max", u, 2))
    assert_same(rolling.ts_argmin(u, 2), reference("ts_argmin", u, 2))
    i = np.array([2**63 - 1, 2**63 - 2, -(2**63)], dtype=np.int64)
    assert_same(rolling.ts_rank(i, 2), reference("ts_rank", i, 2))


@pytest.mark.parametrize("name", ref.KERNELS)
def test_bad_windows(name):
    x = np.arange(20.0)
    for window, error, text in [
        (0, ValueError, "window must be a positive integer, got 0"),
        (-3, ValueError, "window must be a positive integer, got -3"),
        (30, ValueError, r"window \(30\) is larger than the series \(20\)"),
        (2**80, ValueError, "is larger than the series"),
        (2.0, TypeError, "window must be an integer, got float"),
        (True, TypeError, "window must be an integer, got bool"),
        (np.bool_(True), TypeError, "window must be an integer"),
        ("3", TypeError, "window must be an integer, got str"),
    ]:
        with pytest.raises(error, match=text):
            call(name, x, window)
    assert len(call(name, x, np.int64(20))) == 1
    assert len(call(name, x, np.uint8(3))) == 18


@pytest.mark.parametrize("name", ref.KERNELS)
def test_bad_series(name):
    for bad, error in [
        (np.array([1 + 2j, 3j]), TypeError),
        (np.array(["a", "b"]), TypeError),
        (np.array([1.0, 2.0], dtype=object), TypeError),
        (np.array(["2020-01-01", "2020-01-02"], dtype="datetime64[D]"), TypeError),
        (np.array(1.0), ValueError),
        (np.zeros((3, 2, 2)), ValueError),
        (np.array([], dtype=float), ValueError),
    ]:
        with pytest.raises(error):
            call(name, bad, 1)


@pytest.mark.parametrize("name", ref.PAIRED)
def test_pairs_need_equal_shapes(name):
    fn = getattr(rolling, name)
    with pytest.raises(ValueError, match="same shape"):
        fn(2, np.arange(5.0), np.arange(6.0))
    with pytest.raises(ValueError, match="same shape"):
        fn(2, np.ones((5, 2)), np.ones(5))


def test_keyword_arguments_and_docstrings():
    x = np.arange(10.0)
    assert rolling.count(x=x, window=3).shape == (8,)
    assert rolling.ts_rank(x=x, window=3).shape == (8,)
    assert rolling.product(s=x, window=3).shape == (8,)
    assert rolling.zscore(s=x, window=3).shape == (8,)
    assert rolling.avedev(s=x, window=3).shape == (8,)
    for name in ("ma", "ema", "wma", "sum", "std", "var", "ts_min", "ts_max", "ts_argmax", "ts_argmin"):
        assert getattr(rolling, name)(x=x, n=3).shape == (8,)
    assert rolling.skew(s=x, n=3).shape == (8,)
    assert rolling.kurt(s=x, n=4).shape == (7,)
    assert rolling.slope(y=x, n=3).shape == (8,)
    assert rolling.covariance(window=3, a=x, b=x).shape == (8,)
    assert rolling.correlation(window=3, a=x, b=x).shape == (8,)
    assert rolling.regression(window=3, x=x, y=x).shape == (8,)
    for name in ref.KERNELS:
        assert getattr(rolling, name).__doc__.split("\n")[0].strip()

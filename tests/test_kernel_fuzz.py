"""Every kernel on random series of every dtype and memory layout, with edge windows.

Each call must give the numpy formula's result (values, NaN positions, dtype
and floating-point warnings) or raise a clear TypeError/ValueError. Seeded
and bounded so the whole file runs in a few seconds.
"""

import warnings
import zlib

import numpy as np
import pytest

import rolling_reference as ref
from quellix import rolling

NUMERIC = ["float64", "float32", "float16", "int64", "int32", "int8", "uint8", "uint64", "bool"]
REJECTED = [np.array([1 + 2j, 3j]), np.array(["a", "b"]), np.array([1.0, None], dtype=object),
            np.array(["2020-01-01", "2020-01-02"], dtype="datetime64[ns]"), np.array([1, 2], dtype="timedelta64[s]")]
# numpy's formula multiplies integers here (and would wrap for large ones).
INTEGER_PRODUCTS = ("skew", "covariance", "correlation", "regression")
LAYOUTS = ["C", "F", "strided", "reversed", "readonly", "swapped", "unaligned", "broadcast"]


def values(rng, dtype, shape, name):
    dt = np.dtype(dtype)
    size = int(np.prod(shape))
    if dt == bool:
        return rng.random(shape) < 0.5
    if dt.kind in "iu":
        small = rng.integers(0 if dt.kind == "u" else -4, 5, size)
        if name not in INTEGER_PRODUCTS and dt.itemsize == 8 and rng.random() < 0.5:
            info = np.iinfo(dt)
            big = rng.integers(info.min // 2, info.max // 2, size, dtype=dt, endpoint=True)
            small = np.where(rng.random(size) < 0.5, big, small.astype(dt))
        return small.astype(dt).reshape(shape)
    scale = rng.choice([1.0, 100.0, 1e-3])
    x = rng.standard_normal(size) * scale
    x[rng.random(size) < 0.1] = np.nan
    x[rng.random(size) < 0.05] = np.inf
    x[rng.random(size) < 0.05] = -np.inf
    x[rng.random(size) < 0.1] = 0.0
    if size > 6 and rng.random() < 0.5:
        start = int(rng.integers(0, size - 5))
        x[start:start + 5] = rng.choice([3.0, 0.1, -2.0])  # constant windows
    return x.astype(dt).reshape(shape)


def lay_out(rng, x, layout):
    if layout == "F" and x.ndim == 2:
        return np.asfortranarray(x)
    if layout == "strided":
        wide = np.repeat(x, 2, axis=0)
        return wide[::2] if x.ndim == 1 else np.repeat(wide, 3, axis=1)[::2, ::3]
    if layout == "reversed":
        return x[::-1].copy()[::-1]
    if layout == "readonly":
        x = x.copy()
        x.flags.writeable = False
        return x
    if layout == "swapped" and x.dtype.itemsize > 1:
        return x.astype(x.dtype.newbyteorder("S"))
    if layout == "unaligned" and x.dtype.itemsize > 1:
        raw = np.zeros(x.nbytes + 1, dtype=np.uint8)
        view = raw[1:].view(x.dtype).reshape(x.shape)
        view[...] = x
        return view
    if layout == "broadcast" and x.ndim == 2:
        return np.broadcast_to(x[:1], x.shape) if rng.random() < 0.5 else np.broadcast_to(x[:, :1], x.shape)
    return np.ascontiguousarray(x)


def formula(name, args):
    """The reference formula per column, with numpy's warnings."""
    with warnings.catch_warnings(record=True) as caught, ref.numpy2_promotion():
        warnings.simplefilter("always")
        if name == "ts_rank":
            out = ref.ts_rank(*args, kind="stable")
        else:
            out = getattr(ref, name)(*args)
    return out, {str(w.message).split(" encountered")[0] for w in caught if w.category is RuntimeWarning}


def expected(name, series, n):
    """numpy's result for 1-D or 2-D input, and the conditions it warns about."""
    dtypes = [s.dtype for s in series]
    half = any(dt.kind == "f" and dt.itemsize == 2 for dt in dtypes)
    if series[0].ndim == 1:
        columns = [series]
    elif series[0].shape[1] == 0:  # only the result's dtype is wanted
        columns = [[np.zeros(len(s), s.dtype) for s in series]]
    else:
        columns = [[s[:, c] for s in series] for c in range(series[0].shape[1])]
    results, kinds = [], set()
    for col in columns:
        col = [np.ascontiguousarray(c) for c in col]
        args = (n, *col) if name in ref.PAIRED else (col[0], n)
        want, raised = formula(name, args)
        if half:
            # Deliberately computed in float32 (numpy's float16 moments
            # overflow), then returned in numpy's dtype.
            wide = [c.astype(np.float32) if c.dtype.kind == "f" and c.dtype.itemsize == 2 else c for c in col]
            precise, raised = formula(name, (n, *wide) if name in ref.PAIRED else (wide[0], n))
            with np.errstate(all="ignore"):
                want = precise.astype(want.dtype)
        if name == "kurt" and n <= 3 and dtypes[0].kind == "u":
            want = np.full(want.shape, {1: -3.0, 2: -2.0, 3: -1.5}[n])  # float64 constants, not wrapped
        results.append(want)
        kinds |= raised
    if series[0].ndim == 1:
        return results[0], kinds
    if series[0].shape[1] == 0:
        return np.empty((results[0].shape[0], 0), dtype=results[0].dtype), set()
    return np.stack(results, axis=1).astype(results[0].dtype, copy=False), kinds


def check(name, series, n):
    call = (lambda: getattr(rolling, name)(n, *series)) if name in ref.PAIRED else (
        lambda: getattr(rolling, name)(series[0], n))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = call()
    kinds = {str(w.message).split(" encountered")[0] for w in caught}
    assert len(caught) == len(kinds), [str(w.message) for w in caught]
    want, want_kinds = expected(name, series, n)
    assert got.shape == want.shape
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    np.testing.assert_array_equal(got, want)
    # Exact conditions where we run the formula's own arithmetic; float16
    # and integer products are deliberately computed wider.
    if all(s.dtype.kind == "f" and s.dtype.itemsize >= 4 for s in series):
        assert kinds == want_kinds, (kinds, want_kinds)


def window_for(rng, length):
    """A valid window half the time, else an edge case and the error it must raise."""
    if rng.random() < 0.5:
        return int(rng.integers(1, length + 1)), None
    edges = [(1, None), (length, None), (np.int8(1), None), (length + 1, ValueError), (0, ValueError),
             (-2, ValueError), (2.0, TypeError), ("3", TypeError), (None, TypeError), (True, TypeError)]
    return edges[int(rng.integers(0, len(edges)))]


@pytest.mark.parametrize("name", ref.KERNELS)
def test_random_inputs_match_the_formula_or_raise(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    for case in range(120):
        dtype = NUMERIC[case % len(NUMERIC)]
        other = NUMERIC[int(rng.integers(0, len(NUMERIC)))] if rng.random() < 0.5 else dtype
        two_d = rng.random() < 0.4
        length = int(rng.integers(1, 30))
        shape = (length, int(rng.integers(0, 5))) if two_d else (length,)
        layouts = rng.choice(LAYOUTS, 2)
        series = [lay_out(rng, values(rng, dt, shape, name), lay) for dt, lay in
                  zip((dtype, other), layouts)][: 2 if name in ref.PAIRED else 1]
        n, error = window_for(rng, length)
        if error is None:
            check(name, series, n)
        else:
            with pytest.raises(error, match="window"):
                check(name, series, n)


@pytest.mark.parametrize("name", ref.KERNELS)
def test_non_numeric_series_raise_type_error(name):
    for bad in REJECTED:
        for args in ([bad], [np.arange(2.0), bad], [bad, np.arange(2.0)]):
            if name not in ref.PAIRED and len(args) == 2:
                continue
            with pytest.raises(TypeError, match="must be an array of real numbers or booleans, got dtype"):
                if name in ref.PAIRED:
                    getattr(rolling, name)(1, *(args * 2)[:2])
                else:
                    getattr(rolling, name)(args[0], 1)

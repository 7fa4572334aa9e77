"""Kernels against the numpy formulas where types, byte order or window length push them to their limits."""

import itertools
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import rolling_reference as ref
from quellix import rolling


def same(got, want):
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    np.testing.assert_array_equal(got, want)


def quiet(fn, *args):
    with np.errstate(all="ignore"), ref.numpy2_promotion():
        return fn(*args)


# numpy 1.x reduces more than 8192 values in buffer-sized pieces, so its
# formulas round long windows differently; the kernels give numpy 2's sums.
numpy2_sums = pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0",
                                 reason="numpy 1.x sums long windows in 8192-value pieces")


@numpy2_sums
def test_slope_of_windows_whose_square_sum_overflows_int64():
    # n (n - 1) (2n - 1) passes 2**63 at n ~ 1.66 million.
    n = 2_100_000
    y = np.random.default_rng(3).standard_normal(n + 2)
    line = np.arange(n + 1.0) * 0.5 + 3.0
    for series in (y, line):
        same(rolling.slope(series, n), ref.slope(series, n))


PAIR_DTYPES = ["float64", "float32", "int64", "int32", "int16", "uint16", "int8", "uint8", "bool"]


def pair_series(dtype, rng, length=60):
    if dtype == "bool":
        return rng.random(length) < 0.6
    if np.dtype(dtype).kind in "iu":
        return rng.integers(0, 5, length).astype(dtype)
    x = rng.standard_normal(length).astype(dtype)
    x[10:20] = 0.1  # a constant window of a value no float holds exactly
    x[30:36] = 3.0
    return x


@pytest.mark.parametrize("name", ref.PAIRED)
def test_pairs_multiply_in_numpys_type_for_every_dtype_pair(name):
    rng = np.random.default_rng(11)
    for da, db in itertools.product(PAIR_DTYPES, repeat=2):
        a, b = pair_series(da, rng), pair_series(db, rng)
        for n in (1, 3, 7):
            same(quiet(getattr(rolling, name), n, a, b), quiet(getattr(ref, name), n, a, b))


def test_bool_against_float32_constant_window():
    a = np.array([True, False, True, True, True, False, True, True])
    b = np.full(8, 0.1, dtype=np.float32)
    b[-2:] = [0.5, 0.25]
    for name in ref.PAIRED:
        same(quiet(getattr(rolling, name), 3, a, b), quiet(getattr(ref, name), 3, a, b))
        same(quiet(getattr(rolling, name), 3, b, a), quiet(getattr(ref, name), 3, b, a))


@pytest.mark.parametrize("name", ref.KERNELS)
def test_byte_swapped_input_reads_its_values(name):
    x = np.random.default_rng(5).standard_normal(40)
    swapped = x.astype(">f8") if sys.byteorder == "little" else x.astype("<f8")
    if name in ref.PAIRED:
        got, want = quiet(getattr(rolling, name), 4, swapped, swapped[::-1]), quiet(getattr(ref, name), 4, x, x[::-1])
    else:
        got, want = quiet(getattr(rolling, name), swapped, 4), quiet(getattr(ref, name), x, 4)
    np.testing.assert_array_equal(got, want)


LONG = 2**24 + 1  # float32 cannot hold this count: float32(LONG) == 2**24


@numpy2_sums
@pytest.mark.parametrize("name", ["ma", "sum", "var"])
def test_float32_windows_past_2_to_24_stay_float32(name):
    x = np.random.default_rng(2).standard_normal(LONG + 2).astype(np.float32) + np.float32(1.1)
    same(getattr(rolling, name)(x, LONG), quiet(getattr(ref, name), x, LONG))


@pytest.mark.parametrize("name", ["ts_argmax", "ts_argmin"])
def test_float32_positions_past_2_to_24_on_row_major_panels(name):
    n = 2**24 + 3
    x = np.zeros((n + 2, 2), dtype=np.float32)
    x[3, 0] = x[n - 2, 1] = 1 if name == "ts_argmax" else -1
    got = getattr(rolling, name)(x, n)
    for c in range(2):
        same(got[:, c], getattr(ref, name)(x[:, c], n))


def test_arg_extreme_scratch_grows_with_the_windows_asked_for():
    # A row-major panel with a long window and few dates to evaluate needs
    # scratch for those dates only, not for a whole block of n dates.
    code = textwrap.dedent("""
        import resource, numpy as np
        from quellix import rolling
        x = np.random.default_rng(0).standard_normal((5_000_008, 3))
        resource.setrlimit(resource.RLIMIT_AS, (USED + (600 << 20),) * 2)
        got = rolling.ts_argmax(x, 5_000_000)
        want = [np.lib.stride_tricks.sliding_window_view(x[:, c], 5_000_000).argmax(axis=-1) for c in range(3)]
        assert (got == np.array(want, dtype=float).T).all()
    """)
    probe = "import numpy, quellix.rolling\nprint(open('/proc/self/statm').read().split()[0])"
    pages = int(subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout)
    used = pages * resource.getpagesize() + (200 << 20)  # plus the panel itself and a margin
    subprocess.run([sys.executable, "-c", code.replace("USED", str(used))], check=True, timeout=60)

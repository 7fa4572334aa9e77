"""Every kernel on whole panels at long windows, bit for bit against the numpy formula.

Long windows on row-major panels take their own paths (shared partial sums
over numpy's summation tree, block extremes, windows copied strip by strip),
split over dates between threads and over tiles of columns; these panels are
large enough to cross those boundaries, with the values that break them:
runs of NaN, spikes of 1e8 beside values of 1, constant stretches and
infinities.
"""

import numpy as np
import pytest

import rolling_reference as ref
from quellix import rolling
from test_kernel_fuzz import check, values


def hostile_panel(rng, shape, dtype):
    dates, columns = shape
    x = rng.standard_normal(shape)
    x[rng.random(shape) < 0.3] = 1.0
    x[rng.random(shape) < 0.02] = 1e8  # spikes next to values of 1
    for c in rng.choice(columns, columns // 3, replace=False):
        start = int(rng.integers(0, dates - 40))
        x[start:start + int(rng.integers(5, 40)), c] = np.nan  # NaN runs
    run = min(130, dates // 2)
    for c in rng.choice(columns, columns // 3, replace=False):
        start = int(rng.integers(0, dates - run))
        x[start:start + run, c] = rng.choice([2.5, 0.1, -3.0])  # constant windows
    x[rng.random(shape) < 0.002] = np.inf
    x[rng.random(shape) < 0.002] = -np.inf
    return x.astype(dtype)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("n", [120, 250])
@pytest.mark.parametrize("name", ref.KERNELS)
def test_long_windows_on_panels(name, n, order):
    rng = np.random.default_rng([n, len(name), ord(order)])
    dtype = "float32" if name in ("ma", "std", "ts_min", "slope", "correlation", "covariance") else "float64"
    other = "float32" if name == "regression" else dtype  # a mixed pair
    shape = (n + 160, 70)
    series = [np.asarray(hostile_panel(rng, shape, dt), order=order) for dt in (dtype, other)]
    check(name, series[:2] if name in ref.PAIRED else series[:1], n)


@pytest.mark.parametrize("name", ["sum", "ma", "product", "ts_max", "ts_argmin", "var", "skew", "covariance",
                                  "correlation", "regression"])
def test_long_windows_across_tiles_and_runs(name):
    # Wider than a tile of columns and longer than a run of windows.
    rng = np.random.default_rng(11)
    for shape, n in (((420, 300), 200), ((1150, 9), 40), ((700, 20), 640)):
        series = [hostile_panel(rng, shape, "float64") for _ in range(2)]
        check(name, series[:2] if name in ref.PAIRED else series[:1], n)


@pytest.mark.parametrize("name", ["sum", "ma", "std", "slope"])
def test_sums_follow_numpys_summation_tree_at_any_length(name):
    # Past 128 values numpy splits a sum into blocks; the split points move
    # with n (multiples of 8, uneven halves, several levels).
    rng = np.random.default_rng(5)
    for n in (129, 136, 255, 256, 257, 383, 1031, 2049):
        x = hostile_panel(rng, (n + 37, 19), "float64")
        check(name, [x], n)
        check(name, [x[:, 3].copy()], n)


@pytest.mark.parametrize("name", ref.KERNELS)
def test_panel_columns_equal_their_series(name):
    # Row-major panels, column-major panels and single series take different
    # paths (and thread splits); each column's result is the series' own.
    rng = np.random.default_rng(len(name))
    for n in (17, 40, 130):
        x = hostile_panel(rng, (n + 90, 21), "float64")
        y = hostile_panel(rng, (n + 90, 21), "float64")
        run = (lambda a, b: getattr(rolling, name)(n, a, b)) if name in ref.PAIRED else (
            lambda a, b: getattr(rolling, name)(a, n))
        with np.errstate(all="ignore"):
            by_row = run(x, y)
            by_column = run(np.asfortranarray(x), np.asfortranarray(y))
            alone = np.stack([run(x[:, c].copy(), y[:, c].copy()) for c in range(x.shape[1])], axis=1)
        np.testing.assert_array_equal(by_row, alone)
        np.testing.assert_array_equal(by_column, alone)


@pytest.mark.parametrize("dtype", ["int64", "uint8", "bool"])
def test_integer_panels_at_long_windows(dtype):
    # Integer sums and products wrap as numpy's do, whatever the grouping of windows.
    rng = np.random.default_rng(3)
    x = values(rng, dtype, (300, 13), "product")
    for name in ("sum", "product", "count", "ts_min", "ts_max", "ts_argmax", "ts_rank"):
        for n in (33, 140):
            check(name, [x], n)


@pytest.mark.parametrize("name", ["sum", "ma", "std", "kurt", "covariance", "regression"])
def test_few_windows_split_between_threads(name):
    # A wide panel with a handful of windows: each thread gets fewer windows
    # than the shared partial sums need, and falls back to window by window.
    rng = np.random.default_rng(8)
    for windows in (1, 3, 5, 9):
        series = [hostile_panel(rng, (300 + windows - 1, 400), "float64") for _ in range(2)]
        check(name, series[:2] if name in ref.PAIRED else series[:1], 300)


@pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0",
                    reason="numpy 1.x sums long windows in 8192-value pieces")
@pytest.mark.parametrize("name", ["sum", "ma", "var", "regression"])
def test_windows_beyond_the_flat_summation_tree(name):
    # Tens of thousands of values per window: the tree of numpy's sum has
    # more leaves than are walked without recursion.
    rng = np.random.default_rng(9)
    n = 40000
    x = rng.standard_normal((n + 6, 3))
    x[::97] = 1e8
    series = [x, x[::-1].copy()]
    check(name, series[:2] if name in ref.PAIRED else series[:1], n)
    check(name, [s[:, 1].copy() for s in series][: 2 if name in ref.PAIRED else 1], n)


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "uint64"])
@pytest.mark.parametrize("name", ["ts_min", "ts_max"])
def test_series_extremes_equal_the_scan_bit_for_bit(name, dtype):
    # Integer series at long windows run the block strategy; each value must
    # be the scan's (a column-major panel's column), and for floats the zero's
    # sign the scan picks too.
    rng = np.random.default_rng([len(name), len(dtype)])
    x = hostile_panel(rng, (700, 1), "float64")[:, 0]
    x[rng.random(700) < 0.2] = 0.0
    x[rng.random(700) < 0.2] = -0.0
    if dtype[0] in "iu":
        x = np.nan_to_num(x, nan=3.0, posinf=7.0, neginf=0.0) * 1000
        x = np.abs(x) if dtype[0] == "u" else x
    x = x.astype(dtype)
    kernel = getattr(rolling, name)
    for n in (15, 16, 17, 63, 64, 65, 250, 700):
        got = kernel(x, n)
        scan = kernel(np.asfortranarray(np.stack([x, x], axis=1)), n)[:, 0]
        assert got.tobytes() == scan.tobytes(), n
        check(name, [x], n)

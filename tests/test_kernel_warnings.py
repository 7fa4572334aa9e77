"""Floating-point errors of the kernels reported as numpy reports those of the formulas."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

import rolling_reference as ref
from quellix import rolling

QUIET = ("count", "ts_rank", "ts_min", "ts_max", "ts_argmax", "ts_argmin")


def run(fn, name, x, n, y):
    return fn(n, x, y) if name in ref.PAIRED else fn(x, n)


def messages(fn, name, x, n, y):
    with warnings.catch_warnings(record=True) as caught, ref.numpy2_promotion():
        warnings.simplefilter("always")
        run(fn, name, x, n, y)
    assert all(w.category is RuntimeWarning for w in caught)
    return [str(w.message) for w in caught]


def kinds(texts):
    return {t.split(" encountered")[0] for t in texts}


CASES = [
    # (description, x, y, windows): 0/0 from windows of equal integers,
    # x/0 from a constant series against a varying one, inf - inf, NaN.
    ("equal integers", [5.0, 5, 5, 5, 5, 7, 7, 7, 7], [1.0, 2, 3, 4, 5, 6, 7, 8, 9], (1, 2, 4)),
    ("constant against varying", [3.0] * 8, [0.8, 0.3, -1.3, 0.9, 0.4, -0.5, 0.6, 0.4], (3,)),
    ("constant fraction", [0.3] * 8, [0.1, 0.9, -0.2, 0.7, 0.7, 0.4, 1.7, 0.8], (5,)),
    ("underflowing deviations", [1e-200, 2e-200, 1e-200, 2e-200], [1.0, 2.0, 3.0, 5.0], (2,)),
    ("zeros", [0.0] * 6, [0.0] * 6, (1, 2, 4)),
    ("infinities", [1.0, np.inf, 3, 4, -np.inf, 6], [2.0, 1, -np.inf, 3, 5, np.inf], (1, 2, 4)),
    ("nan", [1.0, np.nan, 3, 4, 5, 6], [6.0, 5, 4, np.nan, 2, 1], (2, 4)),
]


@pytest.mark.parametrize("name", ref.KERNELS)
@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_conditions_and_wording_follow_the_formula(name, case):
    _, x, y, windows = case
    for dtype in ("float64", "float32"):
        a, b = np.array(x, dtype=dtype), np.array(y, dtype=dtype)
        if dtype == "float32" and case[0] == "underflowing deviations":
            continue  # 1e-200 is 0 in float32
        for n in windows:
            want = messages(getattr(ref, name), name, a, n, b)
            got = messages(getattr(rolling, name), name, a, n, b)
            assert kinds(got) == kinds(want), (dtype, n, got, want)
            # One report per condition, in words numpy uses for it here.
            # With infinities the formula meets inf - inf in whichever of
            # its reductions and subtractions comes first; ours names one.
            assert len(got) == len(kinds(got))
            if case[0] != "infinities":
                assert set(got) <= set(want), (dtype, n, got, want)


@pytest.mark.parametrize("name", QUIET)
def test_kernels_whose_formula_never_warns_stay_quiet(name):
    x = np.array([np.nan, np.inf, -np.inf, 0.0, 0.0, np.inf, 1.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        getattr(rolling, name)(x, 3)


def test_whole_panels_warn_once():
    # Many 0/0 windows, split over both cores: one warning per condition.
    x = np.repeat(np.arange(600.0), 5)[:, None] * np.ones((1, 400))
    x[::7, 3] = np.inf
    for panel in (np.ascontiguousarray(x), np.asfortranarray(x)):
        got = messages(rolling.zscore, "zscore", panel, 5, None)
        assert sorted(got) == ["invalid value encountered in subtract"]
        got = messages(rolling.correlation, "correlation", panel[:, :200], 3, panel[:, 200:] * 0.1 + 1.0)
        assert kinds(got) == {"invalid value", "divide by zero"} and len(got) == 2


def test_errstate_modes():
    zeros = np.zeros(5)
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isnan(rolling.zscore(zeros, 3)).all()
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError, match="^invalid value encountered in divide$"):
            rolling.zscore(zeros, 3)
    with np.errstate(divide="raise", invalid="ignore"):
        with pytest.raises(FloatingPointError, match="^divide by zero encountered in divide$"):
            rolling.correlation(3, np.full(8, 3.0), np.array([0.8, 0.3, -1.3, 0.9, 0.4, -0.5, 0.6, 0.4]))
        rolling.zscore(zeros, 3)
    calls = []
    with np.errstate(all="call"):
        old = np.seterrcall(lambda *args: calls.append(args))
        try:
            rolling.zscore(zeros, 3)
            np.divide(zeros, zeros)
        finally:
            np.seterrcall(old)
    assert calls[0] == calls[1] == ("invalid value", 8)

    class Log:
        def __init__(self):
            self.lines = []

        def write(self, text):
            self.lines.append(text)

    log = Log()
    with np.errstate(all="log"):
        old = np.seterrcall(log)
        try:
            rolling.skew(zeros, 3)
        finally:
            np.seterrcall(old)
    assert log.lines == ["Warning: invalid value encountered in divide\n"]


def test_print_mode_writes_numpy_line_to_stderr():
    code = ("import numpy as np; from quellix import rolling\n"
            "with np.errstate(all='print'):\n"
            "    rolling.zscore(np.zeros(4), 2)\n"
            "    np.divide(np.zeros(1), np.zeros(1))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stderr.splitlines() == ["Warning: invalid value encountered in divide"] * 2


def test_warning_points_at_the_caller():
    with pytest.warns(RuntimeWarning) as caught:
        rolling.kurt(np.zeros(6), 4)
    assert caught[0].filename == __file__


@pytest.mark.parametrize("name", ["ma", "sum", "zscore"])
def test_row_major_panels_warn_as_their_columns_do(name):
    # Row-major panels share partial window sums between dates; a pair of
    # neighbours that no window of numpy's adds (here inf + -inf behind a
    # NaN) must not raise anything.
    for length in range(8, 14):
        column = np.ones(length)
        column[:3] = [np.nan, np.inf, -np.inf]
        panel = np.stack([column, column[::-1]], axis=1)
        want = set()
        for c in range(2):
            want |= kinds(messages(getattr(ref, name), name, panel[:, c].copy(), 8, None))
        assert kinds(messages(getattr(rolling, name), name, panel, 8, None)) == want, length

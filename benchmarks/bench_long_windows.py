"""Speed of the rolling kernels on a whole-market panel at short and long windows.

A 2,500 x 5,000 float64 panel (dates by instruments, C order, 1% NaN) at
windows 5, 20, 60, 120 and 250, for every kernel: our time, the numpy
formula's (run column by column on a sample of columns and scaled to all of
them) and, where bottleneck has the kernel, bottleneck's `move_*` along axis
0. The bottleneck columns are left empty when it is not installed (it is a
benchmark-only dependency: `pip install quellix[bench]`).

All timings come from the same run: each round times every contender of a
case back to back, and a case's figure is its best round of three, so load
from other processes hits the contenders alike. The ratios are the other
side's time over ours (above 1: we are faster).

Notes on the two-pass moments (std, var, zscore, avedev, skew, kurt and
correlation). Their results must equal numpy's formula bit for bit: the mean
of each window first, then a pairwise sum of the squared (or absolute,
cubed...) deviations from that window's own mean. The deviations change with
every window, so no running update can reproduce them: every window costs n
subtractions, n multiplications and n additions per deviation sum, in lanes
of 8 doubles. The means (and the sums of covariance and regression, which
are plain window sums) share partial sums between neighbouring windows, about
n / 8 additions per window.

The machine (AMD Zen 4, 2.6 GHz, 2 cores) retires per core and cycle two
256-bit additions and two 256-bit multiplications, i.e. 8 additions and 8
multiplications of doubles. A squared deviation takes two additions
(subtract, accumulate) and one multiplication, so at best 4 elements per
cycle per core. var at n = 250 on this panel: 2,251 x 5,000 windows x 250 =
2.8e9 elements / (2 cores x 4 x 2.6e9 per second) = 0.135 s, before writing
the 90 MB result (whose fresh pages the kernel zeroes, about 15% of our
time). bottleneck's move_std is a running sum, ~0.1 s whatever n, so parity is
out of reach for exact results; the goal for these kernels is within 2x of
move_std at n >= 60 (ratio >= 0.5 in the table, where their bn column is
move_std). skew adds a cube pass (3 operations per element), kurt a fourth
power pass, correlation a second series (two deviation passes and a product
sum): their bound grows by those factors.

Run: .venv/bin/python benchmarks/bench_long_windows.py [kernel ...]
"""

import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import rolling_reference as ref  # noqa: E402

import quellix.rolling as rolling  # noqa: E402

try:
    import bottleneck as bn
except ImportError:  # a benchmark-only dependency
    bn = None

SHAPE = (2500, 5000)
WINDOWS = (5, 20, 60, 120, 250)
SAMPLED_COLUMNS = 10
ROUNDS = 3
NAN_SHARE = 0.01

# Our kernel -> bottleneck's, both along the dates axis. ts_rank is on a
# different scale (bottleneck's is in [-1, 1]) but does the same work.
PEERS = {
    "sum": "move_sum",
    "ma": "move_mean",
    "std": "move_std",
    "var": "move_var",
    "ts_min": "move_min",
    "ts_max": "move_max",
    "ts_argmin": "move_argmin",
    "ts_argmax": "move_argmax",
    "ts_rank": "move_rank",
}
TWO_PASS = ("std", "var", "zscore", "avedev", "skew", "kurt", "covariance", "correlation", "regression")


def timed(func):
    start = time.perf_counter()
    func()
    return time.perf_counter() - start


def panel(rng):
    x = rng.standard_normal(SHAPE)
    x[rng.random(SHAPE) < NAN_SHARE] = np.nan
    return x


def contenders(name, a, b, window, columns):
    ours = getattr(rolling, name)
    formula = getattr(ref, name)
    paired = name in ref.PAIRED
    calls = {"ours": (lambda: ours(window, a, b)) if paired else (lambda: ours(a, window))}

    def sampled():
        for c in columns:
            if paired:
                formula(window, a[:, c], b[:, c])
            else:
                formula(a[:, c], window)

    calls["numpy"] = sampled
    peer = PEERS.get(name, "move_std" if name in TWO_PASS else None)
    if bn is not None and peer is not None:
        move = getattr(bn, peer)
        calls["bn"] = lambda: move(a, window, axis=0)
    return calls


def measure(name, a, b, window, columns):
    calls = contenders(name, a, b, window, columns)
    best = {key: float("inf") for key in calls}
    for _ in range(ROUNDS):
        for key, func in calls.items():
            best[key] = min(best[key], timed(func))
    best["numpy"] *= SHAPE[1] / len(columns)
    return best


def main(argv):
    # Other arguments are benchmarks/run.py's, which runs this file as a script.
    names = [name for name in argv if name in ref.KERNELS] or list(ref.KERNELS)
    rng = np.random.default_rng(20240611)
    a, b = panel(rng), panel(rng)
    columns = np.linspace(0, SHAPE[1] - 1, SAMPLED_COLUMNS).astype(int)
    print("%d x %d float64, %.0f%% NaN, best of %d; bottleneck %s" %
          (SHAPE[0], SHAPE[1], NAN_SHARE * 100, ROUNDS, bn.__version__ if bn else "not installed"))
    print("%-12s %5s %10s %10s %10s %9s %9s" % ("kernel", "n", "ours ms", "numpy ms", "bn ms", "np/ours", "bn/ours"))
    rows = []
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for name in names:
            for window in WINDOWS:
                t = measure(name, a, b, window, columns)
                peer = t.get("bn")
                rows.append((name, window, t))
                print("%-12s %5d %10.1f %10.0f %10s %9.1f %9s" % (
                    name, window, t["ours"] * 1e3, t["numpy"] * 1e3,
                    "-" if peer is None else "%.1f" % (peer * 1e3), t["numpy"] / t["ours"],
                    "-" if peer is None else "%.2f" % (peer / t["ours"])), flush=True)
    return rows


if __name__ == "__main__":
    main(sys.argv[1:])

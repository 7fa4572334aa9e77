"""Times of every rolling kernel on float64 input, as JSON on stdout: 1-D
series of 2,500 values and a C-order 2,500 x 5,000 panel (the layout the
evaluator hands over), windows 5, 20, 60, 120 and 250. The worker of
compare_builds.py; run it with the build to time first on sys.path.

    kernel_times.py [KERNELS] [LAYOUTS] [wall|cpu] [WINDOWS]
"""
import json
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import rolling_reference as ref  # noqa: E402

import quellix.rolling as rolling  # noqa: E402

WINDOWS = (5, 20, 60, 120, 250)


def best_time(func, budget, repeat, clock=time.perf_counter):
    start = clock()
    func()
    once = max(clock() - start, 1e-7)
    calls = max(1, int(budget / repeat / once))
    best = float("inf")
    for _ in range(repeat):
        start = clock()
        for _ in range(calls):
            func()
        best = min(best, (clock() - start) / calls)
    return best


def call(name, data, other, window):
    f = getattr(rolling, name)
    if name in ref.PAIRED:
        return lambda: f(window, data, other)
    return lambda: f(data, window)


def main():
    kernels = sys.argv[1].split(",") if len(sys.argv) > 1 and sys.argv[1] else ref.KERNELS
    layouts = sys.argv[2].split(",") if len(sys.argv) > 2 else ["1-D", "panel"]
    # CPU time of both threads: steadier than wall time on a machine shared with other work.
    clock = time.process_time if len(sys.argv) > 3 and sys.argv[3] == "cpu" else time.perf_counter
    windows = [int(w) for w in sys.argv[4].split(",")] if len(sys.argv) > 4 and sys.argv[4] else WINDOWS
    rng = np.random.default_rng(7)
    data = {"1-D": (rng.standard_normal(2500), rng.standard_normal(2500)),
            "panel": (rng.standard_normal((2500, 5000)), rng.standard_normal((2500, 5000)))}
    times = {}
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        for layout in layouts:
            x, y = data[layout]
            budget, repeat = (0.1, 5) if layout == "1-D" else (0.0, 3)
            for name in kernels:
                for window in windows:
                    times[f"{name} {layout} n={window}"] = best_time(call(name, x, y, window), budget, repeat, clock)
    json.dump(times, sys.stdout)


if __name__ == "__main__":
    main()

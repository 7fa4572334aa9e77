"""Screening 50 candidate factors on the 5,000-stock, 10-year sample market.

Families: reversal, momentum, volatility, volume and price range, each over
several windows, through the default pipeline with periods [1, 5, 10, 20].
Baseline: separate execute_factor + engine runs, measured for a few factors
in the same process and scaled to 50. Then the screen on this machine's
cores, and the same screen on a LocalCluster of 2 worker processes (one
thread each), whose figures must equal the local screen's.

Targets: the screen at least 3x faster than separate runs; the cluster run
identical and within 1.5x of the local screen's time; peak memory per
worker within 3 GB.

    python benchmarks/bench_screen.py [n_stocks] [n_measured]
"""
import resource
import sys
import time

import pandas as pd

import quellix
import vestamo
from quellix.analysis import assaycore as ac
from quellix.interface import Factor
from quellix.rolling import MA, STD, TS_MAX, TS_MIN, TS_RANK
from quellix.screening import default_steps

PERIODS = [1, 5, 10, 20]
START, END = "2015-01-01", "2024-12-31"


def candidates():
    close, high, low, volume = Factor("close"), Factor("high"), Factor("low"), Factor("volume")
    out = {}
    for w in (2, 3, 5, 10, 15, 20, 30, 40, 60, 120):
        out["reversal_{}".format(w)] = MA(close, w) / close - 1
    for short, long_ in ((5, 20), (5, 40), (5, 60), (5, 120), (5, 250), (10, 60), (10, 120), (20, 120),
                         (20, 250), (60, 250)):
        out["momentum_{}_{}".format(short, long_)] = MA(close, short) / MA(close, long_) - 1
    for w in (5, 10, 20, 40, 60):
        out["volatility_{}".format(w)] = STD(close / MA(close, 20), w)
        out["volatility_own_{}".format(w)] = STD(close / MA(close, w), w)
    for w in (20, 40, 60, 120, 250):
        out["volume_ratio_{}".format(w)] = MA(volume, 5) / MA(volume, w)
        out["volume_rank_{}".format(w // 4)] = TS_RANK(volume, w // 4)
    for w in (5, 10, 20, 40, 60):
        out["range_{}".format(w)] = MA((high - low) / close, w)
        out["channel_{}".format(w)] = TS_MAX(high, w) / TS_MIN(low, w) - 1
    return out


def peak_gb():
    """This process's peak resident memory. A child inherits its parent's ru_maxrss across fork and
    exec, so on Linux the high-water mark of its own address space is read instead."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 2**20
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20


def separate_run(expression, universe):
    factor = quellix.execute_factor(expression, universe, START, END)
    engine = ac.FactorAnalysisEngine()
    for step in default_steps():
        engine.append(step)
    return engine.analysis(factor, "daily", periods=PERIODS)


def main():
    n_stocks = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    n_measured = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    t = time.perf_counter()
    vestamo.set_market(vestamo.make_market(n_stocks=n_stocks, start_date=START, end_date=END))
    universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    dates = vestamo.get_trading_dates(START, END)
    vestamo.get_price(universe[:1], dates[0], dates[-1], fields="close")  # builds the market's bars
    # The industry tables are cached for hours: every way of running pays for them once, here.
    ac.get_all_industry_category("citics_2019")
    ac.get_all_industry_data("citics_2019")
    print("market: {} stocks x {} dates, built in {:.1f}s".format(len(universe), len(dates), time.perf_counter() - t))

    factors = candidates()
    rows = []
    names = list(factors)[::len(factors) // n_measured][:n_measured]
    t = time.perf_counter()
    for name in names:
        separate_run(factors[name], universe)
    per_factor = (time.perf_counter() - t) / len(names)
    separate = per_factor * len(factors)
    rows.append(("separate runs ({} measured, scaled)".format(len(names)), separate, peak_gb()))

    t = time.perf_counter()
    local = quellix.screen(factors, universe, START, END, periods=PERIODS, progress=False)
    local_time = time.perf_counter() - t
    rows.append(("screen, local threads", local_time, peak_gb()))

    try:
        from distributed import Client, LocalCluster
    except ImportError:
        Client = None
        print("dask.distributed is not installed (pip install quellix[distributed]): no cluster run")
    worker_peaks, identical, cluster_time = [], None, float("nan")
    if Client is not None:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                          silence_logs=40) as cluster, Client(cluster) as client:
            t = time.perf_counter()
            remote = quellix.screen(factors, universe, START, END, periods=PERIODS, client=client, progress=False)
            cluster_time = time.perf_counter() - t
            worker_peaks = list(client.run(peak_gb).values())
        rows.append(("screen, LocalCluster 2 workers", cluster_time, max(worker_peaks)))
        identical = remote.summary.equals(local.summary) and remote.correlation.equals(local.correlation)

    print("{} candidates, periods {}, failed: {}".format(len(factors), PERIODS, dict(local.errors) or "none"))
    print("{:<40}{:>10}{:>10}{:>10}".format("run", "seconds", "ratio", "peak GB"))
    for label, seconds, peak in rows:
        print("{:<40}{:>10.1f}{:>10.2f}{:>10.2f}".format(label, seconds, seconds / local_time, peak))
    print("separate / screen: {:.2f}x (target >= 3); cluster / local: {:.2f}x (target <= 1.5); "
          "cluster results identical: {}".format(separate / local_time, cluster_time / local_time, identical))
    print("peak GB: this process {:.2f}, workers {} (target <= 3 each)".format(
        peak_gb(), ", ".join("{:.2f}".format(p) for p in worker_peaks)))
    with pd.option_context("display.width", 200, "display.max_columns", 8):
        print(local.ranked("IC IR", period=5).head(10).iloc[:, :6])


if __name__ == "__main__":
    main()

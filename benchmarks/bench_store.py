"""Queries answered from a Parquet data folder against the same queries on the in-memory market.

Run: python benchmarks/bench_store.py [--stocks 5000] [--start 2015-01-01] [--end 2024-12-31] [--folder DIR]

The sample market is exported to a temporary folder (or to --folder, reused
if it already holds one), then each query runs on the in-memory market and
on the folder: best time of --repeat runs, and the peak memory of one more
run (numpy and pandas buffers traced by tracemalloc plus Arrow's pool),
next to the size of the answer. "row groups" counts the groups of the bar
table whose statistics let the query skip none of them.
"""

import argparse
import pathlib
import tempfile
import threading
import time
import tracemalloc

import pandas as pd
import pyarrow as pa

import vestamo
from vestamo.build import INDEX_CODE


def timed(call, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def peak_mb(call):
    """Peak memory of one call above what it starts with, and the answer's size (MB).

    Python-side buffers (numpy, pandas) are traced by tracemalloc; Arrow
    allocates from its own pool, so a thread samples both every millisecond.
    """
    pool = pa.default_memory_pool()
    tracemalloc.start()
    base = pool.bytes_allocated()
    peak = [0]
    done = threading.Event()

    def sample():
        while not done.wait(0.001):
            peak[0] = max(peak[0], tracemalloc.get_traced_memory()[0] + pool.bytes_allocated() - base)

    watcher = threading.Thread(target=sample)
    watcher.start()
    try:
        result = call()
    finally:
        done.set()
        watcher.join()
        traced_peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    return max(peak[0], traced_peak) / 1e6, result.memory_usage(index=True).sum() / 1e6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--start", default="2015-01-01")
    parser.add_argument("--end", default="2024-12-31")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--folder", help="data folder to write (or reuse); default: a temporary one")
    args = parser.parse_args()

    market = vestamo.make_market(n_stocks=args.stocks, start_date=args.start, end_date=args.end)
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(args.folder or scratch)
        if not (folder / "bars.parquet").exists():
            start = time.perf_counter()
            vestamo.export(market, folder)
            print("exported {!r} in {:.1f} s".format(market, time.perf_counter() - start))
        store = vestamo.open_store(folder)
        run(market, store, args.repeat)


def run(market, store, repeat):
    codes = list(market.instruments_frame["order_book_id"])
    last_year = market.calendar[market.positions(None, pd.Timestamp(market.params["end_date"]))[1] - 1].year
    vestamo.set_market(market)
    members = vestamo.index_components(INDEX_CODE)[:300]
    one_year = ("{}-01-01".format(last_year), "{}-12-31".format(last_year))
    queries = [
        ("whole market, close, post", lambda: vestamo.get_price(codes, fields="close", adjust_type="post")),
        ("whole market, close, pre", lambda: vestamo.get_price(codes, fields="close", adjust_type="pre")),
        ("{} members, 1 year, close, post".format(len(members)),
         lambda: vestamo.get_price(members, *one_year, fields="close", adjust_type="post")),
        ("{} members, 1 year, all fields, pre".format(len(members)),
         lambda: vestamo.get_price(members, *one_year)),
        ("{} members, 1 year, exposures".format(len(members)),
         lambda: vestamo.get_style_factor_exposure(members, *one_year)),
    ]
    bars = store._table("bars")
    total_groups = len(bars.row_groups(None))
    print("{:<38} {:>10} {:>10} {:>7} {:>10} {:>10} {:>11}".format(
        "query", "memory s", "store s", "ratio", "peak MB", "answer MB", "row groups"))
    for name, call in queries:
        vestamo.set_market(market)
        expected = call()
        baseline = timed(call, repeat)
        vestamo.set_market(store)
        pd.testing.assert_frame_equal(call(), expected, check_exact=True)
        del expected
        ours = timed(call, repeat)
        peak, answer = peak_mb(call)
        groups = "-"
        if "exposures" not in name:
            t0, t1 = store.positions(*map(pd.Timestamp, one_year)) if "members" in name else (0, len(store.calendar))
            expr = bars.filter((store._calendar_days[t0], store._calendar_days[t1 - 1]),
                               members if "members" in name else None)
            groups = "{}/{}".format(len(bars.row_groups(expr)), total_groups)
        print("{:<38} {:>10.3f} {:>10.3f} {:>7.2f} {:>10.0f} {:>10.0f} {:>11}".format(
            name, baseline, ours, ours / baseline, peak, answer, groups))
    vestamo.set_market(None)


if __name__ == "__main__":
    main()

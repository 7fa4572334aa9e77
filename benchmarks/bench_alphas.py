"""The 101 formulaic alphas: all of them on 4,000 instruments x 261 dates, and on the 5,000-stock,
10-year sample market.

Part 1 evaluates every alpha's expression over 261-row arrays of the tests' random market (gaps, ties,
zero volumes, changing industries), sharing identical sub-expressions between alphas, dropping each
value once no later alpha needs it and reusing freed buffers, as a screen does; the baseline is the tests' pandas transliteration
on the same frames. Per-alpha times, the slowest ten and the time spent in cross-sectional, group and
time-series nodes are printed. Part 2 runs all 101 through `quellix.graph.FactorGraph` (the evaluation a
screen uses) over the whole sample market and reports the wall time and peak memory.

Targets: part 1 at most 2 s and at least 50x the transliteration; part 2 at most 60 s and 6 GB.

    python benchmarks/bench_alphas.py [part 1 instruments] [part 2 stocks]
"""
import concurrent.futures
import os
import sys
import threading
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import alpha101_reference as ref  # noqa: E402
import quellix  # noqa: E402
import vestamo  # noqa: E402
from quellix import _operators as K  # noqa: E402
from quellix import rolling  # noqa: E402
from quellix.operators import time_series  # noqa: E402
from quellix.alphas.alpha101 import ALPHAS  # noqa: E402
from quellix.buffers import BufferPool  # noqa: E402
from quellix.graph import FactorGraph  # noqa: E402
from quellix.interface import is_recipe, load_field  # noqa: E402

CROSS_SECTION = {K.cs_rank, K.cs_scale, K.cs_zscore}
GROUP = {K.group_demean, K.group_rank}
TIME_SERIES = {K.ts_rank_avg, K.ts_stddev, K.ts_decay_linear, K.ts_argmax_first, K.ts_argmin_first,
               K.ts_covariance, K.ts_correlation, rolling.sum, rolling.product, rolling.ts_min, rolling.ts_max,
               rolling.ma, time_series.delay, time_series.delta}


def kind(func):
    if func in CROSS_SECTION:
        return "cross-sectional"
    if func in GROUP:
        return "group"
    if func in TIME_SERIES:
        return "time-series"
    return "element-wise"


def plan(recipes):
    """Distinct sub-expressions (nodes), each alpha's root and the nodes each alpha reads."""
    keys, nodes = {}, []

    def intern(recipe):
        func, args = recipe
        if func is load_field:
            key, node = ("field", args[0]), ("field", args[0])
        else:
            inputs = tuple(("node", intern(a)) if is_recipe(a) else ("const", a) for a in args)
            key = (func, tuple(a if a[0] == "node" else (type(a[1]), repr(a[1])) for a in inputs))
            node = (func, inputs)
        if key not in keys:
            keys[key] = len(nodes)
            nodes.append(node)
        return keys[key]

    roots = {k: intern(r) for k, r in recipes.items()}
    reads = {}
    for k, root in roots.items():
        stack, seen = [root], set()
        while stack:
            n = stack.pop()
            if n not in seen and nodes[n][0] != "field":
                seen.add(n)
                stack.extend(a[1] for a in nodes[n][1] if a[0] == "node")
        reads[k] = seen
    return nodes, roots, reads


def shared_evaluation(recipes, arrays):
    """Seconds per alpha and per node kind; each distinct sub-expression computed once, kept until its
    last alpha. Over arrays without padding every node has one value, whichever alpha asks for it."""
    nodes, roots, reads = plan(recipes)
    last_use = {n: k for k in roots for n in reads[k]}
    values, spent, per_alpha = {}, {}, {}

    def value(n):
        func, args = nodes[n]
        if func == "field":
            return arrays[args]
        if n not in values:
            inputs = [value(a[1]) if a[0] == "node" else a[1] for a in args]
            start = time.perf_counter()
            values[n] = func(*inputs)
            spent[kind(func)] = spent.get(kind(func), 0.0) + time.perf_counter() - start
        return values[n]

    # Fresh buffers reused between nodes, as the graph evaluator does.
    with np.errstate(all="ignore"), BufferPool().active():
        for k, root in roots.items():
            start = time.perf_counter()
            np.asarray(value(root), dtype=np.float64)
            per_alpha[k] = time.perf_counter() - start
            for n in [n for n in values if last_use[n] == k]:
                del values[n]
    return per_alpha, spent


def concurrent_evaluation(recipes, arrays, workers):
    """The same evaluation with alphas handed to `workers` threads, as a screen runs its factors: a
    node is computed by the first thread that asks for it, and dropped when its last alpha is done."""
    nodes, roots, reads = plan(recipes)
    holders = {}
    for k in roots:
        for n in reads[k]:
            holders[n] = holders.get(n, 0) + 1
    values, lock, pool = {}, threading.Lock(), BufferPool()

    def value(n):
        func, args = nodes[n]
        if func == "field":
            return arrays[args]
        with lock:
            slot = values.get(n)
            owner = slot is None
            if owner:
                slot = values[n] = concurrent.futures.Future()
        if owner:
            slot.set_result(func(*[value(a[1]) if a[0] == "node" else a[1] for a in args]))
        return slot.result()

    def run(k):
        with np.errstate(all="ignore"), pool.active():
            np.asarray(value(roots[k]), dtype=np.float64)
        with lock:
            for n in reads[k]:
                holders[n] -= 1
                if holders[n] == 0:
                    values.pop(n, None)

    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as executor:
        list(executor.map(run, roots))
    pool.close()


def arrays_of(data):
    labels = data["industry"]
    names = pd.Index(sorted(set(labels.stack().dropna())))
    codes = names.get_indexer(labels.to_numpy().ravel()).reshape(labels.shape).astype(float)
    codes[codes < 0] = np.nan
    out = {name: data[name].to_numpy() for name in ("open", "high", "low", "close", "volume", "vwap",
                                                     "total_turnover")}
    out["market_cap"], out["industry:citics_2019"] = data["cap"].to_numpy(), codes
    # Row-major, as the evaluator lays out the fields it fetches.
    return {name: np.ascontiguousarray(array) for name, array in out.items()}


def part_one(instruments):
    data = ref.random_market(seed=0, dates=261, instruments=instruments)
    arrays = arrays_of(data)
    recipes = {k: f.expr for k, f in ALPHAS.items()}
    start, cpu = time.perf_counter(), time.process_time()
    per_alpha, spent = shared_evaluation(recipes, arrays)
    ours, cpu = time.perf_counter() - start, time.process_time() - cpu
    # CPU seconds (both threads) next to the wall time: on a shared machine the wall time says as much
    # about the neighbours as about us.
    print("part 1: 101 alphas, {} instruments x 261 dates: {:.2f} s wall, {:.2f} s CPU (target 2 s wall)".format(
        instruments, ours, cpu))
    nodes = sum(spent.values())
    for name in ("cross-sectional", "group", "time-series", "element-wise"):
        print("  {:<16} {:6.2f} s  {:5.1f}%".format(name, spent.get(name, 0.0), 100 * spent.get(name, 0.0) / nodes))
    start = time.perf_counter()
    concurrent_evaluation(recipes, arrays, os.cpu_count() or 1)
    print("  with the alphas on {} threads, as a screen runs them: {:.2f} s wall".format(
        os.cpu_count() or 1, time.perf_counter() - start))
    print("  slowest ten: " + ", ".join("#{} {:.3f}s".format(k, t) for k, t in
                                        sorted(per_alpha.items(), key=lambda kv: -kv[1])[:10]))
    print("  per alpha (s): " + " ".join("{}:{:.3f}".format(k, t) for k, t in per_alpha.items()))
    start, cpu_ref = time.perf_counter(), time.process_time()
    for k in range(1, 102):
        ref.reference_alpha(k, data)
    baseline, cpu_ref = time.perf_counter() - start, time.process_time() - cpu_ref
    print("  pandas transliteration: {:.1f} s wall, {:.1f} s CPU: {:.0f}x ours in wall time, {:.0f}x in CPU time "
          "(target 50x)".format(baseline, cpu_ref, baseline / ours, cpu_ref / cpu))


def peak_gb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 2**20
    return float("nan")


def part_two(stocks):
    start = time.perf_counter()
    previous = vestamo.set_market(vestamo.make_market(n_stocks=stocks, start_date="2015-01-01",
                                                      end_date="2024-12-31"))
    try:
        ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
        out_dates = pd.DatetimeIndex(vestamo.get_trading_dates("2015-01-01", "2024-12-31"))
        print("part 2: market of {} stocks x {} dates built in {:.1f} s; peak so far {:.2f} GB".format(
            len(ids), len(out_dates), time.perf_counter() - start, peak_gb()))
        start, cpu = time.perf_counter(), time.process_time()
        graph = FactorGraph(ALPHAS, ids, out_dates)
        fetched = time.perf_counter() - start
        with np.errstate(all="ignore"):
            for name in graph.names():
                graph.frame(name)  # each table dropped at once, as a screen hands it on
        total, cpu = time.perf_counter() - start, time.process_time() - cpu
        print("  101 alphas: {:.1f} s wall, {:.1f} s CPU (fields fetched in {:.1f} s; target 60 s wall), peak "
              "memory {:.2f} GB (target 6 GB)".format(total, cpu, fetched, peak_gb()))
    finally:
        vestamo.set_market(previous)


if __name__ == "__main__":
    part_one(int(sys.argv[1]) if len(sys.argv) > 1 else 4000)
    part_two(int(sys.argv[2]) if len(sys.argv) > 2 else 5000)

"""Speed of ICAnalysis.analysis against a per-date scipy.stats.spearmanr loop.

Run: python benchmarks/bench_ic.py [--dates 2500] [--stocks 5000] [--sample 40]

The baseline does the same work as the analysis (per-date IC for every
period, every decay lag, every industry pooled over dates) one spearmanr call
at a time on the same formatted table; it is timed on a sample of dates (and
of industries) and scaled to the whole table.
"""

import argparse
import time

import numpy as np
import pandas as pd
import scipy.stats as st

import vestamo
from quellix.analysis import assaycore as ac

PERIODS = [1, 5, 10, 20]
MAX_DECAY = 20
SOURCE = "citics_2019"


def market_tables(n_stocks, n_dates, seed=7):
    """Post-adjusted daily returns and a 5-day reversal factor from a synthetic market."""
    vestamo.set_market(vestamo.make_market(n_stocks=n_stocks, start_date="2013-01-01", end_date="2024-12-31", seed=seed))
    ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    dates = vestamo.get_trading_dates("2013-01-01", "2024-12-31")
    if len(dates) < n_dates + max(PERIODS) + 6:
        raise SystemExit("the sample market has only {} trading dates".format(len(dates)))
    dates = dates[: n_dates + max(PERIODS) + 6]
    close = vestamo.get_price(ids, dates[0], dates[-1], fields="close", adjust_type="post")["close"]
    close = close.unstack("order_book_id").reindex(dates)
    returns = close / close.shift(1) - 1
    factor = -(close / close.shift(5) - 1)
    return factor.iloc[5 : 5 + n_dates], returns


def ic_pair(y, x):
    mask = ~(np.isnan(y) | np.isnan(x))
    if mask.sum() > 1:
        return st.spearmanr(y[mask], x[mask])
    return 0, 0


def baseline(fd, industry, n_sample, rng):
    """Seconds for the whole per-call loop, extrapolated from samples."""
    fields = ac._get_return_fields(fd.columns)
    dates = fd.index.levels[0]
    T, N = len(dates), len(fd.index.levels[1])
    f = fd["factor"].to_numpy().reshape(T, N)
    r = [fd[c].to_numpy().reshape(T, N) for c in fields]
    sample = np.sort(rng.choice(T, size=min(n_sample, T), replace=False))

    start = time.perf_counter()
    for t in sample:
        for y in r:
            ic_pair(y[t], f[t])
    per_date_ic = (time.perf_counter() - start) / len(sample)

    start = time.perf_counter()
    calls = 0
    for t in sample:
        for d in range(1, MAX_DECAY):
            if t + d >= T:
                continue
            keep = ~np.isnan(f[t])
            for y in r:
                keep &= ~np.isnan(y[t + d])
            for y in r:
                ic_pair(y[t + d][keep], f[t][keep])
                calls += 1
    per_date_decay = (time.perf_counter() - start) / len(sample)

    labels = industry.reindex(fd.index)
    codes, names = pd.factorize(labels)
    groups = np.flatnonzero(np.bincount(codes[codes >= 0]))
    picked = rng.choice(groups, size=min(4, len(groups)), replace=False)
    flat_f = fd["factor"].to_numpy()
    flat_r = [fd[c].to_numpy() for c in fields]
    start = time.perf_counter()
    rows_done = 0
    for g in picked:
        rows = np.flatnonzero(codes == g)
        rows_done += len(rows)
        for y in flat_r:
            ic_pair(y[rows], flat_f[rows])
    per_row_industry = (time.perf_counter() - start) / max(rows_done, 1)

    return {
        "ic": per_date_ic * T,
        "decay": per_date_decay * T,
        "industry": per_row_industry * int((codes >= 0).sum()),
    }


def time_analysis(factor, returns, repeat=2):
    """Best of `repeat` runs: the first also pays for first-touch page faults."""
    analyser = ac.ICAnalysis(rank_ic=True, industry_classification=SOURCE, max_decay=MAX_DECAY)
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        analyser.analysis(factor, returns, PERIODS, ascending=False)
        best = min(best, time.perf_counter() - start)
    return best, analyser


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--sample", type=int, default=40, help="dates timed for the baseline")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)

    factor, returns = market_tables(args.stocks, args.dates)
    ac.get_all_industry_data(SOURCE)  # the loader's cache is warm in any real session

    small, _ = time_analysis(factor.iloc[:500], returns)
    full, analyser = time_analysis(factor, returns)

    fd = ac._format_factor_data(factor, returns, PERIODS)
    industry = analyser._get_industry_data(fd)
    base = baseline(fd, industry, args.sample, rng)
    total = sum(base.values())

    print("ICAnalysis.analysis (best of 2), periods {}, max_decay={}, industry={}".format(PERIODS, MAX_DECAY, SOURCE))
    print("  {:>4} dates x {} instruments: {:8.2f} s".format(min(500, args.dates), args.stocks, small))
    print("  {:>4} dates x {} instruments: {:8.2f} s".format(args.dates, args.stocks, full))
    print("baseline, per-call scipy.stats.spearmanr (sampled {} dates, scaled):".format(min(args.sample, args.dates)))
    for name, seconds in base.items():
        print("  {:<9} {:8.1f} s".format(name, seconds))
    print("  {:<9} {:8.1f} s".format("total", total))
    print("speed-up: {:.0f}x".format(total / full))


if __name__ == "__main__":
    main()

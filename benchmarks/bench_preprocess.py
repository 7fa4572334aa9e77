"""Speed of the preprocessors against the pandas and statsmodels expressions they stand for.

Run: python benchmarks/bench_preprocess.py [--dates 2500] [--stocks 5000] [--sample 40]

Winzorization ("mad") is timed against `factor.apply(winsorize_mad, axis=1)`
and Normalization against the chained mean/std expression, both on the whole
table. Neutralization (10 style factors, "citics_2019" industries) is timed
whole, the client's exposure query included, and again with the client
answering from the already fetched exposures; its baseline is one
statsmodels OLS fit per date on exposure matrices built beforehand (their
building is not timed), measured on a sample of dates and scaled to the table.
Times are best of two, wall and CPU (summed over threads): on a shared
machine the CPU seconds say more about the work than the wall clock does.
"""

import argparse
import os
import time

# One BLAS thread for the statsmodels baseline: on a busy two-core machine
# OpenBLAS's spinning workers make each fit far slower than it is, which
# would flatter the speed-up.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
import pandas as pd
import statsmodels.api as sm

import vestamo
from quellix.analysis import assaycore as ac
from quellix.analysis.winsorize import winsorize_mad

SOURCE = "citics_2019"


def factor_table(n_stocks, n_dates, seed=3):
    """Heavy-tailed factor values on the market's last n_dates trading dates, missing before listing."""
    vestamo.set_market(vestamo.make_market(n_stocks=n_stocks, start_date="2013-01-01", end_date="2024-12-31"))
    stocks = vestamo.all_instruments(type="CS")
    dates = vestamo.get_trading_dates("2013-01-01", "2024-12-31")
    if len(dates) < n_dates:
        raise SystemExit("the sample market has only {} trading dates".format(len(dates)))
    dates = dates[-n_dates:]
    rng = np.random.default_rng(seed)
    values = rng.standard_t(3, size=(n_dates, len(stocks)))
    listed = pd.DatetimeIndex(stocks["listed_date"]).to_numpy()
    values[dates.to_numpy()[:, None] < listed[None, :]] = np.nan
    values[rng.random(values.shape) < 0.02] = np.nan
    return pd.DataFrame(values, index=dates, columns=stocks["order_book_id"].tolist())


def best_of(repeat, f):
    """Best wall and CPU seconds (CPU summed over threads: the work done, whatever the load)."""
    wall = cpu = float("inf")
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = f()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return (wall, cpu), result


def design_matrices(factor, sample):
    """The regression's (y, X) per sampled date, laid out as the neutralizer lays them out."""
    ids = list(factor.columns)
    dates = factor.index
    exposures = vestamo.get_style_factor_exposure(order_book_ids=ids, start_date=dates[0], end_date=dates[-1], factors=None)
    styles = list(exposures.columns)
    by_date = exposures.unstack("order_book_id")
    codes = ac.get_all_industry_category(SOURCE).reindex(columns=ids, fill_value=-1)
    n_industries = int(codes.to_numpy().max()) + 1
    position = np.maximum(np.searchsorted(codes.index, dates, side="right") - 1, 0)
    out = []
    for t in sample:
        x = np.full((len(ids), len(styles) + n_industries), np.nan)
        row = by_date.loc[dates[t]] if dates[t] in by_date.index else None
        for j, name in enumerate(styles):
            x[:, j] = row[name].reindex(ids).to_numpy() if row is not None else np.nan
        code = codes.iloc[position[t]].to_numpy()
        x[:, len(styles):] = code[:, None] == np.arange(n_industries)[None, :]
        out.append((t, factor.iloc[t], x))
    return out


def statsmodels_seconds(matrices):
    (wall, cpu), residuals = best_of(1, lambda: [(t, sm.OLS(y, x, hasconst=False, missing="drop").fit().resid)
                                                 for t, y, x in matrices])
    return (wall / len(matrices), cpu / len(matrices)), residuals


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dates", type=int, default=2500)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--sample", type=int, default=40, help="dates timed for the statsmodels baseline")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)

    factor = factor_table(args.stocks, args.dates)
    ac.get_all_industry_category(SOURCE)  # the loader's cache is warm in any real session
    T, N = factor.shape

    winsorize, _ = best_of(2, lambda: ac.Winzorization("mad").process(factor))
    winsorize_pd, _ = best_of(2, lambda: factor.apply(winsorize_mad, axis=1))

    normalize, _ = best_of(2, lambda: ac.Normalization().process(factor))

    def pandas_normalize():
        z = factor.sub(factor.mean(axis=1), axis=0).div(factor.std(axis=1), axis=0)
        return z.where(~np.isinf(z), 0)

    normalize_pd, _ = best_of(2, pandas_normalize)

    ids = list(factor.columns)
    query, exposures = best_of(1, lambda: vestamo.get_style_factor_exposure(
        order_book_ids=ids, start_date=factor.index[0], end_date=factor.index[-1], factors=None))
    neutralize, result = best_of(2, lambda: ac.Neutralization(SOURCE).process(factor))
    client = vestamo.get_style_factor_exposure
    vestamo.get_style_factor_exposure = lambda **kwargs: exposures
    try:
        fetched, _ = best_of(2, lambda: ac.Neutralization(SOURCE).process(factor))
    finally:
        vestamo.get_style_factor_exposure = client
    del exposures
    sample = np.sort(rng.choice(T, size=min(args.sample, T), replace=False))
    per_date, residuals = statsmodels_seconds(design_matrices(factor, sample))
    neutralize_sm = (per_date[0] * T, per_date[1] * T)
    scale = np.nanmax(np.abs(factor.to_numpy()[sample]))
    worst = max(np.nanmax(np.abs(result.iloc[t][r.index].to_numpy() - r.to_numpy()), initial=0.0) for t, r in residuals)

    load = os.getloadavg()
    print("{} dates x {} instruments; load average {:.2f} {:.2f} {:.2f} on {} cores".format(
        T, N, *load, os.cpu_count()))
    print("{:<32} {:>17} {:>17} {:>15}".format("step", "ours wall / cpu", "base wall / cpu", "speed-up"))
    rows = [
        ("Winzorization('mad')", winsorize, winsorize_pd, "apply(winsorize_mad, axis=1)"),
        ("Normalization", normalize, normalize_pd, "mean/std chained expression"),
        ("Neutralization('citics_2019')", neutralize, neutralize_sm, "statsmodels OLS per date, {} sampled".format(len(sample))),
        ("  exposures already fetched", fetched, neutralize_sm, "same"),
    ]
    for name, ours, base, what in rows:
        print("{:<32} {:>8.3f} /{:>7.3f} {:>8.2f} /{:>7.2f} {:>6.0f}x /{:>5.0f}x  baseline: {}".format(
            name, ours[0], ours[1], base[0], base[1], base[0] / ours[0], base[1] / ours[1], what))
    print("the client's exposure query alone: {:.3f} s wall".format(query[0]))
    print("largest |ours - statsmodels| on the sampled dates: {:.2e} (factor scale {:.1f})".format(worst, scale))


if __name__ == "__main__":
    main()

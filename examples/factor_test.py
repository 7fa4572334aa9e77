"""Factor test on the embedded sample market.

A five-day reversal factor, written with the rolling operators, is computed
for every stock and tested against daily returns over several holding
periods: rank IC per period, its decay and its spread over industries, plus
a user-defined analysis step.
"""
import time

import numpy as np
import pandas as pd

import quellix
import vestamo
from quellix.analysis.assaycore import FactorAnalyser, FactorAnalysisEngine, ICAnalysis
from quellix.interface import Factor
from quellix.rolling import MA, STD

START, END = "2019-01-02", "2023-12-29"
PERIODS = [1, 5, 10, 20]


class Coverage(FactorAnalyser):
    """A step of our own: the share of the universe with a factor value each day."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        return factor_data.notna().mean(axis=1).rename(self.step_name)


def ic_table(ic):
    mean, std = ic.mean(), ic.std()
    return pd.DataFrame({
        "mean IC": mean,
        "IC std": std,
        "IR": mean / std,
        "t": mean / std * np.sqrt(ic.count()),
        "IC > 0": (ic > 0).mean(),
    })


def main():
    t0 = time.perf_counter()
    universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    close = Factor("close")
    # Stocks that ran up over the last week, scaled by their own volatility,
    # tend to give some of it back.
    reversal = (MA(close, 5) / close - 1) / STD(close / MA(close, 20), 20)
    factor = quellix.execute_factor(reversal, universe, START, END)
    t1 = time.perf_counter()
    print(f"factor {reversal!r}")
    print(f"  {factor.shape[0]} dates x {factor.shape[1]} stocks, computed in {t1 - t0:.2f}s\n")

    engine = FactorAnalysisEngine()
    engine.append(("rank_ic", ICAnalysis(rank_ic=True, industry_classification="citics_2019", max_decay=10)))
    engine.append(("coverage", Coverage()))
    result = engine.analysis(factor, "daily", ascending=False, periods=PERIODS)
    t2 = time.perf_counter()
    print(f"factor test ({', '.join(result)}) in {t2 - t1:.2f}s\n")

    ic = result["rank_ic"]
    with pd.option_context("display.width", 120, "display.precision", 4):
        print("rank IC by holding period")
        print(ic_table(ic.ic), "\n")
        print("mean rank IC by decay lag")
        print(ic.ic_decay.groupby(level="decay").mean(), "\n")
        industry_ic = ic.ic_industry_distribute.xs(0, level=1)["P_1"].sort_values()
        print("1-day rank IC by industry (pooled over all dates): lowest and highest three")
        print(pd.concat([industry_ic.head(3), industry_ic.tail(3)]), "\n")
        print(f"coverage: {result['coverage'].mean():.1%} of the universe on an average day")


if __name__ == "__main__":
    main()

"""Factor tear sheet on the embedded sample market.

Three factors written with the rolling operators (a five-day reversal, which
the sample market rewards, a three-month momentum and a one-month
volatility) each go through the whole pipeline: winsorize, neutralize
against industries and style factors, normalize, then IC (with decay and by
industry), quantile groups against the CSI 300-like index, and factor
returns, for holding periods of 1, 5 and 10 days. The summaries print here;
every table and plot goes into one HTML file.

    python examples/factor_test.py [--stocks N] [--start DATE] [--end DATE] [--out FILE]

With --stocks the sample market is rebuilt with that many stocks (5000 makes
a whole-market test of a few seconds per factor).
"""
import argparse
import pathlib
import sys
import time

import quellix
import vestamo
from quellix.analysis.assaycore import (
    FactorAnalysisEngine,
    FactorReturnAnalysis,
    ICAnalysis,
    Neutralization,
    Normalization,
    QuantileReturnAnalysis,
    Winzorization,
)
from quellix.analysis.report import write_report
from quellix.interface import Factor
from quellix.progress import Progress, timed_steps
from quellix.rolling import MA, STD

PERIODS = [1, 5, 10]
BENCHMARK = "000300.XSHG"


def candidate_factors():
    close = Factor("close")
    return {
        # Stocks that ran up over the last week tend to give some of it back.
        "reversal_5d": MA(close, 5) / close - 1,
        "momentum_60d": MA(close, 5) / MA(close, 60) - 1,
        "volatility_20d": STD(close / MA(close, 20), 20),
    }


def pipeline():
    engine = FactorAnalysisEngine()
    engine.append(("winsorize", Winzorization("mad")))
    engine.append(("neutralize", Neutralization(industry="citics_2019", style_factors="all")))
    engine.append(("normalize", Normalization()))
    engine.append(("ic", ICAnalysis(rank_ic=True, industry_classification="citics_2019", max_decay=10)))
    engine.append(("quantile", QuantileReturnAnalysis(quantile=5, benchmark=BENCHMARK)))
    engine.append(("factor_returns", FactorReturnAnalysis()))
    return engine


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, help="rebuild the sample market with this many stocks")
    parser.add_argument("--start", default="2019-01-02")
    parser.add_argument("--end", default="2023-12-29")
    parser.add_argument("--out", default="factor_tearsheet.html", help="where the HTML report goes")
    args = parser.parse_args(argv)

    t0 = time.perf_counter()
    if args.stocks:
        vestamo.set_market(vestamo.make_market(n_stocks=args.stocks))
    universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    print(f"market: {len(universe)} stocks, {args.start} to {args.end} ({time.perf_counter() - t0:.1f}s)")

    results = {}
    factors = candidate_factors()
    for name, expression in factors.items():
        t = time.perf_counter()
        factor = quellix.execute_factor(expression, universe, args.start, args.end)
        print(f"\n{name} = {expression!r}\n  computed: {factor.shape[0]} dates x {factor.shape[1]} stocks "
              f"in {time.perf_counter() - t:.2f}s")
        engine = pipeline()
        with Progress(total=len(engine.preprocess_pipelines) + len(engine.analysis_pipelines), label=name) as bar:
            timed_steps(engine, bar)
            result = engine.analysis(factor, "daily", ascending=False, periods=PERIODS)
        results[name] = result
        for step in ("ic", "quantile", "factor_returns"):
            print("\n  " + str(result[step]).replace("\n", "\n  "))

    # One report: a table comparing the factors, then each factor's results under its own name.
    path = write_report(results, args.out, title="Factor tear sheet: sample market")
    print(f"\nreport with every table and plot: {pathlib.Path(path).resolve()}")
    print(f"done in {time.perf_counter() - t0:.1f}s")


if __name__ == "__main__":
    sys.exit(main())

"""The installed wheel, tried from outside the source tree: both extension
modules import from site-packages, and the README's first example runs on a
small sample market."""
import pathlib
import sys

import quellix
import quellix.analysis.assaycore as assaycore
import quellix.rolling as rolling
import vestamo
from quellix.analysis.assaycore import (FactorAnalysisEngine, FactorReturnAnalysis, ICAnalysis, Neutralization,
                                        Normalization, QuantileReturnAnalysis, Winzorization)
from quellix.interface import Factor
from quellix.rolling import MA

for module in (quellix, rolling, assaycore, vestamo):
    path = pathlib.Path(module.__file__).resolve()
    if "site-packages" not in path.parts:
        sys.exit(f"{module.__name__} imported from {path}, not from the installed wheel")

vestamo.set_market(vestamo.make_market(n_stocks=60, start_date="2020-01-01", end_date="2021-12-31"))
close = Factor("close")
universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
factor = quellix.execute_factor(MA(close, 5) / close - 1, universe, "2020-03-02", "2021-06-30")

engine = FactorAnalysisEngine()
engine.append(("winsorize", Winzorization("mad")))
engine.append(("neutralize", Neutralization(industry="citics_2019", style_factors="all")))
engine.append(("normalize", Normalization()))
engine.append(("ic", ICAnalysis(industry_classification="citics_2019", max_decay=10)))
engine.append(("quantile", QuantileReturnAnalysis(quantile=5, benchmark="000300.XSHG")))
engine.append(("factor_returns", FactorReturnAnalysis()))
result = engine.analysis(factor, "daily", ascending=False, periods=[1, 5, 10])
print(result["ic"])
if not result["ic"].ic.notna().any().any():
    sys.exit("the installed wheel computed no IC")
print("smoke test of the installed wheel: ok")

"""因子检验"""

import datetime as datetime
import warnings as warnings
from collections import defaultdict as defaultdict
from collections.abc import Callable, Hashable, Iterable, Sequence
from itertools import chain as chain
from typing import Any, Literal

import numpy as np
import pandas as pd
import scipy.stats as st
import statsmodels.api as sm
import vestamo as vestamo
from vestamo.decorators import ttl_cache as ttl_cache
from vestamo.utils import to_date_str as to_date_str

from quellix.analysis.analysis_result import *
from quellix.analysis.analysis_result import (
    FactorReturnAnalysisResult,
    ICAnalysisResult,
    QuantileReturnAnalysisResult,
)

__all__ = [
    "Winzorization", "Normalization", "Neutralization", "ICAnalysis", "QuantileReturnAnalysis",
    "FactorReturnAnalysis", "FactorAnalysisEngine",
]

VALID_INDUSTRY_SOURCE: tuple[Literal["citics_2019"], Literal["sws"]]
VALID_WINSORIZE_METHODS: tuple[Literal["none"], Literal["mad"], Literal["std"], Literal["percentile"]]
FIELD_MAPPING: dict[str, str]
WINSORIZE_METHODS: dict[str, Callable[[pd.Series], pd.Series]]

_IndustrySource = Literal["citics_2019", "sws"]
_Periods = int | tuple[int, ...] | list[int]

def _get_return_fields(columns: Iterable[str]) -> list[str]: ...
def _format_factor_data(factor_data: pd.DataFrame, returns: pd.DataFrame, periods: Iterable[int]) -> pd.DataFrame: ...
def _validate_data_frame(df: object, name: str) -> None: ...

# Both are wrapped by a three-hour cache, which also offers cache_clear().
def get_all_industry_data(source: _IndustrySource = "citics_2019") -> pd.DataFrame: ...
def get_all_industry_category(source: _IndustrySource = "citics_2019") -> pd.DataFrame: ...

def _load_industry_data(
    order_book_ids: Sequence[str] | pd.Index, dates: Sequence[Any] | pd.Index, source: _IndustrySource = "citics_2019"
) -> pd.Series: ...
def _get_ic_func(rank_ic: bool = False) -> Callable[[pd.Series, pd.Series], tuple[float, float]]: ...
def _get_datetime_freq(index: pd.DatetimeIndex) -> Literal["tick", "1m", "1d"]: ...
def _is_date_frequency_index(index: pd.DatetimeIndex) -> bool: ...

class FactorPreprocessor:
    def process(self, factor_data: pd.DataFrame) -> pd.DataFrame: ...

class Winzorization(FactorPreprocessor):
    method: str
    def __init__(self, method: Literal["none", "mad", "std", "percentile"] = "mad") -> None: ...
    def process(self, factor_data: pd.DataFrame) -> pd.DataFrame: ...

class Normalization(FactorPreprocessor):
    def process(self, factor_data: pd.DataFrame) -> pd.DataFrame: ...

class Neutralization(FactorPreprocessor):
    industry: _IndustrySource | Literal[""] | None
    style_neutralize: bool
    style_factors: list[str] | None
    other_factors: list[pd.DataFrame | None] | None
    def __init__(
        self,
        industry: _IndustrySource | Literal[""] | None = "citics_2019",
        style_factors: Literal["all"] | list[str] | None = "all",
        other_factors: list[pd.DataFrame | None] | None = None,
    ) -> None: ...
    def process(self, df: pd.DataFrame) -> pd.DataFrame: ...

class FactorAnalyser:
    step_name: Hashable
    def analysis(self, factor_data: pd.DataFrame, returns: pd.DataFrame, periods: Sequence[int], ascending: bool = True) -> Any: ...

class ICAnalysis(FactorAnalyser):
    rank_ic: Any
    ic_func: Callable[[pd.Series, pd.Series], tuple[float, float]]
    industry: _IndustrySource | dict[str, str] | pd.Series | None
    max_decay: int | None
    def __init__(
        self,
        rank_ic: bool = True,
        industry_classification: _IndustrySource | dict[str, str] | pd.Series | None = None,
        max_decay: int | None = None,
    ) -> None: ...
    def analysis(
        self, factor_data: pd.DataFrame, returns: pd.DataFrame, periods: Sequence[int], ascending: bool = True
    ) -> ICAnalysisResult: ...
    def _calc_ic(self, factor_data: pd.DataFrame) -> tuple[pd.DataFrame, pd.DataFrame]: ...
    def _calc_ic_decay(self, factor_data: pd.DataFrame, ic: pd.DataFrame) -> pd.DataFrame | None: ...
    def _calc_ic_industry_distribute(self, factor_data: pd.DataFrame) -> pd.DataFrame | None: ...
    def _get_industry_data(self, factor_data: pd.DataFrame) -> pd.Series: ...

class QuantileReturnAnalysis(FactorAnalyser):
    quantile: int
    benchmark: str | None
    def __init__(self, quantile: int = 5, benchmark: str | None = None) -> None: ...
    def analysis(
        self, factor_data: pd.DataFrame, returns: pd.DataFrame, periods: Sequence[int], ascending: bool = True
    ) -> QuantileReturnAnalysisResult: ...
    def _load_benchmark_series(self, index: pd.DatetimeIndex) -> pd.Series | None: ...

class FactorReturnAnalysis(FactorAnalyser):
    def analysis(
        self, factor_data: pd.DataFrame, returns: pd.DataFrame, periods: Sequence[int], ascending: bool = True
    ) -> FactorReturnAnalysisResult: ...

class FactorAnalysisEngine:
    """ 因子检验引擎 """

    preprocess_pipelines: list[tuple[Hashable, FactorPreprocessor]]
    analysis_pipelines: defaultdict[Hashable, FactorAnalyser]
    _FactorAnalysisEngine__exists_step_names: list[Hashable]
    def __init__(self) -> None: ...
    def append(self, step: tuple[Hashable, FactorPreprocessor | FactorAnalyser]) -> None: ...
    def analysis(
        self,
        factor_data: pd.DataFrame,
        returns: pd.DataFrame | Literal["daily"],
        ascending: bool = False,
        periods: _Periods = 1,
        keep_preprocess_result: bool = False,
    ) -> dict[Hashable, Any] | None: ...

"""vestamo: market-data client serving a deterministic synthetic market from memory, or the
user's own data from a folder of Parquet files."""

from . import client, decorators, utils
from .api import (
    all_instruments, get_market, get_next_trading_date, get_previous_trading_date, get_price,
    get_style_factor_exposure, get_trading_dates, index_components, instruments, is_st_stock, set_market,
)
from .base import Instrument, MarketData
from .build import make_market
from .export import export
from .market import Market
from .model import DISPERSION, VARIANCE_SHARES
from .sharing import QueryMemo
from .store import ParquetStore, StoreError, open_store

__all__ = [
    "DISPERSION", "VARIANCE_SHARES", "Instrument", "Market", "MarketData", "ParquetStore", "QueryMemo", "StoreError", "all_instruments", "client",
    "decorators", "export", "get_market", "get_next_trading_date", "get_previous_trading_date", "get_price",
    "get_style_factor_exposure", "get_trading_dates", "index_components", "instruments", "is_st_stock", "make_market",
    "open_store", "set_market", "utils",
]

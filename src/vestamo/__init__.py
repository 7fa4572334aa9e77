"""vestamo: market-data client serving a deterministic synthetic market from memory."""

from . import client, decorators, utils
from .api import (
    all_instruments, get_market, get_next_trading_date, get_previous_trading_date, get_price,
    get_style_factor_exposure, get_trading_dates, index_components, instruments, set_market,
)
from .build import make_market
from .market import Instrument, Market

__all__ = [
    "Instrument", "Market", "all_instruments", "client", "decorators", "get_market",
    "get_next_trading_date", "get_previous_trading_date", "get_price", "get_style_factor_exposure",
    "get_trading_dates", "index_components", "instruments", "make_market", "set_market", "utils",
]

"""vestamo: market-data client serving a deterministic synthetic market from memory, or the
user's own data from a folder of Parquet files.

The synthetic market (:func:`make_market`) is built to look like the A-share
market to a factor test. Daily bars carry traded value (``total_turnover``,
hence ``vwap``) and capitalisation (raw close times shares outstanding);
prices respect the boards' daily limits (10 %; 20 % on ChiNext from
2020-08-24 and on STAR; 5 % under special treatment, whose history
:func:`is_st_stock` answers), and a few bars in a thousand lock at the limit,
more on small caps. Stocks list inside the sample, are suspended (some for
months) and delist, so a universe taken over time shows survivorship.

What the default market (500 stocks, 2015-2024) is held to, by the tests:

- The main job (examples/factor_test.py, 2019-2023: winsorize, neutralize on
  industries and styles, normalize) finds the five-day reversal with a daily
  rank IC mean of 0.02 to 0.05, an IC standard deviation of 0.08 to 0.15 and
  a one-day top-minus-bottom Sharpe ratio of 1.5 to 4, the range published
  for short-term reversal in A-shares; the planted premium wanders between
  regimes and now and then changes sign, so the IC is positive on only about
  60 % of dates. Its momentum and volatility factors come out weaker or mixed.
- Each date's returns split into the cross-sectional mean (market), industry
  means around it, the least-squares fit of the style exposures to the rest,
  and a residual. Their shares of the sum of squares (``VARIANCE_SHARES``):
  market 20-45 %, industry 5-20 %, style 4-20 %, idiosyncratic 35-60 %, with
  market and industry together 35-55 %. The synchronicity of Chinese stock
  returns sets that last range: Morck, Yeung and Yu (2000), "The information
  content of stock markets: why do emerging markets have synchronous stock
  price movements?", Journal of Financial Economics 58, 215-260, report an
  average market-model R-squared of about 0.45 for China, among the highest
  of the markets they study; the rest of each range follows from a factor
  model that leaves about half of a stock's daily variance to its own news.
- The median daily cross-sectional standard deviation of returns
  (``DISPERSION``) lies between 1.5 % and 3.5 %: A-share daily volatility of
  2.5 % to 3.5 % times the square root of the non-market share above; it rises
  and falls with a market-wide level of idiosyncratic volatility.
"""

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
    "DISPERSION", "VARIANCE_SHARES", "Instrument", "Market", "MarketData", "ParquetStore", "QueryMemo", "StoreError",
    "all_instruments", "client",
    "decorators", "export", "get_market", "get_next_trading_date", "get_previous_trading_date", "get_price",
    "get_style_factor_exposure", "get_trading_dates", "index_components", "instruments", "is_st_stock", "make_market",
    "open_store", "set_market", "utils",
]

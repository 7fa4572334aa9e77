"""The client's public query functions, answered from the market in use."""

import os
import threading

import numpy as np
import pandas as pd

from .base import ADJUST_TYPES, EXTRA_FIELDS, PRICE_FIELDS, MarketData
from .build import DEFAULT_SEED, make_market
from .decorators import clear_all_caches
from .sharing import active_memo
from .utils import to_id_list, to_timestamp

__all__ = [
    "get_market", "set_market", "get_trading_dates", "get_next_trading_date",
    "get_previous_trading_date", "get_price", "instruments", "all_instruments",
    "index_components", "get_style_factor_exposure", "is_st_stock",
]

# Names a data folder to serve by default instead of the sample market.
DATA_ENV = "VESTAMO_DATA"

_lock = threading.Lock()
_defaults = {}
_current = None


def _default_market():
    folder = os.environ.get(DATA_ENV) or None
    market = _defaults.get(folder)
    if market is None:
        if folder is None:
            market = make_market(seed=DEFAULT_SEED)
        else:
            from .store import open_store
            market = open_store(folder)
        _defaults[folder] = market
    return market


def get_market():
    """The market every query is answered from (the default one unless swapped).

    The default is the data folder named by the environment variable
    VESTAMO_DATA when it is set, else the synthetic sample market.
    """
    global _current
    with _lock:
        if _current is None:
            _current = _default_market()
        return _current


def set_market(market):
    """Answer every later query from ``market`` (None: the default market).

    Returns the market in use before. Results cached by ``ttl_cache`` are
    dropped, since they may have been computed from the previous market.
    """
    global _current
    if market is not None and not isinstance(market, MarketData):
        raise TypeError("market: expect a market made by make_market or open_store, or None, got {!r}".format(
            market))
    with _lock:
        previous = _current if _current is not None else _default_market()
        _current = market if market is not None else _default_market()
    if _current is not previous:
        clear_all_caches()
    return previous


def _fields(fields, allowed, what, default=None):
    if fields is None:
        return list(allowed if default is None else default)
    if isinstance(fields, str):
        names = [fields]
    else:
        try:
            names = list(dict.fromkeys(fields))
        except TypeError:
            raise TypeError("{}: expect a str or a list of str, got {!r}".format(what, fields)) from None
    bad = [f for f in names if f not in allowed]
    if bad or not names:
        raise ValueError("{}: expect names among {}, got {!r}".format(what, list(allowed), fields))
    return names


def _optional_date(date):
    return None if date is None else to_timestamp(date)


def get_trading_dates(start_date, end_date):
    """Trading dates from ``start_date`` to ``end_date`` inclusive, ascending."""
    market = get_market()
    t0, t1 = market.positions(to_timestamp(start_date), to_timestamp(end_date))
    return market.calendar[t0:t1]


def _check_n(n):
    if isinstance(n, (bool, np.bool_)) or not isinstance(n, (int, np.integer)):
        raise TypeError("n: expect an int, got {!r}".format(n))
    if n < 1:
        raise ValueError("n: expect a positive int, got {}".format(n))
    return int(n)


def get_next_trading_date(date, n=1):
    """The ``n``-th trading date after ``date``."""
    n = _check_n(n)
    day = to_timestamp(date)
    calendar = get_market().calendar
    pos = int(calendar.searchsorted(day, side="right")) + n - 1
    if pos >= len(calendar):
        raise ValueError("date: {} trading day(s) after {} is past the calendar's last day {}".format(
            n, day.date(), calendar[-1].date()))
    return calendar[pos]


def get_previous_trading_date(date, n=1):
    """The ``n``-th trading date before ``date``."""
    n = _check_n(n)
    day = to_timestamp(date)
    calendar = get_market().calendar
    pos = int(calendar.searchsorted(day, side="left")) - n
    if pos < 0:
        raise ValueError("date: {} trading day(s) before {} is before the calendar's first day {}".format(
            n, day.date(), calendar[0].date()))
    return calendar[pos]


def get_price(order_book_ids, start_date=None, end_date=None, frequency="1d", fields=None,
              adjust_type="pre", skip_suspended=False, expect_df=True):
    """Daily bars indexed by (order_book_id, date); None when nothing matches.

    ``fields`` defaults to open, high, low, close and volume; also available
    are "total_turnover" (the day's traded value), "vwap" (total_turnover
    over volume; NaN on a bar without volume) and "market_cap" (the raw close
    times the shares outstanding that day; NaN for an index). Suspended days,
    days before listing and from delisting on have no bar (so
    ``skip_suspended`` changes nothing). ``adjust_type`` "pre" scales prices
    to the latest adjustment, "post" multiplies raw prices by the cumulative
    adjustment factor, "none" gives raw prices. Volumes, traded values and
    capitalisations are never adjusted. Only daily bars ("1d") exist; other
    frequencies give None. With ``expect_df`` false and a single field given
    as a str, a Series is returned.
    """
    codes = to_id_list(order_book_ids)
    names = _fields(fields, PRICE_FIELDS + EXTRA_FIELDS, "fields", default=PRICE_FIELDS)
    if adjust_type not in ADJUST_TYPES:
        raise ValueError("adjust_type: expect one of {}, got {!r}".format(list(ADJUST_TYPES), adjust_type))
    if not isinstance(frequency, str):
        raise TypeError("frequency: expect a str such as '1d', got {!r}".format(frequency))
    start, end = _optional_date(start_date), _optional_date(end_date)
    if frequency != "1d":
        return None
    market = get_market()
    t0, t1 = market.positions(start, end)
    as_series = not expect_df and isinstance(fields, str)
    return _answer(("price", market, tuple(codes), t0, t1, tuple(names), adjust_type, as_series),
                   lambda: _price(market, codes, t0, t1, names, adjust_type, as_series))


def _price(market, codes, t0, t1, names, adjust_type, as_series):
    frame = market.price_frame(codes, t0, t1, names, adjust_type)
    if frame is not None and as_series:
        return frame[names[0]]
    return frame


def _answer(key, compute):
    memo = active_memo()
    return compute() if memo is None else memo.answer(key, compute)


def instruments(order_book_ids):
    """An Instrument for a code (None if unknown), or a list of them for a list of codes.

    Unknown codes in a list are left out.
    """
    market = get_market()
    if isinstance(order_book_ids, str):
        return market.instrument(order_book_ids)
    found = (market.instrument(c) for c in to_id_list(order_book_ids))
    return [obj for obj in found if obj is not None]


def all_instruments(type=None):
    """Table of instruments (order_book_id, symbol, type, listed_date, exchange, de_listed_date),
    delisted ones included (de_listed_date NaT while listed)."""
    frame = get_market().instruments_frame
    if type is None:
        return frame.copy()
    kinds = ("CS", "INDX")
    if type not in kinds:
        raise ValueError("type: expect one of {} or None, got {!r}".format(list(kinds), type))
    return frame[frame["type"] == type].reset_index(drop=True)


def index_components(order_book_id, date=None):
    """Member codes of an index on ``date`` (None: its current members), sorted; None for an unknown code."""
    if not isinstance(order_book_id, str):
        raise TypeError("order_book_id: expect a str, got {!r}".format(order_book_id))
    market = get_market()
    day = None if date is None else to_timestamp(date)
    obj = market.instrument(order_book_id)
    if obj is None:
        return None
    if obj.type != "INDX":
        raise ValueError("order_book_id: {} is not an index".format(order_book_id))
    return market.components(order_book_id, day)


def get_style_factor_exposure(order_book_ids, start_date, end_date, factors=None):
    """Style exposures indexed by (order_book_id, date), one column per factor; None if none match."""
    codes = to_id_list(order_book_ids)
    market = get_market()
    names = _fields(factors, market.style_factors, "factors")
    t0, t1 = market.positions(to_timestamp(start_date), to_timestamp(end_date))
    return _answer(("exposure", market, tuple(codes), t0, t1, tuple(names)),
                   lambda: market.exposure_frame(codes, t0, t1, names))


def is_st_stock(order_book_ids, start_date, end_date):
    """Whether each stock is under special treatment on each trading date.

    A DataFrame of bool, the trading dates as index and the known codes as
    columns (in the order given). A day without a bar keeps the status of the
    stock's bar before it; days before its first bar and from its delisting
    on are False.
    """
    codes = to_id_list(order_book_ids)
    market = get_market()
    t0, t1 = market.positions(to_timestamp(start_date), to_timestamp(end_date))
    return _answer(("st", market, tuple(codes), t0, t1), lambda: _st_table(market, codes, t0, t1))


def _st_table(market, codes, t0, t1):
    found = set(market.known(codes)[0])
    known = [c for c in codes if c in found]
    dates = market.calendar[t0:t1]
    table = pd.DataFrame(np.zeros((len(dates), len(known)), dtype=bool), index=dates,
                         columns=pd.Index(known, dtype=object, name="order_book_id"))
    # From the first day: the status in force on t0 may come from a bar before it.
    frame = market.price_frame(known, 0, t1, ["is_st"], "none") if known and t1 > t0 else None
    if frame is None:
        return table
    wide = frame["is_st"].unstack(0).reindex(index=market.calendar[:t1], columns=known)
    status = wide.ffill().iloc[t0:].fillna(0.0).to_numpy() > 0
    gone = market.instruments_frame.set_index("order_book_id")["de_listed_date"].reindex(known).to_numpy()
    status &= ~(dates.values[:, None] >= gone[None, :])
    table.iloc[:, :] = status
    return table

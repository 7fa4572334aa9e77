"""What the client's query functions ask of a market.

Two implementations answer them: the synthetic market built in memory by
:func:`vestamo.make_market` and a folder of Parquet files opened with
:func:`vestamo.open_store`. Tables come back in one form whatever the
source: dates as nanosecond ``datetime64``, prices and exposures as float64
columns of a frame indexed by (order_book_id, date), sorted by code then date.
"""

import abc
import dataclasses

import numpy as np
import pandas as pd

__all__ = ["Instrument", "MarketData", "PRICE_FIELDS", "EXTRA_FIELDS", "ADJUST_TYPES", "BAR_COLUMNS",
           "EXTRA_COLUMNS", "UNADJUSTED"]

# What a price query gives without a field list, and the fields it gives on request.
PRICE_FIELDS = ("open", "high", "low", "close", "volume")
EXTRA_FIELDS = ("total_turnover", "vwap", "market_cap")
ADJUST_TYPES = ("none", "pre", "post")
# Unadjusted daily bars with their cumulative adjustment factor: a bar's
# post-adjusted price is its raw price times the factor; a pre-adjusted one
# is that over the factor of the instrument's latest bar.
BAR_COLUMNS = PRICE_FIELDS + ("adj_factor",)
# Bar columns a market may have: the day's traded value, capitalisation
# (raw close times shares outstanding) and 1.0 while under special treatment.
EXTRA_COLUMNS = ("total_turnover", "market_cap", "is_st")
# Counts and values that adjustment leaves alone.
UNADJUSTED = frozenset({"volume", "total_turnover", "market_cap", "is_st"})


@dataclasses.dataclass(frozen=True)
class Instrument:
    """Static description of a listed instrument."""

    order_book_id: str
    symbol: str
    type: str
    listed_date: pd.Timestamp
    exchange: str
    # NaT while still listed.
    de_listed_date: pd.Timestamp = pd.NaT


class MarketData(abc.ABC):
    """A market the client can answer queries from.

    Dates are addressed by calendar position: ``positions`` turns a date
    range into positions [t0, t1), and the frame methods take those. The
    calendar may run past the last bar (an exchange publishes it ahead), so
    queries into that stretch simply find no rows.
    """

    # -- tables every implementation provides ---------------------------------
    @property
    @abc.abstractmethod
    def calendar(self):
        """Trading days, a DatetimeIndex in nanoseconds, ascending, without name or freq."""

    @property
    @abc.abstractmethod
    def instruments_frame(self):
        """order_book_id, symbol, type, listed_date, exchange, de_listed_date (NaT: still listed;
        dates datetime64[ns]); sorted by code."""

    @property
    @abc.abstractmethod
    def style_factors(self):
        """Names of the style factors, in column order."""

    @property
    @abc.abstractmethod
    def components_frame(self):
        """Index membership: index_code, order_book_id, start_date, end_date (NaT: still a member)."""

    @property
    @abc.abstractmethod
    def citics(self):
        """CITIC 2019 industry changes: name, order_book_id, start_date; sorted by code, date."""

    @property
    @abc.abstractmethod
    def shenwan(self):
        """Shenwan industry changes: name, order_book_id, start_date, version; sorted by code, date, version."""

    @abc.abstractmethod
    def price_frame(self, codes, t0, t1, fields, adjust):
        """Bars of the known ``codes`` on positions [t0, t1), or None.

        ``fields`` are among PRICE_FIELDS, EXTRA_FIELDS and "is_st"."""

    @abc.abstractmethod
    def raw_bars(self, t0, t1):
        """Every instrument's unadjusted bars on [t0, t1) with ``adj_factor``
        (columns ``BAR_COLUMNS`` then those of ``EXTRA_COLUMNS`` the market
        has, price-frame layout), or None."""

    @abc.abstractmethod
    def exposure_frame(self, codes, t0, t1, factors):
        """Style exposures of the known ``codes`` on [t0, t1), or None."""

    # -- shared behaviour -----------------------------------------------------
    def positions(self, start, end):
        """Calendar positions [t0, t1) of the trading days in [start, end]."""
        values = self.calendar.values
        t0 = 0 if start is None else int(np.searchsorted(values, start.asm8, side="left"))
        t1 = len(values) if end is None else int(np.searchsorted(values, end.asm8, side="right"))
        return t0, max(t0, t1)

    def _rows(self):
        rows = self.__dict__.get("_row_of_code")
        if rows is None:
            codes = self.instruments_frame["order_book_id"]
            rows = self.__dict__["_row_of_code"] = {code: i for i, code in enumerate(codes)}
        return rows

    def known(self, codes):
        """The known codes among ``codes``, sorted, and their rows in ``instruments_frame``."""
        rows = self._rows()
        found = sorted(c for c in codes if c in rows)
        return found, np.array([rows[c] for c in found], dtype=np.intp)

    def instrument(self, code):
        """The Instrument of ``code``, or None if unknown."""
        row = self._rows().get(code)
        if row is None:
            return None
        cache = self.__dict__.setdefault("_instrument_objects", {})
        obj = cache.get(code)
        if obj is None:
            rec = self.instruments_frame.iloc[row]
            obj = cache[code] = Instrument(rec["order_book_id"], rec["symbol"], rec["type"],
                                           rec["listed_date"], rec["exchange"], rec["de_listed_date"])
        return obj

    def components(self, index_code, date=None):
        """Sorted member codes of an index on ``date`` (None: the current members)."""
        table = self.components_frame
        rows = table[table["index_code"] == index_code]
        if date is None:
            keep = rows["end_date"].isna()
        else:
            keep = (rows["start_date"] <= date) & (rows["end_date"].isna() | (rows["end_date"] >= date))
        return sorted(set(rows.loc[keep, "order_book_id"]))

    def _index(self, codes, t0, t1, present, inst, day):
        """(order_book_id, date) row index of the cells ``present`` (codes, days)."""
        index = pd.MultiIndex(
            levels=[pd.Index(codes), self.calendar[t0:t1]],
            codes=[inst, day], names=["order_book_id", "date"], verify_integrity=False)
        # Levels must hold only labels that have rows, as a stacked table would.
        if not (present.any(axis=1).all() and present.any(axis=0).all()):
            index = index.remove_unused_levels()
        return index

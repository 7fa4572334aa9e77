"""An in-memory market: calendar, instruments, daily bars, style exposures
and industry histories, with the queries the client functions answer."""

import concurrent.futures

import numpy as np
import pandas as pd

from . import intraday
from .base import ADJUST_TYPES, BAR_COLUMNS, EXTRA_COLUMNS, PRICE_FIELDS, UNADJUSTED, Instrument, MarketData
from .limits import LOCKED, PERCENT, ST, limit_ticks, reference_ticks

__all__ = ["Instrument", "Market", "STYLE_FACTORS", "PRICE_FIELDS", "ADJUST_TYPES"]

STYLE_FACTORS = (
    "beta", "momentum", "size", "earnings_yield", "residual_volatility",
    "growth", "book_to_price", "leverage", "liquidity", "non_linear_size",
)


def listed_mask(listed_pos, t0, t1, end_pos=None):
    """1.0 where a stock is listed on calendar position t in [t0, t1) (and before its
    delisting position ``end_pos``), else 0.0; (stocks, t)."""
    days = np.arange(t0, t1)[None, :]
    listed = days >= listed_pos[:, None]
    if end_pos is not None:
        listed &= days < end_pos[:, None]
    return listed.astype(np.float64)


# Dates per block of an exposure computation: a block of every stock
# (5 MB for 5,000 stocks) stays in cache through its dozen passes.
_BLOCK_DATES = 128


def _date_blocks(t0, t1, width):
    """[a, b) pieces of [t0, t1) about ``width`` long, none one date long unless [t0, t1) is.

    A date's sums over the stocks come out the same in a block of any
    width but one: numpy sums a single column pairwise instead of stock by
    stock.
    """
    edges = list(range(t0, t1, width)) + [t1]
    if len(edges) > 2 and edges[-1] - edges[-2] == 1:
        del edges[-2]
    return list(zip(edges[:-1], edges[1:]))


def _interpolate(knots, step, t0, t1, out):
    """Linear interpolation between knots (``knots`` is (knots, stocks), one knot
    every ``step`` days) on calendar positions [t0, t1), into ``out`` (t, stocks)."""
    for m in range(t0 // step, (t1 - 1) // step + 1):
        lo, hi = max(m * step, t0), min((m + 1) * step, t1)
        w = (np.arange(lo, hi) - m * step) / step
        part = out[lo - t0:hi - t0]
        np.multiply.outer(w, knots[m + 1] - knots[m], out=part)
        part += knots[m]


def exposure_blocks(knots, step, listed_pos, t0, t1, end_pos=None):
    """Style exposures on calendar positions [t0, t1), a block of dates at a time.

    Yields ``(a, b, j, x)``: ``x`` (stocks, b - a) holds the exposures of
    the factor with knots ``knots[j]`` on [a, b), interpolated between the
    knots (see :func:`_interpolate`), then standardised across the stocks
    listed on each date (``listed_pos``: each stock's first position,
    ``end_pos``: the first after its delisting, if any); other cells are 0. ``x`` is overwritten by the next item.

    A date is computed stock by stock in stock order whatever the block, so
    the values do not depend on [t0, t1) or the block width.
    """
    n = len(listed_pos)
    flat = np.empty(n * (_BLOCK_DATES + 1))
    flat_t = np.empty_like(flat)
    for a, b in _date_blocks(t0, t1, _BLOCK_DATES):
        listed = listed_mask(listed_pos, a, b, end_pos)
        count = np.maximum(listed.sum(axis=0), 1.0)
        # Stocks listed on every date of the block have weights of 1.
        late = np.flatnonzero((listed_pos > a) | (end_pos < b)) if end_pos is not None else \
            np.flatnonzero(listed_pos > a)
        late_listed = listed[late]
        x = flat[:listed.size].reshape(listed.shape)
        by_date = flat_t[:listed.size].reshape(b - a, n)
        for j, k in enumerate(knots):
            # Interpolated by date (long rows), then turned stock-major for
            # numpy to reduce over the stocks one by one.
            _interpolate(k, step, a, b, by_date)
            np.multiply(by_date.T, listed, out=x)
            x -= x.sum(axis=0) / count
            x[late] *= late_listed
            std = np.sqrt(np.einsum("ij,ij->j", x, x) / count)
            x /= np.where(std > 0, std, 1.0)
            yield a, b, j, x


def _code_type(levels):
    """The integer type pandas keeps index codes of ``levels`` labels in (from int16 up)."""
    return np.int16 if levels < 2 ** 15 else np.int32 if levels < 2 ** 31 else np.int64


class Market(MarketData):
    """Market data held in memory; built by :func:`vestamo.make_market`.

    Prices are stored as raw closes per (instrument, day with data) plus a
    list of adjustment events; ``bars`` marks the days with a bar (listed,
    not yet delisted and not suspended), ``flags`` each day's limit, special
    treatment and lock (see :mod:`vestamo.limits`). Share counts are a count
    at listing times the share events since. The data arrays cover the first
    ``close.shape[1]`` days of the calendar, which runs on past them.
    """

    def __init__(self, *, calendar, instruments, close, bars, flags, references, events, share_events, shares,
                 volume_base, knots, knot_step, end_pos, components, citics, shenwan, seed, params):
        self._calendar = calendar
        self._instruments = instruments
        self.codes = instruments["order_book_id"].to_numpy()
        self._close = close
        self._bars = bars
        self._n_days = close.shape[1]
        # Position of each instrument's latest bar: pre-adjusted prices are
        # relative to the adjustment factor in force on it.
        self._last_bar = self._n_days - 1 - np.argmax(bars[:, ::-1], axis=1)
        self._flags = flags
        self._references = references
        self._events = events
        self._share_events = share_events
        self._shares = shares
        self._volume_base = volume_base
        self._knots = knots
        self._knot_step = knot_step
        is_stock = instruments["type"].to_numpy() == "CS"
        self._stock_col = np.where(is_stock, np.cumsum(is_stock) - 1, -1)
        self._stock_listed_pos = np.searchsorted(
            calendar.values, instruments["listed_date"].to_numpy()[is_stock])
        self._stock_end_pos = end_pos
        self._components = self._membership(components)
        self._citics = citics
        self._shenwan = shenwan
        self._seed = seed
        self.params = params

    def __repr__(self):
        p = self.params
        return "Market(n_stocks={}, start_date='{}', end_date='{}', seed={}, trading_days={})".format(
            p["n_stocks"], p["start_date"], p["end_date"], p["seed"], len(self.calendar))

    def _membership(self, components):
        """Members are in an index from their listing on, and stay."""
        listed = self._instruments.set_index("order_book_id")["listed_date"]
        index_codes = [k for k, members in components.items() for _ in members]
        members = [c for values in components.values() for c in values]
        return pd.DataFrame({
            "index_code": np.array(index_codes, dtype=object),
            "order_book_id": np.array(members, dtype=object),
            "start_date": pd.DatetimeIndex(listed.reindex(members).to_numpy()),
            "end_date": pd.DatetimeIndex(np.full(len(members), np.datetime64("NaT"), dtype="datetime64[ns]")),
        })

    calendar = property(lambda self: self._calendar)
    instruments_frame = property(lambda self: self._instruments)
    style_factors = property(lambda self: STYLE_FACTORS)
    components_frame = property(lambda self: self._components)
    citics = property(lambda self: self._citics)
    shenwan = property(lambda self: self._shenwan)

    @staticmethod
    def _take_rows(array, rows, t0, t1):
        # Ascending consecutive rows (a whole-market query) need no gather copy.
        if len(rows) and rows[-1] - rows[0] + 1 == len(rows):
            return array[rows[0]:rows[-1] + 1, t0:t1]
        return array[rows, t0:t1]

    # -- prices -------------------------------------------------------------
    def _events_of(self, rows, events):
        """Events of ``rows`` (ascending): (index into rows, position, multiplier), by row then date."""
        ev_row, ev_pos, ev_mult = events
        sel = np.full(len(self.codes), -1, dtype=np.intp)
        sel[rows] = np.arange(len(rows))
        which = sel[ev_row]
        keep = which >= 0
        return which[keep], ev_pos[keep], ev_mult[keep]

    @staticmethod
    def _product_before(n, events, limit):
        """Each row's multipliers on positions before ``limit[row]``, multiplied in date
        order: bit for bit the running product a cumulative product reaches there."""
        which, pos, mult = events
        keep = pos < limit[which]
        which, mult = which[keep], mult[keep]
        out = np.ones(n)
        if len(which):
            first = np.concatenate([[0], np.flatnonzero(np.diff(which)) + 1])
            rank = np.arange(len(which)) - np.repeat(first, np.diff(np.append(first, len(which))))
            for k in range(rank.max() + 1):
                at = rank == k
                out[which[at]] *= mult[at]
        return out

    def _cumulative(self, events, rows, t0, t1, bars):
        """Running product of each row's event multipliers on each bar, and the rows' events."""
        events = self._events_of(rows, events)
        which, pos, mult = events
        factor = np.ones((len(rows), t1 - t0 + 1))
        factor[:, 0] = self._product_before(len(rows), events, np.full(len(rows), t0))
        inside = (pos >= t0) & (pos < t1)
        factor[which[inside], pos[inside] - t0 + 1] = mult[inside]
        np.cumprod(factor, axis=1, out=factor)
        return factor[:, 1:][bars], events

    def _scale(self, rows, t0, t1, bars, adjust):
        """Adjustment multiplier of each bar: the cumulative factor ("post"),
        over the factor of the instrument's latest bar ("pre")."""
        scale, events = self._cumulative(self._events, rows, t0, t1, bars)
        if adjust == "pre":
            latest = self._product_before(len(rows), events, self._last_bar[rows] + 1)
            scale /= latest[np.nonzero(bars)[0]]
        return scale

    def _limits(self, rows, t0, t1, bars, inst, day, flags):
        """Up and down limit prices of each bar (inf and 0 where it has none)."""
        if t0 > 0:
            prev = self._take_rows(self._close, rows, t0 - 1, t1 - 1)[bars]
        else:
            # The calendar's first day has no limit; any reference will do.
            block = self._take_rows(self._close, rows, 0, t1 - 1)
            prev = np.concatenate([np.ones((len(rows), 1)), block], axis=1)[bars]
        ref = np.rint(prev * 100.0, out=prev)
        which, pos, src, mult = self._references.within(rows, t0, t1)
        at = np.searchsorted(inst.astype(np.int64) * (t1 - t0) + day, which * (t1 - t0) + pos - t0)
        ref[at] = reference_ticks(self._close[rows[which], src], mult)
        pct = (flags & PERCENT).astype(np.float64)
        up, down = limit_ticks(ref, pct)
        up /= 100.0
        down /= 100.0
        free = pct == 0
        up[free] = np.inf
        down[free] = 0.0
        return up, down

    def price_frame(self, codes, t0, t1, fields, adjust):
        """Bars of the known ``codes`` on positions [t0, t1), or None."""
        found, rows = self.known(codes)
        t1 = min(t1, self._n_days)
        if len(rows) == 0 or t1 <= t0:
            return None
        bars = self._take_rows(self._bars, rows, t0, t1)
        inst, day = np.nonzero(bars)
        if len(inst) == 0:
            return None
        close = self._take_rows(self._close, rows, t0, t1)[bars]
        values = np.empty((len(fields), len(close)))
        out = dict(zip(fields, values))
        wanted = set(fields)
        traded = wanted & {"vwap", "total_turnover"}
        if wanted - {"close", "market_cap"}:
            quarters = intraday.cell_bits(self._seed, rows[inst], day + t0)
            flags = self._take_rows(self._flags, rows, t0, t1)[bars]
            locked = (flags & LOCKED) > 0
        if wanted & {"open", "high", "low"} or traded:
            up, down = self._limits(rows, t0, t1, bars, inst, day, flags)
            names = ("open", "high", "low") if traded else [n for n in ("open", "high", "low") if n in wanted]
            ohlc = intraday.prices(quarters, close, up, down, locked,
                                   {n: out[n] if n in out else np.empty_like(close) for n in names})
            del up, down
        ratio = None
        if wanted & {"volume", "market_cap"} or traded:
            ratio, _ = self._cumulative(self._share_events, rows, t0, t1, bars)
        if "volume" in wanted or traded:
            volume = out["volume"] if "volume" in out else np.empty_like(close)
            intraday.volumes(quarters, self._volume_base[rows][inst] * ratio, locked, volume)
        if traded:
            value = intraday.traded_value(ohlc["open"], ohlc["high"], ohlc["low"], close, volume)
            if "vwap" in out:
                np.divide(value, volume, out=out["vwap"])
            if "total_turnover" in out:
                out["total_turnover"][:] = value
            del value
        if "market_cap" in out:
            shares = self._shares[rows][inst] * ratio
            np.multiply(close, np.round(shares, out=shares), out=out["market_cap"])
        if "is_st" in out:
            out["is_st"][:] = (flags & ST) > 0
        if "close" in out:
            out["close"][:] = close
        if adjust != "none":
            scale = self._scale(rows, t0, t1, bars, adjust)
            for name in fields:
                if name not in UNADJUSTED:
                    out[name] *= scale
        return pd.DataFrame(values.T, index=self._index(found, t0, t1, bars, inst, day),
                            columns=list(fields), copy=False)

    def raw_bars(self, t0, t1):
        rows = np.arange(len(self.codes))
        frame = self.price_frame(self.codes, t0, t1, PRICE_FIELDS + EXTRA_COLUMNS, "none")
        if frame is None:
            return None
        t1 = min(t1, self._n_days)
        frame["adj_factor"] = self._scale(rows, t0, t1, self._bars[:, t0:t1], "post")
        return frame[list(BAR_COLUMNS + EXTRA_COLUMNS)]

    # -- style exposures ----------------------------------------------------
    def exposure_frame(self, codes, t0, t1, factors):
        """Style exposures of the stocks among ``codes`` on [t0, t1), or None.

        Computed a block of dates at a time over every stock (a date is
        standardised across the whole market), each block's listed cells
        written straight to their rows of the result, which runs by stock
        and then date.
        """
        found, rows = self.known(codes)
        t1 = min(t1, self._n_days)
        cols = self._stock_col[rows]
        is_stock = cols >= 0
        found = [c for c, s in zip(found, is_stock) if s]
        cols = cols[is_stock]
        if len(cols) == 0 or t1 <= t0:
            return None
        days = t1 - t0
        first = np.clip(self._stock_listed_pos[cols] - t0, 0, days)
        last = np.clip(self._stock_end_pos[cols] - t0, first, days)
        listed = (np.arange(days)[None, :] >= first[:, None]) & (np.arange(days)[None, :] < last[:, None])
        if not listed.any():
            return None
        length = last - first
        # Row of (stock s, day t) in the result: start[s] + t.
        start = np.cumsum(length) - length - first
        everyone = self._stock_listed_pos
        whole = len(cols) == len(everyone)
        knots = [self._knots[STYLE_FACTORS.index(name)] for name in factors]
        values = np.empty((len(factors), int(length.sum())))

        def fill(lo, hi):
            for a, b, j, x in exposure_blocks(knots, self._knot_step, everyone, lo, hi, self._stock_end_pos):
                if j == 0:
                    mine = listed[:, a - t0:b - t0]
                    s, t = np.nonzero(mine)
                    at = start[s] + t + (a - t0)
                    if not whole:
                        picked = np.zeros(x.shape, dtype=bool)
                        picked[cols] = mine
                        mine = picked
                values[j][at] = x[mine]

        # numpy releases the GIL in its loops: two threads on halves of the
        # dates (each half at least two dates long, so no block is one date).
        if days < 2 * _BLOCK_DATES:
            fill(t0, t1)
        else:
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                for half in [pool.submit(fill, t0, t0 + days // 2), pool.submit(fill, t0 + days // 2, t1)]:
                    half.result()
        inst = np.repeat(np.arange(len(cols), dtype=_code_type(len(cols))), length)
        day = np.broadcast_to(np.arange(days, dtype=_code_type(days)), listed.shape)[listed]
        return pd.DataFrame(values.T, index=self._index(found, t0, t1, listed, inst, day),
                            columns=list(factors), copy=False)

"""An in-memory market: calendar, instruments, daily bars, style exposures
and industry histories, with the queries the client functions answer."""

import concurrent.futures

import numpy as np
import pandas as pd

from .base import ADJUST_TYPES, PRICE_FIELDS, Instrument, MarketData

__all__ = ["Instrument", "Market", "STYLE_FACTORS", "PRICE_FIELDS", "ADJUST_TYPES"]

STYLE_FACTORS = (
    "beta", "momentum", "size", "earnings_yield", "residual_volatility",
    "growth", "book_to_price", "leverage", "liquidity", "non_linear_size",
)


def _cell_bits(seed, rows, cols):
    """64 pseudo-random bits per (rows[i], cols[i]) cell, a pure function of the key.

    Intraday prices and volumes are derived from these on demand instead of
    being stored, so they are identical whatever subset a query selects.
    """
    with np.errstate(over="ignore"):
        x = rows.astype(np.uint64)
        x *= np.uint64(0x100000001B3)
        x += np.uint64(seed & 0xFFFFFFFFFFFFFFFF) * np.uint64(0x9E3779B97F4A7C15)
        y = cols.astype(np.uint64)
        y *= np.uint64(0xD1B54A32D192ED03)
        x += y
        del y
        for shift, mult in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
            x ^= x >> np.uint64(shift)
            x *= np.uint64(mult)
        x ^= x >> np.uint64(31)
    return x.view(np.uint16).reshape(-1, 4)


def _uniform(quarters, k, out):
    """Uniform in (0, 1) from the k-th 16-bit quarter of the cell bits, into ``out``."""
    np.add(quarters[:, k], 0.5, out=out)
    out *= 1.0 / 65536.0
    return out


def listed_mask(listed_pos, t0, t1):
    """1.0 where a stock is listed on calendar position t in [t0, t1), else 0.0; (stocks, t)."""
    return (np.arange(t0, t1)[None, :] >= listed_pos[:, None]).astype(np.float64)


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


def exposure_blocks(knots, step, listed_pos, t0, t1):
    """Style exposures on calendar positions [t0, t1), a block of dates at a time.

    Yields ``(a, b, j, x)``: ``x`` (stocks, b - a) holds the exposures of
    the factor with knots ``knots[j]`` on [a, b), interpolated between the
    knots (see :func:`_interpolate`), then standardised across the stocks
    listed on each date (``listed_pos``: each stock's first position);
    unlisted cells are 0. ``x`` is overwritten by the next item.

    A date is computed stock by stock in stock order whatever the block, so
    the values do not depend on [t0, t1) or the block width.
    """
    n = len(listed_pos)
    flat = np.empty(n * (_BLOCK_DATES + 1))
    flat_t = np.empty_like(flat)
    for a, b in _date_blocks(t0, t1, _BLOCK_DATES):
        listed = listed_mask(listed_pos, a, b)
        count = np.maximum(listed.sum(axis=0), 1.0)
        # Stocks listed on every date of the block have weights of 1.
        late = np.flatnonzero(listed_pos > a)
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


def exposure_block(knots, step, listed_pos, t0, t1):
    """Exposures of one style factor on calendar positions [t0, t1), shape (stocks, t);
    see :func:`exposure_blocks`."""
    x = np.empty((knots.shape[1], t1 - t0))
    for a, b, _, block in exposure_blocks([knots], step, listed_pos, t0, t1):
        x[:, a - t0:b - t0] = block
    return x


def _code_type(levels):
    """The integer type pandas keeps index codes of ``levels`` labels in (from int16 up)."""
    return np.int16 if levels < 2 ** 15 else np.int32 if levels < 2 ** 31 else np.int64


class Market(MarketData):
    """Market data held in memory; built by :func:`vestamo.make_market`.

    Prices are stored as raw closes per (instrument, day with data) plus a
    list of adjustment events; ``bars`` marks the days with a bar (listed and
    not suspended). The data arrays cover the first ``close.shape[1]`` days
    of the calendar, which runs on past them.
    """

    def __init__(self, *, calendar, instruments, close, bars, events, volume_base,
                 knots, knot_step, components, citics, shenwan, seed, params):
        self._calendar = calendar
        self._instruments = instruments
        self.codes = instruments["order_book_id"].to_numpy()
        self._close = close
        self._bars = bars
        self._n_days = close.shape[1]
        # Position of each instrument's latest bar: pre-adjusted prices are
        # relative to the adjustment factor in force on it.
        self._last_bar = self._n_days - 1 - np.argmax(bars[:, ::-1], axis=1)
        self._events = events
        self._volume_base = volume_base
        self._knots = knots
        self._knot_step = knot_step
        is_stock = instruments["type"].to_numpy() == "CS"
        self._stock_col = np.where(is_stock, np.cumsum(is_stock) - 1, -1)
        self._stock_listed_pos = np.searchsorted(
            calendar.values, instruments["listed_date"].to_numpy()[is_stock])
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
    def _events_of(self, rows):
        """Adjustment events of ``rows`` (ascending): (index into rows, position, multiplier), by row then date."""
        ev_row, ev_pos, ev_mult = self._events
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

    def _scale(self, rows, t0, t1, bars, adjust):
        """Adjustment multiplier of each bar: the cumulative factor ("post"),
        over the factor of the instrument's latest bar ("pre")."""
        events = self._events_of(rows)
        which, pos, mult = events
        factor = np.ones((len(rows), t1 - t0 + 1))
        factor[:, 0] = self._product_before(len(rows), events, np.full(len(rows), t0))
        inside = (pos >= t0) & (pos < t1)
        factor[which[inside], pos[inside] - t0 + 1] = mult[inside]
        np.cumprod(factor, axis=1, out=factor)
        scale = factor[:, 1:][bars]
        if adjust == "pre":
            latest = self._product_before(len(rows), events, self._last_bar[rows] + 1)
            scale /= latest[np.nonzero(bars)[0]]
        return scale

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
        if set(fields) - {"close"}:
            quarters = _cell_bits(self._seed, rows[inst], day + t0)
            work = np.empty_like(close)
        if set(fields) & {"open", "high", "low"}:
            # Open near the close; high and low beyond both, on the tick.
            open_ = out.get("open", np.empty_like(close))
            _uniform(quarters, 0, open_)
            open_ += _uniform(quarters, 1, work)
            open_ -= 1.0
            open_ *= 0.006 * np.sqrt(6.0)
            np.exp(open_, out=open_)
            open_ *= close
            np.round(open_, 2, out=open_)
            for name, k, pick, sign in (("high", 2, np.maximum, 1.0), ("low", 3, np.minimum, -1.0)):
                if name in out:
                    edge = pick(open_, close, out=work)
                    target = out[name]
                    _uniform(quarters, k, target)
                    target *= sign * 0.012
                    target += 1.0
                    target *= edge
                    np.round(target, 2, out=target)
                    pick(target, edge, out=target)
        if "volume" in out:
            # Wide-range days trade more.
            volume = out["volume"]
            _uniform(quarters, 2, volume)
            volume += _uniform(quarters, 3, work)
            volume -= 1.0
            volume *= 0.5 * np.sqrt(6.0)
            np.exp(volume, out=volume)
            volume *= self._volume_base[rows][inst]
            volume /= 100.0
            np.round(volume, out=volume)
            volume *= 100.0
        if "close" in out:
            out["close"][:] = close
        if adjust != "none":
            scale = self._scale(rows, t0, t1, bars, adjust)
            for name in fields:
                if name != "volume":
                    out[name] *= scale
        return pd.DataFrame(values.T, index=self._index(found, t0, t1, bars, inst, day),
                            columns=list(fields), copy=False)

    def raw_bars(self, t0, t1):
        rows = np.arange(len(self.codes))
        frame = self.price_frame(self.codes, t0, t1, PRICE_FIELDS, "none")
        if frame is None:
            return None
        t1 = min(t1, self._n_days)
        frame["adj_factor"] = self._scale(rows, t0, t1, self._bars[:, t0:t1], "post")
        return frame

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
        listed = np.arange(days)[None, :] >= first[:, None]
        if not listed.any():
            return None
        length = days - first
        # Row of (stock s, day t) in the result: start[s] + t.
        start = np.cumsum(length) - length - first
        everyone = self._stock_listed_pos
        whole = len(cols) == len(everyone)
        knots = [self._knots[STYLE_FACTORS.index(name)] for name in factors]
        values = np.empty((len(factors), int(length.sum())))

        def fill(lo, hi):
            for a, b, j, x in exposure_blocks(knots, self._knot_step, everyone, lo, hi):
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

"""Daily price limits of the sample market, and closes that respect them.

A bar may not move further from its reference price than its board allows:
10 % on the main boards, 20 % on ChiNext (codes 300/301) from the 2020-08-24
reform and on STAR (688) throughout, 5 % while a main-board stock is under
special treatment. The reference is the previous bar's close, over the
adjustment multiplier on an ex-date; a listing day and the calendar's first
day have no limit. Limits are counted in ticks (0.01) and rounded half up,
as the exchanges publish them.

Each (stock, day) carries one flag byte: the limit in percent (0: none) in
the low six bits, ``ST`` while under special treatment, ``LOCKED`` on a day
that traded at one price, the limit.
"""

import numpy as np
import pandas as pd

__all__ = ["ST", "LOCKED", "PERCENT", "CHINEXT_REFORM", "board_percent", "flag_array", "limit_ticks",
           "reference_ticks", "References", "enforce_limits"]

ST, LOCKED, PERCENT = np.uint8(0x40), np.uint8(0x80), np.uint8(0x3F)
CHINEXT_REFORM = pd.Timestamp("2020-08-24")
_ROW_BLOCK = 256


def board_percent(codes):
    """Each code's limit in percent outside special treatment, and whether it is on ChiNext."""
    prefix = np.array([c[:3] for c in codes], dtype=object)
    chinext = np.isin(prefix, ["300", "301"])
    return np.where(chinext | (prefix == "688"), 20, 10).astype(np.uint8), chinext


def flag_array(codes, calendar, listed_pos, st):
    """(stocks, days) flags without lock marks; ``st`` is the special-treatment mask."""
    n, t = st.shape
    pct, chinext = board_percent(codes)
    flags = np.empty((n, t), dtype=np.uint8)
    flags[:] = pct[:, None]
    reform = min(int(np.searchsorted(calendar.values, CHINEXT_REFORM.asm8)), t)
    flags[np.flatnonzero(chinext), :reform] = 10
    # Special treatment narrows the main boards' limit only.
    flags[st & (flags == 10)] = 5
    flags[st] |= ST
    flags[np.arange(n), np.minimum(listed_pos, t - 1)] &= ~PERCENT
    flags[:, 0] &= ~PERCENT
    return flags


def limit_ticks(reference, percent):
    """Up and down limits in ticks of reference prices in ticks (integers in float64: exact)."""
    up = np.floor((reference * (100.0 + percent) + 50.0) / 100.0)
    down = np.floor((reference * (100.0 - percent) + 50.0) / 100.0)
    return up, down


def reference_ticks(close, mult):
    """The reference price in ticks of a previous close after an adjustment multiplier."""
    return np.rint(close * 100.0 / mult)


class References:
    """Bars whose reference is not the previous day's close: ex-dates (over the
    multiplier) and first bars after a suspension (the close before it).

    Sorted by ``key`` = row * days + position, with a sentinel past every
    cell at the end so lookups need no bounds checks.
    """

    def __init__(self, key, src, mult, shape):
        self.key, self.src, self.mult, self.shape = key, src, mult, shape
        n, t = shape
        by_src = np.argsort(key // t * t + src, kind="stable")
        self._src_key, self._by_src = (key // t * t + src)[by_src], by_src

    @classmethod
    def build(cls, bars, listed_pos, events):
        """From the bar mask and the adjustment events (which fall on bar days)."""
        n, t = bars.shape
        after = np.zeros_like(bars)
        after[:, 1:] = bars[:, 1:] & ~bars[:, :-1]
        after[np.arange(n), np.minimum(listed_pos, t - 1)] = False
        row, pos = np.nonzero(after)
        gone = np.zeros_like(bars)
        gone[:, 1:] = ~bars[:, 1:] & bars[:, :-1]
        g_row, g_pos = np.nonzero(gone)
        # A resumption pairs with the latest suspension start of its row before it.
        src = g_pos[np.searchsorted(g_row * t + g_pos, row * t + pos) - 1] - 1
        ev_row, ev_pos, ev_mult = events
        key = np.concatenate([row * t + pos, ev_row * t + ev_pos]).astype(np.int64)
        srcs = np.concatenate([src, ev_pos - 1]).astype(np.int64)
        mults = np.concatenate([np.ones(len(row)), ev_mult])
        order = np.argsort(key, kind="stable")
        key, srcs, mults = key[order], srcs[order], mults[order]
        # An ex-date that is also a resumption: one entry, from the close before the suspension.
        dup = np.flatnonzero(key[1:] == key[:-1])
        srcs[dup + 1] = np.minimum(srcs[dup], srcs[dup + 1])
        keep = np.ones(len(key), dtype=bool)
        keep[dup] = False
        sentinel = np.iinfo(np.int64).max
        return cls(np.append(key[keep], sentinel), np.append(srcs[keep], 0), np.append(mults[keep], 1.0), (n, t))

    def source(self, row, pos):
        """Position of the close each cell's reference comes from, and the multiplier."""
        key = row * self.shape[1] + pos
        k = np.searchsorted(self.key, key)
        found = self.key[k] == key
        return np.where(found, self.src[k], pos - 1), np.where(found, self.mult[k], 1.0)

    def next_bar(self, bars, row, pos):
        """The bar after each cell (row, position): the next day, or the end of a suspension."""
        t = self.shape[1]
        nxt = np.minimum(pos + 1, t - 1)
        plain = (pos + 1 < t) & bars[row, nxt]
        k = np.minimum(np.searchsorted(self._src_key, row * t + pos), len(self._src_key) - 1)
        across = ~plain & (self._src_key[k] == row * t + pos)
        resumed = self.key[self._by_src[k[across]]] % t
        return np.concatenate([row[plain], row[across]]), np.concatenate([nxt[plain], resumed])

    def within(self, rows, t0, t1):
        """Entries of ``rows`` (ascending) on positions [t0, t1): (index into rows, position, src, mult)."""
        row, pos = self.entries()
        sel = np.full(self.shape[0], -1, dtype=np.intp)
        sel[rows] = np.arange(len(rows))
        which = sel[row]
        keep = (which >= 0) & (pos >= t0) & (pos < t1)
        return which[keep], pos[keep], self.src[:-1][keep], self.mult[:-1][keep]

    def entries(self):
        """(row, position) of every entry but the sentinel."""
        return np.divmod(self.key[:-1], self.shape[1])


def _limited(target, close, flags, refs, row, pos):
    """Ticks of ``target`` at cells (row, pos) clipped to their limits, the reference and the percent."""
    src, mult = refs.source(row, pos)
    ref = reference_ticks(close[row, src], mult)
    pct = (flags[row, pos] & PERCENT).astype(np.float64)
    up, down = limit_ticks(ref, pct)
    ticks = np.rint(target[row, pos] * 100.0)
    return np.where(pct > 0, np.clip(ticks, down, up), ticks), ref, pct


def enforce_limits(close, flags, bars, refs, lock_margin):
    """Clip the closes ``close`` (on the tick) to their limits in place; mark LOCKED days in ``flags``.

    A close beyond its limit closes at it, and the move it could not make
    carries into the next bar, which may stop at the limit again: catching
    up after a long suspension takes several limit days. A limit close whose
    wanted move went more than ``lock_margin[row]`` past the limit traded at
    the limit price all day.
    """
    n, t = close.shape
    target = close.copy()
    special = np.zeros(n * t, dtype=bool)
    special[refs.key[:-1]] = True
    special = special.reshape(n, t)
    rows, cols = [], []
    for a in range(0, n, _ROW_BLOCK):
        b = min(a + _ROW_BLOCK, n)
        pct = (flags[a:b, 1:] & PERCENT).astype(np.float64)
        up, down = limit_ticks(np.rint(close[a:b, :-1] * 100.0), pct)
        ticks = np.rint(close[a:b, 1:] * 100.0)
        beyond = ((ticks > up) | (ticks < down)) & (pct > 0) & bars[a:b, 1:] & ~special[a:b, 1:]
        r, p = np.nonzero(beyond)
        rows.append(r + a)
        cols.append(p + 1)
    e_row, e_pos = refs.entries()
    row, pos = np.concatenate(rows + [e_row]), np.concatenate(cols + [e_pos])
    touched = []
    # Each pass settles the cells whose reference changed in the pass before; passes move forward in time.
    while len(row):
        ticks, _, _ = _limited(target, close, flags, refs, row, pos)
        value = ticks / 100.0
        changed = value != close[row, pos]
        close[row, pos] = value
        row, pos = row[changed], pos[changed]
        touched.append(row * t + pos)
        row, pos = refs.next_bar(bars, row, pos)
    row, pos = np.divmod(np.unique(np.concatenate(touched)), t)
    held = close[row, pos] != target[row, pos]
    row, pos = row[held], pos[held]
    _, ref, pct = _limited(target, close, flags, refs, row, pos)
    excess = np.abs(np.rint(target[row, pos] * 100.0) / ref - 1.0) - pct / 100.0
    locked = excess > lock_margin[row]
    flags[row[locked], pos[locked]] |= LOCKED
    return close

"""What happens to the sample market's stocks between listing and delisting:
special treatment, suspensions, delistings, dividends, splits and share issues.

All of it is drawn per stock or per event and laid out on the (stocks, days)
grid without loops over stocks or days.
"""

import numpy as np

__all__ = ["runs_mask", "delistings", "special_treatment", "trading_days", "corporate_events"]

# Share of stocks that delist within ten years, and how long their slide lasts.
_DELIST_PER_DECADE = 0.03
_SLIDE_DAYS = (120, 500)
_ST_PER_DECADE = 0.16


def runs_mask(shape, row, begin, length):
    """Boolean (rows, T) mask covering [begin, begin + length) of each run."""
    n, t = shape
    diff = np.zeros((n, t + 1), dtype=np.int32)
    end = np.minimum(begin + length, t)
    np.add.at(diff, (row, begin), 1)
    np.add.at(diff, (row, end), -1)
    return np.cumsum(diff[:, :t], axis=1, dtype=np.int32) > 0


def _uniform_pos(rng, lo, hi):
    """A position in [lo, hi) for each pair (hi > lo)."""
    return lo + np.floor(rng.random(len(lo)) * (hi - lo)).astype(np.int64)


def delistings(rng, listed_pos, size0, protected, t):
    """First position without a bar of each stock (``t``: never delisted).

    Small stocks delist more often; ``protected`` ones (the index's
    candidates) never do. A delisting comes at least a year after listing.
    """
    n = len(listed_pos)
    odds = np.exp(-0.8 * size0)
    chance = _DELIST_PER_DECADE * t / 2430.0 * odds / odds.mean()
    room = t - 20 - (listed_pos + 250)
    gone = (rng.random(n) < chance) & ~protected & (room > 0)
    end = np.full(n, t, dtype=np.int64)
    end[gone] = _uniform_pos(rng, listed_pos[gone] + 250, np.full(gone.sum(), t - 20))
    return end


def special_treatment(rng, listed_pos, end_pos, t):
    """(stocks, days) mask of special treatment, and the rows and first positions of the final slides.

    A delisting stock is under it for its last months; a few others for a
    year or two, some of which then recover.
    """
    n = len(listed_pos)
    gone = np.flatnonzero(end_pos < t)
    slide = rng.integers(*_SLIDE_DAYS, len(gone))
    slide_begin = np.maximum(end_pos[gone] - slide, listed_pos[gone] + 1)
    others = np.flatnonzero((end_pos == t) & (listed_pos + 300 < t) & (rng.random(n) < _ST_PER_DECADE * t / 2430.0))
    begin = _uniform_pos(rng, listed_pos[others] + 250, np.full(len(others), t))
    length = rng.integers(120, 750, len(others))
    rows = np.concatenate([gone, others])
    starts = np.concatenate([slide_begin, begin])
    lengths = np.concatenate([end_pos[gone] - slide_begin, length])
    return runs_mask((n, t), rows, starts, lengths), gone, slide_begin


def trading_days(rng, listed_pos, end_pos, t):
    """Days with a bar: listed, not delisted and not suspended.

    Most suspensions last a few days; about one in sixteen runs for weeks or months. The
    listing day always trades.
    """
    n = len(listed_pos)
    row = np.repeat(np.arange(n), rng.poisson(t / 400.0, n))
    lo = listed_pos[row] + 1
    begin = lo + np.floor(rng.random(len(row)) * np.maximum(t - lo, 0)).astype(np.int64)
    long_ = rng.random(len(row)) < 0.06
    length = np.where(long_, np.ceil(rng.lognormal(np.log(30.0), 0.8, len(row))).astype(np.int64),
                      1 + rng.geometric(0.35, len(row)))
    ok = begin < t
    suspended = runs_mask((n, t), row[ok], begin[ok], length[ok])
    days = np.arange(t)[None, :]
    return (days >= listed_pos[:, None]) & (days < end_pos[:, None]) & ~suspended


def _to_bar_days(bars, row, pos):
    """Each event moved to the first bar on or after its day; -1 where none follows."""
    t = bars.shape[1]
    pos = pos.copy()
    open_ = np.flatnonzero(~bars[row, np.minimum(pos, t - 1)] | (pos >= t))
    while len(open_):
        pos[open_] += 1
        past = pos[open_] >= t
        pos[open_[past]] = -1
        open_ = open_[~past]
        open_ = open_[~bars[row[open_], pos[open_]]]
    return pos


def _combined(row, pos, mult, t):
    """Events of one day multiplied into one; sorted by row then day."""
    key = row * t + pos
    uniq, inverse = np.unique(key, return_inverse=True)
    combined = np.ones(len(uniq))
    np.multiply.at(combined, inverse.reshape(-1), mult)
    return (uniq // t).astype(np.intp), (uniq % t).astype(np.intp), combined


def corporate_events(rng, listed_pos, bars):
    """Adjustment events (dividends about yearly, occasional splits) and share-count
    events (splits, some share issues) after listing, each on a bar day:
    two (row, position, multiplier) triples, sorted by row then day."""
    n, t = bars.shape
    per_stock = rng.poisson(t / 245.0, n)
    div_row = np.repeat(np.arange(n), per_stock)
    split_row = np.flatnonzero(rng.random(n) < 0.25)
    issue_row = np.flatnonzero(rng.random(n) < 0.3)
    rows = np.concatenate([div_row, split_row, issue_row])
    kind = np.repeat([0, 1, 2], [len(div_row), len(split_row), len(issue_row)])
    mult = np.concatenate([1.0 / (1.0 - rng.uniform(0.003, 0.03, len(div_row))),
                           rng.choice([1.3, 1.5, 2.0], len(split_row)),
                           rng.uniform(1.05, 1.3, len(issue_row))])
    lo = listed_pos[rows] + 1
    pos = lo + np.floor(rng.random(len(rows)) * np.maximum(t - lo, 0)).astype(np.int64)
    keep = pos < t
    rows, kind, mult, pos = rows[keep], kind[keep], mult[keep], pos[keep]
    pos = _to_bar_days(bars, rows, pos)
    keep = pos >= 0
    rows, kind, mult, pos = rows[keep], kind[keep], mult[keep], pos[keep]
    adjust = kind < 2
    shares = kind > 0
    return (_combined(rows[adjust], pos[adjust], mult[adjust], t),
            _combined(rows[shares], pos[shares], mult[shares], t))

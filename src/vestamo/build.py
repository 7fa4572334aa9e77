"""Generation of a synthetic market.

Daily returns follow a factor model: market (scaled by each stock's beta
exposure), style factor returns, industry returns and idiosyncratic noise,
plus a planted short-term reversal: every return carries minus ``REVERSAL``
times the stock's idiosyncratic return of the previous five days. Everything
is vectorised over stocks and days; the only Python loops run over style
factors, knots, code blocks and adjustment kinds.
"""

import numpy as np
import pandas as pd

from . import lifecycle, limits, model
from .calendar import make_calendar
from .industry import CITICS_2019, citics_history, shenwan_history
from .market import STYLE_FACTORS, Market
from .model import REVERSAL
from .utils import to_timestamp

__all__ = ["make_market", "DEFAULT_SEED", "REVERSAL", "INDEX_CODE"]

DEFAULT_SEED = 20150105
INDEX_CODE = "000300.XSHG"
_INDEX_SIZE = 300
_KNOT_STEP = 21
_MARKET_BEGIN = pd.Timestamp("1990-12-19")

# (first code, last code, exchange, share of stocks, earliest listing)
_BOARDS = (
    (1, 999, "XSHE", 0.14, "1991-04-03"),
    (1201, 1999, "XSHE", 0.02, "2018-01-01"),
    (2001, 2999, "XSHE", 0.17, "2004-06-25"),
    (3001, 3999, "XSHE", 0.01, "2020-06-01"),
    (300001, 300999, "XSHE", 0.15, "2009-10-30"),
    (301001, 301999, "XSHE", 0.05, "2020-08-24"),
    (600000, 600999, "XSHG", 0.20, "1990-12-19"),
    (601000, 601999, "XSHG", 0.06, "2006-06-01"),
    (603000, 603999, "XSHG", 0.12, "2011-01-01"),
    (605000, 605999, "XSHG", 0.02, "2020-01-01"),
    (688001, 688999, "XSHG", 0.06, "2019-07-22"),
)
_NAME_CHARS = "华中国东南西北新天海金宏信达长恒远光明安正泰瑞通盛隆丰鑫汇祥联合科创永兴"
_NAME_SUFFIX = {20: "银行", 21: "证券", 17: "药业", 26: "科技", 24: "电子", 22: "地产",
                18: "食品", 12: "汽车", 4: "钢铁", 27: "传媒", 1: "能源"}


def _check_int(name, value, low):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError("{}: expect an int, got {!r}".format(name, value))
    if value < low:
        raise ValueError("{}: must be at least {}, got {}".format(name, low, value))
    return int(value)


def _stock_codes(rng, n):
    """n distinct codes spread over the boards; the first code of a board always comes first."""
    capacity = np.array([b[1] - b[0] + 1 for b in _BOARDS])
    if n > capacity.sum():
        raise ValueError("n_stocks: at most {} stocks fit the code space, got {}".format(capacity.sum(), n))
    share = np.array([b[3] for b in _BOARDS])
    counts = np.minimum(np.floor(share * n).astype(int), capacity)
    order = np.argsort(-share, kind="stable")
    while counts.sum() < n:
        for b in order:
            if counts.sum() < n and counts[b] < capacity[b]:
                counts[b] += 1
    codes, exchanges, earliest, leading = [], [], [], []
    for (first, last, exchange, _, begin), k in zip(_BOARDS, counts):
        if k == 0:
            continue
        picked = np.concatenate([[first], first + 1 + rng.choice(last - first, k - 1, replace=False)])
        codes.extend("{:06d}.{}".format(int(c), exchange) for c in np.sort(picked))
        exchanges.extend([exchange] * k)
        earliest.extend([pd.Timestamp(begin)] * k)
        leading.extend([True] + [False] * (k - 1))
    return (np.array(codes, dtype=object), np.array(exchanges, dtype=object),
            pd.DatetimeIndex(earliest), np.array(leading))


def _listing_dates(rng, earliest, leading, calendar, start):
    """Trading days of listing: most before ``start`` (a board's first code
    always), the rest inside the calendar."""
    n = len(earliest)
    history = make_calendar(_MARKET_BEGIN, start - pd.Timedelta(days=1)) if start > _MARKET_BEGIN else calendar[:0]
    hist = history.values
    lo_hist = np.searchsorted(hist, earliest.values)
    early = ((rng.random(n) < 0.93) | leading) & (lo_hist < len(hist) - 20)
    early_pos = lo_hist + np.floor(rng.random(n) * np.maximum(len(hist) - 20 - lo_hist, 1)).astype(int)
    lo_cal = np.searchsorted(calendar.values, earliest.values)
    span = max(len(calendar) - 10, 1)
    late_lo = np.minimum(np.maximum(lo_cal, 1), span - 1) if len(calendar) > 1 else np.zeros(n, int)
    late_pos = late_lo + np.floor(rng.random(n) * np.maximum(span - late_lo, 1)).astype(int)
    late_pos = np.minimum(late_pos, len(calendar) - 1)
    dates = np.where(early, hist[np.minimum(early_pos, max(len(hist) - 1, 0))] if len(hist) else calendar.values[0],
                     calendar.values[late_pos])
    return pd.DatetimeIndex(dates)


def _knots(rng, n_factors, n_knots, n):
    """Slowly varying exposure paths: AR(1) across monthly knots."""
    rho = 0.97
    knots = np.empty((n_factors, n_knots, n))
    knots[:, 0] = rng.standard_normal((n_factors, n))
    for m in range(1, n_knots):
        knots[:, m] = rho * knots[:, m - 1] + np.sqrt(1 - rho * rho) * rng.standard_normal((n_factors, n))
    # Non-linear size is the part of cubed size not explained by size
    # (s**3 - 3s is uncorrelated with a standard normal s), plus noise.
    size = knots[STYLE_FACTORS.index("size")]
    nls = STYLE_FACTORS.index("non_linear_size")
    knots[nls] = 0.8 * (size ** 3 - 3.0 * size) / np.sqrt(6.0) + 0.6 * knots[nls]
    return knots


def _industries(rng, n, listed_date, calendar):
    """First start date (up to two months before listing), sector, and one
    reclassification for about one stock in eight. The latest change falls on
    the last trading day so that the history covers the whole calendar."""
    start, end = calendar[0], calendar[-1]
    weights = rng.dirichlet(np.full(len(CITICS_2019), 3.0))
    sector0 = rng.choice(len(CITICS_2019), n, p=weights)
    sector1 = (sector0 + rng.integers(1, len(CITICS_2019), n)) % len(CITICS_2019)
    first_start = listed_date - pd.to_timedelta(rng.integers(0, 61, n), unit="D")
    moved = rng.random(n) < 0.12
    lo = np.maximum(first_start.values, start.asm8) + np.timedelta64(1, "D")
    span = (end.asm8 - lo).astype("timedelta64[D]").astype(np.int64)
    moved &= span > 0
    change = lo + np.floor(rng.random(n) * np.maximum(span, 1)).astype("timedelta64[D]")
    if moved.any():
        change[np.flatnonzero(moved)[np.argmax(change[moved])]] = end.asm8
    change_date = pd.DatetimeIndex(np.where(moved, change, np.datetime64("NaT")))
    return first_start, sector0, change_date, sector1



def _ideal_closes(rng, returns, listed_pos, events):
    """Raw closes on the tick before price limits, in place of ``returns``: the
    total-return path from a listing price, over the cumulative adjustment factor.

    A stock that would sink below about 1.5 yuan lists higher instead (near a
    few ticks a limit of 10 % rounds to no move at all), one that would pass
    2,500 yuan lower.
    """
    n, t = returns.shape
    late = np.flatnonzero(listed_pos > 0)
    returns[late] *= np.arange(t)[None, :] >= listed_pos[late, None]
    np.log1p(returns, out=returns)
    # An event divides every later raw price by its multiplier.
    returns[events[0], events[1]] -= np.log(events[2])
    np.cumsum(returns, axis=1, out=returns)
    returns -= returns[np.arange(n), listed_pos][:, None]
    level = np.minimum(rng.uniform(np.log(4.0), np.log(60.0), n), np.log(2500.0) - returns.max(axis=1))
    level = np.maximum(level, np.log(1.5) - returns.min(axis=1))
    returns += level[:, None]
    np.exp(returns, out=returns)
    np.round(returns, 2, out=returns)
    return np.maximum(returns, 0.01, out=returns)


def _index(listed_pos, end_pos, size0, returns):
    """Members and closes of the index: cap-weighted average return of the
    largest stocks listed before the calendar starts that never delist (or
    listed first, in a market that has none)."""
    t = returns.shape[1]
    eligible = np.flatnonzero((listed_pos == listed_pos.min()) & (end_pos == t))
    by_size = eligible[np.argsort(-size0[eligible], kind="stable")]
    members = np.sort(by_size[:min(_INDEX_SIZE, max(1, (len(eligible) * 4) // 5))])
    growth = np.cumprod(1.0 + returns[members], axis=1)
    cap = np.exp(1.1 * size0[members])[:, None] * growth / growth[:, :1]
    index_ret = np.zeros(t)
    index_ret[1:] = (cap[:, :-1] * returns[members, 1:]).sum(axis=0) / cap[:, :-1].sum(axis=0)
    return members, np.round(3500.0 * np.cumprod(1.0 + index_ret), 2)


def _slides(returns, rows, begin, end_pos):
    """Delisting stocks lose about a third of their value over their last months."""
    days = np.arange(returns.shape[1])[None, :]
    inside = (days >= begin[:, None]) & (days < end_pos[rows][:, None])
    returns[rows] -= inside * (0.4 / np.maximum(end_pos[rows] - begin, 1))[:, None]


def make_market(n_stocks=500, start_date="2015-01-01", end_date="2024-12-31", seed=DEFAULT_SEED):
    """Build a deterministic synthetic market (same arguments, same data).

    Bars, exposures and industry histories cover the trading days from
    ``start_date`` to ``end_date``; the calendar runs on to the end of the
    following year, as an exchange's published calendar does.
    """
    n = _check_int("n_stocks", n_stocks, 1)
    seed = _check_int("seed", seed, 0)
    start, end = to_timestamp(start_date), to_timestamp(end_date)
    calendar = make_calendar(start, end)
    t = len(calendar)
    if t < 2:
        raise ValueError("start_date/end_date: the range {} to {} holds fewer than 2 trading days".format(
            start.date(), end.date()))
    rng = np.random.default_rng(seed)

    # Codes come out ascending, the order of every per-stock array below.
    codes, exchanges, earliest, leading = _stock_codes(rng, n)
    listed_date = _listing_dates(rng, earliest, leading, calendar, start)
    listed_pos = np.searchsorted(calendar.values, listed_date.values)
    first_start, sector0, change_date, sector1 = _industries(rng, n, listed_date, calendar)
    change_pos = np.where(change_date.isna(), t, np.searchsorted(calendar.values, change_date.values))
    knots = _knots(rng, len(STYLE_FACTORS), (t - 1) // _KNOT_STEP + 2, n)
    size0 = knots[STYLE_FACTORS.index("size"), 0]
    liquidity0 = knots[STYLE_FACTORS.index("liquidity"), 0]
    first = listed_pos == listed_pos.min()
    end_pos = lifecycle.delistings(rng, listed_pos, size0, leading | (first & (size0 > 0)), t)
    st, sliding, slide_begin = lifecycle.special_treatment(rng, listed_pos, end_pos, t)
    returns, _ = model.daily_returns(rng, t, knots, _KNOT_STEP, listed_pos, end_pos,
                                     (sector0, change_pos, sector1), None)
    _slides(returns, sliding, slide_begin, end_pos)
    members, index_close = _index(listed_pos, end_pos, size0, returns)
    bars = lifecycle.trading_days(rng, listed_pos, end_pos, t)
    events, share_events = lifecycle.corporate_events(rng, listed_pos, bars)
    close = _ideal_closes(rng, returns, listed_pos, events)
    del returns
    flags = limits.flag_array(codes, calendar, listed_pos, st)
    del st
    refs = limits.References.build(bars, listed_pos, events)
    limits.enforce_limits(close, flags, bars, refs, 0.015 * np.exp(0.6 * size0))

    shares0 = np.round(np.exp(22.0 + size0 + 0.3 * rng.standard_normal(n)) / close[np.arange(n), listed_pos], -4)
    shares0 = np.maximum(shares0, 1e6)
    turnover = np.exp(np.log(0.012) + 0.5 * liquidity0 - 0.25 * size0 + 0.3 * rng.standard_normal(n))
    volume_base = turnover * shares0
    letters = np.array(list(_NAME_CHARS), dtype=object)
    picks = rng.integers(0, len(letters), (n, 2))
    suffix = np.array([_NAME_SUFFIX.get(int(s), "股份") for s in sector0], dtype=object)
    full = make_calendar(start, pd.Timestamp(end.year + 1, 12, 31))
    delisted = np.where(end_pos < t, full.values[np.minimum(end_pos, len(full) - 1)], np.datetime64("NaT"))
    frame = pd.DataFrame({
        "order_book_id": np.append(codes, INDEX_CODE),
        "symbol": np.append(letters[picks[:, 0]] + letters[picks[:, 1]] + suffix, "沪深300"),
        "type": ["CS"] * n + ["INDX"],
        "listed_date": pd.DatetimeIndex(np.append(listed_date.values, np.datetime64("2005-04-08", "ns"))),
        "exchange": np.append(exchanges, "XSHG"),
        "de_listed_date": pd.DatetimeIndex(np.append(delisted, np.datetime64("NaT")).astype("datetime64[ns]")),
    })
    # The index joins the stocks in code order; stocks keep their relative
    # order, so exposure columns still line up with them.
    order = np.argsort(frame["order_book_id"].to_numpy(), kind="stable")
    inverse = np.empty_like(order)
    inverse[order] = np.arange(len(order))

    def by_row(triple):
        rows = inverse[triple[0]]
        sort = np.lexsort((triple[1], rows))
        return rows[sort], triple[1][sort], triple[2][sort]

    index_row = inverse[n]
    return Market(
        calendar=full, instruments=frame.iloc[order].reset_index(drop=True),
        close=np.vstack([close, index_close[None, :]])[order],
        bars=np.vstack([bars, np.ones((1, t), bool)])[order],
        flags=np.vstack([flags, np.zeros((1, t), np.uint8)])[order],
        references=limits.References(*_reordered(refs, inverse, index_row)),
        events=by_row(events), share_events=by_row(share_events),
        shares=np.append(shares0, np.nan)[order],
        volume_base=np.append(volume_base, volume_base[members].sum())[order],
        knots=knots, knot_step=_KNOT_STEP, end_pos=end_pos,
        components={INDEX_CODE: list(codes[members])},
        citics=citics_history(codes, first_start.values, sector0, change_date.values, sector1),
        shenwan=shenwan_history(codes, first_start.values, sector0, change_date.values, sector1),
        seed=seed,
        params={"n_stocks": n, "start_date": str(start.date()), "end_date": str(end.date()), "seed": seed},
    )


def _reordered(refs, inverse, index_row):
    """The reference table's entries on the rows of the instruments in code order."""
    n, t = refs.shape
    row, pos = refs.entries()
    key = inverse[row].astype(np.int64) * t + pos
    order = np.argsort(key, kind="stable")
    sentinel = np.iinfo(np.int64).max
    return (np.append(key[order], sentinel), np.append(refs.src[:-1][order], 0),
            np.append(refs.mult[:-1][order], 1.0), (n + 1, t))

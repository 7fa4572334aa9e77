"""Summaries before and after a split date, the recent years held out from the choice of a factor.

A result is cut into two results of the same kind: tables restricted to the dates before the split
(exclusive) or from it on (inclusive), cumulative series restarted from 0 at the first date of each part,
so every figure of a part is the figure of a test run over that part alone.
"""

import numpy as np
import pandas as pd

__all__ = ["split_date", "rebase", "date_mask", "split_summary", "PARTS"]

PARTS = ("before", "after", "after/before")


def split_date(split, dates):
    """``split`` as a Timestamp that leaves at least one of ``dates`` on each side, or a ValueError."""
    try:
        when = pd.Timestamp(split)
    except (TypeError, ValueError):
        raise ValueError("split: expect a date, got {!r}".format(split)) from None
    if when is pd.NaT:
        raise ValueError("split: expect a date, got {!r}".format(split))
    dates = pd.DatetimeIndex(dates)
    if getattr(dates, "tz", None) is not None and when.tz is None:
        when = when.tz_localize(dates.tz)
    if len(dates) == 0 or not (dates < when).any() or not (dates >= when).any():
        raise ValueError("split: {} leaves no dates on one side; the dates run from {} to {}".format(
            when, dates.min() if len(dates) else None, dates.max() if len(dates) else None))
    return when


def date_mask(index, start, stop):
    """Rows of a date index (or of the "datetime" level, else the last) in [start, stop)."""
    if isinstance(index, pd.MultiIndex):
        names = list(index.names)
        index = index.get_level_values(names.index("datetime") if "datetime" in names else -1)
    dates = pd.DatetimeIndex(index)
    keep = np.ones(len(dates), dtype=bool)
    if start is not None:
        keep &= dates >= start
    if stop is not None:
        keep &= dates < stop
    return keep


def rebase(table, start, stop, level=None):
    """The rows of a cumulative table in [start, stop), compounded again from 0 at the first of them.

    ``level`` names the index level whose groups are separate series (the quantile groups' "tag"). A
    missing row carries the compounding past it, as in `quellix.analysis.performance`.
    """
    if table is None:
        return None
    wealth = 1.0 + table.astype(float)
    if level is None:
        before = wealth.ffill().shift(1)
    else:
        before = wealth.groupby(level=level, sort=False).ffill().groupby(level=level, sort=False).shift(1)
    growth = (wealth / before.fillna(1.0))[date_mask(table.index, start, stop)]
    if level is None:
        return growth.cumprod() - 1.0
    return growth.groupby(level=level, sort=False).cumprod() - 1.0


def split_summary(result, split, summarise):
    """``summarise`` of the result before and after ``split`` and the ratio after/before.

    Columns (period, part), parts "before", "after" and "after/before". A ratio is left blank where the
    figure before is 0 or missing, and for p-values, whose ratio means nothing.
    """
    when = split_date(split, result._date_index())
    before = summarise(result._between(None, when))
    after = summarise(result._between(when, None))
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = after / before.where(before != 0)
    ratio = ratio.replace([np.inf, -np.inf], np.nan)
    ratio.loc[[r for r in ratio.index if "p-value" in str(r)]] = np.nan
    parts = dict(zip(PARTS, (before, after, ratio)))
    columns = [(period, part) for period in before.columns for part in PARTS]
    out = pd.DataFrame({(period, part): parts[part][period] for period, part in columns}, index=before.index)
    out.columns = pd.MultiIndex.from_tuples(columns, names=["period", "part"])
    return out

"""The sample exchange calendar: weekdays minus a fixed list of holidays."""

import numpy as np
import pandas as pd

from .utils import in_ns

__all__ = ["make_calendar", "holidays"]

# Lunar-new-year days; the exchange closes for the week around them.
_NEW_YEAR = {
    2000: "02-05", 2001: "01-24", 2002: "02-12", 2003: "02-01", 2004: "01-22",
    2005: "02-09", 2006: "01-29", 2007: "02-18", 2008: "02-07", 2009: "01-26",
    2010: "02-14", 2011: "02-03", 2012: "01-23", 2013: "02-10", 2014: "01-31",
    2015: "02-19", 2016: "02-08", 2017: "01-28", 2018: "02-16", 2019: "02-05",
    2020: "01-25", 2021: "02-12", 2022: "02-01", 2023: "01-22", 2024: "02-10",
    2025: "01-29", 2026: "02-17", 2027: "02-06", 2028: "01-26", 2029: "02-13",
    2030: "02-03", 2031: "01-23", 2032: "02-11", 2033: "01-31", 2034: "02-19",
    2035: "02-08",
}

# Single-day closures (spring festival of the dead, labour day, dragon boat,
# mid-autumn), approximated by fixed month-days.
_SINGLE_DAYS = ("01-01", "04-04", "04-05", "05-01", "05-02", "05-03", "05-04", "06-12", "06-13", "09-15", "09-16")


def holidays(first_year, last_year):
    """Return the holiday dates of the given years as a DatetimeIndex."""
    days = []
    for year in range(first_year, last_year + 1):
        new_year = pd.Timestamp("{}-{}".format(year, _NEW_YEAR.get(year, "02-05")))
        days.extend(new_year + pd.Timedelta(days=k) for k in range(-1, 6))
        days.extend(pd.Timestamp("{}-10-{:02d}".format(year, d)) for d in range(1, 8))
        days.extend(pd.Timestamp("{}-{}".format(year, md)) for md in _SINGLE_DAYS)
    return in_ns(pd.DatetimeIndex(sorted(set(days))))


def make_calendar(start_date, end_date):
    """Trading days between two midnight timestamps, inclusive."""
    if end_date < start_date:
        raise ValueError("calendar: end_date {} is before start_date {}".format(end_date.date(), start_date.date()))
    days = in_ns(pd.date_range(start_date, end_date, freq="D"))
    closed = holidays(start_date.year, end_date.year)
    keep = (days.day_of_week < 5) & ~np.isin(days.values, closed.values)
    return pd.DatetimeIndex(days[keep], name=None)

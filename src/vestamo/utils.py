"""Argument normalisation shared by the client's public functions."""

import datetime as _dt

import numpy as np
import pandas as pd

__all__ = ["to_timestamp", "to_date_str", "to_id_list", "in_ns"]


def to_timestamp(date):
    """Return ``date`` as a midnight ``pd.Timestamp`` (timezone dropped).

    Accepts 'YYYY-MM-DD' or 'YYYYMMDD' strings, 8-digit integers,
    ``datetime.date``/``datetime.datetime``, ``pd.Timestamp`` and
    ``np.datetime64``.
    """
    if isinstance(date, (bool, np.bool_)) or date is None:
        raise TypeError("date: expect a str, date, datetime, Timestamp or datetime64, got {!r}".format(date))
    value = date
    if isinstance(value, (int, np.integer)):
        value = str(int(value))
        if len(value) != 8:
            raise ValueError("date: integer dates must look like 20200102, got {!r}".format(date))
    if isinstance(value, str):
        text = value.strip()
        if len(text) == 8 and text.isdigit():
            text = "{}-{}-{}".format(text[:4], text[4:6], text[6:])
        try:
            ts = pd.Timestamp(text)
        except (ValueError, TypeError) as exc:
            raise ValueError("date: cannot parse {!r}".format(date)) from exc
    elif isinstance(value, (_dt.date, np.datetime64, pd.Timestamp)):
        ts = pd.Timestamp(value)
    else:
        raise TypeError("date: expect a str, date, datetime, Timestamp or datetime64, got {!r}".format(date))
    if ts is pd.NaT or pd.isna(ts):
        raise ValueError("date: got a missing date {!r}".format(date))
    if ts.tzinfo is not None:
        ts = ts.tz_localize(None)
    return in_ns(ts.normalize())


def in_ns(value):
    """Return a Timestamp or DatetimeIndex in nanosecond resolution.

    pandas 2 keeps the resolution it was given (s, ms, us, ns); pandas 1.x
    always stores nanoseconds and has no ``as_unit``.
    """
    return value.as_unit("ns") if hasattr(value, "as_unit") else value


def to_date_str(date):
    """Return ``date`` formatted as 'YYYY-MM-DD'."""
    return to_timestamp(date).strftime("%Y-%m-%d")


def to_id_list(order_book_ids):
    """Return the instrument codes as a list of str, first occurrences only."""
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    try:
        ids = list(order_book_ids)
    except TypeError:
        raise TypeError(
            "order_book_ids: expect a str or a list of str, got {!r}".format(order_book_ids)
        ) from None
    for code in ids:
        if not isinstance(code, str):
            raise TypeError("order_book_ids: expect str codes, got {!r}".format(code))
    return list(dict.fromkeys(ids))

"""Evaluation of factor expressions on market data served by vestamo."""
import operator

import numpy as np
import pandas as pd

import vestamo
from vestamo.utils import in_ns

from .buffers import BufferPool
from .interface import AbstractFactor, is_recipe, load_field

# Leaf fields named so hold industry codes of the named source (quellix.operators.IndustryLabels).
INDUSTRY_FIELD_PREFIX = "industry:"

__all__ = ["execute_factor", "instrument_list", "checked_shift", "factor_frame"]


def _leaf_fields(recipe, found):
    func, args = recipe
    if func is load_field:
        found.setdefault(args[0], None)
        return
    for arg in args:
        if is_recipe(arg):
            _leaf_fields(arg, found)


def _evaluate(recipe, data):
    func, args = recipe
    if func is load_field:
        return data[args[0]]
    return func(*[_evaluate(arg, data) if is_recipe(arg) else arg for arg in args])


def _history_start(first, shift):
    """The trading date `shift` days before `first`, or the calendar's first date if it is shorter."""
    if shift == 0:
        return first
    try:
        return vestamo.get_previous_trading_date(first, shift)
    except ValueError:
        # The calendar starts less than `shift` days before `first`.
        return vestamo.get_trading_dates("1900-01-01", first)[0]


def _spread(level_pos, codes):
    """Position of each row from its level's positions; -1 for a missing label."""
    pos = np.append(level_pos, -1)  # code -1 (missing) reads the appended -1
    return pos[codes]


def _field_arrays(fields, ids, dates, pad):
    """One (pad + len(dates), len(ids)) float64 array per field; missing bars are NaN.

    An industry field holds the codes of the labels in force on each date (NaN: none).
    """
    rows = pad + len(dates)
    data = {name: np.full((rows, len(ids)), np.nan) for name in fields}
    if not data:
        return data
    price_fields = [name for name in fields if not name.startswith(INDUSTRY_FIELD_PREFIX)]
    for name in fields:
        if name.startswith(INDUSTRY_FIELD_PREFIX):
            from .operators.industry import industry_codes

            data[name][pad:] = industry_codes(name[len(INDUSTRY_FIELD_PREFIX):], ids, dates)
    prices = None
    if price_fields:
        prices = vestamo.get_price(ids, start_date=dates[0], end_date=dates[-1], fields=price_fields,
                                   adjust_type="post", expect_df=True)
    if prices is not None and len(prices):
        # Positions are looked up per distinct label and spread through the
        # index codes: one lookup per bar would cost seconds on a whole market.
        index = prices.index
        levels = dict(zip(index.names, zip(index.levels, index.codes)))
        date_level, date_codes = levels["date"]
        id_level, id_codes = levels["order_book_id"]
        date_pos = _spread(dates.get_indexer(in_ns(pd.DatetimeIndex(date_level))), date_codes)
        id_pos = _spread(pd.Index(ids).get_indexer(id_level), id_codes)
        keep = (date_pos >= 0) & (id_pos >= 0)
        # A whole-market answer lies entirely inside the table: no copies to drop rows.
        every = bool(keep.all())
        date_pos = (date_pos if every else date_pos[keep]) + pad
        id_pos = id_pos if every else id_pos[keep]
        for name in price_fields:
            array, column = data[name], prices[name]
            values = (column.to_numpy() if column.dtype == np.float64
                      else column.to_numpy(dtype=np.float64, na_value=np.nan))
            array[date_pos, id_pos] = values if every else values[keep]
    for array in data.values():
        # Several nodes share a leaf array; a callable writing into it would corrupt the others.
        array.flags.writeable = False
    return data


def instrument_list(order_book_ids):
    """The codes as a list; refuses an empty list, non-str codes and duplicates."""
    ids = [order_book_ids] if isinstance(order_book_ids, str) else list(order_book_ids)
    if not ids:
        raise ValueError("order_book_ids is empty")
    bad = [code for code in ids if not isinstance(code, str)]
    if bad:
        raise TypeError("order_book_ids must be str codes, got {!r}".format(bad[0]))
    duplicated = pd.Index(ids)[pd.Index(ids).duplicated()]
    if len(duplicated):
        raise ValueError("order_book_ids contains duplicates: {}".format(", ".join(duplicated.unique())))
    return ids


def checked_shift(factor):
    """The factor's shift as a non-negative int."""
    if not isinstance(factor, AbstractFactor):
        raise TypeError("factor must be an AbstractFactor, got {!r}".format(factor))
    shift = factor.shift
    # Windows are not checked when nodes are built; a bad one surfaces here first.
    try:
        shift = operator.index(shift)
    except TypeError:
        raise TypeError("{!r} has a non-integer shift {!r}: are its windows integers?".format(factor, shift)) from None
    if shift < 0:
        raise ValueError("{!r} has a negative shift {}: are its windows positive?".format(factor, shift))
    return shift


def factor_frame(values, factor, out_dates, ids, pad):
    """The evaluated array as execute_factor returns it: float64, the padded dates NaN."""
    values = np.asarray(values)
    if values.shape != (len(out_dates), len(ids)):
        raise RuntimeError("{!r} evaluated to an array of shape {}, expected {} (its shift is {})".format(
            factor, values.shape, (len(out_dates), len(ids)), factor.shift))
    values = values.astype(np.float64)
    # Dates whose window reaches into the padding were computed from filler, not data.
    values[:pad] = np.nan
    # `values` is already this table's own copy; pandas 3 would copy it again, a third of a second for
    # each table of a whole ten-year market.
    return pd.DataFrame(values, index=pd.DatetimeIndex(out_dates, name="datetime"),
                        columns=pd.Index(ids, name="order_book_id"), copy=False)


def execute_factor(factor, order_book_ids, start_date, end_date):
    """
    计算因子值

    Parameters
    ----------
    factor : quellix.interface.AbstractFactor
    order_book_ids : str or list of str
    start_date, end_date : date-like

    Returns
    -------
    pandas.DataFrame
        index: trading dates (DatetimeIndex "datetime"), columns: instruments ("order_book_id"),
        float64. Dates whose history reaches before the calendar's first date are NaN.
    """
    shift = checked_shift(factor)
    ids = instrument_list(order_book_ids)
    out_dates = in_ns(pd.DatetimeIndex(vestamo.get_trading_dates(start_date, end_date)))
    columns = pd.Index(ids, name="order_book_id")
    if len(out_dates) == 0:
        return pd.DataFrame(np.empty((0, len(ids))), index=pd.DatetimeIndex([], name="datetime"),
                            columns=columns)

    first = out_dates[0]
    dates = in_ns(pd.DatetimeIndex(vestamo.get_trading_dates(_history_start(first, shift), out_dates[-1])))
    pad = shift - (len(dates) - len(out_dates))

    recipe = factor.expr
    fields = {}
    _leaf_fields(recipe, fields)
    data = _field_arrays(fields, ids, dates, pad)
    buffers = BufferPool()
    try:
        with buffers.active():
            return factor_frame(_evaluate(recipe, data), factor, out_dates, ids, pad)
    finally:
        buffers.close()

"""Full content checks of a data folder: what opening it does not read."""

import numpy as np
import pandas as pd
import pyarrow as pa

from .layout import StoreError, code_positions, day_numbers

__all__ = ["check_store"]

_PRICES = ("open", "high", "low", "close")


def check_store(store):
    """Raise StoreError naming the file and the first problem found."""
    known = pd.Index(store.instruments_frame["order_book_id"])
    known_set = pa.array(list(known), pa.string())
    _check_daily(store, "bars", known, known_set, _check_bar_values)
    if store._tables["exposures"] is not None:
        _check_daily(store, "exposures", known, known_set, None)
    if store._tables["index_components"] is not None:
        _check_components(store, known)
    for name, frame in (("industry_citics_2019", "citics"), ("industry_shenwan", "shenwan")):
        if store._tables[name] is not None:
            getattr(store, frame)


def _check_daily(store, name, known, known_set, check_values):
    """Every row: a known code, a trading day, at most one row per (date, code), sound values."""
    table = store._table(name)
    days = store._calendar_days
    lut = np.full(days[-1] - days[0] + 1, -1, dtype=np.int64)
    lut[days - days[0]] = np.arange(len(days))
    seen = np.zeros((len(known), len(days)), dtype=bool)
    columns = [c for c in table.columns if c not in ("date", "order_book_id")]
    for path, batches in table.file_batches(["date", "order_book_id"] + columns):
        for batch in batches:
            if batch.num_rows == 0:
                continue
            code = batch.column(batch.schema.get_field_index("order_book_id"))
            date = batch.column(batch.schema.get_field_index("date"))
            if code.null_count:
                raise StoreError("{}: {} row(s) without an order_book_id".format(path, code.null_count))
            inst = code_positions(known_set, code)
            if (inst < 0).any():
                bad = code[int(np.flatnonzero(inst < 0)[0])]
                raise StoreError("{}: order_book_id {} is not in the instruments table".format(path, bad))
            offset = day_numbers(pa.chunked_array([date]), "{} column 'date'".format(path)) - days[0]
            inside = (offset >= 0) & (offset < len(lut))
            pos = np.where(inside, lut[np.clip(offset, 0, len(lut) - 1)], -1)
            if (pos < 0).any():
                raise StoreError("{}: rows dated {}, which is not a trading day of the calendar".format(
                    path, date[int(np.flatnonzero(pos < 0)[0])]))
            flat = inst * len(days) + pos
            ordered = np.sort(flat)
            twice = ordered[1:][ordered[1:] == ordered[:-1]]
            again = flat[seen.ravel()[flat]]
            if len(twice) or len(again):
                key = int(twice[0] if len(twice) else again[0])
                raise StoreError("{}: more than one row for order_book_id {} on {}".format(
                    path, known[key // len(days)], store.calendar[key % len(days)].date()))
            seen.ravel()[flat] = True
            if check_values is not None:
                check_values(path, batch)


def _check_bar_values(path, batch):
    for name in _PRICES + ("volume", "adj_factor"):
        values = np.asarray(batch.column(batch.schema.get_field_index(name)).cast(pa.float64())
                            .to_numpy(zero_copy_only=False))
        missing = np.isnan(values)
        if missing.any():
            raise StoreError("{}: column '{}' has {} missing value(s); leave out a day without a bar".format(
                path, name, int(missing.sum())))
        bad = ~(values > 0) if name == "adj_factor" else values < 0
        bad |= np.isinf(values)
        if bad.any():
            raise StoreError("{}: column '{}' holds {}, expect {}".format(
                path, name, values[bad][0], "a positive finite factor" if name == "adj_factor"
                else "a finite value of at least 0"))
    _check_optional_bar_values(path, batch)


def _column(batch, name):
    index = batch.schema.get_field_index(name)
    if index < 0:
        return None
    return np.asarray(batch.column(index).cast(pa.float64()).to_numpy(zero_copy_only=False))


def _check_optional_bar_values(path, batch):
    """Traded value: at least 0, 0 without volume, its vwap within [low, high];
    capitalisation positive (missing: unknown, as for an index); special treatment 0 or 1."""
    value = _column(batch, "total_turnover")
    if value is not None:
        volume, low, high = (_column(batch, c) for c in ("volume", "low", "high"))
        bad = ~(np.isfinite(value) & (value >= 0)) | ((volume == 0) & (value != 0))
        if bad.any():
            raise StoreError("{}: column 'total_turnover' holds {} with volume {}, expect a finite value of at "
                             "least 0, and 0 without volume".format(path, value[bad][0], volume[bad][0]))
        traded = volume > 0
        with np.errstate(invalid="ignore", divide="ignore"):
            vwap = value / volume
        # Traded value and volume are rounded figures: allow a relative slack of 1e-6.
        outside = traded & ((vwap < low * (1 - 1e-6)) | (vwap > high * (1 + 1e-6)))
        if outside.any():
            k = int(np.flatnonzero(outside)[0])
            raise StoreError("{}: total_turnover / volume = {} lies outside the bar's range [{}, {}]".format(
                path, vwap[k], low[k], high[k]))
    cap = _column(batch, "market_cap")
    if cap is not None:
        bad = ~np.isnan(cap) & ~(np.isfinite(cap) & (cap > 0))
        if bad.any():
            raise StoreError("{}: column 'market_cap' holds {}, expect a positive finite value (or missing)".format(
                path, cap[bad][0]))
    st = _column(batch, "is_st")
    if st is not None:
        bad = ~np.isin(st, (0.0, 1.0))
        if bad.any():
            raise StoreError("{}: column 'is_st' holds {}, expect 0 or 1".format(path, st[bad][0]))


def _check_components(store, known):
    table = store._table("index_components")
    frame = store.components_frame
    for column in ("index_code", "order_book_id"):
        unknown = ~frame[column].isin(known)
        if unknown.any():
            raise StoreError("{}: {} {} is not in the instruments table".format(
                table.path, column, frame.loc[unknown, column].iloc[0]))
    reversed_ = frame["end_date"].notna() & (frame["end_date"] < frame["start_date"])
    if reversed_.any():
        row = frame[reversed_].iloc[0]
        raise StoreError("{}: {} in {} ends on {}, before it starts on {}".format(
            table.path, row["order_book_id"], row["index_code"], row["end_date"].date(), row["start_date"].date()))

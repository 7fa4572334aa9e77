"""Writing a market to a data folder (layout: docs/data-folder.md)."""

import pathlib

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from .base import BAR_COLUMNS
from .layout import TABLES, StoreError

__all__ = ["export"]


def _dates(values):
    return pa.array(pd.DatetimeIndex(values).values.astype("datetime64[D]"), pa.date32(), from_pandas=True)


def _text(values):
    return pa.array(list(values), pa.string())


def _months(calendar):
    """Calendar positions [t0, t1) of each month."""
    month = calendar.year * 12 + calendar.month
    edges = np.flatnonzero(np.diff(month)) + 1
    bounds = np.concatenate([[0], edges, [len(calendar)]])
    return list(zip(bounds[:-1], bounds[1:]))


def _date_major(frame):
    """A (order_book_id, date) frame as an Arrow table sorted by date, then code."""
    code = frame.index.codes[0]
    day = frame.index.codes[1]
    order = np.lexsort((code, day))
    columns = {
        "date": _dates(frame.index.levels[1].values[day[order]]),
        "order_book_id": _text(np.asarray(frame.index.levels[0])[code[order]]),
    }
    for name in frame.columns:
        columns[name] = pa.array(frame[name].to_numpy(dtype=np.float64)[order])
    return pa.table(columns)


def _write_daily(path, blocks):
    """One row group per month keeps a month's query to a row group or two."""
    writer = None
    try:
        for frame in blocks:
            if frame is None or len(frame) == 0:
                continue
            table = _date_major(frame)
            if writer is None:
                writer = pq.ParquetWriter(str(path), table.schema)
            writer.write_table(table, row_group_size=max(table.num_rows, 1))
    finally:
        if writer is not None:
            writer.close()
    return writer is not None


def export(market, path, overwrite=False):
    """Write ``market`` (synthetic or a store) as a data folder at ``path``; returns the folder.

    Bars and exposures are written one month at a time, sorted by date and
    code, one row group per month. Existing table files are replaced only
    with ``overwrite``.
    """
    folder = pathlib.Path(path).expanduser()
    folder.mkdir(parents=True, exist_ok=True)
    targets = {name: folder / (name + ".parquet") for name in TABLES}
    for name, target in targets.items():
        if (folder / name).is_dir():
            raise StoreError("{}: a table folder is in the way; move it elsewhere first".format(folder / name))
        if target.exists() and not overwrite:
            raise StoreError("{}: already exists; pass overwrite=True to replace it".format(target))

    calendar = market.calendar
    pq.write_table(pa.table({"date": _dates(calendar)}), str(targets["calendar"]))
    inst = market.instruments_frame
    pq.write_table(pa.table({
        "order_book_id": _text(inst["order_book_id"]), "symbol": _text(inst["symbol"]), "type": _text(inst["type"]),
        "listed_date": _dates(inst["listed_date"]), "exchange": _text(inst["exchange"]),
        "de_listed_date": _dates(inst["de_listed_date"]),
    }), str(targets["instruments"]))

    months = _months(calendar)
    if not _write_daily(targets["bars"], (market.raw_bars(t0, t1) for t0, t1 in months)):
        # A folder without bars is still a valid one.
        pq.write_table(pa.table({c: pa.array([], pa.date32() if c == "date" else pa.string() if c == "order_book_id"
                                 else pa.float64()) for c in ("date", "order_book_id") + BAR_COLUMNS}),
                       str(targets["bars"]))
    codes = list(inst["order_book_id"])
    factors = _optional(lambda: list(market.style_factors))
    if factors:
        _write_daily(targets["exposures"], (market.exposure_frame(codes, t0, t1, factors) for t0, t1 in months))

    members = market.components_frame
    if len(members):
        pq.write_table(pa.table({
            "index_code": _text(members["index_code"]), "order_book_id": _text(members["order_book_id"]),
            "start_date": _dates(members["start_date"]), "end_date": _dates(members["end_date"]),
        }), str(targets["index_components"]))
    citics = _optional(lambda: market.citics)
    if citics is not None:
        pq.write_table(pa.table({
            "name": _text(citics["name"]), "order_book_id": _text(citics["order_book_id"]),
            "start_date": _dates(citics["start_date"]),
        }), str(targets["industry_citics_2019"]))
    shenwan = _optional(lambda: market.shenwan)
    if shenwan is not None:
        pq.write_table(pa.table({
            "name": _text(shenwan["name"]), "order_book_id": _text(shenwan["order_book_id"]),
            "start_date": _dates(shenwan["start_date"]),
            "version": pa.array(shenwan["version"].to_numpy(), pa.int8()),
        }), str(targets["industry_shenwan"]))
    return folder


def _optional(get):
    """A table a data folder may lack (None then)."""
    try:
        return get()
    except StoreError as exc:
        if "missing table" in str(exc):
            return None
        raise

"""A market served from a folder of Parquet files (layout: docs/data-folder.md).

Opening reads the small tables (calendar, instruments) and checks every
file's schema from its footer; bars and exposures are read per query, only
the row groups whose statistics may hold the requested dates and codes, and
only the requested columns. ``validate`` checks every row.
"""

import pathlib
import threading

import numpy as np
import pandas as pd
import pyarrow as pa

from .base import BAR_COLUMNS, EXTRA_COLUMNS, UNADJUSTED, MarketData
from .layout import (OPTIONAL, REQUIRED, TABLES, StoreError, Table, as_float, as_text, code_positions, day_numbers,
                     days_to_ns)
from .utils import in_ns

__all__ = ["ParquetStore", "open_store", "StoreError"]


def _cells(present):
    """Code and day numbers of the cells of a mask, row by row, in the smallest integer type."""
    n, t = present.shape
    kind = np.int16 if max(n, t) < 2**15 else np.int32
    inst = np.broadcast_to(np.arange(n, dtype=kind)[:, None], present.shape)[present]
    day = np.broadcast_to(np.arange(t, dtype=kind)[None, :], present.shape)[present]
    return inst, day


def _nullable_days(column, where):
    """Nanosecond dates of a date column whose nulls mean "none" (NaT)."""
    days = days_to_ns(day_numbers(column.fill_null(0), where))
    days[np.array(column.is_null().to_pylist(), dtype=bool)] = np.datetime64("NaT")
    return days


def open_store(path):
    """Open the data folder at ``path`` as a market; see ``vestamo.set_market``."""
    return ParquetStore(path)


class ParquetStore(MarketData):
    """Market data read from a folder of Parquet files.

    The files are taken not to change while the store is open: the small
    tables and each instrument's latest adjustment factor are kept once read.
    """

    def __init__(self, path):
        self.folder = pathlib.Path(path).expanduser()
        if not self.folder.is_dir():
            raise StoreError("{}: not a folder".format(self.folder))
        self._tables = {name: Table.find(self.folder, name) for name in TABLES}
        for name in REQUIRED:
            self._table(name)
        self._lock = threading.Lock()
        self._loaded = {}
        self._latest = {}
        self._calendar = self._load_calendar()
        self._calendar_days = self._calendar.values.astype("datetime64[D]").astype(np.int64)
        self._instruments = self._load_instruments()

    def __repr__(self):
        return "ParquetStore('{}', instruments={}, trading_days={})".format(
            self.folder, len(self._instruments), len(self._calendar))

    # -- small tables ---------------------------------------------------------
    def _table(self, name):
        table = self._tables[name]
        if table is None:
            raise StoreError("{}: missing table '{}' (a file {}.parquet or a folder {}/ of Parquet files)".format(
                self.folder, name, name, name))
        return table

    def _load_calendar(self):
        table = self._table("calendar")
        days = day_numbers(table.read_all(["date"]).column("date"), "{} column 'date'".format(table.path))
        if len(days) == 0:
            raise StoreError("{}: the calendar has no dates".format(table.path))
        step = np.diff(days)
        if (step <= 0).any():
            k = int(np.flatnonzero(step <= 0)[0])
            what = "duplicate date" if step[k] == 0 else "dates out of order"
            raise StoreError("{}: {} in the calendar ({} then {}); expect ascending unique dates".format(
                table.path, what, days_to_ns(days[k:k + 1])[0], days_to_ns(days[k + 1:k + 2])[0]))
        return in_ns(pd.DatetimeIndex(days_to_ns(days)))

    def _load_instruments(self):
        table = self._table("instruments")
        optional = [c for c, _ in OPTIONAL["instruments"] if c in table.columns]
        data = table.read_all([name for name, _ in TABLES["instruments"]] + optional)
        where = "{} column '{{}}'".format(table.path)
        codes = as_text(data.column("order_book_id"), where.format("order_book_id"))
        listed = day_numbers(data.column("listed_date"), where.format("listed_date"))
        dup = pd.Index(codes).duplicated()
        if dup.any():
            raise StoreError("{}: order_book_id {} appears more than once".format(table.path, codes[dup][0]))
        frame = pd.DataFrame({
            "order_book_id": codes,
            "symbol": as_text(data.column("symbol"), where.format("symbol")),
            "type": list(as_text(data.column("type"), where.format("type"))),
            "listed_date": pd.DatetimeIndex(days_to_ns(listed)),
            "exchange": as_text(data.column("exchange"), where.format("exchange")),
            "de_listed_date": pd.DatetimeIndex(
                _nullable_days(data.column("de_listed_date"), where.format("de_listed_date")) if optional
                else np.full(len(codes), np.datetime64("NaT"), dtype="datetime64[ns]")),
        })
        order = np.argsort(codes, kind="stable")
        return frame.iloc[order].reset_index(drop=True)

    def _small(self, name, build):
        with self._lock:
            frame = self._loaded.get(name)
            if frame is None:
                frame = self._loaded[name] = build(self._table(name))
        return frame

    def _load_history(self, table, keys):
        columns = [name for name, _ in TABLES[table.name]]
        data = table.read_all(columns)
        where = "{} column '{{}}'".format(table.path)
        frame = pd.DataFrame({
            "name": as_text(data.column("name"), where.format("name")),
            "order_book_id": as_text(data.column("order_book_id"), where.format("order_book_id")),
            "start_date": pd.DatetimeIndex(days_to_ns(day_numbers(data.column("start_date"),
                                                                  where.format("start_date")))),
        })
        if "version" in columns:
            version = data.column("version")
            if version.null_count:
                raise StoreError("{}: {} row(s) without a version".format(where.format("version"), version.null_count))
            frame["version"] = np.asarray(version.to_numpy(), dtype=np.int64)
            bad = ~frame["version"].isin([1, 2, 3])
            if bad.any():
                raise StoreError("{}: version {} is not an edition (1, 2 or 3)".format(
                    where.format("version"), frame["version"][bad].iloc[0]))
        dup = frame.duplicated(keys)
        if dup.any():
            raise StoreError("{}: more than one row for {}".format(
                table.path, dict(zip(keys, frame.loc[dup, keys].iloc[0].astype(str)))))
        return frame.sort_values(keys, kind="stable", ignore_index=True)

    def _load_components(self, table):
        data = table.read_all(name for name, _ in TABLES["index_components"])
        where = "{} column '{{}}'".format(table.path)
        end_ns = _nullable_days(data.column("end_date"), where.format("end_date"))
        return pd.DataFrame({
            "index_code": as_text(data.column("index_code"), where.format("index_code")),
            "order_book_id": as_text(data.column("order_book_id"), where.format("order_book_id")),
            "start_date": pd.DatetimeIndex(days_to_ns(day_numbers(data.column("start_date"),
                                                                  where.format("start_date")))),
            "end_date": pd.DatetimeIndex(end_ns),
        })

    calendar = property(lambda self: self._calendar)
    instruments_frame = property(lambda self: self._instruments)

    @property
    def style_factors(self):
        return tuple(c for c in self._table("exposures").columns if c not in ("date", "order_book_id"))

    @property
    def components_frame(self):
        if self._tables["index_components"] is None:
            return self._empty_components()
        return self._small("index_components", self._load_components)

    @staticmethod
    def _empty_components():
        nat = pd.DatetimeIndex(np.array([], dtype="datetime64[ns]"))
        return pd.DataFrame({"index_code": np.array([], dtype=object), "order_book_id": np.array([], dtype=object),
                             "start_date": nat, "end_date": nat})

    @property
    def citics(self):
        return self._small("industry_citics_2019", lambda t: self._load_history(t, ["order_book_id", "start_date"]))

    @property
    def shenwan(self):
        return self._small("industry_shenwan",
                           lambda t: self._load_history(t, ["order_book_id", "start_date", "version"]))

    # -- bars and exposures ---------------------------------------------------
    def _read_cells(self, name, codes, t0, t1, columns, extra=(), whole=False):
        """Rows of ``codes`` dated on positions [t0, t1), or None; else
        (values, extra values, present, inst, day, t1).

        ``values`` is a (columns, rows) float64 block and ``extra`` a list of
        rows, both in (code, date) order; ``present`` is the (codes, days)
        mask of the rows found and ``inst``, ``day`` its cells. ``t1`` is cut
        back to the last day with a row.
        """
        table = self._table(name)
        expr = table.filter((self._calendar_days[t0], self._calendar_days[t1 - 1]), None if whole else codes)
        data = table.read(["date", "order_book_id"] + list(columns) + list(extra), expr)
        if data.num_rows == 0:
            return None
        slot = self._slots(table, data, codes, t0, t1)
        data = data.select(list(columns) + list(extra))
        present = slot >= 0
        # Past the last bar the calendar has days without rows; leave them out
        # of the date level as the synthetic market does.
        used = np.flatnonzero(present.any(axis=0))
        last = used[-1] + 1 if len(used) else 0
        present = present[:, :last]
        order = slot[:, :last][present]
        del slot
        if len(order) == 0:
            return None
        inst, day = _cells(present)
        # Output position of each row read; rows then go straight from Arrow's
        # chunks to their place, and each chunk is released once placed.
        dest = np.full(data.num_rows, -1, dtype=order.dtype)
        dest[order] = np.arange(len(order), dtype=order.dtype)
        del order
        chunks = [list(reversed(data.column(c).chunks)) for c in list(columns) + list(extra)]
        del data
        values = np.empty((len(columns), len(inst)))
        rest = []
        for j, pending in enumerate(chunks):
            chunks[j] = None
            target = values[j] if j < len(columns) else np.empty(len(inst))
            offset = 0
            while pending:
                chunk = pending.pop()
                place = dest[offset:offset + len(chunk)]
                offset += len(chunk)
                kept = place >= 0
                if kept.all():
                    target[place] = as_float(chunk)
                else:
                    target[place[kept]] = as_float(chunk)[kept]
                del chunk
            if j >= len(columns):
                rest.append(target)
        return values, rest, present, inst, day, t0 + last

    def _slots(self, table, data, codes, t0, t1):
        """(codes, days) matrix of row numbers, -1 where no row; rows of other codes are left out."""
        days = self._calendar_days[t0:t1]
        lut = np.full(days[-1] - days[0] + 1, -1, dtype=np.int64)
        lut[days - days[0]] = np.arange(len(days))
        target = pa.array(codes, pa.string())
        slot = np.full((len(codes), len(days)), -1, dtype=np.int32 if data.num_rows < 2**31 else np.int64)
        kept = offset = 0
        where = "{} column '{{}}'".format(table.path)
        for date, code in zip(data.column("date").chunks, data.column("order_book_id").chunks):
            n = len(date)
            if code.null_count:
                raise StoreError("{}: {} row(s) without a code".format(where.format("order_book_id"), code.null_count))
            pos = lut[day_numbers(pa.chunked_array([date]), where.format("date")) - days[0]]
            if (pos < 0).any():
                bad = date[int(np.flatnonzero(pos < 0)[0])]
                raise StoreError("{}: rows dated {}, which is not a trading day of the calendar".format(
                    table.path, bad))
            inst = code_positions(target, code)
            keep = inst >= 0
            rows = np.arange(offset, offset + n)
            if not keep.all():
                inst, pos, rows = inst[keep], pos[keep], rows[keep]
            slot[inst, pos] = rows
            kept += len(rows)
            offset += n
        if np.count_nonzero(slot >= 0) != kept:
            self._raise_duplicate(table, data, slot)
        return slot

    @staticmethod
    def _raise_duplicate(table, data, slot):
        present = slot[slot >= 0]
        taken = np.zeros(data.num_rows, dtype=bool)
        taken[present] = True
        codes = data.column("order_book_id")
        for row in np.flatnonzero(~taken):
            code = codes[int(row)].as_py()
            date = data.column("date")[int(row)]
            raise StoreError("{}: more than one row for order_book_id {} on {}".format(table.path, code, date))

    def price_frame(self, codes, t0, t1, fields, adjust):
        found, _ = self.known(codes)
        if not found or t1 <= t0:
            return None
        # vwap is the traded value over the volume; the columns are read for it.
        needed_by = {}
        for field in fields:
            for column in ("total_turnover", "volume") if field == "vwap" else (field,):
                needed_by.setdefault(column, field)
        columns = list(needed_by)
        missing = [c for c in columns if c not in self._table("bars").columns]
        if missing:
            raise StoreError("{}: no column '{}' (an optional bars column) for field '{}'".format(
                self._table("bars").path, missing[0], needed_by[missing[0]]))
        cells = self._read_cells("bars", found, t0, t1, columns, ["adj_factor"] if adjust != "none" else [],
                                 whole=len(found) == len(self._instruments))
        if cells is None:
            return None
        values, extra, present, inst, day, t1 = cells
        if columns != list(fields):
            read = dict(zip(columns, values))
            values = np.empty((len(fields), len(inst)))
            for name, column in zip(fields, values):
                if name == "vwap":
                    with np.errstate(invalid="ignore", divide="ignore"):
                        np.divide(read["total_turnover"], read["volume"], out=column)
                    column[read["volume"] == 0] = np.nan
                else:
                    column[:] = read[name]
            del read
        if adjust != "none":
            scale = self._checked_factors(extra.pop())
            if adjust == "pre":
                scale /= self._checked_factors(self._latest_factors(found))[inst]
            for name, column in zip(fields, values):
                if name not in UNADJUSTED:
                    column *= scale
            del scale
        return pd.DataFrame(values.T, index=self._index(found, t0, t1, present, inst, day),
                            columns=list(fields), copy=False)

    def _checked_factors(self, factors):
        # A zero or missing factor would turn into prices of 0, inf or NaN.
        bad = ~(np.isfinite(factors) & (factors > 0))
        if bad.any():
            raise StoreError("{}: column 'adj_factor' holds {}, expect a positive finite factor".format(
                self._table("bars").path, factors[bad][0]))
        return factors

    def raw_bars(self, t0, t1):
        codes = sorted(self._instruments["order_book_id"])
        columns = BAR_COLUMNS + tuple(c for c in EXTRA_COLUMNS if c in self._table("bars").columns)
        cells = None if t1 <= t0 else self._read_cells("bars", codes, t0, t1, columns, whole=True)
        if cells is None:
            return None
        values, _, present, inst, day, t1 = cells
        return pd.DataFrame(values.T, index=self._index(codes, t0, t1, present, inst, day),
                            columns=list(columns), copy=False)

    def exposure_frame(self, codes, t0, t1, factors):
        found, _ = self.known(codes)
        if not found or t1 <= t0:
            return None
        cells = self._read_cells("exposures", found, t0, t1, factors, whole=len(found) == len(self._instruments))
        if cells is None:
            return None
        values, _, present, inst, day, t1 = cells
        return pd.DataFrame(values.T, index=self._index(found, t0, t1, present, inst, day),
                            columns=list(factors), copy=False)

    def _latest_factors(self, codes):
        """Adjustment factor on each code's latest bar (pre-adjusted prices are relative to it).

        Row groups are read newest first, by their date statistics, until no
        unread group can hold a later bar of a code still open; with bars
        written in date order that is usually the last group alone.
        """
        with self._lock:
            missing = [c for c in codes if c not in self._latest]
        if missing:
            found = self._scan_latest(missing)
            with self._lock:
                self._latest.update(found)
        with self._lock:
            return np.array([self._latest[c] for c in codes])

    def _scan_latest(self, codes):
        table = self._table("bars")
        groups = table.row_groups(table.filter(codes=codes))
        newest = [self._max_day(g) for g in groups]
        order = np.argsort(newest, kind="stable")[::-1]
        best_day = np.full(len(codes), np.iinfo(np.int64).min)
        best = np.ones(len(codes))
        target = pa.array(codes, pa.string())
        for g in order:
            open_ = best_day < newest[g]
            if not open_.any():
                break
            pending = [c for c, o in zip(codes, open_) if o]
            data = table.read_groups([groups[g]], ["date", "order_book_id", "adj_factor"],
                                     table.filter(codes=pending))
            if data.num_rows == 0:
                continue
            inst = np.concatenate([code_positions(target, c) for c in data.column("order_book_id").chunks])
            days = day_numbers(data.column("date"), "{} column 'date'".format(table.path))
            factor = as_float(data.column("adj_factor"))
            last = np.lexsort((days, inst))
            ends = np.append(np.flatnonzero(np.diff(inst[last])), len(last) - 1)
            pick = last[ends]
            newer = days[pick] > best_day[inst[pick]]
            best_day[inst[pick[newer]]] = days[pick[newer]]
            best[inst[pick[newer]]] = factor[pick[newer]]
        return dict(zip(codes, best))

    @staticmethod
    def _max_day(group):
        """Latest day a row group may hold, from its statistics; unknown ones count as the latest."""
        stats = group.row_groups[0].statistics or {}
        value = stats.get("date", {}).get("max") if isinstance(stats.get("date"), dict) else None
        if value is None:
            return np.iinfo(np.int64).max
        return int(np.datetime64(value, "D").astype(np.int64))

    def validate(self):
        """Check every row of every table; raise StoreError naming the file and the first problem."""
        from .checks import check_store
        check_store(self)
        return self

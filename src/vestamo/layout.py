"""The data folder's layout: its tables, their columns and the types they may hold.

Each table is either one Parquet file ``<name>.parquet`` or a folder
``<name>/`` of Parquet files (optionally hive-partitioned). docs/data-folder.md
describes the layout for users.
"""

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.dataset as ds

__all__ = ["StoreError", "TABLES", "OPTIONAL", "REQUIRED", "Table", "day_numbers", "days_to_ns", "as_text", "as_float",
           "code_positions"]

DATE, TEXT, NUMBER, INTEGER = "a date", "text", "a number", "an integer"

TABLES = {
    "calendar": (("date", DATE),),
    "instruments": (("order_book_id", TEXT), ("symbol", TEXT), ("type", TEXT), ("listed_date", DATE),
                    ("exchange", TEXT)),
    "bars": (("date", DATE), ("order_book_id", TEXT), ("open", NUMBER), ("high", NUMBER), ("low", NUMBER),
             ("close", NUMBER), ("volume", NUMBER), ("adj_factor", NUMBER)),
    # Plus one numeric column per style factor, named as the factor.
    "exposures": (("date", DATE), ("order_book_id", TEXT)),
    "index_components": (("index_code", TEXT), ("order_book_id", TEXT), ("start_date", DATE), ("end_date", DATE)),
    "industry_citics_2019": (("name", TEXT), ("order_book_id", TEXT), ("start_date", DATE)),
    "industry_shenwan": (("name", TEXT), ("order_book_id", TEXT), ("start_date", DATE), ("version", INTEGER)),
}
REQUIRED = ("calendar", "instruments", "bars")
# Columns a table may hold; the first file decides, every other file must agree.
OPTIONAL = {
    "instruments": (("de_listed_date", DATE),),
    "bars": (("total_turnover", NUMBER), ("market_cap", NUMBER), ("is_st", NUMBER)),
}

_UNITS_PER_DAY = {"s": 86400, "ms": 86400 * 10**3, "us": 86400 * 10**6, "ns": 86400 * 10**9}


class StoreError(ValueError):
    """A data folder that does not follow the layout; the message names the file."""


def _is_text(t):
    if pa.types.is_dictionary(t):
        t = t.value_type
    return pa.types.is_string(t) or pa.types.is_large_string(t)


def _fits(kind, t):
    if kind == DATE:
        return pa.types.is_date(t) or (pa.types.is_timestamp(t) and t.tz is None)
    if kind == TEXT:
        return _is_text(t)
    if kind == INTEGER:
        return pa.types.is_integer(t)
    return pa.types.is_integer(t) or pa.types.is_floating(t)


class Table:
    """One table of the folder: where it is, its checked schema, and row-group-pruned reads."""

    def __init__(self, folder, name):
        self.name = name
        file, directory = folder / (name + ".parquet"), folder / name
        if file.exists() and directory.is_dir():
            raise StoreError("{}: both {} and {}/ exist; keep one".format(folder, file.name, name))
        self.path = file if file.exists() else directory
        try:
            self.dataset = ds.dataset(str(self.path), format="parquet",
                                      partitioning="hive" if self.path.is_dir() else None)
        except (pa.ArrowInvalid, OSError) as exc:
            raise StoreError("{}: not readable as Parquet ({})".format(self.path, exc)) from None
        self.files = list(self.dataset.files)
        if not self.files:
            raise StoreError("{}: holds no Parquet files".format(self.path))
        self.columns = self._check_schema(dict(TABLES[name]))
        # Codes are read dictionary-encoded: mapping a few thousand distinct
        # strings is far cheaper than millions of them.
        fields = [pa.field(f.name, pa.dictionary(pa.int32(), f.type)
                           if f.name == "order_book_id" and not pa.types.is_dictionary(f.type) else f.type)
                  for f in self.dataset.schema]
        self.read_schema = pa.schema(fields)
        self.read_format = ds.ParquetFileFormat(
            read_options=ds.ParquetReadOptions(dictionary_columns={"order_book_id"}))

    @classmethod
    def find(cls, folder, name):
        """The table, or None when the folder has neither file nor folder of that name."""
        if (folder / (name + ".parquet")).exists() or (folder / name).is_dir():
            return cls(folder, name)
        return None

    def _check_schema(self, wanted):
        """Column -> Arrow type, checked in the footer of every file (metadata only).

        Every file must hold the same columns in the same types; style factor
        columns are those an exposures file holds besides date and code.
        """
        first = None
        for fragment in self.dataset.get_fragments():
            try:
                types = {f.name: f.type for f in fragment.physical_schema}
            except (pa.ArrowInvalid, OSError) as exc:
                raise StoreError("{}: not readable as Parquet ({})".format(fragment.path, exc)) from None
            if first is None and self.name == "exposures":
                wanted = dict(wanted, **{c: NUMBER for c in types if c not in wanted})
            if first is None:
                wanted = dict(wanted, **{c: kind for c, kind in OPTIONAL.get(self.name, ()) if c in types})
            for column, kind in wanted.items():
                if column not in types:
                    raise StoreError("{}: missing column '{}' ({} table)".format(fragment.path, column, self.name))
                if not _fits(kind, types[column]):
                    raise StoreError("{}: column '{}' holds {}, expect {}".format(
                        fragment.path, column, types[column], kind))
                if first is not None and types[column] != first[column]:
                    raise StoreError("{}: column '{}' holds {}, but {} holds {}".format(
                        fragment.path, column, types[column], self.files[0], first[column]))
            extra = [c for c, _ in OPTIONAL.get(self.name, ()) if c in types and c not in wanted]
            if extra:
                raise StoreError("{}: column '{}' is not in {}; every file holds it or none".format(
                    fragment.path, extra[0], self.files[0]))
            if self.name == "exposures" and set(types) - set(wanted):
                raise StoreError("{}: style factor columns {} are not in {}".format(
                    fragment.path, sorted(set(types) - set(wanted)), self.files[0]))
            if first is None:
                first = {c: types[c] for c in wanted}
        return first

    def _bound(self, column, day):
        """Midnight of day number ``day`` as a scalar of the column's type."""
        return pa.array(np.array([day], dtype="datetime64[D]"), pa.date32()).cast(self.columns[column])[0]

    def filter(self, days=None, codes=None):
        """Rows dated in day numbers [days[0], days[1]] and, if given, of the ``codes``."""
        expr = None
        if days is not None:
            # A whole day: a timestamp with a time of day must be read to be reported.
            expr = (pc.field("date") >= self._bound("date", days[0])) & \
                   (pc.field("date") < self._bound("date", days[1] + 1))
        if codes is not None:
            # The range lets statistics prune where a set membership test does not (older pyarrow).
            code = pc.field("order_book_id")
            match = (code >= min(codes)) & (code <= max(codes)) & code.isin(pa.array(codes, pa.string()))
            expr = match if expr is None else expr & match
        return expr

    def row_groups(self, expr):
        """Row-group fragments whose statistics allow a row matching ``expr``."""
        return [group for fragment in self.dataset.get_fragments(filter=expr)
                for group in fragment.split_by_row_group(filter=expr)]

    def read(self, columns, expr=None):
        """The rows matching ``expr``, reading only the row groups that may hold them."""
        return self.read_groups(self.row_groups(expr), columns, expr)

    def read_groups(self, groups, columns, expr=None):
        by_file = {}
        for group in groups:
            entry = by_file.setdefault(group.path, (group.partition_expression, []))
            entry[1].extend(rg.id for rg in group.row_groups)
        fragments = [self.read_format.make_fragment(path, self.dataset.filesystem, partition_expression=part,
                                                    row_groups=ids)
                     for path, (part, ids) in by_file.items()]
        dataset = ds.FileSystemDataset(fragments, self.read_schema, self.read_format, self.dataset.filesystem)
        return dataset.to_table(columns=list(columns), filter=expr)

    def file_batches(self, columns):
        """(file, record batches) of every file in turn, codes dictionary-encoded."""
        for fragment in self.dataset.get_fragments():
            reader = self.read_format.make_fragment(fragment.path, self.dataset.filesystem,
                                                    partition_expression=fragment.partition_expression)
            yield fragment.path, reader.to_batches(schema=self.read_schema, columns=list(columns))

    def read_all(self, columns):
        """A small table in full, with plain (not dictionary) text columns."""
        return self.dataset.to_table(columns=list(columns))


def day_numbers(column, where):
    """Days since 1970-01-01 (int64) of a date column; a missing date or a time of day is an error."""
    if column.null_count:
        raise StoreError("{}: {} row(s) without a date".format(where, column.null_count))
    t = column.type
    if pa.types.is_date32(t):
        return np.asarray(column.cast(pa.int32()).to_numpy(), dtype=np.int64)
    if pa.types.is_date64(t):
        values, per_day = np.asarray(column.cast(pa.int64()).to_numpy()), _UNITS_PER_DAY["ms"]
    else:
        values, per_day = np.asarray(column.cast(pa.int64()).to_numpy()), _UNITS_PER_DAY[t.unit]
    days, rest = np.divmod(values, per_day)
    if rest.any():
        first = column[int(np.flatnonzero(rest)[0])]
        raise StoreError("{}: dates must be midnights, found {}".format(where, first))
    return days


def code_positions(target, codes):
    """Position in ``target`` (a list of codes) of each code of an Arrow array (-1: not there)."""
    value_set = target if isinstance(target, pa.Array) else pa.array(list(target), pa.string())
    if pa.types.is_dictionary(codes.type):
        lookup = code_positions(value_set, codes.dictionary)
        return lookup[np.asarray(codes.indices.to_numpy(zero_copy_only=False), dtype=np.intp)]
    found = pc.index_in(codes.cast(pa.string()), value_set=value_set).fill_null(-1)
    return np.asarray(found.to_numpy(zero_copy_only=False), dtype=np.int64)


def days_to_ns(days):
    return np.asarray(days, dtype=np.int64).astype("datetime64[D]").astype("datetime64[ns]")


def as_text(column, where):
    """An object array of str."""
    if column.null_count:
        raise StoreError("{}: {} row(s) without a value".format(where, column.null_count))
    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    return np.array(column.to_pylist(), dtype=object)


def as_float(column):
    """float64 values of an Arrow array or chunked array, NaN where missing."""
    column = column.cast(pa.float64())
    if isinstance(column, pa.ChunkedArray):
        return column.to_numpy()
    return column.to_numpy(zero_copy_only=False)

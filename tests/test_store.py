import shutil

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

import vestamo
from vestamo import layout
from vestamo.__main__ import main as command

INDEX = "000300.XSHG"


@pytest.fixture(scope="module")
def market():
    return vestamo.make_market(n_stocks=30, start_date="2019-06-01", end_date="2020-12-31", seed=11)


@pytest.fixture(scope="module")
def folder(market, tmp_path_factory):
    return vestamo.export(market, tmp_path_factory.mktemp("store") / "data")


@pytest.fixture(scope="module")
def store(folder):
    return vestamo.open_store(folder)


@pytest.fixture
def restore_market():
    previous = vestamo.set_market(None)
    yield
    vestamo.set_market(previous)


def answer(market, call):
    previous = vestamo.set_market(market)
    try:
        return call()
    except Exception as exc:  # the same error is part of the same answer
        return type(exc), str(exc)
    finally:
        vestamo.set_market(previous)


def assert_same(got, expected):
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
        assert got.index.equals(expected.index) and list(got.index.names) == list(expected.index.names)
    elif isinstance(expected, pd.Series):
        pd.testing.assert_series_equal(got, expected, check_exact=True)
    elif isinstance(expected, pd.Index):
        pd.testing.assert_index_equal(got, expected, exact=True)
        assert got.freq == expected.freq
    else:
        assert got == expected


def codes_of(market):
    return list(market.instruments_frame["order_book_id"])


QUERIES = {
    "trading dates": lambda m: vestamo.get_trading_dates("2019-01-01", "2030-01-01"),
    "trading dates inside": lambda m: vestamo.get_trading_dates("2020-02-01", "2020-03-01"),
    "next past the last bar": lambda m: vestamo.get_next_trading_date("2020-12-31", 20),
    "next past the calendar": lambda m: vestamo.get_next_trading_date("2021-12-30", 2),
    "previous": lambda m: vestamo.get_previous_trading_date("2020-01-02", 3),
    "bars": lambda m: vestamo.get_price(codes_of(m)),
    "bars post": lambda m: vestamo.get_price(codes_of(m), adjust_type="post"),
    "bars none": lambda m: vestamo.get_price(codes_of(m), "2020-01-01", "2020-06-30", adjust_type="none"),
    "some codes, one month": lambda m: vestamo.get_price(codes_of(m)[3:9] + ["999999.XSHE"], "2020-03-01",
                                                         "2020-03-31", fields=["close", "volume"]),
    "series": lambda m: vestamo.get_price(codes_of(m)[5], fields="close", adjust_type="post", expect_df=False),
    "past the last bar": lambda m: vestamo.get_price(codes_of(m)[:4], "2020-12-01", "2021-06-30"),
    "no bars": lambda m: vestamo.get_price(codes_of(m)[:4], "2021-01-01", "2021-06-30"),
    "minute bars": lambda m: vestamo.get_price(INDEX, frequency="1m"),
    "bad field": lambda m: vestamo.get_price(INDEX, fields="amount"),
    "instrument": lambda m: vestamo.instruments(codes_of(m)[2]),
    "instruments": lambda m: vestamo.instruments([INDEX, "999999.XSHE", codes_of(m)[0]]),
    "all instruments": lambda m: vestamo.all_instruments(),
    "stocks": lambda m: vestamo.all_instruments("CS"),
    "members": lambda m: vestamo.index_components(INDEX),
    "members on a date": lambda m: vestamo.index_components(INDEX, "2019-07-01"),
    "members long ago": lambda m: vestamo.index_components(INDEX, "2001-07-01"),
    "not an index": lambda m: vestamo.index_components(codes_of(m)[0]),
    "exposures": lambda m: vestamo.get_style_factor_exposure(codes_of(m), "2019-01-01", "2021-12-31"),
    "some exposures": lambda m: vestamo.get_style_factor_exposure(codes_of(m)[::7], "2020-05-01", "2020-05-31",
                                                                  factors=["size", "beta"]),
    "index exposures": lambda m: vestamo.get_style_factor_exposure(INDEX, "2020-05-01", "2020-05-31"),
    "bad factor": lambda m: vestamo.get_style_factor_exposure(INDEX, "2020-05-01", "2020-05-31", factors="alpha"),
    "citics": lambda m: vestamo.client.get_client().execute("__internal__zx2019_industry"),
    "shenwan": lambda m: vestamo.client.get_client().execute("__internal__shenwan_industry"),
}


@pytest.mark.parametrize("name", QUERIES)
def test_every_query_answers_as_the_market_it_was_exported_from(market, store, name):
    expected = answer(market, lambda: QUERIES[name](market))
    assert_same(answer(store, lambda: QUERIES[name](store)), expected)


def test_a_folder_exported_from_a_folder_answers_alike(market, store, tmp_path):
    again = vestamo.open_store(vestamo.export(store, tmp_path / "again")).validate()
    for name in ("bars", "exposures", "members on a date", "shenwan"):
        assert_same(answer(again, lambda: QUERIES[name](again)), answer(market, lambda: QUERIES[name](market)))


def rewrite(folder, name, change, sort_by=None, row_group_size=None):
    """Rewrite a table file through ``change`` (an Arrow table to an Arrow table), group by group."""
    path = folder / (name + ".parquet")
    source = pq.ParquetFile(path)
    groups = [change(source.read_row_group(i)) for i in range(source.num_row_groups)]
    if sort_by is not None:
        groups = [pa.concat_tables(groups).sort_by([(c, "ascending") for c in sort_by])]
    with pq.ParquetWriter(path, groups[0].schema, version="2.6") as writer:
        for group in groups:
            writer.write_table(group, row_group_size=row_group_size or max(group.num_rows, 1))


def cast_dates(unit):
    kind = pa.timestamp(unit)

    def change(table):
        for i, field in enumerate(table.schema):
            if pa.types.is_date(field.type):
                table = table.set_column(i, field.name, table.column(i).cast(kind))
        return table
    return change


@pytest.fixture
def copy(folder, tmp_path):
    shutil.copytree(folder, tmp_path / "copy")
    return tmp_path / "copy"


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])  # export itself writes date32
def test_dates_in_any_unit_give_the_same_answers(market, copy, unit):
    for name in layout.TABLES:
        rewrite(copy, name, cast_dates(unit))
    # Parquet has no second resolution: those are read back as milliseconds.
    assert pq.read_schema(copy / "bars.parquet").field("date").type == pa.timestamp("ms" if unit == "s" else unit)
    store = vestamo.open_store(copy).validate()
    for name in ("trading dates", "bars none", "some codes, one month", "all instruments", "members on a date",
                 "some exposures", "citics", "shenwan", "past the last bar"):
        assert_same(answer(store, lambda: QUERIES[name](store)), answer(market, lambda: QUERIES[name](market)))


def row_groups_read(monkeypatch):
    seen = []
    real = layout.Table.read_groups

    def read_groups(self, groups, columns, expr=None):
        seen.extend((self.name, g.path, rg.id) for g in groups for rg in g.row_groups)
        return real(self, groups, columns, expr)

    monkeypatch.setattr(layout.Table, "read_groups", read_groups)
    return seen


def needed_groups(path, codes, first, last):
    """Row groups holding a bar of ``codes`` from ``first`` to ``last``, found by reading every row."""
    source = pq.ParquetFile(path)
    needed = set()
    for i in range(source.num_row_groups):
        rows = source.read_row_group(i, columns=["date", "order_book_id"]).to_pandas()
        dates = pd.to_datetime(rows["date"])
        if (rows["order_book_id"].isin(codes) & (dates >= first) & (dates <= last)).any():
            needed.add(i)
    return needed


@pytest.mark.parametrize("layout_kind", ["by date", "by code"])
def test_a_selective_query_reads_only_the_row_groups_it_needs(market, copy, monkeypatch, layout_kind):
    path = copy / "bars.parquet"
    if layout_kind == "by code":
        # Rows sorted by code, three instruments' history per row group.
        rewrite(copy, "bars", lambda t: t, sort_by=["order_book_id", "date"], row_group_size=3 * 400)
    store = vestamo.open_store(copy)
    codes = codes_of(market)[10:12]
    total = pq.ParquetFile(path).num_row_groups
    seen = row_groups_read(monkeypatch)
    got = answer(store, lambda: vestamo.get_price(codes, "2020-03-01", "2020-03-31", fields="close", adjust_type="post"))
    assert_same(got, answer(market, lambda: vestamo.get_price(codes, "2020-03-01", "2020-03-31", fields="close", adjust_type="post")))
    read = {rg for name, _, rg in seen if name == "bars"}
    assert read == needed_groups(path, codes, pd.Timestamp("2020-03-01"), pd.Timestamp("2020-03-31"))
    assert 1 <= len(read) <= 2 < total


def test_pre_adjustment_reads_the_newest_groups_only(market, copy, monkeypatch):
    store = vestamo.open_store(copy)
    seen = row_groups_read(monkeypatch)
    last = answer(market, lambda: vestamo.get_price(codes_of(market), "2020-12-31", "2020-12-31"))
    codes = list(last.index.get_level_values(0))[:5]
    got = answer(store, lambda: vestamo.get_price(codes, "2019-07-01", "2019-07-31", adjust_type="pre"))
    assert_same(got, answer(market, lambda: vestamo.get_price(codes, "2019-07-01", "2019-07-31")))
    # The July group for the bars, the December group for the latest factors.
    assert len(seen) == 2


def test_a_partitioned_table_answers_alike(market, copy):
    bars = pq.read_table(copy / "bars.parquet")
    (copy / "bars.parquet").unlink()
    (copy / "bars").mkdir()
    year = pc.year(bars.column("date"))
    for y in (2019, 2020):
        pq.write_table(bars.filter(pc.equal(year, y)), copy / "bars" / "{}.parquet".format(y), row_group_size=5000)
    store = vestamo.open_store(copy).validate()
    for name in ("bars", "some codes, one month", "past the last bar"):
        assert_same(answer(store, lambda: QUERIES[name](store)), answer(market, lambda: QUERIES[name](market)))


def break_table(name, change):
    return lambda folder: rewrite(folder, name, change)


def drop_rows(name, keep):
    return break_table(name, lambda t: t.filter(keep(t)))


def column_as(name, column, values):
    return break_table(name, lambda t: t.set_column(t.schema.get_field_index(column), column, values(t)))


def first_rows_twice(t):
    return pa.concat_tables([t, t.slice(0, 3)])


def unknown_code(t):
    codes = t.column("order_book_id").to_pylist()
    codes[4] = "123456.XSHE"
    return t.set_column(t.schema.get_field_index("order_book_id"), "order_book_id", pa.array(codes))


SATURDAY = pd.Timestamp("2020-03-07")


def on_a_saturday(t):
    friday = pc.equal(t.column("date"), pa.scalar(SATURDAY.date() - pd.Timedelta(days=1), pa.date32()))
    return t.set_column(0, "date", pc.if_else(friday, pa.scalar(SATURDAY.date(), pa.date32()), t.column("date")))


BAD = {
    "missing table": (lambda f: (f / "instruments.parquet").unlink(), "open", "missing table 'instruments'"),
    "missing column": (break_table("bars", lambda t: t.drop(["adj_factor"])), "open", "missing column 'adj_factor'"),
    "wrong type": (column_as("bars", "close", lambda t: t.column("close").cast(pa.string())), "open",
                   "column 'close' holds string, expect a number"),
    "text dates": (column_as("calendar", "date", lambda t: t.column("date").cast(pa.string())), "open",
                   "column 'date' holds string, expect a date"),
    "unsorted calendar": (break_table("calendar", lambda t: t.take(np.r_[1, 0, 2:t.num_rows])), "open",
                          "dates out of order in the calendar"),
    "duplicate calendar": (break_table("calendar", lambda t: t.take(np.r_[0, 0, 1:t.num_rows])), "open",
                           "duplicate date in the calendar"),
    "duplicate instrument": (break_table("instruments", first_rows_twice), "open", "appears more than once"),
    "two forms": (lambda f: (f / "bars").mkdir(), "open", "keep one"),
    "duplicate bars": (break_table("bars", first_rows_twice), "query", "more than one row for order_book_id"),
    "bars off the calendar": (break_table("bars", on_a_saturday), "query", "not a trading day of the calendar"),
    "time of day": (column_as("bars", "date", lambda t: pc.add(t.column("date").cast(pa.timestamp("s")),
                                                               pa.scalar(3600, pa.duration("s")))), "query",
                    "dates must be midnights"),
    "unknown exposure code": (break_table("exposures", unknown_code), "validate",
                              "order_book_id 123456.XSHE is not in the instruments table"),
    "bars before the calendar": (break_table("calendar", lambda t: t.slice(5)), "validate",
                                 "not a trading day of the calendar"),
    "bad factor": (column_as("bars", "adj_factor", lambda t: pc.multiply(t.column("adj_factor"), 0.0)), "query",
                   "column 'adj_factor' holds 0.0, expect a positive finite factor"),
    "missing close": (column_as("bars", "close", lambda t: pa.nulls(t.num_rows, pa.float64())), "validate",
                      "column 'close' has"),
    "industry twice": (break_table("industry_citics_2019", first_rows_twice), "validate", "more than one row for"),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_data_is_reported_with_the_file_and_the_problem(market, copy, restore_market, case):
    damage, when, message = BAD[case]
    damage(copy)
    if when == "open":
        with pytest.raises(vestamo.StoreError) as info:
            vestamo.open_store(copy)
    else:
        store = vestamo.open_store(copy)
        vestamo.set_market(store)
        if when == "query":
            with pytest.raises(vestamo.StoreError) as info:
                vestamo.get_price(codes_of(market))
        else:
            vestamo.get_price(codes_of(market), "2020-03-01", "2020-03-31")
        # The full check finds what a query finds, and more.
        with pytest.raises(vestamo.StoreError) as info:
            store.validate()
    assert message in str(info.value) and str(copy) in str(info.value)


def test_a_folder_without_optional_tables(market, copy, restore_market):
    for name in ("exposures", "index_components", "industry_shenwan"):
        (copy / (name + ".parquet")).unlink()
    store = vestamo.open_store(copy).validate()
    vestamo.set_market(store)
    assert_same(vestamo.get_price(INDEX, fields="close"), answer(market, lambda: vestamo.get_price(INDEX, fields="close")))
    assert vestamo.index_components(INDEX) == []
    with pytest.raises(vestamo.StoreError, match="missing table 'exposures'"):
        vestamo.get_style_factor_exposure(INDEX, "2020-01-01", "2020-01-31")
    with pytest.raises(vestamo.StoreError, match="missing table 'industry_shenwan'"):
        vestamo.client.get_client().execute("__internal__shenwan_industry")


def test_environment_variable_names_the_default_folder(folder, monkeypatch, restore_market):
    monkeypatch.setenv("VESTAMO_DATA", str(folder))
    vestamo.set_market(None)
    assert isinstance(vestamo.get_market(), vestamo.ParquetStore) and vestamo.get_market().folder == folder
    monkeypatch.delenv("VESTAMO_DATA")
    vestamo.set_market(None)
    assert isinstance(vestamo.get_market(), vestamo.Market)


def test_command_exports_and_validates(tmp_path, capsys):
    target = str(tmp_path / "sample")
    args = ["export", target, "--n-stocks", "5", "--start-date", "2020-01-01", "--end-date", "2020-03-31"]
    assert command(args) == 0
    assert command(["validate", target]) == 0 and "valid" in capsys.readouterr().out
    assert command(args) == 1 and "already exists" in capsys.readouterr().err
    assert command(args + ["--overwrite"]) == 0
    assert len(vestamo.open_store(target).instruments_frame) == 6


@pytest.mark.parametrize("source", ["market", "store"])
def test_a_factor_reaching_the_last_bar_gets_missing_forward_returns(market, store, restore_market, source):
    from quellix.analysis.assaycore import FactorAnalysisEngine, ICAnalysis
    vestamo.set_market(market if source == "market" else store)
    codes = list(vestamo.all_instruments("CS")["order_book_id"])
    close = vestamo.get_price(codes, "2020-06-01", "2020-12-31", fields="close", adjust_type="post")["close"]
    close = close.unstack(0)
    factor = -(close / close.shift(5) - 1).iloc[10:]
    assert factor.index[-1] == pd.Timestamp("2020-12-31")
    engine = FactorAnalysisEngine()
    engine.append(("ic", ICAnalysis(industry_classification="citics_2019", max_decay=20)))
    got = engine.analysis(factor.copy(), "daily", periods=[1, 5, 20])["ic"]
    # Against the same analysis on returns computed here, which end at the last bar; like the
    # engine's, they see prices from the day before the factor's first date on (a stock
    # suspended across that day has no return on resuming).
    window = close.loc[vestamo.get_previous_trading_date(factor.index[0]):]
    returns = (window.ffill() / window.ffill().shift(1) - 1).iloc[1:]
    expected = ICAnalysis(industry_classification="citics_2019", max_decay=20).analysis(
        factor.copy(), returns, [1, 5, 20], ascending=False)
    pd.testing.assert_frame_equal(got.ic, expected.ic, check_names=False)
    pd.testing.assert_frame_equal(got.ic_decay, expected.ic_decay, check_names=False)
    # No pair to correlate once the period runs past the last bar.
    assert (got.ic["P_20"].iloc[-20:] == 0).all() and (got.ic["P_20"].iloc[:-20] != 0).mean() > 0.9

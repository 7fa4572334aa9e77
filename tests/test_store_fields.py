"""The optional columns of a data folder: traded value, capitalisation, special treatment and
delisting dates, written by export, checked by validate and answered as the market does."""
import shutil

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

import vestamo

FIELDS = ["open", "high", "low", "close", "volume", "total_turnover", "vwap", "market_cap"]


@pytest.fixture(scope="module")
def market():
    # Long and wide enough for delistings and special treatment.
    return vestamo.make_market(n_stocks=150, start_date="2016-01-01", end_date="2020-12-31", seed=5)


@pytest.fixture(scope="module")
def folder(market, tmp_path_factory):
    return vestamo.export(market, tmp_path_factory.mktemp("fields") / "data")


@pytest.fixture
def copy(folder, tmp_path):
    shutil.copytree(folder, tmp_path / "copy")
    return tmp_path / "copy"


def answers(market, call):
    previous = vestamo.set_market(market)
    try:
        return call()
    finally:
        vestamo.set_market(previous)


def codes_of(market):
    return list(market.instruments_frame["order_book_id"])


@pytest.mark.parametrize("adjust", ["none", "pre", "post"])
def test_new_fields_round_trip(market, folder, adjust):
    store = vestamo.open_store(folder).validate()
    ask = lambda: vestamo.get_price(codes_of(market), fields=FIELDS, adjust_type=adjust)  # noqa: E731
    pd.testing.assert_frame_equal(answers(store, ask), answers(market, ask), check_exact=True)


def test_delistings_and_special_treatment_round_trip(market, folder):
    store = vestamo.open_store(folder)
    assert market.instruments_frame["de_listed_date"].notna().any()
    pd.testing.assert_frame_equal(store.instruments_frame, market.instruments_frame)
    code = market.instruments_frame.dropna(subset=["de_listed_date"])["order_book_id"].iloc[0]
    assert answers(store, lambda: vestamo.instruments(code)) == answers(market, lambda: vestamo.instruments(code))
    for start, end in (("2016-01-01", "2020-12-31"), ("2019-05-06", "2019-06-28")):
        ask = lambda: vestamo.is_st_stock(codes_of(market)[::-1], start, end)  # noqa: E731
        expected = answers(market, ask)
        assert expected.to_numpy().any()
        pd.testing.assert_frame_equal(answers(store, ask), expected)


def rewrite(path, change):
    table = change(pq.read_table(path))
    pq.write_table(table, path)


def set_column(name, values):
    def change(table):
        return table.set_column(table.schema.get_field_index(name), name, values(table))
    return change


def scaled(name, factor):
    return set_column(name, lambda t: pc.multiply(t.column(name), factor))


def first_row(name, value):
    def values(table):
        column = table.column(name).to_numpy().copy()
        column[0] = value
        return pa.array(column)
    return set_column(name, values)


BAD_VALUES = {
    "negative turnover": (scaled("total_turnover", -1.0), "column 'total_turnover' holds -"),
    "turnover without volume": (first_row("volume", 0.0), "and 0 without volume"),
    "vwap above the high": (scaled("total_turnover", 1.5), "lies outside the bar's range"),
    "capitalisation of 0": (first_row("market_cap", 0.0), "column 'market_cap' holds 0.0"),
    "special treatment of 2": (first_row("is_st", 2.0), "column 'is_st' holds 2.0, expect 0 or 1"),
}


@pytest.mark.parametrize("case", BAD_VALUES)
def test_validate_checks_the_optional_columns(copy, case):
    change, message = BAD_VALUES[case]
    rewrite(copy / "bars.parquet", change)
    with pytest.raises(vestamo.StoreError, match=message):
        vestamo.open_store(copy).validate()


def test_a_folder_without_the_optional_columns(market, copy):
    rewrite(copy / "bars.parquet", lambda t: t.drop(["total_turnover", "market_cap", "is_st"]))
    rewrite(copy / "instruments.parquet", lambda t: t.drop(["de_listed_date"]))
    store = vestamo.open_store(copy).validate()
    ask = lambda: vestamo.get_price(codes_of(market), "2020-01-01", "2020-06-30")  # noqa: E731
    pd.testing.assert_frame_equal(answers(store, ask), answers(market, ask), check_exact=True)
    assert store.instruments_frame["de_listed_date"].isna().all()
    for field, column in (("vwap", "total_turnover"), ("market_cap", "market_cap")):
        with pytest.raises(vestamo.StoreError, match="no column '{}'.*for field '{}'".format(column, field)):
            answers(store, lambda: vestamo.get_price(codes_of(market)[0], fields=["close", field]))
    with pytest.raises(vestamo.StoreError, match="no column 'is_st'"):
        answers(store, lambda: vestamo.is_st_stock(codes_of(market)[:3], "2020-01-01", "2020-01-31"))


def test_every_file_of_a_table_holds_an_optional_column_or_none(copy):
    bars = pq.read_table(copy / "bars.parquet")
    (copy / "bars.parquet").unlink()
    (copy / "bars").mkdir()
    year = pc.year(bars.column("date"))
    pq.write_table(bars.filter(pc.less(year, 2019)), copy / "bars" / "early.parquet")
    pq.write_table(bars.filter(pc.greater_equal(year, 2019)).drop(["is_st"]), copy / "bars" / "late.parquet")
    with pytest.raises(vestamo.StoreError, match="missing column 'is_st'"):
        vestamo.open_store(copy)
    pq.write_table(bars.filter(pc.less(year, 2019)).drop(["is_st"]), copy / "bars" / "early.parquet")
    pq.write_table(bars.filter(pc.greater_equal(year, 2019)), copy / "bars" / "late.parquet")
    with pytest.raises(vestamo.StoreError, match="every file holds it or none"):
        vestamo.open_store(copy)


def test_vwap_of_a_bar_without_volume_is_missing(market, copy):
    code = codes_of(market)[0]
    date = pd.Timestamp("2020-03-02")

    def no_trade(table):
        hit = pc.and_(pc.equal(table.column("order_book_id"), code),
                      pc.equal(table.column("date"), pa.scalar(date.date(), pa.date32())))
        for name in ("volume", "total_turnover"):
            table = table.set_column(table.schema.get_field_index(name), name,
                                     pc.if_else(hit, pa.scalar(0.0), table.column(name)))
        return table

    rewrite(copy / "bars.parquet", no_trade)
    store = vestamo.open_store(copy).validate()
    got = answers(store, lambda: vestamo.get_price(code, "2020-02-28", "2020-03-03", fields=["vwap", "volume"]))
    assert np.isnan(got.loc[(code, date), "vwap"]) and got.loc[(code, date), "volume"] == 0
    assert got.drop((code, date))["vwap"].notna().all()

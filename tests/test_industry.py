import copy

import numpy as np
import pandas as pd
import pytest

import vestamo
from quellix.analysis import assaycore as ac

T = pd.Timestamp

CITICS = [
    ("银行", "000002.XSHE", T("2020-01-06")),
    ("钢铁", "000001.XSHE", T("2020-01-06")),
    ("煤炭", "000001.XSHE", T("2020-01-11")),   # a Saturday: in force from Monday 2020-01-13
    ("家电", "000003.XSHE", T("2020-01-08")),
    ("汽车", "000003.XSHE", T("2020-01-18")),   # Saturday and Sunday changes land on the
    ("电子", "000003.XSHE", T("2020-01-19")),   # same trading day: the later one wins
    (None, "000004.XSHE", T("2020-01-07")),
]

SHENWAN = [
    ("a1", "000001.XSHE", T("2014-01-01"), 1),   # boundary day still belongs to edition 1
    ("a2", "000001.XSHE", T("2014-01-01"), 2),
    ("b2", "000001.XSHE", T("2021-07-31"), 2),
    ("b3", "000001.XSHE", T("2021-07-31"), 3),
    ("c3", "000001.XSHE", T("2021-08-01"), 3),
    ("c2", "000001.XSHE", T("2021-08-01"), 2),
    ("d1", "000002.XSHE", T("2013-05-01"), 1),
    ("d2", "000002.XSHE", T("2014-01-02"), 2),
]


class FakeClient:
    def __init__(self):
        self.calls = []

    def execute(self, name):
        self.calls.append(name)
        rows = {"__internal__zx2019_industry": CITICS, "__internal__shenwan_industry": SHENWAN}[name]
        return list(rows)


@pytest.fixture
def client(monkeypatch):
    fake = FakeClient()
    monkeypatch.setattr(vestamo.client, "get_client", lambda: fake)
    ac.get_all_industry_data.cache_clear()
    ac.get_all_industry_category.cache_clear()
    yield fake
    ac.get_all_industry_data.cache_clear()
    ac.get_all_industry_category.cache_clear()


def test_change_table_layout_and_edition_selection(client):
    citics = ac.get_all_industry_data()
    assert list(citics.columns) == ["first_industry_name", "order_book_id", "start_date"]
    assert list(zip(citics["order_book_id"], citics["start_date"])) == sorted(
        (r[1], r[2]) for r in CITICS)
    sws = ac.get_all_industry_data("sws")
    assert list(sws.columns) == ["index_name", "order_book_id", "start_date"]
    assert list(sws["index_name"]) == ["a1", "b2", "c3", "d1", "d2"]
    assert client.calls == ["__internal__zx2019_industry", "__internal__shenwan_industry"]


@pytest.mark.parametrize("call", [
    lambda: ac.get_all_industry_data("abc"),
    lambda: ac.get_all_industry_category("abc"),
    lambda: ac._load_industry_data(pd.Index(["000001.XSHE"]), pd.DatetimeIndex(["2020-01-06"]), "abc"),
])
def test_invalid_source_is_refused_before_any_query(client, call):
    with pytest.raises(ValueError) as err:
        call()
    assert str(err.value) == "source: invalid source=abc, expect one of [sws, citics_2019]"
    assert client.calls == []


def test_cached_tables_are_shared_and_never_changed(client):
    data = ac.get_all_industry_data("citics_2019")
    snapshot = copy.deepcopy(data)
    ac.get_all_industry_category()
    ac._load_industry_data(pd.Index(["000001.XSHE", "000003.XSHE"]), pd.bdate_range("2020-01-01", "2020-01-31"))
    analyser = ac.ICAnalysis(industry_classification="citics_2019")
    index = pd.MultiIndex.from_product([pd.bdate_range("2020-01-06", periods=3), ["000001.XSHE"]],
                                       names=["datetime", "order_book_id"])
    analyser._get_industry_data(pd.DataFrame({"P_1": 0.0, "factor": 0.0}, index=index))
    assert ac.get_all_industry_data("citics_2019") is data
    assert ac.get_all_industry_data() is data and ac.get_all_industry_data(source="citics_2019") is data
    pd.testing.assert_frame_equal(data, snapshot)
    assert client.calls == ["__internal__zx2019_industry"]


def test_category_codes(client):
    codes = ac.get_all_industry_category()
    names = sorted(r[0] for r in CITICS if r[0] is not None)
    assert list(codes.columns) == ["000001.XSHE", "000002.XSHE", "000003.XSHE", "000004.XSHE"]
    assert list(codes.index) == sorted({r[2] for r in CITICS})
    assert all(dtype == np.int64 for dtype in codes.dtypes)
    first = codes.iloc[0]
    # Before its first change an instrument takes its first code; a missing name codes -1.
    assert first["000001.XSHE"] == names.index("钢铁")
    assert first["000003.XSHE"] == names.index("家电")
    assert first["000004.XSHE"] == -1
    assert codes.loc[T("2020-01-19"), "000001.XSHE"] == names.index("煤炭")
    assert codes.loc[T("2020-01-18"), "000003.XSHE"] == names.index("汽车")


def test_labels_follow_changes_on_trading_days(client):
    dates = pd.DatetimeIndex(["2020-01-03", "2020-01-10", "2020-01-13", "2020-01-17", "2020-01-20"], name="datetime")
    ids = pd.Index(["000001.XSHE", "000003.XSHE", "000004.XSHE", "999999.XSHG"], name="order_book_id")
    labels = ac._load_industry_data(ids, dates)
    assert labels.index.names == ["datetime", "order_book_id"]
    got = {(d.strftime("%m-%d"), c[:6]): v for (d, c), v in labels.items()}
    assert got == {
        ("01-03", "000001"): "钢铁", ("01-03", "000003"): "家电",   # before the first change
        ("01-10", "000001"): "钢铁", ("01-10", "000003"): "家电",
        ("01-13", "000001"): "煤炭", ("01-13", "000003"): "家电",   # weekend change in force
        ("01-17", "000001"): "煤炭", ("01-17", "000003"): "家电",
        ("01-20", "000001"): "煤炭", ("01-20", "000003"): "电子",   # later of two weekend changes
    }
    # Date-major, instruments in the order asked for.
    assert list(labels.index) == sorted(labels.index, key=lambda k: (k[0], list(ids).index(k[1])))


def test_intraday_timestamps_take_their_days_label(client):
    bars = pd.DatetimeIndex(["2020-01-10 14:59", "2020-01-13 09:31", "2020-01-13 15:00"])
    labels = ac._load_industry_data(pd.Index(["000001.XSHE"]), bars)
    assert list(labels) == ["钢铁", "煤炭", "煤炭"]
    assert list(labels.index.get_level_values(0)) == list(bars)


def test_source_setting_in_the_analyser(client):
    analyser = ac.ICAnalysis(industry_classification="sws")
    index = pd.MultiIndex.from_product([pd.DatetimeIndex(["2021-07-30", "2021-08-02"]), ["000002.XSHE", "000001.XSHE"]],
                                       names=["datetime", "order_book_id"])
    labels = analyser._get_industry_data(pd.DataFrame({"P_1": 0.0, "factor": 0.0}, index=index))
    assert labels.index.names == ["datetime", "order_book_id"]
    assert list(labels.items()) == [((T("2021-07-30"), "000002.XSHE"), "d2"), ((T("2021-07-30"), "000001.XSHE"), "a1"),
                                    ((T("2021-08-02"), "000002.XSHE"), "d2"), ((T("2021-08-02"), "000001.XSHE"), "c3")]


@pytest.mark.parametrize("mapping", [
    {"000001.XSHE": "x", "000002.XSHE": None},
    pd.Series({"000001.XSHE": "x", "000002.XSHE": np.nan, "000009.XSHE": "z"}),
])
def test_user_mapping_fills_unknown(mapping):
    before = copy.deepcopy(mapping)
    index = pd.MultiIndex.from_product([pd.bdate_range("2022-01-03", periods=2), ["000001.XSHE", "000002.XSHE", "000003.XSHE"]],
                                       names=["datetime", "order_book_id"])
    labels = ac.ICAnalysis(industry_classification=mapping)._get_industry_data(pd.DataFrame({"factor": 0.0}, index=index))
    assert labels.index is index
    assert list(labels) == ["x", "Unknown", "Unknown"] * 2
    if isinstance(mapping, pd.Series):
        pd.testing.assert_series_equal(mapping, before)


def test_bad_industry_settings():
    analyser = ac.ICAnalysis()
    with pytest.raises(RuntimeError) as err:
        analyser._get_industry_data(pd.DataFrame())
    assert str(err.value) == "Invalid industry type, expect str/dict/pd.Series, go None "
    index = pd.MultiIndex.from_product([[T("2022-01-03")], ["A"]], names=["datetime", "order_book_id"])
    duplicated = ac.ICAnalysis(industry_classification=pd.Series(["x", "y"], index=["A", "A"]))
    with pytest.raises(ValueError, match="duplicate"):
        duplicated._get_industry_data(pd.DataFrame({"factor": [0.0]}, index=index))


def pandas_category(df, field):
    """The code table as pandas builds it: categorical codes, pivot, fill down then up."""
    df = df.copy()
    df[field] = df[field].astype("category").cat.codes
    return df.pivot(index="start_date", columns="order_book_id", values=field).ffill().bfill().astype("int64")


@pytest.mark.parametrize("source", ["citics_2019", "sws"])
def test_category_table_equals_pandas(source):
    previous = vestamo.set_market(vestamo.make_market(n_stocks=300, start_date="2018-01-01", end_date="2020-12-31"))
    try:
        data = ac.get_all_industry_data(source)
        want = pandas_category(data, ac.FIELD_MAPPING[source])
        pd.testing.assert_frame_equal(ac.get_all_industry_category(source), want)
    finally:
        vestamo.set_market(previous)


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_category_table_in_any_order_and_unit(monkeypatch, unit):
    rng = np.random.default_rng(3)
    n = 400
    names = np.array(["银行", "钢铁", "煤炭", "家电", None], dtype=object)[rng.integers(0, 5, n)]
    ids = np.array(["%06d.XSHE" % k for k in rng.permutation(60)])[rng.integers(0, 60, n)]
    days = pd.Timestamp("2015-01-01") + pd.to_timedelta(rng.integers(0, 3000, n), unit="D")
    df = pd.DataFrame({"first_industry_name": names, "order_book_id": ids,
                       "start_date": np.asarray(days.values, dtype=f"datetime64[{unit}]")})
    df = df.drop_duplicates(["order_book_id", "start_date"]).sort_values(["order_book_id", "start_date"])
    monkeypatch.setattr(ac, "get_all_industry_data", lambda source="citics_2019": df)
    pd.testing.assert_frame_equal(ac.get_all_industry_category.__wrapped__("citics_2019"),
                                  pandas_category(df, "first_industry_name"))
    # A pair listed twice cannot be pivoted.
    twice = pd.concat([df, df.iloc[:1]])
    monkeypatch.setattr(ac, "get_all_industry_data", lambda source="citics_2019": twice)
    with pytest.raises(ValueError, match="duplicate entries"):
        ac.get_all_industry_category.__wrapped__("citics_2019")

import threading
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import vestamo
from quellix.analysis import assaycore as ac

STYLES = ["beta", "size", "value"]

# The worlds here leave instruments without exposures or an industry on purpose;
# the warnings that say so are tested with the other table checks.
pytestmark = pytest.mark.filterwarnings("ignore:Neutralization:UserWarning")


class World:
    """Factor, exposures, industry codes and user tables, served to the step through the client hooks."""

    def __init__(self, seed, n_dates=10, n_ids=24, n_codes=4, exposures=True, codes=True):
        rng = np.random.default_rng(seed)
        self.rng = rng
        self.dates = pd.bdate_range("2020-01-06", periods=n_dates)
        self.ids = ["%06d.XSHE" % k for k in range(n_ids)]
        x = rng.standard_normal((n_dates, n_ids)) * 3 + 1
        x[rng.random(x.shape) < 0.1] = np.nan
        x[2] = np.nan
        self.factor = pd.DataFrame(x, index=self.dates, columns=self.ids)
        self.exposures = self.make_exposures(STYLES) if exposures else None
        self.codes = None
        if codes:
            # Two classification dates; the first two instruments are unclassified, and an
            # instrument nobody asks for carries a code above every requested one.
            changes = pd.DatetimeIndex([self.dates[0] - pd.Timedelta(days=30), self.dates[min(4, n_dates - 1)]])
            columns = self.ids[2:] + ["999999.XSHG"]
            c = rng.integers(0, n_codes, size=(2, len(columns)))
            c[:, -1] = n_codes + 3
            c[0, 0] = n_codes + 1   # code n_codes is nobody's: its dummy column is all zeros
            self.codes = pd.DataFrame(c, index=changes, columns=columns)
        self.calls = []

    def make_exposures(self, names, values=None):
        index = pd.MultiIndex.from_product([self.ids[:-1], self.dates], names=["order_book_id", "date"])
        if values is None:
            values = self.rng.standard_normal((len(index), len(names)))
            values[self.rng.random(values.shape) < 0.03] = np.nan
        keep = self.rng.random(len(index)) > 0.05          # some (instrument, date) pairs absent
        return pd.DataFrame(values, index=index, columns=names)[keep]

    def install(self, monkeypatch):
        def exposure(**kwargs):
            self.calls.append(("exposure", kwargs))
            return self.exposures

        def frequency(index):
            self.calls.append(("frequency", index))
            return ac._get_datetime_freq(index) == "1d"

        def category(source="citics_2019"):
            self.calls.append(("category", source))
            return self.codes

        monkeypatch.setattr(vestamo, "get_style_factor_exposure", exposure)
        monkeypatch.setattr(ac, "_is_date_frequency_index", frequency)
        monkeypatch.setattr(ac, "get_all_industry_category", category)
        return self


def reference(df, exposures=None, codes=None, users=(), day_of_row=None):
    """The per-date statsmodels loop, written out from the definition."""
    ids = list(df.columns)
    out = pd.DataFrame(np.nan, index=df.index, columns=ids)
    S = I = 0
    if exposures is not None:
        S = exposures.shape[1]
        by_date = exposures.unstack("order_book_id").reindex(df.index if day_of_row is None else day_of_row)
    if codes is not None:
        table = codes.reindex(columns=ids, fill_value=-1)
        I = max(int(table.to_numpy().max()) + 1, 0)
        position = np.maximum(np.searchsorted(table.index, df.index, side="right") - 1, 0)
    users = [u.reindex(index=df.index, columns=ids) for u in users]
    for i in range(len(df)):
        y = df.iloc[i]
        if y.isna().all():
            continue
        x = np.full((len(ids), S + I + len(users)), np.nan)
        for j, name in enumerate(exposures.columns if S else []):
            x[:, j] = by_date.iloc[i][name].reindex(ids).to_numpy()
        if I:
            x[:, S:S + I] = table.iloc[position[i]].to_numpy()[:, None] == np.arange(I)
        for k, u in enumerate(users):
            x[:, S + I + k] = u.iloc[i].to_numpy()
        keep = (y.notna() & ~np.isnan(x).any(axis=1)).to_numpy()
        if not keep.any():
            continue
        if x.shape[1] == 0:
            out.iloc[i, keep] = y[keep]
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            resid = sm.OLS(y, x, hasconst=False, missing="drop").fit().resid
        out.iloc[i, np.flatnonzero(keep)] = resid.to_numpy()
    return out


def assert_close(got, want, scale):
    assert got.index.equals(want.index) and list(got.columns) == list(want.columns)
    np.testing.assert_array_equal(np.isnan(got.to_numpy()), np.isnan(want.to_numpy()))
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=0, atol=1e-8 * scale, equal_nan=True)


@pytest.mark.parametrize("seed", range(4))
def test_residuals_match_statsmodels(monkeypatch, seed):
    w = World(seed).install(monkeypatch)
    user = pd.DataFrame(w.rng.standard_normal((len(w.dates), 30)), index=w.dates,
                        columns=w.ids[3:] + ["%06d.XSHE" % k for k in range(100, 109)])
    user.iloc[3, 4] = np.nan
    step = ac.Neutralization("citics_2019", "all", [user, None, user.iloc[:0]])
    before = w.factor.copy()
    got = step.process(w.factor)
    pd.testing.assert_frame_equal(w.factor, before)
    assert_close(got, reference(w.factor, w.exposures, w.codes, [user]), np.nanmax(np.abs(w.factor.to_numpy())))
    assert got.index is w.factor.index and got.columns.name is None
    assert np.isnan(got.iloc[2]).all()


def test_rank_deficient_designs(monkeypatch):
    w = World(7, n_dates=8, n_ids=30)
    base = w.rng.integers(-4, 5, size=(len(w.ids[:-1]) * len(w.dates), 2)).astype(float)
    # A duplicate column, an exact sum of two others, a column constant within industry on
    # every date of the first code row: none adds to the space the others span.
    values = np.column_stack([base, base[:, 0], base[:, 0] + base[:, 1]])
    w.exposures = w.make_exposures(["a", "b", "a2", "ab"], values)
    w.factor.iloc[5, 4:] = np.nan      # fewer fitted instruments than regressors
    x = w.factor.to_numpy()
    w.install(monkeypatch)
    got = ac.Neutralization().process(w.factor)
    assert_close(got, reference(w.factor, w.exposures, w.codes), np.nanmax(np.abs(x)))
    assert np.nanmax(np.abs(got.iloc[5].to_numpy())) < 1e-9


def test_industry_only_is_demeaning_within_industry(monkeypatch):
    w = World(11, exposures=False).install(monkeypatch)
    got = ac.Neutralization(style_factors=None).process(w.factor)
    codes = w.codes.reindex(columns=w.ids, fill_value=-1)
    position = np.searchsorted(codes.index, w.dates, side="right") - 1
    for i, date in enumerate(w.dates):
        if w.factor.iloc[i].isna().all():
            continue
        y = w.factor.iloc[i]
        group = codes.iloc[max(position[i], 0)]
        want = y - y.groupby(group).transform("mean")
        want[group < 0] = y[group < 0]     # unclassified instruments keep their value
        np.testing.assert_allclose(got.iloc[i], want, rtol=1e-12, atol=1e-12)


def test_user_factor_alone_has_no_intercept(monkeypatch):
    w = World(12, exposures=False, codes=False).install(monkeypatch)
    user = pd.DataFrame(w.rng.standard_normal(w.factor.shape) + 2, index=w.dates, columns=w.ids)
    got = ac.Neutralization(industry=None, style_factors=None, other_factors=[user]).process(w.factor)
    y, x = w.factor.to_numpy(), user.to_numpy()
    with np.errstate(invalid="ignore"):
        beta = np.nansum(x * y, axis=1) / np.nansum(np.where(np.isnan(y), np.nan, x) ** 2, axis=1)
        want = y - beta[:, None] * x
    want[2] = np.nan
    np.testing.assert_allclose(got.to_numpy(), want, rtol=1e-10, atol=1e-10)
    assert [c[0] for c in w.calls] == []


def test_calls_and_their_arguments(monkeypatch):
    w = World(13).install(monkeypatch)
    ac.Neutralization("sws", ["beta", "size"]).process(w.factor)
    assert [c[0] for c in w.calls] == ["exposure", "frequency", "category"]
    kwargs = w.calls[0][1]
    assert kwargs == {"order_book_ids": w.ids, "start_date": w.dates[0], "end_date": w.dates[-1],
                      "factors": ["beta", "size"]}
    assert w.calls[1][1] is w.factor.index and w.calls[2][1] == "sws"


def test_intraday_rows_take_their_days_exposures(monkeypatch):
    w = World(14, n_dates=3).install(monkeypatch)
    bars = pd.DatetimeIndex([d + pd.Timedelta(t) for d in w.dates for t in ("09:31:00", "10:00:00", "14:57:00")])
    factor = pd.DataFrame(w.rng.standard_normal((len(bars), len(w.ids))), index=bars, columns=w.ids)
    got = ac.Neutralization().process(factor)
    want = reference(factor, w.exposures, w.codes, day_of_row=bars.normalize())
    assert_close(got, want, np.abs(factor.to_numpy()).max())


def test_sound_behaviours(monkeypatch):
    w = World(15)
    early = w.dates[0] - pd.Timedelta(days=60)      # before the first classification date
    w.factor.index = pd.DatetimeIndex([early] + list(w.dates[1:]))
    w.exposures = w.exposures.drop(w.dates[3], level="date")
    w.install(monkeypatch)
    got = ac.Neutralization().process(w.factor)    # nobody has exposures on two dates: rows left missing
    assert np.isnan(got.iloc[[0, 3]].to_numpy()).all() and not np.isnan(got.iloc[4].to_numpy()).all()
    w.exposures = None                               # the client knows none of the instruments
    assert np.isnan(ac.Neutralization().process(w.factor).to_numpy()).all()

    got = ac.Neutralization(style_factors=None).process(w.factor)
    first = w.codes.iloc[0].reindex(w.ids, fill_value=-1)
    y = w.factor.iloc[0]
    want = (y - y.groupby(first).transform("mean")).where(first >= 0, y)
    np.testing.assert_allclose(got.iloc[0], want, rtol=1e-12, atol=1e-12)

    # An infinite factor value is left out of the fit like a missing one.
    w.factor.iloc[1, 5] = np.inf
    with_inf = ac.Neutralization(style_factors=None).process(w.factor)
    w.factor.iloc[1, 5] = np.nan
    pd.testing.assert_frame_equal(with_inf, ac.Neutralization(style_factors=None).process(w.factor))

    # No regressor at all: only unclassified instruments.
    w.codes = w.codes.iloc[:, :0]
    pd.testing.assert_frame_equal(ac.Neutralization(style_factors=None).process(w.factor),
                                  w.factor.set_axis(pd.Index(w.ids), axis=1))


def test_repeated_labels_of_a_user_factor_are_refused(monkeypatch):
    w = World(19, exposures=False, codes=False).install(monkeypatch)
    user = pd.DataFrame(1.0, index=w.dates, columns=w.ids[:3] + w.ids[:1])
    with pytest.raises(ValueError, match=r"other_factors\[0\]: the columns repeat an instrument \('000000.XSHE'\)"):
        ac.Neutralization(None, None, [user]).process(w.factor)


def test_constructor_settings_and_messages():
    step = ac.Neutralization()
    assert (step.industry, step.style_neutralize, step.style_factors, step.other_factors) == (
        "citics_2019", True, None, None)
    step = ac.Neutralization("", [], None)
    assert (step.industry, step.style_neutralize, step.style_factors) == ("", False, [])
    with pytest.raises(ValueError) as err:
        ac.Neutralization(industry="abc")
    assert str(err.value) == "industry: expect one of ('citics_2019', 'sws'), got abc"
    with pytest.raises(ValueError) as err:
        ac.Neutralization(None, None, None)
    assert str(err.value) == "Expect at least one of [industry, style_factors, other_factors] not None, but get both None."
    assert ac.Neutralization.__init__.__doc__.startswith(" 因子中性化处理")


def with_unit(index, unit):
    return pd.DatetimeIndex(index.to_numpy().astype("datetime64[{}]".format(unit)))


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
def test_dates_in_any_resolution(monkeypatch, unit):
    w = World(16)
    user = pd.DataFrame(w.rng.standard_normal(w.factor.shape), index=w.dates, columns=w.ids)
    w.install(monkeypatch)
    want = ac.Neutralization(other_factors=[user]).process(w.factor)
    units = ["s", "ms", "us", "ns"]
    other = units[(units.index(unit) + 1) % 4]
    factor = w.factor.set_axis(with_unit(w.dates, unit), axis=0)
    w.exposures.index = w.exposures.index.set_levels(with_unit(w.exposures.index.levels[1], other), level=1)
    w.codes.index = with_unit(w.codes.index, other)
    user.index = with_unit(user.index, units[(units.index(unit) + 2) % 4])
    got = ac.Neutralization(other_factors=[user]).process(factor)
    np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())


def test_sample_market_dates_match_statsmodels():
    cat = ac.get_all_industry_category("citics_2019")
    dates = vestamo.get_trading_dates("2021-03-01", "2021-03-12")
    ids = list(cat.columns[::3])
    rng = np.random.default_rng(17)
    factor = pd.DataFrame(rng.standard_normal((len(dates), len(ids))), index=dates, columns=ids)
    exposures = vestamo.get_style_factor_exposure(order_book_ids=ids, start_date=dates[0], end_date=dates[-1])
    got = ac.Neutralization().process(factor)
    assert_close(got, reference(factor, exposures, cat), 5.0)


def test_two_threads_get_their_serial_results(monkeypatch):
    w = World(18, n_dates=40, n_ids=400).install(monkeypatch)
    tables = [w.factor, w.factor * 2 - 1]
    steps = [ac.Neutralization(), ac.Winzorization(), ac.Normalization()]
    serial = [[s.process(t) for s in steps] for t in tables]
    results = [None, None]

    def run(k):
        results[k] = [[s.process(tables[k]) for s in steps] for _ in range(3)]

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(2):
        for repeat in results[k]:
            for got, want in zip(repeat, serial[k]):
                pd.testing.assert_frame_equal(got, want, check_exact=True)


def test_exposure_rows_in_any_order(monkeypatch):
    # The client's table runs by instrument and date; a source in any other
    # order, with gaps and unsorted levels, must find the same rows.
    w = World(23).install(monkeypatch)
    want = ac.Neutralization().process(w.factor)
    w.exposures = w.exposures.sample(frac=1.0, random_state=0).swaplevel()
    pd.testing.assert_frame_equal(ac.Neutralization().process(w.factor), want)
    # A pair listed twice is refused only where it is read.
    w.exposures = pd.concat([w.exposures, w.exposures.iloc[:1]])
    with pytest.raises(ValueError, match="appears twice"):
        ac.Neutralization().process(w.factor)

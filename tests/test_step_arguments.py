"""Arguments of the steps and the engine: flags, periods, tables of the wrong kind, coverage warnings, overflow."""
import numpy as np
import pandas as pd
import pytest

import vestamo
from quellix.analysis import assaycore as ac
from test_bad_tables import good


def engine(*steps):
    e = ac.FactorAnalysisEngine()
    for step in steps:
        e.append(step)
    return e


ANALYSE = {
    "ic": lambda f, r, **kw: ac.ICAnalysis().analysis(f, r, [1, 2], **kw).ic,
    "quantile": lambda f, r, **kw: ac.QuantileReturnAnalysis(3).analysis(f, r, [1, 2], **kw).quantile_returns,
    "factor_returns": lambda f, r, **kw: ac.FactorReturnAnalysis().analysis(f, r, [1, 2], **kw).factor_returns,
}


@pytest.mark.parametrize("step", list(ANALYSE))
def test_ascending_takes_bools_numpy_bools_and_zero_one_only(step):
    f, r = good()
    down, up = ANALYSE[step](f, r, ascending=False), ANALYSE[step](f, r, ascending=True)
    assert not down.equals(up)
    for value, same in [(np.bool_(True), up), (np.bool_(False), down), (1, up), (0, down), (np.int8(1), up)]:
        pd.testing.assert_frame_equal(ANALYSE[step](f, r, ascending=value), same)
    for bad in ["False", "", 2, -1, 1.0, None, [True]]:
        with pytest.raises(TypeError, match="ascending: expect True or False"):
            ANALYSE[step](f, r, ascending=bad)


def test_other_flags_refuse_what_is_not_a_bool():
    f, r = good()
    assert ac.ICAnalysis(rank_ic=np.bool_(False)).ic_func is ac._get_ic_func(False)
    for bad in ["no", "True", None, 2.0]:
        with pytest.raises(TypeError, match=r"rank_ic: expect True or False"):
            ac.ICAnalysis(rank_ic=bad)
    run = engine(("fr", ac.FactorReturnAnalysis()))
    assert "z" in engine(("z", ac.Normalization()), ("fr", ac.FactorReturnAnalysis())).analysis(
        f, r, periods=[1], keep_preprocess_result=np.bool_(True))
    with pytest.raises(TypeError, match="keep_preprocess_result: expect True or False, got 'yes'"):
        run.analysis(f, r, periods=[1], keep_preprocess_result="yes")


def test_the_engine_takes_numpy_integers_and_refuses_no_periods_for_daily_returns():
    f, _ = good()
    run = engine(("ic", ac.ICAnalysis()))
    pd.testing.assert_frame_equal(run.analysis(f, "daily", periods=np.int64(5))["ic"].ic,
                                  run.analysis(f, "daily", periods=5)["ic"].ic)
    pd.testing.assert_frame_equal(run.analysis(f, "daily", periods=[np.int32(1), np.int64(5)])["ic"].ic,
                                  run.analysis(f, "daily", periods=[1, 5])["ic"].ic)
    for empty in ([], ()):
        with pytest.raises(ValueError, match="periods: empty, expect at least one holding period"):
            run.analysis(f, "daily", periods=empty)


@pytest.mark.parametrize("analyser", [ac.ICAnalysis(), ac.QuantileReturnAnalysis(3), ac.FactorReturnAnalysis()])
def test_analysers_take_periods_as_numpy_integers_or_arrays(analyser):
    f, r = good()
    table = {ac.ICAnalysis: "ic", ac.QuantileReturnAnalysis: "quantile_returns",
             ac.FactorReturnAnalysis: "factor_returns"}[type(analyser)]
    expected = getattr(analyser.analysis(f, r, [1, 3]), table)
    for periods in (np.array([1, 3]), [np.int64(1), np.uint8(3)], (1, np.int32(3))):
        pd.testing.assert_frame_equal(getattr(analyser.analysis(f, r, periods), table), expected)
    assert list(getattr(analyser.analysis(f, r, np.int64(3)), table).columns) == ["P_3"]
    with pytest.raises(TypeError, match="periods: expect"):
        analyser.analysis(f, r, np.array([1.0, 3.0]))


def test_the_whole_pipeline_on_daily_returns_does_not_depend_on_the_row_order():
    f, _ = good()
    steps = [("w", ac.Winzorization()), ("n", ac.Neutralization()), ("z", ac.Normalization()),
             ("ic", ac.ICAnalysis(max_decay=3)), ("q", ac.QuantileReturnAnalysis(3)), ("fr", ac.FactorReturnAnalysis())]
    expected = engine(*steps).analysis(f, "daily", periods=[1, 5])
    for table in (f.iloc[::-1], f.sample(frac=1, random_state=2)):
        got = engine(*steps).analysis(table, "daily", periods=[1, 5])
        pd.testing.assert_frame_equal(got["ic"].ic, expected["ic"].ic)
        pd.testing.assert_frame_equal(got["q"].quantile_returns, expected["q"].quantile_returns)
        pd.testing.assert_frame_equal(got["fr"].factor_returns, expected["fr"].factor_returns)


def test_aware_factor_dates_meet_the_daily_returns_on_their_own_days():
    f, _ = good()
    run = engine(("ic", ac.ICAnalysis()), ("q", ac.QuantileReturnAnalysis(3, benchmark="000300.XSHG")))
    naive = run.analysis(f, "daily", periods=[1, 5])
    aware = run.analysis(f.tz_localize("Asia/Shanghai"), "daily", periods=[1, 5])
    np.testing.assert_array_equal(aware["ic"].ic.to_numpy(), naive["ic"].ic.to_numpy())
    assert str(aware["ic"].ic.index.tz) == "Asia/Shanghai"
    np.testing.assert_array_equal(aware["q"].benchmark_return.to_numpy(), naive["q"].benchmark_return.to_numpy())


def test_periods_beyond_the_table_are_refused_or_warned_about_alike():
    f, r = good()
    n = len(f)
    message = "periods: {} is not shorter than the returns table ({} rows)".format(n, n)
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        ac.ICAnalysis().analysis(f, r, [1, n])
    with pytest.warns(UserWarning, match=r"^Invalid periods found: \[{}\], will ignore\.$".format(n)):
        assert list(ac.QuantileReturnAnalysis(3).analysis(f, r, [1, n]).quantile_returns.columns) == ["P_1"]
    with pytest.warns(UserWarning, match=r"periods \[500\] are not shorter than factor_data \({} rows\)".format(n)):
        assert list(ac.FactorReturnAnalysis().analysis(f, r, [500]).factor_returns.columns) == ["P_500"]
    # Without dates nothing is held, whatever the periods.
    for analyser in (ac.QuantileReturnAnalysis(3), ac.FactorReturnAnalysis(), ac.ICAnalysis()):
        analyser.analysis(f.iloc[:0], r, [5])


@pytest.mark.parametrize("step", [ac.Winzorization(), ac.Winzorization("std"), ac.Normalization()])
@pytest.mark.parametrize("bad", [np.zeros((3, 2)), pd.Series([1.0, 2.0]), [[1.0, 2.0]], None])
def test_cross_section_steps_name_the_argument_they_refuse(step, bad):
    with pytest.raises(TypeError, match="factor_data: expect pd.DataFrame, got"):
        step.process(bad)


def test_neutralization_refuses_user_factors_of_the_wrong_kind():
    f, r = good()
    for bad in (5, "table", r):
        with pytest.raises(TypeError, match="other_factors: expect None or a list of pd.DataFrame"):
            ac.Neutralization(other_factors=bad)
    for user, error, message in [
        (r.reset_index(drop=True), ValueError, r"other_factors\[0\]: expect index type=pd.DatetimeIndex"),
        (r.tz_localize("Asia/Shanghai"), ValueError, r"those of df do not"),
        (r.to_numpy(), TypeError, r"other_factors\[0\]: expect pd.DataFrame"),
    ]:
        with pytest.raises(error, match=message):
            ac.Neutralization(None, None, [user]).process(f)


def test_neutralization_counts_what_has_no_exposures_or_industry():
    f, _ = good()
    unknown = f.set_axis([*f.columns[:-2], "999998.XSHE", "999999.XSHE"], axis=1)
    with pytest.warns(UserWarning, match=r"^Neutralization: 2 of 30 instruments have no style exposures, such as "
                                         r"'999998.XSHE'; their residuals are NaN$"):
        got = ac.Neutralization(industry=None).process(unknown)
    assert got.iloc[:, -2:].isna().all().all() and got.iloc[:, :-2].notna().all().all()
    with pytest.warns(UserWarning, match=r"2 of 30 instruments have no industry in citics_2019"):
        ac.Neutralization(style_factors=None).process(unknown)
    early = f.set_axis([*(f.index[:4] - pd.DateOffset(years=40)), *f.index[4:]], axis=0)
    with pytest.warns(UserWarning, match=r"Neutralization: 4 of 44 dates have no style exposures, such as 1981-03-01"):
        got = ac.Neutralization(industry=None).process(early)
    assert got.iloc[:4].isna().all().all() and got.iloc[4:].notna().all().all()
    with pytest.warns(UserWarning, match=r"4 of 44 dates precede the industry data of citics_2019, such as 1981-03-01"):
        ac.Neutralization(style_factors=None).process(early)
    with pytest.warns(UserWarning, match=r"30 of 30 instruments have no style exposures"):
        assert ac.Neutralization(industry=None).process(early.iloc[:4]).isna().all().all()
    # Instruments without any factor value lose nothing and are not counted.
    blank = unknown.copy()
    blank.iloc[:, -2:] = np.nan
    ac.Neutralization(industry=None).process(blank)


def test_ic_by_unknown_industries_still_summarises():
    f, r = good()
    with pytest.warns(UserWarning, match=r"IC by industry: 1320 of 1320 \(date, instrument\) rows with a factor value have no industry"):
        result = ac.ICAnalysis(industry_classification="citics_2019").analysis(f.add_prefix("Z"), r.add_prefix("Z"), [1])
    assert result.ic_industry_distribute.empty and result._industry_table(0) is None
    assert "IC mean" in result.summary().index
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    try:
        assert "ic_by_industry" not in result.plot()
    finally:
        plt.close("all")


def test_normalization_of_rows_whose_squares_overflow():
    rows = [[1e154, 2e154, 3e154], [1e300, -1e300, 5e299], [1.0, 2.0, 1e308], [-1e308, 1e308, np.nan]]
    got = ac.Normalization().process(pd.DataFrame(rows)).to_numpy()
    # The same rows scaled down by a power of two give the plain formula's answer.
    for row, scaled in zip(got, np.asarray(rows) / 2.0 ** 1000):
        want = (scaled - np.nanmean(scaled)) / np.nanstd(scaled, ddof=1)
        np.testing.assert_allclose(row, want, rtol=1e-14)
    assert np.isfinite(got[:3]).all()

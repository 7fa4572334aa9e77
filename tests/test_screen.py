import io
import sys

import numpy as np
import pandas as pd
import pytest

import quellix
import quellix.rolling as R
import vestamo
from quellix.analysis import assaycore as ac
from quellix.analysis import performance as perf
from quellix.interface import Factor, UnaryFactor
from quellix.screening import default_steps, headline

START, END = "2019-02-01", "2019-12-31"
# Some factors here have values for instruments listed after the screen (a
# rank of missing volumes); the warning that they lack exposures is tested elsewhere.
pytestmark = pytest.mark.filterwarnings("ignore:Neutralization:UserWarning")
PERIODS = [1, 5]


@pytest.fixture(scope="module", autouse=True)
def market():
    previous = vestamo.set_market(vestamo.make_market(n_stocks=40, start_date="2019-01-01",
                                                      end_date="2020-06-30", seed=23))
    yield
    vestamo.set_market(previous)


@pytest.fixture(scope="module")
def universe():
    return vestamo.all_instruments(type="CS")["order_book_id"].tolist()


def demeaned(x):
    # Looks at whole columns, so its values depend on where the history starts.
    return x - np.nan_to_num(x).mean(axis=0)


def candidates():
    close, volume, high, low = Factor("close"), Factor("volume"), Factor("high"), Factor("low")
    return {
        "reversal_5": R.MA(close, 5) / close - 1,
        "reversal_20": R.MA(close, 20) / close - 1,
        # Sixty days reach back before the calendar's first day: the separate run pads with NaN.
        "momentum": R.MA(close, 20) / R.MA(close, 60) - 1,
        "volatility": R.STD(close / R.MA(close, 20), 20),
        "volume_rank": R.TS_RANK(volume, 10),
        "range": R.MA((high - low) / close, 10),
        "demeaned_short": UnaryFactor(demeaned, R.MA(close, 20)),
        "demeaned_long": UnaryFactor(demeaned, R.MA(close, 20)) / R.MA(close, 60),
    }


def separate_run(factor, universe, steps=None):
    table = factor if isinstance(factor, pd.DataFrame) else quellix.execute_factor(factor, universe, START, END)
    engine = ac.FactorAnalysisEngine()
    for step in steps or default_steps():
        engine.append(step)
    results = engine.analysis(table, "daily", periods=PERIODS, keep_preprocess_result=True)
    # The factor-return step reports no turnover; a screen attaches it from the table the step was given.
    preprocessed = [results.pop(name) for name, _ in engine.preprocess_pipelines]
    for result in results.values():
        if isinstance(result, ac.FactorReturnAnalysisResult):
            result.turnover = perf.factor_turnover(preprocessed[-1], PERIODS)
    return results


def assert_same_results(got, expected):
    assert list(got) == list(expected)
    for step, result in expected.items():
        assert type(got[step]) is type(result)
        for field, value in vars(result).items():
            other = getattr(got[step], field)
            if isinstance(value, pd.DataFrame):
                pd.testing.assert_frame_equal(other, value, check_exact=True)
            elif isinstance(value, pd.Series):
                pd.testing.assert_series_equal(other, value, check_exact=True)
            else:
                assert other == value


def test_figures_equal_separate_runs_serial_and_threaded(universe):
    factors = candidates()
    factors["ready"] = quellix.execute_factor(R.EMA(Factor("close"), 8), universe[:25], START, END) * -1
    serial = quellix.screen(factors, universe, START, END, periods=PERIODS, keep_results=True,
                            progress=False, workers=1)
    assert serial.errors == {} and list(serial.summary.index) == list(factors)
    for name, factor in factors.items():
        expected = separate_run(factor, universe)
        assert_same_results(serial.results(name), expected)
        # The screen adds the figures that count the trials; the factor's own ones are the run's.
        own = headline(expected)
        row = serial.summary.loc[name, own.index]
        pd.testing.assert_series_equal(row.astype(float), own.rename(name), check_names=False)

    stream = io.StringIO()
    threaded = quellix.screen(factors, universe, START, END, periods=PERIODS, progress=stream, workers=2)
    pd.testing.assert_frame_equal(threaded.summary, serial.summary, check_exact=True)
    pd.testing.assert_frame_equal(threaded.correlation, serial.correlation, check_exact=True)
    # One progress line per factor; full results not kept, recomputed on request.
    assert sorted(line.split()[2] for line in stream.getvalue().splitlines()) == sorted(factors)
    assert_same_results(threaded.results("momentum"), separate_run(factors["momentum"], universe))


def kernel_calls(run):
    """Calls of each C function made while ``run`` executes on this thread."""
    counts = {}

    def profile(frame, event, arg):
        if event == "c_call":
            counts[arg] = counts.get(arg, 0) + 1

    sys.setprofile(profile)
    try:
        run()
    finally:
        sys.setprofile(None)
    return counts


def test_shared_subexpressions_are_evaluated_once(universe):
    close = Factor("close")
    calls = []

    def recorded(x):
        calls.append(len(x))
        return x * 2.0

    factors = {
        "a": R.MA(close, 20) / close - 1,
        "b": R.MA(close, 20) / R.MA(Factor("close"), 60) - 1,  # built apart, equal structure
        "c": R.STD(close / R.MA(close, 20), 20),
        "d": R.MA(close, 5) / close - 1,
        "e": R.STD(close / R.MA(close, 20), 20) + UnaryFactor(recorded, close),
        "f": UnaryFactor(recorded, close) - R.MA(close, 60),
    }
    shifts = {name: f.shift for name, f in factors.items()}
    counts = kernel_calls(lambda: quellix.screen(factors, universe, START, END, periods=PERIODS,
                                                 steps=[("ic", ac.ICAnalysis())], progress=False, workers=1))
    # ma over 20, 60 and 5 days; one std; separate runs would call ma 7 and std 2 times.
    assert counts.get(R.ma) == 3 and counts.get(R.std) == 1
    # A user function is not window-local: once per history length asked for, on exactly those rows.
    n_dates = len(vestamo.get_trading_dates(START, END))
    assert sorted(calls) == sorted({shifts["e"] + n_dates, shifts["f"] + n_dates})


def test_failing_factors_get_error_rows_and_the_others_complete(universe):
    close = Factor("close")

    def broken(x):
        raise FloatingPointError("no values for this one")

    good = R.MA(close, 5) / close - 1
    factors = {
        "window": R.MA(close, 2.5),
        "good": good,
        "raises": UnaryFactor(broken, close),
        "not_a_factor": "close / open",
        "no_dates": pd.DataFrame({"000001.XSHE": [1.0, 2.0]}),
        "good_too": -good,
    }
    result = quellix.screen(factors, universe, START, END, periods=PERIODS, progress=False, workers=2)
    errors = result.summary[("error", "")]
    assert errors["window"].startswith("TypeError: ma(close, 2.5) has a non-integer shift 1.5")
    assert errors["raises"] == "FloatingPointError: no values for this one"
    assert errors["not_a_factor"].startswith("TypeError: expect a factor expression or a dates x instruments")
    assert errors["no_dates"].startswith("ValueError")
    assert errors[["good", "good_too"]].isna().all()
    figures = result.summary.drop(columns=[("error", "")])
    assert figures.loc[["good", "good_too"]].notna().all().all()
    assert figures.drop(index=["good", "good_too"]).isna().all().all()
    assert list(result.correlation.index) == ["good", "good_too"]
    np.testing.assert_allclose(result.correlation.to_numpy(), [[1, -1], [-1, 1]])
    with pytest.raises(ValueError, match="factor 'raises' failed: FloatingPointError"):
        result.results("raises")
    ranked = result.ranked("IC IR", period=5)
    ir = result.summary[("IC IR", "P_5")]
    assert list(ranked.index[:2]) == sorted(["good", "good_too"], key=lambda n: -ir[n])
    assert set(ranked.index[2:]) == set(result.errors)


def test_worker_threads_compute_under_the_callers_numpy_error_state(universe):
    close = Factor("close")
    seen = []

    def divided(x):
        seen.append(np.geterr()["divide"])
        return x / (x - x)

    factors = {"divided": UnaryFactor(divided, close), "good": R.MA(close, 5) / close - 1}
    with np.errstate(all="raise"):
        result = quellix.screen(factors, universe, START, END, periods=PERIODS, progress=False, workers=2)
    assert seen == ["raise"]
    assert result.errors["divided"].startswith("FloatingPointError")
    assert "good" not in result.errors


def test_correlation_is_the_mean_of_per_date_rank_correlations(universe):
    factors = {name: f for name, f in candidates().items() if name in ("reversal_5", "momentum", "volume_rank")}
    result = quellix.screen(factors, universe, START, END, periods=PERIODS, steps=[("ic", ac.ICAnalysis())],
                            progress=False, workers=1)
    tables = {name: quellix.execute_factor(f, universe, START, END) for name, f in factors.items()}
    for a in factors:
        for b in factors:
            per_date = [tables[a].loc[d].rank().corr(tables[b].loc[d].rank()) for d in tables[a].index]
            expected = np.nanmean(per_date)
            assert result.correlation.loc[a, b] == pytest.approx(expected, rel=1e-9, abs=1e-12)


def test_screen_arguments_are_checked(universe):
    with pytest.raises(TypeError, match="factors: expect a non-empty dict"):
        quellix.screen([Factor("close")], universe, START, END)
    with pytest.raises(ValueError, match="order_book_ids contains duplicates"):
        quellix.screen({"c": Factor("close")}, universe[:2] * 2, START, END)
    with pytest.raises(ValueError, match="no trading dates"):
        quellix.screen({"c": Factor("close")}, universe, "2019-02-02", "2019-02-03")
    with pytest.raises(RuntimeError, match="already exists"):
        quellix.screen({"c": Factor("close")}, universe, START, END, steps=[("x", ac.ICAnalysis())] * 2)
    with pytest.raises(ValueError, match="steps: expect at least one"):
        quellix.screen({"c": Factor("close")}, universe, START, END, steps=[])


def test_the_client_is_asked_each_question_once(universe, monkeypatch):
    market = vestamo.get_market()
    asked = {"exposure_frame": 0, "price_frame": 0}
    for method in asked:
        original = getattr(market, method)

        def counted(*args, _original=original, _method=method):
            asked[_method] += 1
            return _original(*args)

        monkeypatch.setattr(market, method, counted)
    steps = default_steps()
    steps[4] = ("quantile", ac.QuantileReturnAnalysis(quantile=5, benchmark="000300.XSHG"))
    factors = {name: f for name, f in list(candidates().items())[:4]}
    quellix.screen(factors, universe, START, END, periods=PERIODS, steps=steps, progress=False, workers=2)
    # Exposures once; prices once for the fields, once for the returns and once for the benchmark
    # (four separate runs ask 4 and 12 times).
    assert asked == {"exposure_frame": 1, "price_frame": 3}

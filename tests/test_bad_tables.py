"""Every step through one list of awkward tables: each gives a clear error or its documented result.

Steps that read dates (Neutralization, the analysers, the engine) refuse repeated dates or
instruments, indexes that are not dates, and pairs of tables of which only one carries a time
zone; they read tables in date order, so any order gives the sorted run's result (analysers'
results ascend by date; preprocessors keep the rows where they were). Winzorization and
Normalization transform each row alone, whatever its label. Tables that cannot crash the
interpreter any more (no rows, no instruments, one date) run in a child process.
"""
import json
import re
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest

import vestamo
from quellix.analysis import assaycore as ac

SETUP = textwrap.dedent('''
    import numpy as np, pandas as pd, vestamo
    from quellix.analysis import assaycore as ac

    def good():
        inst = vestamo.all_instruments(type="CS")
        ids = inst[inst["listed_date"] < "2019-01-01"]["order_book_id"].tolist()[:30]
        dates = vestamo.get_trading_dates("2021-03-01", "2021-04-30")
        rng = np.random.default_rng(3)
        factor = pd.DataFrame(rng.normal(size=(len(dates), len(ids))), index=dates, columns=ids)
        returns = pd.DataFrame(rng.normal(0, 0.02, size=factor.shape), index=dates, columns=ids)
        return factor, returns

    def engine(f, r):
        e = ac.FactorAnalysisEngine()
        for step in [("w", ac.Winzorization()), ("n", ac.Neutralization()), ("z", ac.Normalization()),
                     ("ic", ac.ICAnalysis(industry_classification="citics_2019", max_decay=3)),
                     ("q", ac.QuantileReturnAnalysis(3)), ("fr", ac.FactorReturnAnalysis())]:
            e.append(step)
        return e.analysis(f, r, periods=[1, 2])

    STEPS = {
        "winsorize": lambda f, r: ac.Winzorization().process(f),
        "normalize": lambda f, r: ac.Normalization().process(f),
        "neutralize": lambda f, r: ac.Neutralization().process(f),
        "neutralize_style": lambda f, r: ac.Neutralization(industry=None).process(f),
        "neutralize_industry": lambda f, r: ac.Neutralization(style_factors=None).process(f),
        # The returns table serves as a user factor: a second table whose dates must meet the first's.
        "neutralize_user": lambda f, r: ac.Neutralization(None, None, [r]).process(f),
        "ic": lambda f, r: ac.ICAnalysis(industry_classification="citics_2019", max_decay=3).analysis(f, r, [1, 2]),
        "quantile": lambda f, r: ac.QuantileReturnAnalysis(3).analysis(f, r, [1, 2]),
        "factor_returns": lambda f, r: ac.FactorReturnAnalysis().analysis(f, r, [1, 2]),
        "engine": engine,
    }
''')
exec(SETUP)  # the same tables and steps here and in the child processes

ROW_WISE = ("winsorize", "normalize")
PAIRED = ("neutralize_user", "ic", "quantile", "factor_returns", "engine")
ANALYSERS = ("ic", "quantile", "factor_returns", "engine")


def tables_of(result):
    """Every table of a result, keyed by where it is."""
    if isinstance(result, pd.DataFrame):
        return {"": result}
    if isinstance(result, dict):
        return {k + "." + n: t for k, v in result.items() for n, t in tables_of(v).items()}
    return {n: getattr(result, n) for n in result._fields if isinstance(getattr(result, n), (pd.DataFrame, pd.Series))}


def run(step, f, r):
    # The sample market's late listings lack exposures; these tables avoid them, so no warning is expected.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return STEPS[step](f, r)


@pytest.fixture(scope="module")
def expected():
    f, r = good()
    return {step: tables_of(run(step, f, r)) for step in STEPS}


def assert_values_equal(got, want, sort=False):
    assert got.keys() == want.keys()
    for name, table in got.items():
        table = table.sort_index() if sort else table
        # Values only (units and time zones of the labels may differ); NaN equals NaN in place.
        assert pd.DataFrame(table.to_numpy()).equals(pd.DataFrame(want[name].to_numpy())), name


def in_unit(table, unit):
    return table.set_axis(pd.DatetimeIndex(table.index.to_numpy().astype("datetime64[%s]" % unit)), axis=0)


def localised(table):
    return table.tz_localize("Asia/Shanghai")


SAME_RESULT = {
    "dates reversed": lambda f, r: (f.iloc[::-1], r.iloc[::-1]),
    "factor reversed": lambda f, r: (f.iloc[::-1], r),
    "returns shuffled": lambda f, r: (f, r.sample(frac=1, random_state=1)),
    "dates in s and ms": lambda f, r: (in_unit(f, "s"), in_unit(r, "ms")),
    "dates in us and ns": lambda f, r: (in_unit(f, "us"), in_unit(r, "ns")),
    "both tz-aware": lambda f, r: (localised(f), localised(r)),
}


@pytest.mark.parametrize("step", list(STEPS))
@pytest.mark.parametrize("case", list(SAME_RESULT))
def test_order_units_and_time_zones_give_the_sorted_run(expected, case, step):
    f, r = good()
    f2, r2 = SAME_RESULT[case](f, r)
    before = f2.copy(), r2.copy()
    result = tables_of(run(step, f2, r2))
    # Preprocessors keep the caller's row order; analysers' per-date tables ascend.
    assert_values_equal(result, expected[step], sort=step not in ANALYSERS)
    if step in ANALYSERS and step != "engine":
        dates = result["ic" if step == "ic" else "factor_returns" if step == "factor_returns" else
                       "top_minus_bottom_returns"].index
        assert dates.is_monotonic_increasing
    # The engine names the axes of the tables it is given; nothing else changes.
    pd.testing.assert_frame_equal(f2, before[0], check_names=step != "engine")
    pd.testing.assert_frame_equal(r2, before[1], check_names=step != "engine")


def repeat_row(t):
    return pd.concat([t, t.iloc[[3]]])


def repeat_column(t):
    return t.set_axis([t.columns[1], *t.columns[1:]], axis=1)


def with_nat(t):
    return t.set_axis(pd.DatetimeIndex([pd.NaT, *t.index[1:]]), axis=0)


def on_row(t, k, value):
    t = t.copy()
    t.iloc[k] = value
    return t


def one_aware(t):
    return localised(t)


REFUSED = {
    # case: (change, steps that refuse it, message)
    "repeated date": (lambda f, r: (repeat_row(f), r), "dates", r"factor_data|df: the index repeats a date \(2021-03-04"),
    "repeated instrument": (lambda f, r: (repeat_column(f), r), "dates", "the columns repeat an instrument"),
    "returns repeat an instrument": (lambda f, r: (f, repeat_column(r)), PAIRED, "the columns repeat an instrument"),
    "returns repeat a date": (lambda f, r: (f, repeat_row(r)), PAIRED, "the index repeats a date"),
    "integer index": (lambda f, r: (f.reset_index(drop=True), r), "dates", "expect index type=pd.DatetimeIndex"),
    "missing date": (lambda f, r: (with_nat(f), r), "dates", r"the index holds a missing date \(NaT\) at row 0"),
    "factor aware, returns naive": (lambda f, r: (one_aware(f), r), PAIRED,
                                    r"the dates of (factor_data|df) carry a time zone \(Asia/Shanghai\) and those of "
                                    r"(returns|other_factors\[0\]) do not"),
    "returns aware, factor naive": (lambda f, r: (f, one_aware(r)), PAIRED, "carry a time zone"),
    "an infinite return": (lambda f, r: (f, r.mask(r.abs() > 0.05, np.inf)), ANALYSERS,
                           r"returns: \d+ cell\(s\) hold an infinite return or one below -1, the first on 2021-03-0"),
    "a return of -1.5": (lambda f, r: (f, on_row(r, 5, -1.5)), ANALYSERS,
                         r"returns: 30 cell\(s\) hold .* the first on 2021-03-08 00:00:00 for '.*' \(-1.5\)"),
}


@pytest.mark.parametrize("step", list(STEPS))
@pytest.mark.parametrize("case", list(REFUSED))
def test_bad_tables_are_refused_by_the_steps_that_read_them(expected, case, step):
    change, refusing, message = REFUSED[case]
    refusing = [s for s in STEPS if s not in ROW_WISE] if refusing == "dates" else refusing
    f2, r2 = change(*good())
    if step in refusing:
        with pytest.raises(ValueError, match=message):
            run(step, f2, r2)
    elif "return" in case and step == "neutralize_user":
        # As a regressor an infinite value is missing, and -1.5 just a value.
        result = run(step, f2, r2)
        assert result.shape == f2.shape and result.index.equals(f2.index)
    elif "instrument" in case or "date" in case and "returns" not in case:
        # Rows alone: each keeps its own transform, whatever its label.
        result = run(step, f2, r2)
        assert result.shape == f2.shape and result.index.equals(f2.index)
    else:
        assert_values_equal(tables_of(run(step, f2, r2)), expected[step], sort=True)


@pytest.mark.parametrize("step", list(STEPS))
def test_an_infinite_factor_value_stays_out_of_every_result(step):
    f, r = good()
    f.iloc[2, 3], f.iloc[5, 7] = np.inf, -np.inf
    for name, table in tables_of(run(step, f, r)).items():
        if not name.endswith("detail"):
            assert not np.isinf(table.to_numpy(dtype=float)).any(), name


MEET_NOWHERE = {
    "no common date": (lambda f, r: (f, r.set_axis(r.index + pd.DateOffset(years=2), axis=0)),
                       "no date in common, so every result is empty: factor_data runs from 2021-03-01"),
    "no common instrument": (lambda f, r: (f, r.add_prefix("X")),
                             r"no instrument in common, so every result is empty: factor_data holds \[.*and returns \['X"),
}


@pytest.mark.parametrize("step", ["ic", "quantile", "factor_returns", "engine", "neutralize_user"])
@pytest.mark.parametrize("case", list(MEET_NOWHERE))
def test_tables_that_never_meet_warn_with_the_cause(case, step):
    change, message = MEET_NOWHERE[case]
    f2, r2 = change(*good())
    if step == "neutralize_user":
        message = r"Neutralization: (44 of 44 dates|30 of 30 instruments) are missing from other_factors\[0\]"
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        STEPS[step](f2, r2)
    # Other warnings may follow from the same cause (codes without an industry, say).
    assert any(re.search(message, str(w.message)) for w in seen), [str(w.message) for w in seen]


CHILD = SETUP + textwrap.dedent('''
    import json, sys, warnings
    warnings.simplefilter("ignore")
    f, r = good()
    f, r = {"no rows": (f.iloc[:0], r.iloc[:0]), "no instruments": (f.iloc[:, :0], r.iloc[:, :0]),
            "one date": (f.iloc[:1], r.iloc[:1]), "no rows, returns whole": (f.iloc[:0], r)}[sys.argv[1]]
    out = {}
    for name, step in STEPS.items():
        try:
            result = step(f, r)
        except ValueError as exc:
            out[name] = ["ValueError", str(exc)]
            continue
        tables = [result] if isinstance(result, pd.DataFrame) else [
            getattr(v, n) for v in (result.values() if isinstance(result, dict) else [result])
            for n in getattr(v, "_fields", ()) if isinstance(getattr(v, n), pd.DataFrame)]
        out[name] = [[list(t.shape), t.index.nlevels] for t in tables]
    print(json.dumps(out))
''')


@pytest.mark.parametrize("case", ["no rows", "no instruments", "one date", "no rows, returns whole"])
def test_empty_and_tiny_tables_give_results_of_their_shape(case):
    done = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    out = json.loads(done.stdout)
    f, _ = good()
    rows, cols = {"no rows": (0, 30), "no instruments": (len(f), 0), "one date": (1, 30),
                  "no rows, returns whole": (0, 30)}[case]
    for step in (s for s in STEPS if s not in ANALYSERS):
        assert out[step] == [[[rows, cols], 1]], step
    if case == "one date":
        # A holding period needs a later date: the IC and the quantiles refuse, the factor returns warn.
        assert "periods: 1 is not shorter than the returns table (1 rows)" in out["ic"][1]
        assert out["quantile"] == ["ValueError", "Invalid periods, must be less than 1"]
        assert out["engine"][0] == "ValueError"
        return
    for step in ("ic", "quantile", "factor_returns"):
        shapes = out[step]
        assert isinstance(shapes[0], list), (step, shapes)
        per_date = [s for s, levels in shapes if levels == 1]
        # Per-date tables have the factor's dates (none without instruments for the IC's long table).
        assert all(s[0] == (0 if rows == 0 or step == "ic" else rows) for s in per_date), (step, shapes)
    assert isinstance(out["engine"][0], list)

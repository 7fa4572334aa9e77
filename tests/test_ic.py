import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.special
import scipy.stats as st

from quellix.analysis import assaycore as ac

# The IC follows current scipy's conventions for constant and infinite input;
# releases before 1.15 treat some of those cases differently.
current_scipy = pytest.mark.skipif(
    tuple(int(part) for part in scipy.__version__.split(".")[:2]) < (1, 15),
    reason="reference conventions of scipy >= 1.15",
)

FIELDS = ["P_1", "P_5"]


def formatted(seed, n_dates=12, n_ids=9, nan=0.2):
    """A formatted table in the layout _format_factor_data builds, with the usual trouble
    planted: missing values, ties, constant cross-sections, dates with 0, 1 and 2 usable pairs."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=n_dates)
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    index = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    shape = (n_dates, n_ids)
    data = {
        "P_1": rng.normal(size=shape),
        "P_5": rng.integers(0, 3, shape).astype(float),  # heavy ties
        "factor": rng.normal(size=shape),
    }
    for values in data.values():
        values[rng.random(shape) < nan] = np.nan
    f, r1, r5 = data["factor"], data["P_1"], data["P_5"]
    f[1, :] = np.nan
    f[2, 1:] = np.nan                     # one usable pair at most
    f[3, 2:], r1[3, :2], r5[3, :2] = np.nan, [0.5, -0.5], [1.0, 2.0]
    f[3, :2] = [1.0, 2.0]                 # exactly two pairs
    f[4, :] = 7.0                         # constant factor
    r1[5, :] = 0.0                        # constant return
    r1[6, :], f[6, :] = np.arange(n_ids), 2.0 * np.arange(n_ids) + 1.0  # perfect correlation
    r5[7, :], f[7, :] = np.arange(n_ids), -np.arange(n_ids) - 0.0
    f[8, :3] = [-0.0, 0.0, 0.0]           # signed zeros tie
    f[9, 0], r1[9, 1] = np.inf, -np.inf   # kept, not masked
    return pd.DataFrame({k: v.ravel() for k, v in data.items()}, index=index)[FIELDS + ["factor"]]


def reference_pair(corr, y, x):
    mask = ~(np.isnan(y) | np.isnan(x))
    if mask.sum() < 2:
        return 0.0, 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = corr(y[mask], x[mask])
    return float(res[0]), float(res[1])


def reference_ic(fd, rank):
    corr = st.spearmanr if rank else st.pearsonr
    rows = {}
    for date, g in fd.groupby(level="datetime"):
        rows[date] = [reference_pair(corr, g[c].to_numpy(), g["factor"].to_numpy()) for c in FIELDS]
    r = pd.DataFrame({d: [p[0] for p in v] for d, v in rows.items()}, index=FIELDS).T
    p = pd.DataFrame({d: [p[1] for p in v] for d, v in rows.items()}, index=FIELDS).T
    return r, p


def stack_keeping_nan(frame, level):
    try:
        return frame.stack(level, future_stack=True)
    except TypeError:  # pandas < 2.1
        return frame.stack(level, dropna=False)


def reference_decay(fd, ic, max_decay, rank):
    """ic_decay built the long way: pivot, shift, stack, align the factor, drop, per-date IC."""
    corr = st.spearmanr if rank else st.pearsonr
    blocks = [ic.set_index(pd.Index(np.zeros(len(ic), dtype=int), name="decay"), append=True)]
    wide = fd[FIELDS].unstack("order_book_id")
    for d in range(1, max_decay):
        lagged = stack_keeping_nan(wide.shift(-d), "order_book_id").dropna(how="all")
        lagged["factor"] = fd["factor"]
        lagged = lagged.dropna()
        out = {}
        for date, g in lagged.groupby(level="datetime"):
            out[(date, d)] = [reference_pair(corr, g[c].to_numpy(), g["factor"].to_numpy())[0] for c in FIELDS]
        if out:
            block = pd.DataFrame(out, index=FIELDS).T
            block.index.names = ["datetime", "decay"]
            blocks.append(block)
    return pd.concat(blocks).sort_index()


def assert_ic_equal(got, expected):
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=0, atol=1e-12, equal_nan=True)


def assert_p_equal(got, expected):
    np.testing.assert_allclose(got.to_numpy(), expected.to_numpy(), rtol=1e-9, atol=0, equal_nan=True)


def shuffled(fd, seed=3):
    """The same rows in another order: not the product layout."""
    return fd.iloc[np.random.default_rng(seed).permutation(len(fd))]


@current_scipy
@pytest.mark.parametrize("rank", [True, False])
@pytest.mark.parametrize("seed", range(4))
def test_per_date_ic_matches_scipy(rank, seed):
    fd = formatted(seed)
    before = fd.copy()
    with scipy.special.errstate(all="raise"):  # no domain errors for n = 2 or constant input
        ic, p = ac.ICAnalysis(rank_ic=rank)._calc_ic(fd)
    r_ref, p_ref = reference_ic(fd, rank)
    assert ic.index.equals(r_ref.index) and ic.index.name == "datetime"
    assert list(ic.columns) == FIELDS and list(p.columns) == FIELDS
    assert_ic_equal(ic, r_ref)
    assert_p_equal(p, p_ref)
    # Fewer than two usable pairs: zeros, not NaN; constant input: NaN.
    assert (ic.iloc[1] == 0).all() and (p.iloc[2] == 0).all()
    assert np.isnan(ic.iloc[4]).all() and np.isnan(p.iloc[4]).all()
    pd.testing.assert_frame_equal(fd, before)


def test_perfect_rank_correlation_is_bit_exact():
    # spearmanr reports 0.9999999999999999 here; its tiny p-value hangs on that last bit.
    fd = formatted(0)
    ic, p = ac.ICAnalysis()._calc_ic(fd)
    r_ref, p_ref = reference_ic(fd, True)
    np.testing.assert_array_equal(ic.iloc[6:8].to_numpy(), r_ref.iloc[6:8].to_numpy())
    np.testing.assert_array_equal(p.iloc[6:8].to_numpy(), p_ref.iloc[6:8].to_numpy())


@pytest.mark.parametrize("rank", [True, False])
def test_large_cross_sections_use_threads_and_radix_sort(rank):
    rng = np.random.default_rng(11)
    dates = pd.bdate_range("2020-01-01", periods=30)
    ids = ["{:06d}.XSHE".format(i) for i in range(3000)]
    index = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    n = len(index)
    fd = pd.DataFrame({"P_1": np.round(rng.normal(size=n), 2), "P_5": rng.normal(size=n), "factor": rng.normal(size=n)},
                      index=index)
    fd.loc[rng.random(n) < 0.1, "factor"] = np.nan
    fd.loc[rng.random(n) < 0.1, "P_5"] = np.nan
    # Values a few ulps apart, out of position order: the sort must still order them exactly.
    near = fd.index.get_locs([dates[:3]])[::7]
    fd.iloc[near, 1] = 1.0 + rng.permutation(len(near)) * np.finfo(float).eps
    analyser = ac.ICAnalysis(rank_ic=rank, max_decay=4)
    ic, p = analyser._calc_ic(fd)
    r_ref, p_ref = reference_ic(fd, rank)
    assert_ic_equal(ic, r_ref)
    assert_p_equal(p, p_ref)
    decay = analyser._calc_ic_decay(fd, ic)
    pd.testing.assert_frame_equal(decay, reference_decay(fd, ic, 4, rank), check_exact=False, rtol=0, atol=1e-12)


@current_scipy
@pytest.mark.parametrize("rank", [True, False])
@pytest.mark.parametrize("max_decay", [2, 5])
def test_decay_follows_the_lagged_long_table(rank, max_decay):
    fd = formatted(5)
    analyser = ac.ICAnalysis(rank_ic=rank, max_decay=max_decay)
    ic, _ = analyser._calc_ic(fd)
    got = analyser._calc_ic_decay(fd, ic)
    expected = reference_decay(fd, ic, max_decay, rank)
    assert got.index.names == ["datetime", "decay"]
    assert list(got.index) == list(expected.index)
    assert_ic_equal(got, expected)
    # The last d dates have no returns d rows later.
    last = fd.index.levels[0][-1]
    assert list(got.loc[last].index) == [0]


def test_decay_lag_count_and_none():
    fd = formatted(1)
    ic, _ = ac.ICAnalysis()._calc_ic(fd)
    for off in (None, 0):
        assert ac.ICAnalysis(max_decay=off)._calc_ic_decay(fd, ic) is None
    only_lag0 = ac.ICAnalysis(max_decay=1)._calc_ic_decay(fd, ic)
    assert (only_lag0.index.get_level_values("decay") == 0).all()
    np.testing.assert_array_equal(only_lag0.to_numpy(), ic.to_numpy())
    lags = ac.ICAnalysis(max_decay=5)._calc_ic_decay(fd, ic).index.get_level_values("decay")
    assert sorted(set(lags)) == [0, 1, 2, 3, 4]


def test_decay_drops_rows_missing_any_return_field():
    dates = pd.bdate_range("2022-01-03", periods=2)
    ids = ["A", "B", "C", "D"]
    index = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    fd = pd.DataFrame({"P_1": [0.0] * 4 + [1.0, 2.0, 3.0, 4.0],
                       "P_5": [0.0] * 4 + [4.0, np.nan, 1.0, 2.0],
                       "factor": [1.0, 2.0, 3.0, 4.0] + [np.nan] * 4}, index=index)
    decay = ac.ICAnalysis(max_decay=2)._calc_ic_decay(fd, ac.ICAnalysis()._calc_ic(fd)[0])
    # B is dropped for both fields although its P_1 is present: A, C, D remain.
    lagged = decay.xs(1, level="decay").iloc[0]
    assert lagged["P_1"] == pytest.approx(st.spearmanr([1.0, 3.0, 4.0], [1.0, 3.0, 4.0])[0], abs=1e-15)
    assert lagged["P_5"] == pytest.approx(st.spearmanr([4.0, 1.0, 2.0], [1.0, 3.0, 4.0])[0], abs=1e-15)


def reference_industry(fd, labels, rank):
    corr = st.spearmanr if rank else st.pearsonr
    out = {}
    for name, g in fd.groupby(labels.reindex(fd.index), sort=True, observed=True):
        pairs = [reference_pair(corr, g[c].to_numpy(), g["factor"].to_numpy()) for c in FIELDS]
        out[(name, 0)] = [q[0] for q in pairs]
        out[(name, 1)] = [q[1] for q in pairs]
    return pd.DataFrame(out, index=FIELDS).T


@current_scipy
@pytest.mark.parametrize("rank", [True, False])
def test_industry_distribution_pools_dates(rank):
    fd = formatted(2)
    mapping = {"{:06d}.XSHE".format(i): "ind{}".format(i % 3) for i in range(7)}  # two instruments unmapped
    analyser = ac.ICAnalysis(rank_ic=rank, industry_classification=mapping)
    got = analyser._calc_ic_industry_distribute(fd)
    labels = pd.Series([mapping.get(c, "Unknown") for c in fd.index.get_level_values("order_book_id")], index=fd.index)
    expected = reference_industry(fd, labels, rank)
    assert list(got.index) == [(n, k) for n in ["Unknown", "ind0", "ind1", "ind2"] for k in (0, 1)]
    assert_ic_equal(got.xs(0, level=1), expected.xs(0, level=1))
    assert_p_equal(got.xs(1, level=1), expected.xs(1, level=1))
    assert ac.ICAnalysis(rank_ic=rank)._calc_ic_industry_distribute(fd) is None


@pytest.mark.parametrize("rank", [True, False])
def test_industry_pools_long_groups(rank):
    rng = np.random.default_rng(8)
    dates = pd.bdate_range("2020-01-01", periods=30)
    ids = ["{:06d}.XSHE".format(i) for i in range(3000)]
    index = pd.MultiIndex.from_product([dates, ids], names=["datetime", "order_book_id"])
    n = len(index)
    fd = pd.DataFrame({"P_1": np.round(rng.normal(size=n), 3), "P_5": rng.normal(size=n), "factor": rng.normal(size=n)},
                      index=index)
    fd.loc[rng.random(n) < 0.05, "factor"] = np.nan
    fd.iloc[::5, 1] = 0.1 + np.arange(len(fd.iloc[::5])) % 7 * np.finfo(float).eps
    # Returns missing where the factor is present: ranks under a mask of the long group.
    fd.loc[rng.random(n) < 0.05, "P_1"] = np.nan
    mapping = {c: "big" if i < 2500 else "small" for i, c in enumerate(ids)}
    got = ac.ICAnalysis(rank_ic=rank, industry_classification=mapping)._calc_ic_industry_distribute(fd)
    labels = pd.Series([mapping[c] for c in fd.index.get_level_values("order_book_id")], index=fd.index)
    expected = reference_industry(fd, labels, rank)
    assert_ic_equal(got.xs(0, level=1), expected.xs(0, level=1))
    assert_p_equal(got.xs(1, level=1), expected.xs(1, level=1))


def test_industry_rows_without_label_are_left_out():
    fd = formatted(4)
    analyser = ac.ICAnalysis(industry_classification="sws")
    # Only some (date, instrument) pairs carry a label, as a source loader returns.
    pairs = fd.index[::3]
    labels = pd.Series(np.where(np.arange(len(pairs)) % 2, "b", "a"), index=pairs)
    analyser._get_industry_data = lambda _: labels
    valued = np.isfinite(fd["factor"].to_numpy())
    unlabelled = valued & ~fd.index.isin(pairs)
    with pytest.warns(UserWarning, match=r"IC by industry: {} of {} \(date, instrument\) rows with a factor value have "
                                         r"no industry".format(unlabelled.sum(), valued.sum())):
        got = analyser._calc_ic_industry_distribute(fd)
    expected = reference_industry(fd, labels, True)
    assert list(got.index.get_level_values(0).unique()) == ["a", "b"]
    assert_ic_equal(got.xs(0, level=1), expected.xs(0, level=1))
    assert_p_equal(got.xs(1, level=1), expected.xs(1, level=1))


@pytest.mark.parametrize("rank", [True, False])
def test_other_row_layouts_give_the_same_tables(rank):
    fd = formatted(6)
    mapping = {"{:06d}.XSHE".format(i): "ind{}".format(i % 2) for i in range(9)}
    analyser = ac.ICAnalysis(rank_ic=rank, industry_classification=mapping, max_decay=4)
    ic, p = analyser._calc_ic(fd)
    other = shuffled(fd)
    ic2, p2 = analyser._calc_ic(other)
    pd.testing.assert_frame_equal(ic2, ic, check_freq=False)
    pd.testing.assert_frame_equal(p2, p, check_freq=False)
    pd.testing.assert_frame_equal(analyser._calc_ic_decay(other, ic2), analyser._calc_ic_decay(fd, ic))
    pd.testing.assert_frame_equal(analyser._calc_ic_industry_distribute(other),
                                  analyser._calc_ic_industry_distribute(fd))


def test_ic_func_wrapper():
    f_rank, f_lin = ac._get_ic_func(True), ac._get_ic_func()
    y = pd.Series([1.0, np.nan, 3.0, 2.0, 5.0])
    x = pd.Series([2.0, 1.0, np.nan, 1.5, 4.0])
    assert f_rank(y, x) == st.spearmanr([1.0, 2.0, 5.0], [2.0, 1.5, 4.0])
    assert f_lin(y, x) == st.pearsonr([1.0, 2.0, 5.0], [2.0, 1.5, 4.0])
    assert f_rank(pd.Series([1.0, np.nan]), pd.Series([np.nan, 2.0])) == (0, 0)


def test_constructor_checks_and_attributes():
    with pytest.raises(ValueError) as err:
        ac.ICAnalysis(industry_classification=5)
    assert str(err.value) == ("Unsupported industry_classification type, expect one of "
                              "None/str/pd.Series/dict, got type=<class 'int'>")
    with pytest.raises(ValueError) as err:
        ac.ICAnalysis(industry_classification="abc")
    assert str(err.value) == "industry_classification: expect one of ('citics_2019', 'sws'), got abc"
    analyser = ac.ICAnalysis(rank_ic=0, industry_classification="sws", max_decay=3)
    assert list(vars(analyser)) == ["rank_ic", "ic_func", "industry", "max_decay"]
    assert analyser.ic_func is ac._get_ic_func(False)
    assert isinstance(analyser, ac.FactorAnalyser)
    assert ac.ICAnalysis.__init__.__doc__.startswith("因子IC分析")


def test_repeated_column_label_is_refused():
    fd = formatted(0)
    twice = pd.concat([fd, fd["factor"]], axis=1)
    with pytest.raises(ValueError, match="expect one column named 'factor', got 2"):
        ac.ICAnalysis()._calc_ic(twice)


def test_foreign_ic_func_is_refused():
    analyser = ac.ICAnalysis()
    analyser.ic_func = lambda y, x: (1.0, 0.0)
    with pytest.raises(TypeError, match="ic_func"):
        analyser._calc_ic(formatted(0))


def wide_tables(seed=0, n_dates=15, n_ids=6):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=n_dates)
    ids = ["{:06d}.XSHE".format(i) for i in range(n_ids)]
    returns = pd.DataFrame(rng.normal(0, 0.02, (n_dates, n_ids)), index=dates, columns=ids)
    factor = pd.DataFrame(rng.normal(size=(n_dates, n_ids)), index=dates, columns=ids)
    return factor, returns


def test_analysis_sign_rule_and_result():
    factor, returns = wide_tables()
    results = {}
    for rank in (True, False):
        for ascending in (True, False):
            analyser = ac.ICAnalysis(rank_ic=rank, max_decay=3, industry_classification={"000000.XSHE": "x"})
            results[rank, ascending] = analyser.analysis(factor, returns, [1, 2], ascending=ascending)
    flipped, kept = results[True, True], results[True, False]
    assert_ic_equal(flipped.ic, -kept.ic)
    assert_p_equal(flipped.ic_p_value, kept.ic_p_value)
    assert_ic_equal(flipped.ic_decay, -kept.ic_decay)
    pd.testing.assert_frame_equal(results[False, True].ic, results[False, False].ic)
    assert kept.name == "FactorAnalysisStep"
    assert list(kept.ic.columns) == ["P_1", "P_2"]
    # The lags computed alongside the per-date IC equal a separate decay pass.
    analyser = ac.ICAnalysis(max_decay=3)
    fd = ac._format_factor_data(factor, returns, [1, 2])
    fd["factor"] = -fd["factor"]
    pd.testing.assert_frame_equal(results[True, True].ic_decay, analyser._calc_ic_decay(fd, analyser._calc_ic(fd)[0]))

import numpy as np
import pytest
import scipy.stats as st
from statsmodels.stats.multitest import multipletests

from quellix.analysis import inference as inf


def test_deflated_sharpe_ratio_reproduces_the_papers_example():
    # Bailey and Lopez de Prado (2014), numerical example: 100 trials whose annualised Sharpe ratios vary
    # with variance 0.5, the best one annualised 2.5 over five years of daily rows (T = 1250, 250 a
    # year), skewness -3, kurtosis 10. The expected best of 100 is 0.1132 per row; DSR = 0.9004.
    per_row = 2.5 / np.sqrt(250)
    variance = 0.5 / 250
    assert inf.expected_max_sharpe(100, variance) == pytest.approx(0.1132, abs=5e-5)
    assert inf.deflated_sharpe_ratio(per_row, 1250, -3.0, 10.0, 100, variance) == pytest.approx(0.9004, abs=5e-5)


def test_expected_max_sharpe_against_simulated_maxima():
    rng = np.random.default_rng(7)
    for n_trials, sd in ((10, 0.05), (100, 0.02)):
        simulated = (rng.normal(0, sd, (20000, n_trials))).max(axis=1).mean()
        assert inf.expected_max_sharpe(n_trials, sd ** 2) == pytest.approx(simulated, rel=0.03)
    assert inf.expected_max_sharpe(1, 0.3) == 0 and inf.expected_max_sharpe(50, 0.0) == 0
    assert np.isnan(inf.expected_max_sharpe(0, 0.1)) and np.isnan(inf.expected_max_sharpe(5, np.nan))


def test_deflated_sharpe_ratio_with_one_trial_is_the_probabilistic_sharpe_ratio():
    sharpe, rows = 0.05, 500
    normal = st.norm.cdf(sharpe * np.sqrt(rows - 1) / np.sqrt(1 + sharpe ** 2 / 2))
    assert inf.deflated_sharpe_ratio(sharpe, rows, 0.0, 3.0, 1, 0.0) == pytest.approx(normal)
    # More trials, or more spread among them, raise the bar.
    one = inf.deflated_sharpe_ratio(sharpe, rows, 0.0, 3.0, 1, 1e-4)
    many = inf.deflated_sharpe_ratio(sharpe, rows, 0.0, 3.0, 50, 1e-4)
    wider = inf.deflated_sharpe_ratio(sharpe, rows, 0.0, 3.0, 50, 4e-4)
    assert one > many > wider
    # Negative skew and fat tails widen the estimate's error.
    assert inf.deflated_sharpe_ratio(sharpe, rows, -2.0, 9.0, 1, 0.0) < normal


@pytest.mark.parametrize("args", [
    (np.nan, 500, 0.0, 3.0, 10, 1e-4),   # no Sharpe ratio
    (0.05, 1, 0.0, 3.0, 10, 1e-4),       # one row
    (1.0, 500, 5.0, 3.0, 10, 1e-4),      # moments with no positive variance of the estimate
    (0.05, 500, 0.0, 3.0, 10, np.nan),   # unknown spread of the trials
])
def test_deflated_sharpe_ratio_is_missing_when_undefined(args):
    assert np.isnan(inf.deflated_sharpe_ratio(*args))


def test_sharpe_moments_follow_scipy():
    x = np.random.default_rng(3).standard_t(5, 400) * 0.01 + 0.001
    sharpe, rows, skewness, kurtosis = inf.sharpe_moments(np.concatenate([x, [np.nan, np.inf]]))
    assert (sharpe, rows) == pytest.approx((x.mean() / x.std(ddof=1), 400))
    assert (skewness, kurtosis) == pytest.approx((st.skew(x), st.kurtosis(x) + 3))
    assert np.isnan(inf.sharpe_moments([0.01, 0.01])[0]) and inf.sharpe_moments([])[1] == 0


def test_adjusted_p_values_leave_missing_trials_out():
    p = np.array([0.001, np.nan, 0.04, 0.03, 0.2, np.nan, 0.012])
    finite = p[np.isfinite(p)]
    for method in inf.ADJUSTMENTS.values():
        out = inf.adjusted_p_values(p, method)
        assert np.isnan(out[[1, 5]]).all()
        np.testing.assert_allclose(out[np.isfinite(p)], multipletests(finite, method=method)[1])
    assert np.isnan(inf.adjusted_p_values([np.nan, np.nan], "holm")).all()


@pytest.mark.parametrize("decay, lags, expected", [
    (0.08 * 0.5 ** (np.arange(6) / 3), None, 3.0),             # exact exponential, halves in 3 rows
    (-0.08 * 0.5 ** (np.arange(6) / 2), None, 2.0),            # a negative IC decays towards 0 too
    ([0.1, 0.05, 0.025, -0.01, 0.3], None, 1.0),                # the run ends where the sign turns
    ([0.1, np.nan, 0.025], None, np.nan),                       # a missing lag 1 leaves one usable lag
    ([0.1, 0.1, 0.1], None, np.inf),                            # does not decay
    ([0.04, 0.05, 0.02, 0.01], None, None),                     # a bump: the fit's net rate
    ([0.08, 0.04], [0, 2], 2.0),                                # lags given
    ([0.0, 0.05], None, np.nan),
])
def test_ic_half_life(decay, lags, expected):
    got = inf.ic_half_life(decay, lags)
    if expected is None:
        slope = np.polyfit(np.arange(4), np.log(decay), 1)[0]
        expected = np.log(2) / -slope
    if np.isnan(expected):
        assert np.isnan(got)
    else:
        assert got == pytest.approx(expected)

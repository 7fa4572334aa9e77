"""Is a figure real: multiple-testing adjustments, deflated Sharpe ratios and the half-life of an IC.

The adjustments and distributions come from statsmodels and scipy; the deflated Sharpe ratio and the
half-life fit, which no well-kept library offers, are written out here with their sources.
"""

import numpy as np

__all__ = ["EULER_GAMMA", "adjusted_p_values", "expected_max_sharpe", "deflated_sharpe_ratio",
           "sharpe_moments", "ic_half_life", "ADJUSTMENTS"]

EULER_GAMMA = 0.5772156649015329

# Name shown in the tables -> method of statsmodels' multipletests: Holm's family-wise step-down and
# Benjamini-Yekutieli's false-discovery rate, which stays valid under any dependence between the
# factors (screened factors are correlated, so Benjamini-Hochberg's independence is not assumed).
ADJUSTMENTS = {"Holm": "holm", "BY": "fdr_by"}


def adjusted_p_values(p_values, method):
    """p-values adjusted across the trials by statsmodels' `multipletests` (``method``: one of its names).

    Missing p-values (a factor that failed or had too few dates) are not trials: they stay missing and
    the others are adjusted as a family of the finite ones.
    """
    from statsmodels.stats.multitest import multipletests

    p_values = np.asarray(p_values, dtype=float)
    out = np.full(p_values.shape, np.nan)
    finite = np.isfinite(p_values)
    if finite.any():
        out[finite] = multipletests(p_values[finite], method=method)[1]
    return out


def expected_max_sharpe(n_trials, variance):
    """Expected largest of ``n_trials`` independent Sharpe ratios whose true value is 0.

    SR_0 = sqrt(V) ((1 - g) Z^-1(1 - 1/N) + g Z^-1(1 - 1/(N e))), g the Euler-Mascheroni constant and
    Z^-1 the standard normal quantile (Bailey and Lopez de Prado 2014, eq. 2 and the False Strategy
    Theorem). A single trial has nothing to be the best of: 0.
    """
    from scipy.stats import norm

    if not n_trials >= 1 or not np.isfinite(variance) or variance < 0:
        return np.nan
    if n_trials == 1 or variance == 0:
        return 0.0
    return float(np.sqrt(variance) * ((1 - EULER_GAMMA) * norm.ppf(1 - 1.0 / n_trials)
                                      + EULER_GAMMA * norm.ppf(1 - 1.0 / (n_trials * np.e))))


def deflated_sharpe_ratio(sharpe, n_rows, skewness, kurtosis, n_trials, variance):
    """Probability that a Sharpe ratio chosen as the best of ``n_trials`` is above zero in truth.

    Bailey, D. H. and Lopez de Prado, M. (2014), "The Deflated Sharpe Ratio: Correcting for Selection
    Bias, Backtest Overfitting and Non-Normality", Journal of Portfolio Management 40(5), 94-107:

        DSR = Z( (SR - SR_0) sqrt(T - 1) / sqrt(1 - g3 SR + (g4 - 1) / 4 SR^2) )

    with SR the series' Sharpe ratio per row (not annualised), T its number of rows, g3 its skewness,
    g4 its kurtosis (3 for a normal series, not the excess), Z the standard normal distribution, and
    SR_0 = `expected_max_sharpe`(N, V) from the number of trials N and the variance V of the trials'
    per-row Sharpe ratios. With one trial it is the probabilistic Sharpe ratio against 0.

    NaN when an input is missing, T < 2, or the moments give no positive variance of the estimate.
    """
    from scipy.stats import norm

    values = np.array([sharpe, n_rows, skewness, kurtosis], dtype=float)
    if not np.isfinite(values).all() or n_rows < 2:
        return np.nan
    benchmark = expected_max_sharpe(n_trials, variance)
    spread = 1.0 - skewness * sharpe + (kurtosis - 1.0) / 4.0 * sharpe ** 2
    if not np.isfinite(benchmark) or not spread > 0:
        return np.nan
    return float(norm.cdf((sharpe - benchmark) * np.sqrt(n_rows - 1.0) / np.sqrt(spread)))


def sharpe_moments(returns):
    """(per-row Sharpe ratio, rows, skewness, kurtosis) of per-row returns, the inputs of the DSR.

    Non-finite rows are dropped; skewness and kurtosis are scipy's biased sample moments (kurtosis 3
    for a normal series). NaN figures below two rows or without deviation.
    """
    from scipy.stats import kurtosis, skew

    values = np.asarray(returns, dtype=float).ravel()
    values = values[np.isfinite(values)]
    n = len(values)
    std = np.std(values, ddof=1) if n >= 2 else np.nan
    if not std > 0:
        return np.nan, float(n), np.nan, np.nan
    return (float(np.mean(values) / std), float(n), float(skew(values)),
            float(kurtosis(values, fisher=False)))


def ic_half_life(decay, lags=None):
    """Rows over which the mean IC halves, from its means ``decay`` at ``lags`` (default 0, 1, 2, ...).

    An exponential IC_d = IC_0 exp(-k d) is fitted by least squares to log(s IC_d), s the sign of the
    IC at the first lag, over the leading lags that keep that sign; the half-life is log(2) / k. When
    the decay is not monotone, bumps inside that run are averaged by the fit (a rise followed by a fall
    gives the net rate of the run), and the run ends at the first lag that is missing, zero or of the
    other sign, whose log does not exist. NaN when fewer than two lags are usable; inf when the fitted
    IC does not fall (k <= 0).
    """
    values = np.asarray(decay, dtype=float).ravel()
    lags = np.arange(len(values), dtype=float) if lags is None else np.asarray(lags, dtype=float).ravel()
    if len(values) < 2 or not np.isfinite(values[0]) or values[0] == 0:
        return np.nan
    signed = np.sign(values[0]) * values
    usable = np.isfinite(signed) & (signed > 0)
    run = len(values) if usable.all() else int(np.argmin(usable))
    if run < 2:
        return np.nan
    slope = np.polyfit(lags[:run], np.log(signed[:run]), 1)[0]
    # A flat decay fits a slope of rounding size, of either sign.
    return float(np.log(2.0) / -slope) if slope < -1e-12 else np.inf

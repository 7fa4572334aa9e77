"""Statistics of cumulative-return and IC series, shared by the result summaries and plots.

Conventions used throughout:

- A cumulative series C holds the compounded return from before its first row up to each row. Its per-row
  returns are r_0 = C_0 and r_t = (1 + C_t) / (1 + C_{t-1}) - 1. Missing rows are dropped first, so a gap
  does not break the compounding.
- Annualisation assumes 252 trading days a year. Daily rows count 252 a year; intraday rows count
  252 x (the median number of rows per calendar day), so 1-minute bars of a 240-minute session count
  60,480 a year.
- Annualised return: (1 + C_last) ** (rows_per_year / rows) - 1 (geometric); -1 once the series has lost
  everything. Volatility: sample standard deviation of r (ddof 1) x sqrt(rows_per_year). Sharpe ratio:
  mean(r) / std(r) x sqrt(rows_per_year), no risk-free rate.
- Maximum drawdown: the lowest (1 + C_t) / (running peak of 1 + C, starting from 1) - 1, a number <= 0.
"""

import numpy as np
import pandas as pd

__all__ = ["TRADING_DAYS", "rows_per_year", "period_of", "step_returns", "annualised_return", "volatility",
           "sharpe_ratio", "max_drawdown", "drawdown", "share_positive", "mean_t_test", "rank_correlation"]

TRADING_DAYS = 252


def rows_per_year(index):
    """Rows per year of a date index: 252 for daily rows, 252 x median rows per day for intraday rows.

    An index that holds no dates (a plain range, say) is taken as daily.
    """
    if not isinstance(index, pd.DatetimeIndex) or len(index) == 0:
        return float(TRADING_DAYS)
    per_day = pd.Series(index.normalize()).value_counts().median()
    return float(TRADING_DAYS) * max(1.0, float(per_day))


def period_of(column, default=1):
    """Holding period encoded in a return-field name ("P_5" -> 5); `default` for any other name."""
    if isinstance(column, str) and column.startswith("P_") and column[2:].isdigit():
        return max(1, int(column[2:]))
    return default


def _values(series):
    if isinstance(series, (pd.Series, pd.Index)):
        values = series.to_numpy(dtype=float, na_value=np.nan)
    else:
        values = np.asarray(series, dtype=float).ravel()
    return values[~np.isnan(values)]


def step_returns(cumulative):
    """Per-row returns of a cumulative series (missing rows dropped), as a float array."""
    wealth = 1.0 + _values(cumulative)
    before = np.concatenate(([1.0], wealth[:-1]))
    with np.errstate(divide="ignore", invalid="ignore"):
        return wealth / before - 1.0


def annualised_return(cumulative, per_year):
    """Geometric annualised return of a cumulative series; NaN when it is empty."""
    values = _values(cumulative)
    if len(values) == 0:
        return np.nan
    growth = 1.0 + values[-1]
    if growth <= 0:
        # A fractional power of a non-positive number has no real value; all was lost.
        return -1.0
    return float(growth ** (per_year / len(values)) - 1.0)


def volatility(returns, per_year):
    """Annualised standard deviation (ddof 1) of per-row returns; NaN below two finite rows."""
    values = _values(returns)
    values = values[np.isfinite(values)]
    if len(values) < 2:
        return np.nan
    return float(np.std(values, ddof=1) * np.sqrt(per_year))


def sharpe_ratio(returns, per_year):
    """Annualised mean over standard deviation of per-row returns; NaN when the deviation is 0 or unknown."""
    values = _values(returns)
    values = values[np.isfinite(values)]
    if len(values) < 2:
        return np.nan
    std = np.std(values, ddof=1)
    if not std > 0:
        return np.nan
    return float(np.mean(values) / std * np.sqrt(per_year))


def drawdown(cumulative):
    """Drawdown below the running peak per row (missing rows dropped), as a float array of values <= 0."""
    wealth = 1.0 + _values(cumulative)
    peak = np.maximum.accumulate(np.concatenate(([1.0], wealth)))[1:]
    return wealth / peak - 1.0


def max_drawdown(cumulative):
    """Deepest drawdown of a cumulative series, <= 0; NaN when it is empty."""
    dd = drawdown(cumulative)
    return float(dd.min()) if len(dd) else np.nan


def share_positive(values):
    """Share of the non-missing values that are > 0; NaN when there are none."""
    values = _values(values)
    return float(np.mean(values > 0)) if len(values) else np.nan


def mean_t_test(values, lags):
    """t-statistic and two-sided p-value of the mean of a series, with a Newey-West (HAC) standard error.

    The mean is the constant of an OLS of the series on a constant (statsmodels), its covariance HAC with
    `lags` lags (Bartlett kernel, small-sample correction n / (n - 1)) and Student's t on n - 1 degrees of
    freedom. With 0 lags this is the plain one-sample t-test. Lags are capped at n - 1. NaN, NaN when
    fewer than two values remain or all are equal.
    """
    import statsmodels.api as sm

    values = _values(values)
    if len(values) < 2 or np.ptp(values) == 0:
        return np.nan, np.nan
    lags = int(min(max(lags, 0), len(values) - 1))
    fit = sm.OLS(values, np.ones(len(values))).fit(
        cov_type="HAC", cov_kwds={"maxlags": lags, "use_correction": True}, use_t=True)
    return float(fit.tvalues[0]), float(fit.pvalues[0])


def rank_correlation(x, y):
    """Spearman correlation of two equally long sequences over the pairs where both are finite.

    NaN when fewer than two pairs remain or either side is constant (where the correlation is undefined).
    """
    from scipy.stats import spearmanr

    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    keep = np.isfinite(x) & np.isfinite(y)
    x, y = x[keep], y[keep]
    if len(x) < 2 or np.ptp(x) == 0 or np.ptp(y) == 0:
        return np.nan
    return float(spearmanr(x, y)[0])

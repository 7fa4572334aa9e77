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
- Turnover of a row: the one-way share of the portfolio replaced on it (what is sold, equal to what is
  bought). Net per-row returns are r_t - cost x turnover_t, compounded like the gross ones.
"""

import numpy as np
import pandas as pd

__all__ = ["TRADING_DAYS", "rows_per_year", "period_of", "step_returns", "annualised_return", "volatility",
           "sharpe_ratio", "max_drawdown", "drawdown", "share_positive", "mean_t_test", "rank_correlation",
           "DEFAULT_COST", "check_cost", "step_return_series", "net_returns", "factor_turnover"]

TRADING_DAYS = 252

# Cost of one unit of one-way turnover on the A-share market: the unit sold and its replacement bought
# each pay about 0.025% commission, and the sale pays the 0.05% stamp duty (0.1% before 28 August
# 2023), about 0.1% in all. Market impact and the bid-ask spread are not in it.
DEFAULT_COST = 0.001


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


def step_return_series(cumulative):
    """Per-row returns of a cumulative Series, indexed by its non-missing rows (see `step_returns`)."""
    cumulative = pd.Series(cumulative, dtype=float).dropna()
    return pd.Series(step_returns(cumulative), index=cumulative.index)


def check_cost(cost):
    """``cost`` as a float: a finite number >= 0 (a share of the amount traded)."""
    try:
        value = float(cost)
    except (TypeError, ValueError):
        raise TypeError("cost: expect a number (the cost per unit of turnover), got {!r}".format(cost)) from None
    if not np.isfinite(value) or value < 0:
        raise ValueError("cost: expect a finite number >= 0, got {!r}".format(cost))
    return value


def net_returns(returns, turnover, cost):
    """Per-row returns less ``cost`` x turnover; rows without a turnover (nothing held) pay nothing.

    ``returns`` is a Series of per-row returns and ``turnover`` a Series of the same dates (or None: no
    trading known, the returns are left as they are).
    """
    if turnover is None:
        return returns
    traded = pd.Series(turnover, dtype=float).reindex(returns.index).fillna(0.0)
    return returns - cost * traded


def factor_turnover(factor, periods):
    """Per-row one-way turnover of the factor-weighted long-short portfolio, dates x "P_{p}".

    The weights are those of the factor-return step: row t's from the factor of row t - 1, demeaned and
    scaled to absolute weights summing to 1, a period of p rows run as p sub-portfolios renewing on
    staggered rows, an instrument without a weight on a renewal row keeping its earlier one. A renewal
    trades half the summed absolute change of the weights (what is sold equals what is bought); each
    sub-portfolio holds 1/p of the capital and its first renewal, which builds it, is not counted. The
    drift of the weights between renewals is ignored, as in the quantile groups' turnover.
    """
    values = factor.to_numpy(dtype=float, na_value=np.nan)
    shifted = np.full_like(values, np.nan)
    shifted[1:] = values[:-1]
    with np.errstate(invalid="ignore", divide="ignore"):
        demeaned = shifted - np.nanmean(np.where(np.isnan(shifted).all(axis=1, keepdims=True), 0.0, shifted),
                                        axis=1, keepdims=True)
        scale = np.nansum(np.abs(demeaned), axis=1, keepdims=True)
        weights = np.where(scale > 0, demeaned / scale, np.nan)
    periods = [periods] if np.isscalar(periods) else list(periods)
    out = pd.DataFrame(0.0, index=factor.index, columns=["P_{}".format(p) for p in periods])
    for p in periods:
        column = np.zeros(len(values))
        for offset in range(1, p + 1):
            held = pd.DataFrame(weights[offset::p]).ffill().fillna(0.0).to_numpy()
            if len(held) < 2:
                continue
            column[offset + p::p] += np.abs(np.diff(held, axis=0)).sum(axis=1) / 2.0
        out["P_{}".format(p)] = column / p
    return out

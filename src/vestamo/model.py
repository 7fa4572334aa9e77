"""Daily returns of the sample market: a factor model with regimes and a planted reversal.

A stock's return on day t is

    beta_i(t) m(t) + sum_k x_ik(t) f_k(t) + g_s(t) + e_i(t) - c(t) (e_i(t-1) + ... + e_i(t-5))

with the market return m (fat-tailed, its volatility a slow regime), the
style factor returns f_k (persistent premia, so that style bets win and lose
for months), the return g_s of the stock's industry, and the idiosyncratic
return e (fat-tailed, plus rare news jumps, more volatile for small and
high-residual-volatility stocks). The reversal premium c(t) wanders between
regimes around ``REVERSAL`` and now and then changes sign.
"""

import numpy as np
from scipy.signal import lfilter

from .industry import CITICS_2019
from .market import STYLE_FACTORS, exposure_blocks

__all__ = ["REVERSAL", "VARIANCE_SHARES", "DISPERSION", "daily_returns", "slow_regime"]

# Shares of the sum of squared daily returns from each source (see the
# package docstring for how they are measured and where the ranges come
# from), and the range of the median daily cross-sectional dispersion.
VARIANCE_SHARES = {"market": (0.20, 0.45), "industry": (0.05, 0.20), "style": (0.04, 0.20),
                   "idiosyncratic": (0.35, 0.60)}
DISPERSION = (0.015, 0.035)

# Mean premium of the planted five-day reversal, and its regime and daily spread.
REVERSAL = 0.017
_REVERSAL_REGIME, _REVERSAL_DAILY = 0.055, 0.075
_MARKET_VOL, _INDUSTRY_VOL, _IDIO_VOL = 0.0145, 0.009, 0.0175
# Daily volatility of each style factor's return, in STYLE_FACTORS order.
_STYLE_VOL = np.array([0.003, 0.0025, 0.005, 0.002, 0.003, 0.0015, 0.002, 0.0015, 0.003, 0.0025])
_STYLE_MEAN = np.array([0.0, 0.0001, -0.0003, 0.0002, -0.0002, 0.0001, 0.0001, 0.0, -0.0002, 0.0])
_JUMP_RATE, _JUMP_SIZE = 0.012, 0.06
# Premium on the idiosyncratic return of the last three months but one week:
# small on average, it comes and goes, so that price momentum gives mixed results.
_MOMENTUM, _MOMENTUM_REGIME = 0.001, 0.006
_MOMENTUM_WINDOW = (6, 61)
_ROW_BLOCK = 256


def slow_regime(rng, shape, rho):
    """Stationary unit-variance AR(1) paths along the last axis."""
    noise = rng.standard_normal(shape)
    noise[..., 0] /= np.sqrt(1.0 - rho * rho)
    return lfilter([np.sqrt(1.0 - rho * rho)], [1.0, -rho], noise, axis=-1)


def _unit_t(rng, df, shape):
    x = rng.standard_t(df, shape)
    x *= np.sqrt((df - 2.0) / df)
    return x


def _fat_normal(rng, shape):
    """Unit-variance draws with fat tails (kurtosis about 4.5): x + x**3 / 20 of a standard normal,
    a fraction of the cost of Student's t."""
    x = rng.standard_normal(shape)
    cube = np.square(x)
    cube *= 0.05
    cube += 1.0
    x *= cube
    del cube
    x *= 1.0 / np.sqrt(1.0 + 6 * 0.05 + 15 * 0.05 ** 2)
    return x


def _factor_returns(rng, t):
    vol = _MARKET_VOL * np.exp(0.35 * slow_regime(rng, t, 0.985) - 0.35 ** 2 / 2)
    market = 0.0003 + vol * _unit_t(rng, 5, t)
    regime = slow_regime(rng, (len(STYLE_FACTORS), t), 0.995).T
    style = _STYLE_MEAN + _STYLE_VOL * (0.15 * regime + 0.99 * rng.standard_normal((t, len(STYLE_FACTORS))))
    # Industries move more when the market does.
    industry = _INDUSTRY_VOL * np.sqrt(vol / _MARKET_VOL) * rng.standard_normal((len(CITICS_2019), t))
    premium = REVERSAL + _REVERSAL_REGIME * slow_regime(rng, t, 0.97) + _REVERSAL_DAILY * rng.standard_normal(t)
    momentum = _MOMENTUM + _MOMENTUM_REGIME * slow_regime(rng, t, 0.99)
    # Idiosyncratic volatility rises and falls market-wide, and with it the cross-sectional dispersion.
    idio_level = np.exp(0.25 * slow_regime(rng, t, 0.98) - 0.25 ** 2 / 2)
    return market, style, industry, premium, momentum, idio_level


def daily_returns(rng, t, knots, step, listed_pos, end_pos, sectors, drift):
    """Daily simple returns (stocks, days) before price limits, and the reversal premium path.

    ``sectors`` is (sector before, change position, sector after) per stock;
    ``drift`` (stocks, days) or None is added as it is (a delisting's slide).
    """
    n = len(listed_pos)
    market, style, industry, premium, momentum, idio_level = _factor_returns(rng, t)
    returns = np.empty((n, t))
    sigma = np.empty((n, t))
    sector0, change_pos, sector1 = sectors
    beta, size, resvol = (STYLE_FACTORS.index(f) for f in ("beta", "size", "residual_volatility"))
    for a, b, k, x in exposure_blocks(list(knots), step, listed_pos, 0, t, end_pos):
        out = returns[:, a:b]
        if k == beta:
            np.multiply(x, 0.25 * market[a:b], out=out)
            out += market[a:b]
            out += industry[:, a:b][sector0]
            continue
        if k == size:
            np.multiply(x, -0.12, out=sigma[:, a:b])
        elif k == resvol:
            sigma[:, a:b] += 0.2 * x
            np.exp(sigma[:, a:b], out=sigma[:, a:b])
            sigma[:, a:b] *= _IDIO_VOL * idio_level[a:b]
        out += x * style[a:b, k]
    moved = np.flatnonzero(change_pos < t)
    after = np.arange(t)[None, :] >= change_pos[moved, None]
    returns[moved] += after * (industry[sector1[moved]] - industry[sector0[moved]])
    del after
    idio = _fat_normal(rng, (n, t))
    idio *= sigma
    del sigma
    jumps = rng.integers(0, n * t, rng.poisson(_JUMP_RATE * n * t))
    idio.reshape(-1)[jumps] += _JUMP_SIZE * rng.standard_normal(len(jumps))
    returns += idio
    if drift is not None:
        returns += drift
    np.cumsum(idio, axis=1, out=idio)
    near, far = _MOMENTUM_WINDOW
    if t > far:
        for a in range(0, n, _ROW_BLOCK):
            window = idio[a:a + _ROW_BLOCK, far - near:t - near] - idio[a:a + _ROW_BLOCK, :t - far]
            window *= momentum[far:]
            returns[a:a + _ROW_BLOCK, far:] += window
    # The reversal: minus c(t) times the idiosyncratic return of the five days before.
    np.subtract(idio[:, 5:], idio[:, :-5], out=idio[:, 5:])
    idio[:, :-1] *= premium[None, 1:]
    returns[:, 1:] -= idio[:, :-1]
    del idio
    returns[:, 0] = 0.0
    # Beyond any limit anyway; keeps the price path finite.
    np.clip(returns, -0.5, 1.0, out=returns)
    return returns, premium

"""Cross-sectional winsorizing functions, looked up by name.

Each function takes one date's factor values (a Series indexed by
instrument) and returns a new Series with the same index and name, outliers
pulled in to the method's bounds. Missing values stay missing. The bounds are
estimated from the finite values only, so an infinite value does not poison
the statistics; it is clipped to the bound on its side like any outlier.
"""

import numpy as np
import pandas as pd

__all__ = ["WINSORIZE_METHODS", "winsorize_none", "winsorize_mad", "winsorize_std", "winsorize_percentile"]

# Scales the median absolute deviation to the standard deviation of a normal sample.
MAD_SCALE = 1.4826
N_DEVIATIONS = 3.0
PERCENTILES = (0.025, 0.975)


def _values(row):
    if not isinstance(row, pd.Series):
        raise TypeError("row: expect a pandas Series, got {}".format(type(row).__name__))
    values = row.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    return values, values[np.isfinite(values)]


def _clipped(row, values, lower, upper):
    # NaN passes through np.minimum/np.maximum unchanged, which keeps
    # missing values missing.
    np.maximum(values, lower, out=values)
    np.minimum(values, upper, out=values)
    return pd.Series(values, index=row.index, name=row.name)


def winsorize_none(row):
    """Return a copy of the row."""
    values, _ = _values(row)
    return pd.Series(values, index=row.index, name=row.name)


def winsorize_mad(row):
    """Clip to median +- 3 * 1.4826 * median absolute deviation."""
    values, finite = _values(row)
    if finite.size == 0:
        return pd.Series(values, index=row.index, name=row.name)
    median = np.median(finite)
    spread = N_DEVIATIONS * MAD_SCALE * np.median(np.abs(finite - median))
    return _clipped(row, values, median - spread, median + spread)


def winsorize_std(row):
    """Clip to mean +- 3 sample standard deviations (ddof 1)."""
    values, finite = _values(row)
    if finite.size < 2:
        return pd.Series(values, index=row.index, name=row.name)
    mean = finite.mean()
    spread = N_DEVIATIONS * finite.std(ddof=1)
    return _clipped(row, values, mean - spread, mean + spread)


def winsorize_percentile(row):
    """Clip to the 2.5 % and 97.5 % quantiles (linear interpolation)."""
    values, finite = _values(row)
    if finite.size == 0:
        return pd.Series(values, index=row.index, name=row.name)
    lower, upper = np.quantile(finite, PERCENTILES)
    return _clipped(row, values, lower, upper)


WINSORIZE_METHODS = {
    "none": winsorize_none,
    "mad": winsorize_mad,
    "std": winsorize_std,
    "percentile": winsorize_percentile,
}

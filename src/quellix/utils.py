"""Array helpers shared by the factor kernels."""
import operator

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

__all__ = ["rolling_window"]


def rolling_window(x, n):
    """
    滑动窗口视图

    Row i of the result holds x[i], x[i+1], ..., x[i+n-1] (oldest first), so a
    series of length L gives L - n + 1 rows of n values. For an array of more
    than one dimension the windows run along axis 0 and the window becomes the
    last axis: (L, m) gives (L - n + 1, m, n).

    The result is a read-only view of x: no data are copied.
    """
    if isinstance(n, (bool, np.bool_)):
        raise TypeError("window must be an integer, got {!r}".format(n))
    try:
        n = operator.index(n)
    except TypeError:
        raise TypeError("window must be an integer, got {!r}".format(n)) from None
    x = np.asarray(x)
    if x.ndim == 0:
        raise ValueError("rolling_window needs an array of at least one dimension, got a scalar")
    if n < 1:
        raise ValueError("window must be at least 1, got {}".format(n))
    if n > x.shape[0]:
        raise ValueError("window ({}) is larger than the series ({})".format(n, x.shape[0]))
    return sliding_window_view(x, n, axis=0)

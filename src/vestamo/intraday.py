"""A bar's open, high, low, volume and traded value, derived on demand from its close.

Nothing but the close is stored per bar: the other fields are pure
functions of the close, the bar's limits and 64 pseudo-random bits of its
(instrument, day) cell, so they are identical whatever subset a query
selects. All prices stay within the day's limits; a locked day trades at one
price.
"""

import numpy as np

__all__ = ["cell_bits", "prices", "volumes", "traded_value"]

# Locked days trade little: nobody on the other side at the limit price.
_LOCKED_VOLUME = 0.2


def cell_bits(seed, rows, cols):
    """64 pseudo-random bits per (rows[i], cols[i]) cell as four 16-bit quarters."""
    with np.errstate(over="ignore"):
        x = rows.astype(np.uint64)
        x *= np.uint64(0x100000001B3)
        x += np.uint64(seed & 0xFFFFFFFFFFFFFFFF) * np.uint64(0x9E3779B97F4A7C15)
        y = cols.astype(np.uint64)
        y *= np.uint64(0xD1B54A32D192ED03)
        x += y
        del y
        for shift, mult in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
            x ^= x >> np.uint64(shift)
            x *= np.uint64(mult)
        x ^= x >> np.uint64(31)
    return x.view(np.uint16).reshape(-1, 4)


def _uniform(quarters, k, out):
    """Uniform in (0, 1) from the k-th 16-bit quarter of the cell bits, into ``out``."""
    np.add(quarters[:, k], 0.5, out=out)
    out *= 1.0 / 65536.0
    return out


def prices(quarters, close, up, down, locked, out):
    """Open near the close, high and low beyond both, on the tick and within [down, up].

    ``out`` maps "open", "high", "low" to the arrays to fill (an absent key is
    not computed unless another needs it); ``locked`` marks one-price days.
    """
    work = np.empty_like(close)
    open_ = out.get("open", np.empty_like(close))
    _uniform(quarters, 0, open_)
    open_ += _uniform(quarters, 1, work)
    open_ -= 1.0
    open_ *= 0.006 * np.sqrt(6.0)
    np.exp(open_, out=open_)
    open_ *= close
    np.round(open_, 2, out=open_)
    np.clip(open_, down, up, out=open_)
    for name, k, pick, sign, bound in (("high", 2, np.maximum, 1.0, up), ("low", 3, np.minimum, -1.0, down)):
        if name in out:
            edge = pick(open_, close, out=work)
            target = out[name]
            _uniform(quarters, k, target)
            target *= sign * 0.012
            target += 1.0
            target *= edge
            np.round(target, 2, out=target)
            pick(target, edge, out=target)
            # The far side of the range stops at the limit too.
            (np.minimum if sign > 0 else np.maximum)(target, bound, out=target)
    if locked.any():
        for array in out.values():
            array[locked] = close[locked]
    return out


def volumes(quarters, base, locked, out):
    """Volumes in board lots of 100 shares around ``base``; wide-range days trade more."""
    work = np.empty_like(out)
    _uniform(quarters, 2, out)
    out += _uniform(quarters, 3, work)
    out -= 1.0
    out *= 0.5 * np.sqrt(6.0)
    np.exp(out, out=out)
    out *= base
    out[locked] *= _LOCKED_VOLUME
    out /= 100.0
    np.round(out, out=out)
    np.maximum(out, 1.0, out=out)
    out *= 100.0
    return out


def traded_value(open_, high, low, close, volume):
    """The day's traded value: volume at the mean of the four prices, which lies within [low, high]."""
    value = open_ + high
    value += low
    value += close
    value *= 0.25
    value *= volume
    return value

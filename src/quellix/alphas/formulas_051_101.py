"""Alphas 51 to 101, transcribed from the paper's formulas (``m``: the fields, see alpha101.Market)."""
from .functions import (correlation, decay_linear, delay, delta, log, maximum, minimum, product, rank, scale,
                        sign, signedpower, stddev, ts_argmax, ts_argmin, ts_max, ts_min, ts_rank, ts_sum, where)
from .formulas_001_050 import _slope_change


def _mix(a, b, w):
    return a * w + b * (1 - w)


def a51(m):
    return where(_slope_change(m) < -1 * 0.05, 1, (-1 * 1) * (m.close - delay(m.close, 1)))


def a52(m):
    low5 = ts_min(m.low, 5)
    return (((-1 * low5) + delay(low5, 5)) * rank((ts_sum(m.returns, 240) - ts_sum(m.returns, 20)) / 220)
            * ts_rank(m.volume, 5))


def a53(m):
    c, lo, hi = m.close, m.low, m.high
    return -1 * delta(((c - lo) - (hi - c)) / (c - lo), 9)


def a54(m):
    return (-1 * ((m.low - m.close) * (m.open ** 5))) / ((m.low - m.high) * (m.close ** 5))


def a55(m):
    low12 = ts_min(m.low, 12)
    return -1 * correlation(rank((m.close - low12) / (ts_max(m.high, 12) - low12)), rank(m.volume), 6)


def a56(m):
    return 0 - (1 * (rank(ts_sum(m.returns, 10) / ts_sum(ts_sum(m.returns, 2), 3)) * rank(m.returns * m.cap)))


def a57(m):
    return 0 - (1 * ((m.close - m.vwap) / decay_linear(rank(ts_argmax(m.close, 30)), 2)))


def a58(m):
    return -1 * ts_rank(decay_linear(correlation(m.ind(m.vwap), m.volume, 3.92795), 7.89291), 5.50322)


def a59(m):
    mixed = _mix(m.vwap, m.vwap, 0.728317)
    return -1 * ts_rank(decay_linear(correlation(m.ind(mixed), m.volume, 4.25197), 16.2289), 8.19648)


def a60(m):
    c, lo, hi = m.close, m.low, m.high
    return 0 - (1 * ((2 * scale(rank((((c - lo) - (hi - c)) / (hi - lo)) * m.volume)))
                     - scale(rank(ts_argmax(c, 10)))))


def a61(m):
    return rank(m.vwap - ts_min(m.vwap, 16.1219)) < rank(correlation(m.vwap, m.adv(180), 17.9282))


def a62(m):
    left = rank(correlation(m.vwap, ts_sum(m.adv(20), 22.4101), 9.91009))
    right = rank((rank(m.open) + rank(m.open)) < (rank((m.high + m.low) / 2) + rank(m.high)))
    return (left < right) * -1


def a63(m):
    left = rank(decay_linear(delta(m.ind(m.close), 2.25164), 8.22237))
    right = rank(decay_linear(correlation(_mix(m.vwap, m.open, 0.318108), ts_sum(m.adv(180), 37.2467), 13.557),
                              12.2883))
    return (left - right) * -1


def a64(m):
    w = 0.178404
    left = rank(correlation(ts_sum(_mix(m.open, m.low, w), 12.7054), ts_sum(m.adv(120), 12.7054), 16.6208))
    right = rank(delta(_mix((m.high + m.low) / 2, m.vwap, w), 3.69741))
    return (left < right) * -1


def a65(m):
    left = rank(correlation(_mix(m.open, m.vwap, 0.00817205), ts_sum(m.adv(60), 8.6911), 6.40374))
    return (left < rank(m.open - ts_min(m.open, 13.635))) * -1


def a66(m):
    ratio = (_mix(m.low, m.low, 0.96633) - m.vwap) / (m.open - (m.high + m.low) / 2)
    return (rank(decay_linear(delta(m.vwap, 3.51013), 7.23052)) + ts_rank(decay_linear(ratio, 11.4157), 6.72611)) * -1


def a67(m):
    power = rank(correlation(m.ind(m.vwap), m.ind(m.adv(20)), 6.02936))
    return (rank(m.high - ts_min(m.high, 2.14593)) ** power) * -1


def a68(m):
    left = ts_rank(correlation(rank(m.high), rank(m.adv(15)), 8.91644), 13.9333)
    return (left < rank(delta(_mix(m.close, m.low, 0.518371), 1.06157))) * -1


def a69(m):
    base = rank(ts_max(delta(m.ind(m.vwap), 2.72412), 4.79344))
    power = ts_rank(correlation(_mix(m.close, m.vwap, 0.490655), m.adv(20), 4.92416), 9.0615)
    return (base ** power) * -1


def a70(m):
    power = ts_rank(correlation(m.ind(m.close), m.adv(50), 17.8256), 17.9171)
    return (rank(delta(m.vwap, 1.29456)) ** power) * -1


def a71(m):
    left = ts_rank(decay_linear(correlation(ts_rank(m.close, 3.43976), ts_rank(m.adv(180), 12.0647), 18.0175),
                                4.20501), 15.6948)
    right = ts_rank(decay_linear(rank((m.low + m.open) - (m.vwap + m.vwap)) ** 2, 16.4662), 4.4388)
    return maximum(left, right)


def a72(m):
    top = rank(decay_linear(correlation((m.high + m.low) / 2, m.adv(40), 8.93345), 10.1519))
    bottom = rank(decay_linear(correlation(ts_rank(m.vwap, 3.72469), ts_rank(m.volume, 18.5188), 6.86671), 2.95011))
    return top / bottom


def a73(m):
    mixed = _mix(m.open, m.low, 0.147155)
    left = rank(decay_linear(delta(m.vwap, 4.72775), 2.91864))
    right = ts_rank(decay_linear((delta(mixed, 2.03608) / mixed) * -1, 3.33829), 16.7411)
    return maximum(left, right) * -1


def a74(m):
    left = rank(correlation(m.close, ts_sum(m.adv(30), 37.4843), 15.1365))
    right = rank(correlation(rank(_mix(m.high, m.vwap, 0.0261661)), rank(m.volume), 11.4791))
    return (left < right) * -1


def a75(m):
    return rank(correlation(m.vwap, m.volume, 4.24304)) < rank(correlation(rank(m.low), rank(m.adv(50)), 12.4413))


def a76(m):
    left = rank(decay_linear(delta(m.vwap, 1.24383), 11.8259))
    right = ts_rank(decay_linear(ts_rank(correlation(m.ind(m.low), m.adv(81), 8.14941), 19.569), 17.1543), 19.383)
    return maximum(left, right) * -1


def a77(m):
    mid = (m.high + m.low) / 2
    left = rank(decay_linear((mid + m.high) - (m.vwap + m.high), 20.0451))
    right = rank(decay_linear(correlation(mid, m.adv(40), 3.1614), 5.64125))
    return minimum(left, right)


def a78(m):
    base = rank(correlation(ts_sum(_mix(m.low, m.vwap, 0.352233), 19.7428), ts_sum(m.adv(40), 19.7428), 6.83313))
    return base ** rank(correlation(rank(m.vwap), rank(m.volume), 5.77492))


def a79(m):
    left = rank(delta(m.ind(_mix(m.close, m.open, 0.60733)), 1.23438))
    return left < rank(correlation(ts_rank(m.vwap, 3.60973), ts_rank(m.adv(150), 9.18637), 14.6644))


def a80(m):
    base = rank(sign(delta(m.ind(_mix(m.open, m.high, 0.868128)), 4.04545)))
    return (base ** ts_rank(correlation(m.high, m.adv(10), 5.11456), 5.53756)) * -1


def a81(m):
    inner = rank(rank(correlation(m.vwap, ts_sum(m.adv(10), 49.6054), 8.47743)) ** 4)
    left = rank(log(product(inner, 14.9655)))
    return (left < rank(correlation(rank(m.vwap), rank(m.volume), 5.07914))) * -1


def a82(m):
    left = rank(decay_linear(delta(m.open, 1.46063), 14.8717))
    right = ts_rank(decay_linear(correlation(m.ind(m.volume), _mix(m.open, m.open, 0.634196), 17.4842), 6.92131),
                    13.4283)
    return minimum(left, right) * -1


def a83(m):
    spread = (m.high - m.low) / (ts_sum(m.close, 5) / 5)
    return (rank(delay(spread, 2)) * rank(rank(m.volume))) / (spread / (m.vwap - m.close))


def a84(m):
    return signedpower(ts_rank(m.vwap - ts_max(m.vwap, 15.3217), 20.7127), delta(m.close, 4.96796))


def a85(m):
    base = rank(correlation(_mix(m.high, m.close, 0.876703), m.adv(30), 9.61331))
    power = rank(correlation(ts_rank((m.high + m.low) / 2, 3.70596), ts_rank(m.volume, 10.1595), 7.11408))
    return base ** power


def a86(m):
    left = ts_rank(correlation(m.close, ts_sum(m.adv(20), 14.7444), 6.00049), 20.4195)
    return (left < rank((m.open + m.close) - (m.vwap + m.open))) * -1


def a87(m):
    left = rank(decay_linear(delta(_mix(m.close, m.vwap, 0.369701), 1.91233), 2.65461))
    right = ts_rank(decay_linear(abs(correlation(m.ind(m.adv(81)), m.close, 13.4132)), 4.89768), 14.4535)
    return maximum(left, right) * -1


def a88(m):
    left = rank(decay_linear((rank(m.open) + rank(m.low)) - (rank(m.high) + rank(m.close)), 8.06882))
    right = ts_rank(decay_linear(correlation(ts_rank(m.close, 8.44728), ts_rank(m.adv(60), 20.6966), 8.01266),
                                 6.65053), 2.61957)
    return minimum(left, right)


def a89(m):
    left = ts_rank(decay_linear(correlation(_mix(m.low, m.low, 0.967285), m.adv(10), 6.94279), 5.51607), 3.79744)
    right = ts_rank(decay_linear(delta(m.ind(m.vwap), 3.48158), 10.1466), 15.3012)
    return left - right


def a90(m):
    power = ts_rank(correlation(m.ind(m.adv(40)), m.low, 5.38375), 3.21856)
    return (rank(m.close - ts_max(m.close, 4.66719)) ** power) * -1


def a91(m):
    left = ts_rank(decay_linear(decay_linear(correlation(m.ind(m.close), m.volume, 9.74928), 16.398), 3.83219),
                   4.8667)
    right = rank(decay_linear(correlation(m.vwap, m.adv(30), 4.01303), 2.6809))
    return (left - right) * -1


def a92(m):
    left = ts_rank(decay_linear(((m.high + m.low) / 2 + m.close) < (m.low + m.open), 14.7221), 18.8683)
    right = ts_rank(decay_linear(correlation(rank(m.low), rank(m.adv(30)), 7.58555), 6.94024), 6.80584)
    return minimum(left, right)


def a93(m):
    top = ts_rank(decay_linear(correlation(m.ind(m.vwap), m.adv(81), 17.4193), 19.848), 7.54455)
    return top / rank(decay_linear(delta(_mix(m.close, m.vwap, 0.524434), 2.77377), 16.2664))


def a94(m):
    power = ts_rank(correlation(ts_rank(m.vwap, 19.6462), ts_rank(m.adv(60), 4.02992), 18.0926), 2.70756)
    return (rank(m.vwap - ts_min(m.vwap, 11.5783)) ** power) * -1


def a95(m):
    inner = rank(correlation(ts_sum((m.high + m.low) / 2, 19.1351), ts_sum(m.adv(40), 19.1351), 12.8742)) ** 5
    return rank(m.open - ts_min(m.open, 12.4105)) < ts_rank(inner, 11.7584)


def a96(m):
    left = ts_rank(decay_linear(correlation(rank(m.vwap), rank(m.volume), 3.83878), 4.16783), 8.38151)
    inner = ts_argmax(correlation(ts_rank(m.close, 7.45404), ts_rank(m.adv(60), 4.13242), 3.65459), 12.6556)
    return maximum(left, ts_rank(decay_linear(inner, 14.0365), 13.4143)) * -1


def a97(m):
    left = rank(decay_linear(delta(m.ind(_mix(m.low, m.vwap, 0.721001)), 3.3705), 20.4523))
    inner = ts_rank(correlation(ts_rank(m.low, 7.87871), ts_rank(m.adv(60), 17.255), 4.97547), 18.5925)
    return (left - ts_rank(decay_linear(inner, 15.7152), 6.71659)) * -1


def a98(m):
    left = rank(decay_linear(correlation(m.vwap, ts_sum(m.adv(5), 26.4719), 4.58418), 7.18088))
    inner = ts_rank(ts_argmin(correlation(rank(m.open), rank(m.adv(15)), 20.8187), 8.62571), 6.95668)
    return left - rank(decay_linear(inner, 8.07206))


def a99(m):
    mid = (m.high + m.low) / 2
    left = rank(correlation(ts_sum(mid, 19.8975), ts_sum(m.adv(60), 19.8975), 8.8136))
    return (left < rank(correlation(m.low, m.volume, 6.28259))) * -1


def a100(m):
    c, lo, hi = m.close, m.low, m.high
    first = 1.5 * scale(m.ind(m.ind(rank((((c - lo) - (hi - c)) / (hi - lo)) * m.volume))))
    second = scale(m.ind(correlation(c, rank(m.adv(20)), 5) - rank(ts_argmin(c, 30))))
    return 0 - (1 * ((first - second) * (m.volume / m.adv(20))))


def a101(m):
    return (m.close - m.open) / ((m.high - m.low) + 0.001)


FORMULAS = {k: globals()["a{}".format(k)] for k in range(51, 102)}

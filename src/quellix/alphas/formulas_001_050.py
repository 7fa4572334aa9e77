"""Alphas 1 to 50, transcribed from the paper's formulas (``m``: the fields, see alpha101.Market)."""
from .functions import (correlation, covariance, decay_linear, delay, delta, log, minimum, product, rank, scale,
                        sign, signedpower, stddev, ts_argmax, ts_max, ts_min, ts_rank, ts_sum, where)


def a1(m):
    return rank(ts_argmax(signedpower(where(m.returns < 0, stddev(m.returns, 20), m.close), 2.0), 5)) - 0.5


def a2(m):
    return -1 * correlation(rank(delta(log(m.volume), 2)), rank((m.close - m.open) / m.open), 6)


def a3(m):
    return -1 * correlation(rank(m.open), rank(m.volume), 10)


def a4(m):
    return -1 * ts_rank(rank(m.low), 9)


def a5(m):
    return rank(m.open - ts_sum(m.vwap, 10) / 10) * (-1 * abs(rank(m.close - m.vwap)))


def a6(m):
    return -1 * correlation(m.open, m.volume, 10)


def a7(m):
    move = delta(m.close, 7)
    return where(m.adv(20) < m.volume, (-1 * ts_rank(abs(move), 60)) * sign(move), -1 * 1)


def a8(m):
    inner = ts_sum(m.open, 5) * ts_sum(m.returns, 5)
    return -1 * rank(inner - delay(inner, 10))


def _trend_follow(m, d):
    move = delta(m.close, 1)
    return where(0 < ts_min(move, d), move, where(ts_max(move, d) < 0, move, -1 * move))


def a9(m):
    return _trend_follow(m, 5)


def a10(m):
    return rank(_trend_follow(m, 4))


def a11(m):
    gap = m.vwap - m.close
    return (rank(ts_max(gap, 3)) + rank(ts_min(gap, 3))) * rank(delta(m.volume, 3))


def a12(m):
    return sign(delta(m.volume, 1)) * (-1 * delta(m.close, 1))


def a13(m):
    return -1 * rank(covariance(rank(m.close), rank(m.volume), 5))


def a14(m):
    return (-1 * rank(delta(m.returns, 3))) * correlation(m.open, m.volume, 10)


def a15(m):
    return -1 * ts_sum(rank(correlation(rank(m.high), rank(m.volume), 3)), 3)


def a16(m):
    return -1 * rank(covariance(rank(m.high), rank(m.volume), 5))


def a17(m):
    return (((-1 * rank(ts_rank(m.close, 10))) * rank(delta(delta(m.close, 1), 1)))
            * rank(ts_rank(m.volume / m.adv(20), 5)))


def a18(m):
    return -1 * rank((stddev(abs(m.close - m.open), 5) + (m.close - m.open)) + correlation(m.close, m.open, 10))


def a19(m):
    return (-1 * sign((m.close - delay(m.close, 7)) + delta(m.close, 7))) * (1 + rank(1 + ts_sum(m.returns, 250)))


def a20(m):
    return (((-1 * rank(m.open - delay(m.high, 1))) * rank(m.open - delay(m.close, 1)))
            * rank(m.open - delay(m.low, 1)))


def a21(m):
    mean8, sd8, mean2 = ts_sum(m.close, 8) / 8, stddev(m.close, 8), ts_sum(m.close, 2) / 2
    relative = m.volume / m.adv(20)
    return where(mean8 + sd8 < mean2, -1 * 1,
                 where(mean2 < mean8 - sd8, 1, where((1 < relative) | (relative == 1), 1, -1 * 1)))


def a22(m):
    return -1 * (delta(correlation(m.high, m.volume, 5), 5) * rank(stddev(m.close, 20)))


def a23(m):
    return where(ts_sum(m.high, 20) / 20 < m.high, -1 * delta(m.high, 2), 0)


def a24(m):
    change = delta(ts_sum(m.close, 100) / 100, 100) / delay(m.close, 100)
    return where((change < 0.05) | (change == 0.05), -1 * (m.close - ts_min(m.close, 100)), -1 * delta(m.close, 3))


def a25(m):
    return rank((((-1 * m.returns) * m.adv(20)) * m.vwap) * (m.high - m.close))


def a26(m):
    return -1 * ts_max(correlation(ts_rank(m.volume, 5), ts_rank(m.high, 5), 5), 3)


def a27(m):
    return where(0.5 < rank(ts_sum(correlation(rank(m.volume), rank(m.vwap), 6), 2) / 2.0), -1 * 1, 1)


def a28(m):
    return scale((correlation(m.adv(20), m.low, 5) + (m.high + m.low) / 2) - m.close)


def a29(m):
    inner = rank(rank(-1 * rank(delta(m.close - 1, 5))))
    nested = rank(rank(scale(log(ts_sum(ts_min(inner, 2), 1)))))
    return minimum(product(nested, 1), 5) + ts_rank(delay(-1 * m.returns, 6), 5)


def a30(m):
    c = m.close
    signs = (sign(c - delay(c, 1)) + sign(delay(c, 1) - delay(c, 2))) + sign(delay(c, 2) - delay(c, 3))
    return ((1.0 - rank(signs)) * ts_sum(m.volume, 5)) / ts_sum(m.volume, 20)


def a31(m):
    decayed = rank(rank(rank(decay_linear(-1 * rank(rank(delta(m.close, 10))), 10))))
    return (decayed + rank(-1 * delta(m.close, 3))) + sign(scale(correlation(m.adv(20), m.low, 12)))


def a32(m):
    return scale(ts_sum(m.close, 7) / 7 - m.close) + 20 * scale(correlation(m.vwap, delay(m.close, 5), 230))


def a33(m):
    return rank(-1 * ((1 - m.open / m.close) ** 1))


def a34(m):
    return rank((1 - rank(stddev(m.returns, 2) / stddev(m.returns, 5))) + (1 - rank(delta(m.close, 1))))


def a35(m):
    return ((ts_rank(m.volume, 32) * (1 - ts_rank((m.close + m.high) - m.low, 16)))
            * (1 - ts_rank(m.returns, 32)))


def a36(m):
    c, o = m.close, m.open
    return ((((2.21 * rank(correlation(c - o, delay(m.volume, 1), 15))) + (0.7 * rank(o - c)))
             + (0.73 * rank(ts_rank(delay(-1 * m.returns, 6), 5)))) + rank(abs(correlation(m.vwap, m.adv(20), 6)))
            + (0.6 * rank((ts_sum(c, 200) / 200 - o) * (c - o))))


def a37(m):
    return rank(correlation(delay(m.open - m.close, 1), m.close, 200)) + rank(m.open - m.close)


def a38(m):
    return (-1 * rank(ts_rank(m.close, 10))) * rank(m.close / m.open)


def a39(m):
    decayed = decay_linear(m.volume / m.adv(20), 9)
    return (-1 * rank(delta(m.close, 7) * (1 - rank(decayed)))) * (1 + rank(ts_sum(m.returns, 250)))


def a40(m):
    return (-1 * rank(stddev(m.high, 10))) * correlation(m.high, m.volume, 10)


def a41(m):
    return (m.high * m.low) ** 0.5 - m.vwap


def a42(m):
    return rank(m.vwap - m.close) / rank(m.vwap + m.close)


def a43(m):
    return ts_rank(m.volume / m.adv(20), 20) * ts_rank(-1 * delta(m.close, 7), 8)


def a44(m):
    return -1 * correlation(m.high, rank(m.volume), 5)


def a45(m):
    c = m.close
    return -1 * ((rank(ts_sum(delay(c, 5), 20) / 20) * correlation(c, m.volume, 2))
                 * rank(correlation(ts_sum(c, 5), ts_sum(c, 20), 2)))


def _slope_change(m):
    c = m.close
    return (delay(c, 20) - delay(c, 10)) / 10 - (delay(c, 10) - c) / 10


def a46(m):
    change = _slope_change(m)
    return where(0.25 < change, -1 * 1, where(change < 0, 1, (-1 * 1) * (m.close - delay(m.close, 1))))


def a47(m):
    return ((((rank(1 / m.close) * m.volume) / m.adv(20)) * ((m.high * rank(m.high - m.close)) / (ts_sum(m.high, 5) / 5)))
            - rank(m.vwap - delay(m.vwap, 5)))


def a48(m):
    c = m.close
    move = delta(c, 1)
    neutral = m.ind((correlation(move, delta(delay(c, 1), 1), 250) * move) / c)
    return neutral / ts_sum((move / delay(c, 1)) ** 2, 250)


def a49(m):
    return where(_slope_change(m) < -1 * 0.1, 1, (-1 * 1) * (m.close - delay(m.close, 1)))


def a50(m):
    return -1 * ts_max(rank(correlation(rank(m.volume), rank(m.vwap), 5)), 5)


FORMULAS = {k: globals()["a{}".format(k)] for k in range(1, 51)}

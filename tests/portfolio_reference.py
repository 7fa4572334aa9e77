"""The two portfolio analyses written the direct pandas/numpy way, step by step.

Slow (a pass per sub-portfolio, a groupby per group, Python sets for the
turnover), which is why it serves only as the reference on small tables.
Written to run alike on pandas 1.5 to 3: the forward fill that pct_change
used to do by default is spelled out, and stacked tables keep their NaN.
"""

import numpy as np
import pandas as pd


def my_quantile(arr, q=1, labels=None):
    res = np.full(len(arr), 0, dtype=object)
    msk = ~np.isnan(arr)
    res[~msk] = np.nan
    x = arr[msk]
    if len(x) == 0:
        return res
    ls = np.linspace(0, 1, q + 1)
    idx = ls * (len(x) - 1)
    fraction = idx % 1
    pos = idx.astype(int)
    _x = np.sort(x)
    a = _x[pos]
    b = np.roll(_x, -1)[pos]
    bins = a + (b - a) * fraction
    bins[0] -= 1
    res[msk] = labels[np.digitize(x, bins, right=True) - 1]
    return res


def filled_pct_change(table):
    filled = table.ffill()
    return filled / filled.shift(1) - 1


def as_long(table):
    """(label, date) -> value of a dates x labels table, NaN kept."""
    return table.unstack()


def growth(factor, returns):
    return (returns + 1).cumprod().reindex(index=factor.index, columns=factor.columns)


def staggered(values, lv, p, shape):
    """Rows lv, lv+p, ... each repeated p times, fitted, rolled down by lv, first lv rows NaN."""
    out = np.roll(np.resize(np.repeat(values[lv::p], p, axis=0), shape), lv, axis=0)
    out = out.astype(object) if values.dtype == object else out.astype(float)
    out[:lv] = np.nan
    return out


def quantile_analysis(factor_data, returns, periods, quantile=5, ascending=True):
    """(quantile_returns, quantile_turnover, top_minus_bottom, quantile_detail)."""
    rows = len(factor_data)
    unavailable = [p for p in periods if p >= rows]
    periods = [p for p in periods if p not in unavailable]
    factor = factor_data.shift(1)
    tags = np.array(["q{}".format(i) for i in range(1, quantile + 1)])
    cum_returns = growth(factor, returns)
    ranked = factor.rank(axis=1, method="first", ascending=ascending)
    tags_value = np.apply_along_axis(my_quantile, 1, ranked.to_numpy(), q=quantile, labels=tags)
    cum_value = cum_returns.to_numpy()
    div_value = cum_returns.shift(1).to_numpy(copy=True)
    div_value[0] = 1.0
    shape = cum_value.shape
    cells = pd.MultiIndex.from_product([factor.index, factor.columns], names=["datetime", "order_book_id"])
    out_index = pd.MultiIndex.from_product([tags, factor.index], names=["tag", "datetime"])
    quantile_returns = pd.DataFrame(index=out_index)
    quantile_turnover = pd.DataFrame(index=out_index)

    for p in dict.fromkeys(periods):
        period_tags, period_returns = {}, {}
        for lv in range(1, p + 1):
            period_tags[lv] = pd.Series(staggered(tags_value, lv, p, shape).ravel(), index=cells)
            period_returns[lv] = pd.Series((cum_value / staggered(div_value, lv, p, shape)).ravel(), index=cells)

        def level_returns(lv):
            labels = period_tags[lv]
            held = labels.notna()
            values = period_returns[lv][held]
            keys = [labels[held].to_numpy(), values.index.get_level_values("datetime")]
            table = values.groupby(keys).mean().unstack(level=0)  # dates with members x labels
            pct = filled_pct_change(table)
            pct.iloc[::p] = (table.iloc[::p] - 1).to_numpy()
            return as_long(pct)

        def turnover(lv):
            labels = period_tags[lv].dropna()
            out = {}
            for label, cells_of_label in labels.groupby(labels.to_numpy()):
                previous = None
                for date, members in cells_of_label.groupby(level="datetime"):
                    now = set(members.index.get_level_values("order_book_id"))
                    entered = set() if previous is None else now - previous
                    out[(label, date)] = len(entered) / len(now)
                    previous = now
            return pd.Series(out, dtype=float)

        column = "P_{}".format(p)
        per_lv = pd.concat([level_returns(lv) for lv in range(1, p + 1)], axis=1)
        quantile_returns[column] = per_lv.mean(axis=1).reindex(out_index).to_numpy()
        per_lv = pd.concat([turnover(lv) for lv in range(1, p + 1)], axis=1)
        quantile_turnover[column] = per_lv.mean(axis=1).reindex(out_index).to_numpy()

    quantile_returns = quantile_returns.fillna(0)
    long_short = quantile_returns.loc[tags[0]] - quantile_returns.loc[tags[-1]]
    top_minus_bottom = (long_short + 1).cumprod() - 1
    quantile_returns = quantile_returns.groupby(level="tag").transform(lambda x: (1 + x).cumprod() - 1)
    detail = pd.DataFrame(tags_value, index=factor.index, columns=factor.columns)
    return quantile_returns, quantile_turnover, top_minus_bottom, detail


def factor_analysis(factor_data, returns, periods, ascending=True):
    factor = factor_data.shift(1)
    demean = factor.sub(factor.mean(axis=1), axis=0)
    weights = demean.div(demean.abs().sum(axis=1), axis=0)
    if ascending:
        weights = -weights
    cum_returns = growth(factor, returns)
    base = cum_returns.shift(1)
    base.iloc[0] = 1.0
    factor_returns = pd.DataFrame(index=factor.index.rename("datetime"))
    for p in periods:
        res = []
        for lv in range(1, p + 1):
            weight = weights.iloc[lv::p].reindex(factor.index).ffill()
            div_factor = base.iloc[lv::p].reindex(factor.index).ffill()
            wr = (weight * (cum_returns / div_factor - 1)).sum(axis=1)
            change_rate = filled_pct_change(1 + wr)
            change_rate.iloc[lv::p] = wr.iloc[lv::p].to_numpy()
            res.append(change_rate)
        factor_returns["P_{}".format(p)] = pd.concat(res, axis=1).mean(axis=1)
    return (1 + factor_returns.fillna(0)).cumprod() - 1

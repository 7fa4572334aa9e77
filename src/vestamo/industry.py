"""Industry classification histories of the sample market.

Each stock has a true sector (a position in ``CITICS_2019``) and at most one
reclassification. The CITIC history is one row per change; the Shenwan
history is written in three editions whose names differ, each edition
re-issuing every listed stock's classification when it comes into force,
with the same overlapping rows at the edition boundaries as the live service.
"""

import numpy as np
import pandas as pd

__all__ = ["CITICS_2019", "SHENWAN", "SHENWAN_EDITION_STARTS", "citics_history", "shenwan_history"]

CITICS_2019 = (
    "石油石化", "煤炭", "有色金属", "电力及公用事业", "钢铁", "基础化工", "建筑", "建材",
    "轻工制造", "机械", "电力设备及新能源", "国防军工", "汽车", "商贸零售", "消费者服务",
    "家电", "纺织服装", "医药", "食品饮料", "农林牧渔", "银行", "非银行金融", "房地产",
    "交通运输", "电子", "通信", "计算机", "传媒", "综合", "综合金融",
)

# Shenwan name of each CITIC sector, per edition (several sectors share a
# name in the coarser editions).
SHENWAN = {
    1: ("采掘", "采掘", "有色金属", "公用事业", "黑色金属", "化工", "建筑建材", "建筑建材",
        "轻工制造", "机械设备", "机械设备", "交运设备", "交运设备", "商业贸易", "餐饮旅游",
        "家用电器", "纺织服装", "医药生物", "食品饮料", "农林牧渔", "金融服务", "金融服务",
        "房地产", "交通运输", "电子元器件", "信息设备", "信息服务", "信息服务", "综合", "金融服务"),
    2: ("采掘", "采掘", "有色金属", "公用事业", "钢铁", "化工", "建筑装饰", "建筑材料",
        "轻工制造", "机械设备", "电气设备", "国防军工", "汽车", "商业贸易", "休闲服务",
        "家用电器", "纺织服装", "医药生物", "食品饮料", "农林牧渔", "银行", "非银金融",
        "房地产", "交通运输", "电子", "通信", "计算机", "传媒", "综合", "非银金融"),
    3: ("石油石化", "煤炭", "有色金属", "公用事业", "钢铁", "基础化工", "建筑装饰", "建筑材料",
        "轻工制造", "机械设备", "电力设备", "国防军工", "汽车", "商贸零售", "社会服务",
        "家用电器", "纺织服饰", "医药生物", "食品饮料", "农林牧渔", "银行", "非银金融",
        "房地产", "交通运输", "电子", "通信", "计算机", "传媒", "综合", "非银金融"),
}

# Last start date of editions 1 and 2.
SHENWAN_EDITION_STARTS = (pd.Timestamp("2014-01-01"), pd.Timestamp("2021-07-31"))
# When each later edition was published for the stocks already classified.
_EDITION2_ISSUE = pd.Timestamp("2014-01-02")
_EDITION3_ISSUES = (pd.Timestamp("2021-08-01"), pd.Timestamp("2021-08-02"))


def _edition(dates):
    e1, e2 = SHENWAN_EDITION_STARTS
    return np.where(dates > e2, 3, np.where(dates > e1, 2, 1))


def citics_history(codes, first_start, sector0, change_date, sector1):
    """CITIC 2019 change rows as a DataFrame (name, order_book_id, start_date)."""
    names = np.asarray(CITICS_2019, dtype=object)
    moved = ~pd.isna(change_date)
    frame = pd.DataFrame({
        "name": np.concatenate([names[sector0], names[sector1[moved]]]),
        "order_book_id": np.concatenate([codes, codes[moved]]),
        "start_date": np.concatenate([first_start, change_date[moved]]),
    })
    return frame.sort_values(["order_book_id", "start_date"], kind="stable", ignore_index=True)


def shenwan_history(codes, first_start, sector0, change_date, sector1):
    """Shenwan change rows of all three editions (name, order_book_id, start_date, version).

    Rows of an edition other than the one in force at their date are part of
    the history (the service keeps older editions up to date for a while and
    publishes a new edition on its boundary date); they are the rows that
    edition selection discards.
    """
    n = len(codes)
    e1, e2 = SHENWAN_EDITION_STARTS
    moved = ~pd.isna(change_date)
    change = pd.DatetimeIndex(change_date)
    position = np.arange(n)

    def sector_on(date):
        return np.where(moved & (change <= date), sector1, sector0)

    parts = []

    def add(mask, dates, version, sectors):
        mask = np.asarray(mask, dtype=bool)
        if not mask.any():
            return
        dates = pd.DatetimeIndex(np.broadcast_to(np.asarray(dates, dtype="datetime64[ns]"), (n,))[mask])
        names = np.asarray(SHENWAN[version], dtype=object)
        parts.append(pd.DataFrame({
            "name": names[np.asarray(sectors)[mask]],
            "order_book_id": codes[mask],
            "start_date": dates,
            "version": version,
        }))

    first_edition = _edition(first_start)
    for version in (1, 2, 3):
        add(first_edition == version, first_start, version, sector0)
    # Edition 2 published for everything classified under edition 1; some
    # stocks also carry a last edition-1 row and an edition-2 row on the
    # boundary day itself.
    early = first_start <= e1
    add(early, _EDITION2_ISSUE, 2, sector_on(_EDITION2_ISSUE))
    boundary1 = early & (position % 7 == 3)
    add(boundary1, e1, 1, sector_on(e1))
    add(boundary1, e1, 2, sector_on(e1))
    # Edition 3 published on a Sunday for some stocks and the next Monday for
    # others; a few also have rows of both editions on the Saturday boundary.
    before3 = first_start <= e2
    issue3 = np.where(position % 2 == 0, _EDITION3_ISSUES[0].asm8, _EDITION3_ISSUES[1].asm8)
    add(before3, issue3, 3, sector_on(_EDITION3_ISSUES[1]))
    boundary2 = before3 & (first_start < e2 - pd.Timedelta(days=1)) & (position % 5 == 1)
    add(boundary2, e2, 2, sector_on(e2))
    add(boundary2, e2, 3, sector_on(e2))
    # Reclassifications, in the edition in force; those after the edition-3
    # boundary are also written into edition 2.
    change_edition = np.where(moved, _edition(change.fillna(e1).values), 0)
    change_values = change.fillna(e1).values
    for version in (1, 2, 3):
        add(change_edition == version, change_values, version, sector1)
    add(change_edition == 3, change_values, 2, sector1)

    frame = pd.concat(parts, ignore_index=True)
    # One row per (instrument, date, edition): a reclassification (added
    # last) that falls on an issue date replaces the re-issued row.
    frame = frame[~frame.duplicated(["order_book_id", "start_date", "version"], keep="last")]
    return frame.sort_values(["order_book_id", "start_date", "version"], kind="stable", ignore_index=True)

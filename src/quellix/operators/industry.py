"""Industry codes as a dates x instruments array for the evaluator."""
import numpy as np
import pandas as pd

__all__ = ["industry_codes"]


def industry_codes(source, ids, dates):
    """(len(dates), len(ids)) float64 codes of the labels in force on each date; NaN where there is none."""
    from ..analysis import assaycore as ac
    from ..evaluate import _spread

    out = np.full((len(dates), len(ids)), np.nan)
    labels = ac._load_industry_data(list(ids), dates, source)
    if len(labels):
        index = labels.index
        rows = _spread(pd.DatetimeIndex(dates).get_indexer(index.levels[0]), index.codes[0])
        cols = _spread(pd.Index(ids).get_indexer(index.levels[1]), index.codes[1])
        codes = labels.cat.codes.to_numpy()
        keep = (rows >= 0) & (cols >= 0) & (codes >= 0)
        out[rows[keep], cols[keep]] = codes[keep]
    return out

"""Buffer reuse between the nodes of an evaluation: where arrays live changes, nothing else."""
import threading

import numpy as np
import pandas as pd
import pytest

import vestamo
from quellix import execute_factor
from quellix.buffers import BufferPool
from quellix.graph import FactorGraph
from quellix.interface import Factor
from quellix.operators import RANK
from quellix import rolling

try:
    from numpy._core.multiarray import get_handler_name
except ImportError:  # numpy 1.x
    from numpy.core.multiarray import get_handler_name

POOLED = "quellix_block_pool"
BIG = (512, 512)  # 2 MiB of float64


def test_active_only_inside_the_block_and_only_in_this_thread():
    pool = BufferPool()
    outside = get_handler_name()
    seen = []
    with pool.active():
        assert get_handler_name(np.empty(BIG)) == POOLED
        worker = threading.Thread(target=lambda: seen.append(get_handler_name(np.empty(BIG))))
        worker.start()
        worker.join()
        with BufferPool().active():
            pass
        assert get_handler_name() == POOLED  # an inner pool gives the outer one back
    assert seen == [outside]
    assert get_handler_name() == outside
    with pytest.raises(KeyError):
        with pool.active():
            raise KeyError("x")
    assert get_handler_name() == outside


def test_freed_blocks_are_reused_by_requests_of_about_their_size():
    pool = BufferPool(limit_bytes=64 << 20)
    with pool.active():
        a = np.empty(BIG)
        address = a.ctypes.data
        del a
        b = np.full(BIG, 3.0)  # the same block, written over
        assert b.ctypes.data == address
        del b
        zeros = np.zeros(BIG)  # a reused block is cleared when zeros are asked for
        assert not zeros.any()
        del zeros
        small = np.empty((100, 512))  # far smaller than the kept block: not given it
        assert small.ctypes.data != address
    stats = pool.stats()
    assert stats["reused"] == 2 and stats["allocated"] == 1
    assert stats["cached_blocks"] == 1


def test_kept_blocks_stay_within_the_limit_and_close_frees_them():
    pool = BufferPool(limit_bytes=5 << 20)
    with pool.active():
        arrays = [np.ones(BIG) for _ in range(4)]
        keep = arrays.pop()
        del arrays
    stats = pool.stats()
    assert stats["cached_blocks"] == 2 and stats["cached_bytes"] <= 5 << 20
    pool.close()
    assert pool.stats()["cached_bytes"] == 0
    assert keep.sum() == BIG[0] * BIG[1]  # arrays alive are untouched
    keep.resize((1024, 1024), refcheck=False)  # numpy's realloc of a pooled block
    assert keep[:256].sum() == BIG[0] * BIG[1]
    del keep
    assert pool.stats()["cached_bytes"] == 0  # closed: freed blocks are not kept
    with pool.active():
        del_me = np.empty(BIG)
        del del_me
    assert pool.stats()["cached_blocks"] == 1  # active again after close


def test_pools_of_small_blocks():
    # Every array pooled, down to numpy's one-byte allocations of empty arrays.
    pool = BufferPool(min_bytes=0)
    with pool.active():
        arrays = [np.empty(0), np.ones(3), np.arange(17.0), np.zeros(5)]
        assert arrays[2][-1] == 16 and not arrays[3].any()
        del arrays
        again = np.ones(3)
    assert again.sum() == 3 and pool.stats()["reused"] >= 1


def test_arrays_outlive_their_pool():
    pool = BufferPool()
    with pool.active():
        table = pd.DataFrame(np.arange(BIG[0] * BIG[1], dtype=float).reshape(BIG))
    del pool
    assert table.to_numpy()[-1, -1] == BIG[0] * BIG[1] - 1
    del table


def test_evaluations_close_their_pools():
    ids = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:300]
    factors = {"rank": RANK(rolling.MA(Factor("close"), 5)), "sum": rolling.SUM(Factor("volume"), 10)}
    dates = pd.DatetimeIndex(vestamo.get_trading_dates("2021-01-01", "2021-12-31"))
    graph = FactorGraph(factors, ids, dates)
    frames = {name: graph.frame(name) for name in graph.names()}
    assert graph._buffers.stats()["cached_bytes"] == 0
    for name, factor in factors.items():
        alone = execute_factor(factor, ids, dates[0], dates[-1])
        pd.testing.assert_frame_equal(frames[name], alone, check_exact=True)
        assert get_handler_name() != POOLED

import threading
import time

import pandas as pd
import pytest

import vestamo


@pytest.fixture
def market():
    market = vestamo.make_market(n_stocks=10, start_date="2020-01-01", end_date="2020-06-30", seed=3)
    previous = vestamo.set_market(market)
    yield market
    vestamo.set_market(previous)


def test_identical_queries_share_one_answer_inside_the_block_only(market):
    codes = vestamo.all_instruments(type="CS")["order_book_id"].tolist()[:4]
    memo = vestamo.QueryMemo()
    outside = vestamo.get_style_factor_exposure(codes, "2020-02-03", "2020-03-31")
    with memo.active():
        first = vestamo.get_style_factor_exposure(codes, "2020-02-03", "2020-03-31")
        # The same question asked with other spellings of the same codes, dates and factors.
        again = vestamo.get_style_factor_exposure(tuple(codes), pd.Timestamp("2020-02-03"), "20200331",
                                                  factors=list(market.style_factors))
        other = vestamo.get_style_factor_exposure(codes[:3], "2020-02-03", "2020-03-31")
        close = vestamo.get_price(codes, "2020-02-03", "2020-03-31", fields="close", expect_df=False)
        frame = vestamo.get_price(codes, "2020-02-03", "2020-03-31", fields="close")
        assert vestamo.get_price(codes, "2020-02-03", "2020-03-31", fields="close", expect_df=False) is close
        seen_in_thread = []
        thread = threading.Thread(target=lambda: seen_in_thread.append(
            vestamo.get_style_factor_exposure(codes, "2020-02-03", "2020-03-31")))
        thread.start()
        thread.join()
    assert again is first and other is not first and len(memo) == 4
    pd.testing.assert_frame_equal(first, outside)
    assert isinstance(close, pd.Series) and isinstance(frame, pd.DataFrame)
    pd.testing.assert_series_equal(close, frame["close"])
    # A thread that did not enter the block asks the market itself.
    assert seen_in_thread[0] is not first
    assert vestamo.get_style_factor_exposure(codes, "2020-02-03", "2020-03-31") is not first
    # Another market is another question.
    twin = vestamo.make_market(n_stocks=10, start_date="2020-01-01", end_date="2020-06-30", seed=3)
    with memo.active():
        vestamo.set_market(twin)
        assert vestamo.get_style_factor_exposure(codes, "2020-02-03", "2020-03-31") is not first


def test_concurrent_askers_wait_for_one_computation_and_failures_are_not_kept():
    memo = vestamo.QueryMemo()
    calls = []

    def slow():
        calls.append(1)
        time.sleep(0.05)
        return object()

    answers = []
    threads = [threading.Thread(target=lambda: answers.append(memo.answer("k", slow))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(calls) == 1 and all(a is answers[0] for a in answers)

    def fails():
        raise OSError("disk gone")

    with pytest.raises(OSError, match="disk gone"):
        memo.answer("f", fails)
    assert memo.answer("f", lambda: 5) == 5
    # A copy (a worker's, say) starts without the answers.
    import pickle

    assert len(pickle.loads(pickle.dumps(memo))) == 0

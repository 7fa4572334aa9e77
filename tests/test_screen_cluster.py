import os
import sys

import pandas as pd
import pytest

import quellix
import quellix.rolling as R
import vestamo
from quellix.analysis import assaycore as ac
from quellix.interface import Factor
from quellix.screening import default_steps

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

START, END = "2019-03-01", "2019-10-31"
# Some factors here have values for instruments listed after the screen (a
# rank of missing volumes); the warning that they lack exposures is tested elsewhere.
pytestmark = pytest.mark.filterwarnings("ignore:Neutralization:UserWarning")
PERIODS = [1, 5]


class DiesOnce(ac.FactorPreprocessor):
    """Passes the table through; the first time it runs in a cluster worker, that worker dies."""

    def __init__(self, marker):
        self.marker = marker

    def process(self, factor_data):
        try:
            distributed.get_worker()
        except ValueError:
            return factor_data
        try:
            fd = os.open(self.marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return factor_data
        os.close(fd)
        os._exit(1)


@pytest.fixture(scope="module")
def market():
    market = vestamo.make_market(n_stocks=30, start_date="2019-01-01", end_date="2019-12-31", seed=31)
    previous = vestamo.set_market(market)
    yield market
    vestamo.set_market(previous)


@pytest.fixture(scope="module")
def client(market):
    # The workers receive the steps defined here by value: they cannot import this file.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=40)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()
    cloudpickle.unregister_pickle_by_value(sys.modules[__name__])


def factors(universe):
    close, volume = Factor("close"), Factor("volume")
    return {
        "reversal": R.MA(close, 5) / close - 1,
        "momentum": R.MA(close, 10) / R.MA(close, 40) - 1,
        "volatility": R.STD(close / R.MA(close, 10), 10),
        "volume": R.TS_RANK(volume, 10),
        "broken": R.MA(close, 0.5),
        "ready": -quellix.execute_factor(R.MA(close, 3), universe, START, END),
    }


def test_cluster_run_equals_the_local_run_when_a_worker_dies_during_it(market, client, tmp_path):
    universe = vestamo.all_instruments(type="CS")["order_book_id"].tolist()
    candidates = factors(universe)
    marker = tmp_path / "died"
    steps = [("dies_once", DiesOnce(str(marker)))] + default_steps()
    # The market reaches the workers with the inputs: they would otherwise serve their default one.
    assert vestamo.get_market() is market
    local = quellix.screen(candidates, universe, START, END, periods=PERIODS, steps=steps, keep_results=True,
                           progress=False, workers=1)
    assert not marker.exists()
    remote = quellix.screen(candidates, universe, START, END, periods=PERIODS, steps=steps, client=client,
                            batch_size=1, keep_results=True, progress=False)
    assert marker.exists()  # one task took its worker down; the scheduler ran it again elsewhere
    pd.testing.assert_frame_equal(remote.summary, local.summary, check_exact=True)
    pd.testing.assert_frame_equal(remote.correlation, local.correlation, check_exact=True)
    assert remote.errors.keys() == {"broken"}
    for name in ("reversal", "ready"):
        for step in ("ic", "quantile"):
            for field, value in vars(local.results(name)[step]).items():
                if isinstance(value, pd.DataFrame):
                    pd.testing.assert_frame_equal(getattr(remote.results(name)[step], field), value,
                                                  check_exact=True)

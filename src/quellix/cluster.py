"""Running a screen's factors as tasks on a dask.distributed cluster.

The shared inputs (the market, the field arrays, the returns, the pipeline)
go to every worker once; each task evaluates a batch of expressions as one
graph on its worker and runs their pipelines there. Tasks are pure: a task
lost with its worker is run again by the scheduler and gives the same rows.

Expressions and steps hold functions of the C++ modules, which pickle by
name here (the workers import the same modules), and a data folder pickles
as its path (the workers open it themselves).
"""
import importlib
import io
import threading
import uuid

import vestamo
from vestamo.store import ParquetStore, open_store

from . import rolling
from .analysis import assaycore
from .graph import FactorGraph
from .screening import Shared, run_factor

__all__ = ["run_on_cluster", "portable_dumps"]

# Tasks per worker thread when the batch size is not given: enough to even out the load.
_TASKS_PER_THREAD = 4
_market_lock = threading.Lock()


def _module_attribute(module, name):
    return getattr(importlib.import_module(module), name)


def _ic_func(rank):
    return assaycore._get_ic_func(rank)


def _named_functions():
    named = {}
    for module in (rolling, assaycore):
        for name in dir(module):
            value = getattr(module, name)
            if type(value).__name__ == "builtin_function_or_method":
                named[id(value)] = (module.__name__, name)
    return named


def portable_dumps(obj):
    """Pickle ``obj`` (with cloudpickle) so that another process with quellix installed can load it."""
    import cloudpickle

    named = _named_functions()
    rank_funcs = {id(assaycore._get_ic_func(True)): True, id(assaycore._get_ic_func(False)): False}

    class Pickler(cloudpickle.Pickler):
        def reducer_override(self, value):
            key = id(value)
            if key in named and _module_attribute(*named[key]) is value:
                return _module_attribute, named[key]
            if key in rank_funcs:
                return _ic_func, (rank_funcs[key],)
            if isinstance(value, ParquetStore):
                return open_store, (str(value.folder),)
            return super().reducer_override(value)

    buffer = io.BytesIO()
    Pickler(buffer, protocol=5).dump(obj)
    return buffer.getvalue()


def _portable_loads(data):
    import pickle

    return pickle.loads(data)


class Portable:
    """Carries an object to the workers through `portable_dumps`; ``.value`` is the object."""

    def __init__(self, value):
        self.value = value

    def __reduce__(self):
        return _from_portable, (portable_dumps(self.value),)


def _from_portable(data):
    return Portable(_portable_loads(data))


class _Inputs:
    """The screen's shared inputs on their way to the workers.

    Arrays and tables travel as dask sends them (without extra copies); only the steps and the
    market, which may hold functions of the C++ modules or an open data folder, go through
    `portable_dumps`.
    """

    def __init__(self, shared):
        self.shared = shared

    def __reduce__(self):
        state = self.shared.__getstate__()
        portable = portable_dumps((state.pop("steps"), state.pop("market")))
        return _inputs_from, (state, portable)


def _inputs_from(state, portable):
    steps, market = _portable_loads(portable)
    shared = Shared.__new__(Shared)
    shared.__setstate__(dict(state, steps=steps, market=market))
    return _Inputs(shared)


def _use_market(market):
    # Each worker answers the steps' queries from the screen's market; tasks of one screen all ask
    # for the same one, so it is installed once per worker.
    with _market_lock:
        if vestamo.get_market() is not market:
            vestamo.set_market(market)


def run_batch(shared, batch):
    """The outcomes of one batch of factors on a worker (see `screening.run_factor`)."""
    shared = shared.shared
    expressions, tables = batch.value
    _use_market(shared.market)
    graph = FactorGraph(expressions, shared.ids, shared.out_dates, data=shared.data, history=shared.history)
    outcomes = [run_factor(shared, name, graph) for name in graph.names()]
    outcomes += [run_factor(shared, name, table) for name, table in tables.items()]
    return outcomes


def _batches(names, size):
    return [names[i:i + size] for i in range(0, len(names), size)]


def run_on_cluster(client, shared, expressions, tables, names, bar, batch_size=None):
    """Run the factors ``names`` on the cluster of ``client``; outcomes in the order of ``names``."""
    from distributed import as_completed

    if batch_size is None:
        threads = sum(client.nthreads().values()) or 1
        batch_size = max(1, -(-len(names) // (threads * _TASKS_PER_THREAD)))
    elif isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError("batch_size: expect a positive int, got {!r}".format(batch_size))
    token = uuid.uuid4().hex
    remote = client.scatter(_Inputs(shared), broadcast=True, hash=False)
    futures, members = [], {}
    for k, batch in enumerate(_batches(names, batch_size)):
        payload = Portable(({n: expressions[n] for n in batch if n in expressions},
                            {n: tables[n] for n in batch if n in tables}))
        future = client.submit(run_batch, remote, payload, pure=True, key="quellix-screen-{}-{}".format(token, k))
        futures.append(future)
        members[future.key] = batch
    outcomes = {}
    try:
        for future in as_completed(futures):
            try:
                done = future.result()
            except Exception as exc:  # noqa: BLE001 - e.g. a task whose workers kept dying
                error = "{}: {}".format(type(exc).__name__, exc)
                done = [(name, None, None, error, 0.0, None) for name in members[future.key]]
            for outcome in done:
                outcomes[outcome[0]] = outcome
                bar.done(outcome[0], outcome[4])
            future.release()
    finally:
        for future in futures:
            future.cancel()
        remote.cancel()
    return [outcomes[name] for name in names]

"""Screening many candidate factors in one call.

Every factor goes through the same engine pipeline as a separate
``execute_factor`` + ``FactorAnalysisEngine.analysis(..., "daily")`` run, and
its figures equal that run's. What the runs have in common is done once:
one price fetch for every field the expressions use, identical
sub-expressions evaluated once (`quellix.graph`), the forward returns
computed once per factor layout, and the client's answers to repeated
questions (style exposures, benchmark prices) shared through a
`vestamo.QueryMemo`. Factors run on a thread pool (the C++ cores release
the GIL) or, with ``client=``, as tasks on a dask.distributed cluster.
"""
import concurrent.futures
import io
import os
import threading
import time

import numpy as np
import pandas as pd

import vestamo
from vestamo.utils import in_ns

from .analysis import assaycore as ac
from .analysis import holdout
from .analysis import performance as perf
from .analysis.analysis_result import FactorReturnAnalysisResult
from .evaluate import instrument_list
from .graph import FactorGraph
from .interface import AbstractFactor
from .progress import Progress
from .screen_figures import headline
from .screen_result import ScreenResult

__all__ = ["screen", "default_steps", "headline", "ScreenResult"]

# Cells (factors x dates x instruments) of cross-sectional ranks kept for the correlation matrix; beyond
# it the dates are thinned evenly.
CORRELATION_CELLS = 5 * 10**7


def default_steps():
    """The pipeline a screen runs for each factor unless given another one."""
    return [
        ("winsorize", ac.Winzorization("mad")),
        ("neutralize", ac.Neutralization(industry="citics_2019", style_factors="all")),
        ("normalize", ac.Normalization()),
        ("ic", ac.ICAnalysis(rank_ic=True, industry_classification="citics_2019", max_decay=10)),
        ("quantile", ac.QuantileReturnAnalysis(quantile=5)),
        ("factor_returns", ac.FactorReturnAnalysis()),
    ]


def _step_list(steps):
    if steps is None:
        return default_steps()
    if isinstance(steps, ac.FactorAnalysisEngine):
        steps = list(steps.preprocess_pipelines) + list(steps.analysis_pipelines.items())
    try:
        pairs = [tuple(step) for step in steps]
    except TypeError:
        raise TypeError("steps: expect a list of (name, step) pairs or a FactorAnalysisEngine, got {!r}".format(
            steps)) from None
    if not pairs:
        raise ValueError("steps: expect at least one (name, step) pair, got none")
    engine = ac.FactorAnalysisEngine()
    for pair in pairs:
        engine.append(pair)  # the engine's own checks of names and kinds, once, before any run
    return pairs


def _engine(steps):
    engine = ac.FactorAnalysisEngine()
    for pair in steps:
        engine.append(pair)
    return engine


class _ReturnsProbe(ac.FactorAnalyser):
    """Hands back the returns the engine computed, so a screen gets exactly a separate run's."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        return returns


class _FactorProbe(ac.FactorAnalyser):
    """Hands back the preprocessed factor table the analysers were given."""

    def analysis(self, factor_data, returns, periods, ascending=True):
        return factor_data


# The probe's step name: an object no user step can be named.
_FACTOR_PROBE = object()


def _analyse(steps, table, returns, ascending, periods):
    """The engine's results, the factor-return portfolios given their turnover (which the step lacks)."""
    engine = _engine(steps)
    wants_turnover = any(isinstance(step, ac.FactorReturnAnalysis) for _, step in steps)
    if wants_turnover:
        engine.append((_FACTOR_PROBE, _FactorProbe()))
    results = engine.analysis(table, returns, ascending=ascending, periods=periods)
    if wants_turnover:
        factor = results.pop(_FACTOR_PROBE)
        for result in results.values():
            if isinstance(result, FactorReturnAnalysisResult):
                result.turnover = perf.factor_turnover(
                    factor, [perf.period_of(c) for c in result.factor_returns.columns])
    return results


def daily_returns(table, periods):
    """The "daily" returns table the engine computes for a factor table of this layout."""
    engine = ac.FactorAnalysisEngine()
    engine.append(("returns", _ReturnsProbe()))
    return engine.analysis(table, "daily", periods=periods)["returns"]


def _layout(table):
    return (tuple(in_ns(pd.DatetimeIndex(table.index)).asi8.tolist()), tuple(table.columns))


def _correlation_dates(out_dates, n_factors, n_ids):
    keep = max(2, CORRELATION_CELLS // max(1, n_factors * n_ids))
    if len(out_dates) <= keep:
        return out_dates
    return out_dates[np.unique(np.linspace(0, len(out_dates) - 1, keep).round().astype(int))]


def cross_section_ranks(table, dates, ids):
    """Average ranks of each date's values among the instruments (NaN stays NaN), float32, dates x ids."""
    values = table.reindex(index=dates, columns=ids)
    return values.rank(axis=1).to_numpy(dtype=np.float32, na_value=np.nan)


class Shared:
    """What every factor's run of one screen reads: its settings and the inputs computed once.

    Each worker of a cluster receives one copy (see `quellix.cluster`); the memo of client answers
    starts empty in every process that holds a copy.
    """

    def __init__(self, *, market, ids, out_dates, periods, ascending, steps, returns, corr_dates,
                 keep_results, data, history, cost=perf.DEFAULT_COST, split=None):
        self.market, self.ids, self.out_dates = market, ids, out_dates
        self.periods, self.ascending, self.steps = periods, ascending, steps
        self.cost, self.split = cost, split
        self.returns, self.corr_dates, self.keep_results = returns, corr_dates, keep_results
        self.data, self.history = data, history
        # numpy's error state is per thread and per process: pool threads and
        # cluster workers start from the default, so each run restores the caller's.
        self.errstate = np.geterr()
        self.memo = vestamo.QueryMemo()

    def __getstate__(self):
        state = dict(self.__dict__)
        del state["memo"]
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self.memo = vestamo.QueryMemo()


def run_factor(shared, name, source):
    """One factor's run: (name, headline or None, ranks or None, error or None, seconds, results or None).

    ``source`` is a FactorGraph holding the factor or its ready table.
    """
    start = time.perf_counter()
    try:
        with shared.memo.active(), np.errstate(**shared.errstate):
            table = source.frame(name) if isinstance(source, FactorGraph) else source
            returns = shared.returns[_layout(table)]
            results = _analyse(shared.steps, table, returns, shared.ascending, shared.periods)
            figures = headline(results, shared.cost, shared.split)
            ranks = cross_section_ranks(table, shared.corr_dates, shared.ids)
    except Exception as exc:  # noqa: BLE001 - a failing factor gets its error row, the others go on
        return name, None, None, "{}: {}".format(type(exc).__name__, exc), time.perf_counter() - start, None
    return name, figures, ranks, None, time.perf_counter() - start, results if shared.keep_results else None


def _split(factors):
    if not isinstance(factors, dict) or not factors:
        raise TypeError("factors: expect a non-empty dict of names to factor expressions or tables, got {!r}".format(
            type(factors).__name__ if isinstance(factors, dict) else factors))
    expressions, tables, errors = {}, {}, {}
    for name, factor in factors.items():
        if isinstance(factor, AbstractFactor):
            expressions[name] = factor
        elif isinstance(factor, pd.DataFrame):
            tables[name] = factor
        else:
            errors[name] = "TypeError: expect a factor expression or a dates x instruments DataFrame, got {}".format(
                type(factor).__name__)
    return expressions, tables, errors


def _returns_for(tables, layout_of, periods, errors):
    """The "daily" returns of each distinct layout, from its first table; a failure marks its tables."""
    returns, failed = {}, {}
    for name, table in tables.items():
        key = layout_of[name]
        if key in failed:
            errors[name] = failed[key]
        elif key not in returns:
            try:
                returns[key] = daily_returns(table, periods)
            except Exception as exc:  # noqa: BLE001 - the factor gets its error row
                errors[name] = failed[key] = "{}: {}".format(type(exc).__name__, exc)
    return returns


def screen(factors, universe, start_date, end_date, periods=(1, 5, 10, 20), steps=None, client=None,
           ascending=False, keep_results=False, progress=True, workers=None, batch_size=None,
           cost=perf.DEFAULT_COST, split=None):
    """
    Test many factors at once and rank them.

    Parameters
    ----------
    factors : dict
        Names to factor expressions (built with the rolling operators) or to ready dates x instruments
        tables (used as they are; ``universe`` and the dates apply to the expressions).
    universe : list of str
        Instruments the expressions are evaluated for.
    start_date, end_date : date-like
    periods : int or list of int
        Holding periods, as for ``FactorAnalysisEngine.analysis``.
    steps : list of (name, step) pairs or FactorAnalysisEngine, optional
        The pipeline run for every factor; `default_steps()` when None.
    client : dask.distributed.Client, optional
        Run the factors as tasks on this cluster (``pip install quellix[distributed]``).
    ascending : bool
        As for the engine: False means larger values are better.
    keep_results : bool
        Keep every factor's full results in memory; otherwise `ScreenResult.results(name)` recomputes
        one on request.
    progress : bool or file-like
        A line per finished factor (and a bar on a terminal) on stderr or the given stream.
    workers : int, optional
        Threads for a local run (default: the machine's cores).
    batch_size : int, optional
        Factors per cluster task (default: about four tasks per worker thread).
    cost : float
        Cost per unit of one-way turnover behind the net figures (default
        `quellix.analysis.performance.DEFAULT_COST`: commission and stamp duty on the A-share market).
    split : date-like, optional
        Hold out the dates from this one on: every figure is given before it (" before", the sample a
        factor is chosen on), from it on (" after") and, for effect sizes, after/before.

    Returns
    -------
    ScreenResult
        `summary` (one row per factor: headline figures, the adjustments for the number of trials and any
        error; `table()` and `ranked()` show the headline few for one period), `correlation` (mean
        cross-sectional rank correlation between the factors) and each factor's full results.
    """
    expressions, tables, errors = _split(factors)
    ids = instrument_list(universe)
    periods = list(periods) if isinstance(periods, (list, tuple)) else periods
    steps = _step_list(steps)
    cost = perf.check_cost(cost)
    out_dates = in_ns(pd.DatetimeIndex(vestamo.get_trading_dates(start_date, end_date)))
    if expressions and len(out_dates) == 0:
        raise ValueError("start_date, end_date: no trading dates from {} to {}".format(start_date, end_date))
    if split is not None:
        split = holdout.split_date(split, out_dates if len(out_dates) or not tables
                                   else next(iter(tables.values())).index)
    market = vestamo.get_market()
    memo = vestamo.QueryMemo()
    with memo.active():
        graph = FactorGraph(expressions, ids, out_dates)
        errors.update(graph.errors)
        # Every expression's table has this layout; the returns the engine would compute for it
        # depend on nothing else.
        layout_of = {name: _layout(table) for name, table in tables.items()}
        probes = dict(tables)
        if graph.names():
            probes[None] = pd.DataFrame(np.nan, index=pd.DatetimeIndex(out_dates, name="datetime"),
                                        columns=pd.Index(ids, name="order_book_id"))
            layout_of[None] = _layout(probes[None])
        returns = _returns_for(probes, layout_of, periods, errors)
        if None in errors:
            errors.update(dict.fromkeys(graph.names(), errors.pop(None)))
    runnable = [name for name in factors if name not in errors]
    shared = Shared(market=market, ids=ids, out_dates=out_dates, periods=periods, ascending=ascending,
                    steps=steps, returns=returns, keep_results=keep_results, data=graph.data,
                    history=graph.history, cost=cost, split=split,
                    corr_dates=_correlation_dates(out_dates, len(runnable), len(ids)))
    shared.memo = memo  # the answers fetched above serve the runs too
    stream = io.StringIO() if progress is False else None if progress is True else progress
    with Progress(total=len(runnable), label="screen", stream=stream) as bar:
        if client is None:
            outcomes = _run_local(shared, graph, tables, runnable, bar, workers)
        else:
            from .cluster import run_on_cluster

            outcomes = run_on_cluster(client, shared, expressions, tables, runnable, bar, batch_size)
    return ScreenResult.collect(factors, outcomes, errors, shared, rerun=dict(
        factors=factors, universe=ids, start_date=start_date, end_date=end_date, periods=periods, steps=steps,
        ascending=ascending, cost=cost, split=split))


def _run_local(shared, graph, tables, names, bar, workers):
    lock = threading.Lock()

    def one(name):
        outcome = run_factor(shared, name, tables.get(name, graph))
        with lock:
            bar.done(name, outcome[4])
        return outcome

    workers = workers if workers is not None else (os.cpu_count() or 1)
    if workers <= 1 or len(names) <= 1:
        return [one(name) for name in names]
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(one, names))

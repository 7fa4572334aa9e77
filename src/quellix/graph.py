"""Many factor expressions evaluated as one graph over one set of field arrays.

Each factor evaluates to exactly what ``execute_factor`` gives it alone: its
leaves read the last ``shift + dates`` rows of arrays fetched once for the
longest history, which are the rows a separate run would fetch. Identical
sub-expressions (equal callables and arguments, wherever they were built)
are computed once and dropped when the last factor that needs them is done.

A sub-expression whose every node is window-local (output row i depends
only on a fixed window of input rows ending at i: numpy ufuncs, the rolling
kernels, the alignment of inputs, and the operators of `quellix.operators`,
whose per-date and industry nodes read row i alone) is computed once for the
longest history any factor asks of it; shorter requests take its last rows. Any other
callable (a user function may look at a whole column) is computed once per
history length, on exactly the rows a separate run would give it.
"""
import concurrent.futures
import threading

import numpy as np
import pandas as pd

import vestamo
from vestamo.utils import in_ns

from . import rolling
from .buffers import BufferPool
from .evaluate import _field_arrays, _history_start, checked_shift, factor_frame
from .interface import both, drop_leading, either, is_recipe, load_field, negative
from .operators import WINDOW_LOCAL as OPERATORS_WINDOW_LOCAL

__all__ = ["FactorGraph", "WINDOW_LOCAL"]

_KERNELS = ("count", "ts_rank", "product", "ma", "ema", "wma", "sum", "std", "var", "ts_min", "ts_max",
            "ts_argmax", "ts_argmin", "zscore", "avedev", "skew", "kurt", "slope", "covariance",
            "correlation", "regression")
WINDOW_LOCAL = (frozenset([drop_leading, both, either, negative] + [getattr(rolling, name) for name in _KERNELS])
                | OPERATORS_WINDOW_LOCAL)


def _is_window_local(func):
    return isinstance(func, np.ufunc) or _hashable(func) and func in WINDOW_LOCAL


def _hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _constant_key(value):
    # repr tells 0.0 from -0.0 and 1 from 1.0 and True, which equality would merge.
    if _hashable(value):
        return ("c", type(value), repr(value), value)
    return ("id", id(value))


class _Node:
    __slots__ = ("func", "args", "local", "field")

    def __init__(self, func, args, local, field=None):
        self.func, self.args, self.local, self.field = func, args, local, field


class FactorGraph:
    """Factor expressions over the instruments ``ids`` and the trading dates ``out_dates``.

    ``factors`` maps names to expressions. Their shifts are checked here;
    `errors` holds the message of each factor that cannot be evaluated at
    all. `frame(name)` evaluates one factor (threads may call it at once).
    Without ``data`` the fields are fetched here; a worker of a cluster
    passes the arrays fetched once for the whole screen and their
    ``history`` (rows of real data before the first date).
    """

    def __init__(self, factors, ids, out_dates, data=None, history=None):
        self.ids = list(ids)
        self.out_dates = out_dates
        self.errors = {}
        self._nodes = []
        self._index = {}
        self._roots = {}
        for name, factor in factors.items():
            try:
                shift = checked_shift(factor)
                root = self._intern(factor.expr, {})
            except Exception as exc:  # noqa: BLE001 - reported in the factor's row
                self.errors[name] = "{}: {}".format(type(exc).__name__, exc)
                continue
            self._roots[name] = (factor, root, shift)
        self.shift = max([shift for _, _, shift in self._roots.values()], default=0)
        self.fields = sorted({n.field for n in self._nodes if n.field is not None})
        # `history`: rows of real data before the first date in the arrays (the calendar may hold fewer
        # than the longest shift); the rest of the rows before it are NaN padding.
        if data is None:
            self.data, self.history = self._fetch()
        else:
            self.data, self.history = data, history
        self._plan()
        self._lock = threading.Lock()
        self._buffers = BufferPool()
        self._values = {}
        self._counts = dict(self._holders)
        # Factors that gave back their share of the kept values (once each, even if evaluated again).
        self._done = set()

    # -- structure ------------------------------------------------------------
    def _intern(self, recipe, seen):
        key = id(recipe)
        if key in seen:
            return seen[key]
        func, args = recipe
        if func is load_field:
            node = _Node(func, (), True, field=args[0])
            structure = ("field", args[0])
        else:
            children = tuple(self._intern(arg, seen) if is_recipe(arg) else None for arg in args)
            local = _is_window_local(func) and all(
                self._nodes[c].local for c in children if c is not None)
            args = tuple(("node", c) if c is not None else ("const", arg) for c, arg in zip(children, args))
            node = _Node(func, args, local)
            structure = (func if _hashable(func) else ("id", id(func)),
                         tuple(a if kind == "node" else _constant_key(a) for kind, a in args))
        number = self._index.get(structure)
        if number is None:
            number = self._index[structure] = len(self._nodes)
            self._nodes.append(node)
        seen[key] = number
        return number

    def _children(self, number):
        return [a for kind, a in self._nodes[number].args if kind == "node"]

    def _plan(self):
        """Rows each window-local node is computed for; how many factors hold each kept value."""
        self.total_rows = self.shift + len(self.out_dates)
        self._longest = {}
        for _, root, shift in self._roots.values():
            rows = shift + len(self.out_dates)
            for number in self._subtree(root):
                if self._nodes[number].local:
                    self._longest[number] = max(self._longest.get(number, 0), rows)
        uses, self._needs = {}, {}
        for name, (_, root, shift) in self._roots.items():
            keys = []
            self._walk(root, shift + len(self.out_dates), keys)
            self._needs[name] = set(keys)
            for key in keys:
                uses[key] = uses.get(key, 0) + 1
        # Only values asked for more than once are kept, each until its last holder is done.
        shared = {key for key, count in uses.items() if count > 1}
        self._holders = {}
        for name in self._needs:
            self._needs[name] &= shared
            for key in self._needs[name]:
                self._holders[key] = self._holders.get(key, 0) + 1

    def _subtree(self, root):
        stack, seen = [root], set()
        while stack:
            number = stack.pop()
            if number not in seen:
                seen.add(number)
                stack.extend(self._children(number))
        return seen

    def _key(self, number, rows):
        node = self._nodes[number]
        return (number, self._longest[number]) if node.local else (number, rows)

    def _walk(self, number, rows, keys):
        node = self._nodes[number]
        if node.field is not None:
            return
        key = self._key(number, rows)
        keys.append(key)
        for child in self._children(number):
            self._walk(child, key[1], keys)

    # -- data -------------------------------------------------------------------
    def _fetch(self):
        """One (pad + dates) x instruments array per field, for the longest history."""
        if not len(self.out_dates):
            return {}, 0
        first = self.out_dates[0]
        dates = in_ns(pd.DatetimeIndex(vestamo.get_trading_dates(_history_start(first, self.shift),
                                                                 self.out_dates[-1])))
        history = len(dates) - len(self.out_dates)
        return _field_arrays(dict.fromkeys(self.fields), self.ids, dates, self.shift - history), history

    # -- evaluation ---------------------------------------------------------------
    def _value(self, number, rows):
        node = self._nodes[number]
        if node.field is not None:
            array = self.data[node.field]
            return array[array.shape[0] - rows:]
        key = self._key(number, rows)
        value = self._kept(key) if key in self._holders else self._compute(number, key[1])
        return value[key[1] - rows:] if node.local else value

    def _compute(self, number, rows):
        node = self._nodes[number]
        args = [self._value(a, rows) if kind == "node" else a for kind, a in node.args]
        return node.func(*args)

    def _kept(self, key):
        with self._lock:
            slot = self._values.get(key)
            owner = slot is None
            if owner:
                slot = self._values[key] = concurrent.futures.Future()
        if owner:
            try:
                slot.set_result(self._compute(*key))
            except BaseException as exc:
                slot.set_exception(exc)
        return slot.result()

    def _release(self, name):
        with self._lock:
            if name in self._done:
                return
            self._done.add(name)
            for key in self._needs[name]:
                if key in self._counts:
                    self._counts[key] -= 1
                    if self._counts[key] == 0:
                        self._values.pop(key, None)
            if len(self._done) == len(self._roots):
                self._buffers.close()

    def frame(self, name):
        """The factor's table, equal to ``execute_factor`` of it alone."""
        if name in self.errors:
            raise ValueError(self.errors[name])
        factor, root, shift = self._roots[name]
        with self._buffers.active():
            try:
                values = self._value(root, shift + len(self.out_dates))
            finally:
                self._release(name)
            # The padding a separate run has: the part of the history the calendar lacks.
            pad = max(0, shift - self.history)
            return factor_frame(values, factor, self.out_dates, self.ids, pad)

    def names(self):
        return list(self._roots)

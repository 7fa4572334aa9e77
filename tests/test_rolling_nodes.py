import subprocess
import sys

import numpy as np
import pytest

import quellix.rolling as R
from quellix.interface import AbstractFactor, BinaryCombinedFactor, Factor, ShiftedFactor, load_field

ALL = ["COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION", "TS_ZSCORE", "TS_SKEW",
       "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR", "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD",
       "STDDEV", "VAR", "DECAY_LINEAR", "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV"]
ALIASES = {"COV": "COVARIANCE", "CORR": "CORRELATION", "SMA": "MA", "DECAY_LINEAR": "WMA", "STDDEV": "STD",
           "HHV": "TS_MAX", "LLV": "TS_MIN"}
# operator, kernel, window parameter, summary, indent
SINGLE = [("COUNT", "count", "window", "滑动真值计数", 4), ("TS_RANK", "ts_rank", "window", "滑动排序（在时间序列上）", 4),
          ("PRODUCT", "product", "window", "滑动乘积", 4), ("TS_ZSCORE", "zscore", "window", "滑动z分数", 5),
          ("TS_SKEW", "skew", "window", "滑动偏度", 5), ("TS_KURT", "kurt", "window", "滑动峰度", 5),
          ("AVEDEV", "avedev", "window", "滑动平均绝对离差", 5), ("TS_ARGMAX", "ts_argmax", "n", "滑动最大值索引", 4),
          ("TS_ARGMIN", "ts_argmin", "n", "滑动最小值索引", 4), ("MA", "ma", "window", "简单移动平均", 4),
          ("EMA", "ema", "window", "指数移动平均 (平滑系数=2)", 4), ("WMA", "wma", "window", "加权移动平均", 4),
          ("STD", "std", "window", "移动标准差", 4), ("VAR", "var", "window", "移动方差", 4),
          ("SLOPE", "slope", "window", "滑动线性拟合斜率", 4), ("SUM", "sum", "window", "滑动求和", 4),
          ("TS_MIN", "ts_min", "window", "滑动最小值", 4), ("TS_MAX", "ts_max", "window", "滑动最大值", 4)]


class Leaf(AbstractFactor):
    def __init__(self, name, shift=0, deps=None):
        self.name, self._shift, self._deps = name, shift, [self] if deps is None else deps

    shift = property(lambda self: self._shift)
    expr = property(lambda self: (load_field, (self.name,)))
    dependencies = property(lambda self: self._deps)
    __repr__ = lambda self: self.name  # noqa: E731


A, B = Leaf("A", 0), Leaf("B", 4)


def ma(x, n):
    return x


@pytest.mark.parametrize("window, input_shift", [(1, 0), (1, 7), (5, 0), (3, 4)])
def test_rolling_node_accumulates_history(window, input_shift):
    leaf = Leaf("x", input_shift)
    node = R.RollingWindowFactor(ma, window, leaf)
    assert node.shift == window - 1 + input_shift
    assert node.expr == (ma, (leaf.expr, window))
    assert node.dependencies is leaf.dependencies
    outer = R.RollingWindowFactor(ma, 3, node)
    assert outer.shift == node.shift + 2 and repr(outer) == "ma(ma(x, {}), 3)".format(window)


@pytest.mark.parametrize("window", [1, 10])
def test_combined_node_aligns_inputs_to_the_longest_history(window):
    node = R.CombinedRollingWindowFactor(ma, window, A, B)
    first, second = node._factors
    assert isinstance(first, ShiftedFactor) and first.shift == 4 and second is B
    assert node.shift == 4 + window - 1
    assert node.expr == (ma, (window, first.expr, B.expr))
    assert repr(node) == "ma(ShiftedFactor(A, 4), B)"
    same = R.CombinedRollingWindowFactor(ma, window, B, B)
    assert same._factors[0] is B and same._factors[1] is B and repr(same) == "ma(B, B)"
    shared = Leaf("s", 2, deps=["x", "y"])
    three = R.CombinedRollingWindowFactor(ma, window, shared, A, shared)
    assert three.dependencies == ["x", "y", A, "x", "y"] and three.shift == 2 + window - 1


def test_non_factor_input_fails_the_assertion_before_storing_anything():
    for cls, args in [(R.RollingWindowFactor, (ma, 5, 3.0)), (R.CombinedRollingWindowFactor, (ma, 5, A, "B"))]:
        node = cls.__new__(cls)
        with pytest.raises(AssertionError) as info:
            node.__init__(*args)
        assert info.value.args == () and vars(node) == {}
    for build in (lambda: R.MA(np.arange(3.0), 5), lambda: R.EVERY([1], 5), lambda: R.TS_REGRESSION("Y", A, 5)):
        with pytest.raises(AssertionError):
            build()


def test_assertions_vanish_under_optimize():
    code = ("import types, quellix.rolling as R\n"
            "n = R.RollingWindowFactor(len, 3, 1.0)\n"
            "c = R.CombinedRollingWindowFactor(len, 3, types.SimpleNamespace(shift=0))\n"
            "print(n._factor, c.shift)")
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["1.0", "2"]


def test_bad_windows_and_missing_inputs():
    with pytest.raises(ValueError, match="empty"):
        R.CombinedRollingWindowFactor(ma, 3)
    with pytest.raises(TypeError):
        R.RollingWindowFactor(ma, "5", A).shift
    with pytest.raises(TypeError):
        R.CombinedRollingWindowFactor(ma, None, A, B)


def test_node_classes_are_python_classes_open_to_subclassing():
    class Tagged(R.RollingWindowFactor):
        def __repr__(self):
            return "tagged " + super().__repr__()

    assert repr(Tagged(ma, 2, A)) == "tagged ma(A, 2)"
    for cls, members in [(R.RollingWindowFactor, ["__init__", "dependencies", "expr", "shift", "__repr__"]),
                         (R.CombinedRollingWindowFactor, ["__init__", "expr", "shift", "dependencies", "__repr__"])]:
        assert cls.__bases__ == (AbstractFactor,)
        assert [k for k in vars(cls) if k in members] == members
    assert "滑动窗口因子类" in R.RollingWindowFactor.__doc__
    assert "args中所有参数都必须为AbstractFactor的子类对象" in R.CombinedRollingWindowFactor.__doc__


@pytest.mark.parametrize("name, kernel, window_name", [s[:3] for s in SINGLE])
def test_single_input_operators(name, kernel, window_name, monkeypatch):
    node = getattr(R, name)(**{"factor": B, window_name: 7})
    assert type(node) is R.RollingWindowFactor and node.shift == 10
    assert node._func is getattr(R, kernel) and node._factor is B and node._window == 7
    monkeypatch.setattr(R, kernel, ma)  # looked up when called, like a module global
    assert getattr(R, name)(B, 7)._func is ma


def test_two_input_operators_and_every():
    for op, kernel in [(R.COVARIANCE, R.covariance), (R.CORRELATION, R.correlation)]:
        node = op(b=B, a=A, window=10)
        assert type(node) is R.CombinedRollingWindowFactor and node._func is kernel and node.shift == 13
        assert repr(node) == "{}(ShiftedFactor(A, 4), B)".format(kernel.__name__)
    node = R.TS_REGRESSION(A, B, 10)  # Y = A, X = B: X first
    assert node._func is R.regression and node._factors[0] is B and node.expr[1][1] == B.expr
    assert repr(node) == "regression(B, ShiftedFactor(A, 4))"
    every = R.EVERY(factor=B, window=5)
    assert type(every) is BinaryCombinedFactor and every.shift == 8
    assert every.expr == (np.equal, ((R.count, (B.expr, 5)), 5))
    for op in (R.TS_ARGMAX, R.TS_ARGMIN):
        with pytest.raises(TypeError):
            op(A, window=3)


def test_module_surface():
    assert R.__all__ == ALL
    for alias, target in ALIASES.items():
        assert getattr(R, alias) is getattr(R, target) and getattr(R, alias).__name__ == target
    namespace = {}
    exec("from quellix.rolling import *", namespace)
    assert sorted(set(namespace) - {"__builtins__"}) == sorted(ALL)
    assert repr(R.MA(Factor("close"), 5) / Factor("close")) == "(ma(close, 5) / close)"


FACTOR = "quellix.interface.AbstractFactor"
DOCS = [(name, summary, indent, [("factor", FACTOR), (window, "int")], "quellix.rolling.RollingWindowFactor")
        for name, _, window, summary, indent in SINGLE] + [
    ("EVERY", "滑动计数全部为真", 4, [("factor", FACTOR), ("window", "int")], "quellix.interface.BinaryCombinedFactor"),
    ("COVARIANCE", "滑动协方差", 4, [("a", FACTOR), ("b", FACTOR), ("window", "int")],
     "quellix.rolling.CombinedRollingWindowFactor"),
    ("CORRELATION", "滑动皮尔逊相关系数", 4, [("a", FACTOR), ("b", FACTOR), ("window", "int")],
     "quellix.rolling.CombinedRollingWindowFactor"),
    ("TS_REGRESSION", "滑动拟合回归", 4, [("Y", FACTOR), ("X", FACTOR), ("window", "int")],
     "quellix.rolling.CombinedRollingWindowFactor")]


@pytest.mark.parametrize("name, summary, indent, params, result", DOCS)
def test_operator_docstrings(name, summary, indent, params, result):
    lines = getattr(R, name).__doc__.split("\n")
    assert lines[0] == "" and lines[-1] == " " * indent
    assert all(line[:indent].isspace() and line[indent] != " " for line in lines[1:-1] if line)
    see_also = {"TS_ARGMAX": ["", "See also", "--------", "TS_ARGMIN: vice versa"],
                "TS_ARGMIN": ["", "See also", "--------", "TS_ARGMAX: vice versa"]}.get(name, [])
    assert [line[indent:] for line in lines[1:-1]] == (
        [summary, "", "Parameters", "----------"] + ["{} : {}".format(*p) for p in params]
        + ["", "Returns", "-------", result] + see_also)

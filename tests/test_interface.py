import numpy as np
import pytest

from quellix.interface import AbstractFactor, BinaryCombinedFactor, Factor, ShiftedFactor, is_recipe, load_field
from quellix.utils import rolling_window


class Leaf(AbstractFactor):
    def __init__(self, name, shift=0):
        self.name, self._shift = name, shift

    shift = property(lambda self: self._shift)
    expr = property(lambda self: (load_field, (self.name,)))
    dependencies = property(lambda self: [self])
    __repr__ = lambda self: self.name  # noqa: E731


def evaluate(recipe, data):
    func, args = recipe
    if func is load_field:
        return data[args[0]]
    return func(*[evaluate(a, data) if is_recipe(a) else a for a in args])


@pytest.mark.parametrize("shape, n", [((1,), 1), ((7,), 3), ((7,), 7), ((9, 3), 4)])
def test_rolling_window_rows_are_consecutive_slices(shape, n):
    x = np.random.default_rng(n).normal(size=shape)
    got = rolling_window(x, np.int64(n))
    expected = np.array([np.moveaxis(x[i:i + n], 0, -1) for i in range(shape[0] - n + 1)])
    np.testing.assert_array_equal(got, expected)
    assert not got.flags.writeable and np.shares_memory(got, x)


@pytest.mark.parametrize("n, error, message", [
    (0, ValueError, "at least 1, got 0"),
    (6, ValueError, r"window \(6\) is larger than the series \(5\)"),
    (2.0, TypeError, "integer"),
    (True, TypeError, "integer"),
])
def test_rolling_window_rejects_bad_windows(n, error, message):
    with pytest.raises(error, match=message):
        rolling_window(np.arange(5.0), n)


def test_leaf_and_shifted_factor():
    close = Factor("close")
    assert (close.shift, repr(close), close.dependencies) == (0, "close", [close])
    with pytest.raises(ValueError, match="unknown price field 'amount'"):
        Factor("amount")
    shifted = ShiftedFactor(Leaf("x", 3), 2)
    assert (shifted.shift, repr(shifted)) == (5, "ShiftedFactor(x, 2)")
    data = {"x": np.arange(20.0).reshape(10, 2)}
    np.testing.assert_array_equal(evaluate(shifted.expr, data), data["x"][2:])
    for k, error in [(0, ValueError), (1.0, TypeError), (True, TypeError)]:
        with pytest.raises(error):
            ShiftedFactor(close, k)


@pytest.mark.parametrize("swap", [False, True])
def test_binary_combination_drops_the_surplus_rows_of_the_shorter_history(swap):
    # A shift-2 input evaluates to 2 rows fewer than a shift-0 one over the same dates:
    # the shift-0 input must lose its first 2 rows so that row i is the same date in both.
    a, b = Leaf("a", 0), Leaf("b", 2)
    data = {"a": np.arange(10.0).reshape(5, 2), "b": np.arange(6.0).reshape(3, 2) * 10}
    node = BinaryCombinedFactor(np.subtract, *((b, a) if swap else (a, b)))
    expected = data["a"][2:] - data["b"]
    np.testing.assert_array_equal(evaluate(node.expr, data), -expected if swap else expected)
    assert node.shift == 2 and node.dependencies == ([b, a] if swap else [a, b])
    assert repr(node) == ("(b - a)" if swap else "(a - b)")


@pytest.mark.parametrize("func, left, right", [
    (np.add, 1, 2), (np.add, "x", Factor("close")), (np.add, Factor("close"), np.ones(3)), ("add", Factor("close"), 1),
])
def test_binary_combination_rejects_bad_operands(func, left, right):
    with pytest.raises(TypeError):
        BinaryCombinedFactor(func, left, right)


close, volume = Factor("close"), Factor("volume")
X = np.array([[1.0, -2.0], [3.0, 0.5], [np.nan, 4.0]])
V = np.array([[2.0, 2.0], [1.0, 0.5], [5.0, np.nan]])


@pytest.mark.parametrize("build, reference, text", [
    (lambda: close / volume - 1, lambda: X / V - 1, "((close / volume) - 1)"),
    (lambda: 1 - close, lambda: 1 - X, "(1 - close)"),
    (lambda: np.float64(2) * close + volume, lambda: 2 * X + V, "((2.0 * close) + volume)"),
    (lambda: 2 ** close, lambda: 2 ** X, "(2 ** close)"),
    (lambda: 1 >= close, lambda: X <= 1, "(close <= 1)"),
    (lambda: close > volume, lambda: X > V, "(close > volume)"),
    (lambda: close == volume, lambda: X == V, "(close == volume)"),
    (lambda: abs(-close), lambda: np.abs(-X), "abs((-close))"),
])
def test_operators_build_elementwise_expressions(build, reference, text):
    node = build()
    assert repr(node) == text
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(evaluate(node.expr, {"close": X, "volume": V}), reference())


def test_comparison_keeps_identity_hashing_and_refuses_truth_testing():
    assert len({close, volume, close}) == 2 and {close: 1}[close] == 1
    with pytest.raises(TypeError, match="truth value"):
        bool(close == volume)
    with pytest.raises(TypeError):
        close + "1"
    assert (close == "close") is False

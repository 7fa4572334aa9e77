"""
Factor expressions.

A factor expression describes how to compute a (dates x instruments) table
without holding any data. Every expression answers three questions:

- ``shift``: how many observations before its first output date it consumes;
- ``expr``: its recipe, a 2-tuple ``(callable, args)``; the evaluator replaces
  every argument that is itself a recipe by the array it evaluates to and calls
  the callable with the arguments in order;
- ``dependencies``: what it is computed from.

The operators beyond arithmetic are in ``quellix.rolling`` (windows along the
dates) and ``quellix.operators`` (per-date ranks and scaling, industry
neutralisation, element-wise functions, delays).

Arrays of expressions with equal ``shift`` have equal length and cover the same
dates, so nodes that combine inputs of different ``shift`` first drop the
surplus leading observations of the shorter-history inputs (``ShiftedFactor``).
"""
import abc
import numbers

import numpy as np

__all__ = [
    "AbstractFactor",
    "Factor",
    "ShiftedFactor",
    "BinaryCombinedFactor",
    "UnaryFactor",
    "FIELDS",
    "load_field",
    "drop_leading",
    "is_recipe",
    "truth",
    "both",
    "either",
    "negative",
]

FIELDS = ("open", "high", "low", "close", "volume", "total_turnover", "vwap", "market_cap")


def load_field(name):
    """Placeholder callable of a leaf recipe: the evaluator supplies the field's data itself."""
    raise RuntimeError(
        "field {!r} has no data outside an evaluation; use quellix.execute_factor".format(name))


def drop_leading(x, k):
    """Drop the first k observations (rows) of x."""
    return x[k:]


def is_recipe(obj):
    """True for an evaluation recipe: a 2-tuple of a callable and an argument tuple."""
    return type(obj) is tuple and len(obj) == 2 and callable(obj[0]) and type(obj[1]) is tuple


def truth(x):
    """Where x holds: non-zero and not NaN (a comparison with NaN is false, and so is NaN itself)."""
    x = np.asarray(x)
    if x.dtype == np.bool_:
        return x
    return (x != 0) & (x == x)


def both(a, b):
    """Element-wise `and` of the truth of a and b."""
    return np.logical_and(truth(a), truth(b))


def either(a, b):
    """Element-wise `or` of the truth of a and b."""
    return np.logical_or(truth(a), truth(b))


def negative(x):
    """-x; a comparison's True/False negates to -1.0/0.0 (numpy refuses `-` on booleans)."""
    x = np.asarray(x)
    return np.negative(x.astype(np.float64) if x.dtype == np.bool_ else x)


def _is_operand(value):
    return isinstance(value, (AbstractFactor, numbers.Number, np.bool_))


_SYMBOLS = {
    np.add: "+",
    np.subtract: "-",
    np.multiply: "*",
    np.true_divide: "/",
    np.power: "**",
    np.less: "<",
    np.less_equal: "<=",
    np.greater: ">",
    np.greater_equal: ">=",
    np.equal: "==",
    np.not_equal: "!=",
    both: "&",
    either: "|",
}


def _binary(func, reflected=False):
    def method(self, other):
        if not _is_operand(other):
            return NotImplemented
        if reflected:
            return BinaryCombinedFactor(func, other, self)
        return BinaryCombinedFactor(func, self, other)

    return method


class AbstractFactor(abc.ABC):
    """
    因子表达式基类

    Arithmetic and comparisons build new expressions element-wise, so
    ``MA(close, 5) / close - 1`` is itself a factor.
    """

    # Stop numpy from broadcasting over a factor as an object array:
    # `np.float64(2) * close` then falls back to our reflected operators.
    __array_ufunc__ = None
    # Defining __eq__ would otherwise drop hashing; factors are keyed by identity.
    __hash__ = object.__hash__

    @property
    @abc.abstractmethod
    def shift(self):
        """Observations consumed before the first output date."""

    @property
    @abc.abstractmethod
    def expr(self):
        """Evaluation recipe: (callable, argument tuple)."""

    @property
    @abc.abstractmethod
    def dependencies(self):
        """What the factor is computed from."""

    @abc.abstractmethod
    def __repr__(self):
        pass

    def __bool__(self):
        # `if close > open_:` would otherwise be silently true.
        raise TypeError(
            "the truth value of a factor expression is undefined: {!r} is evaluated "
            "element-wise, not compared here".format(self))

    __add__ = _binary(np.add)
    __radd__ = _binary(np.add, reflected=True)
    __sub__ = _binary(np.subtract)
    __rsub__ = _binary(np.subtract, reflected=True)
    __mul__ = _binary(np.multiply)
    __rmul__ = _binary(np.multiply, reflected=True)
    __truediv__ = _binary(np.true_divide)
    __rtruediv__ = _binary(np.true_divide, reflected=True)
    __pow__ = _binary(np.power)
    __rpow__ = _binary(np.power, reflected=True)
    __lt__ = _binary(np.less)
    __le__ = _binary(np.less_equal)
    __gt__ = _binary(np.greater)
    __ge__ = _binary(np.greater_equal)
    __eq__ = _binary(np.equal)
    __ne__ = _binary(np.not_equal)
    __and__ = _binary(both)
    __rand__ = _binary(both, reflected=True)
    __or__ = _binary(either)
    __ror__ = _binary(either, reflected=True)

    def __neg__(self):
        return UnaryFactor(negative, self)

    def __pos__(self):
        return self

    def __abs__(self):
        return UnaryFactor(np.absolute, self)


class Factor(AbstractFactor):
    """
    基础行情因子

    Parameters
    ----------
    name : str
        行情字段: "open", "high", "low", "close", "volume", "total_turnover" (成交额),
        "vwap" 或 "market_cap" (总市值; 与成交量、成交额一样不复权)
    """

    def __init__(self, name):
        if name not in FIELDS:
            raise ValueError("unknown price field {!r}; expected one of {}".format(name, ", ".join(FIELDS)))
        self._name = name

    @property
    def name(self):
        return self._name

    @property
    def shift(self):
        return 0

    @property
    def expr(self):
        return (load_field, (self._name,))

    @property
    def dependencies(self):
        return [self]

    def __repr__(self):
        return self._name


def _check_factor(value, what):
    if not isinstance(value, AbstractFactor):
        raise TypeError("{} must be an AbstractFactor, got {!r}".format(what, value))


class ShiftedFactor(AbstractFactor):
    """
    对齐因子: 丢弃输入最早的 k 个观测值, 使其与 shift 更大的因子对齐

    Parameters
    ----------
    factor : quellix.interface.AbstractFactor
    k : int
        正整数
    """

    def __init__(self, factor, k):
        _check_factor(factor, "factor")
        if isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral):
            raise TypeError("k must be an integer, got {!r}".format(k))
        if k < 1:
            raise ValueError("k must be a positive integer, got {}".format(k))
        self._factor = factor
        self._k = int(k)

    @property
    def shift(self):
        return self._factor.shift + self._k

    @property
    def expr(self):
        return (drop_leading, (self._factor.expr, self._k))

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        return "ShiftedFactor({!r}, {})".format(self._factor, self._k)


def _operand_repr(value):
    # str() keeps numpy scalars readable: 2.0 rather than np.float64(2.0).
    return repr(value) if isinstance(value, AbstractFactor) else str(value)


def _aligned(operands):
    """Wrap factor operands so that all of them share the largest shift."""
    shifts = [op.shift for op in operands if isinstance(op, AbstractFactor)]
    top = max(shifts)
    aligned = []
    for op in operands:
        if isinstance(op, AbstractFactor) and op.shift < top:
            op = ShiftedFactor(op, top - op.shift)
        aligned.append(op)
    return aligned, top


class BinaryCombinedFactor(AbstractFactor):
    """
    二元组合因子: func(left, right) 逐元素计算

    Parameters
    ----------
    func : callable
        二元函数, 通常为 numpy ufunc
    left, right : quellix.interface.AbstractFactor 或数值
        至少一个为因子
    """

    def __init__(self, func, left, right):
        if not callable(func):
            raise TypeError("func must be callable, got {!r}".format(func))
        for what, value in (("left", left), ("right", right)):
            if not _is_operand(value):
                raise TypeError("{} must be an AbstractFactor or a number, got {!r}".format(what, value))
        if not isinstance(left, AbstractFactor) and not isinstance(right, AbstractFactor):
            raise TypeError("at least one of left and right must be an AbstractFactor")
        self._func = func
        self._left, self._right = left, right
        # The operands stay as given (for repr); evaluation uses the aligned ones.
        self._aligned, self._shift = _aligned([left, right])

    @property
    def shift(self):
        return self._shift

    @property
    def expr(self):
        args = tuple(op.expr if isinstance(op, AbstractFactor) else op for op in self._aligned)
        return (self._func, args)

    @property
    def dependencies(self):
        return [dep for op in (self._left, self._right) if isinstance(op, AbstractFactor)
                for dep in op.dependencies]

    def __repr__(self):
        try:
            symbol = _SYMBOLS.get(self._func)
        except TypeError:  # unhashable callable
            symbol = None
        if symbol is None:
            name = getattr(self._func, "__name__", repr(self._func))
            return "{}({}, {})".format(name, _operand_repr(self._left), _operand_repr(self._right))
        return "({} {} {})".format(_operand_repr(self._left), symbol, _operand_repr(self._right))


class UnaryFactor(AbstractFactor):
    """
    一元因子: func(factor) 逐元素计算

    Parameters
    ----------
    func : callable
        一元函数, 通常为 numpy ufunc
    factor : quellix.interface.AbstractFactor
    """

    def __init__(self, func, factor):
        if not callable(func):
            raise TypeError("func must be callable, got {!r}".format(func))
        _check_factor(factor, "factor")
        self._func = func
        self._factor = factor

    @property
    def shift(self):
        return self._factor.shift

    @property
    def expr(self):
        return (self._func, (self._factor.expr,))

    @property
    def dependencies(self):
        return self._factor.dependencies

    def __repr__(self):
        if self._func is negative or self._func is np.negative:
            return "(-{!r})".format(self._factor)
        if self._func is np.absolute:
            return "abs({!r})".format(self._factor)
        return "{}({!r})".format(getattr(self._func, "__name__", repr(self._func)), self._factor)

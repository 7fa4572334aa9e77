"""quellix: factor research for quantitative equity."""

__all__ = ["execute_factor", "screen"]


def __getattr__(name):
    # The evaluator pulls in pandas and vestamo; defer that cost until it is used.
    if name == "execute_factor":
        from .evaluate import execute_factor

        return execute_factor
    if name == "screen":
        from .screening import screen

        return screen
    raise AttributeError("module {!r} has no attribute {!r}".format(__name__, name))


def __dir__():
    return sorted(set(globals()) | set(__all__))

"""Large array buffers reused between the nodes of an evaluation.

An expression over a whole market allocates one fresh array per node, of a
few sizes, and frees most of them soon after; the operating system zeroes
every fresh page on first touch, which on a 10-year market took a third of
the time. While a pool is active in a thread (numpy's allocator is chosen per
context), arrays of at least ``min_bytes`` come from blocks freed earlier
when one of about the right size is kept, and freed ones are kept up to
``limit_bytes``. Values are unaffected: only where the arrays live changes.
"""
import contextlib

from . import _operators

__all__ = ["BufferPool"]

MIN_BYTES = 1 << 20
LIMIT_BYTES = 4 << 30


class BufferPool:
    """Reuse of large numpy buffers inside ``with pool.active():`` blocks.

    ``close()`` frees the kept blocks; arrays still alive are unaffected and,
    freed later, go straight back to the system. ``active()`` after ``close()``
    keeps blocks again.
    """

    def __init__(self, limit_bytes=LIMIT_BYTES, min_bytes=MIN_BYTES):
        self._pool = _operators.BufferPool(int(min_bytes), int(limit_bytes))

    @contextlib.contextmanager
    def active(self):
        self._pool.reopen()
        previous = self._pool.activate()
        try:
            yield self
        finally:
            _operators.set_allocator(previous)

    def close(self):
        self._pool.drain(close=True)

    def stats(self):
        """Blocks reused and freshly allocated so far, and what is kept now."""
        return self._pool.stats()

    def __del__(self):
        pool = getattr(self, "_pool", None)
        if pool is not None:
            pool.drain(close=True)

"""Answers shared between many runs that ask the same questions.

A screen of many factors runs the same pipeline once per factor, and every
run asks the client the same questions (the same instruments' exposures over
the same dates, the same benchmark prices). Inside ``memo.active()`` each
distinct question is answered once and the answer handed to every asker.
"""

import concurrent.futures
import contextlib
import contextvars
import threading

__all__ = ["QueryMemo", "active_memo"]

_active = contextvars.ContextVar("vestamo_query_memo", default=None)


def active_memo():
    """The memo of the current context, or None."""
    return _active.get()


class QueryMemo:
    """One answer per distinct query, for as long as the memo lives.

    Answers are handed out as the same objects to every caller, so callers
    must not modify them in place. Threads that ask a question another
    thread is still answering wait for that answer rather than computing it
    again; a failed answer is not kept.
    """

    def __init__(self):
        self._answers = {}
        self._lock = threading.Lock()

    def __len__(self):
        return len(self._answers)

    def __getstate__(self):
        # Answers belong to the process that computed them; a copy starts empty.
        return {}

    def __setstate__(self, state):
        self.__init__()

    @contextlib.contextmanager
    def active(self):
        """Answer the client's queries through this memo inside the block (this thread or task only)."""
        token = _active.set(self)
        try:
            yield self
        finally:
            _active.reset(token)

    def answer(self, key, compute):
        """The kept answer to ``key``, or ``compute()``'s, kept for later askers."""
        with self._lock:
            slot = self._answers.get(key)
            owner = slot is None
            if owner:
                slot = self._answers[key] = concurrent.futures.Future()
        if not owner:
            return slot.result()
        try:
            value = compute()
        except BaseException as exc:
            with self._lock:
                del self._answers[key]
            slot.set_exception(exc)
            raise
        slot.set_result(value)
        return value

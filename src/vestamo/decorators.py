"""Time-limited memoisation for client queries."""

import functools
import inspect
import threading
import time
import weakref

__all__ = ["ttl_cache", "clear_all_caches"]

# Every live ttl_cache wrapper, so that swapping the market can drop results
# computed from the old one.
_registry = weakref.WeakSet()


def _clock():
    return time.monotonic()


def _make_key(args, kwargs):
    if not kwargs:
        return args
    return args + (_KWMARK,) + tuple(sorted(kwargs.items()))


_KWMARK = object()


def ttl_cache(seconds):
    """Cache a function's results for ``seconds`` seconds, keyed by its arguments.

    Results are returned as the same objects to every caller within the
    time-to-live, so callers must not modify them in place. Calls with
    unhashable arguments are passed through uncached.
    """
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not seconds > 0:
        raise ValueError("ttl_cache: seconds must be a positive number, got {!r}".format(seconds))

    def decorator(func):
        store = {}
        lock = threading.Lock()
        # Bumped by every clear: an answer computed across a clear may come
        # from the market that was just replaced, so it is returned but not kept.
        generation = [0]
        try:
            signature = inspect.signature(func)
        except (TypeError, ValueError):
            signature = None

        def key_of(args, kwargs):
            # f(), f("a") and f(source="a") are one call when "a" is the default.
            if signature is not None:
                try:
                    bound = signature.bind(*args, **kwargs)
                except TypeError:
                    pass
                else:
                    bound.apply_defaults()
                    args, kwargs = bound.args, bound.kwargs
            return _make_key(args, kwargs)

        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            try:
                key = key_of(args, kwargs)
                hash(key)
            except TypeError:
                return func(*args, **kwargs)
            now = _clock()
            with lock:
                hit = store.get(key)
                started = generation[0]
            if hit is not None and now < hit[0]:
                return hit[1]
            result = func(*args, **kwargs)
            with lock:
                if generation[0] == started:
                    store[key] = (_clock() + seconds, result)
            return result

        def cache_clear():
            with lock:
                store.clear()
                generation[0] += 1

        wrapper.cache_clear = cache_clear
        wrapper.ttl = seconds
        _registry.add(wrapper)
        return wrapper

    return decorator


def clear_all_caches():
    """Empty every ttl_cache wrapper of the process."""
    for wrapper in list(_registry):
        wrapper.cache_clear()

"""Progress of a long factor test: a line per finished stage, and on a
terminal a bar that appears once the work has taken a few seconds."""
import sys
import time

__all__ = ["Progress", "timed_steps"]


class Progress:
    """Counts finished stages out of ``total``.

    Each stage prints one line (its name and time). When the stream is a
    terminal and the work has run for ``bar_after`` seconds, a bar of the
    stages done so far is redrawn below the lines.
    """

    def __init__(self, total, label="", stream=None, bar_after=2.0, width=30):
        self.total = max(int(total), 1)
        self.label = label
        self.stream = sys.stderr if stream is None else stream
        self.bar_after = bar_after
        self.width = width
        self.count = 0
        self._start = None
        self._bar_shown = False

    def __enter__(self):
        self._start = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self._clear_bar()
        return False

    def _is_terminal(self):
        isatty = getattr(self.stream, "isatty", None)
        return bool(isatty and isatty())

    def _clear_bar(self):
        if self._bar_shown:
            self.stream.write("\r" + " " * (self.width + 40) + "\r")
            self._bar_shown = False

    def done(self, stage, seconds):
        """Record one finished stage."""
        self.count += 1
        self._clear_bar()
        self.stream.write("  {}{:<16} {:6.2f}s\n".format(self.label + " / " if self.label else "", stage, seconds))
        elapsed = time.perf_counter() - (self._start or time.perf_counter())
        if self._is_terminal() and elapsed >= self.bar_after and self.count < self.total:
            filled = self.width * self.count // self.total
            self.stream.write("  [{}{}] {}/{} stages, {:.0f}s".format(
                "#" * filled, "." * (self.width - filled), self.count, self.total, elapsed))
            self._bar_shown = True
        self.stream.flush()


class _TimedStep:
    """Stands in for an engine step and reports its time when it finishes."""

    def __init__(self, step, name, progress):
        self._step, self._name, self._progress = step, name, progress

    def _run(self, method, *args, **kwargs):
        started = getattr(self._progress, "started", None)   # optional: a recorder may want step starts
        if started is not None:
            started(self._name)
        start = time.perf_counter()
        out = getattr(self._step, method)(*args, **kwargs)
        self._progress.done(self._name, time.perf_counter() - start)
        return out

    def process(self, factor_data):
        return self._run("process", factor_data)

    def analysis(self, factor_data, returns, periods, ascending=True):
        return self._run("analysis", factor_data, returns, periods, ascending=ascending)


def timed_steps(engine, progress):
    """Make every step of ``engine`` report to ``progress`` when it finishes.

    The steps themselves are unchanged; the engine calls them through
    stand-ins, in the same order and with the same arguments.
    """
    engine.preprocess_pipelines[:] = [(name, _TimedStep(step, name, progress))
                                      for name, step in engine.preprocess_pipelines]
    for name, analyser in list(engine.analysis_pipelines.items()):
        engine.analysis_pipelines[name] = _TimedStep(analyser, name, progress)
    return engine

"""Progress of long operations: the package's own steps logged to the
`nuvaris_qor_search` logger, and, when asked for, drawn as tqdm bars on
stderr together with the router's progress records."""

from __future__ import annotations

import importlib
import logging
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from types import TracebackType
from typing import Any

log = logging.getLogger("nuvaris_qor_search")
ROUTER_LOGGER = "nuvaris_qor_router"


def wanted(show_progress: object) -> bool:
    """Whether to draw bars: as asked, or with None when stderr is a
    terminal."""
    if show_progress is None:
        try:
            return sys.stderr is not None and sys.stderr.isatty()
        except (AttributeError, ValueError, OSError):
            return False
    if not isinstance(show_progress, bool):
        raise ValueError(f"show_progress must be True, False or None, got {show_progress!r}")
    return show_progress


def _bar_class() -> Any:
    """tqdm's bar, or None without tqdm (then nothing is drawn)."""
    try:
        return importlib.import_module("tqdm").tqdm
    except ImportError:
        return None


class Progress:
    """The progress of one operation, step by step. Each step is logged at
    INFO and, when drawing, gets a bar of its own (sized in rows or bytes
    when known); records of the router during a step become the bar's
    text."""

    def __init__(self, operation: str, show_progress: object) -> None:
        self._operation = operation
        self._bar_type = _bar_class() if wanted(show_progress) else None
        self._bar: Any = None

    def step(self, what: str, total: int | None = None, unit: str = "it") -> None:
        log.info("%s: %s", self._operation, what)
        self._close_bar()
        if self._bar_type is not None:
            self._bar = self._bar_type(
                total=total,
                desc=f"{self._operation}: {what}",
                unit=unit,
                unit_scale=True,
                unit_divisor=1024 if unit == "B" else 1000,
                file=sys.stderr,
                leave=False,
                # Without a size (the router's steps) only the text and time.
                bar_format=None if total is not None else "{desc} [{elapsed}]",
            )

    def advance(self, n: int) -> None:
        if self._bar is not None:
            self._bar.update(n)

    @contextmanager
    def router_step(self, what: str) -> Iterator[None]:
        """A step done by the router: while it runs, the router's progress
        records are shown on the bar. When the application has not enabled
        them, they are turned on for the step only and kept from its
        handlers."""
        self.step(what)
        if self._bar is None:
            yield
            return
        router_log = logging.getLogger(ROUTER_LOGGER)
        handler = _BarHandler(self._bar)
        quiet = not router_log.isEnabledFor(logging.INFO)
        level, propagate = router_log.level, router_log.propagate
        router_log.addHandler(handler)
        if quiet:
            router_log.setLevel(logging.INFO)
            router_log.propagate = False
        try:
            yield
        finally:
            router_log.removeHandler(handler)
            if quiet:
                router_log.setLevel(level)
                router_log.propagate = propagate

    def close(self) -> None:
        self._close_bar()

    def _close_bar(self) -> None:
        if self._bar is not None:
            bar, self._bar = self._bar, None
            bar.close()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None) -> None:
        self.close()


class _BarHandler(logging.Handler):
    """Shows each INFO record as the bar's text."""

    def __init__(self, bar: Any) -> None:
        super().__init__(logging.INFO)
        self._bar = bar

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self._bar.set_description_str(record.getMessage(), refresh=True)
        except Exception:
            self.handleError(record)

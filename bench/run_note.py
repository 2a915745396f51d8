"""The note each measured table in docs/ carries: when, on what machine, under what load and with
which command it was measured. The bench scripts print it before their results, so a table copied
from their output comes with its note, in the form tests/test_docs.py checks."""

from __future__ import annotations

import datetime
import os
import pathlib
import platform
import shlex
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _processor() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine() or "unknown processor"


def _command(argv: list[str]) -> str:
    script = pathlib.Path(argv[0]).resolve()
    try:
        shown = str(script.relative_to(ROOT))
    except ValueError:
        shown = argv[0]
    return shlex.join(["python", shown, *argv[1:]])


def run_note(argv: list[str] | None = None, now: datetime.datetime | None = None) -> str:
    """The note for this run as Markdown quote lines: UTC date and time, the processors this
    process may use, the load average at the start, and the command line."""
    argv = sys.argv if argv is None else argv
    now = now or datetime.datetime.now(datetime.UTC)
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    try:
        load = "load average {:.2f} / {:.2f} / {:.2f} (1, 5, 15 min) at the start".format(*os.getloadavg())
    except OSError:
        load = "not recorded"
    text = (f"Date: {now:%Y-%m-%d %H:%M} UTC. Machine: {usable} of {os.cpu_count()} CPUs usable "
            f"({_processor()}), {platform.system()} {platform.release()}. Load: {load}. "
            f"Command: `{_command(argv)}`.")
    return "\n".join(textwrap.wrap(text, 100, initial_indent="> ", subsequent_indent="> ",
                                   break_long_words=False, break_on_hyphens=False))

"""The README stays short and in a newcomer's order, its examples run, and every measured table
under docs/ says when, where, under what load and with which bench command it was measured."""

import importlib.util
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = sorted((ROOT / "docs").glob("*.md"))


def test_readme_is_short_and_opens_with_the_two_commands():
    lines = README.read_text().splitlines()
    assert len(lines) <= 300
    assert lines[:6] == ["# nuvaris_qor_router", "", "```", "make demo", "make test", "```"]


def test_readme_sections_come_in_a_newcomers_order():
    headings = [line for line in README.read_text().splitlines() if line.startswith("## ")]
    order = ["## Install", "## Search: `nuvaris_qor_search`", "## The router: `nuvaris_qor_router`",
             "## Methods and errors", "## Threads", "## Saved formats", "## More than one machine",
             "## Choosing parameters", "## Development"]
    assert [h for h in headings if h in order] == order


def test_every_docs_file_the_readme_names_exists():
    named = set(re.findall(r"docs/[\w.-]+", README.read_text()))
    assert named and all((ROOT / name).is_file() for name in named), named
    for doc in DOCS:
        for name in re.findall(r"docs/[\w.-]+\.\w+", doc.read_text()):
            assert (ROOT / name).is_file(), f"{doc.name} names {name}"


def _tables(text):
    """(first line index, the lines above it back to the previous table or heading) per table."""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("|") and (i == 0 or not lines[i - 1].startswith("|")):
            j = i - 1
            while j >= 0 and not lines[j].startswith(("|", "#")):
                j -= 1
            yield i, lines[j + 1 : i]


def _scripts(command):
    """The bench sources a command names: bench/x.py as written, build/bench/x as bench/x.cpp."""
    found = [ROOT / p for p in re.findall(r"\bbench/[\w-]+\.(?:py|cpp)\b", command)]
    found += [ROOT / "bench" / f"{name}.cpp" for name in re.findall(r"build/bench/(\w+)", command)]
    return found


def _check_note(note, where):
    """The note above a table: date, machine, load, and a command naming existing bench sources."""
    for field in ("Date:", "Machine:", "Load:", "Command:"):
        assert field in note, f"{where}: no {field!r} in the note above it"
    assert re.search(r"Date: \d{4}-\d{2}-\d{2}", note), where
    scripts = _scripts(note[note.index("Command:") :])
    assert scripts, f"{where}: the command names no bench script"
    missing = [str(s.relative_to(ROOT)) for s in scripts if not s.is_file()]
    assert missing == [], where


def _quoted(lines):
    return " ".join(line[1:].strip() for line in lines if line.startswith(">"))


@pytest.mark.parametrize("doc", DOCS, ids=lambda p: p.name)
def test_each_measured_table_names_date_machine_load_and_an_existing_bench_command(doc):
    for line_no, above in _tables(doc.read_text()):
        _check_note(_quoted(above), f"{doc.name}, table at line {line_no + 1}")


def test_the_note_the_bench_scripts_print_is_one_the_docs_check_accepts():
    spec = importlib.util.spec_from_file_location("run_note", ROOT / "bench" / "run_note.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    argv = [str(ROOT / "bench" / "bench_shards.py"), "--docs", "20000", "--reps", "5"]
    lines = module.run_note(argv).splitlines()
    assert all(line.startswith("> ") and len(line) <= 100 for line in lines)
    note = _quoted(lines)
    _check_note(note, "run_note")
    assert "`python bench/bench_shards.py --docs 20000 --reps 5`" in note


def test_the_routers_example_is_the_example_file_and_runs(readme_example):
    out = readme_example("## The router: `nuvaris_qor_router`", "usage.py")
    routed, entries = (eval(line) for line in out.splitlines())
    assert len(routed) == 5 and routed[0][0] == 1010
    assert entries and set(entries) <= set(range(1000, 1100))

"""The tape tool from the command line: errors that name the line and the
field and leave no tape behind, dump round trips, synthetic days. The
import command has its own tests (test_import.py)."""

import json
import subprocess
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

from test_processing import DAY


def tool(*args):
    return subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize(
    "bad_line, field",
    [
        ({"event": {"kind": "trade", "time": "10:00:00", "symbol": "IBM"}}, "price"),
        ({"event": {"kind": "trade", "time": "25:00:00", "symbol": "IBM", "price": 1}}, "time"),
        ({"event": {"kind": "trade", "time": "10:00:00", "symbol": "NOPE", "price": 1}}, "symbol"),
        ({"symbol": {"text": "X", "listed_exg": 70000}}, "listed_exg"),
        ({"event": {"kind": "teleport", "time": "10:00:00", "symbol": "IBM"}}, "kind"),
        ({"symbol": {"text": "X", "colour": "red"}}, "colour"),
    ],
)
def test_script_errors_name_the_line_and_field_and_write_no_tape(tmp_path, bad_line, field):
    script = tmp_path / "day.jsonl"
    lines = [{"header": {"date": "2024-03-15"}}, {"symbol": {"text": "IBM", "listed_exg": 1}}, bad_line]
    script.write_text("".join(json.dumps(line) + "\n" for line in lines))
    result = tool("compile", script, "-o", tmp_path / "day.tape")
    assert result.returncode != 0
    assert "day.jsonl:3" in result.stderr and field in result.stderr
    assert list(tmp_path.iterdir()) == [script]


def test_dump_compiles_back_to_the_same_bytes(tmp_path, make_tape):
    tape = make_tape(DAY)
    dumped = tool("dump", tape)
    assert dumped.returncode == 0, dumped.stderr
    (tmp_path / "again.jsonl").write_text(dumped.stdout)
    again = tool("compile", tmp_path / "again.jsonl", "-o", tmp_path / "again.tape")
    assert again.returncode == 0, again.stderr
    assert (tmp_path / "again.tape").read_bytes() == Path(tape).read_bytes()


def test_synth_is_deterministic(tmp_path):
    for name in ("a", "b"):
        result = tool("synth", "-o", tmp_path / f"{name}.tape", "--symbols", 5, "--messages", 2000, "--seed", 7)
        assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.tape").read_bytes() == (tmp_path / "b.tape").read_bytes()

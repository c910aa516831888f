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


COMMANDS = ["compile", "dump", "synth", "import", "info", "check"]


@pytest.mark.parametrize("args", [["--help"], ["-h"]] + [[command, "--help"] for command in COMMANDS]
                         + [["synth", "-h"]])
def test_help_prints_the_usage_and_exits_0(args):
    result = tool(*args)
    assert result.returncode == 0, result.stderr
    assert f"tarvik-tape {args[0]} [OPTIONS]" in result.stdout if args[0] in COMMANDS else \
        all(command in result.stdout for command in COMMANDS)
    assert result.stderr == ""


def test_version_names_the_tool_the_engine_and_the_tape_format():
    result = tool("--version")
    assert result.returncode == 0 and result.stdout.startswith("tarvik-tape 1.0.0 (engine ")
    assert "tape format 2" in result.stdout  # the newest it reads; 1 is read too


@pytest.mark.parametrize("args, told", [
    ([], "a command is required"),
    (["teleport"], "unknown command 'teleport'"),
    (["synth", "-o", "x.tape", "--colour", "red"], "--colour"),
    (["synth", "-o", "x.tape", "--symbols", "many"], "--symbols: expected a whole number from 1 to 100000, got 'many'"),
    (["synth", "-o", "x.tape", "--symbols", "0"], "--symbols: expected a whole number from 1 to 100000, got '0'"),
    (["synth", "-o", "x.tape", "--date", "2024-02-30"], "--date: expected a date YYYY-MM-DD, got '2024-02-30'"),
    (["synth", "-o", "x.tape", "--mix", "1,2"], "--mix: expected four weights"),
    (["synth", "-o", "x.tape", "--rate", "5"], "--rate requires --live"),
    (["synth", "--symbols", "3"], "-o is required"),
    (["import", "--trades", "t.csv", "-o", "x.tape", "--price-type", "300"], "--price-type: expected a whole number"),
    (["import", "--trades", "t.csv", "-o", "x.tape", "--delimiter", "ab"], "--delimiter: expected one character"),
    (["compile", "a.jsonl", "b.jsonl", "-o", "x.tape"], "b.jsonl"),
    (["info"], "tapes is required"),
])
def test_a_bad_command_line_names_what_is_wrong_and_exits_2(tmp_path, args, told):
    result = subprocess.run([tarvik_engine.tape_tool_path(), *args], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert told in result.stderr, result.stderr
    assert result.stdout == "" and not (tmp_path / "x.tape").exists()


def on_terminal(*args, cwd=None):
    """Runs the tool with its standard error on a terminal (a pty); answers
    the exit status and what it drew there."""
    import os
    import pty

    leader, follower = pty.openpty()
    child = subprocess.Popen([tarvik_engine.tape_tool_path(), *map(str, args)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=follower, cwd=cwd)
    os.close(follower)
    drawn = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        drawn += chunk
    os.close(leader)
    return child.wait(timeout=60), drawn.decode()


@pytest.fixture
def long_commands(tmp_path):
    """command name -> arguments of a small run of each long command."""
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,2024-03-15T14:30:00Z,1,10,5\n")
    (tmp_path / "day.jsonl").write_text('{"header": {"date": "2024-03-15"}}\n{"symbol": {"text": "X"}}\n')
    return {
        "synth": ["synth", "-o", tmp_path / "s.tape", "--symbols", 3, "--messages", 70_000],
        "import": ["import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "i.tape"],
        "compile": ["compile", tmp_path / "day.jsonl", "-o", tmp_path / "c.tape"],
    }


@pytest.mark.parametrize("command, line", [("synth", "synth: writing "), ("import", "import: reading 1 rows"),
                                           ("compile", "compile: reading ")])
def test_long_commands_draw_a_progress_line_only_on_a_terminal(long_commands, command, line):
    status, drawn = on_terminal(*long_commands[command])
    assert status == 0 and line in drawn, drawn
    assert drawn.endswith("\r\x1b[K"), "the line is cleared at the end"

    status, drawn = on_terminal(*long_commands[command], "--quiet")
    assert (status, drawn) == (0, "")
    piped = tool(*long_commands[command])
    assert (piped.returncode, piped.stderr) == (0, "")
def format_version(path):
    return int.from_bytes(Path(path).read_bytes()[8:12], "little")


@pytest.mark.parametrize("command", [["compile", "SCRIPT"], ["synth", "--symbols", 3, "--messages", 9000]])
@pytest.mark.parametrize("extra, version", [([], 2), (["--no-compress"], 1)])
def test_tapes_are_written_packed_unless_asked_not_to(tmp_path, make_tape, command, extra, version):
    script = Path(make_tape(DAY)).with_suffix(".jsonl")
    args = [script if word == "SCRIPT" else word for word in command]
    result = tool(*args, "-o", tmp_path / "out.tape", *extra)
    assert result.returncode == 0, result.stderr
    assert format_version(tmp_path / "out.tape") == version


def test_compress_and_decompress_keep_every_byte_of_the_day(tmp_path):
    plain, packed, back = (tmp_path / f"{name}.tape" for name in ("plain", "packed", "back"))
    assert tool("synth", "-o", plain, "--symbols", 4, "--messages", 20_000, "--no-compress").returncode == 0
    for command, source, target in (("compress", plain, packed), ("decompress", packed, back)):
        result = tool(command, source, "-o", target)
        assert result.returncode == 0, result.stderr
    assert format_version(packed) == 2 and format_version(back) == 1
    assert back.read_bytes() == plain.read_bytes()
    assert packed.stat().st_size * 3 < plain.stat().st_size
    # compressing a packed tape again changes nothing; dump shows both alike
    assert tool("compress", packed, "-o", tmp_path / "again.tape").returncode == 0
    assert (tmp_path / "again.tape").read_bytes() == packed.read_bytes()
    assert tool("dump", packed).stdout == tool("dump", plain).stdout


@pytest.mark.parametrize("command", ["compress", "decompress"])
def test_converting_a_damaged_tape_names_the_offset_and_keeps_the_output(tmp_path, command):
    source = tmp_path / "day.tape"
    assert tool("synth", "-o", source, "--symbols", 3, "--messages", 9000,
                *(["--no-compress"] if command == "compress" else [])).returncode == 0
    data = bytearray(source.read_bytes())
    data[len(data) // 2] ^= 0xFF  # inside an event block
    source.write_bytes(bytes(data))
    target = tmp_path / "out.tape"
    target.write_bytes(b"kept")
    result = tool(command, source, "-o", target)
    assert result.returncode == 1
    assert str(source) in result.stderr and "byte offset" in result.stderr, result.stderr
    assert target.read_bytes() == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["day.tape", "out.tape"]


def test_write_tape_writes_packed_unless_asked_not_to(tmp_path):
    trades = tmp_path / "trades.csv"
    trades.write_text("symbol,time,exchange,price,size\nX,2024-03-15T14:30:00.000001Z,1,10.5,5\n")
    for compress, version in ((True, 2), (False, 1)):
        tape = tarvik_engine.write_tape(tmp_path / f"{compress}.tape", trades=trades, compress=compress)[0]
        assert format_version(tape) == version

"""The tape tool from the command line: errors that name the line and the
field and leave no tape behind, dump round trips, synthetic days. The
import command has its own tests (test_import.py)."""

import json
import random
import subprocess
import time
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

from conftest import needs_arrow
from test_processing import DAY


def tool(*args):
    return subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize(
    "bad_line, field",
    [
        ({"event": {"kind": "trade", "time": "10:00:00", "symbol": "IBM"}}, "price"),
        ({"event": {"kind": "trade", "time": "25:00:00", "symbol": "IBM", "price": 1}}, "time"),
        ({"event": {"kind": "trade", "time": "10:00:00", "symbol": "IBM", "price": 99999999999999999999}},
         "field 'price': out of range"),
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


@pytest.mark.parametrize("command", ["dump", "compress", "decompress"])
@pytest.mark.parametrize("name, make, reason", [
    ("missing.tape", lambda p: None, "no such file"),
    ("folder", lambda p: p.mkdir(), "a directory, not a tape"),
])
def test_a_path_that_is_no_tape_file_is_named_by_every_command(tmp_path, command, name, make, reason):
    make(tmp_path / name)
    result = tool(command, tmp_path / name, "-o", tmp_path / "out")
    assert result.returncode == 1 and f"{tmp_path / name}: {reason}" in result.stderr, result.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command, name", [("dump", "day.tape"), ("compile", "day.jsonl")])
@pytest.mark.parametrize("how", ["same", "symlink", "hard-link"])
def test_dump_and_compile_over_their_own_input_are_refused(tmp_path, make_tape, command, name, how):
    tape = Path(make_tape(DAY))
    source = tmp_path / name
    if command == "dump":
        source.write_bytes(tape.read_bytes())
    else:
        source.write_text(tool("dump", tape).stdout)
    before = source.read_bytes()
    output = {"same": source, "symlink": tmp_path / "link", "hard-link": tmp_path / "hard"}[how]
    if how == "symlink":
        output.symlink_to(source)
    elif how == "hard-link":
        output.hardlink_to(source)
    result = tool(command, source, "-o", output)
    assert result.returncode == 2 and f"the output is the input {source}" in result.stderr, result.stderr
    assert source.read_bytes() == before


def test_a_dump_that_cannot_be_written_leaves_nothing_behind(tmp_path, make_tape):
    (tmp_path / "folder").mkdir()
    result = tool("dump", make_tape(DAY), "-o", tmp_path / "folder")
    assert result.returncode == 1 and "cannot be written" in result.stderr
    assert not [p for p in tmp_path.iterdir() if p.name.startswith("folder.")]


def test_a_writer_killed_on_the_way_leaves_nothing_and_keeps_the_tape(tmp_path):
    """The tape is written unnamed and named only when whole."""
    tape = tmp_path / "day.tape"
    tape.write_bytes(b"an earlier tape")
    writer = subprocess.Popen([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", tape, "--symbols", "50",
                               "--messages", "500000000"])
    time.sleep(1)
    writer.terminate()
    writer.wait(timeout=60)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["day.tape"]
    assert tape.read_bytes() == b"an earlier tape"


def test_a_script_of_two_headers_is_refused(tmp_path):
    script = tmp_path / "day.jsonl"
    script.write_text('{"header": {"date": "2024-03-15"}}\n{"header": {"date": "2024-03-16"}}\n')
    result = tool("compile", script, "-o", tmp_path / "day.tape")
    assert result.returncode == 1 and "day.jsonl:2" in result.stderr and "a second header" in result.stderr
    assert not (tmp_path / "day.tape").exists()


@pytest.mark.parametrize("date", ["9999-12-31", "9999-11-30", "1883-01-01"])
def test_synth_writes_a_day_at_either_end_of_the_calendar(tmp_path, date):
    """Options expire in the months after the day: past December 9999 they
    take its third Friday. Counts are read in decimals: 010 is ten."""
    result = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", tmp_path / "edge.tape", "--symbols", "010",
                             "--options-per-symbol", "02", "--messages", "500", "--date", date],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    info = tarvik_engine.tape_info(tmp_path / "edge.tape")
    assert (str(info.date), info.symbols, info.options) == (date, 10, 20)


def test_synth_is_deterministic(tmp_path):
    for name in ("a", "b"):
        result = tool("synth", "-o", tmp_path / f"{name}.tape", "--symbols", 5, "--messages", 2000, "--seed", 7)
        assert result.returncode == 0, result.stderr
    assert (tmp_path / "a.tape").read_bytes() == (tmp_path / "b.tape").read_bytes()


@pytest.mark.parametrize(
    "bad_text, where",
    [
        ('{"event": {"kind": "trade", "time": "10:00:00", "symbol": "IBM", "price": 1e400}}', "1e400"),
        ('{"event": {"kind": "trade", "time": "10:00:00", "symbol": "IBM", "price": -1e999}}', "number"),
        ('{"symbol": {"text": "X", "listed_exg": 1, "text": "Y"}}', "'text'"),
        ('{"event": {"kind": "trade", "kind": "trade", "time": "10:00:00", "symbol": "IBM", "price": 1}}', "'kind'"),
        ('{"header": {"date": 4294967295}}', "date"),
        ('{"header": {"date": "10000-01-01"}}', "date"),
        ('{"header": {"date": "1882-12-31"}}', "date"),
        ('{"option": {"root": "IBM", "date_and_strike": "AA", "strike": 1, "expiration": 3000000}}', "expiration"),
        ('{"symbol": {"text": "X"', "JSON"),
        ('{"symbol": {"text": "X", "listed_exg": 1}}\0anything', "a NUL byte"),
        ('{"event": {"kind": "trade", "time": "9:3:0", "symbol": "IBM", "price": 1}}', "time"),
        ('{"event": {"kind": "trade", "time": "+9:+3:+0", "symbol": "IBM", "price": 1}}', "time"),
        ('{"header": {"date": " 2024-3-5"}}', "date"),
    ],
    ids=["huge number", "huge negative", "repeated key", "repeated kind", "day number", "year 10000",
         "before 1883", "expiration day number", "cut line", "nul byte", "short time", "signed time", "short date"],
)
def test_json_errors_name_the_file_and_line(tmp_path, bad_text, where):
    script = tmp_path / "day.jsonl"
    script.write_text('{"header": {"date": "2024-03-15"}}\n{"symbol": {"text": "IBM", "listed_exg": 1}}\n'
                      + bad_text + "\n")
    result = tool("compile", script, "-o", tmp_path / "day.tape")
    assert result.returncode != 0
    assert "day.jsonl:3" in result.stderr and where in result.stderr, result.stderr
    assert list(tmp_path.iterdir()) == [script]


# --- compile(dump(tape)) == tape --------------------------------------------------

EDGE_INTS = [0, 1, -1, 2**7 - 1, 2**8 - 1, 2**15, 2**16 - 1, 2**31 - 1, -2**31, 2**32 - 1, 2**63 - 1, 2**64 - 1]
TEXTS = ["IBM", "", "é", "\u4e2d", {"hex": "ff00"}, {"hex": ""}, "a" * 40, "Z\tQ",
         {"hex": "41eda080"}, {"hex": "c0af"}]


def generated_script(rng):
    """A random but valid script: symbols, options, a category and events of
    every kind, with values from the edges of their ranges."""
    def pick_int(bits, signed=False):
        low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
        return rng.choice([low, high, rng.randint(low, high), 0])

    def date():  # day number 2,964,672 is 9999-12-31
        return rng.choice(["1883-01-01", "9999-12-31", "2024-02-29", rng.randint(0, 2_964_672)])

    lines = [{"header": {"date": date(), "permission_set": rng.choice(["", "AB", "WXYZ"]),
                         "time_zone": pick_int(8, True), "display": rng.choice(TEXTS)}},
             {"strings": {"table": rng.randint(2, 32), "texts": rng.sample(TEXTS, 3)}}]
    ids = []
    for i in range(rng.randint(1, 6)):
        ids.append(f"s{i}")
        lines.append({"symbol": {"id": f"s{i}", "text": rng.choice(TEXTS), "listed_exg": pick_int(16),
                                 "session": pick_int(8), "price_type": rng.randint(0, 30), "atom": pick_int(32),
                                 "prev_close": pick_int(32, True)}})
    for i in range(rng.randint(0, 3)):
        ids.append(f"o{i}")
        lines.append({"option": {"id": f"o{i}", "root": rng.choice(TEXTS[:4]), "date_and_strike": "PX",
                                 "strike": pick_int(32, True), "put_call": rng.randint(0, 1), "expiration": date(),
                                 "underlying": rng.choice([None, "IBM"]), "exg_underlying": pick_int(16)}})
    lines.append({"category": {"id": 7, "name": "NEWS", "fields": [
        {"name": "Text", "type": "stringz"}, {"name": "N", "type": "32bit"}, {"name": "D", "type": "date"},
        {"name": "T", "type": "time"}, {"name": "P", "type": "price"}, {"name": "X", "type": "double"},
        {"name": "S", "type": "tqstring"}, {"name": "I", "type": "string_idx"}]}})
    for _ in range(rng.randint(1, 40)):
        kind = rng.choice(["exgquote", "mmquote", "trade", "category", "symbolchange", "status", 9, 200])
        event = {"kind": kind, "time": rng.choice(["00:00:00", "23:59:59.999999", rng.randint(0, 86_399_999_999)]),
                 "symbol": rng.choice(ids + [None]), "reporting_exg": pick_int(16)}
        if kind in ("exgquote", "mmquote"):
            event |= {"bid": pick_int(32, True), "ask": pick_int(32, True), "bid_size": pick_int(32, True)}
            if kind == "mmquote":
                event["market_maker"] = rng.choice([None] + TEXTS)
        elif kind == "trade":
            event |= {"price": pick_int(32, True), "size": pick_int(32), "price_flags": rng.choice([0, 16, 32, 64]),
                      "ext_conditions": [pick_int(8) for _ in range(rng.randint(0, 4))]}
        elif kind == "category":
            event |= {"category": 7, "values": [rng.choice(TEXTS), pick_int(32), date(), "12:34:56",
                                                {"price": pick_int(32, True), "price_type": 2},
                                                rng.choice([0.5, -1e300, 3.0]), rng.choice(TEXTS),
                                                {"table": 3, "index": pick_int(32)}][: rng.randint(0, 8)]}
        elif kind == "symbolchange":
            event |= {"status": rng.choice(["add", "del", "mod", 7]), "old_symbol": rng.choice(ids + [None])}
        elif kind == "status":
            event |= {"status": pick_int(32, True), "status_data": pick_int(32, True)}
        if rng.random() < 0.3:
            event["ext"] = {"src": pick_int(64), "ptp1": pick_int(64), "fractional_size": pick_int(64)}
        lines.append({"event": event})
    return lines


def mutated(rng, lines):
    """The script with one field of one line set to a value of any kind."""
    lines = json.loads(json.dumps(lines))
    record = rng.choice(lines)
    body = next(iter(record.values()))
    key = rng.choice(sorted(body))
    body[key] = rng.choice(EDGE_INTS + TEXTS + [None, 1.5, 1e300, [], {}, "2024-13-01", "24:00:00", -2**64])
    return lines


def compiles_back(tmp_path, name, lines):
    """Compiles the script; if it compiles, dumps the tape and compiles the
    dump, which must give the same bytes. None when the script is refused
    (its error named its line)."""
    script = tmp_path / f"{name}.jsonl"
    script.write_text("".join(json.dumps(line, ensure_ascii=False) + "\n" for line in lines))
    first = tool("compile", script, "-o", tmp_path / f"{name}.tape")
    if first.returncode != 0:
        assert f"{name}.jsonl:" in first.stderr, first.stderr
        return None
    dumped = tool("dump", tmp_path / f"{name}.tape", "-o", tmp_path / f"{name}.again.jsonl")
    assert dumped.returncode == 0, dumped.stderr
    again = tool("compile", tmp_path / f"{name}.again.jsonl", "-o", tmp_path / f"{name}.again.tape")
    assert again.returncode == 0, again.stderr
    assert (tmp_path / f"{name}.again.tape").read_bytes() == (tmp_path / f"{name}.tape").read_bytes(), name
    return True


@pytest.mark.parametrize("seed", range(8))
def test_dump_of_generated_and_mutated_scripts_compiles_to_the_same_bytes(tmp_path, seed):
    rng = random.Random(seed)
    lines = generated_script(rng)
    assert compiles_back(tmp_path, "generated", lines), "a generated script is valid"
    for i in range(6):
        compiles_back(tmp_path, f"mutated{i}", mutated(rng, lines))


@pytest.mark.parametrize("hex_text", ["41eda080", "c0af", "f4908080", "e282"])
def test_texts_that_are_not_well_formed_utf8_dump_as_hex(tmp_path, hex_text):
    # a surrogate's bytes, an overlong form, past U+10FFFF, a cut sequence
    lines = [{"header": {"date": "2024-03-15"}},
             {"symbol": {"id": "s", "text": {"hex": hex_text}, "listed_exg": 1}},
             {"event": {"kind": "trade", "time": "09:30:00", "symbol": "s", "price": 1, "size": 1}}]
    assert compiles_back(tmp_path, "odd", lines)
    dumped = [json.loads(line) for line in (tmp_path / "odd.again.jsonl").read_text().splitlines()]
    assert any(line.get("symbol", {}).get("text") == {"hex": hex_text} for line in dumped), dumped


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
    (["synth", "-o", "x.tape", "--mix", "-1,0,0,2"], "--mix: expected four weights"),
    (["synth", "-o", "x.tape", "--mix", "1,4294967295,0,1"], "--mix: expected four weights"),
    (["synth", "-o", "x.tape", "--date", " 2024-3-5"], "--date: expected a date YYYY-MM-DD"),
    (["synth", "-o", ""], "-o: expected a path, got ''"),
    (["dump", "x.tape", "-o", ""], "-o: expected a path, got ''"),
    (["compress", "x.tape", "-o", ""], "-o: expected a path, got ''"),
    (["synth", "-o", "x.tape", "--rate", "5"], "--rate requires --live"),
    (["synth", "--symbols", "3"], "-o is required"),
    (["import", "--trades", "t.csv", "-o", "x.tape", "--price-type", "300"], "--price-type: expected a whole number"),
    (["import", "--trades", "t.csv", "-o", "x.tape", "--delimiter", "ab"], "--delimiter: expected one character"),
    (["compile", "a.jsonl", "b.jsonl", "-o", "x.tape"], "b.jsonl"),
    (["info"], "tapes is required"),
    (["info", "-day.tape"], "unknown option '-day.tape' (a path that starts with '-' goes after '--'"),
    (["check", "--version"], "unknown option '--version'; and tapes is required"),
    (["import", "--trade", "t.csv"], "unknown option '--trade'; and -o is required"),
    (["import", "-x", "t.csv"], "unknown option '-x'; and -o is required"),
    (["synth", "-o", "x.tape", "--symbols", "100000", "--options-per-symbol", "1000"],
     "make 100100000 instruments; at most 10000000"),
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
    assert tool("synth", "-o", tmp_path / "plain.tape", "--symbols", 3, "--messages", 70_000,
                "--no-compress").returncode == 0
    return {
        "compress": ["compress", tmp_path / "plain.tape", "-o", tmp_path / "p.tape"],
        "synth": ["synth", "-o", tmp_path / "s.tape", "--symbols", 3, "--messages", 70_000],
        "import": ["import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "i.tape"],
        "compile": ["compile", tmp_path / "day.jsonl", "-o", tmp_path / "c.tape"],
    }


@pytest.mark.parametrize("command, line", [("synth", "synth: writing "),
                                           pytest.param("import", "import: reading 1 rows", marks=needs_arrow),
                                           ("compile", "compile: reading "), ("compress", "compress: reading ")])
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


@pytest.mark.parametrize("inflate_ahead", [None, "0"])
def test_a_packed_day_replays_as_the_plain_one_inflated_ahead_or_not(loaded, tmp_path, monkeypatch, inflate_ahead):
    plain, packed = tmp_path / "plain.tape", tmp_path / "packed.tape"
    assert tool("synth", "-o", plain, "--symbols", 5, "--messages", 30_000, "--no-compress").returncode == 0
    assert tool("compress", plain, "-o", packed).returncode == 0
    if inflate_ahead is not None:
        monkeypatch.setenv("TARVIK_INFLATE_AHEAD", inflate_ahead)

    def replay(tape):
        seen = []

        def keep(system, message):
            h = message.coreHeader
            seen.append((message.MessageType, h.ptqStringSymbol.String if h.ptqStringSymbol else None,
                         system.tqTime.MsOfDay))
            return 0

        assert Tarvik.ProcessTape(str(tape), 0, 0, 0, keep) == 0
        return seen

    assert replay(packed) == replay(plain)


@pytest.mark.parametrize("command", ["compress", "decompress"])
def test_converting_a_damaged_tape_names_the_section_and_keeps_the_output(tmp_path, command):
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
    assert str(source) in result.stderr and "at byte" in result.stderr, result.stderr
    assert "is not written" in result.stderr
    assert target.read_bytes() == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["day.tape", "out.tape"]


@needs_arrow
def test_write_tape_writes_packed_unless_asked_not_to(tmp_path):
    trades = tmp_path / "trades.csv"
    trades.write_text("symbol,time,exchange,price,size\nX,2024-03-15T14:30:00.000001Z,1,10.5,5\n")
    for compress, version in ((True, 2), (False, 1)):
        tape = tarvik_engine.write_tape(tmp_path / f"{compress}.tape", trades=trades, compress=compress)[0]
        assert format_version(tape) == version


QUOTE = {"kind": "exgquote", "time": "10:00:00", "symbol": "IBM"}


@pytest.mark.parametrize(
    "event, named",
    [
        (QUOTE | {"market_maker": "GSCO"}, "'market_maker': unknown field"),
        (QUOTE | {"kind": "mmquote", "closing_quote": 1}, "'closing_quote': unknown field"),
        (QUOTE | {"kind": "trade", "price": 1, "bid": 1}, "'bid': unknown field"),
        (QUOTE | {"kind": "status", "price": 1}, "'price': unknown field"),
        (QUOTE | {"kind": "symbolspin", "status": 1}, "'status': unknown field"),
        (QUOTE | {"kind": 200, "values": []}, "'values': unknown field"),
        (QUOTE | {"kind": "category", "old_symbol": None}, "'old_symbol': unknown field"),
        # Several bad fields: the text and condition lists are read last.
        (QUOTE | {"kind": "mmquote", "market_maker": 5, "market_maker_type": -1}, "'market_maker_type': out of range"),
        (QUOTE | {"kind": "trade", "price": 1, "ext_conditions": 5, "records_back": "x"}, "'records_back'"),
        (QUOTE | {"kind": "trade", "price": "x", "size": -1}, "'price': expected an integer"),
    ],
)
def test_each_kind_takes_its_own_fields(tmp_path, event, named):
    script = tmp_path / "day.jsonl"
    lines = [{"header": {"date": "2024-03-15"}}, {"symbol": {"text": "IBM", "listed_exg": 1}}, {"event": event}]
    script.write_text("".join(json.dumps(line) + "\n" for line in lines))
    result = tool("compile", script, "-o", tmp_path / "day.tape")
    assert result.returncode == 1
    assert f"day.jsonl:3: event: field {named}" in result.stderr, result.stderr


@pytest.mark.parametrize(
    "record, named",
    [
        ({"symbol": {"text": "X", "strike": 1}}, "symbol: field 'strike': unknown field"),
        ({"option": {"text": "X"}}, "option: field 'text': unknown field"),
        ({"option": {"root": "X", "date_and_strike": "AA", "expiration": "2024-04-19"}}, "option: field 'strike': missing"),
        ({"option": {"root": "X", "date_and_strike": "A", "strike": 1}}, "option: field 'date_and_strike'"),
    ],
)
def test_symbols_and_options_take_their_own_fields(tmp_path, record, named):
    script = tmp_path / "day.jsonl"
    script.write_text(json.dumps({"header": {"date": "2024-03-15"}}) + "\n" + json.dumps(record) + "\n")
    result = tool("compile", script, "-o", tmp_path / "day.tape")
    assert result.returncode == 1
    assert f"day.jsonl:2: {named}" in result.stderr, result.stderr


@pytest.mark.parametrize("command", ["synth", "compress", "dump", pytest.param("import", marks=needs_arrow)])
def test_a_pipe_named_as_the_output_is_written_into_not_replaced(tmp_path, command):
    """A device or a pipe given as -o (/dev/null, a FIFO a reader waits on)
    gets the bytes a file would; renaming a finished file over it would
    put a file where the device was."""
    import os
    import threading

    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 5, "--messages", 3000, "--seed", 2,
                "--no-compress").returncode == 0
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nA,2024-03-15T13:30:00Z,1,1.5,1\n")
    args = {"synth": ["synth", "-q", "--symbols", 5, "--messages", 3000, "--seed", 2],
            "compress": ["compress", "-q", base], "dump": ["dump", base],
            "import": ["import", "-q", "--trades", tmp_path / "t.csv"]}[command]
    assert tool(*args, "-o", tmp_path / "file.out").returncode == 0
    fifo = tmp_path / "pipe.out"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
    reader.start()
    result = tool(*args, "-o", fifo)
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert fifo.is_fifo() and not reader.is_alive()
    assert got == [(tmp_path / "file.out").read_bytes()]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["base.tape", "file.out", "pipe.out", "t.csv"]


@pytest.mark.parametrize("command", ["synth", "dump", "compress", pytest.param("import", marks=needs_arrow)])
def test_an_output_through_links_in_a_loop_is_refused_and_the_links_kept(tmp_path, command):
    import os

    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 3, "--messages", 500).returncode == 0
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,2024-03-15T13:30:00Z,1,10,5\n")
    args = {"synth": ["synth", "-q", "--symbols", 3, "--messages", 500], "dump": ["dump", base],
            "compress": ["compress", "-q", base], "import": ["import", "-q", "--trades", tmp_path / "t.csv"]}[command]
    (tmp_path / "a").symlink_to("b")
    (tmp_path / "b").symlink_to("a")
    result = tool(*args, "-o", tmp_path / "a")
    assert result.returncode == 1 and "Too many levels of symbolic links" in result.stderr, result.stderr
    assert os.readlink(tmp_path / "a") == "b" and os.readlink(tmp_path / "b") == "a"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a", "b", "base.tape", "t.csv"]


@pytest.mark.parametrize("command", [["dump"], ["info"], ["check"], ["--help"], ["--version"], ["synth", "--help"]])
def test_a_full_standard_output_is_a_failure_that_says_so(tmp_path, command):
    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 3, "--messages", 500).returncode == 0
    args = command + [str(base)] if command[-1] != "--help" and command != ["--version"] else command
    with open("/dev/full", "wb") as full:
        result = subprocess.run([tarvik_engine.tape_tool_path(), *args], stdout=full,
                                stderr=subprocess.PIPE, text=True)
    assert result.returncode == 1
    assert "standard output: cannot be written: No space left on device" in result.stderr, result.stderr


@pytest.mark.parametrize("command", ["synth", "live", "dump", "dump-full", "compress",
                                     pytest.param("import", marks=needs_arrow)])
def test_a_write_past_the_file_size_limit_fails_cleanly_and_keeps_the_earlier_output(tmp_path, command):
    """ulimit -f: the write that passes the limit fails with EFBIG (the
    signal that would end the process is ignored), the file and the reason
    are named, an earlier output stays as it was and nothing is left
    beside it; a live tape, written in place, is removed."""
    import resource

    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 30, "--messages", 20000).returncode == 0
    rows = "".join(f"X,2024-03-15T13:30:{k // 1000:02d}.{k % 1000:03d}Z,1,10.{k % 100:02d},5\n" for k in range(4000))
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + rows)
    out = tmp_path / "out" / ("out.jsonl" if command.startswith("dump") else "out.tape")
    out.parent.mkdir()
    earlier = b"an earlier output\n"
    out.write_bytes(earlier)
    args = {"synth": ["synth", "-q", "--symbols", 30, "--messages", 20000],
            "live": ["synth", "-q", "--symbols", 30, "--messages", 20000, "--live"],
            "dump": ["dump", base], "compress": ["compress", "-q", base],
            "import": ["import", "-q", "--no-compress", "--trades", tmp_path / "t.csv"]}
    if command == "dump-full":
        with open("/dev/full", "wb"):
            pass
        result = tool("dump", base, "-o", "/dev/full")
        assert result.returncode == 1
        assert "/dev/full: cannot be written: No space left on device" in result.stderr, result.stderr
        return
    limit = 64 * 1024

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args[command]), "-o", str(out)],
                            capture_output=True, text=True, preexec_fn=limited)
    assert result.returncode == 1, (result.returncode, result.stderr)
    assert "File too large" in result.stderr and str(out.parent) in result.stderr, result.stderr
    if command == "live":
        assert list(out.parent.iterdir()) == []
    else:
        assert list(out.parent.iterdir()) == [out] and out.read_bytes() == earlier


def test_compile_reads_a_script_from_a_pipe(tmp_path):
    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 3, "--messages", 500).returncode == 0
    script = tool("dump", base).stdout
    result = subprocess.run([tarvik_engine.tape_tool_path(), "compile", "-q", "/dev/stdin", "-o",
                             str(tmp_path / "again.tape")], input=script, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert tool("dump", tmp_path / "again.tape").stdout == script


@pytest.mark.parametrize("command", ["synth", "dump", "compress"])
def test_an_output_named_through_a_symbolic_link_goes_where_it_leads(tmp_path, command):
    """A link to a file gets the file written, and stays a link; a link to
    the process's own output (/dev/stdout sent to a file) is written into,
    appending as >> asks."""
    import os

    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 3, "--messages", 500, "--no-compress").returncode == 0
    args = {"synth": ["synth", "-q", "--symbols", 3, "--messages", 500],
            "dump": ["dump", base], "compress": ["compress", "-q", base]}[command]
    assert tool(*args, "-o", tmp_path / "plain.out").returncode == 0
    expected = (tmp_path / "plain.out").read_bytes()
    (tmp_path / "file.out").write_text("old")
    (tmp_path / "link.out").symlink_to("file.out")
    assert tool(*args, "-o", tmp_path / "link.out").returncode == 0
    assert os.readlink(tmp_path / "link.out") == "file.out" and (tmp_path / "file.out").read_bytes() == expected
    (tmp_path / "stdout.out").write_bytes(b"kept\n")
    with open(tmp_path / "stdout.out", "ab") as out:
        result = subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args), "-o", "/dev/stdout"], stdout=out,
                                stderr=subprocess.PIPE)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "stdout.out").read_bytes() == b"kept\n" + expected
    assert os.path.islink("/dev/stdout")


def test_dump_gives_ids_of_their_own_to_symbols_named_like_made_ids(tmp_path):
    lines = [{"header": {"date": "2024-03-15", "permission_set": {"hex": "41004200"}}},
             {"symbol": {"id": "S", "text": "#1", "listed_exg": 1}},
             {"option": {"id": "O", "root": "#1", "listed_exg": 10, "date_and_strike": "DA", "strike": 1000,
                         "expiration": "2024-04-19"}},
             {"event": {"kind": "trade", "time": "10:00:00", "symbol": "O", "price": 1, "size": 1}}]
    (tmp_path / "a.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
    assert tool("compile", tmp_path / "a.jsonl", "-o", tmp_path / "a.tape").returncode == 0
    assert tool("dump", tmp_path / "a.tape", "-o", tmp_path / "b.jsonl").returncode == 0
    again = tool("compile", tmp_path / "b.jsonl", "-o", tmp_path / "b.tape")
    assert again.returncode == 0, again.stderr
    assert (tmp_path / "b.tape").read_bytes() == (tmp_path / "a.tape").read_bytes()


def test_dump_leaves_a_file_named_like_its_temporary_alone(tmp_path):
    tape = tmp_path / "day.tape"
    assert tool("synth", "-q", "-o", tape, "--symbols", 3, "--messages", 500).returncode == 0
    (tmp_path / "out.jsonl.partial").write_text("my notes")
    assert tool("dump", tape, "-o", tmp_path / "out.jsonl").returncode == 0
    assert (tmp_path / "out.jsonl.partial").read_text() == "my notes"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["day.tape", "out.jsonl", "out.jsonl.partial"]


@pytest.mark.parametrize("command", ["synth", "dump", "compress", "compile"])
def test_an_output_that_is_a_folder_is_refused_before_any_work(tmp_path, command):
    base = tmp_path / "base.tape"
    assert tool("synth", "-q", "-o", base, "--symbols", 3, "--messages", 500).returncode == 0
    (tmp_path / "day.jsonl").write_text(tool("dump", base).stdout)
    args = {"synth": ["synth", "-q", "--symbols", 3, "--messages", 500], "dump": ["dump", base],
            "compress": ["compress", "-q", base], "compile": ["compile", "-q", tmp_path / "day.jsonl"]}[command]
    (tmp_path / "out").mkdir()
    result = tool(*args, "-o", tmp_path / "out")
    assert result.returncode == 1 and "/out: " in result.stderr and "Is a directory" in result.stderr, result.stderr
    assert ".partial" not in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["base.tape", "day.jsonl", "out"]


def category_script(tmp_path, field_type, values):
    script = tmp_path / "cat.jsonl"
    lines = [{"header": {"date": "2024-03-15"}}, {"symbol": {"text": "IBM", "listed_exg": 1}},
             {"category": {"id": 9, "name": "D", "fields": [{"name": "F", "type": field_type}]}}]
    lines += [{"event": {"kind": "category", "time": "09:30:00", "symbol": "IBM", "category": 9, "values": [v]}}
              for v in values]
    script.write_text("".join(json.dumps(line) + "\n" for line in lines))
    return script


@pytest.mark.parametrize("no_compress", [[], ["--no-compress"]])
def test_doubles_json_has_no_number_for_dump_as_texts_and_compile_back(tmp_path, no_compress):
    """Infinities and NaNs (of any payload) keep their bits through a dump."""
    values = [1.5, "inf", "-inf", "nan", "0x7ff0000000000001", "0xfff8000000000000"]
    script = category_script(tmp_path, "double", values)
    assert tool("compile", "-q", script, "-o", tmp_path / "a.tape", *no_compress).returncode == 0
    dumped = tool("dump", tmp_path / "a.tape")
    assert dumped.returncode == 0, dumped.stderr
    shown = [json.loads(line)["event"]["values"][0] for line in dumped.stdout.splitlines() if '"category"' in line
             and '"event"' in line]
    assert shown == values
    (tmp_path / "b.jsonl").write_text(dumped.stdout)
    assert tool("compile", "-q", tmp_path / "b.jsonl", "-o", tmp_path / "b.tape", *no_compress).returncode == 0
    assert (tmp_path / "b.tape").read_bytes() == (tmp_path / "a.tape").read_bytes()


@pytest.mark.parametrize("field_type, value, told", [
    ("double", "nanx", "expected a number"),
    ("double", "0x7ff", "expected a number"),
    ("time", "10:00:00.123456", "a category time holds whole milliseconds"),
])
def test_category_values_a_tape_cannot_hold_are_refused(tmp_path, field_type, value, told):
    script = category_script(tmp_path, field_type, [value])
    result = tool("compile", "-q", script, "-o", tmp_path / "a.tape")
    assert result.returncode == 1 and "cat.jsonl:4" in result.stderr and told in result.stderr, result.stderr
    assert not (tmp_path / "a.tape").exists()


def test_an_unknown_record_is_named_whatever_it_holds(tmp_path):
    script = tmp_path / "day.jsonl"
    script.write_text(json.dumps({"header": {"date": "2024-03-15"}}) + "\n" + json.dumps({"bad": 1}) + "\n")
    result = tool("compile", "-q", script, "-o", tmp_path / "a.tape")
    assert result.returncode == 1 and "day.jsonl:2: unknown record 'bad'" in result.stderr, result.stderr


def test_info_shows_a_display_text_on_one_line_with_control_characters_escaped(tmp_path):
    script = tmp_path / "day.jsonl"
    script.write_text(json.dumps({"header": {"date": "2024-03-15", "display": "one\ntwo\u001b[7m\u009b1m\u00e9\\"}})
                      + "\n")
    assert tool("compile", "-q", script, "-o", tmp_path / "a.tape").returncode == 0
    shown = tool("info", tmp_path / "a.tape").stdout
    assert "display       one\\ntwo\\x1b[7m\\u009b1m\u00e9\\\\\n" in shown, shown


def test_info_takes_a_block_head_longer_than_any_block_for_damage_not_a_live_tape(tmp_path):
    import struct

    tape = tmp_path / "day.tape"
    assert tool("synth", "-q", "-o", tape, "--symbols", 3, "--messages", 9000, "--no-compress").returncode == 0
    data = bytearray(tape.read_bytes())
    at, heads = 16, []
    while at < len(data):
        kind, _, length = struct.unpack_from("<IIQ", data, at)
        heads.append((at, kind))
        at += 16 + (length + 7) // 8 * 8
    blocks = [at for at, kind in heads if kind == heads[-2][1]]  # the kind of the block before End
    assert len(blocks) == 3
    struct.pack_into("<Q", data, blocks[1] + 8, 10**12)
    tape.write_bytes(bytes(data))
    result = tool("info", tape)
    assert result.returncode == 1 and "Events block 2" in result.stderr, result.stdout + result.stderr
    assert "more than any block holds" in result.stderr


def test_a_category_time_is_on_the_headers_clock_wherever_the_header_line_stands(tmp_path, loaded):
    lines = [{"category": {"id": 9, "name": "D", "fields": [{"name": "t", "type": "time"},
                                                            {"name": "n", "type": "64bit"}]}},
             {"event": {"kind": "category", "time": "09:30:00", "symbol": None, "category": 9,
                        "values": ["09:30:00.500", -1]}},
             {"header": {"date": "2024-03-15", "time_zone": -5}}]
    (tmp_path / "a.jsonl").write_text("".join(json.dumps(line) + "\n" for line in lines))
    assert tool("compile", "-q", tmp_path / "a.jsonl", "-o", tmp_path / "a.tape").returncode == 0
    assert tool("dump", tmp_path / "a.tape", "-o", tmp_path / "b.jsonl").returncode == 0
    dumped = [json.loads(line) for line in (tmp_path / "b.jsonl").read_text().splitlines()]
    assert [line["event"]["values"] for line in dumped if "event" in line] == [["09:30:00.500000", 2**64 - 1]]
    assert tool("compile", "-q", tmp_path / "b.jsonl", "-o", tmp_path / "b.tape").returncode == 0
    assert (tmp_path / "b.tape").read_bytes() == (tmp_path / "a.tape").read_bytes()
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_CATEGORY:
            time_field, number = message.coreData.Category.ptqFields[:2]
            seen.append((time_field.data.tqTime.MsOfDay, time_field.data.tqTime.TimeZone, number.data.i64Bit))
        return 0

    assert Tarvik.ProcessTape(str(tmp_path / "a.tape"), 0, 0, 0, keep) == 0
    assert seen == [(34_200_500, -5, 2**64 - 1)]  # i64Bit reads unsigned


def test_a_live_tape_that_fails_leaves_a_link_it_was_written_through(tmp_path):
    """Only a file the live tape made at its name is removed when it
    cannot be finished; a symbolic link (here to a full device) stays."""
    import os

    (tmp_path / "link").symlink_to("/dev/full")
    result = tool("synth", "-q", "--live", "-o", tmp_path / "link", "--symbols", 10, "--messages", 1000)
    assert result.returncode == 1 and "No space left on device" in result.stderr, result.stderr
    assert os.readlink(tmp_path / "link") == "/dev/full"

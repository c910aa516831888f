"""A look at a tape (tarvik-tape info, tarvik_engine.tape_info) and a full
check (tarvik-tape check, tape_info(check=True)): what they report on sound
tapes, and on damaged ones the path, section, offset and reason, with the
result code a run of the tape gives."""

import datetime
import os
import pickle
import random
import struct
import subprocess
import zlib
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

from conftest import needs_arrow
from test_processing import DAY

UNSUPPORTED_API = -16  # a tape of a newer format version (docs/engine.md)


def tool(*args):
    return subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args)], capture_output=True, text=True)


def sections(data):
    """(offset, kind, length) of every section head, walking the format."""
    out, pos = [], 16
    while pos + 16 <= len(data):
        kind, _, length = struct.unpack_from("<IIQ", data, pos)
        out.append((pos, kind, length))
        pos += 16 + (length + 7) // 8 * 8
    return out


@pytest.fixture(scope="module")
def synth_tape(tmp_path_factory):
    path = tmp_path_factory.mktemp("info") / "synth.tape"
    # plain, so that the damage below lands on known offsets
    result = tool("synth", "-o", path, "--no-compress", "--symbols", 7, "--options-per-symbol", 4,
                  "--messages", 20_000, "--seed", 3,
                  "--date", "2024-03-15")
    assert result.returncode == 0, result.stderr
    return path


def test_info_reads_the_heads_of_a_sound_tape(synth_tape):
    info = tarvik_engine.tape_info(synth_tape)
    assert (info.date, info.time_zone, info.format_version) == (datetime.date(2024, 3, 15), -5, 1)
    assert (info.symbols, info.options, info.events, info.blocks) == (7, 28, 20_000, 5)
    assert info.size == synth_tape.stat().st_size and info.complete
    assert datetime.time(9, 30) <= info.first_event < info.last_event < datetime.time(16, 0)
    assert info.span_ms > 6 * 3600 * 1000
    assert tarvik_engine.tape_info(synth_tape, check=True) == info

    shown = tool("info", synth_tape)
    assert shown.returncode == 0, shown.stderr
    for line in ["date          2024-03-15", "symbols       7", "options       28", "events        20,000 in 5 blocks",
                 f"first event   {info.first_event.isoformat(timespec='microseconds')}", "complete      yes"]:
        assert line in shown.stdout
    checked = tool("check", synth_tape)
    assert checked.returncode == 0 and "sound: 20,000 events in 5 blocks" in checked.stdout


def test_first_and_last_event_times_are_those_a_run_delivers(loaded, make_tape):
    tape = make_tape(DAY)
    times = []

    def on_message(system, message):
        if message.MessageType != Tarvik.TqMSG_STATUS:
            times.append(message.coreHeader.tqExgTimestamp.MsOfDay)
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, on_message) == 0
    info = tarvik_engine.tape_info(Path(tape))
    assert (info.symbols, info.options, info.display) == (4, 1, "Test day")
    ms = lambda t: ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.microsecond // 1000  # noqa: E731
    # The day's first event is its 09:30:00 quote; messages the engine makes
    # itself (symbols announced at the start) carry no time of the tape.
    assert (ms(info.first_event), ms(info.last_event)) == (34_200_000, max(times))


def cut(data, at):
    return data[:at]


def flip(data, at):
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]


def with_block_crc(data, offset, length):
    """The block at `offset` with its CRC made right again."""
    payload = data[offset + 16: offset + 16 + length]
    return data[:offset + 4] + struct.pack("<I", zlib.crc32(payload)) + data[offset + 8:]


def damaged(kind, data):
    """(bytes, section, reason fragment, result code) of one kind of damage."""
    heads = sections(data)
    events = [h for h in heads if h[1] == 7]
    second = events[1]
    if kind == "cut-in-a-block":
        at = second[0] + 100
        return cut(data, at), 8, f"truncated at byte {at:,}", Tarvik.TqAPIERR_EXCEPTION
    if kind == "cut-after-a-block":
        at = second[0]
        return cut(data, at), 0, f"truncated at byte {at:,}: no End section", Tarvik.TqAPIERR_EXCEPTION
    if kind == "cut-in-the-end-head":
        at = len(data) - 12
        return cut(data, at), len(heads), f"(End) at byte {len(data) - 16:,}: truncated at byte {at:,}", \
            Tarvik.TqAPIERR_EXCEPTION
    if kind == "crc-in-a-block":
        return flip(data, second[0] + 16 + 40), 8, "CRC mismatch", Tarvik.TqAPIERR_EXCEPTION
    if kind == "crc-in-the-symbols":
        symbols = heads[3]
        return flip(data, symbols[0] + 20), 4, "CRC mismatch", Tarvik.TqAPIERR_NOT_SUPPORTED
    if kind == "bad-symbol-index":
        offset, _, length = second
        event = offset + 16 + 16 + 48 * 5
        data = data[:event + 8] + struct.pack("<I", 999_999) + data[event + 12:]
        return with_block_crc(data, offset, length), 8, "event 6 of 4096: symbol index 999999", \
            Tarvik.TqAPIERR_EXCEPTION
    if kind == "bad-market-maker":
        offset, _, length = second
        first = offset + 16 + 16
        n = next(i for i in range(4096) if data[first + 48 * i + 16] == Tarvik.TqMSG_MMQUOTE)
        event = first + 48 * n
        data = data[:event + 20] + struct.pack("<I", 999_999) + data[event + 24:]
        return with_block_crc(data, offset, length), 8, f"event {n + 1} of 4096: market maker text 999999 outside", \
            Tarvik.TqAPIERR_EXCEPTION
    # Bytes a run never needs, which a tape still has as written.
    if kind == "flags":
        return flip(data, 12), 0, "the preamble's flags are 000000", Tarvik.TqAPIERR_NOT_SUPPORTED
    if kind == "padding":
        header = heads[0]
        assert header[2] % 8
        return flip(data, header[0] + 16 + header[2]), 1, "the padding after the payload holds a byte other than 0", \
            Tarvik.TqAPIERR_NOT_SUPPORTED
    if kind == "end-crc":
        return flip(data, len(data) - 12), len(heads), "the End section holds nothing", \
            Tarvik.TqAPIERR_EXCEPTION
    if kind == "after-the-end":
        return data + b"GARBAGE!", len(heads), "8 bytes follow the End section", Tarvik.TqAPIERR_EXCEPTION
    if kind == "newer-format":
        return data[:8] + struct.pack("<I", 3) + data[12:], 0, "format version 3", UNSUPPORTED_API
    if kind == "random-bytes":
        return random.Random(5).randbytes(5000), 0, "not a tape", Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED
    if kind == "empty":
        return b"", 0, "an empty file", Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["cut-in-a-block", "cut-after-a-block", "cut-in-the-end-head", "crc-in-a-block", "crc-in-the-symbols",
                                  "bad-symbol-index", "bad-market-maker", "flags", "padding", "end-crc", "after-the-end",
                                  "newer-format", "random-bytes", "empty"])
def test_check_says_what_is_wrong_and_where(tmp_path, synth_tape, kind):
    data, section, reason, code = damaged(kind, synth_tape.read_bytes())
    tape = tmp_path / "damaged.tape"
    tape.write_bytes(data)
    result = tool("check", tape)  # a crash shows here, in a child
    assert result.returncode == 1, result.stderr
    assert str(tape) in result.stderr and reason in result.stderr, result.stderr
    if section:
        assert f"section {section} (" in result.stderr
    with pytest.raises(tarvik_engine.TapeInfoError) as raised:
        tarvik_engine.tape_info(tape, check=True)
    error = raised.value
    assert (error.path, error.section, error.code) == (str(tape), section, code)
    assert reason in str(error) and error.reason in str(error)
    assert 0 <= error.offset <= len(data)
    # It crosses processes whole, as a pool's workers send it back.
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.code, copy.path, copy.section, copy.section_name, copy.offset,
            copy.reason) == (type(error), str(error), error.code, error.path, error.section, error.section_name,
                             error.offset, error.reason)


def test_a_first_block_that_does_not_inflate_gives_no_made_up_time(tmp_path, synth_tape):
    """Its zstd frame damaged and its CRC made right again: the heads are
    sound, but the first event's time cannot be known."""
    packed = tmp_path / "packed.tape"
    assert tool("compress", "-q", synth_tape, "-o", packed).returncode == 0
    data = packed.read_bytes()
    offset, kind, length = [h for h in sections(data) if h[1] == 9][0]  # the first packed block
    at = offset + 16 + 16  # the frame's magic number
    tape = tmp_path / "inflates-not.tape"
    tape.write_bytes(with_block_crc(flip(data, at), offset, length))
    info = tarvik_engine.tape_info(tape)
    assert info.first_event is None and info.last_event is not None and info.span_ms == 0
    result = tool("info", tape)
    assert result.returncode == 0 and "first event   unknown: its block cannot be read" in result.stdout, result.stdout


def test_events_out_of_time_order_give_no_negative_span(tmp_path, make_tape):
    tape = make_tape([{"header": {"date": "2024-03-15"}}, {"symbol": {"id": "A", "text": "A", "listed_exg": 1}}]
                     + [{"event": {"kind": "trade", "time": t, "symbol": "A", "price": 1, "size": 1}}
                        for t in ("15:00:00", "09:00:00")])
    info = tarvik_engine.tape_info(tape)
    assert (info.first_event, info.last_event, info.span_ms) == (datetime.time(15), datetime.time(9), 0)


@pytest.mark.parametrize("cut", [0, 10, 4096], ids=["after-a-block", "in-a-head", "in-a-payload"])
def test_info_takes_a_tape_that_ends_after_a_whole_block_as_still_growing(tmp_path, synth_tape, cut):
    """A live tape's writer puts a block on the disk in pieces."""
    data = synth_tape.read_bytes()
    second = [h for h in sections(data) if h[1] == 7][1]
    tape = tmp_path / "growing.tape"
    tape.write_bytes(data[:second[0] + cut])
    info = tarvik_engine.tape_info(tape)
    assert (info.complete, info.events, info.blocks) == (False, 4096, 1)
    assert "no End section yet" in tool("info", tape).stdout
    assert tool("check", tape).returncode == 1


@pytest.mark.parametrize("name, make, reason", [
    ("missing.tape", lambda p: None, "no such file"),
    ("folder", lambda p: p.mkdir(), "a directory, not a tape"),
    ("file/day.tape", lambda p: p.parent.write_text("a file"), "cannot be opened"),
])
def test_a_path_that_is_no_tape_file_is_named(tmp_path, name, make, reason):
    path = tmp_path / name
    make(path)
    for check in (False, True):
        with pytest.raises(tarvik_engine.TapeInfoError, match=reason) as raised:
            tarvik_engine.tape_info(path, check=check)
        assert raised.value.code == Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED and raised.value.path == str(path)
        # as read_tape and map_days say a missing tape
        assert isinstance(raised.value, FileNotFoundError) == (name == "missing.tape")
    for check in ("no", 1):
        with pytest.raises(TypeError, match=f"check: expected True or False, got {check!r}"):
            tarvik_engine.tape_info(path, check=check)
    result = tool("info", path)
    assert result.returncode == 1 and f"{path}: {reason}" in result.stderr


@needs_arrow
def test_a_pipe_is_refused_at_once_not_waited_on(tmp_path, python_child):
    """Opening a pipe for reading waits for a writer; a run, a columnar
    read and a look at the tape each refuse it at once instead."""
    pipe = tmp_path / "pipe.tape"
    os.mkfifo(pipe)
    result = python_child(f"""
        import Tarvik, tarvik_engine
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        print(Tarvik.ProcessTape({str(pipe)!r}, 0, 0, 0, lambda s, m: 0))
        for read in (lambda: tarvik_engine.read_tape({str(pipe)!r}),
                     lambda: tarvik_engine.tape_info({str(pipe)!r})):
            try:
                read()
            except (tarvik_engine.TapeError, tarvik_engine.TapeInfoError) as e:
                print(e.code)
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED)] * 3
    info = tool("info", pipe)
    assert info.returncode == 1 and "not a regular file" in info.stderr


def test_check_and_a_run_agree_on_every_damaged_byte(tmp_path, python_child):
    """A fixed set of single-byte flips of a small tape: check answers the
    code that a run of the same bytes answers, but for the bytes a run never
    needs (padding, flags), which check still finds changed. Runs in a
    child: a crash fails this test only."""
    tape = tmp_path / "small.tape"
    assert tool("synth", "-o", tape, "--symbols", 3, "--options-per-symbol", 2, "--messages", 6000).returncode == 0
    child = python_child(f"""
        import random, Tarvik, tarvik_engine
        data = open({str(tape)!r}, "rb").read()
        rng = random.Random(11)
        path = {str(tmp_path / "flipped.tape")!r}
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        disagree = []
        for trial in range(150):
            at = rng.randrange(len(data)) if trial % 3 else rng.randrange(min(len(data), 4000))
            with open(path, "wb") as f:
                f.write(data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:])
            unread = False
            try:
                tarvik_engine.tape_info(path, check=True)
                code = 0
            except tarvik_engine.TapeInfoError as e:
                code = e.code
                unread = e.reason.startswith(("the padding", "the preamble's flags", "the End section"))
            ran = Tarvik.ProcessTape(path, 0, 0, 0, lambda s, m: 0)
            if code != ran and not (unread and ran == 0):
                disagree.append((at, code, ran))
        print(disagree)
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "[]"


def test_info_and_check_read_a_packed_tape_as_its_plain_one(tmp_path, synth_tape):
    packed = tmp_path / "packed.tape"
    assert tool("compress", synth_tape, "-o", packed).returncode == 0
    plain_info = tarvik_engine.tape_info(synth_tape)
    packed_info = tarvik_engine.tape_info(packed, check=True)
    assert packed_info.format_version == 2
    for field in ("date", "events", "blocks", "first_event", "last_event", "symbols", "options", "complete"):
        assert getattr(packed_info, field) == getattr(plain_info, field), field

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

from conftest import HAS_ARROW, needs_arrow
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


@pytest.mark.parametrize("block", [0, 1])
def test_a_block_whose_kind_lost_a_bit_to_read_end_is_damage_not_the_end(loaded, tmp_path, block):
    """A packed block's kind (9) with its lowest bit lost reads End (8): the
    tape does not end there quietly with the rest of its events lost; a run,
    a table read, info and a copy all refuse it, and the copy keeps the
    file it was to replace."""
    tape = tmp_path / "day.tape"
    assert tool("synth", "-q", "-o", tape, "--symbols", 2, "--options-per-symbol", 0, "--messages", 9000).returncode == 0
    data = bytearray(tape.read_bytes())
    offset = [h for h in sections(bytes(data)) if h[1] == 9][block][0]
    data[offset] ^= 1
    tape.write_bytes(bytes(data))
    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: 0) == Tarvik.TqAPIERR_EXCEPTION
    with pytest.raises(tarvik_engine.TapeInfoError, match="the End section holds nothing"):
        tarvik_engine.tape_info(tape)
    shown = tool("info", tape)
    assert shown.returncode == 1 and "complete      yes" not in shown.stdout
    kept = tmp_path / "kept.tape"
    kept.write_bytes(b"kept")
    copied = tool("decompress", "-q", tape, "-o", kept)
    assert copied.returncode == 1 and kept.read_bytes() == b"kept", copied.stderr
    if not HAS_ARROW:
        return
    with pytest.raises(tarvik_engine.TapeError):
        tarvik_engine.read_tape(tape)


def with_section_crc(data, offset):
    """The section at `offset` with its CRC made right again."""
    _, _, length = struct.unpack_from("<IIQ", data, offset)
    return data[:offset + 4] + struct.pack("<I", zlib.crc32(data[offset + 16: offset + 16 + length])) + data[offset + 8:]


@pytest.mark.parametrize("damage, section, reason", [
    ("symbol-count", 4, "(Symbols) at byte {offset:,}: a count, length or index in the section does not hold"),
    ("date-past-9999", 1, "(Header) at byte 16: the date is day 4294967295 after 1883-01-01, past 9999-12-31"),
    ("cut-in-padding", 1, "(Header) at byte 16: truncated at byte {size:,}: in the zeros after the payload"),
])
def test_damage_in_the_tables_names_its_section(loaded, tmp_path, synth_tape, damage, section, reason):
    """Tables whose CRC still matches but whose contents do not hold are
    named by their own section, not as the tables as a whole; a run refuses
    them with the same code."""
    data = synth_tape.read_bytes()
    heads = sections(data)
    offset = heads[section - 1][0]
    if damage == "cut-in-padding":
        assert heads[0][2] % 8
        data = data[:offset + 16 + heads[0][2] + 1]
    else:
        at = offset + 16
        data = with_section_crc(data[:at] + b"\xff\xff\xff\xff" + data[at + 4:], offset)
    tape = tmp_path / "damaged.tape"
    tape.write_bytes(data)
    expected = f"section {section} " + reason.format(offset=offset, size=len(data))
    result = tool("check", tape)
    assert result.returncode == 1 and expected in result.stderr, result.stderr
    with pytest.raises(tarvik_engine.TapeInfoError) as raised:
        tarvik_engine.tape_info(tape)
    assert (raised.value.section, raised.value.code) == (section, Tarvik.TqAPIERR_NOT_SUPPORTED)
    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: 0) == Tarvik.TqAPIERR_NOT_SUPPORTED


def test_a_damaged_time_in_the_first_block_is_no_time(tmp_path, synth_tape):
    """Without check=True the first block's CRC is not read: a time that
    damage put past the day is unknown, not an error of the look itself."""
    data = bytearray(synth_tape.read_bytes())
    first_block = [h for h in sections(bytes(data)) if h[1] == 7][0][0]
    data[first_block + 32 + 7] = 0x7f  # the first event's microseconds, far past a day
    tape = tmp_path / "damaged.tape"
    tape.write_bytes(bytes(data))
    info = tarvik_engine.tape_info(tape)
    assert info.first_event is None and info.last_event is not None and info.events == 20_000
    assert tool("info", tape).returncode == 0


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

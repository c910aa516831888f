"""Symbol spins and state snapshots through the module, on synthetic days
made by the tape tool and replayed by the bundled engine."""

import os
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

SYMBOLS = 6
CONTRACTS = 4  # per option chain
OPTION_EXCHANGE = 10  # where synthetic option chains are listed


@pytest.fixture(scope="module")
def synth_day(tmp_path_factory):
    path = tmp_path_factory.mktemp("spins") / "synth.tape"
    subprocess.run(
        [tarvik_engine.tape_tool_path(), "synth", "-o", str(path), "--symbols", str(SYMBOLS),
         "--options-per-symbol", str(CONTRACTS), "--messages", "4000"],
        check=True,
    )
    return str(path)


def spin_at_first_trade(tape, *spin_args):
    """Runs SpinSymbols(*spin_args, collect, 99) at the first trade; the
    result and what the spin callable saw."""
    seen = []
    out = {}

    def collect(system, message):
        header, spin = message.coreHeader, message.coreData.SymbolSpin
        option = header.ptqOptionHdr
        seen.append((message.MessageType, spin.SpinID, spin.IterLimit, spin.IterCount, spin.SubIterLimit,
                     spin.SubIterCount, system.UserData, header.ptqStringSymbol.String, header.ListedExg,
                     option is not None))
        return 0

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and "result" not in out:
            out["result"] = Tarvik.SpinSymbols(*spin_args, collect, 99)
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    return out["result"], seen


def test_spin_of_plain_symbols(loaded, synth_day):
    result, seen = spin_at_first_trade(synth_day, -1, Tarvik.TqSPIN_NON_OPTIONS, 5)
    assert result == 0
    assert len(seen) == SYMBOLS
    assert [s[3] for s in seen] == list(range(1, SYMBOLS + 1))
    assert {(s[0], s[1], s[2], s[4], s[6], s[9]) for s in seen} == {(Tarvik.TqMSG_SYMBOLSPIN, 5, SYMBOLS, 0, 99, False)}
    assert [s[8] for s in seen] == [1 + i % 3 for i in range(SYMBOLS)]
    assert len({s[7] for s in seen}) == SYMBOLS


def test_spin_of_option_contracts_goes_series_by_series(loaded, synth_day):
    result, seen = spin_at_first_trade(synth_day, OPTION_EXCHANGE, Tarvik.TqSPIN_OPTIONS, 6)
    assert result == 0
    assert len(seen) == SYMBOLS * CONTRACTS
    assert [(s[2], s[3], s[4], s[5]) for s in seen] == [
        (SYMBOLS, i // CONTRACTS + 1, CONTRACTS, i % CONTRACTS + 1) for i in range(SYMBOLS * CONTRACTS)]
    assert all(s[9] for s in seen)


@pytest.mark.parametrize(
    "exchange, flags, code",
    [(99, Tarvik.TqSPIN_NON_OPTIONS, Tarvik.TqAPIERR_NOLISTED_EXG),
     (1, Tarvik.TqSPIN_OPTIONS, Tarvik.TqAPIERR_NOSYMBOLS_FOR_LSTEXG),
     (OPTION_EXCHANGE, Tarvik.TqSPIN_NON_OPTIONS, Tarvik.TqAPIERR_NOSYMBOLS_FOR_LSTEXG)],
)
def test_spin_codes(loaded, synth_day, exchange, flags, code):
    result, seen = spin_at_first_trade(synth_day, exchange, flags, 1)
    assert (result, seen) == (code, [])


def test_spin_stops_when_the_callable_says_so(loaded, synth_day):
    count = []

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and not count:
            count.append(Tarvik.SpinSymbols(-1, 0, 0, lambda s, m: count.append(1) or (1 if len(count) == 3 else 0), 0))
        return 0

    assert Tarvik.ProcessTape(synth_day, 0, 0, 0, callback) == 0
    assert count == [1, 1, 1, Tarvik.TqAPIERR_USER_STOPPED]


def test_a_spin_answer_past_32_bits_is_reported_and_the_spin_goes_on(loaded, synth_day, capfd):
    # 2**32 + 1 cut to its low 32 bits would stop the spin.
    count = []

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and not count:
            count.append(Tarvik.SpinSymbols(-1, 0, 0, lambda s, m: count.append(1) or 2**32 + 1, 0))
        return 0

    assert Tarvik.ProcessTape(synth_day, 0, 0, 0, callback) == 0
    assert len(count) > 3 and count[-1] == 0
    assert "the SpinSymbols callback returned 4294967297, which does not fit a 32-bit int" in capfd.readouterr().err


def test_spin_skips_symbols_the_filter_rejected(loaded, synth_day):
    names = spin_at_first_trade(synth_day, -1, 0, 0)[1]
    chosen = names[2][7]
    try:
        assert Tarvik.FilterSymbols([chosen]) is True
        result, seen = spin_at_first_trade(synth_day, -1, 0, 0)
    finally:
        assert Tarvik.FilterSymbols(5) is False  # the only way to switch a filter off
    assert result == 0
    assert [s[7] for s in seen] == [chosen]


def header_strings(header):
    """The header's strings: the symbol's, then an option's five."""
    option = header.ptqOptionHdr
    if option is None:
        return [header.ptqStringSymbol]
    return [header.ptqStringSymbol, option.ptqsDateAndStrike, option.ptqsUnderlying, option.ptqsSeriesChain,
            option.ptqsSpecialSettle]


def test_user_data_written_in_a_spin_reaches_the_next_message(loaded, make_tape):
    """User data a spin callable writes into the strings of a spin message
    goes back into the library's strings: the symbol's, and an option
    contract's five, read the same at their next message."""
    tape = make_tape([
        {"header": {"date": "2024-03-15"}},
        {"symbol": {"text": "MSFT", "listed_exg": 2}},
        {"symbol": {"text": "IBM", "listed_exg": 2}},
        {"option": {"id": "O", "root": "ROOT", "listed_exg": OPTION_EXCHANGE, "date_and_strike": "AB", "strike": 1,
                    "expiration": "2024-04-19", "underlying": "UX", "series_chain": "SC", "special_settle": "SS"}},
    ] + [{"event": {"kind": "trade", "time": f"10:00:0{i}", "symbol": s, "price": 1, "size": 1}}
         for i, s in enumerate(["MSFT", "IBM", "O"])])
    written = {}
    seen = {}

    def spin(system, message):
        strings = header_strings(message.coreHeader)
        name = strings[0].String
        for role, string in enumerate(strings):
            string.UserData1, string.UserData2 = 100 * len(written) + role, -role
        written[name] = [(s.UserData1, s.UserData2) for s in strings]
        return 0

    def callback(system, message):
        if message.MessageType != Tarvik.TqMSG_TRADE:
            return 0
        strings = header_strings(message.coreHeader)
        if not written:
            assert Tarvik.SpinSymbols(-1, Tarvik.TqSPIN_NON_OPTIONS, 1, spin, 0) == 0
            assert Tarvik.SpinSymbols(OPTION_EXCHANGE, Tarvik.TqSPIN_OPTIONS, 2, spin, 0) == 0
        else:
            seen[strings[0].String] = [(s.UserData1, s.UserData2) for s in strings]
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    assert sorted(written) == ["IBM", "MSFT", "ROOT"]
    assert len(written["ROOT"]) == 5
    # MSFT's message was current during the spins: its own write-back,
    # after the callback, puts back what that message showed.
    assert seen == {"IBM": written["IBM"], "ROOT": written["ROOT"]}


def test_a_spin_inside_a_spin_keeps_the_outer_spins_callable_and_user_data(loaded, synth_day):
    """The inner spin fills the same spin objects; the outer spin goes on
    with its own callable, and the user data it set before the inner spin
    reaches its own symbol, not the inner spin's last."""
    outer_seen, inner_seen, later = [], [], {}
    spun = {}

    def inner(system, message):
        inner_seen.append(message.coreHeader.ptqStringSymbol.String)
        message.coreHeader.ptqStringSymbol.UserData1 = 222
        return 0

    def outer(system, message):
        symbol = message.coreHeader.ptqStringSymbol
        outer_seen.append(symbol.String)
        if "nested" not in spun and symbol.String != spun["trigger"]:
            spun["nested"] = symbol.String
            symbol.UserData1 = 111
            assert Tarvik.SpinSymbols(-1, Tarvik.TqSPIN_NON_OPTIONS, 2, inner, 0) == 0
        return 0

    def callback(system, message):
        header = message.coreHeader
        if message.MessageType != Tarvik.TqMSG_TRADE or header.ptqOptionHdr is not None:
            return 0
        if "trigger" not in spun:
            spun["trigger"] = header.ptqStringSymbol.String
            assert Tarvik.SpinSymbols(-1, Tarvik.TqSPIN_NON_OPTIONS, 1, outer, 0) == 0
        else:
            later.setdefault(header.ptqStringSymbol.String, header.ptqStringSymbol.UserData1)
        return 0

    assert Tarvik.ProcessTape(synth_day, 0, 0, 0, callback) == 0
    assert len(outer_seen) == len(set(outer_seen)) == SYMBOLS
    assert len(inner_seen) == SYMBOLS
    assert later[spun["nested"]] == 111
    assert {later[s] for s in outer_seen if s not in (spun["nested"], spun["trigger"]) and s in later} == {222}


def test_an_object_stored_in_a_spin_header_is_released_and_replaced(loaded, synth_day):
    """A spin callable may store anything in the header's writable
    ptqOptionHdr: the next spin message shows its own option header (or
    None) again, and the stored object's reference is released."""
    stored = object()
    shown = []

    def spin(system, message):
        header = message.coreHeader
        shown.append(header.ptqOptionHdr is stored)
        header.ptqOptionHdr = stored
        return 0

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and not shown:
            before = sys.getrefcount(stored)
            assert Tarvik.SpinSymbols(-1, Tarvik.TqSPIN_NON_OPTIONS, 0, spin, 0) == 0
            assert Tarvik.SpinSymbols(OPTION_EXCHANGE, Tarvik.TqSPIN_OPTIONS, 0, spin, 0) == 0
            # the last spin message's header keeps its reference
            assert sys.getrefcount(stored) == before + 1
        return 0

    assert Tarvik.ProcessTape(synth_day, 0, 0, 0, callback) == 0
    assert shown == [False] * (SYMBOLS + SYMBOLS * CONTRACTS)


# --- snapshots ---------------------------------------------------------------

def message_print(message):
    header, kind = message.coreHeader, message.MessageType
    name = header.ptqStringSymbol.String if header.ptqStringSymbol is not None else None
    option = header.ptqOptionHdr
    key = (kind, name, header.ListedExg, header.tqExgTimestamp.MsOfDay,
           (option.tqExpirationDate.NDays, option.strikePrice, option.PutCall) if option is not None else None)
    if kind == Tarvik.TqMSG_TRADE:
        trade = message.coreData.Trade
        return key + (trade.Price, trade.Size, trade.TotalVolume, trade.High, trade.Low, trade.Last)
    if kind == Tarvik.TqMSG_EXGQUOTE:
        quote = message.coreData.ExgQuote
        return key + (quote.coreQuote.BidPrice, quote.coreQuote.AskPrice, quote.BestBidPrice, quote.BestAskPrice)
    return key


def state_of(contracts):
    """State queries for every plain symbol and every option contract seen."""
    answers = {}
    for exchange, name, option in contracts:
        args = (exchange, name) + (option or ())
        trade = Tarvik.StateGetLastTrade(*args)
        quotes = Tarvik.StateGetExgQuotes(*args)
        answers[(exchange, name, option)] = (
            trade and (trade.Open, trade.High, trade.Low, trade.Last, trade.TotalVolume, trade.TickVolume),
            quotes and (quotes.StateQuoteCount, quotes.BestBidExg, quotes.BestAskExg,
                        [(q.ReportingExg, q.BidPrice, q.AskPrice) for q in quotes.StateExgQuotes[:quotes.StateQuoteCount]]),
        )
    return answers


def replay(tape, contracts, save_at=None, snapshot=None):
    """Market messages, the statuses, the state at the save point (or at
    the loaded state) and the state when the day completes."""
    record = {"messages": [], "statuses": [], "spins": 0, "codes": []}

    def callback(system, message):
        kind = message.MessageType
        if kind == Tarvik.TqMSG_SYMBOLSPIN:
            record["spins"] += 1
        if kind == Tarvik.TqMSG_STATUS:
            record["statuses"].append((system.Status, system.StatusData))
            if system.Status == Tarvik.TARVIKSTATUS_LOADED_STATE:
                record["at_save"] = state_of(contracts)
            if system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
                record["complete"] = state_of(contracts)
            return 0
        if kind == Tarvik.TqMSG_SYMBOLCHANGE:
            return 0
        record["messages"].append(message_print(message))
        if save_at is not None and len(record["messages"]) == save_at:
            record["codes"].append(Tarvik.SaveState(snapshot, Tarvik.TqSAVESTATE_ONEPASS))
            record["codes"].append(Tarvik.SaveState(snapshot, Tarvik.TqSAVESTATE_ONEPASS))
            record["at_save"] = state_of(contracts)
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    return record


def contracts_of(tape):
    """(listed exchange, name, option key) of every symbol of the day."""
    found = set()

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_SYMBOLCHANGE:
            header = message.coreHeader
            option = header.ptqOptionHdr
            found.add((header.ListedExg, header.ptqStringSymbol.String,
                       (option.tqExpirationDate.NDays, option.strikePrice, option.PutCall) if option else None))
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    return sorted(found, key=repr)


@pytest.mark.parametrize("save_at", [1, 1500, 3999])
def test_a_snapshot_continues_the_same_day(loaded, synth_day, tmp_path, save_at):
    snapshot = str(tmp_path / "day.state")
    contracts = contracts_of(synth_day)
    assert len(contracts) == SYMBOLS * (1 + CONTRACTS)
    whole = replay(synth_day, contracts)
    saving = replay(synth_day, contracts, save_at, snapshot)
    assert saving["codes"] == [0, Tarvik.TqAPIERR_SAVE_STATE_IN_PROGRESS]
    assert (Tarvik.TARVIKSTATUS_SAVING_STATE, Tarvik.TqCSSAVESTATE_COMPLETE) in saving["statuses"]
    assert saving["messages"] == whole["messages"]

    restored = replay(snapshot, contracts)
    assert restored["statuses"][:2] == [(Tarvik.TARVIKSTATUS_INITIALIZING, 0), (Tarvik.TARVIKSTATUS_LOADED_STATE, 0)]
    assert restored["spins"] == 0, "the loaded-state spins deliver nothing to the program"
    assert restored["at_save"] == saving["at_save"]
    if save_at > 1:  # option contracts have traded by then, and their state is found
        assert any(answer[0] for (exchange, name, option), answer in restored["at_save"].items() if option)
    assert restored["messages"] == whole["messages"][save_at:]
    assert restored["complete"] == whole["complete"]


def test_tape_name_of_a_restored_day_is_the_tapes(loaded, synth_day, tmp_path):
    snapshot = str(tmp_path / "day.state")
    replay(synth_day, [], 10, snapshot)
    names = []

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_LOADED_STATE:
            names.append(Tarvik.GetTapeName())
        return 0

    assert Tarvik.ProcessTape(snapshot, 0, 0, 0, callback) == 0
    assert names == [synth_day]


@pytest.mark.parametrize("asked_at", ["a trade", "complete"])
def test_a_save_asked_for_before_a_restart_is_dropped(loaded, synth_day, tmp_path, asked_at):
    """The state a save was asked for is gone once the day starts again: it
    is dropped, as before a stop, not taken of the restarted day's start."""
    snapshot = tmp_path / "day.state"
    seen = {"restarts": 0, "saving": []}

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS:
            if system.Status == Tarvik.TARVIKSTATUS_SAVING_STATE:
                seen["saving"].append(system.StatusData)
            if system.Status == Tarvik.TARVIKSTATUS_RESTARTING_TAPE:
                seen["restarts"] += 1
        asking = (message.MessageType == Tarvik.TqMSG_TRADE if asked_at == "a trade" else
                  message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE)
        if asking and seen["restarts"] == 0:
            assert Tarvik.SaveState(str(snapshot), Tarvik.TqSAVESTATE_ONEPASS) == 0
            return Tarvik.TqCALLBACKRETURN_RESTART
        return 0

    assert Tarvik.ProcessTape(synth_day, 0, 0, 0, callback) == 0
    assert seen == {"restarts": 1, "saving": []} and not snapshot.exists()


def test_save_state_outside_a_run_and_into_nowhere(loaded, synth_day):
    assert Tarvik.SaveState("/tmp/never.state", Tarvik.TqSAVESTATE_ONEPASS) == Tarvik.TqAPIERR_NOT_CALLBACK_THREAD
    phases = []

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_SAVING_STATE:
            phases.append(system.StatusData)
        if message.MessageType == Tarvik.TqMSG_TRADE and not phases:
            assert Tarvik.SaveState("/nonexistent-dir/day.state", Tarvik.TqSAVESTATE_GRADUALLY) == 0
        return 0

    assert Tarvik.ProcessTape(synth_day, 0, 0, 0, callback) == 0
    assert phases == [Tarvik.TqCSSAVESTATE_CAPTURE, Tarvik.TqCSSAVESTATE_ERR_CREATEFILE]


@pytest.mark.parametrize("name", ["same", "symlink", "after-a-change-of-folder"])
def test_a_save_onto_the_runs_own_tape_is_refused_and_the_tape_kept(loaded, synth_day, tmp_path, monkeypatch,
                                                                     name):
    import shutil

    tape = tmp_path / "day.tape"
    shutil.copyfile(synth_day, tape)
    target = tape
    if name == "symlink":
        target = tmp_path / "link.state"
        target.symlink_to(tape)
    monkeypatch.chdir(tmp_path)  # the run is given the tape's name alone
    phases = []

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_SAVING_STATE:
            phases.append(system.StatusData)
        if message.MessageType == Tarvik.TqMSG_TRADE and not phases:
            if name == "after-a-change-of-folder":
                os.chdir("/")
            assert Tarvik.SaveState(str(target), Tarvik.TqSAVESTATE_ONEPASS) == 0
        return 0

    assert Tarvik.ProcessTape("day.tape", 0, 0, 0, callback) == 0
    assert phases == [Tarvik.TqCSSAVESTATE_CAPTURE, Tarvik.TqCSSAVESTATE_ERR_CREATEFILE]
    assert tape.read_bytes() == Path(synth_day).read_bytes()


def test_a_snapshot_of_a_removed_tape_is_refused(python_child, synth_day, tmp_path):
    tape = tmp_path / "copy.tape"
    tape.write_bytes(Path(synth_day).read_bytes())
    snapshot = tmp_path / "copy.state"
    child = python_child(f"""
        import os, Tarvik, tarvik_engine
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        def save(system, message):
            if message.MessageType == Tarvik.TqMSG_TRADE:
                Tarvik.SaveState({str(snapshot)!r}, Tarvik.TqSAVESTATE_ONEPASS)
            return 0
        assert Tarvik.ProcessTape({str(tape)!r}, 0, 0, 0, save) == 0
        os.remove({str(tape)!r})
        print(Tarvik.ProcessTape({str(snapshot)!r}, 0, 0, 0, lambda s, m: 0))
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == [str(Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED)]


# --- snapshots are untrusted input -------------------------------------------

class Snapshot:
    """A snapshot file taken apart into its documented fields, so that a
    test can change one of them and write it back with a correct CRC."""

    def __init__(self, data):
        self.head = bytearray(data[:32])
        self.payload = bytearray(data[32:])
        self.version, = struct.unpack_from("<I", self.head, 8)
        self.state_size, self.slot_size = struct.unpack_from("<II", self.head, 24)
        at = 4 + struct.unpack_from("<I", self.payload, 0)[0] + 8 + 4
        self.resume_head = at
        self.position = at + 16
        at = self.position + 8
        if self.version >= 2:
            self.ordinal = at
            at += 4
        self.event_index = at
        at += 4 + 12 + 1
        states, = struct.unpack_from("<I", self.payload, at)
        at += 4 + states * self.state_size
        sessions, = struct.unpack_from("<I", self.payload, at)
        at += 4 + 12 * sessions
        books, = struct.unpack_from("<I", self.payload, at)
        at += 4
        self.slots = []  # offsets of every market-maker slot
        for _ in range(books):
            count, = struct.unpack_from("<I", self.payload, at + 1)
            at += 5
            self.slots += [at + i * self.slot_size for i in range(count)]
            at += count * self.slot_size

    def set(self, offset, fmt, value):
        struct.pack_into(fmt, self.payload, offset, value)

    def get(self, offset, fmt):
        return struct.unpack_from(fmt, self.payload, offset)[0]

    def without_ordinal(self):
        """The same snapshot in format version 1, which had no ordinal."""
        del self.payload[self.ordinal:self.ordinal + 4]
        struct.pack_into("<I", self.head, 8, 1)
        return self

    def write(self, path):
        struct.pack_into("<IQ", self.head, 12, zlib.crc32(self.payload), len(self.payload))
        Path(path).write_bytes(bytes(self.head) + bytes(self.payload))
        return str(path)


def mm_day():
    """Two symbols with market-maker quotes from four makers, and trades."""
    lines = [{"header": {"date": "2024-03-15"}},
             {"symbol": {"id": "A", "text": "A", "listed_exg": 1}},
             {"symbol": {"id": "B", "text": "B", "listed_exg": 1}}]
    for i in range(40):
        event = {"time": f"10:00:{i:02d}", "symbol": "AB"[i % 2], "reporting_exg": 1}
        if i % 3:
            event |= {"kind": "mmquote", "bid": 100 + i, "ask": 110 + i, "bid_size": 1, "ask_size": 1,
                      "market_maker": f"M{i % 4}"}
        else:
            event |= {"kind": "trade", "price": 105, "size": 10}
        lines.append({"event": event})
    return lines


@pytest.fixture
def mm_snapshot(loaded, make_tape, tmp_path):
    """A day of market-maker quotes and trades, saved at its 20th event."""
    tape = make_tape(mm_day())
    path = tmp_path / "day.state"
    seen = [0]

    def save(system, message):
        if message.MessageType in (Tarvik.TqMSG_MMQUOTE, Tarvik.TqMSG_TRADE):
            seen[0] += 1
            if seen[0] == 20:
                assert Tarvik.SaveState(str(path), Tarvik.TqSAVESTATE_ONEPASS) == 0
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, save) == 0
    return tape, Snapshot(path.read_bytes())


# Replays a snapshot in a child interpreter, asking for every symbol's
# market-maker book at the loaded state, and prints the result and the
# number of callbacks.
REPLAY_SNAPSHOT = """
    import sys, Tarvik, tarvik_engine
    Tarvik.LoadTarvik(tarvik_engine.library_path())
    calls = [0]
    def callback(system, message):
        calls[0] += 1
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_LOADED_STATE:
            for name in "AB":
                Tarvik.StateGetMMQuotes(name, 1, 0xFFFF)
        return 0
    print(Tarvik.ProcessTape(sys.argv[1] if len(sys.argv) > 1 else {path!r}, 0, 0, 0, callback), calls[0])
"""


def replay_in_child(python_child, path):
    child = python_child(REPLAY_SNAPSHOT.format(path=str(path)))
    assert child.returncode == 0, child.stderr  # a crash is a failure, not a dead test run
    result, calls = child.stdout.split()
    return int(result), int(calls)


def test_an_untouched_snapshot_and_one_of_format_1_replay(python_child, mm_snapshot, tmp_path):
    tape, snapshot = mm_snapshot
    assert replay_in_child(python_child, snapshot.write(tmp_path / "same.state"))[0] == 0
    old = Snapshot(bytes(snapshot.head) + bytes(snapshot.payload)).without_ordinal()
    assert replay_in_child(python_child, old.write(tmp_path / "old.state"))[0] == 0


def event_offset(snapshot, k, extra):
    """An offset inside the resumed block: event k's start plus extra bytes."""
    return snapshot.get(snapshot.position, "<Q") + 16 + 16 + 48 * k + extra


@pytest.mark.parametrize(
    "change",
    [
        "market maker past the texts",
        "market maker none",
        "position inside an event",
        "position 4 mod 8",
        "position on the tables",
        "ordinal of another section",
        "event index past its block",
        "clock past midnight",
        "clock flag neither 0 nor 1",
        "clock not set",
    ],
)
def test_a_crafted_snapshot_is_refused_before_any_callback(python_child, mm_snapshot, tmp_path, change):
    """Every reference a snapshot makes into its tape is checked, CRC or
    not: such a snapshot gives -13 and the program hears nothing."""
    tape, snapshot = mm_snapshot
    tape_bytes = Path(tape).read_bytes()
    assert snapshot.slots, "the saved day has market-maker quotes"

    def move_to(offset):
        snapshot.set(snapshot.position, "<Q", offset)
        snapshot.payload[snapshot.resume_head:snapshot.resume_head + 16] = tape_bytes[offset:offset + 16]

    if change == "market maker past the texts":
        snapshot.set(snapshot.slots[-1] + 16, "<I", 1_000_000)
    elif change == "market maker none":
        snapshot.set(snapshot.slots[0] + 16, "<I", 0xFFFFFFFF)
    elif change == "position inside an event":
        move_to(event_offset(snapshot, 1, 0))
    elif change == "position 4 mod 8":
        move_to(event_offset(snapshot, 2, 28))
    elif change == "position on the tables":
        move_to(16)
    elif change == "ordinal of another section":
        snapshot.set(snapshot.ordinal, "<I", snapshot.get(snapshot.ordinal, "<I") + 1)
    elif change == "event index past its block":
        snapshot.set(snapshot.event_index, "<I", 4096)
    elif change == "clock past midnight":
        clock = snapshot.event_index + 4
        snapshot.set(clock, "<I", 86_400_000)
    elif change == "clock flag neither 0 nor 1":
        snapshot.set(snapshot.event_index + 16, "<B", 2)
    elif change == "clock not set":  # a run sets its clock before its first callback
        snapshot.set(snapshot.event_index + 16, "<B", 0)
    assert replay_in_child(python_child, snapshot.write(tmp_path / "crafted.state")) == (
        Tarvik.TqAPIERR_NOT_SUPPORTED, 0)

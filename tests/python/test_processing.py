"""ProcessTape end to end: tapes compiled by the tape tool, replayed by the
bundled engine, delivered through the module to Python callables."""

import subprocess
import sys
import threading
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

from conftest import LIBRARIES_UNMAP, REPO, SANITIZED


IBM_ATOM_FULL = 70000

DAY = [
    {"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Test day", "time_zone": -5}},
    {"strings": {"table": 3, "texts": ["", "NYSE", "NASDAQ"]}},
    {"symbol": {"text": "IBM", "listed_exg": 1, "price_type": 2, "prev_close": 10000}},
    {"symbol": {"text": "MSFT", "listed_exg": 2, "price_type": 2}},
    {"symbol": {"id": "BIG", "text": "BIGATOM", "listed_exg": 1, "atom": IBM_ATOM_FULL}},
    {"symbol": {"id": "BAD", "text": {"hex": "41ff42"}, "listed_exg": 1}},
    {"option": {"id": "IBM-P", "root": "IBM", "listed_exg": 1, "date_and_strike": "PX", "strike": 150000,
                "put_call": 1, "expiration": "2024-04-19", "underlying": "IBM", "series_chain": "IBMQ"}},
    {"category": {"id": 7, "name": "NEWS", "fields": [
        {"name": "Headline", "info": "the story", "type": "stringz"},
        {"name": "Count", "type": "32bit"},
        {"name": "Level", "type": "price"},
        {"name": "Source", "type": "tqstring"},
    ]}},
    {"event": {"kind": "exgquote", "time": "09:30:00", "symbol": "IBM", "reporting_exg": 1, "permission_id": 3,
               "bid": 100, "ask": 102, "bid_size": 5, "ask_size": 6}},
    {"event": {"kind": "exgquote", "time": "09:30:00.250000", "symbol": "IBM", "reporting_exg": 2,
               "bid": 101, "ask": 103, "bid_size": 7, "ask_size": 8, "ext": {"src": 34200250001}}},
    {"event": {"kind": "mmquote", "time": "09:30:01", "symbol": "MSFT", "reporting_exg": 2, "market_maker": "MMA",
               "bid": 50, "ask": 51, "bid_size": 1, "ask_size": 2, "market_maker_type": 1}},
    {"event": {"kind": "mmquote", "time": "09:30:01", "symbol": "MSFT", "reporting_exg": 2, "bid": 49, "ask": 52}},
    {"event": {"kind": "trade", "time": "09:30:02", "symbol": "IBM", "reporting_exg": 1, "price": 101, "size": 300,
               "ext_conditions": [1]}},
    {"event": {"kind": "trade", "time": "09:31:00", "symbol": "IBM", "reporting_exg": 2, "price": 104, "size": 200}},
    {"event": {"kind": "category", "time": "09:31:00", "symbol": "IBM", "category": 7,
               "values": ["Rally", 12, {"price": 105, "price_type": 2}, "Wire"]}},
    {"event": {"kind": "trade", "time": "09:32:00", "symbol": "BIG", "price": 7, "size": 1}},
    {"event": {"kind": "trade", "time": "09:32:00", "symbol": "BAD", "price": 8, "size": 1}},
    {"event": {"kind": "trade", "time": "09:33:00", "symbol": "IBM-P", "price": 350, "size": 10}},
    {"event": {"kind": 9, "time": "09:34:00", "symbol": "IBM"}},
    {"event": {"kind": "trade", "time": "09:35:00", "symbol": None, "price": 1, "size": 1}},
    {"event": {"kind": "trade", "time": "10:00:00", "symbol": "MSFT", "reporting_exg": 2, "price": 55, "size": 100}},
]


@pytest.fixture
def day(make_tape):
    return make_tape(DAY)


def snapshot(system, message):
    """The values of one message, read inside the callback."""
    header = message.coreHeader
    symbol = header.ptqStringSymbol
    return {
        "kind": message.MessageType,
        "status": system.Status,
        "symbol": None if symbol is None else symbol.String,
        "listed": header.ListedExg,
        "reporting": header.ReportingExg,
        "permission": header.PermissionID,
        "option": header.ptqOptionHdr,
        "ext": message.ptarvik3Ext,
        "time": (system.tqTime.Hour, system.tqTime.Minute, system.tqTime.Second, system.tqTime.Millisecond),
    }


def replay(tape, callback=None, flags=0, user_data=0):
    seen = []

    def record(system, message):
        seen.append(snapshot(system, message))
        return callback(system, message) if callback else 0

    result = Tarvik.ProcessTape(tape, 0, flags, user_data, record)
    return result, seen


def events(seen):
    """Messages after the running status that starts the day."""
    start = next(i for i, s in enumerate(seen) if s["kind"] == Tarvik.TqMSG_STATUS and s["status"] == 0)
    return [s for s in seen[start + 1 :] if s["kind"] != Tarvik.TqMSG_STATUS]


def callables_seeing(seen):
    """The kinds of callable a program hands ProcessTape, each recording the
    message types it is given."""
    import functools

    def function(system, message):
        seen.append(message.MessageType)
        return 0

    class Handler:
        def on_message(self, system, message):
            return function(system, message)

        def __call__(self, system, message):
            return function(system, message)

    def with_prefix(prefix, system, message):
        return function(system, message)

    return {
        "function": function,
        "lambda": lambda system, message: function(system, message),
        "bound method": Handler().on_message,
        "instance with __call__": Handler(),
        "partial": functools.partial(with_prefix, "x"),
    }


@pytest.mark.parametrize("kind", ["function", "lambda", "bound method", "instance with __call__", "partial"])
def test_every_kind_of_callable_sees_the_same_day(loaded, day, kind):
    expected, seen = [], []
    assert Tarvik.ProcessTape(day, 0, 0, 0, callables_seeing(expected)["function"]) == 0
    assert Tarvik.ProcessTape(day, 0, 0, 0, callables_seeing(seen)[kind]) == 0
    assert seen == expected and len(seen) > 10


def test_a_day_arrives_in_order(loaded, day):
    result, seen = replay(day)
    assert result == Tarvik.TqAPIERR_NO_ERROR
    statuses = [s["status"] for s in seen if s["kind"] == Tarvik.TqMSG_STATUS]
    assert statuses == [
        Tarvik.TARVIKSTATUS_INITIALIZING,
        Tarvik.TARVIKSTATUS_TAPEOPEN,
        Tarvik.TARVIKSTATUS_RUNNING,
        Tarvik.TARVIKSTATUS_COMPLETE,
    ]
    adds = [s["symbol"] for s in seen if s["kind"] == Tarvik.TqMSG_SYMBOLCHANGE]
    assert adds == ["IBM", "MSFT", "BIGATOM", "A\ufffdB", "IBM"]
    kinds = [s["kind"] for s in events(seen)]
    assert kinds == [1, 1, 2, 2, 3, 3, 4, 3, 3, 3, 3, 3], "kind 9 is not delivered"
    assert [s["time"] for s in events(seen)][:2] == [(9, 30, 0, 0), (9, 30, 0, 250)]


def test_exchange_quotes_carry_the_nbbo(loaded, day):
    quotes = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_EXGQUOTE:
            q = message.coreData.ExgQuote
            c = q.coreQuote
            quotes.append((c.BidPrice, c.AskPrice, c.BidSize, c.AskSize, q.BestBidPrice, q.BestBidExg,
                           q.BestAskPrice, q.BestAskExg, q.BestBidSize, q.BestAskSize))
        return 0

    replay(day, keep)
    assert quotes == [(100, 102, 5, 6, 100, 1, 102, 1, 5, 6), (101, 103, 7, 8, 101, 2, 102, 1, 7, 6)]


def test_trades_carry_running_totals_and_conditions(loaded, day):
    trades = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and message.coreHeader.ptqStringSymbol is not None:
            if message.coreHeader.ptqStringSymbol.String == "IBM" and message.coreHeader.ptqOptionHdr is None:
                t = message.coreData.Trade
                trades.append((t.Price, t.Size, t.TotalVolume, t.TickVolume, t.Open, t.High, t.Low, t.Last,
                               t.NetChange, list(t.ExtTradeConditions)))
        return 0

    replay(day, keep)
    assert trades == [
        (101, 300, 300, 1, 101, 101, 101, 101, 101 - 10000, [1, 255, 255, 255]),
        (104, 200, 500, 2, 101, 104, 101, 104, 104 - 10000, [255, 255, 255, 255]),
    ]


def test_market_maker_quotes(loaded, day):
    makers = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_MMQUOTE:
            q = message.coreData.MMQuote
            maker = q.ptqStringMarketMaker
            makers.append((None if maker is None else maker.String, q.coreQuote.BidPrice, q.MarketMakerType))
        return 0

    replay(day, keep)
    assert makers == [("MMA", 50, 1), (None, 49, 0)]


def test_category_fields(loaded, day):
    seen = {}

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_CATEGORY:
            c = message.coreData.Category
            f = c.ptqFields
            seen.update(
                name=c.ptqStringCategory.String, atom=c.ptqStringCategory.Atom, count=c.NFields,
                names=[f[i].FieldName for i in range(c.NFields)], info=f[0].FieldInfo,
                types=[f[i].FieldType for i in range(c.NFields)], headline=f[0].data.StringZ,
                number=f[1].data.i32Bit, level=(f[2].data.tqPrice.Price, f[2].data.tqPrice.PriceType),
                source=f[3].data.ptqString.String, field=f[0],
            )
        return 0

    replay(day, keep)
    field = seen.pop("field")
    assert seen == {
        "name": "NEWS", "atom": 7, "count": 4, "names": ["Headline", "Count", "Level", "Source"],
        "info": "the story", "types": [Tarvik.TqCFT_STRINGZ, Tarvik.TqCFT_32BIT, Tarvik.TqCFT_PRICE,
                                       Tarvik.TqCFT_TqSTRING],
        "headline": "Rally", "number": 12, "level": (105, 2), "source": "Wire",
    }
    # library text is not read once its callback has returned
    assert field.FieldName is None and field.data.StringZ is None


def test_option_messages_show_the_option_header(loaded, day):
    options = []

    def keep(system, message):
        o = message.coreHeader.ptqOptionHdr
        if o is not None and message.MessageType == Tarvik.TqMSG_TRADE:
            options.append((message.coreHeader.ptqStringSymbol.String, o.ptqsDateAndStrike.String,
                            o.ptqsUnderlying.String, o.ptqsSeriesChain.String, o.ptqsSpecialSettle, o.strikePrice,
                            o.PutCall, o.contractUnit, o.tqExpirationDate.Year, o.tqExpirationDate.Month,
                            o.tqExpirationDate.Day, o))
        return 0

    replay(day, keep)
    [option] = options
    assert option[:-1] == ("IBM", "PX", "IBM", "IBMQ", None, 150000, 1, 100, 2024, 4, 19)
    assert type(option[-1]) is Tarvik.TqOptionHdr


def test_extension_shows_only_on_messages_that_carry_one(loaded, day):
    result, seen = replay(day)
    quotes = [s for s in seen if s["kind"] == Tarvik.TqMSG_EXGQUOTE]
    assert quotes[0]["ext"] is None
    assert type(quotes[1]["ext"]) is Tarvik.Tarvik3Ext
    assert all(s["ext"] is None for s in seen[seen.index(quotes[1]) + 1 :])


def test_message_kept_after_the_run_keeps_its_extension(loaded, day):
    kept = []

    def stop_at_extension(system, message):
        kept.append(message)
        return 1 if message.ptarvik3Ext is not None else 0

    assert Tarvik.ProcessTape(day, 0, 0, 0, stop_at_extension) == Tarvik.TqAPIERR_USER_STOPPED
    message = kept[-1]
    del kept[:]
    extension = message.ptarvik3Ext
    assert type(extension) is Tarvik.Tarvik3Ext and extension.MicrosOfDaySRC == 34200250001
    del message
    assert extension.MicrosOfDaySRC == 34200250001


def test_symbols_without_record_atom_or_valid_text(loaded, day):
    atoms = {}

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            symbol = message.coreHeader.ptqStringSymbol
            name = None if symbol is None else symbol.String
            atoms[name] = (None if symbol is None else symbol.Atom, Tarvik.GetSymbolAtom32())
        return 0

    replay(day, keep)
    assert atoms["BIGATOM"] == (65535, IBM_ATOM_FULL)
    assert "A\ufffdB" in atoms
    assert None in atoms


def test_system_record_values(loaded, day):
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS:
            seen.append((system.Status, system.StatusDisplay, system.TapeDisplay, system.PermissionSet,
                         system.tqDate.Year, system.tqDate.Month, system.tqDate.Day, system.DLLVersion, system))
        return 0

    replay(day, keep)
    first = seen[0]
    assert first[1:8] == ("Initializing", "Test day", "AA", 2024, 3, 15, Tarvik.APIVersion())
    system = first[-1]
    # the engine's texts are not read after their callback
    assert system.StatusDisplay is None and system.TapeDisplay is None
    assert system.PermissionSet == "AA"


def test_the_same_two_objects_for_a_run_and_fresh_ones_for_the_next(loaded, day):
    pairs = set()
    strings = set()

    def keep(system, message):
        pairs.add((id(system), id(message)))
        if message.MessageType == Tarvik.TqMSG_TRADE and message.coreHeader.ptqOptionHdr is None:
            symbol = message.coreHeader.ptqStringSymbol
            if symbol is not None and symbol.String == "IBM":
                strings.add(id(symbol.String))
        return 0

    kept = []
    Tarvik.ProcessTape(day, 0, 0, 0, lambda s, m: kept.append((s, m)) or keep(s, m))
    assert len(pairs) == 1 and len(strings) == 1
    Tarvik.ProcessTape(day, 0, 0, 0, lambda s, m: kept.append((s, m)) or 0)
    assert kept[0][0] is not kept[-1][0] and kept[0][1] is not kept[-1][1]


def test_user_data_travels_with_the_system_record_and_the_symbol(loaded, day):
    seen = []

    def keep(system, message):
        symbol = message.coreHeader.ptqStringSymbol
        name = symbol.String if symbol is not None and message.coreHeader.ptqOptionHdr is None else None
        seen.append((system.UserData, name, None if name is None else symbol.UserData1))
        if message.MessageType == Tarvik.TqMSG_EXGQUOTE and name == "IBM":
            system.UserData = 5
            symbol.UserData1 = 42
        return 0

    Tarvik.ProcessTape(day, 0, 0, 9, keep)
    assert seen[0][0] == 9
    first_quote = next(i for i, s in enumerate(seen) if s[1] == "IBM" and s[0] == 9 and i > 6)
    later = seen[first_quote + 1 :]
    assert all(user_data == 5 for user_data, _, _ in later)
    assert {data for _, name, data in later if name == "IBM"} == {42}
    assert {data for _, name, data in later if name == "MSFT"} == {0}


def test_user_data_travels_with_the_option_strings(loaded, make_tape):
    """The root, date-and-strike, underlying and series-chain strings of a
    contract carry their user data to its next message; an option string kept
    and changed while a plain symbol's message is current changes nothing."""
    tape = make_tape([
        {"header": {"date": "2024-03-15"}},
        {"symbol": {"text": "MSFT", "listed_exg": 2}},
        {"option": {"id": "O", "root": "ROOT", "listed_exg": 10, "date_and_strike": "AB", "strike": 1,
                    "expiration": "2024-04-19", "underlying": "UX", "series_chain": "SC"}},
    ] + [{"event": {"kind": "trade", "time": f"10:00:0{i}", "symbol": s, "price": 1, "size": 1}}
         for i, s in enumerate(["O", "MSFT", "O"])])
    seen = []
    kept = []

    def strings(header):
        option = header.ptqOptionHdr
        return [header.ptqStringSymbol, option.ptqsDateAndStrike, option.ptqsUnderlying, option.ptqsSeriesChain]

    def keep(system, message):
        if message.MessageType != Tarvik.TqMSG_TRADE:
            return 0
        header = message.coreHeader
        if header.ptqOptionHdr is None:
            for string in kept:
                string.UserData1, string.UserData2 = -1, -1
            return 0
        shown = strings(header)
        seen.append([(string.UserData1, string.UserData2) for string in shown])
        for role, string in enumerate(shown):
            string.UserData1, string.UserData2 = 10 + role, 20 + role
        kept[:] = shown
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    assert seen == [[(0, 0)] * 4, [(10, 20), (11, 21), (12, 22), (13, 23)]]


def test_contracts_of_one_root_switching_component_strings_keep_one_str_per_string(loaded, make_tape):
    """Two contracts of one root with different series chains, traded in
    turn: each series chain is one str for the whole run, and the run's
    memory does not grow with every switch."""
    import sys

    options = [{"option": {"id": f"O{k}", "root": "ROOT", "listed_exg": 10, "date_and_strike": f"A{k}",
                           "strike": 1, "expiration": "2024-04-19", "underlying": "UX", "series_chain": chain}}
               for k, chain in enumerate(["SC", None, "SD"])]
    trades = [{"event": {"kind": "trade", "time": f"10:{i // 60000:02d}:{i // 1000 % 60:02d}.{i % 1000:03d}",
                         "symbol": f"O{i % 3}", "price": 1, "size": 1}} for i in range(3000)]
    tape = make_tape([{"header": {"date": "2024-03-15"}}] + options + trades)
    chains, blocks, count = {}, [], 0

    def watch(system, message):
        nonlocal count
        if message.MessageType != Tarvik.TqMSG_TRADE:
            return 0
        chain = message.coreHeader.ptqOptionHdr.ptqsSeriesChain
        if chain is not None:
            chains.setdefault(chain.String, set()).add(id(chain.String))
        count += 1
        if count in (300, 2700):
            blocks.append(sys.getallocatedblocks())
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, watch) == 0
    assert {text: len(ids) for text, ids in chains.items()} == {"SC": 1, "SD": 1}
    assert len(blocks) == 2 and blocks[1] - blocks[0] < 200, blocks


@pytest.mark.parametrize("flag, kind", [(1, Tarvik.TqMSG_EXGQUOTE), (2, Tarvik.TqMSG_MMQUOTE)])
def test_control_flags_exclude_quotes(loaded, day, flag, kind):
    result, seen = replay(day, flags=flag)
    assert result == 0
    assert kind not in {s["kind"] for s in seen}


def test_answer_stop_ends_the_run(loaded, day):
    count = 0

    def stop_third(system, message):
        nonlocal count
        count += 1
        return Tarvik.TqCALLBACKRETURN_STOP if count == 3 else 0

    assert Tarvik.ProcessTape(day, 0, 0, 0, stop_third) == Tarvik.TqAPIERR_USER_STOPPED
    assert count == 3


def test_answer_restart_replays_the_tape(loaded, day):
    restarted = []

    def restart_once(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and not restarted:
            restarted.append(True)
            return Tarvik.TqCALLBACKRETURN_RESTART
        return 0

    result, seen = replay(day, restart_once)
    assert result == 0
    statuses = [s["status"] for s in seen if s["kind"] == Tarvik.TqMSG_STATUS]
    assert Tarvik.TARVIKSTATUS_RESTARTING_TAPE in statuses
    assert statuses[-1] == Tarvik.TARVIKSTATUS_COMPLETE


def test_a_callable_instance_without_vectorcall(loaded, day):
    class Counter:
        def __init__(self):
            self.objects = set()

        def __call__(self, system, message):
            self.objects.add((id(system), id(message)))
            return 0

    counter = Counter()
    assert Tarvik.ProcessTape(day, 0, 0, 0, counter) == 0
    assert len(counter.objects) == 1


@pytest.mark.parametrize(
    "args, error",
    [
        (("x", 0, 0, 0, 5), "parameter must be callable"),
        ((b"x", 0, 0, 0, print), "invalid parameters"),
        (("x", 0, 0, 0), "invalid parameters"),
        (("x", 0, 2**40, 0, print), "invalid parameters"),
    ],
)
def test_bad_arguments(loaded, args, error):
    with pytest.raises(TypeError, match=f"^{error}$"):
        Tarvik.ProcessTape(*args)


def test_keywords(loaded, day):
    result = Tarvik.ProcessTape(filename=day, pMemoryAddr=0, controlFlags=0, UserData=0, callbackFunction=lambda s, m: 0)
    assert result == 0


def test_missing_tape_is_a_result_code(loaded, tmp_path):
    assert Tarvik.ProcessTape(str(tmp_path / "none.tape"), 0, 0, 0, lambda s, m: 0) == -4


def run_child(python_child, engine_path, day, body):
    header = f"import sys, Tarvik\nTarvik.LoadTarvik({engine_path!r})\ntape = {day!r}\n"
    return python_child(header + body)


def repeats_line(kind, line, times):
    return (f'Tarvik: the same {kind} (File "<string>", line {line}) was raised {times:,} more '
            f'{"time" if times == 1 else "times"}; only the first was printed.')


def test_an_exception_that_repeats_is_printed_once_then_counted(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
calls = 0
def fail(system, message):
    global calls
    calls += 1
    raise ValueError(f"bad message {calls}")
print(Tarvik.ProcessTape(tape, 0, 0, 0, fail), calls)
""")
    assert result.returncode == 0, result.stderr
    code, calls = map(int, result.stdout.split())
    assert code == 0 and calls > 10  # the run went on to the end
    assert result.stderr.count("Traceback (most recent call last)") == 1
    assert "ValueError: bad message 1\n" in result.stderr
    assert result.stderr.endswith(repeats_line("ValueError", 9, calls - 1) + "\n")


def test_each_kind_of_exception_is_printed_once_and_counted_apart(python_child, engine_path, day):
    # Three kinds: KeyError and ValueError at line 10, KeyError at line 12.
    result = run_child(python_child, engine_path, day, """
calls = 0
def fail(system, message):
    global calls
    calls += 1
    if calls % 3 != 0:
        raise (KeyError if calls % 3 == 1 else ValueError)(calls)
    else:
        raise KeyError("other line")
print(Tarvik.ProcessTape(tape, 0, 0, 0, fail), calls)
""")
    assert result.returncode == 0, result.stderr
    calls = int(result.stdout.split()[1])
    assert result.stderr.count("Traceback (most recent call last)") == 3
    lines = result.stderr.splitlines()[-3:]
    expected = {repeats_line("KeyError", 10, (calls + 2) // 3 - 1),
                repeats_line("ValueError", 10, (calls + 1) // 3 - 1),
                repeats_line("KeyError", 12, calls // 3 - 1)}
    assert set(lines) == expected


def test_repeats_are_counted_per_run_and_reported_when_an_interrupt_ends_it(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
calls = 0
def fail(system, message):
    global calls
    calls += 1
    if calls == 5:
        raise KeyboardInterrupt
    raise ValueError("again")
try:
    Tarvik.ProcessTape(tape, 0, 0, 0, fail)
except KeyboardInterrupt:
    print("interrupted", file=sys.stderr)
print(Tarvik.ProcessTape(tape, 0, 0, 0, lambda s, m: [][0]), file=sys.stderr)
""")
    assert result.returncode == 0, result.stderr
    lines = result.stderr.splitlines()
    first = lines.index(repeats_line("ValueError", 11, 3))
    assert lines[first + 1] == "interrupted"
    # The second run prints its first exception in full again.
    assert result.stderr.count("Traceback (most recent call last)") == 2
    assert "IndexError: list index out of range" in "\n".join(lines[first:])
    assert lines[-2].startswith('Tarvik: the same IndexError (File "<string>", line 16) was raised ')


def test_a_repeat_count_is_written_with_thousands_separators(python_child, engine_path, tmp_path):
    tape = tmp_path / "synth.tape"
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", str(tape), "--messages", "3000"], check=True,
                   capture_output=True)
    result = run_child(python_child, engine_path, str(tape), """
calls = 0
def fail(system, message):
    global calls
    calls += 1
    system.NoSuchMember
print(Tarvik.ProcessTape(tape, 0, 0, 0, fail), calls)
""")
    assert result.returncode == 0, result.stderr
    calls = int(result.stdout.split()[-1])
    assert calls > 1000
    assert result.stderr.count("Traceback (most recent call last)") == 1
    assert result.stderr.endswith(repeats_line("AttributeError", 9, calls - 1) + "\n")
    assert f"{calls - 1:,}" in result.stderr and "," in f"{calls - 1:,}"


def test_keyboard_interrupt_stops_the_run_and_propagates(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
calls = 0
def interrupt(system, message):
    global calls
    calls += 1
    if calls == 4:
        raise KeyboardInterrupt
    return 0
try:
    Tarvik.ProcessTape(tape, 0, 0, 0, interrupt)
except KeyboardInterrupt:
    print("interrupted after", calls)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "interrupted after 4"


def test_an_exception_of_ones_own_outside_exception_is_printed_and_the_run_goes_on(python_child, engine_path, day):
    """Only Ctrl-C and SystemExit end the run."""
    result = run_child(python_child, engine_path, day, """
class Mine(BaseException):
    pass
calls = 0
def raising(system, message):
    global calls
    calls += 1
    raise Mine("mine")
print(Tarvik.ProcessTape(tape, 0, 0, 0, raising), calls)
""")
    assert result.returncode == 0, result.stderr
    answer, calls = map(int, result.stdout.split()[-2:])
    assert answer == 0 and calls > 1
    assert "Mine: mine" in result.stderr and result.stderr.count("Traceback (most recent call last)") == 1


@pytest.mark.parametrize("answer, error", [
    ("None", "TypeError"), ("1.5", "TypeError"), ("'0'", "TypeError"), ("[]", "TypeError"),
    # 2**32 + 1 cut to its low 32 bits would read as a stop answer.
    ("2**32 + 1", "OverflowError"), ("-2**31 - 1", "OverflowError"), ("2**64", "OverflowError"),
    ("-2**70", "OverflowError"),
])
def test_an_answer_that_is_no_32_bit_int_stops_the_run(python_child, engine_path, day, answer, error):
    result = run_child(python_child, engine_path, day, f"""
calls = 0
def forgetful(system, message):
    global calls
    calls += 1
    return {answer}
try:
    Tarvik.ProcessTape(tape, 0, 0, 0, forgetful)
except Exception as error:
    print(calls, type(error).__name__, error)
""")
    assert result.returncode == 0, result.stderr
    calls, raised, text = result.stdout.strip().split(" ", 2)
    assert (calls, raised) == ("1", error)
    if error == "TypeError":
        assert "must return an int" in text and type(eval(answer)).__name__ in text
    else:
        assert text == f"the ProcessTape callback returned {eval(answer)}, which does not fit a 32-bit int"


def test_the_widest_32_bit_answers_raise_nothing(loaded, day):
    answers = iter([2**31 - 1, -2**31])
    assert isinstance(loaded.ProcessTape(str(day), 0, 0, 0, lambda s, m: next(answers, 1)), int)


def test_nested_process_tape_is_refused_and_the_outer_run_goes_on(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
errors, count = [], 0
def outer(system, message):
    global count
    count += 1
    if count == 5:
        try:
            Tarvik.ProcessTape(tape, 0, 0, 0, lambda s, m: 0)
        except RuntimeError as error:
            errors.append(str(error))
    return 0
print(Tarvik.ProcessTape(tape, 0, 0, 0, outer), count > 20, errors)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("0 True ['ProcessTape is already running")


def test_unloading_inside_the_callback_does_not_crash(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
def mapped():
    return any("libtarvik" in line for line in open("/proc/self/maps"))
seen = []
def unload(system, message):
    Tarvik.UnloadTarvik()
    seen.append(mapped())
    return 0
print(Tarvik.ProcessTape(tape, 0, 0, 0, unload), all(seen), mapped())
""")
    assert result.returncode == 0, result.stderr
    # The library stays for the run it is running, and goes when it ends.
    assert result.stdout.split()[:2] == ["0", "True"]
    if LIBRARIES_UNMAP:
        assert result.stdout.split()[2] == "False"


def test_a_spin_callable_may_reload_and_unload_the_library(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
import tarvik_engine
spins = []
def visit(system, message):
    Tarvik.LoadTarvik(tarvik_engine.library_path())
    Tarvik.UnloadTarvik()
    return 0
def callback(system, message):
    if not spins and message.MessageType == Tarvik.TqMSG_TRADE:
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        spins.append(Tarvik.SpinSymbols(Tarvik.TqSPIN_ALL_EXGS, 0, 0, visit, 0))
    return 0
print(Tarvik.ProcessTape(tape, 0, 0, 0, callback), spins)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "[0]"]


def test_without_a_library_nothing_runs(python_child, day):
    result = python_child(f"""
        import Tarvik
        called = []
        try:
            Tarvik.ProcessTape({day!r}, 0, 0, 0, lambda s, m: called.append(1) or 0)
        except RuntimeError as error:
            print(error, called)
        """)
    assert result.stdout.strip() == "Tarvik library not loaded on this thread []"


def test_kept_objects_stay_valid_after_the_run(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
kept, makers, symbols = [], [], []
def keep(system, message):
    kept.append((system, message.coreData.Category))
    if message.coreData.MMQuote.ptqStringMarketMaker is not None:
        makers.append(message.coreData.MMQuote.ptqStringMarketMaker)
    if message.coreHeader.ptqOptionHdr is not None:
        symbols.append(message.coreHeader.ptqOptionHdr)
    return 0
Tarvik.ProcessTape(tape, 0, 0, 0, keep)
system, category = kept[-1]
print(system.StatusDisplay, makers[0].String, symbols[0].ptqsUnderlying.String, category.ptqStringCategory.String,
      category.ptqFields[0].FieldName)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["None", "MMA", "IBM", "NEWS", "None"]


def test_programs_changing_the_objects_do_not_break_the_run(python_child, engine_path, day):
    result = run_child(python_child, engine_path, day, """
def vandal(system, message):
    header = message.coreHeader
    header.ptqStringSymbol = "not a TqString"
    header.ptqOptionHdr = 5
    del message.coreData.Category.ptqFields[:]
    message.coreData.Trade.ExtTradeConditions.clear()
    return 0
print(Tarvik.ProcessTape(tape, 0, 0, 0, vandal), Tarvik.ProcessTape(tape, 0, 0, 0, vandal))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0 0"


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_days_survive_a_program_that_abuses_every_object(python_child, seed):
    # Random days of every kind of message and text, replayed by a program
    # that reassigns members, empties lists, keeps objects, raises, answers
    # oddly and calls the other functions from inside its callback. Each
    # day is also replayed reading only: meddling must not change what any
    # later message shows.
    stress = REPO / "fuzz" / "module_stress.py"
    result = python_child(f"""
import runpy, sys
sys.argv = ["module_stress", "--seed", "{seed}", "--days", "25"]
runpy.run_path({str(stress)!r}, run_name="__main__")
""", timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "25 days" in result.stdout


def test_a_finalizer_that_empties_the_trade_conditions_does_not_upset_the_fill(python_child, engine_path, day):
    # Refilling slot 0 releases the program's object, whose finalizer empties
    # the list before slots 1 to 3 are filled.
    result = run_child(python_child, engine_path, day, """
class Emptier:
    def __del__(self):
        del conditions[:]
conditions = None
trades = 0
def callback(system, message):
    global conditions, trades
    if message.MessageType == Tarvik.TqMSG_TRADE:
        trades += 1
        if conditions is None:
            conditions = message.coreData.Trade.ExtTradeConditions
            conditions[0] = Emptier()
    return 0
print(Tarvik.ProcessTape(tape, 0, 0, 0, callback), trades > 1, conditions)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "True", "[]"]
    assert result.stderr == ""


def test_option_slot_changed_by_the_program_shows_each_message(loaded, day):
    sentinel = object()
    before = sys.getrefcount(sentinel)

    def record(swap):
        seen = []

        def callback(system, message):
            header = message.coreHeader
            seen.append(header.ptqOptionHdr is not None)
            if swap:
                header.ptqOptionHdr = sentinel  # the next message shows its own again
            return 0

        assert Tarvik.ProcessTape(day, 0, 0, 0, callback) == 0
        return seen

    assert record(swap=True) == record(swap=False)
    assert sys.getrefcount(sentinel) == before

    kept = []

    def keep_option(system, message):
        kept.append(message.coreHeader)
        return 1 if message.coreHeader.ptqOptionHdr is not None else 0

    assert Tarvik.ProcessTape(day, 0, 0, 0, keep_option) == Tarvik.TqAPIERR_USER_STOPPED
    option = kept[-1].ptqOptionHdr
    del kept[:]
    assert type(option) is Tarvik.TqOptionHdr and option.ptqsDateAndStrike.String == "PX"


def test_two_threads_replay_two_tapes_at_once(engine_path, day, sample_tape):
    def summarise(tape):
        Tarvik.LoadTarvik(engine_path)
        counts = [0] * 8
        last = {}

        def count(system, message):
            counts[message.MessageType] += 1
            if message.MessageType == Tarvik.TqMSG_TRADE and message.coreHeader.ptqStringSymbol is not None:
                last[message.coreHeader.ptqStringSymbol.String] = message.coreData.Trade.Last
            return 0

        result = Tarvik.ProcessTape(tape, 0, 0, 0, count)
        Tarvik.UnloadTarvik()
        return result, counts, last

    alone = [summarise(day), summarise(day)]
    together = [None, None]
    threads = [threading.Thread(target=lambda i=i: together.__setitem__(i, summarise(day))) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert together == alone


def test_runs_leak_nothing(loaded, day):
    def run():
        Tarvik.ProcessTape(day, 0, 0, 0, lambda s, m: 0)

    for _ in range(3):
        run()
    before = sys.getallocatedblocks()
    for _ in range(30):
        run()
    assert sys.getallocatedblocks() - before < 50


def test_a_later_tape_reusing_atoms_shows_its_own_symbols(loaded, make_tape):
    def tape(first, second):
        return make_tape([
            {"header": {"date": "2024-03-15"}},
            {"symbol": {"text": first, "listed_exg": 1, "atom": 1}},
            {"symbol": {"text": second, "listed_exg": 1, "atom": 2}},
            {"event": {"kind": "trade", "time": "10:00:00", "symbol": first, "price": 1, "size": 1}},
            {"event": {"kind": "trade", "time": "10:00:01", "symbol": second, "price": 2, "size": 1}},
        ])

    def traded(path):
        names = []

        def keep(system, message):
            if message.MessageType == Tarvik.TqMSG_TRADE:
                names.append(message.coreHeader.ptqStringSymbol.String)
            return 0

        Tarvik.ProcessTape(path, 0, 0, 0, keep)
        return names

    assert traded(tape("AAA", "BBB")) == ["AAA", "BBB"]
    assert traded(tape("CCC", "AAA")) == ["CCC", "AAA"]


def test_market_makers_show_their_own_names_run_after_run(python_child, engine_path, make_tape):
    """More market makers than the cache in front of their map has slots,
    met in one order and then in reverse, then a second day of as many
    makers under other names (the engine's texts of the first day are gone,
    and the second day's may sit at the same addresses): every quote shows
    its own maker. A stale cache slot would show a freed str, so the runs go
    on in a child."""
    tapes = {}
    for prefix, count in [("M", 1500), ("N", 1500)]:
        names = [f"{prefix}{i}" for i in range(count)]
        tapes[make_tape([
            {"header": {"date": "2024-03-15"}},
            {"symbol": {"text": "MSFT", "listed_exg": 2}},
        ] + [{"event": {"kind": "mmquote", "time": "10:00:00", "symbol": "MSFT", "market_maker": name,
                        "bid": 1, "ask": 2}} for name in names + names[::-1]])] = names + names[::-1]
    result = python_child(f"""
import Tarvik
Tarvik.LoadTarvik({engine_path!r})
for path, expected in {tapes!r}.items():
    seen = []
    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_MMQUOTE:
            seen.append(message.coreData.MMQuote.ptqStringMarketMaker.String)
        return 0
    assert Tarvik.ProcessTape(path, 0, 0, 0, keep) == 0
    assert seen == expected, path
print("ok")
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_runs_balance_every_reference_under_the_debug_interpreter(engine_path, make_tape):
    """sys.gettotalrefcount of the debug interpreter over many runs: a
    reference lost or kept per message or per run shows at once."""
    import os
    import shutil
    import subprocess
    from pathlib import Path

    from conftest import BUILD_DIR

    debug_python = shutil.which("python3.14d")
    debug_build = Path(os.environ.get("TARVIK_DEBUG_BUILD_DIR", str(BUILD_DIR) + "-dbg")) / "python"
    if debug_python is None or not list(debug_build.glob("Tarvik.cpython-*d-*.so")):
        pytest.skip("no debug interpreter or no debug build of the module")
    tape = make_tape(DAY)
    code = f"""
import sys, Tarvik
Tarvik.LoadTarvik({engine_path!r})
calls = [0]
sentinel = object()
def change_option_slot(header):
    # every way a program can change the writable option slot, in turn
    calls[0] += 1
    pattern = calls[0] % 5
    if pattern == 1:
        header.ptqOptionHdr = sentinel
    elif pattern == 2:
        del header.ptqOptionHdr
    elif pattern == 3:
        header.ptqOptionHdr = header.ptqOptionHdr
    elif pattern == 4:
        shown = header.ptqOptionHdr
        header.ptqOptionHdr = sentinel
        header.ptqOptionHdr = shown
def callback(system, message):
    change_option_slot(message.coreHeader)
    message.coreHeader.ptqStringSymbol
    message.coreData.Trade.ExtTradeConditions[0]
    message.coreData.MMQuote.ptqStringMarketMaker
    if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
        Tarvik.StateGetMMQuotes(2, 2, "MSFT")
        Tarvik.StateGetExgQuotes(1, "IBM")
        Tarvik.GetDefinedString(3, 1)
    return 0
def run():
    calls[0] += 1  # the patterns meet other messages on every run
    assert Tarvik.ProcessTape({tape!r}, 0, 0, 0, callback) == 0
for _ in range(3):
    run()
total = sys.gettotalrefcount()
for _ in range(50):
    run()
assert sys.getrefcount(sentinel) == 2, sys.getrefcount(sentinel)
print(sys.gettotalrefcount() - total)
"""
    result = subprocess.run([debug_python, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                            timeout=600, env=dict(os.environ, PYTHONPATH=str(debug_build)))
    assert result.returncode == 0, result.stderr
    assert abs(int(result.stdout)) < 20


def test_a_category_with_more_fields_than_the_record_holds(loaded, make_tape):
    fields = [{"name": f"F{i}", "type": "32bit"} for i in range(300)]
    tape = make_tape([
        {"header": {"date": "2024-03-15"}},
        {"symbol": {"text": "IBM", "listed_exg": 1}},
        {"category": {"id": 9, "name": "WIDE", "fields": fields}},
        {"event": {"kind": "category", "time": "10:00:00", "symbol": "IBM", "category": 9,
                   "values": list(range(300))}},
    ])
    seen = {}

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_CATEGORY:
            category = message.coreData.Category
            seen["count"] = category.NFields
            seen["values"] = [category.ptqFields[i].data.i32Bit for i in range(category.NFields)]
            seen["names"] = {category.ptqFields[0].FieldName, category.ptqFields[255].FieldName}
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    assert seen == {"count": 256, "values": list(range(256)), "names": {"F0", "F255"}}


def test_category_texts_that_repeat_shorten_or_grow(loaded, make_tape):
    """Category names and string values follow each message's text, also when
    it repeats, is a prefix of the last one, extends it or is not ASCII."""
    values = ["Wire", "Wire", "Wir", "Wired", "", "Wire", "Wiré", "Wire"]
    names = ["NEWS", "NEWS", "NEW", "NEWSX", "NEWS", "NEWS", "NEWS", "NEWS"]
    tape = make_tape([
        {"header": {"date": "2024-03-15"}},
        {"symbol": {"text": "IBM", "listed_exg": 1}},
    ] + [{"category": {"id": i, "name": name, "fields": [{"name": "Source", "type": "tqstring"}]}}
         for i, name in enumerate(names, start=1)]
      + [{"event": {"kind": "category", "time": f"10:00:0{i}", "symbol": "IBM", "category": i + 1,
                    "values": [value]}} for i, value in enumerate(values)])
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_CATEGORY:
            category = message.coreData.Category
            seen.append((category.ptqStringCategory.String, category.ptqFields[0].data.ptqString.String))
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    assert seen == list(zip(names, values))


def test_symbol_changes_show_the_old_symbol_and_option(loaded, make_tape):
    tape = make_tape([
        {"header": {"date": "2024-03-15"}},
        {"symbol": {"text": "NEWCO", "listed_exg": 1}},
        {"symbol": {"text": "OLDCO", "listed_exg": 2}},
        {"option": {"id": "OLD-C", "root": "OLDCO", "listed_exg": 10, "date_and_strike": "DA", "strike": 5000,
                    "expiration": "2024-06-21", "underlying": "OLDCO"}},
        {"event": {"kind": "symbolchange", "time": "10:00:00", "symbol": "NEWCO", "status": "mod",
                   "old_symbol": "OLD-C", "old_listed_exg": 2}},
        {"event": {"kind": "symbolchange", "time": "10:00:01", "symbol": "NEWCO", "status": "del"}},
    ])
    changes = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_SYMBOLCHANGE:
            change = message.coreData.SymbolChange
            row = [message.coreHeader.ptqStringSymbol.String, change.Status, change.StatusChar, change.ListedExgOld]
            if change.Status == Tarvik.TqSS_MOD:
                old = change.ptqOptionHdrOld
                row += [change.ptqsSymbolOld.String, old.ptqsDateAndStrike.String, old.ptqsUnderlying.String,
                        old.strikePrice, (old.tqExpirationDate.Year, old.tqExpirationDate.Month,
                                          old.tqExpirationDate.Day)]
            elif change.Status == Tarvik.TqSS_DEL:  # unset: the members raise AttributeError
                row += [getattr(change, "ptqsSymbolOld", None), getattr(change, "ptqOptionHdrOld", None)]
            changes.append(row)
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    assert changes[-2:] == [
        ["NEWCO", 2, "M", 2, "OLDCO", "DA", "OLDCO", 5000, (2024, 6, 21)],
        ["NEWCO", 1, "D", 0, None, None],
    ]


def test_string_caches(loaded, make_tape):
    """One str per symbol and listed exchange (266 shares the slots of 10),
    one per date-and-strike code, and option components that follow the
    contract's header."""
    tape = make_tape([
        {"header": {"date": "2024-03-15"}},
        {"symbol": {"id": "S1", "text": "SAME", "listed_exg": 1, "atom": 5}},
        {"symbol": {"id": "S2", "text": "SAME", "listed_exg": 2, "atom": 5}},
        {"symbol": {"id": "S10", "text": "TEN", "listed_exg": 10, "atom": 6}},
        {"symbol": {"id": "S266", "text": "TEN", "listed_exg": 266, "atom": 6}},
        {"option": {"id": "O1", "root": "ROOT", "listed_exg": 10, "atom": 7, "date_and_strike": "AB", "strike": 1,
                    "expiration": "2024-04-19", "underlying": "UX"}},
        {"option": {"id": "O2", "root": "ROOT", "listed_exg": 10, "atom": 8, "date_and_strike": "AB", "strike": 2,
                    "expiration": "2024-05-17", "underlying": "UY"}},
    ] + [{"event": {"kind": "trade", "time": f"10:00:0{i}", "symbol": s, "price": 1, "size": 1}}
         for i, s in enumerate(["S1", "S2", "S10", "S266", "O1", "O2", "O1"])])
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            header = message.coreHeader
            option = header.ptqOptionHdr
            seen.append((header.ptqStringSymbol.String, header.ListedExg,
                         None if option is None else option.ptqsUnderlying.String,
                         None if option is None else option.ptqsDateAndStrike.String))
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    names = [row[0] for row in seen]
    assert names == ["SAME", "SAME", "TEN", "TEN", "ROOT", "ROOT", "ROOT"]
    assert names[0] is not names[1], "one str per listed exchange"
    assert names[2] is names[3], "listed exchange 266 uses the slots of 10"
    assert names[4] is names[5] is names[6], "one str per option root"
    assert [row[2] for row in seen[4:]] == ["UX", "UY", "UX"]
    assert seen[4][3] is seen[5][3] and seen[4][3] == "AB", "one str per date-and-strike code"


# --- the live tape -------------------------------------------------------------

# Follows a live tape (argv: tape, what follows its blocks, idle limit) in a
# child: the file first holds the day without its End section, then `tail`;
# a Python thread, which runs only if the wait lets it, counts and then
# writes the End section where the tail starts. Prints the result, the
# trades delivered, the wait statuses seen and whether the thread ran.
FOLLOW_LIVE = """
import os, sys, threading, Tarvik, tarvik_engine
tape, tail, live = sys.argv[1], sys.argv[2], sys.argv[3]
whole = open(tape, "rb").read()
body, end = whole[:-16], whole[-16:]
with open(live, "wb") as f:
    f.write(body + {"cut": b"", "zeros": bytes(4096)}[tail])
Tarvik.LoadTarvik(tarvik_engine.library_path())
waiting = threading.Event()
ran = []
def writer():
    waiting.wait()
    ran.append(1)
    with open(live, "r+b") as f:
        f.seek(len(body))
        f.write(end)
thread = threading.Thread(target=writer)
thread.start()
seen = {"trades": 0, "waits": 0}
def callback(system, message):
    if message.MessageType == Tarvik.TqMSG_TRADE:
        seen["trades"] += 1
    if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_WAITFORCOREACCESS:
        seen["waits"] += 1
        waiting.set()
    return 0
result = Tarvik.ProcessTape("", 0, 0, 0, callback)
waiting.set()
thread.join()
print(result, seen["trades"], seen["waits"] > 0, bool(ran))
"""


# Ends a child that follows the live tape: prints the run's result and the
# trades it delivered.
COUNT_LIVE_TRADES = """
trades = []
def callback(system, message):
    if message.MessageType == Tarvik.TqMSG_TRADE:
        trades.append(1)
    return 0
print(Tarvik.ProcessTape("", 0, 0, 0, callback), len(trades))
"""


def live_env(live, idle):
    return {"TARVIK_REALTIME_TAPE": str(live), "TARVIK_REALTIME_IDLE_MS": idle}


@pytest.mark.parametrize("tail", ["cut", "zeros"])
@pytest.mark.parametrize("idle", ["20000", "9300000000000", "99999999999999999999999"])
def test_other_threads_run_while_the_live_tape_waits(python_child, day, tmp_path, tail, idle):
    """The wait releases the interpreter, so the writer thread can finish the
    tape; a zero-filled region is waited for like a block not yet written,
    and an idle limit too large for any clock means a long wait."""
    live = tmp_path / "live.tape"
    child = python_child(f"import sys; sys.argv[1:] = [{day!r}, {tail!r}, {str(live)!r}]\n" + FOLLOW_LIVE,
                         timeout=60, env=live_env(live, idle))
    assert child.returncode == 0, child.stderr
    trades = sum(1 for line in DAY if line.get("event", {}).get("kind") == "trade")
    assert child.stdout.split() == ["0", str(trades), "True", "True"]


def test_a_live_tape_written_slowly_is_followed_past_the_idle_limit(python_child, engine_path, day, tmp_path):
    """Its bytes come a thirtieth at a time, 0.1 s apart: each block takes
    longer than the idle limit of 0.6 s to be whole, yet bytes keep coming."""
    live = tmp_path / "live.tape"
    live.write_bytes(b"")
    child = python_child(f"""
import threading, time, Tarvik
Tarvik.LoadTarvik({engine_path!r})
data = open({day!r}, "rb").read()
def write():
    step = len(data) // 30 + 1
    with open({str(live)!r}, "ab") as out:
        for at in range(0, len(data), step):
            out.write(data[at:at + step])
            out.flush()
            time.sleep(0.1)
threading.Thread(target=write, daemon=True).start()
""" + COUNT_LIVE_TRADES, timeout=60, env=live_env(live, "600"))
    assert child.returncode == 0, child.stderr
    trades = sum(1 for line in DAY if line.get("event", {}).get("kind") == "trade")
    assert child.stdout.split() == ["0", str(trades)]


@pytest.mark.parametrize("first", ["nothing", "the-preamble"])
def test_a_live_tape_extended_with_zeros_first_is_followed_as_it_is_filled(python_child, engine_path, day, tmp_path,
                                                                          first):
    """A writer that makes the file its full size in zeros first, then fills
    it in pieces slower than the idle limit: the zeros are waited for where
    the preamble, the tables or a block belong, and filling them counts as
    bytes arriving; info shows the tape still being written."""
    live = tmp_path / "live.tape"
    data = Path(day).read_bytes()
    live.write_bytes(b"")
    child = python_child(f"""
import os, subprocess, threading, time, Tarvik, tarvik_engine
Tarvik.LoadTarvik({engine_path!r})
data = open({day!r}, "rb").read()
live = {str(live)!r}
infos = []
def write():
    with open(live, "r+b") as out:
        start = 16 if {first!r} == "the-preamble" else 0
        out.write(data[:start])
        out.truncate(len(data) + 4096)
        out.flush()
        time.sleep(0.3)
        infos.append(subprocess.run([tarvik_engine.tape_tool_path(), "info", live], capture_output=True, text=True))
        step = (len(data) - start) // 20 + 1
        for at in range(start, len(data), step):
            if at + step >= len(data):  # all but the last piece, which holds the End section
                infos.append(subprocess.run([tarvik_engine.tape_tool_path(), "info", live],
                                            capture_output=True, text=True))
            out.seek(at)
            out.write(data[at:at + step])
            out.flush()
            os.utime(live)  # the clock of a file system may be coarser than the pieces
            time.sleep(0.1)
threading.Thread(target=write, daemon=True).start()
""" + COUNT_LIVE_TRADES + """
for info in infos[1:]:
    print(info.returncode, "complete      no" in info.stdout)
""", timeout=60, env=live_env(live, "500"))
    assert child.returncode == 0, child.stderr
    trades = sum(1 for line in DAY if line.get("event", {}).get("kind") == "trade")
    assert child.stdout.split() == ["0", str(trades), "0", "True"]


@pytest.mark.parametrize("start", [b"", b"TARVIKTP"], ids=["empty", "preamble-only"])
def test_other_threads_run_while_the_live_tape_waits_for_its_tables(python_child, engine_path, tmp_path, start):
    """No callback can release the interpreter before the tables are there."""
    live = tmp_path / "live.tape"
    live.write_bytes(start)
    child = python_child(f"""
import threading, time, Tarvik
Tarvik.LoadTarvik({engine_path!r})
ticks = []
def tick():
    for _ in range(10):
        ticks.append(1)
        time.sleep(0.05)
threading.Thread(target=tick, daemon=True).start()
time.sleep(0.01)
print(Tarvik.ProcessTape("", 0, 0, 0, lambda s, m: 0), len(ticks))
""", timeout=60, env=live_env(live, "1500"))
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == [str(Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED), "10"]


@pytest.mark.parametrize("idle", ["abc", "-5", "1.5", "10 ", "0x10"])
def test_a_malformed_idle_limit_is_a_parameter_error(loaded, day, tmp_path, monkeypatch, idle):
    live = tmp_path / "live.tape"
    live.write_bytes(Path(day).read_bytes())
    for name, value in live_env(live, idle).items():
        monkeypatch.setenv(name, value)
    calls = []
    assert Tarvik.ProcessTape("", 0, 0, 0, lambda s, m: calls.append(1) or 0) == Tarvik.TqAPIERR_BAD_PARAMETERS
    assert calls == []


def test_ctrl_c_during_a_live_wait_raises_keyboard_interrupt(python_child, day, tmp_path):
    """SIGINT while the engine waits for data ends the run at once with
    KeyboardInterrupt, long before the idle limit."""
    live = tmp_path / "live.tape"
    live.write_bytes(Path(day).read_bytes()[:-16])
    child = python_child(f"""
        import faulthandler, os, signal, sys, threading, time, Tarvik, tarvik_engine
        # Should the run not end, the stacks of every thread say where it waits.
        faulthandler.dump_traceback_later(45, exit=True)
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        waiting = threading.Event()
        def interrupt():
            waiting.wait()
            # Once is enough; the repeats only keep a loaded machine from
            # turning a late first delivery into a timeout, and are counted.
            for sent in range(1, 100):
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.5)
                print("SIGINT sent", sent + 1, "times", file=sys.stderr)
        threading.Thread(target=interrupt, daemon=True).start()
        # The first SIGINT raises KeyboardInterrupt, as by default; a repeat
        # arriving after it (while the answer is printed, or at exit) is
        # let be, or it would end the child with a second one.
        interrupted = []
        def first_only(signum, frame):
            if not interrupted:
                interrupted.append(signum)
                raise KeyboardInterrupt
        signal.signal(signal.SIGINT, first_only)
        def callback(system, message):
            if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_WAITFORCOREACCESS:
                waiting.set()
            return 0
        try:
            Tarvik.ProcessTape("", 0, 0, 0, callback)
        except KeyboardInterrupt:
            print("interrupted")
    """, timeout=60, env=live_env(live, "3600000"))
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "interrupted"


# --- threads that end -------------------------------------------------------------

def test_thread_exit_releases_the_threads_objects(python_child, engine_path, day):
    """200 threads each replay once with a callable that holds 1 MB: when
    they have ended, every callable is gone and memory is back near where
    it was (it would grow by 200 MB if each thread kept its callable)."""
    child = python_child(f"""
        import gc, threading, time, weakref, Tarvik
        def rss_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 / 2**20
        class Callable:
            def __init__(self):
                self.payload = b"x" * 2**22  # written, so it counts in RSS
                self.spun = False
            def __call__(self, system, message):
                if message.MessageType == Tarvik.TqMSG_TRADE and not self.spun:
                    self.spun = True  # the spin slot holds it too
                    Tarvik.SpinSymbols(0xFFFF, 0, 0, self, 0)
                return 0
        refs = []
        errors = []
        def run():
            try:
                Tarvik.LoadTarvik({engine_path!r})
                callable_ = Callable()
                refs.append(weakref.ref(callable_))
                assert Tarvik.ProcessTape({day!r}, 0, 0, 0, callable_) == 0
                assert callable_.spun
            except BaseException as error:
                errors.append(error)
        def run_thread():
            thread = threading.Thread(target=run)
            thread.start()
            return thread
        run_thread().join()
        baseline = rss_mb()
        for _ in range(20):
            threads = [run_thread() for _ in range(10)]
            for t in threads:
                t.join()
        # join() returns before the thread's native exit handlers have run.
        # On a loaded machine that can take a while: wait up to 30 s.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            gc.collect()
            if all(r() is None for r in refs):
                break
            time.sleep(0.01)
        assert not errors, errors
        print(sum(r() is not None for r in refs), round(rss_mb() - baseline))
    """, timeout=120)
    assert child.returncode == 0, child.stderr
    alive, growth = map(int, child.stdout.split())
    assert alive == 0
    # 200 leaked callables would hold 800 MB; the allocator's per-thread
    # arenas alone account for tens of MB, more under a debug interpreter.
    if not SANITIZED:
        assert growth < 200, f"RSS grew by {growth} MB"


def test_repr_inside_the_callback_shows_the_message_and_changes_nothing(loaded, day):
    shown = []

    def show(system, message):
        shown.append((message.MessageType, repr(system), repr(message)))
        return 0

    result, with_repr = replay(day, show)
    assert result == 0
    def values(seen):  # a run's objects are made anew for each run: compared by type
        plain = (int, str, tuple, type(None))
        return [{k: v if isinstance(v, plain) else type(v) for k, v in s.items()} for s in seen]

    assert values(with_repr) == values(replay(day)[1])
    trades = [text for kind, _, text in shown if kind == Tarvik.TqMSG_TRADE]
    assert "Trade=<TarvikTrade Price=101 PriceType=2 " in trades[0] and " Size=300 " in trades[0]
    assert "ptqStringSymbol=<TqString UserData1=0 UserData2=0 Atom=" in trades[0]
    assert "String='IBM'>" in trades[0]
    assert any("TapeDisplay='Test day'" in system for _, system, _ in shown)


@pytest.mark.parametrize("compress", [True, False], ids=["packed", "plain"])
@pytest.mark.parametrize("change", ["cut", "overwrite"])
def test_a_tape_changed_under_a_running_replay_ends_it_cleanly(python_child, engine_path, tmp_path, compress, change):
    """Another program cutting the mapped tape short, or writing over it,
    gives a cut block (-3) or the blocks as they were checked; never a
    fault (a cut page raised SIGBUS, a plain block changed after its check
    indexed past the symbols)."""
    tape = tmp_path / "day.tape"
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", str(tape), "--messages", "150000",
                    "--symbols", "20"] + ([] if compress else ["--no-compress"]), check=True)
    result = run_child(python_child, engine_path, str(tape), f"""
import os
trades = 0
def change_the_file(system, message):
    global trades
    if message.MessageType == Tarvik.TqMSG_TRADE:
        trades += 1
        if trades == 5:
            if {change!r} == "cut":
                os.truncate(tape, os.path.getsize(tape) // 3)
            else:
                with open(tape, "r+b") as f:
                    f.seek(30000)
                    f.write(bytes([1]) * (os.path.getsize(tape) - 30000))
    return 0
print(Tarvik.ProcessTape(tape, 0, 0, 0, change_the_file))
""")
    assert result.returncode == 0, result.stderr
    assert int(result.stdout.split()[-1]) in (0, Tarvik.TqAPIERR_EXCEPTION)

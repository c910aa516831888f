"""Symbol filters: which symbols reach the callback, decided when the engine
announces them, and the argument forms the three filter functions accept."""

import threading

import pytest

import Tarvik

# Names on several listed exchanges, each with one trade.
SYMBOLS = [("A", 1), ("B", 3), ("B", 4), ("BA", 1), ("C", 2), ("D", 1), ("AZ", 1), ("DA", 1), ("", 1),
           ("\u00e9T", 1), ("Z", 0)]


def script():
    lines = [{"header": {"date": "2024-03-15"}}]
    for name, exchange in SYMBOLS:
        lines.append({"symbol": {"id": f"{name}@{exchange}", "text": name, "listed_exg": exchange}})
    for name, exchange in SYMBOLS:
        lines.append({"event": {"kind": "trade", "time": "10:00:00", "symbol": f"{name}@{exchange}", "price": 1,
                                "size": 1}})
    return lines


@pytest.fixture
def tape(make_tape):
    return make_tape(script())


@pytest.fixture
def no_filter():
    yield
    assert Tarvik.FilterSymbols(5) is False  # a refused form turns the filter off


def delivered(tape):
    trades = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            trades.append((message.coreHeader.ptqStringSymbol.String, message.coreHeader.ListedExg))
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    return sorted(trades)


def expected(pairs):
    return sorted(pairs)


@pytest.mark.parametrize(
    "argument, kept",
    [
        (["A", ("B", 3)], [("A", 1), ("B", 3)]),
        ("A", [("A", 1)]),
        (("A",), [("A", 1)]),
        (("B", 4), [("B", 4)]),
        ([("B", 256)], [("B", 3), ("B", 4)]),
        ([("B", 3), ("B", 4)], [("B", 4)]),
        ([("A", 1, "extra"), "C"], [("C", 2)]),
        ([], []),
        (["Z"], [("Z", 0)]),
        ([("A", 0)], []),
        (["\u00e9T"], [("\u00e9T", 1)]),
    ],
)
def test_filter_symbols(loaded, tape, no_filter, argument, kept):
    assert Tarvik.FilterSymbols(argument) is True
    assert delivered(tape) == expected(kept)


@pytest.mark.parametrize(
    "argument, withheld",
    [
        (["A", ("B", 3)], [("A", 1), ("B", 3)]),
        ("D", [("D", 1)]),
        ([("B", 256)], [("B", 3), ("B", 4)]),
        ([], []),
        (["Y"], []),
    ],
)
def test_exclude_symbols(loaded, tape, no_filter, argument, withheld):
    assert Tarvik.ExcludeSymbols(argument) is True
    assert delivered(tape) == expected(set(SYMBOLS) - set(withheld))


@pytest.mark.parametrize(
    "bounds, kept",
    [
        (("B", "D"), [("B", 3), ("B", 4), ("BA", 1), ("C", 2), ("D", 1)]),
        (("B", "D", 3), [("B", 3)]),
        (("", ""), SYMBOLS),
        (("", "", 1), [s for s in SYMBOLS if s[1] == 1]),
        (("", "A"), [("A", 1), ("", 1), ("\u00e9T", 1)]),
        (("Y", ""), [("Z", 0)]),
    ],
)
def test_filter_symbols_range(loaded, tape, no_filter, bounds, kept):
    assert Tarvik.FilterSymbolsRange(*bounds) is True
    assert delivered(tape) == expected(kept)


@pytest.mark.parametrize(
    "argument",
    [5, [5], ["A", 5], ("A", "B"), ("A", 1, 2), [("A", "x")], [(5,)], [("A", 2**32)], "\ud800", ["A\0B"], None, 1.5],
)
@pytest.mark.parametrize("function", [Tarvik.FilterSymbols, Tarvik.ExcludeSymbols])
def test_refused_forms_return_false_and_turn_the_filter_off(loaded, tape, no_filter, function, argument):
    assert Tarvik.FilterSymbols(["A"]) is True
    assert function(argument) is False
    assert delivered(tape) == expected(SYMBOLS)


@pytest.mark.parametrize("arguments", [(), ("A",), ("A", 1), ("A", "B", "C"), ("A", "B", 2**40)])
def test_range_refuses_bad_arguments(loaded, tape, no_filter, arguments):
    assert Tarvik.FilterSymbolsRange("A", "A") is True
    assert Tarvik.FilterSymbolsRange(*arguments) is False
    assert delivered(tape) == expected(SYMBOLS)


def test_filter_functions_take_exactly_one_argument(no_filter):
    assert Tarvik.FilterSymbols() is False
    assert Tarvik.ExcludeSymbols("A", "B") is False


def test_the_last_filter_call_decides(loaded, tape, no_filter):
    assert Tarvik.ExcludeSymbols(["A"]) is True
    assert Tarvik.FilterSymbolsRange("C", "C") is True
    assert delivered(tape) == [("C", 2)]
    assert Tarvik.FilterSymbols(["D"]) is True
    assert delivered(tape) == [("D", 1)]


def test_user_data_2_steers_delivery(loaded, make_tape, no_filter):
    """The decision lives in the symbol's UserData2: a program that clears it
    withholds the symbol's later messages."""
    Tarvik.FilterSymbolsRange("", "")
    script_twice = script() + [
        {"event": {"kind": "trade", "time": "11:00:00", "symbol": f"{n}@{e}", "price": 2, "size": 1}}
        for n, e in SYMBOLS
    ]
    seen = []

    def drop_a(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            symbol = message.coreHeader.ptqStringSymbol
            seen.append(symbol.String)
            if symbol.String == "A":
                symbol.UserData2 = 0
        return 0

    Tarvik.ProcessTape(make_tape(script_twice), 0, 0, 0, drop_a)
    assert seen.count("A") == 1 and seen.count("C") == 2


def test_filters_belong_to_their_thread(loaded, tape, no_filter, engine_path):
    Tarvik.FilterSymbols(["A"])
    other = {}

    def run():
        Tarvik.LoadTarvik(engine_path)
        other["trades"] = delivered(tape)
        Tarvik.UnloadTarvik()

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    assert other["trades"] == expected(SYMBOLS)
    assert delivered(tape) == [("A", 1)]


@pytest.mark.parametrize("function", [Tarvik.RemovePermission, Tarvik.ExcludeOpraExch])
def test_permission_removal_without_the_optional_entry(variant_path, function):
    assert Tarvik.LoadTarvik(variant_path("no_optional")) != 0
    assert function(5) == -2
    Tarvik.UnloadTarvik()
    assert function(5) == -2


def test_permission_removal_argument_errors(loaded):
    assert Tarvik.RemovePermission("5") is False
    with pytest.raises(TypeError, match="^invalid parameters$"):
        Tarvik.ExcludeOpraExch("5")


def test_the_loaded_state_spin_decides_symbols_of_a_restored_day(loaded, make_tape, no_filter, tmp_path):
    """A day restored from a snapshot announces no symbols: the spin that
    follows the loaded state decides them with the filter."""
    lines = script() + [
        {"event": {"kind": "trade", "time": "11:00:00", "symbol": f"{n}@{e}", "price": 2, "size": 1}}
        for n, e in SYMBOLS
    ]
    tape = make_tape(lines)
    snapshot = str(tmp_path / "day.state")
    trades = [0]

    def save_after_first_trades(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            trades[0] += 1
            if trades[0] == len(SYMBOLS):
                assert Tarvik.SaveState(snapshot, Tarvik.TqSAVESTATE_ONEPASS) == 0
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, save_after_first_trades) == 0
    assert Tarvik.FilterSymbols(["C", ("B", 4)]) is True
    assert delivered(snapshot) == [("B", 4), ("C", 2)]


def two_rounds():
    """Every symbol trades at 10:00 and again at 11:00, with a status
    message between the two rounds."""
    return script() + [{"event": {"kind": "status", "time": "10:30:00", "symbol": None, "status": 0}}] + [
        {"event": {"kind": "trade", "time": "11:00:00", "symbol": f"{n}@{e}", "price": 2, "size": 1}}
        for n, e in SYMBOLS
    ]


@pytest.mark.parametrize(
    "before, during, kept",
    [
        (None, (Tarvik.ExcludeSymbols, [("BA", 1)]), set(SYMBOLS) - {("BA", 1)}),
        ((Tarvik.FilterSymbols, ["A", "C"]), (Tarvik.ExcludeSymbols, ["A"]), set(SYMBOLS) - {("A", 1)}),
        ((Tarvik.ExcludeSymbols, ["C"]), (Tarvik.FilterSymbols, [("B", 4)]), {("B", 4)}),
        (None, (Tarvik.FilterSymbolsRange, "B", "C"), {("B", 3), ("B", 4), ("BA", 1), ("C", 2)}),
    ],
    ids=["exclude one", "include then exclude", "exclude then include", "range"],
)
def test_a_filter_set_during_a_run_changes_only_the_symbols_it_names(loaded, make_tape, no_filter, before, during,
                                                                     kept):
    """A filter set from inside the callback applies from the next message:
    the symbols decided so far are decided again, the others at their next
    message, and none is withheld for want of a decision."""
    if before:
        assert before[0](*before[1:]) is True
    second_round = []

    def change_between_rounds(system, message):
        at = system.tqTime.Hour, system.tqTime.Minute
        if message.MessageType == Tarvik.TqMSG_STATUS and at == (10, 30):
            assert during[0](*during[1:]) is True
        elif message.MessageType == Tarvik.TqMSG_TRADE and at == (11, 0):
            second_round.append((message.coreHeader.ptqStringSymbol.String, message.coreHeader.ListedExg))
        return 0

    assert Tarvik.ProcessTape(make_tape(two_rounds()), 0, 0, 0, change_between_rounds) == 0
    assert sorted(second_round) == sorted(kept)


@pytest.mark.parametrize("before", [None, (Tarvik.FilterSymbols, ["BA", "C"])], ids=["no filter", "include"])
@pytest.mark.parametrize("inside", ["message", "spin", "spin in spin"])
def test_a_symbol_excluded_from_inside_its_own_message_is_withheld_from_the_next(loaded, make_tape, no_filter,
                                                                                before, inside):
    """The message (or spin message) under way writes its strings' words
    back when it ends: that must not undo the decision its own callable
    just made."""
    if before:
        assert before[0](*before[1:]) is True
    seen = []

    def exclude_in_spin(system, message):
        symbol = message.coreHeader.ptqStringSymbol
        if symbol is not None and (symbol.String, message.coreHeader.ListedExg) == ("BA", 1):
            assert Tarvik.ExcludeSymbols([("BA", 1)]) is True
        return 0

    def spin_again_at_ba(system, message):
        symbol = message.coreHeader.ptqStringSymbol
        if symbol is not None and (symbol.String, message.coreHeader.ListedExg) == ("BA", 1):
            assert Tarvik.SpinSymbols(Tarvik.TqSPIN_ALL_EXGS, 0, 1, exclude_in_spin, 0) == 0
        return 0

    def exclude_at_first_trade(system, message):
        if message.MessageType != Tarvik.TqMSG_TRADE:
            return 0
        symbol = (message.coreHeader.ptqStringSymbol.String, message.coreHeader.ListedExg)
        seen.append((system.tqTime.Hour, symbol))
        if system.tqTime.Hour != 10:
            return 0
        # A spin from another symbol's message: that message's own write-back
        # would hide a spin's.
        if inside == "message" and symbol == ("BA", 1):
            assert Tarvik.ExcludeSymbols([("BA", 1)]) is True
        elif inside != "message" and symbol == ("C", 2):
            spin = exclude_in_spin if inside == "spin" else spin_again_at_ba
            assert Tarvik.SpinSymbols(Tarvik.TqSPIN_ALL_EXGS, 0, 0, spin, 0) == 0
        return 0

    assert Tarvik.ProcessTape(make_tape(two_rounds()), 0, 0, 0, exclude_at_first_trade) == 0
    assert (11, ("BA", 1)) not in seen
    assert {symbol for hour, symbol in seen if hour == 11} == set(SYMBOLS) - {("BA", 1)}

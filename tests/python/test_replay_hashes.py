"""The engine's behaviour, message for message, against hashes recorded from
a known-good engine: every callback's records and the state queries'
answers (tests/replay_hash/replay_hash.cpp says what goes into a hash), over
several day shapes and control flags, and a run resumed from a snapshot.

A changed hash means a client would see something different. To find the
first message that differs, run the harness with --trace under the old and
the new engine and compare the outputs. Re-record (pytest
tests/python/test_replay_hashes.py --record-replay-hashes) only for an
intended change of behaviour, and say in the commit what changed."""

import random
import subprocess
from pathlib import Path

import pytest

import tarvik_engine
from conftest import BUILD_DIR, compile_tape

HARNESS = BUILD_DIR / "tests" / "replay_hash" / "replay_hash"
RECORDED = Path(__file__).with_name("replay_hashes.txt")

# Days the tape tool synthesises: (name, synth arguments).
SYNTH_DAYS = {
    "options": ["--symbols", "40", "--options-per-symbol", "6", "--messages", "60000"],
    "options-plain": ["--symbols", "40", "--options-per-symbol", "6", "--messages", "60000", "--no-compress"],
    "market-makers": ["--symbols", "12", "--options-per-symbol", "0", "--mix", "40,40,15,5", "--messages", "40000",
                      "--seed", "5"],
    "trades-only": ["--symbols", "1", "--options-per-symbol", "0", "--mix", "0,0,1,0", "--messages", "30000"],
    "many-symbols": ["--symbols", "3000", "--options-per-symbol", "2", "--messages", "50000", "--seed", "9"],
}
DAYS = list(SYNTH_DAYS) + ["script"]

# Runs of each day: (name, harness arguments). Permission 2 is the option
# contracts' in synthesised days; exchange 8 reports option quotes there.
RUNS = {
    "all": [],
    "exclude-quotes": ["--flags", "1"],
    "exclude-quotes2": ["--flags", "2"],
    "exclude-opra": ["--flags", "4"],
    "no-crc-check": ["--flags", str(0x8000000)],
    "remove-permission-2": ["--exclude", str(0x100002)],
    "exclude-option-exchange-8": ["--exclude", "8"],
    "every-message": ["--every", "1"],
}
RESUMED_DAYS = {"options": 30000, "script": 1500, "many-symbols": 20000}


def script_day(rng):
    """A day that synth does not make: two sessions, symbol changes of plain
    symbols and option contracts, statuses, every category field type,
    trade corrections and conditions, quote conditions and market makers
    without a name."""
    lines = [{"header": {"date": "2024-03-15", "permission_set": "AB", "time_zone": -5, "display": "Script day"}},
             {"strings": {"table": 3, "texts": ["", "NYSE", "AMEX", "NASDAQ", "BSE", "ARCA", "OPRA", "CBOE"]}}]
    symbols = []
    for i in range(8):
        name = f"SY{i}"
        symbols.append(name)
        lines.append({"symbol": {"text": name, "listed_exg": 1 + i % 3, "session": i % 2, "price_type": 2,
                                 "prev_close": 1000 + 250 * i}})
    for root in ("SY0", "SY1"):
        for k in range(4):
            name = f"{root}-{k}"
            symbols.append(name)
            lines.append({"option": {"id": name, "root": root, "listed_exg": 6, "price_type": 2,
                                     "date_and_strike": "DA" if k % 2 else "PA", "underlying": root,
                                     "series_chain": root, "exg_underlying": 1, "contract_unit": 100,
                                     "strike": 10000 + 500 * k, "put_call": k % 2, "expiration": "2024-04-19"}})
    lines.append({"category": {"id": 3, "name": "Everything", "fields": [
        {"name": "Text", "info": "free text", "type": "stringz"}, {"name": "N", "type": "32bit"},
        {"name": "Big", "type": "64bit"}, {"name": "D", "type": "date"}, {"name": "T", "type": "time"},
        {"name": "P", "type": "price"}, {"name": "X", "type": "double"}, {"name": "S", "type": "tqstring"},
        {"name": "I", "type": "string_idx"}, {"name": "M", "type": "string_map"}]}})
    time = 9 * 3600 * 10**6
    for n in range(3000):
        time += rng.randint(0, 20_000_000)
        symbol = rng.choice(symbols)
        option = "-" in symbol
        event = {"time": time, "symbol": symbol, "reporting_exg": rng.randint(1, 8), "session": rng.randint(0, 1),
                 "permission_id": 2 if option else 1, "price_type": 2}
        kind = rng.choices(["exgquote", "mmquote", "trade", "category", "symbolchange", "status"],
                           [50, 15, 25, 4, 3, 1])[0]
        mid = 1000 + rng.randint(0, 2000)
        if kind in ("exgquote", "mmquote"):
            event |= {"bid": mid - rng.randint(1, 5), "ask": mid + rng.randint(1, 5),
                      "bid_size": rng.randint(0, 50) * 100, "ask_size": rng.randint(0, 50) * 100,
                      "quote_condition": rng.choice([0, 0, 0, 1, 12])}
            if kind == "exgquote":
                event |= {"refresh": rng.randint(0, 1), "closing_quote": rng.choice([0, 0, 1])}
            else:
                event |= {"market_maker": rng.choice(["GSCO", "MSCO", "D0", None]), "market_maker_type": 1,
                          "quote_type": rng.randint(0, 2)}
        elif kind == "trade":
            event |= {"price": mid, "size": rng.randint(1, 10) * 100, "exg_sequence": n,
                      "trade_condition": rng.choice([0, 0, 0, 5, 255]), "volume_type": rng.randint(0, 2),
                      "price_flags": rng.choice([0, 0, 0, 0, 16, 32, 64]), "records_back": rng.choice([0, 0, 1, 3]),
                      "ext_conditions": [rng.randint(0, 60) for _ in range(rng.randint(0, 4))]}
            if rng.random() < 0.5:
                event["ext"] = {"src": time, "ptp1": time + 7, "fractional_size": rng.randint(0, 10**9)}
        elif kind == "category":
            values = ["news", rng.randint(0, 99), 2**40 + n, "2024-03-15", "10:11:12.5", {"price": mid, "price_type": 2},
                      rng.random(), "SY3", {"table": 3, "index": 2}, {"table": 3, "index": 5}]
            event |= {"category": 3, "values": [v if rng.random() < 0.8 else None for v in values]}
        elif kind == "symbolchange":
            event |= {"status": rng.choice(["add", "del", "mod"]), "old_symbol": rng.choice(symbols + [None]),
                      "old_listed_exg": rng.randint(0, 3)}
        else:
            event |= {"status": rng.choice([3, 5, 9]), "status_data": rng.randint(-3, 3)}
        lines.append({"event": {"kind": kind} | event})
    return lines


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    """The tapes of every day, each made once."""
    assert HARNESS.exists(), f"{HARNESS} is made by the build"
    directory = tmp_path_factory.mktemp("replay-days")
    tapes = {}
    for name, arguments in SYNTH_DAYS.items():
        tapes[name] = synth(directory / f"{name}.tape", arguments)
    tapes["script"] = compile_tape(directory / "script.tape", script_day(random.Random(2326)))
    return tapes


def synth(path, arguments):
    result = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", str(path), "--quiet", *arguments],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return Path(path)


def harness(tape, *arguments):
    """The harness's line "HASH CALLBACKS RESULT", from a child process so
    that a crash fails this test alone."""
    result = subprocess.run([str(HARNESS), tarvik_engine.library_path(), str(tape), *arguments],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"replay_hash exited {result.returncode}: {result.stderr}"
    return result.stdout.strip()


def recorded():
    """{(day, run): line} from the recorded file."""
    entries = {}
    for line in RECORDED.read_text().splitlines():
        if line and not line.startswith("#"):
            day, run, hashed = line.split(maxsplit=2)
            entries[(day, run)] = hashed
    return entries


def record(day, results):
    """Replaces the day's entries in the recorded file."""
    entries = {key: value for key, value in recorded().items() if key[0] != day} if RECORDED.exists() else {}
    entries |= {(day, run): line for run, line in results.items()}
    header = [line for line in RECORDED.read_text().splitlines() if line.startswith("#")] if RECORDED.exists() else []
    body = [f"{d} {r} {entries[(d, r)]}" for d in DAYS for r in sorted(run for dd, run in entries if dd == d)]
    RECORDED.write_text("\n".join(header + body) + "\n")


@pytest.mark.parametrize("day", DAYS)
def test_replays_match_the_recorded_hashes(request, tmp_path, days, day):
    results = {run: harness(days[day], *arguments) for run, arguments in RUNS.items()}
    if day in RESUMED_DAYS:
        snapshot = tmp_path / "resume.state"
        results["save-snapshot"] = harness(days[day], "--save-at", str(RESUMED_DAYS[day]), "--save-to", snapshot)
        results["resumed"] = harness(snapshot)
    for run, line in results.items():
        assert line.endswith((" 0", " 1")), f"{day} {run}: the replay failed: {line}"
    if request.config.getoption("--record-replay-hashes"):
        record(day, results)
        return
    expected = {run: line for (d, run), line in recorded().items() if d == day}
    differ = {run: (expected.get(run), line) for run, line in results.items() if expected.get(run) != line}
    assert not differ, f"{day}: runs whose hash (or callback count, or result) changed: {differ}"


def test_a_run_after_another_in_the_process_matches_its_recorded_hash(tmp_path, days):
    """A run's large state tables are kept for the next run in the process:
    a day replayed after another, larger and different one sees exactly
    what it sees alone."""
    other = synth(tmp_path / "other.tape", ["--symbols", "3500", "--options-per-symbol", "2", "--messages", "40000",
                                             "--seed", "4"])
    expected = recorded()
    for day in ("many-symbols", "options", "script"):
        assert harness(days[day], "--first", other) == expected[(day, "all")], day


def test_the_whole_day_goes_into_the_hash(days):
    """Guards the harness itself: the packed and plain tapes of one day give
    one hash, and a run that shows the client something else does not."""
    assert harness(days["options"]) == harness(days["options-plain"])
    assert harness(days["options"]) != harness(days["options"], "--every", "1")
    assert harness(days["options"]) != harness(days["options"], "--flags", "1")

"""Many days on Dask: map_days on a two-process local cluster gives the
serial results in input order, reports a failing day and keeps the others,
and retries a day whose worker died once before reporting it. Each run is a
child interpreter under a timeout, so a hang fails one test."""

import datetime
import json
import os
import subprocess
from pathlib import Path

import pytest

import tarvik_days
import tarvik_engine

from conftest import needs_arrow

DATES = ["2024-03-04", "2024-03-05", "2024-03-07", "2024-03-08"]

# A user's function of one day, as the child scripts define it: the trades
# and the volume of the day by symbol.
DAY_FUNCTION = """
import os, signal
from collections import Counter
import Tarvik, tarvik_days, tarvik_engine

def day_volumes(tape):
    if "missing" in tape:
        raise ValueError(f"no such day: {tape}")
    if tape.endswith("dies.tape") or (tape.endswith("dies-once.tape") and not os.path.exists(tape + ".died")):
        open(tape + ".died", "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    assert Tarvik.LoadTarvik(tarvik_engine.library_path()) != 0
    volume = Counter()
    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            volume[message.coreHeader.ptqStringSymbol.String] += message.coreData.Trade.Size
        return 0
    try:
        assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    finally:
        Tarvik.UnloadTarvik()
    return sorted(volume.items())

def held_back(tapes, release):
    # day_volumes, but the days from the third on wait until `release`
    # exists (a minute at most)
    import time
    def fn(tape):
        began = time.monotonic()
        while tapes.index(tape) >= 2 and not os.path.exists(release) and time.monotonic() - began < 60:
            time.sleep(0.02)
        return day_volumes(tape)
    return fn
"""


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    folder = tmp_path_factory.mktemp("days")
    tapes = []
    for seed, date in enumerate(DATES, 1):
        tape = folder / f"day-{date}.tape"
        subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", tape, "--symbols", "4", "--options-per-symbol",
                        "0", "--messages", "3000", "--seed", str(seed), "--date", date], check=True)
        tapes.append(str(tape))
    return folder, tapes


def run_days(python_child, script, env=None):
    result = python_child(DAY_FUNCTION + script, timeout=240, env=env)
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_results_come_in_input_order_and_a_failing_day_keeps_the_others(python_child, days):
    folder, tapes = days
    tapes = list(reversed(tapes))
    missing = str(folder / "missing.tape")
    out = run_days(python_child, f"""
import json, pickle, distributed
tapes = {tapes!r}
serial = [day_volumes(t) for t in tapes]
with_failure = tapes[:2] + [{missing!r}] + tapes[2:]
with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
        distributed.Client(cluster) as client:
    kept = tarvik_days.map_days(day_volumes, with_failure, client=client, errors="keep")
    try:
        tarvik_days.map_days(day_volumes, with_failure, client=client)
        raised = None
    except tarvik_days.DaysFailed as e:
        raised = {{"results": e.results, "failures": [str(f) for f in e.failures], "text": str(e)}}
    by_range = tarvik_days.map_days(day_volumes, ("2024-03-05", "2024-03-08"), client=client, progress=False)
    listed = tarvik_days.map_days(day_volumes, ["2024-03-07", "2024-03-06", "2024-03-05"], client=client,
                                  errors="keep")
failure = kept[2]
copy = pickle.loads(pickle.dumps(tarvik_days.DaysFailed([1, None], [failure])))
print(json.dumps({{"serial": serial, "kept": kept[:2] + kept[3:], "raised": raised, "by_range": by_range,
                   "failure": [failure.index, str(failure.tape), failure.error, failure.traceback],
                   "listed": [listed[0], listed[2], listed[1].index, listed[1].error],
                   "copy": [copy.results, str(copy.failures[0].tape), str(copy)]}}))
""", env={"TARVIK_TAPE_PATH": str(folder)})
    serial = out["serial"]
    assert all(serial) and serial[0] != serial[1]
    assert out["kept"] == serial
    index, tape, error, trace = out["failure"]
    assert (index, tape) == (2, missing)
    assert error == f"ValueError: no such day: {missing}"
    assert trace.startswith("Traceback") and "in day_volumes" in trace
    assert out["raised"]["results"] == serial[:2] + [None] + serial[2:]
    assert missing in out["raised"]["text"] and "1 of 5 days failed" in out["raised"]["text"]
    assert out["by_range"] == list(reversed(serial[:3]))  # 2024-03-05, 07 and 08, in day order
    # A listed day without a tape is a failed day in its place.
    assert out["listed"][:2] == [serial[1], serial[2]]
    assert out["listed"][2:] == [1, f"FileNotFoundError: no tape of the day 2024-03-06 in {folder} (TARVIK_TAPE_PATH)"]
    assert out["copy"][:2] == [[1, None], missing] and "1 of 2 days failed" in out["copy"][2]


def test_a_day_that_raises_any_exception_is_reported_and_its_worker_lives(python_child, days):
    """SystemExit, KeyboardInterrupt, a cancellation or one's own
    BaseException from a day's function is that day's failure, with its
    traceback: it neither hangs the call nor takes the worker down."""
    _, tapes = days
    out = run_days(python_child, f"""
import asyncio, json, os, sys
class Stop(BaseException):
    pass
def fn(tape):
    how = tapes.index(tape)
    if how == 0: sys.exit(3)
    if how == 1: raise KeyboardInterrupt
    if how == 2: raise asyncio.CancelledError("gone")
    raise Stop("mine")
tapes = {tapes!r}
results = tarvik_days.map_days(fn, tapes, workers=1, errors="keep", timeout=120)
class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")
def awkward(tape):
    if tapes.index(tape) == 0:
        raise Unprintable()
    import threading
    return threading.Lock()  # no pickle takes it
results += tarvik_days.map_days(awkward, tapes[:2], workers=1, errors="keep", timeout=120)
print(json.dumps([[r.error, r.traceback] if isinstance(r, tarvik_days.DayFailure) else r for r in results]))
""")
    assert [error for error, _ in out[:4]] == ["SystemExit: 3", "KeyboardInterrupt: ", "CancelledError: gone",
                                               "Stop: mine"]
    assert all(traced.startswith("Traceback") for _, traced in out[:5])  # KilledWorker has none
    # An exception without a text keeps its type and traceback; a result
    # that does not pickle is one line, Dask's whole account beside it.
    assert out[4][0] == "Unprintable: <exception str() failed>" and "awkward" in out[4][1]
    assert "\n" not in out[5][0] and "lock" in out[5][0] and "cannot pickle" in out[5][1], out[5]


def test_the_timeout_holds_for_the_whole_call_cluster_included(python_child, days):
    """Starting the local cluster and stopping its busy workers are part of
    the call the timeout bounds (they took 6 s beyond a 3 s timeout)."""
    _, tapes = days
    out = run_days(python_child, f"""
import json, time
def slow(tape):
    time.sleep(120)
began = time.monotonic()
try:
    tarvik_days.map_days(slow, {tapes[:2]!r}, workers=1, timeout=3)
    error = None
except TimeoutError as e:
    error = str(e)
print(json.dumps([error, time.monotonic() - began]))
""")
    assert out[0].startswith("map_days: 2 days not done after 3 s:")
    assert out[1] < 8, out  # not the 9 s it took when the start and stop were not counted


def test_ctrl_c_while_the_local_cluster_starts_leaves_no_worker_behind(python_child, days):
    _, tapes = days
    out = run_days(python_child, f"""
import json, signal, threading, time
def slow(tape):
    time.sleep(120)
def workers_alive():
    alive = 0
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{{pid}}/stat", "rb") as f:
                parent = int(f.read().rsplit(b")", 1)[1].split()[1])
            with open(f"/proc/{{pid}}/cmdline", "rb") as f:
                alive += parent == os.getpid() and b"spawn_main" in f.read()
        except (OSError, ValueError, IndexError):
            pass
    return alive
signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, also when the tests run in the background
threading.Timer(1.0, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
try:
    tarvik_days.map_days(slow, {tapes[:2]!r}, workers=2)
    stopped = False
except KeyboardInterrupt:
    stopped = True
deadline = time.monotonic() + 20
while workers_alive() and time.monotonic() < deadline:
    time.sleep(0.2)
print(json.dumps([stopped, workers_alive()]))
""")
    assert out == [True, 0]


def test_a_timeout_keeps_the_days_done_and_a_cluster_of_threads_leaves_the_environment(python_child, days):
    _, tapes = days
    out = run_days(python_child, f"""
import json, os, time
from distributed import Client, LocalCluster
tapes = {tapes!r}
release = tapes[2] + ".release"
fn = held_back(tapes, release)
os.environ.pop("TARVIK_INFLATE_AHEAD", None)
with LocalCluster(n_workers=1, threads_per_worker=3, processes=False, dashboard_address=":0") as cluster, \\
        Client(cluster) as client:
    try:
        tarvik_days.map_days(fn, tapes[:3], client=client, timeout=5)
    except tarvik_days.DaysTimedOut as e:
        raised = [isinstance(e, TimeoutError), str(e), e.results, [[f.index, f.error] for f in e.failures]]
    open(release, "w").close()
    serial = [day_volumes(tape) for tape in tapes[:2]]
# A worker process forked from the caller is a worker all the same.
import dask
def inflate_ahead(tape):
    return os.environ.get("TARVIK_INFLATE_AHEAD")
with dask.config.set({{"distributed.worker.multiprocessing-method": "fork"}}), \\
        LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \\
        Client(cluster) as client:
    forked = tarvik_days.map_days(inflate_ahead, tapes[:1], client=client, timeout=60)
print(json.dumps([raised, serial, os.environ.get("TARVIK_INFLATE_AHEAD"), forked]))
""")
    (timeout_error, text, results, failures), serial, environment, forked = out
    assert forked == ["0"]
    assert timeout_error and text == f"map_days: 1 days not done after 5 s: {tapes[2]}"
    assert results == serial + [None]
    assert failures == [[2, "TimeoutError: not done after 5 s"]]
    assert environment is None


def test_a_client_closed_while_days_run_fails_the_days_not_done_at_once(python_child, days):
    # The program closes its client from another thread: map_days returns
    # at once, never waits for ever for results that cannot come back.
    _, tapes = days
    out = run_days(python_child, f"""
import json, os, threading, time
from distributed import Client, LocalCluster
tapes = {tapes!r}
release = tapes[2] + ".release-closed"
fn = held_back(tapes, release)
with LocalCluster(n_workers=1, threads_per_worker=4, processes=False, dashboard_address=":0") as cluster:
    client = Client(cluster)
    threading.Timer(1.0, client.close).start()
    began = time.monotonic()
    try:
        tarvik_days.map_days(fn, tapes, client=client)
    except tarvik_days.DaysFailed as e:
        raised = [e.results, [[f.index, f.error] for f in e.failures]]
    took = time.monotonic() - began
    open(release, "w").close()
serial = [day_volumes(tape) for tape in tapes]
print(json.dumps([raised, took, serial]))
""")
    (results, failures), took, serial = out
    assert took < 30
    closed = "RuntimeError: the Dask client was closed before the day was done"
    assert [2, closed] in failures and [3, closed] in failures
    failed = {index for index, _ in failures}
    assert all(error == closed for _, error in failures)
    assert [results[i] for i in range(len(tapes)) if i not in failed] == \
        [serial[i] for i in range(len(tapes)) if i not in failed]


def test_a_result_slow_to_fetch_comes_back_and_one_that_fails_to_is_the_days_failure(python_child, days, tmp_path):
    # A result that takes longer to come over and unpickle than a look at
    # the client lasts (a large frame from a far worker), and one whose
    # unpickling raises TimeoutError, which is not the call's deadline.
    _, tapes = days
    (tmp_path / "slow_result.py").write_text("""
import time

def restore(pad, delay):
    time.sleep(delay)
    return len(pad)

def fail():
    raise TimeoutError("the price server did not answer")

class Slow:
    def __reduce__(self):
        return (restore, (b"x" * (12 << 20), 1.5))

class Failing:
    def __reduce__(self):
        return (fail, ())

def day(tape):
    return Slow() if tape.endswith("03-04.tape") else Failing()
""")
    out = run_days(python_child, f"""
import json, os, sys
sys.path.insert(0, {str(tmp_path)!r})
os.environ["PYTHONPATH"] = {str(tmp_path)!r} + os.pathsep + os.environ["PYTHONPATH"]
import slow_result
for timeout in (None, 120):
    days = tarvik_days.map_days(slow_result.day, {tapes[:2]!r}, workers=1, progress=False, errors="keep",
                                timeout=timeout)
    print(json.dumps([days[0], days[1].error]))
""")
    assert out == [12 << 20, "TimeoutError: the price server did not answer"]


def test_a_scheduler_that_cannot_import_the_function_is_told_so(python_child, days, tmp_path):
    # On a cluster of one's own the scheduler unpickles each day's task:
    # the workers have the function's module, the scheduler does not.
    _, tapes = days
    (tmp_path / "user_days.py").write_text("def day(tape):\n    return 1\n")
    out = run_days(python_child, f"""
import json, os, subprocess, sys, time
import distributed
folder = {str(tmp_path)!r}
scheduler_file = os.path.join(folder, "scheduler.json")
plain = dict(os.environ)
with_module = dict(os.environ, PYTHONPATH=folder + os.pathsep + os.environ["PYTHONPATH"])
scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                              "--port", "0", "--dashboard-address", ":0", "--scheduler-file", scheduler_file],
                             env=plain, stderr=subprocess.DEVNULL)
worker = None
try:
    began = time.monotonic()
    while not os.path.exists(scheduler_file) and time.monotonic() - began < 60:
        time.sleep(0.1)
    worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                               scheduler_file, "--nthreads", "1", "--nworkers", "1", "--dashboard-address", ":0"],
                              env=with_module, stderr=subprocess.DEVNULL)
    sys.path.insert(0, folder)
    import user_days
    with distributed.Client(scheduler_file=scheduler_file, timeout=60) as client:
        client.wait_for_workers(1, timeout=60)
        failures = tarvik_days.map_days(user_days.day, {tapes[:1]!r}, client=client, errors="keep", timeout=120)
finally:
    for process in (worker, scheduler):
        if process is not None:
            process.terminate()
            process.wait()
print(json.dumps([[f.error, bool(f.traceback)] for f in failures]))
""")
    assert out == [["RuntimeError: Error during deserialization of the task graph (the scheduler's environment, as "
                    "the workers', must import tarvik_days and the modules the function comes from)", True]]


def test_a_relative_tape_path_is_the_callers_on_a_cluster_started_elsewhere(python_child, days):
    folder, tapes = days
    out = run_days(python_child, f"""
import json
from distributed import Client, LocalCluster
with LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster) as client:
    os.chdir({str(folder)!r})
    [volumes] = tarvik_days.map_days(day_volumes, [{Path(tapes[0]).name!r}], client=client)
print(json.dumps(volumes))
""")
    assert out and all(volume > 0 for _, volume in out)


def test_a_day_whose_worker_dies_is_retried_once_then_reported(python_child, days):
    folder, tapes = days
    once, always = str(folder / "dies-once.tape"), str(folder / "dies.tape")
    for copy in (once, always):
        with open(tapes[0], "rb") as source, open(copy, "wb") as target:
            target.write(source.read())
    out = run_days(python_child, f"""
import json
results = tarvik_days.map_days(day_volumes, [{tapes[1]!r}, {once!r}, {always!r}], workers=2, errors="keep",
                               timeout=180)
print(json.dumps([r if not isinstance(r, tarvik_days.DayFailure) else ["failed", str(r.tape), r.error]
                  for r in results]))
""")
    assert out[0] and out[0][0] != "failed"
    assert out[1] and out[1][0] != "failed"  # killed once, then done on its retry
    assert out[2][:2] == ["failed", always] and "KilledWorker" in out[2][2]


@needs_arrow
def test_the_examples_bars_of_a_symbol_do_not_depend_on_the_other_symbols_asked(days, monkeypatch):
    """Each symbol's last spread lasts to the end of the tape, not to the
    last event of whichever symbols were chosen."""
    monkeypatch.syspath_prepend(str(Path(__file__).parents[2] / "examples"))
    import daily_bars_dask

    _, tapes = days
    trades = tarvik_engine.read_tape(tapes[0], kinds="trades")["trades"]
    names = sorted({str(s) for s in trades.column("symbol").to_pylist()})
    alone = daily_bars_dask.day_bars(tapes[0], (names[0],))
    together = daily_bars_dask.day_bars(tapes[0], tuple(names))
    first = together[together["symbol"] == names[0]].reset_index(drop=True)
    assert alone.equals(first), (alone, first)
    # It leaves no filter behind on the thread: the next replay gets every
    # trade, and UserData2 is the program's own again.
    import Tarvik
    assert Tarvik.LoadTarvik(tarvik_engine.library_path()) != 0
    try:
        seen = []

        def count(system, message):
            seen.append(message.MessageType == Tarvik.TqMSG_TRADE)
            symbol = message.coreHeader.ptqStringSymbol
            if symbol is not None:
                symbol.UserData2 = 2  # the program's own mark
            return 0

        assert Tarvik.ProcessTape(tapes[0], 0, 0, 0, count) == 0
    finally:
        Tarvik.UnloadTarvik()
    assert sum(seen) == trades.num_rows


def test_a_range_of_days_finds_the_tapes_by_their_header(days, monkeypatch):
    folder, tapes = days
    monkeypatch.setenv("TARVIK_TAPE_PATH", str(folder))
    assert [str(p) for p in tarvik_days.tapes_for_days("2024-03-05", datetime.date(2024, 3, 7))] == tapes[1:3]
    assert [str(p) for p in tarvik_days.tapes_for_days("2024-03-08")] == tapes[3:]
    with pytest.raises(FileNotFoundError, match="2024-03-09 to 2024-03-10"):
        tarvik_days.tapes_for_days("2024-03-09", "2024-03-10")
    with pytest.raises(ValueError, match="ends before it starts"):
        tarvik_days.tapes_for_days("2024-03-08", "2024-03-04")
    for not_a_day in ("20240305", "2024-W10-2"):
        with pytest.raises(ValueError, match="expected a day as YYYY-MM-DD"):
            tarvik_days.tapes_for_days(not_a_day)


def test_two_tapes_of_one_day_in_one_directory_are_named(tmp_path, days, monkeypatch):
    """Two venues' tapes of a day in one folder: neither is taken silently
    for the day's. The same tape under a second name is one tape."""
    _, tapes = days
    for name in ("arca.tape", "nyse.tape"):
        (tmp_path / name).write_bytes(Path(tapes[1]).read_bytes())
    monkeypatch.setenv("TARVIK_TAPE_PATH", str(tmp_path))
    with pytest.raises(ValueError, match=rf"^two tapes of 2024-03-05 in {tmp_path}: arca.tape and nyse.tape"):
        tarvik_days.tapes_for_days("2024-03-05")
    (tmp_path / "nyse.tape").unlink()
    (tmp_path / "today.tape").symlink_to(tmp_path / "arca.tape")
    assert tarvik_days.tapes_for_days("2024-03-05") == [tmp_path / "arca.tape"]


def test_a_tape_at_a_path_longer_than_the_listing_record_keeps_its_day(tmp_path, days, monkeypatch):
    """The engine's listing holds paths of at most 267 bytes; a day whose
    tape lies deeper is found all the same, in directory order."""
    _, tapes = days
    deep = tmp_path / ("d" * 120) / ("e" * 120)
    deep.mkdir(parents=True)
    long_tape = deep / "day-2024-03-05.tape"
    long_tape.write_bytes(Path(tapes[1]).read_bytes())
    assert len(os.fsencode(long_tape)) >= 268
    shallow = tmp_path / "shallow"
    shallow.mkdir()
    for tape in (tapes[1], tapes[2]):
        (shallow / Path(tape).name).write_bytes(Path(tape).read_bytes())
    monkeypatch.setenv("TARVIK_TAPE_PATH", f"{deep}:{shallow}")
    assert tarvik_days.tapes_for_days("2024-03-05", "2024-03-07") == [long_tape, shallow / Path(tapes[2]).name]


@pytest.mark.parametrize("arguments, error, match", [
    ({"fn": None}, TypeError, "fn: expected a function of a tape's path, got NoneType"),
    ({"workers": "2"}, TypeError, "workers: expected a number of worker processes, got str"),
    ({"workers": 1.5}, TypeError, "workers: expected a number of worker processes, got float"),
    ({"workers": 0}, ValueError, "workers: expected at least 1, got 0"),
    ({"timeout": "5"}, TypeError, "timeout: expected seconds, got str"),
    ({"timeout": -1}, ValueError, "timeout: expected seconds above 0, got -1"),
    ({"tapes": "2024-03-05"}, TypeError, r"\['2024-03-05'\] is a list of one"),
])
def test_bad_arguments_are_named_before_any_cluster_starts(days, monkeypatch, arguments, error, match):
    def no_cluster(*args, **kwargs):
        raise AssertionError("a cluster was started")

    monkeypatch.setattr(tarvik_days.mapping, "_local_client", no_cluster)
    call = {"fn": len, "tapes": days[1][:1]} | arguments
    with pytest.raises(error, match=match):
        tarvik_days.map_days(call.pop("fn"), call.pop("tapes"), **call)

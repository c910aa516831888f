"""map_days: one Dask task per tape, gathered in input order. Scheduling,
the retry of a day whose worker died, and the progress bar are Dask's (and
tqdm's); this module only submits, gathers and reports."""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import dataclasses
import datetime
import logging
import numbers
import os
import signal
import sys
import threading
import time
import traceback
import types
import uuid
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypeVar, Union, overload

from .days import DayLike, as_date, tapes_for_days

if TYPE_CHECKING:
    import distributed

T = TypeVar("T")
TapePath = Union[str, "os.PathLike[str]"]

# This interpreter, as told apart from any other (a pid may repeat on
# another machine; a forked child keeps this text, but not the pid): a
# worker thread of a cluster inside the caller's own process shares it, and
# leaves the caller's environment alone.
_PROCESS = uuid.uuid4().hex


def _this_process() -> str:
    return f"{_PROCESS}:{os.getpid()}"


# Every core of a worker's machine replays a day of its own: a packed tape
# is inflated on the replay's thread rather than on a second one.
_WORKER_ENVIRONMENT = {"TARVIK_INFLATE_AHEAD": "0"}

# A LocalCluster that closes while it restarts a worker whose process died
# can wait for ever on the new process, which never hears that it should
# stop. Its worker processes still alive this long into the close are
# killed, and the close ends.
_CLOSE_SECONDS = 10.0


@dataclasses.dataclass(frozen=True)
class DayFailure:
    """A day that gave no result: its place in the input, its tape, the
    error and where it was raised (or what Dask reported, when the worker
    running it died)."""

    index: int
    tape: Path
    error: str
    traceback: str

    def __str__(self) -> str:
        return f"{self.tape}: {self.error}" + (f"\n{self.traceback}" if self.traceback else "")


class DaysFailed(Exception):
    """Raised by map_days when some days gave no result. ``results`` holds
    every day's result in input order (None for a failed day), so the work
    of the other days is kept; ``failures`` says what went wrong with each
    failed day."""

    def __init__(self, results: list[Any], failures: list[DayFailure]) -> None:
        self.results = results
        self.failures = failures
        shown = "\n\n".join(str(f) for f in failures[:3])
        more = f"\n\n... and {len(failures) - 3} more" if len(failures) > 3 else ""
        super().__init__(f"{len(failures)} of {len(results)} days failed:\n\n{shown}{more}")

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.results, self.failures)


class DaysTimedOut(TimeoutError):
    """Raised by map_days when its ``timeout`` passed before every day was
    done. Like DaysFailed it keeps the work done: ``results`` holds every
    day's result in input order (None for a day not done or failed) and
    ``failures`` a DayFailure per such day, a day not done included."""

    def __init__(self, message: str, results: list[Any], failures: list[DayFailure]) -> None:
        self.results = results
        self.failures = failures
        super().__init__(message)

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (str(self), self.results, self.failures)


def _error_text(error: BaseException) -> str:
    """"Type: message", even for an exception whose str() itself fails."""
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    return f"{type(error).__name__}: {message}"


def run_day(tape: str, fn: Callable[[str], Any], caller: str = "") -> tuple[bool, Any]:
    """What a worker runs: the user's function on one tape. Its exception
    comes back as text with its traceback, so that it is reported at once
    (never retried: it would fail again) and need not be picklable."""
    if caller != _this_process():  # a worker process, never the caller's own
        for name, value in _WORKER_ENVIRONMENT.items():
            os.environ.setdefault(name, value)
    try:
        return True, fn(tape)
    except BaseException as e:  # SystemExit and KeyboardInterrupt too: they would take the worker down
        return False, (_error_text(e), traceback.format_exc())


def _paths(tapes: Iterable[TapePath | DayLike] | tuple[DayLike, DayLike],
           keep: bool = False) -> list[Path | DayFailure]:
    """Tape paths from a list of paths, a list of days, or a (first, last)
    range of days. A listed day without a tape raises FileNotFoundError, or
    with ``keep`` is a DayFailure in its place."""
    if isinstance(tapes, (str, os.PathLike)):
        raise TypeError(f"tapes: expected a list of tape paths or a (first, last) range of days, not one "
                        f"path or day: [{tapes!r}] is a list of one")
    items = list(tapes)
    days = [_day(item) for item in items]
    if isinstance(tapes, tuple) and len(days) == 2 and days[0] is not None and days[1] is not None:
        ranged: list[Path | DayFailure] = [*tapes_for_days(days[0], days[1])]
        return ranged
    paths: list[Path | DayFailure] = []
    for item, day in zip(items, days):
        if day is not None:
            try:
                paths.extend(tapes_for_days(day))
            except FileNotFoundError as e:
                if not keep:
                    raise
                paths.append(DayFailure(len(paths), Path(day.isoformat()), f"FileNotFoundError: {e}", ""))
        elif isinstance(item, (str, os.PathLike)):
            # Named from here: a worker (on another machine, or started in
            # another folder) reads the path as this caller means it.
            paths.append(Path(item).absolute())
        else:
            raise TypeError(f"tapes: {item!r} is neither a tape path nor a day")
    return paths


def _day(value: object) -> datetime.date | None:
    """The day a value names (a date, or a "YYYY-MM-DD" text), or None."""
    if isinstance(value, datetime.date):
        return as_date(value)
    if isinstance(value, str):
        try:
            return as_date(value)
        except ValueError:
            return None
    return None


@contextlib.contextmanager
def _local_client(workers: int | None, closing: list[float]) -> Iterator[distributed.Client]:
    """A LocalCluster of worker processes with one thread each (a replay
    holds the GIL, and the module's state is per thread), one per core by
    default. A day whose worker dies is retried once, then reported. On the
    way out its workers are given ``closing[0]`` seconds to stop."""
    import dask
    from distributed import Client, LocalCluster

    count = workers if workers is not None else (os.process_cpu_count() or 1)  # the cores this process may use
    # One task at a time on each worker: a worker that dies takes down only
    # the day it was running, never one merely queued there.
    config = {"distributed.scheduler.allowed-failures": 1, "distributed.scheduler.worker-saturation": 1.0}
    cluster = client = None
    try:
        with dask.config.set(config), _interrupts_held():
            cluster = LocalCluster(
                n_workers=count,
                threads_per_worker=1,
                processes=True,
                # Its own free port: the scheduler serves HTTP even without a
                # dashboard, and the default 8787 may be another cluster's.
                dashboard_address=":0",
                silence_logs=logging.ERROR,
            )
            client = Client(cluster)
        yield client
    finally:
        if client is not None:
            with contextlib.suppress(Exception):
                client.close()
        if cluster is not None:
            _close_within(cluster, closing[0])


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Holds Ctrl-C while Dask starts a cluster, and raises it once the
    cluster is there to be closed: an interrupt inside Dask's start leaves
    it starting workers that nothing stops."""
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or not callable(previous):
        yield  # signals reach the main thread only; an ignored Ctrl-C stays so
        return
    heard: list[types.FrameType | None] = []
    signal.signal(signal.SIGINT, lambda number, frame: heard.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if heard:
        previous(signal.SIGINT, heard[0])


def _close_within(cluster: distributed.LocalCluster, seconds: float) -> None:
    """Closes the cluster, killing its worker processes still alive after
    ``seconds``, or at once if the close fails."""

    def kill_workers() -> None:
        pids = []
        for _ in range(3):  # the cluster's own thread may change its workers meanwhile
            with contextlib.suppress(RuntimeError):
                pids = [nanny.pid for nanny in list(cluster.workers.values())]
                break
        for pid in pids:
            if pid:
                with contextlib.suppress(OSError):
                    os.kill(pid, signal.SIGKILL)

    timer = threading.Timer(seconds, kill_workers)
    timer.daemon = True
    timer.start()
    try:
        cluster.close()
    except Exception:  # a close that fails leaves no worker behind
        kill_workers()
    finally:
        timer.cancel()


@overload
def map_days(
    fn: Callable[[str], T],
    tapes: Iterable[TapePath | DayLike] | tuple[DayLike, DayLike],
    *,
    client: distributed.Client | None = None,
    workers: int | None = None,
    progress: bool | None = None,
    errors: Literal["raise"] = "raise",
    timeout: float | None = None,
) -> list[T]: ...
@overload
def map_days(
    fn: Callable[[str], T],
    tapes: Iterable[TapePath | DayLike] | tuple[DayLike, DayLike],
    *,
    client: distributed.Client | None = None,
    workers: int | None = None,
    progress: bool | None = None,
    errors: Literal["keep"],
    timeout: float | None = None,
) -> list[T | DayFailure]: ...


def map_days(
    fn: Callable[[str], Any],
    tapes: Iterable[TapePath | DayLike] | tuple[DayLike, DayLike],
    *,
    client: distributed.Client | None = None,
    workers: int | None = None,
    progress: bool | None = None,
    errors: Literal["raise", "keep"] = "raise",
    timeout: float | None = None,
) -> list[Any]:
    """Runs ``fn(tape_path)`` for every tape on Dask workers and returns the
    results in the order of ``tapes``.

    ``fn`` is your function of one day: it loads Tarvik, replays the tape it
    is given (a ``str`` path) and returns something picklable, such as a
    DataFrame. ``tapes`` is a list of tape paths (``str`` or
    ``pathlib.Path``), a list of days, or a ``(first, last)`` range of days
    (dates or "YYYY-MM-DD") whose tapes are found in the directories of
    ``TARVIK_TAPE_PATH``.

    Without ``client`` a LocalCluster is started for the call: ``workers``
    processes (default one per core) with one thread each, so each runs one
    replay at a time. With ``client=distributed.Client("tcp://host:8786")``
    the days run on that cluster; its workers need the module, the engine
    and the tapes at the same paths (docs/parallel-days.md).

    ``progress`` shows Dask's progress through tqdm (default: when standard
    error is a terminal). A day whose ``fn`` raises is reported with its
    tape and traceback; a day whose worker dies (a crash, or a kill) is
    retried once by Dask, on a local cluster, and then reported. With
    ``errors="raise"`` (the default) failed days raise ``DaysFailed`` once
    every day is done, carrying the other days' results; ``errors="keep"``
    returns a ``DayFailure`` in the place of each failed day. A day of a
    list of days that has no tape raises FileNotFoundError before any day
    runs, or with ``errors="keep"`` is such a failed day. ``timeout``
    (seconds, for the whole call) raises DaysTimedOut, a TimeoutError naming
    the days not done and carrying the results of the days done.
    """
    # Checked before any cluster starts.
    if not callable(fn):
        raise TypeError(f"fn: expected a function of a tape's path, got {type(fn).__name__}")
    if errors not in ("raise", "keep"):
        raise ValueError(f"errors: expected 'raise' or 'keep', got {errors!r}")
    if client is not None and workers is not None:
        raise ValueError("workers: give it for the local cluster only, not with client")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, numbers.Integral)):
        raise TypeError(f"workers: expected a number of worker processes, got {type(workers).__name__}")
    if workers is not None and workers < 1:
        raise ValueError(f"workers: expected at least 1, got {workers}")
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, numbers.Real)):
        raise TypeError(f"timeout: expected seconds, got {type(timeout).__name__}")
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout: expected seconds above 0, got {timeout}")
    # The deadline counts from here: starting a local cluster is part of
    # the call, and past the deadline its workers are stopped at once.
    deadline = None if timeout is None else time.monotonic() + timeout
    closing = [_CLOSE_SECONDS]
    items = _paths(tapes, keep=errors == "keep")
    paths = [item for item in items if isinstance(item, Path)]
    results: list[Any] = []
    failures: list[DayFailure] = []
    if paths:
        with contextlib.ExitStack() as stack:
            if client is None:
                client = stack.enter_context(_local_client(workers, closing))
            try:
                results, failures = _gather(client, fn, paths, progress, timeout, deadline)
            except DaysTimedOut as e:
                closing[0] = 0.0
                e.results, e.failures = _in_places(items, e.results, e.failures)
                raise
    results, failures = _in_places(items, results, failures)
    if failures and errors == "raise":
        raise DaysFailed(results, failures)
    for failure in failures:
        results[failure.index] = failure
    return results


def _in_places(items: Sequence[Path | DayFailure], results: list[Any],
               failures: list[DayFailure]) -> tuple[list[Any], list[DayFailure]]:
    """The results and failures of the tapes run, placed among the listed
    days without a tape."""
    if all(isinstance(item, Path) for item in items):
        return results, failures
    places = [i for i, item in enumerate(items) if isinstance(item, Path)]
    failures = [dataclasses.replace(f, index=places[f.index]) for f in failures]
    failures += [item for item in items if isinstance(item, DayFailure)]
    failures.sort(key=lambda f: f.index)
    gathered = iter(results)
    return [next(gathered) if isinstance(item, Path) else None for item in items], failures


def _gather(
    client: distributed.Client,
    fn: Callable[[str], Any],
    paths: Sequence[Path],
    progress: bool | None,
    timeout: float | None,
    deadline: float | None,
) -> tuple[list[Any], list[DayFailure]]:
    from distributed import as_completed
    from tqdm import tqdm

    run = uuid.uuid4().hex[:8]
    # A key is text sent to the scheduler: a tape's name that is no UTF-8
    # (bytes a directory listing gives back escaped) goes in escaped.
    keys = [f"tarvik-day-{run}-{i}-{os.fsencode(path.name).decode('utf-8', 'backslashreplace')}"
            for i, path in enumerate(paths)]
    futures = client.map(run_day, [str(p) for p in paths], fn=fn, caller=_this_process(), key=keys, pure=False)
    place = {future.key: i for i, future in enumerate(futures)}
    results: list[Any] = [None] * len(paths)
    failures: list[DayFailure] = []
    show = sys.stderr.isatty() if progress is None else progress
    done = set()
    try:
        with tqdm(total=len(paths), unit="day", disable=not show, file=sys.stderr) as bar:
            for future in _completed(client, as_completed(futures), deadline):
                i = place[future.key]
                try:
                    ok, value = _result(client, future, deadline)
                except _FetchFailed as e:  # the worker died too often, the result did not come back
                    # (one that does not unpickle), or the day was cancelled elsewhere: its first line
                    # is the error, Dask's whole account the traceback
                    if not _running(client):
                        raise _ClientClosed() from None
                    text = _error_text(e.error)
                    first, _, rest = text.partition("\n")
                    if _TASK_GRAPH_UNREADABLE in first:  # Dask's sentence goes on past the line
                        first = first.partition(_TASK_GRAPH_UNREADABLE)[0] + _TASK_GRAPH_UNREADABLE + _TASK_GRAPH_HINT
                        rest = rest or text
                    failures.append(DayFailure(i, paths[i], first, text if rest else ""))
                else:
                    if ok:
                        results[i] = value
                    else:
                        failures.append(DayFailure(i, paths[i], value[0], value[1]))
                done.add(i)
                future.release()
                bar.update(1)
    except _ClientClosed:
        # Closed by the program, on another thread: the days not done
        # fail, and those done keep their results.
        failures += [DayFailure(i, paths[i], "RuntimeError: the Dask client was closed before the day was done", "")
                     for i in range(len(paths)) if i not in done]
    except TimeoutError:
        if len(done) == len(paths):  # the deadline passed as the last result came in
            failures.sort(key=lambda f: f.index)
            return results, failures
        _cancel(client, futures)
        missing = [i for i in range(len(paths)) if i not in done]
        message = f"map_days: {len(missing)} days not done after {timeout} s: {', '.join(str(paths[i]) for i in missing)}"
        failures += [DayFailure(i, paths[i], f"TimeoutError: not done after {timeout} s", "") for i in missing]
        failures.sort(key=lambda f: f.index)
        raise DaysTimedOut(message, results, failures) from None
    except BaseException:  # Ctrl-C: the days not done stop too, on a cluster of one's own as well
        _cancel(client, futures)
        raise
    failures.sort(key=lambda f: f.index)
    return results, failures


class _ClientClosed(Exception):
    """The client was closed while days were out."""


# How often a wait for a result looks whether the client is still open: a
# fetch through a closed client never ends.
_POLL_SECONDS = 0.5

# How long a wait for the next day to finish sleeps between looks.
_WAIT_SECONDS = 0.02

# Dask's words when the scheduler cannot unpickle a task, and what is
# missing then.
_TASK_GRAPH_UNREADABLE = "Error during deserialization of the task graph"
_TASK_GRAPH_HINT = (" (the scheduler's environment, as the workers', must import tarvik_days and the modules "
                    "the function comes from)")


def _running(client: distributed.Client) -> bool:
    return client.status not in ("closing", "closed")


def _completed(client: distributed.Client, pending: distributed.as_completed,
               deadline: float | None) -> Iterator[distributed.Future]:
    """The futures as they finish; TimeoutError at the deadline, and
    _ClientClosed once the client is closed (Dask's own iterator would wait
    for ever for futures that can no longer finish)."""
    while True:
        if pending.has_ready():
            yield from pending.next_batch(block=False)
        elif pending.is_empty():
            return
        elif deadline is not None and time.monotonic() >= deadline:
            raise TimeoutError()
        elif not _running(client):
            raise _ClientClosed()
        else:
            time.sleep(_WAIT_SECONDS)


def _result(client: distributed.Client, future: distributed.Future, deadline: float | None) -> Any:
    """A finished day's result. Fetching a large one counts against the
    deadline too. The fetch runs once on the client's loop and is waited
    for in slices, so that a client closed meanwhile is noticed (a fetch
    cut short by a timeout would start again from nothing). TimeoutError
    at the deadline, _ClientClosed once the client is closed; the fetch's
    own error (a result that does not unpickle, a day cancelled) comes as
    _FetchFailed, whatever its type."""
    loop = getattr(client.loop, "asyncio_loop", None)
    if loop is None or loop.is_closed():
        raise _ClientClosed()
    fetching = future._result()
    try:
        fetch = asyncio.run_coroutine_threadsafe(fetching, loop)
    except RuntimeError:  # closed just now
        fetching.close()
        raise _ClientClosed() from None
    try:
        while True:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            done, _ = concurrent.futures.wait([fetch], timeout=_POLL_SECONDS if left is None else min(left, _POLL_SECONDS))
            if done:
                break
            if left is not None and left <= _POLL_SECONDS:
                raise TimeoutError()
            if not _running(client):
                raise _ClientClosed()
    finally:
        # A fetch not done stops; cancelling through a closed loop would
        # only log that it cannot.
        if not fetch.done() and not loop.is_closed():
            fetch.cancel()
    try:
        error = fetch.exception(timeout=0)
    except concurrent.futures.CancelledError as cancelled:  # the fetch itself, as the client closes
        error = cancelled
    if error is not None:
        raise _FetchFailed(error)
    return fetch.result()


class _FetchFailed(Exception):
    """A day's result could not be had: `error` says why."""

    def __init__(self, error: BaseException) -> None:
        super().__init__(error)
        self.error = error


def _cancel(client: distributed.Client, futures: list[distributed.Future]) -> None:
    """Cancels the days not done, unless the client is closed already."""
    if _running(client):
        with contextlib.suppress(Exception):
            client.cancel(futures)

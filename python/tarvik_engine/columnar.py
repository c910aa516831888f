"""Tapes straight into Arrow: ``read_tape`` gives one ``pyarrow.Table`` per
kind of message, ``iter_tape`` the same as record batches for days larger
than memory. The engine replays the day natively in a run of its own and
fills Arrow buffers; no Python object is made per row. docs/columnar.md
gives the columns."""

from __future__ import annotations

import ctypes
import datetime
import json
import operator
import os
import re
import zoneinfo
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

from .tape_import import _flag, _zone_key

if TYPE_CHECKING:
    import numpy
    import pyarrow

# Where a path is taken, str and pathlib.Path both do.
type PathLike = str | os.PathLike[str]
# A time bound: a time of day, an instant or a wall-clock time, or its text.
type TimeBound = datetime.time | datetime.datetime | numpy.datetime64 | str | None
# A time zone: an IANA name, a zoneinfo.ZoneInfo (or pytz zone) or a fixed datetime.timezone.
type TimeZone = str | datetime.tzinfo | None

__all__ = ["KINDS", "TapeError", "iter_tape", "read_tape"]

KINDS = ("trades", "quotes", "mm_quotes", "symbol_changes", "categories")
_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libtarvik_columns.so")
_ARROW_SCHEMA_SIZE = 72  # struct ArrowSchema
_ARROW_ARRAY_SIZE = 80  # struct ArrowArray
_lib: ctypes.CDLL | None = None


class TapeError(RuntimeError):
    """A tape that could not be replayed; ``code`` is the engine's result
    code (a TqAPIERR_* value)."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(message)
        self.code = code

    def __reduce__(self) -> tuple[Any, ...]:  # across processes (a pool's workers)
        return type(self), (self.code, str(self))


def _library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        if not os.path.exists(_LIBRARY):
            raise ImportError("read_tape and iter_tape need Apache Arrow C++ (libarrow-dev), which this build was "
                              "made without")
        lib = ctypes.CDLL(_LIBRARY)
        lib.tarvik_columns_check.restype = ctypes.c_int
        lib.tarvik_columns_check.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
        lib.tarvik_columns_open.restype = ctypes.c_void_p
        lib.tarvik_columns_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
        lib.tarvik_columns_schema.restype = ctypes.c_int
        lib.tarvik_columns_schema.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
        lib.tarvik_columns_next.restype = ctypes.c_int
        lib.tarvik_columns_next.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_int),
                                            ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                            ctypes.POINTER(ctypes.c_void_p)]
        lib.tarvik_columns_close.restype = None
        lib.tarvik_columns_close.argtypes = [ctypes.c_void_p]
        lib.tarvik_columns_free.restype = None
        lib.tarvik_columns_free.argtypes = [ctypes.c_void_p]
        _lib = lib
    return _lib


_NO_MEMORY = -14  # TqAPIERR_INITALLOC_ERROR: the replay could not have the memory it needed


def _refused(text: str) -> Exception:
    """What a reader that could not start raises: MemoryError and
    RuntimeError when the system's resources (memory, a thread) ran out,
    ValueError for the arguments or the file."""
    if text == "out of memory":
        return MemoryError(text)
    if text.startswith("cannot start a thread"):
        return RuntimeError(text)
    return ValueError(text)


def _message(lib: ctypes.CDLL, pointer: ctypes.c_void_p) -> str:
    try:
        return ctypes.string_at(pointer).decode("utf-8", "replace")
    finally:
        lib.tarvik_columns_free(pointer)


def _micros(delta: datetime.timedelta) -> int:
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def _bound(value: TimeBound, name: str) -> dict[str, int] | None:
    """A time bound as the reader takes it: an instant, a wall-clock time in
    the tape's time zone, or a time of day."""
    if value is None:
        return None
    bound = _whole_micros(value, name)
    if bound is not None and _finer_than_micros(value):
        # The tape's times are whole microseconds: start <= t and t < end
        # hold for the same rows at the next whole one.
        key, micros = next(iter(bound.items()))
        bound = {key: micros + 1}
    return bound


def _finer_than_micros(value: object) -> bool:
    """The bound has a part past the microsecond, which the datetime it is
    read as drops."""
    if isinstance(value, str):
        fraction = re.search(r"[.,](\d+)", value)
        return fraction is not None and fraction.group(1)[6:].strip("0") != ""
    if type(value).__name__ == "datetime64":
        whole = getattr(value, "astype")("datetime64[us]")
        return bool(value > whole)
    return bool(getattr(value, "nanosecond", 0))  # a pandas Timestamp's


def _whole_micros(value: TimeBound, name: str) -> dict[str, int] | None:
    if isinstance(value, str):
        text = value
        try:
            value = datetime.time.fromisoformat(text)
        except ValueError:
            try:
                value = datetime.datetime.fromisoformat(text)
            except ValueError:
                raise ValueError(f"{name}: expected a time of day or an ISO 8601 time, got {text!r}") from None
        else:
            if re.match(r"T?24", text):
                # fromisoformat reads the hour 24 as the midnight that starts
                # the day; it is the one that ends it, and nothing is later.
                if value != datetime.time() or _finer_than_micros(text):
                    raise ValueError(f"{name}: {text!r} is past the end of the day")
                return {"of_day_us": 86_400_000_000}
    if type(value).__name__ == "datetime64":  # numpy's, naive like a naive datetime
        value = getattr(value, "astype")("datetime64[us]").item()
        if value is None:
            raise ValueError(f"{name}: NaT is no time")
        if isinstance(value, int):
            raise ValueError(f"{name}: outside the years 1 to 9999")
    if isinstance(value, datetime.datetime) and value != value:  # pandas.NaT
        raise ValueError(f"{name}: NaT is no time")
    # (A ZoneInfo gives a time without a date no offset: its zone is still
    # not the tape's clock.)
    if isinstance(value, datetime.time) and value.tzinfo is not None:
        raise ValueError(f"{name}: a time of day is on the tape's clock and takes no offset; "
                         "give a datetime for an instant")
    if isinstance(value, datetime.datetime):
        epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
        if value.tzinfo is not None and value.utcoffset() is not None:
            return {"epoch_us": _micros(value - epoch)}
        return {"local_us": _micros(value.replace(tzinfo=datetime.timezone.utc) - epoch)}
    if isinstance(value, datetime.time):
        return {"of_day_us": ((value.hour * 60 + value.minute) * 60 + value.second) * 1_000_000 + value.microsecond}
    raise TypeError(f"{name}: expected a datetime, a time or a string, got {type(value).__name__}")


def _zone(time_zone: object) -> str | None:
    """The time column's zone as Arrow names it: an IANA name, or a fixed
    offset (+HH:MM); None for the tape's own."""
    if time_zone is None:
        return None
    # A fixed offset: a datetime.timezone, or another tzinfo whose offset
    # does not depend on the date (pytz.FixedOffset, as pandas gives
    # offset-stamped times).
    offset = time_zone.utcoffset(None) if isinstance(time_zone, datetime.tzinfo) else None
    if offset is not None:
        if offset == datetime.timedelta(0):
            return "UTC"
        if offset % datetime.timedelta(minutes=1):
            raise ValueError(f"time_zone: an offset of whole minutes, got {offset}")
        minutes = abs(offset) // datetime.timedelta(minutes=1)
        return f"{'-' if offset < datetime.timedelta(0) else '+'}{minutes // 60:02d}:{minutes % 60:02d}"
    name = time_zone if isinstance(time_zone, str) else _zone_key(time_zone)
    if name is None:
        kind = type(time_zone)
        raise TypeError("time_zone: expected an IANA name, a zoneinfo.ZoneInfo (or a pytz zone) or a "
                        f"datetime.timezone, got {kind.__module__}.{kind.__qualname__}")
    if re.fullmatch(r"[+-][01]\d:[0-5]\d", name):
        return name
    if name in ("localtime", "posixrules", "Factory"):  # not zones of the database pandas reads
        raise ValueError(f"time_zone: {name!r} names no place; give an IANA name such as America/New_York")
    try:
        zoneinfo.ZoneInfo(name)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"time_zone: unknown time zone {name!r} (an IANA name such as America/New_York, "
                         "or UTC)") from None
    return name


def _kinds(kinds: str | Iterable[str]) -> tuple[str, ...]:
    if not isinstance(kinds, Iterable):
        raise TypeError(f"kinds: expected a kind or kinds, got {type(kinds).__name__}")
    chosen = (kinds,) if isinstance(kinds, str) else tuple(kinds)
    for kind in chosen:
        if kind not in KINDS:
            raise ValueError(f"unknown kind {kind!r}: expected one of {', '.join(KINDS)}")
    return chosen


def _options(path: PathLike, kinds: tuple[str, ...], symbols: str | Iterable[str] | None, start: TimeBound,
             end: TimeBound, nbbo: bool | numpy.bool_, time_zone: TimeZone, batch_rows: int,
             fractional_sizes: bool) -> dict[str, Any]:
    """The reader's options, every argument checked."""
    tape = os.fsdecode(path)
    if "\0" in tape:  # as open() says it; the engine would read the path up to it
        raise ValueError(f"the path {tape!r} holds an embedded null byte")
    try:
        os.stat(tape)
    except FileNotFoundError:
        raise FileNotFoundError(f"no such tape: {tape}") from None
    except OSError:  # a loop of links, a folder in the way: the replay names it
        pass
    try:
        tape.encode("utf-8")
    except UnicodeEncodeError:  # the engine takes paths as UTF-8 text
        raise ValueError(f"the path {tape!r} is not UTF-8: rename the tape") from None
    if isinstance(symbols, str):
        symbols = [symbols]
    if symbols is not None:
        if isinstance(symbols, (bytes, bytearray)) or not isinstance(symbols, Iterable):
            raise TypeError(f"symbols: expected a text or texts, got {type(symbols).__name__}")
        symbols = list(symbols)
        for symbol in symbols:
            if not isinstance(symbol, str):
                raise TypeError(f"symbols: expected texts, got {type(symbol).__name__}")
            try:
                symbol.encode("utf-8")
            except UnicodeEncodeError:  # a lone surrogate, as os.fsdecode leaves undecodable bytes
                raise ValueError(f"symbols: {symbol!r} is not Unicode text: symbols are matched as UTF-8") from None
    if isinstance(batch_rows, bool):
        raise TypeError("batch_rows: expected a number of rows, got bool")
    try:
        rows = operator.index(batch_rows)
    except TypeError:
        raise TypeError(f"batch_rows: expected a whole number of rows, got {type(batch_rows).__name__}") from None
    if rows < 1:
        raise ValueError("batch_rows: at least 1")
    return {
        "path": tape,
        "kinds": list(kinds),
        "symbols": symbols,
        "start": _bound(start, "start"),
        "end": _bound(end, "end"),
        "nbbo": _flag("nbbo", nbbo),
        "fractional_sizes": _flag("fractional_sizes", fractional_sizes),
        "time_zone": _zone(time_zone),
        "batch_rows": min(rows, 1 << 62),  # past any day: one batch a kind
    }


def _open(options: dict[str, Any]) -> tuple[ctypes.CDLL, int]:
    lib = _library()
    error = ctypes.c_void_p()
    reader: int | None = lib.tarvik_columns_open(json.dumps(options).encode(), ctypes.byref(error))
    if not reader:
        raise _refused(_message(lib, error))
    return lib, reader


_NOT_YET = 2  # tarvik_columns_next: no batch within the wait
_WAIT_MS = 50


def _batches(lib: ctypes.CDLL, reader: int) -> Iterator[tuple[str, pyarrow.RecordBatch]]:
    import pyarrow

    kind = ctypes.c_int()
    code = ctypes.c_int()
    error = ctypes.c_void_p()
    while True:
        array = (ctypes.c_byte * _ARROW_ARRAY_SIZE)()
        schema = (ctypes.c_byte * _ARROW_SCHEMA_SIZE)()
        # Waits a while at a time, so that Ctrl-C is heard between waits
        # however long a batch takes to fill (a few symbols of a big day).
        got = _NOT_YET
        while got == _NOT_YET:
            got = lib.tarvik_columns_next(reader, _WAIT_MS, ctypes.byref(kind), array, schema, ctypes.byref(code),
                                          ctypes.byref(error))
        if got == 0:
            return
        if got < 0:
            message = _message(lib, error)
            if code.value == _NO_MEMORY:
                raise MemoryError(message)
            raise TapeError(code.value, message)
        yield KINDS[kind.value], pyarrow.RecordBatch._import_from_c(ctypes.addressof(array), ctypes.addressof(schema))


def iter_tape(path: PathLike, *, kinds: str | Iterable[str] = ("trades", "quotes"),
              symbols: str | Iterable[str] | None = None, start: TimeBound = None, end: TimeBound = None,
              nbbo: bool | numpy.bool_ = True, time_zone: TimeZone = None, batch_rows: int = 1_000_000,
              fractional_sizes: bool = False) -> Iterator[tuple[str, pyarrow.RecordBatch]]:
    """Yields ``(kind, pyarrow.RecordBatch)`` in the order the batches fill,
    each of at most ``batch_rows`` rows, for a day of any size.

    ``kinds`` chooses among "trades", "quotes", "mm_quotes",
    "symbol_changes" and "categories"; ``symbols`` keeps only these symbol
    texts; ``start`` (inclusive) and ``end`` (exclusive) keep a window: a
    ``datetime.time`` or "HH:MM:SS" is a time of day, an aware datetime an
    instant, a naive one a wall-clock time in the tape's time zone. ``nbbo``
    adds the NBBO after each quote to the quotes. ``time_zone`` (an IANA
    name, a ``zoneinfo.ZoneInfo`` or pytz zone, a ``datetime.timezone`` or "+HH:MM") is
    the time column's; by default the tape's own offset.
    ``fractional_sizes`` adds to the trades their sizes and running volume
    below one share (``fractional_size``, ``fractional_total_volume``).
    Raises ``TapeError`` with the engine's result code for a damaged tape."""
    # Checked now, where the call is (the arguments, and that the file is
    # one a replay may start on); the replay starts with the first batch.
    options = _options(path, _kinds(kinds), symbols, start, end, nbbo, time_zone, batch_rows, fractional_sizes)
    lib = _library()
    error = ctypes.c_void_p()
    if lib.tarvik_columns_check(json.dumps(options).encode(), ctypes.byref(error)) != 0:
        raise _refused(_message(lib, error))
    return _iterate(options)


def _iterate(options: dict[str, Any]) -> Iterator[tuple[str, pyarrow.RecordBatch]]:
    lib, reader = _open(options)
    try:
        yield from _batches(lib, reader)
    finally:
        lib.tarvik_columns_close(reader)


def read_tape(path: PathLike, *, kinds: str | Iterable[str] = ("trades", "quotes"),
              symbols: str | Iterable[str] | None = None, start: TimeBound = None, end: TimeBound = None,
              nbbo: bool | numpy.bool_ = True, time_zone: TimeZone = None,
              fractional_sizes: bool = False) -> dict[str, pyarrow.Table]:
    """The day as a dict from kind to ``pyarrow.Table``, with the same
    arguments as ``iter_tape``. ``table.to_pandas()`` gives a DataFrame."""
    import pyarrow

    chosen = _kinds(kinds)
    lib, reader = _open(_options(path, chosen, symbols, start, end, nbbo, time_zone, 1_000_000, fractional_sizes))
    try:
        collected: dict[str, list[Any]] = {kind: [] for kind in chosen}
        for kind, batch in _batches(lib, reader):
            collected[kind].append(batch)
        tables: dict[str, pyarrow.Table] = {}
        for index, kind in enumerate(KINDS):
            if kind not in collected:
                continue
            schema = (ctypes.c_byte * _ARROW_SCHEMA_SIZE)()
            if lib.tarvik_columns_schema(reader, index, schema) != 0:
                raise MemoryError("read_tape: the schema could not be made")
            tables[kind] = pyarrow.Table.from_batches(collected[kind],
                                                      pyarrow.Schema._import_from_c(ctypes.addressof(schema)))
        return tables
    finally:
        lib.tarvik_columns_close(reader)

"""Tapes from your data: the import core (the same as ``tarvik-tape import``)
called with files, pandas DataFrames, pyarrow Tables and RecordBatchReaders,
or any object with the Arrow PyCapsule stream interface (polars, DuckDB).
docs/import.md gives the columns and the rules."""

from __future__ import annotations

import ctypes
import datetime
import json
import numbers
import os
import re
import sys
import threading
from collections.abc import Callable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pyarrow

# A path, a pandas DataFrame, a pyarrow Table, RecordBatch or
# RecordBatchReader, any object with __arrow_c_stream__, or a list of these.
type Input = Any
type PathLike = str | os.PathLike[str]

__all__ = ["write_tape"]

_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libtarvik_import.so")
_STREAM_CAPSULE = b"arrow_array_stream"
_lib: ctypes.CDLL | None = None
# How far an import is: stage 0, rows read (total 0); stage 1, events
# written of total. A nonzero answer stops it.
_PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_uint64, ctypes.c_uint64)


def _library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(_LIBRARY)
        lib.tarvik_import.restype = ctypes.c_void_p
        lib.tarvik_import.argtypes = [
            ctypes.c_char_p,
            ctypes.POINTER(ctypes.c_void_p),
            ctypes.POINTER(ctypes.c_void_p),
            ctypes.c_size_t,
            ctypes.POINTER(ctypes.c_int),
            _PROGRESS,
        ]
        lib.tarvik_import_free.restype = None
        lib.tarvik_import_free.argtypes = [ctypes.c_void_p]
        _lib = lib
    return _lib


_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_valid = ctypes.pythonapi.PyCapsule_IsValid
_capsule_valid.restype = ctypes.c_int
_capsule_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]


def _is_path(value: object) -> bool:
    return isinstance(value, (str, bytes, os.PathLike))


# The column names the import reads, by kind of input.
_QUOTE_COLUMNS = ("symbol", "time", "exchange", "bid", "bid_size", "ask", "ask_size", "condition", "listed_exchange",
                  "exchange_time", "date")
_COLUMNS = {
    "quotes": frozenset(_QUOTE_COLUMNS),
    "mm_quotes": frozenset((*_QUOTE_COLUMNS, "market_maker")),
    "trades": frozenset(("symbol", "time", "exchange", "price", "size", "conditions", "sequence", "price_flags",
                         "listed_exchange", "exchange_time", "date")),
    "changes": frozenset(("time", "symbol", "action", "listed_exchange", "old_symbol", "date")),
    "symbols": frozenset(("symbol", "listed_exchange", "price_type", "prev_close", "size_multiplier", "root",
                          "underlying", "expiration", "strike", "put_call", "contract_unit")),
    "conditions": frozenset(("condition", "code")),
}


def _our_name(name: str, rename: Mapping[str, str]) -> str:
    """A column's name as the import matches it: trimmed, renamed, lower case."""
    ours = name.strip()
    for vendor, target in rename.items():  # the first that matches, once
        if vendor.strip().lower() == ours.lower():
            ours = target.strip()
            break
    return ours.lower()


def _known_column(name: object, kind: str, rename: Mapping[str, str]) -> bool:
    """Whether a column of this name would be read: trimmed, renamed and in
    any letter case, as the import matches names."""
    return isinstance(name, str) and _our_name(name, rename) in _COLUMNS[kind]


def _index_level_is_data(frame: Any, level: object, kind: str, rename: Mapping[str, str]) -> bool:
    """Whether an index level is read as a column: it is named as one the
    import reads, and is not one of the frame's columns. A level named date
    that holds times of day as well (a DatetimeIndex of the events' times)
    is a row label, as it always was: only days are dates."""
    if not _known_column(level, kind, rename) or level in frame.columns:
        return False
    if _our_name(str(level), rename) != "date":
        return True
    import pandas

    values = frame.index.get_level_values(level)
    return not (isinstance(values, pandas.DatetimeIndex) and
                bool(((values != values.normalize()) & values.notna()).any()))


def _as_table(value: object, kind: str, name: str, rename: Mapping[str, str],
              ignore_extra: bool) -> pyarrow.Table | None:
    """A DataFrame, Table or RecordBatch as a pyarrow Table, or None for
    any other value (a stream). With ``ignore_extra``, a DataFrame's columns
    the import does not read are left out before Arrow sees them, so that
    one Arrow cannot convert (complex numbers, mixed objects) stops nothing."""
    try:
        import pandas
    except ImportError:  # pandas is optional
        pandas = None
    if pandas is not None and isinstance(value, pandas.DataFrame):
        import pyarrow

        # An index level named as a column the import reads is data (a
        # DatetimeIndex named time, a (symbol, time) MultiIndex, a RangeIndex
        # named sequence): it becomes a column. Other levels are only row labels.
        frame: Any = value
        named = [level for level in frame.index.names if _index_level_is_data(frame, level, kind, rename)]
        if named:
            frame = frame.reset_index(level=named)
        if ignore_extra:
            frame = frame.loc[:, [_known_column(column, kind, rename) for column in frame.columns]]
        try:
            return pyarrow.Table.from_pandas(frame, preserve_index=False)
        except MemoryError:  # no fault of the data (pyarrow's ArrowMemoryError is one)
            raise
        except Exception as error:  # Arrow's, pandas' and NumPy's: each names no row
            raise _conversion_error(frame, name, error) from None
    try:
        import pyarrow
    except ImportError:
        return None
    if isinstance(value, pyarrow.Table):
        return value
    if isinstance(value, pyarrow.RecordBatch):
        return pyarrow.Table.from_batches([value])
    return None


def _is_number_dictionary(data_type: Any) -> bool:
    import pyarrow

    return pyarrow.types.is_dictionary(data_type) and not (
        pyarrow.types.is_string(data_type.value_type) or pyarrow.types.is_large_string(data_type.value_type)
        or pyarrow.types.is_binary(data_type.value_type) or pyarrow.types.is_large_binary(data_type.value_type)
        or pyarrow.types.is_string_view(data_type.value_type))


def _decoded_schema(schema: Any) -> Any:
    """The schema with dictionaries of anything but texts (categoricals of
    exchange numbers, say) as their values' type; texts stay dictionaries,
    which the import reads once each."""
    import pyarrow

    return pyarrow.schema([field.with_type(field.type.value_type) if _is_number_dictionary(field.type) else field
                           for field in schema], metadata=schema.metadata)


def _decoded(data: Any, schema: Any, name: str) -> Any:
    """A Table or RecordBatch cast to the decoded schema."""
    import pyarrow

    if data.schema.equals(schema):
        return data
    try:
        return data.cast(schema)
    except MemoryError:
        raise
    except pyarrow.ArrowException as error:  # a producer's dictionary index past its dictionary, say
        failed = next((field.name for field, column in zip(schema, data.columns)
                       if not _casts(column, field.type)), None)
        raise ValueError(f"{name}: column {failed!r}: cannot be read: {error}") from None


def _casts(column: Any, to: Any) -> bool:
    import pyarrow

    try:
        column.cast(to)
    except pyarrow.ArrowException:
        return False
    return True


def _decoded_batches(reader: Any, schema: Any, name: str) -> Iterator[Any]:
    for batch in reader:
        yield _decoded(batch, schema, name)


def _conversion_error(frame: Any, name: str, error: Exception) -> ValueError:
    """The first column and row of a DataFrame that Arrow cannot read as
    one type (an object column mixing texts and numbers, say)."""
    import pyarrow

    if not frame.columns.is_unique:
        twice = frame.columns[frame.columns.duplicated()][0]
        return ValueError(f"{name}: column {str(twice)!r} given twice")
    for column in frame.columns:
        series = frame[column]
        try:
            pyarrow.array(series, from_pandas=True)
            continue
        except MemoryError:
            raise
        except Exception as column_error:  # whatever Arrow raises for this column
            error = column_error
        # The shortest head of the column that fails ends at the row.
        good, bad = 0, len(series)
        while bad - good > 1:
            middle = (good + bad) // 2
            try:
                pyarrow.array(series.iloc[:middle], from_pandas=True)
                good = middle
            except MemoryError:
                raise
            except Exception:
                bad = middle
        value = series.iloc[bad - 1]
        return ValueError(f"{name}:{bad}: column {str(column)!r}: {value!r} ({type(value).__name__}) cannot be read "
                          f"with the column's other values: {error}")
    return ValueError(f"{name}: the DataFrame cannot be read as an Arrow table: {error}")


def _mapping(name: str, value: object) -> Mapping[Any, Any]:
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise TypeError(f"{name}: expected a mapping such as a dict, got {type(value).__name__}")
    return value


def _constant_texts(constants: object) -> dict[str, str]:
    texts = {}
    for name, value in _mapping("constants", constants).items():
        if not isinstance(name, str):
            raise TypeError(f"constants: a column name must be a str, got {type(name).__name__}")
        if isinstance(value, bool) or not isinstance(value, (str, numbers.Integral)):
            raise TypeError(f"constants: the value of {name!r} must be a str or an int, got {type(value).__name__}")
        texts[name] = value if isinstance(value, str) else str(int(value))
    return texts


def _flag(name: str, value: object) -> bool:
    """True or False (or a numpy bool): a text such as "no" is refused, not
    taken as true."""
    numpy_bool = type(value).__module__ == "numpy" and type(value).__name__ in ("bool", "bool_")
    if not isinstance(value, bool) and not numpy_bool:
        raise TypeError(f"{name}: expected True or False, got {type(value).__name__}")
    return bool(value)


def _is_terminal(stream: object) -> bool:
    """Whether progress can be drawn on the stream: False for None (pythonw,
    a service) or a closed one."""
    try:
        return bool(stream.isatty())  # type: ignore[attr-defined]
    except (AttributeError, ValueError, OSError):
        return False


def _conditions_table(conditions: Mapping[str, int]) -> pyarrow.Table:
    import pyarrow

    for text, code in conditions.items():
        if not isinstance(text, str):
            raise TypeError(f"conditions: a condition must be a str, got {type(text).__name__}")
        if isinstance(code, bool) or not isinstance(code, numbers.Integral):
            raise TypeError(f"conditions: the code of {text!r} must be an int, got {type(code).__name__}")
    texts = list(conditions)
    codes = [int(conditions[text]) for text in conditions]
    return pyarrow.table({"condition": pyarrow.array(texts, pyarrow.string()), "code": pyarrow.array(codes)})


def _stream_capsule(value: object, name: str, raised: list[BaseException]) -> object:
    if not hasattr(value, "__arrow_c_stream__"):
        raise TypeError(
            f"{name}: expected a path, a pandas DataFrame, a pyarrow Table or RecordBatchReader, or an object with "
            f"__arrow_c_stream__, got {type(value).__name__}"
        )
    import pyarrow

    checked = isinstance(value, pyarrow.RecordBatchReader)
    reader: Any = value if checked else pyarrow.RecordBatchReader.from_stream(_HeldStream(value, name))
    schema = _decoded_schema(reader.schema)
    # pyarrow hands a reader's batches on as they come, read by the schema's
    # types: a batch of other types would be misread.
    batches = _checked_batches(reader, name) if checked else iter(reader)
    if not schema.equals(reader.schema):
        batches = _decoded_batches(batches, schema, name)
    return pyarrow.RecordBatchReader.from_batches(schema, _kept_raised(batches, raised)).__arrow_c_stream__()


class _HeldStream:
    """An object's ``__arrow_c_stream__`` answer, checked to be a stream
    capsule before pyarrow takes it: anything else is a TypeError naming
    the input, not a complaint about capsules."""

    def __init__(self, value: object, name: str) -> None:
        self._value = value
        self._name = name

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        stream = self._value.__arrow_c_stream__  # type: ignore[attr-defined]
        capsule = stream() if requested_schema is None else stream(requested_schema)
        if type(capsule).__name__ != "PyCapsule" or not _capsule_valid(capsule, _STREAM_CAPSULE):
            raise TypeError(f"{self._name}: __arrow_c_stream__ returned {type(capsule).__name__}, "
                            "not an Arrow stream capsule")
        return capsule


def _kept_raised(batches: Iterator[Any], raised: list[BaseException]) -> Iterator[Any]:
    """The batches; what reading them raises (the caller's own generator's
    error, an interrupt) is kept, to reach the caller as it was raised
    rather than as the text Arrow makes of it. A GeneratorExit is no error
    of the caller's: it is the import letting go of a stream it has
    stopped reading (at a bad row, say), whose own error is the one to tell."""
    try:
        yield from batches
    except GeneratorExit:
        raise
    except BaseException as error:
        raised.append(error)
        raise


def _checked_batches(reader: Any, name: str) -> Iterator[Any]:
    for number, batch in enumerate(reader, 1):
        if not batch.schema.equals(reader.schema):
            raise ValueError(f"{name}: batch {number} does not match the reader's schema: "
                             f"{batch.schema.to_string(show_schema_metadata=False)!r} against "
                             f"{reader.schema.to_string(show_schema_metadata=False)!r}")
        yield batch


def _inputs(kind: str, value: Input) -> list[tuple[str, str, str | None, object]]:
    """(kind, name, path or None, data or None) for each input of a kind."""
    values = value if isinstance(value, (list, tuple)) else [value]
    out: list[tuple[str, str, str | None, object]] = []
    for index, item in enumerate(values):
        name = kind if len(values) == 1 else f"{kind}[{index}]"
        if _is_path(item):
            path = _text_path(name, item)
            if not os.path.exists(path):
                raise FileNotFoundError(f"{name}: no such file: {path}")
            out.append((kind, path, path, None))
        else:
            out.append((kind, name, None, item))
    return out


def _date_text(date: object) -> str | None:
    if date is None:
        return None
    if isinstance(date, datetime.datetime):  # a pandas Timestamp too
        date = date.date()
    if isinstance(date, datetime.date):
        return date.isoformat()
    if isinstance(date, str):
        return date
    if type(date).__module__ == "numpy" and type(date).__name__ == "datetime64":
        return str(date)[:10]
    raise TypeError(f"date: expected a datetime.date or a text YYYY-MM-DD, got {type(date).__name__}")


def _text_path(name: str, path: Any) -> str:
    """A path (str, bytes or os.PathLike) as the UTF-8 text the import takes."""
    text = os.fsdecode(path)
    if "\0" in text:  # as open() says it; the import would read the path up to it
        raise ValueError(f"{name}: {text!r} holds an embedded null byte")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{name}: {text!r} is not UTF-8: give a path in UTF-8") from None
    return text


def _text_option(name: str, value: Any) -> Any:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name}: expected a str, got {type(value).__name__}")
    return value


def _whole(name: str, value: object, most: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name}: expected an int, got {type(value).__name__}")
    if not 0 <= int(value) <= most:
        raise ValueError(f"{name}: {value} is out of range (0 to {most})")
    return int(value)


def _zone_key(zone: object) -> str | None:
    """The IANA name a zone object carries: a zoneinfo.ZoneInfo's key, a
    pytz zone's (as pandas gives a column's zone); None for others."""
    for attribute in ("key", "zone"):
        name = getattr(zone, attribute, None)
        if isinstance(name, str):
            return name
    return None


def _zone_name(zone: object) -> str | None:
    if zone is None:
        return None
    if isinstance(zone, datetime.timezone):
        # A fixed offset is the Etc zone of its hours (whose names count
        # west of GMT); one of part hours has no such zone.
        offset = zone.utcoffset(None)
        hours, rest = divmod(int(offset.total_seconds()), 3600)
        if rest:
            raise ValueError(f"time_zone: the fixed offset {zone} is no whole hours: give a zone by name")
        if not -12 <= hours <= 14:  # the Etc zones' range
            raise ValueError(f"time_zone: the fixed offset {zone} is past any zone's (-12 to +14 hours)")
        return "UTC" if hours == 0 else f"Etc/GMT{-hours:+d}"
    if isinstance(zone, str):
        return zone
    if (name := _zone_key(zone)) is not None:
        return name
    raise TypeError(f"time_zone: expected an IANA name, a zoneinfo.ZoneInfo or a datetime.timezone, "
                    f"got {type(zone).__name__}")


def write_tape(
    path: PathLike,
    *,
    quotes: Input = None,
    trades: Input = None,
    mm_quotes: Input = None,
    changes: Input = None,
    symbols: Input = None,
    conditions: Input | Mapping[str, int] = None,
    date: datetime.date | str | None = None,
    date_order: str | None = None,
    time_zone: str | datetime.tzinfo | None = None,
    time_unit: str | None = None,
    price_type: int | None = None,
    price_scale: int = 0,
    listed_exchange: int = 1,
    rename: Mapping[str, str] | None = None,
    constants: Mapping[str, str | int] | None = None,
    ignore_extra_columns: bool = False,
    header: bool = True,
    sort: bool = False,
    allow_empty: bool = False,
    fractional_sizes: bool = False,
    one_sided_quotes: bool = False,
    condition_letters: bool = False,
    temp_dir: PathLike | None = None,
    delimiter: str | None = None,
    compress: bool = True,
    progress: bool | None = None,
) -> list[Path]:
    """Writes a tape (or one tape per session day, when ``path`` holds
    "{date}") from quotes, trades, market-maker quotes and symbol changes.

    Each of ``quotes``, ``trades``, ``mm_quotes`` and ``changes`` is a file
    path (CSV, .gz, .zst or Parquet), a pandas DataFrame, a pyarrow Table,
    RecordBatch or RecordBatchReader, any object with ``__arrow_c_stream__``,
    or a list of these. ``symbols`` is such a table of instruments;
    ``conditions`` a table with columns condition and code, or a dict from
    text to code. ``date`` (a ``datetime.date`` or "YYYY-MM-DD") places
    times of day (a row's own ``date`` column, where it has one, places
    its time; ``date_order``, "mdy" or "dmy", says how that column's dates
    with the year last read: 03/15/2024 or 15/03/2024); ``time_zone`` (an IANA name, a ``zoneinfo.ZoneInfo`` or
    a ``datetime.timezone`` of whole hours; default UTC) decides each
    event's day and time of day; ``time_unit`` ("s", "ms", "us", "ns",
    the same since midnight as "s-of-day" ... "ns-of-day", or "hhmmss") is
    that of numeric times, where the column's type does not say it. ``price_type`` writes every instrument's prices in one price
    type (by default each gets the fewest decimals its prices need);
    ``listed_exchange`` is the listed exchange of rows without that
    column (default 1). ``rename`` maps
    vendor column names to ours; ``constants`` gives the columns an input
    lacks one text (or integer) for every row, as {"symbol": "BTCUSDT"}
    for a vendor's file of one symbol; ``header=False`` reads CSV files
    without a header line, their columns named "1", "2", ... for
    ``rename``; ``delimiter`` separates a CSV file's fields
    (one character, or "tab"; by default a comma, or the "|", tab or ";"
    its header holds most of). ``price_scale=9`` reads the prices of the
    data (price, bid, ask) as whole numbers of 10^-9 units, as vendors'
    fixed-point integers are. ``one_sided_quotes=True`` reads an empty bid or ask
    (its size empty or 0) as none, price and size 0.
    ``condition_letters=True`` reads each character of a trade's
    conditions as a condition of its own, as TAQ packs them ("@FTI").
    ``ignore_extra_columns=True`` skips columns the import does not take
    (else they are an error); ``sort=True`` sorts inputs that are not in
    time order (else a row out of order is an error); ``allow_empty=True``
    writes an empty tape for inputs without rows (with ``date``);
    ``fractional_sizes=True`` keeps the part of a size below one share
    (0.25 BTC) in the trade's microsecond extension.
    ``compress=False`` writes a plain (version 1) tape instead of a
    zstd-compressed one. Each input is read once; its converted rows wait
    in a temporary file in ``temp_dir`` (default: beside the tape) until
    the tape is written.

    ``progress`` shows how far the import is through tqdm bars on standard
    error (rows read, with ``sort`` rows sorted, then events written); by
    default only when standard error is a terminal. The import runs on a
    thread of its own: Ctrl-C stops it within a batch and raises
    KeyboardInterrupt.

    Returns the paths of the tapes written, as ``pathlib.Path``. Raises
    ``ValueError`` naming the input, the row and the column for bad data,
    ``FileNotFoundError`` for a missing input and ``TypeError`` for an
    argument of the wrong type; what a stream's own batches raise (a
    generator's error) reaches the caller as it was raised.
    Nothing is written then, or when the import is interrupted, and a tape
    already at ``path`` is kept.
    """
    inputs: list[tuple[str, str, str | None, object]] = []
    for kind, value in (("conditions", conditions), ("symbols", symbols), ("changes", changes),
                        ("quotes", quotes), ("mm_quotes", mm_quotes), ("trades", trades)):
        if value is None:
            continue
        if kind == "conditions" and isinstance(value, Mapping):
            value = _conditions_table(value)
        inputs.extend(_inputs(kind, value))
    if not any(kind in ("quotes", "trades", "mm_quotes", "changes") for kind, *_ in inputs):
        raise ValueError("write_tape needs quotes, trades, mm_quotes or changes")

    entries: list[dict[str, str]] = []
    output = _text_path("path", path)
    ignore_extra = _flag("ignore_extra_columns", ignore_extra_columns)
    renames = _mapping("rename", rename)
    options = {
        "output": output,
        "inputs": entries,
        "rename": {_text_option("rename", k): _text_option("rename", v)
                   for k, v in renames.items()},
        "constants": _constant_texts(constants),
        "ignore_extra_columns": ignore_extra,
        "header": _flag("header", header),
        "sort": _flag("sort", sort),
        "allow_empty": _flag("allow_empty", allow_empty),
        "fractional_sizes": _flag("fractional_sizes", fractional_sizes),
        "one_sided_quotes": _flag("one_sided_quotes", one_sided_quotes),
        "condition_letters": _flag("condition_letters", condition_letters),
        "time_unit": _text_option("time_unit", time_unit),
        "time_zone": _zone_name(time_zone),
        "date": _date_text(date),
        "date_order": _text_option("date_order", date_order),
        "price_type": _whole("price_type", price_type, 255) if price_type is not None else None,
        "price_scale": _whole("price_scale", price_scale, 18),
        "listed_exchange": _whole("listed_exchange", listed_exchange, 65535),
        "temp_dir": _text_path("temp_dir", temp_dir) if temp_dir is not None else None,
        "delimiter": _text_option("delimiter", delimiter),
        "compress": _flag("compress", compress),
    }
    capsules: list[object] = []  # kept alive until the import has taken the streams
    raised: list[BaseException] = []  # by the caller's streams
    first: list[int | None] = []
    for kind, name, file_path, data in inputs:
        entry = {"kind": kind, "name": name}
        if file_path is not None:
            entry["path"] = file_path
        else:
            table = _as_table(data, kind, name, renames, ignore_extra)
            if table is not None:
                capsule = _decoded(table, _decoded_schema(table.schema), name).__arrow_c_stream__()
            else:
                capsule = _stream_capsule(data, name, raised)
            capsules.append(capsule)
            first.append(_capsule_pointer(capsule, _STREAM_CAPSULE))
        entries.append(entry)

    lib = _library()
    count = len(first)
    first_array = (ctypes.c_void_p * max(count, 1))(*first)
    status = ctypes.c_int(0)
    show = _is_terminal(sys.stderr) if progress is None else _flag("progress", progress)
    with _Progress(show) as report:
        answer = _run_stoppable(lambda: lib.tarvik_import(json.dumps(options).encode(), first_array, None, count,
                                                          ctypes.byref(status), report.callback), report)
    del capsules
    if not answer:
        raise MemoryError("write_tape: out of memory")
    try:
        text = ctypes.string_at(answer).decode("utf-8", "replace")
    finally:
        lib.tarvik_import_free(answer)
    if status.value != 0 and raised:
        raise raised[0]  # nothing was written
    if status.value == 3:
        raise KeyboardInterrupt("write_tape: interrupted; nothing was written")
    if status.value == 4:
        raise MemoryError(f"write_tape: {text}; nothing was written")
    if status.value == 5:
        raise RuntimeError(f"write_tape: {text}; nothing was written")
    if status.value != 0 and text.startswith("import needs Apache Arrow"):
        raise ImportError(f"write_tape: {text}")  # a build without Arrow: no fault of the data
    if status.value != 0:
        raise ValueError(_python_names(text, [output, options["temp_dir"] or "",
                                              *(e.get("path", "") for e in entries)]))
    if report.stop:
        # Ctrl-C came once the tapes were going into place: they are
        # written, and the interrupt still reaches the caller.
        raise KeyboardInterrupt("write_tape: interrupted once the tapes were written: "
                                + ", ".join(json.loads(text)["tapes"]))
    return [Path(tape) for tape in json.loads(text)["tapes"]]


class _Progress:
    """The import's progress callback: tqdm bars when shown, and the
    answer that stops the import once asked to."""

    def __init__(self, show: bool) -> None:
        self.show = show
        self.stop = False
        self.bars: list[Any] = []
        self.stage = -1
        self.callback = _PROGRESS(self._report)

    def _report(self, stage: int, done: int, total: int) -> int:
        if self.stop:
            return 1
        if self.show:
            try:
                self._draw(stage, done, total)
            except Exception:  # a display that fails never stops the import
                self.show = False
        return 0

    def _draw(self, stage: int, done: int, total: int) -> None:
        from tqdm import tqdm

        if stage != self.stage:
            for bar in self.bars:
                bar.close()
            self.stage = stage
            what, unit = {0: ("reading", "rows"), 1: ("writing", "events"), 2: ("sorting", "rows")}[stage]
            # Counts scaled (k, M) where a total of thousands says they grow
            # large; else whole numbers, which tqdm scales with decimals.
            self.bars = [tqdm(desc=f"write_tape: {what}", unit=unit, total=total or None,
                              unit_scale=total >= 1000, file=sys.stderr)]
        bar = self.bars[0]
        bar.update(done - bar.n)

    def __enter__(self) -> "_Progress":
        return self

    def __exit__(self, *exc: object) -> None:
        for bar in self.bars:
            bar.close()


# The import's messages name its command line's options; write_tape's
# callers know them by their keywords.
_KEYWORDS = {
    "--ignore-extra-columns": "ignore_extra_columns=True", "--rename": "rename=", "--constant": "constants=",
    "--date": "date=", "--date-order": "date_order=", "--time-unit": "time_unit=", "--time-zone": "time_zone=", "--allow-empty": "allow_empty=True",
    "--sort": "sort=True", "--conditions": "conditions=", "--listed-exg": "listed_exchange=",
    "--fractional-sizes": "fractional_sizes=True", "--condition-letters": "condition_letters=True", "--price-type": "price_type=", "--price-scale": "price_scale=", "--no-header": "header=False",
    "--symbols": "symbols=", "--delimiter": "delimiter=", "--temp-dir": "temp_dir=", "-o": "path",
}
# An option stands alone between spaces or brackets: not in a path
# (out/-o/day.tape), nor in a value.
_OPTION = re.compile(r"(?:(?<=^)|(?<=[\s(;]))(" + "|".join(sorted(map(re.escape, _KEYWORDS), key=len, reverse=True))
                     + r")(?: (\d+|mdy|dmy|hhmmss|[mun]?s(?:-of-day)?))?(?=$|[\s),;.])")
_RENAME = re.compile(r"(?:(?<=^)|(?<=[\s(;]))--rename (\S+?)=([^\s,)]+)")


def _keyword(option: str, number: str | None) -> str:
    """An option, and the value given to it, as write_tape's keyword:
    "--price-scale 9" is price_scale=9, "--date-order mdy" date_order="mdy"."""
    keyword = _KEYWORDS[option]
    if number is None:
        return keyword
    if not number.isdigit():  # a unit or an order, quoted as Python writes it
        return f'{keyword}"{number}"' if option in ("--time-unit", "--date-order") else f"{keyword} {number}"
    return keyword + number if keyword.endswith("=") else keyword + " " + number


def _python_names(message: str, paths: list[str]) -> str:
    """The message with write_tape's keywords for the options it names;
    quoted values (a symbol, a column's name) and the paths of the call are
    left as they are."""
    # A quoted value starts and ends beside no letter or digit: the
    # apostrophe of "a trade's" quotes nothing, that of "O'Neil" ends no value.
    # Arrow's CSV reader quotes a row it cannot split as it stands, at the
    # end of its message.
    kept = [r"(?<!\w)'(?:[^'\\]|\\.|'(?=\w))*'(?!\w)", r"Expected \d+ columns, got \d+: [^\n]*"] + [
        re.escape(p) for p in sorted(set(paths), key=len, reverse=True) if p]
    parts = re.split("(" + "|".join(kept) + ")", message)

    def named(part: str) -> str:
        part = _RENAME.sub(lambda m: f"rename={{{m.group(1)!r}: {m.group(2)!r}}}", part)
        return _OPTION.sub(lambda m: _keyword(m.group(1), m.group(2)), part)

    return "".join(part if k % 2 else named(part) for k, part in enumerate(parts))


def _run_stoppable(call: Callable[[], int | None], report: _Progress) -> int | None:
    """Runs the import on a thread of its own, so that Ctrl-C reaches the
    caller: it asks the import to stop at its next progress report, and
    waits for it to end."""
    out: list[int | None] = []
    failed: list[BaseException] = []

    def run() -> None:
        try:
            out.append(call())
        except BaseException as e:  # handed to the caller
            failed.append(e)

    worker = threading.Thread(target=run, name="tarvik-import", daemon=True)
    worker.start()
    # Every step of the wait is inside the try: a Ctrl-C that lands
    # anywhere in it (many in a row, say) still waits for the import.
    interrupted = False
    while True:
        try:
            if interrupted:
                report.stop = True
            worker.join(0.1)
            if not worker.is_alive():
                break
        except KeyboardInterrupt:
            interrupted = True
    if failed:
        raise failed[0]
    return out[0]

"""Days to tapes: the tapes of a range of days, found by the engine's own
listing of the directories of ``TARVIK_TAPE_PATH`` (each file recognised by
its header, whatever its name)."""

from __future__ import annotations

import ctypes
import datetime
import os
import re
from pathlib import Path
from typing import Union

import tarvik_engine

DayLike = Union[datetime.date, str]

# The tape-file record of the engine's listing (include/tarvik/library.h).
_PATH_BYTES = 268
_DATE_OFFSET = 280  # TqDateRecord: u32 days, u16 year, u8 month, u8 day
_ITEM_CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_void_p)


def as_date(day: DayLike) -> datetime.date:
    """A date from a ``datetime.date`` (or datetime, or pandas Timestamp) or
    a "YYYY-MM-DD" text."""
    if isinstance(day, datetime.datetime):
        return day.date()
    if isinstance(day, datetime.date):
        return day
    if isinstance(day, str):
        try:
            # Only YYYY-MM-DD: fromisoformat also takes "20240304" and
            # "2024-W10-1", which may be names of files.
            if not re.fullmatch(r"\d{4}-\d{2}-\d{2}", day):
                raise ValueError
            return datetime.date.fromisoformat(day)
        except ValueError:
            raise ValueError(f"{day!r}: expected a day as YYYY-MM-DD") from None
    raise TypeError(f"{day!r}: expected a date or a YYYY-MM-DD text")


def listed_tapes() -> list[tuple[datetime.date, Path]]:
    """Every tape in the directories of TARVIK_TAPE_PATH, with its day, in
    the engine's listing order (directory by directory in path order, by
    file name within one). The engine's record holds a path of at most 267
    bytes: a tape at a longer path is read here, so that no day of a deep
    folder is left out as if it had no tape."""
    return [(day, path) for _, day, path in _listing()]


def _listing() -> list[tuple[str, datetime.date, Path]]:
    """listed_tapes with the directory of TARVIK_TAPE_PATH each is in."""
    by_engine = {str(path): day for day, path in _engine_listing()}
    found: list[tuple[str, datetime.date, Path]] = []
    for directory in _directories():
        try:
            names = sorted(os.listdir(os.fsencode(directory)))  # by bytes, as the engine sorts
        except OSError:
            continue
        for name in names:
            resolved = os.path.realpath(os.path.join(os.fsencode(directory), name))
            path = os.fsdecode(resolved)
            if path in by_engine:
                found.append((directory, by_engine[path], Path(path)))
            elif len(resolved) >= _PATH_BYTES and os.path.isfile(resolved) and os.access(resolved, os.R_OK):
                try:
                    found.append((directory, tarvik_engine.tape_info(path).date, Path(path)))
                except (tarvik_engine.TapeInfoError, OSError, ValueError):  # no tape
                    pass
    return found


def _directories() -> list[str]:
    """The directories of TARVIK_TAPE_PATH as the engine reads it: ':'
    between them, the current directory when none is given."""
    directories = [d for d in os.environ.get("TARVIK_TAPE_PATH", "").split(":") if d]
    return directories or ["."]


def _engine_listing() -> list[tuple[datetime.date, Path]]:
    """The engine's own listing of the tapes of TARVIK_TAPE_PATH."""
    engine = ctypes.CDLL(tarvik_engine.library_path())
    list_tapes = engine.sTarvikListTapes
    list_tapes.restype = ctypes.c_int32
    list_tapes.argtypes = [ctypes.c_int32, _ITEM_CALLBACK, ctypes.c_void_p]
    found: list[tuple[datetime.date, Path]] = []

    def item(_reserved: int | None, record: int | None) -> int:
        if record is None:
            return 0
        raw = ctypes.string_at(record, _DATE_OFFSET + 8)
        path = raw[:_PATH_BYTES].split(b"\0", 1)[0]
        year = int.from_bytes(raw[_DATE_OFFSET + 4 : _DATE_OFFSET + 6], "little")
        month, day = raw[_DATE_OFFSET + 6], raw[_DATE_OFFSET + 7]
        try:
            found.append((datetime.date(year, month, day), Path(os.fsdecode(path))))
        except ValueError:  # a tape whose day the calendar does not know
            pass
        return 0

    list_tapes(0, _ITEM_CALLBACK(item), None)
    return found


def tapes_for_days(first: DayLike, last: DayLike | None = None) -> list[Path]:
    """The tapes of the days from ``first`` to ``last`` (both included; one
    day when ``last`` is not given), in day order, found in the directories
    of ``TARVIK_TAPE_PATH``. Days without a tape (weekends, holidays) are
    left out; a day with a tape in two directories takes the first one
    found; two tapes of one day in one directory raise ValueError, as it is
    not told which is the day's. Raises FileNotFoundError when the range
    holds no tape at all."""
    start = as_date(first)
    end = as_date(last) if last is not None else start
    if end < start:
        raise ValueError(f"the range {start} to {end} ends before it starts")
    by_day: dict[datetime.date, Path] = {}
    directory_of: dict[datetime.date, str] = {}
    for directory, day, path in _listing():
        if not start <= day <= end:
            continue
        if day not in by_day:
            by_day[day] = path
            directory_of[day] = directory
        elif directory_of[day] == directory and by_day[day] != path:
            raise ValueError(f"two tapes of {day} in {directory}: {by_day[day].name} and {path.name}; "
                             "give the tape paths instead of days")
    if not by_day:
        where = os.environ.get("TARVIK_TAPE_PATH") or "the current directory"
        days = f"the day {start}" if start == end else f"the days {start} to {end}"
        raise FileNotFoundError(f"no tape of {days} in {where} (TARVIK_TAPE_PATH)")
    return [by_day[day] for day in sorted(by_day)]

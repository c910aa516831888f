"""What a tape holds, read cheaply from its section heads: ``tape_info``.
The same core answers ``tarvik-tape info`` and ``tarvik-tape check``; on a
damaged tape both say what is wrong and where (docs/tape-tool.md)."""

from __future__ import annotations

import ctypes
import dataclasses
import datetime
import json
import os
from typing import Any

from .columnar import TapeError

__all__ = ["TapeInfo", "TapeInfoError", "tape_info"]

_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libtarvik_tape_info.so")
_lib: ctypes.CDLL | None = None


class TapeInfoError(TapeError):
    """A tape that cannot be read, and where: ``path``; ``section`` (1 for
    the first section after the preamble, 0 for the file as a whole) and
    its ``section_name``; the byte ``offset``; the ``reason``. ``code`` is
    the result code a run of the tape gives (``Tarvik.TqAPIERR_*``)."""

    def __init__(self, code: int, problem: dict[str, Any]) -> None:
        super().__init__(code, problem["message"])
        self.path: str = problem["path"]
        self.section: int = problem["section"]
        self.section_name: str = problem["section_name"]
        self.offset: int = problem["offset"]
        self.reason: str = problem["reason"]

    def __reduce__(self) -> tuple[Any, ...]:
        problem = {"message": str(self), "path": self.path, "section": self.section,
                   "section_name": self.section_name, "offset": self.offset, "reason": self.reason}
        return type(self), (self.code, problem)


class MissingTapeError(TapeInfoError, FileNotFoundError):
    """No tape at the path: a ``TapeInfoError`` that is also a
    ``FileNotFoundError``, as the other readers of tapes raise."""


def _missing(path: bytes) -> bool:
    """Nothing at the path (not a folder in the way, not a permission)."""
    try:
        os.stat(path)
    except FileNotFoundError:
        return True
    except OSError:
        return False
    return False


@dataclasses.dataclass(frozen=True)
class TapeInfo:
    """One tape at a glance. Times are the tape's local times of day."""

    path: str
    size: int  # bytes
    format_version: int
    date: datetime.date
    time_zone: int  # hours to GMT
    display: str
    symbols: int  # symbols that are not option contracts
    options: int  # option contracts
    events: int
    blocks: int
    first_event: datetime.time | None  # None without events, or where its block cannot be read or is damaged
    last_event: datetime.time | None
    complete: bool  # the End section is there; False for a live tape still growing

    @property
    def span_ms(self) -> int:
        """Milliseconds from the first event to the last: the length of a
        progress bar driven by ``TarvikSystem.tqTime.MsOfDay``."""
        if self.first_event is None or self.last_event is None:
            return 0
        # Never below 0: a tape's events need not be in time order.
        return max(0, _ms_of_day(self.last_event) - _ms_of_day(self.first_event))


def _ms_of_day(t: datetime.time) -> int:
    return ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.microsecond // 1000


def _event_time(micros: int | None) -> datetime.time | None:
    """An event's time; None (null) where its block cannot be read."""
    return None if micros is None else _time(micros)


def _time(micros: int) -> datetime.time:
    seconds, micro = divmod(micros, 1_000_000)
    return datetime.time(seconds // 3600, seconds // 60 % 60, seconds % 60, micro)


def _library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        lib = ctypes.CDLL(_LIBRARY)
        lib.tarvik_tape_info.restype = ctypes.c_int
        lib.tarvik_tape_info.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ctypes.c_void_p)]
        lib.tarvik_tape_info_free.restype = None
        lib.tarvik_tape_info_free.argtypes = [ctypes.c_void_p]
        _lib = lib
    return _lib


def tape_info(path: str | os.PathLike[str], *, check: bool = False) -> TapeInfo:
    """The tape at ``path``: date, time zone, symbol and option counts,
    events, first and last event time, format version and size, read from
    its section heads (a few pages, whatever the tape's size).

    ``check=True`` reads every byte as a run does (every CRC and every
    index), as ``tarvik-tape check`` does. A tape that cannot be read
    raises ``TapeInfoError`` naming the path, the section, the byte offset
    and the reason."""
    if type(check).__name__ not in ("bool", "bool_"):  # numpy's too
        raise TypeError(f"check: expected True or False, got {check!r}")
    lib = _library()
    out = ctypes.c_void_p()
    encoded = os.fsencode(path)
    if b"\0" in encoded:  # as open() says it; the engine would read the path up to it
        raise ValueError(f"the path {os.fsdecode(path)!r} holds an embedded null byte")
    code = lib.tarvik_tape_info(encoded, int(check), ctypes.byref(out))
    if not out.value:
        raise MemoryError("tape_info: no memory for its answer")
    try:
        answer = json.loads(ctypes.string_at(out.value).decode("utf-8", "replace"))
    finally:
        lib.tarvik_tape_info_free(out)
    if code != 0:
        raise (MissingTapeError if _missing(encoded) else TapeInfoError)(code, answer)
    events = answer["events"]
    return TapeInfo(
        path=answer["path"],
        size=answer["size"],
        format_version=answer["format_version"],
        date=datetime.date.fromisoformat(answer["date"]),
        time_zone=answer["time_zone"],
        display=answer["display"],
        symbols=answer["symbols"],
        options=answer["options"],
        events=events,
        blocks=answer["blocks"],
        first_event=_event_time(answer["first_event_us"]) if events else None,
        last_event=_event_time(answer["last_event_us"]) if events else None,
        complete=answer["complete"],
    )

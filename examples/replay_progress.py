"""Shared by the examples: the tape they replay when given none, and a tqdm
progress bar for a replay, driven by the tape's own clock (the system
record's time) against the span of its events from
``tarvik_engine.tape_info``."""

from __future__ import annotations

import datetime
import os
from pathlib import Path

import Tarvik
import tarvik_engine
from tqdm import tqdm

REPO = Path(__file__).resolve().parents[1]


def default_tape() -> str:
    """The sample tape of the build (made with every build), if there is one."""
    # scripts/python names its build; else the preset's, as it chooses it.
    preset = os.environ.get("TARVIK_PRESET") or ("ci" if os.environ.get("CI") else "dev")
    build = Path(os.environ.get("TARVIK_BUILD_DIR", REPO / "build" / preset))
    return str(build / "sample" / "sample.tape")


def ms_of_day(t: datetime.time) -> int:
    return ((t.hour * 60 + t.minute) * 60 + t.second) * 1000 + t.microsecond // 1000


def time_text(ms: int) -> str:
    return f"{ms // 3_600_000:02d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d}"


class ReplayProgress:
    """A bar from the tape's first event to its last, in seconds of the
    day. Call it with the system record of every message; it looks at the
    clock once every 4,096 messages, so it costs the replay next to nothing.
    It draws only on a terminal."""

    EVERY = 4096

    def __init__(self, tape: str, description: str) -> None:
        try:
            info = tarvik_engine.tape_info(tape)
        except tarvik_engine.TapeInfoError as error:  # a missing or damaged tape: its message, not a traceback
            raise SystemExit(str(error)) from None
        self.info = info
        self.first_ms = ms_of_day(info.first_event) if info.first_event is not None else 0
        self.count = 0
        self.bar = tqdm(total=info.span_ms // 1000, desc=description, unit="s", unit_scale=False, disable=None,
                        leave=False, bar_format="{desc}: {percentage:3.0f}%|{bar}| {postfix} [{elapsed}<{remaining}]")

    def __call__(self, system: Tarvik.TarvikSystem) -> None:
        self.count += 1
        if self.count % self.EVERY:
            return
        ms = system.tqTime.MsOfDay
        done = (ms - self.first_ms) // 1000
        if done > self.bar.n:
            self.bar.set_postfix_str(f"tape time {time_text(ms)}, {self.count:,} messages", refresh=False)
            self.bar.update(done - self.bar.n)

    def close(self) -> None:
        self.bar.close()

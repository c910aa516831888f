"""A restart in the middle of the day: one run saves the engine's state at
noon (SaveState), a second run starts from that snapshot instead of the
tape's beginning, and the end of day it reaches (every symbol's open, high,
low, last, volume and quotes) is checked against an uninterrupted run.

    scripts/python examples/restart.py                            # the sample tape, noon
    scripts/python examples/restart.py --tape day.tape --at 13:30 --snapshot /tmp/day.state
"""

from __future__ import annotations

import argparse
import datetime
import os
import sys
import tempfile
import time

import Tarvik
import tarvik_engine
from replay_progress import ReplayProgress, default_tape, time_text

# A failed save's error phase, as the saving status's StatusData gives it.
SAVE_ERRORS = {
    Tarvik.TqCSSAVESTATE_ERR_CREATEFILE: "the file cannot be created",
    Tarvik.TqCSSAVESTATE_ERR_DISKSPACE: "the disk is full",
    Tarvik.TqCSSAVESTATE_ERR_MEMORY: "out of memory",
}

# (listed exchange, symbol) -> (open, high, low, last, total volume, tick volume, quotes)
EndOfDay = dict[tuple[int, str], tuple[object, ...]]


def end_of_day(symbols: set[tuple[int, str]]) -> EndOfDay:
    """Every plain symbol's day as the engine holds it; read inside the callback."""
    day: EndOfDay = {}
    for exchange, name in sorted(symbols):
        trade = Tarvik.StateGetLastTrade(exchange, name)
        quotes = Tarvik.StateGetExgQuotes(exchange, name)
        book: list[tuple[int, int, int, int, int]] = []
        if quotes is not None:
            book = [(q.ReportingExg, q.BidPrice, q.BidSize, q.AskPrice, q.AskSize)
                    for q in quotes.StateExgQuotes[: quotes.StateQuoteCount]]
        if trade is None:
            day[exchange, name] = (None, tuple(book))
        else:
            day[exchange, name] = (trade.Open, trade.High, trade.Low, trade.Last, trade.TotalVolume,
                                   trade.TickVolume, tuple(book))
    return day


class Run:
    """One replay: notes the plain symbols it meets, optionally saves the
    state at a time of day and stops once the save is complete, and reads
    the end of day when the tape is complete."""

    def __init__(self, progress: ReplayProgress, save_at_ms: int | None = None, snapshot: str = "") -> None:
        self.progress = progress
        self.save_at_ms = save_at_ms
        self.snapshot = snapshot
        self.saved_at: int | None = None
        self.save_complete = False
        self.save_failed: int | None = None  # the error phase of a save that failed
        self.symbols: set[tuple[int, str]] = set()
        self.messages = 0
        self.day: EndOfDay | None = None

    def __call__(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        self.progress(system)
        self.messages += 1
        kind = message.MessageType
        if kind == Tarvik.TqMSG_STATUS:
            if system.Status == Tarvik.TARVIKSTATUS_SAVING_STATE and system.StatusData == Tarvik.TqCSSAVESTATE_COMPLETE:
                self.save_complete = True
                return Tarvik.TqCALLBACKRETURN_STOP  # the snapshot is on disk: this run's work is done
            if system.Status == Tarvik.TARVIKSTATUS_SAVING_STATE and system.StatusData < 0:
                self.save_failed = system.StatusData
                return Tarvik.TqCALLBACKRETURN_STOP  # nothing to restart from
            if system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
                self.day = end_of_day(self.symbols)
            return Tarvik.TqCALLBACKRETURN_CONTINUE
        header = message.coreHeader
        if header.ptqOptionHdr is None and header.ptqStringSymbol is not None:
            self.symbols.add((header.ListedExg, header.ptqStringSymbol.String))
        if self.save_at_ms is not None and self.saved_at is None and system.tqTime.MsOfDay >= self.save_at_ms:
            result = Tarvik.SaveState(self.snapshot, Tarvik.TqSAVESTATE_ONEPASS)
            if result != Tarvik.TqAPIERR_NO_ERROR:
                Tarvik.ProcessReturnValue(result)
                return Tarvik.TqCALLBACKRETURN_STOP
            self.saved_at = system.tqTime.MsOfDay
        return Tarvik.TqCALLBACKRETURN_CONTINUE


def replay(path: str, run: Run) -> float:
    started = time.perf_counter()
    result = Tarvik.ProcessTape(path, 0, 0, 0, run)
    run.progress.close()
    if result not in (Tarvik.TqAPIERR_NO_ERROR, Tarvik.TqAPIERR_USER_STOPPED):
        Tarvik.ProcessReturnValue(result)
        sys.exit(f"{path}: the replay failed ({result})")
    return time.perf_counter() - started


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--tape", default=default_tape(), help="the tape (default: the build's sample tape)")
    parser.add_argument("--at", default="12:00", type=datetime.time.fromisoformat, help="when to save, HH:MM[:SS] in the tape's time (default 12:00)")
    parser.add_argument("--snapshot", help="where to write the snapshot (default: a temporary file)")
    args = parser.parse_args()
    at = args.at
    at_ms = ((at.hour * 60 + at.minute) * 60 + at.second) * 1000

    if Tarvik.LoadTarvik(tarvik_engine.library_path()) == 0:
        sys.exit("could not load the engine")
    with tempfile.TemporaryDirectory() as folder:
        snapshot = os.path.abspath(args.snapshot or os.path.join(folder, "day.state"))

        whole = Run(ReplayProgress(args.tape, "uninterrupted"))
        seconds = replay(args.tape, whole)
        print(f"uninterrupted:  {whole.messages:>10,} messages  {seconds:6.2f} s")

        saving = Run(ReplayProgress(args.tape, "to " + str(at)), at_ms, snapshot)
        seconds = replay(args.tape, saving)
        if saving.save_failed is not None:
            why = SAVE_ERRORS.get(saving.save_failed, f"error phase {saving.save_failed}")
            sys.exit(f"{snapshot}: the state could not be saved: {why}")
        if saving.saved_at is None or not saving.save_complete:
            sys.exit(f"{args.tape}: the tape ends before {at}, or the state was not saved")
        print(f"saved at {time_text(saving.saved_at)}: {saving.messages:>10,} messages  {seconds:6.2f} s"
              f"  ({os.path.getsize(snapshot):,} bytes of snapshot)")

        restarted = Run(ReplayProgress(args.tape, "from " + str(at)))
        restarted.symbols = set(whole.symbols)  # a loaded state knows every symbol of the morning
        seconds = replay(snapshot, restarted)  # the snapshot names its tape and continues it
        print(f"restarted:      {restarted.messages:>10,} messages  {seconds:6.2f} s")

    if whole.day is None or restarted.day is None:
        sys.exit("a run did not reach the end of the day")
    differ = [key for key in whole.day if whole.day[key] != restarted.day.get(key)]
    if differ:
        print(f"{len(differ)} of {len(whole.day)} symbols end the day differently, e.g. {differ[:5]}")
        return 1
    print(f"end of day: all {len(whole.day):,} symbols end the day exactly as in the uninterrupted run")
    return 0


if __name__ == "__main__":
    sys.exit(main())

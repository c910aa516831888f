"""A few symbols only: the same day replayed three times, through the same
callback, first whole, then with FilterSymbols (a list of symbols) and with
FilterSymbolsRange (an alphabetical range). The engine withholds the other
symbols' messages before they reach Python; the table shows what each run
delivered and the time saved.

    scripts/python examples/few_symbols.py                                  # the sample tape, three symbols
    scripts/python examples/few_symbols.py --tape day.tape --symbols IBM MSFT --range A B
"""

from __future__ import annotations

import argparse
import sys
import time
from collections import Counter

import Tarvik
import tarvik_engine
from replay_progress import ReplayProgress, default_tape


class Counting:
    """The callback: trades per symbol (options under their root)."""

    def __init__(self, progress: ReplayProgress) -> None:
        self.progress = progress
        self.messages = 0
        self.trades: Counter[str] = Counter()
        self.announced: list[str] = []  # plain symbols, in the order the tape announces them

    def __call__(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        self.progress(system)
        self.messages += 1
        kind = message.MessageType
        name = message.coreHeader.ptqStringSymbol
        if name is None:
            return Tarvik.TqCALLBACKRETURN_CONTINUE
        if kind == Tarvik.TqMSG_TRADE:
            self.trades[name.String] += 1
        elif kind == Tarvik.TqMSG_SYMBOLCHANGE and message.coreHeader.ptqOptionHdr is None:
            self.announced.append(name.String)
        return Tarvik.TqCALLBACKRETURN_CONTINUE


def replay(tape: str, label: str) -> tuple[Counting, float]:
    counting = Counting(ReplayProgress(tape, label))
    started = time.perf_counter()
    result = Tarvik.ProcessTape(tape, 0, 0, 0, counting)
    seconds = time.perf_counter() - started
    counting.progress.close()
    if result != Tarvik.TqAPIERR_NO_ERROR:
        Tarvik.ProcessReturnValue(result)
        sys.exit(f"{tape}: the replay failed ({result})")
    return counting, seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--tape", default=default_tape(), help="the tape (default: the build's sample tape)")
    parser.add_argument("--symbols", nargs="+", help="the symbols to keep (default: three of the tape's)")
    parser.add_argument("--range", nargs=2, metavar=("FIRST", "LAST"),
                        help="an alphabetical range of symbols to keep (default: the first two symbols' names)")
    args = parser.parse_args()

    if Tarvik.LoadTarvik(tarvik_engine.library_path()) == 0:
        sys.exit("could not load the engine")
    runs: list[tuple[str, Counting, float]] = []
    whole, seconds = replay(args.tape, "whole day")
    runs.append(("whole day", whole, seconds))

    names = sorted(set(whole.announced))
    symbols: list[str] = args.symbols or names[:: max(1, len(names) // 3)][:3]
    first, last = args.range or (names[0], names[min(1, len(names) - 1)])
    # A filter holds on this thread, for every later run, until another replaces it.
    if not Tarvik.FilterSymbols(symbols):
        sys.exit(f"FilterSymbols refused {symbols!r}")
    counting, seconds = replay(args.tape, "FilterSymbols")
    runs.append((f"FilterSymbols({', '.join(symbols)})", counting, seconds))
    if not Tarvik.FilterSymbolsRange(first, last):
        sys.exit(f"FilterSymbolsRange refused {first!r}, {last!r}")
    counting, seconds = replay(args.tape, "FilterSymbolsRange")
    runs.append((f"FilterSymbolsRange({first}, {last})", counting, seconds))

    print(f"{'run':<40}{'messages':>12}{'trades':>10}{'symbols':>9}{'seconds':>9}{'saved':>8}")
    for label, counting, seconds in runs:
        saved = 1 - seconds / runs[0][2]
        print(f"{label:<40}{counting.messages:>12,}{sum(counting.trades.values()):>10,}{len(counting.trades):>9,}"
              f"{seconds:>9.2f}{saved:>8.0%}")
    for label, counting, _ in runs[1:]:
        kept = sorted(counting.trades)
        print(f"{label}: trades of {', '.join(kept[:8])}{' ...' if len(kept) > 8 else ''}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

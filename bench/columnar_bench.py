"""Rows per second from a tape into Arrow with read_tape, for trades alone
and for quotes with the NBBO, measured in one run against:

  - the same rows collected by a Python callback through ProcessTape (the
    way a program gets them without read_tape);
  - pyarrow.parquet.read_table of the same rows written as Parquet: the
    floor, reading finished columns from a file.

Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/columnar_bench.py --messages 5000000
"""

import argparse
import os
import subprocess
import tempfile
import time

import pyarrow.parquet as pq

import Tarvik
import tarvik_engine

GOAL_ROWS_PER_SECOND = 20e6
GOAL_AGAINST_CALLBACK = 15.0


def ensure_tape(path, messages):
    if not os.path.exists(path):
        subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", path, "--messages", str(messages),
                        "--options-per-symbol", "0"], check=True)
    return path


def best_of(repeat, measure):
    return min(measure() for _ in range(repeat))


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def callback_collect(tape, kind):
    """The rows a program collects with a callable: the columns read_tape
    gives, appended to lists."""
    columns = {name: [] for name in ("time", "symbol", "price", "size")}
    wanted = Tarvik.TqMSG_TRADE if kind == "trades" else Tarvik.TqMSG_EXGQUOTE

    def keep(system, message):
        if message.MessageType == wanted:
            header = message.coreHeader
            columns["time"].append(header.tqExgTimestamp.MsOfDay)
            columns["symbol"].append(header.ptqStringSymbol.String)
            if wanted == Tarvik.TqMSG_TRADE:
                trade = message.coreData.Trade
                columns["price"].append(trade.Price)
                columns["size"].append(trade.Size)
            else:
                quote = message.coreData.ExgQuote
                columns["price"].append(quote.BestBidPrice)
                columns["size"].append(quote.BestAskPrice)
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, keep) == 0
    return len(columns["time"])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tape", default=os.path.join(tempfile.gettempdir(), "tarvik-columnar-bench.tape"))
    parser.add_argument("--messages", type=int, default=3_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    tape = ensure_tape(args.tape, args.messages)
    Tarvik.LoadTarvik(tarvik_engine.library_path())

    print(f"columnar reads of {tape} ({os.path.getsize(tape) / 1e6:.0f} MB)")
    for kind, options in (("trades", {}), ("quotes", {"nbbo": True})):
        seconds, tables = timed(lambda: tarvik_engine.read_tape(tape, kinds=[kind], **options))
        seconds = best_of(args.repeat, lambda: timed(lambda: tarvik_engine.read_tape(tape, kinds=[kind],
                                                                                     **options))[0])
        rows = tables[kind].num_rows
        rate = rows / seconds

        callback_seconds, collected = timed(lambda: callback_collect(tape, kind))
        assert collected == rows

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, f"{kind}.parquet")
            pq.write_table(tables[kind], path)
            floor = best_of(args.repeat, lambda: timed(lambda: pq.read_table(path))[0])

        print(f"  {kind:7} {rows:>10,} rows  read_tape {seconds:6.3f} s  {rate / 1e6:6.1f} M rows/s "
              f"(goal {GOAL_ROWS_PER_SECOND / 1e6:.0f}: {'met' if rate >= GOAL_ROWS_PER_SECOND else 'NOT met'})")
        print(f"          callback {callback_seconds:6.3f} s: read_tape is {callback_seconds / seconds:5.1f}x faster "
              f"(goal {GOAL_AGAINST_CALLBACK:.0f}x: "
              f"{'met' if callback_seconds / seconds >= GOAL_AGAINST_CALLBACK else 'NOT met'})")
        print(f"          floor: parquet read_table {floor:6.3f} s; read_tape takes {seconds / floor:5.1f}x the floor")


if __name__ == "__main__":
    main()

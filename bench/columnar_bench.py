"""Rows per second from a tape into Arrow with read_tape, for trades alone
and for quotes with the NBBO, of packed (the default) and plain tapes,
measured in one run against:

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


def ensure_tape(path, messages, mix=None, plain=False):
    if plain:
        path = path.replace(".tape", "-plain.tape")
    if not os.path.exists(path):
        subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", path, "--messages", str(messages),
                        "--options-per-symbol", "0"] + (["--mix", mix] if mix else []) +
                       (["--no-compress"] if plain else []), check=True)
    return path


def best_of(repeat, measure):
    return min(measure() for _ in range(repeat))


def timed(function):
    start = time.perf_counter()
    result = function()
    return time.perf_counter() - start, result


def callback_collect(tape, kind):
    """The same rows collected by a callable through ProcessTape: every
    column read_tape gives, appended to lists as the message arrives."""
    trades = kind == "trades"
    names = ["time", "symbol", "listed_exchange", "reporting_exchange", "price_type"] + (
        ["price", "price_raw", "size", "conditions", "sequence", "open", "high", "low", "total_volume", "tick"]
        if trades else
        ["bid", "bid_raw", "bid_size", "ask", "ask_raw", "ask_size", "condition", "nbbo_bid", "nbbo_bid_size",
         "nbbo_bid_exchange", "nbbo_ask", "nbbo_ask_size", "nbbo_ask_exchange"])
    columns = {name: [] for name in names}
    append = [columns[name].append for name in names]
    wanted = Tarvik.TqMSG_TRADE if trades else Tarvik.TqMSG_EXGQUOTE
    to_double = Tarvik.PriceToDouble

    def keep(system, message):
        if message.MessageType != wanted:
            return 0
        h = message.coreHeader
        ext = message.ptarvik3Ext
        clock = h.tqExgTimestamp
        common = (h.tqSessionDate.NDays * 86_400_000_000 + (ext.MicrosOfDaySRC if ext else clock.MsOfDay * 1000),
                  h.ptqStringSymbol.String, h.ListedExg, h.ReportingExg)
        if trades:
            t = message.coreData.Trade
            pt = t.PriceType
            values = common + (pt, to_double(t.Price, pt), t.Price, t.Size,
                               [c for c in t.ExtTradeConditions if c != 255], t.ExgSequence, to_double(t.Open, pt),
                               to_double(t.High, pt), to_double(t.Low, pt), t.TotalVolume, to_double(t.Tick, pt))
        else:
            q = message.coreData.ExgQuote
            c = q.coreQuote
            pt = c.PriceType
            values = common + (pt, to_double(c.BidPrice, pt), c.BidPrice, c.BidSize, to_double(c.AskPrice, pt),
                               c.AskPrice, c.AskSize, c.QuoteCondition, to_double(q.BestBidPrice, pt), q.BestBidSize,
                               q.BestBidExg, to_double(q.BestAskPrice, pt), q.BestAskSize, q.BestAskExg)
        for add, value in zip(append, values):
            add(value)
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
    # Trades from the sample mix are one message in seven, quotes four in
    # five: the engine walks the others too. A day of trades alone, and one
    # of quotes alone, show the rate per row walked.
    trades_path = args.tape.replace(".tape", "-trades.tape")
    trades_tape = ensure_tape(trades_path, args.messages, mix="0,0,1,0")
    quotes_path = args.tape.replace(".tape", "-quotes.tape")
    quotes_tape = ensure_tape(quotes_path, args.messages, mix="1,0,0,0")
    # The same days plain: nothing to inflate, so on two cores the rows are
    # filled on a thread of their own beside the replay.
    plain_tape = ensure_tape(args.tape, args.messages, plain=True)
    plain_trades_tape = ensure_tape(trades_path, args.messages, mix="0,0,1,0", plain=True)
    plain_quotes_tape = ensure_tape(quotes_path, args.messages, mix="1,0,0,0", plain=True)
    Tarvik.LoadTarvik(tarvik_engine.library_path())

    print(f"columnar reads of {tape} ({os.path.getsize(tape) / 1e6:.0f} MB), {trades_tape} and {quotes_tape}, "
          f"{args.messages:,} messages each, packed and plain")
    callback_seconds = {}
    for kind, options, tape in (("trades", {}, tape), ("trades", {}, trades_tape), ("trades", {}, plain_trades_tape),
                                ("quotes", {"nbbo": True}, tape), ("quotes", {"nbbo": True}, plain_tape),
                                ("quotes", {"nbbo": True}, quotes_tape), ("quotes", {"nbbo": True}, plain_quotes_tape)):
        seconds, tables = timed(lambda: tarvik_engine.read_tape(tape, kinds=[kind], **options))
        seconds = best_of(args.repeat, lambda: timed(lambda: tarvik_engine.read_tape(tape, kinds=[kind],
                                                                                     **options))[0])
        rows = tables[kind].num_rows
        rate = rows / seconds

        # A plain day gives the callback the same rows as its packed twin.
        same_rows = (kind, tape.replace("-plain.tape", ".tape"))
        if same_rows not in callback_seconds:
            callback_seconds[same_rows], collected = timed(lambda: callback_collect(tape, kind))
            assert collected == rows
        against = callback_seconds[same_rows] / seconds

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, f"{kind}.parquet")
            pq.write_table(tables[kind], path)
            del tables
            floor = best_of(args.repeat, lambda: timed(lambda: pq.read_table(path))[0])

        print(f"  {kind} of {os.path.basename(tape)}")
        print(f"          {rows:>10,} rows  read_tape {seconds:6.3f} s  {rate / 1e6:6.1f} M rows/s "
              f"(goal {GOAL_ROWS_PER_SECOND / 1e6:.0f}: {'met' if rate >= GOAL_ROWS_PER_SECOND else 'NOT met'})")
        print(f"          callback {callback_seconds[same_rows]:6.3f} s: read_tape is {against:5.1f}x faster "
              f"(goal {GOAL_AGAINST_CALLBACK:.0f}x: {'met' if against >= GOAL_AGAINST_CALLBACK else 'NOT met'})")
        print(f"          floor: parquet read_table {floor:6.3f} s; read_tape takes {seconds / floor:5.1f}x the floor")

if __name__ == "__main__":
    main()

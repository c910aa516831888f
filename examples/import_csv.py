"""Your own data to a tape to a replay: a CSV of trades and a CSV of quotes
(the program writes small ones of its own when given none) become a tape
with ``tarvik_engine.write_tape``; ``tarvik_engine.tape_info`` shows what
the tape holds; a replay through the module prints each symbol's day and
closing NBBO. docs/import.md gives the columns and every option.

    scripts/python examples/import_csv.py                                   # made-up CSVs in a temporary folder
    scripts/python examples/import_csv.py --trades t.csv --quotes q.csv --time-zone America/New_York --tape day.tape

Trades need the columns symbol, time, exchange, price, size; quotes
symbol, time, exchange, bid, bid_size, ask, ask_size. Times are ISO 8601
(with a zone, or in --time-zone), times of day with --date, or epoch numbers.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import os
import random
import re
import sys
import tempfile

import Tarvik
import tarvik_engine
from replay_progress import ReplayProgress


def made_up_day(folder: str) -> tuple[str, str]:
    """Two symbols' quotes and trades from 09:30 to 16:00 New York time,
    a random walk a second: the CSVs a vendor might send."""
    rng = random.Random(7)
    quotes_path, trades_path = os.path.join(folder, "quotes.csv"), os.path.join(folder, "trades.csv")
    open_at = datetime.datetime(2024, 3, 15, 9, 30)
    with open(quotes_path, "w", newline="") as q_file, open(trades_path, "w", newline="") as t_file:
        quotes, trades = csv.writer(q_file), csv.writer(t_file)
        quotes.writerow(["symbol", "time", "exchange", "bid", "bid_size", "ask", "ask_size"])
        trades.writerow(["symbol", "time", "exchange", "price", "size"])
        mids = {"ACME": 101.25, "WIDG": 12.5}
        for second in range(0, 6 * 3600 + 1800, 1):
            now = open_at + datetime.timedelta(seconds=second)
            for symbol, mid in mids.items():
                mid = max(0.05, round(mid + rng.choice((-0.01, 0, 0.01)), 2))
                mids[symbol] = mid
                exchange = rng.choice(("NYSE", "ARCA", "NSDQ"))
                quotes.writerow([symbol, now.isoformat(), exchange, f"{mid - 0.01:.2f}", rng.randrange(1, 20) * 100,
                                 f"{mid + 0.01:.2f}", rng.randrange(1, 20) * 100])
                if rng.random() < 0.2:
                    trades.writerow([symbol, (now + datetime.timedelta(milliseconds=250)).isoformat(), exchange,
                                     f"{mid:.2f}", rng.randrange(1, 10) * 100])
    return trades_path, quotes_path


class Day:
    """The callback: at the end of the tape, each symbol's day."""

    def __init__(self, progress: ReplayProgress) -> None:
        self.progress = progress
        self.symbols: dict[str, int] = {}  # symbol -> listed exchange
        self.report: list[str] = []

    def __call__(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        self.progress(system)
        name = message.coreHeader.ptqStringSymbol
        if message.MessageType == Tarvik.TqMSG_SYMBOLCHANGE and name is not None:
            self.symbols[name.String] = message.coreHeader.ListedExg
        elif message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
            for symbol, exchange in sorted(self.symbols.items()):
                self.report.append(describe(symbol, exchange))
        return Tarvik.TqCALLBACKRETURN_CONTINUE


def exchange_name(exchange: int) -> str:
    """The exchange's name from the tape's table, or its number: exchanges
    imported as numbers have no names."""
    return Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, exchange) or str(exchange)


def describe(symbol: str, exchange: int) -> str:
    trade = Tarvik.StateGetLastTrade(exchange, symbol)
    quotes = Tarvik.StateGetExgQuotes(exchange, symbol)
    text = f"{symbol:<6}"
    if trade is not None:
        p = trade.PriceType
        text += (f" open {Tarvik.PriceFormat(trade.Open, p)}  high {Tarvik.PriceFormat(trade.High, p)}"
                 f"  low {Tarvik.PriceFormat(trade.Low, p)}  last {Tarvik.PriceFormat(trade.Last, p)}"
                 f"  volume {trade.TotalVolume:,} in {trade.TickVolume:,} trades")
    if quotes is not None and quotes.StateQuoteCount:
        book = quotes.StateExgQuotes[: quotes.StateQuoteCount]
        bid = max(book, key=lambda q: q.BidPrice)
        ask = min((q for q in book if q.AskPrice > 0), key=lambda q: q.AskPrice, default=None)
        if ask is not None:
            text += (f"\n{'':<6} closing NBBO {Tarvik.PriceFormat(bid.BidPrice, quotes.PriceType)}"
                     f" ({exchange_name(bid.ReportingExg)})"
                     f" / {Tarvik.PriceFormat(ask.AskPrice, quotes.PriceType)} ({exchange_name(ask.ReportingExg)})")
    return text


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--trades", help="a CSV of trades (default: made up)")
    parser.add_argument("--quotes", help="a CSV of quotes (default: made up)")
    parser.add_argument("--time-zone", default="America/New_York",
                        help="the zone of times without one (default America/New_York)")
    parser.add_argument("--date", help="the day of times of day, YYYY-MM-DD")
    parser.add_argument("--tape", help="the tape to write (default: beside the made-up CSVs, removed afterwards)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        trades, quotes = args.trades, args.quotes
        if trades is None and quotes is None:
            trades, quotes = made_up_day(folder)
            print(f"made up {trades} and {quotes}")
        tape = args.tape or os.path.join(folder, "day.tape")
        try:
            made = tarvik_engine.write_tape(tape, trades=trades, quotes=quotes, date=args.date, time_zone=args.time_zone)
        except (ValueError, FileNotFoundError) as error:  # names the file, row and column
            # write_tape's keyword, said as this script's option; a path's
            # "date=2024-03-15" folder is left alone
            print(f"import_csv.py: {re.sub(r'(?<![\w/=-])date=(?![\w-])', '--date', str(error))}", file=sys.stderr)
            return 1
        written = [str(p) for p in made]
        for path in written:
            info = tarvik_engine.tape_info(path)
            print(f"wrote {path}: {info.date}, {info.symbols} symbols, {info.events:,} events"
                  f" from {info.first_event} to {info.last_event}, {info.size:,} bytes")

        if Tarvik.LoadTarvik(tarvik_engine.library_path()) == 0:
            sys.exit("could not load the engine")
        for path in written:
            day = Day(ReplayProgress(path, "replay"))
            result = Tarvik.ProcessTape(path, 0, 0, 0, day)
            day.progress.close()
            if result != Tarvik.TqAPIERR_NO_ERROR:
                Tarvik.ProcessReturnValue(result)
                return 1
            print("\n".join(day.report))
    return 0


if __name__ == "__main__":
    sys.exit(main())

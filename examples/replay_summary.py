"""Replays a tape through a Python callback and prints what a user wants to
see first: messages by kind, symbols seen, the busiest symbols with their
day (open, high, low, last, volume) and their closing NBBO, and how fast it
all went. Run it with scripts/demo, or:

    scripts/python examples/replay_summary.py --tape day.tape
"""

import argparse
import sys
import time
from collections import Counter
from typing import NamedTuple

import Tarvik
import tarvik_engine

KIND_NAMES = {
    Tarvik.TqMSG_STATUS: "status",
    Tarvik.TqMSG_EXGQUOTE: "exchange quote",
    Tarvik.TqMSG_MMQUOTE: "market-maker quote",
    Tarvik.TqMSG_TRADE: "trade",
    Tarvik.TqMSG_CATEGORY: "category",
    Tarvik.TqMSG_SYMBOLCHANGE: "symbol change",
    Tarvik.TqMSG_SYMBOLSPIN: "symbol spin",
}


class Busiest(NamedTuple):
    """One of the busiest symbols and its day, as the state queries told it."""

    symbol: str
    exchange: int
    trades: int
    trade: Tarvik.TarvikStateTrade | None
    quotes: Tarvik.TarvikStateExgQuotes | None


class Summary:
    """The callback and what it collects. State queries answer only from
    inside the callback, so the day's figures are read when the tape
    reports that it is complete."""

    def __init__(self, busiest: int) -> None:
        self.busiest = busiest
        self.by_kind = [0] * 8
        self.trades: Counter[tuple[str, int]] = Counter()  # (symbol, listed exchange) -> trade count
        self.options_traded = 0
        self.announced: Counter[str] = Counter()  # "symbols" / "option contracts" -> ADD messages
        self.report: list[Busiest] = []

    def __call__(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        kind = message.MessageType
        self.by_kind[kind] += 1
        if kind == Tarvik.TqMSG_TRADE:
            header = message.coreHeader
            if header.ptqOptionHdr is not None:
                self.options_traded += 1
            elif header.ptqStringSymbol is not None:
                self.trades[header.ptqStringSymbol.String, header.ListedExg] += 1
        elif kind == Tarvik.TqMSG_SYMBOLCHANGE and message.coreData.SymbolChange.Status == Tarvik.TqSS_ADD:
            self.announced["symbols" if message.coreHeader.ptqOptionHdr is None else "option contracts"] += 1
        elif kind == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
            self.read_day()
        return Tarvik.TqCALLBACKRETURN_CONTINUE

    def read_day(self) -> None:
        for (symbol, exchange), count in self.trades.most_common(self.busiest):
            trade = Tarvik.StateGetLastTrade(exchange, symbol)
            quotes = Tarvik.StateGetExgQuotes(exchange, symbol)
            self.report.append(Busiest(symbol, exchange, count, trade, quotes))


def price(value: int, price_type: int) -> str:
    return Tarvik.PriceFormat(value, price_type, 0, True) or "-"


def nbbo(quotes: Tarvik.TarvikStateExgQuotes | None) -> str:
    if quotes is None or quotes.StateQuoteCount == 0:
        return "no quotes"
    entries = quotes.StateExgQuotes[: quotes.StateQuoteCount]
    bid = next((q for q in entries if q.ReportingExg == quotes.BestBidExg), None)
    ask = next((q for q in entries if q.ReportingExg == quotes.BestAskExg), None)
    if bid is None or ask is None:
        return "no NBBO"
    return (
        f"{bid.BidSize} x {price(bid.BidPrice, quotes.PriceType)} (exg {bid.ReportingExg})"
        f"  /  {price(ask.AskPrice, quotes.PriceType)} x {ask.AskSize} (exg {ask.ReportingExg})"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tape", required=True, help="tape file to replay")
    parser.add_argument("--engine", default=tarvik_engine.library_path(), help="engine library to load")
    parser.add_argument("--busiest", type=int, default=5, help="how many of the busiest symbols to show")
    args = parser.parse_args()

    version = Tarvik.LoadTarvik(args.engine)
    if version == 0:
        sys.exit(f"could not load the engine {args.engine}")
    print(
        f"engine {args.engine}, version {Tarvik.GetMajorVersion(version)}."
        f"{Tarvik.GetMinorVersion(version)}.{Tarvik.GetBuildVersion(version)}"
    )
    print(f"tape   {args.tape}")

    summary = Summary(args.busiest)
    started = time.perf_counter()
    result = Tarvik.ProcessTape(args.tape, 0, 0, 0, summary)
    elapsed = time.perf_counter() - started
    Tarvik.ProcessReturnValue(result)
    if result != Tarvik.TqAPIERR_NO_ERROR:
        sys.exit(1)

    total = sum(summary.by_kind)
    print(f"\n{total:,} messages")
    for kind, name in KIND_NAMES.items():
        if summary.by_kind[kind]:
            print(f"  {name:<20}{summary.by_kind[kind]:>14,}")
    print(
        f"\n{summary.announced['symbols']:,} symbols and {summary.announced['option contracts']:,}"
        f" option contracts announced; {summary.options_traded:,} option trades"
    )

    print("\nbusiest symbols by trade count")
    for symbol, exchange, count, trade, quotes in summary.report:
        print(f"  {symbol:<8} exg {exchange:<3} {count:>8,} trades", end="")
        if trade is not None:
            t = trade.PriceType
            print(
                f"   open {price(trade.Open, t)}  high {price(trade.High, t)}  low {price(trade.Low, t)}"
                f"  last {price(trade.Last, t)}  volume {trade.TotalVolume:,}"
            )
        else:
            print()
        print(f"  {'':<8}         NBBO {nbbo(quotes)}")

    print(f"\n{elapsed:.2f} s, {total / elapsed:,.0f} messages a second into Python")


if __name__ == "__main__":
    main()

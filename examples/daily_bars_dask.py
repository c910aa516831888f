"""Daily bars of chosen symbols over many days, one day per Dask worker:
open, high, low, close, VWAP and trade count from the trades, and the
time-weighted NBBO spread from the exchange quotes, in one pandas DataFrame
(a row per symbol and day), printed.

    scripts/python examples/daily_bars_dask.py \\
        day1.tape day2.tape ... --symbols IBM MSFT
    TARVIK_TAPE_PATH=/data/tapes scripts/python examples/daily_bars_dask.py --symbols IBM --from 2024-03-01 --to 2024-03-29

Without --scheduler the days run on a local cluster, one worker process per
core; --scheduler tcp://host:8786 runs them on a cluster of machines
(docs/parallel-days.md).
"""

from __future__ import annotations

import argparse
import datetime
import functools
from dataclasses import dataclass, field
from typing import Any

import distributed
import pandas as pd

import Tarvik
import tarvik_days
import tarvik_engine


COLUMNS = ["date", "symbol", "open", "high", "low", "close", "vwap", "trades", "volume", "tw_spread"]


@dataclass
class SymbolDay:
    """What one symbol's day adds up to while the tape replays."""

    trades: int = 0
    open: float | None = None
    high: float = float("-inf")
    low: float = float("inf")
    close: float | None = None
    volume: int = 0
    notional: float = 0.0
    spread: float | None = None  # the NBBO spread in force, None when there is no two-sided NBBO
    since_ms: int = 0  # when it came into force
    spread_ms: float = 0.0  # the sum of spread x milliseconds
    quoted_ms: int = 0  # milliseconds with a two-sided NBBO

    def trade(self, price: float, size: int) -> None:
        self.trades += 1
        if self.open is None:
            self.open = price
        self.high = max(self.high, price)
        self.low = min(self.low, price)
        self.close = price
        self.volume += size
        self.notional += price * size

    def nbbo(self, now_ms: int, spread: float | None) -> None:
        self.close_interval(now_ms)
        self.spread = spread
        self.since_ms = now_ms

    def close_interval(self, now_ms: int) -> None:
        if self.spread is not None and now_ms > self.since_ms:
            self.spread_ms += self.spread * (now_ms - self.since_ms)
            self.quoted_ms += now_ms - self.since_ms
        self.since_ms = now_ms


@dataclass
class DayBars:
    """The replay's callback: trades and NBBO changes of the chosen
    symbols (plain listings; their options are left out)."""

    symbols: frozenset[str]
    days: dict[str, SymbolDay] = field(default_factory=dict)
    last_ms: int = 0
    end_ms: int | None = None  # the tape's clock at its end, whatever symbols are chosen
    date: datetime.date | None = None

    def __call__(self, system: Any, message: Any) -> int:
        if self.date is None:
            when = system.tqDate
            self.date = datetime.date(when.Year, when.Month, when.Day)
        kind = message.MessageType
        if kind == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
            self.end_ms = int(system.tqTime.MsOfDay)
        if kind != Tarvik.TqMSG_TRADE and kind != Tarvik.TqMSG_EXGQUOTE:
            return int(Tarvik.TqCALLBACKRETURN_CONTINUE)
        header = message.coreHeader
        self.last_ms = int(header.tqExgTimestamp.MsOfDay)
        if header.ptqOptionHdr is not None or header.ptqStringSymbol is None:
            return int(Tarvik.TqCALLBACKRETURN_CONTINUE)
        symbol = str(header.ptqStringSymbol.String)
        if symbol not in self.symbols:
            return int(Tarvik.TqCALLBACKRETURN_CONTINUE)
        day = self.days.setdefault(symbol, SymbolDay())
        if kind == Tarvik.TqMSG_TRADE:
            trade = message.coreData.Trade
            day.trade(float(Tarvik.PriceToDouble(trade.Price, trade.PriceType)), int(trade.Size))
        else:
            quote = message.coreData.ExgQuote
            price_type = quote.coreQuote.PriceType
            bid, ask = quote.BestBidPrice, quote.BestAskPrice
            spread = None
            if bid > 0 and ask >= bid:
                spread = float(Tarvik.PriceToDouble(ask, price_type) - Tarvik.PriceToDouble(bid, price_type))
            if spread != day.spread:
                day.nbbo(self.last_ms, spread)
        return int(Tarvik.TqCALLBACKRETURN_CONTINUE)


def day_bars(tape: str, symbols: tuple[str, ...]) -> Any:
    """One day's bars: what each worker runs, on its own tape. Returns a
    DataFrame with a row per chosen symbol that traded or quoted."""
    if Tarvik.LoadTarvik(tarvik_engine.library_path()) == 0:
        raise RuntimeError(f"could not load the engine {tarvik_engine.library_path()}")
    try:
        Tarvik.FilterSymbols(list(symbols))  # only these symbols reach the callback
        bars = DayBars(frozenset(symbols))
        result = Tarvik.ProcessTape(tape, 0, 0, 0, bars)
        if result != Tarvik.TqAPIERR_NO_ERROR:
            raise RuntimeError(f"{tape}: the replay answered {result}")
        rows = []
        for symbol, day in sorted(bars.days.items()):
            # Each symbol's last spread lasts to the end of the tape.
            day.close_interval(bars.end_ms if bars.end_ms is not None else bars.last_ms)
            rows.append(
                {
                    "date": bars.date,
                    "symbol": symbol,
                    "open": day.open,
                    "high": day.high if day.trades else None,
                    "low": day.low if day.trades else None,
                    "close": day.close,
                    "vwap": day.notional / day.volume if day.volume else None,
                    "trades": day.trades,
                    "volume": day.volume,
                    "tw_spread": day.spread_ms / day.quoted_ms if day.quoted_ms else None,
                }
            )
        # Prices as floats on every day, a day without trades or quotes too
        # (its None become NaN), so that the days' frames concatenate alike.
        prices = ("open", "high", "low", "close", "vwap", "tw_spread")
        return pd.DataFrame(rows, columns=COLUMNS).astype({column: "float64" for column in prices})
    finally:
        # The filter stays on this thread for its next replays until it is
        # turned off, which a form FilterSymbols refuses does (docs/mistakes.md).
        # FilterSymbols([]) would deliver no symbol.
        Tarvik.FilterSymbols(None)  # type: ignore[call-overload]
        Tarvik.UnloadTarvik()


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("tapes", nargs="*", help="tape files (or give --from and --to)")
    parser.add_argument("--symbols", nargs="+", required=True, help="symbols to make bars of")
    parser.add_argument("--from", dest="first", help="first day, YYYY-MM-DD, found in TARVIK_TAPE_PATH")
    parser.add_argument("--to", dest="last", help="last day, YYYY-MM-DD (default: the first)")
    parser.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--scheduler", help="address of a Dask scheduler, e.g. tcp://host:8786")
    args = parser.parse_args()
    if bool(args.tapes) == bool(args.first):
        parser.error("give tape files, or --from (and --to)")
    tapes: list[str] | tuple[str, str] = args.tapes or (args.first, args.last or args.first)

    fn = functools.partial(day_bars, symbols=tuple(args.symbols))
    if args.scheduler:
        with distributed.Client(args.scheduler) as client:
            frames = tarvik_days.map_days(fn, tapes, client=client)
    else:
        frames = tarvik_days.map_days(fn, tapes, workers=args.workers)
    table = pd.concat(frames, ignore_index=True).sort_values(["symbol", "date"], kind="stable")
    with pd.option_context("display.width", 160, "display.max_rows", 200, "display.float_format", "{:.4f}".format):
        print(table.to_string(index=False))


if __name__ == "__main__":
    main()

"""One-minute bars of one symbol: its trades and its NBBO collected into
pandas, then open, high, low, close, volume and the average bid-ask spread
for every minute, printed and drawn in a PNG chart (price, volume and
spread).

    scripts/python examples/bars.py                      # the sample tape, the first symbol that trades
    scripts/python examples/bars.py --tape day.tape --symbol IBM --png ibm.png
"""

from __future__ import annotations

import argparse
import datetime
import sys
import time

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402
import pandas as pd  # noqa: E402

import Tarvik  # noqa: E402
import tarvik_engine  # noqa: E402
from replay_progress import ReplayProgress, default_tape  # noqa: E402


class Collector:
    """The callback: the chosen symbol's trades and NBBO changes, as plain
    tuples (the message objects are refilled for every message)."""

    def __init__(self, symbol: str | None, progress: ReplayProgress) -> None:
        self.symbol = symbol  # None: the first symbol that trades
        self.progress = progress
        self.trades: list[tuple[int, float, int]] = []  # ms of day, price, size
        self.nbbo: list[tuple[int, float, float]] = []  # ms of day, best bid, best ask

    def __call__(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        self.progress(system)
        kind = message.MessageType
        if kind != Tarvik.TqMSG_TRADE and kind != Tarvik.TqMSG_EXGQUOTE:
            return Tarvik.TqCALLBACKRETURN_CONTINUE
        header = message.coreHeader
        name = header.ptqStringSymbol
        if name is None or header.ptqOptionHdr is not None:  # options are skipped here
            return Tarvik.TqCALLBACKRETURN_CONTINUE
        if self.symbol is None and kind == Tarvik.TqMSG_TRADE:
            self.symbol = name.String
        if name.String != self.symbol:
            return Tarvik.TqCALLBACKRETURN_CONTINUE
        ms = header.tqExgTimestamp.MsOfDay
        if kind == Tarvik.TqMSG_TRADE:
            trade = message.coreData.Trade
            self.trades.append((ms, Tarvik.PriceToDouble(trade.Price, trade.PriceType), trade.Size))
        else:
            quote = message.coreData.ExgQuote
            price_type = quote.coreQuote.PriceType
            if quote.BestBidPrice > 0 and quote.BestAskPrice > 0:
                self.nbbo.append((ms, Tarvik.PriceToDouble(quote.BestBidPrice, price_type),
                                  Tarvik.PriceToDouble(quote.BestAskPrice, price_type)))
        return Tarvik.TqCALLBACKRETURN_CONTINUE


def minute_bars(day: datetime.date, trades: list[tuple[int, float, int]],
                nbbo: list[tuple[int, float, float]]) -> pd.DataFrame:
    """OHLCV and the average spread per minute, indexed by the minute."""
    midnight = pd.Timestamp(day)
    t = pd.DataFrame(trades, columns=["ms", "price", "size"])
    t.index = midnight + pd.to_timedelta(t.pop("ms"), unit="ms")
    q = pd.DataFrame(nbbo, columns=["ms", "bid", "ask"])
    q.index = midnight + pd.to_timedelta(q.pop("ms"), unit="ms")
    bars = t["price"].resample("1min").ohlc()
    bars["volume"] = t["size"].resample("1min").sum()
    bars["spread"] = (q["ask"] - q["bid"]).resample("1min").mean()
    bars.index.name = "minute"
    return bars.dropna(subset=["open"])


def chart(bars: pd.DataFrame, symbol: str, path: str) -> None:
    figure, (price, volume, spread) = plt.subplots(3, 1, sharex=True, figsize=(11, 7),
                                                   gridspec_kw={"height_ratios": [3, 1, 1]})
    price.vlines(bars.index, bars["low"], bars["high"], color="grey", linewidth=0.8)
    price.plot(bars.index, bars["close"], color="tab:blue", linewidth=1.2, label="close")
    price.set_ylabel("price")
    price.set_title(f"{symbol}: one-minute bars")
    price.legend(loc="upper left")
    volume.bar(bars.index, bars["volume"], width=1 / 1440, color="tab:green")
    volume.set_ylabel("volume")
    spread.plot(bars.index, bars["spread"], color="tab:red", linewidth=1)
    spread.set_ylabel("avg spread")
    figure.autofmt_xdate()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--tape", default=default_tape(), help="the tape (default: the build's sample tape)")
    parser.add_argument("--symbol", help="the symbol (default: the first one that trades)")
    parser.add_argument("--png", help="the chart to write (default: bars-SYMBOL.png)")
    args = parser.parse_args()

    if Tarvik.LoadTarvik(tarvik_engine.library_path()) == 0:
        sys.exit("could not load the engine")
    progress = ReplayProgress(args.tape, "bars")
    collector = Collector(args.symbol, progress)
    started = time.perf_counter()
    result = Tarvik.ProcessTape(args.tape, 0, 0, 0, collector)
    progress.close()
    if result != Tarvik.TqAPIERR_NO_ERROR:
        Tarvik.ProcessReturnValue(result)
        return 1
    symbol = collector.symbol or "?"
    if not collector.trades:
        sys.exit(f"{symbol}: no trades on {args.tape}")
    print(f"{symbol}: {len(collector.trades):,} trades and {len(collector.nbbo):,} NBBO quotes "
          f"in {time.perf_counter() - started:.2f} s")

    bars = minute_bars(progress.info.date, collector.trades, collector.nbbo)
    with pd.option_context("display.width", 120, "display.max_rows", 12):
        print(bars.round(4))
    png = args.png or f"bars-{symbol}.png"
    chart(bars, symbol, png)
    print(f"chart: {png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

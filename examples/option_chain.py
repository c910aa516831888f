"""An option chain at a chosen time of day: when the tape reaches that
time, a symbol spin over the option contracts finds every contract of one
underlying, and the state queries give each contract's NBBO and last trade.
Prints one line per strike and expiration, calls on the left, puts on the
right.

    scripts/python examples/option_chain.py                          # the sample tape, at noon
    scripts/python examples/option_chain.py --tape day.tape --symbol IBM --at 10:30
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import sys

import Tarvik
import tarvik_engine
from replay_progress import ReplayProgress, default_tape, time_text

OPTION_EXCHANGE = 10  # option contracts are filed under listed exchange 10
FIRST_DAY = datetime.date(1883, 1, 1)  # day 0 of NDays


@dataclasses.dataclass(frozen=True)
class Contract:
    root: str
    expiration: int  # NDays
    strike: int  # as the tape gives it: three implied decimals
    put: bool


@dataclasses.dataclass
class Quote:
    bid: str = "-"
    ask: str = "-"
    last: str = "-"
    volume: int = 0


def price(value: int, price_type: int) -> str:
    return Tarvik.PriceFormat(value, price_type, 0, False) or "-"


def quote_of(contract: Contract) -> Quote:
    """The contract's NBBO and last trade from the engine's state. Only
    answers inside the ProcessTape callback."""
    key = (OPTION_EXCHANGE, contract.root, contract.expiration, contract.strike, 1 if contract.put else 0)
    out = Quote()
    quotes = Tarvik.StateGetExgQuotes(*key)
    if quotes is not None:
        entries = quotes.StateExgQuotes[: quotes.StateQuoteCount]
        for q in entries:
            if q.ReportingExg == quotes.BestBidExg and q.BidPrice > 0:
                out.bid = f"{price(q.BidPrice, quotes.PriceType)} x {q.BidSize}"
            if q.ReportingExg == quotes.BestAskExg and q.AskPrice > 0:
                out.ask = f"{price(q.AskPrice, quotes.PriceType)} x {q.AskSize}"
    trade = Tarvik.StateGetLastTrade(*key)
    if trade is not None and trade.TickVolume > 0:
        out.last = price(trade.Last, trade.PriceType)
        out.volume = trade.TotalVolume
    return out


class ChainAt:
    """The callback: waits for the chosen time, then spins the option
    contracts once and reads their state."""

    def __init__(self, at_ms: int, root: str | None, progress: ReplayProgress) -> None:
        self.at_ms = at_ms
        self.root = root  # None: the first root the spin meets
        self.progress = progress
        self.contracts: list[Contract] = []
        self.chain: dict[Contract, Quote] = {}
        self.taken_at = 0
        self.spin_result: int | None = None

    def collect(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        """The spin callable: one call per option contract."""
        header = message.coreHeader
        option, name = header.ptqOptionHdr, header.ptqStringSymbol
        if option is None or name is None:
            return 0
        if self.root is None:
            self.root = name.String
        if name.String == self.root:
            self.contracts.append(Contract(name.String, option.tqExpirationDate.NDays, option.strikePrice,
                                           option.PutCall != 0))
        return 0

    def __call__(self, system: Tarvik.TarvikSystem, message: Tarvik.TarvikMessage) -> int:
        self.progress(system)
        if message.MessageType == Tarvik.TqMSG_STATUS or system.tqTime.MsOfDay < self.at_ms:
            return Tarvik.TqCALLBACKRETURN_CONTINUE
        self.taken_at = system.tqTime.MsOfDay
        self.spin_result = Tarvik.SpinSymbols(OPTION_EXCHANGE, Tarvik.TqSPIN_OPTIONS, 1, self.collect, 0)
        self.chain = {contract: quote_of(contract) for contract in self.contracts}
        return Tarvik.TqCALLBACKRETURN_STOP  # the chain is all this program wants


def print_chain(chain: dict[Contract, Quote]) -> None:
    rows: dict[tuple[int, int], dict[bool, Quote]] = {}
    for contract, quote in chain.items():
        rows.setdefault((contract.expiration, contract.strike), {})[contract.put] = quote
    print(f"{'expiration':<11}{'strike':>9} | {'call bid':>14}{'call ask':>14}{'last':>9}{'vol':>7} |"
          f" {'put bid':>14}{'put ask':>14}{'last':>9}{'vol':>7}")
    for (expiration, strike), sides in sorted(rows.items()):
        call, put = sides.get(False, Quote()), sides.get(True, Quote())
        day = FIRST_DAY + datetime.timedelta(days=expiration)
        print(f"{day.isoformat():<11}{strike / 1000:>9.2f} | {call.bid:>14}{call.ask:>14}{call.last:>9}{call.volume:>7} |"
              f" {put.bid:>14}{put.ask:>14}{put.last:>9}{put.volume:>7}")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--tape", default=default_tape(), help="the tape (default: the build's sample tape)")
    parser.add_argument("--symbol", help="the underlying, as the option root (default: the first one)")
    parser.add_argument("--at", default="12:00", type=datetime.time.fromisoformat, help="the time of day, HH:MM[:SS] in the tape's time (default 12:00)")
    args = parser.parse_args()
    at = args.at

    if Tarvik.LoadTarvik(tarvik_engine.library_path()) == 0:
        sys.exit("could not load the engine")
    progress = ReplayProgress(args.tape, "to " + str(at))
    chain = ChainAt(((at.hour * 60 + at.minute) * 60 + at.second) * 1000, args.symbol, progress)
    result = Tarvik.ProcessTape(args.tape, 0, 0, 0, chain)
    progress.close()
    if result not in (Tarvik.TqAPIERR_NO_ERROR, Tarvik.TqAPIERR_USER_STOPPED):
        Tarvik.ProcessReturnValue(result)
        return 1
    if chain.spin_result is None:
        sys.exit(f"{args.tape}: the tape ends before {at}")
    if chain.spin_result != Tarvik.TqAPIERR_NO_ERROR or not chain.chain:
        sys.exit(f"{args.tape}: no option contracts for {chain.root or 'any root'} (spin result {chain.spin_result})")
    print(f"{chain.root} option chain at {time_text(chain.taken_at)}: {len(chain.chain)} contracts\n")
    print_chain(chain.chain)
    return 0


if __name__ == "__main__":
    sys.exit(main())

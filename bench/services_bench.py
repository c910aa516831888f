"""What filters and the library services cost, measured on one synthetic tape:

  - a message withheld by FilterSymbols (1% of the symbols kept), beyond
    what the engine itself spends on it;
  - one StateGetExgQuotes, StateGetMMQuotes and StateGetLastTrade call from
    inside the callback;
  - one GetDefinedString that the per-thread cache answers.

Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/services_bench.py --tape big.tape
"""

import argparse
import time

import Tarvik
import tarvik_engine

from processing_bench import best_of, engine_alone, ensure_tape


def symbols_of(tape):
    """Plain symbols (name, listed exchange) in announcement order, and the
    busiest one with a market-maker quote."""
    names, makers = [], {}

    def collect(system, message):
        kind = message.MessageType
        header = message.coreHeader
        if kind == Tarvik.TqMSG_SYMBOLCHANGE and header.ptqOptionHdr is None:
            names.append((header.ptqStringSymbol.String, header.ListedExg))
        elif kind == Tarvik.TqMSG_MMQUOTE and header.ptqOptionHdr is None:
            key = (header.ptqStringSymbol.String, header.ListedExg, header.ReportingExg)
            makers[key] = makers.get(key, 0) + 1
        return 0

    Tarvik.ProcessTape(tape, 0, 0, 0, collect)
    return names, max(makers, key=makers.get)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tape", default="build/bench/processing.tape", help="tape to replay (made if missing)")
    parser.add_argument("--messages", type=int, default=5_000_000, help="messages of a tape made here")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each measurement; the best counts")
    args = parser.parse_args()

    tape = ensure_tape(args.tape, args.messages)
    engine = tarvik_engine.library_path()
    Tarvik.LoadTarvik(engine)
    names, (mm_symbol, mm_exchange, mm_reporting) = symbols_of(tape)

    a = best_of(args.repeat, lambda: engine_alone(engine, tape), tape)
    count = engine_alone.messages

    def run(callable_):
        start = time.perf_counter()
        assert Tarvik.ProcessTape(tape, 0, 0, 0, callable_) == 0
        return time.perf_counter() - start

    b = best_of(args.repeat, lambda: run(lambda s, m: 0), tape)

    kept = names[::100]  # one symbol in a hundred
    Tarvik.FilterSymbols([name for name, _ in kept])
    delivered = [0]

    def count_delivered(s, m):
        delivered[0] += 1
        return 0

    def filtered_run():
        delivered[0] = 0
        return run(count_delivered)

    f = best_of(args.repeat, filtered_run, tape)
    Tarvik.FilterSymbols(0)  # refused: the filter is off again
    withheld = count - delivered[0]
    per_delivered = (b - a) / count
    per_withheld = (f - a - delivered[0] * per_delivered) / withheld

    timings = {}

    def measure(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
            symbol, exchange = names[0]
            calls = {
                "StateGetExgQuotes": lambda: Tarvik.StateGetExgQuotes(exchange, symbol),
                "StateGetMMQuotes": lambda: Tarvik.StateGetMMQuotes(mm_reporting, mm_exchange, mm_symbol),
                "StateGetLastTrade": lambda: Tarvik.StateGetLastTrade(exchange, symbol),
                "GetDefinedString (cached)": lambda: Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, 1),
            }
            for name, call in calls.items():
                assert call() is not None, name
                repeat = 200 if name == "StateGetMMQuotes" else 20_000
                start = time.perf_counter()
                for _ in range(repeat):
                    call()
                timings[name] = (time.perf_counter() - start) / repeat
        return 0

    Tarvik.ProcessTape(tape, 0, 0, 0, measure)

    print(f"tape {tape}: {count:,} messages, {len(names)} symbols, {len(kept)} kept by the filter")
    print(f"engine alone                      {a / count * 1e9:8.1f} ns/message")
    print(f"delivered to lambda s, m: 0       {b / count * 1e9:8.1f} ns/message")
    print(f"filtered run                      {f / count * 1e9:8.1f} ns/message, {delivered[0]:,} delivered")
    print(f"a withheld message beyond the engine: {per_withheld * 1e9:.2f} ns")
    for name, seconds in timings.items():
        print(f"{name:<28}{seconds * 1e9:10.0f} ns per call")


if __name__ == "__main__":
    main()

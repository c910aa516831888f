"""What one message costs on its way into Python, measured on one synthetic
tape in one run:

  (a) the engine delivering to a C++ callback that does nothing;
  (b) ProcessTape with `lambda s, m: 0`;
  (c) ProcessTape with a callable that reads three members;
  (d) a plain C loop calling the same callables through vectorcall with two
      fixed objects: the floor for any design.

The module's own cost is (b) - (a) - (d). Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/processing_bench.py --tape big.tape
"""

import argparse
import os
import subprocess
import sys
import time

import _tarvik_bench
import Tarvik
import tarvik_engine


def ensure_tape(path, messages):
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
        subprocess.run(
            [tarvik_engine.tape_tool_path(), "synth", "-o", path, "--messages", str(messages)], check=True
        )
    return path


def warm(path):
    """Reads the tape through once so every timed run finds it in the page cache."""
    with open(path, "rb") as tape:
        while tape.read(1 << 24):
            pass


def best_of(repeat, measure, tape=None):
    results = []
    for _ in range(repeat):
        if tape is not None:
            warm(tape)
        results.append(measure())
    return min(results)


def engine_alone(engine, tape):
    """Seconds and messages of one replay into a C++ callback that does nothing."""
    result, messages, seconds = _tarvik_bench.engine_noop(engine, tape)
    assert result == 0, result
    engine_alone.messages = messages
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tape", default="build/bench/processing.tape", help="tape to replay (made if missing)")
    parser.add_argument("--messages", type=int, default=5_000_000, help="messages of a tape made here")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each measurement; the best counts")
    args = parser.parse_args()

    tape = ensure_tape(args.tape, args.messages)
    engine = tarvik_engine.library_path()
    Tarvik.LoadTarvik(engine)

    a = best_of(args.repeat, lambda: engine_alone(engine, tape), tape)
    count = engine_alone.messages

    def nothing(s, m):
        return 0

    def three_members(s, m):
        m.MessageType
        m.coreHeader.ListedExg
        m.coreData.Trade.Price
        return 0

    def process(callable_):
        def run():
            start = time.perf_counter()
            result = Tarvik.ProcessTape(tape, 0, 0, 0, callable_)
            elapsed = time.perf_counter() - start
            assert result == 0, result
            return elapsed

        return best_of(args.repeat, run, tape)

    b = process(nothing)
    c = process(three_members)

    system, message = Tarvik.TarvikSystem(), Tarvik.TarvikMessage()
    d_nothing = best_of(args.repeat, lambda: _tarvik_bench.vectorcall_loop(nothing, count, system, message))
    d_three = best_of(args.repeat, lambda: _tarvik_bench.vectorcall_loop(three_members, count, system, message))

    ns = lambda seconds: seconds / count * 1e9  # noqa: E731
    print(f"tape {tape}: {count:,} messages, Python {sys.version.split()[0]}")
    print(f"(a) engine into a C++ no-op callback   {ns(a):8.1f} ns/message  {count / a / 1e6:8.1f} M/s")
    print(f"(b) ProcessTape, lambda s, m: 0         {ns(b):8.1f} ns/message  {count / b / 1e6:8.1f} M/s")
    print(f"(c) ProcessTape, reading three members  {ns(c):8.1f} ns/message  {count / c / 1e6:8.1f} M/s")
    print(f"(d) C vectorcall loop, lambda s, m: 0   {ns(d_nothing):8.1f} ns/message")
    print(f"    C vectorcall loop, three members    {ns(d_three):8.1f} ns/message")
    print(f"ratios: (b)/(d) {b / d_nothing:.2f}   (c)/(d) {c / d_three:.2f}")
    print(f"the module's own cost, (b) - (a) - (d): {ns(b) - ns(a) - ns(d_nothing):.1f} ns/message")


if __name__ == "__main__":
    main()

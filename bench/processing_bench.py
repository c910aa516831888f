"""What one message costs on its way into Python, measured on one synthetic
tape in one run:

  (a) the engine delivering to a C++ callback that does nothing;
  (b) ProcessTape with `lambda s, m: 0`;
  (c) ProcessTape with a callable that reads three members;
  (d) a plain C loop calling the same callables through vectorcall with two
      fixed objects: the floor for any design;
  (e) the engine delivering to a C++ callback that calls `lambda s, m: 0`
      with two fixed objects and fills nothing;
  (f) ProcessTape with a callable that raises AttributeError on every
      message (a typo in a member name): its first traceback is printed,
      the repeats are only counted.

The module's own cost is (b) - (a) - (d). It splits into (e) - (a) - (d),
what calling Python between two messages costs the engine and the
interpreter, and (b) - (e), the module's own work: gating, filling and
writing back. Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/processing_bench.py --tape big.tape
"""

import argparse
import os
import subprocess
import statistics
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


def engine_calling(engine, tape, callable_, first, second):
    """Seconds of one replay into a C++ callback that calls callable_(first, second)."""
    result, messages, seconds = _tarvik_bench.engine_call(engine, tape, callable_, first, second)
    assert result == 0, result
    assert messages == engine_alone.messages, messages
    return seconds


def processor():
    """The processor's model name, as the kernel reports it."""
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tape", default="build/bench/processing.tape", help="tape to replay (made if missing)")
    parser.add_argument("--messages", type=int, default=5_000_000, help="messages of a tape made here")
    parser.add_argument("--repeat", type=int, default=5, help="rounds; each measures everything once")
    args = parser.parse_args()

    tape = ensure_tape(args.tape, args.messages)
    engine = tarvik_engine.library_path()
    Tarvik.LoadTarvik(engine)
    engine_alone(engine, tape)  # learns the tape's message count
    count = engine_alone.messages

    def nothing(s, m):
        return 0

    def three_members(s, m):
        m.MessageType
        m.coreHeader.ListedExg
        m.coreData.Trade.Price
        return 0

    def typo(s, m):
        return m.coreData.Trade.Prize

    def process(callable_):
        start = time.perf_counter()
        result = Tarvik.ProcessTape(tape, 0, 0, 0, callable_)
        elapsed = time.perf_counter() - start
        assert result == 0, result
        return elapsed

    def process_quietly(callable_):
        """(f): the traceback and the count go to /dev/null, not the figures."""
        stderr = sys.stderr
        with open(os.devnull, "w") as sys.stderr:
            try:
                return process(callable_)
            finally:
                sys.stderr = stderr

    system, message = Tarvik.TarvikSystem(), Tarvik.TarvikMessage()
    measurements = {
        "a": lambda: engine_alone(engine, tape),
        "b": lambda: process(nothing),
        "c": lambda: process(three_members),
        "d": lambda: _tarvik_bench.vectorcall_loop(nothing, count, system, message),
        "e": lambda: engine_calling(engine, tape, nothing, system, message),
        "d3": lambda: _tarvik_bench.vectorcall_loop(three_members, count, system, message),
        "f": lambda: process_quietly(typo),
    }
    # The machine's speed drifts over minutes (other guests, the page
    # cache), so every round measures everything once: drift then moves all
    # figures alike instead of landing on whichever was measured last.
    seconds = {name: [] for name in measurements}
    for _ in range(args.repeat):
        for name, measure in measurements.items():
            warm(tape)
            seconds[name].append(measure())

    def ns(name, pick):
        return pick(seconds[name]) / count * 1e9

    best = {name: ns(name, min) for name in seconds}
    typical = {name: ns(name, statistics.median) for name in seconds}
    print(f"tape {tape}: {count:,} messages, Python {sys.version.split()[0]}, {processor()}")
    print(f"{f'ns/message over {args.repeat} rounds':<40} {'best':>7}  {'median':>7}")
    rows = [
        ("a", "(a) engine into a C++ no-op callback"),
        ("b", "(b) ProcessTape, lambda s, m: 0"),
        ("c", "(c) ProcessTape, reading three members"),
        ("d", "(d) C vectorcall loop, lambda s, m: 0"),
        ("d3", "    C vectorcall loop, three members"),
        ("e", "(e) engine calling lambda s, m: 0"),
        ("f", "(f) ProcessTape, raising every message"),
    ]
    for name, label in rows:
        print(f"{label:<40} {best[name]:7.1f}  {typical[name]:7.1f}")
    print(f"messages per second (best): (a) {1e3 / best['a']:.1f} M, (b) {1e3 / best['b']:.1f} M")
    print(f"ratios (best): (b)/(d) {best['b'] / best['d']:.2f}   (c)/(d) {best['c'] / best['d3']:.2f}"
          f"   (f)/(b) {best['f'] / best['b']:.2f}")
    own_best = best["b"] - best["a"] - best["d"]
    own_typical = typical["b"] - typical["a"] - typical["d"]
    print(f"the module's own cost, (b) - (a) - (d): {own_best:.1f} ns/message best, {own_typical:.1f} median")
    print(
        f"  of which calling Python between messages, (e) - (a) - (d): {best['e'] - best['a'] - best['d']:.1f} best, "
        f"{typical['e'] - typical['a'] - typical['d']:.1f} median"
    )
    print(
        f"  and the module's work, (b) - (e): {best['b'] - best['e']:.1f} best, {typical['b'] - typical['e']:.1f} median"
    )
    # The best of each figure may come from rounds run at different machine
    # speeds; differences taken within one round cannot mix them.
    per_round = [
        (b - a - d) / count * 1e9 for a, b, d in zip(seconds["a"], seconds["b"], seconds["d"])
    ]
    print(
        f"the own cost round by round: median {statistics.median(per_round):.1f}, "
        f"from {min(per_round):.1f} to {max(per_round):.1f}"
    )

if __name__ == "__main__":
    main()

"""Packed tapes (zstd, format version 2) against plain ones (version 1), in
one run, the plain tape being the floor:

  - sizes: the sample day (tarvik-tape synth, 300 symbols with 20 option
    contracts each, 3,000,000 messages) and an imported day of --events
    events (vendor-style trades and quotes made by import_bench.py's
    generator as Parquet, imported with and without --no-compress); goal:
    the packed tape at least 4 times smaller;
  - replay nanoseconds per message: the engine's own benchmark (a synthetic
    day of ten million messages from memory into a C++ callback that does
    nothing; engine_replay_bench), and the imported day replayed from its
    file through the module with a filter that withholds every symbol (the
    engine's work and the module's gate, no Python per message); goal: the
    packed replay within 10% of the plain one.

Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/packed_tapes_bench.py
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import Tarvik  # noqa: E402
import tarvik_engine  # noqa: E402
from import_bench import DataFiles  # noqa: E402

GOAL_RATIO = 4.0
GOAL_SLOWER = 0.10
ENGINE_BENCHMARKS = {
    "with CRC checks": ("BM_ReplayNoOpCallback", "BM_ReplayPackedNoOpCallback"),
    "without CRC checks": ("BM_ReplayNoOpCallbackWithoutCrc", "BM_ReplayPackedNoOpCallbackWithoutCrc"),
}


def tool(*args):
    subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args)], check=True)


def sizes(name, plain, packed):
    a, b = os.path.getsize(plain), os.path.getsize(packed)
    verdict = "meets" if a / b >= GOAL_RATIO else "misses"
    print(f"  {name:<34} plain {a / 1e6:9.1f} MB   packed {b / 1e6:8.1f} MB   {a / b:5.2f}x smaller"
          f"  ({verdict} the goal of {GOAL_RATIO:.0f}x)")


def module_replay(path, rounds):
    """Best seconds of a replay of the whole tape through the module, every
    symbol withheld by the filter."""
    best = float("inf")
    for _ in range(rounds):
        assert Tarvik.FilterSymbols([("no such symbol", 0)])
        started = time.perf_counter()
        result = Tarvik.ProcessTape(str(path), 0, 0, 0, lambda system, message: 0)
        best = min(best, time.perf_counter() - started)
        assert result == 0, result
    Tarvik.FilterSymbols([])
    return best


def slower(plain_ns, packed_ns):
    change = packed_ns / plain_ns - 1
    verdict = "meets" if change <= GOAL_SLOWER else "misses"
    return f"{change:+6.1%} ({verdict} the goal of at most {GOAL_SLOWER:+.0%})"


def engine_figures(build_dir):
    bench = build_dir / "bench" / "engine_replay_bench"
    if not bench.exists():
        print(f"  ({bench} not built: no engine figures)")
        return
    names = [n for pair in ENGINE_BENCHMARKS.values() for n in pair]
    out = subprocess.run([str(bench), "--benchmark_filter=^(" + "|".join(names) + ")/", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    runs = {b["name"].split("/")[0]: b for b in json.loads(out)["benchmarks"]}
    for label, (plain, packed) in ENGINE_BENCHMARKS.items():
        for clock, what in (("real_time", "wall"), ("cpu_time", "replay thread's CPU")):
            ns = [runs[n][clock] * 1e6 / runs[n]["messages"] for n in (plain, packed)]  # times in ms
            print(f"  engine, 10 M synthetic, {label:<19} {what:<20} plain {ns[0]:6.1f} ns/msg   "
                  f"packed {ns[1]:6.1f} ns/msg   {slower(*ns)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=lambda s: int(s.replace("_", "")), default=10_000_000,
                        help="events of the imported day, half trades and half quotes (default 10_000_000)")
    parser.add_argument("--rounds", type=int, default=3, help="replays of each tape; the best counts")
    parser.add_argument("--data-dir", default="/tmp/tarvik-bench", help="where the files and tapes go")
    parser.add_argument("--keep", action="store_true", help="keep the generated Parquet files for the next run")
    args = parser.parse_args()
    build_dir = Path(tarvik_engine.library_path()).parents[2]
    os.makedirs(args.data_dir, exist_ok=True)
    print(f"packed against plain tapes; {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at the start")
    print("(a packed replay inflates on a second thread: its wall time matches the plain one only while a")
    print(" core is free for that thread; the replay thread's own CPU time shows the work left on it)")
    assert Tarvik.LoadTarvik(tarvik_engine.library_path()) != 0

    data = DataFiles(args.data_dir, args.events // 2, 1, 2000, "float64")
    with tempfile.TemporaryDirectory(dir=args.data_dir) as work:
        work = Path(work)
        tapes = {}
        sample = ["synth", "--symbols", 300, "--options-per-symbol", 20, "--messages", 3_000_000, "--seed", 1]
        tool(*sample, "-o", work / "sample-plain.tape", "--no-compress")
        tool(*sample, "-o", work / "sample-packed.tape")
        tapes["sample day, 3 M messages"] = (work / "sample-plain.tape", work / "sample-packed.tape")
        data.ensure(["trades", "quotes"], ["parquet"])
        files = ["--trades", data.path("trades", "parquet"), "--quotes", data.path("quotes", "parquet")]
        timings = {}
        for name, extra in (("plain", ["--no-compress"]), ("packed", [])):
            started = time.perf_counter()
            tool("import", *files, "-o", work / f"imported-{name}.tape", *extra)
            timings[name] = time.perf_counter() - started
        tapes[f"imported day, {args.events / 1e6:.0f} M events"] = (work / "imported-plain.tape",
                                                                     work / "imported-packed.tape")
        if not args.keep:
            data.remove_made()

        print("\nsizes")
        for name, (plain, packed) in tapes.items():
            sizes(name, plain, packed)
        print(f"  import of the day: {timings['plain']:.1f} s plain, {timings['packed']:.1f} s packed")

        print(f"\nreplay (plain is the floor); load average {os.getloadavg()[0]:.2f}")
        engine_figures(build_dir)
        for name, (plain, packed) in tapes.items():
            events = args.events if name.startswith("imported") else 3_000_000
            ns = [module_replay(p, args.rounds) * 1e9 / events for p in (plain, packed)]
            print(f"  module, {name:<34} plain {ns[0]:6.1f} ns/msg   packed {ns[1]:6.1f} ns/msg   {slower(*ns)}")
    Tarvik.UnloadTarvik()


if __name__ == "__main__":
    main()

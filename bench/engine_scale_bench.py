"""Replay cost per message as a day grows in messages and instruments, end
to end through the engine's exports, each beside the floor of reading the
tape's bytes once, measured in the same run:

  floor        a 64-bit sum over the mapped tape (scale_replay floor)
  engine       the whole sTarvikProcessTape into a C callback that does
               nothing (scale_replay noop)
  ProcessTape  Tarvik.ProcessTape with `lambda s, m: 0`

for the sample mix (synth's defaults) and trades only (--mix 0,0,1,0), of
1 M and 20 M messages, at 300 (300 x 0), 6,300 (300 x 20) and 63,000
(3,000 x 20) instruments; then the growth from 300 to 63,000 instruments,
and a replay of 10 symbols of the 63,000-instrument sample day: the
module's filter (FilterSymbols) under ProcessTape, the engine into a C
callback that filters the same way, and tarvik_engine.read_tape of those
symbols' trades and quotes.

Every figure is the best of --repeat runs with the tape in the page cache;
ns/msg divides by the tape's messages. Wall time, the replay thread's CPU
time and the process's CPU time are printed side by side, as the machine
is shared: on a busy machine the CPU times are the steadier measure. A
packed tape is inflated on a second thread, which the process's CPU time
counts and the thread's leaves out. Tapes are made once into --work (default build/scale-tapes) and
reused; the 20 M-message ones take a while to make.

    PYTHONPATH=build/release/python python3.14 bench/engine_scale_bench.py [--quick] [--plain]
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
BUILD_DIR = Path(os.environ.get("TARVIK_BUILD_DIR", REPO / "build" / "release"))
sys.path.insert(0, str(BUILD_DIR / "python"))

import Tarvik  # noqa: E402
import tarvik_engine  # noqa: E402

SCALE_REPLAY = BUILD_DIR / "bench" / "scale_replay"
MIXES = {"sample": [], "trades": ["--mix", "0,0,1,0"]}
INSTRUMENTS = [(300, 0), (300, 20), (3000, 20)]
FILTERED = 10


def ticker(i):
    """The name synth gives its i-th symbol."""
    n, text = i + 26 * 26, ""
    while n:
        text = chr(ord("A") + n % 26) + text
        n //= 26
    return text


def tape_path(work, mix, messages, symbols, options, plain):
    name = f"{mix}-{messages}-{symbols}x{options}{'-plain' if plain else ''}.tape"
    path = work / name
    if not path.exists():
        print(f"  making {name} ...", flush=True)
        temp = path.with_suffix(".partial")
        subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", str(temp), "--quiet",
                        "--messages", str(messages), "--symbols", str(symbols),
                        "--options-per-symbol", str(options), *MIXES[mix],
                        *(["--no-compress"] if plain else [])], check=True)
        temp.rename(path)
    return path


def warm(path):
    with open(path, "rb") as tape:
        while tape.read(1 << 24):
            pass


def native(tape, mode, *arguments, repeat):
    """Best (wall, thread CPU, process CPU) of the native runs, in seconds."""
    warm(tape)
    out = subprocess.run([str(SCALE_REPLAY), tarvik_engine.library_path(), str(tape), mode, *arguments,
                          "--repeat", str(repeat)], check=True, capture_output=True, text=True).stdout
    runs = []
    for line in out.splitlines():
        wall, thread, process, _count, result = line.split()
        if int(result) != 0:
            raise SystemExit(f"scale_replay {mode} {tape}: result {result}")
        runs.append((float(wall), float(thread), float(process)))
    return min(runs)


def process_tape(tape, repeat):
    """Best (wall, thread CPU, process CPU) of Tarvik.ProcessTape with a trivial lambda."""
    runs = []
    for _ in range(repeat):
        warm(tape)
        wall, thread, process = time.perf_counter(), time.thread_time(), time.process_time()
        result = Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: 0)
        runs.append((time.perf_counter() - wall, time.thread_time() - thread, time.process_time() - process))
        if result != 0:
            raise SystemExit(f"ProcessTape {tape}: result {result}")
    return min(runs)


def ns(seconds, messages):
    return seconds * 1e9 / messages


def cell(figure, messages, floor):
    wall, thread, process = figure
    return (f"{ns(wall, messages):7.1f} {ns(thread, messages):7.1f} {ns(process, messages):7.1f} "
            f"{wall / floor[0]:6.1f}x {thread / floor[1]:6.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", type=Path, default=REPO / "build" / "scale-tapes", help="where the tapes are kept")
    parser.add_argument("--quick", action="store_true", help="1 M-message days only")
    parser.add_argument("--plain", action="store_true", help="plain tapes (synth --no-compress)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    args.work.mkdir(parents=True, exist_ok=True)
    if not SCALE_REPLAY.exists():
        raise SystemExit(f"{SCALE_REPLAY} is made by the build")
    assert Tarvik.LoadTarvik(tarvik_engine.library_path()) != 0
    sizes = [1_000_000] if args.quick else [1_000_000, 20_000_000]

    print(f"engine scale: {'plain' if args.plain else 'packed'} tapes, best of {args.repeat}; ns/msg of wall time, "
          f"the thread's CPU and the process's CPU; ratios to the floor's wall and thread CPU")
    columns = f"{'wall':>7} {'thread':>7} {'process':>7} {'/floor':>7} {'/floor':>7}"
    print(f"{'':7} {'':>9} {'':>7} | {'floor':^15} | {'engine':^39} | {'ProcessTape':^39}")
    print(f"{'mix':7} {'messages':>9} {'instr.':>7} | {'wall':>7} {'thread':>7} | {columns} | {columns}")
    results = {}
    for mix in MIXES:
        for messages in sizes:
            for symbols, options in INSTRUMENTS:
                tape = tape_path(args.work, mix, messages, symbols, options, args.plain)
                floor = native(tape, "floor", repeat=args.repeat)
                engine = native(tape, "noop", repeat=args.repeat)
                module = process_tape(tape, args.repeat)
                instruments = symbols * (options + 1)
                results[(mix, messages, instruments)] = (engine, module)
                print(f"{mix:7} {messages:>9,} {instruments:>7,} | {ns(floor[0], messages):7.1f} "
                      f"{ns(floor[1], messages):7.1f} | {cell(engine, messages, floor)} | "
                      f"{cell(module, messages, floor)}", flush=True)

    print("\ngrowth from 300 to 63,000 instruments: of the wall time (of the replay thread's CPU time)")
    for mix in MIXES:
        for messages in sizes:
            small, large = results[(mix, messages, 300)], results[(mix, messages, 63_000)]
            growth = [f"{name} {large[i][0] / small[i][0]:.2f}x ({large[i][1] / small[i][1]:.2f}x)"
                      for i, name in enumerate(["engine", "ProcessTape"])]
            print(f"  {mix:7} {messages:>11,} messages: " + ", ".join(growth))

    messages = sizes[-1]
    tape = tape_path(args.work, "sample", messages, 3000, 20, args.plain)
    names = [ticker(i * 3000 // FILTERED) for i in range(FILTERED)]
    print(f"\n{FILTERED} symbols (with their options) of the 63,000-instrument sample day of {messages:,} messages")
    floor = native(tape, "floor", repeat=args.repeat)
    engine = native(tape, "filter", *names, repeat=args.repeat)
    print(f"  engine, C callback filtering      {cell(engine, messages, floor)}")
    assert Tarvik.FilterSymbols(names) is True
    try:
        module = process_tape(tape, args.repeat)
    finally:
        Tarvik.FilterSymbols(5)  # a refused form turns the filter off
    print(f"  ProcessTape with FilterSymbols    {cell(module, messages, floor)}")
    # The same symbols as tables: the run leaves the other symbols out
    # altogether, as nothing but the read can see their state.
    runs = []
    for _ in range(args.repeat):
        warm(tape)
        wall, thread, process = time.perf_counter(), time.thread_time(), time.process_time()
        tables = tarvik_engine.read_tape(str(tape), symbols=names)
        runs.append((time.perf_counter() - wall, time.thread_time() - thread, time.process_time() - process))
    rows = sum(table.num_rows for table in tables.values())
    print(f"  read_tape(symbols=...)            {cell(min(runs), messages, floor)}  ({rows:,} rows;"
          f" thread CPU is the caller's, the replay runs on a thread of its own)")
    Tarvik.UnloadTarvik()


if __name__ == "__main__":
    main()

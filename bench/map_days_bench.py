"""map_days on a local Dask cluster against the same days replayed one
after another in one process, in one run (the serial replay is the floor):

  - --days synthetic days (tarvik-tape synth, --messages each, one seed and
    date per day), each replayed into a Python callback that keeps the
    day's trade count and volume by symbol (what a user's function does);
  - serial: the days in this process, one after the other;
  - map_days with --workers worker processes: on a cluster already started
    (the steady state), and with the cluster's start included (one call,
    as a script makes it); goal: at least 1.8 times faster than serial
    with 2 workers;
  - the cost Dask adds per day: map_days of a function that returns at
    once, over many days on the running cluster, per day.

Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/map_days_bench.py
"""

import argparse
import datetime
import os
import subprocess
import tempfile
import time
from collections import Counter

import distributed

import Tarvik
import tarvik_days
import tarvik_engine

GOAL_SPEEDUP = 1.8


def day_volumes(tape):
    """A user's day: trade count and volume by symbol."""
    assert Tarvik.LoadTarvik(tarvik_engine.library_path()) != 0
    trades, volume = Counter(), Counter()

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            symbol = message.coreHeader.ptqStringSymbol.String
            trades[symbol] += 1
            volume[symbol] += message.coreData.Trade.Size
        return 0

    try:
        result = Tarvik.ProcessTape(tape, 0, 0, 0, callback)
        assert result == 0, result
    finally:
        Tarvik.UnloadTarvik()
    return dict(trades), dict(volume)


def nothing(tape):
    return tape


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--days", type=int, default=8, help="synthetic days (default 8)")
    parser.add_argument("--messages", type=int, default=3_000_000, help="messages a day (default 3_000_000)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--overhead-days", type=int, default=200, help="days of the no-op run (default 200)")
    parser.add_argument("--no-compress", action="store_true",
                        help="plain days: a serial replay then uses one core (a packed one inflates on a second)")
    args = parser.parse_args()
    print(f"map_days over {args.days} {'plain' if args.no_compress else 'packed'} days of {args.messages:,} messages, "
          f"{args.workers} workers; {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at the start")

    with tempfile.TemporaryDirectory() as folder:
        tapes = []
        for day in range(args.days):
            date = datetime.date(2024, 3, 4) + datetime.timedelta(days=day)
            tape = os.path.join(folder, f"day-{date}.tape")
            subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", tape, "--messages", str(args.messages),
                            "--symbols", "100", "--options-per-symbol", "4", "--seed", str(day + 1),
                            "--date", str(date)] + (["--no-compress"] if args.no_compress else []), check=True)
            tapes.append(tape)

        started = time.perf_counter()
        serial = [day_volumes(t) for t in tapes]
        serial_s = time.perf_counter() - started
        print(f"\nserial, one process      {serial_s:7.2f} s   {serial_s / args.days:6.2f} s a day   (the floor)")

        started = time.perf_counter()
        cold = tarvik_days.map_days(day_volumes, tapes, workers=args.workers, progress=False)
        cold_s = time.perf_counter() - started
        assert cold == serial

        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        with cluster, distributed.Client(cluster) as client:
            tarvik_days.map_days(nothing, tapes[: args.workers], client=client, progress=False)  # workers warm
            started = time.perf_counter()
            warm = tarvik_days.map_days(day_volumes, tapes, client=client, progress=False)
            warm_s = time.perf_counter() - started
            assert warm == serial

            many = [tapes[i % len(tapes)] for i in range(args.overhead_days)]
            started = time.perf_counter()
            tarvik_days.map_days(nothing, many, client=client, progress=False)
            overhead_s = (time.perf_counter() - started) / args.overhead_days

        for name, seconds in (("map_days, running cluster", warm_s), ("map_days, cluster started", cold_s)):
            speedup = serial_s / seconds
            verdict = "meets" if speedup >= GOAL_SPEEDUP else "misses"
            print(f"{name:<25}{seconds:7.2f} s   {speedup:5.2f}x serial   ({verdict} the goal of "
                  f"{GOAL_SPEEDUP}x with 2 workers)")
        print(f"\nDask's cost per day: {overhead_s * 1e3:.2f} ms (a function that returns at once, "
              f"{args.overhead_days} days over {args.workers} workers, wall time per day); "
              f"{overhead_s * args.workers * 1e3:.2f} ms of a worker's time")


if __name__ == "__main__":
    main()

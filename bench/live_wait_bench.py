"""What a wait for a live tape costs the rest of the program, measured in
one run against a floor:

  (a) another Python thread's ticks per second while the main thread waits
      in ProcessTape("") for a live tape that does not grow; floor: the
      same thread's ticks while the main thread sleeps in time.sleep;
  (b) the delay from SIGINT to KeyboardInterrupt raised by ProcessTape
      during such a wait; floor: the same delay out of time.sleep.

Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/live_wait_bench.py
"""

import argparse
import os
import signal
import statistics
import subprocess
import tempfile
import threading
import time

import Tarvik
import tarvik_engine


def live_tape(directory):
    """A small synthetic day without its End section: a live tape whose
    writer has stopped, so the engine waits at its end."""
    whole = os.path.join(directory, "whole.tape")
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", whole, "--symbols", "5", "--messages", "1000"],
                   check=True)
    live = os.path.join(directory, "live.tape")
    with open(whole, "rb") as source, open(live, "wb") as target:
        target.write(source.read()[:-16])
    return live


def ticks_per_second(wait, seconds):
    """Ticks of a counting thread per second while the main thread runs wait(seconds)."""
    ticks = [0]
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    start = time.perf_counter()
    wait(seconds)
    elapsed = time.perf_counter() - start
    done.set()
    thread.join()
    return ticks[0] / elapsed


def process_live(seconds):
    os.environ["TARVIK_REALTIME_IDLE_MS"] = str(int(seconds * 1000))
    assert Tarvik.ProcessTape("", 0, 0, 0, lambda s, m: 0) == Tarvik.TqAPIERR_EXCEPTION


def interrupt_delay(wait):
    """Seconds from SIGINT to KeyboardInterrupt out of wait()."""
    sent = [0.0]

    def interrupt():
        time.sleep(0.2)
        sent[0] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt)
    thread.start()
    try:
        wait()
    except KeyboardInterrupt:
        delay = time.perf_counter() - sent[0]
    else:
        raise AssertionError("no KeyboardInterrupt")
    thread.join()
    return delay


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of each wait measured")
    parser.add_argument("--repeat", type=int, default=5, help="rounds")
    args = parser.parse_args()
    Tarvik.LoadTarvik(tarvik_engine.library_path())
    with tempfile.TemporaryDirectory() as directory:
        os.environ["TARVIK_REALTIME_TAPE"] = live_tape(directory)
        waiting = [ticks_per_second(process_live, args.seconds) for _ in range(args.repeat)]
        sleeping = [ticks_per_second(time.sleep, args.seconds) for _ in range(args.repeat)]

        def long_live_wait():
            os.environ["TARVIK_REALTIME_IDLE_MS"] = "60000"
            Tarvik.ProcessTape("", 0, 0, 0, lambda s, m: 0)

        live_delays = [interrupt_delay(long_live_wait) for _ in range(args.repeat)]
        sleep_delays = [interrupt_delay(lambda: time.sleep(60)) for _ in range(args.repeat)]
    print(f"another thread's ticks per second over {args.repeat} waits of {args.seconds:g} s (median):")
    print(f"  (a) while ProcessTape waits for a live tape   {statistics.median(waiting):14,.0f}")
    print(f"      floor: while the main thread sleeps       {statistics.median(sleeping):14,.0f}")
    print(f"      ratio {statistics.median(waiting) / statistics.median(sleeping):.2f}")
    print("SIGINT to KeyboardInterrupt, ms (median, max):")
    print(f"  (b) out of a live wait in ProcessTape          "
          f"{statistics.median(live_delays) * 1e3:6.1f} {max(live_delays) * 1e3:6.1f}")
    print(f"      floor: out of time.sleep                   "
          f"{statistics.median(sleep_delays) * 1e3:6.1f} {max(sleep_delays) * 1e3:6.1f}")


if __name__ == "__main__":
    main()

"""Cost of building and freeing the record trees: one TarvikMessage (the
whole message tree, 256 category fields included) and one
TarvikStateMMQuotes (a state query result with its 512 entries), against a
plain object() in the same run.

    PYTHONPATH=build/<dir>/python python3.14 bench/records_bench.py
"""

import sys
import timeit

import Tarvik

CASES = [
    ("object()", object, 2_000_000),
    ("TqDate()", Tarvik.TqDate, 1_000_000),
    ("TarvikStateExgQuotes()", Tarvik.TarvikStateExgQuotes, 100_000),
    ("TarvikStateMMQuotes()", Tarvik.TarvikStateMMQuotes, 5_000),
    ("TarvikMessage()", Tarvik.TarvikMessage, 2_000),
]


def per_call_us(build, number):
    # Each call's result is dropped at once: construct and free.
    best = min(timeit.repeat(build, number=number, repeat=5))
    return best / number * 1e6


def main():
    print(f"Python {sys.version.split()[0]}; best of 5 runs, construct + free")
    baseline = None
    for name, build, number in CASES:
        us = per_call_us(build, number)
        baseline = baseline or us
        print(f"{name:<24} {us:12.3f} us   {us / baseline:10.0f} x object()")


if __name__ == "__main__":
    main()

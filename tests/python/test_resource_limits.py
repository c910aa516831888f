"""A limit on the process's memory (ulimit -v, a container's): running out is
told as such (TqAPIERR_INITALLOC_ERROR, MemoryError, "out of memory"), never
as a damaged tape or bad data, and never ends the process. Each case runs
in a child whose address space is held a few MB above what it uses."""

import json
import subprocess

import pytest

import tarvik_engine

from conftest import SANITIZED, needs_arrow, run_python

pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizers' runtime reserves the address space a limit counts")

# Sets the soft limit `margin` MB above the child's address space, runs
# `call` and lifts the limit again: one child tries every margin.
LIMITED = """
    import json, resource, sys

    def size():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))

    def limited(margin, call):
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size() + margin * (1 << 20), hard))
        try:
            return call()
        except Exception as error:
            return type(error).__name__
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
"""


@pytest.fixture(scope="module")
def packed_day(tmp_path_factory):
    tape = tmp_path_factory.mktemp("limits") / "day.tape"
    made = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", str(tape), "--symbols", "20",
                           "--options-per-symbol", "2", "--messages", "200000"], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    return tape


def test_a_replay_without_memory_ends_with_its_own_code_not_a_damaged_tape(packed_day):
    child = run_python(LIMITED + f"""
    import Tarvik, tarvik_engine
    Tarvik.LoadTarvik(tarvik_engine.library_path())
    outcomes = []
    for margin in [1, 2, 3, 4, 5, 6, 8, 12, 256]:
        count = [0]

        def counted(system, message):
            count[0] += 1
            return 0

        def replay():
            return Tarvik.ProcessTape({str(packed_day)!r}, 0, 0, 0, counted)

        outcomes.append([limited(margin, replay), count[0]])
    print(json.dumps(outcomes))
    """)
    assert child.returncode == 0, child.stderr
    outcomes = json.loads(child.stdout)
    # The module's own caches may be the ones that find no memory: MemoryError.
    assert {result for result, _ in outcomes} <= {0, -14, "MemoryError"}, outcomes
    assert outcomes[0][0] == -14 and outcomes[-1][0] == 0, outcomes
    whole = outcomes[-1][1]
    assert all(count < whole for result, count in outcomes if result == -14), outcomes


@needs_arrow
def test_read_tape_without_memory_raises_memory_error(packed_day):
    child = run_python(LIMITED + f"""
    import tarvik_engine

    def read():
        return {{kind: table.num_rows for kind, table in tarvik_engine.read_tape({str(packed_day)!r}).items()}}

    whole = read()
    print(json.dumps([whole] + [limited(margin, read) for margin in [0, 1, 2, 4, 8, 16, 32, 64]]))
    """)
    assert child.returncode == 0, child.stderr
    whole, *outcomes = json.loads(child.stdout)
    assert all(outcome in ("MemoryError", "RuntimeError", whole) for outcome in outcomes), outcomes
    assert "MemoryError" in outcomes, outcomes


@needs_arrow
def test_write_tape_without_memory_or_threads_says_so_and_writes_nothing(tmp_path):
    tape = tmp_path / "day.tape"
    child = run_python(LIMITED + f"""
    import os
    import numpy as np, pandas as pd
    import tarvik_engine

    import pyarrow as pa

    n = 200_000
    # Made before any limit: pandas' conversion starts Python threads, and
    # a Python thread that cannot start leaves its starter waiting for good.
    trades = pa.Table.from_pandas(pd.DataFrame({{
        "symbol": np.array(["A", "B", "C"])[np.arange(n) % 3],
        "time": pd.date_range("2024-03-15 14:30", periods=n, freq="ms", tz="UTC"),
        "exchange": 1, "price": 10.25 + (np.arange(n) % 7) / 100, "size": 100}}))

    def write():
        tarvik_engine.write_tape({str(tape)!r}, trades=trades, progress=False)
        return "written"

    write()  # Arrow's first casts are set up unlimited
    os.remove({str(tape)!r})
    outcomes = []
    for margin in [1, 2, 4, 8, 16, 32, 64]:
        outcomes.append(limited(margin, write))
        outcomes.append(sorted(os.listdir({str(tmp_path)!r})))
        if outcomes[-2] == "written":
            os.remove({str(tape)!r})
    print(json.dumps(outcomes))
    """)
    assert child.returncode == 0, child.stderr
    outcomes = json.loads(child.stdout)
    for outcome, left in zip(outcomes[::2], outcomes[1::2]):
        assert outcome in ("MemoryError", "RuntimeError", "written"), outcomes
        assert left == (["day.tape"] if outcome == "written" else []), outcomes
    assert outcomes[0] != "written" and outcomes[-2] == "written", outcomes


# On this build the last runs out of memory once its live tape is made and
# being written (the limit is well below the 180 MB it needs).
@pytest.mark.parametrize("limit_kb, symbols, options, live",
                         [(102400, 100000, 50, False), (102400, 100000, 50, True), (150000, 20000, 20, True)])
def test_the_tool_without_memory_says_so_and_leaves_nothing(tmp_path, limit_kb, symbols, options, live):
    """Also a live tape, written in place, that could not be finished."""
    import resource

    def limited():
        resource.setrlimit(resource.RLIMIT_AS, (limit_kb << 10, resource.RLIM_INFINITY))

    result = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", str(tmp_path / "big.tape"),
                             "--symbols", str(symbols), "--options-per-symbol", str(options), "--messages", "300000"]
                            + (["--live"] if live else []),
                            capture_output=True, text=True, preexec_fn=limited)
    assert (result.returncode, result.stderr) == (1, "tarvik-tape: out of memory\n")
    assert list(tmp_path.iterdir()) == []

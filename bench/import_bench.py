"""What `tarvik-tape import` costs, measured against reading the same file
with nothing else done, in one run:

  - vendor-style trades and quotes files of --rows rows each (symbol, time
    in epoch nanoseconds, exchange, decimal prices as text with 2 to 4
    decimals, sizes; trades also carry conditions), made here with a fixed
    seed as uncompressed CSV, Parquet (typed columns: timestamp[ns, UTC],
    float64 or decimal prices, int64 sizes) and, with --formats ...,zst,
    zstd-compressed CSV; made once and reused while they are kept (--keep);
  - the import of each file, run as a child process: wall time, rows per
    second, CPU time and the child's peak resident memory;
  - the floor, on the same file in the same run: for CSV an Arrow streaming
    read (every column as text) that drops its batches, and `wc -l`; for
    .zst the same Arrow read through the decompressor, and
    `zstd -dc FILE | wc -l`; for Parquet an Arrow read of the batches,
    dropped, without pre-buffering, and the same read pre-buffered as
    Arrow does by default (the whole file's column chunks at once, so its
    peak memory grows with the file). The Arrow floors run as child
    processes too, so their peak memory is comparable (it includes the
    interpreter and pyarrow).

The import reads its input once, converting as it reads, then writes the
tape from the converted rows; the floor is that one read. The goals (at least 5 M rows/s from CSV, 10 M rows/s from
Parquet, at most 256 MB peak memory at 100 M rows) are printed beside the
figures, never asserted. Run with scripts/bench, or:

    PYTHONPATH=build/release/python python3.14 bench/import_bench.py --rows 100_000_000
"""

import argparse
import os
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

# Bump when the generated files change, so cached ones are not reused.
GENERATOR_VERSION = 1
CHUNK_ROWS = 1 << 20
SESSION_START = np.datetime64("2024-03-15T13:30:00", "ns").astype(np.int64)  # 09:30 New York
SESSION_NANOS = int(6.5 * 3600 * 1e9)

COLUMNS = {
    "trades": ["symbol", "time", "exchange", "price", "size", "conditions"],
    "quotes": ["symbol", "time", "exchange", "bid", "bid_size", "ask", "ask_size"],
}
TOOL_OPTION = {"trades": "--trades", "quotes": "--quotes"}
FORMAT_NAMES = {"csv": "CSV", "parquet": "Parquet", "zst": "CSV .zst"}
GOAL_ROWS_PER_SECOND = {"csv": 5e6, "parquet": 10e6}
GOAL_PEAK_MB = 256
GOAL_ROWS = 100_000_000

EXCHANGES = np.array(list("QNPZKJYVXABMHUW"))
EXCHANGE_WEIGHTS = np.array([22, 14, 12, 9, 7, 6, 5, 5, 4, 4, 3, 3, 2, 2, 2], dtype=float)
CONDITIONS = np.array(["@", "@ F", "@ I", "@ F I", "@ T", "@ O", "F I", "Z"])
CONDITION_WEIGHTS = np.array([60, 14, 12, 5, 4, 2, 2, 1], dtype=float)
TRADE_SIZES = np.array([100, 200, 300, 400, 500, 1000, 2000, 5000])


# ---------------------------------------------------------------------------
# The files
# ---------------------------------------------------------------------------


class Universe:
    """The symbols of one seed: names, how busy each is, a price and the
    decimals its prices are written with."""

    def __init__(self, symbols, seed):
        rng = np.random.default_rng([seed, 0])
        names = []
        seen = set()
        letters = np.array(list("ABCDEFGHIJKLMNOPQRSTUVWXYZ"))
        while len(names) < symbols:
            length = int(rng.choice([1, 2, 3, 4, 5], p=[0.02, 0.08, 0.35, 0.45, 0.10]))
            name = "".join(rng.choice(letters, length))
            if name not in seen:
                seen.add(name)
                names.append(name)
        self.names = pa.array(names, pa.string())
        weights = 1.0 / np.arange(1, symbols + 1) ** 0.9
        self.weights = weights / weights.sum()
        self.price = np.clip(rng.lognormal(np.log(40.0), 1.2, symbols), 0.05, 3000.0)
        decimals = rng.choice([2, 3, 4], symbols, p=[0.8, 0.1, 0.1])
        self.decimals = np.where(self.price < 1.0, 4, decimals).astype(np.int64)


def decimal_text(ticks, decimals):
    """Integer ticks of 10^-decimals as text with exactly `decimals` decimals."""
    scale = 10**decimals
    whole = pc.cast(pa.array(ticks // scale), pa.string())
    # 10^d + fraction writes the fraction with its leading zeros after a "1".
    fraction = pc.utf8_slice_codeunits(pc.cast(pa.array(ticks % scale + scale), pa.string()), 1)
    return pc.binary_join_element_wise(whole, fraction, ".")


def decimal_array(ticks, decimals):
    """The same prices as decimal128(12, 4)."""
    units = ticks * 10 ** (4 - decimals)
    words = np.empty((len(units), 2), dtype=np.int64)
    words[:, 0] = units
    words[:, 1] = np.where(units < 0, -1, 0)
    return pa.Array.from_buffers(pa.decimal128(12, 4), len(units), [None, pa.py_buffer(words)])


def price_column(ticks, decimals, kind):
    if kind == "decimal":
        return decimal_array(ticks, decimals)
    return pa.array(ticks / 10.0**decimals, pa.float64())


def chunks(kind, rows, universe, seed, parquet_prices):
    """The file's rows, CHUNK_ROWS at a time: (table as CSV text, table as typed Parquet columns)."""
    rng = np.random.default_rng([seed, 1 if kind == "trades" else 2])
    mean_gap = SESSION_NANOS * 0.97 / rows
    last_time = SESSION_START
    done = 0
    while done < rows:
        n = min(CHUNK_ROWS, rows - done)
        symbol = rng.choice(len(universe.weights), n, p=universe.weights)
        times = last_time + np.cumsum(rng.exponential(mean_gap, n).astype(np.int64))
        last_time = int(times[-1])
        exchange = pa.array(rng.choice(EXCHANGES, n, p=EXCHANGE_WEIGHTS / EXCHANGE_WEIGHTS.sum()))
        decimals = universe.decimals[symbol]
        ticks = np.maximum(
            np.rint(universe.price[symbol] * 10.0**decimals * np.exp(rng.normal(0.0, 0.002, n))).astype(np.int64), 1
        )
        names = universe.names.take(pa.array(symbol))
        text = {"symbol": names, "time": pa.array(times), "exchange": exchange}
        typed = {
            "symbol": names,
            "time": pa.array(times.view("datetime64[ns]")).cast(pa.timestamp("ns", tz="UTC")),
            "exchange": exchange,
        }
        if kind == "trades":
            odd = rng.integers(1, 100, n)
            size = np.where(rng.random(n) < 0.35, odd, rng.choice(TRADE_SIZES, n))
            conditions = pa.array(rng.choice(CONDITIONS, n, p=CONDITION_WEIGHTS / CONDITION_WEIGHTS.sum()))
            text |= {"price": decimal_text(ticks, decimals), "size": pa.array(size), "conditions": conditions}
            typed |= {
                "price": price_column(ticks, decimals, parquet_prices),
                "size": pa.array(size),
                "conditions": conditions,
            }
        else:
            spread = rng.geometric(0.5, n)
            bid_size = rng.integers(1, 50, n) * 100
            ask_size = rng.integers(1, 50, n) * 100
            ask = ticks + spread
            text |= {
                "bid": decimal_text(ticks, decimals),
                "bid_size": pa.array(bid_size),
                "ask": decimal_text(ask, decimals),
                "ask_size": pa.array(ask_size),
            }
            typed |= {
                "bid": price_column(ticks, decimals, parquet_prices),
                "bid_size": pa.array(bid_size),
                "ask": price_column(ask, decimals, parquet_prices),
                "ask_size": pa.array(ask_size),
            }
        yield pa.table(text), pa.table(typed)
        done += n


class DataFiles:
    """The generated files of one rows-and-seed key, in their own folder."""

    def __init__(self, root, rows, seed, symbols, parquet_prices):
        self.folder = os.path.join(root, f"import-{rows}rows-seed{seed}-{symbols}symbols-v{GENERATOR_VERSION}")
        self.rows, self.seed, self.symbols, self.parquet_prices = rows, seed, symbols, parquet_prices
        self.made = []  # made by this run

    def path(self, kind, fmt):
        name = {"csv": f"{kind}.csv", "zst": f"{kind}.csv.zst", "parquet": f"{kind}-{self.parquet_prices}.parquet"}
        return os.path.join(self.folder, name[fmt])

    def ensure(self, kinds, formats):
        """Makes the files that are missing; answers seconds spent."""
        os.makedirs(self.folder, exist_ok=True)
        start = time.perf_counter()
        universe = None
        for kind in kinds:
            missing = [fmt for fmt in formats if not os.path.exists(self.path(kind, fmt))]
            if not missing:
                continue
            universe = universe or Universe(self.symbols, self.seed)
            self.write(kind, missing, universe)
        return time.perf_counter() - start

    def write(self, kind, formats, universe):
        partial = {fmt: self.path(kind, fmt) + ".partial" for fmt in formats}
        header = (",".join(COLUMNS[kind]) + "\n").encode()
        sinks, writers = {}, {}
        no_header = pa_csv.WriteOptions(include_header=False, quoting_style="none")
        try:
            for fmt in formats:
                if fmt == "parquet":
                    continue
                sink = pa.output_stream(partial[fmt], compression="zstd" if fmt == "zst" else None)
                sink.write(header)  # unquoted, as vendors write it
                sinks[fmt] = sink
            for text, typed in chunks(kind, self.rows, universe, self.seed, self.parquet_prices):
                for fmt, sink in sinks.items():
                    pa_csv.write_csv(text, sink, write_options=no_header)
                if "parquet" in formats:
                    if "parquet" not in writers:
                        writers["parquet"] = pq.ParquetWriter(partial["parquet"], typed.schema)
                    writers["parquet"].write_table(typed)
        except BaseException:
            for sink in sinks.values():
                sink.close()
            for writer in writers.values():
                writer.close()
            for path in partial.values():
                if os.path.exists(path):
                    os.remove(path)
            raise
        for sink in sinks.values():
            sink.close()
        for writer in writers.values():
            writer.close()
        for fmt in formats:
            os.replace(partial[fmt], self.path(kind, fmt))
            self.made.append(self.path(kind, fmt))

    def remove_made(self):
        for path in self.made:
            os.remove(path)
        if not os.listdir(self.folder):
            os.rmdir(self.folder)


# ---------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------


class Run:
    """One child process: wall seconds, peak resident MB, CPU seconds, what it printed."""

    def __init__(self, seconds, peak_mb, cpu, output):
        self.seconds, self.peak_mb, self.cpu, self.output = seconds, peak_mb, cpu, output


# Starts the command and reports its wall time, exit code and resource use.
# Linux counts the memory of the process that starts a program into the
# program's peak (ru_maxrss): started from this process, which holds pyarrow
# and the generator's arrays, every child would read as at least this big.
# The launcher is a bare interpreter of a few MB.
LAUNCHER = """
import os, sys, time
start = time.perf_counter()
pid = os.posix_spawnp(sys.argv[2], sys.argv[2:], os.environ)
_, status, usage = os.wait4(pid, 0)
seconds = time.perf_counter() - start
with open(sys.argv[1], "w") as report:
    report.write(f"{seconds} {os.waitstatus_to_exitcode(status)} {usage.ru_maxrss} {usage.ru_utime + usage.ru_stime}")
"""


def run_child(argv):
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile(mode="r") as report:
        subprocess.run([sys.executable, "-I", "-S", "-c", LAUNCHER, report.name, *argv], stdout=out, stderr=err,
                       check=True)
        seconds, code, peak_kb, cpu = report.read().split()
        out.seek(0)
        err.seek(0)
        if int(code) != 0:
            sys.exit(f"import_bench: {' '.join(argv)} failed ({code}):\n{err.read().decode(errors='replace')}")
        return Run(float(seconds), int(peak_kb) / 1024, float(cpu), out.read().decode())


def warm(path):
    """Reads the file through once so every timed run finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def read_only(kind, how, path):
    """The floor, run in a child: reads the file, drops the batches, prints seconds and rows."""
    start = time.perf_counter()
    rows = 0
    if how.startswith("parquet"):
        # Arrow pre-buffers by default, and for every row group asked for at
        # once: the whole file's column chunks come into memory.
        parquet = pq.ParquetFile(path, pre_buffer=how == "parquet-pre-buffered")
        for batch in parquet.iter_batches(batch_size=64 * 1024, use_threads=True):
            rows += batch.num_rows
    else:
        source = pa.input_stream(path, compression="zstd" if how == "zst" else None)
        reader = pa_csv.open_csv(
            source,
            read_options=pa_csv.ReadOptions(use_threads=True, block_size=1 << 20),
            convert_options=pa_csv.ConvertOptions(
                column_types={name: pa.string() for name in COLUMNS[kind]},
                check_utf8=False,
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
        for batch in reader:
            rows += batch.num_rows
    print(time.perf_counter() - start, rows)


def floors(kind, fmt, path):
    """The floors of a file: name -> a function that measures once and
    answers the Run, the seconds of the read and the rows it found. The
    first is the floor the import is held against."""
    def arrow(how=fmt):
        def measure():
            run = run_child([sys.executable, os.path.abspath(__file__), "--read-only", kind, how, path])
            seconds, rows = run.output.split()
            return run, float(seconds), int(rows)

        return measure

    def lines(command):
        def measure():
            run = run_child(["/bin/sh", "-c", command])
            return run, run.seconds, int(run.output.split()[0]) - 1

        return measure

    quoted = shlex.quote(path)
    if fmt == "parquet":
        return {"Arrow Parquet read": arrow(), "Arrow read, pre-buffered": arrow("parquet-pre-buffered")}
    if fmt == "csv":
        return {"Arrow CSV read": arrow(), "wc -l": lines(f"wc -l {quoted}")}
    found = {"Arrow CSV read through zstd": arrow()}
    if shutil.which("zstd"):
        found["zstd -dc | wc -l"] = lines(f"zstd -dc {quoted} | wc -l")
    return found


def import_run(tool, kind, path, tape):
    run = run_child([tool, "import", TOOL_OPTION[kind], path, "-o", tape])
    size = os.path.getsize(tape)
    os.remove(tape)
    return run, size


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


def default_tool():
    try:
        import tarvik_engine
    except ImportError:
        sys.exit("import_bench: give --tool, or run with PYTHONPATH=build/release/python")
    return tarvik_engine.tape_tool_path()


def megabytes(n):
    return n / 1e6


# ---------------------------------------------------------------------------
# The report
# ---------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=lambda s: int(s.replace("_", "")), default=10_000_000,
                        help="rows of each file (default 10_000_000; the goals are for 100_000_000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the generated files")
    parser.add_argument("--symbols", type=int, default=2000, help="symbols in the generated files")
    parser.add_argument("--formats", default="csv,parquet", help="of csv, parquet, zst (default csv,parquet)")
    parser.add_argument("--kinds", default="trades,quotes", help="of trades, quotes (default both)")
    parser.add_argument("--parquet-prices", choices=["float64", "decimal"], default="float64",
                        help="Parquet price columns: float64 (default) or decimal128(12, 4)")
    parser.add_argument("--repeat", type=int, default=1, help="rounds; each measures everything once, the best counts")
    parser.add_argument("--keep", action="store_true",
                        help="keep the files made here: the next run of the same rows and seed skips making them")
    parser.add_argument("--data-dir", default="/tmp/tarvik-bench", help="where the files and tapes go")
    parser.add_argument("--tool", help="tarvik-tape (default: tarvik_engine.tape_tool_path())")
    parser.add_argument("--read-only", nargs=3, metavar=("KIND", "HOW", "FILE"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.read_only:
        read_only(*args.read_only)
        return

    formats = [f for f in args.formats.split(",") if f]
    kinds = [k for k in args.kinds.split(",") if k]
    for fmt in formats:
        if fmt not in FORMAT_NAMES:
            parser.error(f"--formats: unknown format {fmt!r} (csv, parquet, zst)")
    for kind in kinds:
        if kind not in COLUMNS:
            parser.error(f"--kinds: unknown kind {kind!r} (trades, quotes)")
    tool = args.tool or default_tool()
    if not os.access(tool, os.X_OK):
        sys.exit(f"import_bench: {tool}: no tape tool there (build the release preset, or give --tool)")

    data = DataFiles(args.data_dir, args.rows, args.seed, args.symbols, args.parquet_prices)
    os.makedirs(args.data_dir, exist_ok=True)
    # A row takes about 50 bytes of CSV, 16 of Parquet, 20 of .zst; an event
    # 80 bytes of tape (one tape at a time, removed once measured).
    need = args.rows * len(kinds) * (50 * ("csv" in formats) + 16 * ("parquet" in formats) + 20 * ("zst" in formats))
    need += args.rows * 80
    free = shutil.disk_usage(args.data_dir).free
    if free < need:
        sys.exit(f"import_bench: {args.data_dir} has {free / 1e9:.1f} GB free; {args.rows:,} rows need about "
                 f"{need / 1e9:.1f} GB")

    print(f"import of {args.rows:,} rows a file, seed {args.seed}, {args.symbols} symbols; "
          f"Python {sys.version.split()[0]}, pyarrow {pa.__version__}, {processor()}, {os.cpu_count()} cores")
    print(f"tool {tool}")
    print(f"a child's peak memory reads at least {run_child(['true']).peak_mb:.0f} MB (its launcher's own)")
    print("load average at the start {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    try:
        generated = data.ensure(kinds, formats)
        how = f"made in {generated:.1f} s" if data.made else "found, made by an earlier run"
        print(f"files in {data.folder} ({how})")
        measure(args, tool, data, kinds, formats)
    finally:
        if args.keep:
            print(f"kept {data.folder}")
        else:
            data.remove_made()


def measure(args, tool, data, kinds, formats):
    cases = [(kind, fmt, data.path(kind, fmt)) for kind in kinds for fmt in formats]
    results = {}
    # The machine's speed drifts over minutes, so every round measures
    # every case once: drift then moves all figures alike.
    for _ in range(args.repeat):
        for kind, fmt, path in cases:
            # Dirty pages left by the generator or an earlier tape would
            # be written back during the run and slow it down.
            os.sync()
            warm(path)
            entry = results.setdefault((kind, fmt), {"import": [], "floors": {}})
            tape = os.path.join(data.folder, f"{kind}-{fmt}.tape")
            run, tape_size = import_run(tool, kind, path, tape)
            entry["import"].append(run)
            entry["tape"] = tape_size
            for name, floor in floors(kind, fmt, path).items():
                run, seconds, rows = floor()
                if rows != args.rows:
                    sys.exit(f"import_bench: {name} of {path} found {rows:,} rows, not {args.rows:,}")
                entry["floors"].setdefault(name, []).append((run, seconds))

    def rate(seconds):
        return args.rows / seconds / 1e6

    width = 36
    print()
    print(f"{'best of ' + str(args.repeat):<{width}} {'seconds':>8} {'M rows/s':>9} {'peak MB':>8} {'CPU s':>7}")
    summary = []
    for kind, fmt, path in cases:
        entry = results[(kind, fmt)]
        ours = min(entry["import"], key=lambda r: r.seconds)
        print(f"{kind}, {FORMAT_NAMES[fmt]} ({megabytes(os.path.getsize(path)):,.0f} MB; "
              f"tape {megabytes(entry['tape']):,.0f} MB)")
        spread = ""
        if args.repeat > 1:
            times = [r.seconds for r in entry["import"]]
            spread = f"   median {statistics.median(times):.2f} s, up to {max(times):.2f}"
        print(f"  {'tarvik-tape import':<{width - 2}} {ours.seconds:8.2f} {rate(ours.seconds):9.2f} "
              f"{ours.peak_mb:8.0f} {ours.cpu:7.2f}{spread}")
        for name, runs in entry["floors"].items():
            run, seconds = min(runs, key=lambda r: r[1])
            peak = f"{run.peak_mb:8.0f}" if name.startswith("Arrow") else f"{'':8}"
            print(f"  {'floor: ' + name:<{width - 2}} {seconds:8.2f} {rate(seconds):9.2f} {peak} {run.cpu:7.2f}"
                  f"   import / floor {ours.seconds / seconds:5.2f}")
        summary.append((kind, fmt, ours))

    print()
    scale = "" if args.rows == GOAL_ROWS else f" (the memory goal is for {GOAL_ROWS:,} rows; this run has {args.rows:,})"
    print(f"against the goals{scale}")
    for kind, fmt, ours in summary:
        goal = GOAL_ROWS_PER_SECOND.get(fmt)
        rows_per_second = rate(ours.seconds)
        if goal:
            verdict = "met" if rows_per_second * 1e6 >= goal else f"{rows_per_second * 1e6 / goal:.2f} of it"
            speed = f"{rows_per_second:6.2f} M rows/s, goal at least {goal / 1e6:.0f} M: {verdict}"
        else:
            speed = f"{rows_per_second:6.2f} M rows/s, no goal set"
        memory = "met" if ours.peak_mb <= GOAL_PEAK_MB else "over"
        print(f"  {kind + ', ' + FORMAT_NAMES[fmt]:<18} {speed:<48}   peak {ours.peak_mb:5.0f} MB, "
              f"goal at most {GOAL_PEAK_MB}: {memory}")
    load = os.getloadavg()
    busy = " (above the cores: other work shared the machine)" if max(load) > os.cpu_count() else ""
    print(f"load average at the end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}{busy}")
    if "zst" in formats and not shutil.which("zstd"):
        print("no zstd command here: the .zst floor is the Arrow read through zstd alone")


if __name__ == "__main__":
    main()

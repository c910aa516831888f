"""Importing vendor data: files (CSV, gzip, zstd, Parquet) through the tape
tool and tables through tarvik_engine.write_tape. A day written by the
importer and replayed shows exactly the input's values; bad input is an
error naming the file, row and column, and writes nothing."""

import datetime
import gzip
import os
import random
import re
import signal
import subprocess
import time
import zoneinfo
from decimal import Decimal
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

from conftest import needs_arrow

pytestmark = needs_arrow

NY = zoneinfo.ZoneInfo("America/New_York")
UTC = datetime.timezone.utc
SYMBOLS = {"IBM": 15000, "MSFT": 41000}  # mid prices in cents


def tool(*args):
    return subprocess.run([tarvik_engine.tape_tool_path(), *map(str, args)], capture_output=True, text=True)


def import_files(*args):
    result = tool("import", *args)
    assert result.returncode == 0, result.stderr
    return result


def cents(value):
    return f"{value // 100}.{value % 100:02d}"


def vendor_day(rows=300, seed=3):
    """Quotes and trades of two symbols on four exchanges, in time order, with
    nanosecond epoch times on 2024-03-15 in New York. Some trades share their
    time with a quote; some prices have three decimals."""
    rng = random.Random(seed)
    ns = int(datetime.datetime(2024, 3, 15, 9, 30, tzinfo=NY).timestamp()) * 10**9
    quotes, trades = [], []
    for _ in range(rows):
        ns += rng.randrange(1, 3 * 10**9)
        symbol = rng.choice(list(SYMBOLS))
        exchange = rng.randrange(1, 5)
        mid = SYMBOLS[symbol] + rng.randrange(-50, 50)
        if rng.random() < 0.7:
            quotes.append({"symbol": symbol, "time": ns, "exchange": exchange,
                           "bid": cents(mid - rng.randrange(1, 5)), "bid_size": 100 * rng.randrange(1, 40) + exchange,
                           "ask": cents(mid + rng.randrange(1, 5)), "ask_size": 100 * rng.randrange(1, 40) + exchange})
        else:
            price = cents(mid) + ("5" if rng.random() < 0.2 else "")
            tied = quotes and rng.random() < 0.2
            trades.append({"symbol": symbol, "time": quotes[-1]["time"] if tied else ns,
                           "exchange": exchange, "price": price, "size": rng.randrange(1, 1000)})
    trades.sort(key=lambda t: t["time"])
    return quotes, trades


def csv_text(rows, columns=None):
    columns = columns or list(rows[0])
    return ",".join(columns) + "\n" + "".join(",".join(str(r[c]) for c in columns) + "\n" for r in rows)


def micros_of_day(ns):
    local = datetime.datetime.fromtimestamp(ns // 10**9, NY)
    return (local.hour * 3600 + local.minute * 60 + local.second) * 10**6 + ns % 10**9 // 1000


def expected_replay(quotes, trades):
    """What a replay shows, computed here: messages in time order (quotes
    before trades at equal times) with the NBBO after each quote and the
    running totals after each trade."""
    events = sorted([(q["time"], 0, i, q) for i, q in enumerate(quotes)] +
                    [(t["time"], 1, i, t) for i, t in enumerate(trades)], key=lambda e: e[:3])
    books, totals, out = {}, {}, []
    for ns, kind, _, row in events:
        symbol = row["symbol"]
        if kind == 0:
            book = books.setdefault(symbol, {})
            book[row["exchange"]] = row
            best_bid = max(book.values(), key=lambda q: (Decimal(q["bid"]), q["bid_size"]))
            best_ask = min(book.values(), key=lambda q: (Decimal(q["ask"]), -q["ask_size"]))
            out.append(("quote", symbol, micros_of_day(ns), row["exchange"], Decimal(row["bid"]), row["bid_size"],
                        Decimal(row["ask"]), row["ask_size"], Decimal(best_bid["bid"]), best_bid["exchange"],
                        Decimal(best_ask["ask"]), best_ask["exchange"]))
        else:
            price = Decimal(row["price"])
            o, h, lo, volume = totals.get(symbol, (price, price, price, 0))
            totals[symbol] = (o, max(h, price), min(lo, price), volume + row["size"])
            out.append(("trade", symbol, micros_of_day(ns), row["exchange"], price, row["size"],
                        *totals[symbol]))
    return out


def replay(tape):
    """What the module shows of each quote and trade, prices as decimals."""
    seen = []

    def value(price, price_type):
        return Decimal(Tarvik.PriceFormat(price, price_type))

    def keep(system, message):
        header = message.coreHeader
        if message.MessageType == Tarvik.TqMSG_EXGQUOTE:
            q = message.coreData.ExgQuote
            c = q.coreQuote
            pt = c.PriceType
            seen.append(("quote", header.ptqStringSymbol.String, message.ptarvik3Ext.MicrosOfDaySRC,
                         header.ReportingExg, value(c.BidPrice, pt), c.BidSize, value(c.AskPrice, pt), c.AskSize,
                         value(q.BestBidPrice, pt), q.BestBidExg, value(q.BestAskPrice, pt), q.BestAskExg))
        elif message.MessageType == Tarvik.TqMSG_TRADE:
            t = message.coreData.Trade
            pt = t.PriceType
            seen.append(("trade", header.ptqStringSymbol.String, message.ptarvik3Ext.MicrosOfDaySRC,
                         header.ReportingExg, value(t.Price, pt), t.Size, value(t.Open, pt), value(t.High, pt),
                         value(t.Low, pt), t.TotalVolume))
        return 0

    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, keep) == 0
    return seen


@pytest.fixture(scope="module")
def day():
    return vendor_day()


@pytest.fixture
def csv_day(tmp_path, day):
    quotes, trades = day
    (tmp_path / "quotes.csv").write_text(csv_text(quotes))
    (tmp_path / "trades.csv").write_text(csv_text(trades))
    tape = tmp_path / "csv.tape"
    import_files("--quotes", tmp_path / "quotes.csv", "--trades", tmp_path / "trades.csv", "-o", tape,
                 "--time-zone", "America/New_York")
    return tape


def test_a_vendor_day_replays_exactly(loaded, day, csv_day):
    assert replay(csv_day) == expected_replay(*day)


def test_the_session_day_and_time_zone_come_from_the_events(loaded, csv_day):
    def header(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            date = message.coreHeader.tqSessionDate
            seen.append((date.Year, date.Month, date.Day, message.coreHeader.tqExgTimestamp.TimeZone))
            return 1
        return 0

    seen = []
    Tarvik.ProcessTape(str(csv_day), 0, 0, 0, header)
    assert seen[0] == (2024, 3, 15, -4)


def write_source(kind, tmp_path, quotes, trades):
    """The day as another source: returns the import's arguments for the
    tape tool, or a callable that writes the tape through write_tape."""
    if kind in ("gz", "zst"):
        def compress(name, text):
            path = tmp_path / f"{name}.csv.{kind}"
            if kind == "gz":
                path.write_bytes(gzip.compress(text.encode()))
            else:
                from compression import zstd
                path.write_bytes(zstd.compress(text.encode()))
            return path
        return ["--quotes", compress("quotes", csv_text(quotes)), "--trades", compress("trades", csv_text(trades))]
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")

    def frame(rows, prices):
        df = pd.DataFrame(rows)
        df["time"] = pd.to_datetime(df["time"], unit="ns", utc=True)
        for column in prices:
            # float32 prices are the numbers written, not the nearest doubles
            df[column] = df[column].astype("float32" if kind == "float32" else float)
        return df

    q, t = frame(quotes, ["bid", "ask"]), frame(trades, ["price"])
    if kind == "parquet":
        import pyarrow.parquet as pq
        pq.write_table(pa.Table.from_pandas(q, preserve_index=False), tmp_path / "quotes.parquet")
        pq.write_table(pa.Table.from_pandas(t, preserve_index=False), tmp_path / "trades.parquet", row_group_size=50)
        return ["--quotes", tmp_path / "quotes.parquet", "--trades", tmp_path / "trades.parquet"]
    if kind == "parquet-delta":
        # texts in the delta encodings of Parquet's version 2 writers (Spark's)
        import pyarrow.parquet as pq
        pq.write_table(pa.Table.from_pandas(q, preserve_index=False), tmp_path / "quotes.parquet",
                       use_dictionary=False, column_encoding={"symbol": "DELTA_BYTE_ARRAY"})
        pq.write_table(pa.Table.from_pandas(t, preserve_index=False), tmp_path / "trades.parquet", row_group_size=50,
                       use_dictionary=["time"], column_encoding={"symbol": "DELTA_LENGTH_BYTE_ARRAY"})
        return ["--quotes", tmp_path / "quotes.parquet", "--trades", tmp_path / "trades.parquet"]
    if kind in ("dataframe", "float32"):
        return lambda path: tarvik_engine.write_tape(path, quotes=q, trades=t, time_zone=NY)
    if kind == "indexed":
        # index levels named as columns are columns; an unnamed level, or one
        # of another name (a row id), is not
        trades_indexed = t.set_index(["symbol", "time", t.index.rename(None), t.index.rename("row_id")])
        return lambda path: tarvik_engine.write_tape(path, quotes=q.set_index("time"), trades=trades_indexed,
                                                     time_zone=NY)
    if kind == "categorical":
        # texts as categories (int8 indexes), and as a dictionary with int32 indexes
        q["symbol"] = q["symbol"].astype("category")
        q["exchange"] = q["exchange"].astype(str).astype("category")
        trades_table = pa.Table.from_pandas(t, preserve_index=False)
        at = trades_table.schema.get_field_index("symbol")
        trades_table = trades_table.set_column(at, "symbol", trades_table["symbol"].dictionary_encode())
        return lambda path: tarvik_engine.write_tape(path, quotes=q, trades=trades_table, time_zone=NY)
    if kind == "views":
        # what polars hands over through the stream interface: texts as views,
        # categories as views under uint32 indexes
        class Stream:
            def __init__(self, table):
                self.table = table

            def __arrow_c_stream__(self, requested_schema=None):
                return self.table.__arrow_c_stream__(requested_schema)

        def viewed(df):
            table = pa.Table.from_pandas(df, preserve_index=False)
            for at, field in enumerate(table.schema):
                if field.name == "symbol":
                    codes, texts = pc.unique(table[at]), table[at]
                    indexes = pc.index_in(texts, value_set=codes).cast(pa.uint32())
                    column = pa.DictionaryArray.from_arrays(indexes.combine_chunks(), codes.cast(pa.string_view()))
                    table = table.set_column(at, field.name, column)
                elif pa.types.is_string(field.type) or field.name == "exchange":
                    table = table.set_column(at, field.name, table[at].cast(pa.string()).cast(pa.string_view()))
            return Stream(table)

        import pyarrow.compute as pc
        return lambda path: tarvik_engine.write_tape(path, quotes=viewed(q), trades=viewed(t), time_zone=NY)
    if kind == "reader":
        return lambda path: tarvik_engine.write_tape(path, quotes=pa.Table.from_pandas(q).to_reader(),
                                                     trades=pa.RecordBatchReader.from_batches(
                                                         pa.Schema.from_pandas(t, preserve_index=False),
                                                         pa.Table.from_pandas(t, preserve_index=False).to_batches(40)),
                                                     time_zone="America/New_York")
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["gz", "zst", "parquet", "parquet-delta", "dataframe", "float32", "indexed", "categorical", "views",
                                  "reader"])
def test_every_source_writes_the_same_tape(tmp_path, day, csv_day, kind):
    source = write_source(kind, tmp_path, *day)
    tape = tmp_path / f"{kind}.tape"
    if callable(source):
        assert source(tape) == [tape]
    else:
        import_files(*source, "-o", tape, "--time-zone", "America/New_York")
    assert tape.read_bytes() == csv_day.read_bytes()


@pytest.mark.parametrize("times, options", [
    (lambda ns: ns, []),
    (lambda ns: ns // 1000, ["--time-unit", "us"]),
    (lambda ns: f"{ns // 10**9}.{ns % 10**9:09d}", []),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, UTC).strftime("%Y-%m-%dT%H:%M:%S") +
     f".{ns % 10**9:09d}Z", []),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, NY).isoformat(timespec="seconds").replace(
        "-04:00", f".{ns % 10**9 // 1000:06d}-04:00"), []),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, NY).strftime("%H:%M:%S") + f".{ns % 10**9 // 1000:06d}",
     ["--date", "2024-03-15"]),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, UTC).strftime("%Y-%m-%d %H:%M:%S") +
     f".{ns % 10**9 // 1000:06d} UTC", []),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, NY).strftime("%Y-%m-%d %H:%M:%S") +
     f".{ns % 10**9:09d} -04:00", []),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, NY).strftime("%Y%m%dT%H%M%S") +
     f".{ns % 10**9 // 1000:06d}-0400", []),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, NY).strftime("%H:%M:%S").lstrip("0") +
     f".{ns % 10**9 // 1000:06d}", ["--date", "2024-03-15"]),
    (lambda ns: datetime.datetime.fromtimestamp(ns // 10**9, NY).strftime("%H%M%S") + f"{ns % 10**9:09d}",
     ["--date", "2024-03-15", "--time-unit", "hhmmss"]),
], ids=["epoch-ns", "epoch-us", "epoch-seconds-fraction", "iso-z", "iso-offset", "time-of-day", "space-utc",
        "space-offset", "iso-basic", "time-of-day-one-digit-hour", "clock-digits"])
def test_time_formats_give_the_same_tape(tmp_path, day, csv_day, times, options):
    quotes, trades = ([dict(r, time=times(r["time"])) for r in rows] for rows in day)
    (tmp_path / "q.csv").write_text(csv_text(quotes))
    (tmp_path / "t.csv").write_text(csv_text(trades))
    tape = tmp_path / "times.tape"
    import_files("--quotes", tmp_path / "q.csv", "--trades", tmp_path / "t.csv", "-o", tape,
                 "--time-zone", "America/New_York", *options)
    assert tape.read_bytes() == csv_day.read_bytes()


@pytest.mark.parametrize("column", ["float64-seconds", "decimal-seconds", "float64-milliseconds"])
def test_typed_epoch_times_with_a_fraction_read_as_their_text(tmp_path, column):
    import pyarrow
    seconds = ["1710509400.123456", "1710509401.5", "1710509402"]
    text = "symbol,time,exchange,price,size\n" + "".join(f"X,{s},1,10,1\n" for s in seconds)
    (tmp_path / "t.csv").write_text(text)
    import_files("--trades", tmp_path / "t.csv", "-o", tmp_path / "text.tape")
    times = {"float64-seconds": pyarrow.array([float(s) for s in seconds]),
             "decimal-seconds": pyarrow.array([Decimal(s) for s in seconds], pyarrow.decimal128(16, 6)),
             "float64-milliseconds": pyarrow.array([float(Decimal(s) * 1000) for s in seconds])}[column]
    table = pyarrow.table({"symbol": ["X"] * 3, "time": times, "exchange": [1] * 3, "price": [10] * 3, "size": [1] * 3})
    tape = tarvik_engine.write_tape(tmp_path / "typed.tape", trades=table,
                                    time_unit="ms" if "milli" in column else None)[0]
    assert tape.read_bytes() == (tmp_path / "text.tape").read_bytes()


def test_columns_are_found_by_name_in_any_order_and_renamed(tmp_path, day, csv_day):
    quotes, trades = day
    vendor = [{"px_ask": q["ask"], "sym": q["symbol"], **{k: v for k, v in q.items() if k not in ("ask", "symbol")}}
              for q in quotes]
    (tmp_path / "q.csv").write_text(csv_text(vendor, ["ask_size", "px_ask", "time", "sym", "bid", "exchange",
                                                      "bid_size"]))
    (tmp_path / "t.csv").write_text(csv_text([dict(t, venue_id="x") for t in trades]))
    tape = tmp_path / "renamed.tape"
    import_files("--quotes", tmp_path / "q.csv", "--trades", tmp_path / "t.csv", "-o", tape, "--time-zone",
                 "America/New_York", "--rename", "PX_ASK = ask, sym=symbol", "--ignore-extra-columns")
    assert tape.read_bytes() == csv_day.read_bytes()


def per_symbol_files(tmp_path, day, how):
    """The day's trades as a vendor gives them: one file per symbol, without
    the symbol and exchange columns (all on exchange 3)."""
    _, trades = day
    paths = {}
    for symbol in SYMBOLS:
        rows = [{"ts": t["time"], "price": t["price"], "qty": t["size"]} for t in trades if t["symbol"] == symbol]
        path = tmp_path / f"{symbol}.csv"
        path.write_text(csv_text(rows))
        if how == "gz":
            path = path.with_suffix(".csv.gz")
            path.write_bytes(gzip.compress((tmp_path / f"{symbol}.csv").read_bytes()))
        elif how in ("parquet", "dataframe"):
            import pandas
            import pyarrow.parquet as pq
            frame = pandas.DataFrame(rows).astype({"price": "float64"})
            if how == "dataframe":
                paths[symbol] = frame
                continue
            path = path.with_suffix(".parquet")
            pq.write_table(pyarrow_table(frame), path)
        paths[symbol] = path
    return paths


def pyarrow_table(frame):
    import pyarrow
    return pyarrow.Table.from_pandas(frame, preserve_index=False)


@pytest.mark.parametrize("how", ["csv", "gz", "parquet", "dataframe"])
def test_constant_columns_fill_what_a_vendor_file_lacks(loaded, tmp_path, day, how):
    _, trades = day
    files = per_symbol_files(tmp_path, day, how)
    tapes = {}
    for symbol, source in files.items():
        tape = tmp_path / f"{symbol}.tape"
        if how == "dataframe":
            tarvik_engine.write_tape(tape, trades=source, rename={"ts": "time", "qty": "size"},
                                     constants={"symbol": symbol, "exchange": 3}, time_zone="America/New_York")
        else:
            import_files("--trades", source, "-o", tape, "--rename", "ts=time,qty=size", "--constant",
                         f"symbol={symbol}", "--constant", "exchange=3", "--time-zone", "America/New_York")
        tapes[symbol] = tape
    for symbol, tape in tapes.items():
        mine = [dict(t, exchange=3) for t in trades if t["symbol"] == symbol]
        assert [m for m in replay(tape)] == expected_replay([], mine)


@pytest.mark.parametrize("zone, name", [
    (datetime.timezone.utc, "UTC"),
    (datetime.timezone(datetime.timedelta(hours=-5)), "Etc/GMT+5"),
    (datetime.timezone(datetime.timedelta(hours=9)), "Etc/GMT-9"),
    (zoneinfo.ZoneInfo("Asia/Tokyo"), "Asia/Tokyo"),
])
def test_a_time_zone_given_as_an_object_is_the_zone_of_its_name(tmp_path, zone, name):
    pd = pytest.importorskip("pandas")
    trades = pd.DataFrame({"symbol": ["X", "X"], "time": ["09:30:00.000001", "15:59:59.5"],
                           "exchange": [1, 1], "price": [10.5, 10.25], "size": [5, 6]})
    tables = []
    for given in (zone, name):
        tape = tmp_path / f"{len(tables)}.tape"
        tarvik_engine.write_tape(tape, trades=trades, date="2024-03-15", time_zone=given)
        tables.append(tarvik_engine.read_tape(tape, kinds="trades", time_zone="UTC")["trades"])
    assert tables[0].equals(tables[1])
    with pytest.raises(ValueError, match=r"^time_zone: the fixed offset UTC\+05:30 is no whole hours"):
        tarvik_engine.write_tape(tmp_path / "india.tape", trades=trades, date="2024-03-15",
                                 time_zone=datetime.timezone(datetime.timedelta(hours=5, minutes=30)))


@pytest.mark.parametrize("form", ["timedelta", "duration[us]", "time64[ns]", "time32[ms]"])
def test_typed_times_of_day_are_read_on_the_date(tmp_path, form):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    texts = ["09:30:00.001", "12:00:00.25", "15:59:59.999"]
    trades = pd.DataFrame({"symbol": ["X"] * 3, "time": texts, "exchange": [1] * 3, "price": [10.5, 10.25, 10.0],
                           "size": [5, 6, 7]})
    if form == "timedelta":
        typed = trades.assign(time=pd.to_timedelta(texts))
    else:
        offsets = [int(pd.Timedelta(text).value) for text in texts]  # nanoseconds since midnight
        arrays = {"duration[us]": pa.array([n // 1000 for n in offsets], pa.duration("us")),
                  "time64[ns]": pa.array(offsets, pa.time64("ns")),
                  "time32[ms]": pa.array([n // 10**6 for n in offsets], pa.time32("ms"))}
        typed = pa.Table.from_pandas(trades, preserve_index=False).set_column(1, "time", arrays[form])
    tables = []
    for given in (trades, typed):
        tape = tmp_path / f"{len(tables)}.tape"
        tarvik_engine.write_tape(tape, trades=given, date="2024-03-15", time_zone="America/New_York")
        tables.append(tarvik_engine.read_tape(tape, kinds="trades")["trades"])
    assert tables[0].equals(tables[1])
    late = typed.assign(time=pd.to_timedelta(["09:30:00", "23:59:59", "24:00:00"])) if form == "timedelta" else None
    if late is not None:
        with pytest.raises(ValueError, match=r"^trades:3: column 'time': time of day out of range"):
            tarvik_engine.write_tape(tmp_path / "late.tape", trades=late, date="2024-03-15")


# Trades of two days either side of the clocks going forward in New York
# (2024-03-10): the day and the time of day in columns of their own, and the
# same instants written whole.
SPLIT_DAYS = [("2024-03-08", "09:30:00.000250", "2024-03-08T09:30:00.000250-05:00"),
              ("2024-03-08", "15:59:59.5", "2024-03-08T20:59:59.5Z"),
              ("2024-03-11", "9:30:00", "2024-03-11T09:30:00-04:00"),
              ("2024-03-11", "16:00:00.000001", "2024-03-11T20:00:00.000001Z")]


def split_date(text, form):
    y, m, d = text.split("-")
    return {"iso": text, "compact": y + m + d, "float-written": y + m + d + ".0", "mdy": f"{int(m)}/{d}/{y}", "dmy": f"{d}.{m}.{y}",
            "dmy-dashes": f"{d}-{m}-{y}", "year-slashes": f"{y}/{m}/{d}", "midnight-text": text + " 00:00:00.000"}[form]


def split_day_tables(tmp_path, name, **inputs):
    paths = tarvik_engine.write_tape(tmp_path / (name + "-{date}.tape"), time_zone="America/New_York",
                                     progress=False, **inputs)
    return [tarvik_engine.read_tape(p, kinds="trades")["trades"] for p in paths]


@pytest.mark.parametrize("form", ["iso", "compact", "float-written", "mdy", "dmy", "dmy-dashes", "year-slashes", "midnight-text",
                                  "parquet-int", "date32", "midnight", "categorical", "index"])
def test_a_date_column_places_each_rows_time_of_day(loaded, tmp_path, form):
    pd = pytest.importorskip("pandas")
    rows = [{"Date": day, "Time": clock, "symbol": "X", "exchange": 1, "price": 10.5 + k, "size": 5 + k}
            for k, (day, clock, _) in enumerate(SPLIT_DAYS)]
    whole = [{"time": instant, **{k: v for k, v in r.items() if k not in ("Date", "Time")}}
             for r, (_, _, instant) in zip(rows, SPLIT_DAYS)]
    expected = split_day_tables(tmp_path, "whole", trades=pd.DataFrame(whole))
    frame = pd.DataFrame(rows)
    options = {}
    if form in ("iso", "compact", "float-written", "mdy", "dmy", "dmy-dashes", "year-slashes", "midnight-text"):
        path = tmp_path / "split.csv"
        path.write_text(csv_text([dict(r, Date=split_date(r["Date"], form)) for r in rows]))
        given = path
        options = {"date_order": form[:3]} if form.startswith(("mdy", "dmy")) else {}
    elif form == "parquet-int":
        given = tmp_path / "split.parquet"
        frame.assign(Date=frame.Date.str.replace("-", "").astype("int32")).to_parquet(given)
    elif form == "date32":
        given = frame.assign(Date=[datetime.date.fromisoformat(d) for d in frame.Date])
    elif form == "midnight":
        given = frame.assign(Date=pd.to_datetime(frame.Date))
    elif form == "categorical":
        given = frame.assign(Date=frame.Date.astype("category"))
    else:  # a (date, symbol) index, as a frame of many days is kept
        given = frame.assign(Date=pd.to_datetime(frame.Date)).set_index(["Date", "symbol"])
    tables = split_day_tables(tmp_path, form, trades=given, **options)
    assert [t.to_pylist() for t in tables] == [t.to_pylist() for t in expected]
    assert [len(t) for t in tables] == [2, 2]


def test_a_date_column_overrides_the_date_given_and_checks_whole_times(loaded, tmp_path):
    pd = pytest.importorskip("pandas")
    trades = pd.DataFrame({"date": ["2024-03-11", None, ""], "time": ["09:30:00", "10:00:00", "11:00:00"],
                           "symbol": "X", "exchange": 1, "price": 10.5, "size": 5})
    with pytest.raises(ValueError, match=r"^trades:2: column 'time': out of time order"):
        tarvik_engine.write_tape(tmp_path / "x.tape", trades=trades, date="2024-03-08")
    paths = tarvik_engine.write_tape(tmp_path / "{date}.tape", trades=trades[:1], date="2024-03-08", progress=False)
    assert [p.name for p in paths] == ["2024-03-11.tape"]
    later = trades.assign(date=[None, None, "2024-03-12"])
    paths = tarvik_engine.write_tape(tmp_path / "d-{date}.tape", trades=later, date="2024-03-11", progress=False)
    assert [p.name for p in paths] == ["d-2024-03-11.tape", "d-2024-03-12.tape"]
    # A time that holds its own day: the date must be the day it falls on
    # in the time zone (13:30 in New York is 02:30 the next day in Tokyo).
    whole = pd.DataFrame({"date": ["2024-03-15"], "time": ["2024-03-15T17:30:00Z"], "symbol": "X", "exchange": 1,
                          "price": 10.5, "size": 5})
    assert tarvik_engine.write_tape(tmp_path / "ny.tape", trades=whole, time_zone="America/New_York")
    with pytest.raises(ValueError, match=r"^trades:1: column 'date': the row's time '2024-03-15T17:30:00Z' falls on "
                                         r"2024-03-16 in Asia/Tokyo, not on its date 2024-03-15$"):
        tarvik_engine.write_tape(tmp_path / "tokyo.tape", trades=whole, time_zone="Asia/Tokyo")


@pytest.mark.parametrize("written, order, instant", [
    ("15.03.2024 09:30:00.242", "dmy", "2024-03-15T09:30:00.242-04:00"),  # Dukascopy, JForex
    ("2024.03.15 9:30:00.5", None, "2024-03-15T09:30:00.5-04:00"),
    ("03/15/2024 09:30:00.000001", "mdy", "2024-03-15T09:30:00.000001-04:00"),
    ("20240315 093000637", None, "2024-03-15T09:30:00.637-04:00"),  # histdata
    ("20240315  093001", None, "2024-03-15T09:30:01-04:00"),  # NinjaTrader, IB
    ("2024/03/15 13:30:00.25 UTC", None, "2024-03-15T13:30:00.25Z"),
    ("15-03-2024 13:30:00+00:00", "dmy", "2024-03-15T13:30:00Z"),
    ("3-5-2024 9:30", "mdy", "2024-03-05T09:30:00-05:00"),
    ("2024-3-15 09:30:00", None, "2024-03-15T09:30:00-04:00"),
    ("20240315 093000.5 UTC", None, "2024-03-15T09:30:00.5Z"),
    ("2024/03/15 09:30:00z", None, "2024-03-15T09:30:00Z"),
    ("2024-03-5 09:30:00", None, "2024-03-05T09:30:00-05:00"),
    ("2024-03-15  093000.25", None, "2024-03-15T09:30:00.25-04:00"),
])
def test_a_date_and_a_time_of_day_in_one_cell_are_read_as_one_time(loaded, tmp_path, written, order, instant):
    for n, text in enumerate((written, instant)):
        (tmp_path / f"{n}.csv").write_text(f"time,symbol,exchange,price,size\n{text},X,1,1.5,1\n")
        import_files("--trades", tmp_path / f"{n}.csv", "-o", tmp_path / f"{n}.tape", "--time-zone", "America/New_York",
                     *(["--date-order", order] if order else []))
    tables = [tarvik_engine.read_tape(tmp_path / f"{n}.tape", kinds="trades")["trades"] for n in range(2)]
    assert tables[0].equals(tables[1])
    if order:
        (tmp_path / "unordered.csv").write_text(f"time,symbol,exchange,price,size\n{written},X,1,1.5,1\n")
        result = tool("import", "--trades", tmp_path / "unordered.csv", "-o", tmp_path / "u.tape")
        assert "a date with the year last reads month first" in result.stderr and result.returncode == 1


@pytest.mark.parametrize("unit, written, typed", [
    ("s-of-day", "34200.121711783", None),  # LOBSTER
    ("ms-of-day", "34200121.711", None),
    ("us-of-day", "34200121711", None),
    ("ns-of-day", "34200121711783", "int64"),  # ITCH
    ("ns-of-day", "34200121711783", "uint64"),
    ("s-of-day", "34200.121711783", "float64"),
])
def test_numbers_since_midnight_are_times_of_day(loaded, tmp_path, unit, written, typed):
    (tmp_path / "clock.csv").write_text("time,symbol,exchange,price,size\n09:30:00.121711,X,1,1.5,1\n")
    import_files("--trades", tmp_path / "clock.csv", "-o", tmp_path / "clock.tape", "--date", "2012-06-21",
                 "--time-zone", "America/New_York")
    if typed is None:
        (tmp_path / "n.csv").write_text(f"time,symbol,exchange,price,size\n{written},X,1,1.5,1\n")
        given = tmp_path / "n.csv"
    else:
        pa = pytest.importorskip("pyarrow")
        value = float(written) if typed == "float64" else int(written)
        given = pa.table({"time": pa.array([value], typed), "symbol": ["X"], "exchange": [1], "price": [1.5],
                          "size": [1]})
    tarvik_engine.write_tape(tmp_path / "n.tape", trades=given, time_unit=unit, date="2012-06-21",
                             time_zone="America/New_York")
    tables = [tarvik_engine.read_tape(tmp_path / f"{n}.tape", kinds="trades")["trades"] for n in ("clock", "n")]
    assert tables[0].equals(tables[1])
    (tmp_path / "late.csv").write_text("time,symbol,exchange,price,size\n86400.5,X,1,1.5,1\n")
    result = tool("import", "--trades", tmp_path / "late.csv", "-o", tmp_path / "late.tape", "--date", "2012-06-21",
                  "--time-unit", "s-of-day")
    assert result.returncode == 1 and "column 'time': time of day out of range, got '86400.5'" in result.stderr


@pytest.mark.parametrize("time, message", [
    # seconds since midnight (LOBSTER): a time of day, not a time since the epoch
    ("34200.121711783", r"the unit of the time 34200 since the epoch cannot be told; give --time-unit \(a number "
                        r"since midnight reads with --time-unit s-of-day, or ms-, us-, ns-of-day\)"),
    ("20120621 093000 5179338", "expected a date and a time of day such as 2024-03-15 09:30:00.123456"),
    ("2024/02/30 09:30:00", "not a day of the calendar, in a date and a time of day"),
    ("-1710509400123", "the unit of the time -1710509400123 since the epoch cannot be told; give --time-unit, got"),
])
def test_a_time_of_day_written_otherwise_is_told_how_to_write_it(tmp_path, time, message):
    (tmp_path / "t.csv").write_text(f"time,symbol,exchange,price,size\n{time},X,1,1.5,1\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape", "--date", "2012-06-21")
    assert result.returncode == 1 and re.search(rf"t\.csv:2: column 'time': {message}", result.stderr)
    assert not (tmp_path / "t.tape").exists()


@pytest.mark.parametrize("column, message", [
    # float32 keeps 20240315 as 20240316: refused, not read a day late
    ("np.array([20240315, 20240317], dtype=np.float32)", "a float32 cannot hold a date of eight digits"),
    ("pa.array([True, False])", "expected a date, got a column of type bool"),
    ("pa.array([datetime.time(9, 30)] * 2)", r"expected a date, got a column of type time64\[us\]"),
    ("pd.to_datetime(['2024-03-15 09:30', '2024-03-15 09:31'])", "expected a date, got a time of day as well"),
])
def test_a_date_column_of_another_type_is_refused(tmp_path, column, message):
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    table = pa.table({"date": eval(column), "time": ["09:30:00", "09:31:00"], "symbol": ["X", "X"],
                      "exchange": [1, 1], "price": [1.5, 1.5], "size": [1, 1]})
    with pytest.raises(ValueError, match=rf"^trades:1: column 'date': {message}"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=table)
    assert not (tmp_path / "t.tape").exists()


def test_an_index_of_event_times_named_date_stays_a_row_label(loaded, tmp_path):
    pd = pytest.importorskip("pandas")
    times = pd.to_datetime(["2024-03-15 13:30:00.25", "2024-03-15 13:31:00.0"]).tz_localize("UTC")
    frame = pd.DataFrame({"time": times, "symbol": "X", "exchange": 1, "price": [1.5, 1.25], "size": [1, 2]},
                         index=pd.Index(times, name="date"))
    tape = tarvik_engine.write_tape(tmp_path / "t.tape", trades=frame, progress=False)[0]
    assert tarvik_engine.read_tape(tape, kinds="trades", time_zone="UTC")["trades"].column("price").to_pylist() == \
        [1.5, 1.25]


def test_an_exchange_time_of_day_falls_on_its_events_day_not_on_the_date_given(loaded, tmp_path):
    pd = pytest.importorskip("pandas")
    trades = pd.DataFrame({"time": ["2024-03-15T13:30:00.5Z"], "exchange_time": ["09:29:59.750001"], "symbol": "X",
                           "exchange": 1, "price": 1.5, "size": 1})
    tape = tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, date="2024-03-14",
                                    time_zone="America/New_York", progress=False)[0]
    seen = []
    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: (m.MessageType == Tarvik.TqMSG_TRADE and
                                                             seen.append(m.ptarvik3Ext.MicrosOfDayPTP1)) or 0) == 0
    assert seen == [(9 * 3600 + 29 * 60 + 59) * 10**6 + 750001]


BAD_DATE = r"expected a date: YYYY-MM-DD, YYYYMMDD, or with the year last and --date-order \(MM/DD/YYYY, DD.MM.YYYY\)"


@pytest.mark.parametrize("text, order, message", [
    ("2024-02-30", None, "not a day of the calendar"),
    ("04/03/2024", None, r"a date with the year last reads month first \(03/15/2024\) or day first \(15/03/2024\), "
                         r"as vendors write it: give --date-order mdy or --date-order dmy"),
    ("15.03.2024", None, r"a date with the year last reads month first .* or --date-order dmy"),
    ("13/01/2024", "mdy", r"not a day of the calendar, read month first \(--date-order mdy\)"),
    ("01/13/2024", "dmy", r"not a day of the calendar, read day first \(--date-order dmy\)"),
    ("1883-01-01x", None, BAD_DATE),
    ("202403150", None, BAD_DATE),
    ("2024-03", None, BAD_DATE),
    ("3/15/24", "mdy", BAD_DATE),
    ("2024-03-15 09:30:00", None, BAD_DATE),
    ("1700-01-01", None, r"outside the days a tape holds \(1883-01-01 to 9999-12-31\)"),
])
def test_a_bad_date_names_its_row_and_writes_nothing(tmp_path, text, order, message):
    (tmp_path / "t.csv").write_text(f"date,time,symbol,exchange,price,size\n2024-03-15,09:30:00,X,1,1,1\n"
                                    f"{text},09:31:00,X,1,1,1\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape",
                  *(["--date-order", order] if order else []))
    assert result.returncode == 1
    assert re.search(rf"t\.csv:3: column 'date': {message}, got '{re.escape(text)}'$", result.stderr.strip())
    assert not (tmp_path / "t.tape").exists()


def test_a_constant_column_fills_only_the_inputs_without_it(loaded, tmp_path, day):
    _, trades = day
    files = per_symbol_files(tmp_path, day, "csv")
    theirs = [dict(t, exchange=2) for t in trades if t["symbol"] == "MSFT"]
    (tmp_path / "msft.csv").write_text(csv_text(theirs))
    tape = tmp_path / "both.tape"
    import_files("--trades", files["IBM"], "--trades", tmp_path / "msft.csv", "-o", tape, "--rename",
                 "ts=time,qty=size", "--constant", "symbol=IBM", "--constant", "exchange=7", "--time-zone",
                 "America/New_York")
    ibm = [dict(t, exchange=7) for t in trades if t["symbol"] == "IBM"]
    assert replay(tape) == expected_replay([], sorted(ibm + theirs, key=lambda t: t["time"]))


@pytest.mark.parametrize("constants, message", [
    (["symbol"], "expected COLUMN=TEXT, got 'symbol'"),
    (["=X"], "expected COLUMN=TEXT"),
    (["bid=1"], "constant column 'bid': no quotes, trades, market-maker quotes or symbol changes of this import take it"),
    (["time=1"], "constant column 'time': every input that takes it has it"),
    (["symbol=A", "SYMBOL=B"], "constant column 'symbol' given twice"),
])
def test_bad_constant_columns_are_a_bad_command_line(tmp_path, constants, message):
    (tmp_path / "t.csv").write_text("symbol,time,price,size,exchange\nX,09:30:00,10,5,1\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "x.tape", "--date", "2024-03-15",
                  *[a for c in constants for a in ("--constant", c)])
    assert result.returncode == 2, result.stderr
    assert message in result.stderr
    assert not (tmp_path / "x.tape").exists()


def test_a_bad_constant_value_names_its_column(tmp_path):
    (tmp_path / "t.csv").write_text("time,price,size\n09:30:00,10,5\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "x.tape", "--date", "2024-03-15",
                  "--constant", "symbol=X", "--constant", "exchange=-3")
    assert result.returncode == 1
    assert "t.csv:2: column 'exchange': exchange '-3' is out of range" in result.stderr
    with pytest.raises(TypeError, match="must be a str or an int, got float"):
        tarvik_engine.write_tape(tmp_path / "x.tape", trades=tmp_path / "t.csv", date="2024-03-15",
                                 constants={"symbol": 1.5})


@pytest.mark.parametrize("line_end, compression", [("\n", None), ("\r\n", None), ("\n", "gz")])
def test_a_file_without_a_header_is_read_by_position(loaded, tmp_path, day, line_end, compression):
    """A file as some exchanges publish them: no header line, no symbol;
    its columns are named by position for --rename."""
    _, trades = day
    ibm = [t for t in trades if t["symbol"] == "IBM"]
    text = "".join(f"{i},{t['price']},{t['size']},x,{t['time']},True{line_end}" for i, t in enumerate(ibm))
    path = tmp_path / "ibm.csv"
    path.write_bytes(gzip.compress(text.encode()) if compression else text.encode())
    tape = tmp_path / "ibm.tape"
    (tmp_path / "symbols.csv").write_text("symbol,price_type\nIBM,4\n")  # keeps its header
    import_files("--trades", path, "-o", tape, "--no-header", "--rename", "2=price,3=size,5=time",
                 "--ignore-extra-columns", "--constant", "symbol=IBM", "--constant", "exchange=3",
                 "--time-zone", "America/New_York", "--symbols", tmp_path / "symbols.csv")
    assert replay(tape) == expected_replay([], [dict(t, exchange=3) for t in ibm])
    python_tape = tmp_path / "python.tape"
    tarvik_engine.write_tape(python_tape, trades=path, header=False, rename={"2": "price", "3": "size", "5": "time"},
                             ignore_extra_columns=True, constants={"symbol": "IBM", "exchange": 3},
                             time_zone="America/New_York", symbols=tmp_path / "symbols.csv")
    assert python_tape.read_bytes() == tape.read_bytes()


@pytest.mark.parametrize("text, options, message", [
    ("1,10,5\n\n2,11,x\n", ["--rename", "1=time,2=price,3=size"], "t.csv:3: column '3' (size)"),
    ("1,10,5\n", ["--rename", "1=time,2=price"], "no column is 'size': without a header the file's 3 columns are "
                                                  "named 1 to 3, and --rename N=size names column N"),
    ("1,10,5,9\n", ["--rename", "1=time,2=price,3=size"], "unknown column '4'"),
    ("", ["--rename", "1=time,2=price,3=size"], "t.csv: empty file"),
])
def test_a_file_without_a_header_names_lines_from_1(tmp_path, text, options, message):
    (tmp_path / "t.csv").write_text(text)
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "x.tape", "--no-header",
                  "--time-unit", "s", "--constant", "symbol=X", "--constant", "exchange=1", *options)
    assert result.returncode == 1, result.stderr
    assert message in result.stderr
    assert not (tmp_path / "x.tape").exists()


def shuffled(rows, seed):
    """The rows in random order, but rows of one time in their own order:
    that is the order a sort keeps for them."""
    out = list(rows)
    random.Random(seed).shuffle(out)
    groups = {}
    for row in rows:
        groups.setdefault(row["time"], []).append(row)
    taken = {time: iter(group) for time, group in groups.items()}
    return [next(taken[row["time"]]) for row in out]


@pytest.mark.parametrize("delimiter, options", [("|", []), ("\t", []), (";", ["--delimiter", ";"]),
                                               ("\t", ["--delimiter", "tab"])],
                         ids=["pipe", "tab", "semicolon", "tab-named"])
def test_other_delimiters_are_told_from_the_header(tmp_path, day, csv_day, delimiter, options):
    for name, rows in zip(("q.csv", "t.csv"), day):
        (tmp_path / name).write_text(csv_text(rows).replace(",", delimiter))
    tape = tmp_path / "delimited.tape"
    import_files("--quotes", tmp_path / "q.csv", "--trades", tmp_path / "t.csv", "-o", tape, "--time-zone",
                 "America/New_York", *options)
    assert tape.read_bytes() == csv_day.read_bytes()


def test_a_header_of_semicolons_keeps_commas_inside_fields(tmp_path):
    (tmp_path / "t.csv").write_text("symbol;time;exchange;price;size;conditions\n"
                                    "IBM;1710509400000000000;1;150.25;100;@,F\n")
    tape = tmp_path / "semicolons.tape"
    import_files("--trades", tmp_path / "t.csv", "-o", tape)
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("conditions").to_pylist() == [[1, 2]]


def spelled(text, how):
    """The same CSV as another writer spells it."""
    lines = text.splitlines()
    if how == "quoted":
        return "".join(",".join(f'"{cell}"' for cell in line.split(",")) + "\n" for line in lines)
    if how == "crlf":
        return "".join(line + "\r\n" for line in lines)
    if how == "bom":
        return "\ufeff" + text
    if how == "blank-lines-no-last-line-end":
        return "\n\n".join(lines)
    if how == "padded":
        return "".join(" , ".join(f"\t{cell} " for cell in line.split(",")) + "\n" for line in lines)
    raise AssertionError(how)


@pytest.mark.parametrize("how", ["quoted", "crlf", "bom", "blank-lines-no-last-line-end", "padded"])
def test_csv_spellings_give_the_same_tape(tmp_path, day, csv_day, how):
    for name, rows in zip(("q.csv", "t.csv"), day):
        (tmp_path / name).write_text(spelled(csv_text(rows), how), encoding="utf-8", newline="")
    tape = tmp_path / "spelled.tape"
    import_files("--quotes", tmp_path / "q.csv", "--trades", tmp_path / "t.csv", "-o", tape, "--time-zone",
                 "America/New_York")
    assert tape.read_bytes() == csv_day.read_bytes()


@pytest.mark.parametrize("back", [1, 2, 40])
def test_a_quoted_line_end_at_the_end_of_a_read_block_is_part_of_its_field(tmp_path, back):
    """Files are read in blocks of 1 MiB: a quoted field whose line end is
    among a block's last bytes, and its closing quote in the next, is one
    field, not a row cut in two."""
    block = 1 << 20
    out = bytearray(b"symbol,time,exchange,price,size,note\n")
    rows = 0
    while len(out) < block - 200:
        out += b"X,%d,Q,1.5,5,p\n" % (1710509400000000 + rows)
        rows += 1
    start = b'X,%d,Q,1.5,5,"a' % (1710509400000000 + rows)
    out += start + b"x" * (block - back - len(out) - len(start)) + b'\nb"\n'
    out += b"X,%d,Q,1.5,5,p\n" % (1710509400000000 + rows + 1)
    (tmp_path / "t.csv").write_bytes(out)
    import_files("-q", "--trades", tmp_path / "t.csv", "--ignore-extra-columns", "-o", tmp_path / "t.tape")
    assert tarvik_engine.read_tape(tmp_path / "t.tape", kinds=("trades",))["trades"].num_rows == rows + 2


@pytest.mark.parametrize("quoted", [False, True], ids=["plain", "with-quotes"])
def test_a_crlf_cut_by_a_read_block_ends_one_line(tmp_path, quoted):
    """A block that ends between a row's "\r" and "\n" leaves no blank
    line: later rows keep their line numbers."""
    block = 1 << 20
    note = b'"@ F"' if quoted else b"F"
    out = bytearray(b"symbol,time,exchange,price,size,conditions\r\n")
    rows = 0
    while len(out) < block - 200:
        out += b"X,%d,1,10,5,%s\r\n" % (1710509400000000 + rows, note)
        rows += 1
    row = b"X,%d,1,10,5,%s\r\n" % (1710509400000000 + rows, note)
    out += row.replace(b",5,", b",5" + b" " * (block - 1 - len(out) - len(row) + 2) + b",")  # its "\r" ends the block
    assert out[block - 1:block + 1] == b"\r\n"
    for k in range(1, 5):
        out += b"X,%d,1,10,5,%s\r\n" % (1710509400000000 + rows + k, note)
    out += b"X,%d,1,ten,5,%s\r\n" % (1710509400000000 + rows + 5, note)
    (tmp_path / "t.csv").write_bytes(out)
    line = out.count(b"\n")
    with pytest.raises(ValueError, match=rf"t.csv:{line}: column 'price': expected a number, got 'ten'"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=tmp_path / "t.csv", progress=False)


def test_zstd_files_that_start_with_a_skippable_frame_are_read(tmp_path, day, csv_day):
    """pzstd writes a skippable frame before the data's frames."""
    from compression import zstd
    for name, rows in zip(("q.csv.zst", "t.csv.zst"), day):
        skippable = b"\x5a\x2a\x4d\x18" + (4).to_bytes(4, "little") + b"pzst"
        (tmp_path / name).write_bytes(skippable + zstd.compress(csv_text(rows).encode()))
    tape = tmp_path / "pzstd.tape"
    import_files("--quotes", tmp_path / "q.csv.zst", "--trades", tmp_path / "t.csv.zst", "-o", tape, "--time-zone",
                 "America/New_York")
    assert tape.read_bytes() == csv_day.read_bytes()


@pytest.mark.parametrize("compression", [None, "gz"])
def test_a_file_of_many_blocks_gives_every_row_and_cell(tmp_path, compression):
    # About 6 MB: rows and cells of every length cross the blocks the file
    # is read in (a few rows are longer than the room kept for a row's
    # start), and cells longer and shorter than a view holds alike.
    rng = random.Random(11)
    names = ["A", "IBM", "BRK.B", "ABCDEFGHIJKL", "ABCDEFGHIJKLM", "VERY.LONG.SYMBOL.NAME.X"]
    start = datetime.datetime(2024, 3, 15, 13, 30, tzinfo=UTC)
    rows = []
    for i in range(60_000):
        time = start + datetime.timedelta(microseconds=i * 250)
        rows.append({"symbol": rng.choice(names), "time": time.strftime("%Y-%m-%dT%H:%M:%S.%fZ"),
                     "exchange": rng.randrange(1, 20), "price": f"{rng.randrange(1, 10**7) / 100:.2f}",
                     "size": rng.randrange(1, 10**6), "conditions": rng.choice(["@", '"@,F"', "F @"]),
                     "note": "n" * (150_000 if i % 5000 == 7 else i % 20)})  # a few rows longer than most
    text = csv_text(rows)
    path = tmp_path / "t.csv"
    if compression == "gz":
        path = tmp_path / "t.csv.gz"
        path.write_bytes(gzip.compress(text.encode()))
    else:
        path.write_text(text)
    tape = tmp_path / "many.tape"
    import_files("--trades", path, "-o", tape, "--price-type", "2", "--ignore-extra-columns")
    # Blocks after the first few are read into the buffers earlier ones let
    # go of; imports one after another in one process give the same tape.
    for again in ("again-1.tape", "again-2.tape"):
        tarvik_engine.write_tape(tmp_path / again, trades=path, price_type=2, ignore_extra_columns=True,
                                 progress=False)
        assert (tmp_path / again).read_bytes() == tape.read_bytes()
    trades = tarvik_engine.read_tape(tape, kinds="trades", time_zone="UTC")["trades"]
    assert trades.column("symbol").cast("string").to_pylist() == [r["symbol"] for r in rows]
    assert [t.replace(tzinfo=None) for t in trades.column("time").to_pylist()] == \
        [start.replace(tzinfo=None) + datetime.timedelta(microseconds=i * 250) for i in range(len(rows))]
    assert trades.column("reporting_exchange").to_pylist() == [r["exchange"] for r in rows]
    assert trades.column("price_raw").to_pylist() == [round(float(r["price"]) * 100) for r in rows]
    assert trades.column("size").to_pylist() == [r["size"] for r in rows]
    texts = [r["conditions"].strip('"').replace(",", " ").split() for r in rows]
    numbers = {}  # texts are numbered from 1 in order of first appearance
    for row in texts:
        for t in row:
            numbers.setdefault(t, len(numbers) + 1)
    assert trades.column("conditions").to_pylist() == [[numbers[t] for t in row] for row in texts]


@pytest.mark.parametrize("text, options", [
    ("ORCL,2024-01-02T14:30:00Z,1,10.5,100\nORCL,2024-01-02T14:30:01Z,1,10.6,200\n",
     ["--no-header", "--rename", "1=symbol,2=time,3=exchange,4=price,5=size"]),
    ("ORC_ID,symbol,time,exchange,price,size\n1,ORCL,2024-01-02T14:30:00Z,1,10.5,100\n"
     "2,ORCL,2024-01-02T14:30:01Z,1,10.6,200\n", ["--ignore-extra-columns"]),
    ("FEA1,2024-01-02T14:30:00Z,1,10.5,100,x\nFEA1,2024-01-02T14:30:01Z,1,10.6,200,FEA1",
     ["--no-header", "--rename", "1=symbol,2=time,3=exchange,4=price,5=size", "--ignore-extra-columns"]),
    ("ORC,2024-01-02T14:30:00Z,1,10.5,100,ORC\r\nORC,2024-01-02T14:30:01Z,1,10.6,200,ORC\r\n",
     ["--no-header", "--rename", "1=symbol,2=time,3=exchange,4=price,5=size", "--ignore-extra-columns"]),
], ids=["orcl-rows", "orc-column", "fea1-rows", "orc-first-and-last"])
def test_a_csv_file_that_starts_as_another_format_does_is_read(tmp_path, text, options):
    (tmp_path / "t.csv").write_text(text)
    tape = tmp_path / "t.tape"
    import_files("--trades", tmp_path / "t.csv", "-o", tape, "--price-type", "2", *options)
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("price_raw").to_pylist() == [1050, 1060]


@pytest.mark.parametrize("run_events", [None, "2"], ids=["one-run", "many-runs"])
def test_unsorted_input_with_sort_gives_the_sorted_tape(tmp_path, monkeypatch, day, csv_day, run_events):
    if run_events:  # runs of 2 events: more runs than are merged at once
        monkeypatch.setenv("TARVIK_IMPORT_RUN_EVENTS", run_events)
    quotes, trades = day
    (tmp_path / "q.csv").write_text(csv_text(shuffled(quotes, 1)))
    (tmp_path / "t.csv").write_text(csv_text(shuffled(trades, 2)))
    tape = tmp_path / "sorted.tape"
    args = ["--quotes", tmp_path / "q.csv", "--trades", tmp_path / "t.csv", "-o", tape, "--time-zone",
            "America/New_York"]
    unsorted = tool("import", *args)
    assert unsorted.returncode == 1 and "q.csv:" in unsorted.stderr and "out of time order" in unsorted.stderr
    import_files(*args, "--sort")
    assert tape.read_bytes() == csv_day.read_bytes()


def test_equal_times_merge_changes_then_quotes_then_depth_then_trades(loaded, tmp_path):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,09:30:00,1,10,5\nX,09:30:00,2,11,6\n")
    (tmp_path / "m.csv").write_text("symbol,time,exchange,bid,bid_size,ask,ask_size,market_maker\n"
                                    "X,09:30:00,3,9,1,12,1,D0\n")
    (tmp_path / "q.csv").write_text("symbol,time,exchange,bid,bid_size,ask,ask_size\nX,09:30:00,1,9,1,12,1\n")
    (tmp_path / "c.csv").write_text("time,symbol,action\n09:30:00,X,add\n")
    tape = tmp_path / "ties.tape"
    import_files("--trades", tmp_path / "t.csv", "--mm-quotes", tmp_path / "m.csv", "--quotes", tmp_path / "q.csv",
                 "--changes", tmp_path / "c.csv", "-o", tape, "--date", "2024-03-15")
    kinds = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS:
            if system.Status == Tarvik.TARVIKSTATUS_RUNNING:
                kinds.clear()  # the day's events follow the running status
        else:
            kinds.append((message.MessageType, message.coreHeader.ReportingExg))
        return 0

    Tarvik.ProcessTape(str(tape), 0, 0, 0, keep)
    assert kinds == [(Tarvik.TqMSG_SYMBOLCHANGE, 0), (Tarvik.TqMSG_EXGQUOTE, 1), (Tarvik.TqMSG_MMQUOTE, 3),
                     (Tarvik.TqMSG_TRADE, 1), (Tarvik.TqMSG_TRADE, 2)]


@pytest.mark.parametrize("rows, message", [
    ("09:30:00,FB,mod\n", "c.csv:2: column 'action': a rename needs old_symbol"),
    ("09:30:00,FB,move\n", "c.csv:2: column 'action': expected add, del or mod, got 'move'"),
])
def test_bad_symbol_changes_are_named(tmp_path, rows, message):
    (tmp_path / "c.csv").write_text("time,symbol,action\n" + rows)
    result = tool("import", "--changes", tmp_path / "c.csv", "-o", tmp_path / "c.tape", "--date", "2024-03-15")
    assert result.returncode == 1 and message in result.stderr, result.stderr


@pytest.mark.parametrize("option, table, where", [
    ("--changes", b"time,symbol,action,old_symbol\n09:30:00,SOCGEN,mod,SOCI\xc9T\xc9\n", "t.csv:2: column 'old_symbol'"),
    ("--conditions", b"condition,code\n@,1\n\xe9,7\n", "t.csv:3: column 'condition'"),
    ("--symbols", b"symbol,listed_exchange,root,expiration,strike,put_call\n"
                  b"X 240419C00150000,10,SOCI\xc9T\xc9,2024-04-19,150,C\n", "t.csv:2: column 'root'"),
])
def test_names_beside_the_data_must_be_utf8_too(tmp_path, option, table, where):
    (tmp_path / "t.csv").write_bytes(table)
    (tmp_path / "d.csv").write_text("symbol,time,exchange,price,size\nSOCGEN,09:30:01,1,10,5\n")
    data = [] if option == "--changes" else ["--trades", tmp_path / "d.csv"]
    result = tool("import", option, tmp_path / "t.csv", *data, "-o", tmp_path / "t.tape", "--date", "2024-03-15")
    assert result.returncode == 1 and where in result.stderr and "is not UTF-8 text" in result.stderr, result.stderr


@pytest.mark.parametrize("row, participant, gap_ms", [
    # Fall back: the tape of 2024-11-03 keeps -5:00; a participant's time
    # 2 ms earlier, still at -4:00, is 00:59:59.999 on that clock.
    ("X,2024-11-03T01:00:00.001-05:00,1,10,5,2024-11-03T01:59:59.999-04:00", 3_599_999_000, -2_000),
    # Spring forward: the tape of 2024-03-10 keeps -4:00.
    ("X,2024-03-10T03:00:00.001-04:00,1,10,5,2024-03-10T01:59:59.999-05:00", 10_799_999_000, -2_000),
])
def test_an_exchange_time_is_shown_on_the_clock_of_its_events_day(loaded, tmp_path, row, participant, gap_ms):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size,exchange_time\n" + row + "\n")
    tape = tmp_path / "t.tape"
    import_files("-q", "--trades", tmp_path / "t.csv", "-o", tape, "--time-zone", "America/New_York")
    seen = []
    Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: seen.append(
        (m.ptarvik3Ext.MicrosOfDaySRC, m.ptarvik3Ext.MicrosOfDayPTP1)) or 0 if m.MessageType == Tarvik.TqMSG_TRADE else 0)
    [(event, shown)] = seen
    assert shown == participant and shown - event == gap_ms


@pytest.mark.parametrize("participant, ok", [("01:30:00", True), ("00:30:00", False)])
def test_an_exchange_time_is_a_day_away_by_the_instant(tmp_path, participant, ok):
    """The day clocks go back has 25 hours: its 00:30 (at -4:00) is more than
    a day before its 23:59:59 (at -5:00), though less on the wall clock."""
    (tmp_path / "t.csv").write_text(f"symbol,time,exchange,price,size,exchange_time\nX,23:59:59,1,10,5,{participant}\n")
    tape = tmp_path / "t.tape"
    if ok:
        tarvik_engine.write_tape(tape, trades=tmp_path / "t.csv", date="2024-11-03", time_zone="America/New_York")
        assert tarvik_engine.read_tape(tape, kinds="trades")["trades"].num_rows == 1
    else:
        with pytest.raises(ValueError, match="column 'exchange_time': a day or more away from the row's time"):
            tarvik_engine.write_tape(tape, trades=tmp_path / "t.csv", date="2024-11-03", time_zone="America/New_York")


def run_to_end(tape, work):
    out = {}

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE:
            out["value"] = work()
        return 0

    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, callback) == 0
    return out["value"]


def test_one_text_on_two_listed_exchanges_is_two_instruments(loaded, tmp_path):
    (tmp_path / "t.csv").write_text(
        "symbol,listed_exchange,time,exchange,price,size\n"
        "BTC,1,2024-03-15T00:00:01Z,1,65432.10000000,1\n"
        "BTC,2,2024-03-15T00:00:02Z,2,65500.5,2\n"
        "BTC,1,2024-03-15T00:00:03Z,1,65440.00000000,3\n")
    tape = tmp_path / "venues.tape"
    import_files("--trades", tmp_path / "t.csv", "-o", tape)

    def last():
        return [(t.Last, t.TotalVolume) for t in (Tarvik.StateGetLastTrade(1, "BTC"), Tarvik.StateGetLastTrade(2, "BTC"))]

    # eight decimals written, one needed: price type 1, which fits 32 bits
    assert run_to_end(tape, last) == [(654400, 4), (655005, 2)]


def test_a_text_listed_on_several_exchanges_goes_on_the_default_one_if_listed_there(loaded, tmp_path):
    (tmp_path / "symbols.csv").write_text("symbol,listed_exchange,price_type\nBTC,1,2\nBTC,2,4\n")
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nBTC,2024-03-15T00:00:01Z,1,65432.1,1\n")
    tape = tmp_path / "default.tape"
    import_files("--trades", tmp_path / "t.csv", "--symbols", tmp_path / "symbols.csv", "-o", tape)
    assert run_to_end(tape, lambda: (Tarvik.StateGetLastTrade(1, "BTC").Last, Tarvik.StateGetLastTrade(2, "BTC"))) \
        == (6543210, None)
    result = tool("import", "--trades", tmp_path / "t.csv", "--symbols", tmp_path / "symbols.csv", "-o", tape,
                  "--listed-exg", "3")
    assert result.returncode == 1 and "t.csv:2: column 'symbol': 'BTC' is on several listed exchanges" in result.stderr


def test_prices_at_the_ends_of_32_bits_and_swapped_names_import(tmp_path):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,size,price\n"
                                    "X,09:30:00,1,-2147483648,1\nX,09:30:01,1,2147483647,2\n")
    tape = tmp_path / "ends.tape"
    import_files("--trades", tmp_path / "t.csv", "-o", tape, "--date", "2024-03-15", "--rename", "price=size,size=price")
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("price_raw").to_pylist() == [-2147483648, 2147483647]
    assert trades.column("size").to_pylist() == [1, 2]


def test_a_pipe_is_refused_without_waiting_for_a_writer(tmp_path):
    os.mkfifo(tmp_path / "fifo.csv")
    result = subprocess.run([tarvik_engine.tape_tool_path(), "import", "--trades", tmp_path / "fifo.csv", "-o",
                             tmp_path / "x.tape"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "is not a regular file (a pipe or a device)" in result.stderr, result.stderr


def test_a_day_of_many_instruments_keeps_each_apart(tmp_path):
    """Option-day numbers of instruments: texts past the first block of
    kept texts, each text on two listed exchanges, prices of each its own."""
    texts = [f"SPXW  24{k % 12 + 1:02d}{k % 28 + 1:02d}{'CP'[k % 2]}{k:08d}" for k in range(30_000)]
    rows = [f"{text},{listed},{1710509400_000000 + 2 * k + listed},{listed},{k % 977}.{k % 100:02d},{listed}"
            for k, text in enumerate(texts) for listed in (1, 2)]
    (tmp_path / "t.csv").write_text("symbol,listed_exchange,time,exchange,price,size\n" + "\n".join(rows) + "\n")
    tape = tmp_path / "many.tape"
    import_files("--trades", tmp_path / "t.csv", "-o", tape, "--time-unit", "us")
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("symbol").to_pylist() == [text for text in texts for _ in (1, 2)]
    assert trades.column("listed_exchange").to_pylist() == [1, 2] * len(texts)
    assert trades.column("price").to_pylist() == [float(f"{k % 977}.{k % 100:02d}") for k in range(len(texts))
                                                  for _ in (1, 2)]


def test_float_prices_of_changing_decimals_are_read_as_their_shortest_decimals(tmp_path):
    """A float column's values are read as the fewest decimals that round
    back to them, however the decimals change from row to row."""
    pd = pytest.importorskip("pandas")
    prices = {"A": [10.5, 10.25, 10.125, 10.0, 10.1, 0.3],
              "B": [0.000001, 0.1, 0.12345, 2.5, 0.7],
              "C": [2147.483647, 2147.48, 0.000001, 1e-6, 2000.0]}
    rows = [(symbol, price) for k in range(6) for symbol, values in prices.items() if k < len(values)
            for price in [values[k]]]
    trades = pd.DataFrame({"symbol": [s for s, _ in rows], "time": [1710509400_000000 + k for k in range(len(rows))],
                           "exchange": 1, "price": [p for _, p in rows], "size": 1})
    tape = tarvik_engine.write_tape(tmp_path / "floats.tape", trades=trades, time_unit="us")[0]
    got = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    types = {"A": 3, "B": 6, "C": 6}
    assert got.column("price_type").to_pylist() == [types[s] for s, _ in rows]
    assert got.column("price_raw").to_pylist() == [int(Decimal(repr(p)) * 10 ** types[s]) for s, p in rows]


def test_look_alike_symbols_stay_apart(loaded, tmp_path):
    # texts that share their first or last bytes, around 4, 8 and 16 bytes
    names = ["A", "AA", "AAA", "ABA", "AAB", "ABCD", "ABCDE", "ABCDF", "XBCDE", "ABCDEFGH", "ABCDEFGHI",
             "ABCDEFGHJ", "ABCDEFGH1234567", "ABCDEFGH12345678", "ABCDEFGH123456789", "ABCDEFGH123456780",
             "SPXW 240315C05000000", "SPXW 240315P05000000"]
    rows = [f"{name},2024-03-15T14:00:{k:02d}.000001Z,1,{10 + i}.{k:02d},{i + 1}"
            for k in range(3) for i, name in enumerate(names)]
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + "\n".join(rows) + "\n")
    tape = tmp_path / "names.tape"
    import_files("--trades", tmp_path / "t.csv", "-o", tape)
    seen = {(symbol, price, size) for kind, symbol, _, _, price, size, *_ in replay(tape)}
    assert seen == {(name, Decimal(f"{10 + i}.{k:02d}"), i + 1)
                    for k in range(3) for i, name in enumerate(names)}


@pytest.mark.parametrize("source", ["csv", "dataframe"])
def test_one_sided_quotes_read_an_empty_side_as_none(tmp_path, source):
    pd = pytest.importorskip("pandas")
    text = ("symbol,time,exchange,bid,bid_size,ask,ask_size\n"
            "X,09:30:00,1,10.5,3,,\nX,09:30:01,1,,0,10.75,4\nX,09:30:02,1,10.5,3,10.75,4\n")
    (tmp_path / "q.csv").write_text(text)
    quotes = tmp_path / "q.csv" if source == "csv" else pd.read_csv(tmp_path / "q.csv")
    tape = tmp_path / "q.tape"
    with pytest.raises(ValueError, match=r"(q.csv:2|quotes:1): column 'ask': (empty|missing value)"):
        tarvik_engine.write_tape(tape, quotes=quotes, date="2024-03-15")
    tarvik_engine.write_tape(tape, quotes=quotes, date="2024-03-15", one_sided_quotes=True)
    read = tarvik_engine.read_tape(tape, kinds="quotes")["quotes"]
    assert read.select(["bid_raw", "bid_size", "ask_raw", "ask_size"]).to_pylist() == [
        {"bid_raw": 1050, "bid_size": 3, "ask_raw": 0, "ask_size": 0},
        {"bid_raw": 0, "bid_size": 0, "ask_raw": 1075, "ask_size": 4},
        {"bid_raw": 1050, "bid_size": 3, "ask_raw": 1075, "ask_size": 4}]
    (tmp_path / "bad.csv").write_text(text.replace(",,0,10.75", ",,7,10.75"))
    result = tool("import", "--quotes", tmp_path / "bad.csv", "-o", tape, "--date", "2024-03-15",
                  "--one-sided-quotes")
    assert result.returncode == 1
    assert "bad.csv:3: column 'bid_size': a size without its price (bid is empty)" in result.stderr


@pytest.mark.parametrize("form", ["csv", "int64", "float64"])
def test_the_largest_int64_is_no_price_in_fixed_point_one_sided_quotes(tmp_path, form):
    pa = pytest.importorskip("pyarrow")
    none = 2**63 - 1
    bids, asks = [none, 10_500_000_000], [10_750_000_000, none]
    if form == "csv":
        (tmp_path / "q.csv").write_text("symbol,time,exchange,bid,bid_size,ask,ask_size\n" + "".join(
            f"X,2024-03-15T13:30:0{k}Z,1,{b},{0 if b == none else 3},{a},{0 if a == none else 4}\n"
            for k, (b, a) in enumerate(zip(bids, asks))))
        quotes: object = tmp_path / "q.csv"
    else:
        quotes = pa.table({"symbol": ["X", "X"], "time": ["2024-03-15T13:30:00Z", "2024-03-15T13:30:01Z"],
                           "exchange": [1, 1], "bid": pa.array(bids, pa.int64()), "bid_size": [0, 3],
                           "ask": pa.array(asks, pa.int64()), "ask_size": [4, 0]})
        if form == "float64":  # an integer column with a gap, as pandas keeps it
            quotes = quotes.set_column(3, "bid", pa.array([float(b) for b in bids]))
            quotes = quotes.set_column(5, "ask", pa.array([float(a) for a in asks]))
    tape = tmp_path / "q.tape"
    tarvik_engine.write_tape(tape, quotes=quotes, price_scale=9, one_sided_quotes=True, progress=False)
    read = tarvik_engine.read_tape(tape, kinds="quotes")["quotes"]
    assert read.select(["bid", "bid_size", "ask", "ask_size"]).to_pylist() == [
        {"bid": 0.0, "bid_size": 0, "ask": 10.75, "ask_size": 4},
        {"bid": 10.5, "bid_size": 3, "ask": 0.0, "ask_size": 0}]
    with pytest.raises(ValueError, match="922337203.*of X .* does not fit 32 bits"):
        tarvik_engine.write_tape(tape, quotes=quotes, price_scale=9, progress=False)


@pytest.mark.parametrize("column", ["price", "size"])
def test_a_float_past_64_bit_integers_is_out_of_range(tmp_path, column):
    pd = pytest.importorskip("pandas")
    trades = pd.DataFrame({"symbol": ["X"], "time": ["2024-03-15T13:30:00Z"], "exchange": [1], "price": [1.5],
                           "size": [5.0]})
    trades[column] = [1e19]
    with pytest.raises(ValueError, match=f"trades:1: column '{column}': the float 1e\\+19 is out of range"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, progress=False)


@pytest.mark.parametrize("form", ["file", "stream"])
def test_an_arrow_ipc_file_is_named_with_how_to_read_it(tmp_path, form):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.ipc
    table = pa.table({"symbol": ["X"], "time": ["2024-03-15T13:30:00Z"], "exchange": [1], "price": [1.5], "size": [1]})
    path = tmp_path / "t.arrow"
    with (pyarrow.ipc.new_file if form == "file" else pyarrow.ipc.new_stream)(path, table.schema) as writer:
        writer.write_table(table)
    result = tool("import", "--trades", path, "-o", tmp_path / "t.tape")
    assert result.returncode == 1
    assert f"an Arrow IPC {form}: import reads CSV and Parquet; write_tape takes the table pyarrow reads from it" \
        in result.stderr, result.stderr


@pytest.mark.parametrize("column", ["symbol", "exchange"])
def test_a_dictionary_index_past_its_dictionary_is_refused_not_followed(python_child, tmp_path, column):
    """A producer that is not Arrow's own may hand over invalid arrays: an
    index past the dictionary is an error naming the column, in a child so
    that a crash fails only this test."""
    child = python_child(f"""
        import pyarrow as pa, tarvik_engine
        entries = pa.array(["AAPL", "MSFT"]) if {column!r} == "symbol" else pa.array([1, 2])
        bad = pa.DictionaryArray.from_arrays(pa.array([0, 1, 100, 0], pa.int8()), entries, safe=False)
        columns = {{"symbol": ["AAPL"] * 4, "time": [f"2024-03-15T13:30:0{{k}}Z" for k in range(4)],
                    "exchange": [1] * 4, "price": [1.5] * 4, "size": [1] * 4}}
        columns[{column!r}] = bad
        try:
            tarvik_engine.write_tape({str(tmp_path / "t.tape")!r}, trades=pa.table(columns), progress=False)
        except ValueError as error:
            print(error)
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith(f"trades: column '{column}': ") and "100" in child.stdout, child.stdout
    assert not (tmp_path / "t.tape").exists()


def test_a_null_entry_of_a_dictionary_is_a_missing_value(tmp_path):
    pa = pytest.importorskip("pyarrow")
    symbols = pa.array(["AAPL", None, "AAPL"]).dictionary_encode(null_encoding="encode")
    trades = pa.table({"symbol": symbols, "time": [f"2024-03-15T13:30:0{k}Z" for k in range(3)],
                       "exchange": [1] * 3, "price": [1.5] * 3, "size": [1] * 3})
    with pytest.raises(ValueError, match="trades:2: column 'symbol': missing value"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, progress=False)


@pytest.mark.parametrize("link", ["name", "dot-name", "absolute", "folder"])
def test_two_days_that_lead_to_one_file_are_refused_before_anything_is_written(tmp_path, link):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n"
                                    "X,2024-03-11T14:00:00Z,1,10,1\nX,2024-03-12T14:00:00Z,1,10,1\n")
    out = tmp_path / "out"
    out.mkdir()
    if link == "folder":
        (out / "2024-03-11").mkdir()
        kept = out / "2024-03-11" / "x.tape"
        os.symlink("2024-03-11", out / "2024-03-12")
        template = out / "{date}" / "x.tape"
    else:
        kept = out / "x-2024-03-11.tape"
        os.symlink({"name": "x-2024-03-11.tape", "dot-name": "./x-2024-03-11.tape", "absolute": str(kept)}[link],
                   out / "x-2024-03-12.tape")
        template = out / "x-{date}.tape"
    kept.write_bytes(b"kept")
    before = sorted(str(p) for p in out.rglob("*"))
    with pytest.raises(ValueError, match="two days would be written to one tape "
                                         r"\(.*2024-03-11.* leads to the same file\)"):
        tarvik_engine.write_tape(template, trades=tmp_path / "t.csv", progress=False)
    assert kept.read_bytes() == b"kept"
    assert sorted(str(p) for p in out.rglob("*")) == before


def test_threads_writing_one_tape_each_put_a_whole_tape_in_place(tmp_path):
    """Their temporary files have names of their own: every call succeeds,
    the tape is one call's whole tape, and nothing is left beside it."""
    import threading
    pd = pytest.importorskip("pandas")
    frames = [pd.DataFrame({"symbol": ["X"] * 200, "time": [1710509400_000000 + k for k in range(200)],
                            "exchange": [1] * 200, "price": [10 + n] * 200, "size": [1] * 200}) for n in range(2)]
    alone = []
    for n, frame in enumerate(frames):
        tarvik_engine.write_tape(tmp_path / f"alone-{n}.tape", trades=frame, time_unit="us", progress=False)
        alone.append((tmp_path / f"alone-{n}.tape").read_bytes())
    out = tmp_path / "out" / "same.tape"
    out.parent.mkdir()
    errors = []
    for _ in range(20):
        barrier = threading.Barrier(2)

        def write(frame):
            barrier.wait()
            try:
                tarvik_engine.write_tape(out, trades=frame, time_unit="us", progress=False)
            except Exception as error:  # noqa: BLE001 - every failure is a finding
                errors.append(error)

        threads = [threading.Thread(target=write, args=(frame,)) for frame in frames]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert out.read_bytes() in alone
    assert errors == [] and [p.name for p in out.parent.iterdir()] == ["same.tape"]


def test_whole_prices_past_32_bits_point_at_the_price_scale(tmp_path):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,2024-03-15T13:30:00Z,1,17983000000000,1\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape")
    assert result.returncode == 1
    assert "as a whole number; no price type writes every price exactly (prices in fixed-point units, such as " \
        "10^-9? --price-scale 9 reads them)" in result.stderr, result.stderr
    with pytest.raises(ValueError, match=r"such as 10\^-9\? price_scale=9 reads them\)"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=tmp_path / "t.csv", progress=False)


def test_market_maker_depth_levels_fill_the_book(loaded, tmp_path):
    rows = ["symbol,time,exchange,market_maker,bid,bid_size,ask,ask_size"]
    for level in range(3):
        rows.append(f"ETH,2024-03-15T00:00:0{level}Z,3,D{level},{3000 - level}.25,{level + 1},{3001 + level}.5,7")
    rows.append("ETH,2024-03-15T00:00:05Z,3,D1,2998.75,9,3002.5,8")
    (tmp_path / "depth.csv").write_text("\n".join(rows) + "\n")
    tape = tmp_path / "depth.tape"
    import_files("--mm-quotes", tmp_path / "depth.csv", "-o", tape)

    def book():
        quotes = Tarvik.StateGetMMQuotes(3, 1, "ETH")
        return sorted((q.ptqStringMarketMaker.String, q.BidPrice, q.BidSize, q.AskPrice, q.AskSize)
                      for q in quotes.StateMMQuotes[: quotes.StateQuoteCount])

    # prices of two decimals: price type 2
    assert run_to_end(tape, book) == [("D0", 300025, 1, 300150, 7), ("D1", 299875, 9, 300250, 8),
                                      ("D2", 299825, 3, 300350, 7)]


@pytest.mark.parametrize("source", ["csv", "list", "large-list-of-views"])
def test_text_conditions_are_numbered_and_named_in_the_tape(loaded, tmp_path, source):
    tape = tmp_path / "conditions.tape"
    if source == "csv":
        (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size,conditions\n"
                                        "X,09:30:00,1,10,5,@ F\nX,09:30:01,1,10,5,I\nX,09:30:02,1,10,5,\n"
                                        "X,09:30:03,1,10,5,F;@;I;T\n")
        import_files("--trades", tmp_path / "t.csv", "-o", tape, "--date", "2024-03-15")
    else:
        pa = pytest.importorskip("pyarrow")
        items = [["@", "F"], ["I"], None, ["F", "@", "I", "T"]]
        item_type = pa.list_(pa.string()) if source == "list" else pa.large_list(pa.string_view())
        table = pa.table({"symbol": ["X"] * 4, "time": [f"09:30:0{k}" for k in range(4)], "exchange": [1] * 4,
                          "price": [10] * 4, "size": [5] * 4, "conditions": pa.array(items, type=item_type)})
        tarvik_engine.write_tape(tape, trades=table, date="2024-03-15")
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            t = message.coreData.Trade
            seen.append((t.TradeCondition, [Tarvik.GetDefinedString(Tarvik.TqST_TRADECONDITION, c)
                                            for c in t.ExtTradeConditions if c != 255]))
        return 0

    Tarvik.ProcessTape(str(tape), 0, 0, 0, keep)
    assert seen == [(1, ["@", "F"]), (3, ["I"]), (0, []), (2, ["F", "@", "I", "T"])]


@pytest.mark.parametrize("how", ["tool", "write_tape"])
def test_condition_letters_read_each_character_of_a_packed_field(loaded, tmp_path, how):
    # TAQ packs up to four one-letter conditions into one field, digits too
    (tmp_path / "t.csv").write_text("symbol|time|exchange|price|size|conditions\nX|09:30:00|1|10|5|@FTI\n"
                                    "X|09:30:01|1|10|5|@ T4\nX|09:30:02|1|10|5|    \nX|09:30:03|1|10|5|4\n")
    tape = tmp_path / "letters.tape"
    if how == "tool":
        import_files("--trades", tmp_path / "t.csv", "-o", tape, "--date", "2024-03-15", "--condition-letters")
    else:
        tarvik_engine.write_tape(tape, trades=tmp_path / "t.csv", date="2024-03-15", condition_letters=True)
    seen = []
    Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: (m.MessageType == Tarvik.TqMSG_TRADE and seen.append(
        [Tarvik.GetDefinedString(Tarvik.TqST_TRADECONDITION, c) for c in m.coreData.Trade.ExtTradeConditions
         if c != 255])) or 0)
    assert seen == [["@", "F", "T", "I"], ["@", "T", "4"], [], ["4"]]
    # a list's items and a number column's numbers are read as they are
    pa = pytest.importorskip("pyarrow")
    base = {"symbol": ["X", "X"], "time": ["09:30:00", "09:30:01"], "exchange": [1, 1], "price": [10, 10],
            "size": [5, 5]}
    for conditions, codes in ((pa.array([[12, 37], [4]], pa.list_(pa.int64())), [[12, 37], [4]]),
                              (pa.array([12, 4]), [[12], [4]])):
        tarvik_engine.write_tape(tmp_path / "typed.tape", trades=pa.table({**base, "conditions": conditions}),
                                 date="2024-03-15", condition_letters=True)
        read = tarvik_engine.read_tape(tmp_path / "typed.tape", kinds="trades")["trades"]
        assert read.column("conditions").to_pylist() == codes
    (tmp_path / "five.csv").write_text("symbol,time,exchange,price,size,conditions\nX,09:30:00,1,10,5,@FTIZ\n")
    result = tool("import", "--trades", tmp_path / "five.csv", "-o", tmp_path / "five.tape", "--date", "2024-03-15",
                  "--condition-letters")
    assert result.returncode == 1 and "at most four conditions, got 5" in result.stderr


def test_a_conditions_table_gives_the_numbers(loaded, tmp_path):
    (tmp_path / "c.csv").write_text("condition,code\n@,0\nF,14\n")
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size,conditions\nX,09:30:00,1,10,5,@ F 37\n")
    tape = tmp_path / "table.tape"
    import_files("--trades", tmp_path / "t.csv", "--conditions", tmp_path / "c.csv", "-o", tape, "--date",
                 "2024-03-15")
    seen = []
    Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: seen.append(list(m.coreData.Trade.ExtTradeConditions)) or 0
                       if m.MessageType == Tarvik.TqMSG_TRADE else 0)
    assert seen == [[0, 14, 37, 255]]


def test_a_number_a_conditions_table_gives_to_a_text_is_not_kept_as_a_number(tmp_path):
    """Kept, the 7 would read back as '@', which the trade never said."""
    (tmp_path / "c.csv").write_text("condition,code\n@,7\nF,2\n")
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size,conditions\nX,09:30:00,1,10,5,@ F\n"
                                    "X,09:30:01,1,10,5,7\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "--conditions", tmp_path / "c.csv", "-o",
                  tmp_path / "t.tape", "--date", "2024-03-15")
    assert result.returncode == 1 and ("t.csv:3: column 'conditions': condition '7' is not in the conditions table, "
                                       "and its number is the code of '@' there") in result.stderr, result.stderr
    assert not (tmp_path / "t.tape").exists()


def test_a_conditions_table_reads_the_digits_it_lists_and_names_shared_codes_by_the_first(loaded, tmp_path):
    """TAQ's condition "4" is a condition of its own, not the number 4."""
    pd = pytest.importorskip("pandas")
    trades = pd.DataFrame({"symbol": ["X"] * 2, "time": ["09:30:00", "09:30:01"], "exchange": [1, 1],
                           "price": [10, 10], "size": [5, 5], "conditions": ["@ 4", "Q 37"]})
    tape = tmp_path / "taq.tape"
    tarvik_engine.write_tape(tape, trades=trades, date="2024-03-15", conditions={"@": 1, "4": 5, "O": 4, "Q": 4})
    assert tarvik_engine.read_tape(tape, kinds="trades")["trades"].column("conditions").to_pylist() == [[1, 5], [4, 37]]
    names = []
    Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: names.append(Tarvik.GetDefinedString(
        Tarvik.TqST_TRADECONDITION, 4)) or 1)
    assert names == ["O"]


@pytest.mark.parametrize("table, error", [
    ({"@": 1.9}, "conditions: the code of '@' must be an int, got float"),
    ({"@": True}, "conditions: the code of '@' must be an int, got bool"),
    ({1: 1}, "conditions: a condition must be a str, got int"),
])
def test_a_conditions_dict_takes_texts_and_whole_codes(tmp_path, table, error):
    pd = pytest.importorskip("pandas")
    trades = pd.DataFrame({"symbol": ["X"], "time": ["09:30:00"], "exchange": [1], "price": [10], "size": [5],
                           "conditions": ["@"]})
    with pytest.raises(TypeError, match=f"^{re.escape(error)}$"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, date="2024-03-15", conditions=table)
    # An empty table is a table: its conditions are none.
    with pytest.raises(ValueError, match=r"^trades:1: column 'conditions'"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, date="2024-03-15", conditions={})


def test_symbols_file_sets_price_type_close_multiplier_and_options(loaded, tmp_path):
    (tmp_path / "symbols.csv").write_text(
        "symbol,listed_exchange,price_type,prev_close,size_multiplier,root,underlying,expiration,strike,put_call\n"
        "BTC,1,4,65000,100000000,,,,,\n"
        "IBM  240419C00150000,10,2,3.5,,IBM,IBM,2024-04-19,150,C\n")
    (tmp_path / "t.csv").write_text(
        "symbol,time,exchange,price,size,exchange_time\n"
        "BTC,2024-03-15T14:00:00.000001Z,1,65001.5,0.00012345,2024-03-15T13:59:59.999990Z\n"
        "IBM  240419C00150000,2024-03-15T14:00:01Z,5,3.75,2,\n")
    tape = tmp_path / "symbols.tape"
    import_files("--trades", tmp_path / "t.csv", "--symbols", tmp_path / "symbols.csv", "-o", tape)
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE:
            t, h, x = message.coreData.Trade, message.coreHeader, message.ptarvik3Ext
            option = h.ptqOptionHdr
            seen.append((h.ptqStringSymbol.String, h.ListedExg, t.Price, t.PriceType, t.Size, t.NetChange,
                         x.MicrosOfDaySRC, x.MicrosOfDayPTP1,
                         None if option is None else (option.strikePrice, option.PutCall,
                                                      option.tqExpirationDate.Month)))
        return 0

    Tarvik.ProcessTape(str(tape), 0, 0, 0, keep)
    assert seen == [("BTC", 1, 650015000, 4, 12345, 15000, 14 * 3600 * 10**6 + 1, 14 * 3600 * 10**6 - 10, None),
                    ("IBM", 10, 375, 2, 2, 25, 14 * 3600 * 10**6 + 10**6, 0, (150000, 0, 4))]
    # A size finer than its multiplier is named as written and as scaled.
    (tmp_path / "fine.csv").write_text("symbol,time,exchange,price,size\nBTC,2024-03-15T14:00:00Z,1,65001.5,0.000000015\n")
    result = tool("import", "--trades", tmp_path / "fine.csv", "--symbols", tmp_path / "symbols.csv", "-o", tape)
    assert ("fine.csv:2: column 'size': 0.000000015 (1.5 after the size multiplier 100000000) is not a whole number"
            in result.stderr)


def test_one_tape_per_session_day(loaded, tmp_path):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n"
                                    "X,2024-03-14T23:59:59Z,1,10,1\nX,2024-03-15T03:59:59Z,1,11,1\n"
                                    "X,2024-03-15T05:00:00Z,1,12,1\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "one.tape", "--time-zone",
                  "America/New_York")
    assert result.returncode == 1 and "{date}" in result.stderr and "2024-03-14 to 2024-03-15" in result.stderr
    import_files("--trades", tmp_path / "t.csv", "-o", tmp_path / "day-{date}.tape", "--time-zone",
                 "America/New_York")
    counts = {}
    for name in ("day-2024-03-14.tape", "day-2024-03-15.tape"):
        counts[name] = run_to_end(tmp_path / name, lambda: Tarvik.StateGetLastTrade(1, "X").TickVolume)
    assert counts == {"day-2024-03-14.tape": 2, "day-2024-03-15.tape": 1}


def test_days_folders_named_by_date_are_made_and_taken_away_on_failure(tmp_path):
    rows = "X,2024-03-14T15:00:00Z,1,10,1\nX,2024-03-15T15:00:00Z,1,11,1\n"
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + rows)
    (tmp_path / "bad.csv").write_text("symbol,time,exchange,price,size\n" + rows + "X,2024-03-15T15:00:01Z,1,ten,1\n")
    (tmp_path / "out").mkdir()
    result = tool("import", "-q", "--trades", tmp_path / "bad.csv", "-o", tmp_path / "out/{date}/sub/t.tape")
    assert result.returncode == 1 and "column 'price'" in result.stderr, result.stderr
    assert list((tmp_path / "out").iterdir()) == []
    import_files("-q", "--trades", tmp_path / "t.csv", "-o", tmp_path / "out/{date}/sub/t.tape")
    assert sorted(str(p.relative_to(tmp_path)) for p in (tmp_path / "out").rglob("*.tape")) == [
        "out/2024-03-14/sub/t.tape", "out/2024-03-15/sub/t.tape"]
    # The folder above the first {date} is not made: a misspelt one stays an error.
    result = tool("import", "-q", "--trades", tmp_path / "t.csv", "-o", tmp_path / "ouy/{date}/t.tape")
    assert result.returncode == 1 and "ouy" in result.stderr and "No such file or directory" in result.stderr
    assert not (tmp_path / "ouy").exists()


@pytest.mark.parametrize("name, text, options, where, message", [
    ("t.csv", "symbol,time,exchange,price\nX,09:30:00,1,10\n", [], "t.csv: missing column 'size'", "trades need"),
    ("t.csv", "symbol,time,exchange,price,size,venue\nX,09:30:00,1,10,5,Q\n", [], "t.csv: unknown column 'venue'",
     "--ignore-extra-columns"),
    ("t.csv", ",symbol,time,exchange,price,size\n0,X,09:30:00,1,10,5\n", [], "t.csv: a column has no name",
     "a DataFrame's index"),
    ("t.csv", "X,09:30:00,1,10,5\nX,09:30:01,1,10,5\n", [], "t.csv: no header: none of its columns ('X', '09:30:00', '1', '10', '5') is one of trades", "--no-header"),
    ("t.csv", "", [], "t.csv: empty file", ""),
    ("t.csv", "symbol,time,exchange,price,size\n", [], "t.csv: no rows", "--allow-empty"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,5\nX,09:30:01,1,ten,5\n", [],
     "t.csv:3: column 'price'", "expected a number, got 'ten'"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10.5,5\n", ["--price-type", "0"],
     "t.csv:2: column 'price'", "cannot be written exactly in price type 0"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10.125,5\n", ["--price-type", "9"],
     "t.csv:2: column 'price'", "10.125 does not fit 32 bits in price type 9 of X"),
    ("t.csv", "symbol,time,exchange,price,size,exchange_time\n"
     "X,1710509402000000,1,10,5,1710509401999999\nX,1710509403000000,1,10,5,1710423003000000\n",
     ["--time-unit", "us"],
     "t.csv:3: column 'exchange_time'", "a day or more away from the row's time"),
    ("t.csv", "symbol,time,exchange,px,size\nX,09:30:00,1,65432.12345678,5\nX,09:30:01,1,1.5,5\n",
     ["--rename", "px=price"], "t.csv:2: column 'px' (price)", "does not fit 32 bits"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,1.0000000001,5\n", [],
     "t.csv:2: column 'price'", "more than 9 decimals"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:01,1,10,5\nX,09:30:00,1,10,5\n", [],
     "t.csv:3: column 'time'", "out of time order"),
    ("t.csv", "symbol,time,exchange,price,size\nX,9h30,1,10,5\n", [], "t.csv:2: column 'time'", "'9h30'"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,-5\n", [], "t.csv:2: column 'size'", "below 0"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,1.5\n", [], "t.csv:2: column 'size'",
     "not a whole number"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,70000,10,1\n", [], "t.csv:2: column 'exchange'",
     "out of range"),
    ("t.csv", "symbol,time,exchange,price,size\n,09:30:00,1,10,1\n", [], "t.csv:2: column 'symbol'", "empty"),
    ("t.csv", "symbol,time,exchange,price,size,conditions\nX,09:30:00,1,10,1,1 2 3 4 5\n", [],
     "t.csv:2: column 'conditions'", "at most four"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,1\nX,09:30:00,1,10\n", [], "t.csv", "column"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,1\nX,09:30:00,1,10,1,1\n", [], "t.csv",
     "Row #3: Expected 5 columns, got 6"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,1\nX," + "9" * (3 << 20), [], "t.csv",
     "a row runs past 1 MB without a line end"),
    ("t.csv", "symbol" * (1 << 19), [], "t.csv: no header", "runs past 1 MB without a line end"),
    ("t.csv", "symbol,time,exchange,price,size\nX,1710509402000000000,1,10,1\nX,12345,1,10,1\n", [],
     "t.csv:3: column 'time'", "--time-unit"),
    ("t.csv", "symbol,time,exchange,price,size\nX,1883-01-01T00:00:00+05:00,1,1,1\n", [], "t.csv:2: column 'time'",
     "outside the days a tape holds"),
    ("t.csv", "symbol,time,exchange,price,size\nX,-2800000000,1,1,1\n", ["--time-unit", "s"], "t.csv:2: column 'time'",
     "outside the days a tape holds"),
    ("t.csv", "symbol,time,exchange,price,size\nX,-9223372036854775807,1,1,1\n", [], "t.csv:2: column 'time'",
     "--time-unit"),
    ("t.csv", "symbol,time,exchange,price,size\nX,-1710509400,1,1,1\n", [], "t.csv:2: column 'time'",
     "the unit of the time -1710509400 since the epoch cannot be told; give --time-unit"),
    ("t.csv", "symbol,time,exchange,price,size\nX,1800-01-01T00:00:00Z,1,1,1\n", [], "t.csv:2: column 'time'",
     "outside the days a tape holds"),
    ("t.csv", "\n\r\n\n", [], "t.csv: empty file", ""),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,5\n\n\nX,09:30:01,1,ten,5\n", [],
     "t.csv:5: column 'price'", "'ten'"),
    ("t.csv", 'symbol,time,exchange,price,size,conditions\nX,09:30:00,1,10,5,"A\nB"\nX,09:30:01,1,ten,5,A\n', [],
     "t.csv:4: column 'price'", "'ten'"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,5\n\nX,09:30:00,1,10,5,6\n", [], "t.csv",
     "Row #4: Expected 5 columns, got 6"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,-1,10,5\n", [], "t.csv:2: column 'exchange'",
     "'-1' is out of range (0 to 65535)"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,10,99999999999999999999\n", [], "t.csv:2: column 'size'",
     "99999999999999999999 is out of range (0 to 4294967295)"),
    ("t.csv", "symbol,time,exchange,price,size\nX,09:30:00,1,-2147483648,5\nX,09:30:01,1,-2147483649,5\n", [],
     "t.csv:3: column 'price'", "-2147483649 of X (listed exchange 1) does not fit 32 bits as a whole number"),
    ("t.csv", "symbol,time,exchange,price,size\nA\0B,09:30:00,1,10,5\n", [], "t.csv:2: column 'symbol'",
     "'A\\x00B' holds a NUL byte"),
    ("t.csv", "symbol,time,exchange,price,size\nSOCI\u00c9T\u00c9,09:30:00,1,10,5\n".encode() +
     b"SOCI\xc9T\xc9,09:30:01,1,10,5\n", [], "t.csv:3: column 'symbol'", "'SOCI\\xc9T\\xc9' is not UTF-8 text"),
    ("t.csv", b"symbol,time,exchange,price,size\nX,09:30:00,Z\xfcrich,10,5\n", [], "t.csv:2: column 'exchange'",
     "exchange 'Z\\xfcrich' is not UTF-8 text"),
    ("t.csv", b"\xfd7zXZ\x00\x00\x04", [], "t.csv: an xz file", "xz -dc decompresses it"),
    ("t.csv", b"\xff\xfes\x00y\x00m\x00", [], "t.csv: UTF-16 text", "iconv"),
    ("t.csv", gzip.compress(b"PAR1" + bytes(100)), [], "t.csv: a gzip file holding a Parquet file", "gzip -dc"),
    ("t.csv", gzip.compress(b"\xff\xfes\x00y\x00m\x00"), [], "t.csv: a gzip file holding UTF-16 text", "iconv"),
    ("t.csv", gzip.compress(gzip.compress(b"symbol,time\n")), [], "t.csv: a gzip file holding a file compressed again",
     "gzip -dc gives the inner one"),
    ("t.csv", b"sym\x00bol,time\n", [], "t.csv: the first line holds NUL bytes", "not a CSV file"),
    ("t.jsonl", b'{"symbol":"X","time":1}\n', [], "t.jsonl: a JSON file", "pandas.read_json"),
    ("t.json", b'  [\n {"symbol": "X"}\n]\n', [], "t.json: a JSON file", "(lines=True for JSON lines)"),
    ("t.jsonl.gz", gzip.compress(b'[{"symbol":"X"}]'), [], "t.jsonl.gz: a JSON file", "pandas.read_json"),
    ("t.orc", b"ORC\x0a\x06\x08" + bytes(8) + b"\x82\xf4\x03\x03ORC\x08", [], "t.orc: an ORC file", "pyarrow.orc"),
    ("t.feather", b"FEA1" + bytes(12) + b"\x08\x00\x00\x00FEA1", [], "t.feather: a Feather (version 1) file",
     "pyarrow.feather"),
    ("t.feather.gz", gzip.compress(b"FEA1" + bytes(12) + b"\x08\x00\x00\x00FEA1"), [],
     "t.feather.gz: a gzip file holding a Feather (version 1) file", "pyarrow.feather"),
    ("t.csv", "symbol,time,exchange,price,size\nX,093000123,1,10,5\nX,93000124,1,10,5\n",
     ["--time-unit", "hhmmss"], "t.csv:3: column 'time'",
     "expected a time of day as HHMMSS and up to nine digits of a second (093000123456789), got '93000124'"),
    ("t.csv", "symbol,time,exchange,price,size\nX,2024-03-15T04:00:00Z,1,10,1\n", ["--time-zone", "Asia/Kolkata"],
     "t.csv:2: column 'time'", "Asia/Kolkata is +5:30 from GMT, but the tape of 2024-03-15 holds one offset in whole "
                               "hours for the day, +5:00"),
    ("t.csv", "symbol,time,exchange,price,size\nX,2024-03-10T06:30:00Z,1,10,1\n", ["--time-zone", "America/New_York"],
     "t.csv:2: column 'time'", "America/New_York is -5:00 from GMT, but the tape of 2024-03-10 holds one offset in "
                               "whole hours for the day, -4:00 (its clocks change that day)"),
    ("t.csv", "symbol,time,exchange,price,size\nX,2024-11-03T05:30:00Z,1,10,1\n", ["--time-zone", "America/New_York"],
     "t.csv:2: column 'time'", "is -4:00 from GMT, but the tape of 2024-11-03 holds one offset in whole hours for the "
                               "day, -5:00 (its clocks change that day)"),
    ("t.csv", "symbol,time,exchange,price,size,note\n" + "".join(
        f"X,09:30:0{k},1,10,1,{'\"Acme' if k == 2 else 'ok'}\n" for k in range(9)), ["--ignore-extra-columns"],
     "t.csv: CSV parse error: Row #4", "a quote without its closing quote"),
], ids=["missing", "unknown", "unnamed", "no-header", "empty-file", "no-rows", "bad-price", "inexact-price", "price-past-32-bits-in-its-type", "exchange-time-a-day-away", "overflow",
        "too-many-decimals", "out-of-order", "bad-time", "negative-size", "fractional-size", "bad-exchange",
        "empty-symbol", "five-conditions", "short-row", "long-row", "endless-row", "endless-header", "time-unit", "before-1883", "epoch-before-1883",
        "most-negative", "negative-epoch", "iso-before-1883", "blank-lines-only", "line-past-blank-lines", "line-past-a-quoted-line-end",
        "parse-error-past-a-blank-line", "negative-exchange", "size-past-64-bits", "negative-price-overflow",
        "nul-in-symbol", "latin-1-symbol", "latin-1-exchange", "xz", "utf-16", "gzipped-parquet", "gzipped-utf-16", "gzipped-twice", "binary", "json-lines", "json", "gzipped-json", "orc", "feather-1", "gzipped-feather-1", "clock-digits-without-the-hour's-zero", "half-hour-zone",
        "before-clocks-go-forward", "before-clocks-go-back", "unclosed-quote"])
def test_bad_input_names_file_row_and_column_and_keeps_the_tape(tmp_path, name, text, options, where, message):
    if isinstance(text, bytes):
        (tmp_path / name).write_bytes(text)
    else:
        (tmp_path / name).write_text(text, newline="")
    tape = tmp_path / "out.tape"
    tape.write_bytes(b"an earlier tape")
    result = tool("import", "--trades", tmp_path / name, "-o", tape, "--date", "2024-03-15", *options)
    assert result.returncode == 1, result.stderr
    assert where in result.stderr and message in result.stderr, result.stderr
    assert tape.read_bytes() == b"an earlier tape"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, "out.tape"])


@pytest.mark.parametrize("text, options, expected", [
    # The delimiter the first line that is not blank holds most of, outside quotes.
    ("\nsymbol|time|exchange|price|size\nX|2024-03-15T13:30:00Z|1|10.5|100\n", [], (13 * 3600 + 30 * 60, 105)),
    ("symbol\ttime\texchange\tprice\tsize\tPrice (USD, mid)\nX\t2024-03-15T13:30:00Z\t1\t10.5\t100\t1\n",
     ["--ignore-extra-columns"], (13 * 3600 + 30 * 60, 105)),
    ("X|2024-03-15T13:30:00Z|1|10.5|100|@,F\n",
     ["--no-header", "--rename", "1=symbol,2=time,3=exchange,4=price,5=size,6=conditions"], (13 * 3600 + 30 * 60, 105)),
    # Epoch times as pandas writes a float column, and before 1970 to the
    # microsecond at or before them.
    ("symbol,time,exchange,price,size\nX,1.7105094001234568e+18,1,10.5,100\n", [], (13 * 3600 + 30 * 60, 105)),
    ("symbol,time,exchange,price,size\nX,1.7105094e9,1,10.5,100\n", ["--time-unit", "s"], (13 * 3600 + 30 * 60, 105)),
    ("symbol,time,exchange,price,size\nX,-0.0000005,1,10.5,100\n", ["--time-unit", "s"], (86399, 105)),
], ids=["blank-line-then-pipes", "tabs-with-a-comma-in-a-name", "pipes-with-a-comma-in-a-row", "exponent-ns", "exponent-s", "before-1970"])
def test_vendor_csv_dialects_read_as_their_values(tmp_path, text, options, expected):
    (tmp_path / "t.csv").write_text(text, newline="")
    import_files("-q", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape", *options)
    trades = tarvik_engine.read_tape(tmp_path / "t.tape", kinds="trades", time_zone="UTC")["trades"]
    time = trades["time"][0].as_py()
    assert (time.hour * 3600 + time.minute * 60 + time.second, trades["price_raw"][0].as_py()) == expected
    if expected[0] == 86399:
        assert time.microsecond == 999_999


def test_two_constants_given_as_one_are_a_bad_command_line(tmp_path):
    (tmp_path / "t.csv").write_text("time,exchange,price,size\n2024-03-15T13:30:00Z,1,10.5,100\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape",
                  "--constant", "symbol=BTCUSDT,exchange=3")
    assert result.returncode == 2 and "give each column its own --constant" in result.stderr


def test_a_missing_input_is_named_as_write_tape_names_it(tmp_path):
    result = tool("import", "--trades", tmp_path / "nowhere.csv", "-o", tmp_path / "out.tape")
    assert result.returncode == 1
    assert f"{tmp_path / 'nowhere.csv'}: no such file" in result.stderr, result.stderr


@pytest.mark.parametrize("temp_dir, ok", [("spill", True), ("missing/dir", False)], ids=["empty-dir", "missing-dir"])
def test_converted_rows_wait_in_the_temp_dir_and_leave_nothing(tmp_path, day, csv_day, temp_dir, ok):
    temp = tmp_path / temp_dir
    if ok:
        temp.mkdir()
    tape = tmp_path / "out.tape"
    tape.write_bytes(b"an earlier tape")
    result = tool("import", "--quotes", csv_day.parent / "quotes.csv", "--trades", csv_day.parent / "trades.csv",
                  "-o", tape, "--time-zone", "America/New_York", "--temp-dir", temp)
    if ok:
        assert result.returncode == 0, result.stderr
        assert tape.read_bytes() == csv_day.read_bytes()
        assert list(temp.iterdir()) == []
    else:
        assert result.returncode == 1, result.stderr
        assert f"cannot create a temporary file in {temp}" in result.stderr, result.stderr
        assert tape.read_bytes() == b"an earlier tape"


@pytest.mark.parametrize("exchange_times", [False, True], ids=["rows", "rows-with-exchange-times"])
@pytest.mark.parametrize("temp_dir, inputs", [("disk", 1), ("memory", 1), ("disk", 24)],
                         ids=["disk", "memory", "disk-24-inputs"])
def test_many_waiting_rows_come_back_whole_and_in_order(tmp_path, exchange_times, temp_dir, inputs):
    """More rows than several blocks of the temporary file hold, the last
    block part full, come back whole and in order, whether the file system
    takes transfers straight to the disk or only through its page cache, and
    in the smaller blocks of many inputs."""
    if temp_dir == "memory" and not Path("/dev/shm").is_dir():
        pytest.skip("no /dev/shm")
    temp = tmp_path / "spill" if temp_dir == "disk" else Path("/dev/shm")
    temp.mkdir(exist_ok=True)
    rows = 50_001
    header = "symbol,time,exchange,price,size,sequence" + (",exchange_time" if exchange_times else "")
    files = [[header] for _ in range(inputs)]
    for k in range(rows):
        time = f"2024-03-15T14:30:{k // 1000:02d}.{k % 1000:03d}Z"  # k < 60,000
        line = f"{'XY'[k % 2]},{time},{1 + k % 3},{10 + k % 997}.{k % 100:02d},{1 + k % 5000},{k}"
        files[k % inputs].append(line + (f",{time}" if exchange_times else ""))
    args = []
    for j, lines in enumerate(files):
        (tmp_path / f"t{j}.csv").write_text("\n".join(lines) + "\n")
        args += ["--trades", tmp_path / f"t{j}.csv"]
    tape = tmp_path / "many.tape"
    import_files(*args, "-o", tape, "--temp-dir", temp)
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("sequence").to_pylist() == list(range(rows))
    assert trades.column("price_raw").to_pylist() == [(10 + k % 997) * 100 + k % 100 for k in range(rows)]
    assert trades.column("size").to_pylist() == [1 + k % 5000 for k in range(rows)]
    assert not [p for p in temp.iterdir() if p.name.startswith("tarvik-import-")]


def test_no_room_for_the_waiting_rows_fails_cleanly_and_keeps_the_tape(tmp_path):
    """Files may not grow past 64 KB (as on a full disk): the rows of the
    import cannot wait, and the import says so and keeps the old tape."""
    rows = "".join(f"X,2024-03-15T14:30:{k // 1000:02d}.{k % 1000:03d}Z,Q,10.25,100\n" for k in range(20_000))
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + rows)
    tape = tmp_path / "out.tape"
    tape.write_bytes(b"an earlier tape")
    # SIGXFSZ ignored: a write past the limit fails instead of ending the process.
    limited = ["bash", "-c", 'trap "" XFSZ; ulimit -f 64; exec "$@"', "bash"]
    result = subprocess.run([*limited, tarvik_engine.tape_tool_path(), "import", "--trades", tmp_path / "t.csv",
                             "-o", tape], capture_output=True, text=True)
    assert result.returncode == 1, result.stderr
    assert f"cannot write its temporary file in {tmp_path}" in result.stderr, result.stderr
    assert tape.read_bytes() == b"an earlier tape"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.tape", "t.csv"]


@pytest.mark.parametrize("args", [
    ["-o", "x.tape"],
    ["--trades", "t.csv"],
    ["--trades", "t.csv", "-o", "x.tape", "--time-unit", "minutes"],
    ["--trades", "t.csv", "-o", "x.tape", "--time-zone", "Mars/Olympus"],
    ["--trades", "t.csv", "-o", "x.tape", "--time-zone", ""],
    ["--trades", "t.csv", "-o", "x.tape", "--rename", "nothing"],
    ["--trades", "t.csv", "-o", "x.tape", "--rename", "price=pirce"],
    ["--trades", "t.csv", "-o", "x.tape", "--colour", "red"],
    ["--trades", "t.csv", "-o", "x.tape", "--delimiter", '"'],
])
def test_a_bad_command_line_exits_2(tmp_path, args):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,09:30:00,1,10,5\n")
    result = subprocess.run([tarvik_engine.tape_tool_path(), "import", *args], capture_output=True, text=True,
                            cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert not (tmp_path / "x.tape").exists()


@pytest.mark.parametrize("output", ["t.csv", "./t.csv", "link.csv", "2024-03-15.csv", "{date}.csv"])
def test_an_output_that_is_an_input_is_refused_and_the_input_kept(tmp_path, output):
    text = "symbol,time,exchange,price,size\nX,2024-03-15T14:00:00Z,1,10,5\n"
    (tmp_path / "t.csv").write_text(text)
    (tmp_path / "link.csv").symlink_to("t.csv")
    os.link(tmp_path / "t.csv", tmp_path / "2024-03-15.csv")
    result = subprocess.run([tarvik_engine.tape_tool_path(), "import", "--trades", "t.csv", "-o", output],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert "the output is the input t.csv, which the tape would replace" in result.stderr
    assert (tmp_path / "t.csv").read_text() == text
    assert sorted(p.name for p in tmp_path.iterdir()) == ["2024-03-15.csv", "link.csv", "t.csv"]


@pytest.mark.parametrize("line_end", ["\n", ""], ids=["header", "header-without-line-end"])
def test_an_empty_input_may_write_an_empty_tape(loaded, tmp_path, line_end):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size" + line_end)
    import_files("--trades", tmp_path / "t.csv", "-o", tmp_path / "empty.tape", "--allow-empty", "--date",
                 "2024-03-15")
    kinds = []
    assert Tarvik.ProcessTape(str(tmp_path / "empty.tape"), 0, 0, 0, lambda s, m: kinds.append(m.MessageType) or 0) == 0
    assert Tarvik.TqMSG_TRADE not in kinds


def test_write_tape_shows_its_progress_and_stops_at_ctrl_c(python_child, tmp_path):
    """Ctrl-C during write_tape stops the import (which runs on a thread of
    its own) and raises KeyboardInterrupt; nothing is written and the tape
    already there is kept. Run in a child, whose SIGINT is its own."""
    rows = "".join(f"S{k % 50},{1710509400_000000 + k},1,{k % 900 + 100}.25,{k % 7 + 1}\n" for k in range(400_000))
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + rows * 4)
    tape = tmp_path / "out.tape"
    tape.write_bytes(b"an earlier tape")
    result = python_child(f"""
        import os, signal, sys, threading, time, tarvik_engine
        tarvik_engine.write_tape({str(tmp_path / "small.tape")!r}, trades={str(tmp_path / "t.csv")!r},
                                 time_unit="us", sort=True, progress=True)
        signal.signal(signal.SIGINT, signal.default_int_handler)  # as in a terminal, also when the tests run in the background
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            tarvik_engine.write_tape({str(tape)!r}, trades={str(tmp_path / "t.csv")!r}, time_unit="us", sort=True)
        except KeyboardInterrupt as e:
            print("stopped", time.monotonic() - start < 30, e)
    """, timeout=240)
    assert result.returncode == 0, result.stderr
    assert "write_tape: writing" in result.stderr and "events" in result.stderr
    assert "write_tape: sorting" in result.stderr
    assert result.stdout.startswith("stopped True write_tape: interrupted"), result.stdout
    assert tape.read_bytes() == b"an earlier tape"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.tape", "small.tape", "t.csv"]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_the_tool_stops_at_ctrl_c_and_leaves_nothing(tmp_path, sig):
    """An interrupted import removes its unfinished tapes, which are whole
    enough for a listing of days to take for real ones, and keeps the tape
    already at the output."""
    rows = "".join(f"S{k % 50},{1710509400_000000 + k * 1000},1,{k % 900 + 100}.25,{k % 7 + 1}\n"
                   for k in range(400_000))
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + rows * 4)
    (tmp_path / "out").mkdir()
    tape = tmp_path / "out" / "day.tape"
    tape.write_bytes(b"an earlier tape")
    child = subprocess.Popen([tarvik_engine.tape_tool_path(), "import", "-q", "--trades", str(tmp_path / "t.csv"),
                              "--time-unit", "us", "--sort", "-o", str(tape)], stderr=subprocess.PIPE, text=True)
    time.sleep(0.3)
    child.send_signal(sig)
    _, err = child.communicate(timeout=120)
    assert (child.returncode, err) == (130, "tarvik-tape: import: interrupted; nothing was written\n")
    assert tape.read_bytes() == b"an earlier tape"
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["day.tape"]


@pytest.mark.parametrize("case", ["second-of-the-other-kind", "ignored-at-start"])
def test_the_tool_s_signals(tmp_path, case):
    """A second signal of either kind ends the tool at once; a SIGINT the
    tool was started with ignored (a script's background job) stays
    ignored, and the import runs to its end."""
    rows = "".join(f"S{k % 50},{1710509400_000000 + k * 1000},1,{k % 900 + 100}.25,{k % 7 + 1}\n"
                   for k in range(400_000))
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + rows * 4)
    tape = tmp_path / "day.tape"
    ignored = case == "ignored-at-start"
    child = subprocess.Popen([tarvik_engine.tape_tool_path(), "import", "-q", "--trades", str(tmp_path / "t.csv"),
                              "--time-unit", "us", "--sort", "-o", str(tape)], stderr=subprocess.PIPE, text=True,
                             preexec_fn=(lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if ignored else None)
    time.sleep(0.3)
    if ignored:
        child.send_signal(signal.SIGINT)
    else:
        # Both come at once when the stopped tool goes on: the first asks
        # the import to stop, the second ends the tool.
        child.send_signal(signal.SIGSTOP)
        child.send_signal(signal.SIGTERM)
        child.send_signal(signal.SIGINT)
        child.send_signal(signal.SIGCONT)
    _, err = child.communicate(timeout=120)
    if ignored:
        assert child.returncode == 0 and tape.exists(), err
    else:
        assert child.returncode in (-signal.SIGINT, -signal.SIGTERM), (child.returncode, err)
        assert not tape.exists()


def test_the_tapes_of_one_import_go_into_place_all_or_none(tmp_path):
    """A day whose tape cannot be put in place (a folder has its name) takes
    back the days already put there: the earlier run's tapes stay."""
    lines = [f"A,2024-03-0{day}T15:00:00Z,1,1.5,{{size}}" for day in (1, 2, 3)]
    for name, size in (("a.csv", 1), ("b.csv", 2)):
        (tmp_path / name).write_text("symbol,time,exchange,price,size\n" + "\n".join(lines).format(size=size) + "\n")
    out = tmp_path / "out"
    out.mkdir()
    import_files("-q", "--trades", tmp_path / "a.csv", "-o", out / "d-{date}.tape")
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    (out / "d-2024-03-02.tape").unlink()
    (out / "d-2024-03-02.tape").mkdir()
    del before["d-2024-03-02.tape"]
    result = tool("import", "-q", "--trades", tmp_path / "b.csv", "-o", out / "d-{date}.tape")
    assert result.returncode == 1 and "d-2024-03-02.tape: cannot be written: Is a directory" in result.stderr
    assert {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()} == before
    assert sorted(p.name for p in out.iterdir()) == ["d-2024-03-01.tape", "d-2024-03-02.tape", "d-2024-03-03.tape"]
    (out / "d-2024-03-02.tape").rmdir()
    import_files("-q", "--trades", tmp_path / "b.csv", "-o", out / "d-{date}.tape")
    sizes = [tarvik_engine.read_tape(out / f"d-2024-03-0{day}.tape", kinds=("trades",))["trades"]["size"].to_pylist()
             for day in (1, 2, 3)]
    assert sizes == [[2], [2], [2]]


def test_an_output_named_through_a_symbolic_link_goes_to_its_file(tmp_path):
    """The link stays a link; its file gets the tape, or keeps what it held
    when the import fails."""
    lines = [f"A,2024-03-0{day}T15:00:00Z,1,1.5,1" for day in (1, 2, 3)]
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + "\n".join(lines) + "\n")
    out = tmp_path / "out"
    out.mkdir()
    (out / "kept.tape").write_text("an earlier tape")
    (out / "d-2024-03-01.tape").symlink_to("kept.tape")
    (out / "d-2024-03-03.tape").mkdir()
    result = tool("import", "-q", "--trades", tmp_path / "t.csv", "-o", out / "d-{date}.tape")
    assert result.returncode == 1 and "d-2024-03-03.tape: cannot be written: Is a directory" in result.stderr
    assert os.readlink(out / "d-2024-03-01.tape") == "kept.tape"
    assert (out / "kept.tape").read_text() == "an earlier tape"
    assert sorted(p.name for p in out.iterdir()) == ["d-2024-03-01.tape", "d-2024-03-03.tape", "kept.tape"]
    (out / "d-2024-03-03.tape").rmdir()
    import_files("-q", "--trades", tmp_path / "t.csv", "-o", out / "d-{date}.tape")
    assert os.readlink(out / "d-2024-03-01.tape") == "kept.tape"
    assert tarvik_engine.read_tape(out / "kept.tape", kinds="trades")["trades"].num_rows == 1


@pytest.mark.parametrize("output, message, code", [
    ("folder/", "folder/: names a folder; -o names the tape", 2),
    ("folder", "folder: cannot be written: Is a directory", 1),
    ("nowhere/day.tape", "nowhere/day.tape: cannot be written: No such file or directory", 1),
    ("t.csv.d/day.tape", "t.csv.d/day.tape: cannot be written: Not a directory", 1),
], ids=["slash", "folder", "missing-folder", "file-as-folder"])
def test_an_output_that_cannot_be_written_is_named_before_anything_is_read(tmp_path, output, message, code):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nA,2024-03-01T15:00:00Z,1,1.5,1\n")
    (tmp_path / "folder").mkdir()
    (tmp_path / "t.csv.d").write_text("a file")
    result = subprocess.run([tarvik_engine.tape_tool_path(), "import", "-q", "--trades", "t.csv", "-o", output],
                            capture_output=True, text=True, cwd=tmp_path)
    assert (result.returncode, message in result.stderr) == (code, True), result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder", "t.csv", "t.csv.d"]


def test_days_in_folders_of_their_own_wait_their_rows_above_them(tmp_path):
    lines = [f"A,2024-03-0{day}T15:00:00Z,1,1.5,{day}" for day in (1, 2)]
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + "\n".join(lines) + "\n")
    for day in (1, 2):
        (tmp_path / "days" / f"2024-03-0{day}").mkdir(parents=True)
    import_files("-q", "--trades", tmp_path / "t.csv", "-o", tmp_path / "days" / "{date}" / "day.tape")
    sizes = [tarvik_engine.read_tape(tmp_path / "days" / f"2024-03-0{day}" / "day.tape", kinds="trades")["trades"]
             ["size"].to_pylist() for day in (1, 2)]
    assert sizes == [[1], [2]]


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="runs the tool as another user")
def test_a_user_who_cannot_write_beside_a_device_imports_into_it(tmp_path):
    """/dev/null is written into as it is: nothing is made beside it."""
    import tempfile
    folder = tempfile.mkdtemp()
    try:
        os.chmod(folder, 0o755)
        data = os.path.join(folder, "t.csv")
        with open(data, "w") as f:
            f.write("symbol,time,exchange,price,size\nA,2024-03-01T15:00:00Z,1,1.5,1\n")
        os.chmod(data, 0o644)

        def as_nobody():
            os.setgid(65534)
            os.setuid(65534)

        result = subprocess.run([tarvik_engine.tape_tool_path(), "import", "-q", "--trades", data, "-o", "/dev/null"],
                                capture_output=True, text=True, preexec_fn=as_nobody, env={"PATH": "/usr/bin:/bin"})
        assert result.returncode == 0, result.stderr
    finally:
        import shutil
        shutil.rmtree(folder)


def test_an_error_a_stream_raises_reaches_the_caller_as_it_was_raised(tmp_path):
    pa = pytest.importorskip("pyarrow")
    schema = pa.schema([("symbol", pa.string()), ("time", pa.int64()), ("exchange", pa.int64()),
                        ("price", pa.float64()), ("size", pa.int64())])

    class FeedDropped(Exception):
        pass

    def batches():
        yield pa.record_batch([["AAA"], [1710509400000000], [1], [10.5], [100]], schema=schema)
        raise FeedDropped("feed dropped")

    tape = tmp_path / "day.tape"
    tape.write_bytes(b"an earlier tape")
    # A C stream (another library's) raises what its producer makes of it.
    capsule = type("Polars", (), {"__arrow_c_stream__": lambda self, requested=None:
                                  pa.RecordBatchReader.from_batches(schema, batches()).__arrow_c_stream__()})()
    for stream, error, match in ((pa.RecordBatchReader.from_batches(schema, batches()), FeedDropped, "^feed dropped$"),
                                 (capsule, pa.ArrowInvalid, "feed dropped")):
        with pytest.raises(error, match=match):
            tarvik_engine.write_tape(tape, trades=stream, time_unit="us", progress=False)
    assert tape.read_bytes() == b"an earlier tape"
    assert [p.name for p in tmp_path.iterdir()] == ["day.tape"]


@pytest.mark.parametrize("column, message", [
    ("pa.array([datetime.time(9, 30)], pa.time64('ns'))", "a time of day needs date=, or a day in the row's date column, got 09:30:00.000000000"),
    ("pa.array([datetime.datetime(1795, 1, 1)], pa.timestamp('ns', 'UTC'))",
     "outside the days a tape holds (1883-01-01 to 9999-12-31), got 1795-01-01 00:00:00.000000000Z"),
], ids=["time-of-day", "too-early"])
def test_a_typed_time_in_an_error_shows_its_value(tmp_path, column, message):
    pa = pytest.importorskip("pyarrow")
    trades = pa.table({"symbol": ["X"], "time": eval(column), "exchange": [1], "price": ["1.5"], "size": [1]})
    with pytest.raises(ValueError, match=re.escape(f"trades:1: column 'time': {message}")):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, progress=False)


def test_a_wide_decimal_of_a_large_scale_is_read_as_its_value(tmp_path):
    """The zeros a scale of 40 puts after 1.5 take it past 128 bits; the
    value itself is short."""
    pa = pytest.importorskip("pyarrow")
    prices = [Decimal("1.5"), Decimal("150.25"), Decimal("-0.0001")]
    trades = pa.table({"symbol": ["IBM"] * 3, "time": pa.array([1710509400_000000 + k for k in range(3)]),
                       "exchange": [1] * 3, "size": [100] * 3, "price": pa.array(prices, pa.decimal256(60, 40))})
    tape = tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, time_unit="us", progress=False)[0]
    assert tarvik_engine.read_tape(tape, kinds="trades")["trades"]["price"].to_pylist() == [1.5, 150.25, -0.0001]


@pytest.mark.parametrize("case, message", [
    ("price=pa.array([Decimal('7E-70')], pa.decimal256(76, 70))",
     "trades:1: column 'price': a decimal past 38 digits or decimals is out of range, got 7E-70"),
    ("size=pa.Array.from_buffers(pa.decimal128(5, -39), 1, [None, pa.py_buffer((3).to_bytes(16, 'little'))])",
     "trades:1: column 'size': a decimal past 38 digits or decimals is out of range"),
    ("size=pa.Array.from_buffers(pa.decimal128(5, -38), 1, [None, pa.py_buffer((3).to_bytes(16, 'little'))])",
     "trades:1: column 'size': a decimal past 38 digits or decimals is out of range"),
    ("reader", "trades: batch 2 does not match the reader's schema"),
    ("sequence=pa.array([2**64 - 1], pa.uint64())", "trades:1: column 'sequence': 18446744073709551615 is out of "
                                                    "range (0 to 4294967295)"),
])
def test_arrow_values_past_what_a_decimal_holds_and_mismatched_batches_are_errors(python_child, tmp_path, case,
                                                                                  message):
    """Decimal columns of any scale, and a reader whose batches differ from
    its schema, are refused with the row; they crashed the process or
    imported a wrong size. Run in a child, so a crash is a failure."""
    pytest.importorskip("pyarrow")
    result = python_child(f"""
        import pyarrow as pa, tarvik_engine
        from decimal import Decimal
        columns = dict(symbol=["AAA"] * 2, time=pa.array([1710509400000000, 1710509400000001]), exchange=["Q"] * 2,
                       price=["1.5"] * 2, size=[100] * 2)
        case = {case!r}
        if case == "reader":
            table = pa.table(columns)
            wide = table.cast(pa.schema([f.with_type(pa.large_string()) if f.name == "symbol" else f
                                         for f in table.schema]))
            data = pa.RecordBatchReader.from_batches(table.schema, iter([table.slice(0, 1).to_batches()[0],
                                                                         wide.slice(1).to_batches()[0]]))
        else:
            name, value = case.split("=", 1)
            columns[name] = eval(value)
            data = pa.table({{k: v[:1] for k, v in columns.items()}})
        try:
            tarvik_engine.write_tape({str(tmp_path / "t.tape")!r}, trades=data)
        except ValueError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert message in result.stdout
    assert not (tmp_path / "t.tape").exists()


@pytest.mark.parametrize("frame, options, message", [
    ({"symbol": ["X", "X"], "time": ["09:30:01", "09:30:00"]}, {"date": "2024-03-15"},
     "trades:2: column 'time': out of time order: earlier than row 1 (inputs must be in time order; "
     "sort=True sorts them)"),
    ({"symbol": ["X"], "time": ["09:30:00"]}, {}, "a time of day needs date="),
    ({"symbol": ["X"], "time": ["09:30:00"], "date": ["04/03/2024"]}, {},
     'give date_order="mdy" or date_order="dmy", got \'04/03/2024\''),
    ({"symbol": ["X"], "time": ["13/01/2024 09:30:00"]}, {"date_order": "mdy"},
     'not a day of the calendar, read month first (date_order="mdy")'),
    ({"symbol": ["X"], "time": ["34200"]}, {"date": "2024-03-15"},
     'reads with time_unit="s-of-day", or ms-, us-, ns-of-day)'),
    ({"symbol": ["--sort"], "time": ["09:30:00"], "venue": ["Q"]}, {"date": "2024-03-15"},
     "ignore_extra_columns=True skips others"),
    ({"ticker": ["X"], "ts": ["09:30:00"], "px": [10]}, {"date": "2024-03-15"},
     "trades: no header: none of its columns ('ticker', 'ts', 'px'"),
    # an option between two apostrophes of "a file's", "a trade's"
    ({"symbol": ["X"], "time": ["09:30:00"], "size": [0.5]}, {"date": "2024-03-15"},
     "fractional_sizes=True keeps a trade's fraction"),
])
def test_write_tape_errors_name_its_keywords_for_the_tools_options(tmp_path, frame, options, message):
    pd = pytest.importorskip("pandas")
    columns = {"exchange": [1] * len(frame["symbol"]), "price": [10] * len(frame["symbol"]),
               "size": [5] * len(frame["symbol"])} if "ticker" not in frame else {}
    columns = {name: values for name, values in columns.items() if name not in frame}
    with pytest.raises(ValueError) as raised:
        tarvik_engine.write_tape(tmp_path / "--sort.tape", trades=pd.DataFrame(frame | columns), **options)
    assert message in str(raised.value) and " --" not in str(raised.value).replace("--sort.tape", "")


def test_write_tape_names_renames_as_its_keyword_and_leaves_paths_alone(tmp_path):
    (tmp_path / "t.csv").write_text("X,2024-03-15T13:30:00Z,1,10,5\n")
    with pytest.raises(ValueError, match=r"and rename=\{'N': 'symbol'\} names column N"):
        tarvik_engine.write_tape(tmp_path / "a.tape", trades=tmp_path / "t.csv", header=False)
    (tmp_path / "-o").mkdir()
    (tmp_path / "d.csv").write_text("symbol,time,exchange,price,size\nX,2024-03-14T15:00:00Z,1,10,1\n")
    with pytest.raises(ValueError, match=re.escape(str(tmp_path / "-o" / "none"))):
        tarvik_engine.write_tape(tmp_path / "-o" / "none" / "day-{date}.tape", trades=tmp_path / "d.csv")


@pytest.mark.parametrize("case, kept", [
    ("temp_dir", "cannot create a temporary file in {tmp}/no -o dir/"),
    ("row", "Expected 5 columns, got 6: X,2024-03-15T13:30:00Z,1,10,5,note --sort -o x"),
    ("symbol", "'O\\'N -o \\\\X\\x00' holds a NUL byte"),
])
def test_write_tape_leaves_values_and_paths_in_its_messages_alone(tmp_path, case, kept):
    """Only the options a message names become keywords: a folder, a row
    Arrow quotes and a quoted value with an apostrophe stay as they are."""
    row = "X,2024-03-15T13:30:00Z,1,10,5"
    options = {}
    if case == "temp_dir":
        options["temp_dir"] = tmp_path / "no -o dir"
    elif case == "row":
        row += ",note --sort -o x"
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + row + "\n")
    trades: object = tmp_path / "t.csv"
    if case == "symbol":
        pd = pytest.importorskip("pandas")
        trades = pd.DataFrame({"symbol": ["O'N -o \\X\0"], "time": ["2024-03-15T13:30:00Z"], "exchange": [1],
                               "price": [10], "size": [5]})
    with pytest.raises(ValueError) as raised:
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, progress=False, **options)
    assert kept.format(tmp=tmp_path) in str(raised.value), str(raised.value)


def test_write_tape_errors_name_the_argument_row_and_column(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    trades = pd.DataFrame({"symbol": ["X", "X"], "time": [1710509402000000000, 1710509403000000000],
                           "exchange": [1, 1], "price": [10.5, 0.1 + 0.2], "size": [5, 5]})
    tape = tmp_path / "out.tape"
    with pytest.raises(ValueError, match=r"^trades:2: column 'price': the float 0.30000000000000004 is no decimal"):
        tarvik_engine.write_tape(tape, trades=trades)
    with pytest.raises(ValueError, match=r"^trades: missing column 'size'"):
        tarvik_engine.write_tape(tape, trades=trades.drop(columns="size"))
    with pytest.raises(ValueError, match=r"^trades:1: column 'size': expected a number, got the boolean true"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5, size=True))
    with pytest.raises(ValueError, match=r"^trades:1: column 'exchange': exchange '-1' is out of range"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5, exchange=-1))
    with pytest.raises(ValueError, match=r"^trades:2: column 'exchange': exchange '1.5' is not a whole number"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5, exchange=[1.0, 1.5]))
    with pytest.raises(ValueError, match=r"^trades:1: column 'symbol': expected text, got the boolean true"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5, symbol=True))
    # A float column with a gap is written to CSV as 2.0: its whole numbers are exchanges.
    (tmp_path / "floats.csv").write_text("symbol,time,exchange,price,size\nX,1710509402000000000,2.0,10,5\n")
    tarvik_engine.write_tape(tmp_path / "floats.tape", trades=tmp_path / "floats.csv")
    exchanges = tarvik_engine.read_tape(tmp_path / "floats.tape", kinds="trades")["trades"].column("reporting_exchange")
    assert exchanges.to_pylist() == [2]
    # An object column mixing texts and numbers is named with its first odd row.
    with pytest.raises(ValueError, match=r"^trades:2: column 'symbol': 7 \(int\) cannot be read with the column's"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5, symbol=pd.Series(["X", 7], dtype=object)))
    twice = pd.concat([trades.assign(price=10.5), trades[["size"]]], axis=1)
    with pytest.raises(ValueError, match=r"^trades: column 'size' given twice$"):
        tarvik_engine.write_tape(tape, trades=twice)
    with pytest.raises(ValueError, match=r"^path: .* is not UTF-8"):
        tarvik_engine.write_tape(os.fsencode(tmp_path) + b"/d\xe9j\xe0.tape", trades=trades.assign(price=10.5))
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,1710509402000000000,1,10,5\n")
    with pytest.raises(ValueError, match=r"^delimiter: expected one character"):
        tarvik_engine.write_tape(tape, trades=tmp_path / "t.csv", delimiter='"')
    with pytest.raises(FileNotFoundError):
        tarvik_engine.write_tape(tape, trades=tmp_path / "nowhere.csv")
    with pytest.raises(TypeError):
        tarvik_engine.write_tape(tape, trades=[1, 2, 3])
    with pytest.raises(TypeError, match=r"^listed_exchange: expected an int, got str"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5), listed_exchange="Q")
    with pytest.raises(ValueError, match=r"^price_type: 300 is out of range \(0 to 255\)"):
        tarvik_engine.write_tape(tape, trades=trades.assign(price=10.5), price_type=300)
    assert not tape.exists()
    tarvik_engine.write_tape(os.fsencode(tape), trades=trades.assign(price=10.5))  # a path in bytes
    assert tape.exists()


def test_dictionary_columns_give_what_their_texts_give_and_fail_at_the_first_bad_row(tmp_path):
    """Rows of one dictionary entry share what the import makes of the
    entry's text; an entry first bad at some row fails at that row."""
    pa = pytest.importorskip("pyarrow")

    def table(exchanges):
        def dictionary(texts):
            return pa.array(texts).dictionary_encode()
        return pa.table({"symbol": dictionary(["X", "Y", "X", "Y", "X", "X"]),
                         "time": [1710509402000000000 + k for k in range(6)], "exchange": dictionary(exchanges),
                         "price": [10] * 6, "size": [5] * 6,
                         "conditions": dictionary(["@ F", "I", "@ F", None, "I", "@ F"])})

    tape = tmp_path / "dictionaries.tape"
    tarvik_engine.write_tape(tape, trades=table(["1", "2", "1", "2", "1", "2"]))
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("symbol").to_pylist() == ["X", "Y", "X", "Y", "X", "X"]
    assert trades.column("reporting_exchange").to_pylist() == [1, 2, 1, 2, 1, 2]
    assert trades.column("conditions").to_pylist() == [[1, 2], [3], [1, 2], [], [3], [1, 2]]
    with pytest.raises(ValueError, match=r"^trades:4: column 'exchange': exchange 'Q' is a name, but other exchanges of the import are numbers"):
        tarvik_engine.write_tape(tmp_path / "bad.tape", trades=table(["1", "2", "1", "Q", "1", "Q"]))


@pytest.mark.parametrize("width", [32, 64, 128, 256])
def test_decimal_columns_of_every_width_give_their_prices_and_sizes(tmp_path, width):
    pa = pytest.importorskip("pyarrow")
    decimal_type = {32: pa.decimal32, 64: pa.decimal64, 128: pa.decimal128, 256: pa.decimal256}[width]
    precision = {32: 9, 64: 18, 128: 38, 256: 76}[width]
    prices = [Decimal("150.25"), Decimal("-0.0001"), Decimal("99999.9")]

    def table(price_cells):
        return pa.table({"symbol": ["X"] * 3, "time": [1710509402000000000 + k for k in range(3)],
                         "exchange": [1] * 3, "price": pa.array(price_cells, type=decimal_type(precision, 4)),
                         "size": pa.array([Decimal(5), Decimal(6), Decimal(7)], type=decimal_type(precision, 0))})

    tape = tmp_path / "decimals.tape"
    tarvik_engine.write_tape(tape, trades=table(prices))
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    assert trades.column("price_raw").to_pylist() == [1502500, -1, 999999000]
    assert trades.column("size").to_pylist() == [5, 6, 7]
    if width == 256:  # past 38 digits: no price holds it
        with pytest.raises(ValueError, match=r"^trades:2: column 'price': a decimal past 38 digits or decimals is out of range"):
            tarvik_engine.write_tape(tmp_path / "wide.tape", trades=table([prices[0], Decimal(10) ** 60, prices[2]]))
    with pytest.raises(ValueError, match=r"^trades:1: column 'price': expected a number, got a column of type date32"):
        tarvik_engine.write_tape(tmp_path / "dates.tape", trades=table(prices).set_column(
            3, "price", pa.array([datetime.date(2024, 3, 15)] * 3)))


def test_write_tape_takes_paths_and_returns_the_tapes(tmp_path, day, csv_day):
    quotes, trades = day
    (tmp_path / "q.csv").write_text(csv_text(quotes))
    (tmp_path / "t.csv").write_text(csv_text(trades))
    written = tarvik_engine.write_tape(str(tmp_path / "{date}.tape"), quotes=tmp_path / "q.csv",
                                       trades=str(tmp_path / "t.csv"), time_zone="America/New_York")
    assert written == [tmp_path / "2024-03-15.tape"]
    assert written[0].read_bytes() == csv_day.read_bytes()


@pytest.mark.parametrize("price, price_type, raw", [
    (171.1 + 0.2, 2, 17130),          # arithmetic's last bit: the nearest price of the type
    (0.1 * 3, 4, 3000),
    ((101.25 + 101.27) / 2, 2, 10126),
    (171.3, 2, 17130),
    (0.375 + 1e-15, 12, 3),          # a binary type: eighths
    (171.3456, 2, None),              # a fifth significant digit more is no noise
    (12.5000001, 4, None),
    (1e12, 2, None),                  # past 32 bits
])
@pytest.mark.parametrize("given", ["--price-type", "--symbols"])
def test_float_prices_are_read_as_the_nearest_price_of_a_given_type(tmp_path, price, price_type, raw, given):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    pq.write_table(pa.table({"symbol": ["T"], "time": ["2024-03-15T13:30:00Z"], "exchange": [1],
                             "price": pa.array([price], pa.float64()), "size": [100]}), tmp_path / "t.parquet")
    (tmp_path / "symbols.csv").write_text(f"symbol,price_type\nT,{price_type}\n")
    typed = ["--price-type", price_type] if given == "--price-type" else ["--symbols", tmp_path / "symbols.csv"]
    result = tool("import", "-q", "--trades", tmp_path / "t.parquet", *typed, "-o", tmp_path / "t.tape")
    if raw is None:
        assert result.returncode == 1
        shown = re.escape(repr(price)) if price < 1e9 else r"1e\+12"
        assert re.search(rf"t\.parquet:1: column 'price': the float {shown} (cannot be written exactly|does not fit "
                         rf"32 bits) in price type {price_type} of T", result.stderr), result.stderr
        assert not (tmp_path / "t.tape").exists()
    else:
        assert result.returncode == 0, result.stderr
        trades = tarvik_engine.read_tape(tmp_path / "t.tape", kinds="trades")["trades"]
        assert trades["price_raw"].to_pylist() == [raw] and trades["price_type"].to_pylist() == [price_type]


def test_number_columns_as_categoricals_give_what_their_values_give(tmp_path):
    """pandas categoricals and Arrow dictionaries of numbers (exchange codes
    kept as a category to save memory) are read as their values, in a
    DataFrame, a Table and a stream."""
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    plain = pd.DataFrame({"symbol": ["A", "B", "A"],
                          "time": pd.to_datetime(["2024-03-15 13:30:00.000001", "2024-03-15 13:30:00.000002",
                                                  "2024-03-15 13:30:00.000003"]).tz_localize("UTC"),
                          "exchange": [1, 2, 1], "price": [1.5, 2.5, 1.5], "size": [10, 20, 10],
                          "conditions": [12, 0, 12]})
    tarvik_engine.write_tape(tmp_path / "plain.tape", trades=plain)
    expected = tarvik_engine.read_tape(tmp_path / "plain.tape", kinds="trades")["trades"]
    categorical = plain.astype({name: "category" for name in ("exchange", "price", "size", "conditions")})
    table = pa.Table.from_pandas(categorical, preserve_index=False)
    for name, data in [("frame", categorical), ("table", table),
                       ("stream", pa.RecordBatchReader.from_batches(table.schema, table.to_batches()))]:
        tarvik_engine.write_tape(tmp_path / f"{name}.tape", trades=data)
        assert tarvik_engine.read_tape(tmp_path / f"{name}.tape", kinds="trades")["trades"].equals(expected), name


@pytest.mark.parametrize("rows", [["03:00:00", "01:30:00"], ["01:30:00", "03:00:00"], ["00:59:00", "01:30:00"]],
                         ids=["after-the-change", "first", "before"])
def test_an_hour_told_twice_is_its_first_whatever_row_came_before(tmp_path, rows):
    """2024-11-03 01:30 in New York is told twice; it is always the first
    (EDT), a tape of that day then refuses it as it refuses any time at the
    other offset, the same way in either row order."""
    lines = "".join(f"A,2024-11-03T{t},1,10,1\n" for t in rows)
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\n" + lines)
    result = tool("import", "-q", "--sort", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape",
                  "--time-zone", "America/New_York")
    assert result.returncode == 1
    line = 2 + rows.index("01:30:00") if rows[0] != "00:59:00" else 2
    assert f"t.csv:{line}: column 'time': at this time America/New_York is -4:00 from GMT" in result.stderr



@pytest.mark.parametrize("action, code", [("ADD", 0), ("Add", 0), ("DELETE", 1), ("Delete", 1), ("del", 1),
                                          ("RENAME", 2), ("Mod", 2), ("additional", None), ("", None)])
def test_symbol_change_actions_are_read_in_any_letter_case(tmp_path, action, code):
    old = "Y" if code in (2, None) else ""
    (tmp_path / "changes.csv").write_text(f"time,symbol,action,old_symbol\n2024-03-15T13:30:00Z,X,{action},{old}\n")
    result = tool("import", "-q", "--changes", tmp_path / "changes.csv", "-o", tmp_path / "c.tape")
    if code is None:
        assert result.returncode == 1 and "changes.csv:2: column 'action'" in result.stderr, result.stderr
    else:
        assert result.returncode == 0, result.stderr
        changes = tarvik_engine.read_tape(tmp_path / "c.tape", kinds="symbol_changes")["symbol_changes"]
        assert changes["status_char"].to_pylist()[-1] == "ADM"[code]


@pytest.mark.parametrize("rows", ["\nA,1710509400000000,1,abc,100\n", "A,1710509400000000,1,1,1\n\nA,1710509400000001,1,abc,1\n"])
def test_a_crlf_header_over_lf_rows_and_blank_lines_names_the_right_line(tmp_path, rows):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\r\n" + rows, newline="")
    result = tool("import", "-q", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape")
    line = 1 + rows.count("\n")
    assert result.returncode == 1 and f"t.csv:{line}: column 'price'" in result.stderr, result.stderr


def symbol_change_rows(tape):
    seen = []

    def keep(system, message):
        if message.MessageType == Tarvik.TqMSG_SYMBOLCHANGE:
            change = message.coreData.SymbolChange
            old = getattr(change, "ptqsSymbolOld", None)
            seen.append((message.coreHeader.ptqStringSymbol.String, change.Status,
                         old.String if old is not None else None, change.ListedExgOld))
        return 0

    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, keep) == 0
    return seen[-1]


@pytest.mark.parametrize("changes, listed, expected", [
    # without a listed exchange the old symbol is the one its rows trade
    # (the symbols file's AAA on 3), and the new one goes on the default
    ("BBB,mod,AAA", "", ("BBB", Tarvik.TqSS_MOD, "AAA", 3)),
    ("BBB,mod,AAA", "3", ("BBB", Tarvik.TqSS_MOD, "AAA", 3)),
    # on the row's listed exchange: AAA there, made for the rename
    ("BBB,mod,AAA", "1", ("BBB", Tarvik.TqSS_MOD, "AAA", 1)),
    ("BBB,add,", "", ("BBB", Tarvik.TqSS_ADD, None, 0)),
    ("AAA,del,", "3", ("AAA", Tarvik.TqSS_DEL, None, 0)),
])
def test_a_rename_always_carries_its_old_symbol_and_an_add_or_delete_none(loaded, tmp_path, changes, listed,
                                                                          expected):
    (tmp_path / "symbols.csv").write_text("symbol,listed_exchange\nAAA,3\n")
    (tmp_path / "trades.csv").write_text("symbol,time,exchange,price,size\nAAA,2024-03-15T13:30:00Z,1,1.5,1\n")
    (tmp_path / "changes.csv").write_text("time,symbol,listed_exchange,action,old_symbol\n"
                                          f"2024-03-15T13:30:01Z,{changes.split(',')[0]},{listed},"
                                          f"{','.join(changes.split(',')[1:])}\n")
    import_files("-q", "--symbols", tmp_path / "symbols.csv", "--trades", tmp_path / "trades.csv",
                 "--changes", tmp_path / "changes.csv", "-o", tmp_path / "t.tape")
    assert symbol_change_rows(tmp_path / "t.tape") == expected


def test_a_rename_without_a_listed_exchange_renames_the_instrument_its_rows_traded(loaded, tmp_path):
    (tmp_path / "symbols.csv").write_text("symbol,listed_exchange\nXX,2\nYY,2\n")
    (tmp_path / "trades.csv").write_text("symbol,time,exchange,price,size\nXX,2024-03-15T13:30:00Z,1,1.5,1\n"
                                         "YY,2024-03-15T13:30:02Z,1,1.75,1\n")
    (tmp_path / "changes.csv").write_text("time,symbol,action,old_symbol\n2024-03-15T13:30:01Z,YY,mod,XX\n")
    tape = tmp_path / "t.tape"
    import_files("-q", "--symbols", tmp_path / "symbols.csv", "--trades", tmp_path / "trades.csv",
                 "--changes", tmp_path / "changes.csv", "-o", tape)
    assert symbol_change_rows(tape) == ("YY", Tarvik.TqSS_MOD, "XX", 2)
    tables = tarvik_engine.read_tape(str(tape), kinds=("trades", "symbol_changes"))
    # no instrument XX on the default listed exchange was made for the rename
    assert set(zip(tables["trades"]["symbol"].to_pylist(), tables["trades"]["listed_exchange"].to_pylist())) == {
        ("XX", 2), ("YY", 2)}
    changes = tables["symbol_changes"].to_pylist()
    assert [(c["symbol"], c["listed_exchange"], c["symbol_old"], c["listed_exg_old"]) for c in changes
            if c["status"] == Tarvik.TqSS_MOD] == [("YY", 2, "XX", 2)]


@pytest.mark.parametrize("symbols, changes, message", [
    ("symbol\nAAA\n", "AAA,mod,AAA", "c.csv:2: column 'old_symbol': a rename of 'AAA' to itself"),
    ("symbol,root,expiration,strike,put_call\nUNDC150,UND,2024-04-19,150,C\n", "NEWC150,mod,UNDC150",
     "c.csv:2: column 'symbol': the option contract 'UNDC150' is renamed to 'NEWC150', which the symbols file "
     "does not list as a contract"),
    ("symbol,listed_exchange\nAAA,2\nAAA,3\n", "BBB,mod,AAA",
     "c.csv:2: column 'old_symbol': 'AAA' is on several listed exchanges in the symbols file"),
])
def test_renames_that_cannot_be_right_are_named(tmp_path, symbols, changes, message):
    (tmp_path / "s.csv").write_text(symbols)
    (tmp_path / "c.csv").write_text("time,symbol,action,old_symbol\n2024-03-15T13:30:01Z," + changes + "\n")
    (tmp_path / "t.tape").write_bytes(b"kept")
    result = tool("import", "-q", "--symbols", tmp_path / "s.csv", "--changes", tmp_path / "c.csv",
                  "-o", tmp_path / "t.tape")
    assert result.returncode == 1 and message in result.stderr, result.stderr
    assert (tmp_path / "t.tape").read_bytes() == b"kept"


@pytest.mark.parametrize("symbols, args, message", [
    ("symbol,listed_exchange,root,expiration,strike,put_call\nO1,10,IBM,2024-04-19,150,C\nO2,10,IBM,2024-04-19,150.000,C\n",
     [], "s.csv:3: column 'symbol': the contract of 'O2' (IBM 2024-04-19 C 150.000 on listed exchange 10) is listed "
         "already as 'O1'"),
    ("symbol,strike\nO1,150\n", [], "s.csv:2: an option contract's terms need the columns root, expiration, strike "
                                    "and put_call; there is no column 'root'"),
    ("symbol,root,expiration,strike,put_call\nO1,IBM,2024-04-19,-5,C\n", [],
     "s.csv:2: column 'strike': a strike is not below 0, got -5"),
    ("symbol,root,expiration,strike,put_call\nO1,IBM,2024-04-19,2147483.648,C\n", [],
     "s.csv:2: column 'strike': the strike 2147483.648 does not fit 32 bits in price type 3"),
    ("symbol,price_type,prev_close\nT,1,10.55\n", [],
     "s.csv:2: column 'prev_close': the previous close 10.55 cannot be written exactly in price type 1 of T"),
    ("symbol\nT\n", ["--rename", "px=price,PX=sequence"], "rename: 'PX' is renamed twice (px=price, PX=sequence)"),
    ("symbol,contract_unit\nT,10\n", [], "s.csv:2: an option contract's terms need the columns root, expiration, "
                                         "strike and put_call; there is no column 'root'"),
    ("symbol,underlying\nT,IBM\n", [], "s.csv:2: an option contract's terms need the columns root"),
    ("symbol,root,expiration,strike,put_call\nT,IBM,1882-12-31,150,P\n", [],
     "s.csv:2: column 'expiration': outside the days a tape holds (1883-01-01 to 9999-12-31), got '1882-12-31'"),
    ("symbol,root,expiration,strike,put_call\nT,IBM,2023-02-29,150,P\n", [],
     "s.csv:2: column 'expiration': expected YYYY-MM-DD, got '2023-02-29'"),
    ("symbol,prev_close\nT,10\n", ["--delimiter", ";"], None),  # the data's delimiter, not the table's
    ("symbol prev_close\nT 10\n", ["--delimiter", " "], None),  # the table's too, where its header holds it
    ("T,2,10.5\n", [], "s.csv: no header: none of its columns ('T', '2', '10.5') is one of symbols (symbol); "
                       "--rename maps a vendor's names, and a symbols file needs its header line"),
])
def test_bad_symbols_files_and_renames_are_named(tmp_path, symbols, args, message):
    (tmp_path / "s.csv").write_text(symbols)
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nT,2024-03-15T13:30:00Z,1,1.5,1\n")
    if "--delimiter" in args:
        d = args[args.index("--delimiter") + 1]
        (tmp_path / "t.csv").write_text(d.join("symbol time exchange price size".split()) + "\n" +
                                        d.join("T 2024-03-15T13:30:00Z 1 1.5 1".split()) + "\n")
    result = tool("import", "-q", "--symbols", tmp_path / "s.csv", "--trades", tmp_path / "t.csv",
                  "-o", tmp_path / "t.tape", *args)
    if message is None:
        assert result.returncode == 0, result.stderr
        return
    assert result.returncode in (1, 2) and message in result.stderr, result.stderr
    assert not (tmp_path / "t.tape").exists()


@pytest.mark.parametrize("given", ["--price-type", "--symbols"])
def test_a_float_previous_close_is_read_as_the_nearest_price_of_a_given_type(loaded, tmp_path, given):
    """As pandas gives it: 171.1 + 0.2 is 171.29999999999998, the close
    171.30 in price type 2."""
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nT,2024-03-15T13:30:00Z,1,171.5,1\n")
    typed = {"price_type": [2]} if given == "--symbols" else {}
    typed_args = [] if given == "--symbols" else ["--price-type", "2"]
    for close, name in ((171.1 + 0.2, "near"), (171.3456, "far")):
        pq.write_table(pa.table({"symbol": ["T"], "prev_close": [close]} | typed), tmp_path / f"{name}.parquet")
    tape = tmp_path / "t.tape"
    import_files("-q", "--symbols", tmp_path / "near.parquet", "--trades", tmp_path / "t.csv", "-o", tape, *typed_args)
    assert run_to_end(tape, lambda: Tarvik.StateGetLastTrade(1, "T").NetChange) == 20
    result = tool("import", "-q", "--symbols", tmp_path / "far.parquet", "--trades", tmp_path / "t.csv",
                  "-o", tmp_path / "far.tape", *typed_args)
    assert result.returncode == 1 and ("far.parquet:1: column 'prev_close': the float 171.3456 cannot be written "
                                       "exactly in price type 2 of T") in result.stderr, result.stderr


def test_an_option_names_the_listed_exchange_of_its_underlying(loaded, tmp_path):
    (tmp_path / "s.csv").write_text("symbol,listed_exchange,root,underlying,expiration,strike,put_call\n"
                                    "IBM,2,,,,,\nOPT1,10,IBM,IBM,2024-04-19,150,C\nOPT2,10,XYZ,XYZ,2024-04-19,150,C\n")
    (tmp_path / "t.csv").write_text("symbol,listed_exchange,time,exchange,price,size\n"
                                    "IBM,2,2024-03-15T14:30:00Z,1,150.25,100\nOPT1,10,2024-03-15T14:30:01Z,2,4.1,5\n"
                                    "OPT2,10,2024-03-15T14:30:02Z,2,4.1,5\n")
    tape = tmp_path / "t.tape"
    import_files("-q", "--symbols", tmp_path / "s.csv", "--trades", tmp_path / "t.csv", "-o", tape, "--listed-exg", "7")
    seen = {}

    def keep(system, message):
        option = message.coreHeader.ptqOptionHdr
        if message.MessageType == Tarvik.TqMSG_TRADE and option is not None:
            seen[option.ptqsUnderlying.String] = option.exgUnderlying
        return 0

    Tarvik.ProcessTape(str(tape), 0, 0, 0, keep)
    # XYZ is no instrument of the import: the default listed exchange.
    assert seen == {"IBM": 2, "XYZ": 7}


@pytest.mark.parametrize("argument", ["time_unit", "delimiter"])
def test_write_tape_text_options_of_another_type_are_a_type_error(tmp_path, argument):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nT,2024-03-15T13:30:00Z,1,1.5,1\n")
    with pytest.raises(TypeError, match=f"^{argument}: expected a str, got int"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=tmp_path / "t.csv", **{argument: 3})


@pytest.mark.parametrize("expiration", ["date32", "date64", "timestamp[ns]", "timestamp[s, tz=UTC]",
                                        "timestamp[us, tz=America/New_York]", "timestamp[ms, tz=+05:30]"])
def test_typed_expirations_give_what_their_text_gives(tmp_path, expiration):
    """A timestamp with a zone is a date at midnight in that zone, as pandas
    keeps a column of dates of a zone."""
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    symbols = {"symbol": ["O1"], "listed_exchange": [10], "root": ["IBM"], "strike": ["150"], "put_call": ["C"]}
    pq.write_table(pa.table(symbols | {"expiration": ["2024-04-19"]}), tmp_path / "text.parquet")
    if expiration.startswith("date"):
        typed = pa.array([datetime.date(2024, 4, 19)], getattr(pa, expiration)())
    else:
        unit, _, zone = expiration[10:-1].partition(", tz=")
        zones = {"": None, "+05:30": datetime.timezone(datetime.timedelta(hours=5, minutes=30))}
        midnight = datetime.datetime(2024, 4, 19, tzinfo=zones[zone] if zone in zones else zoneinfo.ZoneInfo(zone))
        typed = pa.array([midnight], pa.timestamp(unit, tz=zone or None))
    (tmp_path / "t.csv").write_text("symbol,listed_exchange,time,exchange,price,size\n"
                                    "O1,10,2024-03-15T13:30:00Z,1,1.5,1\n")
    import_files("-q", "--symbols", tmp_path / "text.parquet", "--trades", tmp_path / "t.csv",
                 "-o", tmp_path / "text.tape")
    # The tool reads Parquet, which keeps a date64 as a date32; write_tape
    # reads the table as it is.
    pq.write_table(pa.table(symbols | {"expiration": typed}), tmp_path / "typed.parquet")
    import_files("-q", "--symbols", tmp_path / "typed.parquet", "--trades", tmp_path / "t.csv",
                 "-o", tmp_path / "typed.tape")
    tarvik_engine.write_tape(tmp_path / "python.tape", symbols=pa.table(symbols | {"expiration": typed}),
                             trades=tmp_path / "t.csv", progress=False)
    for name in ("typed", "python"):
        assert (tmp_path / f"{name}.tape").read_bytes() == (tmp_path / "text.tape").read_bytes(), name
    late = pa.array([datetime.datetime(2024, 4, 19, 16)]).cast(pa.timestamp("us"))
    pq.write_table(pa.table(symbols | {"expiration": late}), tmp_path / "late.parquet")
    result = tool("import", "-q", "--symbols", tmp_path / "late.parquet", "--trades", tmp_path / "t.csv",
                  "-o", tmp_path / "late.tape")
    assert result.returncode == 1 and "late.parquet:1: column 'expiration': expected a date, got a time of day as well" \
        in result.stderr, result.stderr


def three_trades(pd):
    return pd.DataFrame({"symbol": ["X", "X", "X"], "time": [1710509400000000000 + k * 10**9 for k in range(3)],
                         "exchange": [1, 1, 1], "price": [10.5, 10.25, 10.5], "size": [5, 6, 7]})


@pytest.mark.parametrize("form", ["csv", "int64", "float64", "decimal"])
@pytest.mark.parametrize("price_type", [None, 4])
def test_fixed_point_prices_are_read_at_their_scale(tmp_path, form, price_type):
    pa = pytest.importorskip("pyarrow")
    units = [17983_000_000_000, 1_500_000_000, 1_250_000_000]  # 10^-9 units: 17983, 1.5, 1.25
    times = [f"2024-03-15T13:30:0{k}Z" for k in range(3)]
    options = {} if price_type is None else {"price_type": price_type}
    if form == "csv":
        (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size,sequence\n" + "".join(
            f"{s},{t},1,{u},100,{k}\n" for k, (s, t, u) in enumerate(zip("XYY", times, units))))
        trades: object = tmp_path / "t.csv"
    else:
        column = {"int64": pa.array(units, pa.int64()), "float64": pa.array(units, pa.float64()),
                  "decimal": pa.array([Decimal(u) for u in units], pa.decimal128(20, 0))}[form]
        trades = pa.table({"symbol": list("XYY"), "time": times, "exchange": [1] * 3, "price": column,
                           "size": [100] * 3, "sequence": [0, 1, 2]})
    tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, price_scale=9, progress=False, **options)
    read = tarvik_engine.read_tape(tmp_path / "t.tape", kinds=("trades",))["trades"]
    assert read.column("price").to_pylist() == [17983.0, 1.5, 1.25]
    assert read.column("price_type").to_pylist() == ([0, 2, 2] if price_type is None else [4, 4, 4])


@pytest.mark.parametrize("type_", ["float64", "float32", "uint64"])
def test_fixed_point_prices_past_64_bit_integers_are_read_whatever_their_type(tmp_path, type_):
    pa = pytest.importorskip("pyarrow")
    trades = pa.table({"symbol": ["X"], "time": ["2024-03-15T13:30:00Z"], "exchange": [1],
                       "price": pa.array([17_500_000_000_000_000_000 if type_ == "uint64" else 1.75e19], type_),
                       "size": [1]})
    tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, price_scale=18, progress=False)
    assert tarvik_engine.read_tape(tmp_path / "t.tape", kinds="trades")["trades"]["price"].to_pylist() == [17.5]


@pytest.mark.parametrize("price, message", [
    ("17983000000000.5", "expected a whole number of 10^-9 units (--price-scale), got '17983000000000.5'"),
    ("ten", "expected a number, got 'ten'"),
])
def test_a_fixed_point_price_that_is_no_whole_number_of_units_is_an_error(tmp_path, price, message):
    (tmp_path / "t.csv").write_text(f"symbol,time,exchange,price,size\nX,2024-03-15T13:30:00Z,1,{price},100\n")
    result = tool("import", "--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape", "--price-scale", "9")
    assert result.returncode == 1 and f"t.csv:2: column 'price': {message}" in result.stderr, result.stderr


def test_text_quote_conditions_are_numbered_and_read_back_by_name(loaded, tmp_path):
    header = "symbol,time,exchange,bid,bid_size,ask,ask_size,condition"
    rows = ["R", "", "A", "R"]
    (tmp_path / "q.csv").write_text(header + "\n" + "".join(
        f"X,2024-03-15T13:30:0{k}Z,1,10.5,100,10.6,100,{c}\n" for k, c in enumerate(rows)))
    (tmp_path / "m.csv").write_text(header + ",market_maker\nX,2024-03-15T13:30:05Z,1,10.5,100,10.6,100,O,D0\n")
    import_files("--quotes", tmp_path / "q.csv", "--mm-quotes", tmp_path / "m.csv", "-o", tmp_path / "q.tape")
    seen = []

    def keep(system, message):
        if message.MessageType in (Tarvik.TqMSG_EXGQUOTE, Tarvik.TqMSG_MMQUOTE):
            record = message.coreData.ExgQuote if message.MessageType == Tarvik.TqMSG_EXGQUOTE else message.coreData.MMQuote
            code = record.coreQuote.QuoteCondition
            seen.append((code, Tarvik.GetDefinedString(Tarvik.TqST_QUOTECONDITION, code) if code else None))
        return 0

    assert Tarvik.ProcessTape(str(tmp_path / "q.tape"), 0, 0, 0, keep) == 0
    assert seen == [(1, "R"), (0, None), (2, "A"), (1, "R"), (3, "O")]


@pytest.mark.parametrize("first, second, message", [
    ("R", "12", "condition '12' is a number, but other rows give text conditions"),
    ("12", "R", "condition 'R' is text, but other rows give condition numbers"),
])
def test_one_import_gives_quote_conditions_as_numbers_or_names(tmp_path, first, second, message):
    (tmp_path / "q.csv").write_text("symbol,time,exchange,bid,bid_size,ask,ask_size,condition\n"
                                    f"X,2024-03-15T13:30:00Z,1,10.5,100,10.6,100,{first}\n"
                                    f"X,2024-03-15T13:30:01Z,1,10.5,100,10.6,100,{second}\n")
    result = tool("import", "--quotes", tmp_path / "q.csv", "-o", tmp_path / "q.tape")
    assert result.returncode == 1 and f"q.csv:3: column 'condition': {message}" in result.stderr, result.stderr
    assert not (tmp_path / "q.tape").exists()


def test_a_trades_price_flags_mark_cancels_and_inserts_that_the_engine_keeps_apart(tmp_path):
    """A cancelled print moves no high or low; the flags come back as the
    exchange gave them, beside those the engine earns itself."""
    rows = [("10.5", ""), ("99", "32"), ("10.25", "16"), ("10.75", "64")]
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size,price_flags\n" + "".join(
        f"X,2024-03-15T13:30:0{k}Z,1,{price},100,{flags}\n" for k, (price, flags) in enumerate(rows)))
    import_files("--trades", tmp_path / "t.csv", "-o", tmp_path / "t.tape")
    trades = tarvik_engine.read_tape(tmp_path / "t.tape", kinds=("trades",))["trades"].to_pydict()
    told = [flags & (Tarvik.TqTPF_EXGINSERT | Tarvik.TqTPF_EXGCANCEL | Tarvik.TqTPF_SETTLEMENT)
            for flags in trades["price_flags"]]
    assert told == [0, Tarvik.TqTPF_EXGCANCEL, Tarvik.TqTPF_EXGINSERT, Tarvik.TqTPF_SETTLEMENT]
    assert trades["high"] == [10.5, 10.5, 10.5, 10.75] and trades["low"] == [10.5, 10.5, 10.25, 10.25]

    (tmp_path / "bad.csv").write_text("symbol,time,exchange,price,size,price_flags\nX,2024-03-15T13:30:00Z,1,10,1,3\n")
    result = tool("import", "--trades", tmp_path / "bad.csv", "-o", tmp_path / "t.tape")
    assert result.returncode == 1 and "bad.csv:2: column 'price_flags': 3 holds flags other than" in result.stderr


@pytest.mark.parametrize("column, values", [
    ("listed_exchange", [float("nan"), 2.0, float("nan")]),
    ("conditions", [float("nan"), 12.0, float("nan")]),
    ("sequence", [float("nan"), 7.0, float("nan")]),
    ("exchange_time", [float("nan"), 1710509401000000.0, float("nan")]),
])
@pytest.mark.parametrize("width", ["float64", "float32"])
def test_a_floats_nan_is_a_missing_value_as_a_null_is(tmp_path, column, values, width):
    """Tools other than pandas write gaps in float columns as NaN: never a
    name or number of its own (an exchange called "nan")."""
    pa = pytest.importorskip("pyarrow")
    if width == "float32" and column == "exchange_time":
        pytest.skip("a float32 holds no epoch microseconds")
    base = {"symbol": ["X"] * 3, "time": pa.array([1710509400000000 + k * 10**6 for k in range(3)], pa.timestamp("us", "UTC")),
            "exchange": [1, 1, 1], "price": [10.5, 10.25, 10.5], "size": [5, 6, 7]}
    options = {"time_unit": "us"} if column == "exchange_time" else {}
    tapes = []
    for nulls in (False, True):
        cells = pa.array([None if v != v and nulls else v for v in values], width)
        tape = tmp_path / f"{nulls}.tape"
        tarvik_engine.write_tape(tape, trades=pa.table({**base, column: cells}), progress=False, **options)
        tapes.append(tape.read_bytes())
    assert tapes[0] == tapes[1]


@pytest.mark.parametrize("kind, column", [("trades", "exchange"), ("trades", "symbol"), ("trades", "conditions"),
                                          ("quotes", "condition")])
@pytest.mark.parametrize("value", [float("inf"), 1e300])
def test_a_float_past_any_code_is_never_a_name(tmp_path, kind, column, value):
    """A float column read as names or codes holds numbers: "inf" and
    "1e+300" are no exchange, symbol or condition."""
    pa = pytest.importorskip("pyarrow")
    columns = {"symbol": ["X", "X"], "time": [1710509400.0, 1710509401.0], "exchange": [1, 1]}
    columns.update({"price": [10.5, 10.25], "size": [5, 6]} if kind == "trades" else
                   {"bid": [10.5] * 2, "bid_size": [5] * 2, "ask": [10.75] * 2, "ask_size": [5] * 2})
    columns[column] = pa.array([1.0, value])
    with pytest.raises(ValueError,
                       match=rf"^{kind}:2: column '{column}': the float \S+ is (no number|no decimal|out of range)"):
        tarvik_engine.write_tape(tmp_path / "day.tape", **{kind: pa.table(columns)}, time_unit="s", progress=False)
    assert not (tmp_path / "day.tape").exists()


def test_a_whole_float_is_named_as_the_integer_it_holds(tmp_path):
    """pandas keeps an integer column with a gap as floats: its symbols
    must be the instruments the same column without a gap names."""
    pa = pytest.importorskip("pyarrow")
    symbols = []
    for column in (pa.array([100000.0, 7.0]), pa.array([100000, 7])):
        tape = tmp_path / f"{column.type}.tape"
        tarvik_engine.write_tape(tape, trades=pa.table({
            "symbol": column, "time": [1710509400.0, 1710509401.0], "exchange": [1, 1], "price": [10.5, 10.25],
            "size": [5, 6]}), time_unit="s", progress=False)
        symbols.append(tarvik_engine.read_tape(tape, kinds="trades")["trades"]["symbol"].to_pylist())
    assert symbols == [["100000", "7"]] * 2


TRADES_WITH_CONDITIONS = {"symbol": ["X"] * 3, "time": [1710509400 + k for k in range(3)], "exchange": [1] * 3,
                          "price": [10.5] * 3, "size": [5] * 3, "conditions": [12, None, 200]}


@pytest.mark.parametrize("kind, frame, table", [
    ("trades", TRADES_WITH_CONDITIONS, None),
    ("trades", TRADES_WITH_CONDITIONS, {"12": 5, "@": 1}),  # a number the table lists is its code
    ("changes", {"time": [1710509400, 1710509401, 1710509402], "symbol": ["A", "B", "C"],
                 "action": [0, 2, 1], "old_symbol": [None, "A", None]}, None),
])
def test_a_column_pandas_writes_as_floats_reads_alike_from_csv(tmp_path, kind, frame, table):
    """pandas keeps an integer column with a gap as floats and writes them
    to CSV as "12.0": the file and the frame make one tape."""
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(frame)
    column = "conditions" if kind == "trades" else "action"
    frame[column] = frame[column].astype("float64")
    frame.to_csv(tmp_path / "day.csv", index=False)
    assert "200.0" in (tmp_path / "day.csv").read_text() or "2.0" in (tmp_path / "day.csv").read_text()
    options = {"time_unit": "s", "progress": False, "date": "2024-03-15"}
    if table:
        options["conditions"] = table
    tarvik_engine.write_tape(tmp_path / "frame.tape", **{kind: frame}, **options)
    tarvik_engine.write_tape(tmp_path / "file.tape", **{kind: tmp_path / "day.csv"}, **options)
    assert (tmp_path / "file.tape").read_bytes() == (tmp_path / "frame.tape").read_bytes()
    if table:
        conditions = tarvik_engine.read_tape(tmp_path / "file.tape", kinds="trades")["trades"]["conditions"]
        assert conditions.to_pylist() == [[5], [], [200]]


def test_a_half_precision_float_column_is_refused_with_its_fix(tmp_path):
    pd = pytest.importorskip("pandas")
    trades = three_trades(pd).astype({"price": "float16"})
    with pytest.raises(ValueError, match=r"^trades:1: column 'price': .* halffloat \(half-precision floats: convert"):
        tarvik_engine.write_tape(tmp_path / "t.tape", trades=trades, progress=False)
    assert not (tmp_path / "t.tape").exists()


def test_each_vendor_name_is_renamed_once_as_the_import_does_before_extras_are_left_out(tmp_path):
    pd = pytest.importorskip("pandas")
    frame = three_trades(pd).rename(columns={"price": "px"}).assign(price="junk")
    tarvik_engine.write_tape(tmp_path / "t.tape", trades=frame, rename={"px": "price", "price": "bid"},
                             ignore_extra_columns=True, progress=False)
    assert tarvik_engine.read_tape(tmp_path / "t.tape", kinds="trades")["trades"]["price"].to_pylist() == [10.5, 10.25, 10.5]


@pytest.mark.parametrize("column", ["price", "size", "time"])
def test_a_floats_nan_in_a_required_column_is_a_missing_value(tmp_path, column):
    pa = pytest.importorskip("pyarrow")
    columns = {"symbol": ["X"] * 2, "time": [1710509400.0, 1710509401.0], "exchange": [1, 1],
               "price": [10.5, 10.25], "size": [5.0, 6.0]}
    columns[column] = [columns[column][0], float("nan")]
    tape = tmp_path / "day.tape"
    tape.write_bytes(b"an earlier tape")
    with pytest.raises(ValueError, match=rf"^trades:2: column '{column}': missing value"):
        tarvik_engine.write_tape(tape, trades=pa.table(columns), time_unit="s", progress=False)
    assert tape.read_bytes() == b"an earlier tape"


@pytest.mark.parametrize("wrapped", [False, True])
def test_a_bad_row_in_a_stream_of_small_batches_is_named_whatever_the_batches(tmp_path, wrapped):
    """The import stops reading at the bad row and lets the stream go: that
    must not hide the row's error behind the stream's closing."""
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    trades = three_trades(pd).assign(price=[10.5, float("nan"), 10.5])
    table = pa.Table.from_pandas(trades, preserve_index=False)

    def reader():
        return pa.RecordBatchReader.from_batches(table.schema, iter(table.to_batches(max_chunksize=1)))

    stream = type("Frame", (), {"__arrow_c_stream__": lambda self, requested=None:
                                reader().__arrow_c_stream__()})() if wrapped else reader()
    tape = tmp_path / "day.tape"
    tape.write_bytes(b"an earlier tape")
    with pytest.raises(ValueError, match=r"^trades:2: column 'price': missing value"):
        tarvik_engine.write_tape(tape, trades=stream, progress=False)
    assert tape.read_bytes() == b"an earlier tape"


def test_a_dataframes_extra_columns_are_left_out_before_arrow_reads_them(tmp_path):
    pd = pytest.importorskip("pandas")
    # "condition" and "market_maker" are other kinds' columns: extras of trades.
    frame = three_trades(pd).assign(note=[1, "a", None], z=[1j, 2j, 3j], n1=1, condition=[1j, "x", None],
                                    market_maker=[2j, 3j, 4j])
    frame = pd.concat([frame, frame[["n1"]]], axis=1)
    frame[4] = 0  # a label that is no text
    tape = tmp_path / "day.tape"
    tarvik_engine.write_tape(tape, trades=frame, ignore_extra_columns=True, progress=False)
    assert tarvik_engine.read_tape(tape, kinds="trades")["trades"]["size"].to_pylist() == [5, 6, 7]
    with pytest.raises(ValueError, match=r"^trades: column 'n1' given twice$"):
        tarvik_engine.write_tape(tape, trades=frame.drop(columns=["note", "z", 4, "condition", "market_maker"]),
                                 progress=False)


@pytest.mark.parametrize("index", ["range", "list"])
def test_an_index_named_as_a_column_is_read_whatever_its_type(tmp_path, index):
    pd = pytest.importorskip("pandas")
    frame = three_trades(pd)
    frame.index = pd.RangeIndex(4, 7, name="sequence") if index == "range" else pd.Index([4, 5, 6], name="sequence")
    tape = tmp_path / "day.tape"
    tarvik_engine.write_tape(tape, trades=frame, progress=False)
    assert tarvik_engine.read_tape(tape, kinds="trades")["trades"]["sequence"].to_pylist() == [4, 5, 6]


@pytest.mark.parametrize("answer", [lambda pa: 42, lambda pa: None,
                                    lambda pa: pa.schema([("a", pa.int64())]).__arrow_c_schema__()],
                         ids=["int", "None", "schema-capsule"])
def test_an_arrow_stream_method_that_gives_no_stream_is_a_type_error_naming_the_input(tmp_path, answer):
    pa = pytest.importorskip("pyarrow")
    stream = type("Odd", (), {"__arrow_c_stream__": lambda self, requested=None: answer(pa)})()
    with pytest.raises(TypeError, match=r"^trades: __arrow_c_stream__ returned \w+, not an Arrow stream capsule"):
        tarvik_engine.write_tape(tmp_path / "day.tape", trades=stream, progress=False)
    assert not (tmp_path / "day.tape").exists()


@pytest.mark.parametrize("argument, value, message", [
    ("constants", [("exchange", 1)], "constants: expected a mapping such as a dict, got list"),
    ("rename", "a=b", "rename: expected a mapping such as a dict, got str"),
    ("time_zone", 5, "time_zone: expected an IANA name, a zoneinfo.ZoneInfo or a datetime.timezone, got int"),
    ("time_zone", b"UTC", "time_zone: expected an IANA name, a zoneinfo.ZoneInfo or a datetime.timezone, got bytes"),
    ("date", 20240315, "date: expected a datetime.date or a text YYYY-MM-DD, got int"),
    ("sort", "no", "sort: expected True or False, got str"),
    ("progress", "no", "progress: expected True or False, got str"),
])
def test_write_tape_arguments_of_another_type_are_a_type_error_naming_them(tmp_path, argument, value, message):
    pd = pytest.importorskip("pandas")
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        tarvik_engine.write_tape(tmp_path / "day.tape", trades=three_trades(pd), **{argument: value})


def test_a_fixed_offset_past_every_zone_is_refused_as_itself(tmp_path):
    pd = pytest.importorskip("pandas")
    with pytest.raises(ValueError, match=r"^time_zone: the fixed offset UTC\+15:00 is past any zone's"):
        tarvik_engine.write_tape(tmp_path / "day.tape", trades=three_trades(pd),
                                 time_zone=datetime.timezone(datetime.timedelta(hours=15)))


def test_write_tape_takes_bytes_paths_numpy_constants_and_no_standard_error(tmp_path, monkeypatch):
    np = pytest.importorskip("numpy")
    (tmp_path / "t.csv").write_text("symbol,time,price,size\nX,2024-03-15T13:30:00Z,10.5,5\n")
    monkeypatch.setattr("sys.stderr", None)  # pythonw, a service: no progress to draw
    tapes = tarvik_engine.write_tape(os.fsencode(tmp_path / "day.tape"), trades=os.fsencode(tmp_path / "t.csv"),
                                     constants={"exchange": np.int64(2)}, date=np.datetime64("2024-03-15"))
    assert tapes == [tmp_path / "day.tape"]
    assert tarvik_engine.read_tape(tapes[0], kinds="trades")["trades"]["reporting_exchange"].to_pylist() == [2]


def test_a_float_of_epoch_nanoseconds_is_read_as_its_shortest_decimal(tmp_path):
    """1710509400999999000.0 is the double 1710509400999998976: the time
    meant is the decimal that reads back as it."""
    pd = pytest.importorskip("pandas")
    frame = three_trades(pd).iloc[:1].assign(time=[1710509400999999000.0])
    tape = tmp_path / "day.tape"
    tarvik_engine.write_tape(tape, trades=frame, progress=False)
    time_ = tarvik_engine.read_tape(tape, kinds="trades", time_zone="UTC")["trades"]["time"][0].as_py()
    assert time_.time() == datetime.time(13, 30, 0, 999999)


def test_a_formatted_date_in_the_output_name_is_a_bad_command_line(tmp_path):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,2024-03-15T13:30:00Z,1,10.5,5\n")
    result = tool("import", "-q", "--trades", tmp_path / "t.csv", "-o", tmp_path / "x-{date:%Y%m%d}.tape")
    assert result.returncode == 2 and "the day goes into a name as {date} (YYYY-MM-DD)" in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]


@pytest.mark.parametrize("suffix, compress", [(".gz", gzip.compress), (".zst", None)])
def test_padding_after_compressed_data_is_named_as_such(tmp_path, suffix, compress):
    text = b"symbol,time,exchange,price,size\nX,2024-03-15T13:30:00Z,1,10.5,5\n"
    if compress is None:
        zstd = pytest.importorskip("pyarrow").Codec("zstd")
        compressed = zstd.compress(text, asbytes=True)
    else:
        compressed = compress(text)
    data = tmp_path / f"t.csv{suffix}"
    data.write_bytes(compressed + bytes(512))
    result = tool("import", "-q", "--trades", data, "-o", tmp_path / "day.tape")
    assert result.returncode == 1 and "padding after its last" in result.stderr, result.stderr


def test_a_sort_of_many_runs_of_many_inputs_merges_by_levels_in_few_files(tmp_path):
    """Runs of one event: 10,000 rows make runs of three levels. Forty
    inputs sorted at once, under a limit of 200 open files: each input's
    runs share one file."""
    import resource

    rng = random.Random(7)
    start = datetime.datetime(2024, 3, 15, 14, 0, tzinfo=UTC)
    big = [(start + datetime.timedelta(microseconds=7 * k), k % 997 + 1) for k in range(10_000)]
    rng.shuffle(big)
    inputs = [big] + [[(start + datetime.timedelta(seconds=1 + k, microseconds=3 * j), j + 1) for j in range(30)][::-1]
                      for k in range(39)]
    args = []
    for k, rows in enumerate(inputs):
        path = tmp_path / f"t{k}.csv"
        path.write_text("symbol,time,exchange,price,size\n" +
                        "".join(f"X,{t.isoformat()},1,10.5,{size}\n" for t, size in rows))
        args += ["--trades", path]
    tape = tmp_path / "sorted.tape"

    def few_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (200, 200))

    result = subprocess.run([tarvik_engine.tape_tool_path(), "import", "-q", *map(str, args), "--sort", "-o",
                             str(tape)], capture_output=True, text=True, preexec_fn=few_files,
                            env=dict(os.environ, TARVIK_IMPORT_RUN_EVENTS="1"))
    assert result.returncode == 0, result.stderr
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    expected = sorted(row for rows in inputs for row in rows)
    assert trades.column("size").to_pylist() == [size for _, size in expected]
    times = trades.column("time").to_pylist()
    assert times == sorted(times)


@pytest.mark.parametrize("output", ["nodir/{date}/t.tape", "nodir/d-{date}.tape"])
def test_a_missing_folder_above_the_days_is_named_before_anything_is_read(tmp_path, output):
    (tmp_path / "t.csv").write_text("symbol,time,exchange,price,size\nX,2024-03-15T13:30:00Z,1,10.5,5\n")
    result = tool("import", "-q", "--trades", tmp_path / "t.csv", "--sort", "-o", tmp_path / output)
    assert result.returncode == 1, result.stderr
    assert f"{tmp_path / output}: cannot be written: {tmp_path / 'nodir'}: No such file or directory" in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]


def test_a_float32_past_its_whole_numbers_is_read_as_its_shortest_decimal(tmp_path):
    """A float32 is whole past 2^24: epoch seconds 1710509400 are the
    float32 1710509440, whose shortest decimal is 1.7105094e9."""
    pa = pytest.importorskip("pyarrow")
    trades = pa.table({"symbol": ["X"], "time": pa.array([1710509400.0], pa.float32()), "exchange": [1],
                       "price": [10.5], "size": [5]})
    tape = tmp_path / "day.tape"
    tarvik_engine.write_tape(tape, trades=trades, progress=False)
    time_ = tarvik_engine.read_tape(tape, kinds="trades", time_zone="UTC")["trades"]["time"][0].as_py()
    assert time_.time() == datetime.time(13, 30)

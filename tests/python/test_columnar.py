"""Tapes read as Arrow tables: every column equals what a ProcessTape
callback sees of the same messages, filters and batches, and damaged tapes
raise the engine's result code."""

import datetime
import os
import pickle
import struct
import subprocess
import threading
import zlib
import zoneinfo
from fractions import Fraction

import pytest

import Tarvik
import tarvik_engine

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")
pytest.importorskip("pyarrow.ipc")
pd = pytest.importorskip("pandas")

from conftest import SANITIZED, compile_tape, needs_arrow  # noqa: E402
from test_import import NY, csv_text, vendor_day  # noqa: E402

pytestmark = needs_arrow

EPOCH_NDAYS = 31776  # 1970-01-01 counted from 1883-01-01
ALL_KINDS = ("trades", "quotes", "mm_quotes", "symbol_changes", "categories")


@pytest.fixture(scope="module", params=["packed", "plain"])
def synth_day(tmp_path_factory, request):
    """A synthetic day with options, market makers, categories and symbol
    changes, packed and plain: on a machine of two cores a plain tape's rows
    are filled on a thread of their own, a packed one's on the replay's."""
    path = tmp_path_factory.mktemp("columnar") / f"synth-{request.param}.tape"
    plain = ["--no-compress"] if request.param == "plain" else []
    result = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", str(path), "--symbols", "12",
                             "--options-per-symbol", "4", "--messages", "20000", "--seed", "5"] + plain,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return path


@pytest.fixture(scope="module")
def imported_day(tmp_path_factory):
    folder = tmp_path_factory.mktemp("columnar-import")
    quotes, trades = vendor_day(rows=500, seed=11)
    (folder / "q.csv").write_text(csv_text(quotes))
    (folder / "t.csv").write_text(csv_text(trades))
    return tarvik_engine.write_tape(folder / "day.tape", quotes=folder / "q.csv", trades=folder / "t.csv",
                                    time_zone=NY)[0]


def callback_rows(tape):
    """What a ProcessTape callback sees, as rows keyed like the tables."""
    rows = {kind: [] for kind in ALL_KINDS}

    def keep(system, message):
        kind = message.MessageType
        h = message.coreHeader
        if kind not in (Tarvik.TqMSG_TRADE, Tarvik.TqMSG_EXGQUOTE, Tarvik.TqMSG_MMQUOTE, Tarvik.TqMSG_SYMBOLCHANGE,
                        Tarvik.TqMSG_CATEGORY):
            return 0
        ext = message.ptarvik3Ext
        clock = h.tqExgTimestamp
        of_day = ext.MicrosOfDaySRC if ext is not None else clock.MsOfDay * 1000
        micros = (h.tqSessionDate.NDays - EPOCH_NDAYS) * 86_400_000_000 + of_day - clock.TimeZone * 3_600_000_000
        common = {"time": micros, "symbol": None if h.ptqStringSymbol is None else h.ptqStringSymbol.String,
                  "listed_exchange": h.ListedExg, "reporting_exchange": h.ReportingExg}
        body = message.coreData
        if kind == Tarvik.TqMSG_TRADE:
            t = body.Trade
            pt = t.PriceType
            rows["trades"].append(dict(common, price_type=pt, price=Tarvik.PriceToDouble(t.Price, pt),
                                       price_raw=t.Price, size=t.Size,
                                       conditions=[c for c in t.ExtTradeConditions if c != 255],
                                       sequence=t.ExgSequence, open=Tarvik.PriceToDouble(t.Open, pt),
                                       high=Tarvik.PriceToDouble(t.High, pt), low=Tarvik.PriceToDouble(t.Low, pt),
                                       total_volume=t.TotalVolume, tick=Tarvik.PriceToDouble(t.Tick, pt),
                                       trade_condition=t.TradeCondition, price_flags=t.PriceFlags))
        elif kind in (Tarvik.TqMSG_EXGQUOTE, Tarvik.TqMSG_MMQUOTE):
            q = body.ExgQuote if kind == Tarvik.TqMSG_EXGQUOTE else body.MMQuote
            c = q.coreQuote
            pt = c.PriceType
            row = dict(common, price_type=pt, bid=Tarvik.PriceToDouble(c.BidPrice, pt), bid_raw=c.BidPrice,
                       bid_size=c.BidSize, ask=Tarvik.PriceToDouble(c.AskPrice, pt), ask_raw=c.AskPrice,
                       ask_size=c.AskSize, condition=c.QuoteCondition)
            if kind == Tarvik.TqMSG_EXGQUOTE:
                rows["quotes"].append(dict(row, nbbo_bid=Tarvik.PriceToDouble(q.BestBidPrice, pt),
                                           nbbo_bid_size=q.BestBidSize, nbbo_bid_exchange=q.BestBidExg,
                                           nbbo_ask=Tarvik.PriceToDouble(q.BestAskPrice, pt),
                                           nbbo_ask_size=q.BestAskSize, nbbo_ask_exchange=q.BestAskExg))
            else:
                maker = q.ptqStringMarketMaker
                rows["mm_quotes"].append(dict(row, market_maker=None if maker is None else maker.String,
                                              market_maker_type=q.MarketMakerType, quote_type=q.QuoteType))
        elif kind == Tarvik.TqMSG_SYMBOLCHANGE:
            c = body.SymbolChange
            old = getattr(c, "ptqsSymbolOld", None)  # unset outside modifications
            rows["symbol_changes"].append(dict(common, price_type=0, status=c.Status, status_char=c.StatusChar,
                                               symbol_old=None if old is None else old.String,
                                               listed_exg_old=c.ListedExgOld))
        else:
            c = body.Category
            rows["categories"].append(dict(common, price_type=0, category=c.ptqStringCategory.String,
                                           category_id=c.ptqStringCategory.Atom,
                                           fields=[(f.FieldName, field_text(f)) for f in c.ptqFields if f.Set]))
        return 0

    assert Tarvik.ProcessTape(str(tape), 0, 0, 0, keep) == 0
    return rows


def field_text(f):
    """A category field's value as the table shows it, for the kinds a
    synthetic day has; None for the others (not compared)."""
    d = f.data
    if f.FieldType == Tarvik.TqCFT_64BIT:
        return str(d.i64Bit)
    if f.FieldType == Tarvik.TqCFT_32BIT:
        return str(d.i32Bit)
    if f.FieldType == Tarvik.TqCFT_STRINGZ:
        return d.StringZ
    if f.FieldType == Tarvik.TqCFT_TIME:
        t = d.tqTime
        return f"{t.Hour:02d}:{t.Minute:02d}:{t.Second:02d}.{t.Millisecond:03d}"
    return None


def table_rows(table):
    rows = []
    for row in table.to_pylist():
        row["time"] = int((row["time"] - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc))
                          / datetime.timedelta(microseconds=1))
        rows.append(row)
    return rows


def test_every_column_equals_what_the_callback_sees(loaded, synth_day):
    assert_columns_are_the_callbacks(synth_day, every_kind=True)


def test_every_column_of_an_imported_day_equals_what_the_callback_sees(loaded, imported_day):
    assert_columns_are_the_callbacks(imported_day, every_kind=False)


def assert_columns_are_the_callbacks(tape, every_kind):
    expected = callback_rows(tape)
    tables = tarvik_engine.read_tape(tape, kinds=ALL_KINDS)
    assert set(tables) == set(ALL_KINDS)
    for kind in ALL_KINDS:
        assert expected[kind] or not every_kind, kind
        got = table_rows(tables[kind])
        if kind == "categories":
            # Values are compared where field_text knows their kind.
            for row, want in zip(got, expected[kind]):
                if len(row["fields"]) == len(want["fields"]):
                    row["fields"] = [(name, text if w[1] is not None else None)
                                     for (name, text), w in zip(row["fields"], want["fields"])]
        assert got == expected[kind], kind


def with_texts(tape, replaced):
    """The plain tape with texts of its Texts section replaced by others of
    the same length, its CRC made anew: texts no import writes."""
    data = bytearray(tape.read_bytes())
    at = 16
    while at < len(data):
        kind, _, length = struct.unpack_from("<IIQ", data, at)
        if kind == 3:
            payload = bytes(data[at + 16:at + 16 + length])
            for old, new in replaced.items():
                assert len(old) == len(new) and payload.count(old) == 1
                payload = payload.replace(old, new)
            data[at + 16:at + 16 + length] = payload
            struct.pack_into("<I", data, at + 4, zlib.crc32(payload))
        at += 16 + (length + 7) // 8 * 8
    tape.write_bytes(bytes(data))
    return tape


def test_texts_of_other_encodings_read_as_the_callback_sees_them(loaded, tmp_path):
    """A tape's texts are bytes (a tape of another writer may hold Latin-1);
    Arrow's strings are UTF-8, so ill-formed bytes are replaced as the
    module's symbol strings replace them."""
    symbols = [b"OK", "Caf\u00e9".encode(), b"Caf\xe9", b"AA\xff\xfePL", b"T\xe2\x82", b"E\xed\xa0\x80"]
    standing = [(b"Z%d" % k).ljust(len(s), b"z") if k > 1 else s for k, s in enumerate(symbols)]
    rows = b"".join(s + b",2024-03-15T14:00:0%d.000001Z,1,1.5,1\n" % k for k, s in enumerate(standing))
    (tmp_path / "t.csv").write_bytes(b"symbol,time,exchange,price,size\n" + rows)
    tape = tarvik_engine.write_tape(tmp_path / "texts.tape", trades=tmp_path / "t.csv", compress=False)[0]
    with_texts(tape, {s: t for s, t in zip(standing, symbols) if s != t})
    assert_columns_are_the_callbacks(tape, every_kind=False)
    assert tarvik_engine.read_tape(tape, kinds="trades")["trades"].column("symbol").to_pylist() == \
        [s.decode(errors="replace") for s in symbols]


def test_categories_carry_their_set_fields_as_text(synth_day):
    categories = tarvik_engine.read_tape(synth_day, kinds="categories")["categories"]
    first = categories.to_pylist()[0]
    assert first["category"] == "Imbalance" and dict(first["fields"])


def test_time_column_is_in_the_tape_zone_or_the_one_asked_for(imported_day):
    own = tarvik_engine.read_tape(imported_day, kinds="trades")["trades"]
    assert own.schema.field("time").type == pa.timestamp("us", tz="-04:00")
    asked = tarvik_engine.read_tape(imported_day, kinds="trades", time_zone="America/New_York")["trades"]
    assert asked.schema.field("time").type == pa.timestamp("us", tz="America/New_York")
    assert asked.column("time").cast(pa.int64()) == own.column("time").cast(pa.int64())
    first = asked.to_pandas()["time"].iloc[0]
    assert (first.hour, first.minute) == (9, 30)
    for zone, name in ((datetime.timezone(datetime.timedelta(hours=5, minutes=30)), "+05:30"),
                       (datetime.timezone.utc, "UTC"), ("+05:30", "+05:30"),
                       # the zone pandas gives a column read with a zone
                       (pd.Timestamp("2024-03-15 09:30", tz="America/New_York").tz, "America/New_York")):
        fixed = tarvik_engine.read_tape(imported_day, kinds="trades", time_zone=zone)["trades"]
        assert fixed.schema.field("time").type == pa.timestamp("us", tz=name)
    with pytest.raises(ValueError, match="unknown time zone 'Mars/Base'"):
        tarvik_engine.read_tape(imported_day, time_zone="Mars/Base")
    with pytest.raises(TypeError, match="got builtins.int"):
        tarvik_engine.read_tape(imported_day, time_zone=5)
    try:
        import pytz
    except ImportError:
        return
    fixed = tarvik_engine.read_tape(imported_day, kinds="trades", time_zone=pytz.FixedOffset(90))["trades"]
    assert fixed.schema.field("time").type == pa.timestamp("us", tz="+01:30")


def test_filters_by_symbol_window_and_kind(imported_day):
    everything_of = tarvik_engine.read_tape(imported_day, kinds=ALL_KINDS)
    trades = everything_of["trades"].to_pandas()
    ibm = tarvik_engine.read_tape(imported_day, symbols=["IBM"], kinds=["trades"])
    assert set(ibm) == {"trades"}
    assert ibm["trades"].to_pandas()["price_raw"].tolist() == trades[trades.symbol == "IBM"]["price_raw"].tolist()

    start, end = trades["time"].iloc[10], trades["time"].iloc[20]
    for bounds in [(start, end), (start.to_pydatetime(), end.to_pydatetime()),
                   (start.time().isoformat(), end.time().isoformat()), (start.time(), end.time()),
                   (start.tz_localize(None).to_datetime64(), end.tz_localize(None).to_datetime64())]:
        window = tarvik_engine.read_tape(imported_day, kinds="trades", start=bounds[0], end=bounds[1])["trades"]
        expected = trades[(trades.time >= start) & (trades.time < end)]
        assert window.column("price_raw").to_pylist() == expected["price_raw"].tolist(), bounds
    # A bound between two microseconds: rows on either side, as pandas
    # compares them, for every form that can hold it.
    half = start + pd.Timedelta(nanoseconds=500)
    expected = (trades[trades.time < half]["price_raw"].tolist(), trades[trades.time >= half]["price_raw"].tolist())
    for bound in [half, half.tz_localize(None).to_datetime64(), half.tz_convert(NY).strftime("%H:%M:%S.%f") + "5",
                  half.tz_localize(None).isoformat()]:
        before = tarvik_engine.read_tape(imported_day, kinds="trades", end=bound)["trades"]
        after = tarvik_engine.read_tape(imported_day, kinds="trades", start=bound)["trades"]
        assert (before.column("price_raw").to_pylist(), after.column("price_raw").to_pylist()) == expected, bound
    # A kind no row reaches is an empty table of its columns.
    for kind, table in tarvik_engine.read_tape(imported_day, symbols="NOPE", kinds=ALL_KINDS).items():
        table.validate(full=True)
        assert table.num_rows == 0 and table.schema == everything_of[kind].schema, kind
    # 24:00 is the end of the day, not the midnight that starts it.
    for end_of_day in ("24:00", "24:00:00", "24:00:00.000", "24:00:00,000", "T24:00", "2400", "24"):
        rest = tarvik_engine.read_tape(imported_day, kinds="trades", start=start.time(), end=end_of_day)["trades"]
        assert rest.column("price_raw").to_pylist() == trades[trades.time >= start]["price_raw"].tolist()
    for past_the_day in ("24:00:00.0000001", "24:00:01", "24:30"):
        with pytest.raises(ValueError, match="past the end of the day|expected a time of day"):
            tarvik_engine.read_tape(imported_day, end=past_the_day)


@pytest.mark.parametrize("kind", ALL_KINDS)
def test_a_kind_or_some_symbols_read_alone_are_those_rows_of_the_whole_day(synth_day, kind):
    """The kinds and symbols a read leaves out are not applied to its state
    at all: what it keeps must not change (the NBBO, the running trade
    figures)."""
    whole = table_rows(tarvik_engine.read_tape(synth_day, kinds=ALL_KINDS)[kind])
    assert table_rows(tarvik_engine.read_tape(synth_day, kinds=kind)[kind]) == whole
    names = sorted({row["symbol"] for row in whole} - {None})[::3]
    assert names
    some = tarvik_engine.read_tape(synth_day, kinds=kind, symbols=names)[kind]
    assert table_rows(some) == [row for row in whole if row["symbol"] in names]


def test_batches_cover_a_day_larger_than_one_batch(synth_day):
    whole = tarvik_engine.read_tape(synth_day, kinds=("trades", "quotes"))
    parts = {"trades": [], "quotes": []}
    for kind, batch in tarvik_engine.iter_tape(synth_day, kinds=("trades", "quotes"), batch_rows=1000):
        assert batch.num_rows <= 1000
        parts[kind].append(batch)
    assert len(parts["quotes"]) > 5
    for kind, batches in parts.items():
        assert pa.Table.from_batches(batches).to_pylist() == whole[kind].to_pylist()


@pytest.mark.parametrize("batch_rows", [1, 2, 3, 100])
def test_trades_without_a_symbol_have_a_null_symbol(tmp_path, batch_rows):
    """Nulls first, last, alone and after named rows in a batch, at every
    batch size: each row keeps its own symbol or null."""
    named = [None, "IBM", "IBM", None, "IBM", None, None, "IBM"]
    lines = [{"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Nulls"}},
             {"symbol": {"id": "IBM", "text": "IBM", "listed_exg": 1, "price_type": 2}}]
    for k, symbol in enumerate(named):
        lines.append({"event": {"kind": "trade", "time": f"09:30:{k:02d}", "symbol": symbol, "reporting_exg": 1,
                                "price": 100 + k, "size": 1}})
    tape = compile_tape(tmp_path / "nulls.tape", lines)
    batches = [b for _, b in tarvik_engine.iter_tape(tape, kinds="trades", batch_rows=batch_rows)]
    trades = pa.Table.from_batches(batches)
    assert trades.column("symbol").to_pylist() == named
    assert trades.column("price_raw").to_pylist() == [100 + k for k in range(len(named))]


@pytest.mark.parametrize("hours, label", [(-5, "-05:00"), (0, "UTC"), (23, "+23:00"), (99, "UTC"), (-128, "UTC")])
def test_the_time_column_is_labelled_with_an_offset_a_zone_can_have(tmp_path, hours, label):
    """A header's offset past 23 hours (a damaged tape) labels the same
    instants UTC, which a table's readers take."""
    lines = [{"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Zone", "time_zone": hours}},
             {"symbol": {"id": "IBM", "text": "IBM", "listed_exg": 1, "price_type": 2}},
             {"event": {"kind": "trade", "time": "09:30:00", "symbol": "IBM", "reporting_exg": 1, "price": 100,
                        "size": 1}}]
    trades = tarvik_engine.read_tape(compile_tape(tmp_path / "zone.tape", lines), kinds="trades")["trades"]
    assert trades.schema.field("time").type.tz == label
    local = datetime.datetime(2024, 3, 15, 9, 30, tzinfo=datetime.timezone.utc)
    assert trades.column("time").cast(pa.int64()).to_pylist() == \
        [int((local.timestamp() - hours * 3600) * 1_000_000)]
    trades.to_pandas()


def test_the_time_column_takes_the_extension_s_microsecond_within_the_clock_s_millisecond(tmp_path):
    """An extension of another writer may carry no microsecond (0), or one
    of another time: the message's own millisecond is its time then."""
    lines = [{"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Ext", "time_zone": 0}},
             {"symbol": {"id": "IBM", "text": "IBM", "listed_exg": 1, "price_type": 2}}]
    nine_thirty = 34_200_000_000
    for k, src in enumerate([nine_thirty + 123, 0, 90_000_000_000, nine_thirty - 1]):
        lines.append({"event": {"kind": "trade", "time": "09:30:00", "symbol": "IBM", "reporting_exg": 1,
                                "price": 100 + k, "size": 1, "ext": {"src": src, "ptp1": 5}}})
    trades = tarvik_engine.read_tape(compile_tape(tmp_path / "ext.tape", lines), kinds="trades",
                                     start="09:30", end="09:31")["trades"]
    day = int(datetime.datetime(2024, 3, 15, tzinfo=datetime.timezone.utc).timestamp()) * 1_000_000
    assert trades.column("time").cast(pa.int64()).to_pylist() == [day + nine_thirty + 123] + [day + nine_thirty] * 3


def test_columns_of_a_million_rows_and_more_keep_every_value(tmp_path):
    """Columns that grow past a million rows in one batch, and last batches
    that end far short of their room, hold the same rows as small batches."""
    tape = tmp_path / "trades.tape"
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", str(tape), "--symbols", "40",
                    "--options-per-symbol", "0", "--messages", "1300000", "--mix", "0,0,1,0", "--seed", "3",
                    "--no-compress", "--quiet"], check=True)
    small = [b for _, b in tarvik_engine.iter_tape(tape, kinds="trades", batch_rows=250_000)]
    for batch_rows in (1_000_000, 2_000_000):
        batches = [b for _, b in tarvik_engine.iter_tape(tape, kinds="trades", batch_rows=batch_rows)]
        assert [b.num_rows for b in batches] == ([1_000_000, 300_000] if batch_rows == 1_000_000 else [1_300_000])
        assert pa.Table.from_batches(batches).equals(pa.Table.from_batches(small)), batch_rows


def test_reads_into_the_memory_of_tables_let_go_give_the_same_rows(tmp_path):
    """Columns of a megabyte and more are kept when a table is let go and
    filled again by the next read: nothing of the old rows shows through,
    whatever the next read's kinds, filters and batch sizes."""
    tape = tmp_path / "day.tape"
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-o", str(tape), "--symbols", "30",
                    "--options-per-symbol", "2", "--messages", "400000", "--seed", "8", "--quiet"], check=True)
    first = tarvik_engine.read_tape(tape, kinds=ALL_KINDS)
    expected = tarvik_engine.read_tape(tape, kinds=ALL_KINDS)
    assert expected["quotes"].num_rows > 150_000  # columns of more than a megabyte
    del first
    again = tarvik_engine.read_tape(tape, kinds=ALL_KINDS)
    for kind in ALL_KINDS:
        assert again[kind].equals(expected[kind]), kind
    del again
    symbols = sorted(set(expected["trades"].column("symbol").to_pylist()) - {None})[:3]
    for kind, batch in tarvik_engine.iter_tape(tape, kinds=("quotes", "trades"), symbols=symbols,
                                               batch_rows=70_000):
        assert pc.all(pc.is_in(batch.column("symbol").cast(pa.string()), pa.array(symbols))).as_py(), kind
    filtered = decoded(tarvik_engine.read_tape(tape, kinds="quotes", symbols=symbols)["quotes"])
    whole = decoded(expected["quotes"])
    assert filtered.equals(whole.filter(pc.is_in(whole.column("symbol"), pa.array(symbols))))


def decoded(table):
    """The table with its symbols as text: reads of different symbols have
    different dictionaries."""
    at = table.schema.get_field_index("symbol")
    return table.set_column(at, "symbol", table.column("symbol").cast(pa.string()))


def test_rows_filled_on_the_replays_thread_are_those_filled_on_a_thread_of_their_own(python_child, synth_day):
    """One thread per replay (TARVIK_INFLATE_AHEAD=0) gives the same tables
    as a read whose rows are filled on a thread of their own."""
    expected = tarvik_engine.read_tape(synth_day, kinds=ALL_KINDS)
    result = python_child(f"""
        import pyarrow, pyarrow.ipc, tarvik_engine
        tables = tarvik_engine.read_tape({str(synth_day)!r}, kinds=tarvik_engine.columnar.KINDS)
        for kind, table in tables.items():
            with pyarrow.OSFile({str(synth_day)!r} + "." + kind + ".arrow", "wb") as f:
                with pyarrow.ipc.new_file(f, table.schema) as w:
                    w.write_table(table)
    """, env={"TARVIK_INFLATE_AHEAD": "0"})
    assert result.returncode == 0, result.stderr
    for kind in ALL_KINDS:
        with pa.OSFile(f"{synth_day}.{kind}.arrow") as f:
            alone = pa.ipc.open_file(f).read_all()
        assert alone.num_rows > 0, kind
        assert decoded(alone).equals(decoded(expected[kind])), kind


def test_a_reader_left_early_stops_its_replay(synth_day):
    batches = tarvik_engine.iter_tape(synth_day, batch_rows=100)
    next(batches)
    batches.close()  # the replay thread ends; nothing hangs


def test_reads_beside_a_replay_on_the_same_thread(loaded, synth_day, imported_day):
    seen = []

    def inside(system, message):
        if message.MessageType == Tarvik.TqMSG_TRADE and not seen:
            seen.append(tarvik_engine.read_tape(imported_day, kinds="trades")["trades"].num_rows)
            seen.append(Tarvik.GetTapeName())
        return 0

    assert Tarvik.ProcessTape(str(synth_day), 0, 0, 0, inside) == 0
    assert seen[0] > 0 and seen[1] == str(synth_day)


def test_reads_on_several_threads_at_once(synth_day):
    expected = tarvik_engine.read_tape(synth_day)["quotes"].num_rows
    counts = []
    threads = [threading.Thread(target=lambda: counts.append(tarvik_engine.read_tape(synth_day)["quotes"].num_rows))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert counts == [expected] * 4


@pytest.mark.parametrize("damage, code", [
    ("truncate-tables", Tarvik.TqAPIERR_NOT_SUPPORTED),
    ("truncate-events", Tarvik.TqAPIERR_EXCEPTION),
    ("flip-event-byte", Tarvik.TqAPIERR_EXCEPTION),
    ("not-a-tape", Tarvik.TqAPIERR_OPEN_TAPE_FILE_FAILED),
])
def test_damaged_tapes_raise_the_result_code(python_child, tmp_path, synth_day, damage, code):
    data = bytearray(synth_day.read_bytes())
    if damage == "truncate-tables":
        data = data[:200]
    elif damage == "truncate-events":
        data = data[: len(data) * 2 // 3]
    elif damage == "flip-event-byte":
        data[len(data) // 2] ^= 0x40
    else:
        data = b"a text file, not a tape\n" * 10
    bad = tmp_path / "bad.tape"
    bad.write_bytes(bytes(data))
    result = python_child(f"""
        import tarvik_engine
        try:
            tarvik_engine.read_tape({str(bad)!r}, kinds=tarvik_engine.columnar.KINDS)
        except tarvik_engine.TapeError as e:
            print(e.code, e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"{code} "), result.stdout
    error = pickle.loads(pickle.dumps(tarvik_engine.TapeError(code, result.stdout)))  # as a pool sends it back
    assert (error.code, str(error)) == (code, result.stdout)


@pytest.mark.parametrize("nbbo", [False, True, "numpy-false", "numpy-true"])
def test_nbbo_columns_come_only_when_asked_for(synth_day, nbbo):
    if isinstance(nbbo, str):
        import numpy
        nbbo = numpy.bool_(nbbo == "numpy-true")
    quotes = tarvik_engine.read_tape(synth_day, kinds="quotes", nbbo=nbbo)["quotes"]
    assert ("nbbo_bid" in quotes.column_names) == bool(nbbo)
    assert quotes.num_rows > 0


def test_the_rows_before_damage_come_before_the_error(tmp_path, synth_day):
    whole = tarvik_engine.read_tape(synth_day, kinds=ALL_KINDS)
    data = bytearray(synth_day.read_bytes())
    data[len(data) * 3 // 4] ^= 0x40
    bad = tmp_path / "bad.tape"
    bad.write_bytes(bytes(data))
    parts: dict[str, list[pa.RecordBatch]] = {kind: [] for kind in ALL_KINDS}
    with pytest.raises(tarvik_engine.TapeError):
        for kind, batch in tarvik_engine.iter_tape(bad, kinds=ALL_KINDS, batch_rows=10**9):
            parts[kind].append(batch)
    assert parts["quotes"], "the quotes before the damage were dropped"
    for kind, batches in parts.items():
        got = pa.Table.from_batches(batches, whole[kind].schema).to_pylist()
        assert got == whole[kind].to_pylist()[: len(got)]


@pytest.mark.parametrize("arguments, error, match", [
    ({"kinds": ["bars"]}, ValueError, "unknown kind 'bars'"),
    ({"start": "noon"}, ValueError, "start"),
    ({"end": 12}, TypeError, "end"),
    ({"time_zone": 5}, TypeError, "time_zone"),
    ({"time_zone": "localtime"}, ValueError, "names no place"),
    ({"time_zone": datetime.timezone(datetime.timedelta(seconds=30))}, ValueError, "whole minutes"),
    ({"symbols": b"BAA"}, TypeError, "got bytes"),
    ({"symbols": ["A", None]}, TypeError, "got NoneType"),
    ({"symbols": ["Caf\udce9"]}, ValueError, "is not Unicode text"),
    ({"nbbo": "no"}, TypeError, "nbbo"),
    ({"batch_rows": 0}, ValueError, "at least 1"),
    ({"batch_rows": 2.5}, TypeError, "float"),
    ({"start": datetime.time(9, 30, tzinfo=datetime.timezone.utc)}, ValueError, "takes no offset"),
    ({"start": "09:30+00:00"}, ValueError, "takes no offset"),
    ({"start": datetime.time(9, 30, tzinfo=zoneinfo.ZoneInfo("Asia/Tokyo"))}, ValueError, "takes no offset"),
    ({"symbols": 5}, TypeError, "symbols: expected a text or texts, got int"),
    ({"kinds": None}, TypeError, "kinds: expected a kind or kinds, got NoneType"),
    ({"batch_rows": True}, TypeError, "batch_rows: expected a number of rows, got bool"),
], ids=["kind", "start-text", "end-type", "zone-type", "zone-localtime", "zone-seconds", "symbols-bytes",
        "symbols-none", "symbols-surrogate", "nbbo-text", "batch-rows-0", "batch-rows-float", "aware-time",
        "aware-time-text", "zoned-time", "symbols-int", "kinds-none", "batch-rows-bool"])
def test_bad_arguments_are_named_where_the_call_is(synth_day, arguments, error, match):
    with pytest.raises(error, match=match):
        tarvik_engine.iter_tape(synth_day, **arguments)  # not at the first batch


def test_a_state_snapshot_is_refused_where_the_call_is(loaded, tmp_path, synth_day):
    snapshot = tmp_path / "day.state"
    saved = []

    def save_once(system, message):
        if not saved and message.MessageType == Tarvik.TqMSG_TRADE:
            saved.append(Tarvik.SaveState(str(snapshot), Tarvik.TqSAVESTATE_ONEPASS))
        return 0

    assert Tarvik.ProcessTape(str(synth_day), 0, 0, 0, save_once) == 0 and saved == [0] and snapshot.exists()
    for read in (tarvik_engine.read_tape, tarvik_engine.iter_tape):  # iter_tape too, before any batch
        with pytest.raises(ValueError, match="a state snapshot, not a tape"):
            read(snapshot)


def test_bad_arguments(tmp_path, synth_day):
    with pytest.raises(FileNotFoundError):
        tarvik_engine.read_tape(tmp_path / "nowhere.tape")
    os.symlink("b.tape", tmp_path / "a.tape")
    os.symlink("a.tape", tmp_path / "b.tape")
    with pytest.raises(tarvik_engine.TapeError) as looped:  # there, but no tape: not "missing"
        tarvik_engine.read_tape(tmp_path / "a.tape")
    assert not isinstance(looped.value, FileNotFoundError)
    pd = pytest.importorskip("pandas")
    with pytest.raises(ValueError, match="NaT"):
        tarvik_engine.read_tape(synth_day, start=pd.NaT)
    # a bytes path, and a batch past any day: one batch a kind
    batches = list(tarvik_engine.iter_tape(os.fsencode(synth_day), kinds="trades", batch_rows=2**63))
    assert len(batches) == 1 and batches[0][1].num_rows == tarvik_engine.read_tape(synth_day)["trades"].num_rows


@pytest.mark.parametrize("compress", [True, False], ids=["packed", "plain"])
def test_fractional_sizes_are_added_as_asked_and_as_the_callback_sees_them(loaded, tmp_path, compress):
    pd = pytest.importorskip("pandas")
    # The last trades take the running volume past 2^53 millionths, where
    # it is still the nearest double of its six decimals.
    big = ["4294967295", "4294967295", "4294967295", "2607341513.374739"]
    trades = pd.DataFrame({"symbol": ["BTC"] * 7, "time": [f"14:00:0{i}" for i in range(7)], "exchange": [1] * 7,
                           "price": [65000.5, 65001.0, 64999.5] + [65000.0] * 4, "size": ["0.5", "0.25", "2.75"] + big})
    tape = tarvik_engine.write_tape(tmp_path / "btc.tape", trades=trades, date="2024-03-15", fractional_sizes=True,
                                    compress=compress)[0]
    assert "fractional_size" not in tarvik_engine.read_tape(tape, kinds="trades")["trades"].column_names
    table = tarvik_engine.read_tape(tape, kinds="trades", fractional_sizes=True)["trades"]
    assert table.column("size").to_pylist()[:3] == [0, 0, 2]
    assert table.column("fractional_size").to_pylist() == [0.5, 0.25, 2.75] + [float(Fraction(s)) for s in big]
    assert table.column("fractional_total_volume").to_pylist() == \
        [float(sum(Fraction(s) for s in trades["size"][:i + 1])) for i in range(7)]
    seen = []
    Tarvik.ProcessTape(str(tape), 0, 0, 0, lambda s, m: seen.append(
        (m.ptarvik3Ext.FractionalSize / 10**6, m.ptarvik3Ext.FractionalTotalVolume / 10**6)) or 0
        if m.MessageType == Tarvik.TqMSG_TRADE else 0)
    assert seen == list(zip(table.column("fractional_size").to_pylist(),
                            table.column("fractional_total_volume").to_pylist()))


def test_trades_without_the_extension_have_their_whole_sizes_as_fractional(synth_day):
    table = tarvik_engine.read_tape(synth_day, kinds="trades", fractional_sizes=True)["trades"]
    assert table.num_rows > 0
    assert table.column("fractional_size").to_pylist() == [float(s) for s in table.column("size").to_pylist()]
    assert table.column("fractional_total_volume").to_pylist() == \
        [float(v) for v in table.column("total_volume").to_pylist()]


def test_a_tape_path_that_is_no_utf8_is_named(tmp_path, synth_day):
    latin = os.path.join(os.fsencode(tmp_path), b"d\xe9j\xe0.tape")
    with open(latin, "wb") as f:
        f.write(synth_day.read_bytes())
    with pytest.raises(ValueError, match="is not UTF-8: rename the tape"):
        tarvik_engine.read_tape(os.fsdecode(latin))


@pytest.mark.parametrize("read", ["read_tape", "tape_info", "write_tape"])
def test_a_path_with_a_nul_byte_is_refused_not_cut_short(synth_day, read):
    """The engine reads a path up to its first NUL: cut there, it would name
    another file (the tape itself)."""
    path = str(synth_day) + "\0.other"
    with pytest.raises(ValueError, match="embedded null byte"):
        if read == "write_tape":
            tarvik_engine.write_tape(path, trades=pa.table({"symbol": ["A"], "time": [1710509400000000],
                                                            "exchange": [1], "price": [1.5], "size": [1]}))
        else:
            getattr(tarvik_engine, read)(path)


def test_texts_that_show_alike_are_one_value_of_the_symbol_dictionary(tmp_path):
    """Two texts that are no UTF-8 show alike with U+FFFD, as does a text
    that holds it: one dictionary value, so that pandas takes the column."""
    lines = [{"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Alike"}}]
    for k, text in enumerate([{"hex": "ff41"}, {"hex": "fe41"}, "\ufffdA"]):
        lines.append({"symbol": {"id": f"S{k}", "text": text, "listed_exg": 1, "price_type": 2}})
    for k in range(3):
        lines.append({"event": {"kind": "trade", "time": f"09:30:0{k}", "symbol": f"S{k}", "reporting_exg": 1,
                                "price": 100 + k, "size": 1}})
    tape = compile_tape(tmp_path / "alike.tape", lines)
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"]
    symbol = trades.column("symbol").combine_chunks()
    assert symbol.dictionary.to_pylist() == ["\ufffdA"]
    assert trades.to_pandas()["symbol"].tolist() == ["\ufffdA"] * 3


def test_trades_carry_their_condition_and_price_flags(loaded, tmp_path):
    """A cancelled trade is told from the others by its price flags."""
    lines = [{"header": {"date": "2024-03-15", "permission_set": "AA", "display": "Cancels"}},
             {"symbol": {"id": "X", "text": "X", "listed_exg": 1, "price_type": 2}}]
    for k, (price, size, flags, condition) in enumerate([(100, 100, 0, 5), (110, 200, 0, 6), (110, 200, 32, 6),
                                                         (90, 50, 16, 3)]):
        lines.append({"event": {"kind": "trade", "time": f"09:30:0{k}", "symbol": "X", "reporting_exg": 1,
                                "price": price, "size": size, "price_flags": flags, "trade_condition": condition}})
    tape = compile_tape(tmp_path / "cancels.tape", lines)
    assert_columns_are_the_callbacks(tape, every_kind=False)
    trades = tarvik_engine.read_tape(tape, kinds="trades")["trades"].to_pandas()
    assert trades.trade_condition.tolist() == [5, 6, 6, 3]
    assert ((trades.price_flags & Tarvik.TqTPF_EXGCANCEL) != 0).tolist() == [False, False, True, False]


def test_readers_open_at_once_over_a_small_day_hold_little_memory(python_child, tmp_path):
    """A reader makes room for rows a stretch at a time, the first short, and
    its hand-off leaves untouched what no row was written to: twenty open at
    once over a small day hold some 11 MB each (a million rows' room each
    took 30)."""
    tape = tmp_path / "small.tape"
    made = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", str(tape), "--symbols", "20",
                           "--options-per-symbol", "2", "--messages", "6000"], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    child = python_child(f"""
        import tarvik_engine
        ALL = ("trades", "quotes", "mm_quotes", "symbol_changes", "categories")
        def rss_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * 4096 / 2**20
        first = tarvik_engine.iter_tape({str(tape)!r}, kinds=ALL)
        next(first)
        before = rss_mb()
        readers = []
        for _ in range(20):
            reader = tarvik_engine.iter_tape({str(tape)!r}, kinds=ALL)
            next(reader)
            readers.append(reader)
        print(round(rss_mb() - before))
    """)
    assert child.returncode == 0, child.stderr
    if not SANITIZED:
        assert int(child.stdout) < 400, f"twenty readers took {child.stdout.strip()} MB"


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "packed"])
def test_the_tape_s_pages_read_do_not_stay_resident(python_child, tmp_path, compress):
    """A replay lets the tape's mapped pages go once it has read them, so
    the process's resident memory (what a worker's memory limit watches)
    does not grow with the day: a table read and a ProcessTape of a 60 MB
    plain day (19 MB packed), restarted once, each hold a few steps of it
    at most."""
    tape = tmp_path / "day.tape"
    made = subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", str(tape), "--messages", "1200000",
                           "--symbols", "200"] + ([] if compress else ["--no-compress"]),
                          capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    child = python_child(f"""
        import Tarvik, tarvik_engine
        def rss_file_mb():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("RssFile")) / 1024
        tape = {str(tape)!r}
        reader = tarvik_engine.iter_tape(tape, kinds=("trades", "quotes"), batch_rows=20_000)
        next(reader)
        before = peak = rss_file_mb()
        for _ in reader:
            peak = max(peak, rss_file_mb())
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        seen = []
        def look(system, message):
            if message.MessageType == Tarvik.TqMSG_TRADE:
                seen.append(rss_file_mb())
            # once more from the start: the pages read again go again
            if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == Tarvik.TARVIKSTATUS_COMPLETE \
                    and len(seen) < 2 * trades:
                return Tarvik.TqCALLBACKRETURN_RESTART
            return 0
        trades = 0
        Tarvik.ProcessTape(tape, 0, 0, 0, look)
        trades = len(seen)
        seen.clear()
        Tarvik.ProcessTape(tape, 0, 0, 0, look)
        print(round(peak - before), round(max(seen) - before), len(seen) // trades)
    """, timeout=300)
    size_mb = tape.stat().st_size / 2**20
    os.remove(tape)
    assert child.returncode == 0, child.stderr
    read_grew, replay_grew, passes = map(int, child.stdout.split())
    assert passes == 2
    assert read_grew < 40 and replay_grew < 40, (child.stdout, size_mb)
    if not compress:
        assert size_mb > 50


def test_ctrl_c_ends_a_read_that_delivers_nothing_for_long(python_child, tmp_path):
    """A read of a few symbols of a big day makes no batch for most of the
    day: Ctrl-C is heard while it waits, not once the day is read, and the
    next read is whole."""
    day = str(tmp_path / "big.tape")
    # Many instruments make the walk slow for its size (80 MB)
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", day, "--messages", "6000000",
                    "--symbols", "3000"], check=True)
    child = python_child(f"""
        import os, signal, threading, time, tarvik_engine
        def read(**kw):
            return tarvik_engine.read_tape({day!r}, kinds=("trades",), **kw)
        started = time.perf_counter()
        read(symbols=["NONE"])
        whole = time.perf_counter() - started
        threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.perf_counter()
        try:
            read(symbols=["NONE"])
            interrupted = None
        except KeyboardInterrupt:
            interrupted = time.perf_counter() - started
        print(whole, interrupted, read()["trades"].num_rows == read()["trades"].num_rows > 0)
    """, timeout=300)
    os.remove(day)  # not kept among pytest's recent temporary folders
    assert child.returncode == 0, child.stderr
    whole, interrupted, again = child.stdout.split()
    assert interrupted != "None" and again == "True", child.stdout
    if float(whole) < 0.3:
        pytest.skip(f"the read took {float(whole):.2f} s: too short to tell when Ctrl-C was heard")
    assert float(interrupted) < float(whole) / 2, child.stdout

"""Replays random days through ProcessTape with a program that reads
everything it is handed and then abuses it: it reassigns members with values
of every kind, empties and refills the lists, keeps objects past their
message and run, raises, answers oddly, asks the state queries and spins
from inside the callback, and sets filters between runs.

The module must survive all of it. A crash, a hang, or an error the module
leaves pending (Python reports that as SystemError) is a fault; the
exceptions a program provokes on purpose are not. Each day is also
replayed twice more, reading only and then reassigning members after
reading them: every message must show the same values both times, since
the module refills what a program changed.

    python3.14 fuzz/module_stress.py [--seed N] [--days N] [--seconds S] [--threads N] [--verbose]

Each day is built from --seed and its number, so a failing day is repeated
by running the same seed again; the day being replayed is printed first
when --verbose is given. The built module (Tarvik) and the engine package
(tarvik_engine) must be importable, as in a build tree's python directory.
"""

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import warnings

import Tarvik
import tarvik_engine

KINDS = ["exgquote"] * 6 + ["mmquote"] * 2 + ["trade"] * 3 + ["category"] * 2 + ["symbolchange", "status", 9]
FIELD_TYPES = ["64bit", "32bit", "stringz", "double", "price", "date", "time", "tqstring", "string_idx",
               "string_map", 0, 200, 255]
LISTED_EXGS = [0, 1, 2, 3, 10, 10, 255, 256, 266, 1000, 65535]


class Abort(Exception):
    """A fault found: the module left an error pending or broke its contract."""


# The day --------------------------------------------------------------------

def text(rng, short=False):
    """A text for the tape script: mostly letters, sometimes bytes that are
    not valid UTF-8, sometimes empty or long."""
    roll = rng.random()
    if roll < 0.08:
        return {"hex": "".join(rng.choice(["ff", "c3", "80", "fe", "41", "e2", "82"]) for _ in range(rng.randint(1, 6)))}
    if roll < 0.12:
        return ""
    if roll < 0.15 and not short:
        return "".join(rng.choice("ABCXYZ.-/é") for _ in range(rng.randint(40, 300)))
    return "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rng.randint(1, 6)))


def category_value(rng, kind, tables):
    if rng.random() < 0.15:
        return None
    if kind in ("stringz", "tqstring"):
        return text(rng)
    if kind == "double":
        return rng.choice([0.0, -1.5, 1e300, 123.25])
    if kind == "price":
        return {"price": rng.randint(-2**31, 2**31 - 1), "price_type": rng.randint(0, 255)}
    if kind == "date":
        return f"{rng.randint(1900, 2100)}-{rng.randint(1, 12):02}-{rng.randint(1, 28):02}"
    if kind == "time":
        return rng.randint(0, 86_399_999) * 1000  # a category time holds milliseconds
    if kind in ("string_idx", "string_map"):
        return {"table": rng.choice(tables + [0, 1, 33, 2**31]), "index": rng.randint(0, 6)}
    if kind == "32bit":
        return rng.randint(0, 2**32 - 1)
    return rng.randint(-2**63, 2**63 - 1)


def make_day(rng):
    """A random tape script: a list of one-key dicts."""
    lines = [{"header": {"date": f"20{rng.randint(10, 30)}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)}",
                         "permission_set": rng.choice(["", "AA", "ABCD"]), "time_zone": rng.randint(-12, 12),
                         "display": text(rng)}}]
    tables = rng.sample(range(2, 33), rng.randint(0, 3))
    for table in tables:
        lines.append({"strings": {"table": table, "texts": [text(rng) for _ in range(rng.randint(0, 5))]}})

    ids, atoms = [], rng.sample(range(1, 70_000), 40)
    for i in range(rng.randint(1, 12)):
        symbol = {"id": f"S{i}", "text": text(rng), "listed_exg": rng.choice(LISTED_EXGS),
                  "price_type": rng.randint(0, 255), "prev_close": rng.randint(-10, 10**6)}
        if rng.random() < 0.9:
            symbol["atom"] = 65535 if rng.random() < 0.1 else atoms.pop()
        lines.append({"symbol": symbol})
        ids.append(f"S{i}")
    for i in range(rng.randint(0, 10)):
        option = {"id": f"O{i}", "root": text(rng, short=True), "listed_exg": rng.choice(LISTED_EXGS),
                  "date_and_strike": rng.choice(["AB", "ZZ", "A\u0000", {"hex": "ff41"}, {"hex": "0041"}]),
                  "strike": rng.randint(-2**31, 2**31 - 1), "put_call": rng.randint(0, 2),
                  "expiration": f"20{rng.randint(10, 40)}-0{rng.randint(1, 9)}-2{rng.randint(0, 8)}"}
        if rng.random() < 0.9:
            option["atom"] = 65535 if rng.random() < 0.1 else atoms.pop()
        for component in ("underlying", "series_chain", "special_settle"):
            if rng.random() < 0.7:
                option[component] = text(rng)
        lines.append({"option": option})
        ids.append(f"O{i}")

    categories = []
    for number in rng.sample(range(0, 2000), rng.randint(0, 3)):
        fields = [rng.choice(FIELD_TYPES) for _ in range(rng.choice([0, 1, 3, 8, 255, 256, 257, 300]))]
        lines.append({"category": {"id": number, "name": text(rng),
                                   "fields": [{"name": text(rng), "type": kind} for kind in fields]}})
        categories.append((number, fields))

    micros = rng.randint(0, 30_000_000_000)
    for _ in range(rng.randint(20, 400)):
        micros = min(micros + rng.randint(0, 50_000_000), 86_399_999_999)
        kind = rng.choice(KINDS)
        if kind == "category" and not categories:
            kind = "status"
        event = {"kind": kind, "time": micros, "symbol": rng.choice(ids) if rng.random() < 0.95 else None,
                 "reporting_exg": rng.randint(0, 300)}
        if rng.random() < 0.2:
            event["ext"] = {"ptp1": rng.randint(0, 2**40), "fractional_size": rng.randint(0, 2**40)}
        if kind in ("exgquote", "mmquote"):
            event.update(bid=rng.randint(-2**31, 2**31 - 1), ask=rng.randint(0, 10**6), bid_size=rng.randint(0, 10**4),
                         ask_size=rng.randint(0, 10**4))
            if kind == "mmquote":
                event["market_maker"] = text(rng, short=True) if rng.random() < 0.9 else None
        elif kind == "trade":
            event.update(price=rng.randint(-2**31, 2**31 - 1), size=rng.randint(0, 2**32 - 1),
                         price_flags=rng.choice([0, 16, 32, 64, 112]),
                         ext_conditions=[rng.randint(0, 255) for _ in range(rng.randint(0, 4))])
        elif kind == "category":
            number, fields = rng.choice(categories)
            event.update(category=number, values=[category_value(rng, f, tables) for f in fields])
        elif kind == "symbolchange":
            event.update(status=rng.choice(["add", "del", "mod", 0, 9]), old_listed_exg=rng.choice(LISTED_EXGS))
            if rng.random() < 0.8:
                event["old_symbol"] = rng.choice(ids)
        elif kind == "status":
            event.update(status=rng.randint(-5, 12), status_data=rng.randint(-1, 5))
        lines.append({"event": event})
    return lines


def compile_day(lines, directory, name):
    script = os.path.join(directory, name + ".jsonl")
    tape = os.path.join(directory, name + ".tape")
    with open(script, "w") as out:
        out.writelines(json.dumps(line) + "\n" for line in lines)
    result = subprocess.run([tarvik_engine.tape_tool_path(), "compile", script, "-o", tape],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise Abort(f"the tape tool refused a generated day: {result.stderr.strip()}")
    return tape


# The program ----------------------------------------------------------------

def members(obj):
    return [name for name in dir(obj) if not name.startswith("_")]


def read(obj, name):
    """A member's value, or the type of exception reading it raised: a
    member left unset raises AttributeError, and a raw-byte text member
    whose text is not UTF-8 raises UnicodeDecodeError."""
    try:
        return getattr(obj, name)
    except (AttributeError, UnicodeDecodeError) as error:
        return type(error)


def walk(obj, found, depth=0):
    """Reads every member of obj and of the objects below it."""
    if depth > 6 or id(obj) in found:
        return
    found[id(obj)] = obj
    # A category's 256 fields would crowd out every other object: the first
    # few and the last stand for them.
    items = obj[:6] + obj[-2:] if isinstance(obj, list) else []
    if type(obj).__module__ == "Tarvik":
        for name in members(obj):
            value = read(obj, name)
            if callable(value):
                continue
            if type(value).__module__ == "Tarvik" or isinstance(value, list):
                walk(value, found, depth + 1)
            else:
                str(value)
    for item in list(items):
        walk(item, found, depth + 1)


class Vandal:
    """The callable handed to ProcessTape, driven by its own random stream."""

    def __init__(self, rng, tape, scratch):
        self.rng = rng
        self.tape = tape
        self.scratch = scratch
        self.kept = []
        self.restarts = 0
        self.messages = 0
        self.faults = []

    def junk(self, found):
        rng = self.rng
        pool = [None, 0, 1, -1, 2**31, 2**63, 2**100, -2**100, 1.5, float("nan"), "text", "", b"x", [], [1, "a"],
                (), object(), True]
        if found:
            pool.append(rng.choice(list(found.values())))
        for kind in (Tarvik.TqString, Tarvik.TqOptionHdr, Tarvik.TqDate, Tarvik.TqTime, Tarvik.TqPrice):
            try:
                pool.append(kind())
            except TypeError:
                pass
        return rng.choice(pool)

    def vandalise(self, found):
        rng = self.rng
        objects = list(found.values())
        for _ in range(rng.randint(1, 8)):
            target = rng.choice(objects)
            if isinstance(target, list):
                roll = rng.random()
                try:
                    if roll < 0.3:
                        target.clear()
                    elif roll < 0.5:
                        target.append(self.junk(found))
                    elif roll < 0.8 and target:
                        target[rng.randrange(len(target))] = self.junk(found)
                    elif target:
                        del target[rng.randrange(len(target)):]
                except (TypeError, ValueError):
                    pass
                continue
            names = members(target)
            if not names:
                continue
            name = rng.choice(names)
            try:
                if rng.random() < 0.1:
                    delattr(target, name)
                else:
                    setattr(target, name, self.junk(found))
            except (AttributeError, TypeError, ValueError, OverflowError):
                pass

    def ask(self, system, message):
        """Calls the module's other functions from inside the callback."""
        rng = self.rng
        header = message.coreHeader
        symbol = getattr(header, "ptqStringSymbol", None)
        name = getattr(symbol, "String", None)
        listed = getattr(header, "ListedExg", 0)
        calls = [
            lambda: Tarvik.StateGetExgQuotes(listed, name),
            lambda: Tarvik.StateGetLastTrade(listed, name),
            lambda: Tarvik.StateGetMMQuotes(rng.randint(0, 20), listed, name),
            lambda: Tarvik.StateGetExgQuotes(10, name, rng.randint(0, 60000), rng.randint(0, 10**6), rng.randint(0, 1)),
            lambda: Tarvik.StateGetLastTrade(self.junk({}), self.junk({})),
            lambda: Tarvik.GetSymbolAtom32(),
            lambda: Tarvik.GetDefinedString(rng.randint(-1, 40), rng.randint(-1, 10)),
            lambda: Tarvik.SpinSymbols(rng.choice([-1, 1, 10, 300]), rng.randint(0, 3), 7, self.spin, 0),
            lambda: Tarvik.SaveState(os.path.join(self.scratch, "state"), 0),
            lambda: Tarvik.ProcessTape(self.tape, 0, 0, 0, self),
            lambda: Tarvik.FilterSymbols([name or "X"]),
            lambda: Tarvik.RemovePermission(rng.randint(0, 5)),
            lambda: Tarvik.GetTapeName(),
            lambda: Tarvik.PriceFormat(self.number(), self.number(), self.number(), rng.random() < 0.5),
            lambda: Tarvik.PriceConvert(self.number(), self.number(), self.number()),
            lambda: Tarvik.PriceToDouble(self.number(), self.number()),
            lambda: Tarvik.DateFromNDays(self.date()),
            lambda: Tarvik.DateFromYMD(self.date()),
        ]
        call = rng.randrange(len(calls))
        try:
            result = calls[call]()
        except (TypeError, ValueError, OverflowError, RuntimeError):
            return
        except Exception as error:  # SystemError above all: an error left pending
            self.faults.append(f"call {call} in the callback raised {error!r}")
            return
        if result is not None and rng.random() < 0.3:
            self.kept.append(result)

    def number(self):
        return self.rng.choice([0, 1, -1, 2, 8, 10, 16, 19, 20, 21, 37, 255, 256, 2**31 - 1, -2**31, 2**31, 2**63,
                                -2**63, 10**6, self.rng.randint(-2**40, 2**40)])

    def date(self):
        date = Tarvik.TqDate()
        for name in ("NDays", "Year", "Month", "Day"):
            try:
                setattr(date, name, self.number())
            except (TypeError, ValueError, OverflowError):
                pass
        return date

    def spin(self, system, message):
        if self.rng.random() < 0.2:
            found = {}
            walk(system, found)
            walk(message, found)
            self.vandalise(found)
        if self.rng.random() < 0.05:
            self.kept.extend((system, message))
        return self.rng.choice([0, 0, 0, 1])

    def __call__(self, system, message):
        rng = self.rng
        self.messages += 1
        found = {}
        walk(system, found)
        walk(message, found)
        if rng.random() < 0.3:
            self.vandalise(found)
        if rng.random() < 0.1:
            self.ask(system, message)
        if rng.random() < 0.05:
            self.kept.extend(rng.sample(list(found.values()), min(3, len(found))))
        roll = rng.random()
        if roll < 0.02:
            raise ValueError("the program's own mistake")
        if roll < 0.025:
            return 1
        if roll < 0.03 and self.restarts < 2:
            self.restarts += 1
            return 2
        if roll < 0.032:
            return rng.choice([None, "0", 1.5, 2**80, -1, True, 7])
        return 0


# What a program must see whatever it did to the objects before -----------------

BODIES = {Tarvik.TqMSG_EXGQUOTE: "ExgQuote", Tarvik.TqMSG_MMQUOTE: "MMQuote", Tarvik.TqMSG_TRADE: "Trade",
          Tarvik.TqMSG_CATEGORY: "Category", Tarvik.TqMSG_SYMBOLCHANGE: "SymbolChange"}


FIELD_DATA = {Tarvik.TqCFT_64BIT: "i64Bit", Tarvik.TqCFT_32BIT: "i32Bit", Tarvik.TqCFT_STRINGZ: "StringZ",
              Tarvik.TqCFT_DOUBLE: "Double", Tarvik.TqCFT_PRICE: "tqPrice", Tarvik.TqCFT_DATE: "tqDate",
              Tarvik.TqCFT_TIME: "tqTime", Tarvik.TqCFT_TqSTRING: "ptqString",
              Tarvik.TqCFT_STRING_IDX: "stringTableItem", Tarvik.TqCFT_STRING_MAP: "stringTableItem"}


def values(obj, path, out, depth=0):
    """Every plain value under obj, by its path."""
    if depth > 6:
        return
    if isinstance(obj, list):
        out[path + ".len"] = len(obj)
        for i, item in enumerate(obj):
            values(item, f"{path}[{i}]", out, depth + 1)
    elif type(obj).__module__ == "Tarvik":
        for name in members(obj):
            value = read(obj, name)
            if not callable(value):
                values(value, f"{path}.{name}", out, depth + 1)
    else:
        out[path] = repr(obj)


def seen(system, message):
    """What this message shows: the system object, the message's header and
    extension, and the body of its kind (the others keep older values)."""
    out = {}
    values(system, "system", out)
    del out["system.ThreadInstance"]  # where the engine's run lives: one place a run, not a value of the day
    out["kind"] = message.MessageType
    values(message.coreHeader, "header", out)
    values(read(message, "ptarvik3Ext"), "ext", out)
    body = BODIES.get(message.MessageType)
    if body == "Category":
        category = message.coreData.Category
        values(read(category, "ptqStringCategory"), "Category.name", out)
        out["Category.NFields"] = category.NFields
        for i, field in enumerate(category.ptqFields[:category.NFields]):
            path = f"Category.ptqFields[{i}]"
            for name in ("FieldName", "FieldInfo", "Set", "FieldType"):
                out[f"{path}.{name}"] = repr(read(field, name))
            if field.Set:  # the data shows the value of the field's type only
                member = FIELD_DATA.get(field.FieldType)
                if member:
                    values(read(field.data, member), f"{path}.data.{member}", out)
    elif body:
        values(getattr(message.coreData, body), body, out)
    return out


def check_refill(rng, tape, label):
    """Replays the day twice, once reading only and once reassigning members
    after reading them: every message must show the same values both times."""
    failures = []

    def record(into, system, message):
        try:
            into.append(seen(system, message))
        except Exception:  # the module would print it and go on
            failures.append(traceback.format_exc())
            into.append({})

    clean = []
    Tarvik.ProcessTape(tape, 0, 0, 0, lambda system, message: record(clean, system, message) or 0)
    dirty = []

    def meddle(system, message):
        record(dirty, system, message)
        found = {}
        walk(system, found)
        walk(message, found)
        objects = list(found.values())
        for _ in range(rng.randint(0, 6)):
            target = rng.choice(objects)
            if isinstance(target, list):
                continue  # a list the program changes stays as the program left it
            names = [n for n in members(target) if not n.startswith("UserData")]
            if names:
                try:
                    setattr(target, rng.choice(names), rng.choice([None, 0, -7, "x", 1.5, message, system, []]))
                except (AttributeError, TypeError, ValueError, OverflowError):
                    pass
        return 0

    Tarvik.ProcessTape(tape, 0, 0, 0, meddle)
    if failures:
        raise Abort(f"{label}: reading a message failed: {failures[0]}")
    if len(clean) != len(dirty):
        raise Abort(f"{label}: {len(clean)} messages, then {len(dirty)} after meddling")
    for number, (want, got) in enumerate(zip(clean, dirty)):
        if want != got:
            wrong = sorted(k for k in set(want) | set(got) if want.get(k) != got.get(k))
            details = ", ".join(f"{k}: {want.get(k)} != {got.get(k)}" for k in wrong[:5])
            raise Abort(f"{label}: message {number} shows other values after meddling: {details}")


# The runs -------------------------------------------------------------------

def set_filters(rng, names):
    choice = rng.random()
    try:
        if choice < 0.1:
            Tarvik.FilterSymbols(rng.sample(names, min(len(names), 2)))
        elif choice < 0.2:
            Tarvik.ExcludeSymbols([(n, rng.choice(LISTED_EXGS)) for n in rng.sample(names, min(len(names), 2))])
        elif choice < 0.25:
            Tarvik.FilterSymbolsRange(rng.choice(names + [""]), rng.choice(names + [""]))
    except (TypeError, ValueError, RuntimeError):
        pass


def replay(seed, day, engine, scratch, verbose):
    rng = random.Random(seed * 1_000_003 + day)
    lines = make_day(rng)
    if verbose:
        print(f"seed {seed} day {day}: {len(lines)} lines", flush=True)
    tape = compile_day(lines, scratch, f"day{day}")
    names = [s["symbol"]["text"] for s in lines if "symbol" in s and isinstance(s["symbol"]["text"], str)]
    if Tarvik.LoadTarvik(engine) == 0:
        raise Abort("the engine did not load")
    check_refill(random.Random(rng.random()), tape, f"seed {seed} day {day}")
    kept = []
    saved = os.path.join(scratch, "state")  # where the program's SaveState calls write
    for run in range(rng.randint(1, 4)):
        if Tarvik.LoadTarvik(engine) == 0:
            raise Abort("the engine did not load")
        set_filters(rng, names or ["X"])
        vandal = Vandal(random.Random(rng.random()), tape, scratch)
        source = saved if os.path.exists(saved) and rng.random() < 0.5 else tape  # resume from a bookmark
        try:
            result = Tarvik.ProcessTape(source, 0, rng.choice([0, 0, 1, 2, 3]), rng.randint(-5, 5), vandal)
        except SystemError as error:
            raise Abort(f"seed {seed} day {day} run {run}: {error!r}") from error
        except (TypeError, OverflowError, ValueError):
            result = None  # an odd answer ends the run with an exception: by design
        if result is not None and not isinstance(result, int):
            raise Abort(f"seed {seed} day {day} run {run}: ProcessTape returned {result!r}")
        if vandal.faults:
            raise Abort(f"seed {seed} day {day} run {run}: {vandal.faults[0]}")
        kept.extend(vandal.kept)
        if rng.random() < 0.3:
            Tarvik.UnloadTarvik()
    found = {}
    for obj in kept:
        walk(obj, found)
    Tarvik.UnloadTarvik()
    if os.path.exists(saved):
        os.remove(saved)
    gc.collect()


class Discard:
    """Where the program's exceptions go: the module prints each one."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def stress(seed, options, engine, deadline, outcome):
    """Replays days until both --days and --seconds are done, or a fault."""
    days = 0
    try:
        with tempfile.TemporaryDirectory() as scratch:
            while not outcome["faults"] and (days < options.days or time.monotonic() < deadline):
                replay(seed, days, engine, scratch, options.verbose)
                days += 1
    except Abort as fault:
        outcome["faults"].append(str(fault))
    except Exception:  # the harness's own mistake, or an exception the module should not raise
        outcome["faults"].append(f"seed {seed} day {days}: {traceback.format_exc()}")
    outcome["days"] += days


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--days", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=0, help="run days until this much time has passed")
    parser.add_argument("--threads", type=int, default=1, help="threads replaying at once, each its own days")
    parser.add_argument("--verbose", action="store_true")
    options = parser.parse_args()

    engine = tarvik_engine.library_path()
    warnings.simplefilter("ignore")  # the vandal's values overflow members on purpose
    quiet, sys.stderr = sys.stderr, Discard()
    started = time.monotonic()
    outcome = {"faults": [], "days": 0}
    try:
        threads = [threading.Thread(target=stress, args=(options.seed + 1000 * i, options, engine,
                                                          started + options.seconds, outcome))
                   for i in range(options.threads)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.stderr = quiet
    for fault in outcome["faults"]:
        print(f"module_stress: {fault}", file=sys.stderr)
    if outcome["faults"]:
        return 1
    print(f"module_stress: seed {options.seed}, {outcome['days']} days in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())

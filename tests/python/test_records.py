"""The 28 record types: names, member tables, access, construction of whole
trees, subclassing, and the lifetime of the objects they own."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
import tracemalloc
import warnings
import weakref
from pathlib import Path

import pytest

import Tarvik
import tarvik_engine

REPO = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("TARVIK_BUILD_DIR", REPO / "build" / "dev"))

# Types in binding order, each with its members in table order:
# (name, kind, writable). Kinds: int, float, str (library text, None when
# unset), obj (None when unset), obj_ex (AttributeError when unset), or a
# type name for an owned child made by the constructor.
I, F, S, O, X = "int", "float", "str", "obj", "obj_ex"
RW, RO = True, False

RECORD_TYPES = {
    "TqDate": [("NDays", I, RW), ("Year", I, RW), ("Month", I, RW), ("Day", I, RW), ("DSTIndicator", I, RW),
               ("DayOfWeek", I, RW), ("DayOfYear", I, RW)],
    "TqTime": [("MsOfDay", I, RW), ("Millisecond", I, RW), ("Second", I, RW), ("Minute", I, RW), ("Hour", I, RW),
               ("TimeZone", I, RW), ("MsResolution", I, RW)],
    "TqPrice": [("Price", I, RW), ("PriceType", I, RW)],
    "StringTableItem": [("ixTable", I, RW), ("idString", I, RW)],
    "TarvikSystem": [("UserData", I, RW), ("DLLVersion", I, RO), ("tqDate", "TqDate", RO), ("tqTime", "TqTime", RO),
                     ("ClockUpdateInterval", I, RO), ("Status", I, RO), ("StatusData", I, RO),
                     ("StatusDisplay", S, RO), ("TapeDisplay", S, RO), ("Module", I, RO), ("ThreadInstance", I, RO),
                     ("PermissionSet", "perm", RO)],
    "TarvikData": [("ExgQuote", "TarvikExgQuote", RO), ("MMQuote", "TarvikMMQuote", RO), ("Trade", "TarvikTrade", RO),
                   ("Category", "TarvikCategory", RO), ("SymbolChange", "TarvikSymbolChange", RO),
                   ("SymbolSpin", "TarvikSymbolSpin", RO)],
    "TqString": [("UserData1", I, RW), ("UserData2", I, RW), ("Atom", I, RO), ("String", X, RO)],
    "TqOptionHdr": [("ptqsDateAndStrike", O, RW), ("ptqsUnderlying", O, RW), ("ptqsSeriesChain", O, RW),
                    ("ptqsSpecialSettle", O, RW), ("exgUnderlying", I, RO), ("contractUnit", I, RO),
                    ("strikePrice", I, RO), ("strikePriceEst", I, RO), ("PutCall", I, RO),
                    ("expirationCycle", I, RO), ("oicStrikeAge", I, RO), ("tqStrikeMatch", I, RO),
                    ("tqExpirationDate", "TqDate", RO)],
    "TarvikHeader": [("ptqStringSymbol", O, RW), ("ptqOptionHdr", O, RW), ("tqSessionDate", "TqDate", RO),
                     ("tqExgTimestamp", "TqTime", RO), ("ListedExg", I, RO), ("ReportingExg", I, RO),
                     ("SessionID", I, RO), ("alignment", I, RO), ("PermissionID", I, RO)],
    "Tarvik3Ext": [("MicrosOfDaySRC", I, RO), ("MicrosOfDayPTP1", I, RO), ("MicrosOfDayPTP2", I, RO),
                   ("FractionalSize", I, RO), ("FractionalTotalVolume", I, RO)],
    "TarvikMessage": [("coreHeader", "TarvikHeader", RO), ("coreData", "TarvikData", RO), ("MessageType", I, RO),
                      ("ptarvik3Ext", O, RO)],
    "TarvikQuote": [(n, I, RO) for n in ("AskSize", "BidSize", "AskSizeChange", "BidSizeChange", "AskPrice",
                                         "BidPrice", "AskPriceChange", "BidPriceChange", "PriceType", "Refresh",
                                         "QuoteCondition", "NasdaqBidTick")],
    "TarvikExgQuote": [("coreQuote", "TarvikQuote", RO)] + [
        (n, I, RO) for n in ("BestAskPrice", "BestBidPrice", "BestAskPriceChange", "BestBidPriceChange",
                             "BestAskSize", "BestBidSize", "BestAskSizeChange", "BestBidSizeChange", "BestAskExg",
                             "BestBidExg", "PrevBestAskExg", "PrevBestBidExg", "BestAskCondition",
                             "BestBidCondition", "BBOChangeFlags", "ClosingQuoteFlag")],
    "TarvikMMQuote": [("coreQuote", "TarvikQuote", RO), ("ptqStringMarketMaker", O, RO),
                      ("MarketMakerType", I, RO), ("QuoteType", I, RO)],
    "TqCTAnalysis": [(n, I, RO) for n in ("FilterThreshold", "Filtered", "FilterLevel", "SigHiLoType", "alignment",
                                          "SigHiLoSeconds", "QteMatchDistanceRGN", "QteMatchDistanceBBO",
                                          "QteMatchTypeRGN", "QteMatchTypeBBO", "QteMatchFlagsRGN",
                                          "QteMatchFlagsBBO")],
    "TarvikTrade": [(n, I, RO) for n in ("Price", "PriceType", "PriceFlags", "TradeCondition", "ConditionFlags",
                                         "VolumeType", "BATECode", "Size", "ExgSequence", "RecordsBack")]
    + [("tqAnalysis", "TqCTAnalysis", RO)]
    + [(n, I, RO) for n in ("TotalVolume", "TickVolume", "Open", "High", "Low", "Last", "Tick", "NetChange")]
    + [("ExtTradeConditions", "list", RO)],
    "TarvikSymbolChange": [("Status", I, RO), ("StatusChar", "char", RO), ("ptqsSymbolOld", X, RO),
                           ("ptqOptionHdrOld", X, RO), ("ListedExgOld", I, RO)],
    "TarvikSymbolSpin": [(n, I, RO) for n in ("SpinID", "IterLimit", "SubIterLimit", "IterCount", "SubIterCount")],
    "TarvikCategory": [("ptqStringCategory", X, RO), ("ptqFields", "list", RO), ("NFields", I, RO)],
    "TarvikCategoryData": [("i64Bit", I, RO), ("i32Bit", I, RO), ("StringZ", S, RO), ("Double", F, RO),
                           ("tqPrice", "TqPrice", RO), ("tqDate", "TqDate", RO), ("tqTime", "TqTime", RO),
                           ("ptqString", "TqString", RO), ("stringTableItem", "StringTableItem", RO)],
    "TqCategoryField": [("FieldName", S, RO), ("FieldInfo", S, RO), ("Set", I, RO), ("FieldType", I, RO),
                        ("data", "TarvikCategoryData", RO)],
    "TarvikStateExgQuote": [(n, I, RO) for n in ("AskPrice", "BidPrice", "AskSize", "BidSize", "ReportingExg",
                                                 "QuoteCondition")],
    "TarvikStateMMQuote": [("AskPrice", I, RO), ("BidPrice", I, RO), ("AskSize", I, RO), ("BidSize", I, RO),
                           ("ptqStringMarketMaker", O, RO), ("MarketMakerType", I, RO), ("QuoteType", I, RO)],
    "TarvikStateExgQuotes": [("StateQuoteCount", I, RO), ("PriceType", I, RO), ("NasdaqBidTick", I, RO),
                             ("BestAskExg", I, RO), ("BestBidExg", I, RO), ("StateExgQuotes", "list", RO)],
    "TarvikStateMMQuotes": [("StateQuoteCount", I, RO), ("PriceType", I, RO), ("NasdaqBidTick", I, RO),
                            ("StateMMQuotes", "list", RO)],
    "TarvikStateTrade": [(n, I, RO) for n in ("TotalVolume", "TickVolume", "PriceType", "PriceFlags",
                                              "ConditionFlags", "VolumeType", "Open", "High", "Low", "Last",
                                              "NetChange", "Price", "Threshold", "Tick")],
    "TarvikTapeFile": [("PathnameStrZ", O, RO), ("FileAttributes", I, RO), ("FileSize", I, RO),
                       ("TapeDate", "TqDate", RO), ("PermSet", O, RO)],
    "TarvikAPIDLLFile": [("PathnameStrZ", O, RO), ("FileAttributes", I, RO), ("FileSize", I, RO),
                         ("BuildDate", "TqDate", RO), ("BuildTime", "TqTime", RO), ("verMajor", I, RO),
                         ("verMinor", I, RO), ("verBuild", I, RO)],
}

MEMBERS = [(t, m, kind, rw) for t, members in RECORD_TYPES.items() for (m, kind, rw) in members]
DOCS = "tarvik_engine/docs/"


def member_names(tp):
    return [k for k, v in vars(tp).items() if type(v).__name__ == "member_descriptor"]


# --- names, flags, tables ----------------------------------------------------


def test_twenty_eight_types_bound_in_order():
    assert len(RECORD_TYPES) == 28
    bound = [k for k, v in vars(Tarvik).items() if isinstance(v, type)]
    assert bound == list(RECORD_TYPES)


@pytest.mark.parametrize("name", RECORD_TYPES)
def test_type_name_doc_and_flags(name):
    tp = getattr(Tarvik, name)
    assert repr(tp) == f"<class 'Tarvik.{name}'>"
    assert tp.__doc__ == f"{name} Object"
    assert tp.__bases__ == (object,)
    assert tp.__flags__ & (1 << 10)  # subclassable
    assert not tp.__flags__ & (1 << 14)  # no cyclic GC
    obj = tp()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.no_such_member = 1


@pytest.mark.parametrize("name", RECORD_TYPES)
def test_member_table_order(name):
    assert member_names(getattr(Tarvik, name)) == [m for m, _, _ in RECORD_TYPES[name]]


@pytest.mark.parametrize("name", RECORD_TYPES)
def test_constructor_ignores_arguments_and_sets_defaults(name):
    tp = getattr(Tarvik, name)
    for obj in (tp(), tp(1, "x", None, key=3)):
        for member, kind, _ in RECORD_TYPES[name]:
            if kind == X:
                with pytest.raises(AttributeError):
                    getattr(obj, member)
                continue
            value = getattr(obj, member)
            expected = {I: 0, F: 0.0, S: None, O: None, "perm": "", "char": "\x00"}
            if kind in expected:
                assert value == expected[kind] and type(value) is type(expected[kind]), member
            elif kind == "list":
                assert type(value) is list
            else:
                assert type(value) is getattr(Tarvik, kind), member


DOCSTRINGS = [
    ("TqTime", "Minute", "Mnute of hour 0-59"),
    ("TqDate", "Month", "Month of year.  1-12 (not zero based)"),
    ("TqString", "UserData1", "First  32-bit user data space"),
    ("TqOptionHdr", "strikePrice", "OPRA sourced strike price. implied 3 decimal places. i.e.\t35000 == 35.000 == 35"),
    ("TarvikMMQuote", "ptqStringMarketMaker",
     "TqString containing either the Market Marker or D0,D1,D2... for level of depth"),
    ("TarvikStateMMQuote", "BidPrice", "Current bsk price from the market maker identified as ptqStringMarketMaker"),
    ("Tarvik3Ext", "MicrosOfDaySRC", "Microsecond timestamp from data source, such as CME or SIP. "),
    ("TarvikSystem", "PermissionSet", 'PermissionSet String "AA", etc.'),
    ("TarvikTrade", "ExtTradeConditions", 'List of 4 trade conditions. 255 indicates no trade condition for "slot"'),
    ("TarvikTrade", "PriceFlags", "PriceFlags is a bit mapped entity that indicates the type of trade represented in "
     "the update message.For values see : " + DOCS + "trade-conditions.md"),
    ("TqCTAnalysis", "QteMatchTypeRGN", "Where the trade occured in relation to latest regional quote. For  values "
     "see: " + DOCS + "quote-conditions.md"),
    ("TqPrice", "PriceType", "Price Type. For information on how to compute decimal price see: "
     + DOCS + "price-types.md"),
    ("TarvikSystem", "Status", "processing status. For values see: " + DOCS + "status-values.md"),
    ("TarvikMessage", "MessageType", "Type of message. For values see: " + DOCS + "message-types.md"),
    ("StringTableItem", "ixTable", "Identifier of Table. For values see: " + DOCS + "string-tables.md"),
    ("TarvikHeader", "ptqStringSymbol", "TqString containing symbol in Tarvik symbology. see: " + DOCS
     + "symbology.md " + DOCS + "symbology.md#option-contracts"),
]


@pytest.mark.parametrize("name,member,doc", DOCSTRINGS)
def test_member_docstrings(name, member, doc):
    assert getattr(getattr(Tarvik, name), member).__doc__ == doc


def test_permission_id_docstring_names_the_maker():
    doc = Tarvik.TarvikHeader.PermissionID.__doc__
    assert doc == ("PermissionID is a number assigned by " + Tarvik.__author__ + " and pertains to the authorization "
                   "group that the message belongs to. PermissionIDs are usually a subset of an Exchange. Use "
                   "TarvikGetDefinedString(TqST_PERMID,PermissionID) for text name")


def test_every_documentation_link_is_a_page_installed_with_the_module():
    links = set()
    for name in RECORD_TYPES:
        for member in member_names(getattr(Tarvik, name)):
            doc = getattr(Tarvik, name).__dict__[member].__doc__
            assert "https://" not in doc, (name, member)
            links.update(re.findall(r"tarvik_engine/\S+", doc))
    links.update(re.findall(r"tarvik_engine/\S+", Tarvik.GetDefinedString.__doc__))
    assert len(links) == 8
    # The link is a path from the folder that holds the module and the
    # package; tarvik_engine.docs_path() is the folder it names.
    module_folder = Path(Tarvik.__file__).parent
    assert tarvik_engine.docs_path() == module_folder / "tarvik_engine" / "docs"
    for link in links:
        assert link.startswith(DOCS), link
        page, _, anchor = link.partition("#")
        md = module_folder / page
        assert md.exists(), link
        assert md.read_text() == (REPO / "docs" / md.name).read_text(), link
        if anchor:
            headings = [h.strip("# \n").lower().replace(" ", "-") for h in md.read_text().splitlines()
                        if h.startswith("#")]
            assert anchor in headings, link


# --- access ------------------------------------------------------------------


@pytest.mark.parametrize("name,member", [(t, m) for t, m, _, rw in MEMBERS if not rw])
def test_read_only_members_refuse_assignment(name, member):
    obj = getattr(Tarvik, name)()
    with pytest.raises(AttributeError):
        setattr(obj, member, 1)


@pytest.mark.parametrize("name,member", [(t, m) for t, m, kind, rw in MEMBERS if rw and kind == I])
def test_writable_numbers(name, member):
    obj = getattr(Tarvik, name)()
    setattr(obj, member, 7)
    assert getattr(obj, member) == 7
    with pytest.raises(TypeError):
        setattr(obj, member, "7")
    with pytest.raises(TypeError):
        delattr(obj, member)


@pytest.mark.parametrize("name,member,value,stored", [
    ("TqDate", "Month", 300, 44),
    ("TqDate", "Year", 70000, 70000 - 65536),
    ("TqTime", "Second", 256, 0),
    ("TqPrice", "PriceType", -1, 255),
])
def test_truncation_warns_and_truncates(name, member, value, stored):
    obj = getattr(Tarvik, name)()
    with pytest.warns(RuntimeWarning):
        setattr(obj, member, value)
    assert getattr(obj, member) == stored


def test_signed_members_keep_their_sign():
    t, s, p = Tarvik.TqTime(), Tarvik.TqString(), Tarvik.TqPrice()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        t.TimeZone = -1
        s.UserData2 = -(2**31)
        p.Price = -5
    assert (t.TimeZone, s.UserData2, p.Price) == (-1, -(2**31), -5)


def test_date_and_time_initialiser_zeroes_the_record():
    d = Tarvik.TqDate()
    d.Year, d.Month, d.Day, d.NDays = 2026, 3, 17, 52000
    d.__init__()
    assert [getattr(d, m) for m, _, _ in RECORD_TYPES["TqDate"]] == [0] * 7
    t = Tarvik.TqTime()
    t.Hour, t.TimeZone, t.MsResolution = 9, -5, 1
    t.__init__(1, 2, x=3)
    assert [getattr(t, m) for m, _, _ in RECORD_TYPES["TqTime"]] == [0] * 7


# --- trees -------------------------------------------------------------------


def test_message_tree():
    m = Tarvik.TarvikMessage()
    assert m.MessageType == 0 and m.ptarvik3Ext is None
    assert m.coreHeader.ptqOptionHdr is None and m.coreHeader.tqSessionDate.Year == 0
    assert m.coreData.Trade.tqAnalysis.Filtered == 0
    assert m.coreData.Trade.ExtTradeConditions == [255, 255, 255, 255]
    assert m.coreData.MMQuote.ptqStringMarketMaker is None
    assert m.coreData.ExgQuote.coreQuote is not m.coreData.MMQuote.coreQuote
    category = m.coreData.Category
    assert category.NFields == 0
    fields = category.ptqFields
    assert len(fields) == 256 and all(type(f) is Tarvik.TqCategoryField for f in fields)
    assert len({id(f) for f in fields}) == 256
    assert len({id(f.data) for f in fields}) == 256
    assert len({id(f.data.ptqString) for f in fields}) == 256
    assert all(f.data.tqPrice.Price == 0 for f in fields)


def test_trees_are_independent():
    a, b = Tarvik.TqOptionHdr(), Tarvik.TqOptionHdr()
    assert a.tqExpirationDate is not b.tqExpirationDate
    a.tqExpirationDate.Year = 2030
    assert b.tqExpirationDate.Year == 0
    m1, m2 = Tarvik.TarvikMessage(), Tarvik.TarvikMessage()
    assert m1.coreData.Category.ptqFields[0] is not m2.coreData.Category.ptqFields[0]
    assert m1.coreData.Trade.ExtTradeConditions is not m2.coreData.Trade.ExtTradeConditions
    s1, s2 = Tarvik.TarvikSystem(), Tarvik.TarvikSystem()
    s1.tqDate.Day = 3
    assert s2.tqDate.Day == 0


@pytest.mark.parametrize("name,member,count,item", [
    ("TarvikStateExgQuotes", "StateExgQuotes", 24, "TarvikStateExgQuote"),
    ("TarvikStateMMQuotes", "StateMMQuotes", 512, "TarvikStateMMQuote"),
])
def test_state_quote_lists(name, member, count, item):
    items = getattr(getattr(Tarvik, name)(), member)
    assert len(items) == count and len({id(i) for i in items}) == count
    assert all(type(i) is getattr(Tarvik, item) and i.AskPrice == 0 for i in items)
    if item == "TarvikStateMMQuote":
        assert all(i.ptqStringMarketMaker is None for i in items)


def test_listing_records():
    tape = Tarvik.TarvikTapeFile()
    assert tape.PathnameStrZ is None and tape.PermSet is None
    assert [getattr(tape.TapeDate, m) for m, _, _ in RECORD_TYPES["TqDate"]] == [0] * 7
    assert Tarvik.TarvikAPIDLLFile().BuildTime.Hour == 0


# --- subclasses --------------------------------------------------------------


@pytest.mark.parametrize("name", RECORD_TYPES)
def test_python_subclasses_work_and_free(name):
    base = getattr(Tarvik, name)
    sub = type("Sub" + name, (base,), {"extra": 1})
    slotted = type("Slotted" + name, (base,), {"__slots__": ("x",)})
    for tp in (sub, slotted):
        obj = tp(1, k=2)
        assert isinstance(obj, base)
        for member, kind, _ in RECORD_TYPES[name]:
            if kind != X:
                getattr(obj, member)
    obj = sub()
    obj.note = "kept in the subclass's dict"
    assert obj.note and obj.extra == 1
    for _ in range(2000 if name != "TarvikMessage" else 20):
        sub()
        slotted()
    if name in ("TqDate", "TqTime"):
        first = RECORD_TYPES[name][0][0]
        setattr(obj, first, 5)
        obj.__init__()
        assert getattr(obj, first) == 0


def test_date_subclass_in_trees_positions():
    class MyDate(Tarvik.TqDate):
        def __init__(self, year):
            super().__init__()
            self.Year = year

    d = MyDate(2026)
    assert d.Year == 2026 and isinstance(d, Tarvik.TqDate)
    o = Tarvik.TqOptionHdr()
    o.ptqsUnderlying = d  # any object may stand in a writable member
    del d
    assert o.ptqsUnderlying.Year == 2026


# --- ownership of object members ---------------------------------------------


WRITABLE_OBJECTS = [(t, m) for t, m, kind, rw in MEMBERS if rw and kind == O]


def test_writable_object_members():
    assert WRITABLE_OBJECTS == [("TqOptionHdr", "ptqsDateAndStrike"), ("TqOptionHdr", "ptqsUnderlying"),
                                ("TqOptionHdr", "ptqsSeriesChain"), ("TqOptionHdr", "ptqsSpecialSettle"),
                                ("TarvikHeader", "ptqStringSymbol"), ("TarvikHeader", "ptqOptionHdr")]


@pytest.mark.parametrize("name,member", WRITABLE_OBJECTS)
def test_object_member_assignment_is_balanced(python_child, name, member):
    result = python_child(f"""
        import sys, Tarvik
        s = Tarvik.TqString()
        s.UserData1 = 42
        base = sys.getrefcount(s)
        for i in range(1000):
            r = Tarvik.{name}()
            setattr(r, "{member}", s)
            setattr(r, "{member}", s)
            assert getattr(r, "{member}").UserData1 == 42
            getattr(r, "{member}").UserData2 = i
            del r
        assert sys.getrefcount(s) == base, (sys.getrefcount(s), base)
        r = Tarvik.{name}()
        setattr(r, "{member}", s)
        delattr(r, "{member}")
        assert getattr(r, "{member}") is None
        delattr(r, "{member}")
        setattr(r, "{member}", None)
        setattr(r, "{member}", 5)
        del r
        assert sys.getrefcount(s) == base
        keep = Tarvik.{name}()
        setattr(keep, "{member}", Tarvik.TqString())
        held = getattr(keep, "{member}")
        del keep
        held.UserData1 = 7
        print("ok", s.UserData2)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok", "999"]


def test_children_kept_after_parent_is_gone(python_child):
    result = python_child("""
        import Tarvik
        m = Tarvik.TarvikMessage()
        mm = m.coreData.MMQuote
        field = m.coreData.Category.ptqFields[200]
        date = m.coreHeader.tqSessionDate
        del m
        assert mm.coreQuote.AskPrice == 0 and mm.ptqStringMarketMaker is None
        assert field.data.tqTime.Hour == 0 and date.Year == 0
        q = Tarvik.TarvikStateMMQuotes()
        items = q.StateMMQuotes
        del q
        assert len(items) == 512 and items[511].ptqStringMarketMaker is None
        print("ok")
    """)
    assert result.returncode == 0, result.stderr


# --- programs that change the item lists --------------------------------------


LIST_CHANGES = [
    "items.clear()",
    "items[:] = [None] * len(items)",
    "items.reverse()",
    "del items[1:]",
    "items.extend(range(1000))",
    "items[0] = items; items.append(owner)",
]


@pytest.mark.parametrize("change", LIST_CHANGES)
@pytest.mark.parametrize("owner,member", [
    ("Tarvik.TarvikCategory()", "ptqFields"),
    ("Tarvik.TarvikStateExgQuotes()", "StateExgQuotes"),
    ("Tarvik.TarvikStateMMQuotes()", "StateMMQuotes"),
    ("Tarvik.TarvikTrade()", "ExtTradeConditions"),
])
def test_changed_item_lists_are_safe(python_child, owner, member, change):
    result = python_child(f"""
        import gc, Tarvik
        for _ in range(50):
            owner = {owner}
            items = owner.{member}
            first = items[0] if items else None
            {change}
            del owner, items
            gc.collect()
            if first is not None:
                repr(first)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- library texts -------------------------------------------------------------


def test_text_members_read_none_when_unset():
    s = Tarvik.TarvikSystem()
    assert s.StatusDisplay is None and s.TapeDisplay is None
    assert s.PermissionSet == ""
    f = Tarvik.TqCategoryField()
    assert f.FieldName is None and f.FieldInfo is None and f.data.StringZ is None


def test_new_trade_conditions_read_no_condition(python_child):
    result = python_child("""
        import Tarvik
        t = Tarvik.TarvikTrade()
        print(t.ExtTradeConditions[0], t.ExtTradeConditions[3], t.ExtTradeConditions == [255] * 4)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["255", "255", "True"]


# --- freeing whole trees --------------------------------------------------------


@pytest.mark.parametrize("name", RECORD_TYPES)
def test_no_leak_over_many_constructions(name):
    tp = getattr(Tarvik, name)
    for _ in range(10):
        tp()
    blocks = sys.getallocatedblocks()
    for _ in range(10_000):
        tp()
    assert sys.getallocatedblocks() - blocks < 50


@pytest.mark.parametrize("name", ["TqOptionHdr", "TarvikSystem", "TarvikStateExgQuotes", "TarvikMessage"])
def test_no_leak_under_tracemalloc(name):
    tp = getattr(Tarvik, name)
    rounds = 1_000 if name == "TarvikMessage" else 10_000
    tp()
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        for _ in range(rounds):
            tp()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)
    assert grown < 64 * 1024, grown


# The debug interpreter counts every reference: a tree that loses or keeps
# one shows in sys.gettotalrefcount. Needs the module built against it into
# <build dir>-dbg:
#   cmake -B <build dir>-dbg -DPython_EXECUTABLE=/usr/bin/python3.14d -DCMAKE_CXX_FLAGS=-DPy_DEBUG
# (Py_DEBUG by hand: the debug headers' Python.h finds the release
# pyconfig.h, and the module's own references would then go uncounted.)
DEBUG_PYTHON = shutil.which("python3.14d")
DEBUG_BUILD = Path(os.environ.get("TARVIK_DEBUG_BUILD_DIR", str(BUILD_DIR) + "-dbg")) / "python"


@pytest.mark.skipif(DEBUG_PYTHON is None or not list(DEBUG_BUILD.glob("Tarvik.cpython-*d-*.so")),
                    reason="no debug interpreter or no debug build of the module")
def test_debug_refcounts_balance():
    code = textwrap.dedent("""
        import sys, Tarvik
        names = %r
        changes = [lambda l: None, lambda l: l.clear(), lambda l: l.reverse(), lambda l: l.append(l)]
        for name in names:
            tp = getattr(Tarvik, name)
            sub = type("Sub", (tp,), {})
            for build in (tp, sub):
                for _ in range(3):
                    build()
                total = sys.gettotalrefcount()
                for i in range(2_000 if name != "TarvikMessage" else 200):
                    obj = build(i)
                    for member in dir(tp):
                        value = getattr(obj, member, None)
                        if type(value) is list:
                            changes[i %% 4](value)
                            value.clear()
                    del obj, value
                sub = None if build is sub else sub
                grown = sys.gettotalrefcount() - total
                # a reference lost or kept per object shows as hundreds or more;
                # a few come and go with the interpreter's own caches
                assert -100 < grown < 100, (name, build, grown)
        print("ok")
    """ % (list(RECORD_TYPES),))
    env = dict(os.environ, PYTHONPATH=str(DEBUG_BUILD))
    result = subprocess.run([DEBUG_PYTHON, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                            timeout=600, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- running out of memory ----------------------------------------------------


@pytest.mark.parametrize("name", ["TqOptionHdr", "TarvikTrade", "TarvikCategory", "TarvikStateMMQuotes",
                                  "TarvikTapeFile", "TarvikMessage"])
def test_construction_that_runs_out_of_memory_raises_and_frees_what_it_made(python_child, name):
    """Each allocation a construction makes fails in turn, one per attempt:
    the attempt raises MemoryError (or gets by), and the children and lists
    made before the failure are freed with the half-made record."""
    pytest.importorskip("_testcapi")
    result = python_child(f"""
        import sys, _testcapi, Tarvik
        tp = Tarvik.{name}
        tp(), tp()
        blocks = sys.getallocatedblocks()
        failed = made = 0
        n = 0
        while made < 20:  # past the last allocation a construction makes
            _testcapi.set_nomemory(n, n + 1)
            try:
                tp()
                made += 1
            except MemoryError:
                failed += 1
                made = 0
            finally:
                _testcapi.remove_mem_hooks()
            n += 1
        grown = sys.getallocatedblocks() - blocks
        assert failed > 0 and grown < 100, (failed, grown)
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


# --- repr --------------------------------------------------------------------


def member_values(obj, name):
    """Every member's value (objects by identity) and every object member's
    reference count, as attribute access reads them."""
    values = []
    for member, kind, _ in RECORD_TYPES[name]:
        try:
            value = getattr(obj, member)
        except AttributeError:
            values.append((member, "unset"))
            continue
        if isinstance(value, (int, float, str)) or value is None:
            values.append((member, value))
        else:
            values.append((member, id(value), sys.getrefcount(value)))
    return values


@pytest.mark.parametrize("name", RECORD_TYPES)
def test_repr_shows_the_type_and_every_member_and_changes_nothing(name):
    obj = getattr(Tarvik, name)()
    before = member_values(obj, name)
    text = repr(obj)
    assert member_values(obj, name) == before
    assert repr(obj) == text
    assert text.startswith(f"<{name} ") and text.endswith(">")
    # Members in table order, each as " name=value".
    positions = [text.find(f" {member}=") for member, _, _ in RECORD_TYPES[name]]
    assert -1 not in positions and positions == sorted(positions), text


def test_repr_of_values():
    trade = Tarvik.TarvikTrade()
    assert repr(trade).startswith("<TarvikTrade Price=0 PriceType=0 ")
    assert repr(trade).endswith(" ExtTradeConditions=[255, 255, 255, 255]>")
    assert "tqAnalysis=<TqCTAnalysis FilterThreshold=0 " in repr(trade)
    assert repr(Tarvik.TqString()) == "<TqString UserData1=0 UserData2=0 Atom=0 String=<unset>>"
    time = Tarvik.TqTime()
    time.Hour, time.TimeZone = 9, -5
    assert repr(time) == "<TqTime MsOfDay=0 Millisecond=0 Second=0 Minute=0 Hour=9 TimeZone=-5 MsResolution=0>"
    assert "ptqFields=[256 items] NFields=0>" in repr(Tarvik.TarvikCategory())
    assert "StateMMQuotes=[512 items]>" in repr(Tarvik.TarvikStateMMQuotes())
    assert "ptarvik3Ext=None>" in repr(Tarvik.TarvikMessage())
    assert repr(Tarvik.TarvikSystem()).endswith(" StatusDisplay=None TapeDisplay=None Module=0 ThreadInstance=0 "
                                                "PermissionSet=''>")


def test_repr_of_subclasses_and_of_records_that_hold_themselves():
    class Quote(Tarvik.TarvikStateExgQuote):
        __slots__ = ("extra",)

    assert repr(Quote()) == ("<Quote AskPrice=0 BidPrice=0 AskSize=0 BidSize=0 ReportingExg=0 "
                             "QuoteCondition=0>")
    header = Tarvik.TarvikHeader()
    header.ptqOptionHdr = header
    assert repr(header).startswith("<TarvikHeader ptqStringSymbol=None ptqOptionHdr=<TarvikHeader ...> ")
    header.ptqOptionHdr = None  # no cycle collector for records: break it
    option = Tarvik.TqOptionHdr()
    text = Tarvik.TqString()
    option.ptqsUnderlying = text
    references = sys.getrefcount(text)
    assert "ptqsUnderlying=<TqString UserData1=0 " in repr(option)
    assert sys.getrefcount(text) == references

"""Library services through the module: price, date and string helpers and
the state queries, checked against values computed here from the inputs."""

import datetime
from decimal import ROUND_HALF_UP, Decimal

import pytest

import Tarvik

from test_processing import DAY

EPOCH = datetime.date(1883, 1, 1)


def denominator(price_type):
    price_type &= 0xFF
    if price_type <= 9:
        return 10**price_type
    if price_type <= 17:
        return 2 ** (price_type - 9)
    return 1


@pytest.mark.parametrize("price_type", [0, 2, 4, 9, 10, 13, 17, 18, 255, 258, 256 + 17])
@pytest.mark.parametrize("price", [0, 1, -1, 12345, -98765, 2**31 - 1, -(2**31)])
def test_price_to_double_and_float(loaded, price, price_type):
    expected = price / denominator(price_type)
    assert Tarvik.PriceToDouble(price, price_type) == pytest.approx(expected, rel=1e-12)
    assert Tarvik.PriceToFloat(price, price_type) == Tarvik.PriceToDouble(price, price_type)


@pytest.mark.parametrize(
    "price, old, new",
    [(12345, 2, 4), (12345, 4, 2), (12355, 4, 2), (-12355, 4, 2), (7, 10, 2), (3, 17, 4), (2**31 - 1, 0, 4), (5, 2, 2)],
)
def test_price_convert(loaded, price, old, new):
    exact = Decimal(price) * denominator(new) / denominator(old)
    rounded = int(exact.quantize(Decimal(1), rounding=ROUND_HALF_UP))
    assert Tarvik.PriceConvert(price, old, new) == max(-(2**31), min(2**31 - 1, rounded))


@pytest.mark.parametrize(
    "args, text",
    [
        ((12345, 2), "123.45"),
        ((-5, 2), "-0.05"),
        ((1234567891, 2, 0, True), "12,345,678.91"),
        ((1234567891, 2, 0, [1]), "12,345,678.91"),
        ((1234567891, 2, 0, []), "12345678.91"),
        ((7, 0, 5), "    7"),
        ((3, 10), "1.5"),
        ((5, 17), "0.01953125"),
        ((123, 258), "1.23"),
    ],
)
def test_price_format(loaded, args, text):
    assert Tarvik.PriceFormat(*args) == text


def test_price_format_never_exceeds_its_buffer(loaded):
    assert len(Tarvik.PriceFormat(1, 2, 10_000)) <= 256


@pytest.mark.parametrize("function, args", [(Tarvik.PriceFormat, (1,)), (Tarvik.PriceConvert, (1, 2)),
                                            (Tarvik.PriceToDouble, ("1", 2)), (Tarvik.PriceFormat, (1, 2, "w"))])
def test_price_helpers_reject_bad_arguments(loaded, function, args):
    with pytest.raises(TypeError, match="^invalid parameters$"):
        function(*args)


def dst(day):
    """US daylight saving indicator, 2007 rules."""
    def nth_sunday(month, n):
        first = datetime.date(day.year, month, 1)
        return first + datetime.timedelta(days=(6 - first.weekday()) % 7 + 7 * (n - 1))

    start, end = nth_sunday(3, 2), nth_sunday(11, 1)
    if day == start:
        return Tarvik.TqDATE_DST_ONTODAY
    if day == end:
        return Tarvik.TqDATE_DST_OFFTODAY
    return Tarvik.TqDATE_DST_ON if start < day < end else Tarvik.TqDATE_DST_OFF


def expected_date(day):
    return (
        (day - EPOCH).days, day.year, day.month, day.day, dst(day), (day.weekday() + 1) % 7,
        day.timetuple().tm_yday,
    )


def members(date):
    return (date.NDays, date.Year, date.Month, date.Day, date.DSTIndicator, date.DayOfWeek, date.DayOfYear)


DAYS = [datetime.date(2024, 3, 15), datetime.date(2024, 3, 10), datetime.date(2024, 3, 9),
        datetime.date(2024, 11, 3), datetime.date(2024, 7, 4), datetime.date(2023, 1, 1),
        datetime.date(2024, 12, 31), datetime.date(2100, 2, 28)]


class MyDate(Tarvik.TqDate):
    pass


@pytest.mark.parametrize("day", DAYS)
@pytest.mark.parametrize("date_type", [Tarvik.TqDate, MyDate])
def test_dates_from_year_month_day_and_from_ndays(loaded, day, date_type):
    date = date_type()
    date.Year, date.Month, date.Day = day.year, day.month, day.day
    assert Tarvik.DateFromYMD(date) is True
    assert members(date) == expected_date(day)

    other = date_type()
    other.NDays = (day - EPOCH).days
    assert Tarvik.DateFromNDays(other) is True
    assert members(other) == expected_date(day)


@pytest.mark.parametrize("year, month, day", [
    (2024, 2, 30), (2023, 2, 29), (2100, 2, 29), (2024, 4, 31), (2024, 13, 1), (2024, 0, 10), (2024, 5, 0),
    (1882, 12, 31), (10000, 1, 1), (0, 0, 0),
])
def test_an_impossible_date_answers_false_and_keeps_what_the_library_left(loaded, year, month, day):
    date = Tarvik.TqDate()
    date.NDays, date.DayOfWeek = 51558, 5  # stale values of an earlier date
    date.Year, date.Month, date.Day = year, month, day
    assert Tarvik.DateFromYMD(date) is False
    # The library clears what it derives and keeps what it was given.
    assert (date.Year, date.Month, date.Day) == (year, month, day)
    assert (date.NDays, date.DayOfWeek, date.DayOfYear) == (0, 0, 0)


@pytest.mark.parametrize("ndays", [(datetime.date(9999, 12, 31) - EPOCH).days + 1, 2**32 - 1])
def test_a_day_number_out_of_range_answers_false(loaded, ndays):
    date = Tarvik.TqDate()
    date.NDays = ndays
    assert Tarvik.DateFromNDays(date) is False
    assert (date.NDays, date.Year, date.Month, date.Day) == (ndays, 0, 0, 0)
    date.NDays = ndays - 1 if ndays < 2**32 - 1 else 0
    assert Tarvik.DateFromNDays(date) is True


@pytest.mark.parametrize("argument", [5, None, Tarvik.TqTime(), "2024-01-01"])
def test_date_functions_answer_false_to_anything_but_a_date(loaded, argument):
    assert Tarvik.DateFromYMD(argument) is False
    assert Tarvik.DateFromNDays(argument) is False


def test_date_functions_take_one_argument(loaded):
    assert Tarvik.DateFromYMD() is False
    assert Tarvik.DateFromNDays(Tarvik.TqDate(), Tarvik.TqDate()) is False


def run_inside(tape, work, at_status=Tarvik.TARVIKSTATUS_COMPLETE):
    """Runs work(system, message) inside the callback when the status arrives."""
    out = {}

    def callback(system, message):
        if message.MessageType == Tarvik.TqMSG_STATUS and system.Status == at_status:
            out["value"] = work(system, message)
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    return out["value"]


@pytest.fixture
def day(make_tape):
    return make_tape(DAY)


def test_defined_strings_and_their_cache(loaded, day):
    def look(system, message):
        first = Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, 1)
        return (first, Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, 1) is first,
                Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, 2), Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, 99),
                Tarvik.GetDefinedString(300, 1), Tarvik.GetDefinedString(-1, 1))

    assert run_inside(day, look, Tarvik.TARVIKSTATUS_INITIALIZING) == ("NYSE", True, "NASDAQ", None, None, None)
    # the tape's strings exist only during a run; the cache was emptied when it ended
    assert Tarvik.GetDefinedString(Tarvik.TqST_EXCHANGE, 1) is None


def test_tape_name(loaded, day):
    assert run_inside(day, lambda s, m: Tarvik.GetTapeName()) == day
    assert Tarvik.GetTapeName() is None


def test_state_queries_answer_from_the_day(loaded, day):
    def ask(system, message):
        trade = Tarvik.StateGetLastTrade(1, "IBM")
        quotes = Tarvik.StateGetExgQuotes(1, "IBM")
        makers = Tarvik.StateGetMMQuotes(2, 2, "MSFT")
        return trade, quotes, makers

    trade, quotes, makers = run_inside(day, ask)
    # IBM traded 300 at 101, then 200 at 104; previous close 10000
    assert (trade.Open, trade.High, trade.Low, trade.Last, trade.TotalVolume, trade.TickVolume) == (
        101, 104, 101, 104, 500, 2)
    assert trade.NetChange == 104 - 10000
    assert type(trade) is Tarvik.TarvikStateTrade
    # IBM quoted 100/102 on exchange 1 and 101/103 on exchange 2
    entries = quotes.StateExgQuotes[: quotes.StateQuoteCount]
    assert sorted((q.ReportingExg, q.BidPrice, q.AskPrice, q.BidSize, q.AskSize) for q in entries) == [
        (1, 100, 102, 5, 6), (2, 101, 103, 7, 8)]
    assert (quotes.BestBidExg, quotes.BestAskExg) == (2, 1)
    assert len(quotes.StateExgQuotes) == 24
    assert makers.StateQuoteCount >= 1
    first = makers.StateMMQuotes[0]
    assert (first.ptqStringMarketMaker.String, first.BidPrice, first.AskPrice) == ("MMA", 50, 51)


def test_option_contracts_are_found_under_exchange_10(loaded, day):
    expiration = (datetime.date(2024, 4, 19) - EPOCH).days

    def ask(system, message):
        return (Tarvik.StateGetLastTrade(10, "IBM", expiration, 150000, 1),
                Tarvik.StateGetLastTrade(266, "IBM", expiration, 150000, 3),
                Tarvik.StateGetLastTrade(1, "IBM", expiration, 150000, 1),
                Tarvik.StateGetLastTrade(10, "IBM", expiration, 150000, 0),
                Tarvik.StateGetLastTrade(10, "IBM", expiration, 150000))

    put, put_266, wrong_exchange, call, plain = run_inside(day, ask)
    assert (put.Last, put.TotalVolume) == (350, 10)
    assert (put_266.Last, put_266.TotalVolume) == (350, 10)
    assert wrong_exchange is None and call is None and plain is None


def test_unknown_symbols_and_queries_outside_a_run(loaded, day):
    assert run_inside(day, lambda s, m: Tarvik.StateGetLastTrade(1, "NOPE")) is None
    assert Tarvik.StateGetLastTrade(1, "IBM") is None
    assert Tarvik.StateGetExgQuotes(1, "IBM") is None
    assert Tarvik.StateGetMMQuotes(2, 2, "MSFT") is None
    with pytest.raises(RuntimeError, match="inside a ProcessTape callback"):
        Tarvik.SpinSymbols(-1, 0, 0, lambda s, m: 0, 0)


@pytest.mark.parametrize(
    "function, args",
    [(Tarvik.StateGetLastTrade, ("1", "IBM")), (Tarvik.StateGetExgQuotes, (1,)),
     (Tarvik.StateGetMMQuotes, (1, "IBM")), (Tarvik.StateGetLastTrade, (1, "IBM", 1, 2, 3, 4))],
)
def test_state_queries_reject_bad_arguments(loaded, function, args):
    with pytest.raises(TypeError, match="^invalid parameters$"):
        function(*args)


def test_market_maker_results_share_the_threads_strings(loaded, day):
    def ask(system, message):
        first = Tarvik.StateGetMMQuotes(2, 2, "MSFT")
        second = Tarvik.StateGetMMQuotes(2, 2, "MSFT")
        return first.StateMMQuotes[0].ptqStringMarketMaker is second.StateMMQuotes[0].ptqStringMarketMaker, first

    shared, kept = run_inside(day, ask)
    assert shared
    # a result kept after the run still reads safely
    assert kept.StateMMQuotes[0].ptqStringMarketMaker.String == "MMA"

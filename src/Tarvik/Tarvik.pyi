"""Type stubs of the Tarvik extension module: every function with its
parameters and result, every record type with each member's type, and the
library's constants. Members that can be unset are typed ``X | None``;
read-only members are properties. Kept in step with the module by
``python3.14 -m mypy.stubtest Tarvik``, which CI runs against the built module.
"""

from collections.abc import Callable
from typing import Final, Self, TypeAlias, overload

from typing_extensions import disjoint_base

# What ProcessTape and SpinSymbols call: (system, message) -> an answer,
# TqCALLBACKRETURN_CONTINUE, TqCALLBACKRETURN_STOP or TqCALLBACKRETURN_RESTART.
_MessageCallback: TypeAlias = Callable[[TarvikSystem, TarvikMessage], int]
# FilterSymbols and ExcludeSymbols: symbols, or (symbol, listed exchange)
# pairs, in a list; or a single one. Each takes a list of either first (so
# that a list written in the call, of texts and pairs mixed, is read as
# one), then a list already typed as texts or as pairs, or one symbol.
_Symbol: TypeAlias = str | tuple[str] | tuple[str, int]
_SymbolList: TypeAlias = list[str] | list[tuple[str, int]] | _Symbol

__author__: str
year: Final[int]


def StateGetLastTrade(ListedExg: int, Symbol: str, Expiration_NDays: int = 0, StrikePrice: int = 0, PutOrCall: int = 2, /) -> TarvikStateTrade | None:
    """StateGetLastTrade(ListedExg, Symbol[, Expiration_NDays, StrikePrice, PutOrCall]) -> TarvikStateTrade
    Returns the current Memory State of a Symbol's Open, High, Low, Last, Volume Data.
    Can only be called from inside your TarvikCallback function."""

def StateGetMMQuotes(ReportingExg: int, ListedExg: int, Symbol: str, Expiration_NDays: int = 0, StrikePrice: int = 0, PutOrCall: int = 2, /) -> TarvikStateMMQuotes | None:
    """StateGetMMQuotes(ReportingExg, ListedExg, Symbol[, Expiration_NDays, StrikePrice, PutOrCall]) -> TarvikStateMMQuotes
    Returns the current Memory State of a Symbol's Market Marker Quotes.
    Can only be called from inside your TarvikCallback function."""

def StateGetExgQuotes(ListedExg: int, Symbol: str, Expiration_NDays: int = 0, StrikePrice: int = 0, PutOrCall: int = 2, /) -> TarvikStateExgQuotes | None:
    """StateGetExgQuotes(ListedExg, Symbol[, Expiration_NDays, StrikePrice, PutOrCall]) -> TarvikStateExgQuotes
    Returns the current Memory State of a Symbol's Exchange Quotes.
    Can only be called from inside your TarvikCallback function."""

def SpinSymbols(ListedExg: int, controlFlags: int, spinID: int, SpinCallback: _MessageCallback, tempUserData: int, /) -> int:
    """SpinSymbols(ListedExg, controlFlags, spinID, SpinCallback, tempUserData)
    Starts a SymbolSpin which iterates over each symbol in each of the requested Listed Exchanges.
    ListedExg:    Specify the ListedExchange that you wish to iterate or use TqSPIN_ALL_EXGS(-1) to iterate all ListedExchanges
    controlFlags: TqSPIN_NON_OPTIONS(0) for regular symbols or TqSPIN_OPTIONS(1) for options. To iterate both symbols and options, call this function twice, passing 0 and 1 for this parameter.
    spinID:       Assigned to the TarvikMessage.coreData.SymbolSpin.SpinID and is reserved for your use.
    SpinCallback: Callback function to be used during symbol spin. Parameters are TarvikSystem and TarvikMessage.
    tempUserData: Temporarily assigned to TarvikSystem.UserData during callback. TarvikSystem.UserData can be changed during the callback"""

def ListAPIDLLs(controlFlags: int, apiCallback: Callable[[TarvikAPIDLLFile], object], /) -> int:
    """ListAPIDLLs(controlFlags, apiCallback)
    Searches computer for TarvikAPI .dll files on windows or .so files on linuxcontrolFlags: should be 0. reserved for future use.
    apiCallback:  Callback function. Parameter is TarvikAPIDLLFile."""

def ListTapes(controlFlags: int, apiCallback: Callable[[TarvikTapeFile], object], /) -> int:
    """ListTapes(controlFlags, apiCallback)
    Searches computer for Tarvik tape filescontrolFlags: TqLTF_SEARCH_LOCAL(0) to search local drives. TqLTF_SEARCH_NETWORK(1) to search local and network drives. TqLTF_SEARCH_REMOVEABLE(2) to search local and removable drives
    apiCallback:  Callback function. Parameter is TarvikTapeFile."""

def ProcessReturnValue(returnValue: int, /) -> None:
    """ProcessReturnValue(returnValue)
    Prints string corresponding to the return value from processTape()"""

def PriceFormat(Price: int, PriceType: int, expandWidth: int = 0, bCommas: object = False, /) -> str | None:
    """PriceFormat(Price, PriceType[, expandWidth[, bCommas]]) -> str
    Returns string of price.
    Price:       Price to format.
    PriceType:   PriceType that Price is using.
    expandWidth: Minimum length of string. will space pad. default 0.
    bCommas:     Use comma to separate thousands."""

def PriceConvert(Price: int, PriceType: int, PriceTypeNew: int, /) -> int:
    """PriceConvert(Price, PriceType, PriceTypeNew) -> int
    Returns a price converted from one price type to another.
    Price:        Price to be converted
    PriceType:    Original PriceType.
    PriceTypeNew: Price Type to convert iPrice into."""

def PriceToDouble(Price: int, PriceType: int, /) -> float:
    """PriceToDouble(Price, PriceType) -> float
    Returns floating point price from integer Price and integer PriceType.."""

def PriceToFloat(Price: int, PriceType: int, /) -> float:
    """PriceToFloat(Price, PriceType) -> float
    Returns floating point price from integer Price and integer PriceType. Alias of PriceToDouble. Implented to match Python floating point type name."""

def GetTapeName() -> str | None:
    """GetTapeName() -> str
    Returns the full path filename of the Tarvik tape being processed. Returns empty string if processing real-time. Returns path to tape if processing state file."""

def GetSymbolAtom32() -> int:
    """GetSymbolAtom32() -> int
    Returns the full atom when the value in the TqString is TqATOM_MAX_16BIT(65535)"""

def ExcludeOpraExch(removeKey: int, /) -> int:
    """ExcludeOpraExch(removeKey)
    Removes a permission ID from being processed from the tape. This can significantly improve performance.
    removeKey: This key is a bitwise OR combination of a control flag and a permission ID. 
               The control flag to remove a permission ID is TqPERMID_REMOVE(0x00100000).
               A list of permission IDs can be found in the TqST_PERMID string table."""

def GetDefinedString(ixTable: int, ixString: int, /) -> str | None:
    """GetDefinedString(ixTable,ixString) -> str
    Converts a string index into string.
    NOTE: These strings are a part of the tape, not the dll.
    NOTE: Defined strings are loaded after TARVIKSTATUS_INITIALIZING status callback.
    ixTable:  Identifier of table. For possible values see: tarvik_engine/docs/string-tables.md 
    ixString: A zero-based number that indexes into one of the String Tables."""

def SaveState(stateFilename: str, controlFlags: int, /) -> int:
    """SaveState(stateFilename,controlFlags)
    Creates a Tarvik Tape "Bookmark" that ProcessTape can use as a starting point. Returns 0 on success or -12 if state is currently being saved.
    stateFilename: Filename of state file to create.
    controlFlags:  TqSAVESTATE_GRADUALLY(0) Save completes in multiple passes - Tarvik writes out memory block to file in 1MB increments.
                   TqSAVESTATE_ONEPASS(1) Save completes in one pass - Tarvik writes out entire memory block to file at one time.
                   TqSAVESTATE_CANCEL(2) Abort a scheduled Save State -- can be done at TqCSSAVESTATE_CAPTURE time """

def APIVersion() -> int:
    """APIVersion() -> int 
    Returns the Tarvik API version expressed as a 4 byte integer. GetMajorVersion, GetMinorVersion,and GetBuildVersion functions can be used to compute the major, minor, and build values. This is not the version of the Python wrapper."""

def UnloadTarvik() -> None:
    """UnloadTarvik()
    Unloads the Tarvik Library."""

def LoadTarvik(StringTarvikLib: str) -> int:
    """LoadTarvik(TarvikFilename) -> int
    Loads the Tarvik dynamic library. Returns version of TarvikAPI if successful, 0 on failure"""

def ProcessTape(filename: str, pMemoryAddr: int, controlFlags: int, UserData: int, callbackFunction: _MessageCallback) -> int:
    """ProcessTape(filename,baseMemory,controlFlags,userData,callbackFunction)
    Starts processing Tarvik data. Returns 0 after successfully completing a day.
    filename:         The full path filename name of the Tarvik Tape to process. Alternatively an empty string("") will process the real-time stream.
    baseMemory:       Specifies the base memory address for Tarvik to process data. It is recommended to use 0.
    controlFlags:     bitwise flags to control processing of tape.
                      TqCF_EXCLUDE_QUOTES(0x00000001) Exclude Exchange Quotes
                      TqCF_EXCLUDE_QUOTES2(0x00000002) Exclude Market Maker Quotes
                      TqCF_EXCLUDE_OPRA(0x00000004) Exclude all options from OPRA
    userData:         The value of user data is copied to TarvikSystem.UserData and is available to reference or change during your callback function.
    callbackFunction: The callback function that will be called for all messages when processing the Tarvik Tape.
                      Parameters are TarvikSystem and TarvikMessage."""

def DateFromNDays(TqDate: TqDate, /) -> bool:
    """DateFromNDays(TqDate) -> boolean
    Using a populated NDays member, populates all other fields.
    This function modifies the object passed in. Returns True on success or False on Failure"""

def DateFromYMD(TqDate: TqDate, /) -> bool:
    """DateFromYMD(TqDate) -> boolean
    Using populated Year, Month, and Day members, populates all other fields.
    This function modifies the object passed in. Returns True on success or False on Failure"""

@overload
def FilterSymbols(symbols: list[_Symbol], /) -> bool: ...
@overload
def FilterSymbols(symbols: _SymbolList, /) -> bool:
    """FilterSymbols([Symbol1,Symbol2,Symbol3,...])
    FilterSymbols([(Symbol1,ListedExg1),(Symbol2,ListedExg2),(Symbol3,ListedExg3),...])
    Only sends selected symbols to callback, improving performance. Must be called prior to ProcessTape.
    Arguements can either be a list of symbol strings. or a list of tuples of a symbol string and listed exchange. Symbols should be in Tarvik format"""

@overload
def ExcludeSymbols(symbols: list[_Symbol], /) -> bool: ...
@overload
def ExcludeSymbols(symbols: _SymbolList, /) -> bool:
    """ExcludeSymbols([Symbol1,Symbol2,Symbol3,...])
    Blocks selected symbols from being sent to callback, improving performance. Must be called prior to ProcessTape.
    Arguements can either be a list of symbol strings. or a list of tuples of a symbol string and listed exchange. Symbols should be in Tarvik format"""

def FilterSymbolsRange(StartSymbol: str, EndSymbol: str, ListedExg: int = 0, /) -> bool:
    """FilterSymbolsRange(StartSymbol,EndSymbol[,ListedExg])
    Sets alphabetical range of symbols to send to callback, improving performance. Can only be called once per thread. Must be called prior to ProcessTape.
    StartSymbol: First symbol in range to process. Can be an empty string for no starting symbol.
    EndSymbol: Last symbol in range to process. Can be an empty string for no ending symbol.
    ListedExg: Only send specified listed exchange to callback. Default all listed exchanges."""

def GetMajorVersion(version: int, /) -> int:
    """GetMajorVersion(version) -> int
    Return the major version from 4 byte version"""

def GetMinorVersion(version: int, /) -> int:
    """GetMinorVersion(version) -> int
    Return the minor version from 4 byte version"""

def GetBuildVersion(version: int, /) -> int:
    """GetBuildVersion(version) -> int
    Return the build version from 4 byte version"""

def RemovePermission(permissionID: int, /) -> int:
    """RemovePermission(permissionID) -> int
    Removes a permission ID from being processed from the tape. This can significantly improve performance.
    permissionID: permission ID to be removed.
                  A list of permission IDs can be found in the TqST_PERMID string table."""


@disjoint_base
class TqDate:
    """TqDate Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    NDays: int
    """Number of days since Jan 1, 1883. Julian date"""
    Year: int
    """Current year."""
    Month: int
    """Month of year.  1-12 (not zero based)"""
    Day: int
    """Day of month. 1-31 (not zero based)"""
    DSTIndicator: int
    """Daylight Savings Indicator. Values are: TqDATE_DST_UNKNOWN(0), TqDATE_DST_ON(1), TqDATE_DST_OFF(2), TqDATE_DST_ONTODAY(3), and TqDATE_DST_OFFTODAY(4)"""
    DayOfWeek: int
    """Day of Week. Values are: TqDOW_SUNDAY(0) through TqDOW_SATURDAY(6)"""
    DayOfYear: int
    """Day Of Year"""


@disjoint_base
class TqTime:
    """TqTime Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    def __init__(self, *args: object, **kwargs: object) -> None: ...
    MsOfDay: int
    """Number of milliseconds since start of day -- midnight"""
    Millisecond: int
    """Millisecond of second 0-999"""
    Second: int
    """Second of minute 0-59"""
    Minute: int
    """Mnute of hour 0-59"""
    Hour: int
    """Hour of day. 0-23"""
    TimeZone: int
    """+/- hours to GMT."""
    MsResolution: int
    """Millisecond Resolution"""


@disjoint_base
class TqPrice:
    """TqPrice Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    Price: int
    """Price"""
    PriceType: int
    """Price Type. For information on how to compute decimal price see: tarvik_engine/docs/price-types.md"""


@disjoint_base
class StringTableItem:
    """StringTableItem Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    ixTable: int
    """Identifier of Table. For values see: tarvik_engine/docs/string-tables.md"""
    idString: int
    """The index within the table"""


@disjoint_base
class TarvikSystem:
    """TarvikSystem Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    UserData: int
    """UserData value passed to TarvikProcessTape"""
    @property
    def DLLVersion(self) -> int:
        """Version of TarvikAPI as a 4-byte value. When Tarvik API is started from a state file this value will be the version of Tarvik API that created the state file"""
    @property
    def tqDate(self) -> TqDate:
        """Date of tape."""
    @property
    def tqTime(self) -> TqTime:
        """Time of tape."""
    @property
    def ClockUpdateInterval(self) -> int:
        """Indicates most significant member of tqTime that changed since the last timestamp. Values are: TqCLOCK_NOCHANGE(0), TqCLOCK_CLOCK(1), TqCLOCK_SECOND(2), TqCLOCK_MINUTE(3), or TqCLOCK_HOUR(4)"""
    @property
    def Status(self) -> int:
        """processing status. For values see: tarvik_engine/docs/status-values.md"""
    @property
    def StatusData(self) -> int:
        """Additional information depending on Status. For values see: tarvik_engine/docs/status-values.md"""
    @property
    def StatusDisplay(self) -> str | None:
        """String combining Status and StatusData"""
    @property
    def TapeDisplay(self) -> str | None:
        """String from the header of the tape"""
    @property
    def Module(self) -> int:
        """Module of the dll for the calling process"""
    @property
    def ThreadInstance(self) -> int:
        """Thread instance identifier"""
    @property
    def PermissionSet(self) -> str:
        """PermissionSet String "AA", etc."""


@disjoint_base
class TarvikData:
    """TarvikData Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def ExgQuote(self) -> TarvikExgQuote:
        """Exchange Quote"""
    @property
    def MMQuote(self) -> TarvikMMQuote:
        """Market Maker Quote"""
    @property
    def Trade(self) -> TarvikTrade:
        """Trade"""
    @property
    def Category(self) -> TarvikCategory:
        """Category"""
    @property
    def SymbolChange(self) -> TarvikSymbolChange:
        """Symbol Change"""
    @property
    def SymbolSpin(self) -> TarvikSymbolSpin:
        """Symbol Spin"""


@disjoint_base
class TqString:
    """TqString Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    UserData1: int
    """First  32-bit user data space"""
    UserData2: int
    """Second 32-bit user data space"""
    @property
    def Atom(self) -> int:
        """Unique/sequential/nonzero/constant 16 bit number assigned to the String"""
    @property
    def String(self) -> str:
        """String"""


@disjoint_base
class TqOptionHdr:
    """TqOptionHdr Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    ptqsDateAndStrike: TqString | None
    """String contains 2 alpha characters (expire code and strike code)"""
    ptqsUnderlying: TqString | None
    """Underlying Symbol"""
    ptqsSeriesChain: TqString | None
    """Series Chain"""
    ptqsSpecialSettle: TqString | None
    """Special Settlement"""
    @property
    def exgUnderlying(self) -> int:
        """Exchange code of the underlying symbol"""
    @property
    def contractUnit(self) -> int:
        """Default is 100 (shares,units, etc)"""
    @property
    def strikePrice(self) -> int:
        """OPRA sourced strike price. implied 3 decimal places. i.e.\t35000 == 35.000 == 35"""
    @property
    def strikePriceEst(self) -> int:
        """If non-zero, the tarvik server includes the estimated strike price for this option contract"""
    @property
    def PutCall(self) -> int:
        """1 == put, 0 == call"""
    @property
    def expirationCycle(self) -> int:
        """1 == January cycle, 2 == February cycle, 3 == March cycle"""
    @property
    def oicStrikeAge(self) -> int:
        """Number from 0-7. Incremented each trading day the strikePrice is received from OPRA"""
    @property
    def tqStrikeMatch(self) -> int:
        """Number from 0-15 indicating the likelihood that the strikePrice is correct"""
    @property
    def tqExpirationDate(self) -> TqDate:
        """The date this option contract expires"""


@disjoint_base
class TarvikHeader:
    """TarvikHeader Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    ptqStringSymbol: TqString | None
    """TqString containing symbol in Tarvik symbology. see: tarvik_engine/docs/symbology.md tarvik_engine/docs/symbology.md#option-contracts"""
    ptqOptionHdr: TqOptionHdr | None
    """The option contract information. None if non-option."""
    @property
    def tqSessionDate(self) -> TqDate:
        """Date of the Session that the message applies to."""
    @property
    def tqExgTimestamp(self) -> TqTime:
        """Timestamp sent by the exchange."""
    @property
    def ListedExg(self) -> int:
        """Listed or Primary Exchange. Use GetDefinedString(TqST_EXCHANGE,ListedExg) for text name"""
    @property
    def ReportingExg(self) -> int:
        """Exchange sending quote/trade. Use TarvikGetDefinedString(TqST_EXCHANGE,ReportingExg) for text name"""
    @property
    def SessionID(self) -> int:
        """SessionID is used to identify the trading session the message applies to. Most symbols only have one trading session, so the SessionID will remain constant (0)"""
    @property
    def alignment(self) -> int:
        """unused"""
    @property
    def PermissionID(self) -> int:
        """PermissionID is a number assigned by Tarvik Replay Labs and pertains to the authorization group that the message belongs to. PermissionIDs are usually a subset of an Exchange. Use TarvikGetDefinedString(TqST_PERMID,PermissionID) for text name"""


@disjoint_base
class Tarvik3Ext:
    """Tarvik3Ext Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def MicrosOfDaySRC(self) -> int:
        """Microsecond timestamp from data source, such as CME or SIP. """
    @property
    def MicrosOfDayPTP1(self) -> int:
        """Microsecond timestamp from the participant (exchange). """
    @property
    def MicrosOfDayPTP2(self) -> int:
        """Microsecond timestamp taken from reports. """
    @property
    def FractionalSize(self) -> int:
        """Fractional Size with 6 implied decimal places"""
    @property
    def FractionalTotalVolume(self) -> int:
        """Fractional Volume with 6 implied decimal places"""


@disjoint_base
class TarvikMessage:
    """TarvikMessage Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def coreHeader(self) -> TarvikHeader:
        """coreHeader"""
    @property
    def coreData(self) -> TarvikData:
        """Content of message"""
    @property
    def MessageType(self) -> int:
        """Type of message. For values see: tarvik_engine/docs/message-types.md"""
    @property
    def ptarvik3Ext(self) -> Tarvik3Ext | None:
        """Microsecond timestamps"""


@disjoint_base
class TarvikQuote:
    """TarvikQuote Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def AskSize(self) -> int:
        """Ask Size"""
    @property
    def BidSize(self) -> int:
        """Bid Size"""
    @property
    def AskSizeChange(self) -> int:
        """Ask Size Change"""
    @property
    def BidSizeChange(self) -> int:
        """Bid Size Change"""
    @property
    def AskPrice(self) -> int:
        """Ask Price"""
    @property
    def BidPrice(self) -> int:
        """Bid Price"""
    @property
    def AskPriceChange(self) -> int:
        """Ask Price Change"""
    @property
    def BidPriceChange(self) -> int:
        """Bid Price Change"""
    @property
    def PriceType(self) -> int:
        """Price Type. Applies to all prices in the quote. See: tarvik_engine/docs/price-types.md"""
    @property
    def Refresh(self) -> int:
        """Refresh. Set to non-zero if this message is a refresh as opposed to real-time."""
    @property
    def QuoteCondition(self) -> int:
        """Quote condition assigned by exchange. Use TarvikGetDefinedString(TqST_QUOTECONDITION,QuoteCondition) for text name. For values see: tarvik_engine/docs/quote-conditions.md"""
    @property
    def NasdaqBidTick(self) -> int:
        """Nasdaq Bid Tick"""


@disjoint_base
class TarvikExgQuote:
    """TarvikExgQuote Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def coreQuote(self) -> TarvikQuote:
        """coreQuote"""
    @property
    def BestAskPrice(self) -> int:
        """Best Ask Price"""
    @property
    def BestBidPrice(self) -> int:
        """Best Bid Price"""
    @property
    def BestAskPriceChange(self) -> int:
        """Best Ask Price Change"""
    @property
    def BestBidPriceChange(self) -> int:
        """Best Bid Price Change"""
    @property
    def BestAskSize(self) -> int:
        """Best Ask Size"""
    @property
    def BestBidSize(self) -> int:
        """Best Bid Size"""
    @property
    def BestAskSizeChange(self) -> int:
        """Best Ask Size Change"""
    @property
    def BestBidSizeChange(self) -> int:
        """Best Bid Size Change"""
    @property
    def BestAskExg(self) -> int:
        """Best Ask Exg"""
    @property
    def BestBidExg(self) -> int:
        """Best Bid Exg"""
    @property
    def PrevBestAskExg(self) -> int:
        """Prev Best Ask Exg"""
    @property
    def PrevBestBidExg(self) -> int:
        """Prev Best Bid Exg"""
    @property
    def BestAskCondition(self) -> int:
        """Best Ask Condition"""
    @property
    def BestBidCondition(self) -> int:
        """Best Bid Condition"""
    @property
    def BBOChangeFlags(self) -> int:
        """bit flags of BBO values changed by current regional quote. For values see: tarvik_engine/docs/quote-conditions.md"""
    @property
    def ClosingQuoteFlag(self) -> int:
        """Will be set to 1 if quote represents an official Closing Quote, 0 otherwise"""


@disjoint_base
class TarvikMMQuote:
    """TarvikMMQuote Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def coreQuote(self) -> TarvikQuote:
        """coreQuote"""
    @property
    def ptqStringMarketMaker(self) -> TqString | None:
        """TqString containing either the Market Marker or D0,D1,D2... for level of depth"""
    @property
    def MarketMakerType(self) -> int:
        """Identify the type of Market Maker"""
    @property
    def QuoteType(self) -> int:
        """Identify a special type of quote"""


@disjoint_base
class TqCTAnalysis:
    """TqCTAnalysis Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def FilterThreshold(self) -> int:
        """Filter Threshold"""
    @property
    def Filtered(self) -> int:
        """Filtered"""
    @property
    def FilterLevel(self) -> int:
        """Filter Level"""
    @property
    def SigHiLoType(self) -> int:
        """Whether this trade price is a significant high or low"""
    @property
    def alignment(self) -> int:
        """unused"""
    @property
    def SigHiLoSeconds(self) -> int:
        """How much time has elapsed since the price previously traded at the level of SigHiLoType"""
    @property
    def QteMatchDistanceRGN(self) -> int:
        """Price Difference from QteMatchTypeRGN"""
    @property
    def QteMatchDistanceBBO(self) -> int:
        """Price Difference from QteMatchTypeBBO"""
    @property
    def QteMatchTypeRGN(self) -> int:
        """Where the trade occured in relation to latest regional quote. For  values see: tarvik_engine/docs/quote-conditions.md"""
    @property
    def QteMatchTypeBBO(self) -> int:
        """Where the trade occured in relation to latest NBBO quote. For  values see: tarvik_engine/docs/quote-conditions.md"""
    @property
    def QteMatchFlagsRGN(self) -> int:
        """QteMatchFlagsRGN"""
    @property
    def QteMatchFlagsBBO(self) -> int:
        """QteMatchFlagsBBO"""


@disjoint_base
class TarvikTrade:
    """TarvikTrade Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def Price(self) -> int:
        """Price value of this trade record update and is used together with PriceType"""
    @property
    def PriceType(self) -> int:
        """Determines how to interpret the integer price as a floating point number. See: tarvik_engine/docs/price-types.md"""
    @property
    def PriceFlags(self) -> int:
        """PriceFlags is a bit mapped entity that indicates the type of trade represented in the update message.For values see : tarvik_engine/docs/trade-conditions.md"""
    @property
    def TradeCondition(self) -> int:
        """Trade condition assigned by exchange. For values see: tarvik_engine/docs/trade-conditions.md"""
    @property
    def ConditionFlags(self) -> int:
        """Determines which values the trade is eligible to set. For values see: tarvik_engine/docs/trade-conditions.md"""
    @property
    def VolumeType(self) -> int:
        """Indicates how to interpret Size field. For values see: tarvik_engine/docs/trade-conditions.md"""
    @property
    def BATECode(self) -> int:
        """BATECode"""
    @property
    def Size(self) -> int:
        """Size"""
    @property
    def ExgSequence(self) -> int:
        """Contains the value of the Exchange assigned Sequence number. Exchange Sequence numbers increase in value, though not necessarily in increments of one."""
    @property
    def RecordsBack(self) -> int:
        """RecordsBack"""
    @property
    def tqAnalysis(self) -> TqCTAnalysis:
        """tqAnalysis"""
    @property
    def TotalVolume(self) -> int:
        """Cumulative sum of the Size member of all trade updates with the VolumeType TqTVT_INCRVOL(0)"""
    @property
    def TickVolume(self) -> int:
        """Cumulative count of each trade update with the VolumeType TqTVT_INCRVOL(0)"""
    @property
    def Open(self) -> int:
        """Open"""
    @property
    def High(self) -> int:
        """High"""
    @property
    def Low(self) -> int:
        """Low"""
    @property
    def Last(self) -> int:
        """Last"""
    @property
    def Tick(self) -> int:
        """Price change from the previous trade update that qualified to set the Last"""
    @property
    def NetChange(self) -> int:
        """Change in value from the Last member and the previous session's close"""
    @property
    def ExtTradeConditions(self) -> list[int]:
        """List of 4 trade conditions. 255 indicates no trade condition for "slot\""""


@disjoint_base
class TarvikSymbolChange:
    """TarvikSymbolChange Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def Status(self) -> int:
        """Indicates whether the symbol change is an TqSS_ADD(0), TqSS_DEL(1), or TqSS_MOD(2)"""
    @property
    def StatusChar(self) -> str:
        """Indicates whether the symbol change is an 'A'DD, 'D'ELETE, or 'M'ODIFY"""
    @property
    def ptqsSymbolOld(self) -> TqString:
        """Only used for MODIFY messages. Contains the original symbol. Otherwise None"""
    @property
    def ptqOptionHdrOld(self) -> TqOptionHdr:
        """Only used for MODIFY messages for option contracts. It contains the original OptionHeader. Otherwise None"""
    @property
    def ListedExgOld(self) -> int:
        """Only used for MODIFY messages. Contains the original Listed Exchange."""


@disjoint_base
class TarvikSymbolSpin:
    """TarvikSymbolSpin Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def SpinID(self) -> int:
        """User assignable data member that you can use to pass additional information during the spin, or to identify different spins. The automatic Symbol Spin that occurs near the start of each Tarvik Tape set the SpinID value to 0."""
    @property
    def IterLimit(self) -> int:
        """The upper limit value that IterCount will increment to"""
    @property
    def SubIterLimit(self) -> int:
        """Total number of Options Contracts for Option Series being Iterated"""
    @property
    def IterCount(self) -> int:
        """A zero-based counter that increments every symbol"""
    @property
    def SubIterCount(self) -> int:
        """A zero-based counter that increments every contract in an Option Series."""


@disjoint_base
class TarvikCategory:
    """TarvikCategory Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def ptqStringCategory(self) -> TqString:
        """TqString of category name. Atom is the category ID"""
    @property
    def ptqFields(self) -> list[TqCategoryField]:
        """List of category fields"""
    @property
    def NFields(self) -> int:
        """Number of Fields"""


@disjoint_base
class TarvikCategoryData:
    """TarvikCategoryData Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def i64Bit(self) -> int:
        """i64Bit"""
    @property
    def i32Bit(self) -> int:
        """i32Bit"""
    @property
    def StringZ(self) -> str | None:
        """StringZ"""
    @property
    def Double(self) -> float:
        """Double"""
    @property
    def tqPrice(self) -> TqPrice:
        """tqPrice"""
    @property
    def tqDate(self) -> TqDate:
        """tqDate"""
    @property
    def tqTime(self) -> TqTime:
        """tqTime"""
    @property
    def ptqString(self) -> TqString:
        """TqString"""
    @property
    def stringTableItem(self) -> StringTableItem:
        """stringTableItem"""


@disjoint_base
class TqCategoryField:
    """TqCategoryField Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def FieldName(self) -> str | None:
        """Name of Field"""
    @property
    def FieldInfo(self) -> str | None:
        """Comments about Field. May be None"""
    @property
    def Set(self) -> int:
        """1 if field is populated. 0 if not set"""
    @property
    def FieldType(self) -> int:
        """Type of data. For values see: tarvik_engine/docs/message-types.md"""
    @property
    def data(self) -> TarvikCategoryData:
        """Value of category field. Only one will be populated, corresponding to FieldType."""


@disjoint_base
class TarvikStateExgQuote:
    """TarvikStateExgQuote Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def AskPrice(self) -> int:
        """Current ask price of ReportingExg"""
    @property
    def BidPrice(self) -> int:
        """Current bid price of ReportingExg"""
    @property
    def AskSize(self) -> int:
        """Current ask size of ReportingExg"""
    @property
    def BidSize(self) -> int:
        """Current bid size of ReportingExg"""
    @property
    def ReportingExg(self) -> int:
        """The reporting exchange for this quote. Can be compared against BestAskExg or BestBidExg to determine NBBO"""
    @property
    def QuoteCondition(self) -> int:
        """Quote condition assigned by exchange. For values see: tarvik_engine/docs/quote-conditions.md"""


@disjoint_base
class TarvikStateMMQuote:
    """TarvikStateMMQuote Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def AskPrice(self) -> int:
        """Current ask price from the market maker identified as ptqStringMarketMaker"""
    @property
    def BidPrice(self) -> int:
        """Current bsk price from the market maker identified as ptqStringMarketMaker"""
    @property
    def AskSize(self) -> int:
        """Current ask size from the market maker identified as ptqStringMarketMaker"""
    @property
    def BidSize(self) -> int:
        """Current bid size from the market maker identified as ptqStringMarketMaker"""
    @property
    def ptqStringMarketMaker(self) -> TqString | None:
        """TqString containing either the Market Marker or D0,D1,D2... for level of depth"""
    @property
    def MarketMakerType(self) -> int:
        """Identify the type of Market Maker"""
    @property
    def QuoteType(self) -> int:
        """Identify a special type of quote"""


@disjoint_base
class TarvikStateExgQuotes:
    """TarvikStateExgQuotes Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def StateQuoteCount(self) -> int:
        """Number of items in StateExgQuotes"""
    @property
    def PriceType(self) -> int:
        """Price type to use for all prices in StateExgQuotes"""
    @property
    def NasdaqBidTick(self) -> int:
        """NasdaqBidTick"""
    @property
    def BestAskExg(self) -> int:
        """The ReportingExg in one of the items in StateExgQuotes that has the best ask"""
    @property
    def BestBidExg(self) -> int:
        """The ReportingExg in one of the items in StateExgQuotes that has the best bid"""
    @property
    def StateExgQuotes(self) -> list[TarvikStateExgQuote]:
        """List of TarvikStateExgQuote"""


@disjoint_base
class TarvikStateMMQuotes:
    """TarvikStateMMQuotes Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def StateQuoteCount(self) -> int:
        """Number of items in StateMMQuotes"""
    @property
    def PriceType(self) -> int:
        """Price type to use for all prices in StateMMQuotes"""
    @property
    def NasdaqBidTick(self) -> int:
        """NasdaqBidTick"""
    @property
    def StateMMQuotes(self) -> list[TarvikStateMMQuote]:
        """List of TarvikStateMMQuote"""


@disjoint_base
class TarvikStateTrade:
    """TarvikStateTrade Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def TotalVolume(self) -> int:
        """Total Volume"""
    @property
    def TickVolume(self) -> int:
        """Tick Volume"""
    @property
    def PriceType(self) -> int:
        """Price Type"""
    @property
    def PriceFlags(self) -> int:
        """Price Flags"""
    @property
    def ConditionFlags(self) -> int:
        """Condition Flags"""
    @property
    def VolumeType(self) -> int:
        """Volume Type"""
    @property
    def Open(self) -> int:
        """Open"""
    @property
    def High(self) -> int:
        """High"""
    @property
    def Low(self) -> int:
        """Low"""
    @property
    def Last(self) -> int:
        """Last"""
    @property
    def NetChange(self) -> int:
        """Net Change"""
    @property
    def Price(self) -> int:
        """Price"""
    @property
    def Threshold(self) -> int:
        """Threshold"""
    @property
    def Tick(self) -> int:
        """Tick"""


@disjoint_base
class TarvikTapeFile:
    """TarvikTapeFile Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def PathnameStrZ(self) -> str | None:
        """Full path to the tape"""
    @property
    def FileAttributes(self) -> int:
        """File attributes"""
    @property
    def FileSize(self) -> int:
        """Size of the tape file in bytes"""
    @property
    def TapeDate(self) -> TqDate:
        """Date of the tape file"""
    @property
    def PermSet(self) -> str | None:
        """Permission set of the tape file"""


@disjoint_base
class TarvikAPIDLLFile:
    """TarvikAPIDLLFile Object"""
    def __new__(cls, *args: object, **kwargs: object) -> Self: ...
    @property
    def PathnameStrZ(self) -> str | None:
        """Full path to the DLL"""
    @property
    def FileAttributes(self) -> int:
        """File attributes"""
    @property
    def FileSize(self) -> int:
        """Size of the DLL file in bytes"""
    @property
    def BuildDate(self) -> TqDate:
        """Build date of the DLL"""
    @property
    def BuildTime(self) -> TqTime:
        """Build time of the DLL"""
    @property
    def verMajor(self) -> int:
        """Major version of the DLL"""
    @property
    def verMinor(self) -> int:
        """Minor version of the DLL"""
    @property
    def verBuild(self) -> int:
        """Build version of the DLL"""


# The library's named constants.

TqDATE_DST_UNKNOWN: Final[int]
TqDATE_DST_ON: Final[int]
TqDATE_DST_OFF: Final[int]
TqDATE_DST_ONTODAY: Final[int]
TqDATE_DST_OFFTODAY: Final[int]
TqDOW_SUNDAY: Final[int]
TqDOW_MONDAY: Final[int]
TqDOW_TUESDAY: Final[int]
TqDOW_WEDNESDAY: Final[int]
TqDOW_THURSDAY: Final[int]
TqDOW_FRIDAY: Final[int]
TqDOW_SATURDAY: Final[int]
TqCLOCK_NOCHANGE: Final[int]
TqCLOCK_CLOCK: Final[int]
TqCLOCK_SECOND: Final[int]
TqCLOCK_MINUTE: Final[int]
TqCLOCK_HOUR: Final[int]
TARVIKSTATUS_RUNNING: Final[int]
TARVIKSTATUS_INITIALIZING: Final[int]
TARVIKSTATUS_COMPLETE: Final[int]
TARVIKSTATUS_SYNCHRONIZING: Final[int]
TARVIKSTATUS_ERROR: Final[int]
TARVIKSTATUS_WAITFORCOREACCESS: Final[int]
TARVIKSTATUS_RESTARTING_TAPE: Final[int]
TARVIKSTATUS_LOADED_STATE: Final[int]
TARVIKSTATUS_SAVING_STATE: Final[int]
TARVIKSTATUS_SYMBOLSPIN: Final[int]
TARVIKSTATUS_TAPEOPEN: Final[int]
TqCSRUNMODE_SRC_DISK_FILE: Final[int]
TqCSRUNMODE_SRC_ACCESS_FILE: Final[int]
TqCSRUNMODE_SRC_ACCESS_MEMORY: Final[int]
TqCSRUNMODE_SRC_ACCESS_MB_OLDEST: Final[int]
TqCSRUNMODE_SRC_ACCESS_MB_LOWER: Final[int]
TqCSRUNMODE_SRC_ACCESS_MB_UPPER: Final[int]
TqCSRUNMODE_SRC_ACCESS_MB_SECOND: Final[int]
TqCSRUNMODE_SRC_ACCESS_MB_CURRENT: Final[int]
TqCSSAVESTATE_CAPTURE: Final[int]
TqCSSAVESTATE_COMPLETE: Final[int]
TqCSSAVESTATE_ERR_CREATEFILE: Final[int]
TqCSSAVESTATE_ERR_DISKSPACE: Final[int]
TqCSSAVESTATE_ERR_MEMORY: Final[int]
TqCSSYMBOLSPIN_STARTING: Final[int]
TqCSSYMBOLSPIN_COMPLETE: Final[int]
TqPERMID_REMOVE: Final[int]
TqQTE_NASDBIDTICK_NA: Final[int]
TqQTE_NASDBIDTICK_UP: Final[int]
TqQTE_NASDBIDTICK_DN: Final[int]
TqQTE_NASDBIDTICK_NO: Final[int]
TqQTE_REFRESH_REALTIME: Final[int]
TqQTE_REFRESH_SOURCE: Final[int]
TqQTE_REFRESH_MISMATCH: Final[int]
TqQTE_REFRESH_SYNCHRONIZE: Final[int]
TqBBOCHANGE_BIDEXG: Final[int]
TqBBOCHANGE_BIDPRICE: Final[int]
TqBBOCHANGE_BIDSIZE: Final[int]
TqBBOCHANGE_ASKEXG: Final[int]
TqBBOCHANGE_ASKPRICE: Final[int]
TqBBOCHANGE_ASKSIZE: Final[int]
TqMMT_UNKNOWN: Final[int]
TqMMT_REGULAR: Final[int]
TqMMT_PRIMARY: Final[int]
TqMMT_PASSIVE: Final[int]
TqMMQT_UNKNOWN: Final[int]
TqMMQT_REGULAR: Final[int]
TqMMQT_PASSIVE: Final[int]
TqMMQT_SYNDICATE: Final[int]
TqMMQT_PRESYNDICATE: Final[int]
TqMMQT_PENALTY: Final[int]
TqTPF_SETLAST: Final[int]
TqTPF_SETHIGH: Final[int]
TqTPF_SETLOW: Final[int]
TqTPF_SETOPEN: Final[int]
TqTPF_EXGINSERT: Final[int]
TqTPF_EXGCANCEL: Final[int]
TqTPF_SETTLEMENT: Final[int]
TqTCF_NOLAST: Final[int]
TqTCF_NOHIGH: Final[int]
TqTCF_NOLOW: Final[int]
TqTVT_INCRVOL: Final[int]
TqTVT_NONINCRVOL: Final[int]
TqTVT_TOTALVOL: Final[int]
TqTVT_TOTALVOLx100: Final[int]
TqRTA_SIGHL_EQ: Final[int]
TqRTA_SIGHL_LOWEST: Final[int]
TqRTA_SIGHL_LOW: Final[int]
TqRTA_SIGHL_HIGH: Final[int]
TqRTA_SIGHL_HIGHEST: Final[int]
TqRTA_QMTYPE_NONE: Final[int]
TqRTA_QMTYPE_BID: Final[int]
TqRTA_QMTYPE_ASK: Final[int]
TqRTA_QMTYPE_INSIDE: Final[int]
TqRTA_QMTYPE_BELOWBID: Final[int]
TqRTA_QMTYPE_ABOVEASK: Final[int]
TqRTA_QTEMATCHFLAG_OLDER: Final[int]
TqRTA_QTEMATCHFLAG_CROSSED: Final[int]
TqCFT_UNKNOWN: Final[int]
TqCFT_64BIT: Final[int]
TqCFT_32BIT: Final[int]
TqCFT_STRINGZ: Final[int]
TqCFT_DOUBLE: Final[int]
TqCFT_PRICE: Final[int]
TqCFT_DATE: Final[int]
TqCFT_TIME: Final[int]
TqCFT_TqSTRING: Final[int]
TqCFT_STRING_IDX: Final[int]
TqCFT_STRING_MAP: Final[int]
TqSS_ADD: Final[int]
TqSS_DEL: Final[int]
TqSS_MOD: Final[int]
TqSPIN_ALL_EXGS: Final[int]
TqSPIN_NON_OPTIONS: Final[int]
TqSPIN_OPTIONS: Final[int]
TqMSG_STATUS: Final[int]
TqMSG_EXGQUOTE: Final[int]
TqMSG_MMQUOTE: Final[int]
TqMSG_TRADE: Final[int]
TqMSG_CATEGORY: Final[int]
TqMSG_SYMBOLCHANGE: Final[int]
TqMSG_SYMBOLSPIN: Final[int]
TqSTATETYPE_OHLCTRADE: Final[int]
TqSTATETYPE_EXGQUOTES: Final[int]
TqSTATETYPE_MMQUOTES: Final[int]
TqLTF_SEARCH_LOCAL: Final[int]
TqLTF_SEARCH_NETWORK: Final[int]
TqLTF_SEARCH_REMOVEABLE: Final[int]
TqST_PERMID: Final[int]
TqST_EXCHANGE: Final[int]
TqST_TRADECONDITION: Final[int]
TqST_QUOTECONDITION: Final[int]
TqST_CATEGORY: Final[int]
TqST_HALTSTATUS: Final[int]
TqST_HALTREASONTYPE: Final[int]
TqST_OPENINDICATIONTYPE: Final[int]
TqST_ORDERIMBALANCETYPE: Final[int]
TqST_TRADEREPORTREASON: Final[int]
TqST_EXGCORRECTIONMAP: Final[int]
TqST_SYMBOLCHANGETYPE: Final[int]
TqST_OHLCFLAGS: Final[int]
TqST_EXDIVIDENDATTRIB: Final[int]
TqST_OPRAEXCHANGELIST: Final[int]
TqST_NASDBIDTICK: Final[int]
TqST_MARKETMAKERTYPE: Final[int]
TqST_MMQUOTETYPE: Final[int]
TqST_REFRESHTYPE: Final[int]
TqST_EXPIRATIONCYCLE: Final[int]
TqST_VOLUMETYPE: Final[int]
TqST_QTEMATCHTYPE: Final[int]
TqST_QTEMATCHFLAGS: Final[int]
TqST_SIGHIGHLOWTYPE: Final[int]
TqST_BBOCHANGEFLAGS: Final[int]
TqST_TRADECONDFLAGS: Final[int]
TqST_PRICEFLAGS: Final[int]
TqST_SETTLEFLAGMAP: Final[int]
TqST_SYMBOLFNCLSTATUSMAP: Final[int]
TqST_EQUITYCLASSIFICATIONS: Final[int]
TqST_SYMBOLTYPES: Final[int]
TqCF_EXCLUDE_QUOTES: Final[int]
TqCF_EXCLUDE_QUOTES2: Final[int]
TqCF_EXCLUDE_OPRA: Final[int]
TqCF_FAVOR_NBBO: Final[int]
TqCF_MEMORY_ADDRESS: Final[int]
TqCF_EXCLUDE_CRC_CHECK: Final[int]
TqSAVESTATE_GRADUALLY: Final[int]
TqSAVESTATE_ONEPASS: Final[int]
TqSAVESTATE_CANCEL: Final[int]
TqCALLBACKRETURN_CONTINUE: Final[int]
TqCALLBACKRETURN_STOP: Final[int]
TqCALLBACKRETURN_RESTART: Final[int]
TqAPIERR_NO_ERROR: Final[int]
TqAPIERR_USER_STOPPED: Final[int]
TqAPIERR_NOT_CALLBACK_THREAD: Final[int]
TqAPIERR_BAD_PARAMETERS: Final[int]
TqAPIERR_EXCEPTION: Final[int]
TqAPIERR_OPEN_TAPE_FILE_FAILED: Final[int]
TqAPIERR_INITIALIZE_MEMORY_FAILED: Final[int]
TqAPIERR_NOLISTED_EXG: Final[int]
TqAPIERR_NOSYMBOLS_FOR_LSTEXG: Final[int]
TqAPIERR_NOSESSION_FOR_SYMBOL: Final[int]
TqAPIERR_NODATATYPE_FOR_SESSION: Final[int]
TqAPIERR_NODATA_FOR_REPEXG: Final[int]
TqAPIERR_ZEROED_DATA_FOR_SESSION: Final[int]
TqAPIERR_SAVE_STATE_IN_PROGRESS: Final[int]
TqAPIERR_NOT_SUPPORTED: Final[int]
TqAPIERR_INITALLOC_ERROR: Final[int]
TqAPIERR_NSODALLOC_ERROR: Final[int]
LULD_BND_EVT_NONE: Final[int]
LULD_BND_EVT_OPENING: Final[int]
LULD_BND_EVT_INTRADAY: Final[int]
LULD_BND_EVT_RESTATED: Final[int]
LULD_BND_EVT_SUSPENDED: Final[int]
LULD_BND_EVT_REOPENING: Final[int]
LULD_BND_EVT_OUTSIDE_HRS: Final[int]

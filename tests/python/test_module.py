"""What `import Tarvik` binds: functions in table order with their docstrings,
the attributes, the 192 constants, and the calling conventions."""

import inspect
import types

import pytest

import Tarvik

FUNCTIONS = [
    "StateGetLastTrade", "StateGetMMQuotes", "StateGetExgQuotes", "SpinSymbols", "ListAPIDLLs",
    "ListTapes", "ProcessReturnValue", "PriceFormat", "PriceConvert", "PriceToDouble", "PriceToFloat",
    "GetTapeName", "GetSymbolAtom32", "ExcludeOpraExch", "GetDefinedString", "SaveState", "APIVersion",
    "UnloadTarvik", "LoadTarvik", "ProcessTape", "DateFromNDays", "DateFromYMD", "FilterSymbols",
    "ExcludeSymbols", "FilterSymbolsRange", "GetMajorVersion", "GetMinorVersion", "GetBuildVersion",
    "RemovePermission",
]


def module_functions():
    return [name for name, value in vars(Tarvik).items() if isinstance(value, types.BuiltinFunctionType)]


def module_constants():
    return {
        name: value
        for name, value in vars(Tarvik).items()
        if isinstance(value, int) and not name.startswith("_") and name != "year"
    }


def test_functions_are_bound_in_table_order():
    assert module_functions() == FUNCTIONS


def test_module_identity():
    assert Tarvik.__name__ == "Tarvik"
    assert Tarvik.__doc__ == "The Tarvik Python module"
    assert Tarvik.year == 2026
    assert isinstance(Tarvik.__author__, str) and Tarvik.__author__


@pytest.mark.parametrize(
    "name, doc",
    [
        (
            "ExcludeSymbols",
            "ExcludeSymbols([Symbol1,Symbol2,Symbol3,...])\n"
            "Blocks selected symbols from being sent to callback, improving performance. Must be called prior to ProcessTape.\n"
            "Arguements can either be a list of symbol strings. or a list of tuples of a symbol string and listed exchange. Symbols should be in Tarvik format",
        ),
        ("APIVersion", None),
        ("GetMajorVersion", "GetMajorVersion(version) -> int\nReturn the major version from 4 byte version"),
        ("ProcessReturnValue", "ProcessReturnValue(returnValue)\nPrints string corresponding to the return value from processTape()"),
    ],
)
def test_docstrings(name, doc):
    actual = getattr(Tarvik, name).__doc__
    if doc is None:  # first line ends in a blank, the text has no final line feed
        assert actual.startswith("APIVersion() -> int \nReturns the Tarvik API version")
        assert not actual.endswith("\n")
    else:
        assert actual == doc


def test_defined_string_docstring_links_the_string_tables_page():
    lines = Tarvik.GetDefinedString.__doc__.split("\n")
    assert len(lines) == 6
    assert lines[4] == "ixTable:  Identifier of table. For possible values see: tarvik_engine/docs/string-tables.md "


def test_price_to_float_is_price_to_double_with_its_own_docstring():
    assert Tarvik.PriceToFloat is not Tarvik.PriceToDouble
    assert Tarvik.PriceToFloat.__doc__.startswith("PriceToFloat(Price, PriceType) -> float\n")
    assert "Alias of PriceToDouble" in Tarvik.PriceToFloat.__doc__


def test_every_function_has_a_docstring_starting_with_its_signature():
    for name in FUNCTIONS:
        assert getattr(Tarvik, name).__doc__.startswith(name + "("), name


def test_192_constants_in_family_order():
    constants = module_constants()
    assert len(constants) == 192
    names = list(constants)
    assert names[0] == "TqDATE_DST_UNKNOWN" and names[-1] == "LULD_BND_EVT_OUTSIDE_HRS"
    assert names.index("TqMSG_STATUS") < names.index("TqST_PERMID") < names.index("TqAPIERR_NO_ERROR")


@pytest.mark.parametrize(
    "name, value",
    [
        ("TqAPIERR_NSODALLOC_ERROR", -15),
        ("LULD_BND_EVT_OUTSIDE_HRS", 6),
        ("TqCF_EXCLUDE_CRC_CHECK", 134217728),
        ("TqPERMID_REMOVE", 1048576),
        ("TARVIKSTATUS_TAPEOPEN", 10),
        ("TqMSG_SYMBOLSPIN", 6),
        ("TqCALLBACKRETURN_RESTART", 2),
        ("TqSPIN_ALL_EXGS", 65535),
        ("TqTVT_TOTALVOLx100", 3),
        ("TqCSRUNMODE_SRC_ACCESS_MEMORY", 2),
        ("TqCSRUNMODE_SRC_ACCESS_MB_OLDEST", 2),
        ("TqBBOCHANGE_ASKEXG", 16),
        ("TqST_SYMBOLTYPES", 32),
        ("TqCSSAVESTATE_ERR_MEMORY", -3),
    ],
)
def test_constant_values(name, value):
    assert getattr(Tarvik, name) == value


def test_unsupported_api_code_has_no_constant():
    with pytest.raises(AttributeError):
        Tarvik.TqAPIERR_UNSUPPORTED_API


@pytest.mark.parametrize("name", ["GetTapeName", "GetSymbolAtom32", "APIVersion", "UnloadTarvik"])
def test_functions_without_arguments_reject_arguments(name):
    with pytest.raises(TypeError):
        getattr(Tarvik, name)(1)


@pytest.mark.parametrize("name", [n for n in FUNCTIONS if n not in ("LoadTarvik", "ProcessTape")])
def test_only_load_and_process_take_keywords(name):
    with pytest.raises(TypeError):
        getattr(Tarvik, name)(x=1)


def test_import_succeeds_without_any_library(python_child):
    result = python_child("import Tarvik; print(Tarvik.year)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "2026"


# Each function's parameters as inspect.signature reports them: (name,
# kind, default) with P positional-only, K positional-or-keyword, and
# REQUIRED where there is no default.
P, K, REQUIRED = "POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty
SIGNATURES = {
    "StateGetLastTrade": [("ListedExg", P, REQUIRED), ("Symbol", P, REQUIRED), ("Expiration_NDays", P, 0),
                          ("StrikePrice", P, 0), ("PutOrCall", P, 2)],
    "PriceFormat": [("Price", P, REQUIRED), ("PriceType", P, REQUIRED), ("expandWidth", P, 0),
                    ("bCommas", P, False)],
    "FilterSymbolsRange": [("StartSymbol", P, REQUIRED), ("EndSymbol", P, REQUIRED), ("ListedExg", P, 0)],
    "GetTapeName": [],
    "LoadTarvik": [("StringTarvikLib", K, REQUIRED)],
    "ProcessTape": [(name, K, REQUIRED) for name in
                    ("filename", "pMemoryAddr", "controlFlags", "UserData", "callbackFunction")],
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_function_has_a_text_signature_and_keeps_its_docstring(name):
    function = getattr(Tarvik, name)
    signature = inspect.signature(function)
    # The signature is served apart from the docstring, which still starts
    # with the docstring's own signature line.
    assert function.__text_signature__ == str(signature)
    assert function.__doc__.startswith(name + "(")
    assert "\n--\n" not in function.__doc__
    if name in SIGNATURES:
        assert [(p.name, p.kind.name, p.default) for p in signature.parameters.values()] == SIGNATURES[name]
    # The keyword names in the signature are the ones the function takes.
    takes_keywords = name in ("LoadTarvik", "ProcessTape")
    assert all((p.kind is inspect.Parameter.POSITIONAL_ONLY) != takes_keywords
               for p in signature.parameters.values())


@pytest.mark.parametrize("name, args", [
    ("PriceToDouble", (100, 2)),
    ("PriceFormat", (12345, 2)),
    ("PriceFormat", (1234567, 2, 12, True)),
    ("GetMajorVersion", (0x01020304,)),
    ("GetDefinedString", (0, 0)),
])
def test_signature_binds_the_calls_the_function_takes(loaded, name, args):
    inspect.signature(getattr(Tarvik, name)).bind(*args)
    getattr(Tarvik, name)(*args)
    with pytest.raises(TypeError):
        inspect.signature(getattr(Tarvik, name)).bind(*args, 1, 2, 3, 4)


# A second interpreter: one of its own (the default of
# concurrent.interpreters), and one that shares the main interpreter's GIL
# and memory but checks its extensions. Both refuse the module.
SECOND_INTERPRETER = """
import _interpreters
config = _interpreters.new_config({kind!r})
config.check_multi_interp_extensions = True
second = _interpreters.create(config)
failure = _interpreters.exec(second, "import Tarvik")
_interpreters.destroy(second)
print(failure.type.__name__ if failure else "imported")
print(failure.msg if failure else "")
import Tarvik
print(Tarvik.year)
"""


@pytest.mark.parametrize("kind", ["isolated", "legacy"])
def test_import_in_a_second_interpreter_fails_cleanly(python_child, kind):
    result = python_child(SECOND_INTERPRETER.format(kind=kind))
    assert result.returncode == 0, result.stderr
    error, message, year = result.stdout.splitlines()
    assert (error, message) == ("ImportError", "module Tarvik does not support loading in subinterpreters")
    # The main interpreter still imports it afterwards.
    assert year == "2026"


def test_concurrent_interpreters_report_the_refusal(python_child):
    result = python_child("""
        from concurrent import interpreters
        second = interpreters.create()
        try:
            second.exec("import Tarvik")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__)
        finally:
            second.close()
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError"

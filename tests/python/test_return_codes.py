"""ProcessReturnValue writes one line per code straight to file descriptor 1."""

import pytest

TEXTS = {
    1: "TqCALLBACKRETURN_STOP was returned from callback function.",
    0: "Tape completed normally.",
    -1: "Function was called from thread other than callback thread.",
    -2: "Function was called from thread other than callback thread.",
    -3: "An exception occurred.",
    -4: "Could not open the file specified as parameter 1.",
    -6: "Symbol spin -- listed exchange does not exist in current tape",
    -12: "Save state -- a state save is currently in progress",
    -13: "General error",
    -15: "Startup pTqSOD allocation error",
    -16: "This API version is outdated and does not support this tape. Please download the latest API version.",
    2: "Unknown return value: (2)",
    -17: "Unknown return value: (-17)",
    2147483647: "Unknown return value: (2147483647)",
}


def printed(python_child, code):
    result = python_child(
        f"""
        import contextlib, io, Tarvik
        captured = io.StringIO()
        print("before", flush=False)
        with contextlib.redirect_stdout(captured):
            Tarvik.ProcessReturnValue({code})
        print("after")
        assert captured.getvalue() == "", captured.getvalue()
        """
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("code, text", sorted(TEXTS.items()))
def test_text_goes_to_the_process_standard_output(python_child, code, text):
    assert printed(python_child, code) == f"before\n{text}\nafter\n"


def test_every_code_from_minus_16_to_1_has_its_own_line(python_child):
    result = python_child(
        "import Tarvik\nfor code in range(-16, 2): Tarvik.ProcessReturnValue(code)"
    )
    lines = result.stdout.splitlines()
    assert len(lines) == 18
    assert not any(line.startswith("Unknown") for line in lines)
    assert lines[-2:] == [TEXTS[0], TEXTS[1]]


@pytest.mark.parametrize("arguments", [("0",), (), (0, 1), (2**31,), (1.5,)])
def test_bad_argument_raises_and_prints_nothing(python_child, arguments):
    result = python_child(
        f"""
        import Tarvik
        try:
            Tarvik.ProcessReturnValue(*{arguments!r})
        except TypeError as error:
            print("TypeError:", error)
        """
    )
    assert result.stdout == "TypeError: invalid parameters\n"

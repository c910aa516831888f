"""ListTapes, ListAPIDLLs and the permission removal through the module,
over a temporary directory of tapes, engine copies and foreign files."""

import os
import shutil

import pytest

import Tarvik

from conftest import LIBRARIES_UNMAP
from test_processing import DAY


@pytest.fixture
def tree(tmp_path, make_tape, engine_path):
    """Two directories: tapes under any name, an engine copy, and files
    that are neither."""
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    tape = make_tape(DAY)
    shutil.copy(tape, first / "monday.bin")
    shutil.copy(tape, second / "tuesday.tape")
    (first / "fake.tape").write_text("not a tape")
    (second / "libfake.so").write_bytes(b"\x7fELF" + bytes(200))
    (second / "TARVIKTP").write_bytes(b"TARVIKTP")
    shutil.copy(engine_path, second / "libtarvik-copy.so")
    return first, second


def collect(function, flags=0):
    found = []
    result = function(flags, found.append)
    return result, found


def test_list_tapes_finds_tapes_by_their_header(loaded, tree, monkeypatch):
    first, second = tree
    monkeypatch.setenv("TARVIK_TAPE_PATH", f"{first}:{second}:{second / 'missing'}")
    result, tapes = collect(Tarvik.ListTapes)
    assert result == 0
    assert [os.path.basename(t.PathnameStrZ) for t in tapes] == ["monday.bin", "tuesday.tape"]
    monday = tapes[0]
    assert type(monday) is Tarvik.TarvikTapeFile
    assert monday.PathnameStrZ == str((first / "monday.bin").resolve())
    assert monday.FileSize == os.path.getsize(first / "monday.bin")
    assert (monday.TapeDate.Year, monday.TapeDate.Month, monday.TapeDate.Day) == (2024, 3, 15)
    assert monday.PermSet == "AA"


def test_list_tapes_defaults_to_the_current_directory(loaded, tree, monkeypatch):
    first, _ = tree
    monkeypatch.delenv("TARVIK_TAPE_PATH", raising=False)
    monkeypatch.chdir(first)
    assert [os.path.basename(t.PathnameStrZ) for t in collect(Tarvik.ListTapes)[1]] == ["monday.bin"]


def test_list_apidlls_finds_engine_copies_only(loaded, tree, monkeypatch, engine_path):
    first, second = tree
    monkeypatch.setenv("TARVIK_LIBRARY_PATH", f"{first}:{second}")
    result, libraries = collect(Tarvik.ListAPIDLLs)
    assert result == 0
    assert [os.path.basename(lib.PathnameStrZ) for lib in libraries] == ["libtarvik-copy.so"]
    copy = libraries[0]
    assert copy.FileSize == os.path.getsize(engine_path)
    assert copy.BuildDate.Year >= 2024 and 1 <= copy.BuildDate.Month <= 12
    assert 0 <= copy.BuildTime.Hour < 24
    version = Tarvik.APIVersion()
    assert (copy.verMajor, copy.verMinor, copy.verBuild) == (version >> 24, (version >> 16) & 0xFF, version & 0xFFFF)


def test_list_apidlls_defaults_to_the_engines_directory(loaded, monkeypatch, engine_path):
    monkeypatch.delenv("TARVIK_LIBRARY_PATH", raising=False)
    libraries = collect(Tarvik.ListAPIDLLs)[1]
    assert os.path.realpath(engine_path) in [lib.PathnameStrZ for lib in libraries]


def test_an_exception_in_the_callable_is_printed_and_the_listing_goes_on(loaded, tree, monkeypatch, capsys):
    first, second = tree
    monkeypatch.setenv("TARVIK_TAPE_PATH", f"{first}:{second}")
    calls = []

    def fail(tape):
        calls.append(tape.PathnameStrZ)
        raise ValueError("listing callable failed")

    assert Tarvik.ListTapes(0, fail) == 0
    assert len(calls) == 2
    # Printed the first time, counted the second, reported when the listing ends.
    err = capsys.readouterr().err
    assert err.count("ValueError: listing callable failed") == 1
    assert err.endswith(f'Tarvik: the same ValueError (File "{__file__}", line {fail.__code__.co_firstlineno + 2}) '
                        "was raised 1 more time; only the first was printed.\n")
    # The next listing prints its first exception in full again.
    assert Tarvik.ListTapes(0, fail) == 0
    assert capsys.readouterr().err.count("ValueError: listing callable failed") == 1


def test_an_unreadable_directory_is_skipped(python_child, tree):
    first, second = tree
    os.chmod(first, 0)
    try:
        child = python_child(f"""
            import os, Tarvik, tarvik_engine
            Tarvik.LoadTarvik(tarvik_engine.library_path())
            found = []
            print(Tarvik.ListTapes(0, found.append), [os.path.basename(t.PathnameStrZ) for t in found])
        """, env={"TARVIK_TAPE_PATH": f"{first}:{second}"})
    finally:
        os.chmod(first, 0o755)
    assert child.returncode == 0, child.stderr
    readable_anyway = os.geteuid() == 0
    expected = ["monday.bin", "tuesday.tape"] if readable_anyway else ["tuesday.tape"]
    assert child.stdout.strip() == f"0 {expected}"


@pytest.mark.parametrize("listing", ["ListTapes", "ListAPIDLLs"])
@pytest.mark.parametrize("inside", ["Tarvik.UnloadTarvik()", "Tarvik.LoadTarvik(tarvik_engine.library_path())"])
def test_the_callable_may_unload_or_reload_the_library_during_a_listing(python_child, tree, listing, inside):
    first, second = tree
    child = python_child(f"""
        import Tarvik, tarvik_engine
        Tarvik.LoadTarvik(tarvik_engine.library_path())
        found = []
        def visit(item):
            found.append(item)
            {inside}
        result = Tarvik.{listing}(0, visit)
        mapped = any("libtarvik" in line for line in open("/proc/self/maps"))
        print(result, len(found), mapped)
    """, env={"TARVIK_TAPE_PATH": f"{first}:{second}", "TARVIK_LIBRARY_PATH": str(second)})
    assert child.returncode == 0, child.stderr
    result, found, mapped = child.stdout.split()
    assert (result, int(found) > 0) == ("0", True)
    # Held for the listing only: once it returns, an unload has unloaded.
    if LIBRARIES_UNMAP:
        assert mapped == ("False" if "Unload" in inside else "True")


# --- permission removal --------------------------------------------------------

def permissions_seen(tape, inside=None):
    seen = []

    def callback(system, message):
        if message.MessageType not in (Tarvik.TqMSG_STATUS, Tarvik.TqMSG_SYMBOLCHANGE):
            seen.append(message.coreHeader.PermissionID)
            if inside is not None:
                inside()
        return 0

    assert Tarvik.ProcessTape(tape, 0, 0, 0, callback) == 0
    return seen


def test_remove_permission_skips_its_messages_for_the_next_run(loaded, make_tape):
    tape = make_tape(DAY)
    before = permissions_seen(tape)
    assert 3 in before
    assert Tarvik.RemovePermission(3) == 0
    after = permissions_seen(tape)
    assert after == [p for p in before if p != 3]
    assert permissions_seen(tape) == before, "a removal applies to the next run only"


def test_exclude_opra_exch_keys(loaded, make_tape):
    tape = make_tape(DAY)
    before = permissions_seen(tape)
    removed = []

    def remove_inside():
        if not removed:
            removed.append(Tarvik.ExcludeOpraExch(Tarvik.TqPERMID_REMOVE | 3))

    after = permissions_seen(tape, remove_inside)
    assert removed == [0]
    assert after[0] == before[0] and 3 not in after[1:]
    assert Tarvik.ExcludeOpraExch(-5) == Tarvik.TqAPIERR_BAD_PARAMETERS
    assert Tarvik.ExcludeOpraExch(Tarvik.TqPERMID_REMOVE | 0x10000) == Tarvik.TqAPIERR_BAD_PARAMETERS


def test_an_excluded_opra_exchange_loses_its_option_trades(loaded, make_tape):
    tape = make_tape(DAY)

    def options(tape):
        seen = []
        Tarvik.ProcessTape(tape, 0, 0, 0, lambda s, m: seen.append(m.coreHeader.ptqOptionHdr is not None
                                                                  and m.MessageType == Tarvik.TqMSG_TRADE) or 0)
        return seen.count(True)

    assert options(tape) == 1
    # The option trade of the day is reported by exchange 0.
    assert Tarvik.ExcludeOpraExch(0) == 0
    assert options(tape) == 0

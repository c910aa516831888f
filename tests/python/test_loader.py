"""Binding the library on a thread: LoadTarvik, UnloadTarvik, APIVersion, the
test engines that lack exports, per-thread bindings and the version split."""

import subprocess
import threading

import pytest

import Tarvik
import tarvik_engine

from conftest import SANITIZED, run_python

ENGINE_VERSION = (1 << 24) | (0 << 16) | 1


def in_thread(function):
    """Runs function on a new thread and returns its result (or raises its exception)."""
    outcome = {}

    def run():
        try:
            outcome["value"] = function()
        except BaseException as error:  # noqa: BLE001 - handed back to the caller
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def test_load_returns_the_engine_version_and_binds_the_thread(engine_path):
    assert Tarvik.LoadTarvik(engine_path) == ENGINE_VERSION
    assert Tarvik.APIVersion() == ENGINE_VERSION
    assert Tarvik.UnloadTarvik() is None


def test_keyword_and_positional_forms_agree(engine_path):
    assert Tarvik.LoadTarvik(StringTarvikLib=engine_path) == Tarvik.LoadTarvik(engine_path)
    assert in_thread(lambda: Tarvik.LoadTarvik(StringTarvikLib=engine_path)) == ENGINE_VERSION
    Tarvik.UnloadTarvik()


@pytest.mark.parametrize(
    "args, kwargs",
    [((b"/lib/libtarvik.so",), {}), (("a\0b",), {}), ((), {}), (("a", "b"), {}), ((), {"path": "a"}), ((5,), {})],
)
def test_bad_arguments_raise_and_keep_the_binding(engine_path, args, kwargs):
    Tarvik.LoadTarvik(engine_path)
    with pytest.raises(TypeError, match="^invalid parameters$"):
        Tarvik.LoadTarvik(*args, **kwargs)
    assert Tarvik.APIVersion() == ENGINE_VERSION
    Tarvik.UnloadTarvik()


def test_library_without_signal_wait_event_does_not_load(variant_path):
    assert Tarvik.LoadTarvik(variant_path("no_signal_wait")) == 0
    with pytest.raises(RuntimeError, match="not loaded"):
        Tarvik.APIVersion()


def test_library_without_optional_exports_loads(variant_path):
    assert Tarvik.LoadTarvik(variant_path("no_optional")) == ENGINE_VERSION
    assert Tarvik.GetSymbolAtom32() == -2
    assert Tarvik.RemovePermission(5) == -2
    assert Tarvik.ExcludeOpraExch(5) == -2
    Tarvik.UnloadTarvik()


def test_library_reporting_version_zero_stays_bound(variant_path):
    assert Tarvik.LoadTarvik(variant_path("version_zero")) == 0
    assert Tarvik.APIVersion() == 0
    Tarvik.UnloadTarvik()


def test_failed_load_releases_the_previous_library(engine_path, tmp_path):
    assert Tarvik.LoadTarvik(engine_path) == ENGINE_VERSION
    assert Tarvik.LoadTarvik(str(tmp_path / "missing.so")) == 0
    with pytest.raises(RuntimeError):
        Tarvik.APIVersion()


def test_a_file_that_is_not_a_library_gives_zero(tmp_path):
    junk = tmp_path / "junk.so"
    junk.write_bytes(b"not a shared library")
    assert Tarvik.LoadTarvik(str(junk)) == 0


def test_unload_without_a_library_is_harmless():
    assert in_thread(Tarvik.UnloadTarvik) is None
    assert in_thread(Tarvik.UnloadTarvik) is None


def test_bindings_belong_to_their_thread(engine_path):
    loaded_here = threading.Event()
    other_done = threading.Event()
    main_unloaded = threading.Event()
    seen = {}

    def other():
        loaded_here.wait()
        try:
            Tarvik.APIVersion()
        except RuntimeError:
            seen["before"] = "no library"
        seen["load"] = Tarvik.LoadTarvik(engine_path)
        other_done.set()
        # the main thread unloads meanwhile; this thread keeps its own binding
        main_unloaded.wait()
        seen["after"] = Tarvik.APIVersion()
        Tarvik.UnloadTarvik()

    thread = threading.Thread(target=other)
    thread.start()
    Tarvik.LoadTarvik(engine_path)
    loaded_here.set()
    other_done.wait()
    Tarvik.UnloadTarvik()
    main_unloaded.set()
    thread.join()
    assert seen == {"before": "no library", "load": ENGINE_VERSION, "after": ENGINE_VERSION}
    with pytest.raises(RuntimeError):
        Tarvik.APIVersion()


def test_functions_needing_the_library_raise_instead_of_crashing(python_child, engine_path):
    result = python_child(
        f"""
        import Tarvik
        Tarvik.LoadTarvik({engine_path!r})
        Tarvik.UnloadTarvik()
        calls = [
            lambda: Tarvik.APIVersion(),
            lambda: Tarvik.PriceToDouble(1, 2),
            lambda: Tarvik.PriceFormat(1, 2),
            lambda: Tarvik.PriceConvert(1, 2, 3),
            lambda: Tarvik.GetTapeName(),
            lambda: Tarvik.GetDefinedString(3, 1),
            lambda: Tarvik.ProcessTape("x.tape", 0, 0, 0, lambda s, m: 0),
            lambda: Tarvik.ListTapes(0, print),
            lambda: Tarvik.ListAPIDLLs(0, print),
            lambda: Tarvik.SpinSymbols(-1, 0, 0, print, 0),
            lambda: Tarvik.SaveState("x.state", 1),
        ]
        for call in calls:
            try:
                call()
            except (RuntimeError, NotImplementedError) as error:
                print(type(error).__name__)
        print(Tarvik.GetSymbolAtom32(), Tarvik.RemovePermission(1), Tarvik.ExcludeOpraExch(1))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "RuntimeError"
    assert lines[-1] == "-2 -2 -2"


@pytest.mark.parametrize(
    "version, major, minor, build",
    [
        (0x01020304, 1, 2, 772),
        (-1, -1, 255, 65535),
        (2**31 - 1, 127, 255, 65535),
        (ENGINE_VERSION, 1, 0, 1),
        (0, 0, 0, 0),
        (-(2**31), -128, 0, 0),
    ],
)
def test_version_split(version, major, minor, build):
    assert (Tarvik.GetMajorVersion(version), Tarvik.GetMinorVersion(version), Tarvik.GetBuildVersion(version)) == (
        major,
        minor,
        build,
    )


@pytest.mark.parametrize("bad", [2**31, "1", None, 1.0])
@pytest.mark.parametrize("split", [Tarvik.GetMajorVersion, Tarvik.GetMinorVersion, Tarvik.GetBuildVersion])
def test_version_split_answers_false_to_bad_input(split, bad):
    assert split(bad) is False


def test_loading_the_engine_for_each_day_keeps_memory_flat(python_child, engine_path, tmp_path):
    """The pattern of a worker that loads the engine for each day: the
    tables a replay lets go of are kept for the next one, and go with the
    engine when it is unloaded, not left mapped once per day."""
    day = str(tmp_path / "day.tape")
    subprocess.run([tarvik_engine.tape_tool_path(), "synth", "-q", "-o", day, "--messages", "20000"], check=True)
    child = python_child(f"""
        import Tarvik
        def mappings():
            with open("/proc/self/maps") as f:
                return sum(1 for _ in f)
        def cycle():
            Tarvik.LoadTarvik({engine_path!r})
            assert Tarvik.ProcessTape({day!r}, 0, 0, 0, lambda s, m: 0) == 0
            Tarvik.UnloadTarvik()
        cycle()
        before = mappings()
        for _ in range(30):
            cycle()
        print(mappings() - before)
    """, timeout=120)
    assert child.returncode == 0, child.stderr
    # One kept range a day would be 30 more; the sanitizer's allocator
    # maps memory of its own as the library comes and goes (11 more).
    assert int(child.stdout) < (25 if SANITIZED else 10)


def test_a_library_calling_back_from_a_thread_of_its_own_is_ignored_there(variant_path, sample_tape):
    """A library that calls the callback from a thread of its own, and waits
    for that thread, reaches no Python there: the run goes on, and the
    thread's exit does not wait on the interpreter lock the run holds."""
    child = run_python(f"""
        import Tarvik
        assert Tarvik.LoadTarvik({variant_path("foreign_thread")!r}) != 0
        count = [0]

        def counted(system, message):
            count[0] += 1
            return Tarvik.TqCALLBACKRETURN_STOP if count[0] == 1000 else 0

        print(Tarvik.ProcessTape({str(sample_tape)!r}, 0, 0, 0, counted), count[0])
    """, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["1", "1000"]

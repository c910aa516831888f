"""Shared fixtures: where the built module, engine and test engines are, and a
way to run risky code in a child interpreter so a crash fails one test."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("TARVIK_BUILD_DIR", REPO / "build" / "dev"))
PYTHON_DIR = BUILD_DIR / "python"
VARIANT_DIR = BUILD_DIR / "engine-variants"

sys.path.insert(0, str(PYTHON_DIR))

import Tarvik  # noqa: E402
import tarvik_engine  # noqa: E402


SAMPLE_TAPE = BUILD_DIR / "sample" / "sample.tape"

# A build without Apache Arrow (or without Parquet) has no import, and
# without Arrow no columnar reads (they say so when called); tests of them
# are skipped there. The tool tells whether its import works.
_IMPORT_ANSWER = subprocess.run([str(PYTHON_DIR / "tarvik_engine" / "tarvik-tape"), "import", "--trades",
                                 "/nonexistent.csv", "-o", "/dev/null"], capture_output=True, text=True).stderr
HAS_ARROW = ((PYTHON_DIR / "tarvik_engine" / "libtarvik_columns.so").exists()
             and "import needs Apache Arrow" not in _IMPORT_ANSWER)
needs_arrow = pytest.mark.skipif(not HAS_ARROW, reason="a build without Apache Arrow and Parquet: no import, "
                                                      "no columnar reads")

# Under the sanitizers' preloaded runtime the dynamic loader keeps every
# library mapped after its last dlclose, and freed memory is held back in
# quarantine, so the process's size says nothing about what was released.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
LIBRARIES_UNMAP = not SANITIZED


def compile_tape(path, lines):
    """Compiles a tape script (a list of one-key dicts, or JSON Lines text)
    into a tape at path with the project's tape tool."""
    path = Path(path)
    script = path.with_suffix(".jsonl")
    if isinstance(lines, str):
        script.write_text(lines)
    else:
        script.write_text("".join(json.dumps(line) + "\n" for line in lines))
    result = subprocess.run(
        [tarvik_engine.tape_tool_path(), "compile", str(script), "-o", str(path)], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr
    return str(path)


@pytest.fixture
def make_tape(tmp_path):
    """make_tape(lines, name="day.tape") -> path of the compiled tape."""
    counter = iter(range(1000))

    def make(lines, name=None):
        return compile_tape(tmp_path / (name or f"day{next(counter)}.tape"), lines)

    return make


@pytest.fixture(scope="session")
def sample_tape():
    assert SAMPLE_TAPE.exists(), f"{SAMPLE_TAPE} is made by the build"
    return str(SAMPLE_TAPE)


@pytest.fixture(scope="session")
def engine_path():
    return tarvik_engine.library_path()


@pytest.fixture(scope="session")
def variant_path():
    def path(name):
        found = VARIANT_DIR / f"libtarvik_{name}.so"
        assert found.exists(), found
        return str(found)

    return path


@pytest.fixture
def loaded(engine_path):
    """The bundled engine loaded on the test's thread, unloaded afterwards."""
    assert Tarvik.LoadTarvik(engine_path) != 0
    yield Tarvik
    Tarvik.UnloadTarvik()


def run_python(code, *, timeout=120, env=None):
    """Runs code in a fresh interpreter with the built module importable.
    Returns the CompletedProcess; a crash shows as a negative returncode."""
    child_env = dict(os.environ)
    child_env["PYTHONPATH"] = os.pathsep.join(
        [str(PYTHON_DIR), str(Path(__file__).parent)] + [p for p in [os.environ.get("PYTHONPATH")] if p]
    )
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env,
    )


@pytest.fixture
def python_child():
    return run_python


def pytest_addoption(parser):
    parser.addoption("--record-replay-hashes", action="store_true",
                     help="write the replay hashes of the built engine into tests/python/replay_hashes.txt "
                          "(only for an intended change of the engine's behaviour)")

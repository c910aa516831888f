"""Shared fixtures: where the built module, engine and test engines are, and a
way to run risky code in a child interpreter so a crash fails one test."""

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

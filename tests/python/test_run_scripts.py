"""scripts/python and scripts/tarvik-tape: a program of the user's runs
with the built module, engine and tape tool, from the user's directory, and
the paths its command line names are the ones shared with the development
root."""

import os
import subprocess
from pathlib import Path

import pytest

from conftest import BUILD_DIR, REPO

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="runs the interpreter afresh, without the sanitizers' runtime")


def run_script(script, *args, cwd):
    env = dict(os.environ, TARVIK_BUILD_DIR=str(BUILD_DIR), TARVIK_BUILD_ENV="native")
    return subprocess.run([str(REPO / "scripts" / script), *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=env, timeout=120)


def test_a_program_runs_from_the_users_directory_with_the_built_module(tmp_path):
    (tmp_path / "mine.py").write_text(
        "import os, sys, Tarvik, tarvik_engine\n"
        "print(os.getcwd(), sys.argv[1:], Tarvik.LoadTarvik(tarvik_engine.library_path()) != 0)\n"
        "sys.exit(3)\n")
    result = run_script("python", "mine.py", "--tape", "day.tape", cwd=tmp_path)
    assert result.returncode == 3, result.stderr
    assert result.stdout == f"{tmp_path} ['--tape', 'day.tape'] True\n"


def test_the_tape_tool_runs_the_same_way(tmp_path):
    result = run_script("tarvik-tape", "synth", "-o", "day.tape", "--symbols", 2, "--messages", 100, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "events        100 in 1 blocks" in run_script("tarvik-tape", "info", "day.tape", cwd=tmp_path).stdout


def test_the_paths_a_command_line_names_are_shared(tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "day.tape").write_bytes(b"")
    (tmp_path / "out").mkdir()
    args = ["in/day.tape", f"--png={tmp_path}/out/new.png", "IBM", "--at", "12:00", "/nowhere/at/all.tape"]
    shown = subprocess.run(
        ["bash", "-c", '. "$0"; tarvik_share_user_paths "$@"; printf "%s" "$TARVIK_DEVROOT_MOUNTS"',
         str(REPO / "scripts" / "build-env.sh"), *args],
        capture_output=True, text=True, cwd=tmp_path, env=dict(os.environ, HOME="/home/someone"))
    assert shown.returncode == 0, shown.stderr
    mounts = shown.stdout.splitlines()
    assert sorted(mounts) == mounts
    assert {str(tmp_path), str(tmp_path / "in"), str(tmp_path / "out"), "/home/someone", "/mnt", "/srv"} == set(mounts)

"""scripts/check-layers: the extension's folders include one another one
way only (core, then records and constants, tape, services, module), and an
include against that order fails naming the file and line."""

import subprocess
import sys

import pytest

from conftest import REPO

SCRIPT = REPO / "scripts" / "check-layers"


def check(root, *args):
    return subprocess.run([sys.executable, str(SCRIPT), "--root", str(root), *args], capture_output=True, text=True,
                          timeout=60)


def make_tree(root, files):
    """files: {"tape/a.cpp": ["core/x.h", ...]}, the headers each file includes."""
    for name, included in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        lines = ["// a file of the tree", "#include <Python.h>"] + [f'#include "{header}"' for header in included]
        path.write_text("\n".join(lines) + "\n")
    return root


def test_the_extension_follows_the_order():
    result = check(REPO / "src" / "Tarvik")
    assert result.returncode == 0, result.stderr


def test_downward_and_outside_includes_pass(tmp_path):
    root = make_tree(tmp_path, {
        "core/state.h": ["core/errors.h", "tarvik/library.h"],
        "core/errors.h": [],
        "records/record.cpp": ["records/record.h", "core/state.h"],
        "records/record.h": [],
        "constants/constants.cpp": ["core/errors.h"],
        "tape/run.cpp": ["core/state.h", "records/record.h", "constants/constants.h"],
        "services/query.cpp": ["tape/run.h", "records/record.h", "core/state.h"],
        "module/module.cpp": ["services/query.h", "tape/run.h", "constants/constants.h"],
    })
    result = check(root)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


@pytest.mark.parametrize("name, header, says", [
    ("tape/process.cpp", "services/utilities.h", "tape/ may include constants/, core/, records/"),
    ("core/thread_data.h", "tape/thread_state.h", "core/ may include nothing else"),
    ("records/records.cpp", "constants/constants.h", "records/ may include core/"),
    ("constants/constants.cpp", "records/records.h", "constants/ may include core/"),
    ("services/loader.cpp", "module/errors.h", "services/ may include"),
])
def test_an_include_against_the_order_fails_naming_file_and_line(tmp_path, name, header, says):
    root = make_tree(tmp_path, {name: ["core/errors.h", header]})
    (tmp_path / header.split("/")[0]).mkdir(exist_ok=True)
    result = check(root)
    assert result.returncode == 1
    # The file's fourth line: the comment, <Python.h>, core/errors.h, then this one.
    assert f'{name}:4: includes "{header}" against the layer order: {says}' in result.stderr
    assert "1 include(s) against the layer order" in result.stderr


def test_a_folder_outside_the_order_fails(tmp_path):
    root = make_tree(tmp_path, {"helpers/text.cpp": ["core/errors.h"], "tape/run.cpp": ["helpers/text.h"],
                                "core/errors.h": []})
    result = check(root)
    assert result.returncode == 1
    assert 'helpers/text.cpp:3: the folder "helpers" of this file is not in the layer order' in result.stderr
    assert 'tape/run.cpp:3: includes "helpers/text.h", but the folder "helpers" is not in the layer order' in (
        result.stderr)


def test_graph_lists_which_folder_includes_which(tmp_path):
    root = make_tree(tmp_path, {"core/a.h": [], "tape/run.cpp": ["core/a.h", "tape/run.h"],
                                "module/m.cpp": ["tape/run.h", "core/a.h"]})
    result = check(root, "--graph")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["module -> core", "module -> tape", "tape -> core"]

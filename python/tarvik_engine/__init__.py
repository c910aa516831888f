"""The engine bundled with the Tarvik module, and tapes made from your data.

>>> import Tarvik, tarvik_engine
>>> Tarvik.LoadTarvik(tarvik_engine.library_path())

``write_tape`` turns quotes, trades and market-maker quotes (files, pandas
DataFrames, pyarrow Tables or any Arrow stream) into tapes; ``read_tape``
and ``iter_tape`` read a tape back as Arrow tables, with the engine's NBBO
and trade analysis as columns. ``tape_info`` tells what a tape holds (its
date, symbols, events and their span) from its section heads.
"""

import os
from pathlib import Path

from .columnar import TapeError, iter_tape, read_tape
from .tape_import import write_tape
from .tape_info import TapeInfo, TapeInfoError, tape_info

__all__ = ["TapeError", "TapeInfo", "TapeInfoError", "docs_path", "iter_tape", "library_path", "read_tape",
           "tape_info", "tape_tool_path", "write_tape"]

_HERE = os.path.dirname(os.path.abspath(__file__))


def library_path() -> str:
    """Full path of the bundled engine, libtarvik.so, for Tarvik.LoadTarvik."""
    return os.path.join(_HERE, "libtarvik.so")


def tape_tool_path() -> str:
    """Full path of the bundled tape tool, tarvik-tape."""
    return os.path.join(_HERE, "tarvik-tape")


def docs_path() -> Path:
    """The documentation installed with the package, a folder of Markdown
    pages; the docstrings' "tarvik_engine/docs/..." links are its pages."""
    return Path(_HERE, "docs")

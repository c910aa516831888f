"""Where the engine bundled with the Tarvik module lives.

>>> import Tarvik, tarvik_engine
>>> Tarvik.LoadTarvik(tarvik_engine.library_path())
"""

import os

__all__ = ["library_path", "tape_tool_path"]

_HERE = os.path.dirname(os.path.abspath(__file__))


def library_path():
    """Full path of the bundled engine, libtarvik.so, for Tarvik.LoadTarvik."""
    return os.path.join(_HERE, "libtarvik.so")


def tape_tool_path():
    """Full path of the bundled tape tool, tarvik-tape."""
    return os.path.join(_HERE, "tarvik-tape")

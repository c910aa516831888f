"""The module's names: functions, docstrings, attributes and constants."""

import Tarvik


def test_year_and_author():
    assert Tarvik.year == 2026
    assert isinstance(Tarvik.__author__, str) and Tarvik.__author__

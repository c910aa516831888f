"""Many days at once: a function of one tape, run over many tapes on Dask
distributed, one replay at a time in each worker process.

>>> import tarvik_days
>>> frames = tarvik_days.map_days(day_bars, ("2024-03-01", "2024-03-29"))

``map_days`` takes a list of tape paths, or a range of days found in the
directories of ``TARVIK_TAPE_PATH``; ``tapes_for_days`` resolves such a
range on its own. docs/parallel-days.md tells how to run the same code on a
cluster of machines.
"""

from .days import tapes_for_days
from .mapping import DayFailure, DaysFailed, DaysTimedOut, map_days

__all__ = ["DayFailure", "DaysFailed", "DaysTimedOut", "map_days", "tapes_for_days"]

"""Replays a tape through a Python callback and prints what a user wants to
see first. Run it with scripts/demo, or:

    PYTHONPATH=build/dev/python python3.14 examples/replay_summary.py --tape day.tape
"""

import argparse
import sys

import Tarvik
import tarvik_engine


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tape", required=True, help="tape file to replay")
    parser.add_argument("--engine", default=tarvik_engine.library_path(), help="engine library to load")
    args = parser.parse_args()

    version = Tarvik.LoadTarvik(args.engine)
    if version == 0:
        sys.exit(f"could not load the engine {args.engine}")
    print(
        f"engine {args.engine}: version {Tarvik.GetMajorVersion(version)}."
        f"{Tarvik.GetMinorVersion(version)}.{Tarvik.GetBuildVersion(version)}"
    )


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Compares the metadata of a project's two newest results and prints it as a table.

    python3 newest_two.py PROJECT [PATTERN]

PATTERN (default "r@@@") picks the results by number: the highest two are compared.
"""

import sys
from typing import List, Optional, Tuple

import talvo2


def when(moment: object) -> str:
    return "-" if moment is None else f"{moment:%Y-%m-%d %H:%M:%S}"


def rows(result: talvo2.Result) -> List[Tuple[str, str]]:
    begin, end = result.collection
    return [
        ("name", result.name),
        ("created", when(result.created)),
        ("host", result.host),
        ("os", result.os),
        ("cpu", f"{result.cpu.brand} ({result.cpu.logical_cpus} logical)"),
        ("mpi rank", "-" if result.mpi_rank is None else str(result.mpi_rank)),
        ("command", result.command or "-"),
        ("collection", f"{when(begin)} .. {when(end)}"),
        ("finalized", "yes" if result.finalized else "no"),
        ("size", f"{result.size} bytes in {result.files} files"),
    ]


def main(argv: List[str]) -> int:
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    pattern: Optional[str] = argv[2] if len(argv) > 2 else "r@@@"
    try:
        project = talvo2.Project.open(argv[1])
        newest = project.find(pattern or "r@@@", max=2)
    except talvo2.Error as error:
        print(f"newest_two: {error.message}", file=sys.stderr)
        return 1
    if len(newest) < 2:
        print(f"newest_two: {len(newest)} result(s) match {pattern}; a comparison needs two",
              file=sys.stderr)
        return 1
    left, right = rows(newest[0]), rows(newest[1])
    width = [max(len(label) for label, _ in left), max(len(value) for _, value in left)]
    for (label, a), (_, b) in zip(left, right):
        mark = " " if a == b else "*"
        print(f"{mark} {label:<{width[0]}}  {a:<{width[1]}}  {b}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

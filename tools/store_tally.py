#!/usr/bin/env python3
"""Every clean message of the corpus decoded with the package's table store alone and with
Debian's ecCodes definitions root: do they give the same keys and values?

    PYTHONPATH=build:python python tools/store_tally.py [--corpus DIR] [--definitions ROOT] [--out TSV]

"Clean" is the corpus's own judgement (messages.tsv: ecCodes decodes the message fully and
knows every descriptor of it). For each clean message the engine decodes it twice, once with
the store (QUORVEX_DEFINITIONS and ECCODES_DEFINITION_PATH removed from the environment) and
once with ROOT, and compares the rows: descriptor, key, value, text and raw first, then the
code and flag meanings (whose texts change between ecCodes releases). Prints the tally and
one line per message whose values or keys differ, with what differs first; --out writes
every message's outcome.
"""

from __future__ import annotations

import argparse
import collections
import csv
import math
import os
import sys
from collections.abc import Iterator
from typing import Any

from quorvex import _engine
from quorvex._arrow import table_of

Row = tuple[Any, ...]


def clean_messages(corpus: str) -> dict[str, set[int]]:
    """path -> offsets of its clean messages."""
    out: dict[str, set[int]] = collections.defaultdict(set)
    with open(os.path.join(corpus, "messages.tsv"), newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["clean"] == "yes":
                out[row["path"]].add(int(row["offset"]))
    return out


def rows_by_message(data: bytes, spans: list[tuple[int, int, int]], tables: _engine.Tables) -> tuple[
        dict[int, list[Row]], dict[int, str]]:
    """message index -> its rows, and message index -> why it was refused."""
    batch, bad = _engine.decode([data], [(0, i, o, n) for i, o, n in spans], tables, 2, True)
    table = table_of(batch)
    columns = [table.column(c).to_pylist() for c in ("descriptor", "key", "value", "text", "raw", "meaning")]
    out: dict[int, list[Row]] = collections.defaultdict(list)
    for index, *row in zip(table.column("message").to_pylist(), *columns):
        out[index].append(tuple(row))
    return out, {entry[0]: " ".join(str(x) for x in entry[2:]) for entry in bad}


def same_value(a: Any, b: Any) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return bool(a == b)


def first_difference(mine: list[Row], theirs: list[Row]) -> str:
    if len(mine) != len(theirs):
        return f"{len(mine)} rows against {len(theirs)}"
    fields = ("descriptor", "key", "value", "text", "raw", "meaning")
    for i, (a, b) in enumerate(zip(mine, theirs)):  # lengths checked above
        for name, x, y in zip(fields, a, b):
            if not same_value(x, y):
                return f"row {i} ({a[0]:06d}): {name} {x!r} against {y!r}"
    return ""


def compare_file(path: str, offsets: set[int], store: _engine.Tables,
                 root: _engine.Tables) -> Iterator[tuple[int, int, str, str]]:
    """(index, offset, outcome, detail) of the messages of `path` at `offsets`."""
    with open(path, "rb") as f:
        data = f.read()
    spans = [(i, o, n) for i, (o, n, e) in enumerate(_engine.scan(data)) if e is None and o in offsets]
    mine, mine_bad = rows_by_message(data, spans, store)
    theirs, their_bad = rows_by_message(data, spans, root)
    for index, offset, _ in spans:
        if index in mine_bad and index in their_bad:
            yield index, offset, "both refuse", mine_bad[index]
        elif index in mine_bad:
            yield index, offset, "store refuses", mine_bad[index]
        elif index in their_bad:
            yield index, offset, "root refuses", their_bad[index]
        else:
            diff = first_difference([r[:5] for r in mine[index]], [r[:5] for r in theirs[index]])
            if diff:
                yield index, offset, "values or keys differ", diff
            else:
                diff = first_difference(mine[index], theirs[index])
                yield index, offset, "code meanings differ" if diff else "same", diff


def outcomes(corpus: str, root: str) -> Iterator[tuple[str, int, int, str, str]]:
    """(path, index, offset, outcome, detail) of every clean message."""
    for name in ("QUORVEX_DEFINITIONS", "ECCODES_DEFINITION_PATH"):
        os.environ.pop(name, None)
    store, debian = _engine.Tables(None), _engine.Tables(root)
    for path, offsets in sorted(clean_messages(corpus).items()):
        for index, offset, outcome, detail in compare_file(os.path.join(corpus, path), offsets, store, debian):
            yield path, index, offset, outcome, detail


def main() -> int:
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", default=os.environ.get("QUORVEX_CORPUS",
                                                       os.path.join(here, "..", "..", "shared", "corpus")))
    ap.add_argument("--definitions", default="/usr/share/eccodes/definitions")
    ap.add_argument("--out", default=None)
    a = ap.parse_args()
    tally: collections.Counter[str] = collections.Counter()
    with open(a.out or os.devnull, "w", newline="") as out:
        writer = csv.writer(out, delimiter="\t")
        for path, index, offset, outcome, detail in outcomes(a.corpus, a.definitions):
            tally[outcome] += 1
            writer.writerow([path, index, offset, outcome, detail])
            if outcome not in ("same", "code meanings differ"):
                print(f"{path}\t#{index}\t@{offset}\t{outcome}\t{detail}")
    print("clean messages:", sum(tally.values()), dict(sorted(tally.items())), file=sys.stderr)
    return 0 if set(tally) <= {"same", "code meanings differ"} else 1


if __name__ == "__main__":
    sys.exit(main())

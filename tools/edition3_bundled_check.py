#!/usr/bin/env python3
"""Edition-3 messages of the corpus with the bundled tables alone, through the engine.

    PYTHONPATH=build:python python tools/edition3_bundled_check.py [--corpus CORPUS] [--per-message TSV]

Each clean edition-3 message of raw/ has an edition-4 copy in derived4/ with sections 2 to 5
unchanged. With the bundled tables alone the table choice does not depend on section 1, so
an edition-3 message decodes as ecCodes does exactly when the engine gives it the same rows
as its copy and the copy decodes as ecCodes does. This script decodes both files with
quorvex.read_arrow (QUORVEX_DEFINITIONS="", on_bad_message="skip"), compares message by
message, and, given the per-message results of tools/bundled_tables_tally.py over the
edition-4 files, counts the edition-3 messages identical to ecCodes.
"""

from __future__ import annotations

import argparse
import collections
import csv
import os
import sys

import pyarrow as pa

import quorvex

COLUMNS = ["descriptor", "value", "text", "raw"]


def per_message(table: pa.Table) -> dict[int, list[tuple[object, ...]]]:
    rows: dict[int, list[tuple[object, ...]]] = collections.defaultdict(list)
    columns = [table.column("message").to_pylist()] + [table.column(c).to_pylist() for c in COLUMNS]
    for message, *values in zip(*columns):
        rows[message].append(tuple(values))
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "corpus"))
    ap.add_argument("--per-message", default=None, help="results of bundled_tables_tally.py --per-message")
    a = ap.parse_args()
    os.environ["QUORVEX_DEFINITIONS"] = ""
    corpus = os.path.abspath(a.corpus)

    messages: dict[str, list[dict[str, str]]] = collections.defaultdict(list)
    with open(os.path.join(corpus, "messages.tsv"), newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            messages[row["path"]].append(row)
    ed4_result: dict[tuple[str, int], str] = {}
    if a.per_message:
        with open(a.per_message, newline="") as f:
            ed4_result = {(r["path"], int(r["offset"])): r["result"] for r in csv.DictReader(f, delimiter="\t")}

    total = same_rows = identical = 0
    unlike: collections.Counter[str] = collections.Counter()
    with open(os.path.join(corpus, "derived4", "derived4.tsv"), newline="") as f:
        pairs = [(r["original_path"], r["derived_path"]) for r in csv.DictReader(f, delimiter="\t")]
    for raw, derived in pairs:
        clean = [r for r in messages[raw] if r["clean"] == "yes" and r["edition"] == "3"]
        copies = messages[derived]
        if len(clean) != len(copies):
            print(f"{raw}: {len(clean)} clean edition-3 messages, {len(copies)} copies: skipped", file=sys.stderr)
            continue
        ours = per_message(quorvex.read_arrow(os.path.join(corpus, raw), on_bad_message="skip", threads=1))
        theirs = per_message(quorvex.read_arrow(os.path.join(corpus, derived), on_bad_message="skip", threads=1))
        for original, copy in zip(clean, copies):
            total += 1
            rows, copy_rows = ours.get(int(original["index"])), theirs.get(int(copy["index"]))
            if rows != copy_rows:
                unlike["refused, the copy decoded" if rows is None else "rows differ from the edition-4 copy"] += 1
                continue
            same_rows += 1
            if ed4_result.get((derived, int(copy["offset"]))) == "identical":
                identical += 1
    print(f"clean edition-3 messages: {total}; same rows as their edition-4 copy (or both refused): {same_rows}; "
          f"identical to ecCodes (copy identical): {identical if a.per_message else 'not computed'}")
    for why, n in unlike.most_common():
        print(f"  {n:6d}  {why}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

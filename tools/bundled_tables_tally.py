#!/usr/bin/env python3
"""How many clean edition-4 messages of the corpus decode as ecCodes does with the bundled tables alone.

    PYTHONPATH=build python tools/bundled_tables_tally.py --ecc-dir DIR [--corpus CORPUS] [--files TSV]

DIR holds ecCodes's views of the corpus files (F.ecc.json, as the corpus tools' run_oracle.py
--only-ecc writes them). Each file's messages are decoded with `decode_values_with_tables` and
the TableSet of build/quorvex/tables, the project's view is compared with ecCodes's by the
corpus tools' compare.py, and every clean message (messages.tsv) that does not match is given
a reason (local descriptors: no local tables are bundled; Table B entries or Table D
sequences of its declared master version that differ from release 45; other) and whether
the decoder refused it or gave other values.
"""

from __future__ import annotations

import argparse
import collections
import csv
import json
import os
import subprocess
import sys
import tempfile

import _quorvex as q


def load_tools(corpus: str):  # type: ignore[no-untyped-def]
    sys.path.insert(0, os.path.join(corpus, "tools"))
    import quorvex_view  # the corpus tools' project view

    return quorvex_view


def is_local(code: int) -> bool:
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    return f in (0, 3) and (x >= 48 or y >= 192)


def reason(data: bytes, bundled: q.TableSet, root: str) -> str:
    msg = q.parse_bytes(data)
    if any(is_local(c) for c in msg.unexpanded_descriptors):
        return "local descriptors in section 3"
    try:
        declared = q.TableSet.from_definitions(root, msg)
        expanded = declared.expand(msg.unexpanded_descriptors)
    except ValueError as e:
        return "declared tables unusable: %s" % e
    if any(is_local(c) for c in expanded):
        return "local descriptors in the expanded template"
    for code in sorted(set(expanded)):
        if code // 100000 != 0:
            continue
        old, new = declared.get_element(code), bundled.get_element(code)
        if new is None:
            return "element %06d not in release 45" % code
        if old is not None and (old.width, old.scale, old.reference) != (new.width, new.scale, new.reference):
            return "Table B entry changed since master version %d" % msg.master_tables_version_number
    try:
        if bundled.expand(msg.unexpanded_descriptors) != expanded:
            return "Table D sequence changed since master version %d" % msg.master_tables_version_number
    except ValueError as e:
        return "release 45 cannot expand the template: %s" % e
    return "other"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ecc-dir", required=True)
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(__file__), "..", "..", "shared", "corpus"))
    ap.add_argument("--files", default=None, help="TSV with a path column (default: the corpus catalog)")
    ap.add_argument("--tables", default=None, help="table directory (default: the built bundled tables)")
    ap.add_argument("--per-message", default=None, help="write path, offset and result of every clean message here")
    ap.add_argument("--definitions", default="/usr/share/eccodes/definitions",
                    help="root whose declared master versions explain differences")
    a = ap.parse_args()
    corpus = os.path.abspath(a.corpus)
    view = load_tools(corpus)
    tables_dir = a.tables
    if tables_dir is None:
        import quorvex._tables as choice

        tables_dir = choice.bundled_dir()
    if tables_dir is None:
        print("no bundled tables found", file=sys.stderr)
        return 2
    bundled = q.TableSet.from_eccodes(tables_dir)
    view.tables_for = lambda _q, _msg, _root, _cache: bundled  # every message: the bundled tables

    clean: dict[str, set[int]] = collections.defaultdict(set)
    with open(os.path.join(corpus, "messages.tsv"), newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["clean"] == "yes" and row["edition"] == "4":
                clean[row["path"]].add(int(row["offset"]))
    with open(a.files or os.path.join(corpus, "catalog.tsv"), newline="") as f:
        paths = [r["path"] for r in csv.DictReader(f, delimiter="\t")]

    total = same = 0
    reasons: collections.Counter[str] = collections.Counter()
    examples: dict[str, str] = {}
    compare = os.path.join(corpus, "tools", "compare.py")
    results: list[tuple[str, int, str]] = []
    for rel in paths:
        offsets = clean.get(rel)
        if not offsets:
            continue
        ecc = os.path.join(a.ecc_dir, rel.replace("/", "__") + ".ecc.json")
        if not os.path.exists(ecc):
            print("%s: no ecCodes view, skipped" % rel, file=sys.stderr)
            continue
        path = os.path.join(corpus, rel)
        with tempfile.NamedTemporaryFile("w", suffix=".qvx.json", delete=False) as out:
            json.dump(view.view_file(q, path, a.definitions, reuse_tables=True), out)
        report = subprocess.run([sys.executable, compare, ecc, out.name, "--quiet"],
                                capture_output=True, text=True).stdout
        os.unlink(out.name)
        bad = {}
        for line in report.splitlines():
            status, _, rest = line.partition(" @")
            if status in ("DIFFER", "FAILED"):
                offset, _, text = rest.partition(": ")
                bad[int(offset)] = (status, text)
        buf = open(path, "rb").read()
        total += len(offsets)
        for offset in sorted(offsets):
            if offset not in bad:
                same += 1
                results.append((rel, offset, "identical"))
                continue
            length = int.from_bytes(buf[offset + 4:offset + 7], "big")
            status, text = bad[offset]
            why = "%s, %s" % (reason(buf[offset:offset + length], bundled, a.definitions),
                              "values differ" if status == "DIFFER" else "refused")
            reasons[why] += 1
            results.append((rel, offset, why))
            examples.setdefault(why, "%s @%d: %s" % (rel, offset, text[:160]))
    print("clean edition-4 messages: %d; identical to ecCodes with the bundled tables alone: %d; differ: %d"
          % (total, same, total - same))
    for why, n in reasons.most_common():
        print("  %6d  %s  (e.g. %s)" % (n, why, examples[why]))
    if a.per_message:
        with open(a.per_message, "w", newline="") as f:
            out = csv.writer(f, delimiter="\t")
            out.writerow(["path", "offset", "result"])
            out.writerows(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())

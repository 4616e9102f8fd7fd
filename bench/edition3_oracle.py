#!/usr/bin/env python3
"""Edition 2 and 3 messages decoded by the quorvex package against ecCodes, message by
message, with the corpus tools (../shared/corpus/tools): ecCodes's view of each file comes
from eccodes_view.py (run with an interpreter that has the ecCodes bindings), the
package's view from quorvex._engine (read_header, and the columns of decode split by their
subset column), and compare.py's compare_message judges each pair.

    PYTHONPATH=build:python .venv/bin/python bench/edition3_oracle.py [--out DIR] [FILE ...]

Without files: every raw file of the corpus that holds a clean edition-3 message. Prints
one line per file and the totals over the clean messages of editions 2 and 3.
compare.py leaves out what is not edition 4; here the edition is taken out of the ecCodes
header before the call (both views say 3), so that the rest is compared.
"""
import argparse
import csv
import json
import os
import pathlib
import subprocess
import sys

import pyarrow as pa

from quorvex import _engine
from quorvex._tables import engine_tables

DEFINITIONS = "/usr/share/eccodes/definitions"

# read_header's keys under the names the views use.
HEADER = {
    "edition": "edition", "master_table_number": "master_table_number", "centre": "originating_centre",
    "sub_centre": "originating_subcentre", "update_sequence_number": "update_sequence_number",
    "section2_present": "local_section_present", "data_category": "data_category",
    "international_sub_category": "international_data_subcategory",
    "local_sub_category": "local_data_subcategory", "master_table_version": "master_tables_version_number",
    "local_table_version": "local_tables_version_number", "typical_year": "typical_year",
    "typical_month": "typical_month", "typical_day": "typical_day", "typical_hour": "typical_hour",
    "typical_minute": "typical_minute", "typical_second": "typical_second",
    "number_of_subsets": "number_of_subsets", "observed": "observed_data", "compressed": "compressed_data",
    "descriptors": "unexpanded_descriptors",
}


def engine_view(path, tables):
    data = pathlib.Path(path).read_bytes()
    found = _engine.scan(data)
    whole = [(0, i, o, n) for i, (o, n, e) in enumerate(found) if e is None]
    batch, bad = _engine.decode([data], whole, tables, 2)
    failed = {i: text for i, _, text in bad}
    table = pa.table(batch)
    cols = {n: table.column(n).to_pylist() for n in ("message", "subset", "descriptor", "value", "text", "raw")}
    rows = {}
    for m, s, d, v, t, r in zip(*cols.values()):
        entry = [d, t] if r is None else ([d, v, "raw=%d" % r] if d < 100000 and d // 1000 == 31 else [d, v])
        rows.setdefault(m, {}).setdefault(s, []).append(entry)
    messages = []
    for i, (offset, length, error) in enumerate(found):
        rec = {"offset": offset, "header": None, "error": None, "subsets": None, "notes": {}}
        messages.append(rec)
        if error is not None:
            rec["error"] = "scan: " + error
            continue
        try:
            header = _engine.read_header(data, offset, length)
        except ValueError as e:
            rec["error"] = "parse: %s" % e
            continue
        rec["header"] = {HEADER[k]: v for k, v in header.items() if k in HEADER}
        if i in failed:
            rec["error"] = "decode: " + failed[i]
            continue
        per_subset = rows.get(i, {})
        rec["subsets"] = [per_subset.get(s, []) for s in range(header["number_of_subsets"])]
    return {"tool": "quorvex", "file": os.path.abspath(path), "messages": messages}


def eccodes_view(path, out_dir, ecc_python, tools):
    cached = out_dir / (pathlib.Path(path).name + ".ecc.json")
    if not cached.exists() or cached.stat().st_mtime < os.path.getmtime(path):
        with open(cached, "w") as f:
            subprocess.run([ecc_python, str(tools / "eccodes_view.py"), str(path)], stdout=f, check=True)
    with open(cached) as f:
        return json.load(f)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("files", nargs="*")
    ap.add_argument("--corpus", default="/work/shared/corpus")
    ap.add_argument("--out", default="bench/out/edition3")
    ap.add_argument("--ecc-python", default="/usr/bin/python3")
    a = ap.parse_args()
    corpus = pathlib.Path(a.corpus)
    tools = corpus / "tools"
    sys.path.insert(0, str(tools))
    import compare  # noqa: E402 (the corpus tool)

    with open(corpus / "messages.tsv", newline="") as f:
        clean = {(r["path"], int(r["offset"])) for r in csv.DictReader(f, delimiter="\t")
                 if r["edition"] in ("2", "3") and r["clean"] == "yes" and r["offset"]}
    files = a.files or sorted({str(corpus / p) for p, _ in clean if p.startswith("raw/")})
    out_dir = pathlib.Path(a.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    tables = engine_tables(DEFINITIONS)
    opts = argparse.Namespace(keep_operators=False, rel=1e-9, max_diffs=3, quiet=True)
    totals, accepted = {}, {}
    for path in files:
        rel = os.path.relpath(path, corpus)
        ve = eccodes_view(path, out_dir, a.ecc_python, tools)
        vq = engine_view(path, tables)
        by_offset = {m["offset"]: m for m in vq["messages"]}
        counts = {}
        for me in ve["messages"]:
            if (rel, me["offset"]) not in clean:
                continue
            mq = by_offset.get(me["offset"], {"error": "not found by the scan"})
            me = dict(me, header=dict(me.get("header") or {}, edition=None))
            status, text, details = compare.compare_message(me, mq, opts, accepted)
            counts[status] = counts.get(status, 0) + 1
            if status != "MATCH":
                print("  %s @%d %s: %s %s" % (rel, me["offset"], status, text, "; ".join(details)))
        for k, v in counts.items():
            totals[k] = totals.get(k, 0) + v
        print("%s: %s" % (rel, ", ".join("%s %d" % kv for kv in sorted(counts.items()))), flush=True)
    print("edition 2/3 clean messages: " + ", ".join("%s %d" % kv for kv in sorted(totals.items())))
    if accepted:
        print("differences the comparison accepts: " + ", ".join("%s %d" % kv for kv in sorted(accepted.items())))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Memory of the columnar engine, each figure from a fresh process (ru_maxrss):

  * read_arrow: bytes of the resulting table per value, and the process's peak over the
    table's size;
  * iter_batches: the peak while iterating (each batch dropped once counted) over the
    first quarter, half and whole of a file: flat when the three peaks agree.

    PYTHONPATH=build:python .venv/bin/python bench/engine_memory.py [FILE] [--max-messages K] [--json OUT]

--max-messages takes the first K messages as the whole file (the fractions are of those);
--json writes the figures as JSON too (bench/compare/run.py reads them).
"""
import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, resource, sys
import quorvex
from quorvex import _engine
path, mode, fraction, cap = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
data = open(path, "rb").read()
found = _engine.scan(data)
if cap > 0:
    found = found[:cap]
n = max(1, int(len(found) * fraction))
end = found[n - 1][0] + found[n - 1][1]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
view = memoryview(data)[:end]
if mode == "read":
    t = quorvex.read_arrow(view, tables="/usr/share/eccodes/definitions", on_bad_message="skip", threads=1)
    rows, nbytes = t.num_rows, t.nbytes
    text = sum(c.buffers()[2].size for c in t.column("text").chunks if c.buffers()[2] is not None)
else:
    rows = nbytes = text = 0
    for b in quorvex.iter_batches(view, tables="/usr/share/eccodes/definitions", on_bad_message="skip", threads=1):
        rows += b.num_rows
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"messages": n, "rows": rows, "table_bytes": nbytes, "text_bytes": text,
                  "rss_before_kb": base, "peak_kb": peak}))
"""


def child(path, mode, fraction, cap):
    out = subprocess.run([sys.executable, "-c", CHILD, path, mode, str(fraction), str(cap)], capture_output=True,
                         text=True, check=True, env=os.environ)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("file", nargs="?", default="/work/shared/corpus/bench/mixed_ed4.bufr")
    ap.add_argument("--max-messages", type=int, default=0, help="only the first K messages of the file (0: all)")
    ap.add_argument("--json", default=None, help="also write the figures to this JSON file")
    args = ap.parse_args()
    path = args.file
    r = child(path, "read", 1.0, args.max_messages)
    per_value = r["table_bytes"] / r["rows"]
    print("read_arrow %s: %d values, table %.1f B/value (%.1f B/value without text octets), "
          "process peak above start %.1f B/value"
          % (os.path.basename(path), r["rows"], per_value, (r["table_bytes"] - r["text_bytes"]) / r["rows"],
             (r["peak_kb"] - r["rss_before_kb"]) * 1024 / r["rows"]))
    figures = {"file": path, "max_messages": args.max_messages, "read": r, "iter": []}
    for fraction in (0.25, 0.5, 1.0):
        r = child(path, "iter", fraction, args.max_messages)
        r["fraction"] = fraction
        figures["iter"].append(r)
        print("iter_batches over %3d%% (%d messages, %d values): peak %.0f MB above the file read (%.0f MB)"
              % (fraction * 100, r["messages"], r["rows"], (r["peak_kb"] - r["rss_before_kb"]) / 1024,
                 r["rss_before_kb"] / 1024))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Memory of the columnar engine, each figure from a fresh process (ru_maxrss):

  * read_arrow: bytes of the resulting table per value, and the process's peak over the
    table's size;
  * iter_batches: the peak while iterating (each batch dropped once counted) over the
    first quarter, half and whole of a file: flat when the three peaks agree.

    PYTHONPATH=build:python .venv/bin/python bench/engine_memory.py [FILE]
"""
import json
import os
import resource
import subprocess
import sys

CHILD = r"""
import json, resource, sys
import quorvex
from quorvex import _engine
path, mode, fraction = sys.argv[1], sys.argv[2], float(sys.argv[3])
data = open(path, "rb").read()
found = _engine.scan(data)
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


def child(path, mode, fraction):
    out = subprocess.run([sys.executable, "-c", CHILD, path, mode, str(fraction)], capture_output=True, text=True,
                         check=True, env=os.environ)
    return json.loads(out.stdout)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/work/shared/corpus/bench/mixed_ed4.bufr"
    r = child(path, "read", 1.0)
    per_value = r["table_bytes"] / r["rows"]
    print("read_arrow %s: %d values, table %.1f B/value (%.1f B/value without text octets), "
          "process peak above start %.1f B/value"
          % (os.path.basename(path), r["rows"], per_value, (r["table_bytes"] - r["text_bytes"]) / r["rows"],
             (r["peak_kb"] - r["rss_before_kb"]) * 1024 / r["rows"]))
    for fraction in (0.25, 0.5, 1.0):
        r = child(path, "iter", fraction)
        print("iter_batches over %3d%% (%d messages, %d values): peak %.0f MB above the file read (%.0f MB)"
              % (fraction * 100, r["messages"], r["rows"], (r["peak_kb"] - r["rss_before_kb"]) / 1024,
                 r["rss_before_kb"] / 1024))


if __name__ == "__main__":
    main()

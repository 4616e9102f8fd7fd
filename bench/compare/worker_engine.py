#!/usr/bin/env python3
"""The columnar engine of the quorvex package (build dir and python/ on PYTHONPATH):
quorvex.read_arrow over the whole file into one pyarrow Table, with --threads threads,
tables chosen per message from the definitions root. One call decodes every message, so
the time of each message is its share of the call by value count (a message's rows);
a message the engine refuses gets none."""
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import worker_common as wc  # noqa: E402

DEFINITIONS = os.environ.get("QUORVEX_BENCH_DEFINITIONS", "/usr/share/eccodes/definitions")


def main():
    threads = 1
    if "--threads" in sys.argv:
        k = sys.argv.index("--threads")
        threads = int(sys.argv[k + 1])
        del sys.argv[k:k + 2]
    import pyarrow.compute as pc

    import quorvex
    args = wc.parse_args(__doc__)
    run = wc.Run("engine_t%d" % threads, "dev", args)
    end = run.views[run.limit - 1][0] + run.views[run.limit - 1][1] if run.limit else 0
    source = memoryview(run.buf)[:end]
    t0 = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = quorvex.read_arrow(source, tables=DEFINITIONS, threads=threads, on_bad_message="warn")
    wall = time.perf_counter() - t0
    run._timed = wall
    run.finish()  # the bookkeeping below is the harness's, not the engine's
    counts = {}
    for chunk in table.column("message").chunks:
        for item in pc.value_counts(chunk).to_pylist():
            counts[item["values"]] = counts.get(item["values"], 0) + item["counts"]
    bad = {w.message.message_index: str(w.message) for w in caught if isinstance(w.message, quorvex.BadMessageWarning)}
    rows = table.num_rows
    for i in range(run.limit):
        if i in bad:
            run.msg_wall.append(None)
            run.msg_values.append(0)
            run.failed += 1
            run.first_error = run.first_error or "message %d: %s" % (i, bad[i])
        else:
            n = counts.get(i, 0)
            run.msg_wall.append(wall * n / rows if rows else 0.0)
            run.msg_values.append(n)
            run.own_values += n
            run.ok += 1
    run.extra = {"threads": threads, "table_bytes": table.nbytes, "rows": rows,
                 "bytes_per_value": table.nbytes / rows if rows else None}
    del table
    run.write()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""This project's module (run with the CPython 3.12 it is built for, _quorvex on
PYTHONPATH or --module-dir): per message decode_values_with_tables on the message's own
octets, tables loaded once per distinct table selection with TableSet.from_definitions.
Headers come from one parse_all_bytes call over the file (timed, as setup)."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import worker_common as wc  # noqa: E402

DEFINITIONS = os.environ.get("QUORVEX_BENCH_DEFINITIONS", "/usr/share/eccodes/definitions")


def main():
    if "--module-dir" in sys.argv:
        k = sys.argv.index("--module-dir")
        sys.path.insert(0, sys.argv[k + 1])
        del sys.argv[k:k + 2]
    import _quorvex as q
    args = wc.parse_args(__doc__)
    run = wc.Run("quorvex", getattr(q, "__version__", "dev"), args)
    buf = run.buf
    records = q.parse_all_bytes(buf)
    if len(records) != len(run.views):
        sys.exit("parse_all_bytes found %d messages, the scan %d" % (len(records), len(run.views)))
    tables = {}
    table_seconds = [0.0]
    run.checkpoint_extra = lambda: {"table_sets": len(tables)}
    for i, (off, length) in run.messages():
        t0 = time.perf_counter()
        msg = records[i]
        key = (msg.master_table_number, msg.master_tables_version_number, msg.local_tables_version_number,
               msg.originating_centre, msg.originating_subcentre)
        try:
            ts = tables.get(key)
            if ts is None:
                tl = time.perf_counter()
                ts = tables[key] = q.TableSet.from_definitions(DEFINITIONS, msg)
                table_seconds[0] += time.perf_counter() - tl
            values = q.decode_values_with_tables(buf[off:off + length], ts)
        except ValueError as e:
            run.fail(i, t0, e)
            continue
        run.done(i, t0, len(values), 0)
        del values
    run.finish()
    run.extra = {"table_sets": len(tables), "table_load_wall": table_seconds[0]}
    run.extra.update(object_floor(run))
    run.write()


def object_floor(run):
    """The floor: making (and freeing) as many DecodedValue objects as each message gave,
    message by message, with nothing decoded, through the module's own conversion
    (_quorvex_floor.floor_seconds, the floor of bench/decode_throughput.py, built beside
    _quorvex by -DQUORVEX_BENCH=ON; 64 distinct names per message, as there). Measured
    once, after the timed run."""
    try:
        import _quorvex_floor as floor
    except ImportError as e:
        return {"floor_error": "no _quorvex_floor module (%s)" % e}
    seconds = 0.0
    w0, c0 = time.perf_counter(), time.process_time()
    counts = [n for n in run.msg_values if n]
    try:
        seconds = floor.floor_seconds(counts, 64, 1)
    except TypeError:  # an older floor module: one count per call
        for n in counts:
            seconds += floor.floor_seconds(n, min(n, 64), 1)
    w, c = time.perf_counter() - w0, time.process_time() - c0
    return {"floor_wall": seconds, "floor_objects": sum(run.msg_values),
            "floor_cpu_factor": min(1.0, c / w) if w > 0 else 1.0}


if __name__ == "__main__":
    main()

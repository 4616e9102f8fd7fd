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


def key_of(msg):
    """The header fields that select the tables."""
    return (msg.master_table_number, msg.master_tables_version_number, msg.local_tables_version_number,
            msg.originating_centre, msg.originating_subcentre)


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
        key = key_of(msg)
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
        n = len(values)
        del values  # freeing the objects is part of the message's cost
        run.done(i, t0, n, 0)
    run.finish()
    run.extra = {"table_sets": len(tables), "table_load_wall": table_seconds[0]}
    # For the floor: how many distinct name strings each message's objects share (one str per
    # distinct name, made by the TableSet), from a second, untimed decode of every message.
    names = []
    for i, (off, length) in enumerate(run.views[:len(run.msg_wall)]):
        if run.msg_wall[i] is not None:
            values = q.decode_values_with_tables(buf[off:off + length], tables[key_of(records[i])])
            names.append(len({id(v.name) for v in values}))
            values = None
    run.extra.update(object_floor(run, names))
    run.write()


def object_floor(run, names):
    """The floor: making (and freeing) as many DecodedValue objects as each decoded message
    gave, message by message, names shared as in the message (their strs made beforehand, as
    the TableSet makes them), with nothing decoded, through
    the module's own conversion (_quorvex_floor.floor_seconds, the floor of
    bench/decode_throughput.py, built beside _quorvex by -DQUORVEX_BENCH=ON). Measured once,
    after the timed run; only the conversion and the freeing are timed inside it."""
    try:
        import _quorvex_floor as floor
    except ImportError as e:
        return {"floor_error": "no _quorvex_floor module (%s)" % e}
    decoded = [v for v, w in zip(run.msg_values, run.msg_wall) if w is not None]  # names[] follows these
    pairs = [(n, d) for n, d in zip(decoded, names) if n]
    counts = [n for n, _ in pairs]
    distinct = [max(1, d) for _, d in pairs]
    w0, c0 = time.perf_counter(), time.process_time()
    try:  # floor_seconds(counts, distinct names per message, repeats)
        seconds = floor.floor_seconds(counts, distinct, 1)
    except TypeError:
        try:  # an earlier form: one name count for every message
            seconds = floor.floor_seconds(counts, 64, 1)
        except TypeError as e:
            return {"floor_error": "_quorvex_floor.floor_seconds: %s" % e}
    w, c = time.perf_counter() - w0, time.process_time() - c0
    return {"floor_wall": seconds, "floor_objects": sum(counts),
            "floor_cpu_factor": min(1.0, c / w) if w > 0 else 1.0}


if __name__ == "__main__":
    main()

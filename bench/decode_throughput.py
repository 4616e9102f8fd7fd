#!/usr/bin/env python3
"""Decode throughput: values decoded per second through decode_values_with_tables, against
the floor of merely making (and freeing) the same DecodedValue objects.

    PYTHONPATH=BUILD python bench/decode_throughput.py [FILE ...] [--definitions ROOT]
                                                       [--repeat N] [--limit N]

BUILD is a build directory configured with -DQUORVEX_BENCH=ON: it holds _quorvex and the
benchmark-only module _quorvex_floor. FILEs default to the corpus benchmark files. Each
file is cut into messages as the module's scan cuts them; the tables of each message come
from TableSet.from_definitions, loaded once per set of table numbers (master table, master
and local versions, centre, sub-centre) and outside the timing. The timed loop calls
decode_values_with_tables once per message and drops the list at once, so the time covers
scan, parse, decode, conversion into Python objects and freeing them. The floor makes, for
each message in turn, a list of as many DecodedValue objects as that message decodes to,
with as many distinct names, through the same conversion, and frees it. Messages that
fail to decode are left out of both and counted.
"""
import argparse
import glob
import os
import sys
import time

import _quorvex

try:
    import _quorvex_floor
except ImportError:  # built only with -DQUORVEX_BENCH=ON
    _quorvex_floor = None

CORPUS_BENCH = "/work/shared/corpus/bench"
DEFINITIONS = "/usr/share/eccodes/definitions"


def split_messages(buf):
    out = []
    p = 0
    while len(buf) - p >= 4:
        k = buf.find(b"BUFR", p)
        if k < 0 or k + 8 > len(buf):
            break
        length = int.from_bytes(buf[k + 4:k + 7], "big")
        if length == 0 or k + length > len(buf):
            break
        out.append(buf[k:k + length])
        p = k + length
    return out


def table_key(m):
    return (m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
            m.originating_centre, m.originating_subcentre)


def prepare(path, definitions, tables_cache, limit):
    """(message octets, TableSet, value count, distinct names) of every message that
    decodes; the number of messages that fail."""
    work, failed = [], 0
    for octets in split_messages(open(path, "rb").read())[:limit]:
        try:
            record = _quorvex.parse_bytes(octets)
            key = table_key(record)
            if key not in tables_cache:
                tables_cache[key] = _quorvex.TableSet.from_definitions(definitions, record)
            tables = tables_cache[key]
            values = _quorvex.decode_values_with_tables(octets, tables)
        except ValueError:
            failed += 1
            continue
        # One str per distinct table name of a call: count them by identity.
        work.append((octets, tables, len(values), len({id(v.name) for v in values})))
    return work, failed


def time_decode(work, repeat):
    decode = _quorvex.decode_values_with_tables
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for octets, tables, _n, _names in work:
            decode(octets, tables)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("files", nargs="*")
    ap.add_argument("--definitions", default=DEFINITIONS)
    ap.add_argument("--repeat", type=int, default=3, help="best of N rounds (default 3)")
    ap.add_argument("--limit", type=int, default=None, help="first N messages of each file")
    a = ap.parse_args()
    files = a.files or sorted(glob.glob(os.path.join(CORPUS_BENCH, "*.bufr")))
    if _quorvex_floor is None:
        print("note: _quorvex_floor not found (configure with -DQUORVEX_BENCH=ON): no floor",
              file=sys.stderr)
    tables_cache = {}
    total_values = total_decode = total_floor = 0.0
    print("%-32s %8s %11s %9s %12s %12s %6s" % ("file", "messages", "values", "failed",
                                                "decode Mv/s", "floor Mv/s", "ratio"))
    for path in files:
        work, failed = prepare(path, a.definitions, tables_cache, a.limit)
        values = sum(w[2] for w in work)
        decode_s = time_decode(work, a.repeat)
        floor_s = (_quorvex_floor.floor_seconds([w[2] for w in work], [w[3] for w in work],
                                                a.repeat) if _quorvex_floor else float("nan"))
        total_values += values
        total_decode += decode_s
        total_floor += floor_s
        print("%-32s %8d %11d %9d %12.2f %12.2f %6.2f" % (
            os.path.basename(path), len(work), values, failed, values / decode_s / 1e6,
            values / floor_s / 1e6, decode_s / floor_s), flush=True)
    print("%-32s %8s %11d %9s %12.2f %12.2f %6.2f" % (
        "all", "", total_values, "", total_values / total_decode / 1e6,
        total_values / total_floor / 1e6, total_decode / total_floor))
    print("ratio = decode time / floor time (the aim: at most 2)")


if __name__ == "__main__":
    main()

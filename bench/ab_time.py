#!/usr/bin/env python3
"""CPU seconds of one build of the module on one benchmark file, best of N rounds in this
process: for comparing two builds (run them in alternating processes; this shared machine
moves by up to 2x from process to process).

    python bench/ab_time.py BUILD_DIR FILE decode [ROUNDS]   # decode_values_with_tables, every message
    python bench/ab_time.py BUILD_DIR FILE tables [ROUNDS]   # TableSet.from_definitions, every distinct selection

The same commands under `valgrind --tool=callgrind --toggle-collect=...` give instruction
counts, which do not move with the machine's load.
"""
import sys
import time

build, path, what = sys.argv[1], sys.argv[2], sys.argv[3]
rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 7
sys.path.insert(0, build)
import _quorvex as q  # noqa: E402

DEFINITIONS = "/usr/share/eccodes/definitions"
buf = open(path, "rb").read()
records = q.parse_all_bytes(buf)
firsts, tables, work = {}, {}, []
offset = 0
for m in records:
    key = (m.master_table_number, m.master_tables_version_number, m.local_tables_version_number,
           m.originating_centre, m.originating_subcentre)
    offset = buf.index(b"BUFR", offset)
    if key not in firsts:
        try:
            tables[key] = q.TableSet.from_definitions(DEFINITIONS, m)
            firsts[key] = m
        except ValueError:  # a selection whose tables do not load: its messages are left out
            tables[key] = None
    if tables[key] is not None:
        work.append((buf[offset:offset + m.total_length], tables[key]))
    offset += m.total_length

best = float("inf")
for _ in range(rounds):
    t0 = time.process_time()
    if what == "tables":
        for m in firsts.values():
            q.TableSet.from_definitions(DEFINITIONS, m)
    else:
        for octets, ts in work:
            try:
                values = q.decode_values_with_tables(octets, ts)
                del values
            except ValueError:
                pass
    best = min(best, time.process_time() - t0)
print("%s %s %s: best of %d rounds %.4f CPU s (%d messages, %d table sets)"
      % (build, path.rsplit("/", 1)[-1], what, rounds, best, len(work), len(firsts)))

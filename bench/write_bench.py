"""Writing BUFR from tables: quorvex.write_bufr against ecCodes's Python path (codes_set per key,
then pack, as csv2bufr and wis2box write) and ecCodes C (codes_set_* then pack), on the same
messages of the benchmark files. Each message is first decoded into a table (one row per subset,
columns #n#key, its delayed replication factors as columns); only the writing is timed. quorvex
writes a file's table as a user would: one call per template (descriptors, header and subsets
per message) over the union of its messages' columns; ecCodes sets every message's keys one by
one. Ratios from one run; writes bench/WRITE.md.

  python bench/write_bench.py --corpus DIR --eccodes-python /usr/bin/python3 --eccodes-encode BIN

Messages of one subset are taken from the synop and temp files (ecCodes numbers the keys of
uncompressed messages across subsets, so one subset keeps both sides' keys the same), and
compressed messages from the satellite file. Both sides are given the same values: the elements,
the delayed replication factors, the data-present indicators of the bitmaps (to ecCodes as
inputDataPresentIndicator, before the descriptors) and the quality information a 2-22 bitmap
selects (to ecCodes by the key of the element it qualifies, #n#key->percentConfidence). Messages
quorvex refuses (values of 2-23 .. 2-25 and 2-32 that a bitmap selects are not written from a
table; found by writing each message alone, untimed), and those ecCodes cannot make, are left out
of both sides and counted: every ratio is over the same messages. Each union call must write the
octets of its messages written one by one, or the bench stops."""
import argparse
import collections
import json
import math
import pathlib
import subprocess
import sys
import tempfile
import time

import pandas as pd
import pyarrow as pa

import quorvex
from quorvex import _engine

HERE = pathlib.Path(__file__).resolve().parent
FILES = [("synop", "synop_ed4.bufr", False), ("temp", "temp_ed4.bufr", False),
         ("satellite", "satellite_compressed_ed4.bufr", True)]
FACTORS = {31000: "inputShortDelayedDescriptorReplicationFactor", 31001: "inputDelayedDescriptorReplicationFactor",
           31002: "inputExtendedDelayedDescriptorReplicationFactor"}
HEADER = {"centre": "bufrHeaderCentre", "sub_centre": "bufrHeaderSubCentre", "data_category": "dataCategory",
          "master_table_version": "masterTablesVersionNumber", "local_table_version": "localTablesVersionNumber",
          "typical_year": "typicalYear", "typical_month": "typicalMonth", "typical_day": "typicalDay",
          "typical_hour": "typicalHour", "typical_minute": "typicalMinute"}


def tables_of(path, compressed, limit):
    """(header dict, descriptors, subsets, frame, factors, texts) of the first `limit` suitable messages."""
    octets = path.read_bytes()
    tables = _engine.Tables(None)
    chosen = []
    for offset, length, error in _engine.scan(octets):
        if error is not None:
            continue
        h = _engine.read_header(octets, offset, length)
        if h["compressed"] != compressed or (not compressed and h["number_of_subsets"] != 1):
            continue
        chosen.append((offset, length, h))
        if len(chosen) == limit:
            break
    # Decoded a few messages at a time: a long table of a thousand satellite messages, one row per
    # value, would not fit in memory.
    out = []
    for start in range(0, len(chosen), 25):
        out += frames_of(octets, tables, chosen[start:start + 25])
    return out


def frames_of(octets, tables, chosen):
    """tables_of's tuples of the messages `chosen` ((offset, length, header) each)."""
    refs = [(0, k, o, n) for k, (o, n, _) in enumerate(chosen)]
    batch, _ = _engine.decode([octets], refs, tables, 2, True, None)
    everything = pa.table(batch).select(["message", "subset", "key", "value", "text", "role", "descriptor"]).to_pandas()
    # Elements, factors, bitmaps, and the quality values a 2-22 bitmap selects: named by the key of
    # the element they qualify (#n#key, numbered after the element's own) as the reader names them,
    # percentages of confidence (which the reader names by their own key) as ecCodes names them
    # (#r#key->percentConfidence), as the writer takes both. The values of 2-23 .. 2-25 (their
    # operator's code) are not written from a table: left out.
    everything["own"] = None
    quality = (everything["role"] == "attribute") & (everything["descriptor"] < 200000)
    for index, rows in everything[quality].groupby("message"):
        table_set = tables.table_set(octets, chosen[index][0], chosen[index][1])
        elements = {code: table_set.get_element(int(code)) for code in set(rows["descriptor"])}
        everything.loc[rows.index, "own"] = rows["descriptor"].map(
            lambda code, elements=elements: elements[code].abbreviation if elements[code] else None)
    quality &= everything["own"].notna()
    everything["kept"] = (everything["role"].isin(["element", "replication_factor", "bitmap"]) | quality) & \
        everything["key"].notna()
    first = everything[everything["subset"] == 0]
    attributes = {index: attribute_names(zip(part["role"], part["key"], part["own"], part["kept"],
                                             part["descriptor"], part["value"]))
                  for index, part in first.groupby("message", sort=True)}
    long = everything[everything["kept"]].copy()
    long["n"] = long.groupby(["message", "subset", "key"]).cumcount() + 1
    out = []
    for index, part in long.groupby("message", sort=True):
        _, _, h = chosen[index]
        factors = part[(part["role"] == "replication_factor") & (part["subset"] == 0)]
        cells = collections.defaultdict(dict)
        texts = set()
        for subset, key, n, value, text in zip(part["subset"], part["key"], part["n"], part["value"], part["text"]):
            cells[f"#{n}#{key}"][subset] = text if isinstance(text, str) else value
            if isinstance(text, str):
                texts.add(f"#{n}#{key}")
        # A quality value named by its own key, by the element it qualifies (left out where none).
        own = set(f"#{n}#{key}" for key, n, role, named in zip(part["key"], part["n"], part["role"], part["own"])
                  if role == "attribute" and key == named)
        cells = {attributes[index].get(name, name) if name in own else name: column
                 for name, column in cells.items() if name not in own or name in attributes[index]}
        rows = range(h["number_of_subsets"])
        frame = pd.DataFrame({name: [column.get(s) for s in rows] for name, column in cells.items()})
        out.append((h, frame, list(zip(factors["descriptor"], factors["value"])), texts,
                    set(part.loc[part["role"] == "replication_factor", "key"].map(str)), attributes[index]))
    return out


# The operators after which a bitmap follows, or the last one defined is used again.
BITMAP_OPERATORS = {222000, 223000, 224000, 225000, 232000}


def attribute_names(rows):
    """The names ecCodes gives the quality values of a subset ((role, key, own key, kept, descriptor,
    value) in walk order): {"#20#brightnessTemperature": "#1#brightnessTemperature->noiseEquival..."},
    the frame's column of each value kept named by the element its bitmap selects (a bitmap of N
    entries covers the last N elements and factors before its operator; entries 0 select)."""
    history, ranks, columns, names = [], collections.Counter(), collections.Counter(), {}
    point, bitmap, bitmap_point, selected, cursor, fresh = 0, [], 0, [], 0, False
    for role, key, own, kept, descriptor, value in rows:
        if kept:
            columns[key] += 1
        if role in ("element", "replication_factor"):
            ranks[key] += 1
            history.append(f"#{ranks[key]}#{key}" if role == "element" else None)
        elif role == "operator" and descriptor in BITMAP_OPERATORS:
            point, cursor, fresh = len(history), 0, True
        elif role == "bitmap":
            if fresh:
                bitmap, bitmap_point, fresh = [], point, False
            bitmap.append(value)
            selected = [history[bitmap_point - len(bitmap) + i] for i, v in enumerate(bitmap) if v == 0]
        elif role == "attribute":
            # (the percentage of confidence of a replication factor is left out: quorvex does not
            # place it)
            if kept and cursor < len(selected) and selected[cursor] is not None:
                names[f"#{columns[key]}#{key}"] = f"{selected[cursor]}->{own}"
            cursor += 1
    return names


def eccodes_input(messages, compressed, path):
    with open(path, "w") as f:
        for h, frame, factors, texts, factor_keys, attributes in messages:
            d = h["descriptors"]
            f.write(f"m {h['number_of_subsets']} {int(compressed)} {len(d)} {' '.join(map(str, d))}\n")
            for name, key in HEADER.items():
                f.write(f"h {key} {h[name]}\n")
            arrays = collections.defaultdict(list)
            for code, value in factors:
                arrays[FACTORS[code]].append(int(value))
            # The bitmaps' data-present indicators, as ecCodes takes them: one array set before the
            # descriptors (it lays out the bitmaps from it), subset 0's in walk order; a missing
            # one is 1, "no value", as quorvex writes it.
            indicators = sorted((int(c.split("#")[1]), c) for c in frame.columns
                                if c.split("#")[2] == "dataPresentIndicator")
            if indicators:
                arrays["inputDataPresentIndicator"] = [
                    1 if v is None or (isinstance(v, float) and math.isnan(v)) else int(v)
                    for v in (frame[c].iloc[0] for _, c in indicators)]
            for key, values in arrays.items():
                f.write(f"a {key} {len(values)} {' '.join(map(str, values))}\n")
            for column in frame.columns:
                if column.split("#")[2] in factor_keys or column.split("#")[2] == "dataPresentIndicator":
                    continue
                values = frame[column].tolist()
                if column in texts:
                    if values[0] is not None and len(values) == 1:
                        f.write(f"s {column} {values[0]}\n")
                    continue
                numbers = ["nan" if v is None or (isinstance(v, float) and math.isnan(v)) else repr(float(v))
                           for v in values]
                if all(n == "nan" for n in numbers):
                    # Left unset, it is missing as it is; set as numbers, a text key (all missing: it
                    # is told from the values only) would make ecCodes fail at pack.
                    continue
                f.write(f"n {attributes.get(column, column)} {len(numbers)} {' '.join(numbers)}\n")


def run_quorvex(messages, compressed):
    """Seconds of writing every message as a user writes a file's table: one call per template
    (descriptors, header fields and subsets per message), given the union of its messages'
    columns (a cell is missing where a message has no such key; the delayed replication factors
    are columns of it). One message per subset for the uncompressed files, the typical time from
    each row's #1#year ...; the compressed messages' typical times are columns of the table
    (typicalYear ..., one value per message), as their header keys. Messages quorvex refuses are
    found first, each written alone (untimed), and left out. Returns the seconds, the messages
    kept (in the order written) and the octets written."""
    alone, templates = [], collections.defaultdict(list)
    for m in messages:
        h, frame = m[0], m[1]
        header = {HEADER[k]: h[k] for k in HEADER if not k.startswith("typical")}
        typical = {HEADER[k]: h[k] for k in HEADER if k.startswith("typical") and compressed}
        try:
            written = quorvex.write_bufr(frame, descriptors=list(h["descriptors"]), header=header | typical,
                                         compressed=compressed, subsets_per_message=h["number_of_subsets"])
        except ValueError:
            continue
        alone.append(written)
        key = (tuple(h["descriptors"]), tuple(header.items()), h["number_of_subsets"])
        templates[key].append((m, frame.assign(**typical) if typical else frame, len(alone) - 1))
    kept, seconds, octets = [], 0.0, []
    for (descriptors, header, subsets), group in templates.items():
        table = pd.concat([frame for _, frame, _ in group], ignore_index=True)
        start = time.perf_counter()
        written = quorvex.write_bufr(table, descriptors=list(descriptors), header=dict(header),
                                     compressed=compressed, subsets_per_message=subsets)
        seconds += time.perf_counter() - start
        # The union table writes what its messages write one by one; anything else would time
        # other work than the messages counted.
        if written != b"".join(alone[k] for _, _, k in group):
            raise SystemExit(f"the table of {len(group)} messages with descriptors {list(descriptors)[:4]}... "
                             "writes other octets than its messages written one by one")
        kept.extend(m for m, _, _ in group)
        octets.append(written)
    return seconds, kept, b"".join(octets)


def data_sections(octets):
    """Section 4 of each edition-4 message in `octets`, in order."""
    out = []
    for offset, length, error in _engine.scan(octets):
        if error is None:
            at = offset + 8
            for _ in range(2):  # sections 1 and 3 (none 2 is written by either side)
                at += int.from_bytes(octets[at:at + 3], "big")
            out.append(octets[at:at + int.from_bytes(octets[at:at + 3], "big")])
    return out


def run_eccodes(args, work, name, kept, compressed):
    """Seconds of ecCodes's Python and C sides writing `kept` (None when a side failed), and the
    indices of the messages either side could not make."""
    source = work / f"{name}.txt"
    eccodes_input(kept, compressed, source)
    results, failed = {}, set()
    for side, command in (("python", [args.eccodes_python, str(HERE / "compare" / "eccodes_encode.py")]),
                          ("c", [args.eccodes_encode])):
        run = subprocess.run([*command, str(source), str(work / f"{name}.{side}.bufr")], capture_output=True,
                             text=True)
        if run.returncode != 0:
            print(f"{name}: ecCodes {side} failed: {run.stderr[-400:]}", file=sys.stderr)
            results[side] = None
            continue
        outcome = json.loads(run.stdout.strip().splitlines()[-1])
        results[side] = outcome["seconds"]
        failed.update(outcome["failed"])
        if outcome["failed"]:
            print(f"{name}: ecCodes {side} could not make {len(outcome['failed'])} messages, the first: "
                  f"{run.stderr.strip().splitlines()[0] if run.stderr.strip() else '?'}", file=sys.stderr)
    return results, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=pathlib.Path, required=True)
    parser.add_argument("--eccodes-python", default="/usr/bin/python3")
    parser.add_argument("--eccodes-encode", required=True, help="the built bench/compare/eccodes_encode.c")
    parser.add_argument("--messages", type=int, default=2000, help="messages per file at the most")
    parser.add_argument("--results", type=pathlib.Path, default=HERE / "WRITE.md")
    args = parser.parse_args()
    load_before = pathlib.Path("/proc/loadavg").read_text().strip()
    lines = ["# Writing BUFR from tables", "",
             f"`make bench-write` ({' '.join(sys.argv[1:])}): seconds of the writing alone, one run.", "",
             "| file | messages written | same section 4 | refused by quorvex | failed in ecCodes | quorvex | "
             "ecCodes Python | ecCodes C | vs Python | vs C |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    with tempfile.TemporaryDirectory() as work:
        for name, file, compressed in FILES:
            messages = tables_of(args.corpus / file, compressed, args.messages)
            seconds, kept, octets = run_quorvex(messages, compressed)
            results, failed = run_eccodes(args, pathlib.Path(work), name, kept, compressed)
            if failed:
                # Messages ecCodes cannot make (the input its keys carry lacks what their templates
                # need) are left out of both sides, and both timed again on the rest.
                seconds, kept, octets = run_quorvex([m for k, m in enumerate(kept) if k not in failed], compressed)
                results, _ = run_eccodes(args, pathlib.Path(work), name, kept, compressed)
            # The same data section from both sides: the same values were given and written.
            theirs = pathlib.Path(work, f"{name}.c.bufr")
            same = sum(a == b for a, b in zip(data_sections(octets),
                                              data_sections(theirs.read_bytes()) if theirs.exists() else []))

            def ratio(other):
                return f"{other / seconds:.1f}x" if other and seconds else "-"

            def shown(value):
                return f"{value:.3f} s" if value is not None else "failed"

            refused = len(messages) - len(kept) - len(failed)
            lines.append(f"| {name} | {len(kept)} | {same} | {refused} | {len(failed)} | "
                         f"{seconds:.3f} s | "
                         f"{shown(results['python'])} | {shown(results['c'])} | {ratio(results['python'])} | "
                         f"{ratio(results['c'])} |")
            print(lines[-1], flush=True)
    lines += ["", f"Load average (/proc/loadavg) at the start: {load_before}; at the end: "
                  f"{pathlib.Path('/proc/loadavg').read_text().strip()}"]
    args.results.write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()

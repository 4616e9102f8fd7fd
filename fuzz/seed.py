#!/usr/bin/env python3
"""Builds the seed corpora of the fuzz targets from the real data of the shared corpus
and the ecCodes tables. Standard library only (runs with any Python 3).

usage: seed.py OUT_DIR [--corpus DIR] [--tables DIR]

Writes OUT_DIR/<target>/<name> for every target of fuzz/*_fuzz.cpp. Deterministic: the
same inputs give the same seeds.
"""
import argparse
import csv
import hashlib
import os
import struct
import sys
from pathlib import Path

MAX_SCAN = 8192     # octets of one scan/parse seed
MAX_DECODE = 16384  # octets of one decoder seed
PER_TARGET = 250    # seeds per target at most


def write(out: Path, target: str, data: bytes) -> None:
    d = out / target
    d.mkdir(parents=True, exist_ok=True)
    (d / hashlib.sha1(data).hexdigest()).write_bytes(data)


def be24(b: bytes, at: int) -> int:
    return (b[at] << 16) | (b[at + 1] << 8) | b[at + 2]


def sections(msg: bytes):
    """(subsets, flags, descriptor octets, section 4 data) of an edition 4 message, or None."""
    try:
        if msg[:4] != b"BUFR" or msg[7] != 4:
            return None
        s2 = 8 + be24(msg, 8)
        s3 = s2 + (be24(msg, s2) if msg[17] & 0x80 else 0)
        l3 = be24(msg, s3)
        subsets = struct.unpack(">H", msg[s3 + 4:s3 + 6])[0]
        flags = msg[s3 + 6]
        desc = msg[s3 + 7:s3 + l3]
        if len(desc) % 2:
            desc = desc[:-1]
        s4 = s3 + l3
        l4 = be24(msg, s4)
        return subsets, flags, desc, msg[s4 + 4:s4 + l4]
    except (IndexError, struct.error):
        return None


def messages(corpus: Path):
    """Every message of messages.tsv as (source file, octets, edition)."""
    cache = {}
    with open(corpus / "messages.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            path = row["path"]
            if not row["offset"] or not row["length"]:
                continue  # a file the reference decoder could not split
            if path not in cache:
                cache.clear()
                cache[path] = (corpus / path).read_bytes()
            off, n = int(row["offset"]), int(row["length"])
            yield path, cache[path][off:off + n], int(row["edition"])


def spread(items, limit):
    """At most `limit` items, taken evenly over the list."""
    if len(items) <= limit:
        return items
    step = len(items) / limit
    return [items[int(i * step)] for i in range(limit)]


def seed_messages(out: Path, corpus: Path) -> None:
    scan, decode = [], {False: {}, True: {}}
    expand = {}
    per_file = {}
    for path, msg, edition in messages(corpus):
        # A few messages of every file: most files are small, a few hold thousands.
        per_file[path] = per_file.get(path, 0) + 1
        if per_file[path] <= 3 and len(msg) <= MAX_SCAN:
            scan.append(msg)
        parts = sections(msg) if edition == 4 else None
        if parts is None:
            continue
        subsets, flags, desc, data = parts
        expand.setdefault(desc, desc)
        compact = struct.pack(">HH", subsets, len(desc) // 2) + desc + data
        if len(compact) <= MAX_DECODE:
            # One seed per distinct descriptor list and compression.
            decode[bool(flags & 0x40)].setdefault(desc, compact)
    for msg in spread(scan, PER_TARGET):
        write(out, "scan_parse", msg)
    # Several messages in one buffer, with junk between and around them.
    small = [m for m in scan if len(m) <= 1024]
    for i in range(0, min(len(small) - 1, 40), 2):
        write(out, "scan_parse", b"junk" + small[i] + b"\0BUF" + small[i + 1] + b"BUFR")
    for compressed, target in ((False, "decode_uncompressed"), (True, "decode_compressed")):
        for data in spread(list(decode[compressed].values()), PER_TARGET):
            write(out, target, data)
    for desc in spread(list(expand.values()), PER_TARGET):
        write(out, "expand", desc)
    # The writers: a real descriptor list and a run of small raw values (kind 1, width 4).
    values = b"".join(b"\x01\x04" + bytes([k % 16]) + bytes(7) for k in range(96))
    for desc in spread(list(expand.values()), PER_TARGET):
        write(out, "encode", struct.pack(">BH", 0, len(desc) // 2) + desc + values)
    # The columnar decoder: a few messages of one file in one buffer, one seed per file.
    by_file = {}
    older = []
    for path, msg, edition in messages(corpus):
        if len(msg) <= 4096 and len(by_file.setdefault(path, [])) < 4:
            by_file[path].append(msg)
        if edition in (2, 3) and len(msg) <= MAX_SCAN:
            older.append(msg)
    for msgs in spread(list(by_file.values()), PER_TARGET):
        write(out, "columnar", b"".join(msgs))
    for msg in spread(older + scan[:20], PER_TARGET):
        write(out, "header_older", msg)


def chunks(lines, size):
    for i in range(0, len(lines), size):
        yield "".join(lines[i:i + size]).encode()


def seed_tables(out: Path, tables: Path, corpus: Path) -> None:
    root = tables / "bufr" / "tables" / "0"
    dirs = [root / "wmo" / "39", root / "wmo" / "13", root / "local" / "1" / "98" / "0"]
    for d in dirs:
        for name, target, size in (("element.table", "element_table", 30),
                                   ("sequence.def", "sequence_def", 20)):
            p = d / name
            if not p.exists():
                continue
            lines = p.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True)
            for data in spread(list(chunks(lines, size)), 40):
                write(out, target, data)
    codetables = sorted((root / "wmo" / "39" / "codetables").glob("*.table"))
    small = [p for p in codetables if p.stat().st_size <= 4096]
    for p in spread(small, 80):
        write(out, "code_table", p.read_bytes())
    wmo = corpus / "wmo-bufr4-csv"
    for prefix, selector in (("BUFRCREX_TableB_en_", b"\0"), ("BUFR_TableD_en_", b"\1")):
        for p in sorted(wmo.glob(prefix + "*.csv")):
            lines = p.read_bytes().splitlines(keepends=True)
            header, body = lines[:1], lines[1:]
            for i in range(0, min(len(body), 120), 40):
                write(out, "wmo_csv", selector + b"".join(header + body[i:i + 40]))


def default_corpus(here: Path) -> Path:
    """$QUORVEX_CORPUS, else shared/corpus beside the checkout, else /work/shared/corpus."""
    for candidate in (os.environ.get("QUORVEX_CORPUS"), here.parent.parent / "shared" / "corpus",
                      "/work/shared/corpus"):
        if candidate and (Path(candidate) / "messages.tsv").is_file():
            return Path(candidate)
    return Path("/work/shared/corpus")


def main() -> int:
    here = Path(__file__).resolve().parent
    ap = argparse.ArgumentParser()
    ap.add_argument("out", type=Path)
    ap.add_argument("--corpus", type=Path, default=default_corpus(here))
    ap.add_argument("--tables", type=Path, default=Path("/usr/share/eccodes/definitions"))
    args = ap.parse_args()
    seed_messages(args.out, args.corpus)
    seed_tables(args.out, args.tables, args.corpus)
    # Regression inputs kept in the tree seed their targets too.
    kept = here.parent / "tests" / "data" / "fuzz"
    if kept.is_dir():
        for d in kept.iterdir():
            if not d.is_dir():  # outcomes.tsv: what each kept input gives, for the replay test
                continue
            for f in d.iterdir():
                write(args.out, d.name, f.read_bytes())
    for d in sorted(args.out.iterdir()):
        print(f"{d.name}: {len(os.listdir(d))} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())

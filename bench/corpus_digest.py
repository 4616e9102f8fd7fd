#!/usr/bin/env python3
"""Digest of everything one build of the module says about the corpus, one line per file,
for checking that a change leaves the output byte-identical (errors included).

    python bench/corpus_digest.py BUILD_DIR [CORPUS] > digests.tsv
    diff baseline.tsv digests.tsv

For every message of raw/, derived4/ and bench/ (split on "BUFR" and the length octets,
independently of the module), the digest covers:
  V  decode_values_with_tables against the ecCodes table directory of the message's master
     version (what decode_values reads), loaded once per directory;
  D  decode_values_with_tables against TableSet.from_definitions, loaded once per selection
     (what decode_values_with_definitions reads);
  E  TableSet.expand of the message's descriptors with both table sets;
and for the first message of every raw/ and derived4/ file also the direct calls
decode_values, decode_values_with_definitions and expand_descriptors (each loads its
tables anew, too slow for every message). Each value contributes descriptor, name,
raw_value, raw, raw_text and raw_meaning; a failure its exception type and text.
Identical messages are digested once.
"""
import hashlib
import os
import pathlib
import sys

build = sys.argv[1]
corpus = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "/work/shared/corpus")
sys.path.insert(0, build)
import _quorvex as q  # noqa: E402

DEFINITIONS = "/usr/share/eccodes/definitions"
WMO = os.path.join(DEFINITIONS, "bufr", "tables", "0", "wmo")
FALLBACK_VERSION = 35


def split_messages(data):
    """Each "BUFR" with its declared length; a length that does not fit takes the rest."""
    off = data.find(b"BUFR")
    while off >= 0:
        length = int.from_bytes(data[off + 4:off + 7], "big") if off + 7 <= len(data) else 0
        if 8 <= length <= len(data) - off:
            yield data[off:off + length]
            off = data.find(b"BUFR", off + length)
        else:
            yield data[off:]
            off = data.find(b"BUFR", off + 4)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # the type and text are part of the output
        return ("err", type(e).__name__, str(e))


def values_text(result):
    if result[0] != "ok":
        return repr(result)
    return repr([(v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning) for v in result[1]])


def ecc_dir(message):
    version = message.master_tables_version_number if message is not None else FALLBACK_VERSION
    path = os.path.join(WMO, str(version))
    return path if os.path.exists(path) else os.path.join(WMO, str(FALLBACK_VERSION))


ecc_tables, def_tables, seen = {}, {}, {}


def cached(store, key, load):
    if key not in store:
        store[key] = outcome(load)
    return store[key]


def message_digest(octets, direct):
    h = hashlib.sha256()
    parsed = outcome(lambda: q.parse_bytes(octets))
    message = parsed[1] if parsed[0] == "ok" else None
    h.update(repr(parsed if message is None else "parsed").encode())
    directory = ecc_dir(message)
    ecc = cached(ecc_tables, directory, lambda: q.TableSet.from_eccodes(directory))
    if message is not None:
        key = (message.master_table_number, message.master_tables_version_number,
               message.local_tables_version_number, message.originating_centre,
               message.originating_subcentre)
        sel = cached(def_tables, key, lambda: q.TableSet.from_definitions(DEFINITIONS, message))
    else:
        sel = ecc
    for part, tables in (("V", ecc), ("D", sel)):
        h.update(part.encode())
        if tables[0] != "ok":
            h.update(repr(tables).encode())
            continue
        h.update(values_text(outcome(lambda: q.decode_values_with_tables(octets, tables[1]))).encode())
        if message is not None:
            h.update(repr(outcome(lambda: tables[1].expand(message.unexpanded_descriptors))).encode())
    if direct:
        h.update(b"direct")
        h.update(values_text(outcome(lambda: q.decode_values(octets, directory))).encode())
        h.update(values_text(outcome(lambda: q.decode_values_with_definitions(octets, DEFINITIONS))).encode())
        if message is not None:
            h.update(repr(outcome(lambda: q.expand_descriptors(directory, message.unexpanded_descriptors))).encode())
    return h.hexdigest()


def file_digest(path, direct_first):
    h = hashlib.sha256()
    count = 0
    for i, octets in enumerate(split_messages(path.read_bytes())):
        direct = direct_first and i == 0
        key = (hashlib.sha256(octets).digest(), direct)
        if key not in seen:
            seen[key] = message_digest(octets, direct)
        h.update(seen[key].encode())
        count += 1
    return count, h.hexdigest()


def main():
    total = hashlib.sha256()
    for folder, direct in (("raw", True), ("derived4", True), ("bench", False)):
        for path in sorted(p for p in (corpus / folder).rglob("*") if p.is_file()):
            if folder == "bench" and path.suffix != ".bufr" or path.suffix in (".tsv", ".md"):
                continue
            count, digest = file_digest(path, direct)
            line = "%s\t%d\t%s" % (path.relative_to(corpus), count, digest)
            total.update(line.encode())
            print(line, flush=True)
    print("TOTAL\t%d\t%s" % (len(seen), total.hexdigest()))


main()

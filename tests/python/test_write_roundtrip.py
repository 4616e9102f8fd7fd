"""Every clean message of the corpus (editions 3 and 4, compressed or not) decoded, written
again as edition 4 with its own descriptors and compression, and decoded again: the same keys
and values. Written the other way (compressed for uncompressed data and back), the values stay
the same too, or the writer refuses with its reason (subsets that differ in structure cannot be
compressed). Large files are cut to their first MESSAGES_PER_FILE clean messages
(QUORVEX_ROUNDTRIP_MESSAGES=100000 runs them all)."""
import collections
import csv
import os
import re

import pyarrow as pa
import pyarrow.compute as pc
import pytest

from corpus_location import CORPUS
from flat_support import structure_columns, write_flat
from quorvex import _engine

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

MESSAGES_PER_FILE = int(os.environ.get("QUORVEX_ROUNDTRIP_MESSAGES", "40"))

# Refusals that are the format's when the compression is changed: subsets that differ in structure
# or in long texts cannot be compressed, nor reference definitions; a value of compressed data
# whose bits are all set reads as missing once uncompressed.
COMPRESSION_REFUSALS = ("compressed data hold one replication count", "cannot differ between the subsets",
                        "new reference values", "it would read as missing")


def clean_messages():
    if CORPUS is None:
        return {}
    files = collections.defaultdict(list)
    with open(CORPUS / "messages.tsv", newline="") as handle:
        for row in csv.DictReader(handle, delimiter="\t"):
            if row["clean"] == "yes" and len(files[row["path"]]) < MESSAGES_PER_FILE:
                files[row["path"]].append((int(row["offset"]), int(row["length"]), row["compressed"] == "1"))
    return files


CLEAN = clean_messages()
TABLES = _engine.Tables(None)


def values_of(octets, offset, length):
    """The decoded values of one message, the comparable columns: raw bits only where there is
    a value (a missing value of compressed data keeps its column's minimum as raw)."""
    batch, bad = _engine.decode([octets], [(0, 0, offset, length)], TABLES, 1, True, None)
    assert not bad, bad
    table = pa.table(batch)
    raw = pc.if_else(pc.is_null(table.column("value")), pa.scalar(None, table.column("raw").type),
                     table.column("raw"))
    keep = ["subset", "descriptor", "key", "rank", "role", "value", "text"]
    return table.select(keep).append_column("raw", raw)


def same_values(octets, offset, length, written, ranks=True):
    """Ranks are compared only between messages of the same compression: keys of uncompressed
    data are numbered on across subsets, those of compressed data once for all subsets."""
    before = values_of(octets, offset, length)
    after = values_of(written, 0, len(written))
    if not ranks:
        before, after = before.drop_columns(["rank"]), after.drop_columns(["rank"])
    return before.equals(after)


@pytest.mark.parametrize("path", sorted(CLEAN))
def test_corpus_messages_written_again_decode_to_the_same_values(path):
    octets = (CORPUS / path).read_bytes()
    for offset, length, compressed in CLEAN[path]:
        _, bad = _engine.decode([octets], [(0, 0, offset, length)], TABLES, 1, True, None)
        if bad:
            # A message the readers refuse (prepbufr's typical date 2000-00-00, which ecCodes reads
            # as given) is refused by the writer for the same reason, not written from a guess.
            with pytest.raises(ValueError, match=re.escape(bad[0][3])):
                _engine.reencode(octets, offset, length, TABLES)
            continue
        written = _engine.reencode(octets, offset, length, TABLES)
        header = _engine.read_header(written, 0, len(written))
        assert (header["edition"], header["compressed"]) == (4, compressed)
        assert same_values(octets, offset, length, written), (path, offset)
        try:
            flipped = _engine.reencode(octets, offset, length, TABLES, not compressed)
        except ValueError as e:
            assert any(r in str(e) for r in COMPRESSION_REFUSALS), (path, offset, str(e))
            continue
        assert same_values(octets, offset, length, flipped, ranks=False), (path, offset, "compression flipped")


# read_dataframe (flat, no columns) -> write_bufr -> read_dataframe: the identity on real files,
# FLAT_FILES of each data category and a file of each operator of FLAT_OPERATORS, their first
# FLAT_MESSAGES messages, each message written with
# its own descriptors and compression; the header keys come from the frame's own columns but for
# those that choose the tables.
FLAT_FILES, FLAT_MESSAGES = 2, 3
# What a flat frame does not hold, so that the writer refuses (rather than guesses) it: the new
# reference values of 2-03 definitions (#n#key->reference, as ecCodes names them, which no reader
# of ours gives). The bitmaps that select statistics (2-24, 2-25), quality information (2-22)
# other than a percentage of confidence, numbered as their elements, and substituted or replaced
# values (2-23, 2-32), and the counts of delayed replications whose keys occur elsewhere in the
# template or that stand in another replication, or (compressed) that the trailing missing values
# of a subset leave untold, are refused until they are given as columns (#n#dataPresentIndicator,
# #n#key->substitutedValue, the factors), and then written.
SELECTING = ("222", "223", "224", "225", "232")  # operators whose values a bitmap selects
FLAT_OPERATORS = ("203", "204", "205", "222", "223", "224", "225", "232", "236", "237")
FLAT_REFUSALS = {"a new reference value (2-03) has no missing value: give column": ("203",)}


def flat_files():
    if CORPUS is None:
        return []
    by_path = collections.defaultdict(list)
    with open(CORPUS / "messages.tsv", newline="") as handle:
        for row in csv.DictReader(handle, delimiter="\t"):
            if row["path"].startswith("raw/"):
                by_path[row["path"]].append(row)
    chosen = collections.defaultdict(list)
    for path, rows in sorted(by_path.items()):
        rows = rows[:FLAT_MESSAGES]
        if not all(r["clean"] == "yes" for r in rows):
            continue
        # FLAT_FILES of each category, and the first file of each operator a flat frame may lack
        operators = {op[:3] for r in rows for op in r["operators"].split(",") if op}
        if len(chosen[rows[0]["category"]]) < FLAT_FILES:
            chosen[rows[0]["category"]].append((path, rows))
        for op in sorted(operators & set(FLAT_OPERATORS) - set(chosen)):
            chosen[op].append((path, rows))
    picked = {path: rows for files in chosen.values() for path, rows in files}
    return [pytest.param(path, rows, id=path) for path, rows in sorted(picked.items())]


@pytest.mark.parametrize(("path", "rows"), flat_files())
def test_flat_frames_written_and_read_back_are_the_same(path, rows):
    # message by message: a frame of several messages holds the columns of them all, and a
    # repetition whose values are all missing cannot be told from one that is not there
    import pandas as pd

    import quorvex
    octets = (CORPUS / path).read_bytes()
    for r in rows:
        message = octets[int(r["offset"]):int(r["offset"]) + int(r["length"])]
        # the counts and bitmaps the frame cannot tell are given, when refused, as the columns the
        # refusal asks for
        try:
            frame, written = write_flat(message)
        except ValueError as e:
            reason = next((reason for reason in FLAT_REFUSALS if reason in str(e)), None)
            assert reason is not None, str(e)
            assert any(op in r["operators"] for op in FLAT_REFUSALS[reason]), (str(e), r["operators"])
            continue
        again = quorvex.read_dataframe(written)
        unselected = [c for c in frame.columns if c.startswith("#") and c not in again.columns]
        if unselected and any(op in r["operators"] for op in SELECTING):
            # values a bitmap selects, all missing in the message: a bitmap without its columns selects none
            assert frame[unselected].isna().all().all(), unselected
            frame = frame.drop(columns=unselected)
        # the edition written is 4; the keys of other editions' headers are compared where both have them
        compared = [c for c in frame.columns if c in again.columns and c != "edition"]
        assert [c for c in again.columns if c.startswith("#")] == [c for c in frame.columns if c.startswith("#")]
        pd.testing.assert_frame_equal(again[compared], frame[compared], check_dtype=False)


def bitmap_messages():
    """The clean messages as found (the edition-4 copies hold the same data) whose templates
    substitute or replace values a bitmap selects (2-23, 2-32), and the first of every file whose
    template uses a bitmap again (2-37)."""
    if CORPUS is None:
        return []
    chosen = collections.defaultdict(list)
    with open(CORPUS / "messages.tsv", newline="") as handle:
        for r in csv.DictReader(handle, delimiter="\t"):
            substitutes = any(op in r["operators"] for op in ("223255", "232255"))
            if r["clean"] == "yes" and r["path"].startswith("raw/") and (
                    substitutes or ("237000" in r["operators"] and not chosen[r["path"]])):
                chosen[r["path"]].append((int(r["offset"]), int(r["length"]), substitutes))
    return [(path, *place) for path, places in chosen.items() for place in places]


def test_bitmap_templates_written_from_flat_frames_come_back():
    # each message's flat frame with its structure (factors, bitmaps, and the substituted values
    # as the attributes of the elements they stand for, #n#key->substitutedValue), written with
    # its own compression and, substituted values, with both
    import quorvex
    messages = bitmap_messages()
    assert sum(substitutes for *_, substitutes in messages) >= 50 and len(messages) >= 100
    octets = {path: (CORPUS / path).read_bytes() for path in {p for p, *_ in messages}}
    for path, offset, length, substitutes in messages:
        message = octets[path][offset:offset + length]
        given = [c for c in structure_columns(message).columns if "->" in c]
        assert bool(given) == substitutes, (path, offset)
        for compressed in (False, True) if substitutes else (None,):
            frame, written = write_flat(message, structure=True, compressed=compressed)
            again = quorvex.read_dataframe(written)
            compared = [c for c in frame.columns if c.startswith("#")]
            assert list(again[compared].columns) == compared, (path, offset)
            assert again[compared].equals(frame[compared]), (path, offset, compressed)
            if given:
                assert quorvex.read_dataframe(written, columns=given).equals(
                    quorvex.read_dataframe(message, columns=given)), (path, offset, compressed)

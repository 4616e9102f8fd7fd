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

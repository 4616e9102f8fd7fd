"""The long table's key, rank and role columns against ecCodes's own numbering of keys
(its key iterator, as `bufr_dump -jf` shows them): every element, replication factor and
bitmap entry numbered #n# in the same order, attributes left out of the numbering."""
import collections

import pyarrow as pa
import pytest

import quorvex
from corpus_location import CORPUS

eccodes = pytest.importorskip("eccodes")
pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

# Uncompressed and compressed, one and many subsets, quality information (2-22), substituted
# values (2-23), statistics (2-24, 2-25), associated fields (2-04), 2-05 text, delayed
# replication of every kind.
FILES = [
    "raw/pdbufr/temp.bufr",
    "raw/pdbufr/syn_new.bufr",
    "raw/pdbufr/tropical_cyclone.bufr",
    "raw/pdbufr/compress_3.bufr",
    "raw/pdbufr/message_structure_diff_2.bufr",
    "derived4/pdbufr/ens_multi_subset_uncompressed.bufr",
    "derived4/eccodes-python/ahi-himawari-8.bufr",
    "derived4/eccodes-python/buoy-drifting.bufr",
    "raw/pybufrkit/b002_96.bufr",
    "raw/pybufrkit/IUSK73_AMMC_040000.bufr",
]

NOT_KEYS = ("operator", "subsetNumber")


def eccodes_keys(path, read=None):
    """Per message, the data keys ecCodes lists (attributes included, as key->attribute); with
    `read`, what read(handle, keys) makes of them."""
    messages = []
    with open(path, "rb") as f:
        while (h := eccodes.codes_bufr_new_from_file(f)) is not None:
            try:
                eccodes.codes_set(h, "skipExtraKeyAttributes", 1)
                eccodes.codes_set(h, "unpack", 1)
                it = eccodes.codes_bufr_keys_iterator_new(h)
                names = []
                while eccodes.codes_bufr_keys_iterator_next(it):
                    names.append(eccodes.codes_bufr_keys_iterator_get_name(it))
                eccodes.codes_bufr_keys_iterator_delete(it)
                keys = names[names.index("unexpandedDescriptors") + 1 :]
                messages.append(keys if read is None else read(h, keys))
            finally:
                eccodes.codes_release(h)
    return messages


@pytest.mark.parametrize("name", FILES)
def test_keys_are_numbered_as_eccodes_numbers_them(name):
    path = CORPUS / name
    table = quorvex.read_arrow(path).to_pydict()
    numbered = collections.defaultdict(list)
    attributes = collections.Counter()
    first_subset = {}
    for message, subset, key, rank, role in zip(
        table["message"], table["subset"], table["key"], table["rank"], table["role"]
    ):
        first_subset.setdefault(message, subset)
        if role == "attribute":
            attributes[message] += subset == first_subset[message]
        if rank is None:
            assert role in ("operator", "associated_field", "attribute") or key is None
            continue
        assert role in ("element", "replication_factor", "bitmap")
        assert role != "bitmap" or key == "dataPresentIndicator"
        numbered[message].append((subset, f"#{rank}#{key}"))

    for message, names in enumerate(eccodes_keys(path)):
        expected = [n if n.startswith("#") else f"#1#{n}" for n in names if "->" not in n and n not in NOT_KEYS]
        ours = numbered[message]
        # compressed data: ecCodes lists the template's keys once for all subsets
        once = [k for s, k in ours if s == first_subset.get(message)]
        assert expected in ([k for _, k in ours], once), f"message {message}"
        # substituted values and quality information: one attribute per value they attach to
        if any("->substitutedValue" in n or "->percentConfidence" in n for n in names):
            assert attributes[message] == sum(n.count("->") == 1 and "associatedField" not in n for n in names)


def test_long_table_key_columns_are_typed():
    path = CORPUS / FILES[0]
    schema = quorvex.read_arrow(path).schema
    assert schema.field("key").type == pa.dictionary(pa.int16(), pa.utf8())
    assert schema.field("rank").type == pa.int32()
    assert schema.field("role").type == pa.dictionary(pa.int16(), pa.utf8())

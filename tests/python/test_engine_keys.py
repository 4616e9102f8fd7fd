"""The long table's key, rank and role columns against ecCodes's own numbering of keys
(its key iterator, as `bufr_dump -jf` shows them): every element, replication factor and
bitmap entry numbered #n# in the same order, attributes left out of the numbering."""
import collections

import pyarrow as pa
import pytest

import quorvex
from corpus_location import CORPUS
from quorvex import _engine

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

# Quality blocks whose values ecCodes also names by the keys of the elements they qualify
# (#12#pressure, #20#brightnessTemperature ...): blocks reusing the bitmap (2-37-000), a block
# with elements of other classes than 33 after its bitmap, first-order statistics (2-24) after
# such blocks, quality values beyond the elements the bitmap selects (#104#dataPresentIndicator).
QUALITY_KEYS = [
    "raw/eccodes-python/amv-goes-9.bufr", "raw/eccodes-python/amv-insat-3d.bufr",
    "raw/eccodes-python/amv-meteosat-9.bufr", "raw/pybufrkit/amv2_87.bufr", "raw/pybufrkit/amv3_87.bufr",
    "raw/pybufrkit/avhm_87.bufr", "raw/pybufrkit/b005_87.bufr", "raw/pybufrkit/cmwi_87.bufr",
    "raw/pybufrkit/cmwn_87.bufr", "raw/pybufrkit/emsg_87.bufr", "raw/pybufrkit/euwv_87.bufr",
    "raw/pybufrkit/ncep.352.bufr",
    "raw/pdbufr/M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
    "raw/eccodes-python/amsu-a-noaa-19.bufr",
    "raw/wis2box/INAC04_RJTD_072047_fdc29d444f2d1d3d8b243e6c0bcfa107.bufr",
    "raw/wis2box/INHC02_RJTD_072047_b41940e8f4b77c1f85860506609f6297.bufr",
    "raw/wis2box/INMC06_RJTD_072047_34005b9190be7beaaa44a06a6f8c0e41.bufr",
    "raw/eccodes-python/geos-mviri-meteosat-7.bufr", "raw/pybufrkit/b005_89.bufr", "raw/pybufrkit/goga_89.bufr",
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


def eccodes_codes(h, keys):
    """The numbered keys with the descriptor of their values; None for the values read through a
    bitmap (statistics), which ecCodes gives none."""
    def code(key):
        try:
            return int(eccodes.codes_get(h, f"{key}->code", ktype=str))
        except eccodes.KeyValueNotFoundError:
            return None
    return [(k if k.startswith("#") else f"#1#{k}", code(k)) for k in keys if "->" not in k and k not in NOT_KEYS]


def clean_raw_files():
    """The other raw files of the corpus that ecCodes decodes cleanly."""
    if CORPUS is None:
        return []
    lines = (CORPUS / "catalog.tsv").read_text(encoding="utf-8").splitlines()
    rows = (dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[1:])
    return [r["path"] for r in rows if r["path"].startswith("raw/") and r["eccodes_decodes"] == "yes"
            and r["path"] not in FILES and r["path"] not in QUALITY_KEYS]


@pytest.mark.parametrize("name", [*FILES, *QUALITY_KEYS, *clean_raw_files()])
def test_keys_are_numbered_as_eccodes_numbers_them(name, tmp_path):
    path = CORPUS / name
    if name not in FILES:  # the first messages show any difference; ecCodes unpacks the rest slowly
        data = path.read_bytes()
        kept = [(o, n) for o, n, error in _engine.scan(data) if error is None][:3 if name in QUALITY_KEYS else 1]
        path = tmp_path / path.name
        path.write_bytes(b"".join(data[o:o + n] for o, n in kept))
    table = quorvex.read_arrow(path).to_pydict()
    numbered = collections.defaultdict(list)
    attributes = collections.Counter()
    reused = set()
    first_subset = {}
    for message, subset, descriptor, key, rank, role in zip(
        table["message"], table["subset"], table["descriptor"], table["key"], table["rank"], table["role"]
    ):
        first_subset.setdefault(message, subset)
        if descriptor == 237000:
            reused.add(message)
        if role == "attribute":
            attributes[message] += subset == first_subset[message]
        if rank is None:
            assert role in ("operator", "associated_field", "attribute") or key is None
            continue
        # a quality value is also numbered under the key of the element it qualifies
        assert role in ("element", "replication_factor", "bitmap") or descriptor // 1000 == 33
        assert role != "bitmap" or key == "dataPresentIndicator"
        numbered[message].append((subset, f"#{rank}#{key}", descriptor))

    names = eccodes_keys(path)
    for message, expected in enumerate(eccodes_keys(path, eccodes_codes)):
        # each key names the value ecCodes gives it (the long table keeps the order of the data,
        # where ecCodes lists a block's quality keys after the block's other values); compressed
        # data: ecCodes lists the template's keys once for all subsets
        ours = numbered[message]
        once = [(k, d) for s, k, d in ours if s == first_subset.get(message)]
        assert any(len(expected) == len(keys) and all(k in keys and code in (None, keys[k]) for k, code in expected)
                   for keys in map(dict, ([(k, d) for _, k, d in ours], once))), f"message {message}"
        # substituted values and quality information: one attribute per value they attach to (ecCodes
        # keeps one attribute of each name per element: the values of blocks reusing a bitmap nest
        # under earlier ones or are dropped)
        if message not in reused and any("->substitutedValue" in n or "->percentConfidence" in n
                                         for n in names[message]):
            assert attributes[message] == sum(n.count("->") == 1 and "associatedField" not in n
                                              for n in names[message])


def test_long_table_key_columns_are_typed():
    path = CORPUS / FILES[0]
    schema = quorvex.read_arrow(path).schema
    assert schema.field("key").type == pa.dictionary(pa.int16(), pa.utf8())
    assert schema.field("rank").type == pa.int32()
    assert schema.field("role").type == pa.dictionary(pa.int16(), pa.utf8())


def associated_field_files():
    """The raw files whose first message carries associated fields (2-04 with a width)."""
    if CORPUS is None:
        return []
    lines = (CORPUS / "messages.tsv").read_text(encoding="utf-8").splitlines()
    rows = (dict(zip(lines[0].split("\t"), line.split("\t"))) for line in lines[1:])
    return sorted({r["path"] for r in rows if r["path"].startswith("raw/") and r["index"] == "0" and r["clean"] == "yes"
                   and any(op.startswith("204") and op != "204000" for op in r["operators"].split(","))})


@pytest.mark.parametrize("name", associated_field_files())
def test_flat_associated_field_columns_are_eccodes_keys(name, tmp_path):
    # every associated field and its significance, a column named by ecCodes's key, in its order,
    # with its values (these messages are compressed or of one subset: ecCodes's keys are the
    # first row's names); a significance with all its 6 bits set is the code figure 63 here,
    # where ecCodes calls it missing
    data = (CORPUS / name).read_bytes()
    offset, length = next((o, n) for o, n, error in _engine.scan(data) if error is None)
    path = tmp_path / "first.bufr"
    path.write_bytes(data[offset:offset + length])
    ours = quorvex.read_dataframe(path)
    mine = [c for c in ours.columns if "->" in c]

    def attributes(h, keys):
        found = [k for k in keys if k.endswith(("->associatedField", "->associatedFieldSignificance"))]
        return found, {k: [None if v == eccodes.CODES_MISSING_LONG else float(v)
                           for v in eccodes.codes_get_array(h, k)] for k in found}

    (names, values), = eccodes_keys(path, attributes)
    assert mine == names
    for key in names:
        column = [None if v != v or (key.endswith("Significance") and v == 63) else float(v) for v in ours[key]]
        assert column == (values[key] * len(ours) if len(values[key]) == 1 else values[key]), key

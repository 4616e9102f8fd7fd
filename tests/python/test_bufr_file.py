"""quorvex.open: the lazy file against the corpus catalogue, edition-3 values against their
edition-4 copies, and the ways a source can be given."""
import csv
import io
import pathlib

import numpy as np
import pandas as pd
import pytest

from corpus_location import CORPUS

pytest.importorskip("quorvex._engine")
import _quorvex  # noqa: E402
import quorvex  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

FILES = [
    "raw/pdbufr/temp_small.bufr",  # edition 3
    "raw/pdbufr/synop_multi_subset_uncompressed.bufr",  # edition 4
    "raw/pdbufr/compress_3.bufr",  # compressed
    "raw/pdbufr/M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",  # octets before
    "raw/pdbufr/syn_new.bufr",
]
# Edition-3 files and their edition-4 copies (sections 2 to 5 identical).
EDITION3 = ["pdbufr/temp_small.bufr", "pdbufr/syn_new.bufr", "pdbufr/ens_multi_subset_compressed.bufr"]
# Columns of messages.tsv and the headers() columns (ecCodes's key names) they correspond to.
CATALOGUE = {
    "offset": "offset", "length": "length", "edition": "edition", "compressed": "compressedData",
    "subsets": "numberOfSubsets", "category": "dataCategory", "intl_subcategory": "internationalDataSubCategory",
    "local_subcategory": "dataSubCategory", "master_version": "masterTablesVersionNumber",
    "local_version": "localTablesVersionNumber", "centre": "bufrHeaderCentre", "subcentre": "bufrHeaderSubCentre",
}


def catalogue(name):
    with open(CORPUS / "messages.tsv", newline="") as handle:
        return [row for row in csv.DictReader(handle, delimiter="\t") if row["path"] == name]


DEBIAN = "/usr/share/eccodes/definitions"


@pytest.mark.parametrize("name", FILES)
def test_headers_agree_with_the_corpus_catalogue(name):
    expected = catalogue(name)
    with quorvex.open(CORPUS / name) as bufr:
        headers = bufr.headers()
        assert len(bufr) == len(expected) == len(headers)
        for ours, theirs in CATALOGUE.items():
            # An empty cell: a field the edition does not have (editions 2 and 3: no international sub-category).
            # (a key no message of the file carries is not a column)
            column = headers[theirs] if theirs in headers else [None] * len(headers)
            assert [None if pd.isna(v) else int(v) for v in column] == \
                [int(row[ours]) if row[ours] else None for row in expected], ours
        times = headers["typical_datetime"].dt.to_pydatetime().tolist()
        assert times == [m.typical_time for m in bufr]


@pytest.mark.parametrize("name", EDITION3)
def test_edition3_values_equal_those_of_the_edition4_copy(name):
    with quorvex.open(CORPUS / "raw" / name, tables=DEBIAN) as old, quorvex.open(CORPUS / "derived4" / name) as new:
        assert len(old) == len(new) > 0
        for a, b in zip(old, new):
            assert (a.edition, b.edition) == (3, 4)
            assert a.descriptors == b.descriptors
            assert (a.typical_time, a.number_of_subsets) == (b.typical_time, b.number_of_subsets)
            mine = a.values()
            direct = _quorvex.decode_values_with_definitions(b.bytes, "/usr/share/eccodes/definitions")
            # a text element has no number in the engine's values and its text no padding, and a
            # missing value no meaning
            def text(t):
                return t if t is None else t.rstrip(" \x00")

            assert [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning, v.data) for v in mine] == \
                [(v.descriptor, v.name, v.raw, None if v.raw_text is not None else v.raw_value, text(v.raw_text),
                  v.raw_meaning if v.raw_value is not None else None,
                  text(v.data) if v.raw_text is not None else v.data if v.raw_value is not None else None)
                 for v in direct]


@pytest.mark.parametrize("name", ["raw/pdbufr/temp_small.bufr", "raw/pdbufr/compress_3.bufr"])
def test_to_arrow_holds_the_values_of_values(name):
    with quorvex.open(CORPUS / name, tables=DEBIAN) as bufr:
        for message in bufr[:2]:
            table = message.to_arrow()
            values = message.values()
            assert table.num_rows == len(values)
            assert table.column("descriptor").to_pylist() == [v.descriptor for v in values]
            numbers = np.array([np.nan if v.raw_value is None or v.raw_text is not None else v.raw_value
                                for v in values])
            np.testing.assert_array_equal(table.column("value").to_numpy(zero_copy_only=False), numbers)
            assert set(table.column("message").to_pylist()) == {message.index}


SOURCES = {
    "str": lambda p: str(p),
    "path": lambda p: pathlib.Path(p),
    "bytes": lambda p: p.read_bytes(),
    "bytearray": lambda p: bytearray(p.read_bytes()),
    "memoryview": lambda p: memoryview(p.read_bytes()),
    "file": lambda p: io.BytesIO(p.read_bytes()),
}


@pytest.mark.parametrize("kind", SOURCES)
def test_every_kind_of_source_gives_the_same_messages(kind):
    path = CORPUS / FILES[3]
    with quorvex.open(path) as reference:
        expected = reference.headers()
        octets = [m.bytes for m in reference]
    with quorvex.open(SOURCES[kind](path)) as bufr:
        assert bufr.headers().equals(expected)
        assert [m.bytes for m in bufr] == octets


def test_sequence_protocol_and_close():
    path = CORPUS / FILES[0]
    bufr = quorvex.open(path)
    messages = list(bufr)
    assert [m.index for m in messages] == list(range(len(bufr)))
    assert bufr[-1].offset == messages[-1].offset
    assert [m.offset for m in bufr[1:4:2]] == [messages[1].offset, messages[3].offset]
    data = path.read_bytes()
    for m in messages:
        assert m.bytes == data[m.offset:m.offset + m.length]
        assert m.bytes.endswith(b"7777")
    with bufr:
        pass
    # A closed file says so rather than looking empty.
    for use in (len, list, lambda b: b[0], lambda b: b.headers(), lambda b: messages[0].values()):
        with pytest.raises(ValueError, match="closed"):
            use(bufr)
    assert repr(bufr) == "<quorvex.BufrFile: closed>"


@pytest.mark.parametrize(("definitions", "expected"), [("", "store"), (None, "definitions:")])
def test_tables_source_reports_the_choice(monkeypatch, definitions, expected):
    if definitions is None:
        monkeypatch.setenv("QUORVEX_DEFINITIONS", "/usr/share/eccodes/definitions")
    else:
        monkeypatch.setenv("QUORVEX_DEFINITIONS", definitions)
    with quorvex.open(CORPUS / FILES[1]) as bufr:
        assert bufr[0].tables_source.startswith(expected)
        assert len(bufr[0].values()) > 0

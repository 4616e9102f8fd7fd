"""Sources, damaged messages and edition 3 in the engine, on real messages."""
import csv
import io
import warnings

import pytest

import quorvex
from corpus_location import CORPUS
from decode_support import DEFINITIONS
from quorvex import _engine

pytestmark = pytest.mark.skipif(CORPUS is None or not DEFINITIONS.is_dir(), reason="no corpus or definitions")
ROOT = str(DEFINITIONS) if DEFINITIONS else None
SYNOP = "raw/pdbufr/synop_multi_subset_uncompressed.bufr"


def messages_of(path, count):
    data = (CORPUS / path).read_bytes()
    return [data[o : o + n] for o, n, error in _engine.scan(data)[:count] if error is None]


def flat(table):
    return {name: table.column(name).to_pylist() for name in table.column_names}


@pytest.mark.parametrize(
    "make",
    [
        lambda p: str(p),
        lambda p: p,
        lambda p: p.read_bytes(),
        lambda p: bytearray(p.read_bytes()),
        lambda p: memoryview(p.read_bytes()),
        lambda p: open(p, "rb"),
        lambda p: io.BytesIO(p.read_bytes()),
    ],
    ids=["str", "path", "bytes", "bytearray", "memoryview", "file", "bytesio"],
)
def test_every_kind_of_source_gives_the_same_table(make):
    path = CORPUS / SYNOP
    reference = quorvex.read_arrow(path.read_bytes(), tables=ROOT)
    source = make(path)
    try:
        assert flat(quorvex.read_arrow(source, tables=ROOT)) == flat(reference)
    finally:
        if hasattr(source, "close"):
            source.close()


def test_a_list_counts_messages_across_its_sources(tmp_path):
    a, b = messages_of("raw/pdbufr/synop_wigos.bufr", 2), messages_of(SYNOP, 2)
    table = quorvex.read_arrow([b"".join(a), b"".join(b)], tables=ROOT)
    single = quorvex.read_arrow(b"".join(a + b), tables=ROOT)
    assert "source" not in single.column_names
    one = quorvex.read_arrow([b"".join(a)], tables=ROOT)
    assert one.num_rows > 0 and one.column("source").to_pylist() == [0] * one.num_rows
    got = flat(table)
    assert got.pop("source") == [0 if m < len(a) else 1 for m in got["message"]]
    assert got == flat(single)


def damaged(kind):
    """Three real messages, the middle one cut short or with a wrong declared length."""
    first, middle, last = messages_of("raw/pdbufr/synop_wigos.bufr", 3)
    if kind == "cut":
        middle = middle[: len(middle) // 2]
    elif kind == "long":
        middle = middle[:4] + (len(middle) + 10).to_bytes(3, "big") + middle[7:]
    else:  # short: the declared end falls inside the message
        middle = middle[:4] + (len(middle) - 6).to_bytes(3, "big") + middle[7:]
    return first + middle + last, len(first)


@pytest.mark.parametrize("kind", ["cut", "long", "short"])
@pytest.mark.parametrize("mode", ["error", "warn", "skip"])
def test_a_damaged_message_costs_only_itself(kind, mode):
    data, offset = damaged(kind)
    found = _engine.scan(data)
    assert [f[0] for f in found][:2] == [0, offset] and found[1][2] is not None and found[-1][2] is None
    if mode == "error":
        with pytest.raises(ValueError, match=f"message 1 at offset {offset}"):
            quorvex.read_arrow(data, tables=ROOT, on_bad_message=mode)
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = quorvex.read_arrow(data, tables=ROOT, on_bad_message=mode)
    bad = [w.message for w in caught if isinstance(w.message, quorvex.BadMessageWarning)]
    assert [(w.message_index, w.offset) for w in bad] == ([(1, offset)] if mode == "warn" else [])
    # The last message is found again after the damaged one and decoded.
    assert set(table.column("message").to_pylist()) == {0, len(found) - 1}


def garbage_and_truncation():
    good = messages_of(SYNOP, 1)[0]
    return [b"", b"\x00" * 100, b"BUFR", b"BUFR" * 50, good[:-1], good + b"BUFR\x00\x00", b"xx" + good[:30]]


@pytest.mark.parametrize("data", garbage_and_truncation(), ids=range(len(garbage_and_truncation())))
def test_hostile_sources_give_rows_only_for_whole_messages(data):
    table = quorvex.read_arrow(data, tables=ROOT, on_bad_message="skip")
    whole = [f for f in _engine.scan(data) if f[2] is None]
    assert set(table.column("message").to_pylist()) <= {i for i, f in enumerate(_engine.scan(data)) if f[2] is None}
    if not whole:
        assert table.num_rows == 0


def edition3_rows():
    with open(CORPUS / "messages.tsv", newline="") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t") if r["edition"] == "3"]
    # One message of each of a few files.
    seen, picked = set(), []
    for r in rows:
        if r["path"] not in seen and len(picked) < 12:
            seen.add(r["path"])
            picked.append(r)
    return picked


@pytest.mark.parametrize("row", edition3_rows(), ids=lambda r: f'{r["path"]}#{r["index"]}')
def test_edition3_header_reads_as_catalogued(row):
    data = (CORPUS / row["path"]).read_bytes()
    header = _engine.read_header(data, int(row["offset"]), int(row["length"]))
    assert header["edition"] == 3
    assert header["international_sub_category"] is None
    assert header["typical_second"] == 0 and 2000 <= header["typical_year"] <= 2255
    for key, column in [
        ("data_category", "category"),
        ("local_sub_category", "local_subcategory"),
        ("master_table_version", "master_version"),
        ("local_table_version", "local_version"),
        ("centre", "centre"),
        ("sub_centre", "subcentre"),
        ("number_of_subsets", "subsets"),
        ("update_sequence_number", "update_seq"),
    ]:
        assert header[key] == int(row[column]), key
    assert header["compressed"] == (row["compressed"] == "1")
    assert header["section2_present"] == (row["section2"] == "1")


@pytest.mark.parametrize("octet, value", [(13, 13), (13, 0), (14, 32), (14, 0), (15, 24), (16, 60)])
def test_edition3_impossible_dates_are_refused(octet, value):
    row = edition3_rows()[0]
    data = bytearray((CORPUS / row["path"]).read_bytes()[int(row["offset"]) : int(row["offset"]) + int(row["length"])])
    data[8 + octet] = value  # section 1 octet (1-based) octet + 1: month, day, hour, minute
    with pytest.raises(ValueError, match="impossible typical date"):
        _engine.read_header(bytes(data), 0, len(data))
    with pytest.raises(ValueError, match="message 0 at offset 0: impossible typical date"):
        quorvex.read_arrow(bytes(data), tables=ROOT)


def derived_pairs():
    with open(CORPUS / "derived4" / "derived4.tsv", newline="") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t") if r["original_messages"] == r["converted"]]
    small = [r for r in rows if (CORPUS / r["original_path"]).stat().st_size < (1 << 20)]
    return [(r["original_path"], r["derived_path"]) for r in small if r["method_C_repacked"] == "0"][:8]


@pytest.mark.parametrize("raw, derived", derived_pairs())
def test_edition3_decodes_as_its_edition4_copy(raw, derived):
    """The edition-4 copies got new sections 0 and 1 only: the data decode alike."""
    a = quorvex.read_arrow(CORPUS / raw, tables=ROOT, on_bad_message="skip")
    b = quorvex.read_arrow(CORPUS / derived, tables=ROOT, on_bad_message="skip")
    assert a.num_rows > 0
    assert a.equals(b)

"""The header-key table against ecCodes (run as a black box) on the first messages of every corpus
file: the same names, and for each the same value."""
import pytest

from corpus_location import CORPUS

_engine = pytest.importorskip("quorvex._engine")
eccodes = pytest.importorskip("eccodes")

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

MESSAGES_PER_FILE = 3


def corpus_files():
    if CORPUS is None:
        return []
    return sorted(p for p in (CORPUS / "raw").rglob("*") if p.is_file())


def eccodes_headers(octets):
    """Every header key ecCodes lists before the data descriptors, with its value, and a getter
    of any other key (None where ecCodes has none)."""
    handle = eccodes.codes_new_from_message(octets)
    try:
        listed = {}
        keys = eccodes.codes_bufr_keys_iterator_new(handle)
        while eccodes.codes_bufr_keys_iterator_next(keys):
            name = eccodes.codes_bufr_keys_iterator_get_name(keys)
            if name == "unexpandedDescriptors":
                break
            listed[name] = eccodes.codes_get(handle, name)
        eccodes.codes_bufr_keys_iterator_delete(keys)
        others = {}
        for name, _ in _engine.header_keys():
            try:
                others[name] = eccodes.codes_get(handle, name)
            except eccodes.CodesInternalError:
                others[name] = None
        return listed, others
    finally:
        eccodes.codes_release(handle)


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: str(p.relative_to(CORPUS / "raw")))
def test_header_keys_agree_with_eccodes(path):
    data = path.read_bytes()
    checked = 0
    for offset, length, error in _engine.scan(data)[:MESSAGES_PER_FILE]:
        if error is not None:
            continue
        octets = data[offset:offset + length]
        try:
            ours = _engine.read_header_keys(data, offset, length)
        except ValueError as failure:
            # Refused only for an impossible typical date, which ecCodes reads as given.
            assert "date" in str(failure), failure
            continue
        try:
            listed, others = eccodes_headers(octets)
        except eccodes.CodesInternalError:
            continue
        # Every key ecCodes lists is ours, with its value (our positions are exact where ecCodes
        # rounds through a float).
        assert set(listed) <= set(ours), set(listed) - set(ours)
        for name, value in listed.items():
            if isinstance(value, float):
                assert ours[name] == pytest.approx(value, abs=1e-9), name
            else:
                assert ours[name] == value, name
        # The keys we give beyond its list are keys ecCodes has, with the same value.
        for name in set(ours) - set(listed):
            assert others[name] == ours[name], name
        checked += 1
    if not checked:
        # Nothing to compare: then no message of the file is one ecCodes decodes cleanly.
        catalog = (CORPUS / "catalog.tsv").read_text(encoding="utf-8").splitlines()
        names = catalog[0].split("\t")
        row = next(dict(zip(names, line.split("\t"))) for line in catalog[1:]
                   if line.split("\t")[0] == str(path.relative_to(CORPUS)))
        assert row["clean_messages"].startswith("0/"), row["clean_messages"]


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: str(p.relative_to(CORPUS / "raw")))
def test_the_header_table_holds_each_message_header_keys(path):
    """The engine's one-pass table of header keys: per message what read_header_keys gives, None
    where a message has no such key, and the messages it refuses those read_header_keys refuses."""
    import pyarrow as pa

    data = path.read_bytes()
    messages = [(0, index, offset, length)
                for index, (offset, length, error) in enumerate(_engine.scan(data)[:50]) if error is None]
    batch, bad = _engine.read_header_table([data], messages)
    table = pa.Table.from_batches(list(pa.RecordBatchReader.from_stream(batch)))
    rows = iter(table.to_pylist())
    refused = []
    for _, index, offset, length in messages:
        try:
            expected = _engine.read_header_keys(data, offset, length)
        except ValueError as failure:
            refused.append((index, offset, str(failure)))
            continue
        row = next(rows)
        assert row.pop("message") == index
        assert {name: value for name, value in row.items() if value is not None} == expected
    assert next(rows, None) is None
    assert [(index, offset, reason) for index, offset, _, reason, _ in bad] == refused

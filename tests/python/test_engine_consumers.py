"""Arrow consumers take the engine's columns through the PyCapsule protocol: pyarrow without
a copy, polars and DuckDB with the same values."""
import gc

import pyarrow as pa
import pyarrow.compute as pc
import pytest

from corpus_location import CORPUS
from decode_support import DEFINITIONS
from quorvex import _engine
from quorvex._tables import engine_tables

pytestmark = pytest.mark.skipif(CORPUS is None or not DEFINITIONS.is_dir(), reason="no corpus or definitions")

FILE = "raw/pdbufr/synop_wigos.bufr"


def decoded(keys=False):
    data = (CORPUS / FILE).read_bytes()
    messages = [(0, i, o, n) for i, (o, n, e) in enumerate(_engine.scan(data)) if e is None]
    batch, bad = _engine.decode([data], messages, engine_tables(str(DEFINITIONS)), 2, keys)
    assert bad == []
    return batch


def test_pyarrow_shares_the_buffers_and_outlives_the_batch():
    batch = decoded()
    first, second = pa.record_batch(batch), pa.record_batch(batch)
    for name in ("value", "raw", "descriptor", "text"):
        a, b = first.column(name).buffers(), second.column(name).buffers()
        assert [x.address for x in a if x is not None] == [x.address for x in b if x is not None]
    expected = first.column("value").to_pylist()
    del batch, second
    gc.collect()
    assert first.column("value").to_pylist() == expected
    via_stream = pa.RecordBatchReader.from_stream(decoded()).read_all()
    assert via_stream.column("value").to_pylist() == expected


def sums(table):
    return (table.num_rows, pc.sum(table.column("value")).as_py(), pc.count(table.column("text")).as_py())


@pytest.mark.parametrize("consumer", ["polars", "duckdb"])
def test_other_consumers_see_the_same_values(consumer):
    table = pa.table(pa.record_batch(decoded()))
    if consumer == "polars":
        pl = pytest.importorskip("polars")
        frame = pl.from_arrow(table)
        got = (frame.height, frame["value"].sum(), frame["text"].count())
        assert frame["name"].to_list() == table.column("name").to_pylist()
    else:
        duckdb = pytest.importorskip("duckdb")
        tbl = table  # noqa: F841 (found by name by duckdb)
        got = duckdb.sql("select count(*), sum(value), count(text) from tbl").fetchall()[0]
        names = [r[0] for r in duckdb.sql("select name from tbl").fetchall()]
        assert names == table.column("name").to_pylist()
    assert got[0] == sums(table)[0] and got[2] == sums(table)[2]
    assert got[1] == pytest.approx(sums(table)[1])


def test_keys_are_the_element_abbreviations():
    table = pa.table(pa.record_batch(decoded(keys=True)))
    rows = table.select(["descriptor", "name", "key"]).to_pylist()
    by_descriptor = {r["descriptor"]: r["key"] for r in rows}
    assert by_descriptor[12101] == "airTemperature" and by_descriptor[5001] == "latitude"
    # Elements have a key, operators and associated fields none.
    for r in rows:
        assert (r["key"] is not None) == (r["descriptor"] < 100000 and r["name"] != "associatedField")


def test_batches_of_one_call_read_as_one_table_by_every_consumer():
    """Two threads cut the messages into runs, each with its own record batches and
    dictionaries; consumers see the rows of one thread's single batch."""
    data = (CORPUS / "bench/mixed_ed4.bufr").read_bytes()[: 320 << 10]
    messages = [(0, i, o, n) for i, (o, n, e) in enumerate(_engine.scan(data)) if e is None]
    tables = engine_tables(str(DEFINITIONS))
    one, _ = _engine.decode([data], messages, tables, 1)
    many, _ = _engine.decode([data], messages, tables, 2)
    assert one.num_batches == 1 and many.num_batches > 1 and many.num_rows == one.num_rows
    with pytest.raises(ValueError, match="record batches"):
        pa.record_batch(many)
    expected = pa.table(pa.record_batch(one))
    chunked = pa.table(many)
    assert chunked.column("name").num_chunks == many.num_batches
    def plain(table):  # dictionaries differ from batch to batch: compare the strings
        return pa.table([c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in table.columns],
                        names=table.column_names)

    assert plain(chunked).equals(plain(expected))
    pl = pytest.importorskip("polars")
    assert pl.from_arrow(chunked)["unit"].to_list() == expected.column("unit").to_pylist()
    duckdb = pytest.importorskip("duckdb")
    tbl = chunked  # noqa: F841 (found by name by duckdb)
    meanings = expected.num_rows - expected.column("meaning").null_count
    names = len(set(expected.column("name").to_pylist()))
    assert duckdb.sql("select count(distinct name), count(meaning) from tbl").fetchall()[0] == (names, meanings)

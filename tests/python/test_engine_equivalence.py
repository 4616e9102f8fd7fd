"""The engine's table equals the per-value decoder's values, row for row, on real files."""
import pyarrow as pa
import pytest

import quorvex
from corpus_location import CORPUS
from decode_support import DEFINITIONS
from engine_support import compare
from quorvex import _engine

pytestmark = pytest.mark.skipif(CORPUS is None or not DEFINITIONS.is_dir(), reason="no corpus or definitions")

FILES = [
    "raw/pdbufr/synop_wigos.bufr",
    "raw/pdbufr/compress_3.bufr",
    "raw/pdbufr/aircraft_mrar_compressed.bufr",
    "raw/pybufrkit/uegabe.bufr",
    "raw/pybufrkit/ISND02_LLBD.bufr",
    "raw/pybufrkit/IUSK73_AMMC_182300.bufr",
    "raw/pybufrkit/ncep.352.bufr",
    "raw/pybufrkit/multi_invalid_messages.bufr",
    "raw/bufrValidationDashboard/boom.bufr",
    "derived4/pybufrkit/temp_101.bufr",
    "derived4/pybufrkit/b002_95.bufr",
    "derived4/pybufrkit/207003.bufr",
    "derived4/pybufrkit/pilo_91.bufr",
    "derived4/eccodes-python/saral-altika.bufr",  # texts with octets of 0x80 and above
]
BENCH = ["synop_ed4.bufr", "temp_ed4.bufr", "aircraft_ed4.bufr", "satellite_compressed_ed4.bufr", "mixed_ed4.bufr"]


def bench_slice(name, messages=40):
    """The first messages of a benchmark file, as one buffer (a few of the large satellite
    messages)."""
    data = (CORPUS / "bench" / name).read_bytes()
    found = _engine.scan(data)[: 3 if name.startswith("satellite") else messages]
    return data[: found[-1][0] + found[-1][1]]


@pytest.mark.parametrize("name", FILES + [f"bench/{b}" for b in BENCH])
def test_engine_equals_per_value_decoder(name):
    data = bench_slice(name.split("/")[1]) if name.startswith("bench/") else (CORPUS / name).read_bytes()
    compared, refused, mismatches = compare(data, DEFINITIONS)
    assert compared > 0
    assert mismatches == []


@pytest.mark.parametrize("name", ["mixed_ed4.bufr", "satellite_compressed_ed4.bufr"])
def test_threads_give_the_same_table(name):
    data = bench_slice(name, 60)
    one = quorvex.read_arrow(data, tables=str(DEFINITIONS), threads=1)
    for threads in (2, 3):
        many = quorvex.read_arrow(data, tables=str(DEFINITIONS), threads=threads)
        assert many.num_rows == one.num_rows > 0
        # Dictionaries are built in message order, so even their indices agree.
        assert many.equals(one)
    batches = list(quorvex.iter_batches(data, batch_messages=2, tables=str(DEFINITIONS), threads=2))
    assert len(batches) > 1
    assert plain(pa.Table.from_batches(batches)).equals(plain(one))


def plain(table):
    """`table` with its dictionary columns decoded, for comparing tables whose batches have
    their own dictionaries."""
    return pa.table(
        {
            name: column.cast(column.type.value_type) if pa.types.is_dictionary(column.type) else column
            for name, column in zip(table.column_names, table.columns)
        }
    )

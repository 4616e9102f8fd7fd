"""Keyed rows read through the compiled templates, which pass over in one move what no requested
key needs (runs of numbers, repeated groups of them, bitmap entries), against rows read by walking
every message value by value: the same rows, values and bad messages (errors included).

Over every raw corpus file with the column sets of the pdbufr comparison for its data category, whole
files; and over messages whose data section is cut short at many points, where a move past the end
of the data must fail exactly as the walk does."""
import pytest

from corpus_location import CORPUS
from test_read_dataframe import cases

_engine = pytest.importorskip("quorvex._engine")
from quorvex import _keys  # noqa: E402
from quorvex._arrow import table_of  # noqa: E402
from quorvex._tables import engine_tables  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")


def rows(data: bytes, messages, keys, programs, required=None):
    batch, bad = _engine.read_rows([data], messages, engine_tables(None), 2, keys, required=required,
                                   programs=programs)
    return table_of(batch).combine_chunks(), bad


def assert_same_rows(data, messages, keys, required=None):
    passed, passed_bad = rows(data, messages, keys, True, required)
    walked, walked_bad = rows(data, messages, keys, False, required)
    assert passed_bad == walked_bad
    assert passed.schema == walked.schema
    for name in walked.column_names:  # column by column, to name the one that differs
        assert passed.column(name).equals(walked.column(name)), name
    return walked


def data_cases():
    """The comparison's cases whose columns ask the data section for something (a call of header
    keys only never reaches the rows)."""
    return [case for case in cases() if _keys.plan(case.values[2], case.values[3], True).data_keys]


@pytest.mark.parametrize(("path", "case", "columns", "filters"), data_cases())
def test_passing_over_gives_the_rows_of_the_walk(path, case, columns, filters):
    data = path.read_bytes()
    messages = [(0, i, o, n) for i, (o, n, error) in enumerate(_engine.scan(data)) if error is None]
    keys = _keys.plan(columns, filters, True).data_keys
    try:
        assert_same_rows(data, messages, keys)
    except KeyError:  # a key no table of this file defines: both refuse it
        with pytest.raises(KeyError):
            rows(data, messages, keys, True)
        return
    # Files without rows for these keys still compare their bad messages and their schema.
    assert_same_rows(data, messages, keys, required=keys)


def data_section(message: bytes) -> tuple[int, int]:
    """Offset and length of section 4 of an edition 3 or 4 message."""
    at = 8 + int.from_bytes(message[8:11], "big")  # past section 1
    optional = message[7] == 4 and message[17] & 0x80 or message[7] == 3 and message[15] & 0x80
    if optional:
        at += int.from_bytes(message[at:at + 3], "big")
    at += int.from_bytes(message[at:at + 3], "big")  # past section 3
    return at, int.from_bytes(message[at:at + 3], "big")


def cut_short(message: bytes, octets: int) -> bytes:
    """The message with the last `octets` octets of its data section left out, its lengths adjusted."""
    at, length = data_section(message)
    kept = length - octets
    section4 = kept.to_bytes(3, "big") + message[at + 3:at + kept]
    out = message[:at] + section4 + b"7777"
    return out[:4] + len(out).to_bytes(3, "big") + out[7:]


CUT_FILES = {
    "pdbufr/perf_synop.bufr": ["stationNumber", "airTemperatureAt2M", "windSpeedAt10M"],
    "pdbufr/perf_aircraft.bufr": ["aircraftFlightNumber", "airTemperature"],
    "pdbufr/temp.bufr": ["pressure", "airTemperature", "windSpeed"],
}


@pytest.mark.parametrize("name", CUT_FILES)
def test_data_cut_short_fails_as_the_walk_does(name):
    data = (CORPUS / "raw" / name).read_bytes()
    found = [(o, n) for o, n, error in _engine.scan(data) if error is None][:3]
    cut = []
    for o, n in found:
        message = data[o:o + n]
        length = data_section(message)[1]
        cut += [cut_short(message, k) for k in range(1, length - 4, max(1, (length - 4) // 40))]
    joined = b"".join(cut)
    messages, at = [], 0
    for i, m in enumerate(cut):
        messages.append((0, i, at, len(m)))
        at += len(m)
    assert_same_rows(joined, messages, CUT_FILES[name])
    _, bad = rows(joined, messages, CUT_FILES[name], True)
    assert len(bad) > len(cut) // 2  # the cuts reach the data the rows read

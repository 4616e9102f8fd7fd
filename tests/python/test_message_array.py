"""The message list as one int64 array, from the scan to the rows: the same messages, frames and
bad-message reports as the per-message entries, over real files damaged in the ways the readers
meet (stray markers, impossible dates, cut data sections) and across scan windows."""
import random
import warnings

import numpy as np
import pytest

from corpus_location import CORPUS

pytest.importorskip("quorvex._engine")
import quorvex  # noqa: E402
from quorvex import _engine  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

FILES = ["raw/pdbufr/temp_small.bufr", "raw/pdbufr/perf_aircraft.bufr",
         "raw/pdbufr/Z__C_EDZW_20210516120400_bda01,synop_bufr_GER_999999_999999__MW_466.bufr"]
COLUMNS = [["pressure", "airTemperature", "count"],
           ["aircraftFlightNumber", "latitude", "data_datetime", "airTemperature"],
           ["WMO_station_id", "airTemperature", "typical_datetime"]]


def spans(data):
    with quorvex.open(data) as bufr:
        return [(m.offset, m.length) for m in bufr]


def damaged(data, seed):
    """The messages of `data` with stray markers between some, an impossible month in one and the
    data section of another cut short: faults of the scan, of the header and of the decode."""
    rng = random.Random(seed)
    found = spans(data)
    pieces = []
    for k, (offset, length) in enumerate(found):
        message = bytearray(data[offset:offset + length])
        if rng.random() < 0.2:
            pieces.append(b"BUFR\xff\xff\xff\x04" + rng.randbytes(rng.randrange(0, 40)).replace(b"BUFR", b"bufr"))
        if k % 7 == 3:
            message[8 + 13 if message[7] < 4 else 8 + 17] = 13  # month 13
        elif k % 11 == 5:
            # a data section cut short: the section 4 length claims more than the message holds
            message = message[:-12] + b"7777"
            message[4:7] = len(message).to_bytes(3, "big")
        pieces.append(bytes(message))
    return b"".join(pieces)


def tuple_entries(buffer, position=0, first=0, window=1 << 16):
    """What the per-message scan gives: the whole messages as tuples and the damaged ones."""
    entries, bad = [], []
    start, index = 0, first
    while start < len(buffer):
        found, start, _ = _engine.scan_window(buffer, start, min(len(buffer), start + window))
        for offset, length, error in found:
            if error is None:
                entries.append((position, index, offset, length))
            else:
                bad.append((index, offset, *error, position))
            index += 1
    return entries, bad


@pytest.mark.parametrize("window", [37, 4096, 1 << 16])
@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("name", FILES)
def test_array_scan_finds_what_the_entry_scan_finds(name, seed, window):
    data = damaged((CORPUS / name).read_bytes(), seed)
    entries, bad = tuple_entries(data, 3, 10, window)
    rows, found_bad, start, index = [], [], 0, 10
    while start < len(data):
        got, bad_here, resume, needed, found = _engine.scan_index(data, start, min(len(data), start + window), 3,
                                                                  index)
        _, resume_entries, needed_entries = _engine.scan_window(data, start, min(len(data), start + window))
        assert (resume, needed) == (resume_entries, needed_entries)
        assert found == np.frombuffer(got, np.int64).size // 4 + len(bad_here)
        rows.append(np.frombuffer(got, np.int64).reshape(-1, 4))
        found_bad += bad_here
        start, index = resume, index + found
    assert np.concatenate(rows).tolist() == [list(e) for e in entries]
    assert found_bad == bad


def reports(read):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = read()
    return frame, [(w.message.message_index, w.message.offset, w.message.source, w.message.kind)
                   for w in caught if isinstance(w.message, quorvex.BadMessageWarning)]


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("name", FILES)
def test_files_of_a_list_read_as_their_concatenation(tmp_path, name, seed):
    """The messages of a list of files are copied out of each before it is closed: rows, counts and
    the offsets of bad messages (in their own file) must be those of the same octets read whole."""
    data = damaged((CORPUS / name).read_bytes(), seed)
    entries, _ = tuple_entries(data)
    cut = entries[len(entries) // 2][2]
    parts = [data[:cut], data[cut:]]
    paths = []
    for k, part in enumerate(parts):
        paths.append(tmp_path / f"{k}.bufr")
        paths[-1].write_bytes(part)
    columns = COLUMNS[FILES.index(name)]
    whole, whole_bad = reports(lambda: quorvex.read_dataframe(data, columns=columns, on_bad_message="warn"))
    listed, listed_bad = reports(lambda: quorvex.read_dataframe(paths, columns=columns, on_bad_message="warn"))
    assert len(whole_bad) >= 3
    assert {kind for *_, kind in whole_bad} >= {"message_overrun", "impossible_date"}
    moved = [(index, offset + (cut if source else 0), kind) for index, offset, source, kind in listed_bad]
    assert moved == [(index, offset, kind) for index, offset, _, kind in whole_bad]
    assert [source for _, offset, source, _ in listed_bad] == [int(offset >= cut) for _, offset, _, _ in whole_bad]
    assert listed.equals(whole)
    assert len(whole) > 0


def message_rows(data):
    entries, _ = tuple_entries(data)
    return entries, np.array(entries, np.int64).reshape(-1, 4)


@pytest.mark.parametrize("name", FILES)
def test_engine_takes_the_array_as_the_tuples(name):
    data = damaged((CORPUS / name).read_bytes(), 4)
    entries, rows = message_rows(data)
    tables = quorvex._tables.engine_tables(None)
    keys = ["latitude", "airTemperature"]
    for given in (entries, rows):
        batch, bad = _engine.read_header_table([data], given, ["typicalDate", "ident"])
        got = (quorvex._arrow.table_of(batch), bad)
        if given is entries:
            headers = got
        else:
            assert got[0].equals(headers[0]) and got[1] == headers[1]
        batch, bad = _engine.read_rows([data], given, tables, 2, keys)
        got = (quorvex._arrow.table_of(batch), bad)
        if given is entries:
            decoded = got
        else:
            assert got[0].equals(decoded[0]) and got[1] == decoded[1]
    assert headers[1] and headers[0].num_rows + len(headers[1]) == len(entries)


@pytest.mark.parametrize(("array", "error", "text"), [
    (np.zeros((2, 4), np.int32), TypeError, "C-contiguous int64 of shape"),
    (np.zeros((2, 3), np.int64), TypeError, "C-contiguous int64 of shape"),
    (np.zeros(8, np.int64), TypeError, "C-contiguous int64 of shape"),
    (np.zeros((4, 4), np.int64)[::2], TypeError, "C-contiguous int64 of shape"),
    (np.array([[1, 0, 0, 10]], np.int64), ValueError, r"message entry \(1, 0, 0, 10\) is out of range"),
    (np.array([[0, 0, -1, 10]], np.int64), ValueError, r"message entry \(0, 0, -1, 10\) is out of range"),
])
def test_a_bad_message_array_is_refused_by_name(array, error, text):
    with pytest.raises(error, match=text):
        _engine.read_header_table([b"BUFR"], array)

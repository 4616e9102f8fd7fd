"""Damaged and hostile files: a clear ValueError, or the message left out as on_bad_message says,
while every other message decodes as it does in the undamaged file."""
import random
import warnings

import pytest

from corpus_location import CORPUS

pytest.importorskip("quorvex._engine")
import quorvex  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

TEMP3 = "raw/pdbufr/temp_small.bufr"  # edition 3, 7 messages
LOCAL = "raw/pdbufr/Z__C_EDZW_20210516120400_bda01,synop_bufr_GER_999999_999999__MW_466.bufr"
LOCAL_MESSAGE = 2  # its descriptors include local elements of centre 78
COLUMNS = ["stationNumber", "latitude", "pressure"]


def offsets(data):
    with quorvex.open(data) as bufr:
        return [(m.offset, m.length) for m in bufr]


def truncate_last(data):
    found = offsets(data)
    offset, length = found[-1]
    return data[:offset + length - 9], len(found) - 1, len(found) - 1


def impossible_date(field, value):
    """Message 3 of the edition-3 file with one date octet of section 1 set out of range."""
    octet = {"month": 13, "day": 14, "hour": 15, "minute": 16}[field]

    def damage(data):
        offset, _ = offsets(data)[3]
        damaged = bytearray(data)
        damaged[offset + 8 + octet] = value
        return bytes(damaged), 3, 3
    return damage


def foreign_centre(data):
    """The message with local elements claims a centre whose local tables exist nowhere."""
    offset, _ = offsets(data)[LOCAL_MESSAGE]
    damaged = bytearray(data)
    damaged[offset + 12:offset + 14] = (251).to_bytes(2, "big")
    return bytes(damaged), LOCAL_MESSAGE, LOCAL_MESSAGE


def foreign_master_table(data):
    """A message claims a master table (octet 4 of section 1) that no tables here are for: the
    table store's master table 0 must not stand in."""
    offset, _ = offsets(data)[LOCAL_MESSAGE]
    damaged = bytearray(data)
    damaged[offset + 11] = 77
    return bytes(damaged), LOCAL_MESSAGE, LOCAL_MESSAGE


def bad_length(data):
    """A stray "BUFR" with a declared length that runs past the end, between two messages."""
    first_offset, first_length = offsets(data)[0]
    cut = first_offset + first_length
    return data[:cut] + b"BUFR\xff\xff\xff\x04junk" + data[cut:], 1, None


DAMAGES = [
    pytest.param(TEMP3, truncate_last, id="truncated-last"),
    pytest.param(TEMP3, impossible_date("month", 13), id="month-13"),
    pytest.param(TEMP3, impossible_date("day", 32), id="day-32"),
    pytest.param(TEMP3, impossible_date("hour", 25), id="hour-25"),
    pytest.param(TEMP3, impossible_date("minute", 61), id="minute-61"),
    pytest.param(TEMP3, bad_length, id="stray-marker"),
    pytest.param(LOCAL, foreign_centre, id="local-tables-nowhere"),
    pytest.param(LOCAL, foreign_master_table, id="master-table-nowhere"),
]


@pytest.mark.parametrize(("name", "damage"), DAMAGES)
@pytest.mark.parametrize("mode", ["error", "warn", "skip"])
def test_bad_message_is_reported_or_left_out(name, damage, mode):
    clean = (CORPUS / name).read_bytes()
    # The damaged octets, the index the bad message is reported under, and which message of the
    # clean file is lost (None when none is).
    damaged, bad_index, lost = damage(clean)
    columns = COLUMNS if name == TEMP3 else ["stationNumber", "airTemperature"]
    if mode == "error":
        with pytest.raises(ValueError, match=rf"^bad message {bad_index} at offset \d+: \S"):
            quorvex.read_dataframe(damaged, columns=columns, on_bad_message=mode)
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = quorvex.read_dataframe(damaged, columns=columns, on_bad_message=mode)
    reports = [w for w in caught if issubclass(w.category, quorvex.BadMessageWarning)]
    assert len(reports) == (mode == "warn")
    if reports:
        assert str(reports[0].message).startswith(f"bad message {bad_index} at offset ")
    # Every other message gives exactly the rows it gives in the clean file.
    with quorvex.open(clean) as bufr:
        kept = b"".join(m.bytes for m in bufr if m.index != lost)
    expected = quorvex.read_dataframe(kept, columns=columns)
    assert len(expected) > 0
    assert frame.equals(expected)


@pytest.mark.parametrize("mode", ["error", "warn", "skip"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_garbage_without_messages_is_an_error_or_gives_nothing(mode, seed):
    noise = random.Random(seed).randbytes(50_000).replace(b"BUFR", b"bufr")
    if mode == "error":
        for read in (quorvex.open, lambda data, **mode: quorvex.read_dataframe(data, columns=COLUMNS, **mode)):
            with pytest.raises(quorvex.NoMessageError, match="no BUFR message found"):
                read(noise, on_bad_message=mode)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorvex.NoMessageWarning)
        with quorvex.open(noise, on_bad_message=mode) as bufr:
            assert len(bufr) == 0
            assert len(bufr.headers()) == 0
        frame = quorvex.read_dataframe(noise, columns=COLUMNS, on_bad_message=mode)
    assert len(frame) == 0


@pytest.mark.parametrize("seed", range(4))
def test_garbage_around_real_messages(seed):
    """Random octets, stray markers among them, before, between and after real messages."""
    rng = random.Random(seed)
    clean = (CORPUS / TEMP3).read_bytes()
    pieces = []
    with quorvex.open(clean) as bufr:
        for m in bufr:
            pieces.append(rng.randbytes(rng.randrange(0, 300)).replace(b"BUFR", b"    ") + b"BUFR" * rng.randrange(2))
            pieces.append(m.bytes)
    noisy = b"".join(pieces)
    expected = quorvex.read_dataframe(clean, columns=COLUMNS)
    frame = quorvex.read_dataframe(noisy, columns=COLUMNS, on_bad_message="skip")
    assert frame.equals(expected)


def test_open_reports_a_bad_header_when_asked():
    damaged, bad_index, _ = impossible_date("month", 13)((CORPUS / TEMP3).read_bytes())
    with pytest.raises(ValueError, match=rf"^bad message {bad_index} at offset"):
        quorvex.open(damaged)
    with pytest.warns(quorvex.BadMessageWarning):
        bufr = quorvex.open(damaged, on_bad_message="warn")
    assert [m.index for m in bufr] == [i for i in range(7) if i != bad_index]


@pytest.mark.parametrize("mode", ["raise", "", None, 3])
def test_on_bad_message_must_be_known(mode):
    with pytest.raises(ValueError, match="on_bad_message"):
        quorvex.read_dataframe(b"", on_bad_message=mode)

"""The computed date keys against Python's own calendar, on generated parts: impossible dates,
missing parts, fractions of a second, integer and float columns."""
import datetime

import numpy as np
import pyarrow as pa
import pytest

_keys = pytest.importorskip("quorvex._keys")


NOT_A_TIME = np.iinfo(np.int64).min


def expected(year, month, day, hour, minute, second):
    """The timestamp (microseconds since 1970) of one row, or None where it has none."""
    if None in (year, month, day, hour):
        return None
    minute = 0 if minute is None else minute
    second = 0 if second is None else second
    if not (1 <= year <= 9999 and 1 <= month < 13 and day >= 1 and 0 <= hour < 24 and 0 <= minute < 60
            and 0 <= second < 60):
        return None
    try:
        date = datetime.date(int(year), int(month), int(day))
    except ValueError:  # the day is past its month's end
        return None
    days = (date - datetime.date(1970, 1, 1)).days
    return (days * 86_400 + int(hour) * 3_600 + int(minute) * 60) * 1_000_000 + int(second * 1_000_000)


def column(rng, values, missing, floats):
    mask = rng.random(len(values)) < missing
    if floats:
        return pa.chunked_array([pa.array(values[:7], mask=mask[:7]), pa.array(values[7:], mask=mask[7:])])
    return pa.chunked_array([pa.array(values.astype(np.int64), mask=mask)])


@pytest.mark.parametrize(("seed", "floats"), [(1, False), (2, False), (3, True), (4, True)])
def test_datetimes_follow_the_calendar(seed, floats):
    rng = np.random.default_rng(seed)
    n = 4000
    # years around every kind of leap rule and the ends of the range, days past their month
    years = rng.choice([0, 1, 4, 100, 1600, 1900, 1969, 1970, 2000, 2023, 2024, 2100, 9999, 10000], n)
    parts = [years, rng.integers(0, 14, n), rng.integers(0, 33, n), rng.integers(-1, 25, n),
             rng.integers(-1, 61, n)]
    parts = [p.astype(np.float64) + (rng.random(n) if floats else 0) for p in parts]
    seconds = rng.uniform(-1, 61, n) if floats else rng.integers(-1, 61, n).astype(np.float64)
    columns = [column(rng, p, 0.05, floats) for p in [*parts, seconds]]
    stamps = _keys._datetimes(columns)
    got = [None if v == NOT_A_TIME else int(v) for v in stamps.view(np.int64)]
    rows = zip(*(c.to_pylist() for c in columns))
    assert got == [expected(*row) for row in rows]
    assert any(v is not None for v in got) and any(v is None for v in got)


def chunks(kind="d", rows=3, valid=None, values=None, offset=0):
    return [(kind, valid, np.zeros(rows, np.int64 if kind == "l" else np.float64) if values is None else values,
             offset, rows)]


@pytest.mark.parametrize(("last", "out", "error"), [
    (chunks("x"), np.zeros(3, np.int64), ValueError),  # neither int64 nor float64
    (chunks(rows=2), np.zeros(3, np.int64), ValueError),  # rows differ
    (chunks(offset=1), np.zeros(3, np.int64), ValueError),  # values short of offset + rows
    (chunks(valid=b""), np.zeros(3, np.int64), ValueError),  # bitmap short of the rows
    (chunks(values=np.zeros(6)[::2]), np.zeros(3, np.int64), TypeError),  # not contiguous
    (chunks(), np.zeros(3), TypeError),  # out not int64
    (chunks(), np.zeros(3, np.int64).tobytes(), TypeError),  # out not writable
    ([("d", None, np.zeros(3))], np.zeros(3, np.int64), TypeError),  # not a whole chunk
])
def test_date_stamps_refuse_what_they_would_misread(last, out, error):
    with pytest.raises(error):
        _keys._engine.date_stamps(*[chunks()] * 5, last, out)


def test_date_stamps_read_chunks_at_their_offsets():
    """Parts chunked differently, with offsets and bitmaps, give the dates of their rows."""
    parts = [pa.chunked_array([pa.array([2024, 2023, None, 2020])[1:], pa.array([1999])]),
             pa.array([2, 2, 2, 12], pa.float64()), pa.chunked_array([[29, 29], [1, 31]]),
             pa.array([0, 1, 2, 23]), pa.nulls(4, pa.int64()), pa.array([0.5, None, 1.25, 59.999999])]
    stamps = _keys._datetimes(parts)
    got = [None if v == NOT_A_TIME else int(v) for v in stamps.view(np.int64)]
    assert got == [None, None, expected(2020, 2, 1, 2, None, 1.25), expected(1999, 12, 31, 23, None, 59.999999)]

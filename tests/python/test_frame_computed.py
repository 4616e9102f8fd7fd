"""The computed date keys against Python's own calendar, on generated parts: impossible dates,
missing parts, fractions of a second, integer and float columns."""
import datetime

import numpy as np
import pyarrow as pa
import pytest

_keys = pytest.importorskip("quorvex._keys")


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
    got = _keys._datetimes(columns).cast(pa.int64()).to_pylist()
    rows = zip(*(c.to_pylist() for c in columns))
    assert got == [expected(*row) for row in rows]
    assert any(v is not None for v in got) and any(v is None for v in got)

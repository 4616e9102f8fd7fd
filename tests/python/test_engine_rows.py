"""Rows gathered by the engine from generated descriptor trees (coordinates and measurements
nested in delayed replications, several subsets, missing values) against pdbufr's generic
reader on the same messages: the same rows with the same values."""
import math
import random

import numpy as np
import pyarrow as pa
import pytest

from message_builder import build
from quorvex import _engine, _tables

pdbufr = pytest.importorskip("pdbufr")

# key: (code, width, scale, reference); classes 01 to 09 are coordinates.
ELEMENTS = {
    "blockNumber": (1001, 7, 0, 0),
    "hour": (4004, 5, 0, 0),
    "pressure": (7004, 14, -1, 0),
    "heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform": (7032, 16, 2, 0),
    "timePeriod": (4024, 12, 0, -2048),
    "airTemperature": (12101, 16, 2, 0),
    "windDirection": (11001, 9, 0, 0),
    "windSpeed": (11002, 12, 1, 0),
}
FACTOR = 31001  # 8 bits


class Bits:
    def __init__(self):
        self.value = 0
        self.size = 0

    def put(self, raw, width):
        self.value = (self.value << width) | raw
        self.size += width

    def octets(self):
        pad = (-self.size) % 16  # section 4 of an even length
        return (self.value << pad).to_bytes((self.size + pad) // 8, "big")


def tree(rng, depth):
    """A list of items: a key, or ("rep", subtree)."""
    items = []
    for _ in range(rng.randint(1, 4)):
        if depth < 3 and rng.random() < 0.3:
            items.append(("rep", tree(rng, depth + 1)))
        else:
            items.append(rng.choice(list(ELEMENTS)))
    return items


def descriptors(items):
    codes = []
    for item in items:
        if isinstance(item, tuple):
            body = descriptors(item[1])
            if len(body) > 63:
                raise OverflowError
            codes += [100000 + 1000 * len(body), FACTOR, *body]
        else:
            codes.append(ELEMENTS[item][0])
    return codes


def encode(rng, items, bits):
    for item in items:
        if isinstance(item, tuple):
            count = rng.randint(0, 3)
            bits.put(count, 8)
            for _ in range(count):
                encode(rng, item[1], bits)
        else:
            width = ELEMENTS[item][1]
            bits.put((1 << width) - 1 if rng.random() < 0.1 else rng.randrange((1 << width) - 1), width)


def message(seed):
    rng = random.Random(seed)
    while True:
        items = tree(rng, 0)
        try:
            codes = descriptors(items)
        except OverflowError:
            continue
        if len(codes) < 40:
            break
    subsets = rng.randint(1, 3)
    bits = Bits()
    for _ in range(subsets):
        encode(rng, items, bits)
    keys = sorted({k for k in ELEMENTS if ELEMENTS[k][0] in codes})
    columns = rng.sample(keys, rng.randint(1, min(3, len(keys))))
    octets = build(descriptors=codes, subsets=subsets, flags=0x80, data=bits.octets(), master_version=38)
    return octets, columns


def same(ours, theirs):
    if ours is None or (isinstance(ours, float) and math.isnan(ours)):
        return theirs is None or (isinstance(theirs, float) and math.isnan(theirs))
    return theirs is not None and math.isclose(float(ours), float(theirs), rel_tol=1e-12)


@pytest.mark.parametrize("seed", range(60))
def test_rows_follow_the_hierarchy_as_pdbufr_gathers_them(seed, tmp_path):
    octets, columns = message(seed)
    path = tmp_path / "generated.bufr"
    path.write_bytes(octets)
    expected = pdbufr.read_bufr(str(path), columns=columns)
    batch, bad = _engine.read_rows(
        [octets], [(0, 0, 0, len(octets))], _tables.engine_tables(None), 1, columns, required=columns
    )
    assert bad == []
    rows = pa.table(batch).to_pydict()
    assert len(rows["message"]) == len(expected), columns
    for key in columns:
        theirs = expected[key].to_numpy(dtype=object) if len(expected) else np.array([])
        assert all(same(a, b) for a, b in zip(rows[key], theirs)), key


@pytest.mark.parametrize(
    ("keys", "required", "error"),
    [
        (["airTemperature", "notAKey"], None, KeyError),
        (["airTemperature"], ["pressure"], ValueError),
        ([1], None, TypeError),
    ],
)
def test_read_rows_refuses_what_it_cannot_answer(keys, required, error):
    octets, _ = message(0)
    with pytest.raises(error):
        _engine.read_rows(
            [octets], [(0, 0, 0, len(octets))], _tables.engine_tables(None), 1, keys, required=required
        )


@pytest.mark.parametrize(
    ("name", "keys"),
    [
        ("raw/pdbufr/temp.bufr", ["pressure", "airTemperature", "nonCoordinateGeopotential"]),
        ("bench/synop_ed4.bufr", ["latitude", "longitude", "airTemperature", "windSpeed"]),
        ("raw/pdbufr/compress_3.bufr", ["nonCoordinatePressure", "significandOfVolumetricMixingRatio"]),
    ],
)
def test_rows_are_the_same_on_any_number_of_threads(name, keys):
    from corpus_location import CORPUS
    from quorvex import _arrow

    if CORPUS is None:
        pytest.skip("no corpus")
    data = (CORPUS / name).read_bytes()
    refs = [(p, i, o, n) for p, i, o, n, e in _arrow.scan_messages([data]) if e is None]
    tables = _tables.engine_tables(None)
    one = pa.table(_engine.read_rows([data], refs, tables, 1, keys)[0])
    for threads in (2, 3):
        batch, bad = _engine.read_rows([data], refs, tables, threads, keys)
        assert bad == []
        assert pa.table(batch).combine_chunks().equals(one.combine_chunks())

"""Compressed messages written from a table are planned once per message, each field a column of
the table read where it stands. The same table written uncompressed (every row planned alone) and
then compressed by the re-encoder must give the same octets, or both refuse: over random tables
(missing values, texts, delayed replications with counts given or inferred, counts that differ
between the rows of a message) and over the compressed messages of the corpus."""
import collections

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
quorvex = pytest.importorskip("quorvex")
from corpus_location import CORPUS, first_clean_messages  # noqa: E402
from quorvex import _engine  # noqa: E402

TABLES = _engine.Tables(None)
# Date, time, station name, temperature, then (pressure, height, temperature, wind direction)
# repeated by a delayed replication.
DESCRIPTORS = [301011, 301012, 1015, 12101, 104000, 31001, 7004, 10009, 12101, 11001]
PER_MESSAGE = 5


def compressed_both_ways(table, descriptors, **options):
    """The table written compressed, and written uncompressed then compressed by the re-encoder
    (each an exception when refused)."""
    def attempt(write):
        try:
            return write()
        except ValueError as e:
            return e

    direct = attempt(lambda: quorvex.write_bufr(table, descriptors=descriptors, compressed=True, **options))

    def through_rows():
        octets = quorvex.write_bufr(table, descriptors=descriptors, compressed=False, **options)
        out, offset = b"", 0
        while offset < len(octets):
            length = int.from_bytes(octets[offset + 4:offset + 7], "big")
            out += _engine.reencode(octets, offset, length, TABLES, True)
            offset += length
        return out

    return direct, attempt(through_rows)


def random_table(seed):
    rng = np.random.default_rng(seed)
    rows = PER_MESSAGE * 3
    counts = np.repeat(rng.integers(0, 4, 3), PER_MESSAGE)
    if seed % 3 == 0:  # a row whose count differs from its message's
        counts[rng.integers(rows)] += 1
    highest = int(counts.max())

    def numbers(low, high, share=0.25, decimals=1):
        values = np.round(rng.uniform(low, high, rows), decimals)
        return [None if rng.random() < share else float(v) for v in values]

    names = ["ALPHA", "BRAVO STATION", "", None]
    same_name = seed % 2 == 0
    columns = {"#1#year": [2024] * rows, "#1#month": [3] * rows, "#1#day": [int(d) for d in rng.integers(1, 29, rows)],
               "#1#hour": [int(h) for h in rng.integers(0, 24, rows)], "#1#minute": numbers(0, 59, decimals=0),
               "#1#stationOrSiteName": [names[0] if same_name else names[i] for i in rng.integers(0, 4, rows)],
               "#1#airTemperature": numbers(200, 320, share=1.0 if seed % 4 == 1 else 0.25, decimals=2)}
    for n in range(1, highest + 1):
        inside = [k >= n for k in counts]
        for key, low, high, decimals in (("pressure", 100, 108000, -1),
                                         ("nonCoordinateGeopotentialHeight", -400, 30000, 0),
                                         ("windDirection", 0, 360, 0)):
            values = numbers(low, high, decimals=decimals)
            columns[f"#{n}#{key}"] = [v if keep else None for v, keep in zip(values, inside)]
        values = numbers(200, 320, decimals=2)
        columns[f"#{n + 1}#airTemperature"] = [v if keep else None for v, keep in zip(values, inside)]
    if seed % 2 == 1:
        columns["#1#delayedDescriptorReplicationFactor"] = [int(k) for k in counts]
    if seed % 5 == 2:  # a number its field cannot hold: refused alike, naming the same row
        columns["#1#airTemperature"][int(rng.integers(rows))] = [1e6, -300.0, 1e300, float("inf")][seed % 4]
    return pa.table(columns)


def as_input(table, kind):
    """The table as given to the writer: an Arrow table, or a pandas frame (numbers as float64
    blocks, missing ones NaN)."""
    return table if kind == "arrow" else table.to_pandas()


@pytest.mark.parametrize("kind", ["arrow", "pandas"])
@pytest.mark.parametrize("seed", range(24))
def test_random_tables_compressed_by_columns_as_by_rows(seed, kind):
    direct, through_rows = compressed_both_ways(as_input(random_table(seed), kind), DESCRIPTORS,
                                                subsets_per_message=PER_MESSAGE)
    if isinstance(direct, Exception) or isinstance(through_rows, Exception):
        # Refused alike, or (rows whose counts differ, which only compression refuses) for the count.
        assert isinstance(direct, Exception) and isinstance(through_rows, Exception), (direct, through_rows)
        assert str(direct) == str(through_rows) or "compressed data hold one replication count" in str(direct)
    else:
        assert direct == through_rows


def compressed_messages(files=12):
    """The first clean compressed message of files whose templates a table can carry."""
    return first_clean_messages(True, files)


def table_of(octets, offset, length):
    """One row per subset, a column per numbered key (factors included), as decoded."""
    batch, bad = _engine.decode([octets], [(0, 0, offset, length)], TABLES, 1, True, None)
    assert not bad, bad
    values = pa.table(batch).to_pandas()
    values = values[values["role"].isin(["element", "replication_factor"]) & values["key"].notna()]
    ranks = collections.Counter()
    cells = collections.defaultdict(dict)
    for subset, key, value, text in zip(values["subset"], values["key"], values["value"], values["text"]):
        ranks[subset, key] += 1
        cells[f"#{ranks[subset, key]}#{key}"][subset] = text if isinstance(text, str) else value
    subsets = range(_engine.read_header(octets, offset, length)["number_of_subsets"])
    return pa.table({name: [column.get(s) for s in subsets] for name, column in cells.items()})


@pytest.mark.skipif(CORPUS is None, reason="no corpus")
@pytest.mark.parametrize("kind", ["arrow", "pandas"])
@pytest.mark.parametrize(("path", "place"), compressed_messages(), ids=[p for p, _ in compressed_messages()])
def test_corpus_messages_compressed_by_columns_as_by_rows(path, place, kind):
    octets = (CORPUS / path).read_bytes()
    header = _engine.read_header(octets, *place)
    keys = {"bufrHeaderCentre": header["centre"], "bufrHeaderSubCentre": header["sub_centre"],
            "dataCategory": header["data_category"], "masterTablesVersionNumber": header["master_table_version"],
            "localTablesVersionNumber": header["local_table_version"], "typicalYear": header["typical_year"],
            "typicalMonth": header["typical_month"], "typicalDay": header["typical_day"]}
    direct, through_rows = compressed_both_ways(as_input(table_of(octets, *place), kind), header["descriptors"],
                                                header=keys)
    assert not isinstance(direct, Exception), direct
    assert direct == through_rows

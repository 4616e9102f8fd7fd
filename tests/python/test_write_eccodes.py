"""ecCodes (Debian's python3-eccodes, run as a black box through the corpus tools) decodes what
the writer writes to the values it decodes from the original: for a sample of every data
category of the clean corpus (and of messages with associated fields), each message written
again with its own compression and with the other one (where the format allows it), and its
flat frame (read_dataframe) with its replication factors and bitmaps written back by write_bufr
(where the frame holds what the message does)."""
import collections
import csv
import json
import os
import subprocess

import pyarrow as pa
import pytest

from corpus_location import CORPUS
from flat_support import write_flat
from quorvex import _engine

ECC_PYTHON = os.environ.get("ORACLE_ECC_PYTHON", "/usr/bin/python3")
PER_CATEGORY = 3
# Its typical date (2000-00-00) is refused by the writer.
PREPBUFR = "raw/pybufrkit/prepbufr.bufr"

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")
# operators of what a flat frame does not hold, nor its structure columns (flat_support): reference
# definitions and percentages of confidence
BEYOND_FRAMES = ("203", "222")

def beyond_eccodes(row, written, view):
    """Compressed data with bitmaps written uncompressed: every subset then defines its own
    bitmap (2-36-000), and ecCodes stops at its limit on bitmaps per message ("Bitmap error:
    bitmap index=5, max num bitmaps=5") where this decoder reads every subset back."""
    return (written == "other" and row["compressed"] == "1" and "236000" in row["operators"]
            and view["error"] == "DecodingError: Decoding invalid")


def padded(subsets, frame=False):
    """Texts without their trailing blanks: a text is padded to its field (or, in compressed
    data, to the octets the writer chose), and the padding is no part of it. A frame's text has
    lost its padding, NULs or blanks, and ecCodes reads a text of NULs as missing: with `frame`,
    an empty text is missing."""
    def text(value):
        if not isinstance(value, str):
            return value
        value = value.rstrip(" ")
        return None if frame and not value.strip(" \0") else value
    return [[[code, text(value), *rest] for code, value, *rest in subset] for subset in subsets]


def sample():
    """Up to PER_CATEGORY clean messages of every data category, compressed and uncompressed
    alike where the category has both, each from another file."""
    chosen = collections.defaultdict(list)
    with open(CORPUS / "messages.tsv", newline="") as handle:
        for row in csv.DictReader(handle, delimiter="\t"):
            if row["clean"] != "yes" or row["path"] == PREPBUFR:
                continue
            picked = chosen[row["category"]]
            kinds = {r["compressed"] for r in picked}
            if len(picked) < PER_CATEGORY and row["path"] not in {r["path"] for r in picked} and (
                    row["compressed"] not in kinds or len(kinds) == 2 or len(picked) < PER_CATEGORY - 1):
                picked.append(row)
            if (len(chosen["204"]) < PER_CATEGORY and row["index"] == "0" and row not in picked
                    and any(op.startswith("204") and op != "204000" for op in row["operators"].split(","))):
                chosen["204"].append(row)  # associated fields
            if (len(chosen["224"]) < PER_CATEGORY and row["index"] == "0" and row not in picked
                    and any(op.startswith(("224", "225")) for op in row["operators"].split(","))
                    and not any(op.startswith(BEYOND_FRAMES) for op in row["operators"].split(","))):
                chosen["224"].append(row)  # statistics a bitmap selects
    return [row for rows in chosen.values() for row in rows]


def eccodes_view(path):
    run = subprocess.run([ECC_PYTHON, str(CORPUS / "tools" / "eccodes_view.py"), str(path)],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)["messages"]


@pytest.fixture(scope="module")
def views(tmp_path_factory):
    probe = subprocess.run([ECC_PYTHON, "-c", "import eccodes"], capture_output=True)
    if probe.returncode != 0 or not (CORPUS / "tools" / "eccodes_view.py").exists():
        pytest.skip(f"{ECC_PYTHON} has no eccodes bindings or the corpus has no tools")
    work = tmp_path_factory.mktemp("written")
    tables = _engine.Tables(None)
    files = {"original": [], "own": [], "other": [], "frame": []}
    refused = []
    for row in sample():
        octets = (CORPUS / row["path"]).read_bytes()
        offset, length = int(row["offset"]), int(row["length"])
        compressed = row["compressed"] == "1"
        try:
            other = _engine.reencode(octets, offset, length, tables, not compressed)
        except ValueError as e:
            other = None
            refused.append((row["path"], str(e)))
        own = _engine.reencode(octets, offset, length, tables, compressed)
        holds_all = not any(op.startswith(BEYOND_FRAMES) for op in row["operators"].split(","))
        files["frame"].append(write_flat(octets[offset:offset + length], structure=True)[1] if holds_all else None)
        files["original"].append(octets[offset:offset + length])
        files["own"].append(own)
        files["other"].append(other)
    seen = {}
    for name, messages in files.items():
        path = work / f"{name}.bufr"
        path.write_bytes(b"".join(m for m in messages if m is not None))
        seen[name] = iter(eccodes_view(path))
    rows = sample()
    result = {name: [] for name in files}
    for k in range(len(rows)):
        for name in result:
            result[name].append(next(seen[name]) if files[name][k] is not None else None)
    return rows, result, refused


def test_the_sample_covers_every_category(views):
    rows, _result, _refused = views
    with open(CORPUS / "messages.tsv", newline="") as handle:
        categories = {r["category"] for r in csv.DictReader(handle, delimiter="\t")
                      if r["clean"] == "yes" and r["path"] != PREPBUFR}
    assert {r["category"] for r in rows} == categories
    assert {r["compressed"] for r in rows} == {"0", "1"}


@pytest.mark.parametrize("written", ["own", "other", "frame"])
def test_eccodes_decodes_the_written_messages_to_the_original_values(views, written):
    rows, result, refused = views
    compared = beyond = 0
    for k, row in enumerate(rows):
        original, again = result["original"][k], result[written][k]
        if again is None:
            continue
        where = (row["path"], row["offset"], written)
        if beyond_eccodes(row, written, again):
            beyond += 1
            continue
        assert original["error"] is None and again["error"] is None, where
        assert again["header"]["edition"] == 4, where
        expected_compressed = (row["compressed"] == "1") == (written != "other")
        assert again["header"]["compressed_data"] == expected_compressed, where
        frame = written == "frame"
        assert padded(again["subsets"], frame) == padded(original["subsets"], frame), where
        compared += 1
    unwritten = {"own": 0, "other": len(refused), "frame": result[written].count(None)}[written]
    assert compared == len(rows) - beyond - unwritten
    assert compared >= len(rows) // 2
    if written == "frame":  # the associated fields and the statistics a bitmap selects among them
        for operators in (("204",), ("224", "225")):
            assert sum(again is not None for again, row in zip(result[written], rows)
                       if any(op.startswith(operators) for op in row["operators"].split(","))) >= 3, operators


# Tables of the operators a flat frame does not carry, written from the columns that give them
# (as ecCodes names them): a new reference value (2-03), a percentage of confidence (2-22) and a
# first-order statistic (2-24), each bitmap selecting the second temperature.
DATE = {"#1#year": [2024, 2024], "#1#month": [3, 3], "#1#day": [1, 1]}
TEMPERATURES = {**DATE, "#1#airTemperature": [273.15, 270.5], "#2#airTemperature": [274.15, 271.0],
                "#1#dataPresentIndicator": [1, 1], "#2#dataPresentIndicator": [0, 0]}
HEIGHT = "heightOfStationGroundAboveMeanSeaLevel"
FROM_TABLES = {
    "reference": ([203014, 7030, 203255, 301011, 7030, 7030],
                  {**DATE, f"#1#{HEIGHT}": [-450.0, 12.5], f"#2#{HEIGHT}": [3.5, None],
                   f"#1#{HEIGHT}->reference": [-5000, -5000]}, (False,)),
    "confidence": ([301011, 12101, 12101, 222000, 236000, 101002, 31031, 1031, 1032, 33007],
                   {**TEMPERATURES, "#2#airTemperature->percentConfidence": [70, 80]}, (False, True)),
    "statistic": ([301011, 12101, 12101, 224000, 236000, 101002, 31031, 8023, 224255],
                  {**TEMPERATURES, "#1#firstOrderStatistics": [4, 4], "#3#airTemperature": [1.5, 2.25]},
                  (False, True)),
    "substituted": ([301011, 12101, 12101, 223000, 236000, 101002, 31031, 223255],
                    {**TEMPERATURES, "#2#airTemperature->substitutedValue": [280.0, None]}, (False, True)),
    # ecCodes names a replaced value by a key of its own
    "replaced": ([301011, 12101, 12101, 232000, 236000, 101002, 31031, 232255],
                 {**TEMPERATURES, "#1#replacedRetainedValue": [260.5, 261.0]}, (False, True)),
    # the quality block's bitmap used again (2-37) by a statistic, then cancelled (2-37-255) before
    # a third temperature and a bitmap of its own
    "reused": ([301011, 12101, 12101, 222000, 236000, 101002, 31031, 1031, 1032, 33007, 224000, 237000, 8023,
                224255, 237255, 12101, 225000, 236000, 101001, 31031, 8024, 225255],
               {**TEMPERATURES, "#2#airTemperature->percentConfidence": [70, 80], "#1#firstOrderStatistics": [4, 4],
                "#3#airTemperature": [1.5, 2.25], "#4#airTemperature": [272.0, 269.5],
                "#3#dataPresentIndicator": [0, 0], "#1#differenceStatistics": [4, 4],
                "#5#airTemperature": [-0.5, 0.25]}, (False, True)),
}


def engine_subsets(octets):
    """(code, value or text) of every element value, by subset, as the engine decodes them."""
    batch, bad = _engine.decode([octets], [(0, 0, 0, len(octets))], _engine.Tables(None), 1, True, None)
    assert not bad, bad
    table = pa.table(batch).to_pydict()
    subsets = collections.defaultdict(list)
    for subset, code, value, text in zip(table["subset"], table["descriptor"], table["value"], table["text"]):
        if code < 100000:
            subsets[subset].append((code, text if text is not None else value))
    return [subsets[s] for s in sorted(subsets)]


@pytest.mark.parametrize("case", FROM_TABLES)
def test_eccodes_reads_the_operators_written_from_tables(tmp_path, case):
    import pandas as pd

    import quorvex
    if subprocess.run([ECC_PYTHON, "-c", "import eccodes"], capture_output=True).returncode != 0:
        pytest.skip(f"{ECC_PYTHON} has no eccodes bindings")
    descriptors, columns, compressions = FROM_TABLES[case]
    for compressed in compressions:
        # tables ecCodes 2.28 has
        octets = quorvex.write_bufr(pd.DataFrame(columns), descriptors=descriptors, compressed=compressed,
                                    header={"masterTablesVersionNumber": 38})
        path = tmp_path / f"{case}-{compressed}.bufr"
        path.write_bytes(octets)
        [view] = eccodes_view(path)
        assert view["error"] is None
        # ecCodes gives the value of a 2-24-255 by its key, without the code of the element selected,
        # and a quality value of a later subset that it attaches to no element by none ("unkeyed")
        theirs = [[(code, value) for code, value, *why in subset
                   if (code is not None and code < 100000) or (why and why[0].startswith(("key=", "unkeyed")))]
                  for subset in view["subsets"]]
        ours = [[(code if mine is not None else None, pytest.approx(value))
                 for (code, value), (mine, _) in zip(engine, eccodes)]
                for engine, eccodes in zip(engine_subsets(octets), theirs)]
        assert [len(s) for s in theirs] == [len(s) for s in engine_subsets(octets)]
        assert theirs == ours, compressed
        # every value given (but the references) is among what ecCodes read
        read = {round(v, 6) for subset in theirs for _, v in subset if isinstance(v, float)}
        assert {round(float(v), 6) for name, c in columns.items() if not name.endswith("->reference")
                for v in c if v is not None} <= read, case

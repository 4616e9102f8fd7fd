"""The WMO tables bundled with the package: the generated table directory against the CSV
release it is made from, ecCodes's keys, and decoding with those tables alone."""
import csv
import pathlib
import re

import pytest

import _quorvex
from corpus_location import CORPUS
from quorvex import _tables

ROOT = pathlib.Path(__file__).resolve().parents[2]
WMO = ROOT / "third_party" / "wmo-bufr4"
ECCODES_WMO = pathlib.Path("/usr/share/eccodes/definitions/bufr/tables/0/wmo")
BUNDLED = _tables.bundled_dir()

pytestmark = pytest.mark.skipif(BUNDLED is None, reason="the build has not generated quorvex/tables")


@pytest.fixture(scope="module")
def bundled():
    return _quorvex.TableSet.from_eccodes(BUNDLED)


@pytest.fixture(scope="module")
def from_csv():
    return _quorvex.TableSet.from_bufr4_45(str(WMO))


def table_b_codes():
    codes = []
    for path in sorted(WMO.glob("BUFRCREX_TableB_en_*.csv")):
        with open(path, encoding="utf-8", newline="") as f:
            codes += [int(r["FXY"]) for r in csv.DictReader(f)]
    return codes


def table_d_codes():
    codes = set()
    for path in sorted(WMO.glob("BUFR_TableD_en_*.csv")):
        with open(path, encoding="utf-8", newline="") as f:
            codes |= {int(r["FXY1"]) for r in csv.DictReader(f)}
    return sorted(codes)


def test_same_tables_as_the_csv_loader(bundled, from_csv):
    # The generated directory, read by the ecCodes-style loader, holds exactly what the
    # CSV loader reads from the release itself.
    assert (bundled.element_count, bundled.sequence_count) == (from_csv.element_count, from_csv.sequence_count)
    for code in table_b_codes():
        a, b = bundled.get_element(code), from_csv.get_element(code)
        # Texts lose the stray blanks and line breaks of the CSV cells (one line per record).
        assert (a.name, a.unit) == (" ".join(b.name.split()), b.unit.strip())
        assert (a.scale, a.reference, a.width) == (b.scale, b.reference, b.width)
    for code in table_d_codes():
        assert bundled.get_sequence(code).members == from_csv.get_sequence(code).members


def code_flag_rows():
    for path in sorted(WMO.glob("BUFRCREX_CodeFlag_en_*.csv")):
        with open(path, encoding="utf-8", newline="") as f:
            yield from csv.DictReader(f)


def test_code_and_flag_meanings(bundled):
    last = {}  # (code, figure) -> meaning of the last row, as the loader keeps it
    for row in code_flag_rows():
        figure = row["CodeFigure"].strip()
        if figure.isdigit() and row["EntryName_en"].strip():
            last[int(row["FXY"]), int(figure)] = " ".join(row["EntryName_en"].split())
    assert len(last) > 5000
    for (code, figure), meaning in last.items():
        assert bundled.get_meaning(code, figure) == meaning
    # Ranges of reserved figures and "All N" (missing) rows give no entry.
    for row in code_flag_rows():
        low, sep, high = row["CodeFigure"].partition("-")
        if sep and low.strip().isdigit() and high.strip().isdigit():
            figure = int(high)
            if (int(row["FXY"]), figure) not in last:
                assert bundled.get_meaning(int(row["FXY"]), figure) is None


def test_every_element_has_a_camel_case_key(bundled):
    for code in table_b_codes():
        assert re.fullmatch(r"[a-z0-9][A-Za-z0-9]*", bundled.get_element(code).abbreviation), code


def eccodes_keys():
    latest = max((int(p.name) for p in ECCODES_WMO.glob("[0-9]*") if (p / "element.table").is_file()),
                 default=None)
    if latest is None:
        return {}
    keys = {}
    with open(ECCODES_WMO / str(latest) / "element.table", encoding="utf-8") as f:
        for line in f:
            if not line.startswith("#"):
                fields = line.split("|")
                keys[int(fields[0])] = fields[1]
    return keys


# The keys pdbufr users select most: station ids, position, time, pressure, temperature,
# dew point, wind.
@pytest.mark.parametrize("code", [1001, 1002, 1015, 4001, 4002, 4003, 4004, 4005, 5001, 6001, 5002, 6002,
                                  7004, 10051, 12101, 12103, 11001, 11002, 13003, 20001])
def test_keys_as_eccodes_users_know_them(bundled, code):
    keys = eccodes_keys()
    if code not in keys:
        pytest.skip("no ecCodes definitions on this machine")
    assert bundled.get_element(code).abbreviation == keys[code]


def values_of(values):
    return [(v.descriptor, v.raw, v.raw_value, v.raw_text) for v in values]


def corpus_messages(limit_per_file=3):
    """Clean edition-4 WMO messages of a few corpus files whose tables are current ones."""
    if CORPUS is None:
        return []
    picks = []
    with open(CORPUS / "messages.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if (row["clean"] == "yes" and row["edition"] == "4" and row["local_version"] in ("0", "")
                    and int(row["master_version"]) >= 28 and row["path"].startswith("raw/")):
                picks.append(row)
    seen = {}
    out = []
    for row in picks:
        if seen.get(row["path"], 0) < limit_per_file:
            seen[row["path"]] = seen.get(row["path"], 0) + 1
            out.append(pytest.param(row["path"], int(row["offset"]), int(row["length"]),
                                    id=f"{row['path']}@{row['offset']}"))
    return out[:40]


@pytest.mark.parametrize("path,offset,length", corpus_messages())
def test_decodes_like_the_eccodes_definitions(bundled, path, offset, length):
    # A WMO message of a recent master version decodes to the same values with the
    # bundled tables as with ecCodes's own tables of its version.
    if not ECCODES_WMO.is_dir():
        pytest.skip("no ecCodes definitions on this machine")
    data = (CORPUS / path).read_bytes()[offset:offset + length]
    expected = _quorvex.decode_values_with_definitions(data, str(ECCODES_WMO.parents[3]))
    assert values_of(_quorvex.decode_values_with_tables(data, bundled)) == values_of(expected)

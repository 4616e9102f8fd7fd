"""TableSet.from_bufr4_45: the WMO BUFR4 tables in CSV form."""
import pytest

import _quorvex as q
from corpus_location import CORPUS
from tables_support import ECCODES_TABLES

B_HEADER = ("ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,"
            "BUFR_DataWidth_Bits,CREX_Unit,CREX_Scale,CREX_DataWidth_Char,Note_en,noteIDs,Status\n")
D_HEADER = ("Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2,ElementName_en,"
            "ElementDescription_en,Note_en,noteIDs,Status\n")


def b_row(code, name="n", unit="Numeric", scale="0", reference="0", width="7"):
    return f"01,Identification,{code},{name},{unit},{scale},{reference},{width},Numeric,0,2,,,Operational\n"


def d_row(sequence, member):
    return f"01,Location,{sequence},(title),,{member},name,,,,Operational\n"


def load(tmp_path, files):
    for name, content in files.items():
        (tmp_path / name).write_bytes(content.encode() if isinstance(content, str) else content)
    return q.TableSet.from_bufr4_45(str(tmp_path))


def test_elements_and_types(tmp_path):
    t = load(tmp_path, {"BUFRCREX_TableB_en_01.csv": B_HEADER + b_row(" 001001 ") +
                        b_row('"""001003"""', '"Region, WMO"', "Code table") +
                        b_row("020012", unit="Code Table", scale="-1", reference="-40", width="16") +
                        b_row("002002", unit="Flag table") + b_row("001015", unit="CCITT IA5")})
    kinds = {c: t.get_element(c).element_type for c in (1001, 1003, 20012, 2002, 1015)}
    assert kinds == {1001: "long", 1003: "code", 20012: "long", 2002: "flags", 1015: "string"}
    e = t.get_element(1003)
    assert (e.name, e.abbreviation, e.unit) == ("Region, WMO", "", "Code table")
    e = t.get_element(20012)
    assert (e.scale, e.reference, e.width) == (-1, -40, 16)
    assert t.get_meaning(1003, 0) is None


def test_file_order_and_selection(tmp_path):
    t = load(tmp_path, {
        "BUFRCREX_TableB_en_01.csv": B_HEADER + b_row("001001", "first"),
        "BUFRCREX_TableB_en_02.csv": B_HEADER + b_row("001001", "second"),
        "bufrcrex_tableb_en_03.csv": B_HEADER + b_row("001001", "lower case name"),
        "BUFRCREX_TableB_en_04.CSV": B_HEADER + b_row("001001", "upper case suffix"),
        "BUFR_TableD_en_01.csv": D_HEADER + d_row(301001, "001001") + d_row(301002, "001005") +
        d_row(301001, "001002"),
        "BUFR_TableD_en_09.csv": D_HEADER + d_row(301001, "001003"),
        "BUFR_TableD_en_10.csv": "a,b,c,d,e\n1,2,301009,4,5\n",
        "BUFR_TableD_en_11.csv": "",
        "BUFR_TableD_en_12.csv": D_HEADER,
    })
    assert t.get_element(1001).name == "second"
    assert t.get_sequence(301001).members == [1003]
    assert t.get_sequence(301002).members == [1005]
    assert (t.element_count, t.sequence_count) == (1, 2)


def test_empty_directory(tmp_path):
    t = q.TableSet.from_bufr4_45(str(tmp_path))
    assert repr(t) == "TableSet(elements=0, sequences=0)"


def test_byte_order_mark_is_skipped(tmp_path):
    t = load(tmp_path, {"BUFRCREX_TableB_en_01.csv": b"\xef\xbb\xbf" + (B_HEADER + b_row("001001")).encode()})
    assert t.element_count == 1


POSITION = "(line: 2, byte: 165)"


@pytest.mark.parametrize("content, message", [
    (B_HEADER + b_row("00a001"), 'bad descriptor code "00a001": invalid digit found in string'),
    (B_HEADER + b_row("001001", scale=" 1"), 'bad i32 " 1": invalid digit found in string'),
    (B_HEADER + b_row("001001", width="-1"), 'bad u16 "-1": invalid digit found in string'),
    (B_HEADER + b_row("001001", width="70000"), 'bad u16 "70000": number too large to fit in target type'),
    (B_HEADER + b_row("001001", reference="99999999999999999999"),
     'bad i64 "99999999999999999999": number too large to fit in target type'),
    (B_HEADER + b_row("001001").replace("Operational", "Operational,extra"),
     f"CSV error: record 1 {POSITION}: found record with 15 fields, but the previous record has 14 fields"),
    (B_HEADER + b_row("001001", "caf\udcff"),
     "CSV parse error: record 1 (line 2, field: 3, byte: 165): invalid utf-8: invalid UTF-8 in field 3 "
     "near byte index 3"),
    (B_HEADER + b_row("001001", '"never closed'),
     f"CSV error: record 1 {POSITION}: quoted field 3 is not closed at end of file"),
    (B_HEADER + b_row("001001", '"closed"early'),
     f"CSV error: record 1 {POSITION}: text after the closing quote of field 3"),
])
def test_table_b_failures(tmp_path, content, message):
    (tmp_path / "BUFRCREX_TableB_en_01.csv").write_bytes(content.encode("utf-8", "surrogateescape"))
    with pytest.raises(ValueError) as info:
        q.TableSet.from_bufr4_45(str(tmp_path))
    assert info.value.args == ("csv/table parse error: " + message,)


def test_table_d_and_directory_failures(tmp_path):
    (tmp_path / "BUFR_TableD_en_01.csv").write_text(D_HEADER + d_row(301001, "0010x1"))
    with pytest.raises(ValueError, match='^csv/table parse error: bad descriptor code "0010x1"'):
        q.TableSet.from_bufr4_45(str(tmp_path))
    with pytest.raises(ValueError) as info:
        q.TableSet.from_bufr4_45(str(tmp_path / "missing"))
    assert info.value.args == ("io error: No such file or directory (os error 2)",)
    (tmp_path / "sub" / "BUFRCREX_TableB_en_01.csv").mkdir(parents=True)
    with pytest.raises(ValueError) as info:
        q.TableSet.from_bufr4_45(str(tmp_path / "sub"))
    assert info.value.args == ("csv/table parse error: Is a directory (os error 21)",)


def test_binary_garbage_fails_cleanly(tmp_path):
    import random
    rng = random.Random(7)
    garbage = bytes(rng.randrange(256) for _ in range(20000))
    (tmp_path / "BUFRCREX_TableB_en_01.csv").write_bytes(B_HEADER.encode() + garbage)
    with pytest.raises(ValueError, match="^csv/table parse error: "):
        q.TableSet.from_bufr4_45(str(tmp_path))


# --- The WMO release of the corpus against the ecCodes tables ------------------------

RELEASE = CORPUS / "wmo-bufr4-csv" if CORPUS else None
NEWEST_ECCODES = max((p for p in (ECCODES_TABLES / "wmo").iterdir()), key=lambda p: int(p.name))


@pytest.mark.skipif(RELEASE is None, reason="corpus not available")
def test_release_agrees_with_the_newest_eccodes_tables():
    """Release 45 is newer than any ecCodes table version here: every element and sequence
    that both hold must agree (names and unit spellings aside); the rest are additions."""
    import csv
    release = q.TableSet.from_bufr4_45(str(RELEASE))
    eccodes = q.TableSet.from_eccodes(str(NEWEST_ECCODES))
    element_codes, sequence_codes = set(), set()
    for path in RELEASE.glob("BUFRCREX_TableB_en_*.csv"):
        element_codes |= {int(r[2]) for r in list(csv.reader(path.open(encoding="utf-8")))[1:]}
    for path in RELEASE.glob("BUFR_TableD_en_*.csv"):
        sequence_codes |= {int(r[2]) for r in list(csv.reader(path.open(encoding="utf-8")))[1:]}
    assert (release.element_count, release.sequence_count) == (len(element_codes), len(sequence_codes))
    shared = 0
    for code in element_codes:
        ours, theirs = release.get_element(code), eccodes.get_element(code)
        if theirs is None:
            continue
        shared += 1
        assert (ours.scale, ours.reference, ours.width) == (theirs.scale, theirs.reference, theirs.width), code
        if ours.element_type != "long":
            assert ours.unit.upper() == theirs.unit.upper(), code
    assert shared > 1700
    shared = 0
    for code in sequence_codes:
        theirs = eccodes.get_sequence(code)
        if theirs is not None:
            shared += 1
            assert release.get_sequence(code).members == theirs.members, code
    assert shared > 600

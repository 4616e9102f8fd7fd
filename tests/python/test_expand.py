"""Static expansion of descriptor lists: TableSet.expand and expand_descriptors."""
import csv
from collections import defaultdict

import pytest

import _quorvex as q
from corpus_location import CORPUS
from tables_support import DEFINITIONS, ECCODES_TABLES, write_table_dir

SEQUENCES = {301001: [1001, 1002], 301002: [204002, 1001], 301003: [301003],
             301004: [101000, 31001]}


@pytest.fixture
def table_dir(tmp_path):
    return write_table_dir(tmp_path / "t", [(1001, "BLOCK")], SEQUENCES)


@pytest.mark.parametrize("codes, expanded", [
    ([], []),
    ([1001], [1001]),
    ([63255], [63255]),                                   # not in Table B: output all the same
    ([101002, 1001], [1001, 1001]),
    ([102003, 1001, 1002], [1001, 1002] * 3),
    ([102000, 31001, 1001, 1002], [31001, 1001, 1002]),
    ([204008, 1001, 31021, 204000, 1002], [999999, 1001, 31021, 1002]),
    ([201130, 1001, 201000], [1001]),
    ([222000, 1001], [222000, 1001]),
    ([205010], [205010]),
    ([301001], [1001, 1002]),
    ([301002, 1002], [999999, 1001, 999999, 1002]),
    ((301001, 1003), [1001, 1002, 1003]),
    (range(1001, 1004), [1001, 1002, 1003]),
])
def test_expansion(table_dir, codes, expanded):
    assert q.expand_descriptors(table_dir, codes) == expanded
    assert q.TableSet.from_eccodes(table_dir).expand(codes) == expanded


@pytest.mark.parametrize("codes, message", [
    ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor "
                      "or replicated descriptors"),
    ([101000], "unsupported replication descriptor 101000"),
    ([100002, 1001], "unsupported replication descriptor 100002"),
    ([301009], "descriptor 301009 was not found in Table D"),
    ([301003], "csv/table parse error: sequence expansion exceeded recursion depth"),
    ([301004], "delayed replication descriptor 101000 is missing its replication factor "
               "or replicated descriptors"),
    ([400000], "csv/table parse error: invalid descriptor 400000"),
    ([4294967295], "csv/table parse error: invalid descriptor 4294967295"),
    ([104255, 103255, 102255, 101255, 1001],
     "csv/table parse error: sequence expansion exceeded 4194304 descriptors"),
])
def test_expansion_failures(table_dir, codes, message):
    for call in (lambda: q.expand_descriptors(table_dir, codes),
                 lambda: q.TableSet.from_eccodes(table_dir).expand(codes)):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == (message,)


def test_an_empty_table_set_knows_no_sequence():
    with pytest.raises(ValueError) as info:
        q.TableSet().expand([301001])
    assert info.value.args == ("descriptor 301001 was not found in Table D",)


def test_sequence_chains_at_and_past_the_depth_limit(tmp_path):
    def chain(n):
        seqs = {300000 + k: [300001 + k if k < n else 1001] for k in range(1, n + 1)}
        return q.TableSet.from_eccodes(write_table_dir(tmp_path / str(n), [], seqs))
    assert chain(64).expand([300001]) == [1001]
    with pytest.raises(ValueError, match="recursion depth"):
        chain(65).expand([300001])


@pytest.mark.parametrize("descriptors, exc, message", [
    ("301001", TypeError, "argument 'descriptors': Can't extract `str` to `Vec`"),
    (301001, TypeError, "argument 'descriptors': 'int' object cannot be cast as 'Sequence'"),
    ({1001}, TypeError, "argument 'descriptors': 'set' object cannot be cast as 'Sequence'"),
    ([1001, "x"], TypeError, "argument 'descriptors': "),
    ([1001, 1.5], TypeError, "argument 'descriptors': "),
    ([2**32], OverflowError, "out of range integral type conversion attempted"),
    ([-1], OverflowError, None),
])
def test_descriptor_argument_errors(descriptors, exc, message):
    for call in (lambda: q.TableSet().expand(descriptors),
                 lambda: q.expand_descriptors("/nonexistent", descriptors)):
        with pytest.raises(exc) as info:
            call()
        if message is not None:
            assert str(info.value).startswith(message)


def test_function_frame():
    assert q.expand_descriptors.__text_signature__ == "(table_dir, descriptors)"
    with pytest.raises(TypeError) as info:
        q.expand_descriptors(b"/x", [])
    assert str(info.value) == "argument 'table_dir': 'bytes' object cannot be cast as 'str'"
    with pytest.raises(TypeError) as info:
        q.expand_descriptors()
    assert str(info.value) == ("expand_descriptors() missing 2 required positional arguments: "
                               "'table_dir' and 'descriptors'")
    with pytest.raises(ValueError) as info:  # arguments are converted before the tables are read
        q.expand_descriptors("/nonexistent", [])
    assert info.value.args == ("csv/table parse error: No such file or directory (os error 2)",)


def test_keywords_and_descriptor_fxy():
    d = str(ECCODES_TABLES / "wmo" / "38")
    codes = [q.Descriptor(3, 1, 11).fxy]
    assert q.expand_descriptors(descriptors=codes, table_dir=d) == [4001, 4002, 4003]
    assert q.TableSet.from_eccodes(d).expand(descriptors=codes) == [4001, 4002, 4003]


def test_real_synop_template():
    t = q.TableSet.from_eccodes(str(ECCODES_TABLES / "wmo" / "38"))
    expanded = t.expand([307080])
    assert expanded[:4] == [1001, 1002, 1015, 2001]
    assert all(code // 100000 in (0, 2) for code in expanded)  # no sequence or replication left


# --- Every clean edition-4 message of the corpus -------------------------------------

def clean_edition4_messages():
    if CORPUS is None:
        return {}
    by_file = defaultdict(list)
    with open(CORPUS / "messages.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["edition"] == "4" and row["clean"] == "yes":
                by_file[row["path"]].append((int(row["offset"]), int(row["length"])))
    return by_file


# The two local tables of ecCodes that mix 8- and 11-field rows, which the loader refuses.
MIXED_LOCAL_TABLES = {(0, 19, 1, 254, 0), (0, None, 4, 98, 0)}


def names_mixed_local_table(key):
    table, version, local, centre, subcentre = key
    v19 = version == 19
    return ((table, 19 if v19 else None, local, centre, subcentre) in MIXED_LOCAL_TABLES
            if local else False)


@pytest.mark.skipif(CORPUS is None, reason="corpus not available")
def test_corpus_templates_expand_with_the_tables_they_name():
    tables = {}
    done = set()
    messages = refused = 0
    for path, spans in sorted(clean_edition4_messages().items()):
        data = (CORPUS / path).read_bytes()
        for offset, length in spans:
            m = q.parse_bytes(data[offset:offset + length])
            messages += 1
            key = (m.master_table_number, m.master_tables_version_number,
                   m.local_tables_version_number, m.originating_centre, m.originating_subcentre)
            template = (key, tuple(m.unexpanded_descriptors))
            if template in done:
                continue
            if names_mixed_local_table(key):
                with pytest.raises(ValueError, match="found record with 8 fields, but the previous record has 11"):
                    q.TableSet.from_definitions(str(DEFINITIONS), m)
                refused += 1
                continue
            if key not in tables:
                tables[key] = q.TableSet.from_definitions(str(DEFINITIONS), m)
            expanded = tables[key].expand(m.unexpanded_descriptors)
            assert expanded, (path, offset)
            assert all(code // 100000 in (0, 2) or code == 999999 for code in expanded), (path, offset)
            done.add(template)
    assert messages > 24000 and len(done) > 100 and refused < 100

"""TableSet, ElementDefinition and SequenceDefinition: construction, lookups, reprs, loaders."""
import pytest

import _quorvex as q
from tables_support import ECCODES_TABLES, write_table_dir

WMO38 = ECCODES_TABLES / "wmo" / "38"


@pytest.fixture
def small(tmp_path):
    elements = [(1001, "WMO BLOCK NUMBER", "Numeric", 0, 0, 7),
                (12101, 'SAY "HI" \\ BYE', "K", 2, -5, 16),
                (0, "ZERO", "Numeric", 0, 0, 1)]
    path = write_table_dir(tmp_path / "t", elements, {301001: [1001, 1002], 301002: []},
                           {1003: {0: "ANTARCTICA", 7: "MISSING  VALUE"}})
    return q.TableSet.from_eccodes(path)


def test_empty_table_set():
    t = q.TableSet()
    assert (t.element_count, t.sequence_count) == (0, 0)
    assert repr(t) == "TableSet(elements=0, sequences=0)"
    assert t.get_element(1001) is None and t.get_sequence(301001) is None
    assert t.get_meaning(1003, 0) is None
    assert t.expand([1001, 201130, 101002, 1002]) == [1001, 1002, 1002]


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "TableSet.__new__() takes 0 positional arguments but 1 was given"),
    ((), {"path": "x"}, "TableSet.__new__() got an unexpected keyword argument 'path'"),
])
def test_table_set_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        q.TableSet(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("cls", [q.ElementDefinition, q.SequenceDefinition])
def test_definitions_cannot_be_constructed(cls):
    with pytest.raises(TypeError):
        cls()


def test_element_lookup_gives_fresh_copies(small):
    a, b = small.get_element(1001), small.get_element(code=1001)
    assert a is not b
    attrs = ["code", "abbreviation", "element_type", "name", "unit", "scale", "reference", "width"]
    assert [getattr(a, n) for n in attrs] == [getattr(b, n) for n in attrs] == [
        1001, "x", "long", "WMO BLOCK NUMBER", "Numeric", 0, 0, 7]
    with pytest.raises(AttributeError):
        a.name = "other"
    assert small.get_element(1001).name == "WMO BLOCK NUMBER"


def test_sequence_members_are_a_new_list_each_time(small):
    s = small.get_sequence(301001)
    members = s.members
    members.append(5)
    assert s.members == [1001, 1002] and s.members is not s.members
    assert s.code == 301001


@pytest.mark.parametrize("code, text", [
    (1001, 'ElementDefinition(001001, name="WMO BLOCK NUMBER")'),
    (12101, 'ElementDefinition(012101, name="SAY \\"HI\\" \\\\ BYE")'),
    (0, 'ElementDefinition(000000, name="ZERO")'),
])
def test_element_repr(small, code, text):
    assert repr(small.get_element(code)) == text


def test_sequence_and_table_set_reprs(small):
    assert repr(small.get_sequence(301001)) == "SequenceDefinition(301001, members=[1001, 1002])"
    assert repr(small.get_sequence(301002)) == "SequenceDefinition(301002, members=[])"
    assert repr(small) == "TableSet(elements=3, sequences=2)"


def test_meanings(small):
    assert small.get_meaning(1003, 0) == "ANTARCTICA"
    assert small.get_meaning(code=1003, raw=7) == "MISSING VALUE"
    assert small.get_meaning(1003, 5) is None       # table without that entry
    assert small.get_meaning(1001, 0) is None       # no table for the code
    assert small.get_meaning(1003, 2**64 - 1) is None


@pytest.mark.parametrize("call, exc, message", [
    (lambda t: t.get_element(-1), OverflowError, None),
    (lambda t: t.get_element(2**32), OverflowError, "out of range integral type conversion attempted"),
    (lambda t: t.get_element("1001"), TypeError, "argument 'code': "),
    (lambda t: t.get_element(1.0), TypeError, "argument 'code': "),
    (lambda t: t.get_meaning(1003, 2**64), OverflowError, None),
    (lambda t: t.get_meaning(1003, -1), OverflowError, None),
    (lambda t: t.get_meaning(1003, None), TypeError, "argument 'raw': "),
    (lambda t: t.get_sequence(), TypeError,
     "TableSet.get_sequence() missing 1 required positional argument: 'code'"),
    (lambda t: t.get_meaning(), TypeError,
     "TableSet.get_meaning() missing 2 required positional arguments: 'code' and 'raw'"),
    (lambda t: t.get_element(1, 2), TypeError,
     "TableSet.get_element() takes 1 positional arguments but 2 were given"),
    (lambda t: t.get_element(1, code=2), TypeError,
     "TableSet.get_element() got multiple values for argument 'code'"),
    (lambda t: t.get_element(fxy=2), TypeError,
     "TableSet.get_element() got an unexpected keyword argument 'fxy'"),
])
def test_lookup_argument_errors(small, call, exc, message):
    with pytest.raises(exc) as info:
        call(small)
    if message is not None:
        assert str(info.value).startswith(message)


def test_index_objects_are_accepted(small):
    class Code:
        def __index__(self):
            return 1001
    assert small.get_element(Code()).code == 1001
    assert small.get_element(True) is None


def test_text_signatures():
    assert q.TableSet.__text_signature__ == "()"
    expected = {"get_element": "($self, code)", "get_sequence": "($self, code)",
                "get_meaning": "($self, code, raw)", "expand": "($self, descriptors)",
                "from_eccodes": "(path)", "from_bufr4_45": "(path)",
                "from_definitions": "(path, message)"}
    for name, signature in expected.items():
        assert getattr(q.TableSet, name).__text_signature__ == signature, name


@pytest.mark.parametrize("loader", ["from_eccodes", "from_bufr4_45"])
@pytest.mark.parametrize("path, type_name", [(b"/tmp", "bytes"), (None, "NoneType"), (3, "int")])
def test_loader_paths_must_be_str(loader, path, type_name):
    import pathlib
    with pytest.raises(TypeError) as info:
        getattr(q.TableSet, loader)(path)
    assert str(info.value) == f"argument 'path': '{type_name}' object cannot be cast as 'str'"
    with pytest.raises(TypeError):
        getattr(q.TableSet, loader)(pathlib.Path("/tmp"))


def test_static_methods_work_on_instances_and_by_keyword(small):
    assert small.from_eccodes(path=str(WMO38)).element_count > 1500


# --- from_eccodes --------------------------------------------------------------------

def test_real_wmo_tables_known_entries():
    t = q.TableSet.from_eccodes(str(WMO38))
    e = t.get_element(12101)
    assert (e.unit, e.scale, e.reference, e.width) == ("K", 2, 0, 16)
    assert e.abbreviation == "airTemperature"
    assert t.get_sequence(301011).members == [4001, 4002, 4003]
    assert t.get_meaning(1003, 0) == "ANTARCTICA"
    assert t.get_meaning(20003, 0).startswith("CLOUD DEVELOPMENT NOT OBSERVED")


def test_every_real_wmo_version_loads():
    versions = sorted(p.name for p in (ECCODES_TABLES / "wmo").iterdir())
    assert len(versions) >= 30
    for version in versions:
        t = q.TableSet.from_eccodes(str(ECCODES_TABLES / "wmo" / version))
        assert t.element_count > 400, version


@pytest.mark.parametrize("setup, message", [
    (lambda d: None, "csv/table parse error: No such file or directory (os error 2)"),
    (lambda d: (d / "element.table").write_text(""),
     "io error: No such file or directory (os error 2)"),
    (lambda d: ((d / "element.table").write_text("1|a|t|n|u|0|0|7|x\n2|a|t|n|u|0|0|7\n"),
                (d / "sequence.def").write_text("")),
     "csv/table parse error: CSV error: record 1 (line: 2, byte: 18): found record with 8 fields, "
     "but the previous record has 9 fields"),
    (lambda d: ((d / "element.table").write_bytes(b"1|a|t|n\xff|u|0|0|7\n"),
                (d / "sequence.def").write_text("")),
     "csv/table parse error: CSV parse error: record 0 (line 1, field: 3, byte: 0): invalid utf-8: "
     "invalid UTF-8 in field 3 near byte index 1"),
    (lambda d: ((d / "element.table").write_text('1|"open|t\n'), (d / "sequence.def").write_text("")),
     "csv/table parse error: CSV error: record 0 (line: 1, byte: 0): quoted field 1 is not closed "
     "at end of file"),
    (lambda d: ((d / "element.table").write_text("abc|a|t|n|u|0|0|7\n"),
                (d / "sequence.def").write_text("")),
     'csv/table parse error: bad descriptor code "abc": invalid digit found in string'),
    (lambda d: ((d / "element.table").write_text(""), (d / "sequence.def").write_text('"300001" = 1 ]\n')),
     'csv/table parse error: "300001" = 1 ]'),
    (lambda d: ((d / "element.table").write_text(""), (d / "sequence.def").write_bytes(b"\x00\xff\xfe")),
     "io error: stream did not contain valid UTF-8"),
    (lambda d: ((d / "element.table").write_text(""), (d / "sequence.def").write_text(""),
                (d / "codetables").mkdir(), (d / "codetables" / "1003.table").write_text("x 0 m\n")),
     'csv/table parse error: bad code table key "x": invalid digit found in string'),
])
def test_from_eccodes_failures(tmp_path, setup, message):
    d = tmp_path / "t"
    d.mkdir()
    setup(d)
    with pytest.raises(ValueError) as info:
        q.TableSet.from_eccodes(str(d))
    assert info.value.args == (message,)


def test_byte_order_mark_before_the_header_comment_is_ignored(tmp_path):
    d = tmp_path / "t"
    write_table_dir(d)
    (d / "element.table").write_bytes(b"\xef\xbb\xbf#code|name\n001001|a|long|B|Numeric|0|0|7\n")
    assert q.TableSet.from_eccodes(str(d)).get_element(1001).name == "B"


def test_nul_in_path_is_a_value_error():
    with pytest.raises(ValueError) as info:
        q.TableSet.from_eccodes(str(WMO38) + "\0x")
    assert info.value.args == ("csv/table parse error: file name contained an unexpected NUL byte",)

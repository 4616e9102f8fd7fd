"""TableSet.from_definitions: the WMO and local tables a message names in a definitions root."""
import pytest

import _quorvex as q
from tables_support import DEFINITIONS, ECCODES_TABLES, message_bytes, write_table_dir

WMO_ELEMENTS = [(1001, "WMO BLOCK"), (1002, "WMO STATION")]


@pytest.fixture
def root(tmp_path):
    tables = tmp_path / "bufr" / "tables" / "0"
    write_table_dir(tables / "wmo" / "30", WMO_ELEMENTS, {301001: [1001, 1002]},
                    {1003: {0: "WMO ZERO", 1: "WMO ONE"}})
    write_table_dir(tables / "local" / "2" / "98" / "0", [(1001, "LOCAL BLOCK"), (1192, "LOCAL ONLY")],
                    code_tables={1003: {7: "LOCAL SEVEN"}})
    write_table_dir(tables / "local" / "19-1" / "98" / "0", [(1001, "V19 LOCAL")])
    (tables / "wmo" / "19").write_text("30\n")
    return tmp_path


def tables_for(root, **header):
    return q.TableSet.from_definitions(str(root), q.parse_bytes(message_bytes(**header)))


def test_local_tables_replace_wmo_entries(root):
    t = tables_for(root, master_version=30, local_version=2)
    assert (t.element_count, t.sequence_count) == (3, 1)
    assert t.get_element(1001).name == "LOCAL BLOCK"
    assert t.get_element(1002).name == "WMO STATION"
    assert t.get_meaning(1003, 0) is None and t.get_meaning(1003, 7) == "LOCAL SEVEN"


@pytest.mark.parametrize("header, block_name", [
    ({"master_version": 30, "local_version": 0}, "WMO BLOCK"),     # no local tables asked for
    ({"master_version": 30, "local_version": 2, "centre": 7}, "WMO BLOCK"),  # none for the centre
    ({"master_version": 30, "local_version": 2, "subcentre": 1}, "WMO BLOCK"),
    ({"master_version": 30, "local_version": 3}, "WMO BLOCK"),
    ({"master_version": 19, "local_version": 1}, "V19 LOCAL"),     # 19-L, WMO through an alias
])
def test_which_tables_are_chosen(root, header, block_name):
    assert tables_for(root, **header).get_element(1001).name == block_name


def test_local_directory_without_element_table(root):
    local = root / "bufr" / "tables" / "0" / "local" / "4" / "98" / "0"
    local.mkdir(parents=True)
    (local / "sequence.def").write_text('"340001" = [ 001001 ]\n')
    t = tables_for(root, master_version=30, local_version=4)
    assert (t.element_count, t.sequence_count) == (2, 2)


def test_broken_local_table_is_an_error(root):
    local = root / "bufr" / "tables" / "0" / "local" / "2" / "98" / "0"
    (local / "sequence.def").write_text('"340001" = [ 0x1001 ]\n')
    with pytest.raises(ValueError) as info:
        tables_for(root, master_version=30, local_version=2)
    assert info.value.args == ('csv/table parse error: bad descriptor code "0x1001": invalid digit found in string',)


def test_missing_root(tmp_path):
    with pytest.raises(ValueError) as info:
        tables_for(tmp_path / "none", master_version=30)
    assert info.value.args == ("csv/table parse error: ecCodes table directory does not exist: "
                               f"{tmp_path}/none/bufr/tables/0/wmo/30",)


@pytest.mark.parametrize("content, message", [
    (b"", 'invalid ecCodes table alias {wmo}/40 -> ""'),
    (b"  \n\t\n", 'invalid ecCodes table alias {wmo}/40 -> ""'),
    (b"../wmo/30", 'invalid ecCodes table alias {wmo}/40 -> "../wmo/30"'),
    (b"30\\", 'invalid ecCodes table alias {wmo}/40 -> "30\\\\"'),
    (b"\x1b30", "ecCodes table directory does not exist: {wmo}/\x1b30"),
    (b"31", "ecCodes table directory does not exist: {wmo}/31"),
])
def test_bad_alias_files(root, content, message):
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    (wmo / "40").write_bytes(content)
    with pytest.raises(ValueError) as info:
        tables_for(root, master_version=40)
    assert info.value.args == ("csv/table parse error: " + message.format(wmo=wmo),)


def test_binary_and_huge_alias_files(root):
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    (wmo / "40").write_bytes(bytes(range(256)) * 4)
    with pytest.raises(ValueError) as info:
        tables_for(root, master_version=40)
    assert info.value.args == ("io error: stream did not contain valid UTF-8",)
    (wmo / "40").write_bytes(b"a" * (1 << 20))
    with pytest.raises(ValueError, match="^csv/table parse error: ecCodes table directory does not exist: "):
        tables_for(root, master_version=40)


def test_alias_chains_and_loops(root):
    wmo = root / "bufr" / "tables" / "0" / "wmo"
    (wmo / "31").write_text("19")   # 31 -> 19 -> 30
    assert tables_for(root, master_version=31).element_count == 2
    (wmo / "41").write_text("42\n")
    (wmo / "42").write_text("41\n")
    (wmo / "43").write_text("43")
    for version in (41, 43):
        with pytest.raises(ValueError, match="^csv/table parse error: invalid ecCodes table alias "):
            tables_for(root, master_version=version)


@pytest.mark.parametrize("args, exc, message", [
    (("/x", b"BUFR"), TypeError, "argument 'message': 'bytes' object cannot be cast as 'BufrMessage'"),
    ((b"/x", None), TypeError, "argument 'path': 'bytes' object cannot be cast as 'str'"),
    (("/x",), TypeError, "TableSet.from_definitions() missing 1 required positional argument: 'message'"),
])
def test_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        q.TableSet.from_definitions(*args)
    assert str(info.value) == message


def test_keywords(root):
    m = q.parse_bytes(message_bytes(master_version=30))
    assert q.TableSet.from_definitions(message=m, path=str(root)).element_count == 2


# --- The definitions shipped with ecCodes --------------------------------------------

def local_directories():
    local = ECCODES_TABLES / "local"
    return sorted(str(p.relative_to(local)) for p in local.glob("*/*/*") if p.is_dir())


@pytest.mark.parametrize("relative", local_directories())
def test_every_real_local_directory(relative):
    name, centre, subcentre = relative.split("/")
    version, local = (19, int(name[3:])) if name.startswith("19-") else (38, int(name))
    m = q.parse_bytes(message_bytes(centre=int(centre), subcentre=int(subcentre),
                                    master_version=version, local_version=local))
    if relative in ("19-1/254/0", "4/98/0"):  # these mix 8- and 11-field rows
        with pytest.raises(ValueError, match="^csv/table parse error: CSV error: record .*: found record with"):
            q.TableSet.from_definitions(str(DEFINITIONS), m)
    else:
        wmo = q.TableSet.from_definitions(str(DEFINITIONS), q.parse_bytes(message_bytes(master_version=version)))
        t = q.TableSet.from_definitions(str(DEFINITIONS), m)
        assert t.element_count >= wmo.element_count

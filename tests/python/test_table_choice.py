"""Which tables a message is decoded with: the argument, QUORVEX_DEFINITIONS,
ECCODES_DEFINITION_PATH, else the table store in the package; nothing found on the machine."""
import pathlib
import warnings

import pytest

import quorvex
from quorvex import _engine, _tables

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "synop_wigos.bufr"
DEBIAN = "/usr/share/eccodes/definitions"
VARIABLES = ("QUORVEX_DEFINITIONS", "ECCODES_DEFINITION_PATH")


def make_root(path, version, element_rows="001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n"):
    """A definitions root with one WMO version holding `element_rows`."""
    wmo = path / "bufr" / "tables" / "0" / "wmo" / str(version)
    wmo.mkdir(parents=True)
    (wmo / "element.table").write_text(element_rows)
    (wmo / "sequence.def").write_text("")
    return str(path)


@pytest.fixture
def clean(monkeypatch):
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def first_message():
    data = EXAMPLE.read_bytes()
    offset, length, _ = _engine.scan(data)[0]
    return data, offset, length


@pytest.mark.parametrize("argument, named, eccodes, expected", [
    ("a", "n", "e", "a"),
    (None, "n", "e", "n"),
    (None, None, "e", "e"),
    (None, None, "missing:e", "e"),  # the first entry of the list that is a root
    (None, "", "e", "store"),  # QUORVEX_DEFINITIONS="": the store, whatever ecCodes's variable says
    (None, None, None, "store"),
    ("", "n", "e", "store"),  # tables="": the store
])
def test_precedence(tmp_path, clean, argument, named, eccodes, expected):
    data, offset, length = first_message()
    roots = {k: make_root(tmp_path / k, 30) for k in "ane"}

    def path(v):
        return ":".join(roots.get(p, str(tmp_path / p)) for p in v.split(":"))
    if named is not None:
        clean.setenv("QUORVEX_DEFINITIONS", path(named) if named else "")
    if eccodes is not None:
        clean.setenv("ECCODES_DEFINITION_PATH", path(eccodes))
    chooser = _engine.Tables(None if argument is None else roots.get(argument, argument))
    if expected == "store":
        assert chooser.root is None
        assert chooser.source(data, offset, length) == "store"
    else:
        assert chooser.root == roots[expected]
        # The root lacks the message's version: an error naming the directory, no fallback.
        with pytest.raises(ValueError, match="/bufr/tables/0/wmo/"):
            chooser.source(data, offset, length)


@pytest.mark.parametrize("where", ["argument", "QUORVEX_DEFINITIONS", "ECCODES_DEFINITION_PATH"])
def test_a_root_that_is_not_one_is_an_error(tmp_path, clean, where):
    kwargs = {}
    if where == "argument":
        kwargs["tables"] = str(tmp_path)
    else:
        clean.setenv(where, str(tmp_path))
    with pytest.raises(ValueError, match="is not an ecCodes definitions root"):
        quorvex.read_arrow(EXAMPLE, **kwargs)


def test_a_root_that_fails_to_load_names_the_file(tmp_path, clean):
    data, offset, length = first_message()
    version = quorvex.open(EXAMPLE)[0].master_table_version
    root = make_root(tmp_path, version, "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n"
                                        "001002|stationNumber|long|WMO STATION NUMBER|Numeric|0|zero|10\n")
    with pytest.raises(ValueError) as raised:
        _engine.Tables(root).source(data, offset, length)
    assert f"{root}/bufr/tables/0/wmo/{version}/element.table: " in str(raised.value)
    assert 'bad i64 "zero"' in str(raised.value)


def test_a_newer_master_version_uses_the_newest_and_says_so_once(clean):
    data = bytearray(EXAMPLE.read_bytes())
    offset, length, _ = _engine.scan(bytes(data))[0]
    newest = quorvex.TableSet().source and max(v for v in range(256) if _has_version(v))
    data[offset + 8 + 13] = newest + 5  # section 1, octet 14: master table version
    message = bytes(data[offset:offset + length]) * 3
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = quorvex.read_arrow(message, tables=None)
    notes = [w for w in caught if "newer than the table store" in str(w.message)]
    assert len(notes) == 1
    assert table.num_rows > 0
    with quorvex.open(message) as bufr:
        assert bufr[0].tables_source == f"store: master version {newest + 5} decoded with {newest}"


def _has_version(version):
    try:
        return quorvex.TableSet(master_version=version).source == "store"
    except ValueError:
        return False


def test_engine_tables_per_choice(tmp_path, clean):
    root = make_root(tmp_path, 30)
    assert _tables.engine_tables(root) is _tables.engine_tables(pathlib.Path(root))
    assert _tables.engine_tables(None) is not _tables.engine_tables(root)
    clean.setenv("QUORVEX_DEFINITIONS", root)
    assert _tables.engine_tables(None).root == root  # the environment is part of the choice
    given = quorvex.TableSet()
    assert _tables.engine_tables(given) is _tables.engine_tables(given)
    with pytest.raises(TypeError, match="quorvex.TableSet"):
        _tables.engine_tables(42)

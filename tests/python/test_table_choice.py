"""Which tables a message is decoded with: argument, environment, roots found on the machine,
bundled fallback, and the per-process cache."""
import csv
import logging
import os
import pathlib

import pytest

import _quorvex
from corpus_location import CORPUS
from quorvex import _tables

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "synop_wigos.bufr"
VARIABLES = ("QUORVEX_DEFINITIONS", "ECCODES_DEFINITION_PATH", "CONDA_PREFIX")


def make_root(path, versions=(), local=None):
    """A definitions root holding WMO versions (empty directories) and optionally one local
    directory (version, centre, sub-centre)."""
    tables = path / "bufr" / "tables" / "0"
    tables.mkdir(parents=True)
    for v in versions:
        (tables / "wmo" / str(v)).mkdir(parents=True)
    if local is not None:
        version, centre, subcentre = local
        (tables / "local" / str(version) / str(centre) / str(subcentre)).mkdir(parents=True)
    return str(path)


@pytest.fixture
def machine(tmp_path, monkeypatch):
    """Four candidate roots and a clean environment; Debian's place points into tmp_path."""
    for name in VARIABLES:
        monkeypatch.delenv(name, raising=False)
    roots = {name: make_root(tmp_path / name) for name in ("argument", "named", "eccodes", "debian")}
    conda = tmp_path / "conda"
    roots["conda"] = make_root(conda / "share" / "eccodes" / "definitions")
    monkeypatch.setattr(_tables, "DEBIAN_ROOT", roots["debian"])
    return roots, conda, monkeypatch


# Which of the places are set, and which root wins.
@pytest.mark.parametrize("present,winner", [
    ({"argument", "named", "eccodes", "debian", "conda"}, "argument"),
    ({"named", "eccodes", "debian", "conda"}, "named"),
    ({"eccodes", "debian", "conda"}, "eccodes"),
    ({"debian", "conda"}, "debian"),
    ({"conda"}, "conda"),
    (set(), None),
])
def test_precedence(machine, present, winner):
    roots, conda, monkeypatch = machine
    if "named" in present:
        monkeypatch.setenv("QUORVEX_DEFINITIONS", roots["named"])
    if "eccodes" in present:
        monkeypatch.setenv("ECCODES_DEFINITION_PATH", os.pathsep.join(["/nonexistent", roots["eccodes"]]))
    if "debian" not in present:
        monkeypatch.setattr(_tables, "DEBIAN_ROOT", roots["debian"] + "-absent")
    if "conda" in present:
        monkeypatch.setenv("CONDA_PREFIX", str(conda))
    argument = pathlib.Path(roots["argument"]) if "argument" in present else None
    assert _tables.choose_root(argument) == (roots[winner] if winner else None)


def test_empty_variable_means_bundled_only(machine):
    roots, conda, monkeypatch = machine
    monkeypatch.setenv("QUORVEX_DEFINITIONS", "")
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", roots["eccodes"])
    assert _tables.choose_root(None) is None
    assert _tables.choose_root(roots["argument"]) == roots["argument"]  # the argument still wins


@pytest.mark.parametrize("how", ["argument", "variable"])
def test_a_root_that_is_not_one_is_an_error(machine, tmp_path, how):
    _, _, monkeypatch = machine
    wrong = str(tmp_path / "nowhere")
    if how == "variable":
        monkeypatch.setenv("QUORVEX_DEFINITIONS", wrong)
    with pytest.raises(ValueError, match="not an ecCodes definitions root"):
        _tables.choose_root(wrong if how == "argument" else None)


@pytest.fixture
def message():
    return _quorvex.parse_all_file(str(EXAMPLE))[0]


def first_message_bytes():
    data = EXAMPLE.read_bytes()
    return data[:_quorvex.parse_all_bytes(data)[0].total_length]


def needs_bundled():
    if _tables.bundled_dir() is None:
        pytest.skip("the build has not generated quorvex/tables")


def message_with_local_tables():
    """A clean edition-4 corpus message that names local tables but uses none of their
    entries (so WMO tables decode it), and its octets."""
    if CORPUS is None:
        pytest.skip("no corpus")
    wmo = _quorvex.TableSet.from_eccodes(_tables.bundled_dir())
    with open(CORPUS / "messages.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["clean"] == "yes" and row["edition"] == "4" and row["local_version"] not in ("", "0"):
                offset, length = int(row["offset"]), int(row["length"])
                data = (CORPUS / row["path"]).read_bytes()[offset:offset + length]
                try:
                    _quorvex.decode_values_with_tables(data, wmo)
                except ValueError:
                    continue
                return _quorvex.parse_bytes(data), data
    pytest.skip("no corpus message with local tables")


# A root that has the message's WMO version and (if it names one) its local directory is
# used; one that lacks either gives way to the bundled tables.
@pytest.mark.parametrize("local", [False, True], ids=["no-local-tables", "local-tables"])
@pytest.mark.parametrize("has_version,has_local", [(True, True), (True, False), (False, True)])
def test_root_or_bundled_per_message(tmp_path, monkeypatch, local, has_version, has_local):
    needs_bundled()
    monkeypatch.delenv("QUORVEX_DEFINITIONS", raising=False)
    message, data = message_with_local_tables() if local else (
        _quorvex.parse_all_file(str(EXAMPLE))[0], first_message_bytes())
    selection = (message.local_tables_version_number, message.originating_centre, message.originating_subcentre)
    assert (selection[0] != 0) == local
    version = message.master_tables_version_number
    root = make_root(tmp_path / "root", versions=[version if has_version else version + 1],
                     local=selection if has_local else None)
    # Real WMO tables under that version, so that the root's tables can be loaded.
    wmo = pathlib.Path(root) / "bufr" / "tables" / "0" / "wmo" / str(version if has_version else version + 1)
    wmo.rmdir()
    wmo.symlink_to(_tables.bundled_dir())
    tables, source = _tables.table_set_for(message, root)
    if has_version and (has_local or not local):
        assert source == f"definitions:{root}"
    else:
        assert source == "bundled"
    assert len(_quorvex.decode_values_with_tables(data, tables)) > 0


def test_bundled_only_and_cached(monkeypatch, message, caplog):
    needs_bundled()
    monkeypatch.setenv("QUORVEX_DEFINITIONS", "")
    _tables._table_set_cache.clear()
    with caplog.at_level(logging.DEBUG, logger="quorvex"):
        first, source = _tables.table_set_for(message)
        again, _ = _tables.table_set_for(message)
    assert source == "bundled" and again is first
    assert [r.getMessage() for r in caplog.records if "bundled" in r.getMessage()] != []
    assert len([r for r in caplog.records if r.name == "quorvex"]) == 1  # logged when chosen, not per call


def test_table_set_argument_is_used_as_given(message):
    given = _quorvex.TableSet()
    assert _tables.table_set_for(message, given) == (given, "table_set")


def test_no_tables_at_all_is_an_error(monkeypatch, message):
    monkeypatch.setenv("QUORVEX_DEFINITIONS", "")
    monkeypatch.setattr(_tables, "bundled_dir", lambda: None)
    with pytest.raises(ValueError, match="no BUFR tables for master table 0 version"):
        _tables.table_set_for(message)


# The engine's chooser: one per choice per process, reporting the source of each message.
@pytest.mark.parametrize("choice", ["bundled", "root", "table_set"])
def test_engine_tables_per_choice(monkeypatch, tmp_path, choice):
    pytest.importorskip("quorvex._engine")
    needs_bundled()
    monkeypatch.setenv("QUORVEX_DEFINITIONS", "")
    message = _quorvex.parse_all_file(str(EXAMPLE))[0]
    data = first_message_bytes()
    argument = {
        "bundled": None,
        "root": make_root(tmp_path / "root", versions=[message.master_tables_version_number]),
        "table_set": _quorvex.TableSet.from_eccodes(_tables.bundled_dir()),
    }[choice]
    if choice == "root":
        wmo = tmp_path / "root" / "bufr" / "tables" / "0" / "wmo" / str(message.master_tables_version_number)
        wmo.rmdir()
        wmo.symlink_to(_tables.bundled_dir())
    tables = _tables.engine_tables(argument)
    assert _tables.engine_tables(argument) is tables
    expected = {"bundled": "bundled", "root": f"definitions:{argument}", "table_set": "table_set"}[choice]
    assert tables.source(data, 0, len(data)) == expected
    if choice == "table_set":
        assert _tables.engine_tables(_quorvex.TableSet()) is not tables

"""Which BUFR tables decode a message.

The `tables` argument of the readers says where tables come from:

- a `TableSet`: used for every message;
- a path: an ecCodes-style definitions root, whose WMO and local tables are chosen per
  message from its section 1 (master table number and version, local version, centre);
- "": the bundled tables alone (as QUORVEX_DEFINITIONS="" says);
- None: the environment variable QUORVEX_DEFINITIONS names the root ("" means the
  bundled tables alone); without it, the first definitions root found on the machine:
  ECCODES_DEFINITION_PATH, Debian's libeccodes-data, a conda environment's
  share/eccodes/definitions.

A message whose tables the root lacks (a master version it does not have), and every WMO
message when there is no root, is decoded with the WMO BUFR4 tables bundled with the
package; local tables come from the root when it has them. A message that nothing fits
(another master table, local entries nowhere to be found) is an error for that message,
never a decode with some other table.

Choices are cached per process: one engine `Tables` per (root, bundled directory) or per
`TableSet`, and one `TableSet` per table selection of a message.
"""

from __future__ import annotations

import logging
import os
import sys
import threading
from collections import OrderedDict
from collections.abc import Callable
from typing import TYPE_CHECKING, TypeVar, Union

from _quorvex import BufrMessage, TableSet

if TYPE_CHECKING:
    from ._engine import Tables

__all__ = [
    "ENV_DEFINITIONS",
    "TablesArg",
    "bundled_dir",
    "choose_root",
    "engine_tables",
    "machine_roots",
    "table_set_for",
]

TablesArg = Union[None, str, "os.PathLike[str]", TableSet]

ENV_DEFINITIONS = "QUORVEX_DEFINITIONS"
# Where Debian's libeccodes-data puts the definitions.
DEBIAN_ROOT = "/usr/share/eccodes/definitions"

log = logging.getLogger("quorvex")
_V = TypeVar("_V")

_lock = threading.Lock()
_ENGINE_CACHE_SIZE = 16
_TABLE_SET_CACHE_SIZE = 64
# (root, bundled) or ("table_set", id) -> engine Tables; a TableSet entry keeps its
# TableSet alive so that its id is not reused while cached.
_engine_cache: OrderedDict[tuple[object, ...], tuple[TableSet | None, Tables]] = OrderedDict()
# (source, master table number, master version, local version, centre, sub-centre) -> TableSet
_table_set_cache: OrderedDict[tuple[object, ...], TableSet] = OrderedDict()


def bundled_dir() -> str | None:
    """The bundled WMO table directory (quorvex/tables), or None when it is not installed.

    In a development tree the package spans python/quorvex and the build's quorvex/
    folder (where the generated tables live), so every folder of the package is tried.
    """
    package = sys.modules[__name__.rpartition(".")[0]]
    for folder in getattr(package, "__path__", []):
        candidate = os.path.join(folder, "tables")
        if os.path.isfile(os.path.join(candidate, "element.table")):
            return candidate
    return None


def _is_definitions_root(path: str) -> bool:
    return os.path.isdir(os.path.join(path, "bufr", "tables"))


def machine_roots() -> list[str]:
    """Candidate definitions roots on this machine, in the order they are tried."""
    candidates: list[str] = []
    eccodes_path = os.environ.get("ECCODES_DEFINITION_PATH", "")
    candidates += [p for p in eccodes_path.split(os.pathsep) if p]
    candidates.append(DEBIAN_ROOT)
    conda = os.environ.get("CONDA_PREFIX")
    if conda:
        candidates.append(os.path.join(conda, "share", "eccodes", "definitions"))
    return candidates


def choose_root(tables: str | os.PathLike[str] | None = None) -> str | None:
    """The definitions root for a `tables` argument that is a path or None.

    None as the result means the bundled tables alone. A root named by the argument or by
    QUORVEX_DEFINITIONS must exist: naming one that does not is a ValueError, not a
    silent fallback.
    """
    if tables is not None:
        root = os.fspath(tables)
        if root == "":
            return None
        if not _is_definitions_root(root):
            raise ValueError(f"tables={root!r} is not an ecCodes definitions root (no bufr/tables in it)")
        return root
    named = os.environ.get(ENV_DEFINITIONS)
    if named is not None:
        if named == "":
            return None
        if not _is_definitions_root(named):
            raise ValueError(f"{ENV_DEFINITIONS}={named!r} is not an ecCodes definitions root (no bufr/tables in it)")
        return named
    for candidate in machine_roots():
        if _is_definitions_root(candidate):
            return candidate
    return None


def _remember(cache: OrderedDict[tuple[object, ...], _V], key: tuple[object, ...], value: _V, limit: int) -> None:
    cache[key] = value
    cache.move_to_end(key)
    while len(cache) > limit:
        cache.popitem(last=False)


def engine_tables(tables: TablesArg = None) -> Tables:
    """The engine's table chooser for a `tables` argument, made once per choice."""
    from . import _engine

    table_set: TableSet | None = None
    root: str | None = None
    bundled: str | None = None
    if isinstance(tables, TableSet):
        table_set = tables
        key: tuple[object, ...] = ("table_set", id(tables))
    elif tables is None or isinstance(tables, (str, os.PathLike)):
        root = choose_root(tables)
        bundled = bundled_dir()
        key = (root, bundled)
    else:
        raise TypeError(f"tables must be None, a definitions root path or a TableSet, not {type(tables).__name__}")
    with _lock:
        hit = _engine_cache.get(key)
        if hit is not None:
            _engine_cache.move_to_end(key)
            return hit[1]
    if table_set is not None:
        made = _engine.Tables(None, None, table_set)
        log.debug("quorvex tables: the TableSet given, for every message")
    else:
        made = _engine.Tables(root, bundled, None)
        log.debug("quorvex tables: definitions root %s, bundled WMO tables %s", root or "none", bundled or "none")
    with _lock:
        _remember(_engine_cache, key, (table_set, made), _ENGINE_CACHE_SIZE)
    return made


def _selection(message: BufrMessage) -> tuple[int, int, int, int, int]:
    return (
        message.master_table_number,
        message.master_tables_version_number,
        message.local_tables_version_number,
        message.originating_centre,
        message.originating_subcentre,
    )


def _root_has_tables(root: str, message: BufrMessage) -> bool:
    """Whether the root holds the WMO tables of the message's master table and version.

    Its local tables are loaded over them when present; a message that needs local entries
    the root lacks fails to decode rather than taking them from elsewhere.
    """
    number, version = message.master_table_number, message.master_tables_version_number
    # A WMO version may be an alias: a file naming a sibling directory.
    return os.path.exists(os.path.join(root, "bufr", "tables", str(number), "wmo", str(version)))


def table_set_for(message: BufrMessage, tables: TablesArg = None) -> tuple[TableSet, str]:
    """The TableSet that decodes one message, and where it comes from.

    The source is "table_set", "definitions:<root>" or "bundled", as the engine reports
    it. Raises ValueError when no tables fit the message.
    """
    if isinstance(tables, TableSet):
        return tables, "table_set"
    root = choose_root(tables)
    bundled = bundled_dir()
    key: tuple[object, ...]
    if root is not None and _root_has_tables(root, message):
        source = f"definitions:{root}"
        key = (root, *_selection(message))
        definitions_root = root
        load: Callable[[], TableSet] = lambda: TableSet.from_definitions(definitions_root, message)
    elif bundled is not None and message.master_table_number == 0:
        source = "bundled"
        key = ("bundled", bundled)
        bundled_root = bundled
        load = lambda: TableSet.from_eccodes(bundled_root)
    else:
        where = f"definitions root {root}" if root is not None else "no definitions root"
        what = "no bundled tables" if bundled is None else "the bundled tables are WMO master table 0 only"
        raise ValueError(
            "no BUFR tables for master table %d version %d, local version %d, centre %d, sub-centre %d (%s; %s)"
            % (*_selection(message), where, what)
        )
    with _lock:
        hit = _table_set_cache.get(key)
        if hit is not None:
            _table_set_cache.move_to_end(key)
            return hit, source
    made = load()
    log.debug("quorvex tables: message of master version %d, local version %d, centre %d/%d: %s",
              message.master_tables_version_number, message.local_tables_version_number,
              message.originating_centre, message.originating_subcentre, source)
    with _lock:
        _remember(_table_set_cache, key, made, _TABLE_SET_CACHE_SIZE)
    return made, source

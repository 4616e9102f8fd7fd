"""The choice of tables for a decode: a TableSet for every message, a definitions root, or
the bundled WMO tables; the engine's Tables objects are cached per process."""
from __future__ import annotations

import functools
import os
import pathlib
from typing import Union

import quorvex
from _quorvex import TableSet
from quorvex import _engine

TablesArg = Union[None, str, "os.PathLike[str]", TableSet]

_DEBIAN_ROOT = "/usr/share/eccodes/definitions"


def _is_root(path: str) -> bool:
    return (pathlib.Path(path) / "bufr" / "tables").is_dir()


def find_definitions_root() -> str | None:
    """A definitions root found on the machine: $ECCODES_DEFINITION_PATH (its first entry
    that holds BUFR tables), Debian's libeccodes-data, $CONDA_PREFIX/share/eccodes/definitions."""
    candidates = [p for p in os.environ.get("ECCODES_DEFINITION_PATH", "").split(os.pathsep) if p]
    candidates.append(_DEBIAN_ROOT)
    conda = os.environ.get("CONDA_PREFIX")
    if conda:
        candidates.append(os.path.join(conda, "share", "eccodes", "definitions"))
    return next((c for c in candidates if _is_root(c)), None)


def bundled_dir() -> str | None:
    """The WMO tables shipped in the package (an ecCodes-style table directory), if built."""
    for entry in quorvex.__path__:
        candidate = pathlib.Path(entry) / "tables"
        if (candidate / "element.table").is_file():
            return str(candidate)
    return None


def default_root() -> str | None:
    """The root for tables=None: $QUORVEX_DEFINITIONS ("" meaning none: the bundled tables
    alone), else one found on the machine."""
    env = os.environ.get("QUORVEX_DEFINITIONS")
    if env is not None:
        return env or None
    return find_definitions_root()


@functools.lru_cache(maxsize=16)
def _cached(root: str | None, bundled: str | None) -> _engine.Tables:
    return _engine.Tables(root, bundled)


def engine_tables(tables: TablesArg) -> _engine.Tables:
    """The engine's table choice for the `tables` argument of the public functions."""
    if isinstance(tables, TableSet):
        return _engine.Tables(None, None, tables)
    if tables is None:
        return _cached(default_root(), bundled_dir())
    if isinstance(tables, (str, os.PathLike)):
        root = os.fspath(tables)
        if not os.path.isdir(root):
            raise ValueError(f"tables: definitions root {root!r} is not a directory")
        return _cached(root, bundled_dir())
    raise TypeError(f"tables must be None, a definitions root path or a TableSet, not {type(tables).__name__}")

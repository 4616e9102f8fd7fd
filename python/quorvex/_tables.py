"""Which BUFR tables decode a message.

The `tables` argument of the readers is None, a definitions root (an ecCodes-style
directory holding bufr/tables) or a `quorvex.TableSet`. The choice itself is made once, in
the engine, for every reader: the tables named, else the root named by QUORVEX_DEFINITIONS,
else ECCODES_DEFINITION_PATH when set, else the table store shipped in the package
(tables="" or QUORVEX_DEFINITIONS="" name the store itself). Nothing else on the machine is
looked at, so a file decodes to the same keys and values everywhere unless the user names
other tables.

This module only keeps one engine `Tables` per choice, so that loaded tables are reused
across calls.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from typing import Union

from . import _engine

__all__ = ["ENV_DEFINITIONS", "ENV_ECCODES", "TablesArg", "engine_tables"]

TablesArg = Union[None, str, "os.PathLike[str]", _engine.TableSet]

ENV_DEFINITIONS = "QUORVEX_DEFINITIONS"
ENV_ECCODES = "ECCODES_DEFINITION_PATH"

_lock = threading.Lock()
_CACHE_SIZE = 16
# (argument, environment) -> (the TableSet given, kept alive while cached; engine Tables)
_cache: OrderedDict[tuple[object, ...], tuple[object, _engine.Tables]] = OrderedDict()


def engine_tables(tables: TablesArg = None) -> _engine.Tables:
    """The engine's table chooser for a `tables` argument, made once per choice."""
    if isinstance(tables, _engine.TableSet):
        key: tuple[object, ...] = ("table_set", id(tables))
    elif tables is None or isinstance(tables, (str, os.PathLike)):
        named = None if tables is None else os.fspath(tables)
        key = (named, os.environ.get(ENV_DEFINITIONS), os.environ.get(ENV_ECCODES))
    else:
        raise TypeError(f"tables must be None, a definitions root path or a quorvex.TableSet, "
                        f"not {type(tables).__name__}")
    with _lock:
        hit = _cache.get(key)
        if hit is not None:
            _cache.move_to_end(key)
            return hit[1]
    made = _engine.Tables(tables)
    with _lock:
        _cache[key] = (tables, made)
        _cache.move_to_end(key)
        while len(_cache) > _CACHE_SIZE:
            _cache.popitem(last=False)
    return made

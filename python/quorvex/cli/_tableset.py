"""The TableSet a message selects, for the commands that walk descriptors themselves (dump's
grouping, `tables show`, `tables expand`): the package's own table choice, given the message
re-headed as edition 4 where it is older."""
from __future__ import annotations

import pathlib
from typing import Any

import _quorvex

from ._common import Header, Span


def table_set_for(buffer: Any, span: Span, header: Header, tables: str | None) -> tuple[_quorvex.TableSet, str]:
    """(TableSet, where it comes from) of one message. Raises ValueError when nothing fits."""
    from quorvex import _file, _tables
    octets = bytes(buffer[span.offset:span.offset + span.length])
    message = _quorvex.parse_bytes(_file.as_edition4(octets, header))
    return _tables.table_set_for(message, tables)


def newest_tables(tables: str | None) -> tuple[_quorvex.TableSet, str]:
    """The newest WMO tables of the definitions root, or the bundled ones: the tables for a
    descriptor asked about without a message."""
    from quorvex import _tables
    root = _tables.choose_root(tables)
    if root is not None:
        wmo = pathlib.Path(root) / "bufr" / "tables" / "0" / "wmo"
        versions = sorted((int(p.name) for p in wmo.iterdir() if p.name.isdigit() and p.is_dir()), reverse=True)
        if versions:
            return (_quorvex.TableSet.from_eccodes(str(wmo / str(versions[0]))),
                    f"definitions:{root} (WMO version {versions[0]})")
    bundled = _tables.bundled_dir()
    if bundled is None:
        raise ValueError("no tables: no definitions root found and no bundled tables")
    return _quorvex.TableSet.from_eccodes(bundled), "bundled"

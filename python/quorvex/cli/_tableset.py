"""The TableSet a message selects, for the commands that walk descriptors themselves (dump's
grouping, `tables show`, `tables expand`): the package's own table choice, given the message
re-headed as edition 4 where it is older."""
from __future__ import annotations

import pathlib
from typing import Any

import _quorvex

from ._common import Header, Span


def _as_edition4(octets: bytes, header: dict[str, Any]) -> bytes:
    """The message re-headed as edition 4: sections 0 and 1 rewritten in the edition-4 layout from the
    header fields, sections 2 to 5 unchanged."""
    if header["edition"] == 4:
        return octets
    old_section1 = int.from_bytes(octets[8:11], "big")
    international = header["international_sub_category"]
    section1 = bytes([0, 0, 22, header["master_table_number"]])
    section1 += header["centre"].to_bytes(2, "big") + header["sub_centre"].to_bytes(2, "big")
    section1 += bytes([header["update_sequence_number"], 0x80 if header["section2_present"] else 0,
                       header["data_category"], 255 if international is None else international,
                       header["local_sub_category"], header["master_table_version"], header["local_table_version"]])
    section1 += header["typical_year"].to_bytes(2, "big")
    section1 += bytes([header["typical_month"], header["typical_day"], header["typical_hour"],
                       header["typical_minute"], header["typical_second"]])
    rest = octets[8 + old_section1:]
    total = 8 + len(section1) + len(rest)
    return bytes(b"BUFR" + total.to_bytes(3, "big") + b"\x04" + section1 + rest)


def table_set_for(buffer: Any, span: Span, header: Header, tables: str | None) -> tuple[_quorvex.TableSet, str]:
    """(TableSet, where it comes from) of one message. Raises ValueError when nothing fits."""
    from quorvex import _tables
    octets = bytes(buffer[span.offset:span.offset + span.length])
    message = _quorvex.parse_bytes(_as_edition4(octets, header))
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

"""The TableSet a message selects, for the commands that walk descriptors themselves (dump's
grouping, `tables show`, `tables expand`). Decoding itself goes through the library's own
table choice; this follows the same order: an explicit definitions root, else
QUORVEX_DEFINITIONS, else a root found on the machine, and the bundled WMO tables when the
root lacks the message's tables."""
from __future__ import annotations

import os
import pathlib
import struct

import _quorvex

_SYSTEM_ROOTS = ("/usr/share/eccodes/definitions",)


def definitions_root(tables: str | None) -> str | None:
    """The definitions root the option names, or the one found on the machine; None means the
    bundled tables only."""
    if tables is None:
        tables = os.environ.get("QUORVEX_DEFINITIONS")
    if tables is not None:
        return tables or None
    candidates = [os.environ.get("ECCODES_DEFINITION_PATH"), *_SYSTEM_ROOTS]
    if os.environ.get("CONDA_PREFIX"):
        candidates.append(os.path.join(os.environ["CONDA_PREFIX"], "share", "eccodes", "definitions"))
    for candidate in candidates:
        if candidate and os.path.isdir(os.path.join(candidate, "bufr")):
            return candidate
    return None


def bundled_dir() -> pathlib.Path | None:
    """The WMO tables shipped in the package (an ecCodes-style table directory), if built."""
    import quorvex
    for base in quorvex.__path__:
        candidate = pathlib.Path(base) / "tables"
        if (candidate / "element.table").is_file():
            return candidate
    return None


def _packed(code: int) -> bytes:
    return struct.pack(">H", (code // 100000) << 14 | ((code // 1000) % 100) << 8 | code % 1000)


def edition4_header(h: dict) -> bytes:
    """A data-less edition-4 message carrying the section 1 fields of header `h` (of any
    edition) and its descriptors, so that `_quorvex` can choose tables for it."""
    sec1 = struct.pack(">BHHBBBBBBBHBBBBB", h["master_table_number"], h["centre"], h["sub_centre"],
                       h["update_sequence_number"], 0, h["data_category"],
                       h["international_sub_category"], h["local_sub_category"],
                       h["master_table_version"], h["local_table_version"], h["typical_year"],
                       h["typical_month"], h["typical_day"], h["typical_hour"], h["typical_minute"],
                       h["typical_second"])
    sec1 = (len(sec1) + 3).to_bytes(3, "big") + sec1
    body = b"\0" + struct.pack(">HB", h["number_of_subsets"], 0xC0 if h["compressed"] else 0x80)
    body += b"".join(_packed(c) for c in h["descriptors"])
    sec3 = (len(body) + 3).to_bytes(3, "big") + body
    sec4 = (4).to_bytes(3, "big") + b"\0"
    total = 8 + len(sec1) + len(sec3) + len(sec4) + 4
    return b"BUFR" + total.to_bytes(3, "big") + b"\x04" + sec1 + sec3 + sec4 + b"7777"


def table_set_for(header: dict | None, tables: str | None) -> tuple[_quorvex.TableSet, str]:
    """(TableSet, where it comes from) for a message header, or the newest WMO tables of the
    root (or the bundled ones) when `header` is None. Raises ValueError when nothing fits."""
    root = definitions_root(tables)
    problem = None
    if root is not None:
        try:
            if header is None:
                return _newest_wmo(root)
            message = _quorvex.parse_bytes(edition4_header(header))
            return _quorvex.TableSet.from_definitions(root, message), f"definitions:{root}"
        except ValueError as e:
            problem = str(e)
    bundled = bundled_dir()
    if bundled is not None and (header is None or header["master_table_number"] == 0):
        return _quorvex.TableSet.from_eccodes(str(bundled)), "bundled"
    raise ValueError(problem or "no tables: no definitions root found and no bundled tables")


def _newest_wmo(root: str) -> tuple[_quorvex.TableSet, str]:
    wmo = pathlib.Path(root) / "bufr" / "tables" / "0" / "wmo"
    versions = sorted((int(p.name) for p in wmo.iterdir() if p.name.isdigit() and p.is_dir()), reverse=True)
    if not versions:
        raise ValueError(f"no WMO table versions under {wmo}")
    return _quorvex.TableSet.from_eccodes(str(wmo / str(versions[0]))), f"definitions:{root} (WMO version {versions[0]})"

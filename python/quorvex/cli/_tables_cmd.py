"""`quorvex tables show` and `quorvex tables expand`: descriptors in the tables a message selects."""
from __future__ import annotations

import json
from typing import Any

from rich.console import Console
from rich.text import Text

from quorvex._engine import TableSet

from . import _common, _tableset
from ._common import Header

CODE_TABLE_LISTING_LIMIT = 1 << 14   # raw values tried when a code table is listed

OPERATORS = {
    1: "change data width", 2: "change scale", 3: "change reference values", 4: "add associated field",
    5: "signify character", 6: "signify data width for the next local descriptor",
    7: "increase scale, reference value and data width", 8: "change width of CCITT IA5 field",
    21: "data not present", 22: "quality information follows", 23: "substituted values operator",
    24: "first-order statistical values follow", 25: "difference statistical values follow",
    32: "replaced/retained values follow", 35: "cancel backward data reference",
    36: "define data present bit-map", 37: "use defined data present bit-map",
}


def describe(code: int, table_set: TableSet) -> tuple[str, str]:
    """(kind, text) of one descriptor in a TableSet."""
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    if f == 0:
        e = table_set.get_element(code)
        if e is None:
            return "element", "not in Table B"
        return "element", f"{e.name} [{e.unit}]"
    if f == 1:
        times = f"{y} time{'s' if y != 1 else ''}" if y else "delayed (factor follows)"
        return "replication", f"the next {x} descriptor{'s' if x != 1 else ''}, {times}"
    if f == 2:
        return "operator", OPERATORS.get(x, "operator") + f" (Y={y})"
    seq = table_set.get_sequence(code)
    if seq is None:
        return "sequence", "not in Table D"
    return "sequence", f"{len(seq.members)} members"


def code_table(table_set: TableSet, code: int, width: int) -> list[tuple[int, str]]:
    entries = []
    for raw in range(min(1 << width, CODE_TABLE_LISTING_LIMIT)):
        meaning = table_set.get_meaning(code, raw)
        if meaning is not None:
            entries.append((raw, meaning))
    return entries


def message_tables(path: str, message: int, tables: str | None) -> tuple[Header, tuple[TableSet, str]]:
    """The header of message `message` of `path` and (TableSet, source) it selects; raises
    ValueError or OSError."""
    buffer = _common.map_file(path)
    span = _common.find_span(_common.scan(buffer), message)
    if span.error is not None:
        raise ValueError(span.error)
    header = _common.read_header(buffer, span)
    return header, _tableset.table_set_for(buffer, span, header, tables)


def show(console: Console, code: int, table_set: TableSet, source: str, as_json: bool) -> bool:
    """Prints what `code` is; False when the tables do not know it."""
    kind, text = describe(code, table_set)
    record: dict[str, Any] = {"descriptor": code, "kind": kind, "tables": source}
    lines = [Text.assemble((_common.descriptor_text(code), "bold"), "  ", (kind, "magenta"), "  ", text)]
    known = True
    if kind == "element":
        e = table_set.get_element(code)
        known = e is not None
        if e is not None:
            record.update(name=e.name, key=e.abbreviation, unit=e.unit, scale=e.scale, reference=e.reference,
                          width=e.width, type=e.element_type)
            lines.append(Text(f"  key {e.abbreviation or '-'}  unit {e.unit}  scale {e.scale}  "
                              f"reference {e.reference}  width {e.width}  type {e.element_type}"))
            entries = code_table(table_set, code, e.width)
            if entries:
                record["code_table"] = {str(raw): meaning for raw, meaning in entries}
                flags = e.unit.lower().startswith("flag")
                lines.append(Text("  flag table (bit numbers):" if flags else "  code table:", style="bold"))
                lines.extend(Text(f"    {raw:>5}  {meaning}") for raw, meaning in entries)
    elif kind == "sequence":
        seq = table_set.get_sequence(code)
        known = seq is not None
        if seq is not None:
            record["members"] = seq.members
            for member in seq.members:
                member_kind, member_text = describe(member, table_set)
                lines.append(Text.assemble("  ", (_common.descriptor_text(member), "dim"), "  ", member_text))
    lines.append(Text(f"  tables: {source}", style="dim"))
    if as_json:
        console.file.write(json.dumps(record, ensure_ascii=False) + "\n")
    else:
        for line in lines:
            console.print(line, soft_wrap=True, highlight=False)
    return known


def expand_tree(console: Console, codes: list[int], table_set: TableSet) -> None:
    """The structure of a descriptor list as the engine walks it: sequences opened,
    replications with their group once. Raises ValueError when the list cannot be walked."""
    for depth, code in table_set.expand_tree(codes):
        kind, text = describe(code, table_set)
        console.print(Text.assemble("  " * (depth + 1), (_common.descriptor_text(code), "dim"), "  ",
                                    (kind + "  ", "magenta") if kind != "element" else "", text),
                      soft_wrap=True, highlight=False)

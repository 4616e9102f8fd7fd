"""`quorvex dump`: every value of one message or of all messages of a file, in the structure
the engine stated while decoding it (sequences, replications and their repetitions, and
attributes under the elements they qualify)."""
from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from typing import Any, Union

from rich.console import Console
from rich.text import Text

from quorvex import _engine
from quorvex._arrow import MAX_MESSAGE_ROWS

from . import _common
from ._common import Header, Problems, Span

Row = dict[str, Any]   # one value: VALUE_COLUMNS and their values

VALUE_COLUMNS = ("descriptor", "key", "rank", "name", "unit", "value", "text", "raw", "meaning", "role")
# (kind, code, count, row): one step of the nesting as the engine states it.
Event = tuple[str, int, int, int]


@dataclass
class Group:
    """A sequence (its values in `items`) or a replication (`count` repetitions, each a list)."""
    kind: str
    code: int
    count: int = 0
    items: list[Item] = field(default_factory=list)
    repetitions: list[list[Item]] = field(default_factory=list)


Item = Union[int, Group]   # a row of the message's table, or a group of them


@dataclass
class Decoded:
    """One message as the engine gives it: its rows, each subset's tree of row numbers, the
    attributes of each row that has some, and the name each attribute goes by under its
    element (key->name, as ecCodes writes it)."""
    rows: list[Row]
    trees: list[list[Item]]
    attributes: dict[int, list[int]]
    labels: dict[int, str]


def read_tree(buffer: Any, span: Span, tables: str | None, max_message_rows: int = MAX_MESSAGE_ROWS) -> Decoded:
    """The rows and structure of one message. Raises BadMessageError (a ValueError)."""
    import pyarrow as pa

    from quorvex import _errors, _tables
    batch, bad, events, links = _engine.read_tree(buffer, span.offset, span.length, _tables.engine_tables(tables),
                                                  max_message_rows)
    for _, _, kind, reason, _ in bad:
        _errors.report_bad("error", (span.index, span.offset, kind, reason, 0))
    table = pa.table(batch)
    columns = {name: table.column(name).to_pylist() for name in VALUE_COLUMNS}
    rows = [{name: values[i] for name, values in columns.items()} for i in range(table.num_rows)]
    subset_of = table.column("subset").to_pylist()
    attributes: dict[int, list[int]] = {}
    labels: dict[int, str] = {}
    for row, target, name in links:
        attributes.setdefault(target, []).append(row)
        labels[row] = name or rows[row]["key"] or rows[row]["name"]
    attached = set(labels)
    starts = [0] * (len(events) + 1)
    for row, subset in enumerate(subset_of):
        starts[subset + 1] = row + 1
    for s in range(1, len(starts)):
        starts[s] = max(starts[s], starts[s - 1])
    trees = [tree(range(starts[s], starts[s + 1]), subset_events, attached)
             for s, subset_events in enumerate(events)]
    return Decoded(rows, trees, attributes, labels)


def tree(rows: range, events: list[Event], attached: set[int]) -> list[Item]:
    """The rows of one subset placed in the groups the events open and close (attributes left
    out: they stand under the rows they qualify)."""
    top: list[Item] = []
    stack: list[tuple[str, list[Item], Group | None]] = [("top", top, None)]

    def apply(event: Event) -> None:
        kind, code, count, _ = event
        if kind in ("sequence", "replication"):
            group = Group(kind, code, count)
            stack[-1][1].append(group)
            stack.append((kind, group.items, group))
            return
        if stack[-1][0] == "repetition":
            stack.pop()
        if kind == "repetition":
            group = stack[-1][2]
            if group is None or group.kind != "replication":
                raise RuntimeError("the engine stated a repetition outside a replication")
            group.repetitions.append([])
            stack.append(("repetition", group.repetitions[-1], group))
        elif len(stack) > 1:   # close
            stack.pop()

    k = 0
    for row in rows:
        while k < len(events) and events[k][3] <= row:
            apply(events[k])
            k += 1
        if row not in attached:
            stack[-1][1].append(row)
    for event in events[k:]:
        apply(event)
    return top


def _number(value: float) -> str:
    if math.isfinite(value) and value == int(value) and abs(value) < 1e16:
        return str(int(value))
    return repr(value)


def value_text(row: Row) -> str:
    if row.get("text") is not None:
        return json.dumps(row["text"], ensure_ascii=False)
    if row.get("value") is None:
        return "missing"
    return _number(row["value"])


def key_text(row: Row) -> str:
    """The key as ecCodes numbers it (#2#pressure), else the value's name."""
    if row.get("key") is None:
        return row.get("name") or ""
    return f"#{row['rank']}#{row['key']}" if row.get("rank") else row["key"]


def header_line(path: str, span: Span, h: Header) -> str:
    first = " ".join(_common.descriptor_text(c) for c in h["descriptors"][:4])
    more = f" +{len(h['descriptors']) - 4}" if len(h["descriptors"]) > 4 else ""
    return (f"{path}  message {span.index}  offset {span.offset}  {span.length} octets  "
            f"edition {h['edition']}  centre {h['centre']}/{h['sub_centre']}  "
            f"category {_common.category(h)}  "
            f"{_common.typical_time(h)}  {h['number_of_subsets']} subset(s)"
            f"{' compressed' if h['compressed'] else ''}  descriptors {first}{more}")


def group_title(group: Group) -> str:
    if group.kind == "sequence":
        return "sequence"
    x = (group.code // 1000) % 100
    kind = "delayed replication" if group.code % 1000 == 0 else "replication"
    return (f"{kind} of {x} descriptor{'s' if x != 1 else ''}, {group.count} time"
            f"{'s' if group.count != 1 else ''}")


class TextWriter:
    """The indented text form: sequences and replications as headed, indented blocks."""

    def __init__(self, console: Console, decoded: Decoded):
        self.console = console
        self.rows = decoded.rows
        self.attributes = decoded.attributes
        self.labels = decoded.labels

    def line(self, depth: int, *parts: tuple[str, str | None]) -> None:
        text = Text("  " * depth)
        for part, style in parts:
            text.append(part, style=style)
        self.console.print(text, soft_wrap=True, highlight=False)

    def value(self, depth: int, row: int) -> None:
        r = self.rows[row]
        present = r.get("value") is not None or r.get("text") is not None
        label = "->" + self.labels[row] if row in self.labels else key_text(r)
        parts = [(_common.descriptor_text(r["descriptor"]) + "  ", "dim"), (label + " = ", None),
                 (value_text(r), "bold" if present else "dim italic")]
        unit = r.get("unit")
        if (unit and r.get("value") is not None and r.get("text") is None
                and not unit.lower().startswith(("code table", "flag table", "ccitt", "numeric"))):
            parts.append((" " + unit, "green"))
        if r.get("meaning") is not None:
            parts.append(("  " + r["meaning"], "cyan"))
        self.line(depth, *parts)
        for attribute in self.attributes.get(row, ()):
            self.value(depth + 1, attribute)

    def tree(self, depth: int, items: list[Item]) -> None:
        for item in items:
            if isinstance(item, int):
                self.value(depth, item)
                continue
            title = group_title(item)
            if item.repetitions and not any(item.repetitions):
                title += " (attributes, shown under the elements they qualify)"
            self.line(depth, (_common.descriptor_text(item.code) + "  ", "dim"), (title, "magenta"))
            self.tree(depth + 1, item.items)
            for n, repetition in enumerate(item.repetitions, 1):
                if repetition:
                    self.line(depth + 1, (f"[{n}]", "magenta"))
                    self.tree(depth + 2, repetition)

    def message(self, path: str, span: Span, h: Header, trees: list[list[Item]]) -> None:
        self.console.print(Text(header_line(path, span, h), style="bold"), soft_wrap=True, highlight=False)
        for n, items in enumerate(trees):
            self.line(1, (f"subset {n + 1} of {len(trees)}", "bold magenta"))
            self.tree(2, items)


def json_value(row: Row, decoded: Decoded, index: int) -> Row:
    value = row.get("value")
    if isinstance(value, float) and not math.isfinite(value):
        row = dict(row, value=None)
    if index in decoded.labels:
        row = dict(row, attribute=decoded.labels[index])
    attributes = decoded.attributes.get(index)
    if attributes:
        row = dict(row, attributes=[json_value(decoded.rows[a], decoded, a) for a in attributes])
    return row


def json_tree(items: list[Item], decoded: Decoded) -> list[Row]:
    """Values as objects of VALUE_COLUMNS (with their "attributes", each with the name it goes by
    under its element as "attribute"); groups as
    {"sequence": code, "items": [...]} and {"replication": code, "count": n, "repetitions": [[...], ...]}."""
    out: list[Row] = []
    for item in items:
        if isinstance(item, int):
            out.append(json_value(decoded.rows[item], decoded, item))
        elif item.kind == "sequence":
            out.append({"sequence": item.code, "items": json_tree(item.items, decoded)})
        else:
            node: Row = {"replication": item.code, "count": item.count,
                         "repetitions": [json_tree(r, decoded) for r in item.repetitions]}
            if item.items:
                node["items"] = json_tree(item.items, decoded)
            out.append(node)
    return out


def dump_file(path: str, message: int | None, fmt: str, tables: str | None, problems: Problems,
              console: Console, max_message_rows: int = MAX_MESSAGE_ROWS) -> None:
    opened = _common.open_and_scan(path, problems)
    if opened is None:
        return
    buffer, spans = opened
    if message is not None:
        try:
            spans = iter([_common.find_span(spans, message)])
        except ValueError as e:
            problems.report(path, str(e), always=True)
            return
    for span in _common.good_spans(path, spans, problems):
        try:
            h = _common.read_header(buffer, span)
            decoded = read_tree(buffer, span, tables, max_message_rows)
            _common.check(buffer)
        except ValueError as e:
            problems.report(path, _common.reason(e), message=span.index, offset=span.offset)
            continue
        if fmt == "json":
            record = {"file": str(path), "message": span.index, "offset": span.offset, "length": span.length,
                      **h, "subsets": [json_tree(items, decoded) for items in decoded.trees]}
            console.file.write(json.dumps(record, ensure_ascii=False) + "\n")
        else:
            TextWriter(console, decoded).message(path, span, h, decoded.trees)

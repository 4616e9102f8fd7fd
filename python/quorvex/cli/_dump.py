"""`quorvex dump`: every value of one message or of all messages of a file."""
from __future__ import annotations

import json
import math
from collections.abc import Callable
from typing import Any

from rich.console import Console
from rich.text import Text

from quorvex._arrow import MAX_MESSAGE_ROWS

from . import _common, _groups, _tableset
from ._common import Header, Problems, Span

Row = dict[str, Any]   # one value: VALUE_COLUMNS and their values

VALUE_COLUMNS = ("descriptor", "name", "unit", "value", "text", "raw", "meaning")


def decode_message(buffer: Any, span: Span, tables: str | None, max_message_rows: int = MAX_MESSAGE_ROWS) -> Any:
    """The values of one message as a pyarrow Table in the library's long shape."""
    import quorvex
    return quorvex.read_arrow(memoryview(buffer)[span.offset:span.offset + span.length],
                              tables=tables, on_bad_message="error", max_message_rows=max_message_rows)


def subsets(table: Any) -> list[list[Row]]:
    """The rows of one message's table, split by subset, each row a dict of VALUE_COLUMNS."""
    columns = {name: table.column(name).to_pylist() for name in VALUE_COLUMNS if name in table.column_names}
    subset_of = table.column("subset").to_pylist()
    out: list[list[Row]] = []
    for row, subset in enumerate(subset_of):
        while len(out) <= subset:
            out.append([])
        out[subset].append({name: values[row] for name, values in columns.items()})
    return out


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


def json_value(row: Row) -> Row:
    value = row.get("value")
    if isinstance(value, float) and not math.isfinite(value):
        row = dict(row, value=None)
    return row


def header_line(path: str, span: Span, h: Header) -> str:
    first = " ".join(_common.descriptor_text(c) for c in h["descriptors"][:4])
    more = f" +{len(h['descriptors']) - 4}" if len(h["descriptors"]) > 4 else ""
    return (f"{path}  message {span.index}  offset {span.offset}  {span.length} octets  "
            f"edition {h['edition']}  centre {h['centre']}/{h['sub_centre']}  "
            f"category {_common.category(h)}  "
            f"{_common.typical_time(h)}  {h['number_of_subsets']} subset(s)"
            f"{' compressed' if h['compressed'] else ''}  descriptors {first}{more}")


class TextWriter:
    """The indented text form: sequences and replications as headed, indented blocks."""

    def __init__(self, console: Console):
        self.console = console

    def line(self, depth: int, *parts: tuple[str, str | None]) -> None:
        text = Text("  " * depth)
        for part, style in parts:
            text.append(part, style=style)
        self.console.print(text, soft_wrap=True, highlight=False)

    def value(self, depth: int, row: Row, name_width: int) -> None:
        name = row.get("name") or ""
        parts = [(_common.descriptor_text(row["descriptor"]) + "  ", "dim"),
                 (name.ljust(max(name_width - 2 * depth, len(name))) + "  ", None),
                 (value_text(row), "bold" if row.get("value") is not None or row.get("text") is not None
                  else "dim italic")]
        unit = row.get("unit")
        if (unit and row.get("value") is not None and row.get("text") is None
                and not unit.lower().startswith(("code table", "flag table", "ccitt", "numeric"))):
            parts.append((" " + unit, "green"))
        if row.get("meaning") is not None:
            parts.append(("  " + row["meaning"], "cyan"))
        self.line(depth, *parts)

    def tree(self, depth: int, items: _groups.Tree, rows: list[Row], name_width: int) -> None:
        for item in items:
            if isinstance(item, int):
                self.value(depth, rows[item], name_width)
                continue
            code = _common.descriptor_text(item.code)
            if item.code // 100000 == 3:
                self.line(depth, (code + "  ", "dim"), ("sequence", "magenta"))
                self.tree(depth + 1, item.repeats[0], rows, name_width)
                continue
            x = (item.code // 1000) % 100
            kind = "delayed replication" if item.factor is not None else "replication"
            self.line(depth, (code + "  ", "dim"),
                      (f"{kind} of {x} descriptor{'s' if x != 1 else ''}, {len(item.repeats)} time"
                       f"{'s' if len(item.repeats) != 1 else ''}", "magenta"))
            if item.factor is not None:
                self.value(depth + 1, rows[item.factor], name_width)
            for n, repeat in enumerate(item.repeats, 1):
                self.line(depth + 1, (f"[{n}]", "magenta"))
                self.tree(depth + 2, repeat, rows, name_width)

    def message(self, path: str, span: Span, h: Header, groups_for: Callable[[list[Row]], _groups.Tree | None],
                parts: list[list[Row]]) -> None:
        self.console.print(Text(header_line(path, span, h), style="bold"), soft_wrap=True, highlight=False)
        name_width = min(max((len(r.get("name") or "") for rows in parts for r in rows), default=0), 56) + 4
        for n, rows in enumerate(parts):
            self.line(1, (f"subset {n + 1} of {len(parts)}", "bold magenta"))
            tree = groups_for(rows)
            if tree is None:
                for row in rows:
                    self.value(2, row, name_width)
            else:
                self.tree(2, tree, rows, name_width)


def sequences_lookup(buffer: Any, span: Span, header: Header, tables: str | None) -> _groups.Sequences | None:
    """code -> members for the message's tables, or None when no tables can be had (values are
    then shown without grouping)."""
    try:
        table_set, _ = _tableset.table_set_for(buffer, span, header, tables)
    except ValueError:
        return None

    def members(code: int) -> list[int] | None:
        entry = table_set.get_sequence(code)
        return None if entry is None else entry.members
    return members


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
    writer = TextWriter(console)
    for span in _common.good_spans(path, spans, problems):
        try:
            h = _common.read_header(buffer, span)
            table = decode_message(buffer, span, tables, max_message_rows)
            _common.check(buffer)
        except ValueError as e:
            problems.report(path, _common.reason(e), message=span.index, offset=span.offset)
            continue
        parts = subsets(table)
        if fmt == "json":
            record = {"file": str(path), "message": span.index, "offset": span.offset, "length": span.length,
                      **h, "subsets": [[json_value(r) for r in rows] for rows in parts]}
            console.file.write(json.dumps(record, ensure_ascii=False) + "\n")
            continue
        lookup = sequences_lookup(buffer, span, h, tables)

        def groups_for(rows: list[Row], lookup: _groups.Sequences | None = lookup,
                       h: Header = h) -> _groups.Tree | None:
            if lookup is None:
                return None
            return _groups.group(h["descriptors"], lookup, [r["descriptor"] for r in rows],
                                 [r.get("value") for r in rows])
        writer.message(path, span, h, groups_for, parts)

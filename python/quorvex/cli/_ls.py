"""`quorvex ls`: one line per message, from sections 0, 1 and 3 only (nothing is decoded)."""
from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from typing import IO, Any

from rich.console import Console
from rich.table import Table

from . import _common
from ._common import Header, Problems

# (heading, right-aligned, width of the plain-text column)
COLUMNS = (("file", False, 0), ("msg", True, 4), ("offset", True, 9), ("length", True, 7), ("ed", True, 2),
           ("centre", False, 7), ("category", False, 9), ("typical time", False, 19), ("subsets", True, 7),
           ("compr", False, 5), ("descriptors", False, 0))
SHOWN_DESCRIPTORS = 3


def header_of(m: Any) -> Header:
    """The header fields of a library Message, as the engine names them."""
    from quorvex._file import HEADER_FIELDS
    return {**{name: getattr(m, name) for name in HEADER_FIELDS}, "descriptors": m.descriptors}


def row(path: str, m: Any, h: Header) -> list[str]:
    codes = h["descriptors"]
    shown = " ".join(_common.descriptor_text(c) for c in codes[:SHOWN_DESCRIPTORS])
    if len(codes) > SHOWN_DESCRIPTORS:
        shown += f" +{len(codes) - SHOWN_DESCRIPTORS}"
    return [str(path), str(m.index), str(m.offset), str(m.length), str(h["edition"]),
            f"{h['centre']}/{h['sub_centre']}",
            _common.category(h),
            _common.typical_time(h), str(h["number_of_subsets"]), "yes" if h["compressed"] else "no", shown]


def json_record(path: str, m: Any, h: Header) -> str:
    return json.dumps({"file": str(path), "message": m.index, "offset": m.offset, "length": m.length, **h})


def headers(paths: Sequence[str], problems: Problems) -> Iterator[tuple[str, Any, Header]]:
    """(path, message, header) of every readable message, from the library's BufrFile;
    problem lines for the others and for files that hold none (the library's warnings)."""
    import quorvex
    mode = "error" if problems.mode == "error" else "warn"
    for path in paths:
        try:
            with _common.decoding(path, None, problems):
                bufr = quorvex.open(path, on_bad_message=mode)
        except OSError as e:
            problems.report(path, f"cannot read: {e.strerror or e}", always=True)
            continue
        with bufr:
            for m in bufr:
                yield path, m, header_of(m)


class PlainLines:
    """Aligned text, written as it comes (the file column takes the width of the longest path
    named on the command line)."""

    def __init__(self, out: IO[str], paths: Sequence[str]):
        self.out = out
        self.widths = [w or max([len(str(p)) for p in paths] + [4]) for _, _, w in COLUMNS]
        self.widths[-1] = 0
        self.add([name for name, _, _ in COLUMNS])

    def add(self, cells: list[str]) -> None:
        parts = [c.rjust(w) if right else c.ljust(w) for c, (_, right, _), w in zip(cells, COLUMNS, self.widths)]
        self.out.write("  ".join(parts).rstrip() + "\n")

    def close(self) -> None:
        pass


class RichTable:
    """A rich table, shown once every message is read."""

    def __init__(self, console: Console):
        self.console = console
        self.table = Table(box=None, header_style="bold", pad_edge=False)
        for name, right, width in COLUMNS:
            self.table.add_column(name, justify="right" if right else "left",
                                  style="dim" if name in ("offset", "length") else None,
                                  no_wrap=name != "file", overflow="ellipsis" if name == "descriptors" else "fold",
                                  min_width=max(len(name), width, 13 if name == "descriptors" else 0),
                                  max_width=24 if name == "descriptors" else None)

    def add(self, cells: list[str]) -> None:
        self.table.add_row(*cells)

    def close(self) -> None:
        if self.table.row_count:
            self.console.print(self.table)


def run(paths: Sequence[str], as_json: bool, problems: Problems, console: Console) -> None:
    if as_json:
        for path, m, h in headers(paths, problems):
            console.file.write(json_record(path, m, h) + "\n")
        return
    sink: RichTable | PlainLines = RichTable(console) if console.is_terminal else PlainLines(console.file, paths)
    try:
        for path, m, h in headers(paths, problems):
            sink.add(row(path, m, h))
    finally:
        sink.close()

"""Plumbing shared by the commands: problem lines on stderr, opening files, finding messages."""
from __future__ import annotations

import contextlib
import itertools
import os
import sys
import warnings
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

import click

Header = dict[str, Any]   # the header fields of one message, as the engine reads them


class Stop(Exception):
    """Raised after a problem line when the user asked to stop at the first problem."""


class Problems:
    """Counts and prints the problems met while a command runs.

    One line per problem on stderr, naming the file and, when there is one, the message
    (numbered from 0 in each file, as the `message` column and `--message` count) and its
    offset. `mode` follows `on_bad_message`: "warn" prints and goes on, "skip" goes on
    silently, "error" prints and stops. Any problem makes the exit status 1.
    """

    def __init__(self, mode: str = "warn"):
        self.mode = mode
        self.count = 0
        self._colour = sys.stderr.isatty() and "NO_COLOR" not in os.environ

    def report(self, file: object, text: str, *, message: int | None = None, offset: int | None = None,
               always: bool = False) -> None:
        """One problem. `always` prints even under "skip" (files that cannot be read at all)."""
        self.count += 1
        if self.mode != "skip" or always:
            where = str(file)
            if message is not None:
                where += f": message {message}"
            if offset is not None:
                where += f" at offset {offset}"
            prefix = click.style("error", fg="red", bold=True) if self._colour else "error"
            click.echo(f"{prefix}: {where}: {text}", err=True)
        if self.mode == "error":
            raise Stop()

    @property
    def exit_code(self) -> int:
        return 1 if self.count else 0


@dataclass(frozen=True)
class Span:
    """One message found in a file: its number in the file, where it lies, and the framing
    problem (the engine's reason) when its declared length does not hold."""
    index: int
    offset: int
    length: int
    error: str | None


def engine() -> Any:
    from quorvex import _engine
    return _engine


def map_file(path: str) -> Any:
    """The octets of a file, memory-mapped and watched (an empty file gives b""; a pipe is read
    whole). Raises OSError."""
    from quorvex._sources import map_path
    return map_path(path)


def check(buffer: Any) -> None:
    """Raises OSError naming the file when it shrank while it was read."""
    from quorvex._sources import check_intact
    check_intact(buffer)


def scan(buffer: Any) -> Iterator[Span]:
    """Every "BUFR" the engine finds, good or not, numbered in file order: found a window of
    the file at a time, so that memory does not grow with the number of markers."""
    from quorvex._arrow import scan_windows
    for _, first, found in scan_windows([buffer]):
        check(buffer)
        for k, (offset, length, error) in enumerate(found):
            yield Span(first + k, offset, length, None if error is None else error[1])


class Counted:
    """Spans passed through, counted: after the last, `count` is the number in the file."""

    def __init__(self, spans: Iterable[Span]):
        self.spans = spans
        self.count = 0

    def __iter__(self) -> Iterator[Span]:
        for span in self.spans:
            self.count = span.index + 1
            yield span


def find_span(spans: Iterator[Span], message: int) -> Span:
    """Span number `message`; ValueError saying how many there are when there is none."""
    count = 0
    for span in spans:
        if span.index == message:
            return span
        count = span.index + 1
    raise ValueError(f"no message {message} (the file holds {count})")


def open_file(path: str) -> tuple[Any, Iterator[Span]] | str:
    """(buffer, spans) of a file, or the text of why it cannot be used (unreadable, or no BUFR
    message in it)."""
    try:
        buffer = map_file(path)
    except OSError as e:
        return f"cannot read: {e.strerror or e}"
    spans = scan(buffer)
    first = next(spans, None)
    if first is None:
        empty = len(buffer) == 0
        release(buffer)
        return no_message_text(empty)
    return buffer, itertools.chain([first], spans)


def release(buffer: Any) -> None:
    """Closes the file mapped for `buffer` now, before the next file is opened; OSError
    naming it when it shrank while it was read."""
    from quorvex._sources import release_mapping
    release_mapping(buffer)


def open_and_scan(path: str, problems: Problems) -> tuple[Any, Iterator[Span]] | None:
    """(buffer, spans) of a file, or None after a problem line."""
    opened = open_file(path)
    if isinstance(opened, str):
        problems.report(path, opened, always=True)
        return None
    return opened


def good_spans(path: str, spans: Iterable[Span], problems: Problems) -> Iterator[Span]:
    """The spans whose framing holds; a problem line for each of the others."""
    for span in spans:
        if span.error is None:
            yield span
        else:
            problems.report(path, span.error, message=span.index, offset=span.offset)


def reason(failure: ValueError) -> str:
    """What a failure says is wrong: a bad message's reason (its place is on the problem line),
    else the whole text."""
    from quorvex import BadMessageError
    return failure.reason if isinstance(failure, BadMessageError) else str(failure)


def read_header(buffer: Any, span: Span) -> Header:
    header: Header = engine().read_header(buffer, span.offset, span.length)
    return header


def report_bad(path: str, group: list[Span] | None, bad: Any, problems: Problems) -> None:
    """A problem line for one of the library's BadMessageWarnings or BadMessageErrors. Its
    message number is the one in the file, or with `group` a position in `group`."""
    if group is None:
        problems.report(path, bad.reason, message=bad.message_index, offset=bad.offset)
        return
    span = group[bad.message_index]
    problems.report(path, bad.reason, message=span.index, offset=span.offset)


def no_message_text(empty: bool) -> str:
    return "empty file" if empty else "no BUFR message found"


@contextlib.contextmanager
def decoding(path: str, group: list[Span] | None, problems: Problems) -> Iterator[None]:
    """Runs the library on a file or a group of its messages: its bad-message warnings and
    errors become problem lines, each as it comes (none is held: a file of garbage can hold
    millions), and so does a file with no message at all (shown even under "skip")."""
    from quorvex import BadMessageError, BadMessageWarning, NoMessageError, NoMessageWarning
    with warnings.catch_warnings():
        warnings.simplefilter("always", UserWarning)   # every bad message, not once per place
        show = warnings.showwarning

        def show_as_problem(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                            file: Any = None, line: str | None = None) -> None:
            if isinstance(message, BadMessageWarning):
                report_bad(path, group, message, problems)
            elif isinstance(message, NoMessageWarning):
                problems.report(path, no_message_text(message.empty), always=True)
            else:
                show(message, category, filename, lineno, file, line)

        warnings.showwarning = show_as_problem
        try:
            yield
        except BadMessageError as e:
            report_bad(path, group, e, problems)
        except NoMessageError as e:
            problems.report(path, no_message_text(e.empty), always=True)


# What names standard input on the command line.
STDIN = "-"


def expand_files(names: Iterable[str], problems: Problems) -> list[str]:
    """The files named on the command line, as the library's readers take them: a directory
    or a glob pattern gives its files, sorted; "-" is standard input (read to its end). A
    directory or a pattern with no file in it is a problem line."""
    from quorvex._sources import expand_paths
    files: list[str] = []
    for name in names:
        if name == STDIN:
            files.append("/dev/stdin")
            continue
        expanded = expand_paths(name)
        if expanded is None:
            files.append(name)
        elif expanded:
            files += expanded
        else:
            problems.report(name, "no file matches" if not os.path.isdir(name) else "no file in the directory",
                            always=True)
    return files


def typical_time(h: Header) -> str:
    return (f"{h['typical_year']:04}-{h['typical_month']:02}-{h['typical_day']:02} "
            f"{h['typical_hour']:02}:{h['typical_minute']:02}:{h['typical_second']:02}")


def category(h: Header) -> str:
    """Data category / international sub-category / local sub-category ("-" where the
    edition has none)."""
    parts = (h["data_category"], h["international_sub_category"], h["local_sub_category"])
    return "/".join("-" if p is None else str(p) for p in parts)


def descriptor_text(code: int) -> str:
    return f"{code:06}"


def parse_descriptor(text: str) -> int:
    """A descriptor written as 301011, 3-01-011 or 3 01 011."""
    parts = text.replace("-", " ").split()
    try:
        if len(parts) == 3:
            f, x, y = (int(p) for p in parts)
            if 0 <= f <= 3 and 0 <= x <= 63 and 0 <= y <= 255:
                return f * 100000 + x * 1000 + y
        elif len(parts) == 1 and parts[0].isdigit() and len(parts[0]) <= 6:
            code = int(parts[0])
            if code // 100000 <= 3 and (code % 100000) // 1000 <= 63 and code % 1000 <= 255:
                return code
    except ValueError:
        pass
    raise click.BadParameter(f"{text!r} is not a descriptor (write it as 301011 or 3-01-011)",
                             param_hint="DESCRIPTOR")

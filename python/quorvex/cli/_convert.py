"""`quorvex convert`: BUFR files to Parquet, CSV or JSON Lines, batch by batch."""
from __future__ import annotations

import contextlib
import os
import pathlib
import signal
import sys
import tempfile
from collections.abc import Generator, Iterable, Iterator, Sequence
from typing import Any

import click

from . import _common
from ._common import Problems, Span
from ._options import bad_message_options, finish, max_message_rows_option, problems_for, tables_option
from ._sinks import FORMATS, SINKS, ArrowSink, JsonLinesSink, Sink, SpooledSink

__all__ = ["ArrowSink", "JsonLinesSink", "convert_command"]

Options = dict[str, Any]   # the command's options that reach the decoding

# ---------------------------------------------------------------------------------------------
# progress


class Progress:
    """A bar of octets and messages done, on stderr, only when stderr is a terminal."""

    def __init__(self, total_bytes: int):
        self.bar = None
        if not sys.stderr.isatty():
            return
        from rich.console import Console
        from rich.progress import BarColumn, DownloadColumn, TextColumn, TimeRemainingColumn, TransferSpeedColumn
        from rich.progress import Progress as Bar
        self.bar = Bar(TextColumn("{task.description}"), BarColumn(), DownloadColumn(),
                       TextColumn("{task.fields[messages]} messages"), TransferSpeedColumn(),
                       TimeRemainingColumn(), console=Console(stderr=True), transient=False)
        self.task = self.bar.add_task("converting", total=total_bytes, messages=0)
        self.bar.start()

    def advance(self, octets: int, messages: int, name: str) -> None:
        if self.bar is not None:
            done = self.bar.tasks[0].fields["messages"] + messages
            self.bar.update(self.task, advance=octets, messages=done, description=name)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.stop()


# ---------------------------------------------------------------------------------------------
# one file


# Octets of BUFR decoded per batch at the most. Compressed satellite data expand to some 250
# octets of Arrow columns per octet of BUFR, so this, more than the message count, keeps the
# memory of a conversion flat; a larger message makes a batch of its own.
BATCH_OCTETS = 256 << 10


def _batches(spans: Iterable[Span], batch_messages: int, batch_octets: int = BATCH_OCTETS) -> Iterator[list[Span]]:
    group: list[Span] = []
    octets = 0
    for span in spans:
        if group and (len(group) >= batch_messages or octets + span.length > batch_octets):
            yield group
            group, octets = [], 0
        group.append(span)
        octets += span.length
    if group:
        yield group


def _in_file_numbers(table: Any, group: list[Span]) -> Any:
    """A table or batch decoded from the sources of `group`: `message` numbered as in the
    file, `source` dropped. The library's message number is the position in `group`."""
    import pyarrow as pa
    if "source" in table.schema.names:
        table = table.remove_column(table.schema.get_field_index("source"))
    index = table.schema.get_field_index("message")
    if index < 0:
        return table
    in_file = pa.array([span.index for span in group], table.schema.field(index).type)
    numbers = in_file.take(table.column(index))
    return table.set_column(index, table.schema.field(index), numbers)


def _sources(buffer: Any, group: list[Span]) -> Any:
    """What to hand the library for one group: the stretch of the file that holds it when no
    bad message lies among them (the library then finds exactly these messages, numbered from
    0), else one source per message (numbered across the list)."""
    view = memoryview(buffer)
    if group[-1].index - group[0].index == len(group) - 1:
        return view[group[0].offset:group[-1].offset + group[-1].length]
    return [view[s.offset:s.offset + s.length] for s in group]


def _long_batches(path: str, options: Options, problems: Problems) -> Generator[Any, None, int | None]:
    """Long-shape batches (one row per value) of one file, numbered in the file by the
    library; the generator's value is the number of messages found in the file, None when it
    could not be opened. A failure to read past the first batch ends the conversion."""
    import quorvex
    batches = quorvex.iter_batches(path, batch_messages=options["batch_messages"], tables=options["tables"],
                                   threads=options["threads"], on_bad_message=options["library_mode"],
                                   max_message_rows=options["max_message_rows"])
    with _common.decoding(path, None, problems):
        try:
            first = next(batches)  # the file is opened and scanned here
        except StopIteration as done:
            found: int = done.value
        except OSError as e:
            problems.report(path, f"cannot read: {e.strerror or e}", always=True)
            return None
        else:
            yield first
            found = yield from batches
    return found


def _wide_batches(path: str, buffer: Any, group: list[Span], options: Options, problems: Problems) -> Iterator[Any]:
    """Wide-shape batches (one row per subset) of one group of messages of a file."""
    import pyarrow as pa

    import quorvex
    frame = None
    with _common.decoding(path, group, problems):
        try:
            frame = quorvex.read_dataframe(_sources(buffer, group), columns=options["columns"],
                                           filters=options["filters"], tables=options["tables"],
                                           on_bad_message=options["library_mode"],
                                           max_message_rows=options["max_message_rows"])
        except KeyError as e:  # a column no table defines: the command line is wrong
            raise click.UsageError(e.args[0]) from None
    if frame is not None:
        yield from _in_file_numbers(pa.Table.from_pandas(frame, preserve_index=False), group).to_batches()


def _with_source(batch: Any, position: int, message_base: int) -> Any:
    """The columns of a conversion of several files: message counts across them and `source`
    (the file's position on the command line) follows it."""
    import pyarrow as pa
    import pyarrow.compute as pc
    index = batch.schema.get_field_index("message")
    if index < 0:
        return batch.append_column("source", _repeat(position, batch.num_rows))
    column = batch.column(index)
    batch = batch.set_column(index, "message", pc.add(column, pa.scalar(message_base, column.type)))
    return batch.add_column(index + 1, "source", _repeat(position, batch.num_rows))


def _repeat(position: int, rows: int) -> Any:
    import numpy as np
    import pyarrow as pa
    return pa.array(np.full(rows, position, dtype=np.int32))


def check_output(out: pathlib.Path, files: Sequence[str]) -> None:
    """Usage errors found before anything is read or opened for writing: an output in a
    directory that does not exist, or an output that is one of the inputs."""
    directory = out.parent
    if not directory.is_dir():
        raise click.BadParameter(f"{str(directory)!r} is not a directory", param_hint="--output")
    if not out.exists():
        return
    for path in files:
        with contextlib.suppress(OSError):
            if os.path.samefile(path, out):
                raise click.BadParameter(f"{str(out)!r} is also an input file", param_hint="--output")


def convert(files: Sequence[str], out: pathlib.Path, fmt: str, options: Options, problems: Problems) -> None:
    """Writes to a temporary file beside `out`, renamed to `out` once every batch is written:
    an interrupted or failed run leaves no partial file under the final name."""
    descriptor, temporary = tempfile.mkstemp(prefix=f".{out.name}.", suffix=".part", dir=out.parent)
    os.close(descriptor)
    try:
        if fmt == "bufr":
            _write_bufr(temporary, out, files, options, problems)
            _stop_if_terminated()
            os.chmod(temporary, 0o666 & ~_umask())
            os.replace(temporary, out)
            return
        inner = SINKS[fmt](pathlib.Path(temporary), fmt)
        sink: Sink = SpooledSink(inner, out) if options["wide"] and fmt != "jsonl" else inner
        progress = Progress(sum(_size(path) for path in files))
        try:
            write = _write_wide if options["wide"] else _write_long
            write(sink, files, progress, options, problems)
        except BaseException:
            progress.close()
            sink.discard()
            raise
        progress.close()
        sink.finish(_empty_schema(options))
        _stop_if_terminated()
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, out)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
    if sink.rows == 0:
        problems.report(out, "no rows were written (the file holds the columns only)", always=True)


def _write_bufr(temporary: str, out: pathlib.Path, files: Sequence[str], options: Options,
                problems: Problems) -> None:
    from ._bufr_out import write_messages
    progress = Progress(sum(_size(path) for path in files))
    try:
        with open(temporary, "wb") as handle:
            written = write_messages(handle, files, options["tables"], options["compress"], problems, progress)
    finally:
        progress.close()
    if written == 0:
        problems.report(out, "no message was written (the file is empty)", always=True)


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _write_long(sink: Sink, files: Sequence[str], progress: Progress, options: Options, problems: Problems) -> None:
    """Each file through the library into `sink`: with several files, `message` counts across
    them and `source` is the file's position on the command line."""
    message_base = 0
    for position, path in enumerate(files):
        batches = _long_batches(path, options, problems)
        while True:
            try:
                batch = next(batches)
            except StopIteration as done:
                found = done.value
                break
            sink.write(_with_source(batch, position, message_base) if len(files) > 1 else batch)
            _stop_if_terminated()
        progress.advance(_size(path), found or 0, os.path.basename(path))
        message_base += found or 0


def _write_wide(sink: Sink, files: Sequence[str], progress: Progress, options: Options, problems: Problems) -> None:
    """Each file, a group of its messages at a time, through read_dataframe into `sink`."""
    message_base = 0
    for position, path in enumerate(files):
        found = _common.open_file(path)
        if isinstance(found, str):
            problems.report(path, found, always=True)
            continue
        buffer, spans = found
        counted = _common.Counted(spans)
        for group in _batches(_common.good_spans(path, counted, problems), options["batch_messages"]):
            for batch in _wide_batches(path, buffer, group, options, problems):
                sink.write(_with_source(batch, position, message_base) if len(files) > 1 else batch)
                _stop_if_terminated()
            _common.check(buffer)
        _common.release(buffer)  # before the next file is opened
        progress.advance(_size(path), counted.count, os.path.basename(path))
        message_base += counted.count


def _empty_schema(options: Options) -> Any:
    """The columns of an output with no rows: those of the long shape, none of the wide."""
    import pyarrow as pa

    import quorvex
    return pa.schema([]) if options["wide"] else quorvex.read_arrow(b"", on_bad_message="skip").schema


# ---------------------------------------------------------------------------------------------
# the command


def _filter_value(text: str) -> Any:
    """A filter value: a number when it reads as one, else the text; A,B,... is a list of them."""
    if "," in text:
        return [_filter_value(part) for part in text.split(",")]
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def parse_filters(items: Sequence[str]) -> dict[str, Any] | None:
    filters = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key.strip() or not value:
            raise click.BadParameter(f"{item!r}: write KEY=VALUE (VALUE may be A,B,... for any of them)",
                                     param_hint="--filter")
        filters[key.strip()] = _filter_value(value)
    return filters or None


@click.command("convert")
@click.argument("files", nargs=-1, required=True, type=click.Path())
@click.option("-o", "--output", "out", required=True, type=click.Path(dir_okay=False, path_type=pathlib.Path),
              help="Where to write: .parquet (.pq), .csv, .jsonl (.ndjson) for JSON Lines, or .bufr for "
                   "the messages written again as BUFR edition 4.")
@click.option("--wide", is_flag=True,
              help="One row per subset and one column per key (the shape of quorvex.read_dataframe) "
                   "instead of one row per value (the shape of quorvex.read_arrow).")
@click.option("--columns", default=None, metavar="KEY,...", help="With --wide: only these columns.")
@click.option("--filter", "filter_items", multiple=True, metavar="KEY=VALUE",
              help="With --wide: keep the subsets whose KEY equals VALUE (A,B,... for any of them); repeatable.")
@click.option("--threads", type=click.IntRange(min=1), default=None, help="Decoding threads (default: all cores).")
@click.option("--batch-messages", type=click.IntRange(min=1), default=1024, show_default=True,
              help="Messages decoded and written per batch at the most (a batch of the long shape also "
                   "holds at most about a MiB of BUFR); memory follows this, not the input size.")
@click.option("--compress/--no-compress", "compress", default=None,
              help="With a .bufr output: write compressed (or uncompressed) data; by default each message "
                   "keeps its own.")
@tables_option
@bad_message_options
@max_message_rows_option
def convert_command(files: tuple[str, ...], out: pathlib.Path, wide: bool, columns: str | None,
                    filter_items: tuple[str, ...], threads: int | None, batch_messages: int, compress: bool | None,
                    tables: str | None, on_bad_message: str, fail_fast: bool, max_message_rows: int) -> None:
    """Decode FILES into one table file, batch by batch. FILES may name directories and glob
    patterns (their files, sorted) and "-" for standard input.

    The long shape has one row per value (message, subset, descriptor, name, unit, value, text,
    raw, meaning); with several FILES, `message` counts across them and `source` says which
    file. A progress bar shows on stderr when it is a terminal.
    """
    fmt = FORMATS.get(out.suffix.lower())
    if fmt is None:
        raise click.BadParameter(f"cannot tell the format from {out.name!r}: use "
                                 f"{', '.join(sorted(FORMATS))}", param_hint="--output")
    if (columns or filter_items) and not wide:
        raise click.UsageError("--columns and --filter go with --wide")
    if compress is not None and fmt != "bufr":
        raise click.UsageError("--compress and --no-compress go with a .bufr output")
    if fmt == "bufr" and wide:
        raise click.UsageError("--wide does not go with a .bufr output")
    problems = problems_for(on_bad_message, fail_fast)
    try:
        paths = _common.expand_files(files, problems)
    except _common.Stop:
        sys.exit(problems.exit_code)
    check_output(out, paths)
    options: Options = {"wide": wide, "threads": threads, "batch_messages": batch_messages, "tables": tables,
               "columns": [c.strip() for c in columns.split(",") if c.strip()] if columns else None,
               "filters": parse_filters(filter_items), "max_message_rows": max_message_rows, "compress": compress,
               "library_mode": "error" if problems.mode == "error" else "warn"}
    with _terminate_as_exit():
        finish(problems, lambda: convert(paths, out, fmt, options, problems))


# The signal numbers of terminations received in this run. The handler's SystemExit can be
# swallowed where it lands (a finaliser such as a writer's __del__ reports and drops it), so the
# work also asks here between batches and before the output takes its name.
_terminations: list[int] = []


def _stop_if_terminated() -> None:
    if _terminations:
        raise SystemExit(128 + _terminations[0])


@contextlib.contextmanager
def _terminate_as_exit() -> Iterator[None]:
    """SIGTERM raises SystemExit (status 143), so the temporary output and the spool are
    removed as on Ctrl-C, instead of the process ending where it stands; Ctrl-C (SIGINT),
    once they are removed, ends the run with status 130 as a shell reports it."""
    def terminate(signum: int, frame: Any) -> None:
        _terminations.append(signum)
        raise SystemExit(128 + signum)

    def interrupt(signum: int, frame: Any) -> None:
        _terminations.append(signum)
        raise KeyboardInterrupt
    previous = {}
    try:
        previous[signal.SIGTERM] = signal.signal(signal.SIGTERM, terminate)
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # an ignored Ctrl-C stays ignored
            previous[signal.SIGINT] = signal.signal(signal.SIGINT, interrupt)
    except ValueError:  # not the main thread
        pass
    try:
        yield
    except KeyboardInterrupt:
        raise SystemExit(128 + signal.SIGINT) from None
    finally:
        _terminations.clear()
        for signum, handler in previous.items():
            signal.signal(signum, handler)

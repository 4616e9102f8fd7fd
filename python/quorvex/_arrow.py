"""read_arrow and iter_batches: whole files decoded into Arrow record batches by the engine."""
from __future__ import annotations

import bisect
import itertools
import os
from collections.abc import Generator, Iterator, Sequence
from typing import Any

import numpy as np
import pyarrow as pa

from quorvex import _engine
from quorvex._errors import Bad, OnBadMessage, check_on_bad_message, report_bad, report_no_message
from quorvex._sources import Buffer, Source, check_intact, copy_messages, flatten, holds_file, opened, source_name
from quorvex._tables import TablesArg, engine_tables

# Octets scanned for message boundaries at a time: the list of boundaries in hand stays
# small whatever the size of the file.
_SCAN_WINDOW = 64 << 20
# Scan windows start at the smallest size and double while they find few markers: input
# dense with "BUFR" (a marker every four octets) then costs a window of entries at a time,
# never one per marker of a whole file.
_SMALLEST_SCAN_WINDOW = 64 << 10
_FEW_MARKERS = 1024
# Damaged messages held for the batch they precede, at the most: past this, the messages
# waiting are decoded as a smaller batch so that the damaged ones can be reported.
_HELD_BAD = 4096
# Per engine call for read_arrow: at most this many messages and, past the first
# message, this many octets of them. The engine's threads wait for each other at the end
# of a call, so calls are large; what a call holds beyond its columns is one message per
# thread.
_READ_BATCH = 65536
_READ_OCTETS = 32 << 20
# Per batch of iter_batches, past the first message: compressed data expand to some 250
# octets of columns per octet of BUFR, so this bounds a batch's memory more than its
# message count does.
_ITER_OCTETS = 1 << 20
# The caller's cap on the rows of one message; the engine also holds every message to 64
# rows and 16 octets of text per octet of it, plus an allowance.
MAX_MESSAGE_ROWS = 1 << 22


def check_max_message_rows(max_message_rows: int) -> int:
    if isinstance(max_message_rows, bool) or not isinstance(max_message_rows, int) or max_message_rows < 1:
        raise ValueError(f"max_message_rows must be a positive int, not {max_message_rows!r}")
    return max_message_rows


def default_threads(threads: int | None) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not on Linux
            return max(1, os.cpu_count() or 1)
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    return threads


def record_batches(batch: _engine.Batch) -> list[pa.RecordBatch]:
    """The record batches of one engine call, without a copy (at least one, maybe empty)."""
    if batch.num_batches == 1:
        return [pa.record_batch(batch)]
    return list(pa.RecordBatchReader.from_stream(batch))


def table_of(batch: _engine.Batch) -> pa.Table:
    """The rows of one engine call as a table, chunked as the engine made them."""
    return pa.Table.from_batches(record_batches(batch))


# (offset, length, error) of one marker found by the engine's scan; error None or (kind, reason).
Found = tuple[int, int, "tuple[str, str] | None"]


def buffer_size(buffer: Buffer) -> int:
    return len(memoryview(buffer).cast("B")) if isinstance(buffer, memoryview) else len(buffer)


def _next_window(window: int, found: int) -> int:
    return min(2 * window, _SCAN_WINDOW) if found < _FEW_MARKERS else _SMALLEST_SCAN_WINDOW


def scan_buffer(buffer: Buffer, first: int = 0, headers: bool = False) -> Iterator[tuple[int, list[Any]]]:
    """(index of the first message, entries of the engine's scan) of each window of one buffer,
    the messages numbered from `first`."""
    size = buffer_size(buffer)
    start = 0
    window = _SMALLEST_SCAN_WINDOW
    while start < size:
        end = min(size, start + window)
        found, start, _ = _engine.scan_window(buffer, start, end, headers)
        yield first, found
        first += len(found)
        window = _next_window(window, len(found))


def scan_index(buffer: Buffer, position: int = 0, first: int = 0) -> Iterator[tuple[np.ndarray, list[Bad], int]]:
    """(whole messages, damaged markers, markers found) of each window of one buffer: the whole
    messages as rows (position, index, offset, length) of an int64 array read in place from the
    engine's scan, the messages numbered from `first`. A whole message costs a row of four
    numbers, so the windows grow while they find few damaged markers (each one a Python entry)."""
    size = buffer_size(buffer)
    start = 0
    window = _SMALLEST_SCAN_WINDOW
    while start < size:
        rows, bad, start, _, found = _engine.scan_index(buffer, start, min(size, start + window), position, first)
        yield np.frombuffer(rows, np.int64).reshape(-1, 4), bad, found
        first += found
        window = _next_window(window, len(bad))


def message_array(parts: Sequence[np.ndarray | Sequence[tuple[int, int, int, int]]]) -> np.ndarray:
    """One (n, 4) int64 array of message rows (position, index, offset, length) from arrays or
    lists of such tuples."""
    arrays = [np.asarray(p, np.int64).reshape(-1, 4) for p in parts]
    if len(arrays) == 1:
        return arrays[0]
    return np.concatenate(arrays) if arrays else np.empty((0, 4), np.int64)


def scan_windows(buffers: list[Buffer], headers: bool = False) -> Iterator[tuple[int, int, list[Any]]]:
    """(source position, index of the first message, entries of the engine's scan) of each
    window of the sources scanned, the index counting across the sources."""
    index = 0
    for position, buffer in enumerate(buffers):
        for first, found in scan_buffer(buffer, index, headers):
            yield position, first, found
            index = first + len(found)


def scan_messages(buffers: list[Buffer], headers: bool = False) -> Iterator[tuple[Any, ...]]:
    """(source position, message index, *entry) of every message found, the index counting
    across the sources; an entry is (offset, length, error[, header]) as the engine scans."""
    for position, first, found in scan_windows(buffers, headers):
        for k, entry in enumerate(found):
            yield (position, first + k, *entry)


def _batches(
    source: Source,
    batch_messages: int,
    tables: TablesArg,
    threads: int | None,
    on_bad_message: str,
    keys: bool,
    empty: bool,
    batch_octets: int | None = None,
    max_message_rows: int = MAX_MESSAGE_ROWS,
) -> Generator[pa.RecordBatch, None, int]:
    """The record batches of `source`; the generator's value is the number of messages found
    (every marker, damaged ones included): the index the next source would start from.

    The sources of a list are opened one at a time: the messages of a file that still wait
    for a batch when its scan ends are copied out of it, and the file is closed before the
    next is opened."""
    check_on_bad_message(on_bad_message)
    check_max_message_rows(max_message_rows)
    if isinstance(batch_messages, bool) or not isinstance(batch_messages, int) or batch_messages < 1:
        raise ValueError(f"batch_messages must be a positive int, not {batch_messages!r}")
    n_threads = default_threads(threads)
    chooser = engine_tables(tables)
    items, is_list = flatten(source)
    # One buffer per source: the open file, the copied messages of a closed one that still
    # wait for a batch, or nothing.
    buffers: list[Buffer] = [b""] * len(items)
    moved: dict[int, int] = {}  # index -> offset in its file, of a message copied out of it
    # Whole windows of the scan at a time: the messages waiting for a batch, the running
    # total of their octets, and the damaged ones found on the way (in index order).
    pending: list[tuple[int, int, int, int]] = []
    ends: list[int] = []
    flushed = 0  # the running total where `pending` starts
    scan_bad: list[Bad] = []
    yielded = False
    current = 0  # the position of the open source

    def flush(count: int, final: bool = False) -> list[pa.RecordBatch]:
        nonlocal flushed
        batch, bad = _engine.decode(buffers, pending[:count], chooser, n_threads, keys, is_list, max_message_rows)
        check_intact(buffers[current])
        bad = [(index, moved.get(index, offset), kind, reason, position)
               for index, offset, kind, reason, position in bad]
        # the damaged messages before the batch's last message are reported with it
        cut = len(scan_bad) if final else bisect.bisect_left(scan_bad, pending[count - 1][1], key=lambda b: b[0])
        for one in sorted(scan_bad[:cut] + bad):
            report_bad(on_bad_message, one, stacklevel=5)
        del scan_bad[:cut]
        if count:
            flushed = ends[count - 1]
        for _, index, _, _ in pending[:count]:
            moved.pop(index, None)
        done = {m[0] for m in pending[:count]}
        del pending[:count], ends[:count]
        for position in done - {current} - {m[0] for m in pending[:1]}:
            buffers[position] = b""  # the copied messages of a closed file, all decoded
        return record_batches(batch)

    def full() -> int:
        """How many pending messages make the next batch; 0 when they are too few."""
        count = batch_messages
        if batch_octets is not None:
            count = min(count, bisect.bisect_left(ends, flushed + batch_octets) + 1)
        return count if count <= len(pending) else 0

    def last() -> Iterator[pa.RecordBatch]:
        """The batch of what is left, before the last source is closed."""
        nonlocal yielded
        if pending or scan_bad or (empty and not yielded):
            for record_batch in flush(len(pending), final=True):
                if record_batch.num_rows or (empty and not yielded):
                    yield record_batch
                    yielded = True

    found_count = 0
    for current, item in enumerate(items):
        with opened(item) as buffer:
            buffers[current] = buffer
            before = found_count
            for first, found in scan_buffer(buffer, found_count):
                found_count = first + len(found)
                scan_bad += [(first + k, o, *e, current) for k, (o, n, e) in enumerate(found) if e is not None]
                good = [(current, first + k, o, n) for k, (o, n, e) in enumerate(found) if e is None]
                pending += good
                ends += list(itertools.accumulate((m[3] for m in good), initial=ends[-1] if ends else flushed))[1:]
                if not pending:  # nothing to wait for: damaged messages are reported as they are found
                    for one in scan_bad:
                        report_bad(on_bad_message, one, stacklevel=4)
                    scan_bad.clear()
                elif len(scan_bad) > _HELD_BAD:
                    for record_batch in flush(len(pending)):
                        if record_batch.num_rows:
                            yield record_batch
                            yielded = True
                while count := full():
                    for record_batch in flush(count):
                        if record_batch.num_rows:
                            yield record_batch
                            yielded = True
            if found_count == before:
                # what came before is reported first
                if pending or scan_bad:
                    for record_batch in flush(len(pending), final=True):
                        if record_batch.num_rows:
                            yield record_batch
                            yielded = True
                report_no_message(on_bad_message, source_name(item), current, buffer_size(buffer) == 0)
            if current + 1 == len(items):
                yield from last()
                return found_count
            waiting = [k for k, m in enumerate(pending) if m[0] == current]
            if waiting and holds_file(item, buffer):
                buffers[current], offsets = copy_messages(buffer, [pending[k][2:] for k in waiting])
                for k, offset in zip(waiting, offsets):
                    position, index, old, length = pending[k]
                    moved[index] = old
                    pending[k] = (position, index, offset, length)
            elif not waiting:
                buffers[current] = b""
    yield from last()
    return found_count


def iter_batches(
    source: Source,
    *,
    batch_messages: int = 1024,
    tables: TablesArg = None,
    threads: int | None = None,
    on_bad_message: OnBadMessage = "error",
    max_message_rows: int = MAX_MESSAGE_ROWS,
) -> Generator[pa.RecordBatch, None, int]:
    """Record batches of the values of `batch_messages` messages at a time (one row per
    decoded value; with several threads, the rows of those messages may come in a few
    batches, in message order), and fewer when they hold more than a MiB of BUFR: memory
    stays flat whatever the size of the source. The generator's value (what `yield from`
    gives) is the number of messages found, damaged ones included.

    A message may give at most 64 rows and 16 octets of text per octet of it (plus an
    allowance: real messages give at most about 17 and 2), and at most `max_message_rows`
    rows; one that gives more is a bad message, handled as `on_bad_message` says. A source in
    which no BUFR message is found at all is a quorvex.NoMessageError (a NoMessageWarning
    under "warn", nothing under "skip"). The files of a list, a directory or a glob pattern
    are opened one at a time."""
    return _batches(source, batch_messages, tables, threads, on_bad_message, True, False, _ITER_OCTETS,
                    max_message_rows)


def read_arrow(
    source: Source,
    *,
    tables: TablesArg = None,
    threads: int | None = None,
    on_bad_message: OnBadMessage = "error",
    max_message_rows: int = MAX_MESSAGE_ROWS,
) -> pa.Table:
    """Every message of `source` decoded into one table, one row per value (a message over
    its budget of rows is a bad message, as in iter_batches)."""
    batches = list(_batches(source, _READ_BATCH, tables, threads, on_bad_message, True, True, _READ_OCTETS,
                            max_message_rows))
    return pa.Table.from_batches(batches)

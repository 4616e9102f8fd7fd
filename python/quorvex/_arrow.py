"""read_arrow and iter_batches: whole files decoded into Arrow record batches by the engine."""
from __future__ import annotations

import bisect
import itertools
import os
import warnings
from collections.abc import Iterator
from typing import Literal

import pyarrow as pa

from quorvex import _engine
from quorvex._sources import Buffer, Source, open_sources
from quorvex._tables import TablesArg, engine_tables

OnBadMessage = Literal["error", "warn", "skip"]

# Octets scanned for message boundaries at a time: the list of boundaries in hand stays
# small whatever the size of the file.
_SCAN_WINDOW = 64 << 20
# Per engine call for read_arrow: at most this many messages and, past the first
# message, this many octets of them. The engine's threads wait for each other at the end
# of a call, so calls are large; what a call holds beyond its columns is one message per
# thread.
_READ_BATCH = 65536
_READ_OCTETS = 32 << 20


class BadMessageWarning(UserWarning):
    """A message skipped by on_bad_message="warn": its index, offset and the decoder's text."""

    def __init__(self, message_index: int, offset: int, reason: str) -> None:
        super().__init__(_bad_text(message_index, offset, reason))
        self.message_index = message_index
        self.offset = offset
        self.reason = reason


def _bad_text(message_index: int, offset: int, reason: str) -> str:
    return f"bad message {message_index} at offset {offset}: {reason}"


def check_on_bad_message(on_bad_message: str) -> None:
    if on_bad_message not in ("error", "warn", "skip"):
        raise ValueError(f'on_bad_message must be "error", "warn" or "skip", not {on_bad_message!r}')


def report_bad(on_bad_message: str, message_index: int, offset: int, reason: str, stacklevel: int = 4) -> None:
    """Raises, warns or does nothing about one bad message, as on_bad_message says."""
    if on_bad_message == "error":
        raise ValueError(_bad_text(message_index, offset, reason))
    if on_bad_message == "warn":
        warnings.warn(BadMessageWarning(message_index, offset, reason), stacklevel=stacklevel)


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


def scan_windows(buffers: list[Buffer]) -> Iterator[tuple[int, int, list[tuple[int, int, str | None]]]]:
    """(source position, index of the first message, [(offset, length, error), ...]) of each
    window of the sources scanned, the index counting across the sources."""
    index = 0
    for position, buffer in enumerate(buffers):
        size = len(memoryview(buffer).cast("B")) if isinstance(buffer, memoryview) else len(buffer)
        start = 0
        while start < size:
            end = min(size, start + _SCAN_WINDOW)
            found = _engine.scan(buffer, start, end)
            yield position, index, found
            index += len(found)
            start = end
            if found:  # the scan resumes after the last whole message, or four octets past a damaged one
                offset, length, error = found[-1]
                start = max(end, offset + (length if error is None else 4))


def scan_messages(buffers: list[Buffer]) -> Iterator[tuple[int, int, int, int, str | None]]:
    """(source position, message index, offset, length, error) of every message found, the
    index counting across the sources."""
    for position, first, found in scan_windows(buffers):
        for k, (offset, length, error) in enumerate(found):
            yield position, first + k, offset, length, error


def _batches(
    source: Source,
    batch_messages: int,
    tables: TablesArg,
    threads: int | None,
    on_bad_message: str,
    keys: bool,
    empty: bool,
    batch_octets: int | None = None,
) -> Iterator[pa.RecordBatch]:
    check_on_bad_message(on_bad_message)
    if isinstance(batch_messages, bool) or not isinstance(batch_messages, int) or batch_messages < 1:
        raise ValueError(f"batch_messages must be a positive int, not {batch_messages!r}")
    n_threads = default_threads(threads)
    chooser = engine_tables(tables)
    with open_sources(source) as (buffers, is_list):
        # Whole windows of the scan at a time: the messages waiting for a batch, the running
        # total of their octets, and the damaged ones found on the way (in index order).
        pending: list[tuple[int, int, int, int]] = []
        ends: list[int] = []
        flushed = 0  # the running total where `pending` starts
        scan_bad: list[tuple[int, int, str]] = []
        yielded = False

        def flush(count: int, final: bool = False) -> list[pa.RecordBatch]:
            nonlocal flushed
            batch, bad = _engine.decode(buffers, pending[:count], chooser, n_threads, keys, is_list)
            # the damaged messages before the batch's last message are reported with it
            cut = len(scan_bad) if final else bisect.bisect_left(scan_bad, pending[count - 1][1], key=lambda b: b[0])
            for message_index, offset, reason in sorted(scan_bad[:cut] + bad):
                report_bad(on_bad_message, message_index, offset, reason, stacklevel=5)
            del scan_bad[:cut]
            if count:
                flushed = ends[count - 1]
            del pending[:count], ends[:count]
            return record_batches(batch)

        def full() -> int:
            """How many pending messages make the next batch; 0 when they are too few."""
            count = batch_messages
            if batch_octets is not None:
                count = min(count, bisect.bisect_left(ends, flushed + batch_octets) + 1)
            return count if count <= len(pending) else 0

        for position, first, found in scan_windows(buffers):
            scan_bad += [(first + k, o, e) for k, (o, n, e) in enumerate(found) if e is not None]
            good = [(position, first + k, o, n) for k, (o, n, e) in enumerate(found) if e is None]
            pending += good
            ends += list(itertools.accumulate((m[3] for m in good), initial=ends[-1] if ends else flushed))[1:]
            while count := full():
                for record_batch in flush(count):
                    if record_batch.num_rows:
                        yield record_batch
                        yielded = True
        if pending or scan_bad or (empty and not yielded):
            for record_batch in flush(len(pending), final=True):
                if record_batch.num_rows or (empty and not yielded):
                    yield record_batch
                    yielded = True


def iter_batches(
    source: Source,
    *,
    batch_messages: int = 1024,
    tables: TablesArg = None,
    threads: int | None = None,
    on_bad_message: OnBadMessage = "error",
) -> Iterator[pa.RecordBatch]:
    """Record batches of the values of `batch_messages` messages at a time (one row per
    decoded value; with several threads, the rows of those messages may come in a few
    batches, in message order): memory stays flat whatever the size of the source."""
    return _batches(source, batch_messages, tables, threads, on_bad_message, True, False)


def read_arrow(
    source: Source,
    *,
    tables: TablesArg = None,
    threads: int | None = None,
    on_bad_message: OnBadMessage = "error",
) -> pa.Table:
    """Every message of `source` decoded into one table, one row per value."""
    batches = list(_batches(source, _READ_BATCH, tables, threads, on_bad_message, True, True, _READ_OCTETS))
    return pa.Table.from_batches(batches)

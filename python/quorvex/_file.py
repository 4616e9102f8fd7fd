"""A lazy view of a BUFR file: one scan for message boundaries and headers when it is opened,
decoding only when a message is asked for its values."""

from __future__ import annotations

import builtins
import contextlib
import datetime
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, overload

from . import _engine
from ._arrow import MAX_MESSAGE_ROWS, buffer_size, check_max_message_rows, default_threads, scan_buffer, table_of
from ._errors import check_on_bad_message, report_bad, report_no_message
from ._frame import frame_of, header_table
from ._sources import Buffer, SingleSource, check_intact, flatten, opened, source_name
from ._tables import TablesArg, engine_tables
from ._value import Value, values_of

if TYPE_CHECKING:
    import pandas as pd
    import pyarrow as pa

# Header fields a Message carries as attributes, as read from sections 0, 1 and 3.
HEADER_FIELDS = (
    "edition", "master_table_number", "centre", "sub_centre", "update_sequence_number", "data_category",
    "international_sub_category", "local_sub_category", "master_table_version", "local_table_version",
    "typical_year", "typical_month", "typical_day", "typical_hour", "typical_minute", "typical_second",
    "number_of_subsets", "observed", "compressed", "section2_present",
)

Entry = tuple[int, int, int, int, dict[str, Any]]  # source position, index, offset, length, header


def typical_time(header: dict[str, Any]) -> datetime.datetime:
    return datetime.datetime(header["typical_year"], header["typical_month"], header["typical_day"],
                             header["typical_hour"], header["typical_minute"], header["typical_second"])


def read_headers(buffer: Buffer, on_bad_message: str, name: str) -> list[Entry]:
    """(source position, index, offset, length, header) of every message whose framing and header
    read cleanly, each header read once, in the scan; the others, and a source with no message at
    all, are reported as `on_bad_message` says."""
    out: list[Entry] = []
    found_any = False
    for first, found in scan_buffer(buffer, 0, headers=True):
        for index, (offset, length, error, header) in enumerate(found, first):
            found_any = True
            if error is not None:
                report_bad(on_bad_message, (index, offset, *error, 0))
                continue
            out.append((0, index, offset, length, header))
    if not found_any:
        report_no_message(on_bad_message, name, 0, buffer_size(buffer) == 0)
    return out


class Message:
    """One message of a BufrFile: header fields as attributes; values decoded on request."""

    edition: int
    master_table_number: int
    centre: int
    sub_centre: int
    update_sequence_number: int
    data_category: int
    international_sub_category: int | None
    local_sub_category: int
    master_table_version: int
    local_table_version: int
    typical_year: int
    typical_month: int
    typical_day: int
    typical_hour: int
    typical_minute: int
    typical_second: int
    number_of_subsets: int
    observed: bool
    compressed: bool
    section2_present: bool

    def __init__(self, file: BufrFile, index: int, offset: int, length: int, header: dict[str, Any]):
        self._file = file
        self.index = index
        self.offset = offset
        self.length = length
        self._header = header
        for name in HEADER_FIELDS:
            setattr(self, name, header[name])

    def __repr__(self) -> str:
        return (f"<quorvex.Message {self.index} at offset {self.offset}: edition {self.edition}, "
                f"category {self.data_category}, {self.number_of_subsets} subsets>")

    @property
    def descriptors(self) -> list[int]:
        """The descriptors of section 3, as written."""
        return list(self._header["descriptors"])

    @property
    def typical_time(self) -> datetime.datetime:
        return typical_time(self._header)

    @property
    def bytes(self) -> bytes:
        """The octets of the message, "BUFR" to "7777"."""
        return self._file._octets(self.offset, self.length)

    @property
    def tables_source(self) -> str:
        """Where this message's tables come from: "table_set", "definitions:<root>", "store", or
        "store: master version V decoded with W" when the message is newer than the store."""
        octets = self.bytes
        return str(self._file._tables.source(octets, 0, len(octets)))

    def to_bytes(self, compressed: bool | None = None, edition: int = 4) -> builtins.bytes:
        """This message written again as edition `edition` (4, the only one written) with the same
        header, section 2, descriptors and values, compressed or not (None: as it is)."""
        if edition != 4:
            raise ValueError(f"edition {edition} cannot be written; edition 4 is")
        octets = self.bytes
        return bytes(_engine.reencode(octets, 0, len(octets), self._file._tables, compressed))

    def values(self) -> list[Value]:
        """Every value of every subset, in order, as the engine decodes them (any edition)."""
        return values_of(self.to_arrow())

    def read_dataframe(self, columns: Sequence[str] | str | None = None, filters: Mapping[str, Any] | None = None,
                       *, required_columns: bool | Iterable[str] = True) -> pd.DataFrame:
        """The rows of this message, as `quorvex.read_dataframe` gives them."""
        return self._file._frame([self], columns, filters, required_columns, 1)

    def to_arrow(self) -> pa.Table:
        """The values of this message as a pyarrow Table, one row per value."""
        octets = self.bytes
        batch, bad = _engine.decode([octets], [(0, self.index, 0, len(octets))], self._file._tables, 1, True, None,
                                    self._file._max_message_rows)
        if bad:
            _, _, kind, reason, _ = bad[0]
            report_bad("error", (self.index, self.offset, kind, reason, 0))
        return table_of(batch)


class BufrFile:
    """The messages of one source, found by a single scan; nothing is decoded until asked."""

    def __init__(self, source: SingleSource, *, tables: TablesArg = None, on_bad_message: str = "error",
                 max_message_rows: int = MAX_MESSAGE_ROWS):
        check_on_bad_message(on_bad_message)
        self._max_message_rows = check_max_message_rows(max_message_rows)
        if isinstance(source, list):
            raise TypeError("quorvex.open takes one source, not a list")
        items, is_list = flatten(source)
        if is_list:
            raise TypeError(f"quorvex.open takes one file, not a directory or a glob pattern: {source_name(source)}")
        self.closed = False
        self._stack = contextlib.ExitStack()
        try:
            self._buffer = self._stack.enter_context(opened(items[0]))
            self._tables = engine_tables(tables)
            self._messages = [Message(self, index, offset, length, header) for _, index, offset, length, header
                              in read_headers(self._buffer, on_bad_message, source_name(source))]
            check_intact(self._buffer)
        except BaseException:
            self._stack.close()
            raise

    def close(self) -> None:
        """Release the mapping and the file; messages already taken can no longer be read."""
        self._messages = []
        self._buffer = b""
        self.closed = True
        self._stack.close()

    def __enter__(self) -> BufrFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _open_messages(self) -> list[Message]:
        if self.closed:
            raise ValueError("I/O operation on a closed BufrFile")
        return self._messages

    def __len__(self) -> int:
        return len(self._open_messages())

    def __iter__(self) -> Iterator[Message]:
        return iter(self._open_messages())

    @overload
    def __getitem__(self, item: int) -> Message: ...
    @overload
    def __getitem__(self, item: slice) -> list[Message]: ...
    def __getitem__(self, item: int | slice) -> Message | list[Message]:
        return self._open_messages()[item]

    def __repr__(self) -> str:
        if self.closed:
            return "<quorvex.BufrFile: closed>"
        return f"<quorvex.BufrFile: {len(self._messages)} messages>"

    def headers(self) -> pd.DataFrame:
        """One row per message: where it lies and what its sections 0, 1 and 3 say."""
        return headers_frame(self._buffer, [(0, m.index, m.offset, m.length) for m in self._open_messages()])

    def read_dataframe(self, columns: Sequence[str] | str | None = None, filters: Mapping[str, Any] | None = None,
                       *, required_columns: bool | Iterable[str] = True, threads: int | None = None
                       ) -> pd.DataFrame:
        """The rows of every message, as `quorvex.read_dataframe` gives them."""
        return self._frame(self._open_messages(), columns, filters, required_columns, default_threads(threads))

    def _frame(self, messages: list[Message], columns: Sequence[str] | str | None,
               filters: Mapping[str, Any] | None, required_columns: bool | Iterable[str], threads: int
               ) -> pd.DataFrame:
        if self.closed:
            raise ValueError("the BufrFile of this message is closed")
        if isinstance(columns, str):
            columns = [columns]
        entries = [(0, m.index, m.offset, m.length) for m in messages]
        frame = frame_of([self._buffer], entries, self._tables, threads, columns, filters, required_columns,
                         "error", max_message_rows=self._max_message_rows)
        check_intact(self._buffer)
        return frame

    def _octets(self, offset: int, length: int) -> bytes:
        if self.closed:
            raise ValueError("the BufrFile of this message is closed")
        octets = bytes(self._buffer[offset:offset + length])
        check_intact(self._buffer)
        return octets


def headers_frame(buffer: Buffer, messages: list[tuple[int, int, int, int]]) -> pd.DataFrame:
    """One row per message: where it lies, then every header key the messages carry (ecCodes's
    names, the engine's table) and typical_datetime."""
    import numpy as np
    import pyarrow as pa

    from . import _keys

    headers, _ = header_table([buffer], messages, None)
    check_intact(buffer)
    out: dict[str, Any] = {
        "message": pa.array(np.fromiter((m[1] for m in messages), np.int64, len(messages))),
        "offset": pa.array(np.fromiter((m[2] for m in messages), np.int64, len(messages))),
        "length": pa.array(np.fromiter((m[3] for m in messages), np.int64, len(messages))),
    }
    for name in headers.column_names[1:]:
        if headers.column(name).null_count < headers.num_rows:
            out[name] = headers.column(name)
    typical = _keys.COMPUTED["typical_datetime"]
    out["typical_datetime"] = typical.compute([headers.column(k) for k in typical.sources])
    return _keys.to_pandas(out, None)


def open(source: SingleSource, *, tables: TablesArg = None, on_bad_message: str = "error",  # noqa: A001
         max_message_rows: int = MAX_MESSAGE_ROWS) -> BufrFile:
    """A BufrFile over `source` (a path, memory-mapped; bytes-like; or a binary file object).
    `max_message_rows` as in quorvex.iter_batches, for Message.to_arrow and read_dataframe."""
    return BufrFile(source, tables=tables, on_bad_message=on_bad_message, max_message_rows=max_message_rows)

"""A lazy view of a BUFR file: one scan for message boundaries and headers when it is opened,
decoding only when a message is asked for its values."""

from __future__ import annotations

import builtins
import datetime
import mmap
import os
import warnings
from collections.abc import Iterator
from typing import Any, BinaryIO, Union, overload

import _quorvex

from . import _engine

Buffer = Union[bytes, bytearray, memoryview, mmap.mmap]
Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]

ON_BAD_MESSAGE = ("error", "warn", "skip")

# Header fields a Message carries as attributes, as read from sections 0, 1 and 3.
HEADER_FIELDS = (
    "edition", "master_table_number", "centre", "sub_centre", "update_sequence_number", "data_category",
    "international_sub_category", "local_sub_category", "master_table_version", "local_table_version",
    "typical_year", "typical_month", "typical_day", "typical_hour", "typical_minute", "typical_second",
    "number_of_subsets", "observed", "compressed", "section2_present",
)


class BadMessageWarning(UserWarning):
    """A message was left out: it could not be framed, its header could not be read or it could not be decoded."""


def check_on_bad_message(on_bad_message: str) -> None:
    if on_bad_message not in ON_BAD_MESSAGE:
        raise ValueError(f"on_bad_message must be one of 'error', 'warn', 'skip', not {on_bad_message!r}")


def report_bad_message(on_bad_message: str, index: int, offset: int, text: str) -> None:
    """Raise, warn or stay silent about one bad message, as `on_bad_message` says."""
    what = f"message {index} at offset {offset}: {text}"
    if on_bad_message == "error":
        raise ValueError(what)
    if on_bad_message == "warn":
        warnings.warn(what, BadMessageWarning, stacklevel=3)


def buffer_of(source: Any) -> tuple[Buffer, Any]:
    """The octets of one source and what must stay open while they are used (a file, or None)."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return source, None
    if isinstance(source, (str, os.PathLike)):
        handle = builtins.open(source, "rb")
        try:
            if os.fstat(handle.fileno()).st_size == 0:
                handle.close()
                return b"", None
            return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ), handle
        except BaseException:
            handle.close()
            raise
    if hasattr(source, "read"):
        return source.read(), None
    raise TypeError(f"source must be a path, bytes-like object or binary file, not {type(source).__name__}")


def release(opened: list[tuple[Any, Any]]) -> None:
    """Close the mappings and files that buffer_of opened."""
    for buffer, handle in opened:
        if isinstance(buffer, mmap.mmap):
            try:
                buffer.close()
            except BufferError:  # still viewed by a result: unmapped when that goes
                pass
        if handle is not None:
            handle.close()


def typical_time(header: dict[str, Any]) -> datetime.datetime:
    return datetime.datetime(header["typical_year"], header["typical_month"], header["typical_day"],
                             header["typical_hour"], header["typical_minute"], header["typical_second"])


def scan_messages(buffer: Buffer, on_bad_message: str, first_index: int = 0
                  ) -> tuple[list[tuple[int, int, int, dict[str, Any]]], int]:
    """(index, offset, length, header) of every message of `buffer` whose framing and header read
    cleanly, and how many were found; the others are reported as `on_bad_message` says. Indices
    count every "BUFR" found, from `first_index`."""
    found = []
    scanned = _engine.scan(buffer)
    for index, (offset, length, error) in enumerate(scanned, first_index):
        if error is None:
            try:
                header = _engine.read_header(buffer, offset, length)
                typical_time(header)
            except ValueError as failure:
                error = str(failure)
        if error is not None:
            report_bad_message(on_bad_message, index, offset, error)
            continue
        found.append((index, offset, length, header))
    return found, len(scanned)


def as_edition4(octets: bytes, header: dict[str, Any]) -> bytes:
    """The message re-headed as edition 4: sections 0 and 1 rewritten in the edition-4 layout from the
    header fields, sections 2 to 5 unchanged."""
    if header["edition"] == 4:
        return octets
    old_section1 = int.from_bytes(octets[8:11], "big")
    flags = 0x80 if header["section2_present"] else 0
    section1 = bytes([0, 0, 22, header["master_table_number"]])
    section1 += header["centre"].to_bytes(2, "big") + header["sub_centre"].to_bytes(2, "big")
    section1 += bytes([header["update_sequence_number"], flags, header["data_category"],
                       header["international_sub_category"], header["local_sub_category"],
                       header["master_table_version"], header["local_table_version"]])
    section1 += header["typical_year"].to_bytes(2, "big")
    section1 += bytes([header["typical_month"], header["typical_day"], header["typical_hour"],
                       header["typical_minute"], header["typical_second"]])
    rest = octets[8 + old_section1:]
    total = 8 + len(section1) + len(rest)
    return bytes(b"BUFR" + total.to_bytes(3, "big") + b"\x04" + section1 + rest)


class Message:
    """One message of a BufrFile: header fields as attributes; values decoded on request."""

    edition: int
    master_table_number: int
    centre: int
    sub_centre: int
    update_sequence_number: int
    data_category: int
    international_sub_category: int
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
        return list(self._header["descriptors"])

    @property
    def typical_time(self) -> datetime.datetime:
        return typical_time(self._header)

    @property
    def bytes(self) -> bytes:
        if self._file.closed:
            raise ValueError("the BufrFile of this message is closed")
        return bytes(self._file._buffer[self.offset:self.offset + self.length])

    @property
    def tables_source(self) -> str:
        """Where this message's tables come from: "table_set", "definitions:<root>" or "bundled"."""
        octets = self.bytes
        return str(self._file._tables.source(octets, 0, len(octets)))

    def values(self) -> list[_quorvex.DecodedValue]:
        """Every value of every subset, as `_quorvex` decodes them (editions 2 and 3 re-headed as 4)."""
        from ._tables import table_set_for

        octets = as_edition4(self.bytes, self._header)
        table_set, _ = table_set_for(_quorvex.parse_bytes(octets), self._file._tables_arg)
        return _quorvex.decode_values_with_tables(octets, table_set)

    def to_arrow(self) -> Any:
        """The values of this message as a pyarrow Table, one row per value."""
        import pyarrow

        batch, bad = _engine.decode([self._file._buffer], [(0, self.index, self.offset, self.length)],
                                    self._file._tables, 1, keys=True)
        if bad:
            index, offset, text = bad[0]
            raise ValueError(f"message {index} at offset {offset}: {text}")
        table = pyarrow.Table.from_batches([pyarrow.record_batch(batch)])
        return table.drop_columns(["source"]) if "source" in table.column_names else table


class BufrFile:
    """The messages of one source, found by a single scan; nothing is decoded until asked."""

    def __init__(self, source: Source, *, tables: Any = None, on_bad_message: str = "error"):
        from ._tables import engine_tables

        check_on_bad_message(on_bad_message)
        self.closed = False
        self._buffer, self._handle = buffer_of(source)
        try:
            self._tables_arg = tables
            self._tables = engine_tables(tables)
            self._messages = [Message(self, *entry) for entry in scan_messages(self._buffer, on_bad_message)[0]]
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        """Release the mapping and the file; messages already taken can no longer be read."""
        self._messages = []
        release([(self._buffer, self._handle)])
        self._buffer, self._handle = b"", None
        self.closed = True

    def __enter__(self) -> BufrFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __len__(self) -> int:
        return len(self._messages)

    def __iter__(self) -> Iterator[Message]:
        return iter(self._messages)

    @overload
    def __getitem__(self, item: int) -> Message: ...
    @overload
    def __getitem__(self, item: slice) -> list[Message]: ...
    def __getitem__(self, item: int | slice) -> Message | list[Message]:
        return self._messages[item]

    def __repr__(self) -> str:
        return f"<quorvex.BufrFile: {len(self._messages)} messages>"

    def headers(self) -> Any:
        """One row per message: where it lies and what its sections 0, 1 and 3 say."""
        return headers_frame([(m.index, m.offset, m.length, m._header) for m in self._messages])


def headers_frame(entries: list[tuple[int, int, int, dict[str, Any]]]) -> Any:
    """The headers of (index, offset, length, header) entries as a pandas DataFrame, one row per message."""
    import numpy as np
    import pandas as pd

    def column(name: str, dtype: Any = np.int64) -> Any:
        return np.fromiter((h[name] for _, _, _, h in entries), dtype=dtype, count=len(entries))

    times = {unit: column(f"typical_{unit}") for unit in ("year", "month", "day", "hour", "minute", "second")}
    return pd.DataFrame({
        "message": np.fromiter((e[0] for e in entries), np.int64, len(entries)),
        "offset": np.fromiter((e[1] for e in entries), np.int64, len(entries)),
        "length": np.fromiter((e[2] for e in entries), np.int64, len(entries)),
        "edition": column("edition"),
        "centre": column("centre"),
        "sub_centre": column("sub_centre"),
        "data_category": column("data_category"),
        "international_sub_category": column("international_sub_category"),
        "local_sub_category": column("local_sub_category"),
        "master_table_number": column("master_table_number"),
        "master_table_version": column("master_table_version"),
        "local_table_version": column("local_table_version"),
        "typical_time": pd.to_datetime(pd.DataFrame(times)) if entries else pd.Series([], dtype="datetime64[s]"),
        "subsets": column("number_of_subsets"),
        "compressed": column("compressed", bool),
        "observed": column("observed", bool),
        "descriptors": np.fromiter((len(h["descriptors"]) for _, _, _, h in entries), np.int64, len(entries)),
    })


def open(source: Source, *, tables: Any = None, on_bad_message: str = "error") -> BufrFile:  # noqa: A001
    """A BufrFile over `source` (a path, memory-mapped; bytes; or a binary file object)."""
    return BufrFile(source, tables=tables, on_bad_message=on_bad_message)

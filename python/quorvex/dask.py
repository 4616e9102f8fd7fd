"""BUFR archives as Dask DataFrames, read in parallel on a Dask cluster.

`read_arrow` gives the long shape of `quorvex.read_arrow` (one row per decoded value) and
`read_dataframe` the wide shape of `quorvex.read_dataframe` (one row per subset, one
column per key), each as a `dask.dataframe.DataFrame` whose `.compute()` equals what the
single-machine readers give on the same files.

How a read is cut up:

- One partition per file; a file larger than `blocksize` is cut into byte ranges of that
  size. A message belongs to the range its first octet lies in: the task of a range scans
  only that range and reads on past its end for the message that crosses it. Local files
  are memory-mapped; other fsspec URLs are read by range.
- Message numbers. `message` counts every message found, across the list of files, so a
  range must know how many messages precede it. Before the graph is built, every range is
  scanned (framing only: the scan hops from one declared length to the next and decodes
  nothing) in parallel on the cluster; each scan returns three small numbers and a few
  offsets, and the running total of the counts gives each range its first message
  number.
- Where the file-wide scan enters a range. A range starts in the middle of some message;
  scanning for "BUFR" from the range's first octet could find those four letters inside
  that message's data, where a scan from the start of the file never looks. The same
  pre-scan tells where the previous range's scan stops (the end of its last message), so
  each range starts scanning there and drops nothing the file-wide scan would keep.
- Tasks carry a file name, a byte range, two integers and the reader's options; table
  sets are never shipped. Each worker process chooses and loads tables once through the
  package's per-process cache.
"""

from __future__ import annotations

import dataclasses
import mmap
import os
from collections.abc import Mapping, Sequence
from typing import Any, Union, cast

try:
    import dask
    import dask.dataframe as dd
    import fsspec  # type: ignore[import-untyped]
    import fsspec.implementations.local  # type: ignore[import-untyped]
except ModuleNotFoundError as missing:
    _package = (missing.name or "dask").partition(".")[0]
    raise ModuleNotFoundError(
        f"quorvex.dask needs {_package}, which is not installed: pip install 'quorvex[dask]'", name=_package
    ) from missing
import numpy as np
import pandas as pd
import pyarrow as pa
from dask.utils import parse_bytes

__all__ = ["read_arrow", "read_dataframe"]

# Dask's own functions carry no annotations: called through these names.
_delayed: Any = dask.delayed  # type: ignore[attr-defined]
_compute: Any = dask.compute  # type: ignore[attr-defined]
_from_map: Any = dd.from_map

PathArg = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

# The pre-scan of a range reports the offsets of its first few messages: enough to drop
# the ones found inside the message that crosses into the range from the previous one.
_HEAD = 8

# pandas's default text dtype (missing values NaN), as the wide reader's text columns get.
_TEXT = pd.Series(dtype="str").dtype
# The long table's columns as a Dask DataFrame holds them. Names, units and meanings are
# plain text there: pandas categoricals would change their code width from one partition
# to the next, which breaks `to_parquet` (Parquet dictionary-encodes them again anyway).
_LONG_FIELDS: list[pa.Field[Any]] = [
    pa.field("message", pa.int64()),
    pa.field("source", pa.int32()),
    pa.field("subset", pa.int32()),
    pa.field("descriptor", pa.uint32()),
    pa.field("name", pa.utf8()),
    pa.field("unit", pa.utf8()),
    pa.field("value", pa.float64()),
    pa.field("text", pa.utf8()),
    pa.field("raw", pa.uint64()),
    pa.field("meaning", pa.utf8()),
    pa.field("key", pa.utf8()),
    pa.field("rank", pa.int32()),
    pa.field("role", pa.utf8()),
]
LONG_SCHEMA = pa.schema(_LONG_FIELDS)


# --- where the bytes are -------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class _File:
    """One file of the read: how a worker reaches it."""

    protocol: str  # "file" for a local file, which is memory-mapped
    path: str  # as the file system names it
    size: int
    source: int  # position in the expanded list


@dataclasses.dataclass(frozen=True)
class _Range:
    """Messages of `file` whose first octet lies in [scan_from, end)."""

    file: _File
    start: int  # the range as cut by blocksize
    end: int
    scan_from: int  # where the file-wide scan enters the range (>= start)
    first_message: int  # number of the range's first message in the whole read
    count: int  # messages the range holds, from the pre-scan


def _has_magic(path: str) -> bool:
    return any(c in path for c in "*?[")


def _expand(paths: PathArg, storage_options: Mapping[str, Any]) -> tuple[list[_File], bool]:
    """The files named by `paths` (a path, a glob or a list of them), and whether it named
    exactly one file without a glob (the readers' single-source case: no `source`)."""
    if isinstance(paths, (str, os.PathLike)):
        items = [os.fspath(paths)]
        single = not _has_magic(items[0])
    else:
        items = [os.fspath(p) for p in paths]
        single = False
        if not items:
            raise ValueError("paths is an empty list")
    files: list[_File] = []
    for item in items:
        fs, path = fsspec.core.url_to_fs(item, **storage_options)
        protocol = "file" if isinstance(fs, fsspec.implementations.local.LocalFileSystem) else _protocol(fs)
        if _has_magic(path):
            found = fs.glob(path, detail=True)
            matches = [(name, found[name]) for name in sorted(found) if found[name].get("type") != "directory"]
            if not matches:
                raise FileNotFoundError(f"no file matches {item!r}")
        elif not fs.exists(path):
            raise FileNotFoundError(f"no such file: {item!r}")
        else:
            matches = [(path, fs.info(path))]
            if matches[0][1].get("type") == "directory":
                raise IsADirectoryError(f"{item!r} is a directory: name its files, or a glob such as {item}/*.bufr")
        files += [_File(protocol, name, int(info["size"]), len(files) + k) for k, (name, info) in enumerate(matches)]
    return files, single


def _protocol(fs: fsspec.AbstractFileSystem) -> str:
    protocol = fs.protocol
    return protocol if isinstance(protocol, str) else protocol[0]


def _open(file: _File, scan_from: int, end: int, storage_options: Mapping[str, Any]) -> tuple[Any, int]:
    """A buffer holding every message that starts in [scan_from, end), and the file
    offset of its first octet.

    A local file is memory-mapped whole (offset 0). Elsewhere the range is read and then
    extended until every message found in it is whole or runs past the end of the file:
    a message whose declared end lies beyond what was read would otherwise look damaged.
    """
    if file.protocol == "file":
        if file.size == 0:
            return b"", 0
        with open(file.path, "rb") as handle:
            return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ), 0
    from . import _engine

    fs = fsspec.filesystem(file.protocol, **storage_options)
    # a "BUFR" that starts just before `end` runs up to three octets past it
    data = bytearray(fs.cat_file(file.path, start=scan_from, end=min(end + 3, file.size)))
    while scan_from + len(data) < file.size:
        _, _, needed = _engine.scan_window(data, 0, end - scan_from)
        need = min(scan_from + needed, file.size)
        if need <= scan_from + len(data):
            break
        data += fs.cat_file(file.path, start=scan_from + len(data), end=need)
    return data, scan_from


def _scan(file: _File, scan_from: int, end: int, storage_options: Mapping[str, Any],
          headers: bool = False) -> tuple[Any, int, list[tuple[Any, ...]], int]:
    """The buffer, its file offset, the engine's scan entries of the messages starting in
    [scan_from, end) with file offsets, and where the file-wide scan goes on after them."""
    from . import _engine

    buffer, base = _open(file, scan_from, end, storage_options)
    if scan_from >= end:
        return buffer, base, [], scan_from
    found, resume, _ = _engine.scan_window(buffer, scan_from - base, end - base, headers)
    if base:
        found = [(entry[0] + base, *entry[1:]) for entry in found]
    return buffer, base, found, resume + base


# --- the pre-scan and the plan ------------------------------------------------------


def _summary(file: _File, start: int, end: int, storage_options: Mapping[str, Any]) -> tuple[int, int, list[int]]:
    """(messages found from `start`, where the scan stops, offsets of the first few)."""
    _buffer, _base, found, stop = _scan(file, start, end, storage_options)
    if not found:
        return 0, start, []
    return len(found), stop, [f[0] for f in found[:_HEAD]]


def _cut(files: Sequence[_File], blocksize: int | None) -> list[tuple[_File, int, int]]:
    cuts = []
    for file in files:
        step = blocksize or max(file.size, 1)
        cuts += [(file, s, min(s + step, file.size)) for s in range(0, max(file.size, 1), step)]
    return cuts


def _plan(files: Sequence[_File], blocksize: int | None, storage_options: Mapping[str, Any]) -> list[_Range]:
    """Ranges with their scan entry points and first message numbers, from a pre-scan of
    every range run as one parallel Dask computation."""
    cuts = _cut(files, blocksize)
    summarise = _delayed(_summary, pure=True)
    summaries = _compute(*[summarise(f, s, e, dict(storage_options)) for f, s, e in cuts])
    ranges: list[_Range] = []
    number = 0
    stop = 0  # where the file-wide scan stands after the previous range of the file
    for (file, start, end), (count, range_stop, head) in zip(cuts, summaries):
        if start == 0:
            stop = 0
        scan_from = max(start, stop)
        if scan_from > start:
            dropped = sum(1 for offset in head if offset < scan_from)
            if dropped == len(head) and count > dropped:
                # More false starts than the head holds (a message quoting many "BUFR"s):
                # count again from the entry point.
                count, range_stop, _ = _summary(file, scan_from, end, storage_options)
            else:
                count -= dropped
        if count:
            stop = range_stop
        ranges.append(_Range(file, start, end, scan_from, number, count))
        number += count
    kept = [r for r in ranges if r.count]
    return kept or ranges[:1]


# --- the task of one range ------------------------------------------------------------


def _arrow_to_pandas(table: pa.Table) -> pd.DataFrame:
    """The long table in LONG_SCHEMA's columns (less `source` when it has none), each
    Arrow-backed so that nulls and uint64 keep their types."""
    schema = pa.schema([LONG_SCHEMA.field(name) for name in table.schema.names])
    return table.cast(schema).to_pandas(types_mapper=pd.ArrowDtype)


@dataclasses.dataclass(frozen=True)
class _Reader:
    """What a task needs besides its range: small, picklable, no table sets."""

    tables: str | None
    on_bad_message: str
    threads: int | None
    single: bool
    storage_options: Mapping[str, Any]
    columns: tuple[str, ...] = ()
    filters: Mapping[str, Any] | None = None
    dtypes: tuple[tuple[str, Any], ...] = ()  # the wide shape's columns and their dtypes

    def decode(self, part: _Range) -> pa.Table:
        """The long table of the range's messages."""
        from . import _engine, _tables
        from ._arrow import default_threads, table_of
        from ._errors import report_bad

        buffer, base, found = self._found(part, headers=False)
        messages = []
        bad = []
        source = part.file.source
        for number, (offset, length, error) in enumerate(found, part.first_message):
            if error is None:
                messages.append((0, number, offset - base, length))
            else:
                bad.append((number, offset, *error, source))
        batch, failed = _engine.decode(
            [buffer], messages, _tables.engine_tables(self.tables), default_threads(self.threads), True
        )
        bad += [(number, offset + base, kind, reason, source) for number, offset, kind, reason, _ in failed]
        for one in sorted(bad):
            report_bad(self.on_bad_message, one)
        table = table_of(batch).combine_chunks()
        # the engine numbers the buffers it was given (here one, which it leaves unnamed);
        # the read's `source` is the file's position in the whole list
        column = pa.array(np.full(table.num_rows, source, dtype=np.int32))
        if "source" in table.schema.names:
            table = table.set_column(table.schema.get_field_index("source"), "source", column)
        else:
            table = table.add_column(1, "source", column)
        return table

    def _found(self, part: _Range, headers: bool) -> tuple[Any, int, list[tuple[Any, ...]]]:
        buffer, base, found, _ = _scan(part.file, part.scan_from, part.end, self.storage_options, headers)
        if len(found) != part.count:
            raise RuntimeError(
                f"{part.file.path} changed while it was read: {len(found)} messages in octets "
                f"{part.scan_from}-{part.end}, {part.count} when the read was planned"
            )
        return buffer, base, found

    def long(self, part: _Range) -> pd.DataFrame:
        table = self.decode(part).select(LONG_SCHEMA.names)
        if self.single:
            table = table.drop_columns(["source"])
        return _arrow_to_pandas(table)

    def wide(self, part: _Range) -> pd.DataFrame:
        from . import _engine, _tables
        from ._arrow import default_threads
        from ._errors import report_bad
        from ._frame import frame_of

        buffer, base, found = self._found(part, headers=True)
        source = part.file.source
        entries = []
        for number, (offset, length, error, _) in enumerate(found, part.first_message):
            if error is None:
                try:
                    entries.append((0, number, offset - base, length,
                                    _engine.read_header_keys(buffer, offset - base, length)))
                    continue
                except ValueError as failure:
                    error = ("bad_header", str(failure))
            report_bad(self.on_bad_message, (number, offset, *error, source))
        frame = frame_of([buffer], entries, _tables.engine_tables(self.tables), default_threads(self.threads),
                         list(self.columns), dict(self.filters or {}), True, self.on_bad_message, base, source)
        # Every partition takes the meta's dtypes.
        return pd.DataFrame(
            {name: frame[name].astype(dtype) if name in frame else pd.Series(dtype=dtype, index=frame.index)
             for name, dtype in self.dtypes}
        )


def _long_meta(single: bool) -> pd.DataFrame:
    schema = LONG_SCHEMA.remove(LONG_SCHEMA.get_field_index("source")) if single else LONG_SCHEMA
    return _arrow_to_pandas(schema.empty_table())


def _wide_meta(columns: Sequence[str], tables: str | None) -> pd.DataFrame:
    """The wide shape's columns, in the order asked, with dtypes known before decoding: header
    keys by the engine's header-key table, the count and station ids Int64, the dates
    datetimes, geometry, CRS and WIGOS ids objects; data keys by their element's type (code and
    flag tables Int64, other numbers float64, text str; a key the tables do not know: object)."""
    from . import _keys

    types = _keys.element_types(tables)
    by_type = {"long": pd.Int64Dtype(), "double": np.dtype(np.float64), "string": np.dtype(object)}
    # A data key's scale may differ between table versions (a "long" of one is a "double" of
    # another): numbers are float64, code and flag tables Int64.
    data_types = {"table": pd.Int64Dtype(), "flag": pd.Int64Dtype(), "string": _TEXT}
    dtypes: dict[str, Any] = {}
    for name in dict.fromkeys(columns):
        if _keys.is_header(name):
            dtypes[name] = by_type[_keys.header_types()[name]]
        elif name in ("data_datetime", "typical_datetime"):
            dtypes[name] = np.dtype("datetime64[us]")
        elif name in (_keys.COUNT, _keys.SUBSET, "WMO_station_id"):
            dtypes[name] = pd.Int64Dtype()
        elif name in _keys.COMPUTED:
            dtypes[name] = np.dtype(object)
        else:
            kind = types.get(_keys.base_key(name))
            dtypes[name] = np.dtype(object) if kind is None else data_types.get(kind, np.dtype(np.float64))
    return pd.DataFrame({name: pd.Series(dtype=dtype) for name, dtype in dtypes.items()})


# --- public readers ---------------------------------------------------------------------


# The smallest block a file is cut into, whatever `blocksize` asks.
MIN_BLOCKSIZE = 1 << 20


def _check(on_bad_message: str, tables: object, blocksize: int | str | None) -> tuple[str | None, int | None]:
    from ._errors import check_on_bad_message

    check_on_bad_message(on_bad_message)
    if tables is not None and not isinstance(tables, (str, os.PathLike)):
        raise TypeError(
            "tables must be None or a definitions root path: each worker loads its tables itself, "
            f"so a {type(tables).__name__} object cannot be shipped to it"
        )
    if blocksize is None:
        return (None if tables is None else os.fspath(tables)), None
    size = parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
    if size <= 0:
        raise ValueError(f"blocksize must be positive, not {blocksize!r}")
    # Each block is planned by a scan of its own: tiny blocks would cost a task and a scan per
    # few octets. A block is at least MIN_BLOCKSIZE.
    size = max(size, MIN_BLOCKSIZE)
    return (None if tables is None else os.fspath(tables)), size


def _read(
    paths: PathArg,
    columns: Sequence[str] | None,
    filters: Mapping[str, Any] | None,
    tables: object,
    on_bad_message: str,
    blocksize: int | str | None,
    threads: int | None,
    storage_options: Mapping[str, Any] | None,
) -> dd.DataFrame:
    """The long shape when `columns` is None, else the wide one."""
    from ._arrow import default_threads

    default_threads(threads)  # checks it; None is resolved on each worker
    root, size = _check(on_bad_message, tables, blocksize)
    options = dict(storage_options or {})
    files, single = _expand(paths, options)
    if columns is None:
        meta = _long_meta(single)
        reader = _Reader(root, on_bad_message, threads, single, options)
    else:
        meta = _wide_meta(columns, root)
        reader = _Reader(root, on_bad_message, threads, single, options, tuple(columns), dict(filters or {}),
                         tuple((str(name), dtype) for name, dtype in meta.dtypes.items()))
    parts = _plan(files, size, options)
    if columns is None:
        return cast(dd.DataFrame, _from_map(reader.long, parts, meta=meta, label="quorvex-read-arrow"))
    return cast(dd.DataFrame, _from_map(reader.wide, parts, meta=meta, label="quorvex-read-dataframe"))


def read_arrow(
    paths: PathArg,
    *,
    tables: str | os.PathLike[str] | None = None,
    on_bad_message: str = "error",
    blocksize: int | str | None = "64MiB",
    threads: int | None = 1,
    storage_options: Mapping[str, Any] | None = None,
) -> dd.DataFrame:
    """The long table of `quorvex.read_arrow` (one row per decoded value) as a Dask DataFrame.

    `paths`: a path, a glob or a list of them, local or any fsspec URL. With one path
    (no glob) the `source` column is left out, as `quorvex.read_arrow` does for one
    source; otherwise `source` is the file's position in the sorted, expanded list and
    `message` counts across it. `tables` is None or a definitions root (chosen and loaded
    by each worker); `blocksize` None keeps every file whole, and a block is at least
    MIN_BLOCKSIZE (1 MiB); `threads` is the decoding threads per task (None: the worker's
    cores). Every column is Arrow-backed; `name`, `unit` and `meaning` are plain strings
    rather than categoricals, so that every partition has the same schema.
    """
    return _read(paths, None, None, tables, on_bad_message, blocksize, threads, storage_options)


def read_dataframe(
    paths: PathArg,
    columns: Sequence[str] | str | None = None,
    filters: Mapping[str, Any] | None = None,
    *,
    tables: str | os.PathLike[str] | None = None,
    on_bad_message: str = "error",
    blocksize: int | str | None = "64MiB",
    threads: int | None = 1,
    storage_options: Mapping[str, Any] | None = None,
) -> dd.DataFrame:
    """The wide table of `quorvex.read_dataframe` (one row per subset, or per occurrence
    of the keys that repeat in it) as a Dask DataFrame.

    `columns` is required: the keys of a file differ from one template to the next, and
    the columns and dtypes of a Dask DataFrame must be known before any message is
    decoded. They come in the order given; numeric keys are float64 (the single-machine
    reader turns whole-number columns into int64, which only the data can tell). `filters`
    as in `quorvex.read_dataframe` (a callable is pickled with the task). Other arguments
    as in `read_arrow`.
    """
    if isinstance(columns, str):
        columns = [columns]
    if not columns:
        raise TypeError(
            "quorvex.dask.read_dataframe needs columns=[...]: the keys of BUFR messages differ "
            "from one template to the next, so the columns of a Dask DataFrame cannot be known "
            "without decoding every message first; name the keys to read"
        )
    return _read(paths, columns, filters, tables, on_bad_message, blocksize, threads, storage_options)

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
  each range starts scanning there and drops nothing the file-wide scan would keep. A range
  whose pre-scan met a "BUFR" before that point (from which it may have hopped over a real
  message) is counted again, from there, while the read is planned.
- A file in which no message is found at all is reported when the read is planned, as
  `on_bad_message` says (quorvex.NoMessageError under "error").
- Tasks carry a file name, a byte range, two integers and the reader's options; table
  sets are never shipped. Each worker process chooses and loads tables once through the
  package's per-process cache.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping, Sequence
from typing import Any, cast

# The extra's packages, imported first so that a missing one is named.
try:
    import dask.dataframe as dd
    import fsspec  # type: ignore[import-untyped]  # noqa: F401
except ModuleNotFoundError as missing:
    _package = (missing.name or "dask").partition(".")[0]
    raise ModuleNotFoundError(
        f"quorvex.dask needs {_package}, which is not installed: pip install 'quorvex[dask]'", name=_package
    ) from missing
import numpy as np
import pandas as pd
import pyarrow as pa
from dask.utils import parse_bytes

from ._dask_plan import PathArg, _expand, _plan, _Range, _scan, _scan_index

__all__ = ["read_arrow", "read_dataframe"]

# Dask's own function carries no annotations: called through this name.
_from_map: Any = dd.from_map

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
        self._check_count(part, len(found))
        return buffer, base, found

    @staticmethod
    def _check_count(part: _Range, found: int) -> None:
        if found != part.count:
            raise RuntimeError(
                f"{part.file.path} changed while it was read: {found} messages in octets "
                f"{part.scan_from}-{part.end}, {part.count} when the read was planned"
            )

    def long(self, part: _Range) -> pd.DataFrame:
        table = self.decode(part).select(LONG_SCHEMA.names)
        if self.single:
            table = table.drop_columns(["source"])
        return _arrow_to_pandas(table)

    def wide(self, part: _Range) -> pd.DataFrame:
        from . import _tables
        from ._arrow import default_threads
        from ._errors import report_bad
        from ._frame import frame_of

        buffer, base, messages, bad, found = _scan_index(part.file, part.scan_from, part.end, self.storage_options,
                                                         part.first_message)
        self._check_count(part, found)
        source = part.file.source
        for number, offset, kind, reason, _ in bad:
            report_bad(self.on_bad_message, (number, offset, kind, reason, source))
        frame = frame_of([buffer], messages, _tables.engine_tables(self.tables), default_threads(self.threads),
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
    parts = _plan(files, size, options, on_bad_message)
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

    `paths`: a path, a directory (its files, sorted), a glob or a list of them, local or any
    fsspec URL. With one path (no glob, no directory) the `source` column is left out, as
    `quorvex.read_arrow` does for one source; otherwise `source` is the file's position in
    the sorted, expanded list and `message` counts across it. `tables` is None or a
    definitions root (chosen and loaded by each worker); `blocksize` None keeps every file
    whole, and a block is at least MIN_BLOCKSIZE (1 MiB); `threads` is the decoding threads
    per task (None: the worker's cores). Every column is Arrow-backed; `name`, `unit` and
    `meaning` are plain strings rather than categoricals, so that every partition has the
    same schema.
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

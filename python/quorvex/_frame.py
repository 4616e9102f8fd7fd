"""read_dataframe: the rows users ask for, as a pandas DataFrame, with ecCodes's key names.

The messages' headers are read first (the engine's header-key table) when header keys or the count
are asked for, and filters on them drop messages before their data sections are decoded. The rows of the data
keys come from the engine; header keys, the count and computed keys are joined to them per message,
and the filters and required columns are applied to the columns."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _engine, _keys
from ._arrow import (
    MAX_MESSAGE_ROWS,
    buffer_size,
    check_max_message_rows,
    default_threads,
    message_array,
    record_batches,
    scan_index,
)
from ._errors import Bad, OnBadMessage, check_on_bad_message, report_bad, report_no_message
from ._sources import Buffer, Source, check_intact, copy_spans, flatten, holds_file, opened, source_name
from ._tables import TablesArg, engine_tables

if TYPE_CHECKING:
    import pandas as pd
    import pyarrow as pa

# The message list: an int64 array of shape (n, 4), one row (source position, message index,
# offset, length) per message, in index order; the engine reads it in place.
Messages = np.ndarray
# Messages copied out of their file: rows (message index, offset in its file), in index order.
Moved = np.ndarray
POSITION, INDEX, OFFSET, LENGTH = range(4)


def read_entries(buffer: Buffer, on_bad_message: str, name: str, position: int = 0,
                 start: int = 0) -> tuple[Messages, int]:
    """Every message of one source whose framing reads, and the number of messages found up to
    its end (damaged ones included), counting from `start`. The others are reported as
    `on_bad_message` says, and so is a source with no message at all (`name` names it). Headers
    are read later, by the engine in one pass (see header_table)."""
    parts: list[np.ndarray] = []
    count = start
    for rows, bad, found in scan_index(buffer, position, start):
        count += found
        parts.append(rows)
        for one in bad:
            report_bad(on_bad_message, one)
    if count == start:
        report_no_message(on_bad_message, name, position, buffer_size(buffer) == 0)
    return message_array(parts), count


def report_all(on_bad_message: str, bad: list[Bad], base: int, source: int | None,
               moved: Moved | None = None) -> None:
    """Reports the messages the engine could not decode, in order; `base` is added to offsets,
    `source` (when given) replaces the engine's source position, and `moved` gives the offset
    in its file of a message copied out of it (by index)."""
    for index, offset, kind, reason, position in sorted(bad):
        at = offset + base
        if moved is not None and len(moved):
            k = int(np.searchsorted(moved[:, 0], index))
            if k < len(moved) and moved[k, 0] == index:
                at = int(moved[k, 1])
        report_bad(on_bad_message, (index, at, kind, reason, position if source is None else source), stacklevel=5)


def header_table(buffers: list[Buffer], messages: Messages, keys: list[str] | None) -> tuple[pa.Table, list[Bad]]:
    """The header keys `keys` (None: all) of the messages, one row per message whose header reads,
    read by the engine in one pass; and the messages whose header does not read."""
    import pyarrow as pa

    batch, bad = _engine.read_header_table(buffers, messages, keys)
    return pa.Table.from_batches(record_batches(batch)), bad


def read_dataframe(source: Source, columns: Sequence[str] | str | None = None,
                   filters: Mapping[str, Any] | None = None, *, required_columns: bool | Iterable[str] = True,
                   tables: TablesArg = None, threads: int | None = None, on_bad_message: OnBadMessage = "error",
                   max_message_rows: int = MAX_MESSAGE_ROWS) -> pd.DataFrame:
    """The values of `source` as a pandas DataFrame.

    `columns`: keys as ecCodes names them, plain ("airTemperature") or numbered
    ("#2#airTemperature"), or an attribute of one ("airTemperature->percentConfidence",
    "#1#pressure->substitutedValue", "brightnessTemperature->firstOrderStatisticalValue": the value
    attached to that element, in its row); header keys ("dataCategory", "typicalDate", "ident", ...); the message
    number "count" (from 1); computed keys "data_datetime", "typical_datetime", "WMO_station_id",
    "WIGOS_station_id", "geometry" and "CRS". Rows follow the messages' structure (coordinates open
    levels: a sounding gives one row per level). Without `columns`: one row per subset, every header
    key and every data key numbered "#n#key" as ecCodes numbers them.

    `filters` maps any key (among the columns or not) to a value, a list or set of values,
    slice(low, high) (both ends included) or a callable (called on present values only); a missing
    value never matches. Filters on header keys and "count" drop messages before they are decoded.
    `required_columns`: True (a row must have every column), False (none), or a list of keys.
    A key that no table of the messages read defines is a KeyError naming the closest keys. A
    message over its budget of rows (see quorvex.iter_batches) is a bad message."""
    check_on_bad_message(on_bad_message)
    check_max_message_rows(max_message_rows)
    threads = default_threads(threads)
    if isinstance(columns, str):
        columns = [columns]
    chooser = engine_tables(tables)
    root = tables if isinstance(tables, (str, os.PathLike)) else None
    items, is_list = flatten(source)
    if not is_list:
        with opened(items[0]) as buffer:
            messages, _ = read_entries(buffer, on_bad_message, source_name(items[0]))
            check_intact(buffer)
            return frame_of([buffer], messages, chooser, threads, columns, filters, required_columns, on_bad_message,
                            root=root, max_message_rows=max_message_rows)
    # The files of a list are opened one at a time: the octets of their messages are copied
    # out, and each is closed before the next is opened.
    buffers: list[Buffer] = []
    parts: list[Messages] = []
    moved: list[Moved] = []
    count = 0
    for position, item in enumerate(items):
        with opened(item) as buffer:
            found, count = read_entries(buffer, on_bad_message, source_name(item), position, count)
            if holds_file(item, buffer):
                buffer, offsets = copy_spans(buffer, found[:, OFFSET], found[:, LENGTH])
                moved.append(found[:, [INDEX, OFFSET]])
                found = found.copy()
                found[:, OFFSET] = offsets
            buffers.append(buffer)
            parts.append(found)
    return frame_of(buffers, message_array(parts), chooser, threads, columns, filters, required_columns,
                    on_bad_message, root=root, max_message_rows=max_message_rows,
                    moved=np.concatenate(moved) if moved else None)


def frame_of(buffers: list[Buffer], messages: Messages, chooser: Any, threads: int,
             columns: Sequence[str] | None, filters: Mapping[str, Any] | None, required_columns: bool | Iterable[str],
             on_bad_message: str, base: int = 0, source: int | None = None,
             root: str | os.PathLike[str] | None = None, max_message_rows: int = MAX_MESSAGE_ROWS,
             moved: Moved | None = None) -> pd.DataFrame:
    """The frame of the given messages (see Messages; a list of (source position, index, offset,
    length) tuples is taken too). Their headers are read here, by the engine in one pass, and
    those whose header does not read are reported. Messages reported bad get `base` added to
    their offsets (the buffer's place in its file) and `source` as their source when given, or
    their offset in `moved` when they were copied out of their file; `root` is the definitions
    root the tables come from, if one was named."""
    import pyarrow as pa

    messages = np.ascontiguousarray(message_array([messages]))
    if not columns:
        headers, bad = header_table(buffers, messages, None)
        report_all(on_bad_message, bad, base, source, moved)
        return flat_frame(buffers, kept_messages(messages, headers), headers, chooser, threads,
                          _keys.compile_filters(filters), required_columns, on_bad_message, base, source,
                          None if root is None else os.fspath(root), max_message_rows, moved)
    query = _keys.plan(columns, filters, required_columns)
    names = [*query.header_keys, *(name for name in query.filters if _keys.is_header(name))]
    headers = None
    if names or not query.data_keys or _keys.COUNT in query.columns or _keys.COUNT in query.filters:
        # The engine's rows call refuses what the header pass would (an impossible typical date
        # among them): the header table is made only for the keys it holds, or when the engine
        # decodes nothing.
        headers, bad = header_table(buffers, messages, list(dict.fromkeys(names)))
        report_all(on_bad_message, bad, base, source, moved)
        headers = headers.filter(message_mask(headers, query.filters))
        messages = kept_messages(messages, headers)
    # A row must have met the filters' keys and the required ones (their values may be missing).
    present = {*query.required, *query.filters}
    present |= {k for name in present if name in _keys.COMPUTED for k in _keys.COMPUTED[name].sources
                if k not in _keys.COMPUTED[name].optional}
    pushed: dict[str, tuple[Any, ...]] = {}
    for name, condition in query.filters.items():
        engine_filter = condition.pushed() if name in query.data_keys and not _keys.is_header(name) else None
        if engine_filter is not None:
            pushed[name] = engine_filter
    rows = collect(buffers, messages, chooser, threads, query.data_keys,
                   [k for k in query.data_keys if k in present], None if root is None else os.fspath(root),
                   max_message_rows, [(name, *condition) for name, condition in pushed.items()])
    report_all(on_bad_message, rows.bad, base, source, moved)
    for name, (values, _, _) in pushed.items():
        # the engine compares a range with numbers only: on a text key it would match nothing
        if values is None and pa.types.is_string(rows.table.schema.field(name).type):
            raise query.filters[name].range_error("text")
    return shape(rows.table, headers, query, set(pushed))


def kept_messages(messages: Messages, headers: pa.Table) -> Messages:
    """The messages of the header table's rows (its "message" column), in order."""
    if len(messages) == headers.num_rows:
        return messages
    return messages[np.searchsorted(messages[:, INDEX], headers.column("message").to_numpy())]


@dataclass
class Rows:
    table: pa.Table
    bad: list[Bad]


def collect(buffers: list[Buffer], messages: Messages, chooser: Any, threads: int, keys: list[str],
            required: list[str], root: str | None, max_message_rows: int = MAX_MESSAGE_ROWS,
            filters: Sequence[tuple[Any, ...]] = ()) -> Rows:
    """The engine's rows of `keys` (message, subset, one column per key typed by its table entry),
    those that fail `filters` (the engine's (key, values, low, high) conditions) left out; a key no
    table defines is a KeyError naming the closest keys."""
    import pyarrow as pa

    if not keys:  # header keys only: one row per message
        return Rows(pa.table({"message": pa.array(messages[:, INDEX]),
                              "subset": pa.array(np.ones(len(messages), dtype=np.int32))}), [])
    table, bad, _ = engine_rows(buffers, messages, chooser, threads, keys, required, root, max_message_rows,
                                filters=filters)
    return Rows(table, bad)


def engine_rows(buffers: list[Buffer], messages: Messages, chooser: Any, threads: int, keys: list[str],
                required: list[str], root: str | None, max_message_rows: int, flat: bool = False,
                filters: Sequence[tuple[Any, ...]] = ()) -> tuple[pa.Table, list[Bad], list[list[int]]]:
    """The engine's rows as an Arrow table, the messages it could not decode (see collect) and, for
    `flat` rows, the sets of columns they hold (as _engine.read_rows gives them)."""
    import pyarrow as pa

    try:
        # (batch, bad), and with `flat` the column sets of the rows' shapes
        result: tuple[Any, ...] = _engine.read_rows(buffers, messages, chooser, threads, keys, flat=flat,
                                                    required=required, max_message_rows=max_message_rows,
                                                    filters=list(filters))
        batch, bad, *shapes = result
    except KeyError:
        defined = _keys.element_types(root)
        unknown = [k for k in keys if _keys.base_key(k) not in defined]
        if not unknown:
            raise
        raise _keys.unknown_key_error(unknown, defined) from None
    for buffer in buffers:
        check_intact(buffer)
    return pa.Table.from_batches(record_batches(batch)), bad, shapes[0] if shapes else []


def to_pandas(table: pa.Table) -> pd.DataFrame:
    """A frame of the table, integers nullable."""
    return table.to_pandas(types_mapper=_keys.nullable)


def header_column(headers: pa.Table, name: str) -> Any:
    """One header key (or the count) of every message of the header table."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if name == _keys.COUNT:
        return pa.chunked_array([pc.add(headers.column("message").combine_chunks(), 1)], pa.int64())
    return headers.column(name)


def message_mask(headers: pa.Table, filters: dict[str, _keys.Filter]) -> np.ndarray:
    """Which messages pass the filters on header keys and the count."""
    mask = np.ones(headers.num_rows, dtype=bool)
    for name, condition in filters.items():
        if name == _keys.COUNT or _keys.is_header(name):
            mask &= condition.match(header_column(headers, name))
    return mask


def shape(rows: pa.Table, headers: pa.Table | None, query: _keys.Query, pushed: set[str]) -> pd.DataFrame:
    """The asked columns of the rows: header keys joined per message (`headers`: None when none is
    asked), computed keys, filters (those the engine did not apply) and required columns applied;
    one conversion to pandas."""
    import pyarrow as pa

    out: dict[str, Any] = {}
    joined = [*query.header_keys, *([_keys.COUNT] if _keys.COUNT in query.filters or
                                    _keys.COUNT in query.columns else [])]
    if joined:  # each row's message among the headers' rows
        assert headers is not None
        at = np.searchsorted(headers.column("message").to_numpy(), rows.column("message").to_numpy())
    for name in joined:
        out[name] = header_column(headers, name).take(at)
    for name in query.data_keys:
        out[name] = rows.column(name)
    if _keys.SUBSET in query.columns or _keys.SUBSET in query.filters:
        out[_keys.SUBSET] = rows.column("subset").cast(pa.int64())
    for name in query.computed:
        computed = _keys.COMPUTED[name]
        out[name] = computed.compute([out[source] for source in computed.sources])
    keep = np.ones(rows.num_rows, dtype=bool)
    for name, condition in query.filters.items():
        if name not in pushed:
            keep &= condition.match(out[name])
    # The engine's rows have every required data key; a header or computed key is there when it has
    # a value.
    for name in query.required:
        if name not in query.data_keys:
            keep &= _keys.present(out[name])
    return _keys.to_pandas({name: out[name] for name in query.columns}, None if keep.all() else keep)


def flat_frame(buffers: list[Buffer], messages: Messages, headers: pa.Table, chooser: Any, threads: int,
               filters: dict[str, _keys.Filter], required_columns: bool | Iterable[str], on_bad_message: str,
               base: int = 0, source: int | None = None, root: str | None = None,
               max_message_rows: int = MAX_MESSAGE_ROWS, moved: Moved | None = None) -> pd.DataFrame:
    """One row per subset: every header key the messages carry, the subset number, then every data key
    numbered "#n#key" in the order first met. A filter or computed key on a plain data key reads its
    first occurrence ("#1#key"); `required_columns` as a list keeps the messages that hold those keys."""
    import pandas as pd
    import pyarrow as pa

    keep_messages = message_mask(headers, filters)
    headers = headers.filter(keep_messages)
    messages = messages[keep_messages]
    if isinstance(required_columns, str):
        required_columns = [required_columns]
    required = [] if isinstance(required_columns, bool) else list(dict.fromkeys(required_columns))
    data_required = [k for k in required if k not in _keys.COMPUTED and not _keys.is_header(k)
                     and k not in (_keys.COUNT, _keys.SUBSET)]
    rows, bad, shapes = engine_rows(buffers, messages, chooser, threads, data_required, [], root,
                                    max_message_rows, flat=True)
    report_all(on_bad_message, bad, base, source, moved)
    at = np.searchsorted(headers.column("message").to_numpy(), rows.column("message").to_numpy())
    names: list[str] = []
    arrays: list[Any] = []
    for name in headers.column_names[1:]:
        if headers.column(name).null_count < headers.num_rows:  # a key the messages carry
            names.append(name)
            arrays.append(headers.column(name).take(at))
    names.append(_keys.SUBSET)
    arrays.append(rows.column("subset").cast(pa.int64()))
    data = rows.column_names[3:]  # after message, subset and shape
    table = pa.table([*arrays, *(rows.column(name) for name in data)], names=[*names, *data])

    def column(name: str) -> Any:
        if name in table.column_names:
            return table.column(name)
        if name in _keys.COMPUTED:
            computed = _keys.COMPUTED[name]
            return computed.compute([column(part) for part in computed.sources])
        if _keys.is_header(name) or name.startswith("#"):
            return pa.nulls(table.num_rows)
        return column(f"#1#{name}")

    keep = np.ones(table.num_rows, dtype=bool)
    for name, condition in filters.items():
        if name != _keys.COUNT and not _keys.is_header(name):  # those are met by every message kept
            keep &= condition.match(column(name))
    for name in required:
        if name not in data_required:
            keep &= _keys.present(column(name))
    if keep.all():
        return to_pandas(table)
    # The data columns that the rows kept hold, in the order they first hold them.
    held = dict.fromkeys(c for shape in pd.unique(rows.column("shape").to_numpy()[keep]) for c in shapes[shape])
    return to_pandas(table.filter(pa.array(keep)).select([*names, *(data[c] for c in held)]))

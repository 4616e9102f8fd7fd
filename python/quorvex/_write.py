"""quorvex.write_bufr: BUFR edition 4 messages from a table, one row per subset, written by the
engine from the table's Arrow columns."""
from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import IO, Any

from quorvex import _engine
from quorvex._tables import TablesArg, engine_tables

__all__ = ["write_bufr"]


def _blocks(frame: Any) -> tuple[list[tuple[int, Any]], list[tuple[Any, Any, bool]]] | None:
    """The columns of a pandas frame as pandas holds them: (position, array) of every column that
    is not float64, and (positions, numbers, by_rows) of the float64 ones, read without a copy:
    `numbers` one column after another (columns x rows, C order), or by_rows one row after
    another (rows x columns); None when the frame's blocks are not laid out so."""
    import numpy as np
    others, floats = [], []
    try:
        for block in frame._mgr.blocks:
            positions = np.ascontiguousarray(block.mgr_locs.as_array, dtype=np.int64)
            values = block.values
            if isinstance(values, np.ndarray) and values.ndim == 2 and values.shape == (len(positions), len(frame)):
                if values.dtype == np.float64 and (values.flags.c_contiguous or values.flags.f_contiguous):
                    by_rows = not values.flags.c_contiguous
                    floats.append((positions, values.T if by_rows else values, by_rows))
                else:
                    others.extend(zip(positions.tolist(), values))
            elif len(positions) == 1 and getattr(values, "ndim", 0) == 1 and len(values) == len(frame):
                others.append((int(positions[0]), values))
            else:
                return None
    except AttributeError:  # pragma: no cover - another pandas layout
        return None
    return others, floats


def _frame_columns(frame: Any) -> tuple[Any, Any]:
    """A pandas frame's columns: the float64 ones as blocks beside an Arrow table of the others."""
    import numpy as np
    import pyarrow as pa
    names = frame.columns.tolist()
    blocks = _blocks(frame)
    if blocks is None:  # through the public API: the float64 columns taken as one block
        is_float = frame.dtypes.to_numpy() == np.dtype("float64")
        positions = np.flatnonzero(is_float)
        part = frame.take(positions, axis=1) if positions.size < len(names) else frame
        blocks = ([(int(i), frame.iloc[:, i]) for i in np.flatnonzero(~is_float)],
                  [(positions.astype(np.int64), np.ascontiguousarray(part.to_numpy(dtype="float64").T), False)]
                  if positions.size else [])
    others, floats = blocks
    others.sort(key=lambda other: other[0])
    stream = pa.Table.from_arrays([pa.array(values, from_pandas=True) for _, values in others],
                                  names=[str(names[i]) for i, _ in others])
    return stream, ((names, floats, len(frame)) if floats else None)


def _columns(data: Any) -> tuple[Any, Any]:
    """`data` as an object with __arrow_c_stream__, whose columns the engine reads where they
    are, and the float64 columns of a pandas frame given beside it as blocks (every column's
    name, blocks of (positions, numbers, by_rows), rows): a wide frame costs no
    Python object per column, and its numbers are read where pandas holds them. The other
    columns of a frame go through pyarrow one by one (the index left out); a record batch as a
    table."""
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - pandas is a dependency
        pd = None
    if pd is not None and isinstance(data, pd.DataFrame):
        return _frame_columns(data)
    if hasattr(data, "__arrow_c_stream__"):
        return data, None
    import pyarrow as pa
    if isinstance(data, pa.RecordBatch):
        return pa.Table.from_batches([data]), None
    raise TypeError(f"data must be a pandas DataFrame, an Arrow table or have __arrow_c_stream__, "
                    f"not {type(data).__name__}")


def write_bufr(data: Any, target: str | os.PathLike[str] | IO[bytes] | None = None, *,
               descriptors: Sequence[int], header: Mapping[str, int] | None = None, compressed: bool = False,
               subsets_per_message: int | None = None, tables: TablesArg = None) -> bytes | None:
    """Writes `data`, one row per subset with columns named as read_dataframe names them
    ("#1#airTemperature"), as BUFR edition 4 under `descriptors` (the unexpanded descriptors of
    section 3). `header`: section 1 by header keys (bufrHeaderCentre, dataCategory,
    masterTablesVersionNumber, typicalYear, ...); the typical time comes from the first row's
    #1#year .. #1#second when absent. Header keys may also be columns, as read_dataframe gives them:
    one value per message, agreeing with `header`; subsetNumber (1, 2 ... per message) says where
    messages start. No local section (section 2) is written: its keys (rdbType, ident, ...) are
    refused in `header` and not written from columns (Message.to_bytes keeps a message's own).
    None, NaN and pandas NA are missing values; texts are written as octets, each
    character the octet of its number (up to U+00FF). A delayed replication takes its factor's column
    when given, else the highest numbered key of its repeated descriptors present in the row (among
    the columns when the template uses those keys nowhere else); where that cannot tell the count
    (keys used elsewhere, nested groups), give its column (#1#delayedDescriptorReplicationFactor,
    the row's factors numbered in walk order). An associated field (2-04) is the column
    "#n#key->associatedField" of the element it stands before, its significance (0-31-021)
    "#n#key->associatedField->associatedFieldSignificance", as read_dataframe gives them. A
    data-present indicator without a value is 1 (no value): the values a bitmap selects are written
    from the table when it gives the bitmap as columns (#n#dataPresentIndicator, 0 where present,
    numbered in walk order), statistics (2-24, 2-25) and quality values (2-22) under the key of the
    element selected as read_dataframe names them, a percentage of confidence as
    "#n#key->percentConfidence" of the element it qualifies. A 2-03 definition takes the new
    reference from "#n#key->reference" of the element's next occurrence (uncompressed data only).
    Substituted values (2-23, 2-32) are refused. `target` a path or a binary file; None
    returns the octets. ValueError naming the key, the row and the value of anything that cannot be
    written, before anything is written."""
    if subsets_per_message is not None and subsets_per_message < 1:
        raise ValueError("subsets_per_message must be at least 1")
    stream, numbers = _columns(data)
    octets = _engine.write_table(stream, [int(d) for d in descriptors], dict(header or {}), bool(compressed),
                                 subsets_per_message or 0, engine_tables(tables), numbers)
    if target is None:
        return octets
    if isinstance(target, (str, os.PathLike)):
        with open(target, "wb") as handle:
            handle.write(octets)
    else:
        target.write(octets)
    return None

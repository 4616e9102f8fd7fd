"""The writers of `quorvex convert`: Parquet, CSV and JSON Lines sinks that take record
batches as they come, and the spooled sink of the wide shape, whose columns vary from batch
to batch."""
from __future__ import annotations

import json
import math
import os
import pathlib
import shutil
import tempfile
from typing import Any, Union

FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl",
           ".bufr": "bufr"}


# ---------------------------------------------------------------------------------------------
# writers: open on the first batch, take batches with the schema of that first batch


class ArrowSink:
    """Parquet or CSV through pyarrow's streaming writers, opened with the first batch's schema."""

    def __init__(self, path: pathlib.Path, fmt: str):
        self.writer: Any = None
        self.path, self.fmt, self.schema = path, fmt, None
        self.rows = 0

    def write(self, batch: Any) -> None:
        self.rows += batch.num_rows
        if self.writer is None:
            self.schema = batch.schema
            if self.fmt == "parquet":
                import pyarrow.parquet as pq
                self.writer = pq.ParquetWriter(self.path, batch.schema)
            else:
                import pyarrow.csv as pc
                self.writer = pc.CSVWriter(self.path, batch.schema)
        self.writer.write_batch(_conform(batch, self.schema))

    def finish(self, schema: Any) -> None:
        """Closes the file; when no batch came, it holds `schema` and no rows."""
        if self.writer is None:
            self.write(_empty_batch(schema))
        self.discard()

    def discard(self) -> None:
        if self.writer is not None:
            self.writer.close()
            self.writer = None


def _empty_batch(schema: Any) -> Any:
    import pyarrow as pa
    return pa.RecordBatch.from_pylist([], schema=schema)


class JsonLinesSink:
    def __init__(self, path: pathlib.Path, fmt: str = "jsonl"):
        self.file = open(path, "w", encoding="utf-8")
        self.rows = 0

    def write(self, batch: Any) -> None:
        self.rows += batch.num_rows
        lines = []
        for row in batch.to_pylist():
            for key, value in row.items():
                if isinstance(value, float) and not math.isfinite(value):
                    row[key] = None
            lines.append(json.dumps(row, ensure_ascii=False, default=str))
        if lines:
            self.file.write("\n".join(lines) + "\n")

    def finish(self, schema: Any) -> None:
        self.file.close()

    def discard(self) -> None:
        self.file.close()


Sink = Union[ArrowSink, "JsonLinesSink", "SpooledSink"]
SINKS = {"parquet": ArrowSink, "csv": ArrowSink, "jsonl": JsonLinesSink}


def _conform(batch: Any, schema: Any) -> Any:
    """`batch` with `schema`: columns it lacks are null, types cast to the schema's."""
    import pyarrow as pa
    if batch.schema.equals(schema):
        return batch
    columns = []
    for field in schema:
        index = batch.schema.get_field_index(field.name)
        column = batch.column(index) if index >= 0 else pa.nulls(batch.num_rows, field.type)
        columns.append(column if column.type == field.type else column.cast(field.type))
    return pa.RecordBatch.from_arrays(columns, schema=schema)


class SpooledSink:
    """For the wide shape, whose columns vary from batch to batch: each batch goes to a
    Parquet part file as it comes; at the end the parts are written to the real sink under
    the union of their schemas, one part at a time."""

    def __init__(self, sink: ArrowSink | JsonLinesSink, near: pathlib.Path):
        self.sink = sink
        self.dir = tempfile.mkdtemp(prefix=".quorvex-", dir=near.parent)
        self.parts: list[str] = []
        self.schemas: list[Any] = []
        self.rows = 0

    def discard(self) -> None:
        shutil.rmtree(self.dir, ignore_errors=True)
        self.sink.discard()

    def write(self, batch: Any) -> None:
        import pyarrow.parquet as pq
        self.rows += batch.num_rows
        part = os.path.join(self.dir, f"{len(self.parts):06}.parquet")
        pq.write_table(_table(batch), part)
        self.parts.append(part)
        self.schemas.append(batch.schema)

    def finish(self, schema: Any) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq
        try:
            if self.parts:
                schema = pa.unify_schemas(self.schemas, promote_options="permissive")
                for part in self.parts:
                    for batch in pq.read_table(part).to_batches():
                        self.sink.write(_conform(batch, schema))
            self.sink.finish(schema)
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


def _table(batch: Any) -> Any:
    import pyarrow as pa
    return pa.Table.from_batches([batch])

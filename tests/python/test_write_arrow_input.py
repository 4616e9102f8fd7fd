"""write_bufr reads Arrow columns of every type it takes where they are: the same table given
with other number widths, booleans, decimals, dictionaries, 32-bit text offsets, null-typed
columns, several chunks (sliced, so with offsets) or through pandas and polars writes the same
octets as the table of float64 and large_string columns that pyarrow's own casts make."""
import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")
quorvex = pytest.importorskip("quorvex")

# Date, time, station (block, number, name), temperature, pressure.
DESCRIPTORS = [301011, 301012, 1001, 1002, 1015, 12101, 10004]
ROWS = 37


def base_table(seed):
    """Random rows with nulls (and NaN) everywhere but the date; #1#minute holds 0 or 1 only."""
    rng = np.random.default_rng(seed)

    def holes(values, share=0.2):
        return [None if rng.random() < share else v for v in values]

    temperatures = holes(np.round(rng.uniform(200, 320, ROWS), 2).tolist())
    temperatures[1] = float("nan")
    names = ["ALPHA", "BRAVO STATION", "", "ZULU"]
    return pa.table({
        "#1#year": [2024] * ROWS, "#1#month": [3] * ROWS, "#1#day": rng.integers(1, 29, ROWS).tolist(),
        "#1#hour": holes(rng.integers(0, 24, ROWS).tolist()), "#1#minute": holes(rng.integers(0, 2, ROWS).tolist()),
        "#1#blockNumber": holes(rng.integers(0, 100, ROWS).tolist()),
        "#1#stationNumber": holes(rng.integers(0, 1000, ROWS).tolist()),
        "#1#stationOrSiteName": holes([names[i] for i in rng.integers(0, len(names), ROWS)]),
        "#1#airTemperature": pa.array(temperatures, pa.float64()),
        "#1#pressure": pa.array([None] * ROWS, pa.float64()),
    })


def cast_by_pyarrow(table):
    """Every column as float64 or large_string (dictionaries decoded), in one chunk."""
    columns = []
    for column in table.columns:
        if pa.types.is_dictionary(column.type):
            column = column.cast(column.type.value_type)
        text = pa.types.is_string(column.type) or pa.types.is_large_string(column.type)
        columns.append(column.cast(pa.large_string() if text else pa.float64()))
    return pa.Table.from_arrays(columns, names=table.column_names).combine_chunks()


def retyped(table, kind):
    """`table` with each column that `kind` holds exactly (pyarrow's safe cast) as `kind`."""
    columns = []
    for name, column in zip(table.column_names, table.columns):
        if kind == "null" and column.null_count == len(column):
            column = pa.nulls(len(column))
        elif kind.startswith("dictionary"):
            text = "string" in kind
            if pa.types.is_string(column.type) == text and column.null_count < len(column):
                target = pa.large_string() if "large" in kind else pa.string() if text else pa.float64()
                column = pc.dictionary_encode(column.cast(target))
                if "int8" in kind:
                    column = column.cast(pa.dictionary(pa.int8(), target))
        elif kind in ("string", "large_string"):
            if pa.types.is_string(column.type):
                column = column.cast(getattr(pa, kind)())
        elif not pa.types.is_string(column.type):
            target = pa.decimal128(9, 2) if kind == "decimal128" else getattr(pa, kind)()
            try:
                column = column.cast(target)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                pass
        columns.append(column)
    return pa.Table.from_arrays(columns, names=table.column_names)


def chunked(table, layout):
    if layout == "one chunk":
        return table
    if layout == "sliced chunks":
        return pa.concat_tables([table.slice(0, 5), table.slice(5, 1), table.slice(6, 20), table.slice(26)])
    if layout == "batch reader":
        return pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=8))
    if layout == "pandas":
        return table.to_pandas()
    if layout == "pandas, a column at a time":  # a block per column, as pandas leaves them unmerged
        import pandas as pd

        frame = pd.DataFrame(index=range(table.num_rows))
        for name, column in table.to_pandas().items():
            frame[name] = column
        return frame
    if layout == "pandas over a 2-D array":  # the float64 columns in one block, a transposed view
        import pandas as pd

        frame = table.to_pandas()
        floats = [name for name in frame.columns if frame[name].dtype == np.float64]
        numbers = pd.DataFrame(np.ascontiguousarray(frame[floats].to_numpy()), columns=floats, copy=False)
        for name in frame.columns:
            if name not in floats:
                numbers[name] = frame[name]
        return numbers
    if layout == "pandas, every other row of a longer frame":  # strided blocks, read through a copy
        import pandas as pd

        frame = table.to_pandas()
        return pd.concat([frame, frame]).sort_index(kind="stable").iloc[::2]
    if layout == "polars":
        import polars

        return polars.from_arrow(table)
    raise AssertionError(layout)


KINDS = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16", "float32",
         "float64", "decimal128", "bool_", "string", "large_string", "dictionary int8 string",
         "dictionary large_string", "dictionary float64", "null"]


# pandas and polars do not keep float16, decimal128 or dictionary columns with NaN among the
# categories as such, so those kinds reach the writer only as Arrow.
FRAME_KINDS = {"float16", "decimal128", "dictionary int8 string", "dictionary float64"}
LAYOUTS = [(kind, layout) for kind in KINDS
           for layout in ["one chunk", "sliced chunks", "batch reader", "pandas", "pandas, a column at a time",
                          "pandas over a 2-D array",
                          "pandas, every other row of a longer frame", "polars"]
           if layout in ("one chunk", "sliced chunks", "batch reader") or kind not in FRAME_KINDS]


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
@pytest.mark.parametrize(("kind", "layout"), LAYOUTS)
def test_every_arrow_input_writes_what_its_float64_and_large_string_cast_writes(kind, layout, compressed):
    table = retyped(base_table(KINDS.index(kind)), kind)
    expected = quorvex.write_bufr(cast_by_pyarrow(table), descriptors=DESCRIPTORS, compressed=compressed,
                                  subsets_per_message=6)
    written = quorvex.write_bufr(chunked(table, layout), descriptors=DESCRIPTORS, compressed=compressed,
                                 subsets_per_message=6)
    assert written == expected


@pytest.mark.parametrize(("column", "text"), [
    (pa.array([2**53 + 1], pa.int64()), "#1#stationNumber, row 0: value 9007199254740993 is not held exactly"),
    (pa.array([2**64 - 1], pa.uint64()), "#1#stationNumber, row 0: value 18446744073709551615 is not held exactly"),
    (pa.array([-(2**62)], pa.int64()).dictionary_encode(),
     "#1#stationNumber, row 0: value -4611686018427387904 is not held exactly"),
])
def test_integers_no_number_holds_exactly_are_refused(column, text):
    table = pa.table({"#1#year": [2024], "#1#month": [1], "#1#day": [1], "#1#stationNumber": column})
    with pytest.raises(ValueError, match=text):
        quorvex.write_bufr(table, descriptors=[301011, 1002])


@pytest.mark.parametrize("column", [pa.array([b"x"]), pa.array([[1]]), pa.array([1], pa.timestamp("s")),
                                    pa.array([15], pa.decimal256(40, 0))])
def test_columns_of_other_types_are_a_type_error(column):
    with pytest.raises(TypeError, match="#1#stationNumber: Arrow type"):
        quorvex.write_bufr(pa.table({"#1#stationNumber": column}), descriptors=[1002])

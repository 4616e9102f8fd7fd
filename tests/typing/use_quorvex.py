"""Typed use of the package and of _quorvex, checked by mypy --strict (tests/python/test_typing.py)."""
from pathlib import Path
from typing import assert_type

import pandas as pd
import pyarrow as pa

import _quorvex
import quorvex
from quorvex import _tables

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "synop_wigos.bufr"


def first_values(path: Path) -> list[tuple[int, float | None]]:
    message = _quorvex.parse_all_file(str(path))[0]
    data = path.read_bytes()[:message.total_length]
    assert_type(message.unexpanded_descriptors, list[int])
    tables, source = _tables.table_set_for(message, None)
    assert_type(tables, quorvex.TableSet)
    assert_type(source, str)
    element = tables.get_element(12101)
    if element is not None:
        assert_type(element.abbreviation, str)
    values = _quorvex.decode_values_with_tables(data, tables)
    assert_type(values[0].data, str | float | None)
    return [(v.descriptor, v.raw_value) for v in values]


def tables_of(path: Path) -> tuple[pd.DataFrame, pd.DataFrame, pa.Table]:
    with quorvex.open(path) as bufr:
        headers = bufr.headers()
        message = bufr[0]
        assert_type(message.tables_source, str)
        assert_type(message.values(), list[quorvex.Value])
        assert_type(message.values()[0].data, str | float | None)
        assert_type(bufr[1:], list[quorvex.Message])
    frame = quorvex.read_dataframe(path, columns=["latitude", "airTemperature"])
    return headers, frame, quorvex.read_arrow([path, path.read_bytes()], tables=None)


if __name__ == "__main__":
    print(first_values(EXAMPLE)[:5])
    print(*tables_of(EXAMPLE), sep="\n")

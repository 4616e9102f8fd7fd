"""Typed use of the package and of _quorvex, checked by mypy --strict (tests/python/test_typing.py)."""
from pathlib import Path
from typing import assert_type

import _quorvex
import quorvex
from quorvex import _tables

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "synop_wigos.bufr"


def first_values(path: Path) -> list[tuple[int, float | None]]:
    data = path.read_bytes()
    message = _quorvex.parse_bytes(data)
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


if __name__ == "__main__":
    print(first_values(EXAMPLE)[:5])

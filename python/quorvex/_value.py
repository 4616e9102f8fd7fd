"""One decoded value of a message, as Message.values() gives them: read from the engine's
columns, for every edition."""
from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pyarrow as pa


@dataclasses.dataclass(frozen=True, slots=True)
class Value:
    """One value of section 4: where it stands, its descriptor and element, and the value in up
    to four forms (the names of the attributes of `_quorvex.DecodedValue`)."""

    subset: int  # from 0
    descriptor: int  # FXXYYY (999999 for an associated field)
    name: str
    unit: str | None
    raw_value: float | None  # the scaled number, None when missing or text
    raw: int | None  # the bits as read, None for text
    raw_text: str | None  # the text of a CCITT IA5 element
    raw_meaning: str | None  # the code or flag table meaning

    @property
    def data(self) -> str | float | None:
        """raw_text, else raw_meaning, else raw_value, else None."""
        if self.raw_text is not None:
            return self.raw_text
        if self.raw_meaning is not None:
            return self.raw_meaning
        return self.raw_value


def values_of(table: pa.Table) -> list[Value]:
    """The rows of one message's long table (the engine's columns) as Values, in order."""
    names = ("subset", "descriptor", "name", "unit", "value", "raw", "text", "meaning")
    columns = [table.column(name).to_pylist() for name in names]
    return [Value(*row) for row in zip(*columns, strict=True)]

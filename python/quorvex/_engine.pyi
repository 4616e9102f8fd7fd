# Type stubs of quorvex._engine, the compiled scanner, table chooser and columnar decoder.
from collections.abc import Buffer, Sequence
import os
from typing import Any, final

def scan(buffer: Buffer, start: int = 0, end: int | None = None) -> list[tuple[int, int, str | None]]:
    """(offset, length, error) of every "BUFR" whose first octet lies in [start, end)."""

def read_header(buffer: Buffer, offset: int, length: int) -> dict[str, object]:
    """Sections 0, 1 and 3 of one message of edition 2, 3 or 4."""

@final
class TableElement(tuple[int, str, str, str, str, int, int, int]):
    """A Table B entry."""

    code: int
    abbreviation: str
    element_type: str
    name: str
    unit: str
    scale: int
    reference: int
    width: int

@final
class TableSequence(tuple[int, list[int]]):
    """A Table D entry."""

    code: int
    members: list[int]

@final
class TableSet:
    """The tables of one selection, chosen as every reader chooses them."""

    def __new__(
        cls,
        tables: str | os.PathLike[str] | None = None,
        *,
        master_table: int = 0,
        master_version: int | None = None,
        local_version: int = 0,
        centre: int = 0,
        sub_centre: int = 0,
    ) -> TableSet: ...
    def get_element(self, code: int) -> TableElement | None: ...
    def get_sequence(self, code: int) -> TableSequence | None: ...
    def get_meaning(self, code: int, raw: int) -> str | None: ...
    def expand(self, descriptors: Sequence[int]) -> list[int]: ...
    def element_types(self) -> dict[str, str]: ...
    @property
    def element_count(self) -> int: ...
    @property
    def sequence_count(self) -> int: ...
    @property
    def source(self) -> str:
        """"definitions:<root>", "store", or "store: master version V decoded with W"."""

@final
class Tables:
    """Chooses and caches the TableSet of each message."""

    def __init__(self, tables: str | os.PathLike[str] | TableSet | None = None) -> None: ...
    def source(self, buffer: Buffer, offset: int, length: int) -> str:
        """Where the tables of one message come from: "table_set", "definitions:<root>", "store", or
        "store: master version V decoded with W"."""
    def table_set(self, buffer: Buffer, offset: int, length: int) -> TableSet: ...
    @property
    def root(self) -> str | None: ...
    @property
    def cached(self) -> int:
        """Number of table selections held in the cache."""

@final
class Batch:
    """Decoded values as Arrow columns in one or more record batches (Arrow PyCapsule
    interface; __arrow_c_array__ only when there is one batch)."""

    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]: ...
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...
    @property
    def num_rows(self) -> int: ...
    @property
    def num_batches(self) -> int: ...

def decode(
    sources: Sequence[Buffer],
    messages: Sequence[tuple[int, int, int, int]],
    tables: Tables,
    threads: int,
    keys: bool = False,
    with_source: bool | None = None,
) -> tuple[Batch, list[tuple[int, int, str]]]:
    """Decode messages (source position, index, offset, length) on `threads` native threads;
    with_source adds the source column (None: when there are several sources)."""

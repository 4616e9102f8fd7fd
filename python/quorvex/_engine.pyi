# Type stubs of quorvex._engine, the compiled scanner, table chooser and columnar decoder.
import os
from collections.abc import Buffer, Sequence
from typing import Any, final

# (kind, reason) of a bad message: kind names the fault ("message_overrun", "data_fault", ...).
ErrorData = tuple[str, str]

def scan(buffer: Buffer, start: int = 0, end: int | None = None, headers: bool = False) -> list[Any]:
    """(offset, length, error) of every "BUFR" whose first octet lies in [start, end); with
    headers, (offset, length, error, header dict or None)."""

def scan_window(buffer: Buffer, start: int, end: int, headers: bool = False) -> tuple[list[Any], int, int]:
    """(entries of scan(), where the next window's scan starts, end of the octets the damaged
    markers need to be judged or 0)."""

def scan_index(buffer: Buffer, start: int, end: int, position: int = 0,
               first: int = 0) -> tuple[bytes, list[Any], int, int, int]:
    """(messages, bad, resume, needed, found): the whole messages of the window as rows of four
    native int64 (position, index, offset, length), the damaged markers as bad messages, and how
    many markers were found in all."""

def date_stamps(year: list[Any], month: list[Any], day: list[Any], hour: list[Any], minute: list[Any],
                second: list[Any], out: Buffer) -> int:
    """Writes into `out` (int64 per row) the dates of their parts in microseconds since 1970, NaT
    where a row has none, and returns how many have none; each part is a list of Arrow chunks
    (kind "l" or "d", validity or None, values, offset, rows)."""

def read_header(buffer: Buffer, offset: int, length: int) -> dict[str, object]:
    """Sections 0, 1 and 3 of one message of edition 2, 3 or 4."""

def header_keys() -> list[tuple[str, str]]:
    """Every header key as (name, type), type "long", "double" or "string", in ecCodes's order."""

def read_header_keys(buffer: Buffer, offset: int, length: int) -> dict[str, int | float | str]:
    """The header keys one message carries, by ecCodes's names; ValueError on a bad header or date."""

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
    def expand_tree(self, descriptors: Sequence[int]) -> list[tuple[int, int]]: ...
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
    messages: Sequence[tuple[int, int, int, int]] | Buffer,
    tables: Tables,
    threads: int,
    keys: bool = False,
    with_source: bool | None = None,
    max_message_rows: int = 4194304,
) -> tuple[Batch, list[tuple[int, int, str, str, int]]]:
    """Decode messages (source position, index, offset, length) on `threads` native threads;
    with_source adds the source column (None: when there are several sources). The bad ones as
    (message index, offset, kind, reason, source position)."""

def read_rows(
    sources: Sequence[Buffer],
    messages: Sequence[tuple[int, int, int, int]] | Buffer,
    tables: Tables,
    threads: int,
    keys: Sequence[str],
    flat: bool = False,
    required: Sequence[str] | None = None,
    max_message_rows: int = 4194304,
    filters: Sequence[tuple[str, Sequence[int | float | str] | None, int | float | None, int | float | None]]
    | None = None,
    programs: bool = True,
) -> tuple[Batch, list[tuple[int, int, str, str, int]]]:
    """Rows of `keys` gathered by the hierarchy of coordinates (message, subset, then one column
    per key, typed by its table entry; an attribute "key->attribute" in the row of its element);
    rows that lack a key of `required` are dropped, and rows
    whose value of a filtered key is not among its (key, values, low, high) filter's values (or,
    values None, not within [low, high]). Texts without their padding. KeyError names keys no
    table of the messages defines. A message over its budget is a bad message, as in decode().
    `flat`: one row per subset, every element a column "#n#key" numbered as ecCodes numbers keys,
    in the order first met; only messages holding every key of `keys` give rows. `programs=False`:
    each message walked value by value, not replayed from its compiled template (the same rows)."""

def read_header_table(
    sources: Sequence[Buffer],
    messages: Sequence[tuple[int, int, int, int]] | Buffer,
    keys: Sequence[str] | None = None,
) -> tuple[Batch, list[tuple[int, int, str, str, int]]]:
    """The header keys (None: all) of the messages in one pass: a column message (the index) and
    one per key, one row per message whose header reads; the others as decode() lists them."""

def read_tree(
    buffer: Buffer,
    offset: int,
    length: int,
    tables: Tables,
    max_message_rows: int = 4194304,
) -> tuple[Batch, list[tuple[int, int, str, str, int]], list[list[tuple[str, int, int, int]]],
           list[tuple[int, int, str | None]]]:
    """One message as decode() gives it (key columns included), with the nesting the decoder
    walked: (batch, bad, events per subset as (kind, code, count, row), attribute links as
    (attribute row, element row, name under the element or None))."""

def reencode(buffer: Buffer, offset: int, length: int, tables: Tables, compressed: bool | None = None) -> bytes:
    """The message written again as edition 4 with the same header, section 2, descriptors and
    values; compressed or not as asked (None: as it is)."""

def write_table(data: Any, descriptors: Sequence[int], header: dict[str, int] | None, compressed: bool,
                subsets_per_message: int, tables: Tables,
                numbers: tuple[list[str], list[tuple[Buffer, Buffer, bool]], int] | None = None) -> bytes:
    """BUFR edition 4 messages from an Arrow stream whose columns (#n#key) are numbers, booleans,
    texts or nulls, one row per subset; `numbers` adds float64 columns given as blocks
    (positions among the names, numbers column after column or row after row)."""

def watch(buffer: Buffer) -> int:
    """Watch a mapped file's range: pages that fault (the file shrank) read as zeros; -1 when no slot is free."""

def faulted(slot: int) -> bool:
    """Whether a page of the watched range faulted."""

def unwatch(slot: int) -> bool:
    """Stop watching the range (before closing the mapping); whether a page faulted."""

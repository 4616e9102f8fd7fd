"""The TableSet a message selects, for `tables show` and `tables expand` (lookups and the
expansion's tree, both answered by the engine): the engine's own table choice."""
from __future__ import annotations

from typing import Any

from quorvex import _engine

from ._common import Header, Span


def table_set_for(buffer: Any, span: Span, header: Header, tables: str | None) -> tuple[_engine.TableSet, str]:
    """(TableSet, where it comes from) of one message. Raises ValueError when nothing fits."""
    from quorvex import _tables
    chosen = _tables.engine_tables(tables).table_set(buffer, span.offset, span.length)
    return chosen, chosen.source


def newest_tables(tables: str | None) -> tuple[_engine.TableSet, str]:
    """The newest WMO tables of the chosen source: the tables for a descriptor asked about
    without a message."""
    chosen = _engine.TableSet(tables)
    return chosen, chosen.source

"""`quorvex convert ... -o OUT.bufr`: every good message written again as edition 4 by the
engine, with its own header, descriptors and values, compressed or not as asked."""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any, BinaryIO

from . import _common
from ._common import Problems


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def write_messages(out: BinaryIO, files: Sequence[str], tables: Any, compressed: bool | None, problems: Problems,
                   progress: Any) -> int:
    """Writes the messages of `files` to `out`; returns how many were written. A message that
    cannot be decoded or written is a problem line naming it, and is left out."""
    engine = _common.engine()
    choice = engine.Tables(tables)
    written = 0
    for path in files:
        opened = _common.open_and_scan(path, problems)
        if opened is None:
            continue
        buffer, spans = opened
        counted = _common.Counted(spans)
        for span in _common.good_spans(path, counted, problems):
            try:
                octets = engine.reencode(buffer, span.offset, span.length, choice, compressed)
            except ValueError as e:
                problems.report(path, str(e), message=span.index, offset=span.offset)
                continue
            _common.check(buffer)
            out.write(octets)
            written += 1
        progress.advance(_size(path), counted.count, os.path.basename(path))
    return written

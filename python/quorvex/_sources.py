"""Sources of BUFR octets: paths (memory-mapped), bytes-like objects, binary file objects,
or a list of these, turned into buffers the engine reads in place."""
from __future__ import annotations

import contextlib
import io
import mmap
import os
from collections.abc import Iterator, Sequence
from typing import BinaryIO, Union, cast

Buffer = Union[bytes, bytearray, memoryview, mmap.mmap]
SingleSource = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]
Source = Union[SingleSource, Sequence[SingleSource]]


def _is_single(source: object) -> bool:
    return isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview)) or hasattr(source, "read")


def _map_file(stack: contextlib.ExitStack, fileno: int) -> Buffer:
    if os.fstat(fileno).st_size == 0:
        return b""  # an empty file cannot be mapped
    mapped = mmap.mmap(fileno, 0, access=mmap.ACCESS_READ)
    stack.callback(mapped.close)
    return mapped


def _open_one(stack: contextlib.ExitStack, source: object) -> Buffer:
    if isinstance(source, (bytes, bytearray)):
        return source
    if isinstance(source, memoryview):
        return source if source.contiguous else source.tobytes()
    if isinstance(source, (str, os.PathLike)):
        f = stack.enter_context(open(source, "rb"))
        return _map_file(stack, f.fileno())
    if isinstance(source, io.TextIOBase):
        raise TypeError("source must be opened in binary mode, not text mode")
    if hasattr(source, "read"):
        stream = cast(BinaryIO, source)
        fileno = None
        with contextlib.suppress(OSError, AttributeError, io.UnsupportedOperation):
            fileno = stream.fileno()
        if fileno is not None and hasattr(stream, "tell") and stream.tell() == 0:
            with contextlib.suppress(OSError, ValueError):
                return _map_file(stack, fileno)
        data = stream.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("source file object must return bytes from read()")
        return data
    raise TypeError(
        "source must be a path, bytes, bytearray, memoryview, a binary file object or a list of these, "
        f"not {type(source).__name__}"
    )


@contextlib.contextmanager
def open_sources(source: Source) -> Iterator[tuple[list[Buffer], bool]]:
    """The buffers of `source` and whether it was a list; mapped files are closed on exit."""
    with contextlib.ExitStack() as stack:
        if _is_single(source):
            yield [_open_one(stack, source)], False
        elif isinstance(source, Sequence):
            yield [_open_one(stack, s) for s in source], True
        else:
            _open_one(stack, source)  # raises the TypeError

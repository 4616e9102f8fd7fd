"""Sources of BUFR octets: paths (memory-mapped), directories and glob patterns (their files,
sorted), objects with the buffer protocol (bytes, bytearray, memoryview, mmap, ...), binary
file objects and streams (pipes and sockets are read to the end), or a list of these, turned
into buffers the engine reads in place."""
from __future__ import annotations

import contextlib
import errno
import glob
import io
import itertools
import mmap
import os
import stat
import weakref
from collections.abc import Buffer as BufferProtocol
from collections.abc import Iterator, Sequence
from typing import BinaryIO, Union, cast

import numpy as np

from . import _engine

Buffer = Union[bytes, bytearray, memoryview, mmap.mmap]
SingleSource = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]
Source = Union[SingleSource, Sequence[SingleSource]]

# Watched mappings: id of the mapping -> (watch slot, name of the file); those whose fault
# was raised already are not raised again when they are closed.
_watched: dict[int, tuple[int, str]] = {}
_raised: set[int] = set()

_GLOB_CHARACTERS = frozenset("*?[")


def _is_single(source: object) -> bool:
    return isinstance(source, (str, os.PathLike, BufferProtocol)) or hasattr(source, "read")


def changed_error(name: str) -> OSError:
    return OSError(errno.EIO, "the file shrank while it was read", name)


def check_intact(buffer: object) -> None:
    """Raises OSError naming the file when a page of a mapped source faulted because the file
    shrank: what was read from it since may be zeros, not the file's octets."""
    watched = _watched.get(id(buffer))
    if watched is not None and _engine.faulted(watched[0]):
        _raised.add(id(buffer))
        raise changed_error(watched[1])


def _forget(key: int) -> bool:
    """Stops watching the mapping `key`; whether a page of it faulted. A mapping already
    forgotten (its finalizer and its owner's release can both come at collection) is left."""
    entry = _watched.pop(key, None)
    if entry is None:
        return False
    slot = entry[0]
    raised = key in _raised
    _raised.discard(key)
    return bool(_engine.unwatch(slot)) and not raised


def _release(mapped: mmap.mmap) -> None:
    entry = _watched.get(id(mapped))
    faulted = entry is not None and _forget(id(mapped))
    mapped.close()
    if faulted:
        assert entry is not None
        raise changed_error(entry[1])


def release_mapping(buffer: object) -> None:
    """Closes a mapping that map_path() made (anything else is left), raising OSError naming
    the file when it shrank while it was read."""
    if isinstance(buffer, mmap.mmap) and id(buffer) in _watched and not buffer.closed:
        _release(buffer)


def map_path(path: str | os.PathLike[str]) -> Buffer:
    """The octets of a file: mapped and watched when it is a regular file (until the mapping
    is collected; check it with check_intact), else read whole. Raises OSError."""
    with open(path, "rb") as f:
        return _map_file(None, f, os.fspath(path))


def _read_all(stream: BinaryIO) -> bytes:
    data = stream.read()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError("source file object must return bytes from read()")
    return bytes(data)


def _map_file(stack: contextlib.ExitStack | None, stream: BinaryIO, name: str) -> Buffer:
    """The file behind `stream`, mapped and watched; read whole when it is not a regular file
    (a pipe, a socket, a terminal) or no watch slot is free."""
    status = os.fstat(stream.fileno())
    if not stat.S_ISREG(status.st_mode):
        return _read_all(stream)
    if status.st_size == 0:
        return b""  # an empty file cannot be mapped
    mapped = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
    slot = _engine.watch(mapped)
    if slot < 0:
        data = bytes(mapped)
        mapped.close()
        return data
    key = id(mapped)
    _watched[key] = (slot, name)
    collected = weakref.finalize(mapped, _forget, key)
    if stack is not None:
        stack.callback(_release, mapped)
        stack.callback(collected.detach)
    return mapped


def expand_paths(source: str | os.PathLike[str]) -> list[str] | None:
    """The files a directory or a glob pattern names, sorted (None for any other path)."""
    path = os.fspath(source)
    if os.path.isdir(path):
        names = sorted(os.path.join(path, name) for name in os.listdir(path))
    elif not os.path.exists(path) and _GLOB_CHARACTERS & set(path):
        names = sorted(glob.glob(path, recursive=True))
    else:
        return None
    return [name for name in names if os.path.isfile(name)]


def _open_one(stack: contextlib.ExitStack, source: object) -> Buffer:
    if isinstance(source, (bytes, bytearray)):
        return source
    if isinstance(source, (str, os.PathLike)):
        f = stack.enter_context(open(source, "rb"))
        return _map_file(stack, f, os.fspath(source))
    if isinstance(source, BufferProtocol):
        view = memoryview(source)
        return view if view.contiguous and view.format in ("B", "b", "c") else view.tobytes()
    if isinstance(source, io.TextIOBase):
        raise TypeError("source must be opened in binary mode, not text mode")
    if hasattr(source, "read"):
        stream = cast(BinaryIO, source)
        seekable = False
        with contextlib.suppress(OSError, AttributeError, ValueError):
            seekable = stream.seekable() and stream.tell() == 0
        if seekable:
            with contextlib.suppress(OSError, AttributeError, io.UnsupportedOperation):
                return _map_file(stack, stream, str(getattr(stream, "name", "<file object>")))
        return _read_all(stream)
    raise TypeError(
        "source must be a path, a directory, a glob pattern, an object with the buffer protocol, "
        f"a binary file object or a list of these, not {type(source).__name__}"
    )


def flatten(source: Source) -> tuple[list[object], bool]:
    """The single sources of `source` (directories and glob patterns replaced by their files)
    and whether it is a list of them."""
    if _is_single(source):
        if isinstance(source, (str, os.PathLike)):
            files = expand_paths(source)
            if files is not None:
                if not files:
                    raise FileNotFoundError(errno.ENOENT, "no file matches", os.fspath(source))
                return list(files), True
        return [source], False
    if isinstance(source, Sequence):
        items: list[object] = []
        for s in source:
            if not _is_single(s):
                _open_one(contextlib.ExitStack(), s)  # raises the TypeError
            expanded = expand_paths(s) if isinstance(s, (str, os.PathLike)) else None
            items += [s] if expanded is None else expanded
        return items, True
    _open_one(contextlib.ExitStack(), source)  # raises the TypeError
    raise AssertionError("unreachable")


@contextlib.contextmanager
def opened(source: object) -> Iterator[Buffer]:
    """The buffer of one single source (an item of flatten()). A file opened for it is closed on
    exit, and OSError is raised then when it shrank while it was read: the readers open the
    sources of a list one at a time, each closed before the next is opened."""
    with contextlib.ExitStack() as stack:
        yield _open_one(stack, source)


def holds_file(source: object, buffer: Buffer) -> bool:
    """Whether `buffer` maps a file opened for `source` (which opened() closes on exit)."""
    return isinstance(buffer, mmap.mmap) and buffer is not source


def source_name(source: object) -> str:
    """How errors name a single source: its path, its file's name, or its type."""
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    name = getattr(source, "name", None) if not isinstance(source, BufferProtocol) else None
    return name if isinstance(name, str) else f"<{type(source).__name__}>"


def copy_messages(buffer: Buffer, spans: Sequence[tuple[int, int]]) -> tuple[bytes, list[int]]:
    """The octets of the messages at `spans` ((offset, length) each) of `buffer`, one after the
    other in a new bytes object, and the offset of each there: what outlives the file once it
    is closed."""
    offsets = list(itertools.accumulate((length for _, length in spans), initial=0))[:-1]
    return b"".join(buffer[offset:offset + length] for offset, length in spans), offsets


def copy_spans(buffer: Buffer, offsets: np.ndarray, lengths: np.ndarray) -> tuple[bytes, np.ndarray]:
    """copy_messages for spans given as arrays (in order, not overlapping): the messages that
    follow each other in the file are copied as one run, so the work goes by the gaps between
    them, not by the messages."""
    ends = offsets + lengths
    starts = np.flatnonzero(offsets[1:] != ends[:-1]) + 1
    firsts = np.concatenate(([0], starts)) if len(offsets) else starts
    lasts = np.concatenate((starts - 1, [len(offsets) - 1])) if len(offsets) else starts
    copied = b"".join(buffer[a:b] for a, b in zip(offsets[firsts].tolist(), ends[lasts].tolist()))
    at = np.zeros(len(lengths), np.int64)
    np.cumsum(lengths[:-1], out=at[1:])
    return copied, at

"""Where the messages of a Dask read lie: the files named, their byte ranges, and the
pre-scan that gives each range its entry point and first message number (the plan that
quorvex.dask's tasks follow; its rules are told in that module's docstring)."""

from __future__ import annotations

import dataclasses
import mmap
import os
from collections.abc import Mapping, Sequence
from typing import Any, Union

import dask
import fsspec  # type: ignore[import-untyped]
import fsspec.implementations.local  # type: ignore[import-untyped]

# Dask's own functions carry no annotations: called through these names.
_delayed: Any = dask.delayed  # type: ignore[attr-defined]
_compute: Any = dask.compute  # type: ignore[attr-defined]

PathArg = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

# The pre-scan of a range reports the offsets of its first few messages: enough to tell
# whether it found any inside the message that crosses into the range from the previous one.
_HEAD = 8


# --- where the bytes are -------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class _File:
    """One file of the read: how a worker reaches it."""

    protocol: str  # "file" for a local file, which is memory-mapped
    path: str  # as the file system names it
    size: int
    source: int  # position in the expanded list


@dataclasses.dataclass(frozen=True)
class _Range:
    """Messages of `file` whose first octet lies in [scan_from, end)."""

    file: _File
    start: int  # the range as cut by blocksize
    end: int
    scan_from: int  # where the file-wide scan enters the range (>= start)
    first_message: int  # number of the range's first message in the whole read
    count: int  # messages the range holds, from the pre-scan


def _has_magic(path: str) -> bool:
    return any(c in path for c in "*?[")


def _expand(paths: PathArg, storage_options: Mapping[str, Any]) -> tuple[list[_File], bool]:
    """The files named by `paths` (a path, a directory, a glob or a list of them), and whether
    it named exactly one file, without a glob (the readers' single-source case: no `source`)."""
    if isinstance(paths, (str, os.PathLike)):
        items = [os.fspath(paths)]
        single = not _has_magic(items[0])
    else:
        items = [os.fspath(p) for p in paths]
        single = False
        if not items:
            raise ValueError("paths is an empty list")
    files: list[_File] = []
    for item in items:
        fs, path = fsspec.core.url_to_fs(item, **storage_options)
        protocol = "file" if isinstance(fs, fsspec.implementations.local.LocalFileSystem) else _protocol(fs)
        if _has_magic(path):
            found = fs.glob(path, detail=True)
            matches = [(name, found[name]) for name in sorted(found) if found[name].get("type") != "directory"]
            if not matches:
                raise FileNotFoundError(f"no file matches {item!r}")
        elif not fs.exists(path):
            raise FileNotFoundError(f"no such file: {item!r}")
        else:
            info = fs.info(path)
            matches = [(path, info)]
            if info.get("type") == "directory":
                # its files, sorted, as the single-machine readers take a directory
                found = {entry["name"]: entry for entry in fs.ls(path, detail=True)}
                matches = [(name, found[name]) for name in sorted(found) if found[name].get("type") != "directory"]
                if not matches:
                    raise FileNotFoundError(f"no file in the directory {item!r}")
                single = False
        files += [_File(protocol, name, int(info["size"]), len(files) + k) for k, (name, info) in enumerate(matches)]
    return files, single


def _protocol(fs: fsspec.AbstractFileSystem) -> str:
    protocol = fs.protocol
    return protocol if isinstance(protocol, str) else protocol[0]


def _open(file: _File, scan_from: int, end: int, storage_options: Mapping[str, Any]) -> tuple[Any, int]:
    """A buffer holding every message that starts in [scan_from, end), and the file
    offset of its first octet.

    A local file is memory-mapped whole (offset 0). Elsewhere the range is read and then
    extended until every message found in it is whole or runs past the end of the file:
    a message whose declared end lies beyond what was read would otherwise look damaged.
    """
    if file.protocol == "file":
        if file.size == 0:
            return b"", 0
        with open(file.path, "rb") as handle:
            return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ), 0
    from . import _engine

    fs = fsspec.filesystem(file.protocol, **storage_options)
    # a "BUFR" that starts just before `end` runs up to three octets past it
    data = bytearray(fs.cat_file(file.path, start=scan_from, end=min(end + 3, file.size)))
    while scan_from + len(data) < file.size:
        _, _, needed = _engine.scan_window(data, 0, end - scan_from)
        need = min(scan_from + needed, file.size)
        if need <= scan_from + len(data):
            break
        data += fs.cat_file(file.path, start=scan_from + len(data), end=need)
    return data, scan_from


def _scan(file: _File, scan_from: int, end: int, storage_options: Mapping[str, Any],
          headers: bool = False) -> tuple[Any, int, list[tuple[Any, ...]], int]:
    """The buffer, its file offset, the engine's scan entries of the messages starting in
    [scan_from, end) with file offsets, and where the file-wide scan goes on after them."""
    from . import _engine

    buffer, base = _open(file, scan_from, end, storage_options)
    if scan_from >= end:
        return buffer, base, [], scan_from
    found, resume, _ = _engine.scan_window(buffer, scan_from - base, end - base, headers)
    if base:
        found = [(entry[0] + base, *entry[1:]) for entry in found]
    return buffer, base, found, resume + base


def _scan_index(file: _File, scan_from: int, end: int, storage_options: Mapping[str, Any],
                first: int) -> tuple[Any, int, Any, list[tuple[Any, ...]], int]:
    """_scan's messages as the engine's message rows (offsets within the buffer, indices from
    `first`), the damaged ones apart (offsets within the file), and how many were found."""
    import numpy as np

    from . import _engine

    buffer, base = _open(file, scan_from, end, storage_options)
    if scan_from >= end:
        return buffer, base, np.empty((0, 4), np.int64), [], 0
    rows, bad, _, _, found = _engine.scan_index(buffer, scan_from - base, end - base, 0, first)
    bad = [(index, offset + base, *rest) for index, offset, *rest in bad]
    return buffer, base, np.frombuffer(rows, np.int64).reshape(-1, 4), bad, found


# --- the pre-scan and the plan ------------------------------------------------------


def _summary(file: _File, start: int, end: int, storage_options: Mapping[str, Any]) -> tuple[int, int, list[int]]:
    """(messages found from `start`, where the scan stops, offsets of the first few)."""
    _buffer, _base, found, stop = _scan(file, start, end, storage_options)
    if not found:
        return 0, start, []
    return len(found), stop, [f[0] for f in found[:_HEAD]]


def _cut(files: Sequence[_File], blocksize: int | None) -> list[tuple[_File, int, int]]:
    cuts = []
    for file in files:
        step = blocksize or max(file.size, 1)
        cuts += [(file, s, min(s + step, file.size)) for s in range(0, max(file.size, 1), step)]
    return cuts


def _plan(files: Sequence[_File], blocksize: int | None, storage_options: Mapping[str, Any],
          on_bad_message: str = "error") -> list[_Range]:
    """Ranges with their scan entry points and first message numbers, from a pre-scan of
    every range run as one parallel Dask computation. A file in which no message is found is
    reported as `on_bad_message` says."""
    from ._errors import report_no_message

    cuts = _cut(files, blocksize)
    summarise = _delayed(_summary, pure=True)
    summaries = _compute(*[summarise(f, s, e, dict(storage_options)) for f, s, e in cuts])
    ranges: list[_Range] = []
    number = 0
    stop = 0  # where the file-wide scan stands after the previous range of the file
    for (file, start, end), (count, range_stop, head) in zip(cuts, summaries):
        if start == 0:
            stop = 0
        scan_from = max(start, stop)
        if scan_from > start and count and (not head or head[0] < scan_from):
            # The pre-scan from the range's first octet met a false start inside the message
            # that crosses into the range (or cannot tell), and from there it may have hopped
            # past a message that the file-wide scan finds (a "BUFR" quoted in a payload whose
            # declared length ends on the next message's "7777"): count again from the entry
            # point.
            count, range_stop, _ = _summary(file, scan_from, end, storage_options)
        if count:
            stop = range_stop
        ranges.append(_Range(file, start, end, scan_from, number, count))
        number += count
    for file in files:
        if not any(r.count for r in ranges if r.file == file):
            report_no_message(on_bad_message, file.path, file.source, file.size == 0, stacklevel=3)
    kept = [r for r in ranges if r.count]
    return kept or ranges[:1]

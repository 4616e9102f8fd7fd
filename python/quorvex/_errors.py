"""Bad messages as data: the engine reports each one as (kind, reason) beside its index,
offset and source; these turn that into an exception or a warning, as on_bad_message says."""
from __future__ import annotations

import sys
import warnings
from typing import Any, Literal

OnBadMessage = Literal["error", "warn", "skip"]

# (message index, offset, kind, reason, source position): one bad message as the engine
# reports it.
Bad = tuple[int, int, str, str, int]


def _text(message_index: int, offset: int, reason: str) -> str:
    return f"bad message {message_index} at offset {offset}: {reason}"


class _BadMessage:
    """The fields both the error and the warning carry."""

    message_index: int
    offset: int
    source: int
    reason: str
    kind: str

    def _set(self, message_index: int, offset: int, reason: str, source: int, kind: str) -> None:
        self.message_index = message_index
        self.offset = offset
        self.source = source
        self.reason = reason
        self.kind = kind

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.message_index, self.offset, self.reason, self.source, self.kind))


class BadMessageError(_BadMessage, ValueError):
    """A message that could not be read, with on_bad_message="error".

    message_index counts messages across the sources of the call; offset is where the message
    starts in its source; source is that source's position in the list given (0 for a single
    source); reason says what is wrong and kind names it ("message_overrun", "data_fault",
    "tables_unavailable", ...)."""

    def __init__(self, message_index: int, offset: int, reason: str, source: int = 0,
                 kind: str = "data_fault") -> None:
        super().__init__(_text(message_index, offset, reason))
        self._set(message_index, offset, reason, source, kind)


class BadMessageWarning(_BadMessage, UserWarning):
    """A message skipped by on_bad_message="warn": the fields of BadMessageError."""

    def __init__(self, message_index: int, offset: int, reason: str, source: int = 0,
                 kind: str = "data_fault") -> None:
        super().__init__(_text(message_index, offset, reason))
        self._set(message_index, offset, reason, source, kind)


class _NoMessage:
    """The fields of NoMessageError and NoMessageWarning."""

    name: str
    source: int
    empty: bool

    def _set(self, name: str, source: int, empty: bool) -> None:
        self.name = name
        self.source = source
        self.empty = empty

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.name, self.source, self.empty))


def _no_message_text(name: str, empty: bool) -> str:
    return f"{name}: no BUFR message found" + (" (it is empty)" if empty else "")


class NoMessageError(_NoMessage, ValueError):
    """A source in which no "BUFR" was found at all (an empty file, a compressed archive, any
    other data), with on_bad_message="error". name names the source (its path, or its type);
    source is its position in the list given (0 for a single source); empty says whether it
    held no octet."""

    def __init__(self, name: str, source: int = 0, empty: bool = False) -> None:
        super().__init__(_no_message_text(name, empty))
        self._set(name, source, empty)


class NoMessageWarning(_NoMessage, UserWarning):
    """A source with no BUFR message, passed over by on_bad_message="warn": the fields of
    NoMessageError."""

    def __init__(self, name: str, source: int = 0, empty: bool = False) -> None:
        super().__init__(_no_message_text(name, empty))
        self._set(name, source, empty)


def report_no_message(on_bad_message: str, name: str, source: int, empty: bool, stacklevel: int = 4) -> None:
    """Raises, warns or does nothing about a source that holds no message, as on_bad_message
    says."""
    if on_bad_message == "error":
        raise NoMessageError(name, source, empty)
    if on_bad_message == "warn":
        _warn(NoMessageWarning(name, source, empty), stacklevel)


def check_on_bad_message(on_bad_message: str) -> None:
    if on_bad_message not in ("error", "warn", "skip"):
        raise ValueError(f'on_bad_message must be "error", "warn" or "skip", not {on_bad_message!r}')


def report_bad(on_bad_message: str, bad: Bad, stacklevel: int = 4) -> None:
    """Raises, warns or does nothing about one bad message, as on_bad_message says."""
    message_index, offset, kind, reason, source = bad
    if on_bad_message == "error":
        raise BadMessageError(message_index, offset, reason, source, kind)
    if on_bad_message == "warn":
        _warn(BadMessageWarning(message_index, offset, reason, source, kind), stacklevel)


def _warn(warning: Warning, stacklevel: int) -> None:
    """warnings.warn, except that the place warned from keeps no registry entry: each bad
    message has its own text, so a registry would grow by one entry per bad message."""
    module: str | None
    try:
        frame = sys._getframe(stacklevel)
    except ValueError:
        module, filename, lineno = "sys", "sys", 1
    else:
        module, filename, lineno = frame.f_globals.get("__name__"), frame.f_code.co_filename, frame.f_lineno
    warnings.warn_explicit(warning, type(warning), filename, lineno, module=module, registry=None)

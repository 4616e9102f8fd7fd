"""Options and run-time plumbing shared by the commands."""
from __future__ import annotations

import os
import sys
from collections.abc import Callable
from typing import Any, NoReturn, TypeVar

import click
from rich.console import Console

from . import _common

F = TypeVar("F", bound=Callable[..., Any])

BAD_MESSAGE_CHOICES = ("error", "warn", "skip")


class _Console(Console):
    """rich's console, except that a reader going away (`| head`) is a BrokenPipeError for
    finish() to end quietly with the run's own status, not rich's SystemExit(1)."""

    def on_broken_pipe(self) -> None:
        self.quiet = True
        raise BrokenPipeError


def stdout() -> Console:
    return _Console(highlight=False)


def stderr() -> Console:
    return Console(stderr=True, highlight=False)


def tables_option(f: F) -> F:
    return click.option(
        "--tables", default=None, metavar="ROOT",
        help="ecCodes-style definitions root to take tables from; '' for the package's table store "
             "only. Default: $QUORVEX_DEFINITIONS, else $ECCODES_DEFINITION_PATH, else the table store.")(f)


def bad_message_options(f: F) -> F:
    f = click.option("--fail-fast", is_flag=True,
                     help="Stop at the first problem (the same as --on-bad-message error).")(f)
    return click.option(
        "--on-bad-message", type=click.Choice(BAD_MESSAGE_CHOICES), default="warn", show_default=True,
        help="A message that cannot be read: 'warn' prints a line and goes on, 'skip' goes on "
             "silently, 'error' prints a line and stops. Any of them makes the exit status 1.")(f)


def max_message_rows_option(f: F) -> F:
    from quorvex._arrow import MAX_MESSAGE_ROWS
    return click.option(
        "--max-message-rows", type=click.IntRange(min=1), default=MAX_MESSAGE_ROWS, show_default=True,
        help="Rows one message may give at the most (besides 64 per octet of it, plus an allowance); "
             "a message that gives more is a bad message.")(f)


def problems_for(on_bad_message: str, fail_fast: bool) -> _common.Problems:
    return _common.Problems("error" if fail_fast else on_bad_message)


def finish(problems: _common.Problems, work: Callable[[], None]) -> NoReturn:
    try:
        work()
        sys.stdout.flush()
    except _common.Stop:
        pass
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            _quiet_stdout()
        else:  # a file that shrank while it was read, an output that cannot be written
            _report_failure(problems, e)
    sys.exit(problems.exit_code)


def _quiet_stdout() -> None:
    """The reader went away (`| head`): what is still buffered goes nowhere."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _report_failure(problems: _common.Problems, e: OSError) -> None:
    try:
        problems.report(e.filename or "quorvex", e.strerror or str(e), always=True)
    except _common.Stop:
        pass


"""The `quorvex` command: list, dump and convert BUFR files, and look descriptors up.

Exit status: 0 when everything was read, 1 when a file or message was skipped or failed, 2 for
a usage error. Problems go to stderr, one line each, naming the file, the message (numbered
from 0 in each file) and its offset.
"""
from __future__ import annotations

from typing import Any

import click

from . import _common
from ._options import F, bad_message_options, finish, max_message_rows_option, problems_for, stdout, tables_option


@click.group(context_settings={"help_option_names": ["-h", "--help"]})
@click.version_option(package_name="quorvex", message="%(prog)s %(version)s")
def main() -> None:
    """Read BUFR files: list their messages, dump their values, convert them to tables."""


@main.command("ls")
@click.argument("files", nargs=-1, required=True, type=click.Path())
@click.option("--json", "as_json", is_flag=True, help="One JSON object per message and line.")
@bad_message_options
def ls_command(files: tuple[str, ...], as_json: bool, on_bad_message: str, fail_fast: bool) -> None:
    """One line per message of FILES: where it lies and its header.

    FILES may name directories and glob patterns (their files, sorted) and "-" for standard
    input. Shows file, message number, offset, length, edition, centre/sub-centre, data
    category/international/local sub-category, typical time, subsets, whether compressed, and
    the first descriptors of section 3. A table on a terminal, aligned text otherwise.
    """
    from . import _ls
    problems = problems_for(on_bad_message, fail_fast)
    finish(problems, lambda: _ls.run(_common.expand_files(files, problems), as_json, problems, stdout()))


@main.command("dump")
@click.argument("file", type=click.Path(dir_okay=False))
@click.option("-m", "--message", type=click.IntRange(min=0), default=None,
              help="Only message N (numbered from 0, as `quorvex ls` shows). Default: every message.")
@click.option("-f", "--format", "fmt", type=click.Choice(["text", "json"]), default="text", show_default=True,
              help="'text' groups values by subset, sequence and replication; 'json' writes one "
                   "JSON object per message and line, its values listed per subset.")
@tables_option
@bad_message_options
@max_message_rows_option
def dump_command(file: str, message: int | None, fmt: str, tables: str | None, on_bad_message: str,
                 fail_fast: bool, max_message_rows: int) -> None:
    """Every value of a message: descriptor, name, value or text, unit and code-table meaning.
    FILE "-" is standard input."""
    from . import _dump
    problems = problems_for(on_bad_message, fail_fast)
    path = "/dev/stdin" if file == _common.STDIN else file
    finish(problems, lambda: _dump.dump_file(path, message, fmt, tables, problems, stdout(), max_message_rows))


@main.group("tables")
def tables_group() -> None:
    """Look descriptors up in the tables a message selects."""


def _table_choice(for_file: str | None, message: int, definitions: str | None,
                  problems: _common.Problems) -> tuple[Any, str] | None:
    """(TableSet, source) of message `message` of `for_file`, or of the newest WMO tables."""
    from . import _tables_cmd, _tableset
    try:
        if for_file is None:
            return _tableset.newest_tables(definitions)
        _, choice = _tables_cmd.message_tables(for_file, message, definitions)
        return choice
    except OSError as e:
        problems.report(for_file, f"cannot read: {e.strerror or e}", always=True)
    except ValueError as e:
        problems.report(for_file or "tables", str(e), message=message if for_file else None, always=True)
    return None


def table_choice_options(f: F) -> F:
    f = click.option("--definitions", "--tables", "definitions", default=None, metavar="ROOT",
                     help="ecCodes-style definitions root ('' for the package's table store).")(f)
    f = click.option("-m", "--message", type=click.IntRange(min=0), default=0, show_default=True,
                     help="Which message of --for FILE.")(f)
    return click.option("--for", "for_file", type=click.Path(dir_okay=False), default=None, metavar="FILE",
                        help="Use the tables that a message of FILE selects (default: the newest WMO "
                             "tables).")(f)


@tables_group.command("show")
@click.argument("descriptor")
@table_choice_options
@click.option("--json", "as_json", is_flag=True, help="One JSON object.")
def tables_show(descriptor: str, for_file: str | None, message: int, definitions: str | None,
                as_json: bool) -> None:
    """What DESCRIPTOR (301011 or 3-01-011) means: an element's name, unit, scale, reference,
    width and code table; a sequence's members; a replication or an operator."""
    from . import _tables_cmd
    code = _common.parse_descriptor(descriptor)
    problems = _common.Problems("warn")

    def work() -> None:
        choice = _table_choice(for_file, message, definitions, problems)
        if choice is not None and not _tables_cmd.show(stdout(), code, *choice, as_json):
            problems.report(for_file or "tables", f"descriptor {code:06} is not in these tables", always=True)
    finish(problems, work)


@tables_group.command("expand")
@click.argument("descriptors", nargs=-1, required=True)
@table_choice_options
@click.option("--flat", is_flag=True, help="The flat expansion (sequences replaced, fixed replications "
                                           "unrolled, delayed ones shown once), one code per line.")
def tables_expand(descriptors: tuple[str, ...], for_file: str | None, message: int, definitions: str | None,
                  flat: bool) -> None:
    """What DESCRIPTORS expand to: sequences opened and replications with their bodies."""
    from . import _tables_cmd
    codes = [_common.parse_descriptor(d) for d in descriptors]
    problems = _common.Problems("warn")

    def work() -> None:
        choice = _table_choice(for_file, message, definitions, problems)
        if choice is None:
            return
        table_set, source = choice
        console = stdout()
        try:
            if not flat:
                _tables_cmd.expand_tree(console, codes, table_set)
                return
            expanded = table_set.expand(codes)
        except ValueError as e:
            problems.report(for_file or "tables", str(e), always=True)
            return
        for code in expanded:
            console.print(f"{code:06}  {_tables_cmd.describe(code, table_set)[1]}", soft_wrap=True,
                          markup=False)
    finish(problems, work)


from ._convert import convert_command  # noqa: E402

main.add_command(convert_command)

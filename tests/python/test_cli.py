"""The `quorvex` command on real files, run in-process through click's CliRunner (the
installed console script in a subprocess twice): what it writes equals what the library
returns, bad input gives one line per problem and the documented exit status."""
import dataclasses
import json
import os
import pathlib
import pty
import select
import shutil
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pcsv = pytest.importorskip("pyarrow.csv")
quorvex = pytest.importorskip("quorvex")
if not all(hasattr(quorvex, name) for name in ("read_arrow", "iter_batches", "read_dataframe")):
    pytest.skip("the quorvex package has no read_arrow/iter_batches/read_dataframe in this build",
                allow_module_level=True)
pytest.importorskip("quorvex._engine")
import _quorvex  # noqa: E402
from corpus_location import CORPUS  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
SYNOP = EXAMPLES / "synop_wigos.bufr"            # 3 uncompressed messages, delayed replications
AIRCRAFT = EXAMPLES / "aircraft_mrar_compressed.bufr"   # 2 compressed messages
# Corpus files with bitmaps, operators and edition 3 (decoded by the engine, not by _quorvex).
CORPUS_FILES = ["derived4/pybufrkit/ocea_133.bufr", "raw/pybufrkit/b002_96.bufr",
                "raw/pdbufr/synop_invalid_wigos_id.bufr", "raw/pybufrkit/gsd3_208.bufr"]


def corpus_files():
    if CORPUS is None:
        return []
    return [CORPUS / name for name in CORPUS_FILES if (CORPUS / name).is_file()]


@dataclasses.dataclass
class Ran:
    returncode: int
    stdout: str
    stderr: str


def run(*args):
    """The command in this process: its exit status and what it wrote."""
    from click.testing import CliRunner

    from quorvex.cli import main
    result = CliRunner(env={"NO_COLOR": "1", "COLUMNS": "200"}).invoke(main, [str(a) for a in args])
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    return Ran(result.exit_code, result.stdout, result.stderr)


def run_process(*args):
    """The command as `python -m quorvex` in a subprocess."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), NO_COLOR="1", COLUMNS="200")
    return subprocess.run([sys.executable, "-m", "quorvex", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=300)


def plain(table):
    """One chunk per column, dictionaries decoded, so that equal values compare equal."""
    columns = [c.cast(c.type.value_type) if pa.types.is_dictionary(c.type) else c for c in table.columns]
    return pa.table(columns, names=table.column_names).combine_chunks()


# ---------------------------------------------------------------------------------------------
# convert: the files written equal the library's tables


@pytest.mark.parametrize("fmt, batch_messages, several", [
    ("parquet", 1, True), ("parquet", 1024, False), ("csv", 1, True), ("jsonl", 3, True)])
def test_convert_long_equals_read_arrow(tmp_path, fmt, batch_messages, several):
    """One file: read_arrow's columns; several: `message` counts across them and `source`
    says which file, as read_arrow on a list."""
    files = [SYNOP, AIRCRAFT, *corpus_files()[:1], SYNOP] if several else [AIRCRAFT]
    out = tmp_path / f"out.{fmt}"
    result = run("convert", *files, "-o", out, "--batch-messages", batch_messages)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""          # no progress bar when stderr is not a terminal
    expected = plain(quorvex.read_arrow([str(f) for f in files] if several else str(files[0])))
    assert ("source" in expected.column_names) == several
    assert read_back(out, fmt, expected.schema).equals(expected)


def read_back(out, fmt, schema):
    if fmt == "parquet":
        return plain(pq.read_table(out))
    if fmt == "csv":
        options = pcsv.ConvertOptions(column_types=schema, strings_can_be_null=True, quoted_strings_can_be_null=False)
        return plain(pcsv.read_csv(out, convert_options=options))
    rows = [json.loads(line) for line in out.read_text().splitlines()]
    return pa.Table.from_pylist(rows, schema=schema)


@pytest.mark.parametrize("options", [{}, {"columns": "latitude,longitude,airTemperature"}])
def test_convert_wide_equals_read_dataframe(tmp_path, options):
    pd = pytest.importorskip("pandas")
    for path in [SYNOP, AIRCRAFT]:
        columns = options.get("columns")
        expected = quorvex.read_dataframe(str(path), columns=columns.split(",") if columns else None)
        out = tmp_path / f"{path.stem}.parquet"
        args = ["--columns", columns] if columns else []
        result = run("convert", path, "-o", out, "--wide", "--batch-messages", 1, *args)
        assert result.returncode == 0, result.stderr
        got = pq.read_table(out).to_pandas()
        assert sorted(got.columns) == sorted(expected.columns)
        pd.testing.assert_frame_equal(got[list(expected.columns)].reset_index(drop=True),
                                      expected.reset_index(drop=True), check_dtype=False, check_categorical=False)


def test_convert_wide_filter_keeps_matching_subsets(tmp_path):
    frame = quorvex.read_dataframe(str(AIRCRAFT))
    key = next(c for c in frame.columns if c not in ("message", "subset") and frame[c].nunique() > 1)
    value = frame[key].dropna().iloc[0]
    out = tmp_path / "f.jsonl"
    result = run("convert", AIRCRAFT, "-o", out, "--wide", "--filter", f"{key}={value}")
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in out.read_text().splitlines()]
    assert rows and all(row[key] == value for row in rows)
    assert len(rows) == len(quorvex.read_dataframe(str(AIRCRAFT), filters={key: value}))


# ---------------------------------------------------------------------------------------------
# ls against independent readings of the same files (dump: test_dump.py)


def test_ls_json_matches_parsed_headers():
    result = run("ls", "--json", SYNOP, AIRCRAFT)
    assert result.returncode == 0, result.stderr
    records = [json.loads(line) for line in result.stdout.splitlines()]
    expected = [(path, i, m) for path in (SYNOP, AIRCRAFT) for i, m in enumerate(_quorvex.parse_all_file(str(path)))]
    assert len(records) == len(expected)
    for record, (path, index, m) in zip(records, expected):
        assert (record["file"], record["message"]) == (str(path), index)
        assert (record["length"], record["edition"], record["centre"], record["number_of_subsets"],
                record["compressed"], record["descriptors"]) == (
            m.total_length, m.edition, m.originating_centre, m.number_of_subsets, m.compressed_data,
            list(m.unexpanded_descriptors))
        octets = path.read_bytes()[record["offset"]:record["offset"] + record["length"]]
        assert _quorvex.parse_bytes(octets).total_length == record["length"]


def test_ls_plain_text_is_one_aligned_line_per_message():
    result = run("ls", SYNOP, AIRCRAFT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 1 + 3 + 2
    start = lines[0].index("typical time")
    assert {line[start:start + 4] for line in lines[1:]} == {"2025", "2021"}


# ---------------------------------------------------------------------------------------------
# tables


def test_tables_show_and_expand_use_the_message_tables():
    table_set = _quorvex.TableSet.from_definitions("/usr/share/eccodes/definitions",
                                                   _quorvex.parse_all_file(str(SYNOP))[0])
    element = table_set.get_element(12101)
    result = run("tables", "show", "0-12-101", "--for", SYNOP, "--json")
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert (record["name"], record["unit"], record["scale"], record["width"]) == (
        element.name, element.unit, element.scale, element.width)
    result = run("tables", "expand", "--flat", "307092", "--for", SYNOP)
    assert result.returncode == 0, result.stderr
    assert [int(line.split()[0]) for line in result.stdout.splitlines()] == table_set.expand([307092])


# ---------------------------------------------------------------------------------------------
# bad input: one line per problem, going on unless told to stop, exit 1


@pytest.fixture
def mixed_files(tmp_path):
    good = tmp_path / "good.bufr"
    shutil.copy(SYNOP, good)
    data = SYNOP.read_bytes()
    length = _quorvex.parse_all_file(str(SYNOP))[0].total_length
    truncated = tmp_path / "truncated.bufr"
    truncated.write_bytes(data[:length + length // 2])          # message 1 cut in the middle
    tableless = tmp_path / "tableless.bufr"
    octets = bytearray(data[:length])
    octets[37:39] = bytes([0x3F, 0xFF])       # section 3's one descriptor made 0-63-255, in no table
    tableless.write_bytes(bytes(octets))
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"no messages here\n" * 20)
    return {"good": good, "truncated": truncated, "tableless": tableless, "junk": junk,
            "missing": tmp_path / "missing.bufr", "length": length}


def problem_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("error: ")]


@pytest.mark.parametrize("command", ["ls", "convert", "dump"])
def test_bad_input_gives_one_line_per_problem_and_goes_on(tmp_path, mixed_files, command):
    f = mixed_files
    names = ["truncated", "junk", "missing", "good"] + (["tableless"] if command != "ls" else [])
    out = tmp_path / "out.jsonl"
    if command == "dump":
        results = [run("dump", f[name]) for name in names]
        stderr = "".join(r.stderr for r in results)
        assert [r.returncode for r in results] == [0 if name == "good" else 1 for name in names]
    else:
        extra = ["-o", out] if command == "convert" else ["--json"]
        result = run(command, *[f[name] for name in names], *extra)
        assert result.returncode == 1
        stderr = result.stderr
    lines = problem_lines(stderr)
    assert len(lines) == len(names) - 1, stderr
    assert any(line.startswith(f"error: {f['truncated']}: message 1 at offset {f['length']}: ") for line in lines)
    assert any(line.startswith(f"error: {f['junk']}: ") for line in lines)
    assert any(line.startswith(f"error: {f['missing']}: cannot read") for line in lines)
    if command != "ls":
        assert any(line.startswith(f"error: {f['tableless']}: message 0 at offset 0: ") for line in lines)
    if command == "convert":      # the good messages were all written, with their numbers in their file
        rows = [json.loads(line) for line in out.read_text().splitlines()]
        good_position = names.index("good")
        assert {(r["source"], r["message"]) for r in rows} >= {(good_position, 2 + m) for m in range(3)} | {(0, 0)}


@pytest.mark.parametrize("stop", [["--fail-fast"], ["--on-bad-message", "error"]])
@pytest.mark.parametrize("command", ["ls", "convert"])
def test_stopping_at_the_first_problem(tmp_path, mixed_files, command, stop):
    f = mixed_files
    extra = ["-o", tmp_path / "out.csv"] if command == "convert" else []
    result = run(command, f["good"], f["truncated"], f["junk"], *stop, *extra)
    assert result.returncode == 1
    assert problem_lines(result.stderr) == [problem_lines(result.stderr)[0]]
    assert f"{f['truncated']}: message 1" in result.stderr


def test_skip_is_silent_about_messages_but_still_fails(mixed_files):
    result = run("ls", mixed_files["truncated"], "--on-bad-message", "skip")
    assert result.returncode == 1
    assert result.stderr == ""
    assert len(result.stdout.splitlines()) == 2      # heading and message 0


@pytest.mark.parametrize("args", [
    ["convert", SYNOP, "-o", "out.txt"],
    ["convert", SYNOP, "-o", "out.parquet", "--wide", "--filter", "no-equals-sign"],
    ["convert", SYNOP, "-o", "out.parquet", "--columns", "latitude"],
    ["convert", SYNOP],
    ["dump", SYNOP, "--format", "xml"],
    ["dump", SYNOP, "--message", "-1"],
    ["tables", "show", "4-01-001"],
    ["ls"],
    ["no-such-command"],
], ids=lambda a: " ".join(map(str, a[:1] + a[2:])))
def test_usage_errors_exit_2(tmp_path, args):
    from click.testing import CliRunner

    from quorvex.cli import main
    result = CliRunner().invoke(main, [str(tmp_path / a) if str(a).startswith("out.") else str(a) for a in args])
    assert result.exit_code == 2, result.output
    assert "Usage:" in result.output
    assert not list(tmp_path.iterdir())          # nothing written


def test_usage_error_status_of_the_process():
    result = run_process("convert", SYNOP, "-o", "out.unknown-extension")
    assert result.returncode == 2 and "Usage:" in result.stderr and result.stdout == ""


@pytest.mark.parametrize("command", ["ls", "dump", "convert", "tables show", "tables expand"])
def test_every_command_has_help(command):
    from click.testing import CliRunner

    from quorvex.cli import main
    result = CliRunner().invoke(main, [*command.split(), "--help"])
    assert result.exit_code == 0 and result.output.startswith("Usage: ")


def test_progress_bar_only_on_a_terminal(tmp_path):
    """With stderr on a pseudo-terminal the bar counts octets and messages; piped, nothing."""
    out = tmp_path / "out.parquet"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), COLUMNS="120")
    master, slave = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "quorvex", "convert", str(AIRCRAFT), str(SYNOP), "-o",
                                str(out)], stdout=subprocess.DEVNULL, stderr=slave, env=env)
    os.close(slave)
    seen = b""
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert process.wait(60) == 0
    text = seen.decode("utf-8", "replace")
    assert "5 messages" in text
    assert pq.read_table(out).num_rows == quorvex.read_arrow([str(AIRCRAFT), str(SYNOP)]).num_rows


@pytest.mark.parametrize("batch_messages, batch_octets", [(1, 10**9), (3, 10**9), (1024, 600), (1024, 1)])
def test_batches_cover_every_message_once_within_both_bounds(batch_messages, batch_octets):
    from quorvex.cli._common import scan
    from quorvex.cli._convert import _batches
    spans = list(scan(SYNOP.read_bytes() + AIRCRAFT.read_bytes()))
    groups = list(_batches(spans, batch_messages, batch_octets))
    assert [s for g in groups for s in g] == spans
    for g in groups:
        assert len(g) <= batch_messages
        assert len(g) == 1 or sum(s.length for s in g) <= batch_octets


@pytest.mark.parametrize("tables", ["", "/usr/share/eccodes/definitions"], ids=["store", "root"])
def test_tables_option_means_what_it_means_to_the_library(tmp_path, monkeypatch, tables):
    """--tables '' is the table store alone (tables=""), a path the root; the option leaves
    the environment alone."""
    monkeypatch.delenv("QUORVEX_DEFINITIONS", raising=False)
    out = tmp_path / "t.parquet"
    result = run("convert", SYNOP, "-o", out, "--tables", tables)
    assert "QUORVEX_DEFINITIONS" not in os.environ
    try:
        expected = plain(quorvex.read_arrow(str(SYNOP), tables=tables))
    except ValueError as e:                       # a root that cannot serve the message
        assert result.returncode == 1
        assert len(problem_lines(result.stderr)) == 3 and str(e).split(": ")[-1] in result.stderr
        return
    assert result.returncode == 0, result.stderr
    assert plain(pq.read_table(out)).equals(expected)

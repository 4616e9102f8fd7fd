"""Messages of a few octets that ask for millions of rows or gigabytes of text, read through
every reader of the package and every command of the CLI under an address-space limit: each
is a bad message (the core's work bound or the engine's row budget), reported once, and the
process's memory grows by a bounded amount. The per-message cases of test_robustness_bounds
run here through the engine, with two more: 65535 subsets of sixteen operator markers in 77
octets, and 31 compressed text columns widened to 255 octets."""
import json
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

pytest.importorskip("quorvex._engine")
from decode_support import message  # noqa: E402
from test_robustness_bounds import MESSAGES, compressed_text_columns, hostile_tables  # noqa: E402

MB = 1 << 20
ADDRESS_SPACE_LIMIT = 3 << 30
RSS_BOUND = 512 * MB  # the budget of these messages is far below; an unbounded one is gigabytes
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

CASES = dict(MESSAGES)
CASES["sixteen_markers_in_every_subset"] = lambda: message([222000] * 16, b"", subsets=65535)
CASES["compressed_widened_text_columns"] = lambda: message(
    [208255, 101031, 1015], compressed_text_columns(31, 255), subsets=65535, compressed=True)


def read_library(reader, path, root):
    """(rows, bad messages reported) of one reader of the package, damaged messages warned."""
    import warnings

    import quorvex
    import quorvex.dask

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if reader == "read_arrow":
            rows = quorvex.read_arrow(path, tables=root, on_bad_message="warn").num_rows
        elif reader == "read_arrow_file_object":
            with open(path, "rb") as f:
                rows = quorvex.read_arrow(f, tables=root, on_bad_message="warn").num_rows
        elif reader == "iter_batches":
            rows = sum(b.num_rows for b in quorvex.iter_batches(path, tables=root, on_bad_message="warn"))
        elif reader == "read_dataframe":
            rows = len(quorvex.read_dataframe(path, tables=root, on_bad_message="warn"))
        elif reader == "read_dataframe_columns":
            rows = len(quorvex.read_dataframe(path, ["e1001", "e1002", "e1015", "e1019"], tables=root,
                                              on_bad_message="warn"))
        elif reader == "open_to_arrow":
            with quorvex.open(path, tables=root) as f:
                try:
                    rows = sum(m.to_arrow().num_rows for m in f)
                except ValueError as e:
                    warnings.warn(str(e))
                    rows = 0
        elif reader == "dask_read_arrow":
            rows = len(quorvex.dask.read_arrow(path, tables=root, on_bad_message="warn").compute())
    return rows, sum("bad message" in str(w.message) or "budget" in str(w.message) for w in caught)


def read_cli(command, path, root):
    """(rows written or printed, problem lines) of one CLI command, run in this process."""
    from click.testing import CliRunner

    from quorvex import cli

    out = pathlib.Path(path).with_suffix(".parquet")
    args = {"convert": ["convert", path, "-o", str(out)], "convert_wide": ["convert", path, "-o", str(out), "--wide"],
            "dump": ["dump", path]}[command]
    result = CliRunner().invoke(cli.main, [*args, "--tables", root])
    problems = [line for line in result.output.splitlines() if line.startswith("error: ") and "message 0" in line]
    rows = 0
    if command != "dump" and out.exists():
        import pyarrow.parquet as pq
        rows = pq.read_metadata(out).num_rows
    elif command == "dump":
        rows = len(result.output.splitlines()) - len(problems)
    return rows, len(problems)


READERS = ["read_arrow", "read_arrow_file_object", "iter_batches", "read_dataframe", "read_dataframe_columns",
           "open_to_arrow",
           "dask_read_arrow", "convert", "convert_wide", "dump"]


def child(name, scratch):
    """Runs one case through every reader in this (child) process; prints JSON outcomes."""
    import resource

    import dask.dataframe  # noqa: F401  (imported before the measurement)
    import pandas  # noqa: F401

    import quorvex.dask  # noqa: F401
    from quorvex import cli  # noqa: F401

    root = pathlib.Path(scratch) / "definitions"
    hostile_tables(root / "bufr" / "tables" / "0" / "wmo" / "38")
    path = pathlib.Path(scratch) / "case.bufr"
    path.write_bytes(CASES[name]())
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, ADDRESS_SPACE_LIMIT))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    outcomes = {}
    for reader in READERS:
        read = read_cli if reader in ("convert", "convert_wide", "dump") else read_library
        outcomes[reader] = read(reader, str(path), str(root))
    growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
    print(json.dumps({"outcomes": outcomes, "rss_growth": growth}))


@pytest.mark.parametrize("name", sorted(CASES))
def test_amplifying_message_is_bad_in_every_reader(name):
    with tempfile.TemporaryDirectory() as scratch:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        code = f"import test_budget as t; t.child({name!r}, {scratch!r})"
        done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600,
                              cwd=str(HERE))
    assert done.returncode == 0, f"{name}: child ended with {done.returncode}\n{done.stderr[-3000:]}"
    result = json.loads(done.stdout.strip().splitlines()[-1])
    for reader, (rows, problems) in result["outcomes"].items():
        assert problems == 1, (reader, rows, problems)
        assert rows == 0 or reader == "dump", (reader, rows)
    if not SANITIZED:
        assert result["rss_growth"] < RSS_BOUND, f"{name}: grew by {result['rss_growth'] // MB} MB"


@pytest.mark.parametrize("example", ["aircraft_mrar_compressed.bufr", "synop_wigos.bufr"])
def test_row_cap_makes_exactly_the_larger_messages_bad(example):
    """With the cap one below the largest message's rows, the result is the full one without
    that message's rows, and only it is reported."""
    import warnings

    import pyarrow as pa
    import pyarrow.compute as pc

    import quorvex

    data = (HERE.parents[1] / "examples" / example).read_bytes()
    full = quorvex.read_arrow(data)
    counts = pc.value_counts(full.column("message")).to_pylist()
    largest = max(c["counts"] for c in counts)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        capped = quorvex.read_arrow(data, max_message_rows=largest - 1, on_bad_message="warn")
    over = {c["values"] for c in counts if c["counts"] > largest - 1}
    assert sorted(w.message.message_index for w in caught) == sorted(over)
    assert all("over its budget" in w.message.reason for w in caught)
    kept = full.filter(pc.invert(pc.is_in(full.column("message"), pa.array(sorted(over), pa.int64()))))
    assert capped.to_pylist() == kept.to_pylist()

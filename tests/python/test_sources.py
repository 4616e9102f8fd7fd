"""What the readers take as a source, and what they make of it: buffers, file objects at any
position, pipes, directories and glob patterns give the rows of their octets; the files of a
list are opened one at a time; a source with no BUFR message is an error, not an empty table."""
import gzip
import json
import mmap
import os
import pathlib
import random
import resource
import subprocess
import sys
import textwrap
import threading
import warnings

import pytest

quorvex = pytest.importorskip("quorvex")
pytest.importorskip("quorvex._engine")
pq = pytest.importorskip("pyarrow.parquet")
from corpus_location import CORPUS  # noqa: E402
from decode_support import DEFINITIONS  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SYNOP = EXAMPLES / "synop_wigos.bufr"  # three small messages
AIRCRAFT = EXAMPLES / "aircraft_mrar_compressed.bufr"
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), NO_COLOR="1", COLUMNS="200")


def rows(table):
    return table.drop_columns([c for c in ("source",) if c in table.column_names]).to_pylist()


def message_offsets(data):
    return [offset for offset, _, error in quorvex._engine.scan(data) if error is None]


# ---------------------------------------------------------------------------------------------
# kinds of sources


@pytest.fixture
def folder(tmp_path):
    """Two BUFR files, a file the pattern leaves out and a subdirectory (never read)."""
    (tmp_path / "b.bufr").write_bytes(AIRCRAFT.read_bytes())
    (tmp_path / "a.bufr").write_bytes(SYNOP.read_bytes())
    (tmp_path / "notes.txt").write_bytes(SYNOP.read_bytes()[:2000])
    (tmp_path / "sub.bufr").mkdir()
    return tmp_path


def pipe_of(data):
    read, write = os.pipe()

    def feed():
        with os.fdopen(write, "wb") as f:
            f.write(data)
    threading.Thread(target=feed, daemon=True).start()
    return os.fdopen(read, "rb")


def file_at(path, position):
    f = open(path, "rb")
    f.seek(position)
    return f


def source_and_octets(kind, folder):
    """(source, what it must read as: octets or the list of files, how many reads it takes)."""
    data = SYNOP.read_bytes()
    second = message_offsets(data)[1]
    if kind == "mmap":
        with open(SYNOP, "rb") as f:
            return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ), data, 2
    if kind == "file at a message":
        return file_at(SYNOP, second), data[second:], 1
    if kind == "file inside a message":
        return file_at(SYNOP, second + 10), data[second + 10:], 1
    if kind == "pipe":
        return pipe_of(data), data, 1
    files = [str(folder / "a.bufr"), str(folder / "b.bufr")]
    files += [str(folder / "notes.txt")] if kind == "directory" else []
    return (str(folder) if kind == "directory" else str(folder / "*.bufr")), files, 2


READERS = {
    "read_arrow": lambda source: rows(quorvex.read_arrow(source)),
    "iter_batches": lambda source: [r for b in quorvex.iter_batches(source, batch_messages=1) for r in rows(b)],
    "read_dataframe": lambda source: quorvex.read_dataframe(
        source, ["count", "latitude", "longitude", "airTemperature"], required_columns=False).to_dict("list"),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("kind", ["mmap", "file at a message", "file inside a message", "pipe", "directory",
                                  "glob"])
def test_every_kind_of_source_reads_as_its_octets(kind, reader, folder):
    """A buffer is read in place, as often as asked; a file object from where it stands; a pipe
    to its end; a directory or a pattern as the sorted list of its files."""
    source, octets, reads = source_and_octets(kind, folder)
    read = READERS[reader]
    expected = read(octets)
    for _ in range(reads):
        assert read(source) == expected
    if hasattr(source, "close"):
        source.close()


def run_cli(*args, stdin=None):
    with open(stdin or os.devnull, "rb") as f:
        return subprocess.run([sys.executable, "-m", "quorvex", *map(str, args)], stdin=f, capture_output=True,
                              env=ENV, timeout=300)


def ls_records(out, keep_file):
    records = [json.loads(line) for line in out.splitlines()]
    return records if keep_file else [{k: v for k, v in r.items() if k != "file"} for r in records]


@pytest.mark.parametrize("name", ["-", "/dev/stdin", "directory", "glob"])
@pytest.mark.parametrize("command", ["ls", "convert"])
def test_cli_reads_stdin_directories_and_globs_as_the_files_they_name(folder, tmp_path, name, command):
    """`cat f | quorvex ls -`, and a directory or a pattern: what the files named one by one give."""
    stdin = None
    if name in ("-", "/dev/stdin"):
        given, files, stdin = [name], [SYNOP], SYNOP
    else:
        given = [folder if name == "directory" else folder / "*.bufr"]
        files = [folder / "a.bufr", folder / "b.bufr"] + ([folder / "notes.txt"] if name == "directory" else [])
    if command == "ls":
        got, expected = run_cli("ls", "--json", *given, stdin=stdin), run_cli("ls", "--json", *files)
        assert (got.returncode, got.stderr) == (0, b"")
        assert ls_records(got.stdout, stdin is None) == ls_records(expected.stdout, stdin is None)
        return
    got, expected = run_cli("convert", *given, "-o", tmp_path / "got.parquet", stdin=stdin), \
        run_cli("convert", *files, "-o", tmp_path / "expected.parquet")
    assert (got.returncode, got.stderr) == (0, b"")
    assert pq.read_table(tmp_path / "got.parquet").equals(pq.read_table(tmp_path / "expected.parquet"))


# ---------------------------------------------------------------------------------------------
# the files of a list, one at a time


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """2,000 small files: far more than 256 descriptors, the limit their reading runs under."""
    folder = tmp_path_factory.mktemp("many")
    for k in range(2000):
        (folder / f"{k:04}.bufr").write_bytes(SYNOP.read_bytes())
    return folder


MANY = {
    "read_arrow": "print(quorvex.read_arrow(files).num_rows)",
    "iter_batches": "print(sum(b.num_rows for b in quorvex.iter_batches(folder)))",
    "read_dataframe": "print(len(quorvex.read_dataframe(folder + '/*.bufr', ['airTemperature'])))",
    "read_dataframe flat": "print(len(quorvex.read_dataframe(files)))",
    "dask": "import quorvex.dask; print(len(quorvex.dask.read_arrow(folder).compute(scheduler='sync')))",
    "cli ls": "cli ls",
    "cli convert": "cli convert",
}


def limit_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (256, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))


@pytest.mark.parametrize("reader", MANY)
def test_files_of_a_list_are_opened_one_at_a_time(many, reader, tmp_path):
    files = sorted(str(p) for p in many.iterdir())
    if reader == "dask":
        pytest.importorskip("dask.dataframe")
    if reader.startswith("cli"):
        out = tmp_path / "out.parquet"
        args = ["ls", "--json", many] if reader == "cli ls" else ["convert", many, "-o", out]
        done = subprocess.run([sys.executable, "-m", "quorvex", *map(str, args)], capture_output=True, text=True,
                              env=ENV, timeout=600, preexec_fn=limit_descriptors)
        assert (done.returncode, done.stderr) == (0, "")
        got = len(done.stdout.splitlines()) if reader == "cli ls" else pq.read_metadata(out).num_rows
    else:
        code = f"import quorvex\nfolder = {str(many)!r}\nfiles = {files!r}\n{MANY[reader]}"
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=600,
                              preexec_fn=limit_descriptors)
        assert done.returncode == 0, done.stderr[-2000:]
        got = int(done.stdout)
    one = {"cli ls": len(quorvex.open(SYNOP)), "read_dataframe": len(quorvex.read_dataframe(SYNOP, ["airTemperature"])),
           "read_dataframe flat": len(quorvex.read_dataframe(SYNOP))}.get(reader, quorvex.read_arrow(SYNOP).num_rows)
    assert got == len(files) * one


@pytest.mark.skipif(not DEFINITIONS.is_dir(), reason="no definitions root")
def test_tables_that_failed_for_want_of_descriptors_load_once_there_are_some():
    """Every descriptor taken: the first load of a definitions root fails; once they are given
    back, the same process reads with those tables (the failure was not kept)."""
    code = textwrap.dedent(f"""
        import os, quorvex
        data = open({str(SYNOP)!r}, "rb").read()
        quorvex.read_arrow(data)
        taken = []
        try:
            while True:
                taken.append(os.open(os.devnull, os.O_RDONLY))
        except OSError:
            pass
        try:
            quorvex.read_arrow(data, tables={str(DEFINITIONS)!r})
            print("read")
        except quorvex.BadMessageError as e:
            print("failed", "Too many open files" in e.reason)
        for fd in taken:
            os.close(fd)
        print(quorvex.read_arrow(data, tables={str(DEFINITIONS)!r}).num_rows)
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=300,
                          preexec_fn=limit_descriptors)
    assert done.returncode == 0, done.stderr[-2000:]
    first, second = done.stdout.splitlines()
    assert first == "failed True"
    assert int(second) == quorvex.read_arrow(SYNOP, tables=str(DEFINITIONS)).num_rows


# ---------------------------------------------------------------------------------------------
# no message at all


def no_message(kind):
    if kind == "empty":
        return b""
    if kind == "gzip":
        return gzip.compress(SYNOP.read_bytes())
    noise = random.Random(7).randbytes(100_000)
    assert b"BUFR" not in noise
    return noise


NONE_READERS = {
    "read_arrow": lambda p, mode: quorvex.read_arrow(p, on_bad_message=mode).num_rows,
    "iter_batches": lambda p, mode: sum(b.num_rows for b in quorvex.iter_batches(p, on_bad_message=mode)),
    "read_dataframe": lambda p, mode: len(quorvex.read_dataframe(p, ["airTemperature"], on_bad_message=mode)),
    "read_dataframe flat": lambda p, mode: len(quorvex.read_dataframe(p, on_bad_message=mode)),
    "open": lambda p, mode: len(quorvex.open(p, on_bad_message=mode)),
    "dask": lambda p, mode: len(pytest.importorskip("quorvex.dask").read_arrow(p, on_bad_message=mode)
                                .compute(scheduler="sync")),
}


@pytest.mark.parametrize("reader", NONE_READERS)
@pytest.mark.parametrize("kind", ["empty", "gzip", "noise"])
def test_a_source_without_a_message_is_an_error_or_nothing(tmp_path, kind, reader):
    path = tmp_path / f"{kind}.bufr"
    path.write_bytes(no_message(kind))
    read = NONE_READERS[reader]
    with pytest.raises(quorvex.NoMessageError, match=f"^{path}: no BUFR message found") as caught:
        read(str(path), "error")
    assert (caught.value.name, caught.value.source, caught.value.empty) == (str(path), 0, kind == "empty")
    with pytest.warns(quorvex.NoMessageWarning) as warned:
        assert read(str(path), "warn") == 0
    assert [w.message.name for w in warned] == [str(path)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert read(str(path), "skip") == 0


@pytest.mark.parametrize("reader", ["read_arrow", "read_dataframe"])
def test_a_source_without_a_message_in_a_list_is_named_by_its_place(tmp_path, reader):
    path = tmp_path / "empty.bufr"
    path.write_bytes(b"")

    def read(sources):
        if reader == "read_arrow":
            return rows(quorvex.read_arrow(sources, on_bad_message="warn"))
        return quorvex.read_dataframe(sources, ["count", "latitude", "airTemperature"], required_columns=False,
                                      on_bad_message="warn").to_dict("list")
    with pytest.warns(quorvex.NoMessageWarning) as warned:
        got = read([str(SYNOP), str(path), str(AIRCRAFT)])
    assert [(w.message.name, w.message.source) for w in warned] == [(str(path), 1)]
    assert got == read([str(SYNOP), str(AIRCRAFT)])


# ---------------------------------------------------------------------------------------------
# values: a missing value has no meaning, a text no number


@pytest.mark.skipif(CORPUS is None, reason="no corpus")
@pytest.mark.parametrize("name", ["raw/pdbufr/tropical_cyclone.bufr", "raw/pdbufr/ens_multi_subset_compressed.bufr",
                                  "raw/pdbufr/synop_multi_subset_uncompressed.bufr", "raw/pdbufr/temp.bufr",
                                  "raw/pdbufr/aircraft_mrar_compressed.bufr"])
def test_missing_values_have_no_meaning_and_texts_no_number(name):
    import pyarrow.compute as pc

    table = quorvex.read_arrow(CORPUS / name, on_bad_message="skip")
    missing = pc.is_null(table["value"])
    assert pc.sum(pc.and_(missing, pc.is_valid(table["meaning"]))).as_py() in (0, None)
    assert pc.sum(pc.and_(pc.is_valid(table["text"]), pc.is_valid(table["value"]))).as_py() in (0, None)
    with quorvex.open(CORPUS / name, on_bad_message="skip") as bufr:
        for value in bufr[0].values():
            if value.raw_value is None:
                assert value.raw_meaning is None and (value.data is None) == (value.raw_text is None)

"""The process survives what happens around a read: a file that shrinks while it is mapped,
worker threads the system refuses, an output that is one of the inputs. Each ends in an
exception or an error line naming the file, never in a signal or an abort; a conversion
interrupted by a signal leaves no output behind."""
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

quorvex = pytest.importorskip("quorvex")
pytest.importorskip("quorvex._engine")
from click.testing import CliRunner  # noqa: E402

from quorvex import cli  # noqa: E402
from quorvex.cli import _convert  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SYNOP = EXAMPLES / "synop_wigos.bufr"  # three small messages


@pytest.fixture
def long_file(tmp_path):
    """About a megabyte of messages: far more pages than the first batch reads."""
    path = tmp_path / "long.bufr"
    path.write_bytes(SYNOP.read_bytes() * 1200)
    return path


def shrink(path):
    os.truncate(path, 4096)


def iter_path(path):
    batches = quorvex.iter_batches(str(path), batch_messages=10)
    next(batches)
    shrink(path)
    list(batches)


def iter_file_object(path):
    with open(path, "rb") as f:
        batches = quorvex.iter_batches(f, batch_messages=10)
        next(batches)
        shrink(path)
        list(batches)


def iter_list(path):
    """The file first of a list, its messages still waiting for a batch when its scan ends."""
    batches = quorvex.iter_batches([str(path), str(SYNOP)], batch_messages=10)
    next(batches)
    shrink(path)
    list(batches)


def open_handle(path):
    with quorvex.open(str(path)) as f:
        shrink(path)
        f[len(f) - 1].values()


def cli_convert(path, monkeypatch=None):
    """convert: the input shrinks once the first batch is written."""
    write = _convert.ArrowSink.write

    def write_then_shrink(self, batch):
        write(self, batch)
        if os.path.getsize(path) > 4096:
            shrink(path)

    monkeypatch.setattr(_convert.ArrowSink, "write", write_then_shrink)
    out = path.with_suffix(".parquet")
    result = CliRunner().invoke(cli.main, ["convert", str(path), "-o", str(out), "--batch-messages", "10"])
    assert result.exit_code == 1, result.output
    assert f"{path}: the file shrank while it was read" in result.output
    assert not out.exists()


@pytest.mark.parametrize("read", [iter_path, iter_file_object, iter_list, open_handle, cli_convert])
def test_file_shrinking_while_read_raises_naming_it(long_file, read, monkeypatch):
    if read is cli_convert:
        read(long_file, monkeypatch)
        return
    with pytest.raises(OSError, match="the file shrank while it was read") as caught:
        read(long_file)
    assert caught.value.filename == str(long_file)


def test_thread_that_cannot_start_is_an_error(tmp_path):
    """Under an address-space limit that leaves room for one thread stack at most, a call for
    many threads raises (or, if every thread started, returns the rows) and the process lives."""
    code = textwrap.dedent(f"""
        import re, resource, quorvex
        data = open({str(SYNOP)!r}, "rb").read() * 200
        expected = quorvex.read_arrow(data, threads=1).num_rows
        size = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) << 10
        resource.setrlimit(resource.RLIMIT_AS, (size + (12 << 20), resource.RLIM_INFINITY))
        try:
            rows = quorvex.read_arrow(data, threads=32).num_rows
            print("rows", rows == expected)
        except RuntimeError as e:
            print("error", e)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("error cannot start worker thread") or done.stdout == "rows True\n"


def test_file_left_open_is_released_quietly_when_collected():
    """A BufrFile dropped without close() releases its mapping at collection, printing nothing."""
    code = f"import gc, quorvex; f = quorvex.open({str(SYNOP)!r}); len(f); del f; gc.collect()"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("spelling", ["same", "dot", "link"])
def test_convert_refuses_an_input_as_output(tmp_path, spelling):
    source = tmp_path / "in.csv"  # BUFR, whatever its name
    source.write_bytes(SYNOP.read_bytes())
    out = {"same": source, "dot": tmp_path / "." / "in.csv", "link": tmp_path / "link.csv"}[spelling]
    if spelling == "link":
        out.symlink_to(source)
    result = CliRunner().invoke(cli.main, ["convert", str(source), "-o", str(out)])
    assert result.exit_code == 2
    assert "is also an input file" in result.output
    assert source.read_bytes() == SYNOP.read_bytes()


def dense_markers(octets):
    """Garbage with a "BUFR" every four octets, around two good messages."""
    garbage = b"BUFR" * (octets // 8)
    return garbage + SYNOP.read_bytes() + garbage


@pytest.mark.parametrize("octets", [0, 1000, 600_000])
def test_windowed_scan_finds_what_one_scan_finds(octets):
    from quorvex import _engine
    from quorvex._arrow import scan_messages

    data = dense_markers(octets)
    windowed = [entry[2:] for entry in scan_messages([data])]
    assert windowed == _engine.scan(data)


@pytest.mark.parametrize("read", [
    lambda data: quorvex.read_arrow(data, on_bad_message="skip"),
    lambda data: quorvex.read_arrow(data, on_bad_message="warn"),
    lambda data: quorvex.read_dataframe(data, columns=["airTemperature"], on_bad_message="skip"),
    lambda data: len(quorvex.open(data, on_bad_message="skip")),
], ids=["read_arrow_skip", "read_arrow_warn", "read_dataframe_columns", "open"])
def test_scan_memory_does_not_grow_with_damaged_markers(read):
    """A quarter of a million damaged markers: held until the end, their entries would take
    some 90 MB of Python objects; reported as found, a window of them."""
    import tracemalloc
    import warnings

    data = dense_markers(2 << 20)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        read(dense_markers(0))  # imports and caches before the measurement
        tracemalloc.start()
        try:
            read(data)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert peak < 16 << 20, f"{peak >> 20} MB"


def test_warnings_keep_no_registry_entry_per_bad_message():
    import warnings

    registry = globals().setdefault("__warningregistry__", {})
    registry.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        quorvex.read_arrow(dense_markers(4000), on_bad_message="warn")
    assert len(caught) == 1000
    assert len(registry) <= 1


@pytest.mark.parametrize("fmt", ["text", "json"])
def test_dump_into_a_pipe_closed_early_exits_0(tmp_path, fmt):
    """`quorvex dump FILE | head`: the reader going away ends the run quietly, status 0."""
    path = tmp_path / "many.bufr"
    path.write_bytes(SYNOP.read_bytes() * 200)  # far more output than a pipe holds
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    dump = subprocess.Popen([sys.executable, "-m", "quorvex", "dump", str(path), "-f", fmt], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    dump.stdout.readline()
    dump.stdout.close()
    assert dump.wait(timeout=300) == 0
    assert dump.stderr.read() == b""
    dump.stderr.close()


@pytest.mark.parametrize("shape", [[], ["--wide"]], ids=["long", "wide"])
@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["INT", "TERM"])
def test_interrupted_convert_leaves_nothing(tmp_path, signum, status, shape):
    """A signal while the output or its spool is being written: the run ends with the shell's
    status for it, with no file under the output's name and nothing beside it."""
    source = tmp_path / "in" / "big.bufr"
    source.parent.mkdir()
    source.write_bytes(SYNOP.read_bytes() * 2000)
    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    convert = subprocess.Popen([sys.executable, "-m", "quorvex", "convert", str(source), "-o", str(out / "x.parquet"),
                                "--batch-messages", "5", *shape], env=env, stderr=subprocess.PIPE)
    try:
        while not any(p.is_file() and p.stat().st_size for p in out.rglob("*")):
            assert convert.poll() is None, "the conversion ended before anything was written"
            time.sleep(0.01)
        convert.send_signal(signum)
        assert convert.wait(timeout=300) == status, convert.stderr.read()
    finally:
        convert.kill()
        convert.wait()
        convert.stderr.close()
    assert list(out.iterdir()) == []


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["INT", "TERM"])
def test_signal_swallowed_where_it_landed_still_ends_the_conversion(signum, status):
    """A finaliser reports and drops the exception a signal raised inside it: the conversion
    still stops with the signal's status at its next check, and the handlers are put back."""
    from quorvex.cli import _convert
    # Started in the background by a shell without job control, this process ignores Ctrl-C, and
    # the conversion rightly leaves an ignored Ctrl-C alone: give it Python's own handler, as a
    # foreground run has.
    inherited = signal.getsignal(signal.SIGINT)
    if inherited == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        before = signal.getsignal(signal.SIGTERM), signal.getsignal(signal.SIGINT)
        with pytest.raises(SystemExit) as stopped, _convert._terminate_as_exit():
            try:
                os.kill(os.getpid(), signum)
                time.sleep(1)  # the handler runs here, at the latest
            except BaseException:
                pass  # what a __del__ does with it
            _convert._stop_if_terminated()
        assert stopped.value.code == status
        assert (signal.getsignal(signal.SIGTERM), signal.getsignal(signal.SIGINT)) == before
        _convert._stop_if_terminated()  # nothing pending once the run is over
    finally:
        signal.signal(signal.SIGINT, inherited)

"""quorvex.dask on a two-process LocalCluster: the same tables as the single-machine
readers, with partition boundaries inside files, bad messages and fsspec memory:// URLs."""
import logging
import pathlib
import warnings

import pytest

from corpus_location import CORPUS

pytest.importorskip("quorvex._engine")
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")
pd = pytest.importorskip("pandas")
fsspec = pytest.importorskip("fsspec")

import quorvex  # noqa: E402
import quorvex.dask as qd  # noqa: E402
from quorvex import _dask_plan  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

SYNOP = pathlib.Path(__file__).resolve().parents[2] / "examples" / "synop_wigos.bufr"

# Small real files of several kinds: TEMP profiles (delayed replication), SYNOP, aircraft,
# compressed ensemble data; about 30 kB and 25 messages, so a 2 kB block cuts inside files.
NAMES = ["temp_small.bufr", "synop_radiation.bufr", "aircraft_small.bufr", "ens_multi_subset_compressed.bufr",
         "syn_new.bufr", "pgps_110.bufr", "temp_hires.bufr"]


@pytest.fixture(autouse=True)
def small_blocks(monkeypatch):
    """Blocks of a few hundred octets, so that the small files here are cut at many places."""
    monkeypatch.setattr(qd, "MIN_BLOCKSIZE", 1)


@pytest.fixture(scope="module")
def files():
    return [str(CORPUS / "derived4" / "pdbufr" / name) for name in NAMES]


@pytest.fixture(scope="module")
def client():
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                   silence_logs=logging.ERROR) as cluster,
          distributed.Client(cluster) as c):
        yield c


def as_pandas(table):
    return qd._arrow_to_pandas(table)


def assert_same(got, expected):
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected.reset_index(drop=True))


def _put(files_and_data):
    memory = fsspec.filesystem("memory")
    for path, data in files_and_data:
        memory.pipe(path, data)


def upload(client, named_data):
    """The same memory:// files in this process (for planning) and in every worker."""
    _put(named_data)
    client.run(_put, named_data)


@pytest.mark.parametrize("blocksize", [2000, 7000, None])
@pytest.mark.parametrize("where", ["local", "memory"])
def test_long_equals_single_machine(client, files, blocksize, where):
    paths = files
    if where == "memory":
        named = [(f"/dask-test/{i:02d}.bufr", open(f, "rb").read()) for i, f in enumerate(files)]
        upload(client, named)
        paths = "memory://dask-test/*.bufr"
    ddf = qd.read_arrow(paths, blocksize=blocksize)
    if blocksize == 2000:
        # several partitions per file: boundaries fall inside files
        assert ddf.npartitions > len(files)
    got = ddf.compute()
    assert_same(got, as_pandas(quorvex.read_arrow(files)))
    assert list(map(str, got.dtypes)) == list(map(str, ddf._meta.dtypes))


@pytest.mark.parametrize("columns, filters", [
    (["blockNumber", "stationNumber", "latitude", "longitude", "pressure", "airTemperature",
      "dewpointTemperature", "data_datetime"], None),
    (["typicalDate", "dataCategory", "latitude", "longitude", "airTemperature"], {"airTemperature": slice(250, 300)}),
    (["latitude", "longitude", "windSpeed", "subsetNumber", "#1#windDirection"], {"windSpeed": lambda v: v > 5}),
])
def test_wide_equals_single_machine(client, files, columns, filters):
    pytest.importorskip("quorvex._frame")
    ddf = qd.read_dataframe(files, columns, filters, blocksize=2000)
    assert ddf.npartitions > len(files)
    got = ddf.compute()
    assert len(got) > 0
    assert list(got.columns) == columns
    assert list(map(str, got.dtypes)) == list(map(str, ddf._meta.dtypes))
    # data keys come in the order asked, numbers as float64: the single-machine frame
    # orders them by first occurrence and makes whole-number columns int64
    expected = quorvex.read_dataframe(files, columns, filters)
    assert_same(got, expected[columns].astype(got.dtypes))


def test_parquet_dataset(client, files, tmp_path):
    """The archive-to-Parquet path: every partition writes with one schema, and the
    dataset read back (in message order) is the single-machine table."""
    qd.read_arrow(files, blocksize=2000).to_parquet(tmp_path / "out", write_index=False)
    back = pd.read_parquet(tmp_path / "out").sort_values("message", kind="stable")
    expected = as_pandas(quorvex.read_arrow(files))
    assert_same(back.astype(expected.dtypes), expected)


@pytest.mark.parametrize("into", [1, 2, 3, 4])
@pytest.mark.parametrize("where", ["local", "memory"])
def test_boundary_inside_a_marker(files, where, into):
    """A range that ends inside the letters "BUFR" of a message: the message is read
    once, by that range. (Byte ranges only: in this process.)"""
    data = open(files[0], "rb").read()
    offset = _messages(data)[2][0]
    path = files[0]
    if where == "memory":
        path = f"memory://dask-marker/{into}.bufr"
        _put([(path[len("memory:/"):], data)])
    with dask.config.set(scheduler="sync"):
        got = qd.read_arrow(path, blocksize=offset + into).compute()
    assert_same(got, as_pandas(quorvex.read_arrow(files[0])))


def quoting_message(followers):
    """A message whose section 2 holds a framed "BUFR" that ends on the "7777" of the message
    after it, then `followers`: a scan from the start of the file never looks inside it, a
    scan from inside it hops over the next message."""
    from message_builder import be24, build

    filler = b"\x00" * 80  # the quoted "BUFR" near the end: the range it starts lies in holds the next message
    first = build(section2=filler + b"BUFR" + be24(0) + b"\x04")
    quoted = first.index(b"BUFR", 4)
    length = len(first) - quoted + len(followers[0])
    first = first[:quoted + 4] + be24(length) + first[quoted + 7:]
    return first + b"".join(followers), quoted


@pytest.mark.parametrize("blocksize", [
    lambda quoted: 1, lambda quoted: 17, lambda quoted: quoted // 2, lambda quoted: quoted - 1,
    lambda quoted: quoted, lambda quoted: quoted + 1, lambda quoted: 4 * quoted,
], ids=["1", "17", "half", "before", "at", "after", "past"])
def test_message_quoting_a_framed_marker(tmp_path, blocksize):
    """Ranges that start before the quoted "BUFR", at it or past it: every message is read
    once, as the single-machine reader reads them."""
    data = SYNOP.read_bytes()
    followers = [data[o:o + n] for o, n in _messages(data)]
    whole, quoted = quoting_message(followers)
    path = tmp_path / "quoting.bufr"
    path.write_bytes(whole)
    expected = as_pandas(quorvex.read_arrow(str(path)))
    assert expected["message"].nunique() == 1 + len(followers)
    with dask.config.set(scheduler="sync"):
        got = qd.read_arrow(str(path), blocksize=blocksize(quoted)).compute()
    assert_same(got, expected)


def test_single_path_has_no_source(client, files):
    ddf = qd.read_arrow(files[0], blocksize=1500)
    assert ddf.npartitions > 1
    assert "source" not in ddf.columns
    assert_same(ddf.compute(), as_pandas(quorvex.read_arrow(files[0])))


def _messages(data):
    return [(offset, length) for offset, length, error in quorvex._engine.scan(data) if error is None]


@pytest.fixture(scope="module")
def damaged(tmp_path_factory, files):
    """The files end to end with three messages spoilt: one whose 7777 is overwritten
    (a framing error), one whose first descriptor names a sequence no table has (a
    decoding error), and one whose data section holds the letters "BUFR" (still a good
    message to a scan from the start of the file)."""
    data = bytearray(b"".join(open(f, "rb").read() for f in files))
    found = _messages(data)
    framing, decoding, quoting = 4, 11, 17
    offset, length = found[framing]
    data[offset + length - 4:offset + length] = b"7778"
    offset, length = found[decoding]
    section1 = int.from_bytes(data[offset + 8:offset + 11], "big")
    present = data[offset + 17] & 0x80
    section2 = int.from_bytes(data[offset + 8 + section1:offset + 11 + section1], "big") if present else 0
    section3 = offset + 8 + section1 + section2
    data[section3 + 7:section3 + 9] = b"\xff\xff"  # 3-63-255
    offset, length = found[quoting]
    inside = offset + length - 12
    data[inside:inside + 4] = b"BUFR"
    path = tmp_path_factory.mktemp("dask") / "damaged.bufr"
    path.write_bytes(bytes(data))
    # a block size whose eighth range starts inside the quoting message, before "BUFR"
    return str(path), (inside - 2) // 8, {n: found[n][0] for n in (framing, decoding)}


WIDE = ["latitude", "longitude", "pressure", "airTemperature", "typicalDate"]


@pytest.mark.parametrize("on_bad_message", ["skip", "error"])
@pytest.mark.parametrize("shape", ["long", "wide"])
def test_bad_messages_on_the_cluster(client, damaged, on_bad_message, shape):
    path, blocksize, bad = damaged
    if shape == "wide":
        pytest.importorskip("quorvex._frame")
        ddf = qd.read_dataframe(path, WIDE, blocksize=blocksize, on_bad_message=on_bad_message)
    else:
        ddf = qd.read_arrow(path, blocksize=blocksize, on_bad_message=on_bad_message)
    assert ddf.npartitions > 3
    if on_bad_message == "error":
        # whichever bad message a worker meets first, named by number and file offset
        with pytest.raises(ValueError, match="|".join(f"message {n} at offset {o}:" for n, o in bad.items())):
            ddf.compute()
        return
    got = ddf.compute()
    if shape == "wide":
        expected = quorvex.read_dataframe(path, WIDE, on_bad_message="skip")
        assert len(got) > 0
        assert_same(got, expected[WIDE].astype(got.dtypes))
        return
    assert_same(got, as_pandas(quorvex.read_arrow(path, on_bad_message="skip")))
    assert not set(bad) & set(got["message"])
    assert {n + step for n in bad for step in (-1, 1)} <= set(got["message"])


@pytest.mark.parametrize("head", [_dask_plan._HEAD, 0])
def test_bad_messages_warn(damaged, monkeypatch, head):
    """In this process (warnings stay with the worker that issues them). With no offsets
    reported by the pre-scan, ranges entered after a message's start are counted again."""
    monkeypatch.setattr(_dask_plan, "_HEAD", head)
    path, blocksize, _ = damaged
    with dask.config.set(scheduler="sync"), pytest.warns(quorvex.BadMessageWarning) as caught:
        got = qd.read_arrow(path, blocksize=blocksize, on_bad_message="warn").compute()
    with warnings.catch_warnings(record=True) as single:
        warnings.simplefilter("always")
        expected = quorvex.read_arrow(path, on_bad_message="warn")
    assert_same(got, as_pandas(expected))
    assert len(caught) == len(single) >= 2


def test_tasks_are_small(files):
    """A task carries a file name, a byte range and options: no table set, no data."""
    cloudpickle = pytest.importorskip("cloudpickle")
    ddf = qd.read_arrow(files, blocksize=2000)
    graph = dict(ddf.__dask_graph__())
    sizes = [len(cloudpickle.dumps(task)) for key, task in graph.items() if key[0].startswith("quorvex-")]
    assert len(sizes) == ddf.npartitions
    assert max(sizes) < 2048


@pytest.mark.parametrize("call, error, words", [
    (lambda f: qd.read_arrow(f, tables=quorvex.TableSet()), TypeError, "shipped"),
    (lambda f: qd.read_arrow(f, on_bad_message="ignore"), ValueError, "on_bad_message"),
    (lambda f: qd.read_dataframe(f), TypeError, "needs columns=.*cannot be known without decoding"),
    (lambda f: qd.read_arrow(f, blocksize=0), ValueError, "blocksize"),
    (lambda f: qd.read_arrow(f[0] + ".nothing*"), FileNotFoundError, "no file matches"),
    (lambda f: qd.read_arrow(f[0] + ".nothing"), FileNotFoundError, "no such file"),
])
def test_argument_errors(files, call, error, words):
    with pytest.raises(error, match=words):
        call(files)


def test_blocks_are_at_least_the_smallest_size(files, monkeypatch):
    monkeypatch.setattr(qd, "MIN_BLOCKSIZE", 1 << 20)
    assert qd.read_arrow(files, blocksize=1).npartitions == qd.read_arrow(files, blocksize=None).npartitions

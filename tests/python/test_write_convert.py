"""Messages written again: `Message.to_bytes` and `quorvex convert IN -o OUT.bufr`, compressed,
uncompressed or as they are, read back to the values of the input."""
import pathlib

import pytest

pa = pytest.importorskip("pyarrow")
quorvex = pytest.importorskip("quorvex")
from corpus_location import CORPUS  # noqa: E402
from test_cli import run  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
SYNOP = EXAMPLES / "synop_wigos.bufr"                    # uncompressed, delayed replications
AIRCRAFT = EXAMPLES / "aircraft_mrar_compressed.bufr"    # compressed, associated fields
EDITION3 = "raw/pybufrkit/b002_96.bufr"                  # edition 3, several subsets


def values(source):
    """What the values of a file are, message by message: (subset, key, value, text)."""
    table = quorvex.read_arrow(source)
    return [table.column(n).to_pylist() for n in ("message", "subset", "key", "value", "text")]


def inputs():
    files = [SYNOP, AIRCRAFT]
    if CORPUS is not None and (CORPUS / EDITION3).is_file():
        files.append(CORPUS / EDITION3)
    return files


@pytest.mark.parametrize("compress", [None, True, False])
@pytest.mark.parametrize("source", inputs(), ids=lambda p: p.name)
def test_messages_written_again_read_back_the_same(tmp_path, source, compress):
    with quorvex.open(source) as bufr:
        written = [m.to_bytes(compressed=compress) for m in bufr]
    out = tmp_path / "out.bufr"
    flag = [] if compress is None else ["--compress" if compress else "--no-compress"]
    ran = run("convert", source, "-o", out, *flag)
    assert ran.returncode == 0, ran.stderr
    assert out.read_bytes() == b"".join(written)
    assert values(out) == values(source)
    with quorvex.open(out) as again:
        headers = again.headers()
    assert set(headers["edition"]) == {4}
    if compress is not None:
        assert set(headers["compressedData"]) == {int(compress)}


def test_a_message_that_cannot_be_written_is_named_and_left_out(tmp_path):
    if CORPUS is None:
        pytest.skip("no corpus")
    # Compressed data whose values have every bit set: uncompressed they would read as missing.
    source = CORPUS / "raw/pybufrkit/sentinel1.bufr"
    out = tmp_path / "out.bufr"
    ran = run("convert", source, SYNOP, "-o", out, "--no-compress")
    assert ran.returncode == 1
    assert f"{source}: message 0 at offset 0: " in ran.stderr and "it would read as missing" in ran.stderr
    assert values(out) == values(SYNOP)


@pytest.mark.parametrize(("args", "text"), [
    (["--compress", "-o", "x.parquet"], "--compress and --no-compress go with a .bufr output"),
    (["--wide", "-o", "x.bufr"], "--wide does not go with a .bufr output"),
])
def test_bufr_options_with_the_wrong_output_are_usage_errors(tmp_path, args, text):
    args = [str(tmp_path / a) if a.startswith("x.") else a for a in args]
    ran = run("convert", SYNOP, *args)
    assert ran.returncode == 2 and text in ran.stderr


def test_only_edition_4_is_written():
    with quorvex.open(SYNOP) as bufr, pytest.raises(ValueError, match="edition 3 cannot be written"):
        bufr[0].to_bytes(edition=3)

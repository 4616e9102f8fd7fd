"""The module quorvex._engine as an extension: its state belongs to each module object, so an
interpreter that shares the main GIL may load it, one with a GIL of its own may not."""
import importlib.util

import pytest

interpreters = pytest.importorskip("_xxsubinterpreters")
from quorvex import _engine  # noqa: E402

LOAD = f"""
import importlib.util
location = importlib.util.spec_from_file_location("quorvex._engine", {_engine.__file__!r})
engine = importlib.util.module_from_spec(location)
location.loader.exec_module(engine)
entries, resume, needed = engine.scan_window(b"xxBUFR\\x00\\x00\\xff\\x04", 0, 10)
assert entries == [(2, 255, ("message_overrun", "declared length 255 runs past the end of the data"))]
assert (resume, needed) == (10, 257)
"""


@pytest.mark.parametrize("isolated", [False, True], ids=["shared-gil", "own-gil"])
def test_sub_interpreters(isolated):
    interp = interpreters.create(isolated=isolated)
    try:
        if isolated:
            with pytest.raises(interpreters.RunFailedError, match="does not support loading in subinterpreters"):
                interpreters.run_string(interp, LOAD)
        else:
            interpreters.run_string(interp, LOAD)
    finally:
        interpreters.destroy(interp)


def test_module_objects_keep_their_own_state():
    location = importlib.util.spec_from_file_location("quorvex._engine", _engine.__file__)
    other = importlib.util.module_from_spec(location)
    location.loader.exec_module(other)
    assert other.Tables is not _engine.Tables and other.Batch is not _engine.Batch
    with pytest.raises(TypeError, match="tables must be a Tables"):
        other.decode([b""], [], _engine.Tables(None), 1)
    batch, bad = other.decode([b""], [], other.Tables(None), 1)
    assert isinstance(batch, other.Batch) and bad == []

"""Bad messages reach the caller as data: BadMessageError and BadMessageWarning carry the same
index, offset, source, kind and reason whichever reader met the message."""
import os
import pickle
import warnings

import pytest

from corpus_location import CORPUS
from test_hostile_input import (
    LOCAL,
    TEMP3,
    bad_length,
    foreign_centre,
    foreign_master_table,
    impossible_date,
    offsets,
    truncate_last,
)

pytest.importorskip("quorvex._engine")
import quorvex  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")


def many_subsets(data):
    """Message 2 claims 65535 subsets in section 3: its data section cannot hold them."""
    offset, _ = offsets(data)[2]
    with quorvex.open(data) as bufr:
        section2 = bufr[2].section2_present
    damaged = bytearray(data)
    s1 = offset + 8
    s2 = s1 + int.from_bytes(damaged[s1:s1 + 3], "big")
    s3 = s2 + (int.from_bytes(damaged[s2:s2 + 3], "big") if section2 else 0)
    damaged[s3 + 4:s3 + 6] = (65535).to_bytes(2, "big")
    return bytes(damaged), 2, 2


DAMAGES = [
    pytest.param(TEMP3, truncate_last, "message_overrun", id="truncated-last"),
    pytest.param(TEMP3, impossible_date("month", 13), "impossible_date", id="month-13"),
    pytest.param(TEMP3, bad_length, "message_overrun", id="stray-marker"),
    pytest.param(LOCAL, foreign_centre, "element_not_found", id="local-tables-nowhere"),
    pytest.param(LOCAL, foreign_master_table, "tables_unavailable", id="master-table-nowhere"),
    pytest.param(TEMP3, many_subsets, "data_fault", id="many-subsets"),
]


def as_files(tmp_path, sources):
    """The octets of `sources` written to files: their paths."""
    paths = []
    for k, data in enumerate(sources):
        paths.append(tmp_path / f"{k}.bufr")
        paths[-1].write_bytes(data)
    return paths


def read_with(reader, source, mode, tmp_path):
    if reader == "read_arrow":
        quorvex.read_arrow(source, on_bad_message=mode)
    elif reader == "iter_batches":
        list(quorvex.iter_batches(source, batch_messages=2, on_bad_message=mode))
    elif reader == "read_dataframe":
        quorvex.read_dataframe(source, columns=["latitude"], on_bad_message=mode)
    else:
        dask_module = pytest.importorskip("quorvex.dask")
        import dask
        given = source if isinstance(source, list) else [source]
        paths = given if all(isinstance(s, os.PathLike) for s in given) else as_files(tmp_path, given)
        with dask.config.set(scheduler="sync"):
            dask_module.read_arrow(paths if isinstance(source, list) else paths[0], on_bad_message=mode).compute()


def fields(bad):
    return bad.message_index, bad.offset, bad.source, bad.kind, bad.reason


@pytest.mark.parametrize("reader", ["read_arrow", "iter_batches", "read_dataframe", "dask"])
@pytest.mark.parametrize(("name", "damage", "kind"), DAMAGES)
@pytest.mark.parametrize("in_list", [False, "buffers", "files"],
                         ids=["single", "second-of-two", "second-of-three-files"])
def test_error_and_warning_carry_the_engines_fields(reader, name, damage, kind, in_list, tmp_path):
    """Files of a list are closed one by one, their waiting messages copied out: the offsets
    reported are still those in the file."""
    clean = (CORPUS / name).read_bytes()
    damaged, bad_index, _ = damage(clean)
    offset = offsets(clean)[bad_index][0] if damage is not bad_length else offsets(clean)[0][1]
    source = [clean, damaged] if in_list else damaged
    if in_list == "files":  # not the last file: closed before the next is opened
        source = as_files(tmp_path, [*source, clean])
    expected_index = bad_index + (len(offsets(clean)) if in_list else 0)
    with pytest.raises(quorvex.BadMessageError) as raised:
        read_with(reader, source, "error", tmp_path)
    error = raised.value
    assert isinstance(error, ValueError)
    assert fields(error)[:4] == (expected_index, offset, int(bool(in_list)), kind)
    assert str(error) == f"bad message {expected_index} at offset {offset}: {error.reason}"
    # a fault of the data section says what it is, not under the table loader's heading
    assert not error.reason.startswith("csv/table parse error")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        read_with(reader, source, "warn", tmp_path)
    reports = [w.message for w in caught if isinstance(w.message, quorvex.BadMessageWarning)]
    assert [fields(w) for w in reports] == [fields(error)]
    for bad in (error, reports[0]):
        again = pickle.loads(pickle.dumps(bad))
        assert type(again) is type(bad) and fields(again) == fields(bad) and str(again) == str(bad)

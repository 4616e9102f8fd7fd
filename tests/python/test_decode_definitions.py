"""decode_values_with_definitions: the tables a message names, chosen from a definitions root."""
import pytest

import _quorvex
from decode_support import Bits, element, message, write_tables

WMO = [element(1001, "WMO BLOCK NUMBER", "Numeric", width=7),
       element(12101, "TEMPERATURE/AIR TEMPERATURE", "K", 2, 0, 16)]
LOCAL = [element(12101, "LOCAL TEMPERATURE", "K", 1, 0, 16)]


@pytest.fixture
def root(tmp_path):
    tables = tmp_path / "bufr" / "tables" / "0"
    write_tables(tables / "wmo" / "38", WMO, code_tables={1001: {5: "BLOCK FIVE"}})
    (tables / "wmo" / "19").write_text("38\n")  # an alias of version 38
    write_tables(tables / "local" / "1" / "98" / "0", LOCAL)
    write_tables(tables / "local" / "19-1" / "98" / "0", [element(12101, "OLD LOCAL", "K", 0, 0, 16)])
    return str(tmp_path)


def decode(root, master_version=38, local_version=0, centre=98):
    data = message([1001, 12101], Bits().put(5, 7).put(2731, 16), master_version=master_version,
                   local_version=local_version, centre=centre)
    values = _quorvex.decode_values_with_definitions(b"\xff" + data, root)
    return [(v.name, v.raw_value, v.raw_meaning) for v in values]


@pytest.mark.parametrize("master, local, centre, temperature", [
    (38, 0, 98, ("TEMPERATURE/AIR TEMPERATURE", 27.31, None)),  # no local tables asked for
    (38, 1, 98, ("LOCAL TEMPERATURE", 273.1, None)),            # local/1/98/0 over the WMO table
    (38, 1, 7, ("TEMPERATURE/AIR TEMPERATURE", 27.31, None)),   # no local directory: no error
    (38, 2, 98, ("TEMPERATURE/AIR TEMPERATURE", 27.31, None)),
    (19, 1, 98, ("OLD LOCAL", 2731.0, None)),                   # version 19: local/19-1, WMO alias
])
def test_tables_chosen_by_the_message(root, master, local, centre, temperature):
    assert decode(root, master, local, centre) == [("WMO BLOCK NUMBER", 5.0, "BLOCK FIVE"),
                                                   temperature]


def test_a_missing_wmo_directory_is_reported_with_its_path(root):
    with pytest.raises(ValueError) as info:
        decode(root, master_version=37)
    assert info.value.args == ("csv/table parse error: ecCodes table directory does not exist: "
                               f"{root}/bufr/tables/0/wmo/37",)


def test_the_real_definitions_decode_a_real_message():
    from decode_support import CORPUS, DEFINITIONS, split_messages
    path = CORPUS / "raw/bufrValidationDashboard/boom.bufr"
    if not path.exists() or not DEFINITIONS.is_dir():
        pytest.skip("corpus or ecCodes definitions not installed")
    data = path.read_bytes()
    offset, length = split_messages(data)[0]
    values = _quorvex.decode_values_with_definitions(data, str(DEFINITIONS))
    alone = _quorvex.decode_values_with_definitions(data[offset:offset + length], str(DEFINITIONS))
    assert values and [repr(v) for v in values] == [repr(v) for v in alone]
    # The station name is text; every number of this message is missing.
    assert any(v.raw_text and "<" in v.raw_text for v in values)
    assert all(v.raw_value is None for v in values if v.raw is not None
               and v.descriptor // 1000 % 100 != 31 and v.descriptor < 100000)

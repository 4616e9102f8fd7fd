"""decode_values and decode_values_with_tables: the call frame, the choice of message, and the
decoded values end to end through the Python objects."""
import pathlib

import pytest

import _quorvex
from decode_support import Bits, element, message, write_tables

ELEMENTS = [
    element(1001, "WMO BLOCK NUMBER", "Numeric", width=7),
    element(1015, "STATION OR SITE NAME", "CCITT IA5", width=32),
    element(12101, "TEMPERATURE/AIR TEMPERATURE", "K", 2, 0, 16),
    element(31001, "DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric", width=8),
]
# 340001 .. 340064 nest one inside the other; 340064 holds 0-01-001 at depth 64 below 340001.
SEQUENCES = {300001: [1001, 12101], 340064: [1001]}
SEQUENCES.update({340000 + k: [340001 + k] for k in range(64)})


@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    return write_tables(tmp_path_factory.mktemp("tables"), ELEMENTS, SEQUENCES)


@pytest.fixture(scope="module")
def table_set(tables):
    return _quorvex.TableSet.from_eccodes(tables)


def simple_message(temperature=27315):
    return message([12101], Bits().put(temperature, 16))


# ---------------------------------------------------------------- the call frame

FUNCTIONS = ["decode_values", "decode_values_with_tables", "decode_values_with_definitions"]
SECOND = {"decode_values": "table_dir", "decode_values_with_tables": "tables",
          "decode_values_with_definitions": "definitions_root"}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_documentation_string_is_the_signature(name):
    function = getattr(_quorvex, name)
    assert function.__doc__ is None or function.__doc__ == ""
    assert function.__text_signature__ == f"(data, {SECOND[name]})"
    assert name in _quorvex.__all__


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "{f}() missing 2 required positional arguments: 'data' and '{s}'"),
    ((b"",), {}, "{f}() missing 1 required positional argument: '{s}'"),
    ((b"", "x", 1), {}, "{f}() takes 2 positional arguments but 3 were given"),
    ((b"",), {"{s}": "x", "other": 1}, "{f}() got an unexpected keyword argument 'other'"),
    ((b"", "x"), {"data": b""}, "{f}() got multiple values for argument 'data'"),
    ((bytearray(b"BUFR"), 5), {}, "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
    ((memoryview(b"BUFR"), "x"), {}, "argument 'data': 'memoryview' object cannot be cast as 'bytes'"),
    (("BUFR", "x"), {}, "argument 'data': 'str' object cannot be cast as 'bytes'"),
])
def test_argument_errors(name, args, kwargs, text):
    second = SECOND[name]
    kwargs = {k.format(s=second): v for k, v in kwargs.items()}
    with pytest.raises(TypeError) as info:
        getattr(_quorvex, name)(*args, **kwargs)
    assert str(info.value) == text.format(f=name, s=second)


@pytest.mark.parametrize("name, bad, expected", [
    ("decode_values", pathlib.Path("/tmp"), "'PosixPath' object cannot be cast as 'str'"),
    ("decode_values", b"/tmp", "'bytes' object cannot be cast as 'str'"),
    ("decode_values_with_definitions", None, "'NoneType' object cannot be cast as 'str'"),
    ("decode_values_with_tables", "/tmp", "'str' object cannot be cast as 'TableSet'"),
])
def test_second_argument_type_errors(name, bad, expected):
    # The data are valid bytes without a message: the argument is refused before any scan.
    with pytest.raises(TypeError) as info:
        getattr(_quorvex, name)(b"no message", bad)
    assert str(info.value) == f"argument '{SECOND[name]}': {expected}"


def test_keywords_and_subclasses_are_accepted(tables):
    class B(bytes):
        pass

    class S(str):
        pass

    values = _quorvex.decode_values(table_dir=S(tables), data=B(simple_message()))
    assert [repr(v) for v in values] == ["DecodedValue(012101, Some(273.15))"]


# ---------------------------------------------------------------- which message is decoded

def call(name, data, tables, table_set, root="/nonexistent/definitions"):
    second = {"decode_values": tables, "decode_values_with_tables": table_set,
              "decode_values_with_definitions": root}[name]
    return getattr(_quorvex, name)(data, second)


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize("data, text", [
    (b"", "missing BUFR marker"),
    (b"no message here at all", "missing BUFR marker"),
    (b"BUF", "missing BUFR marker"),
    (b"xxBUFR\x00\x00", "message is too short to be BUFR"),
    (simple_message() + b"BUFR\x00\x01", "message is too short to be BUFR"),
    (b"ab" + simple_message() + b"BUFR\x00\x01\x00\x04" + b"\0" * 20,
     "section 0 at offset {n} is truncated"),
    (simple_message().replace(b"\x04", b"\x03", 1),
     "unsupported BUFR edition 3; only edition 4 is implemented"),
    (simple_message()[:-1] + b"8", "section 5 terminator is not 7777"),
], ids=["empty", "no marker", "three octets", "short after junk", "short after a message",
        "second message truncated", "edition 3", "bad terminator"])
def test_framing_errors_come_before_the_tables(name, data, text, tables, table_set):
    # decode_values_with_definitions gets a root that does not exist: the message error wins.
    with pytest.raises(ValueError) as info:
        call(name, data, tables, table_set)
    assert info.value.args == (text.format(n=2 + len(simple_message())),)


@pytest.mark.parametrize("name", FUNCTIONS[:2])
def test_only_the_first_message_is_decoded(name, tables, table_set):
    data = b"junk" + simple_message(27315) + b"\0\0" + simple_message(1) + b"tail"
    values = call(name, data, tables, table_set)
    assert [(v.descriptor, v.raw_value) for v in values] == [(12101, 273.15)]


def test_a_missing_table_directory_is_a_table_error(tmp_path):
    with pytest.raises(ValueError) as info:
        _quorvex.decode_values(simple_message(), str(tmp_path / "none"))
    assert info.value.args[0].startswith("csv/table parse error: ")


def test_every_call_returns_new_objects(table_set):
    data = simple_message()
    first = _quorvex.decode_values_with_tables(data, table_set)
    second = _quorvex.decode_values_with_tables(data, table_set)
    assert first is not second and first[0] is not second[0]
    assert repr(first) == repr(second)


def test_both_table_sources_agree(tables, table_set):
    data = message([300001, 1015], Bits().put(5, 7).put(27315, 16).text("AB", 32))
    by_dir = [repr(v) for v in _quorvex.decode_values(data, tables)]
    by_set = [repr(v) for v in _quorvex.decode_values_with_tables(data, table_set)]
    assert by_dir == by_set == ["DecodedValue(001001, Some(5.0))",
                                "DecodedValue(012101, Some(273.15))",
                                'DecodedValue(001015, "AB")']


def test_a_failed_decode_returns_nothing_partial(table_set):
    # The first subset decodes, the second runs out of bits: only the error comes back.
    data = message([12101], Bits().put(27315, 16), subsets=2)
    with pytest.raises(ValueError) as info:
        _quorvex.decode_values_with_tables(data, table_set)
    assert info.value.args == ("csv/table parse error: not enough bits while reading section 4 "
                               "at bit 16 for width 16 (16 bits available)",)


# ---------------------------------------------------------------- decoded values end to end

# The rules of the walk and its operators are tested once, in the C++ suite; here only how
# numbers, texts and empty results become Python objects.
CASES = [
    ("no subsets", [12101], Bits(), 0, []),
    ("numbers", [12101], Bits().put(27315, 16).put(27316, 16), 2,
     [(12101, 273.15), (12101, 273.16)]),
    ("text", [1015, 1001], Bits().text("WXYZ").put(5, 7), 1, [(1015, "WXYZ"), (1001, 5.0)]),
]


def plain(values):
    return [(v.descriptor, v.raw_text if v.raw is None else v.raw_value) for v in values]


@pytest.mark.parametrize("descriptors, bits, subsets, want", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_decoded_values(descriptors, bits, subsets, want, table_set):
    data = message(descriptors, bits, subsets=subsets)
    assert plain(_quorvex.decode_values_with_tables(data, table_set)) == want


ERRORS = [
    ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor "
                      "or replicated descriptors"),
    ([100003, 1001], "unsupported replication descriptor 100003"),
    ([103002, 1001, 1001], "unsupported replication descriptor 103002"),
    ([20001], "descriptor 020001 was not found in Table B"),
    ([301099], "descriptor 301099 was not found in Table D"),
    ([340000], "csv/table parse error: descriptor decode exceeded recursion depth"),
    ([12101], "csv/table parse error: not enough bits while reading section 4 at bit 0 for "
              "width 16 (0 bits available)"),
]


@pytest.mark.parametrize("descriptors, text", ERRORS, ids=[e[1][:40] for e in ERRORS])
def test_decode_errors(descriptors, text, table_set):
    with pytest.raises(ValueError) as info:
        _quorvex.decode_values_with_tables(message(descriptors, b""), table_set)
    assert info.value.args == (text,)


def test_compressed_message(table_set):
    # Two subsets of 0-12-101: minimum 27315, 3-bit increments 0 and 3, then 7 (all ones:
    # missing, raw = the minimum) in a third subset.
    bits = Bits().put(27315, 16).put(3, 6).put(0, 3).put(3, 3).put(7, 3)
    data = message([12101], bits, subsets=3, compressed=True)
    values = _quorvex.decode_values_with_tables(data, table_set)
    assert [(v.raw, v.raw_value) for v in values] == [(27315, 273.15), (27318, 273.18),
                                                      (27315, None)]

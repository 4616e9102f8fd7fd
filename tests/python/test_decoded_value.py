"""The DecodedValue class: its attributes, `data`, its representation and its object model."""
import gc
import math

import pytest

import _quorvex
from decode_support import Bits, element, message, write_tables

# (scale, reference, width, raw bits) -> the number as the representation shows it.
NUMBERS = [
    (2, 0, 16, 27315, "Some(273.15)"),
    (1, 0, 8, 3, "Some(0.3)"),
    (0, 0, 8, 3, "Some(3.0)"),
    (0, 0, 8, 0, "Some(0.0)"),
    (1, -5, 4, 0, "Some(-0.5)"),
    (3, -5000, 16, 5, "Some(-4.995)"),
    (-1, 0, 8, 12, "Some(120.0)"),
    (4, 0, 8, 1, "Some(0.0001)"),
    (5, 0, 8, 15, "Some(0.00015)"),
    (6, 0, 8, 15, "Some(1.5e-5)"),
    (7, -20, 8, 0, "Some(-2e-6)"),
    (-16, 0, 8, 1, "Some(1e16)"),
    (-15, 0, 8, 1, "Some(999999999999999.9)"),
    (-15, 0, 8, 10, "Some(1e16)"),
    (-100, 0, 8, 1, "Some(1e100)"),
    (0, 0, 64, 1 << 63, "Some(9.223372036854776e18)"),
    (0, 0, 64, (1 << 64) - 1, "Some(1.8446744073709552e19)"),
    (-400, 0, 8, 1, "Some(inf)"),
    (-400, -2, 8, 1, "Some(-inf)"),
    (-400, 0, 8, 0, "Some(NaN)"),
    (0, 0, 8, 255, "None"),
]


def number_message(tmp_path):
    elements = [element(10001 + k, f"NUMBER {k}", "m", scale, ref, width)
                for k, (scale, ref, width, _raw, _text) in enumerate(NUMBERS)]
    bits = Bits()
    for scale, ref, width, raw, _text in NUMBERS:
        bits.put(raw, width)
    tables = write_tables(tmp_path / "t", elements)
    return message([e[0] for e in elements], bits), tables


def test_repr_writes_the_shortest_number_form(tmp_path):
    data, tables = number_message(tmp_path)
    values = _quorvex.decode_values(data, tables)
    got = [repr(v) for v in values]
    want = [f"DecodedValue({10001 + k:06d}, {text})" for k, (*_, text) in enumerate(NUMBERS)]
    assert got == want


def test_raw_value_round_trips_the_number(tmp_path):
    data, tables = number_message(tmp_path)
    for v, (scale, ref, _width, raw, text) in zip(_quorvex.decode_values(data, tables), NUMBERS):
        assert v.raw == raw
        if text == "None":
            assert v.raw_value is None and v.data is None
        elif text == "Some(NaN)":
            assert math.isnan(v.raw_value) and math.isnan(v.data)
        elif math.pow(10.0, scale) == 0.0:  # the power underflows: a division by zero
            assert v.raw_value == v.data == math.copysign(math.inf, raw + ref)
        else:
            assert v.raw_value == v.data == float(raw + ref) / math.pow(10.0, scale)


@pytest.fixture
def mixed(tmp_path):
    """Values of every kind, with their code and flag tables."""
    elements = [
        element(1015, "STATION OR SITE NAME", "CCITT IA5", width=80),
        element(20003, "PRESENT WEATHER", "CODE TABLE", width=4),
        element(20011, "CLOUD AMOUNT", "CODE TABLE", width=4),
        element(12101, "TEMPERATURE/AIR TEMPERATURE", "K", 2, 0, 16),
        element(31021, "ASSOCIATED FIELD SIGNIFICANCE", "CODE TABLE", width=6),
    ]
    codes = {20003: {3: 'CLOUDS "FORMING"', 15: "MISSING VALUE"}, 20011: {1: "1 OKTA"}}
    tables = write_tables(tmp_path / "t", elements, code_tables=codes)
    bits = Bits()
    bits.text('say "hi"\x1b', 80)    # 001015: text with a quote and an escape character
    bits.put((1 << 80) - 1, 80)       # 001015: all ones, missing text
    bits.put(3, 4)                    # 020003: 3, with a meaning
    bits.put(15, 4)                   # 020003: all ones, missing, but the table has 15
    bits.put(15, 4)                   # 020011: all ones, missing, no meaning for 15
    bits.put(2, 4)                    # 020011: 2, no meaning
    bits.put(27315, 16)               # 012101
    bits.put(0b000101, 6)             # 031021 = 5
    bits.put(0b10100, 5)              # associated field (5 bits) before 012101
    bits.put(27316, 16)               # 012101
    descriptors = [1015, 1015, 20003, 20003, 20011, 20011, 12101, 222000, 31021, 204005, 12101,
                   204000]
    return _quorvex.decode_values(message(descriptors, bits), tables)


def test_attributes_by_kind(mixed):
    rows = [(v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning, v.data)
            for v in mixed]
    assert rows == [
        (1015, "STATION OR SITE NAME", 1010.0, None, 'say "hi"\x1b', None, 'say "hi"\x1b'),
        (1015, "STATION OR SITE NAME", 2010.0, None, None, None, 2010.0),
        (20003, "PRESENT WEATHER", 3.0, 3, None, 'CLOUDS "FORMING"', 'CLOUDS "FORMING"'),
        (20003, "PRESENT WEATHER", None, 15, None, "MISSING VALUE", "MISSING VALUE"),
        (20011, "CLOUD AMOUNT", None, 15, None, None, None),
        (20011, "CLOUD AMOUNT", 2.0, 2, None, None, 2.0),
        (12101, "TEMPERATURE/AIR TEMPERATURE", 273.15, 27315, None, None, 273.15),
        (222000, "operator", 0.0, 0, None, None, 0.0),
        (31021, "ASSOCIATED FIELD SIGNIFICANCE", 5.0, 5, None, None, 5.0),
        (999999, "associatedField", 20.0, 20, None, None, 20.0),
        (12101, "TEMPERATURE/AIR TEMPERATURE", 273.16, 27316, None, None, 273.16),
    ]


def test_attribute_types(mixed):
    for v in mixed:
        assert type(v.descriptor) is int and type(v.name) is str
        assert v.raw_value is None or type(v.raw_value) is float
        assert v.raw is None or type(v.raw) is int


def test_repr_by_kind(mixed):
    assert [repr(v) for v in mixed] == [
        'DecodedValue(001015, "say \\"hi\\"\\u{1b}")',
        "DecodedValue(001015, Some(2010.0))",
        'DecodedValue(020003, "CLOUDS \\"FORMING\\"")',
        'DecodedValue(020003, "MISSING VALUE")',
        "DecodedValue(020011, None)",
        "DecodedValue(020011, Some(2.0))",
        "DecodedValue(012101, Some(273.15))",
        "DecodedValue(222000, Some(0.0))",
        "DecodedValue(031021, Some(5.0))",
        "DecodedValue(999999, Some(20.0))",
        "DecodedValue(012101, Some(273.16))",
    ]


def test_equal_names_and_meanings_share_one_str(mixed):
    assert mixed[0].name is mixed[1].name
    assert mixed[6].name is mixed[10].name
    assert mixed[2].name is mixed[3].name


def test_a_table_set_lends_its_names_to_every_call(tmp_path):
    data, tables_dir = number_message(tmp_path)
    tables = _quorvex.TableSet.from_eccodes(tables_dir)
    first = _quorvex.decode_values_with_tables(data, tables)
    second = _quorvex.decode_values_with_tables(data, tables)
    assert all(a.name is b.name for a, b in zip(first, second))
    # Without a TableSet object the names are made for the call, equal but not shared.
    loose = _quorvex.decode_values(data, tables_dir)
    assert [v.name for v in loose] == [v.name for v in first]
    assert loose[0].name is not first[0].name
    # The values keep their names when the set goes.
    del tables, second
    gc.collect()
    assert [v.name for v in first] == [f"NUMBER {k}" for k in range(len(NUMBERS))]


def test_the_class_makes_no_instances():
    with pytest.raises(TypeError):
        _quorvex.DecodedValue()
    with pytest.raises(TypeError):
        _quorvex.DecodedValue.__new__(_quorvex.DecodedValue)


def test_values_are_decoded_values(mixed):
    assert type(mixed[0]) is _quorvex.DecodedValue


@pytest.mark.parametrize("attr", ["descriptor", "name", "raw_value", "raw", "raw_text",
                                  "raw_meaning", "data"])
def test_attributes_are_read_only(mixed, attr):
    v = mixed[2]
    before = getattr(v, attr)
    with pytest.raises(AttributeError):
        setattr(v, attr, 1)
    with pytest.raises(AttributeError):
        delattr(v, attr)
    assert getattr(v, attr) == before


def test_values_hold_no_other_state(mixed):
    v = mixed[0]
    with pytest.raises(AttributeError):
        v.extra = 1
    assert not gc.is_tracked(v)
    assert not hasattr(v, "__dict__")


def test_values_outlive_the_list_and_the_tables(tmp_path):
    data, tables = number_message(tmp_path)
    first = _quorvex.decode_values(data, tables)[0]
    gc.collect()
    assert (first.name, repr(first)) == ("NUMBER 0", "DecodedValue(010001, Some(273.15))")


def test_values_survive_the_recycling_of_others(tmp_path):
    # Two subsets of 65535 one-bit values each: more values than the pool of freed objects
    # holds, so freeing the list both recycles and releases.
    elements = [element(31002, "EXTENDED DELAYED DESCRIPTOR REPLICATION FACTOR", "Numeric",
                        width=16),
                element(8001, "FLAG", "FLAG TABLE", width=2)]
    tables = _quorvex.TableSet.from_eccodes(write_tables(tmp_path / "t", elements))
    bits = Bits()
    for subset in range(2):
        bits.put(65535, 16)
        for k in range(65535):
            bits.put((k + subset) % 3, 2)
    data = message([101000, 31002, 8001], bits, subsets=2)
    kept = []
    for round_ in range(3):
        values = _quorvex.decode_values_with_tables(data, tables)
        assert len(values) == 2 * 65536
        assert [v.raw for v in values[1:7]] == [0, 1, 2, 0, 1, 2]
        assert [v.raw for v in values[65537:65543]] == [1, 2, 0, 1, 2, 0]
        kept.append(values[65540])
        del values
        gc.collect()
    assert [(v.raw, v.name, repr(v)) for v in kept] == [
        (1, "FLAG", "DecodedValue(008001, Some(1.0))")] * 3

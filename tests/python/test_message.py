"""BufrMessage and the single-message functions parse_bytes and parse_file."""
import pytest

import _quorvex as q
from message_builder import be24, build, section1, with_total_length

FIELDS = [
    "total_length", "edition", "section1_length", "master_table_number", "originating_centre",
    "originating_subcentre", "update_sequence_number", "local_section_present", "data_category",
    "international_data_subcategory", "local_data_subcategory", "master_tables_version_number",
    "local_tables_version_number", "typical_year", "typical_month", "typical_day", "typical_hour",
    "typical_minute", "typical_second", "section2_length", "section3_length", "number_of_subsets",
    "observed_data", "compressed_data", "unexpanded_descriptors", "section4_length",
    "section4_data_offset", "section4_data_length",
]

SAMPLE = build(descriptors=(307080, 1001), subsets=513, flags=0xC0, data=b"\x01\x02\x03",
               centre=0xABCD, subcentre=0x0102, update=7, category=2, intl_subcategory=4,
               local_subcategory=5, master_version=38, local_version=1, master_table=10,
               when=(2024, 12, 31, 23, 59, 58))


def test_fields_of_a_message():
    m = q.parse_bytes(SAMPLE)
    expected = dict(
        total_length=len(SAMPLE), edition=4, section1_length=22, master_table_number=10,
        originating_centre=0xABCD, originating_subcentre=0x0102, update_sequence_number=7,
        local_section_present=False, data_category=2, international_data_subcategory=4,
        local_data_subcategory=5, master_tables_version_number=38, local_tables_version_number=1,
        typical_year=2024, typical_month=12, typical_day=31, typical_hour=23, typical_minute=59,
        typical_second=58, section2_length=0, section3_length=11, number_of_subsets=513,
        observed_data=True, compressed_data=True, unexpanded_descriptors=[307080, 1001],
        section4_length=7, section4_data_offset=8 + 22 + 11 + 4, section4_data_length=3)
    assert {name: getattr(m, name) for name in FIELDS} == expected
    assert SAMPLE[m.section4_data_offset:m.section4_data_offset + m.section4_data_length] == b"\x01\x02\x03"
    for flag in ("local_section_present", "observed_data", "compressed_data"):
        assert type(getattr(m, flag)) is bool


def test_class_shape():
    cls = q.BufrMessage
    assert [k for k, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"] == FIELDS
    with pytest.raises(TypeError):
        cls()
    m = q.parse_bytes(SAMPLE)
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(m, name, 1)


def test_descriptor_list_is_a_new_copy_each_time():
    m = q.parse_bytes(SAMPLE)
    first = m.unexpanded_descriptors
    first.append(1)
    assert m.unexpanded_descriptors == [307080, 1001]
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors


@pytest.mark.parametrize("descriptors, text", [
    ((307080, 1001), "[307080, 1001]"),
    ((), "[]"),
    ((363255,), "[363255]"),
])
def test_repr(descriptors, text):
    msg = build(descriptors=descriptors, subsets=1)
    assert repr(q.parse_bytes(msg)) == f"BufrMessage(edition=4, length={len(msg)}, subsets=1, descriptors={text})"


def test_identity_equality():
    a, b = q.parse_bytes(SAMPLE), q.parse_bytes(SAMPLE)
    assert a != b and a == a
    assert hash(a) != hash(b) or a is b


def test_section2_and_its_flag():
    msg = build(section2=b"local data", descriptors=(1001,))
    m = q.parse_bytes(msg)
    assert (m.local_section_present, m.section2_length, m.section4_data_offset) == (True, 13, 8 + 22 + 13 + 9 + 4)
    # A reserved bit alone also announces section 2.
    msg = bytearray(msg)
    msg[17] = 0x01
    assert q.parse_bytes(bytes(msg)).section2_length == 13


def test_fixed_offsets_whatever_section1_declares():
    m = q.parse_bytes(build(extra=b"\xff" * 5, master_version=30))
    assert (m.section1_length, m.master_tables_version_number) == (27, 30)


@pytest.mark.parametrize("octets, message", [
    (b"", "message is too short to be BUFR"),
    (b"BUFR\x00\x00", "message is too short to be BUFR"),
    (b"xy" + SAMPLE, "missing BUFR marker"),
    (SAMPLE + b"\x00", f"declared length {len(SAMPLE)} does not match buffer length {len(SAMPLE) + 1}"),
    (SAMPLE[:7] + b"\x03" + SAMPLE[8:-1], "unsupported BUFR edition 3; only edition 4 is implemented"),
    (b"BUFR\x00\x00\x08\x04", "section 1 at offset 8 is truncated"),
    (SAMPLE[:-1] + b"8", "section 5 terminator is not 7777"),
    (with_total_length(SAMPLE[:-2]), "section 5 at offset %d is truncated" % (len(SAMPLE) - 4)),
    (with_total_length(b"BUFR\x00\x00\x00\x04" + be24(3) + b"\x00\x00\x00"), "section 0 at offset 17 is truncated"),
    (with_total_length(b"BUFR\x00\x00\x00\x04" + be24(3) + section1()[3:16]), "section 0 at offset 23 is truncated"),
])
def test_parse_bytes_failures(octets, message):
    with pytest.raises(ValueError) as info:
        q.parse_bytes(octets)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("pad", [0x00, 0x20, 0x80, 0xC1, 0xFF])
@pytest.mark.parametrize("codes", [b"", b"\xc1\x0b", b"\xc1\x0b\x00\x01"])
def test_odd_octet_after_descriptors_is_padding(codes, pad):
    # Editions 2 and 3 made section 3 even with a pad octet (zero, from some encoders a
    # space): a lone trailing octet is never half a descriptor, whatever it holds.
    padded = q.parse_bytes(build(descriptor_area=codes + bytes([pad])))
    plain = q.parse_bytes(build(descriptor_area=codes))
    assert padded.section3_length == plain.section3_length + 1
    assert padded.unexpanded_descriptors == plain.unexpanded_descriptors
    assert padded.number_of_subsets == plain.number_of_subsets


def test_bytes_subclass_is_accepted():
    class Octets(bytes):
        pass
    assert q.parse_bytes(Octets(SAMPLE)).total_length == len(SAMPLE)
    assert q.parse_bytes(data=SAMPLE).total_length == len(SAMPLE)


def test_parse_file(tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(SAMPLE)
    assert q.parse_file(str(path)).unexpanded_descriptors == [307080, 1001]
    assert q.parse_file(path=str(path)).total_length == len(SAMPLE)
    # One message and nothing else: a second message makes the lengths disagree.
    path.write_bytes(SAMPLE * 2)
    expected = f"^declared length {len(SAMPLE)} does not match buffer length {2 * len(SAMPLE)}$"
    with pytest.raises(ValueError, match=expected):
        q.parse_file(str(path))
    path.write_bytes(b"\r\r\n" + SAMPLE)
    with pytest.raises(ValueError, match="^missing BUFR marker$"):
        q.parse_file(str(path))

"""Hand-built BUFR edition 4 messages for the Python tests."""
import struct


def be24(n):
    return n.to_bytes(3, "big")


def section1(*, master_table=0, centre=98, subcentre=0, update=0, section2_flag=0, category=0,
             intl_subcategory=0, local_subcategory=0, master_version=38, local_version=0,
             when=(2024, 1, 2, 3, 4, 5), extra=b""):
    """Section 1 of 22 octets (plus `extra`), length included."""
    year, month, day, hour, minute, second = when
    body = struct.pack(">BHHBBBBBBBHBBBBB", master_table, centre, subcentre, update, section2_flag,
                       category, intl_subcategory, local_subcategory, master_version,
                       local_version, year, month, day, hour, minute, second) + extra
    return be24(3 + len(body)) + body


def packed(code):
    """A descriptor code as the two octets of section 3."""
    f, x, y = code // 100000, code // 1000 % 100, code % 1000
    return ((f << 14) | (x << 8) | y).to_bytes(2, "big")


def build(*, descriptors=(1001,), subsets=1, flags=0x80, data=b"\x00\x00", section2=None,
          terminator=b"7777", trailer=b"", descriptor_area=None, **header):
    """A whole message; section lengths and the total length are filled in."""
    s1 = section1(section2_flag=0x80 if section2 is not None else 0, **header)
    s2 = b"" if section2 is None else be24(3 + len(section2)) + section2
    area = descriptor_area if descriptor_area is not None else b"".join(packed(c) for c in descriptors)
    s3 = be24(7 + len(area)) + b"\x00" + subsets.to_bytes(2, "big") + bytes([flags]) + area
    s4 = be24(4 + len(data)) + b"\x00" + data
    body = s1 + s2 + s3 + s4 + terminator + trailer
    return b"BUFR" + be24(8 + len(body)) + b"\x04" + body


def with_total_length(octets):
    """The octets with section 0's total length set to their own length."""
    return octets[:4] + be24(len(octets)) + octets[7:]

"""Builders for the decode tests: BUFR edition 4 messages written bit by bit, and table
directories laid out the ecCodes way, written into a temporary directory."""
import os
import pathlib

CORPUS = pathlib.Path("/work/shared/corpus")
DEFINITIONS = pathlib.Path(os.environ.get("QUORVEX_TEST_DEFINITIONS", "/usr/share/eccodes/definitions"))


class Bits:
    """Most significant bit first, as section 4 is read."""

    def __init__(self):
        self.fields = []  # binary digit strings
        self.count = 0

    def put(self, value, width):
        assert 0 <= value < (1 << width) or (width == 0 and value == 0)
        if width:
            self.fields.append(format(value, f"0{width}b"))
        self.count += width
        return self

    def text(self, s, width=None):
        raw = s.encode("latin-1")
        width = 8 * len(raw) if width is None else width
        assert width % 8 == 0 and len(raw) * 8 <= width
        raw = raw + b" " * (width // 8 - len(raw))
        return self.put(int.from_bytes(raw, "big") if raw else 0, width)

    def octets(self):
        digits = "".join(self.fields)
        digits += "0" * (-len(digits) % 8)
        return int(digits, 2).to_bytes(len(digits) // 8, "big") if digits else b""


def descriptor_octets(code):
    f, x, y = code // 100000, code // 1000 % 100, code % 1000
    return ((f << 14) | (x << 8) | y).to_bytes(2, "big")


def message(descriptors, data, subsets=1, compressed=False, master_table=0, centre=98,
            subcentre=0, master_version=38, local_version=0, category=0):
    """One edition 4 message; `data` is the octets of section 4 after its 4-octet header
    (bytes, or a Bits that is padded to whole octets)."""
    if isinstance(data, Bits):
        data = data.octets()
    section1 = bytearray(22)
    section1[0:3] = (22).to_bytes(3, "big")
    section1[3] = master_table
    section1[4:6] = centre.to_bytes(2, "big")
    section1[6:8] = subcentre.to_bytes(2, "big")
    section1[10] = category
    section1[13] = master_version
    section1[14] = local_version
    section1[15:17] = (2024).to_bytes(2, "big")
    section1[17:22] = bytes([5, 17, 12, 0, 0])
    codes = b"".join(descriptor_octets(c) for c in descriptors)
    section3 = (7 + len(codes)).to_bytes(3, "big") + b"\0" + subsets.to_bytes(2, "big")
    section3 += bytes([0x80 | (0x40 if compressed else 0)]) + codes
    section4 = (4 + len(data)).to_bytes(3, "big") + b"\0" + data
    body = bytes(section1) + section3 + section4 + b"7777"
    return b"BUFR" + (8 + len(body)).to_bytes(3, "big") + b"\x04" + body


def element(code, name, unit="K", scale=0, reference=0, width=8):
    return (code, name, unit, scale, reference, width)


def write_tables(directory, elements, sequences=None, code_tables=None):
    """An ecCodes-style table directory: element.table, sequence.def and codetables/."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    lines = ["#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width"]
    for code, name, unit, scale, reference, width in elements:
        kind = "string" if unit == "CCITT IA5" else "long"
        lines.append(f"{code:06d}|e{code}|{kind}|{name}|{unit}|{scale}|{reference}|{width}|x|0|0")
    (directory / "element.table").write_text("\n".join(lines) + "\n", encoding="utf-8")
    seq = [f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]'
           for code, members in (sequences or {}).items()]
    (directory / "sequence.def").write_text("\n".join(seq) + "\n", encoding="utf-8")
    if code_tables:
        (directory / "codetables").mkdir(exist_ok=True)
        for code, entries in code_tables.items():
            text = "".join(f"{key} {key} {meaning}\n" for key, meaning in entries.items())
            (directory / "codetables" / f"{code}.table").write_text(text, encoding="utf-8")
    return str(directory)


def split_messages(buf):
    """(offset, length) of every message, found as the module's scan finds them."""
    out = []
    p = 0
    while len(buf) - p >= 4:
        k = buf.find(b"BUFR", p)
        if k < 0 or k + 8 > len(buf):
            break
        length = int.from_bytes(buf[k + 4:k + 7], "big")
        if length == 0 or k + length > len(buf):
            break
        out.append((k, length))
        p = k + length
    return out

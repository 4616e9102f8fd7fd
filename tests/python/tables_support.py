"""Helpers of the table tests: table directories on disk and minimal BUFR messages."""
import os
import pathlib
import struct

DEFINITIONS = pathlib.Path(os.environ.get("QUORVEX_TEST_DEFINITIONS", "/usr/share/eccodes/definitions"))
ECCODES_TABLES = DEFINITIONS / "bufr" / "tables" / "0"


def element_line(code, name, unit="Numeric", scale=0, reference=0, width=8, abbreviation="x",
                 element_type="long"):
    return f"{code:06d}|{abbreviation}|{element_type}|{name}|{unit}|{scale}|{reference}|{width}\n"


def write_table_dir(directory, elements=(), sequences=None, code_tables=None):
    """element.table from (code, name[, unit, scale, reference, width]) tuples, sequence.def
    from {code: members}, codetables/ from {code: {raw: meaning}}."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "element.table").write_text("".join(element_line(*e) for e in elements))
    text = "".join(f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n'
                   for code, members in (sequences or {}).items())
    (directory / "sequence.def").write_text(text)
    for code, table in (code_tables or {}).items():
        (directory / "codetables").mkdir(exist_ok=True)
        (directory / "codetables" / f"{code}.table").write_text(
            "".join(f"{raw} {raw} {meaning}\n" for raw, meaning in table.items()))
    return str(directory)


def packed(code):
    f, x, y = code // 100000, (code // 1000) % 100, code % 1000
    return struct.pack(">H", (f << 14) | (x << 8) | y)


def message_bytes(descriptors=(1001,), master_table=0, centre=98, subcentre=0, master_version=38,
                  local_version=0):
    """One uncompressed edition-4 message with the given header and descriptors (no data)."""
    section1 = struct.pack(">BHHBBBBBBBHBBBBB", master_table, centre, subcentre, 0, 0, 0, 0, 0,
                           master_version, local_version, 2024, 1, 2, 3, 4, 5)
    section1 = (len(section1) + 3).to_bytes(3, "big") + section1
    body3 = b"\x00" + struct.pack(">HB", 1, 0x80) + b"".join(packed(c) for c in descriptors)
    section3 = (len(body3) + 3).to_bytes(3, "big") + body3
    section4 = (4).to_bytes(3, "big") + b"\x00"
    body = section1 + section3 + section4 + b"7777"
    return b"BUFR" + (len(body) + 8).to_bytes(3, "big") + b"\x04" + body

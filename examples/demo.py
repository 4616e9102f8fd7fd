#!/usr/bin/env python3
"""Lists the BUFR messages of the example files (or of the files named on the command line),
one line per message, and decodes their values when the module can.

    PYTHONPATH=build python examples/demo.py [FILE ...] [--values N] [--definitions ROOT]
"""
import argparse
import pathlib
import sys
from collections.abc import Iterator

import _quorvex

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_FILES = [HERE / "synop_wigos.bufr", HERE / "aircraft_mrar_compressed.bufr"]
DEFINITIONS = "/usr/share/eccodes/definitions"  # Debian's libeccodes-data


def message_spans(data: bytes, messages: list[_quorvex.BufrMessage]) -> Iterator[tuple[int, bytes]]:
    """(offset, octets) of each parsed message: the scan resumes after each declared length."""
    offset = 0
    for m in messages:
        offset = data.index(b"BUFR", offset)
        yield offset, data[offset:offset + m.total_length]
        offset += m.total_length


def header_line(index: int, offset: int, m: _quorvex.BufrMessage) -> str:
    when = (f"{m.typical_year:04}-{m.typical_month:02}-{m.typical_day:02} "
            f"{m.typical_hour:02}:{m.typical_minute:02}:{m.typical_second:02}")
    codes = m.unexpanded_descriptors
    shown = " ".join(f"{c:06}" for c in codes[:4]) + (" ..." if len(codes) > 4 else "")
    return (f"  #{index:<3} at {offset:>6}  {m.total_length:>6} octets  ed{m.edition}  "
            f"centre {m.originating_centre}/{m.originating_subcentre}  "
            f"category {m.data_category}/{m.international_data_subcategory}/{m.local_data_subcategory}  "
            f"tables {m.master_tables_version_number}/{m.local_tables_version_number}  {when}  "
            f"subsets {m.number_of_subsets}{' compressed' if m.compressed_data else ''}  "
            f"descriptors {shown}")


def show_values(octets: bytes, definitions: str, limit: int) -> None:
    try:
        values = _quorvex.decode_values_with_definitions(octets, definitions)
    except ValueError as e:
        print(f"       cannot decode: {e}")
        return
    print(f"       {len(values)} values; the first {min(limit, len(values))}:")
    for v in values[:limit]:
        data: str | float | int | None = v.data
        if isinstance(data, float) and data.is_integer():
            data = int(data)
        print(f"       {v.descriptor:06}  {v.name[:48]:<48}  {data!r}")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=pathlib.Path, default=DEFAULT_FILES)
    parser.add_argument("--values", type=int, default=8, help="values shown per message (default 8)")
    parser.add_argument("--definitions", default=DEFINITIONS, help="ecCodes-style definitions root")
    args = parser.parse_args(argv)

    decode = hasattr(_quorvex, "decode_values_with_definitions") and pathlib.Path(args.definitions).is_dir()
    status = 0
    for path in args.files:
        try:
            messages = _quorvex.parse_all_file(str(path))
        except (OSError, ValueError) as e:
            print(f"{path.name}: {e}")
            status = 1
            continue
        print(f"{path.name}: {len(messages)} message(s)")
        data = path.read_bytes()
        for index, (offset, octets) in enumerate(message_spans(data, messages), 1):
            print(header_line(index, offset, messages[index - 1]))
            if decode:
                show_values(octets, args.definitions, args.values)
    if not decode:
        print("(headers only: this build of _quorvex has no decode_values_with_definitions, "
              f"or {args.definitions} is missing)")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

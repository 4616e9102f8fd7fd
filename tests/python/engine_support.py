"""The engine's table set against the per-value decoder, message by message: shared by the
equivalence test and by the corpus tally (python tests/python/engine_support.py FILE...)."""
import pathlib
import struct
import sys

import _quorvex
import quorvex
from quorvex import _engine


def _bits(x):
    return None if x is None else struct.pack("<d", x)


def expected_rows(values):
    """The engine's row of each per-value DecodedValue: descriptor, name, value bits, text,
    raw, meaning. A value without raw bits is a text: it has no number in the table, and the
    engine gives it without the spaces and NULs that pad it; a missing value has no meaning
    there, whatever its code table says of its bits."""
    return [
        (v.descriptor, v.name, _bits(v.raw_value) if v.raw is not None else None,
         None if v.raw_text is None else v.raw_text.rstrip(" \x00"), v.raw,
         v.raw_meaning if v.raw_value is not None else None)
        for v in values
    ]


def _as_ascii(text):
    """An engine text as the per-value decoder gives it: each character beyond ASCII (an octet of
    0x80 and above) as "?"."""
    return None if text is None else "".join(c if c < "\x80" else "?" for c in text)


def engine_rows(table):
    """Rows of the engine's table grouped by message index, texts as the per-value decoder gives
    them."""
    names = ("message", "descriptor", "name", "value", "text", "raw", "meaning")
    columns = [table.column(n).to_pylist() for n in names]
    by_message = {}
    for message, descriptor, name, value, text, raw, meaning in zip(*columns):
        by_message.setdefault(message, []).append((descriptor, name, _bits(value), _as_ascii(text), raw, meaning))
    return by_message


_TABLE_SETS = {}


def table_set(root, message):
    """TableSet.from_definitions, loaded once per selection."""
    key = (str(root), message.master_table_number, message.master_tables_version_number,
           message.local_tables_version_number, message.originating_centre, message.originating_subcentre)
    if key not in _TABLE_SETS:
        _TABLE_SETS[key] = _quorvex.TableSet.from_definitions(str(root), message)
    return _TABLE_SETS[key]


def compare(data, root, threads=2):
    """(messages compared, messages the per-value decoder refuses, mismatch texts) for the
    messages of `data`."""
    table = quorvex.read_arrow(data, tables=str(root), threads=threads, on_bad_message="skip")
    got = engine_rows(table)
    compared, refused, mismatches = 0, 0, []
    for index, (offset, length, error) in enumerate(_engine.scan(data)):
        if error is not None:
            continue
        octets = bytes(data[offset : offset + length])
        try:
            message = _quorvex.parse_bytes(octets)
            tables = table_set(root, message)
            values = _quorvex.decode_values_with_tables(octets, tables)
        except ValueError:
            refused += 1
            continue
        compared += 1
        want = expected_rows(values)
        have = got.get(index, [])
        if have != want:
            first = next((k for k, (a, b) in enumerate(zip(have, want)) if a != b), min(len(have), len(want)))
            mismatches.append(f"message {index}: {len(have)} rows against {len(want)}, first difference at row {first}")
    return compared, refused, mismatches


if __name__ == "__main__":
    root = pathlib.Path("/usr/share/eccodes/definitions")
    totals = [0, 0, 0]
    for name in sys.argv[1:]:
        compared, refused, mismatches = compare(pathlib.Path(name).read_bytes(), root)
        totals[0] += compared
        totals[1] += refused
        totals[2] += len(mismatches)
        for m in mismatches:
            print(f"{name}: {m}")
    print(f"messages equal: {totals[0] - totals[2]} of {totals[0]} compared; "
          f"{totals[1]} refused by the per-value decoder; {totals[2]} differ")

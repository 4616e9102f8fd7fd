#!/usr/bin/env python3
"""Turn the WMO BUFR4 CSV release into an ecCodes-style table directory.

    make_bundled_tables.py SOURCE_DIR OUT_DIR

SOURCE_DIR holds the WMO files (BUFRCREX_TableB_en_*.csv, BUFR_TableD_en_*.csv,
BUFRCREX_CodeFlag_en_*.csv). OUT_DIR receives the release's LICENSE.md and VERSION.txt and:

- element.table: one "|"-separated record per Table B element, in the column order
  code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width;
- sequence.def: one statement "CODE" = [ m1, m2, ... ] per Table D sequence;
- codetables/<code>.table: "KEY KEY MEANING" lines for every code and flag table. Code
  tables are keyed by code figure, flag tables by bit number (1 = most significant bit
  of the field), as the WMO publishes them. Ranges ("Reserved") and the "All N" missing
  entries are left out.

The abbreviation is the lowerCamelCase of the WMO element name ("Temperature/air
temperature" -> airTemperature, "WMO block number" -> blockNumber). Only the standard
library is used: CMake runs this with the build's interpreter.
"""

from __future__ import annotations

import csv
import glob
import os
import re
import shutil
import sys
from collections.abc import Iterator

_WORD = re.compile(r"[A-Za-z0-9]+")
# "Temperature/air temperature": alternatives between words (not "4/20 mA").
_ALTERNATIVES = re.compile(r"(?<=[A-Za-z])/(?=[A-Za-z])")
# A trailing "(high accuracy)", "(coarse accuracy)" ... names how a quantity is encoded,
# not the quantity: latitude is latitude whatever the width.
_ACCURACY = re.compile(r"\s*\([^)]*accuracy\)\s*$", re.IGNORECASE)
_CODE_FIGURE = re.compile(r"\d+")


def abbreviation(name: str) -> str:
    """lowerCamelCase key of a WMO element name.

    Of a name with "/" alternatives the last one is kept ("Temperature/air temperature"
    names air temperature); a possessive "'s" and a leading "WMO" are dropped, as are
    accuracy qualifiers in a trailing parenthesis. The remaining words are joined, the
    first in lower case, the others capitalised.
    """
    text = name.replace("\u2019", "'").replace("'s ", " ").replace("'", "")
    text = _ALTERNATIVES.split(text)[-1]
    text = _ACCURACY.sub("", text)
    words = _WORD.findall(text)
    if len(words) > 1 and words[0] == "WMO":
        words = words[1:]
    if not words:
        return ""
    return words[0].lower() + "".join(w[:1].upper() + w[1:].lower() for w in words[1:])


def _one_line(text: str) -> str:
    """Collapse runs of white space (line breaks included) to single blanks."""
    return " ".join(text.split())


def _rows(source: str, prefix: str) -> Iterator[dict[str, str]]:
    for path in sorted(glob.glob(os.path.join(source, prefix + "*.csv"))):
        with open(path, encoding="utf-8-sig", newline="") as f:
            yield from csv.DictReader(f)


def _element_type(unit: str, scale: int) -> str:
    kind = unit.strip().lower()
    if kind == "code table":
        return "table"
    if kind == "flag table":
        return "flag"
    if kind == "ccitt ia5":
        return "string"
    return "double" if scale > 0 else "long"


def element_records(source: str) -> list[list[str]]:
    """Table B as element.table records, ordered by code (a later row of a code wins)."""
    records: dict[int, list[str]] = {}
    for row in _rows(source, "BUFRCREX_TableB_en_"):
        code = int(row["FXY"])
        name = _one_line(row["ElementName_en"])
        unit = _one_line(row["BUFR_Unit"])
        scale = int(row["BUFR_Scale"])
        records[code] = [
            f"{code:06d}",
            abbreviation(name),
            _element_type(unit, scale),
            name.replace("|", "/"),
            unit,
            str(scale),
            str(int(row["BUFR_ReferenceValue"])),
            str(int(row["BUFR_DataWidth_Bits"])),
            _one_line(row["CREX_Unit"]),
            _one_line(row["CREX_Scale"]),
            _one_line(row["CREX_DataWidth_Char"]),
        ]
    return [records[code] for code in sorted(records)]


def sequences(source: str) -> dict[int, list[int]]:
    """Table D: members of every sequence, in row order; a later file replaces a sequence."""
    result: dict[int, list[int]] = {}
    for path in sorted(glob.glob(os.path.join(source, "BUFR_TableD_en_*.csv"))):
        in_file: dict[int, list[int]] = {}
        with open(path, encoding="utf-8-sig", newline="") as f:
            for row in csv.DictReader(f):
                in_file.setdefault(int(row["FXY1"]), []).append(int(row["FXY2"]))
        result.update(in_file)
    return dict(sorted(result.items()))


def code_tables(source: str) -> dict[int, dict[int, str]]:
    """Code and flag table meanings by element code, then by code figure or bit number."""
    tables: dict[int, dict[int, str]] = {}
    for row in _rows(source, "BUFRCREX_CodeFlag_en_"):
        figure = row["CodeFigure"].strip()
        if not _CODE_FIGURE.fullmatch(figure):
            continue  # a range of reserved figures or the "All N" missing value
        meaning = _one_line(row["EntryName_en"])
        if not meaning:
            subs = (row.get("EntryName_sub1_en") or "", row.get("EntryName_sub2_en") or "")
            meaning = _one_line(" ".join(subs))
        if meaning:
            tables.setdefault(int(row["FXY"]), {})[int(figure)] = meaning
    return tables


def write(source: str, out: str) -> None:
    staging = out + ".tmp"
    shutil.rmtree(staging, ignore_errors=True)
    os.makedirs(os.path.join(staging, "codetables"))
    with open(os.path.join(staging, "element.table"), "w", encoding="utf-8", newline="\n") as f:
        f.write("#code|abbreviation|type|name|unit|scale|reference|width|crex_unit|crex_scale|crex_width\n")
        for record in element_records(source):
            f.write("|".join(record) + "\n")
    with open(os.path.join(staging, "sequence.def"), "w", encoding="utf-8", newline="\n") as f:
        for code, members in sequences(source).items():
            f.write(f'"{code:06d}" = [  ' + ", ".join(f"{m:06d}" for m in members) + " ]\n")
    for code, table in code_tables(source).items():
        path = os.path.join(staging, "codetables", f"{code}.table")
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            for key in sorted(table):
                f.write(f"{key} {key} {table[key]}\n")
    for name in ("LICENSE.md", "VERSION.txt"):  # the tables travel with their licence and origin
        if os.path.isfile(os.path.join(source, name)):
            shutil.copy(os.path.join(source, name), os.path.join(staging, name))
    shutil.rmtree(out, ignore_errors=True)
    os.replace(staging, out)


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    write(argv[1], argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

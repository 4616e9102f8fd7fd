"""Rows guessed from the long table: one row per subset (or per occurrence of the keys that
repeat within a subset), with ecCodes-style key names.

The engine gives a long table, one row per value with its key (the element's abbreviation). The
wide frame is built from it with whole-array operations: a loop runs per requested column, never
per value."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _engine
from ._arrow import table_of
from ._errors import Bad
from ._sources import check_intact

# Header keys as ecCodes names them, and the header field each one is read from.
HEADER_KEYS: dict[str, str] = {
    "edition": "edition",
    "masterTableNumber": "master_table_number",
    "bufrHeaderCentre": "centre",
    "bufrHeaderSubCentre": "sub_centre",
    "updateSequenceNumber": "update_sequence_number",
    "dataCategory": "data_category",
    "internationalDataSubCategory": "international_sub_category",
    "dataSubCategory": "local_sub_category",
    "masterTablesVersionNumber": "master_table_version",
    "localTablesVersionNumber": "local_table_version",
    "typicalYear": "typical_year",
    "typicalMonth": "typical_month",
    "typicalDay": "typical_day",
    "typicalHour": "typical_hour",
    "typicalMinute": "typical_minute",
    "typicalSecond": "typical_second",
    "typicalDate": "",
    "typicalTime": "",
    "numberOfSubsets": "number_of_subsets",
    "observedData": "observed",
    "compressedData": "compressed",
}
SUBSET_NUMBER = "subsetNumber"
DATA_DATETIME = "data_datetime"
DATETIME_KEYS = ("year", "month", "day", "hour", "minute", "second")
REPLICATION_FACTORS = np.array([31000, 31001, 31002, 31011, 31012], dtype=np.uint32)
DATA_PRESENT = 31031

Filter = Any  # a value, a list/tuple/set of values, a slice(low, high) or a callable


def read_rows(buffers: list[Any], messages: list[tuple[int, int, int, int]], chooser: Any, threads: int,
              keys: list[str], flat: bool = False, optional: Sequence[str] = (),
              max_message_rows: int = 1 << 22) -> tuple[Any, list[Bad], list[str]]:
    """Rows of `keys` (message, subset, then one column per key) guessed from the long table, the
    messages the engine could not decode, and the keys the decoded messages hold; `optional` keys
    do not decide which rows there are."""
    import pandas as pd

    batch, bad = _engine.decode(buffers, messages, chooser, threads, True, None, max_message_rows)
    for buffer in buffers:
        check_intact(buffer)
    long = table_of(batch).combine_chunks()
    if long.num_rows == 0:
        return pd.DataFrame({"message": pd.Series(dtype=np.int64), "subset": pd.Series(dtype=np.int64),
                             **{k: pd.Series(dtype=np.float64) for k in ([] if flat else keys)}}), bad, []
    table = LongTable(long, {"message": np.array([m[1] for m in messages], dtype=np.int64)})
    if flat:
        return table.flat({}), bad, table.names
    frame = table.select(["message", SUBSET_NUMBER, *keys], {}, optional)
    return frame.rename(columns={SUBSET_NUMBER: "subset"}), bad, table.names


def parse_column(name: str) -> tuple[str, int]:
    """("key", n) for "#n#key", ("key", 0) for a plain key."""
    if name.startswith("#"):
        number, sep, key = name[1:].partition("#")
        if sep and number.isdigit() and int(number) > 0 and key:
            return key, int(number)
    return name, 0


def filter_mask(values: Any, condition: Filter) -> np.ndarray:
    """Which of `values` (a pandas Series) satisfy one filter."""
    if isinstance(condition, slice):
        mask = np.ones(len(values), dtype=bool)
        if condition.start is not None:
            mask &= (values >= condition.start).to_numpy(dtype=bool, na_value=False)
        if condition.stop is not None:
            mask &= (values <= condition.stop).to_numpy(dtype=bool, na_value=False)
        return mask
    if callable(condition):
        try:
            result = np.asarray(condition(values))
        except (TypeError, ValueError):
            result = None
        if result is None or result.shape != (len(values),) or result.dtype != bool:
            result = np.fromiter((bool(condition(v)) for v in values), dtype=bool, count=len(values))
        return result
    if isinstance(condition, (list, tuple, set, frozenset, np.ndarray)):
        return np.asarray(values.isin(list(condition)).to_numpy(dtype=bool, na_value=False))
    return np.asarray((values == condition).to_numpy(dtype=bool, na_value=False))


def dictionary_array(column: Any) -> Any:
    """One DictionaryArray for a column that may come in chunks."""
    import pyarrow as pa

    if isinstance(column, pa.ChunkedArray):
        if column.num_chunks == 1:
            return column.chunk(0)
        if column.num_chunks == 0:
            return pa.array([], column.type)
        return pa.concat_arrays(column.unify_dictionaries().chunks)
    return column


def plain_array(column: Any) -> np.ndarray:
    """A column without nulls as numpy, without a copy when it comes in one chunk."""
    import pyarrow as pa

    if isinstance(column, pa.ChunkedArray) and column.num_chunks == 1:
        column = column.chunk(0)
    return np.asarray(column.to_numpy())


class LongTable:
    """The long table and what the pivots read of it: key codes, rows grouped by subset, values."""

    def __init__(self, long: Any, headers: dict[str, np.ndarray]):
        self.long = long
        self.headers = headers
        self.size = long.num_rows
        keys = dictionary_array(long.column("key"))
        self.names: list[str] = keys.dictionary.to_pylist()
        canonical: dict[str, int] = {}
        for i, name in enumerate(self.names):
            canonical.setdefault(name, i)
        self.code_of = canonical
        # One code per name, should the dictionary hold a name twice.
        self.remap = None if len(canonical) == len(self.names) else \
            np.array([canonical[n] for n in self.names], dtype=np.int32)
        self.key_indices = keys.indices
        self._valid: np.ndarray | None = None
        self.message = plain_array(long.column("message"))
        self.subset = plain_array(long.column("subset"))

    def raw_codes(self) -> np.ndarray:
        """The dictionary index of every row, read in place; meaningless where the key is null."""
        indices = self.key_indices
        dtype = np.dtype(indices.type.to_pandas_dtype())
        return np.frombuffer(
            indices.buffers()[1], dtype=dtype, count=len(indices), offset=dtype.itemsize * indices.offset
        )

    def valid(self, rows: np.ndarray) -> np.ndarray:
        """Whether the rows have a key."""
        indices = self.key_indices
        if indices.null_count == 0:
            return np.ones(len(rows), dtype=bool)
        if self._valid is None:
            bits = np.frombuffer(indices.buffers()[0], dtype=np.uint8)
            self._valid = np.unpackbits(bits, bitorder="little")[indices.offset:indices.offset + len(indices)]
        return np.asarray(self._valid[rows], dtype=bool)

    def codes(self, rows: np.ndarray | None = None) -> np.ndarray:
        """The key code of the rows (all rows when None), -1 where there is no key."""
        raw = self.raw_codes()
        if rows is not None:
            raw = raw[rows]
        codes = raw.astype(np.int64) if self.remap is None else self.remap[raw].astype(np.int64)
        everywhere = np.arange(self.size) if rows is None else rows
        codes[~self.valid(everywhere)] = -1
        return codes

    def find(self, keys: list[str]) -> np.ndarray:
        """The rows of any of the keys, in position order, found in one pass over the table."""
        wanted = np.zeros(len(self.names) + 1, dtype=bool)  # the last entry catches out-of-range indices
        codes = {self.code_of[k] for k in keys if k in self.code_of}
        for i, name in enumerate(self.names):
            wanted[i] = self.code_of[name] in codes
        rows = np.flatnonzero(np.take(wanted, self.raw_codes(), mode="clip"))
        return np.asarray(rows[self.valid(rows)])

    def all_subsets(self) -> Grouping:
        """One row per subset: the first of each."""
        change = np.empty(self.size, dtype=bool)
        change[:1] = True
        change[1:] = (self.message[1:] != self.message[:-1]) | (self.subset[1:] != self.subset[:-1])
        return Grouping(self, np.flatnonzero(change))

    def text_rows(self, rows: np.ndarray) -> np.ndarray:
        """Which of the rows are of character elements (their unit is CCITT IA5), missing ones included."""
        import pyarrow.compute as pc

        units = dictionary_array(self.long.column("unit"))
        text_units = np.flatnonzero(np.asarray(units.dictionary.to_pylist(), dtype=object) == "CCITT IA5")
        taken = pc.fill_null(units.indices.take(rows), -1).to_numpy()
        has_text = pc.is_valid(self.long.column("text").take(rows)).to_numpy(zero_copy_only=False)
        return np.asarray(np.isin(taken, text_units) | has_text)

    def numbers(self, rows: np.ndarray) -> np.ndarray:
        """The numeric values of the rows: NaN where missing or text."""
        taken = self.long.column("value").take(rows)
        return np.asarray(taken.to_numpy(zero_copy_only=False), dtype=np.float64)

    def texts(self, rows: np.ndarray) -> Any:
        """Texts without the trailing spaces and NULs that pad them to their width, as ecCodes gives them."""
        import pyarrow.compute as pc

        return pc.utf8_rtrim(self.long.column("text").take(rows), characters=" \x00")

    def header_column(self, name: str, messages: np.ndarray, subset_numbers: np.ndarray) -> Any:
        """A header key (or subsetNumber) for rows of the given messages and subsets."""
        import pandas as pd

        rows = np.searchsorted(self.headers["message"], messages)
        h = self.headers
        if name == "typicalDate":
            date = h["typical_year"] * 10000 + h["typical_month"] * 100 + h["typical_day"]
            return pd.Series(date[rows]).astype(str).to_numpy()
        if name == "typicalTime":
            time = h["typical_hour"] * 10000 + h["typical_minute"] * 100 + h["typical_second"]
            return pd.Series(time[rows]).map("{:06d}".format).to_numpy()
        if name == SUBSET_NUMBER:
            return subset_numbers
        return h[HEADER_KEYS[name]][rows]

    def select(self, columns: list[str], filters: dict[str, Filter], optional_keys: Sequence[str] = ()) -> Any:
        import pandas as pd

        wanted = list(dict.fromkeys(columns))
        asked = wanted + [f for f in filters if f not in wanted]
        data = [c for c in asked if c not in HEADER_KEYS and c not in (SUBSET_NUMBER, DATA_DATETIME, "message")
                and c not in optional_keys]
        optional = [k for k in DATETIME_KEYS if k not in data] if DATA_DATETIME in asked else []
        optional += [k for k in optional_keys if k not in optional]
        keys = {name: parse_column(name) for name in data + optional}
        if keys:
            groups = Grouping(self, self.find([key for key, _ in keys.values()]))
        else:
            groups = self.all_subsets()
        picks = {name: ColumnPick(groups, key, number) for name, (key, number) in keys.items()}
        counts = np.array([pick.counts for pick in picks.values()], dtype=np.int64).reshape(len(picks), groups.subsets)
        required = counts[:len(data)]
        keep = (required > 0).all(axis=0) if data else np.ones(groups.subsets, dtype=bool)
        most = required.max(axis=0, initial=1) if data else np.ones(groups.subsets, dtype=np.int64)
        per_subset = np.where(keep, np.maximum(most, 1), 0)
        row_subset = np.repeat(np.arange(groups.subsets), per_subset)
        row_start = np.cumsum(per_subset) - per_subset
        row_occurrence = np.arange(len(row_subset)) - row_start[row_subset]

        # A row stands where its first repeating key occurs; keys that repeat fewer times take the
        # value in force at the row's end.
        most_r = most[row_subset]
        anchor = np.full(len(row_subset), np.iinfo(np.int64).max)
        for i, pick in enumerate(list(picks.values())[:len(data)]):
            drives = counts[i][row_subset] == most_r
            if drives.all():
                np.minimum(anchor, pick.rows[pick.first(row_subset) + row_occurrence], out=anchor)
            elif drives.any():
                at = pick.first(row_subset[drives]) + row_occurrence[drives]
                anchor[drives] = np.minimum(anchor[drives], pick.rows[at])

        # A row reaches up to the next row's anchor, the last row of a subset to the subset's end.
        reach = groups.end[row_subset]
        same = np.flatnonzero(row_subset[1:] == row_subset[:-1])
        reach[same] = anchor[same + 1]

        first_anchor = anchor[row_start[row_subset]]
        rows = Rows(row_subset, row_occurrence, anchor, reach, first_anchor, most_r)
        out: dict[str, Any] = {}
        mask = np.ones(len(row_subset), dtype=bool)
        data_index = {name: i for i, name in enumerate(data)}

        def fill(names: list[str]) -> None:
            nonlocal mask
            for name in names:
                if name in data_index:
                    pick = picks[name]
                    out[name], absent = pick.values(*rows.at, counts[data_index[name]], rows.most)
                    if absent is not None:
                        mask &= ~absent
                elif name in picks:
                    # The time of a row for data_datetime: the subset's first year ... second.
                    out[name] = picks[name].first_values()[rows.subset]
                elif name == "message":
                    out[name] = groups.message[rows.subset]
                elif name in HEADER_KEYS or name == SUBSET_NUMBER:
                    out[name] = self.header_column(name, groups.message[rows.subset], groups.number[rows.subset])
            if DATA_DATETIME in names:
                out[DATA_DATETIME] = data_datetime(out, len(rows.subset))

        # The filters first, so that the other columns are made for the rows kept only.
        filtered = [*filters] + (optional if DATA_DATETIME in filters else [])
        fill(filtered)
        for name, condition in filters.items():
            mask &= filter_mask(pd.Series(out[name]), condition)
        if filters:
            keep = np.flatnonzero(mask)
            rows = rows.take(keep)
            out = {name: np.asarray(values)[keep] for name, values in out.items()}
            mask = np.ones(len(keep), dtype=bool)
        fill([name for name in asked + optional if name not in out])

        order = ["message"] if "message" in wanted else []
        order += [c for c in HEADER_KEYS if c in wanted]
        order += [SUBSET_NUMBER] if SUBSET_NUMBER in wanted else []
        order += sorted((c for c in wanted if c in picks), key=lambda c: picks[c].first_position)
        order += [DATA_DATETIME] if DATA_DATETIME in wanted else []
        kept = {}
        for name in order:
            column = np.asarray(out[name])[mask]
            kept[name] = column
        return pd.DataFrame(kept)

    def flat_keys(self, codes: np.ndarray, subsets: np.ndarray) -> np.ndarray:
        """Which rows are keys of their own, as ecCodes names them: not replication factors, not a
        data-present bitmap, and not the quality values that follow one (ecCodes attaches those to
        the values they qualify)."""
        descriptors = plain_array(self.long.column("descriptor"))
        keyed = (codes >= 0) & ~np.isin(descriptors, REPLICATION_FACTORS)
        bitmap = descriptors == DATA_PRESENT
        if bitmap.any():
            first = np.full(int(subsets.max(initial=0)) + 1, self.size)
            marks = np.flatnonzero(bitmap)
            np.minimum.at(first, subsets[marks], marks)
            quality = (descriptors // 1000 == 33) & (np.arange(self.size) > first[subsets])
            keyed &= ~bitmap & ~quality
        return np.asarray(keyed)

    def flat(self, filters: dict[str, Filter]) -> Any:
        import pandas as pd

        groups = self.all_subsets()
        every_subset = np.repeat(np.arange(groups.subsets), np.diff(np.append(groups.rows, self.size)))
        every_code = self.codes()
        rows = np.flatnonzero(self.flat_keys(every_code, every_subset))
        codes = every_code[rows]
        subsets = every_subset[rows]
        occurrence = occurrences(subsets, codes)
        width = int(occurrence.max(initial=0)) + 1
        unique, first, inverse = np.unique(codes * width + occurrence, return_index=True, return_inverse=True)
        by_position = np.argsort(first, kind="stable")
        rank = np.empty_like(by_position)
        rank[by_position] = np.arange(len(by_position))
        column = rank[inverse]
        names = [f"#{u % width + 1}#{self.names[u // width]}" for u in unique[by_position]]

        matrix = np.full((groups.subsets, len(names)), np.nan)
        matrix[subsets, column] = self.numbers(rows)
        texts = self.texts(rows)
        has_text = np.zeros(len(names), dtype=bool)
        text_rows = np.flatnonzero(self.text_rows(rows))
        has_text[column[text_rows]] = True

        out: dict[str, Any] = {}
        out["message"] = groups.message
        out["subset"] = groups.number
        text_columns = {}
        for text_column in np.flatnonzero(has_text):
            cells = np.full(groups.subsets, None, dtype=object)
            mine = text_rows[column[text_rows] == text_column]
            cells[subsets[mine]] = np.asarray(texts.take(mine).to_pylist(), dtype=object)
            text_columns[int(text_column)] = cells
        for j, name in enumerate(names):
            out[name] = text_columns[j] if has_text[j] else matrix[:, j]

        frame = pd.DataFrame(out)
        if filters:
            mask = np.ones(len(frame), dtype=bool)
            for name, condition in filters.items():
                key, number = parse_column(name)
                column_name = name if name in frame.columns else f"#{max(number, 1)}#{key}"
                if column_name not in frame.columns:
                    return frame.iloc[:0]
                mask &= filter_mask(frame[column_name], condition)
            frame = frame[mask].reset_index(drop=True)
        return frame


class Rows:
    """The output rows: per row its subset, occurrence, anchor, reach, the first anchor of its subset
    and the driving count of its subset."""

    def __init__(self, subset: np.ndarray, occurrence: np.ndarray, anchor: np.ndarray, reach: np.ndarray,
                 first_anchor: np.ndarray, most: np.ndarray):
        self.subset = subset
        self.at = (subset, occurrence, anchor, reach, first_anchor)
        self.most = most

    def take(self, keep: np.ndarray) -> Rows:
        subset, occurrence, anchor, reach, first_anchor = (a[keep] for a in self.at)
        return Rows(subset, occurrence, anchor, reach, first_anchor, self.most[keep])


class Grouping:
    """Rows of the long table (in position order) grouped by the subset they belong to."""

    def __init__(self, table: LongTable, rows: np.ndarray):
        self.table = table
        self.rows = rows
        message = table.message[rows]
        subset = table.subset[rows]
        change = np.empty(len(rows), dtype=bool)
        change[:1] = True
        change[1:] = (message[1:] != message[:-1]) | (subset[1:] != subset[:-1])
        self.of_row = np.cumsum(change) - 1
        starts = np.flatnonzero(change)
        self.subsets = len(starts)
        self.message = message[starts]
        self.number = subset[starts].astype(np.int64) + 1
        # Where each subset ends, as far as these rows tell: where the next one's rows begin.
        self.end = np.append(rows[starts[1:]], table.size).astype(np.int64)
        self.codes = table.codes(rows)
        self._numbers: np.ndarray | None = None
        # The rows' indices sorted by key code (a stable sort keeps each key's rows in position order).
        narrow = np.int16 if len(table.names) < 2 ** 15 else np.int32
        self.by_code = np.argsort(self.codes.astype(narrow), kind="stable")
        self.sorted_codes = self.codes[self.by_code]

    def rows_of(self, code: int) -> np.ndarray:
        """Indices into rows of the rows with this key code, in position order."""
        low, high = np.searchsorted(self.sorted_codes, [code, code + 1])
        return np.asarray(self.by_code[low:high])

    def numbers(self, at: np.ndarray) -> np.ndarray:
        """The numeric values of rows[at], taken from the table once for all the rows."""
        if self._numbers is None:
            self._numbers = self.table.numbers(self.rows)
        return np.asarray(self._numbers[at])


def occurrences(groups: np.ndarray, codes: np.ndarray) -> np.ndarray:
    """For rows in position order, how many earlier rows share both their group and their code."""
    order = np.lexsort((codes, groups))
    g, c = groups[order], codes[order]
    new = np.empty(len(order), dtype=bool)
    new[:1] = True
    new[1:] = (g[1:] != g[:-1]) | (c[1:] != c[:-1])
    starts = np.flatnonzero(new)
    sorted_occurrence = np.arange(len(order)) - starts[np.cumsum(new) - 1]
    result = np.empty(len(order), dtype=np.int64)
    result[order] = sorted_occurrence
    return result


class ColumnPick:
    """The rows of the long table that one requested column reads, in position order."""

    def __init__(self, groups: Grouping, key: str, number: int):
        self.groups = groups
        self.table = groups.table
        code = self.table.code_of.get(key, -2)
        at = groups.rows_of(code)
        subsets = groups.of_row[at]
        if number:
            nth = occurrences(subsets, np.zeros(len(at), np.int64)) == number - 1
            at, subsets = at[nth], subsets[nth]
        self.at = at
        self.rows = groups.rows[at]
        self.subsets = subsets
        self.first_position = int(self.rows[0]) if len(self.rows) else self.table.size
        self.is_text = bool(len(self.rows)) and bool(self.table.text_rows(self.rows[:64]).any())
        self.counts = np.bincount(subsets, minlength=groups.subsets)
        self.starts = np.cumsum(self.counts) - self.counts

    def first_values(self) -> np.ndarray:
        """Per subset, the value of the key's first occurrence (NaN where it has none)."""
        values = np.full(len(self.counts), np.nan)
        present = self.counts > 0
        values[present] = self.groups.numbers(self.at[self.starts[present]])
        return values

    def first(self, subsets: np.ndarray) -> np.ndarray:
        """Index in self.rows of each subset's first occurrence."""
        return np.asarray(self.starts[subsets])

    def values(self, row_subset: np.ndarray, row_occurrence: np.ndarray, anchor: np.ndarray,
               reach: np.ndarray, first_anchor: np.ndarray, counts: np.ndarray, most: np.ndarray
               ) -> tuple[Any, np.ndarray | None]:
        """Per output row, the value of this key, and where the row lacks it (None: nowhere).
        `counts` is per subset, `most` (the rows' driving count) per row.

        When the key drives the rows of its subset: the row's own occurrence. A key that repeats
        fewer times within the rows' stretch: its last occurrence before the row's reach, lacking on
        rows beyond its last occurrence (levels of another section of a sounding that the key is
        not part of). A key whose occurrences all come before the rows (a single key, or an outer
        repetition such as cloud layers before the levels): the last occurrence before the row's
        reach, else the subset's first one."""
        count = counts[row_subset]
        if len(self.rows) == 0:
            return np.full(len(row_subset), np.nan), np.ones(len(row_subset), dtype=bool)
        first = self.first(row_subset)
        absent: np.ndarray | None = None
        if (count == most).all():  # the key drives every row
            pick = first + row_occurrence
        elif (count == 1).all():  # a single key
            pick = first
        else:
            drives = count == most
            present = count > 0
            last_before = np.searchsorted(self.rows, reach, side="left") - 1
            within = (last_before >= first) & (last_before < first + count)
            pick = np.where(drives, first + row_occurrence, np.where(within, last_before, first))
            last_position = self.rows[np.maximum(first + count - 1, 0)]
            inner = present & ~drives & (count > 1) & (last_position >= first_anchor)
            in_span = within & (self.rows[np.maximum(last_before, 0)] >= anchor)
            # Rows past the key's last occurrence lack it; before that, the value in force counts.
            absent = ~present | (inner & ~in_span & (last_position < reach))
            pick = np.where(present, pick, 0)
        if self.is_text:
            cells = np.asarray(self.table.texts(self.rows[pick]).to_pylist(), dtype=object)
            if absent is not None:
                cells[absent] = None
            return cells, absent
        values = self.groups.numbers(self.at[pick])
        if absent is not None:
            values[absent] = np.nan
        return values, absent


def data_datetime(out: dict[str, Any], rows: int) -> np.ndarray:
    """The observation time from the year ... second keys in force on each row (minute and second
    0 when absent; fractions of a second kept to the microsecond); NaT where the date is missing
    or impossible."""
    parts = {}
    for key in DATETIME_KEYS:
        values = out.get(key)
        values = np.full(rows, np.nan) if values is None else np.asarray(values, dtype=np.float64)
        parts[key] = np.where(np.isnan(values), 0, values) if key in ("minute", "second") else values
    year, month, day = parts["year"], parts["month"], parts["day"]
    valid = ~(np.isnan(year) | np.isnan(month) | np.isnan(day) | np.isnan(parts["hour"]))
    valid &= (month >= 1) & (month <= 12) & (day >= 1) & (year >= 1) & (year <= 9999)
    valid &= (parts["hour"] >= 0) & (parts["hour"] < 24) & (parts["minute"] >= 0) & (parts["minute"] < 60)
    valid &= (parts["second"] >= 0) & (parts["second"] < 61)
    safe = {k: np.where(valid, v, 1).astype(np.int64) for k, v in parts.items() if k != "second"}
    months = ((safe["year"] - 1970) * 12 + safe["month"] - 1).astype("datetime64[M]")
    days = months.astype("datetime64[D]") + (safe["day"] - 1).astype("timedelta64[D]")
    valid &= days.astype("datetime64[M]") == months  # day within its month
    micro = np.round(np.where(valid, parts["second"], 0) * 1e6).astype(np.int64)
    stamps = days.astype("datetime64[us]") + (safe["hour"] * 3_600_000_000 + safe["minute"] * 60_000_000
                                             + micro).astype("timedelta64[us]")
    stamps[~valid] = np.datetime64("NaT", "us")
    return np.asarray(stamps)

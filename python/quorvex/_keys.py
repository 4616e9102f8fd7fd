"""What the keys of read_dataframe are: header keys (the engine's table), computed keys (what each
is computed from, and how), the message count, and data keys (everything else); and filters,
each compiled once and then only asked which values match."""

from __future__ import annotations

import difflib
import functools
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from . import _engine

COUNT = "count"
SUBSET = "subsetNumber"  # the subset of each row, from 1
WIGOS_ID = "WIGOS_station_id"
DATETIME_PARTS = ("year", "month", "day", "hour", "minute", "second")
TYPICAL_PARTS = tuple("typical" + part.capitalize() for part in DATETIME_PARTS)
WIGOS_PARTS = ("wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber",
               "wigosLocalIdentifierCharacter")
# coordinateReferenceSystem (code table 0 01 150) -> CRS; a missing code means WGS 84.
CRS_CODES = {0: "EPSG:4326", 1: "EPSG:4258", 2: "EPSG:4269", 3: "EPSG:4314"}


@functools.cache
def header_types() -> dict[str, str]:
    """Header key -> "long", "double" or "string", in the engine's order."""
    return dict(_engine.header_keys())


@functools.lru_cache(maxsize=8)
def element_types(tables: str | None) -> dict[str, str]:
    """Key (element abbreviation) -> ecCodes element type ("long", "double", "string", "table",
    "flag"), from the newest tables of the source that `tables` chooses."""
    from . import _engine

    return dict(_engine.TableSet(tables).element_types())


def is_header(name: str) -> bool:
    return name in header_types()


# --- columns --------------------------------------------------------------------------------
# A column on its way to the frame: an Arrow array from the engine (or computed from them), or a
# numpy array of objects (cells that are lists).
Column = Any


def nullable(arrow_type: pa.DataType) -> pd.api.extensions.ExtensionDtype | None:
    return pd.Int64Dtype() if arrow_type in (pa.int64(), pa.int32()) else None


def series(column: Column) -> pd.Series:
    """A column as a pandas Series (integers Int64)."""
    if isinstance(column, (pa.Array, pa.ChunkedArray)):
        return column.to_pandas(types_mapper=nullable)
    return pd.Series(column)


def present(column: Column) -> np.ndarray:
    """Where a column has a value."""
    if isinstance(column, (pa.Array, pa.ChunkedArray)):
        return np.asarray(column.is_valid().to_numpy(zero_copy_only=False), dtype=bool)
    return np.asarray(pd.notna(column), dtype=bool)


# What pandas makes of text: a string dtype over Arrow (pandas 3), or objects.
_TEXT = pd.Series(dtype="str").dtype


def _pandas_array(column: Column) -> Any:
    """One column as what its frame holds: float64 (NaN where missing) and timestamps (NaT) as
    numpy arrays, integers as Int64, other Arrow types as pyarrow converts them, cells of objects
    as objects."""
    if isinstance(column, np.ndarray) and column.dtype != object:
        return column
    if not isinstance(column, (pa.Array, pa.ChunkedArray)):
        return pd.array(column, dtype=object)
    kind = column.type
    if kind == pa.float64() or kind == pa.timestamp("us"):
        return column.to_numpy(zero_copy_only=False)
    if kind == pa.int64():
        return pd.Int64Dtype().__from_arrow__(column)
    if isinstance(_TEXT, pd.StringDtype) and (pa.types.is_string(kind) or pa.types.is_large_string(kind)):
        return _TEXT.__from_arrow__(column)  # the Arrow strings kept as they are
    return column.to_pandas(types_mapper=nullable).array


def to_pandas(columns: Mapping[str, Column], keep: np.ndarray | None) -> pd.DataFrame:
    """The columns as one frame, the rows of `keep` (None: all): each column converted once
    (integers Int64, texts str, cells of objects as objects), none copied again into blocks."""
    if keep is not None:
        columns = {name: c.filter(keep) if isinstance(c, (pa.Array, pa.ChunkedArray)) else c[keep]
                   for name, c in columns.items()}
    rows = len(next(iter(columns.values()))) if columns else 0
    return pd.DataFrame({name: _pandas_array(c) for name, c in columns.items()}, index=pd.RangeIndex(rows),
                        copy=False)


def _floats(column: Column) -> np.ndarray:
    """A numeric column as float64, NaN where missing."""
    floats: Any = pc.cast(column, pa.float64())
    return np.asarray(floats.to_numpy(zero_copy_only=False), dtype=np.float64)


# --- computed keys -----------------------------------------------------------------------


def _number_chunks(column: Column) -> list[tuple[str, Any, Any, int, int]]:
    """A numeric column as the engine reads it in place: (kind, validity, values, offset, rows)
    per chunk, kind "l" (int64) or "d" (float64); other types are cast to float64 first."""
    if column.type not in (pa.int64(), pa.float64()):
        column = pc.cast(column, pa.float64())
    kind = "l" if column.type == pa.int64() else "d"
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    return [(kind, *chunk.buffers(), chunk.offset, len(chunk)) for chunk in chunks]


def _datetimes(parts: list[Column]) -> Column:
    """Timestamps (numpy datetime64[us], NaT where missing) from year, month, day, hour, minute
    and second columns, computed by the engine from their Arrow chunks: missing where the date
    or hour is missing or impossible; a missing minute or second counts as 0; fractions of a
    second kept to the microsecond, truncated."""
    stamps = np.empty(len(parts[0]), "datetime64[us]")
    _engine.date_stamps(*(_number_chunks(p) for p in parts), stamps.view(np.int64))
    return stamps


def _wmo_station_id(parts: list[Column]) -> Column:
    block: Any = pc.cast(parts[0], pa.int64())
    station: Any = pc.cast(parts[1], pa.int64())
    return pc.add(pc.multiply(block, 1000), station)


def _geometry(parts: list[Column]) -> np.ndarray:
    """[longitude, latitude, height of the station] per row (height 0 where it has none)."""
    lon, lat, height = (_floats(p) for p in parts)
    height = np.where(np.isnan(height), 0.0, height)
    cells = np.empty(len(lon), dtype=object)
    for i in np.flatnonzero(~(np.isnan(lon) | np.isnan(lat))):
        cells[i] = [float(lon[i]), float(lat[i]), float(height[i])]
    return cells


def _wigos_id(parts: list[Column]) -> Column:
    """"series-issuer-issue-local" where all four are present."""
    series, issuer, issue, local = parts
    texts: list[Any] = [pc.cast(pc.cast(p, pa.int64()), pa.string()) for p in (series, issuer, issue)]
    join: Any = pc.binary_join_element_wise
    return join(*texts, pc.cast(local, pa.string()), "-")


def _crs(parts: list[Column]) -> Column:
    codes = _floats(parts[0])
    cells = np.full(len(codes), None, dtype=object)
    cells[np.isnan(codes)] = CRS_CODES[0]
    for code, name in CRS_CODES.items():
        cells[codes == code] = name
    return pa.array(cells, pa.string())


@dataclass(frozen=True)
class Computed:
    sources: tuple[str, ...]
    compute: Callable[[list[Column]], Column]
    optional: tuple[str, ...] = ()  # sources without which there is still a value


COMPUTED: dict[str, Computed] = {
    "data_datetime": Computed(DATETIME_PARTS, _datetimes, ("minute", "second")),
    "typical_datetime": Computed(TYPICAL_PARTS, _datetimes),
    "WMO_station_id": Computed(("blockNumber", "stationNumber"), _wmo_station_id),
    "geometry": Computed(("longitude", "latitude", "heightOfStationGroundAboveMeanSeaLevel"), _geometry,
                         ("heightOfStationGroundAboveMeanSeaLevel",)),
    WIGOS_ID: Computed(WIGOS_PARTS, _wigos_id),
    "CRS": Computed(("coordinateReferenceSystem",), _crs, ("coordinateReferenceSystem",)),
}


# --- filters -----------------------------------------------------------------------------


def _wigos_text(value: Any) -> str:
    """A WIGOS identifier given as "series-issuer-issue-local" or a 4-tuple, as its text."""
    if isinstance(value, str):
        parts: list[Any] = value.split("-")
        if len(parts) != 4:
            raise ValueError(f"a WIGOS station id has four parts separated by '-', not {value!r}")
    elif isinstance(value, (tuple, list)) and len(value) == 4:
        parts = list(value)
    else:
        raise ValueError(f"a WIGOS station id is a 'series-issuer-issue-local' text or a 4-tuple, not {value!r}")
    series, issuer, issue, local = parts
    return f"{int(series)}-{int(issuer)}-{int(issue)}-{local}"


class Filter:
    """One filter: a value, a list/tuple/set of values, slice(low, high) (both ends included) or a
    callable (called once per distinct present value). A missing value never matches."""

    def __init__(self, name: str, condition: Any):
        self.name = name
        self.kind: str
        if isinstance(condition, slice):
            self.kind, self.low, self.high = "slice", condition.start, condition.stop
        elif callable(condition):
            self.kind, self.call = "callable", condition
        else:
            values = list(condition) if isinstance(condition, (list, tuple, set, frozenset)) else [condition]
            if name == WIGOS_ID:
                # one 4-tuple is one identifier, not four values
                one = isinstance(condition, tuple) and len(condition) == 4 and not isinstance(condition[0], tuple)
                values = [_wigos_text(condition)] if one or isinstance(condition, str) else \
                    [_wigos_text(v) for v in values]
            self.kind, self.values = "values", values

    def pushed(self) -> tuple[list[Any] | None, float | None, float | None] | None:
        """This filter as the engine's row collector applies it, (values, None, None) or (None, low,
        high), when it can: values that are texts or numbers exact as doubles, bounds that are
        numbers; None otherwise (a callable, or a value of another kind)."""
        def number(v: Any) -> bool:
            return (isinstance(v, int) and not isinstance(v, bool) and abs(v) <= 1 << 53) or \
                (isinstance(v, float) and not np.isnan(v))

        if self.kind == "values" and all(isinstance(v, str) or number(v) for v in self.values):
            return list(self.values), None, None
        if self.kind == "slice" and all(b is None or number(b) for b in (self.low, self.high)):
            return None, self.low, self.high
        return None

    def range_error(self, held: Any) -> TypeError:
        return TypeError(f"filter on {self.name!r}: slice({self.low!r}, {self.high!r}) cannot be compared "
                         f"with its values ({held})")

    def match(self, column: Column) -> np.ndarray:
        column = series(column)
        present = column.notna().to_numpy(dtype=bool)
        mask = np.zeros(len(column), dtype=bool)
        at = np.flatnonzero(present)
        if not len(at):
            return mask
        values = column.iloc[at]
        if self.kind == "slice":
            kept = np.ones(len(at), dtype=bool)
            try:
                if self.low is not None:
                    kept &= (values >= self.low).to_numpy(dtype=bool, na_value=False)
                if self.high is not None:
                    kept &= (values <= self.high).to_numpy(dtype=bool, na_value=False)
            except TypeError:
                raise self.range_error(values.dtype) from None
        elif self.kind == "values":
            kept = values.isin(self.values).to_numpy(dtype=bool, na_value=False)
        else:
            distinct = pd.unique(values.astype(object).to_numpy())
            answers = {value: bool(self.call(value)) for value in distinct}
            kept = np.fromiter((answers[v] for v in values.astype(object)), dtype=bool, count=len(at))
        mask[at] = kept
        return mask


def compile_filters(filters: Mapping[str, Any] | None) -> dict[str, Filter]:
    return {name: Filter(name, condition) for name, condition in (filters or {}).items()}


# --- what a query reads --------------------------------------------------------------------


def base_key(name: str) -> str:
    """The element key of a data key: "#2#airTemperature->percentConfidence" -> "airTemperature"."""
    if name.startswith("#"):
        number, sep, rest = name[1:].partition("#")
        if sep and number.isdigit():
            name = rest
    return name.partition("->")[0]


@dataclass
class Query:
    columns: list[str]
    filters: dict[str, Filter]
    required: set[str]
    data_keys: list[str]  # what the rows collect, computed keys' sources included
    header_keys: list[str]  # what the rows take from the headers, computed keys' sources included
    computed: list[str]


def plan(columns: Iterable[str], filters: Mapping[str, Any] | None,
         required_columns: bool | Iterable[str]) -> Query:
    columns = list(dict.fromkeys(columns))
    compiled = compile_filters(filters)
    if required_columns is True:
        required = set(columns)
    elif required_columns is False:
        required = set()
    elif isinstance(required_columns, Iterable) and not isinstance(required_columns, (str, bytes)):
        required = set(required_columns)
    else:
        raise TypeError(f"required_columns must be True, False or a list of keys, not {required_columns!r}")
    names = list(dict.fromkeys([*columns, *compiled]))
    data: list[str] = []
    headers: list[str] = []
    computed: list[str] = []
    for name in names:
        if name in COMPUTED:
            computed.append(name)
            for source in COMPUTED[name].sources:
                (headers if is_header(source) else data).append(source)
        elif is_header(name):
            headers.append(name)
        elif name not in (COUNT, SUBSET):
            data.append(name)
    return Query(columns, compiled, required, list(dict.fromkeys(data)), list(dict.fromkeys(headers)), computed)


def unknown_key_error(unknown: list[str], known: Iterable[str]) -> KeyError:
    """The error for keys that no table of the messages read defines, with the closest known."""
    vocabulary = sorted(set(known) | set(header_types()) | set(COMPUTED) | {COUNT, SUBSET})
    parts = []
    for name in unknown:
        close = difflib.get_close_matches(base_key(name), vocabulary, n=3, cutoff=0.6)
        parts.append(f"{name!r}" + (f" (closest: {', '.join(close)})" if close else ""))
    return KeyError(f"no table of the messages read defines {'; '.join(parts)}")

"""read_dataframe's keys and filters on real files: each option checked against the
unfiltered frame filtered by the same rule, header filters against decoding, unknown keys."""
import subprocess
import sys
import warnings

import pandas as pd
import pytest

from corpus_location import CORPUS

_engine = pytest.importorskip("quorvex._engine")
import quorvex  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

TEMP = "raw/pdbufr/temp_small.bufr"
SYNOP = "raw/pdbufr/synop_wigos.bufr"
LEVELS = ["stationNumber", "pressure", "airTemperature", "dewpointTemperature"]


def path(name):
    return CORPUS / name


@pytest.mark.parametrize(("key", "condition", "keep"), [
    ("pressure", 50000, lambda v: v == 50000),
    ("pressure", [50000, 85000], lambda v: v in (50000, 85000)),
    ("pressure", {70000, 92500}, lambda v: v in (70000, 92500)),
    ("airTemperature", slice(250, 280), lambda v: 250 <= v <= 280),
    ("airTemperature", slice(None, 220), lambda v: v <= 220),
    ("dewpointTemperature", lambda t: t > 270, lambda v: v > 270),
    ("stationNumber", 823, lambda v: v == 823),
])
def test_a_filter_keeps_the_rows_whose_value_matches(key, condition, keep):
    everything = quorvex.read_dataframe(path(TEMP), LEVELS)
    values = everything[key]
    expected = everything[[pd.notna(v) and keep(v) for v in values]].reset_index(drop=True)
    got = quorvex.read_dataframe(path(TEMP), LEVELS, {key: condition})
    assert 0 < len(got) < len(everything)
    pd.testing.assert_frame_equal(got, expected)


def test_a_callable_filter_never_sees_a_missing_value():
    seen = []
    quorvex.read_dataframe(path(TEMP), LEVELS, {"dewpointTemperature": lambda v: seen.append(v) or True})
    assert seen and not any(pd.isna(v) for v in seen)


@pytest.mark.parametrize(("columns", "filters"), [
    (["count", "typicalDate", "stationNumber"], {"count": slice(2, 4)}),
    (["dataCategory", "typical_datetime", "stationNumber"], {"typicalHour": [0, 12]}),
    (["ident", "localLatitude", "stationNumber"], None),
])
def test_header_and_computed_keys_repeat_their_message_value(columns, filters):
    frame = quorvex.read_dataframe(path(TEMP), columns, filters)
    with quorvex.open(path(TEMP)) as bufr:
        headers = bufr.headers().assign(count=lambda h: h["message"] + 1)
    messages = quorvex.read_dataframe(path(TEMP), ["count", "stationNumber"], filters)["count"]
    by_count = headers.set_index("count")
    for name in columns:
        if name in by_count.columns:
            assert frame[name].tolist() == by_count.loc[messages, name].tolist(), name
    assert len(frame) > 0


WIGOS = ["WIGOS_station_id", "wigosIdentifierSeries", "wigosIssuerOfIdentifier", "wigosIssueNumber",
         "wigosLocalIdentifierCharacter"]


@pytest.mark.parametrize(("name", "columns", "rule"), [
    ("raw/pdbufr/synop_multi_subset_uncompressed.bufr", ["WMO_station_id", "blockNumber", "stationNumber"],
     lambda r: r.WMO_station_id == r.blockNumber * 1000 + r.stationNumber),
    (SYNOP, WIGOS, lambda r: r.WIGOS_station_id == f"{r.wigosIdentifierSeries:.0f}-{r.wigosIssuerOfIdentifier:.0f}-"
                                                 f"{r.wigosIssueNumber:.0f}-{r.wigosLocalIdentifierCharacter}"),
    (SYNOP, ["geometry", "longitude", "latitude", "heightOfStationGroundAboveMeanSeaLevel"],
     lambda r: r.geometry == [r.longitude, r.latitude, r.heightOfStationGroundAboveMeanSeaLevel]),
    (SYNOP, ["CRS", "latitude"], lambda r: r.CRS == "EPSG:4326"),  # no reference system given: WGS 84
])
def test_computed_keys_follow_their_sources(name, columns, rule):
    frame = quorvex.read_dataframe(path(name), columns)
    assert len(frame) > 0
    assert all(rule(row) for row in frame.itertuples(index=False))


def test_a_wigos_id_filters_as_text_or_tuple():
    ids = quorvex.read_dataframe(path(SYNOP), ["WIGOS_station_id"])["WIGOS_station_id"]
    wigos = ids.iloc[0]
    as_tuple = tuple(int(p) if p.isdigit() else p for p in wigos.split("-"))
    for condition in (wigos, as_tuple, [as_tuple]):
        frame = quorvex.read_dataframe(path(SYNOP), ["WIGOS_station_id"], {"WIGOS_station_id": condition})
        assert frame["WIGOS_station_id"].tolist() == [wigos] * int((ids == wigos).sum())


def damaged(source, month=False, descriptor=False):
    """The first three messages of an edition-4 file, the second with its typical month set to 13
    or its first descriptor replaced by one no table defines (its header still reads)."""
    data = source.read_bytes()
    spans = [(o, n) for o, n, error in _engine.scan(data) if error is None][:3]
    messages = [bytearray(data[o:o + n]) for o, n in spans]
    second = messages[1]
    if month:
        second[8 + 17] = 13  # octet 18 of section 1
    if descriptor:
        first = _engine.read_header(bytes(second), 0, len(second))["descriptors"][0]
        packed = bytes([(first // 100000) << 6 | (first // 1000) % 100, first % 1000])
        at = second.index(packed, 8 + int.from_bytes(second[8:11], "big"))
        second[at:at + 2] = bytes([63, 250])  # 0 63 250
    return b"".join(bytes(m) for m in messages)


@pytest.mark.parametrize("columns", [["latitude"], ["typicalDate"], ["typical_datetime", "airTemperature"], None])
def test_a_message_with_an_impossible_date_is_bad_whatever_is_asked(columns):
    octets = damaged(path(SYNOP), month=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frame = quorvex.read_dataframe(octets, columns, on_bad_message="warn")
    assert [(w.message.message_index, "date" in w.message.reason) for w in caught] == [(1, True)]
    assert len(frame) > 0


def with_impossible_dates(data):
    """`data` with an impossible typical date (month 13, day 32, hour 24, minute 60, 30 February:
    each of the five checks in turn) in every fifth message whose framing reads."""
    out = bytearray(data)
    spans = [(o, n) for o, n, error in _engine.scan(data) if error is None]
    edition_4 = {"month": 17, "day": 18, "hour": 19, "minute": 20}  # octets of section 1, from 0
    edition_3 = {"month": 13, "day": 14, "hour": 15, "minute": 16}
    changes = [{"month": 13}, {"day": 32}, {"hour": 24}, {"minute": 60}, {"month": 2, "day": 30}]
    for k, (offset, _) in enumerate(spans[::5]):
        at = edition_4 if data[offset + 7] == 4 else edition_3
        for field, value in changes[k % len(changes)].items():
            out[offset + 8 + at[field]] = value
    return bytes(out)


@pytest.mark.parametrize(("name", "columns"), [
    ("raw/pdbufr/perf_aircraft.bufr", ["aircraftFlightNumber", "latitude", "airTemperature"]),
    ("raw/pdbufr/perf_synop.bufr", ["stationNumber", "data_datetime", "airTemperatureAt2M"]),
    ("raw/pdbufr/temp.bufr", ["pressure", "airTemperature", "nonCoordinateGeopotential"]),
    ("raw/pdbufr/syn_new.bufr", ["heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform", "airTemperature"]),
    ("raw/pdbufr/temp_small.bufr", ["pressure", "airTemperature"]),
])
def test_the_rows_call_refuses_the_messages_the_header_pass_refuses(name, columns):
    """Without header keys the engine's rows call alone checks the typical dates; with one the
    header table does. Both must report the same messages and give the same rows."""
    octets = with_impossible_dates(path(name).read_bytes())

    def read(asked):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            frame = quorvex.read_dataframe(octets, asked, on_bad_message="warn")
        return frame, [(w.message.message_index, w.message.offset, w.message.kind, w.message.reason)
                       for w in caught]

    folded, reported = read(columns)
    joined, header_reported = read([*columns, "typicalDate"])
    assert sorted(reported) == sorted(header_reported)
    whole = [offset for offset, _, error in _engine.scan(octets) if error is None]
    assert sum(kind == "impossible_date" for _, _, kind, _ in reported) == len(whole[::5])
    pd.testing.assert_frame_equal(folded, joined[columns])
    assert len(folded) > 0


def test_a_header_filter_skips_decoding():
    octets = damaged(path(SYNOP), descriptor=True)
    with pytest.raises(ValueError, match="bad message 1"):
        quorvex.read_dataframe(octets, ["airTemperature"])
    kept = quorvex.read_dataframe(octets, ["count", "airTemperature"], {"count": [1, 3]})
    assert set(kept["count"]) == {1, 3}


@pytest.mark.parametrize(("columns", "closest"), [
    (["pressure", "airTemprature"], "airTemperature"),
    (["#2#dewpointTemperture"], "dewpointTemperature"),
    (["stationNumbr->percentConfidence"], "stationNumber"),
])
def test_a_key_no_table_defines_is_an_error_naming_the_closest(tmp_path, columns, closest):
    with pytest.raises(KeyError, match=closest):
        quorvex.read_dataframe(path(TEMP), columns)
    result = subprocess.run([sys.executable, "-m", "quorvex", "convert", "--wide", "--columns", ",".join(columns),
                             str(path(TEMP)), "-o", str(tmp_path / "out.parquet")], capture_output=True, text=True)
    assert result.returncode == 2 and closest in result.stderr
    assert not (tmp_path / "out.parquet").exists()


def test_a_defined_key_absent_from_the_data_gives_missing_values():
    frame = quorvex.read_dataframe(path(TEMP), ["pressure", "seaSurfaceTemperature"], required_columns=["pressure"])
    assert len(frame) > 0 and frame["seaSurfaceTemperature"].isna().all()


def test_file_and_message_frames_equal_read_dataframe():
    expected = quorvex.read_dataframe(path(TEMP), LEVELS, {"pressure": slice(10000, 50000)})
    with quorvex.open(path(TEMP)) as bufr:
        pd.testing.assert_frame_equal(bufr.read_dataframe(LEVELS, {"pressure": slice(10000, 50000)}), expected)
        parts = [m.read_dataframe(LEVELS, {"pressure": slice(10000, 50000)}) for m in bufr]
    pd.testing.assert_frame_equal(pd.concat(parts, ignore_index=True), expected)
    assert pd.api.types.is_integer_dtype(expected["pressure"])  # a long of its table, whatever the values


@pytest.mark.parametrize("columns", [["stationNumber", "wigosLocalIdentifierCharacter"], None])
def test_a_range_of_numbers_on_a_text_key_is_an_error(columns):
    # matching nothing would look like an answer
    with pytest.raises(TypeError, match="wigosLocalIdentifierCharacter"):
        quorvex.read_dataframe(path(SYNOP), columns, {"wigosLocalIdentifierCharacter": slice(0, 99999)})

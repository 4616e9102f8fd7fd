"""read_dataframe against pdbufr (run as a black box) on real SYNOP, TEMP and compressed satellite
files: same rows, same columns, same values."""
import numpy as np
import pandas as pd
import pytest

from corpus_location import CORPUS

pytest.importorskip("quorvex._engine")
pdbufr = pytest.importorskip("pdbufr")
import quorvex  # noqa: E402

pytestmark = pytest.mark.skipif(CORPUS is None, reason="no corpus")

# ecCodes hands a missing integer of a compressed message to pdbufr as this number.
MISSING_LONG = 2147483647

SYNOP = "raw/pdbufr/synop_multi_subset_uncompressed.bufr"
SYNOP_EDITION3 = "raw/pdbufr/perf_synop.bufr"
SYNOP_LOCAL = "raw/pdbufr/Z__C_EDZW_20210516120400_bda01,synop_bufr_GER_999999_999999__MW_466.bufr"
TEMP = "raw/pdbufr/temp_small.bufr"
HIRS = "raw/pdbufr/M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr"

STATION = ["blockNumber", "stationNumber", "latitude", "longitude", "data_datetime"]
SURFACE = STATION + ["pressure", "airTemperature", "dewpointTemperature", "windDirection", "windSpeed"]
LEVELS = STATION + ["pressure", "airTemperature", "dewpointTemperature", "windDirection", "windSpeed"]
CHANNEL = "tovsOrAtovsOrAvhrrInstrumentationChannelNumber"

CASES = [
    pytest.param(SYNOP, SURFACE, None, id="synop"),
    # Edition 3, with the keys of the ECMWF SYNOP templates of table version 13.
    pytest.param(SYNOP_EDITION3, STATION + ["nonCoordinatePressure", "pressureReducedToMeanSeaLevel",
                                            "airTemperatureAt2M", "dewpointTemperatureAt2M", "windDirectionAt10M",
                                            "windSpeedAt10M"], None, id="synop-edition3"),
    pytest.param(SYNOP_EDITION3, ["stationNumber", "airTemperatureAt2M", "cloudType"], None,
                 id="synop-edition3-cloud-types"),
    pytest.param(SYNOP_LOCAL, SURFACE + ["heightOfStationGroundAboveMeanSeaLevel"], None, id="synop-local-tables"),
    pytest.param(SYNOP_LOCAL, ["stationNumber", "airTemperature"], {"airTemperature": slice(280, 290)},
                 id="synop-slice"),
    pytest.param(TEMP, LEVELS, None, id="temp-levels"),
    pytest.param(TEMP, ["stationNumber", "pressure", "airTemperature"], {"pressure": [50000, 85000]}, id="temp-list"),
    pytest.param(TEMP, ["stationNumber", "pressure", "airTemperature"], {"airTemperature": lambda t: t > 290},
                 id="temp-callable"),
    pytest.param(TEMP, ["pressure", "windSpeed"], {"stationNumber": 823}, id="temp-filter-only-key"),
    pytest.param(TEMP, ["stationNumber", "cloudType", "pressure"], None, id="temp-value-in-force"),
    pytest.param(TEMP, ["stationNumber", "cloudType", "heightOfBaseOfCloud"], None, id="temp-cloud-layers"),
    pytest.param(TEMP, ["edition", "bufrHeaderCentre", "dataCategory", "typicalDate", "stationNumber"], None,
                 id="temp-header-keys"),
    pytest.param(HIRS, ["satelliteIdentifier", "latitude", "longitude", "data_datetime", CHANNEL,
                        "brightnessTemperature"], None, id="satellite-channels"),
    pytest.param(HIRS, ["satelliteIdentifier", "fieldOfViewNumber", "latitude", "longitude", "data_datetime",
                        "brightnessTemperature"], {CHANNEL: 5}, id="satellite-channel"),
    pytest.param(HIRS, ["latitude", "longitude", "fieldOfViewNumber", "channelRadiance"],
                 {"fieldOfViewNumber": slice(10, 20)}, id="satellite-slice"),
]


def first_messages(path, count):
    """The octets of the first `count` messages of a file."""
    data = path.read_bytes()
    start = end = data.index(b"BUFR")
    for _ in range(count):
        end = data.index(b"BUFR", end)
        end += int.from_bytes(data[end + 4:end + 7], "big")
    return data[start:end]


@pytest.fixture
def sample(tmp_path):
    """Path of a corpus file, cut to its first messages when it is big (pdbufr is slow)."""
    def make(name, messages=None):
        path = CORPUS / name
        if messages is None:
            return path
        cut = tmp_path / path.name
        cut.write_bytes(first_messages(path, messages))
        return cut
    return make


def assert_same_frame(ours, theirs):
    assert list(ours.columns) == list(theirs.columns)
    assert len(ours) == len(theirs)
    for name in theirs.columns:
        mine, peer = ours[name], theirs[name]
        if pd.api.types.is_datetime64_any_dtype(peer):
            np.testing.assert_array_equal(mine.to_numpy("datetime64[ms]"), peer.to_numpy("datetime64[ms]"),
                                          err_msg=name)
        elif pd.api.types.is_numeric_dtype(peer):
            expected = np.array(peer.to_numpy(dtype=np.float64, na_value=np.nan))
            expected[expected == MISSING_LONG] = np.nan
            np.testing.assert_allclose(mine.to_numpy(dtype=np.float64, na_value=np.nan), expected,
                                       rtol=1e-12, equal_nan=True, err_msg=name)
        else:  # a missing text is None here, "" in pdbufr
            assert mine.astype(object).fillna("").tolist() == \
                peer.astype(object).fillna("").astype(str).str.strip().tolist(), name


@pytest.mark.parametrize(("name", "columns", "filters"), CASES)
def test_columns_and_filters_agree_with_pdbufr(sample, name, columns, filters):
    path = sample(name, {HIRS: 2, SYNOP_EDITION3: 30}.get(name))
    theirs = pdbufr.read_bufr(path, columns=columns, filters=filters or {})
    assert len(theirs), "the case must select rows"
    assert_same_frame(quorvex.read_dataframe(path, columns=columns, filters=filters), theirs)


@pytest.mark.parametrize("name", [SYNOP, "raw/pdbufr/syn_new.bufr", "raw/pdbufr/temp_hires.bufr",
                                  "raw/pdbufr/compress_3.bufr"])
def test_one_row_per_subset_agrees_with_pdbufr(sample, name):
    path = sample(name)
    theirs = pdbufr.read_bufr(path, flat=True)
    ours = quorvex.read_dataframe(path)
    # pdbufr also shows section 2 and edition-specific header keys; the numbered data keys are
    # what both give.
    data_keys = [c for c in theirs.columns if c.startswith("#")]
    # pdbufr leaves out numbered keys beyond those of the first messages (a sounding with more
    # levels than the first ones loses its top): ours has every one of its columns, and more.
    assert set(data_keys) <= set(ours.columns)
    assert_same_frame(ours[data_keys], theirs[data_keys])
    if "subsetNumber" in theirs.columns:  # not given for compressed messages
        assert ours["subsetNumber"].tolist() == theirs["subsetNumber"].tolist()


def test_list_of_sources_counts_messages_across_them(sample):
    one = quorvex.read_dataframe(sample(TEMP), columns=["stationNumber", "pressure"])
    two = quorvex.read_dataframe([sample(TEMP), sample(TEMP).read_bytes()], columns=["stationNumber", "pressure"])
    pd.testing.assert_frame_equal(two, pd.concat([one, one], ignore_index=True))


@pytest.mark.parametrize(("columns", "filters"), [
    (["stationNumber", "#3#cloudType"], None),
    (["stationNumber", "pressure"], {"pressure": slice(None, 20000)}),
    (["noSuchKey"], None),
])
def test_numbered_keys_open_slices_and_absent_keys(sample, columns, filters):
    path = sample(TEMP)
    flat = quorvex.read_dataframe(path)
    frame = quorvex.read_dataframe(path, columns=columns, filters=filters)
    if "#3#cloudType" in columns:
        expected = flat[["#1#stationNumber", "#3#cloudType"]].dropna(subset=["#1#stationNumber"])
        np.testing.assert_array_equal(frame["#3#cloudType"].to_numpy(float), expected["#3#cloudType"].to_numpy(float))
        assert frame["stationNumber"].tolist() == expected["#1#stationNumber"].tolist()
    elif filters:
        levels = quorvex.read_dataframe(path, columns=columns)
        assert frame["pressure"].tolist() == [p for p in levels["pressure"] if p <= 20000]
        assert len(frame) < len(levels)
    else:
        assert len(frame) == 0 and list(frame.columns) == columns

"""quorvex.write_bufr: tables of one row per subset, columns named #n#key, written as BUFR and
read back. The frames are made from the engine's decoded values of real messages (uncompressed,
without the operators a table cannot carry), so a write and a read must give the values back."""
import collections
import io
import re

import pytest

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
quorvex = pytest.importorskip("quorvex")
from corpus_location import CORPUS, first_clean_messages  # noqa: E402
from quorvex import _engine  # noqa: E402

FILES = 30


def messages():
    """The first clean uncompressed message of files whose templates a table can carry."""
    return first_clean_messages(False, FILES)


def decoded(octets, offset=0, length=None):
    tables = _engine.Tables(None)
    length = len(octets) - offset if length is None else length
    batch, bad = _engine.decode([octets], [(0, 0, offset, length)], tables, 1, True, None)
    assert not bad, bad
    table = pa.table(batch).to_pandas()
    keep = table[table["role"].isin(["element", "replication_factor"]) & table["key"].notna()].copy()
    keep["n"] = keep.groupby(["subset", "key"]).cumcount() + 1
    return keep


def frame_of(values, factors):
    """One row per subset, one column per numbered key (the factors' columns when asked)."""
    if not factors:
        values = values[values["role"] == "element"]
    cells = collections.defaultdict(dict)
    for subset, key, n, value, text in zip(values["subset"], values["key"], values["n"], values["value"],
                                           values["text"]):
        cells[f"#{n}#{key}"][subset] = text if isinstance(text, str) else value
    subsets = sorted(set(values["subset"]))
    return pd.DataFrame({name: [column.get(s) for s in subsets] for name, column in cells.items()})


def present(values):
    """(subset, key, n, value) of every element that holds a value or a text."""
    v = values[(values["role"] == "element") & (values["value"].notna() | values["text"].notna())]
    return sorted(zip(v["subset"], v["key"], v["n"], v["value"].where(v["text"].isna(), v["text"])))


@pytest.mark.parametrize("factors", [True, False], ids=["factors", "inferred"])
@pytest.mark.parametrize(("path", "place"), messages(), ids=[p for p, _ in messages()])
def test_frames_of_real_messages_written_and_read_back(path, place, factors):
    octets = (CORPUS / path).read_bytes()
    offset, length = place
    header = _engine.read_header(octets, offset, length)
    values = decoded(octets, offset, length)
    keys = {"bufrHeaderCentre": header["centre"], "bufrHeaderSubCentre": header["sub_centre"],
            "dataCategory": header["data_category"], "masterTablesVersionNumber": header["master_table_version"],
            "localTablesVersionNumber": header["local_table_version"], "typicalYear": header["typical_year"],
            "typicalMonth": header["typical_month"], "typicalDay": header["typical_day"]}
    try:
        written = quorvex.write_bufr(frame_of(values, factors), descriptors=header["descriptors"], header=keys)
    except ValueError as e:
        # Without its factor, a replication whose keys the template bears elsewhere too (or whose
        # last repetitions hold values only under such keys) has no count a table can tell:
        # refused, never guessed.
        assert not factors and ("the replication count cannot be told" in str(e)
                                or "contradicted by the data" in str(e)), str(e)
        return
    again = decoded(written)
    if factors:
        columns = ["subset", "descriptor", "key", "n", "value", "text"]
        pd.testing.assert_frame_equal(again[columns].reset_index(drop=True), values[columns].reset_index(drop=True))
    else:
        # Repetitions whose every value is missing leave no trace in a table: only what is present
        # must come back.
        assert present(again) == present(values)


def synop(**columns):
    base = {"#1#year": [2024], "#1#month": [3], "#1#day": [1], "#1#hour": [12], "#1#minute": [0],
            "#1#blockNumber": [10], "#1#stationNumber": [384], "#1#airTemperature": [273.15]}
    base.update(columns)
    return pd.DataFrame(base)


SIMPLE = [301011, 301012, 1001, 1002, 12101]   # date, time, station, temperature


def test_a_file_target_arrow_input_and_defaults():
    frame = synop()
    sink = io.BytesIO()
    assert quorvex.write_bufr(pa.Table.from_pandas(frame), sink, descriptors=SIMPLE) is None
    octets = sink.getvalue()
    assert octets == quorvex.write_bufr(frame, descriptors=SIMPLE)
    header = _engine.read_header(octets, 0, len(octets))
    assert (header["typical_year"], header["typical_month"], header["typical_day"], header["typical_hour"]) == \
        (2024, 3, 1, 12)
    assert (header["edition"], header["centre"], header["master_table_version"]) == (4, 255, 45)
    values = decoded(octets)
    assert dict(zip(values["key"], values["value"]))["airTemperature"] == pytest.approx(273.15)


@pytest.mark.parametrize(("columns", "header", "text"), [
    ({"#1#airTemperature": [9999.0]}, None,
     "airTemperature (012101), row 0: value 9999 gives the field value 999900"),
    ({"#2#airTemperature": [250.0]}, None,
     "#2#airTemperature, row 0: value 250 is not written: the descriptors do not produce this key here"),
    ({"#1#notAKey": [1.0]}, None, "#1#notAKey, row 0: value 1 is not written"),
    ({"airTemperature": [1.0]}, None, "column airTemperature: not a numbered key (#n#key)"),
    ({"#1#airTemperature->units": [270.0]}, None,
     "column #1#airTemperature->units: attributes (key->name) other than associated fields, percentages of "
     "confidence, substituted or replaced values and references cannot be written from a table"),
    ({"#1#airTemperature->substitutedValue": [270.0]}, None,
     "#1#airTemperature->substitutedValue, row 0: value 270 is not written: the descriptors do not produce this key"),
    ({"#1#airTemperature->percentConfidence": [70.0]}, None,
     "#1#airTemperature->percentConfidence, row 0: value 70 is not written: the descriptors do not produce this key "
     "here"),
    ({}, {"bufrHeaderCentre": 70000}, "header: bufrHeaderCentre = 70000 is outside 0..65535"),
    ({}, {"totalLength": 3}, "header: totalLength is no header key"),
    ({}, {"rdbType": 2}, "header: rdbType is a key of the local section (section 2), which is not written from a "
                         "table (Message.to_bytes keeps a message's own)"),
    ({}, {"numberOfSubsets": 2}, "header: numberOfSubsets is set by the writer, not by hand"),
    ({}, {"edition": 3}, "header: edition 3 cannot be written; edition 4 is"),
    ({"bufrHeaderCentre": [98]}, {"bufrHeaderCentre": 74},
     "bufrHeaderCentre, row 0: value 98 differs from the header's 74"),
    ({"masterTablesVersionNumber": [13]}, None,
     "masterTablesVersionNumber, row 0: value 13 chooses other tables than the header's: give it in the header"),
    ({"dataCategory": [300]}, None, "dataCategory, row 0: header: dataCategory = 300 is outside 0..255"),
])
def test_what_cannot_be_written_is_refused(columns, header, text):
    with pytest.raises(ValueError) as failure:
        quorvex.write_bufr(synop(**columns), descriptors=SIMPLE, header=header)
    assert text in str(failure.value)


@pytest.mark.parametrize("names", [
    ["#1#airTemperature", "#2#airTemperature", "#1#airTemperature"],
    ["#2#airTemperature", "#1#airTemperature", "#2#airTemperature"],
    ["#2#dewpointTemperature", "#1#dewpointTemperature", "#1#airTemperature", "#1#airTemperature",
     "#2#dewpointTemperature"],
    ["#1#airTemperature", "#3#airTemperature", "#2#airTemperature", "#3#airTemperature", "#2#airTemperature"],
], ids=["after rising ranks", "after a falling rank", "the first of two repeats", "among ranks out of order"])
def test_a_column_given_twice_is_refused_at_its_first_repeat(names):
    repeat = next(name for k, name in enumerate(names) if name in names[:k])
    table = pa.table([pa.array([250.0])] * len(names), names=names)
    with pytest.raises(ValueError, match=f"column {repeat} is given twice"):
        quorvex.write_bufr(table, descriptors=SIMPLE)


def two_temperatures(columns, rows=(0, 0)):
    """A date and two temperatures with `columns` beside them, in `rows` (row numbers of the
    cells given: the second row repeats the first by default)."""
    frame = pd.DataFrame({"#1#year": [2024], "#1#month": [3], "#1#day": [1], "#1#airTemperature": [273.15],
                          "#2#airTemperature": [274.15]}).reindex(list(rows)).reset_index(drop=True)
    return pd.concat([frame, pd.DataFrame(columns).reindex(list(rows)).reset_index(drop=True)], axis=1)


def written_or_refused(frame, descriptors, text, compressed):
    """The octets written, or None when `text` is given and the writer refuses with it."""
    if text is None:
        return quorvex.write_bufr(frame, descriptors=descriptors, compressed=compressed)
    with pytest.raises(ValueError, match=re.escape(text)):
        quorvex.write_bufr(frame, descriptors=descriptors, compressed=compressed)
    return None


# two temperatures, each after a 2-bit associated field whose significance one 0-31-021 gives
ASSOCIATED = [301011, 204002, 31021, 12101, 12101, 204000]
FIELD, SIGNIFICANCE = "->associatedField", "->associatedField->associatedFieldSignificance"


@pytest.mark.parametrize(("columns", "text"), [
    ({"#1#airTemperature" + FIELD: [1], "#2#airTemperature" + FIELD: [3], "#2#airTemperature" + SIGNIFICANCE: [2]},
     None),
    ({"#1#airTemperature" + FIELD: [1]},
     "associatedField (999999), row 0: an associated field has no missing value: give column "
     "#2#airTemperature->associatedField"),
    ({"#1#airTemperature" + FIELD: [1], "#2#airTemperature" + FIELD: [None]}, "give column #2#airTemperature"),
    ({"#1#airTemperature" + FIELD: [0], "#2#airTemperature" + FIELD: [0], "#1#airTemperature" + SIGNIFICANCE: [2],
      "#2#airTemperature" + SIGNIFICANCE: [7]},
     "airTemperature (012101), row 0: value 7 in #2#airTemperature->associatedField->associatedFieldSignificance "
     "differs from value 2 in #1#airTemperature->associatedField->associatedFieldSignificance"),
    ({"#1#airTemperature" + FIELD: [4], "#2#airTemperature" + FIELD: [0], "#1#airTemperature" + SIGNIFICANCE: [2]},
     "associatedField (999999), row 0: value 4 gives the field value 4 (scale 0, reference 0), outside 0..3"),
    ({"#1#airTemperature" + FIELD: [1], "#2#airTemperature" + FIELD: [0]},
     "031021, row 0: no column gives this significance of associated fields"),
    ({"#1#airTemperature->associatedField->percentConfidence": [4]},
     "other than associated fields, percentages of confidence, substituted or replaced values and references cannot"),
])
@pytest.mark.parametrize("compressed", [False, True])
def test_associated_fields_from_their_columns(columns, text, compressed):
    frame = two_temperatures(columns)
    written = written_or_refused(frame, ASSOCIATED, text, compressed)
    if written is None:
        return
    back = quorvex.read_dataframe(written)
    # the significance is the one 0-31-021's, an attribute of every field it stands for
    frame["#1#airTemperature" + SIGNIFICANCE] = 2
    pd.testing.assert_frame_equal(back[frame.columns], frame, check_dtype=False)
    assert [c for c in back.columns if c.startswith("#")] == [
        "#1#year", "#1#month", "#1#day", "#1#airTemperature", "#1#airTemperature" + FIELD,
        "#1#airTemperature" + SIGNIFICANCE, "#2#airTemperature", "#2#airTemperature" + FIELD,
        "#2#airTemperature" + SIGNIFICANCE]


def test_missing_values_and_messages_of_several_subsets():
    frame = pd.DataFrame({"#1#year": [2024] * 5, "#1#month": [3] * 5, "#1#day": [1] * 5,
                          "#1#airTemperature": [273.15, None, float("nan"), pd.NA, 280.0]}).astype(
        {"#1#airTemperature": "Float64"})
    octets = quorvex.write_bufr(frame, descriptors=[301011, 12101], subsets_per_message=2, compressed=True)
    found = _engine.scan(octets)
    assert [_engine.read_header(octets, o, n)["number_of_subsets"] for o, n, _ in found] == [2, 2, 1]
    temperatures = [v for k, v in zip(quorvex.read_arrow(octets).column("key").to_pylist(),
                                      quorvex.read_arrow(octets).column("value").to_pylist())
                    if k == "airTemperature"]
    assert temperatures[0] == pytest.approx(273.15) and temperatures[1:4] == [None] * 3
    assert temperatures[4] == pytest.approx(280.0)


@pytest.mark.parametrize("compressed", [False, True])
def test_texts_of_every_octet_are_written_back_as_read(compressed):
    # a character is the text octet of the same number: every octet string has one text, and
    # read back, the written texts are the same (20 characters fill the 20 octets of the field)
    names = ["".join(map(chr, range(start, min(start + 20, 256)))) for start in range(0, 256, 20)]
    frame = pd.DataFrame({"#1#year": [2024] * len(names), "#1#month": [3] * len(names), "#1#day": [1] * len(names),
                          "#1#stationOrSiteName": names})
    octets = quorvex.write_bufr(frame, descriptors=[301011, 1015], compressed=compressed)
    back = quorvex.read_dataframe(octets)["#1#stationOrSiteName"].tolist()
    assert back == [name.rstrip(" \t\n\v\f\r") or None for name in names]


@pytest.mark.parametrize(("name", "shown"), [("Zürich €", "'€' (U+20AC)"), ("\u0100", "'\u0100' (U+0100)")])
def test_a_character_no_octet_reads_as_is_refused(name, shown):
    frame = pd.DataFrame({"#1#year": [2024, 2024], "#1#month": [3, 3], "#1#day": [1, 1],
                          "#1#stationOrSiteName": ["Bern", name]})
    with pytest.raises(ValueError) as failure:
        quorvex.write_bufr(frame, descriptors=[301011, 1015])
    assert f'stationOrSiteName (001015), row 1: text "{name}" holds {shown}' in str(failure.value)


@pytest.mark.parametrize(("numbers", "categories", "expected"), [
    ([1, 2, 1], [2, 2, 7], [(2, 2), (1, 7)]),   # a message from each row numbered 1, its header from its rows
    ([1, 1, 1], [0, 1, 2], [(1, 0), (1, 1), (1, 2)]),
    ([1, 2, 3], [2, 2, 7], "dataCategory, row 2: value 7 differs from row 0's in one message"),
])
def test_header_columns_and_subset_numbers_of_a_flat_frame(numbers, categories, expected):
    # the columns read_dataframe gives beside the data: the keys the writer decides are read, not written
    frame = synop().reindex([0, 0, 0]).reset_index(drop=True)
    frame = frame.assign(**{"#1#airTemperature": [273.15, 274.15, 275.15]})
    frame = frame.assign(subsetNumber=numbers, dataCategory=categories, edition=3, typicalDate="20240301",
                         numberOfSubsets=99)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            quorvex.write_bufr(frame, descriptors=SIMPLE)
        return
    octets = quorvex.write_bufr(frame, descriptors=SIMPLE)
    headers = [_engine.read_header(octets, o, n) for o, n, _ in _engine.scan(octets)]
    assert [(h["number_of_subsets"], h["data_category"]) for h in headers] == expected
    assert quorvex.read_dataframe(octets)["#1#airTemperature"].tolist() == pytest.approx([273.15, 274.15, 275.15])


# Two temperatures under a bitmap that selects the first: its first-order statistic (2-24) and
# its quality information (2-22), both numbered under airTemperature as the reader names them.
BITMAP = [301011, 12101, 12101, 224000, 236000, 101002, 31031, 8023, 224255,
          222000, 237000, 33002, 235000]
PRESENT = {"#1#dataPresentIndicator": [0], "#2#dataPresentIndicator": [1]}
SELECTED = {"#1#firstOrderStatistics": [4], "#3#airTemperature": [1.5], "#4#airTemperature": [2.0]}


@pytest.mark.parametrize(("columns", "rows", "text"), [
    ({**PRESENT, **SELECTED}, [0, 0], None),
    ({**PRESENT, "#1#firstOrderStatistics": [4]}, [0, 0], None),  # the selected values missing
    (SELECTED, [0, 0], "#3#airTemperature, row 0: value 1.5 is not written: the descriptors do not produce this "
                       "key here (a replication count contradicted by the data? or a value a bitmap selects: "
                       "without its dataPresentIndicator columns, a bitmap selects none; give them as columns "
                       "#n#dataPresentIndicator"),
    ({"#1#dataPresentIndicator": [0, 1], "#2#dataPresentIndicator": [1, 1]}, [0, 1],
     "dataPresentIndicator (031031), row 1: value 1 differs from row 0's: compressed data hold one bitmap for all "
     "subsets"),
    # a missing entry is 1, in every row alike
    ({"#1#dataPresentIndicator": [0, 0, 0], "#2#dataPresentIndicator": [None, 1, None]}, [0, 1, 2], None),
    ({"#1#dataPresentIndicator": [0, 0, 0], "#2#dataPresentIndicator": [None, 1, 0]}, [0, 1, 2],
     "dataPresentIndicator (031031), row 2: value 0 differs from row 0's: compressed data hold one bitmap for all "
     "subsets"),
])
@pytest.mark.parametrize("compressed", [False, True])
def test_values_a_bitmap_selects_from_their_columns(columns, rows, text, compressed):
    frame = two_temperatures(columns, rows)
    # bitmaps that differ between the rows are refused only where one bitmap holds for all
    written = written_or_refused(frame, BITMAP, text if compressed or "compressed data" not in str(text) else None,
                                 compressed)
    if written is None:
        return
    back = quorvex.read_dataframe(written)
    # the bitmap is no column of a flat frame; what it selects is
    expected = frame.drop(columns=[c for c in frame.columns if "dataPresentIndicator" in c])
    pd.testing.assert_frame_equal(back[expected.columns], expected, check_dtype=False)
    others = [c for c in back.columns if c.startswith("#") and c not in expected.columns]
    assert back[others].isna().all().all(), others


# A bitmap that selects the first temperature for a substituted (2-23) or replaced (2-32) value:
# an attribute of that temperature, as ecCodes names it, or (replaced) a key of its own.
SUBSTITUTED, REPLACED = "#1#airTemperature->substitutedValue", "#1#airTemperature->replacedRetainedValue"


@pytest.mark.parametrize(("operator", "columns", "text"), [
    (223, {SUBSTITUTED: [280.0, None]}, None),
    (232, {REPLACED: [280.0, 281.5]}, None),
    (232, {"#1#replacedRetainedValue": [None, 281.5]}, None),
    (223, {}, "airTemperature (012101), row 0: a bitmap selects it for a substituted (2-23) value: give column "
              + SUBSTITUTED),
    (232, {}, f"airTemperature (012101), row 0: a bitmap selects it for a replaced (2-32) value: give column "
              f"{REPLACED} (or #1#replacedRetainedValue)"),
    (232, {REPLACED: [1.0, 1.0], "#1#replacedRetainedValue": [1.0, 1.0]},
     f"airTemperature (012101), row 0: its replaced (2-32) value is given twice: in {REPLACED} and in "
     "#1#replacedRetainedValue"),
    (223, {SUBSTITUTED: [1.0, 1.0], REPLACED: [1.0, 1.0]}, f"{REPLACED}, row 0: value 1 is not written"),
])
@pytest.mark.parametrize("compressed", [False, True])
def test_substituted_and_replaced_values_from_their_columns(operator, columns, text, compressed):
    descriptors = [301011, 12101, 12101, operator * 1000, 236000, 101002, 31031, operator * 1000 + 255]
    frame = pd.concat([two_temperatures({}), pd.DataFrame({"#1#dataPresentIndicator": [0, 0],
                                                           "#2#dataPresentIndicator": [1, 1], **columns})], axis=1)
    written = written_or_refused(frame, descriptors, text, compressed)
    if written is None:
        return
    [cells] = columns.values()
    name = "airTemperature->" + ("substitutedValue" if operator == 223 else "replacedRetainedValue")
    back = quorvex.read_dataframe(written, columns=["airTemperature", name])
    # the attribute stands in the row of the temperature it was given for, in each subset
    assert back[name].tolist() == pytest.approx([float("nan") if c is None else c for c in cells], nan_ok=True)
    assert back["airTemperature"].tolist() == pytest.approx([273.15, 273.15])


# A quality block whose bitmap selects the second temperature, and that temperature's percentage
# of confidence, as ecCodes names it (#2#airTemperature->percentConfidence).
CONFIDENCE = [301011, 12101, 12101, 222000, 236000, 101002, 31031, 1031, 1032, 33007]
CONFIDENT = {"#1#dataPresentIndicator": [1], "#2#dataPresentIndicator": [0]}


@pytest.mark.parametrize(("columns", "text"), [
    ({**CONFIDENT, "#2#airTemperature->percentConfidence": [70]}, None),
    ({**CONFIDENT, "#1#airTemperature->percentConfidence": [70]},
     "#1#airTemperature->percentConfidence, row 0: value 70 is not written"),
    ({"#2#airTemperature->substitutedValue": [1.0]}, "#2#airTemperature->substitutedValue, row 0: value 1 is not "
                                                     "written: the descriptors do not produce this key here"),
])
@pytest.mark.parametrize("compressed", [False, True])
def test_percentages_of_confidence_from_their_columns(columns, text, compressed):
    written = written_or_refused(two_temperatures(columns), CONFIDENCE, text, compressed)
    if written is None:
        return
    batch, bad = _engine.decode([written], [(0, 0, 0, len(written))], _engine.Tables(None), 1, True, None)
    table = pa.table(batch).to_pandas()
    quality = table[table["key"] == "percentConfidence"]
    assert list(quality["value"]) == [70, 70] and list(quality["role"]) == ["attribute"] * 2
    keyed = quorvex.read_dataframe(written, columns=["airTemperature", "airTemperature->percentConfidence"])
    assert list(keyed["airTemperature->percentConfidence"].dropna()) == [70, 70]
    assert list(keyed.loc[keyed["airTemperature->percentConfidence"].notna(), "airTemperature"]) == [274.15] * 2


# 2-03: a new reference for the station's height (14 bits: -500.0 m rather than the table's
# -400.0 m), then two heights written against it.
REFERENCE = [203014, 7030, 203255, 301011, 7030, 7030]
HEIGHT = "heightOfStationGroundAboveMeanSeaLevel"


@pytest.mark.parametrize(("columns", "text"), [
    ({f"#1#{HEIGHT}->reference": [-5000]}, None),
    ({f"#1#{HEIGHT}->reference": [-5000], f"#2#{HEIGHT}->reference": [-5000]}, None),
    ({}, f"{HEIGHT} (007030), row 0: a new reference value (2-03) has no missing value: give column "
         f"#1#{HEIGHT}->reference"),
    ({f"#1#{HEIGHT}->reference": [-5000], f"#2#{HEIGHT}->reference": [-4000]},
     f"{HEIGHT} (007030), row 0: value -4000 in #2#{HEIGHT}->reference differs from the reference -5000 a 2-03 "
     "definition set for it"),
    ({f"#1#{HEIGHT}->reference": [9000]},
     f"{HEIGHT} (007030), row 0: value 9000 is no reference value that 14 bits of sign and magnitude hold"),
])
def test_new_reference_values_from_their_columns(columns, text):
    frame = pd.DataFrame({"#1#year": [2024], "#1#month": [3], "#1#day": [1], f"#1#{HEIGHT}": [-450.0],
                          f"#2#{HEIGHT}": [12.5], **columns})
    written = written_or_refused(frame, REFERENCE, text, False)
    if written is None:
        return
    back = quorvex.read_dataframe(written)
    expected = frame.drop(columns=[c for c in frame.columns if c.endswith("->reference")])
    pd.testing.assert_frame_equal(back[expected.columns], expected, check_dtype=False)
    with pytest.raises(ValueError, match=re.escape(
            f"{HEIGHT} (007030), row 0: new reference values (2-03) cannot be written compressed: quorvex's readers "
            "refuse them in compressed data")):
        quorvex.write_bufr(frame, descriptors=REFERENCE, compressed=True)


@pytest.mark.parametrize("compressed", [False, True])
def test_a_delayed_factor_under_a_bitmap_is_one_of_its_entries(compressed):
    # the bitmap covers a temperature, a factor and a dew point: its first entry selects the temperature
    frame = two_temperatures({"#1#delayedDescriptorReplicationFactor": [1], "#1#dewpointTemperature": [270.0],
                              "#1#dataPresentIndicator": [0], "#2#dataPresentIndicator": [1],
                              "#3#dataPresentIndicator": [1], "#1#firstOrderStatistics": [4]})
    frame["#2#airTemperature"] = 1.5  # the statistic
    descriptors = [301011, 12101, 101000, 31001, 12103, 224000, 236000, 101003, 31031, 8023, 224255]
    back = quorvex.read_dataframe(quorvex.write_bufr(frame, descriptors=descriptors, compressed=compressed))
    assert list(back["#2#airTemperature"]) == [1.5, 1.5]

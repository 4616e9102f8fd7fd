"""Every file of the real-data corpus frames into exactly the messages listed for it."""
import csv
from collections import defaultdict

import pytest

import _quorvex as q
from corpus_location import CORPUS

pytestmark = pytest.mark.skipif(CORPUS is None, reason="corpus not available")

# messages.tsv column -> BufrMessage attribute.
COLUMNS = {
    "length": "total_length", "compressed": "compressed_data", "subsets": "number_of_subsets",
    "category": "data_category", "intl_subcategory": "international_data_subcategory",
    "local_subcategory": "local_data_subcategory", "master_version": "master_tables_version_number",
    "local_version": "local_tables_version_number", "centre": "originating_centre",
    "subcentre": "originating_subcentre", "update_seq": "update_sequence_number",
    "observed": "observed_data", "section2": "local_section_present",
}


def load_rows():
    if CORPUS is None:
        return {}
    rows = defaultdict(list)
    with open(CORPUS / "messages.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            rows[row["path"]].append(row)
    return rows


ROWS = load_rows()


def expected_failure(rows):
    """The error of the first message that is not edition 4, or None."""
    for row in rows:
        if row["edition"] != "4":
            return f"unsupported BUFR edition {row['edition']}; only edition 4 is implemented"
    return None


def header(message):
    return {column: int(getattr(message, attr)) for column, attr in COLUMNS.items()}


def expected_header(row):
    return {column: int(row[column]) for column in COLUMNS}


@pytest.mark.parametrize("path", sorted(p for p, rows in ROWS.items() if rows[0]["offset"]))
def test_file_frames_as_listed(path):
    rows = ROWS[path]
    data = (CORPUS / path).read_bytes()
    failure = expected_failure(rows)
    if failure is not None:
        with pytest.raises(ValueError) as info:
            q.parse_all_file(str(CORPUS / path))
        assert info.value.args == (failure,)
        return
    messages = q.parse_all_file(str(CORPUS / path))
    assert len(messages) == len(rows)
    for message, row in zip(messages, rows):
        assert header(message) == expected_header(row)
        # The message lies at the listed offset: parsing those octets alone gives the same record.
        start, length = int(row["offset"]), int(row["length"])
        alone = q.parse_bytes(data[start:start + length])
        assert repr(alone) == repr(message)
        assert header(alone) == header(message)
        end = message.section4_data_offset + message.section4_data_length
        assert end <= length - 4


def test_the_file_without_a_terminator_is_refused():
    with pytest.raises(ValueError) as info:
        q.parse_all_file(str(CORPUS / "raw/bufrValidationDashboard/corruptBUFR.1"))
    assert info.value.args == ("section 5 terminator is not 7777",)


def bench_rows():
    if CORPUS is None or not (CORPUS / "bench" / "bench.tsv").exists():
        return []
    path = CORPUS / "bench" / "bench.tsv"
    with open(path, newline="") as f:
        return [(r["file"], int(r["messages"]), int(r["subsets"])) for r in csv.DictReader(f, delimiter="\t")]


@pytest.mark.parametrize("name, count, subsets", bench_rows())
def test_bench_files_frame_completely(name, count, subsets):
    messages = q.parse_all_file(str(CORPUS / name))
    assert len(messages) == count
    assert sum(m.number_of_subsets for m in messages) == subsets
    assert all(m.edition == 4 for m in messages)

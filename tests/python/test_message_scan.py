"""parse_all_bytes and parse_all_file: every message of a buffer or file."""
import pytest

import _quorvex as q
from message_builder import build

A = build(descriptors=(301011, 1001), subsets=2)
B = build(descriptors=(1002,), data=b"BUFR")  # "BUFR" inside the data is not a message


def descriptors(messages):
    return [m.unexpanded_descriptors for m in messages]


@pytest.mark.parametrize("buffer, expected", [
    (b"", []),
    (b"BUF", []),
    (b"no message here, only text", []),
    (A, [[301011, 1001]]),
    (B, [[1002]]),
    (b"ZCZC 123\r\r\n" + A + b"\r\r\nNNNN" + B + b"\x03", [[301011, 1001], [1002]]),
    (A + B + b"NNNN\r\r\n", [[301011, 1001], [1002]]),
    (b"\x00" * 3 + A, [[301011, 1001]]),
])
def test_messages_found(buffer, expected):
    assert descriptors(q.parse_all_bytes(buffer)) == expected
    assert descriptors(q.parse_all_bytes(data=buffer)) == expected


def test_each_call_returns_new_objects():
    first, second = q.parse_all_bytes(A + A), q.parse_all_bytes(A + A)
    assert first is not second and first[0] is not first[1] and first[0] is not second[0]
    assert [m.total_length for m in first] == [len(A), len(A)]


def test_leading_octets_are_only_skipped_by_the_scan():
    buffer = b"\x01\x02" + A
    assert len(q.parse_all_bytes(buffer)) == 1
    with pytest.raises(ValueError, match="^missing BUFR marker$"):
        q.parse_bytes(buffer)


@pytest.mark.parametrize("buffer, message", [
    (A + b"xxBUFR\x00", "message is too short to be BUFR"),
    (A + b"BUFR", "message is too short to be BUFR"),
    (A + b"pad" + A[:-1], f"section 0 at offset {len(A) + 3} is truncated"),
    (A + B[:-1] + b"8", "section 5 terminator is not 7777"),
    (b"BUFR\x00\x00\x05\x04" + A, "message is too short to be BUFR"),
    (b"BUFR\x00\x00\x00\x04" + A, "message is too short to be BUFR"),
    (A + A[:7] + b"\x03" + A[8:], "unsupported BUFR edition 3; only edition 4 is implemented"),
])
def test_one_bad_message_fails_the_whole_call(buffer, message, tmp_path):
    with pytest.raises(ValueError) as info:
        q.parse_all_bytes(buffer)
    assert info.value.args == (message,)
    path = tmp_path / "m.bufr"
    path.write_bytes(buffer)
    with pytest.raises(ValueError) as info:
        q.parse_all_file(str(path))
    assert info.value.args == (message,)


def test_parse_all_file(tmp_path):
    path = tmp_path / "several.bufr"
    path.write_bytes(b"header\n" + A + B + A)
    assert descriptors(q.parse_all_file(str(path))) == [[301011, 1001], [1002], [301011, 1001]]
    assert descriptors(q.parse_all_file(path=str(path))) == descriptors(q.parse_all_file(str(path)))
    empty = tmp_path / "empty.bufr"
    empty.write_bytes(b"")
    assert q.parse_all_file(str(empty)) == []

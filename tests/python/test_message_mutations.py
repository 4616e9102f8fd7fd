"""Mutated real messages through every parse function: a result or ValueError, nothing else."""
import random

import pytest

import _quorvex as q
from corpus_location import CORPUS
from message_builder import build

SEED = 20240611
ROUNDS = 6000


def seed_messages():
    """Small real edition 4 messages (when the corpus is present) and hand-built ones."""
    messages = [build(descriptors=(301011, 1001), data=b"\x12\x34"), build(section2=b"abc", descriptors=())]
    for name in ("raw/bufrValidationDashboard/boom.bufr", "raw/bufrValidationDashboard/filter.out",
                 "derived4/pdbufr/aircraft_small.bufr", "raw/pdbufr/aircraft_mrar_compressed.bufr"):
        path = CORPUS / name if CORPUS is not None else None
        if path is not None and path.exists():
            data = path.read_bytes()
            offset = 0
            for m in q.parse_all_bytes(data):
                offset = data.index(b"BUFR", offset)
                messages.append(data[offset:offset + m.total_length])
                offset += m.total_length
    return messages


def mutate(rng, message):
    octets = bytearray(message)
    for _ in range(rng.randint(1, 3)):
        choice = rng.randrange(6)
        if choice == 0 and octets:  # flip bits of one octet
            octets[rng.randrange(len(octets))] ^= 1 << rng.randrange(8)
        elif choice == 1 and octets:  # a random octet value, favouring the headers
            octets[min(rng.randrange(64), len(octets) - 1)] = rng.randrange(256)
        elif choice == 2:  # cut
            del octets[rng.randrange(len(octets) + 1):]
        elif choice == 3 and len(octets) >= 7:  # random declared total length
            octets[4:7] = rng.randrange(1 << 24).to_bytes(3, "big")
        elif choice == 4 and len(octets) >= 11:  # random length of a section header
            at = rng.choice([8, 30, rng.randrange(8, len(octets) - 2)])
            octets[at:at + 3] = rng.choice([0, 1, 3, 6, 7, 8, rng.randrange(1 << 24)]).to_bytes(3, "big")
        elif choice == 5:  # insert a marker or junk
            at = rng.randrange(len(octets) + 1)
            octets[at:at] = rng.choice([b"BUFR", b"7777", b"BUFR\x00\x00\x00\x04", bytes(rng.randrange(9))])
    # Mostly keep the declared total length in step, so that the later checks are reached.
    if len(octets) >= 7 and rng.random() < 0.7:
        octets[4:7] = len(octets).to_bytes(3, "big")
    return bytes(octets)


def check(parse, octets):
    try:
        result = parse(octets)
    except ValueError as e:
        assert len(e.args) == 1 and isinstance(e.args[0], str)
        return
    for m in (result if isinstance(result, list) else [result]):
        assert m.edition == 4
        assert m.section4_data_offset + m.section4_data_length <= m.total_length - 4
        assert len(m.unexpanded_descriptors) == (m.section3_length - 7) // 2
    if not isinstance(result, list):
        assert result.total_length == len(octets)


def test_mutated_buffers():
    rng = random.Random(SEED)
    seeds = seed_messages()
    for _ in range(ROUNDS):
        octets = mutate(rng, rng.choice(seeds))
        check(q.parse_bytes, octets)
        check(q.parse_all_bytes, octets)
        check(q.parse_all_bytes, rng.choice(seeds) + octets + rng.choice(seeds))


def test_mutated_files(tmp_path):
    rng = random.Random(SEED + 1)
    seeds = seed_messages()
    path = tmp_path / "mutated.bufr"
    for _ in range(300):
        octets = mutate(rng, rng.choice(seeds))
        path.write_bytes(octets)
        for parse in (q.parse_file, q.parse_all_file):
            check(lambda _: parse(str(path)), octets)


@pytest.mark.parametrize("length", range(0, 40))
def test_every_short_buffer_with_a_marker(length):
    # "BUFR", edition 4 and a declared length equal to the buffer: every short size.
    octets = bytearray(max(length, 8))
    octets[0:4] = b"BUFR"
    octets[7] = 4
    octets = bytes(octets[:length])
    if length >= 7:
        octets = octets[:4] + length.to_bytes(3, "big") + octets[7:]
    for parse in (q.parse_bytes, q.parse_all_bytes):
        check(parse, octets)

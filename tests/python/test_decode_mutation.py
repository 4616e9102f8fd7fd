"""Seeded mutations of real messages through decode_values_with_tables: every input gives a
list of DecodedValue or a ValueError, never another exception, a crash or a hang."""
import faulthandler
import os
import random

import pytest

import _quorvex
from decode_support import CORPUS, DEFINITIONS, split_messages

# (file, message index): uncompressed and compressed, replication, operators and bitmaps.
MESSAGES = [
    ("raw/pdbufr/synop_wigos.bufr", 0),
    ("raw/pdbufr/compress_3.bufr", 1),
    ("raw/pdbufr/aircraft_mrar_compressed.bufr", 0),
    ("raw/pybufrkit/uegabe.bufr", 0),
    ("derived4/pybufrkit/temp_101.bufr", 2),
    ("derived4/pybufrkit/207003.bufr", 0),
    ("derived4/pybufrkit/pilo_91.bufr", 3),
    ("raw/bufrValidationDashboard/boom.bufr", 0),
]
ROUNDS = int(os.environ.get("QUORVEX_MUTATION_ROUNDS", "1000"))  # per message


def load(path, index):
    full = CORPUS / path
    if not full.exists() or not DEFINITIONS.is_dir():
        pytest.skip("corpus or ecCodes definitions not installed")
    data = full.read_bytes()
    offset, length = split_messages(data)[index]
    octets = data[offset:offset + length]
    record = _quorvex.parse_bytes(octets)
    return octets, record, _quorvex.TableSet.from_definitions(str(DEFINITIONS), record)


def with_lengths(octets, record, section3=None, section4=None):
    """The message rebuilt with a new section 3 descriptor area or section 4 data, its
    lengths fixed so that the framing still holds."""
    s3 = 8 + record.section1_length + record.section2_length
    s4 = s3 + record.section3_length
    head3, codes = octets[s3:s3 + 7], octets[s3 + 7:s4]
    data = octets[s4 + 4:s4 + record.section4_length]
    codes = codes if section3 is None else section3
    data = data if section4 is None else section4
    sec3 = (7 + len(codes)).to_bytes(3, "big") + head3[3:] + codes
    sec4 = (4 + len(data)).to_bytes(3, "big") + b"\0" + data
    body = octets[8:s3] + sec3 + sec4 + b"7777"
    return b"BUFR" + (8 + len(body)).to_bytes(3, "big") + b"\x04" + body


def mutate(rng, octets, record):
    s3 = 8 + record.section1_length + record.section2_length
    s4 = s3 + record.section3_length
    data = bytearray(octets)
    kind = rng.randrange(6)
    if kind == 0:  # flip a few bits of sections 3 and 4
        for _ in range(rng.randint(1, 4)):
            bit = rng.randrange(8 * s3, 8 * (len(data) - 4))
            data[bit // 8] ^= 0x80 >> (bit % 8)
        return bytes(data)
    if kind == 1:  # overwrite octets anywhere, framing included
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] = rng.randrange(256)
        return bytes(data)
    if kind == 2:  # cut the buffer
        return bytes(data[:rng.randrange(len(data))])
    section4 = octets[s4 + 4:s4 + record.section4_length]
    if kind == 3:  # cut section 4, keeping the framing whole
        return with_lengths(octets, record, section4=section4[:rng.randrange(len(section4) + 1)])
    if kind == 4:  # random section 4 of a random length
        size = rng.randrange(2 * len(section4) + 2)
        return with_lengths(octets, record, section4=rng.randbytes(size))
    codes = bytearray(octets[s3 + 7:s4])  # change, drop or repeat descriptors
    if len(codes) >= 2:
        k = 2 * rng.randrange(len(codes) // 2)
        choice = rng.randrange(3)
        if choice == 0:
            codes[k:k + 2] = rng.randbytes(2)
        elif choice == 1:
            del codes[k:k + 2]
        else:
            codes[k:k] = codes[k:k + 2] * rng.randint(1, 3)
    return with_lengths(octets, record, section3=bytes(codes))


@pytest.mark.parametrize("path, index", MESSAGES, ids=[f"{p.split('/')[-1]}#{i}" for p, i in MESSAGES])
def test_mutated_messages_decode_or_raise_value_error(path, index):
    octets, record, tables = load(path, index)
    reference = _quorvex.decode_values_with_tables(octets, tables)
    assert reference and all(type(v) is _quorvex.DecodedValue for v in reference)
    rng = random.Random(f"{path}#{index}")
    outcomes = {"values": 0, "error": 0}
    faulthandler.dump_traceback_later(120, exit=True)  # a hang ends the run with a trace
    try:
        for round_ in range(ROUNDS):
            data = mutate(rng, octets, record)
            try:
                values = _quorvex.decode_values_with_tables(data, tables)
            except ValueError as e:
                assert len(e.args) == 1 and type(e.args[0]) is str and e.args[0]
                outcomes["error"] += 1
                continue
            assert type(values) is list
            assert all(type(v) is _quorvex.DecodedValue for v in values)
            if round_ % 25 == 0:  # same input, same output; every attribute readable
                again = _quorvex.decode_values_with_tables(data, tables)
                assert [repr(v) for v in again] == [repr(v) for v in values]
                for v in values:
                    want = v.raw_text if v.raw_text is not None else (
                        v.raw_meaning if v.raw_meaning is not None else v.raw_value)
                    assert repr(v.data) == repr(want) and type(v.name) is str
            outcomes["values"] += 1
    finally:
        faulthandler.cancel_dump_traceback_later()
    # Both outcomes are met: the mutations reach the decoder, not only the framing checks.
    assert outcomes["values"] > 0 and outcomes["error"] > 0, outcomes

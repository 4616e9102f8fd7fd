"""Seeded mutations of real messages, many to a buffer, through the engine in one threaded
call: every message the per-value decoder decodes alone gets the same rows, every one it
refuses gets none, and the call itself never fails."""
import random

import pytest

import _quorvex
import quorvex
from engine_support import engine_rows, expected_rows
from quorvex import _engine
from test_decode_mutation import MESSAGES, load, mutate

ROUNDS = 60  # mutations of each message


@pytest.mark.parametrize("path, index", MESSAGES, ids=[f"{p.split('/')[-1]}#{i}" for p, i in MESSAGES])
def test_mutated_messages_in_one_buffer_match_the_per_value_decoder(path, index):
    octets, record, tables = load(path, index)
    rng = random.Random(f"engine {path}#{index}")
    mutated = [mutate(rng, octets, record) for _ in range(ROUNDS)]
    buffer, offsets = bytearray(), []
    for m in mutated:
        offsets.append(len(buffer))
        buffer += m + b"\0\0"
    same = quorvex.TableSet("/usr/share/eccodes/definitions", master_table=record.master_table_number,
                            master_version=record.master_tables_version_number,
                            local_version=record.local_tables_version_number, centre=record.originating_centre,
                            sub_centre=record.originating_subcentre)
    table = quorvex.read_arrow(bytes(buffer), tables=same, threads=2, on_bad_message="skip")
    rows = engine_rows(table)
    whole = {o: (i, n) for i, (o, n, e) in enumerate(_engine.scan(bytes(buffer))) if e is None}
    compared = refused = 0
    for m, offset in zip(mutated, offsets):
        if whole.get(offset, (None, None))[1] != len(m):
            continue  # not framed as a message of its own in the buffer
        message_index = whole[offset][0]
        try:
            want = expected_rows(_quorvex.decode_values_with_tables(m, tables))
        except ValueError:
            if m[7] == 4:  # the per-value decoder refuses other editions before decoding
                assert message_index not in rows
                refused += 1
            continue
        assert rows.get(message_index, []) == want
        compared += 1
    assert compared > 0 and refused > 0

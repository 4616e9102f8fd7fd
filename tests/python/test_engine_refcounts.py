"""Reference counts and memory of quorvex._engine, as test_refcounts checks _quorvex: every
function and method, on its success and failure paths, called thousands of times, and the
Arrow structs it exports taken and released by pyarrow."""
import gc
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
from quorvex import _engine  # noqa: E402
from test_refcounts import World, assert_flat, expect  # noqa: E402


class EngineWorld(World):
    def __init__(self, root):
        super().__init__(root)
        self.engine_tables = _engine.Tables(self.definitions)
        self.table_set = _engine.TableSet()
        self.stream = self.message + b"junk" + self.bad_message + self.message
        self.refs = [(0, k, o, n) for k, (o, n, e) in enumerate(_engine.scan(self.stream)) if e is None]
        self.ref_array = np.array(self.refs, np.int64)
        self.batch, _ = _engine.decode([self.stream], self.refs, self.engine_tables, 2, True)
        self.key = next(k for k in pa.table(self.batch).column("key").to_pylist() if k)


def scenarios(w):
    """name -> zero-argument call; each call checks its own outcome."""
    def n():
        return len(w.message)
    store = _engine.Tables("")
    rows = pa.table({"#1#year": [2024.0], "#1#month": [1.0], "#1#day": [2.0], "#1#airTemperature": [273.15]})
    too_big = pa.table({"#1#year": [1e9]})
    binary = pa.table({"#1#year": pa.array([b"2024"])})
    date = [pa.array([2024, None, 2023])[1:], pa.array([2.0, 13.0])]
    date_chunks = [[("l" if p.type == pa.int64() else "d", *p.buffers(), p.offset, len(p))] for p in date]
    stamps = np.empty(2, np.int64)
    return {
        "scan": lambda: _engine.scan(w.stream),
        "scan_headers": lambda: _engine.scan(w.stream, 0, None, True),
        "scan_window": lambda: _engine.scan_window(w.stream, 0, len(w.stream), headers=True),
        "scan_index": lambda: _engine.scan_index(w.stream, 0, len(w.stream), 1, 5),
        "scan_index_type_error": lambda: expect(TypeError, _engine.scan_index, w.stream, 0, "end"),
        "scan_type_error": lambda: expect(TypeError, _engine.scan, 3),
        "scan_missing_argument": lambda: expect(TypeError, _engine.scan_window, w.stream),
        "scan_negative_start": lambda: expect(ValueError, _engine.scan, w.stream, -1),
        "date_stamps": lambda: _engine.date_stamps(*date_chunks, *date_chunks, *date_chunks, stamps),
        "date_stamps_rows_error": lambda: expect(ValueError, _engine.date_stamps, *date_chunks * 3, stamps[:1]),
        "date_stamps_type_error": lambda: expect(TypeError, _engine.date_stamps, *date_chunks * 3, b"12345678"),
        "read_header": lambda: _engine.read_header(w.message, 0, n()),
        "read_header_error": lambda: expect(ValueError, _engine.read_header, w.bad_message, 0, n() - 1),
        "read_header_outside": lambda: expect(ValueError, _engine.read_header, w.message, 1, n()),
        "read_header_keys": lambda: _engine.read_header_keys(w.message, 0, n()),
        "header_keys": lambda: _engine.header_keys(),
        "reencode": lambda: (_engine.reencode(w.message, 0, n(), w.engine_tables),
                             _engine.reencode(w.message, 0, n(), w.engine_tables, compressed=True)),
        "reencode_error": lambda: expect(ValueError, _engine.reencode, w.bad_message, 0, n() - 1, w.engine_tables),
        "write_table": lambda: _engine.write_table(rows, [301011, 12101], {"dataCategory": 0}, True, 0, store),
        "write_table_refused": lambda: expect(ValueError, _engine.write_table, too_big, [301011], None, False, 0,
                                              store),
        "write_table_type_error": lambda: expect(TypeError, _engine.write_table, binary, [301011], None, False, 0,
                                                 store),
        "reencode_type_error": lambda: expect(TypeError, _engine.reencode, w.message, 0, n(), None),
        "tables_new": lambda: _engine.Tables(w.definitions),
        "tables_new_store": lambda: _engine.Tables(""),
        "tables_new_type_error": lambda: expect(TypeError, _engine.Tables, 3),
        "tables_new_not_a_root": lambda: expect(ValueError, _engine.Tables, "/nowhere"),
        "tables_source": lambda: w.engine_tables.source(w.message, 0, n()),
        "tables_table_set": lambda: w.engine_tables.table_set(w.message, 0, n()),
        "tableset_new": lambda: _engine.TableSet(master_version=30, local_version=1, centre=98),
        "tableset_missing_version": lambda: expect(ValueError, _engine.TableSet, master_version=3),
        "tableset_bad_keyword": lambda: expect(TypeError, _engine.TableSet, bogus=1),
        "tableset_tableelement": lambda: w.table_set.get_element(12101).abbreviation,
        "tableset_tablesequence": lambda: w.table_set.get_sequence(301001).members,
        "tableset_meaning": lambda: (w.table_set.get_meaning(20012, 1), w.table_set.get_meaning(20012, 1 << 40)),
        "tableset_expand": lambda: w.table_set.expand([301001, 12101]),
        "tableset_expand_error": lambda: expect(ValueError, w.table_set.expand, [399999]),
        "tableset_expand_tree": lambda: w.table_set.expand_tree([301001, 101000, 31001, 12101]),
        "tableset_expand_tree_error": lambda: expect(ValueError, w.table_set.expand_tree, [399999]),
        "tableset_element_types": lambda: w.table_set.element_types(),
        "decode": lambda: _engine.decode([w.stream], w.refs, w.engine_tables, 2, True),
        "decode_bad": lambda: _engine.decode([w.bad_message], [(0, 0, 0, n() - 1)], w.engine_tables, 1),
        "decode_type_error": lambda: expect(TypeError, _engine.decode, [w.stream], [(0, 0)], w.engine_tables, 1),
        "decode_bad_keyword": lambda: expect(TypeError, _engine.decode, [], [], w.engine_tables, 1, bogus=1),
        "read_rows": lambda: pa.table(_engine.read_rows([w.stream], w.refs, w.engine_tables, 1, [w.key])[0]),
        "read_rows_unknown_key": lambda: expect(KeyError, _engine.read_rows, [w.stream], w.refs, w.engine_tables, 1,
                                                ["notAKey"]),
        "read_tree": lambda: pa.table(_engine.read_tree(w.message, 0, n(), w.engine_tables)[0]),
        "read_tree_bad": lambda: _engine.read_tree(w.bad_message, 0, n() - 1, w.engine_tables)[1][0],
        "read_tree_type_error": lambda: expect(TypeError, _engine.read_tree, w.message, 0, n(), w.table_set),
        "read_rows_filters": lambda: pa.table(_engine.read_rows([w.stream], w.refs, w.engine_tables, 1, [w.key],
                                                                filters=[(w.key, [1, 2.5, "x"], None, None),
                                                                         (w.key, None, 0, None)])[0]),
        "read_rows_filter_error": lambda: expect(TypeError, _engine.read_rows, [w.stream], w.refs, w.engine_tables, 1,
                                                 [w.key], filters=[(w.key, [True], None, None)]),
        "read_header_table": lambda: pa.table(_engine.read_header_table([w.stream], w.refs, ["edition", "ident"])[0]),
        "read_header_table_all": lambda: _engine.read_header_table([w.bad_message], [(0, 0, 0, n() - 1)]),
        "read_header_table_array": lambda: pa.table(_engine.read_header_table([w.stream], w.ref_array)[0]),
        "read_header_table_array_error": lambda: expect(TypeError, _engine.read_header_table, [w.stream],
                                                        w.ref_array[:, :3]),
        "read_header_table_unknown": lambda: expect(KeyError, _engine.read_header_table, [w.stream], w.refs,
                                                    ["notAHeaderKey"]),
        "batch_table": lambda: pa.table(w.batch),
        "batch_stream": lambda: pa.RecordBatchReader.from_stream(w.batch).read_all(),
        "batch_capsules_dropped": lambda: (w.batch.__arrow_c_schema__(), w.batch.__arrow_c_array__(),
                                           w.batch.__arrow_c_stream__()),
    }


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    return EngineWorld(tmp_path_factory.mktemp("engine_refcounts"))


SCENARIOS = sorted(scenarios(None))


def test_every_function_has_a_scenario():
    names = " ".join(SCENARIOS)
    for public in _engine.__all__ + [f for f in dir(_engine) if callable(getattr(_engine, f)) and f[0] != "_"]:
        if public in ("watch", "faulted", "unwatch"):  # the mapping guard: test_hostile_io
            continue
        assert public.lower() in names, public


@pytest.mark.parametrize("name", SCENARIOS)
def test_memory_stays_flat_over_many_calls(world, name):
    assert_flat(name, scenarios(world)[name])


def test_arguments_and_results_keep_their_reference_counts(world):
    held = [world.stream, world.engine_tables, world.refs, world.refs[0], world.batch, _engine.Batch, _engine.Tables]
    call = scenarios(world)["decode"]
    call()
    gc.collect()
    before = [sys.getrefcount(o) for o in held]
    for _ in range(500):
        batch, bad = call()
        pa.table(batch)
        del batch, bad
    gc.collect()
    after = [sys.getrefcount(o) for o in held]
    assert after == before
    batch, bad = call()
    counts = [sys.getrefcount(batch), sys.getrefcount(bad)]
    assert counts == [2, 2]

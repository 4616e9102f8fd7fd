"""Reference counts and memory: every function, method and attribute of the module, on its
success and its failure paths, called thousands of times. A leaked Python object shows in
tracemalloc's count of live Python allocations, a leaked native buffer in the resident set
size, and a reference kept to an argument in its reference count. The bounds are loose
(a leak of a few dozen octets per call still crosses them); nothing here measures time.
"""
import gc
import os
import pathlib
import sys
import tracemalloc

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _quorvex as q  # noqa: E402
from decode_support import Bits, element, message, write_tables  # noqa: E402

CALLS = int(os.environ.get("QUORVEX_REFCOUNT_CALLS", "3000"))
WARMUP = 300
# Measured growth is 32 octets of Python allocations and no resident page at all, for every
# scenario; the bounds leave room for noise and still catch a leak of one small object per
# call (tracemalloc) or of some 700 octets of native memory per call (resident set).
TRACED_BOUND = 8 * 1024  # octets of Python allocations still alive after CALLS calls
RSS_BOUND = 2 << 20  # octets of resident memory gained over CALLS calls
RSS_ROUNDS = 3  # rounds of CALLS calls, the bound holding in one of them
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class World:
    """The arguments every scenario uses, made once."""

    def __init__(self, root):
        root = pathlib.Path(root)
        elements = [element(1001, "BLOCK", "Numeric", width=7), element(1002, "STATION", "Numeric", width=10),
                    element(1015, "NAME", "CCITT IA5", width=32), element(31001, "FACTOR", "Numeric", width=8)]
        sequences = {301001: [1001, 1002], 301002: [101000, 31001, 1002]}
        codes = {1001: {3: "three"}}
        self.tables_dir = write_tables(root / "tables", elements, sequences, codes)
        self.tables = q.TableSet.from_eccodes(self.tables_dir)
        # A definitions root: WMO version 38 and the local tables of centre 98, version 1.
        self.definitions = str(root / "definitions")
        tables0 = root / "definitions" / "bufr" / "tables" / "0"
        write_tables(tables0 / "wmo" / "38", elements, sequences, codes)
        write_tables(tables0 / "local" / "1" / "98" / "0", [element(1002, "LOCAL STATION", "Numeric", width=10)])
        # A WMO CSV release of one Table B and one Table D file.
        self.csv_dir = root / "csv"
        self.csv_dir.mkdir()
        (self.csv_dir / "BUFRCREX_TableB_en_01.csv").write_text(
            "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,BUFR_DataWidth_Bits\n"
            "01,Identification,001001,WMO block number,Numeric,0,0,7\n"
            "01,Identification,001002,WMO station number,Numeric,0,0,10\n")
        (self.csv_dir / "BUFR_TableD_en_01.csv").write_text(
            "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2\n"
            "01,Location,301001,(WMO block and station numbers),,001001\n"
            "01,Location,301001,(WMO block and station numbers),,001002\n")
        self.csv_dir = str(self.csv_dir)
        data = Bits().put(3, 7).put(456, 10).text("ABCD").put(2, 8).put(1, 10).put(2, 10)
        self.message = message([301001, 1015, 301002], data)
        self.local_message = message([301001], Bits().put(3, 7).put(456, 10), local_version=1)
        self.compressed = message([1001, 1015], Bits().put(3, 7).put(1, 6).put(0, 1).put(1, 1)
                                  .text("ABCD").put(0, 6), subsets=2, compressed=True)
        self.bad_message = self.message[:-1]
        self.message_path = str(root / "one.bufr")
        pathlib.Path(self.message_path).write_bytes(self.message * 2)
        self.single_path = str(root / "single.bufr")
        pathlib.Path(self.single_path).write_bytes(self.message)
        self.missing = str(root / "missing")
        self.record = q.parse_bytes(self.message)
        self.element = self.tables.get_element(1015)
        self.sequence = self.tables.get_sequence(301001)
        self.values = q.decode_values_with_tables(self.message, self.tables)
        self.descriptor = q.Descriptor(3, 1, 1)
        self.codes = [301001, 1015, 301002]


def expect(exc, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc:
        return
    raise AssertionError(f"{call} did not raise {exc.__name__}")


def scenarios(w):
    """name -> zero-argument call; each call checks its own outcome."""
    s = {
        # Framing.
        "parse_bytes": lambda: q.parse_bytes(w.message),
        "parse_bytes_error": lambda: expect(ValueError, q.parse_bytes, w.bad_message),
        "parse_bytes_type_error": lambda: expect(TypeError, q.parse_bytes, bytearray(w.message)),
        "parse_bytes_missing_argument": lambda: expect(TypeError, q.parse_bytes),
        "parse_bytes_bad_keyword": lambda: expect(TypeError, q.parse_bytes, w.message, bogus=1),
        "parse_file": lambda: q.parse_file(w.single_path),
        "parse_file_error": lambda: expect(ValueError, q.parse_file, w.message_path),
        "parse_file_os_error": lambda: expect(OSError, q.parse_file, w.missing),
        "parse_all_bytes": lambda: q.parse_all_bytes(w.message * 3),
        "parse_all_bytes_error": lambda: expect(ValueError, q.parse_all_bytes, w.message + w.bad_message),
        "parse_all_file": lambda: q.parse_all_file(w.message_path),
        "parse_all_file_os_error": lambda: expect(OSError, q.parse_all_file, w.missing),
        # BufrMessage.
        "message_attributes": lambda: [getattr(w.record, a) for a in dir(w.record) if not a.startswith("_")],
        "message_repr": lambda: repr(w.record),
        # Descriptor.
        "descriptor_new": lambda: q.Descriptor(3, 1, 1),
        "descriptor_new_keywords": lambda: q.Descriptor(f=0, x=1, y=1),
        "descriptor_new_overflow": lambda: expect(OverflowError, q.Descriptor, 256, 0, 0),
        "descriptor_new_type_error": lambda: expect(TypeError, q.Descriptor, "0", 0, 0),
        "descriptor_from_fxy": lambda: q.Descriptor.from_fxy(301011),
        "descriptor_from_fxy_overflow": lambda: expect(OverflowError, q.Descriptor.from_fxy, 2**32),
        "descriptor_attributes": lambda: (w.descriptor.f, w.descriptor.x, w.descriptor.y, w.descriptor.fxy),
        "descriptor_repr": lambda: repr(w.descriptor),
        # Tables.
        "tableset_new": lambda: q.TableSet(),
        "tableset_new_type_error": lambda: expect(TypeError, q.TableSet, 1),
        "from_eccodes": lambda: q.TableSet.from_eccodes(w.tables_dir),
        "from_eccodes_error": lambda: expect(ValueError, q.TableSet.from_eccodes, w.missing),
        "from_bufr4_45": lambda: q.TableSet.from_bufr4_45(w.csv_dir),
        "from_bufr4_45_error": lambda: expect(ValueError, q.TableSet.from_bufr4_45, w.missing),
        "from_definitions": lambda: q.TableSet.from_definitions(w.definitions, w.record),
        "from_definitions_error": lambda: expect(ValueError, q.TableSet.from_definitions, w.missing, w.record),
        "from_definitions_type_error": lambda: expect(TypeError, q.TableSet.from_definitions, w.definitions, 1),
        "get_element_hit": lambda: w.tables.get_element(1015),
        "get_element_miss": lambda: w.tables.get_element(99999),
        "get_element_overflow": lambda: expect(OverflowError, w.tables.get_element, -1),
        "get_sequence_hit": lambda: w.tables.get_sequence(301001),
        "get_sequence_miss": lambda: w.tables.get_sequence(1),
        "get_meaning_hit": lambda: w.tables.get_meaning(1001, 3),
        "get_meaning_miss": lambda: w.tables.get_meaning(1001, 2**64 - 1),
        "get_meaning_type_error": lambda: expect(TypeError, w.tables.get_meaning, 1001, "3"),
        "tableset_counts_and_repr": lambda: (w.tables.element_count, w.tables.sequence_count, repr(w.tables)),
        "element_attributes": lambda: [getattr(w.element, a) for a in dir(w.element) if not a.startswith("_")],
        "element_repr": lambda: repr(w.element),
        "element_new_type_error": lambda: expect(TypeError, q.ElementDefinition),
        "sequence_attributes": lambda: (w.sequence.code, w.sequence.members, repr(w.sequence)),
        "sequence_new_type_error": lambda: expect(TypeError, q.SequenceDefinition),
        # Expansion.
        "tableset_expand": lambda: w.tables.expand(w.codes),
        "tableset_expand_error": lambda: expect(ValueError, w.tables.expand, [399999]),
        "tableset_expand_overflow": lambda: expect(OverflowError, w.tables.expand, [1001, 2**32]),
        "tableset_expand_str": lambda: expect(TypeError, w.tables.expand, "1001"),
        "expand_descriptors": lambda: q.expand_descriptors(w.tables_dir, (301001, 1015)),
        "expand_descriptors_error": lambda: expect(ValueError, q.expand_descriptors, w.tables_dir, [101000]),
        "expand_descriptors_load_error": lambda: expect(ValueError, q.expand_descriptors, w.missing, [1001]),
        # Decoding.
        "decode_values": lambda: q.decode_values(w.message, w.tables_dir),
        "decode_values_error": lambda: expect(ValueError, q.decode_values, w.message, w.missing),
        "decode_values_with_tables": lambda: q.decode_values_with_tables(w.message, w.tables),
        "decode_values_with_tables_compressed": lambda: q.decode_values_with_tables(w.compressed, w.tables),
        "decode_values_with_tables_error": lambda: expect(ValueError, q.decode_values_with_tables,
                                                          message([1001], b""), w.tables),
        "decode_values_with_tables_unknown_element": lambda: expect(ValueError, q.decode_values_with_tables,
                                                                    message([2001], b"\0"), w.tables),
        "decode_values_with_tables_type_error": lambda: expect(TypeError, q.decode_values_with_tables,
                                                               w.message, w.tables_dir),
        "decode_values_with_definitions": lambda: q.decode_values_with_definitions(w.local_message, w.definitions),
        "decode_values_with_definitions_error": lambda: expect(ValueError, q.decode_values_with_definitions,
                                                               w.message, w.missing),
        # DecodedValue.
        "decoded_value_attributes": lambda: [(v.descriptor, v.name, v.raw_value, v.raw, v.raw_text, v.raw_meaning,
                                              v.data) for v in w.values],
        "decoded_value_repr": lambda: [repr(v) for v in w.values],
        "decoded_value_new_type_error": lambda: expect(TypeError, q.DecodedValue),
    }
    return s


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    return World(tmp_path_factory.mktemp("refcounts"))


SCENARIOS = sorted(scenarios(None).keys())
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_every_public_name_has_a_scenario():
    """A new function or class of the module must get a scenario here too."""
    names = " ".join(SCENARIOS)
    for public in q.__all__:
        key = {"BufrMessage": "message_", "DecodedValue": "decoded_value_", "Descriptor": "descriptor_",
               "ElementDefinition": "element_", "SequenceDefinition": "sequence_", "TableSet": "tableset_"}
        assert key.get(public, public) in names, public


@pytest.mark.parametrize("name", SCENARIOS)
def test_memory_stays_flat_over_many_calls(world, name):
    assert_flat(name, scenarios(world)[name])


def assert_flat(name, call):
    """`call` leaves no Python object alive and grows no resident memory over many calls."""
    for _ in range(WARMUP):
        call()
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    # A leak grows resident memory in every round; the allocator's own noise (arenas of threads
    # that earlier tests started, trimming) does not: the bound must hold in one of the rounds.
    for rounds in range(1, RSS_ROUNDS + 1):
        rss_before = rss()
        for _ in range(CALLS):
            call()
        gc.collect()
        rss_growth = rss() - rss_before
        if rss_growth < RSS_BOUND:
            break
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    assert traced_growth < rounds * TRACED_BOUND, f"{name}: {traced_growth} octets of Python objects left alive"
    # A sanitizer's allocator keeps freed memory in quarantine: resident memory says nothing there.
    if not SANITIZED:
        assert rss_growth < RSS_BOUND, f"{name}: resident memory grew by {rss_growth >> 10} KiB"


# Arguments whose reference counts must be the same after the calls as before.
def argument_holders(w):
    return {
        "message bytes": (w.message, lambda: (q.parse_bytes(w.message), q.parse_all_bytes(w.message),
                                              q.decode_values_with_tables(w.message, w.tables),
                                              q.decode_values(w.message, w.tables_dir))),
        "bad message bytes": (w.bad_message, lambda: expect(ValueError, q.parse_bytes, w.bad_message)),
        "tables": (w.tables, lambda: (q.decode_values_with_tables(w.message, w.tables), w.tables.expand([1001]),
                                      expect(ValueError, q.decode_values_with_tables, w.bad_message, w.tables))),
        "tables_dir": (w.tables_dir, lambda: (q.decode_values(w.message, w.tables_dir),
                                              q.expand_descriptors(w.tables_dir, [1001]),
                                              q.TableSet.from_eccodes(w.tables_dir))),
        "codes list": (w.codes, lambda: (w.tables.expand(w.codes), q.expand_descriptors(w.tables_dir, w.codes))),
        "record": (w.record, lambda: q.TableSet.from_definitions(w.definitions, w.record)),
        "DecodedValue type": (q.DecodedValue, lambda: q.decode_values_with_tables(w.message, w.tables)),
        "BufrMessage type": (q.BufrMessage, lambda: q.parse_all_bytes(w.message * 2)),
        "TableSet type": (q.TableSet, lambda: q.TableSet.from_eccodes(w.tables_dir)),
        "ElementDefinition type": (q.ElementDefinition, lambda: w.tables.get_element(1001)),
        "SequenceDefinition type": (q.SequenceDefinition, lambda: w.tables.get_sequence(301001)),
        "Descriptor type": (q.Descriptor, lambda: (q.Descriptor(0, 1, 1), q.Descriptor.from_fxy(1))),
        "item of a codes list": (w.codes[0], lambda: w.tables.expand(w.codes)),
    }


HOLDERS = [
    "message bytes", "bad message bytes", "tables", "tables_dir", "codes list", "record", "DecodedValue type",
    "BufrMessage type", "TableSet type", "ElementDefinition type", "SequenceDefinition type", "Descriptor type",
    "item of a codes list"]


@pytest.mark.parametrize("name", HOLDERS)
def test_arguments_keep_their_reference_counts(world, name):
    assert sorted(argument_holders(world)) == sorted(HOLDERS)
    obj, call = argument_holders(world)[name]
    call()
    gc.collect()
    before = sys.getrefcount(obj)
    for _ in range(500):
        call()
    gc.collect()
    assert sys.getrefcount(obj) == before


def test_results_are_owned_by_the_caller_alone(world):
    """A new result has one reference, the caller's; so has every item of a result list."""
    makers = [lambda: q.parse_bytes(world.message), lambda: q.TableSet.from_eccodes(world.tables_dir),
              lambda: world.tables.get_element(1001), lambda: world.tables.get_sequence(301001),
              lambda: q.Descriptor(0, 1, 1), lambda: q.Descriptor.from_fxy(1001)]
    for make in makers:
        result = make()
        assert sys.getrefcount(result) == 2  # the name `result` and getrefcount's argument
    for make in (lambda: q.parse_all_bytes(world.message * 3),
                 lambda: q.decode_values_with_tables(world.message, world.tables),
                 lambda: q.decode_values_with_tables(world.compressed, world.tables),
                 lambda: world.tables.expand([301001, 1015])):
        result = make()
        assert sys.getrefcount(result) == 2
        for item in result:
            if not isinstance(item, int):
                assert sys.getrefcount(item) == 3  # the list, `item`, getrefcount's argument
    # A new list nobody else holds. (Counted outside the assert statements, whose rewriting
    # by pytest keeps references of its own.)
    counts = [sys.getrefcount(world.sequence.members), sys.getrefcount(world.record.unexpanded_descriptors)]
    assert counts == [1, 1]
    assert world.sequence.members is not world.sequence.members

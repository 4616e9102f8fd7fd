"""The argument frame under hostile arguments: integers far outside every range, objects
whose __index__ raises or lies, subclasses of str and bytes that override what they can,
sequences whose __len__ lies or whose items raise or mutate the sequence while it is read,
keyword names that are not plain text, and calls from many threads at once. Every case
must end with a result or the documented exception, never a crash or a wrong result."""
import array
import gc
import pathlib
import sys
import threading

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _quorvex as q  # noqa: E402
from decode_support import DEFINITIONS, Bits, element, message, write_tables  # noqa: E402

WMO = DEFINITIONS / "bufr" / "tables" / "0" / "wmo" / "39"
needs_wmo = pytest.mark.skipif(not (WMO / "element.table").is_file(), reason="ecCodes WMO tables not installed")

OUT_OF_RANGE = "out of range integral type conversion attempted"


def raises(exc, call, *args, **kwargs):
    """The exception's args; its type must be exactly `exc`."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value) is exc, repr(info.value)
    return info.value.args


@pytest.fixture(scope="module")
def tables_dir(tmp_path_factory):
    d = tmp_path_factory.mktemp("tables")
    return write_tables(d, [element(1001, "BLOCK", "Numeric", width=7), element(1002, "STATION", "Numeric", width=10),
                            element(1015, "NAME", "CCITT IA5", width=32)],
                        sequences={301001: [1001, 1002]}, code_tables={1001: {3: "three"}})


@pytest.fixture(scope="module")
def tables(tables_dir):
    return q.TableSet.from_eccodes(tables_dir)


@pytest.fixture(scope="module")
def good_message():
    return message([301001, 1015], Bits().put(3, 7).put(456, 10).text("ABCD"))


# Every integer argument of the module, as (label, call taking the integer).
def integer_arguments(tables):
    return {
        "Descriptor.f": lambda v: q.Descriptor(v, 1, 1),
        "Descriptor.x": lambda v: q.Descriptor(0, v, 1),
        "Descriptor.y": lambda v: q.Descriptor(0, 1, v),
        "Descriptor.from_fxy": lambda v: q.Descriptor.from_fxy(v),
        "TableSet.get_element": lambda v: tables.get_element(v),
        "TableSet.get_sequence": lambda v: tables.get_sequence(v),
        "TableSet.get_meaning.code": lambda v: tables.get_meaning(v, 3),
        "TableSet.get_meaning.raw": lambda v: tables.get_meaning(1001, v),
        "TableSet.expand": lambda v: tables.expand([v]),
    }


ARGUMENT_NAMES = {"Descriptor.f": "f", "Descriptor.x": "x", "Descriptor.y": "y", "Descriptor.from_fxy": "code",
                  "TableSet.get_element": "code", "TableSet.get_sequence": "code",
                  "TableSet.get_meaning.code": "code", "TableSet.get_meaning.raw": "raw",
                  "TableSet.expand": "descriptors"}
INTEGER_LABELS = sorted(ARGUMENT_NAMES)
# The largest value each argument takes.
LIMITS = {"Descriptor.f": 255, "Descriptor.x": 255, "Descriptor.y": 255, "TableSet.get_meaning.raw": 2**64 - 1}


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class BigInt(int):
    """An int subclass; its value is what counts, not its __index__ or __int__."""

    def __index__(self):
        return 0

    def __int__(self):
        return 0


@pytest.mark.parametrize("label", INTEGER_LABELS)
@pytest.mark.parametrize("value", [-1, -2**63, -2**64 - 1, 2**64, 2**100, 10**400], ids=repr)
def test_integers_far_out_of_range_raise_overflow(tables, label, value):
    call = integer_arguments(tables)[label]
    with pytest.raises(OverflowError):
        call(value)
    with pytest.raises(OverflowError):
        call(Index(value))


@pytest.mark.parametrize("label", INTEGER_LABELS)
def test_one_past_the_largest_value_raises_overflow(tables, label):
    limit = LIMITS.get(label, 2**32 - 1)
    call = integer_arguments(tables)[label]
    for value in (limit, Index(limit)):  # the largest value itself is converted
        if label == "TableSet.expand":
            # ... and then refused by the expansion: F = 42949 mod 256 = 197.
            assert raises(ValueError, call, value) == ("csv/table parse error: invalid descriptor 4294967295",)
        else:
            call(value)
    with pytest.raises(OverflowError):
        call(limit + 1)


@pytest.mark.parametrize("label", INTEGER_LABELS)
def test_index_raising_type_error_is_prefixed_with_the_argument(tables, label):
    args = raises(TypeError, integer_arguments(tables)[label], RaisingIndex(TypeError("no integer here")))
    assert args == (f"argument '{ARGUMENT_NAMES[label]}': no integer here",)


@pytest.mark.parametrize("label", INTEGER_LABELS)
@pytest.mark.parametrize("exc_type", [RuntimeError, KeyError, ZeroDivisionError, MemoryError, RecursionError])
def test_index_raising_other_exceptions_passes_them_through(tables, label, exc_type):
    exc = exc_type("from __index__")
    with pytest.raises(exc_type) as info:
        integer_arguments(tables)[label](RaisingIndex(exc))
    assert info.value is exc


@pytest.mark.parametrize("label", INTEGER_LABELS)
@pytest.mark.parametrize("bad", [1.5, "7", None, b"\x01"], ids=repr)
def test_index_returning_a_non_integer_is_a_type_error(tables, label, bad):
    args = raises(TypeError, integer_arguments(tables)[label], Index(bad))
    assert args[0].startswith(f"argument '{ARGUMENT_NAMES[label]}': ")


@pytest.mark.parametrize("label", INTEGER_LABELS)
@pytest.mark.parametrize("bad", [1.0, "1", None, object(), 1j], ids=repr)
def test_non_integers_are_type_errors_naming_the_argument(tables, label, bad):
    args = raises(TypeError, integer_arguments(tables)[label], bad)
    assert args[0].startswith(f"argument '{ARGUMENT_NAMES[label]}': ")


def test_int_subclass_counts_by_its_value_and_bool_is_an_integer(tables):
    assert q.Descriptor(BigInt(3), BigInt(1), BigInt(11)).fxy == 301011
    assert q.Descriptor.from_fxy(True).fxy == 1
    assert tables.expand([BigInt(1001), True]) == [1001, 1]
    with pytest.raises(OverflowError):
        q.Descriptor.from_fxy(BigInt(2**40))


class LyingStr(str):
    """A str subclass whose every override says something else than its text."""

    def __str__(self):
        return "/nonexistent"

    def __fspath__(self):
        return "/nonexistent"

    def encode(self, *args, **kwargs):
        return b"/nonexistent"

    def __len__(self):
        return 0


class LyingBytes(bytes):
    def __len__(self):
        return 0

    def __getitem__(self, index):
        return 0

    def __bytes__(self):
        return b""

    def __buffer__(self, flags):
        return memoryview(b"")


def test_str_subclass_is_read_by_its_text(tables_dir, good_message, tmp_path):
    path = tmp_path / "one.bufr"
    path.write_bytes(good_message)
    assert q.parse_file(LyingStr(str(path))).total_length == len(good_message)
    assert [m.total_length for m in q.parse_all_file(LyingStr(str(path)))] == [len(good_message)]
    assert q.TableSet.from_eccodes(LyingStr(tables_dir)).element_count == 3
    assert q.expand_descriptors(LyingStr(tables_dir), [301001]) == [1001, 1002]
    assert len(q.decode_values(good_message, LyingStr(tables_dir))) == 3


def test_bytes_subclass_is_read_by_its_octets(tables, tables_dir, good_message):
    data = LyingBytes(good_message)
    assert q.parse_bytes(data).total_length == len(good_message)
    assert len(q.parse_all_bytes(data)) == 1
    assert [v.data for v in q.decode_values_with_tables(data, tables)] == ["three", 456.0, "ABCD"]
    assert len(q.decode_values(data, tables_dir)) == 3


@pytest.mark.parametrize("text", ["\udcff", "tables\udc80dir", "\ud800"])
def test_paths_that_are_not_utf8_fail_cleanly(good_message, text):
    for call in (q.parse_file, q.parse_all_file, q.TableSet.from_eccodes, q.TableSet.from_bufr4_45):
        with pytest.raises(ValueError):  # UnicodeEncodeError is a ValueError
            call(text)
    with pytest.raises(ValueError):
        q.decode_values(good_message, text)
    with pytest.raises(ValueError):
        q.expand_descriptors(text, [1001])


@pytest.mark.parametrize("suffix", ["\0", "\0/../elsewhere", "/\0"])
def test_paths_with_nul_fail_cleanly(tables_dir, good_message, suffix):
    with pytest.raises(OSError):
        q.parse_file(tables_dir + suffix)
    with pytest.raises(ValueError):
        q.TableSet.from_eccodes(tables_dir + suffix)
    with pytest.raises(ValueError):
        q.decode_values(good_message, tables_dir + suffix)


@pytest.mark.parametrize("value, type_name", [
    (bytearray(b"BUFR"), "bytearray"), (memoryview(b"BUFR"), "memoryview"), (array.array("B", b"BUFR"), "array"),
    ("BUFR", "str"), (LyingStr("x"), "LyingStr"),
])
def test_buffers_other_than_bytes_are_refused_by_every_data_argument(tables, tables_dir, value, type_name):
    expected = (f"argument 'data': '{type_name}' object cannot be cast as 'bytes'",)
    assert raises(TypeError, q.parse_bytes, value) == expected
    assert raises(TypeError, q.parse_all_bytes, value) == expected
    assert raises(TypeError, q.decode_values, value, tables_dir) == expected
    assert raises(TypeError, q.decode_values_with_tables, value, tables) == expected
    assert raises(TypeError, q.decode_values_with_definitions, value, str(DEFINITIONS)) == expected


class LyingLength:
    """A sequence (it has __getitem__ and __len__) whose __len__ says `claimed` while it
    holds `items`."""

    def __init__(self, items, claimed):
        self.items = items
        self.claimed = claimed

    def __len__(self):
        if isinstance(self.claimed, BaseException):
            raise self.claimed
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


def expanders(tables, tables_dir):
    return [lambda s: tables.expand(s), lambda s: q.expand_descriptors(tables_dir, s)]


@pytest.mark.parametrize("claimed", [0, 1, 10**6, sys.maxsize, RuntimeError("len fails"), OverflowError("huge")],
                         ids=repr)
def test_sequence_whose_len_lies_is_read_by_its_items(tables, tables_dir, claimed):
    for expand in expanders(tables, tables_dir):
        assert expand(LyingLength([301001, 1015, 1001], claimed)) == [1001, 1002, 1015, 1001]


class RaisingItems:
    def __init__(self, good, exc):
        self.good = good
        self.exc = exc

    def __len__(self):
        return len(self.good) + 1

    def __getitem__(self, i):
        if i < len(self.good):
            return self.good[i]
        raise self.exc


@pytest.mark.parametrize("exc_type", [RuntimeError, KeyError, TypeError, OverflowError])
def test_sequence_whose_item_raises_passes_the_exception_through(tables, tables_dir, exc_type):
    for expand in expanders(tables, tables_dir):
        exc = exc_type("item 2")
        with pytest.raises(exc_type) as info:
            expand(RaisingItems([1001, 1002], exc))
        assert info.value is exc


def test_sequence_mutated_while_it_is_read(tables, tables_dir):
    """An item whose __index__ empties the list being converted: the conversion must hold
    its own references (the freed items are not read again)."""
    for expand in expanders(tables, tables_dir):
        items = []

        class Clearing:
            def __index__(self):
                items.clear()
                gc.collect()
                return 1002

        items.extend([1001, Clearing(), Index(1015), Index(1001)])
        assert expand(items) == [1001, 1002]


def test_sequence_grown_while_it_is_read(tables):
    """Items appended during the conversion are read like the others."""
    items = []

    class Growing:
        def __index__(self):
            items.extend([1001] * 10)
            return 1002

    items.append(Growing())
    assert tables.expand(items) == [1002] + [1001] * 10


@pytest.mark.parametrize("seq, expected", [
    ((301001, 1015), [1001, 1002, 1015]),
    (range(1001, 1003), [1001, 1002]),
    (array.array("I", [1001, 301001]), [1001, 1001, 1002]),
    (b"\x01\x02", [1, 2]),  # bytes is a sequence of ints
    ([], []),
])
def test_any_sequence_of_integers_is_accepted(tables, seq, expected):
    assert tables.expand(seq) == expected


@pytest.mark.parametrize("value, type_name", [
    ({1001}, "set"), ({1001: 1}, "dict"), (iter([1001]), "list_iterator"), ((c for c in [1001]), "generator"),
    (1001, "int"), (None, "NoneType"),
])
def test_non_sequences_are_refused(tables, tables_dir, value, type_name):
    expected = (f"argument 'descriptors': '{type_name}' object cannot be cast as 'Sequence'",)
    assert raises(TypeError, tables.expand, value) == expected
    assert raises(TypeError, q.expand_descriptors, tables_dir, value) == expected


@pytest.mark.parametrize("value", ["301001", LyingStr("301001"), ""])
def test_str_is_refused_as_a_sequence(tables, value):
    assert raises(TypeError, tables.expand, value) == ("argument 'descriptors': Can't extract `str` to `Vec`",)


def test_conversion_may_call_back_into_the_module(tables, tables_dir, good_message):
    class Reentrant:
        def __index__(self):
            assert len(q.decode_values_with_tables(good_message, tables)) == 3
            assert tables.expand([301001]) == [1001, 1002]
            return 1015

    assert tables.expand([Reentrant(), 301001]) == [1015, 1001, 1002]
    assert q.expand_descriptors(tables_dir, [Reentrant()]) == [1015]


def test_table_set_dropped_by_the_caller_during_conversion(tables_dir):
    holder = {"tables": q.TableSet.from_eccodes(tables_dir)}
    expand = holder["tables"].expand

    class Dropping:
        def __index__(self):
            holder.clear()
            gc.collect()
            return 301001

    assert expand([Dropping(), 1001]) == [1001, 1002, 1001]


@pytest.mark.parametrize("key", ["\udcff", "dat\u00e4", "data ", "", "DATA"])
def test_unknown_keyword_names_are_type_errors(key):
    args = raises(TypeError, q.parse_bytes, **{key: b""})
    assert args == (f"parse_bytes() got an unexpected keyword argument '{key}'",)


def test_keyword_given_as_str_subclass_is_matched(good_message):
    class Key(str):
        pass

    assert q.parse_bytes(**{Key("data"): good_message}).total_length == len(good_message)


def test_calls_from_many_threads_at_once(tables, tables_dir, good_message):
    """The interpreter lock serialises the calls; every thread must see the same results as
    a single thread, and failures in one thread must not leak into another."""
    expected_values = [(v.descriptor, v.data) for v in q.decode_values_with_tables(good_message, tables)]
    expected_expansion = tables.expand([301001, 1015])
    errors = []
    barrier = threading.Barrier(8)

    def work(k):
        try:
            barrier.wait()
            for i in range(300):
                if (i + k) % 4 == 0:
                    got = [(v.descriptor, v.data) for v in q.decode_values_with_tables(good_message, tables)]
                    assert got == expected_values
                elif (i + k) % 4 == 1:
                    assert tables.expand([301001, 1015]) == expected_expansion
                elif (i + k) % 4 == 2:
                    with pytest.raises(ValueError):
                        q.parse_bytes(good_message + b"x")
                    with pytest.raises(OverflowError):
                        tables.get_element(2**32)
                else:
                    assert q.parse_all_bytes(good_message * 3)[2].total_length == len(good_message)
                    assert q.TableSet.from_eccodes(tables_dir).element_count == 3
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@needs_wmo
def test_many_threads_share_one_table_set_while_one_drops_its_reference():
    shared = {"tables": q.TableSet.from_eccodes(str(WMO))}
    tables = shared["tables"]
    expected = tables.expand([301001, 301011])
    errors = []

    def work():
        try:
            for _ in range(200):
                assert tables.expand([301001, 301011]) == expected
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    shared.clear()
    for t in threads:
        t.join()
    assert errors == []


def test_random_argument_combinations_end_in_a_result_or_a_documented_exception(tables, tables_dir, good_message,
                                                                                tmp_path):
    """Every callable of the module with random mixes of hostile and valid arguments, by
    position and by keyword: the only outcomes are a result or TypeError, OverflowError,
    ValueError (UnicodeEncodeError included) and OSError."""
    import random

    rng = random.Random(20240601)
    path = tmp_path / "one.bufr"
    path.write_bytes(good_message)
    pool = [
        good_message, good_message + b"x", b"", LyingBytes(good_message), bytearray(good_message), str(path),
        LyingStr(str(path)), tables_dir, "\udcff", "", "a\0b", 0, 1, -1, 255, 256, 2**32, 2**64, 10**30, True, 1.5,
        None, [301001], (1001, 1015), range(3), "301001", [2**32], [Index(1001)], [RaisingIndex(TypeError("x"))],
        LyingLength([1001], 10**9), tables, q.TableSet(), q.parse_bytes(good_message), Index(7), object(),
        RaisingIndex(ValueError("v")), {1: 2}, b"\x01\x02",
    ]
    callables = {
        "parse_bytes": (q.parse_bytes, ["data"]), "parse_file": (q.parse_file, ["path"]),
        "parse_all_bytes": (q.parse_all_bytes, ["data"]), "parse_all_file": (q.parse_all_file, ["path"]),
        "expand_descriptors": (q.expand_descriptors, ["table_dir", "descriptors"]),
        "decode_values": (q.decode_values, ["data", "table_dir"]),
        "decode_values_with_tables": (q.decode_values_with_tables, ["data", "tables"]),
        "decode_values_with_definitions": (q.decode_values_with_definitions, ["data", "definitions_root"]),
        "Descriptor": (q.Descriptor, ["f", "x", "y"]), "from_fxy": (q.Descriptor.from_fxy, ["code"]),
        "TableSet": (q.TableSet, []), "from_eccodes": (q.TableSet.from_eccodes, ["path"]),
        "from_bufr4_45": (q.TableSet.from_bufr4_45, ["path"]),
        "from_definitions": (q.TableSet.from_definitions, ["path", "message"]),
        "get_element": (tables.get_element, ["code"]), "get_sequence": (tables.get_sequence, ["code"]),
        "get_meaning": (tables.get_meaning, ["code", "raw"]), "expand": (tables.expand, ["descriptors"]),
    }
    allowed = (TypeError, OverflowError, ValueError, OSError)
    outcomes = {}
    for _ in range(4000):
        name = rng.choice(sorted(callables))
        call, names = callables[name]
        count = rng.choice([len(names), len(names), max(len(names) - 1, 0), len(names) + 1])
        values = [rng.choice(pool) for _ in range(count)]
        by_keyword = rng.random() < 0.3
        kwargs = {}
        if by_keyword:
            keys = names + ["bogus"]
            for value in values[len(values) // 2:]:
                kwargs[rng.choice(keys)] = value
            values = values[:len(values) // 2]
        try:
            call(*values, **kwargs)
            outcome = "ok"
        except allowed as e:
            outcome = type(e).__name__
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    # The mix reached results and every kind of refusal.
    assert set(outcomes) >= {"ok", "TypeError", "OverflowError", "ValueError", "OSError"}, outcomes

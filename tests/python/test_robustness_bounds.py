"""Tiny hostile inputs that ask for enormous work or memory: nested replications, sequences
that contain themselves, delayed replication counts near 2**64 over descriptors that read
no bits, 65535 subsets times many values, wide texts repeated over every subset, alias
files that point at each other. Each must end with ValueError (or, at the very edge of a
bound, a result of bounded size) while the process's memory grows by a bounded amount.

Every case runs in a child interpreter under an address-space limit, so a bound that is
missing shows up as MemoryError, a killed child or the child's time-out, never as a
machine out of memory. Memory is measured loosely with getrusage (peak RSS growth); no
timing is asserted: the child's time-out only guards against a hang.
"""
import json
import os
import pathlib
import re
import resource
import subprocess
import sys
import tempfile

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from decode_support import DEFINITIONS, Bits, element, message, write_tables  # noqa: E402

WMO = DEFINITIONS / "bufr" / "tables" / "0" / "wmo" / "39"
ADDRESS_SPACE_LIMIT = 4 << 30  # bytes; far above any bound below
CHILD_TIMEOUT = 600  # seconds; a hang guard, not a performance check
MB = 1 << 20

VALUE_LIMIT = "csv/table parse error: decoded value count exceeds the limit for the size of section 4"
WALK_LIMIT = "csv/table parse error: descriptor walk exceeds the limit for the size of section 4"
DEPTH_LIMIT = "csv/table parse error: sequence expansion exceeded recursion depth"
EXPANSION_LIMIT = "csv/table parse error: sequence expansion exceeded 4194304 descriptors"


def hostile_tables(directory):
    """Elements with the widths the cases need, and sequences nested ten wide."""
    elements = [
        element(31002, "factor", "Numeric", width=64),  # a delayed count near 2**64
        element(31003, "free factor", "Numeric", reference=65535, width=0),
        element(1001, "nothing", "Numeric", width=0),  # reads no bits
        element(1002, "bit", "Numeric", width=1),
        element(1015, "text", "CCITT IA5", width=480),  # 60 octets
        element(1019, "wide text", "CCITT IA5", width=65528),  # 8191 octets
    ]
    sequences = {300001: [300001]}  # contains itself
    # 301000 -> ten 301001 -> ten 301002 ... -> ten 1002: 10**8 codes.
    for level in range(8):
        member = 301000 + level + 1 if level < 7 else 1002
        sequences[301000 + level] = [member] * 10
    return write_tables(directory, elements, sequences)


def nested_free_replications(innermost):
    """Delayed replications nested 32 deep (the most six bits of X allow), each counted by
    the width-0 factor 031003, whose reference gives every one a count of 65535."""
    codes = [innermost]
    for _ in range(32):
        codes = [100000 + len(codes) * 1000, 31003] + codes
    return codes


def alias_loop_root(directory):
    """A definitions root whose WMO version 38 is an alias of 37, which is one of 38."""
    wmo = pathlib.Path(directory) / "bufr" / "tables" / "0" / "wmo"
    wmo.mkdir(parents=True)
    (wmo / "38").write_text("37\n")
    (wmo / "37").write_text("38\n")
    return str(directory)


def compressed_text_columns(columns, octets):
    """Section 4 of a compressed message of `columns` text elements of `octets` octets each,
    every subset equal to the reference text (increment width 0)."""
    bits = Bits()
    for i in range(columns):
        bits.text(chr(ord("A") + i % 26) * octets)
        bits.put(0, 6)
    return bits


class Env:
    """What a case may use: the module, the hostile tables (as a directory and loaded), the
    WMO tables (loaded on first use) and a scratch directory."""

    def __init__(self, q, scratch):
        self.q = q
        self.scratch = pathlib.Path(scratch)
        self.tables_dir = hostile_tables(self.scratch / "tables")
        self.tables = q.TableSet.from_eccodes(self.tables_dir)
        self._wmo = None

    @property
    def wmo(self):
        if self._wmo is None:
            self._wmo = self.q.TableSet.from_eccodes(str(WMO))
        return self._wmo


# The messages of the decode cases below, built on the hostile tables: each asks for
# enormous work or memory from a few octets.
MESSAGES = {
    "uncompressed_huge_count_over_zero_width_element": lambda: message([101000, 31002, 1001], b"\xff" * 8),
    "uncompressed_huge_count_over_operator": lambda: message([101000, 31002, 222000], b"\xff" * 8),
    "uncompressed_huge_count_over_silent_operator": lambda: message([101000, 31002, 201129], b"\xff" * 8),
    "uncompressed_nested_free_replications_over_element": lambda: message(nested_free_replications(1001), b""),
    "uncompressed_nested_free_replications_over_silent_operator": lambda: (
        message(nested_free_replications(201000), b"")),
    "uncompressed_subsets_times_operators": lambda: message([222000] * 400, b"", subsets=65535),
    "compressed_subsets_times_columns": lambda: (
        message([102004, 101255, 1002], b"\x00" * 1024, subsets=65535, compressed=True)),
    "compressed_huge_count_over_operator": lambda: (
        message([101000, 31002, 222000], Bits().put((1 << 64) - 1, 64).put(0, 6), subsets=2, compressed=True)),
    "compressed_text_over_all_subsets": lambda: (
        message([101016, 1015], compressed_text_columns(16, 60), subsets=65535, compressed=True)),
    "compressed_wide_texts_over_all_subsets": lambda: (
        message([1019, 1019], compressed_text_columns(2, 8191), subsets=65535, compressed=True)),
    "compressed_wide_text_without_data": lambda: message([1019], b"A" * 100, subsets=65535, compressed=True),
    "uncompressed_text_width_operator_without_data": lambda: message([208255, 1015], b"A" * 60, subsets=65535),
}


def decoded(name):
    """The case that decodes MESSAGES[name] with the hostile tables."""
    return lambda e: e.q.decode_values_with_tables(MESSAGES[name](), e.tables)


# name -> (call taking an Env, expected outcome). An expected outcome is ("ValueError",
# message or pattern of the message) or ("ok", number of items in the result).
CASES = {
    # Fixed replications nested three deep ask for 255**3 codes.
    "expand_nested_fixed_replications": (
        lambda e: e.q.expand_descriptors(str(WMO), [103255, 102255, 101255, 1001]),
        ("ValueError", EXPANSION_LIMIT)),
    "tableset_expand_nested_fixed_replications": (
        lambda e: e.wmo.expand([104255, 103255, 102255, 101255, 1001]),
        ("ValueError", EXPANSION_LIMIT)),
    # Just below the cap: 255 * 255 * 63 = 4096575 codes come back as a list.
    "expand_largest_allowed_output": (
        lambda e: e.wmo.expand([103255, 102255, 101063, 1001]),
        ("ok", 255 * 255 * 63)),
    # Sequences nested eight deep, ten members each: 10**8 codes.
    "expand_nested_sequences": (
        lambda e: e.tables.expand([301000]),
        ("ValueError", EXPANSION_LIMIT)),
    "expand_self_containing_sequence": (
        lambda e: e.q.expand_descriptors(e.tables_dir, [300001]),
        ("ValueError", DEPTH_LIMIT)),
    # Delayed replication whose 64-bit factor is all ones (class 31: never missing, so a
    # count of 2**64 - 1) over an element of width 0.
    "uncompressed_huge_count_over_zero_width_element": (
        decoded("uncompressed_huge_count_over_zero_width_element"),
        ("ValueError", VALUE_LIMIT)),
    # The same count over an operator that reads nothing and yields a marker value.
    "uncompressed_huge_count_over_operator": (
        decoded("uncompressed_huge_count_over_operator"),
        ("ValueError", VALUE_LIMIT)),
    # The same count over a width operator that yields nothing at all: only the walk
    # budget can end it.
    "uncompressed_huge_count_over_silent_operator": (
        decoded("uncompressed_huge_count_over_silent_operator"),
        ("ValueError", WALK_LIMIT)),
    # Delayed replications nested 32 deep, each 65535 times by a factor that reads no
    # bits, around an element of width 0 and around an operator that yields nothing.
    "uncompressed_nested_free_replications_over_element": (
        decoded("uncompressed_nested_free_replications_over_element"),
        ("ValueError", VALUE_LIMIT)),
    "uncompressed_nested_free_replications_over_silent_operator": (
        decoded("uncompressed_nested_free_replications_over_silent_operator"),
        ("ValueError", WALK_LIMIT)),
    # 65535 subsets of 400 markers each from an empty section 4.
    "uncompressed_subsets_times_operators": (
        decoded("uncompressed_subsets_times_operators"),
        ("ValueError", VALUE_LIMIT)),
    # 65535 subsets times 1020 one-bit columns, 7 bits each, from 1 KB.
    "compressed_subsets_times_columns": (
        decoded("compressed_subsets_times_columns"),
        ("ValueError", VALUE_LIMIT)),
    # A compressed delayed replication of count 2**64 - 1 over an operator.
    "compressed_huge_count_over_operator": (
        decoded("compressed_huge_count_over_operator"),
        ("ValueError", VALUE_LIMIT)),
    # The worst a 1 KB section 4 can ask of texts: 16 columns of 60 octets, each repeated
    # over 65535 subsets (about 63 MB of text in a million values).
    "compressed_text_over_all_subsets": (
        decoded("compressed_text_over_all_subsets"),
        ("ok", 16 * 65535)),
    # Two texts of 8191 octets (16 KB of section 4), each the value of all 65535 subsets:
    # one shared text each, not a gigabyte of copies.
    "compressed_wide_texts_over_all_subsets": (
        decoded("compressed_wide_texts_over_all_subsets"),
        ("ok", 2 * 65535)),
    # A text of 8191 octets that section 4 does not hold.
    "compressed_wide_text_without_data": (
        decoded("compressed_wide_text_without_data"),
        ("ValueError", "csv/table parse error: not enough bits while reading section 4 at bit 800 for width 8 "
                       "(800 bits available)")),
    # 2-08-255 widens a text to 255 octets that the data do not hold.
    "uncompressed_text_width_operator_without_data": (
        decoded("uncompressed_text_width_operator_without_data"),
        ("ValueError", "csv/table parse error: not enough bits while reading section 4 at bit 480 for width 8 "
                       "(480 bits available)")),
    # A total length of 16 MB declared by a 30-octet buffer.
    "parse_declared_length_beyond_buffer": (
        lambda e: e.q.parse_all_bytes(b"BUFR\xff\xff\xff\x04" + bytes(22)),
        ("ValueError", "section 0 at offset 0 is truncated")),
    # Alias files that name each other: the chain is cut and reported at the path reached.
    "definitions_alias_loop": (
        lambda e: e.q.TableSet.from_definitions(
            alias_loop_root(e.scratch / "definitions"), e.q.parse_bytes(message([1002], b"\x00"))),
        ("ValueError", re.compile(r'csv/table parse error: invalid ecCodes table alias '
                                  r'/.*/definitions/bufr/tables/0/wmo/3[78] -> "3[78]"'))),
}


# Under AddressSanitizer (the runtime preloaded into the interpreter) neither an address-space
# limit nor resident memory can be measured meaningfully; the outcomes still are.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def child(name, scratch):
    """Runs one case in this (child) process and prints its outcome as JSON."""
    import _quorvex as q

    if not SANITIZED:  # a sanitizer reserves terabytes of shadow address space
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, ADDRESS_SPACE_LIMIT))
    env = Env(q, scratch)
    call, _ = CASES[name]
    if "wmo" in call.__code__.co_names:
        env.wmo  # loaded before the measurement
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        result = call(env)
        outcome = {"kind": "ok", "detail": len(result)}
        del result
    except Exception as e:  # reported to the parent, which checks the kind
        outcome = {"kind": type(e).__name__, "detail": str(e)}
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    outcome["rss_growth"] = (after - before) * 1024  # ru_maxrss is in KiB on Linux
    print(json.dumps(outcome))


def run_in_child(name):
    with tempfile.TemporaryDirectory() as scratch:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        code = f"import test_robustness_bounds as t; t.child({name!r}, {scratch!r})"
        try:
            done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                                  timeout=CHILD_TIMEOUT, cwd=str(HERE))
        except subprocess.TimeoutExpired:
            pytest.fail(f"{name}: did not end within {CHILD_TIMEOUT} s")
    assert done.returncode == 0, f"{name}: child ended with {done.returncode}\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


# Peak memory growth allowed for one call. The largest legitimate results above (four
# million ints; a million values with 60-octet texts) stay well below it.
RSS_BOUND = 1536 * MB


@pytest.mark.skipif(not (WMO / "element.table").is_file(), reason="ecCodes WMO tables not installed")
@pytest.mark.parametrize("name", sorted(CASES))
def test_hostile_input_ends_within_bounds(name):
    expected_kind, expected_detail = CASES[name][1]
    outcome = run_in_child(name)
    assert outcome["kind"] == expected_kind, outcome
    if isinstance(expected_detail, re.Pattern):
        assert expected_detail.fullmatch(outcome["detail"]), outcome
    else:
        assert outcome["detail"] == expected_detail, outcome
    if not SANITIZED:  # freed memory stays in the sanitizer's quarantine
        assert outcome["rss_growth"] < RSS_BOUND, f"{name}: grew by {outcome['rss_growth'] // MB} MB"


@pytest.mark.skipif(not (WMO / "element.table").is_file(), reason="ecCodes WMO tables not installed")
@pytest.mark.parametrize("name", ["uncompressed_huge_count_over_operator", "compressed_subsets_times_columns",
                                  "expand_nested_fixed_replications", "expand_self_containing_sequence",
                                  "compressed_wide_texts_over_all_subsets"])
def test_hostile_input_stays_small(name):
    """Refusals that happen before any result exists, and results that share their texts:
    the growth is that of the bounded work, far below the general bound."""
    outcome = run_in_child(name)
    assert outcome["kind"] == CASES[name][1][0], outcome
    if not SANITIZED:
        assert outcome["rss_growth"] < 256 * MB, f"{name}: grew by {outcome['rss_growth'] // MB} MB"

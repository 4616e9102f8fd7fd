"""`quorvex dump` (in-process) against the engine and the peers: every value the engine
decodes appears once with its key, in groups that follow Table D and the replication
descriptors; attributes stand under the elements ecCodes attaches them to; an edition-3
message and its edition-4 copy dump alike."""
import collections
import json
import math
import pathlib
import re

import pytest

quorvex = pytest.importorskip("quorvex")
pytest.importorskip("quorvex._engine")
from corpus_location import CORPUS  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
# Editions 3 and 4, compressed or not, associated fields (2-04), quality information (2-22)
# and substituted values (2-23) through bitmaps, a reused bitmap (2-37), statistics (2-24),
# operators changing widths and scales, delayed replication of every kind.
CORPUS_FILES = ["raw/eccodes-python/temp.bufr", "raw/eccodes-python/amv-meteosat-9.bufr",
                "raw/pybufrkit/tests__data__amv2_87.bufr", "raw/pybufrkit/b002_96.bufr", "raw/pybufrkit/gsd3_208.bufr",
                "derived4/pdbufr/syn_new.bufr"]
# Files whose attributes ecCodes lists as the same key->attribute names (statistics, which
# ecCodes attaches too, are numbered values here, as its numbering of keys counts them).
ATTRIBUTE_FILES = ["raw/eccodes-python/temp.bufr", "raw/eccodes-python/amv-meteosat-9.bufr",
                   "raw/pybufrkit/tests__data__amv2_87.bufr", "raw/pybufrkit/b002_96.bufr"]
EDITION_PAIRS = ["eccodes-python/temp.bufr", "eccodes-python/amv-meteosat-9.bufr", "pybufrkit/b002_96.bufr"]


def files():
    found = [EXAMPLES / "synop_wigos.bufr", EXAMPLES / "aircraft_mrar_compressed.bufr"]
    if CORPUS is not None:
        found += [CORPUS / name for name in CORPUS_FILES if (CORPUS / name).is_file()]
    return found


def corpus(name):
    if CORPUS is None or not (CORPUS / name).is_file():
        pytest.skip(f"no corpus file {name}")
    return CORPUS / name


def dump(path, fmt):
    from click.testing import CliRunner

    from quorvex.cli import main
    result = CliRunner(env={"NO_COLOR": "1", "COLUMNS": "200"}).invoke(main, ["dump", str(path), "-f", fmt])
    if result.exception is not None and not isinstance(result.exception, SystemExit):
        raise result.exception
    assert result.exit_code == 0, result.stderr
    return result.stdout


def number(value):
    return None if isinstance(value, float) and not math.isfinite(value) else value


def identity(v):
    return (v["descriptor"], v["key"], v["rank"], v["role"], number(v["value"]), v["text"], v["meaning"])


def values(items):
    """Every value of a dumped tree, attributes included."""
    for item in items:
        if "sequence" in item:
            yield from values(item["items"])
        elif "replication" in item:
            yield from values(item.get("items", []))
            for repetition in item["repetitions"]:
                yield from values(repetition)
        else:
            yield item
            yield from values(item.get("attributes", []))


def rows_by_subset(path):
    out = collections.defaultdict(list)
    for row in quorvex.read_arrow(str(path)).to_pylist():
        out[row["message"], row["subset"]].append(row)
    return out


def check_groups(items, codes, table_set, where):
    """The groups of `items` are the sequences and replications of `codes` in order, each
    sequence holding its Table D entry's, each replication `count` repetitions of its group
    (a fixed one Y times, a delayed one as often as the factor just before it says)."""
    groups = iter([(n, item) for n, item in enumerate(items) if "sequence" in item or "replication" in item])
    i = 0
    while i < len(codes):
        f, x, y = codes[i] // 100000, codes[i] // 1000 % 100, codes[i] % 1000
        if f == 3:
            _, node = next(groups)
            assert node.get("sequence") == codes[i], where
            check_groups(node["items"], table_set.get_sequence(codes[i]).members, table_set, where)
        elif f == 1:
            n, node = next(groups)
            assert node.get("replication") == codes[i], where
            assert len(node["repetitions"]) == node["count"], where
            if y:
                assert node["count"] == y, where
            else:
                factor = items[n - 1]
                assert (factor["descriptor"], factor["role"], factor["value"]) == (
                    codes[i + 1], "replication_factor", node["count"]), where
            body = codes[i + 1 + (y == 0):i + 1 + (y == 0) + x]
            for repetition in node["repetitions"]:
                check_groups(repetition, body, table_set, where)
            i += x + (y == 0)
        i += 1
    assert next(groups, None) is None, where


@pytest.mark.parametrize("path", files(), ids=lambda p: p.name)
def test_json_holds_every_value_once_in_groups_that_follow_the_descriptors(path):
    from quorvex import _tables
    rows = rows_by_subset(path)
    buffer = path.read_bytes()
    records = [json.loads(line) for line in dump(path, "json").splitlines()]
    assert [r["message"] for r in records] == sorted({m for m, _ in rows})
    for record in records:
        assert len(record["subsets"]) == record["number_of_subsets"]
        table_set = _tables.engine_tables(None).table_set(buffer, record["offset"], record["length"])
        for s, items in enumerate(record["subsets"]):
            where = (path.name, record["message"], s)
            assert collections.Counter(map(identity, values(items))) == collections.Counter(
                identity(r) for r in rows[record["message"], s]), where
            check_groups(items, record["descriptors"], table_set, where)


VALUE_LINE = re.compile(r"^( *)\d{6}  (\S+) = ")


@pytest.mark.parametrize("path", files(), ids=lambda p: p.name)
def test_text_shows_what_json_does_with_attributes_under_their_element(path):
    """Each value once, with its key (an attribute with the name it goes by under its
    element), as the JSON form holds them."""
    from quorvex.cli._dump import key_text
    expected = collections.Counter()
    for line in dump(path, "json").splitlines():
        record = json.loads(line)
        for items in record["subsets"]:
            expected.update((record["message"], "->" + v["attribute"] if "attribute" in v else key_text(v))
                            for v in values(items))
    shown = collections.Counter()
    message = depth = None
    for line in dump(path, "text").splitlines():
        if not line.startswith(" "):
            message = int(line.split("  message ")[1].split()[0])
            continue
        match = VALUE_LINE.match(line)
        if match is None:
            continue
        indent, key = match.groups()
        if key.startswith("->"):
            assert len(indent) == depth + 2, line     # one level under the element it qualifies
        else:
            depth = len(indent)
        shown[message, key] += 1
    assert shown == expected


def eccodes_attributes(path):
    """Per message, {"#n#key->attribute": first value} as ecCodes lists them."""
    eccodes = pytest.importorskip("eccodes")
    from test_engine_keys import eccodes_keys
    return eccodes_keys(path, lambda h, keys: {k: eccodes.codes_get_array(h, k)[0] for k in keys
                                               if k.count("->") == 1})


@pytest.mark.parametrize("name", ATTRIBUTE_FILES)
def test_attributes_stand_under_the_elements_ecCodes_attaches_them_to(name):
    path = corpus(name)
    theirs = eccodes_attributes(path)
    records = [json.loads(line) for line in dump(path, "json").splitlines()]
    assert len(records) == len(theirs)
    for record, expected in zip(records, theirs):
        ours = {}

        def collect(items):
            for v in values(items):
                for a in v.get("attributes", []):
                    ours.setdefault(f"#{v['rank']}#{v['key']}->{a['attribute']}", a)
        collect(record["subsets"][0])
        assert ours.keys() == expected.keys(), record["message"]
        for name_, a in ours.items():
            value = a["text"] if a["text"] is not None else a["value"]
            if value is None:
                continue
            assert value == pytest.approx(expected[name_], rel=1e-12), name_


@pytest.mark.parametrize("name", EDITION_PAIRS)
def test_an_edition_3_message_dumps_as_its_edition_4_copy(name):
    raw, derived = corpus("raw/" + name), corpus("derived4/" + name)
    for a, b in zip(dump(raw, "json").splitlines(), dump(derived, "json").splitlines(), strict=True):
        assert json.loads(a)["subsets"] == json.loads(b)["subsets"]

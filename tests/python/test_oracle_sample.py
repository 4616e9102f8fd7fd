"""A fixed sample of the real-data corpus decoded by this module and by ecCodes, compared
value by value with the corpus tools: every message that ecCodes decodes cleanly must match.

The reference side runs under Debian's /usr/bin/python3 with its eccodes bindings; the
project side under this interpreter, with the module found where the tests import it from.
The whole corpus is compared the same way with tools/run_oracle.py and the catalog."""
import csv
import os
import re
import subprocess
import sys

import pytest

import _quorvex
from decode_support import CORPUS, DEFINITIONS

TOOLS = CORPUS / "tools"
ECC_PYTHON = os.environ.get("ORACLE_ECC_PYTHON", "/usr/bin/python3")

# Uncompressed and compressed, delayed replication, bitmaps, and the operators 2-01, 2-02,
# 2-03, 2-04, 2-05, 2-06, 2-07, 2-08, 2-22, 2-23, 2-24, 2-36 and 2-37; a file with a broken
# message among good ones.
SAMPLE = [
    "raw/pdbufr/synop_wigos.bufr",                     # 2-04, 2-08, class-31 all-ones values
    "raw/pdbufr/synop_multi_subset_uncompressed.bufr",  # several subsets, delayed replication
    "raw/pdbufr/compress_3.bufr",                      # compressed: 2-07, 2-24-255, 2-36, 2-37
    "raw/pdbufr/aircraft_mrar_compressed.bufr",        # compressed: associated fields
    "raw/pybufrkit/uegabe.bufr",                       # 2-04, 2-05
    "raw/pybufrkit/ISND02_LLBD.bufr",                  # 2-03 new reference values
    "raw/pybufrkit/IUSK73_AMMC_182300.bufr",           # 2-05-060, 0-31-002
    "raw/pybufrkit/ncep.352.bufr",                     # compressed: 2-22, 2-36, 2-37
    "raw/pybufrkit/multi_invalid_messages.bufr",       # edition 3, good, short section 4
    "raw/bufrValidationDashboard/boom.bufr",           # markup as text, every number missing
    "derived4/pybufrkit/temp_101.bufr",                # 2-23-000 bitmaps, 2-23-255
    "derived4/pybufrkit/b002_95.bufr",                 # 2-06-008
    "derived4/pybufrkit/207003.bufr",                  # compressed 2-07-003
    "derived4/pybufrkit/pilo_91.bufr",                 # uncompressed 2-22, nested replication
    "derived4/pybufrkit/ssbt_127.bufr",                # compressed 2-01-132, local 0-26-196 (hour)
]

LINE = re.compile(r"^(MATCH|DIFFER|FAILED|NOREF|SKIP) @(\d+)")

# Differences that follow from this decoder's rules, with the one descriptor they concern.
# 2-06-YYY sets the width of the next element only: its scale and reference stay those of
# its table entry (0-21-192: scale 2, reference -5000), where ecCodes reads the bits as a
# plain number (59 here, against -49.41).
KNOWN = {("derived4/pybufrkit/b002_95.bufr", 0): "021192"}


def eccodes_missing():
    try:
        r = subprocess.run([ECC_PYTHON, "-c", "import eccodes"], capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"{ECC_PYTHON} cannot run: {e}"
    return None if r.returncode == 0 else f"{ECC_PYTHON} has no eccodes bindings (python3-eccodes)"


def clean_messages():
    """(path, offset) of every edition-4 message of the sample that ecCodes decodes cleanly."""
    wanted = set(SAMPLE)
    with open(CORPUS / "messages.tsv", newline="") as f:
        return {(r["path"], int(r["offset"])) for r in csv.DictReader(f, delimiter="\t")
                if r["path"] in wanted and r["edition"] == "4" and r["clean"] == "yes"}


@pytest.fixture(scope="module")
def oracle(tmp_path_factory):
    if not (TOOLS / "run_oracle.py").exists():
        pytest.skip("the corpus tools are not installed at " + str(TOOLS))
    reason = eccodes_missing()
    if reason:
        pytest.skip(reason)
    work = tmp_path_factory.mktemp("oracle")
    catalog = work / "sample.tsv"
    catalog.write_text("path\n" + "".join(p + "\n" for p in SAMPLE))
    module_dir = os.path.dirname(os.path.abspath(_quorvex.__file__))
    cmd = [sys.executable, str(TOOLS / "run_oracle.py"), str(catalog), "--base", str(CORPUS),
           "--out", str(work / "out"), "--module-dir", module_dir, "--qvx-python", sys.executable,
           "--ecc-python", ECC_PYTHON, "--definitions", str(DEFINITIONS), "--jobs", "2"]
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return work / "out", run.stdout


def statuses(out):
    """(path, offset) -> the report of every message that does not match (quiet reports
    leave out the MATCH lines): its status line and the differences shown under it."""
    found = {}
    for path in SAMPLE:
        report = out / (path.replace("/", "__") + ".cmp.txt")
        assert report.exists(), f"no comparison for {path}: see {out}"
        key = None
        for line in report.read_text().splitlines():
            m = LINE.match(line)
            if m:
                key = (path, int(m.group(2)))
                found[key] = m.group(1) + line[m.end():]
            elif key and line.startswith("    "):
                found[key] += "\n" + line
            else:
                key = None
    return found


def test_every_clean_message_matches_eccodes(oracle):
    out, summary = oracle
    assert "could not be viewed or compared" not in summary, summary
    clean = clean_messages()
    assert len(clean) >= 30  # the sample is what it claims to be
    found = statuses(out)
    bad = {key: status for key, status in found.items() if key in clean and key not in KNOWN}
    assert bad == {}, summary
    matched = int(re.findall(r"^oracle: (\d+) messages match", summary, re.M)[-1])
    assert matched >= len(clean) - len(KNOWN)


@pytest.mark.parametrize("key", sorted(KNOWN))
def test_known_differences_concern_only_their_descriptor(oracle, key):
    out, _summary = oracle
    report = statuses(out).get(key, "MATCH")
    assert report.startswith("DIFFER"), f"{key} now gives {report}: drop it from KNOWN"
    shown = report.splitlines()[1:]
    assert all(f"ecCodes {KNOWN[key]} = " in line and f"project {KNOWN[key]} = " in line
               for line in shown), report


def test_broken_messages_fail_cleanly(oracle):
    out, _summary = oracle
    found = statuses(out)
    # multi_invalid_messages.bufr: its third message's section 4 is too short.
    failed = [s for (p, _o), s in found.items()
              if p == "raw/pybufrkit/multi_invalid_messages.bufr" and s.startswith("FAILED")]
    assert len(failed) == 1 and "not enough bits" in failed[0]

"""Where the real-data corpus lies: $QUORVEX_CORPUS, else shared/corpus beside the checkout
(as CI lays it out), else /work/shared/corpus. None when there is none."""
import csv
import os
import pathlib

_ROOT = pathlib.Path(__file__).resolve().parents[2]


def find_corpus():
    candidates = [os.environ.get("QUORVEX_CORPUS"), _ROOT.parent / "shared" / "corpus", "/work/shared/corpus"]
    for candidate in candidates:
        if candidate and (pathlib.Path(candidate) / "messages.tsv").is_file():
            return pathlib.Path(candidate)
    return None


CORPUS = find_corpus()

# Operators whose fields a table of keys does not carry (associated fields, bitmaps and what
# they select, reference definitions, 2-05 texts).
NOT_IN_TABLES = ("203", "204", "205", "222", "223", "224", "225", "232", "236", "237")


def first_clean_messages(compressed: bool, files: int) -> list[tuple[str, tuple[int, int]]]:
    """(path, (offset, length)) of the first clean message, compressed or not, of about `files`
    corpus files spread over the index, among those whose templates a table of keys can carry."""
    if CORPUS is None:
        return []
    chosen = {}
    with open(CORPUS / "messages.tsv", newline="") as handle:
        for row in csv.DictReader(handle, delimiter="\t"):
            if (row["clean"] == "yes" and row["compressed"] == str(int(compressed)) and row["path"] not in chosen
                    and not any(op.startswith(NOT_IN_TABLES) for op in row["operators"].split(",") if op)):
                chosen[row["path"]] = (int(row["offset"]), int(row["length"]))
    picked = sorted(chosen.items())
    return picked[::max(1, len(picked) // files)]

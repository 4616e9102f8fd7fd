"""Where the real-data corpus lies: $QUORVEX_CORPUS, else shared/corpus beside the checkout
(as CI lays it out), else /work/shared/corpus. None when there is none."""
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

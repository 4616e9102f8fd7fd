#!/usr/bin/env python3
"""Throughput of message framing: parse_all_bytes over a buffer of many real messages.

    PYTHONPATH=build .venv/bin/python bench/parse_bench.py [FILE] [--repeat N]

Prints the best of N runs as messages/s and MB/s (1 MB = 10^6 octets), plus the same for
parse_bytes called once per message (the per-call cost of the frame).
"""
import argparse
import os
import pathlib
import sys
import time

import _quorvex

ROOT = pathlib.Path(__file__).resolve().parents[1]
CANDIDATES = [os.environ.get("QUORVEX_CORPUS", ""), ROOT.parent / "shared" / "corpus", "/work/shared/corpus"]


def default_file():
    for corpus in CANDIDATES:
        path = pathlib.Path(corpus) / "bench" / "synop_ed4.bufr"
        if corpus and path.is_file():
            return path
    return None


def best_of(repeat, call):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def report(label, seconds, messages, octets):
    print(f"{label:<28} {seconds * 1e3:9.2f} ms  {messages / seconds:14,.0f} messages/s  "
          f"{octets / seconds / 1e6:9.1f} MB/s")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", type=pathlib.Path, default=default_file())
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    if args.file is None:
        print("no benchmark file: give one, or set QUORVEX_CORPUS to the corpus folder")
        return 2
    data = args.file.read_bytes()
    seconds, messages = best_of(args.repeat, lambda: _quorvex.parse_all_bytes(data))
    print(f"{args.file.name}: {len(data):,} octets, {len(messages):,} messages, best of {args.repeat}")
    report("parse_all_bytes", seconds, len(messages), len(data))

    # One parse_bytes call per message, on slices made beforehand.
    slices, offset = [], 0
    for m in messages:
        offset = data.index(b"BUFR", offset)
        slices.append(data[offset:offset + m.total_length])
        offset += m.total_length
    parse = _quorvex.parse_bytes
    seconds, _ = best_of(args.repeat, lambda: [parse(s) for s in slices])
    report("parse_bytes per message", seconds, len(slices), sum(map(len, slices)))
    seconds, _ = best_of(args.repeat, lambda: _quorvex.parse_all_file(str(args.file)))
    report("parse_all_file", seconds, len(messages), len(data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

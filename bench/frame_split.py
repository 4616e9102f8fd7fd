#!/usr/bin/env python3
"""Where one read_dataframe call of the frame bench spends its CPU time: the engine's calls (the
rows work, the scan, the header table) and the Python steps around them, each timed in place.

    PYTHONPATH=build:python python bench/frame_split.py [--corpus DIR] [--cases a,b] [--repeat N]

Prints, per case, the call's CPU milliseconds and the share of each step, from the call with the
least CPU time of --repeat calls. Nothing here is a test: it measures and reports."""
import argparse
import dataclasses
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.append(HERE)

import frame_bench  # noqa: E402

import quorvex  # noqa: E402
from quorvex import _engine, _keys  # noqa: E402

spent: dict[str, float] = {}


def timed(function, label):
    def call(*args, **kwargs):
        start = time.process_time()
        try:
            return function(*args, **kwargs)
        finally:
            spent[label] = spent.get(label, 0.0) + time.process_time() - start
    return call


STEPS = [(_engine, "read_rows", "read_rows"), (_engine, "scan_index", "scan"),
         (_engine, "read_header_table", "header table"), (_keys, "to_pandas", "to pandas")]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(os.path.dirname(HERE)), "shared", "corpus"))
    ap.add_argument("--cases", default=",".join(frame_bench.CASES))
    ap.add_argument("--repeat", type=int, default=30)
    args = ap.parse_args()
    for module, name, label in STEPS:
        setattr(module, name, timed(getattr(module, name), label))
    computed = _keys.COMPUTED["data_datetime"]
    _keys.COMPUTED["data_datetime"] = dataclasses.replace(computed, compute=timed(computed.compute, "dates"))
    for case in args.cases.split(","):
        name, columns, filters = frame_bench.CASES[case]
        path = os.path.join(args.corpus, name)
        quorvex.read_dataframe(path, columns=columns, filters=filters)
        best = None
        for _ in range(args.repeat):
            spent.clear()
            start = time.process_time()
            quorvex.read_dataframe(path, columns=columns, filters=filters)
            total = time.process_time() - start
            if best is None or total < best[0]:
                best = (total, dict(spent))
        total, steps = best
        outside = total - steps.get("read_rows", 0.0)
        parts = "; ".join(f"{label} {steps.get(label, 0.0) * 1e3:.2f}" for _, _, label in STEPS)
        print(f"{case}: call {total * 1e3:.2f} ms; outside read_rows {outside * 1e3:.2f}; {parts}; "
              f"dates {steps.get('dates', 0.0) * 1e3:.2f}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""read_dataframe without columns (one row per subset, every key numbered) beside pdbufr's flat
reader on the same messages: CPU time of each (best of --repeat for quorvex, one run for pdbufr,
each in a process of its own), the ratio, and the two frames' shapes.

    PYTHONPATH=build:python python bench/flat_bench.py [--corpus DIR] [--messages N] [--repeat R]

pdbufr's flat reader takes minutes on the whole benchmark files; --messages cuts each file to its
first N messages (0: the whole file). Nothing here is a test: it measures and reports."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

FILES = ["bench/synop_ed4.bufr", "bench/temp_ed4.bufr"]


def worker(tool, path, repeat):
    """Runs in the child: time one tool, print JSON."""
    import warnings

    warnings.simplefilter("ignore")
    if tool == "pdbufr":
        import pdbufr

        def read():
            return pdbufr.read_bufr(path, flat=True)
    else:
        import quorvex

        def read():
            return quorvex.read_dataframe(path)
    best = None
    for _ in range(repeat):
        start = time.process_time()
        frame = read()
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    print(json.dumps({"cpu": best, "rows": len(frame), "columns": len(frame.columns)}))


def run(tool, path, repeat):
    out = subprocess.run([sys.executable, __file__, "--worker", tool, path, str(repeat)], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def cut(path, count, folder):
    """The first `count` messages of `path` in a file of `folder`."""
    from quorvex import _engine

    data = open(path, "rb").read()
    kept = [(o, n) for o, n, error in _engine.scan(data) if error is None][:count]
    target = os.path.join(folder, os.path.basename(path))
    with open(target, "wb") as f:
        f.write(b"".join(data[o:o + n] for o, n in kept))
    return target


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default="/work/shared/corpus")
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print("| file | messages | rows x columns (quorvex) | rows x columns (pdbufr) | quorvex CPU s | pdbufr CPU s "
          "| ratio |")
    print("|---|---:|---|---|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        for name in FILES:
            path = os.path.join(args.corpus, name)
            if args.messages:
                path = cut(path, args.messages, folder)
            ours, theirs = run("quorvex", path, args.repeat), run("pdbufr", path, 1)
            print(f"| {name} | {args.messages or 'all'} | {ours['rows']} x {ours['columns']} | "
                  f"{theirs['rows']} x {theirs['columns']} | {ours['cpu']:.3f} | {theirs['cpu']:.2f} | "
                  f"{theirs['cpu'] / ours['cpu']:.0f} |")


if __name__ == "__main__":
    main()

"""What a Dask cluster costs and gives: the benchmark files turned into a partitioned
Parquet dataset (the long table, one row per decoded value) three ways:

- on one machine without Dask: quorvex.iter_batches into a pyarrow ParquetWriter, one
  Parquet file per input file, with threads=1 and with the machine's cores;
- quorvex.dask.read_arrow(...).to_parquet(...) on a distributed.LocalCluster of 1 worker
  process and of 2 (one thread each).

Wall-clock seconds per run (cluster start-up and the workers' imports reported apart), CPU seconds (this process
and, for Dask, its workers), rows per second of wall-clock time, and the speed-up of 2
workers over 1 as a ratio. Every run writes the same rows; the row counts
are checked against each other. Prints a Markdown table.

    python bench/dask_bench.py --corpus ../shared/corpus/bench [--files synop temp] [--blocksize 8MiB]
"""
from __future__ import annotations

import argparse
import glob
import logging
import os
import shutil
import sys
import time

import pyarrow.parquet as pq


def single_machine(files: list[str], out: str, threads: int) -> int:
    import quorvex

    os.makedirs(out)
    rows = 0
    for position, path in enumerate(files):
        writer = None
        for batch in quorvex.iter_batches([path], threads=threads, batch_messages=4096):
            if writer is None:
                writer = pq.ParquetWriter(os.path.join(out, f"part.{position}.parquet"), batch.schema)
            writer.write_batch(batch)
            rows += batch.num_rows
        if writer is not None:
            writer.close()
    return rows


def on_cluster(files: list[str], out: str, blocksize: str) -> int:
    import quorvex.dask

    ddf = quorvex.dask.read_arrow(files, blocksize=blocksize)
    ddf.to_parquet(out, write_index=False)
    return ddf.npartitions


def warm_up() -> None:
    """What a worker does once: imports, and the engine's table chooser."""
    import pyarrow.parquet  # noqa: F401

    import quorvex.dask  # noqa: F401
    from quorvex import _tables

    _tables.engine_tables(None)


def parquet_rows(out: str) -> int:
    return sum(pq.ParquetFile(f).metadata.num_rows for f in glob.glob(os.path.join(out, "*.parquet")))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", required=True, help="folder of the benchmark files (*_ed4.bufr)")
    parser.add_argument("--files", nargs="*", default=None, help="names to keep, e.g. synop temp (default: all)")
    parser.add_argument("--blocksize", default="8MiB", help="byte range per partition (default 8MiB)")
    parser.add_argument("--out", default="bench/out/dask", help="scratch folder for the Parquet datasets")
    args = parser.parse_args()

    import distributed

    files = sorted(glob.glob(os.path.join(args.corpus, "*_ed4.bufr")))
    if args.files:
        files = [f for f in files if any(os.path.basename(f).startswith(k) for k in args.files)]
    if not files:
        print(f"no benchmark files in {args.corpus}", file=sys.stderr)
        return 1
    size = sum(os.path.getsize(f) for f in files)
    cores = len(os.sched_getaffinity(0))
    shutil.rmtree(args.out, ignore_errors=True)
    results = []  # (label, seconds, CPU seconds, rows, partitions, start-up seconds)

    for threads in sorted({1, cores}):
        out = os.path.join(args.out, f"single-{threads}")
        t0, c0 = time.perf_counter(), time.process_time()
        rows = single_machine(files, out, threads)
        results.append((f"one machine, no Dask, threads={threads}", time.perf_counter() - t0,
                        time.process_time() - c0, rows, len(files), 0.0))

    for workers in (1, 2):
        out = os.path.join(args.out, f"dask-{workers}")
        t0 = time.perf_counter()
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
                distributed.Client(cluster) as client:
            client.run(warm_up)
            started = time.perf_counter() - t0
            before = sum(client.run(time.process_time).values())
            t1, c1 = time.perf_counter(), time.process_time()
            partitions = on_cluster(files, out, args.blocksize)
            seconds = time.perf_counter() - t1
            cpu = time.process_time() - c1 + sum(client.run(time.process_time).values()) - before
        results.append((f"Dask LocalCluster, {workers} worker{'s' if workers > 1 else ''} x 1 thread", seconds,
                        cpu, parquet_rows(out), partitions, started))

    counts = {rows for _, _, _, rows, _, _ in results}
    print(f"{len(files)} files, {size / 1e6:.1f} MB: {', '.join(os.path.basename(f) for f in files)}; "
          f"blocksize {args.blocksize}; {cores} cores\n")
    print("| run | wall s | CPU s | rows | rows/s (wall) | partitions | cluster start-up and imports s |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for label, seconds, cpu, rows, partitions, started in results:
        print(f"| {label} | {seconds:.2f} | {cpu:.2f} | {rows:,} | {rows / seconds / 1e6:.2f}M | {partitions} "
              f"| {started:.1f} |")
    one = next(s for label, s, *_ in results if "1 worker " in label)
    two = next(s for label, s, *_ in results if "2 workers" in label)
    alone = next(s for label, s, *_ in results if label.endswith("threads=1"))
    print(f"\n2 workers / 1 worker speed-up: {one / two:.2f}x; 1 worker against one machine without Dask "
          f"(threads=1): {alone / one:.2f}x the speed")
    if len(counts) != 1:
        print(f"row counts differ between runs: {sorted(counts)}", file=sys.stderr)
        return 1
    shutil.rmtree(args.out, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

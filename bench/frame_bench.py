#!/usr/bin/env python3
"""read_dataframe beside pdbufr's read_bufr: the same files, columns and filters, each tool timed
(CPU and wall clock, best of --repeat for quorvex, one run for pdbufr) in a process of its own,
and the two frames checked for the same shape.

    PYTHONPATH=build:python python bench/frame_bench.py [--corpus DIR] [--results FILE] [--cases a,b]

Nothing here is a test: it measures and reports (a markdown table on stdout, and in --results)."""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STATION = ["blockNumber", "stationNumber", "latitude", "longitude", "data_datetime"]
PROFILE = ["pressure", "airTemperature", "dewpointTemperature", "windDirection", "windSpeed"]
CASES = {
    "temp": ("raw/pdbufr/temp.bufr", ["pressure", "airTemperature", "dewpointTemperature", "windSpeed",
                                      "windDirection", "nonCoordinateGeopotential"], {}),
    # ECMWF's SYNOP template of table version 13 names its surface values by their height.
    "synop": ("raw/pdbufr/perf_synop.bufr", STATION + ["nonCoordinatePressure", "pressureReducedToMeanSeaLevel",
                                                       "airTemperatureAt2M", "dewpointTemperatureAt2M",
                                                       "windDirectionAt10M", "windSpeedAt10M"], {}),
    "aircraft": ("raw/pdbufr/perf_aircraft.bufr", ["aircraftFlightNumber", "latitude", "longitude", "data_datetime",
                                                   "airTemperature", "windDirection", "windSpeed"], {}),
    "satellite": ("raw/pdbufr/M02-HIRS-HIRxxx1B-NA-1.0-20181122114854.000000000Z-20181122132602-1304602.bufr",
                  ["satelliteIdentifier", "fieldOfViewNumber", "latitude", "longitude", "data_datetime",
                   "brightnessTemperature"], {"tovsOrAtovsOrAvhrrInstrumentationChannelNumber": 5}),
}
# What the engine must reach: CPU-time ratios to pdbufr per case.
TARGETS = {"temp": 300, "synop": 300, "aircraft": 300, "satellite": 50}


def worker(tool, path, columns, filters, repeat):
    """Runs in the child: time one tool, print JSON."""
    if tool == "pdbufr":
        import pdbufr

        def read():
            return pdbufr.read_bufr(path, columns=columns, filters=filters)
    else:
        import quorvex

        def read():
            return quorvex.read_dataframe(path, columns=columns, filters=filters)
    best = None
    for _ in range(repeat):
        cpu, wall = time.process_time(), time.perf_counter()
        frame = read()
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        if best is None or cpu < best[0]:
            best = (cpu, wall)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"rows": len(frame), "columns": list(frame.columns), "cpu": best[0], "wall": best[1],
                      "peak": peak, "frame": frame.memory_usage(deep=True).sum() / 2**20}))


def run(tool, path, columns, filters, repeat):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (env.get("PYTHONPATH"), os.path.join(ROOT, "python")) if p)
    out = subprocess.run([sys.executable, __file__, "--worker", tool, path, json.dumps(columns),
                          json.dumps(filters), str(repeat)], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(ROOT), "shared", "corpus"))
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--repeat", type=int, default=5, help="quorvex runs per case (the best CPU time counts)")
    ap.add_argument("--results", default="", help="also write the table to this markdown file")
    ap.add_argument("--worker", nargs=5, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        tool, path, columns, filters, repeat = args.worker
        worker(tool, path, json.loads(columns), json.loads(filters), int(repeat))
        return
    lines = ["| case | file | rows (quorvex / pdbufr) | quorvex CPU s | quorvex wall s | pdbufr CPU s | "
             "pdbufr wall s | CPU ratio | target | frame MB | peak RSS MB (quorvex / pdbufr) |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    load_before = os.getloadavg()[0]
    for case in args.cases.split(","):
        name, columns, filters = CASES[case]
        path = os.path.join(args.corpus, name)
        ours = run("quorvex", path, columns, filters, args.repeat)
        theirs = run("pdbufr", path, columns, filters, 1)
        if sorted(ours["columns"]) != sorted(theirs["columns"]):
            print(f"{case}: columns differ: {ours['columns']} / {theirs['columns']}", file=sys.stderr)
        ratio = theirs["cpu"] / ours["cpu"]
        target = TARGETS.get(case)
        verdict = "" if target is None else f"{target}x {'met' if ratio >= target else 'NOT met'}"
        lines.append(f"| {case} | {os.path.basename(name)} | {ours['rows']} / {theirs['rows']} | "
                     f"{ours['cpu']:.3f} | {ours['wall']:.3f} | {theirs['cpu']:.2f} | {theirs['wall']:.2f} | "
                     f"{ratio:.0f}x | {verdict} | {ours['frame']:.1f} | {ours['peak']:.0f} / {theirs['peak']:.0f} |")
        print(lines[-1], file=sys.stderr, flush=True)
    table = "\n".join(lines) + "\n"
    print(table)
    if args.results:
        with open(args.results, "w") as handle:
            handle.write("# read_dataframe beside pdbufr's read_bufr\n\n"
                         "Command: `make bench-frame` (bench/frame_bench.py). Same files, columns and filters; "
                         "CPU seconds of the call in its own process (quorvex: best of "
                         f"{args.repeat}; pdbufr: one run). Load average of the machine "
                         f"({os.cpu_count()} cores) before and after: {load_before:.1f}, {os.getloadavg()[0]:.1f}. "
                         "Frame MB: the frame's memory (pandas, deep); peak RSS: ru_maxrss of each tool's "
                         "process, the interpreter, pandas and the tables included."
                         "\n\n" + table)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Side-by-side benchmark: the project's module against ecCodes (C and Python bindings)
and pybufrkit on the benchmark files, one process per tool and file, one run each.

    python3 bench/compare/run.py --build-dir BUILD [options]      (`make bench` runs it)

For every file, in this order: ecCodes C (bench/compare/eccodes_bench.c, built by the
Makefile; its per-message numericValues counts are the reference "values"), the ecCodes
Python bindings, this module, pybufrkit. Each tool runs in its own process, whose peak
memory (ru_maxrss) is taken from wait4. Then the floors: the core decode alone (the C++
Google Benchmark binary's BM_DecodeFile benchmarks, when built) and the DecodedValue creation
floor (measured by the _quorvex worker with _quorvex_floor, when built). When an engine tool
runs, bench/engine_memory.py measures the engine's memory on the largest file run. The
"Engine targets" section checks the columnar engine's goals against this run's figures.

How the figures are computed (see RESULTS.md, "Method"):
  * each worker times every message (wall clock) and the whole run (wall and CPU);
    the time charged to a message is its wall time plus an equal share of the setup
    (file read, header parse; the harness's own scan is not timed) scaled by the process's CPU/wall ratio, so that
    time taken away by other processes on the machine does not count;
  * rates use the messages a tool decoded without error; "values" are ecCodes's
    numericValues entries of those messages (the corpus's definition), for every tool;
  * the speed ratio of this module to a peer is the peer's time over the module's
    time on the same set of messages (those both decoded), so a peer capped at its
    first K messages is compared on those K messages only.
Nothing here is a test: it measures and reports.
"""
import argparse
import datetime
import json
import os
import platform
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import worker_common as wc  # noqa: E402

FILES = ["synop", "temp", "aircraft", "satellite_compressed", "mixed"]
TOOLS = ["eccodes_c", "eccodes_python", "quorvex", "engine_t1", "engine_t2", "pybufrkit"]
LABEL = {"eccodes_c": "ecCodes C", "eccodes_python": "ecCodes Python", "quorvex": "_quorvex",
         "engine_t1": "quorvex.read_arrow threads=1", "engine_t2": "quorvex.read_arrow threads=2",
         "pybufrkit": "pybufrkit"}
MB = 1e6


def log(*a):
    print(*a, file=sys.stderr, flush=True)


def run_process(cmd, env=None, stdout_path=None, stderr_path=None, timeout=None):
    """Run cmd; return (exit status, ru_maxrss in kB of that process, wall seconds)."""
    out = open(stdout_path, "w") if stdout_path else subprocess.DEVNULL
    err = open(stderr_path, "w") if stderr_path else subprocess.DEVNULL
    t0 = time.perf_counter()
    p = subprocess.Popen(cmd, env=env, stdout=out, stderr=err)
    deadline = None if timeout is None else t0 + timeout
    while True:
        pid, status, ru = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
        if deadline and time.perf_counter() > deadline:
            p.kill()
            pid, status, ru = os.wait4(p.pid, 0)
            status = -9
            break
        time.sleep(0.02)
    p.returncode = 0  # reaped here; keep Popen from waiting again
    for h in (out, err):
        if h is not subprocess.DEVNULL:
            h.close()
    code = os.waitstatus_to_exitcode(status) if status != -9 else -9
    return code, ru.ru_maxrss, time.perf_counter() - t0


def machine():
    model, cores = platform.processor() or "?", os.cpu_count()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            mem = "%.0f GiB" % (int(f.readline().split()[1]) / 2**20)
    except OSError:
        pass
    return model, cores, mem


def loadavg():
    try:
        return open("/proc/loadavg").read().split()[:3]
    except OSError:
        return ["?"] * 3


class Result:
    """One worker's JSON, with the per-message accounting described in the module doc."""

    def __init__(self, data, maxrss_kb, sizes):
        self.d = data
        self.maxrss_kb = maxrss_kb
        att = max(1, data["attempted"])
        self.factor = data["cpu_total"] / data["wall_total"] if data["wall_total"] > 0 else 1.0
        self.factor = min(self.factor, 1.0)
        share = data["setup_wall"] / att
        self.msg_wall = [None if w is None else w + share for w in data["msg_wall"]]
        self.msg_time = [None if w is None else w * self.factor for w in self.msg_wall]
        self.ok_set = {i for i, t in enumerate(self.msg_time) if t is not None}
        self.sizes = sizes

    def time_of(self, subset, wall=False):
        """Charged (CPU-scaled) seconds of these messages, or their wall seconds."""
        times = self.msg_wall if wall else self.msg_time
        return sum(times[i] for i in subset)

    def rates(self, ref_values):
        s = self.ok_set
        t = self.time_of(s)
        if not s or t <= 0:
            return None
        vals = sum(ref_values[i] for i in s)
        return {"msgs": len(s) / t, "values": vals / t, "mbs": sum(self.sizes[i] for i in s) / MB / t,
                "seconds": t, "n": len(s), "ref_values": vals}


def fmt_rate(x):
    if x is None:
        return "n/a"
    if x >= 1e6:
        return "%.2fM" % (x / 1e6)
    if x >= 1e4:
        return "%.0fk" % (x / 1e3)
    if x >= 1e3:
        return "%.1fk" % (x / 1e3)
    if x >= 10:
        return "%.0f" % x
    return "%.2f" % x


def fmt_ratio(x):
    if x is None:
        return "n/a"
    return ("%.0f×" if x >= 100 else "%.1f×" if x >= 10 else "%.2f×") % x


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build"), help="directory holding _quorvex (and quorvex_bench)")
    ap.add_argument("--corpus", default=os.path.join(os.path.dirname(ROOT), "shared", "corpus", "bench"))
    ap.add_argument("--files", default=",".join(FILES), help="comma-separated subset of " + ",".join(FILES))
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset of " + ",".join(TOOLS))
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "out", "compare"), help="per-run JSON and logs")
    ap.add_argument("--results", default=os.path.join(ROOT, "bench", "RESULTS.md"), help="markdown report ('' for none)")
    ap.add_argument("--quorvex-python", default=os.path.join(ROOT, ".venv", "bin", "python"))
    ap.add_argument("--eccodes-python", default="/usr/bin/python3")
    ap.add_argument("--pybufrkit-python", default=os.path.join(ROOT, "bench", "out", "pybufrkit-venv", "bin", "python"))
    ap.add_argument("--eccodes-bench", default=os.path.join(ROOT, "bench", "out", "eccodes_bench"))
    ap.add_argument("--max-messages", type=int, default=0, help="every tool: only the first K messages of each file (0: all)")
    ap.add_argument("--pybufrkit-seconds", type=float, default=60.0,
                    help="pybufrkit: stop each file after this many CPU seconds (its first K messages; 0: no cap)")
    ap.add_argument("--pybufrkit-max-messages", type=int, default=0, help="pybufrkit: at most the first K messages")
    ap.add_argument("--core-bench-min-time", default="0.5", help="--benchmark_min_time of the C++ benchmarks")
    ap.add_argument("--core-bench-filter", default=None,
                    help="--benchmark_filter of the C++ benchmarks (default: BM_DecodeFile of the files run; "
                         "'.' for all)")
    ap.add_argument("--no-floors", action="store_true", help="skip the C++ core benchmark")
    ap.add_argument("--no-engine-memory", action="store_true",
                    help="skip bench/engine_memory.py (run by default when an engine tool is run)")
    ap.add_argument("--command", default=None, help="command line to record in the report")
    ap.add_argument("--report-only", action="store_true",
                    help="run nothing: rebuild the report from the JSON files already in --out")
    args = ap.parse_args()

    files = [f for f in args.files.split(",") if f]
    tools = [t for t in args.tools.split(",") if t]
    os.makedirs(args.out, exist_ok=True)
    started = datetime.datetime.now().astimezone()
    load_before = loadavg()
    module_dir = os.path.abspath(args.build_dir)

    # Can the module be imported and does it decode at all? (Say so once, up front.)
    quorvex_status = "ok"
    if "quorvex" in tools and not args.report_only:
        chk = subprocess.run([args.quorvex_python, "-c", "import _quorvex as q; q.decode_values_with_tables; q.TableSet.from_definitions"],
                             env=dict(os.environ, PYTHONPATH=module_dir), capture_output=True, text=True)
        if chk.returncode:
            quorvex_status = "not importable from %s: %s" % (module_dir, (chk.stderr.strip().splitlines() or ["?"])[-1])
            log("quorvex:", quorvex_status)

    results = {}   # (file, tool) -> Result
    problems = {}  # (file, tool) -> text
    for name in files:
        path = os.path.join(args.corpus, name + "_ed4.bufr")
        if not os.path.exists(path):
            log("missing", path)
            continue
        with open(path, "rb") as f:
            views = wc.scan_messages(f.read())
        sizes = [length for _, length in views]
        for tool in tools:
            out_json = os.path.join(args.out, "%s.%s.json" % (name, tool))
            err_log = os.path.join(args.out, "%s.%s.log" % (name, tool))
            cap = ["--max-messages", str(args.max_messages)] if args.max_messages else []
            env = dict(os.environ)
            if tool == "eccodes_c":
                cmd = [args.eccodes_bench, path, out_json] + ([str(args.max_messages)] if args.max_messages else [])
            elif tool == "eccodes_python":
                cmd = [args.eccodes_python, os.path.join(HERE, "worker_eccodes_py.py"), path, out_json] + cap
            elif tool == "quorvex":
                if quorvex_status != "ok" and not args.report_only:
                    problems[(name, tool)] = quorvex_status
                    continue
                env["PYTHONPATH"] = module_dir
                cmd = [args.quorvex_python, os.path.join(HERE, "worker_quorvex.py"), path, out_json] + cap
            elif tool in ("engine_t1", "engine_t2"):
                env["PYTHONPATH"] = module_dir + os.pathsep + os.path.join(ROOT, "python")
                cmd = [args.quorvex_python, os.path.join(HERE, "worker_engine.py"), path, out_json,
                       "--threads", tool[-1]] + cap
            elif tool == "pybufrkit":
                k = args.pybufrkit_max_messages or args.max_messages
                cmd = [args.pybufrkit_python, os.path.join(HERE, "worker_pybufrkit.py"), path, out_json]
                cmd += (["--max-messages", str(k)] if k else [])
                cmd += (["--max-seconds", str(args.pybufrkit_seconds)] if args.pybufrkit_seconds else [])
            else:
                sys.exit("unknown tool " + tool)
            if args.report_only:
                if os.path.exists(out_json):
                    with open(out_json) as f:
                        data = json.load(f)
                    results[(name, tool)] = Result(data, data.get("process_maxrss_kb", data["maxrss_kb"]), sizes)
                else:
                    problems[(name, tool)] = "no result in " + args.out
                continue
            if os.path.exists(out_json):
                os.remove(out_json)
            log("%-22s %-15s ..." % (name, tool))
            code, rss, wall = run_process(cmd, env=env, stderr_path=err_log)
            if code != 0 or not os.path.exists(out_json):
                tail = open(err_log, errors="replace").read().strip().splitlines()[-1:] if os.path.exists(err_log) else []
                problems[(name, tool)] = "exit %s: %s" % (code, tail[0][:200] if tail else "")
                log("   failed:", problems[(name, tool)])
                continue
            with open(out_json) as f:
                data = json.load(f)
            data["process_maxrss_kb"] = rss
            with open(out_json, "w") as f:
                json.dump(data, f)
            if data["messages_total"] != len(views):
                problems[(name, tool)] = "found %d messages, the scan %d" % (data["messages_total"], len(views))
            results[(name, tool)] = Result(data, rss, sizes)
            log("   %d/%d messages ok, %.1f s wall, peak %.0f MB" % (data["ok"], data["attempted"], wall, rss / 1024))

    memory_json = os.path.join(args.out, "engine_memory.json")
    if args.report_only:
        floors = {}
        core_json = os.path.join(args.out, "core_bench.json")
        if os.path.exists(core_json):
            with open(core_json) as f:
                floors["core"] = json.load(f)
        else:
            floors["core_error"] = "no core_bench.json in " + args.out
        memory = load_json(memory_json)
    else:
        floors = {} if args.no_floors else run_floors(args, module_dir, files)
        memory = None
        if not args.no_engine_memory and any(t.startswith("engine_") for t in tools):
            memory = run_engine_memory(args, module_dir, files, memory_json)
    meta_path = os.path.join(args.out, "run.json")
    if args.report_only and os.path.exists(meta_path):
        with open(meta_path) as f:
            meta = json.load(f)
    else:
        meta = {"started": started.isoformat(), "finished": datetime.datetime.now().astimezone().isoformat(),
                "load_before": load_before, "load_after": loadavg(), "git": git_state(),
                "quorvex_status": quorvex_status,
                "command": args.command or " ".join(shlex.quote(a) for a in [os.path.relpath(sys.argv[0], ROOT)] + sys.argv[1:])}
        if not args.report_only:
            with open(meta_path, "w") as f:
                json.dump(meta, f)
    report = build_report(args, files, tools, results, problems, floors, meta, memory)
    print(report)
    if args.results:
        with open(args.results, "w") as f:
            f.write(report)
        log("written", args.results)


def core_labels(name):
    """Names the C++ decode benchmark may give a benchmark file: its own, and its first word
    (satellite_compressed -> satellite)."""
    return [name] if "_" not in name else [name, name.split("_")[0]]


def run_floors(args, module_dir, files):
    """The core decode alone: the Google Benchmark binary built with -DQUORVEX_BENCH=ON, its
    BM_DecodeFile benchmarks of the files run (the DecodedValue floor is measured inside the
    _quorvex worker runs)."""
    floors = {}
    core = os.path.join(module_dir, "quorvex_bench")
    if os.path.exists(core):
        out_json = os.path.join(args.out, "core_bench.json")
        labels = [label for name in files for label in core_labels(name)]
        flt = args.core_bench_filter
        if flt is None:
            # the core's decode, and the columnar engine alone (no Python) on the same files
            flt = "^BM_(DecodeFile|Columns)/(%s)(_walk|_program|_t1|_t1_walk|_t2)?(/real_time)?$" % "|".join(labels)
        log("core decode (quorvex_bench --benchmark_filter='%s') ..." % flt)
        code, rss, wall = run_process([core, "--benchmark_filter=" + flt, "--benchmark_format=json",
                                       "--benchmark_min_time=" + args.core_bench_min_time],
                                      stdout_path=out_json,
                                      stderr_path=os.path.join(args.out, "core_bench.log"), timeout=1800)
        if code == 0 and os.path.exists(out_json):
            with open(out_json) as f:
                floors["core"] = json.load(f)
            floors["core_maxrss_kb"] = rss
        else:
            floors["core_error"] = "quorvex_bench exited %s (see %s)" % (code, os.path.join(args.out, "core_bench.log"))
    else:
        floors["core_error"] = "no %s (built by `make build` when bench/*_bench.cpp exist)" % core
    return floors


def load_json(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def run_engine_memory(args, module_dir, files, out_json):
    """bench/engine_memory.py on the largest of the files run (fresh processes of its own)."""
    paths = [os.path.join(args.corpus, n + "_ed4.bufr") for n in files]
    paths = [p for p in paths if os.path.exists(p)]
    if os.path.exists(out_json):
        os.remove(out_json)
    if not paths:
        return None
    path = max(paths, key=os.path.getsize)
    cmd = [args.quorvex_python, os.path.join(ROOT, "bench", "engine_memory.py"), path, "--json", out_json]
    cmd += ["--max-messages", str(args.max_messages)] if args.max_messages else []
    env = dict(os.environ, PYTHONPATH=module_dir + os.pathsep + os.path.join(ROOT, "python"))
    log("engine memory (bench/engine_memory.py %s) ..." % os.path.basename(path))
    err_log = os.path.join(args.out, "engine_memory.log")
    code, _, _ = run_process(cmd, env=env, stdout_path=os.path.join(args.out, "engine_memory.txt"),
                             stderr_path=err_log, timeout=1800)
    if code != 0 or not os.path.exists(out_json):
        return {"error": "bench/engine_memory.py exited %s (see %s)" % (code, err_log)}
    return load_json(out_json)


def git_state():
    try:
        head = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True).stdout.strip()
        return head + (" with uncommitted changes" if dirty else "") if head else "?"
    except OSError:
        return "?"


# Goals of the columnar engine, each checked from this run's figures.
ENGINE_SPEED_FILES = ["synop", "temp", "aircraft"]
FLAT_MB = 4.0  # iter_batches peaks this close (or within 10 %) count as flat


def core_decode_rate(floors, name):
    """(benchmark name, DecodedValue records per CPU second) of the core decode of a file:
    its program replay when benchmarked, else its walk, else the file's plain benchmark."""
    by_name = {b["name"]: b for b in floors.get("core", {}).get("benchmarks", [])
               if b.get("run_type") != "aggregate" and not b.get("error_occurred") and "items_per_second" in b}
    for label in core_labels(name):
        for suffix in ("_program", "_walk", ""):
            b = by_name.get("BM_DecodeFile/%s%s" % (label, suffix))
            if b is not None:
                return b["name"], b["items_per_second"]
    return None, None


def speed_ratio(slow, fast, wall):
    """slow's time over fast's on the messages both decoded: (ratio, messages, fast's
    values/s, slow's values/s) with ecCodes C's numericValues counts as values."""
    common = slow.ok_set & fast.ok_set
    ts, tf = slow.time_of(common, wall), fast.time_of(common, wall)
    if not common or ts <= 0 or tf <= 0:
        return None
    return ts / tf, len(common), ts, tf


def engine_targets(results, floors, memory, corpus_sizes):
    """The "Engine targets" table: (goal, measured, verdict) lines."""
    rows = []

    def verdict(ok):
        return "met" if ok else "**missed**"

    def missing(*keys):
        return "not run (%s)" % ", ".join("%s/%s" % k for k in keys if k not in results)

    # (a) the compressed satellite file, engine against ecCodes C end to end.
    sat = "satellite_compressed"
    for tool, wall in (("engine_t1", False), ("engine_t2", True)):
        goal = "%s: %s ≥ 2× ecCodes C, values/s into Arrow against values/s into C arrays" % (sat, LABEL[tool])
        c, e = results.get((sat, "eccodes_c")), results.get((sat, tool))
        got = speed_ratio(c, e, wall) if c and e else None
        if got is None:
            rows.append((goal, missing((sat, "eccodes_c"), (sat, tool)) if not (c and e) else "no common messages", "not run"))
            continue
        ratio, n, tc, te = got
        common = c.ok_set & e.ok_set
        vals = sum(c.d["msg_values"][i] for i in common)
        rows.append((goal, "%s (%s against %s values/s, %d messages, %s time)" % (
            fmt_ratio(ratio), fmt_rate(vals / te), fmt_rate(vals / tc), n, "wall" if wall else "charged"),
            verdict(ratio >= 2)))

    # (b) synop, temp, aircraft: engine_t1 against _quorvex, and against the core alone.
    for name in ENGINE_SPEED_FILES:
        goal = "%s: %s ≥ 3× _quorvex (decode_values_with_tables)" % (name, LABEL["engine_t1"])
        q, e = results.get((name, "quorvex")), results.get((name, "engine_t1"))
        got = speed_ratio(q, e, False) if q and e else None
        if got is None:
            rows.append((goal, missing((name, "quorvex"), (name, "engine_t1")) if not (q and e) else "no common messages",
                         "not run"))
        else:
            rows.append((goal, "%s (%d messages, charged time)" % (fmt_ratio(got[0]), got[1]), verdict(got[0] >= 3)))
        goal = "%s: core alone ÷ %s ≤ 1.5, DecodedValue records/s (the engine's rows)" % (name, LABEL["engine_t1"])
        bench, core_rate = core_decode_rate(floors, name)
        if e is None or core_rate is None:
            why = [] if e else ["%s/engine_t1" % name]
            why += [] if core_rate else ["BM_DecodeFile/%s" % core_labels(name)[-1]]
            rows.append((goal, "not run (%s)" % ", ".join(why), "not run"))
            continue
        t = e.time_of(e.ok_set)
        rows_rate = e.d["own_values"] / t if t > 0 else None
        if not rows_rate:
            rows.append((goal, "no rows decoded", "not run"))
            continue
        ratio = core_rate / rows_rate
        rows.append((goal, "%.2f (core %s records/s in `%s`, engine %s rows/s, charged time)" % (
            ratio, fmt_rate(core_rate), bench, fmt_rate(rows_rate)), verdict(ratio <= 1.5)))

    # (c) two threads against one on the mixed file.
    goal = "mixed: %s ≥ 1.7× %s" % (LABEL["engine_t2"], LABEL["engine_t1"])
    one, two = results.get(("mixed", "engine_t1")), results.get(("mixed", "engine_t2"))
    got = speed_ratio(one, two, True) if one and two else None
    if got is None:
        rows.append((goal, missing(("mixed", "engine_t1"), ("mixed", "engine_t2")) if not (one and two)
                     else "no common messages", "not run"))
    else:
        rows.append((goal, "%s (%d messages, wall time)" % (fmt_ratio(got[0]), got[1]), verdict(got[0] >= 1.7)))

    # (d) memory: read_arrow bytes per value, iter_batches flat over growing prefixes.
    largest = max(corpus_sizes, key=corpus_sizes.get) if corpus_sizes else None
    goal_bytes = "read_arrow: ≤ 24 bytes per value plus text octets"
    goal_flat = "iter_batches: peak memory flat over 25 / 50 / 100 %% of the largest file (%s)" % (largest or "?")
    if not memory or "error" in memory:
        why = memory["error"] if memory else "not run (needs an engine tool and bench/engine_memory.py)"
        rows.append((goal_bytes, why, "not run"))
        rows.append((goal_flat, why, "not run"))
        return rows
    fname = os.path.basename(memory["file"]).replace("_ed4.bufr", "")
    where = fname + (" (first %d messages)" % memory["max_messages"] if memory.get("max_messages") else "")
    r = memory["read"]
    per_value = (r["table_bytes"] - r["text_bytes"]) / r["rows"] if r["rows"] else None
    if per_value is None:
        rows.append((goal_bytes, "no rows decoded from " + where, "not run"))
    else:
        rows.append((goal_bytes, "%.1f B/value without text, %.1f with its %.1f MB of text (%s, %d values)" % (
            per_value, r["table_bytes"] / r["rows"], r["text_bytes"] / MB, where, r["rows"]), verdict(per_value <= 24)))
    peaks = [(it["fraction"], (it["peak_kb"] - it["rss_before_kb"]) / 1024) for it in memory["iter"]]
    spread = max(p for _, p in peaks) - min(p for _, p in peaks)
    flat = spread <= max(FLAT_MB, 0.1 * max(p for _, p in peaks))
    measured = "peaks above the file read: %s MB (%s)" % (
        " / ".join("%.0f" % p for _, p in peaks), where)
    if fname != largest or memory.get("max_messages"):
        rows.append((goal_flat, measured + ": not the whole largest file", "not run"))
    else:
        rows.append((goal_flat, measured, verdict(flat)))
    return rows


def engine_targets_section(args, files, tools, results, floors, memory):
    corpus_sizes = {}
    for f in os.listdir(args.corpus) if os.path.isdir(args.corpus) else []:
        if f.endswith("_ed4.bufr"):
            corpus_sizes[f[:-len("_ed4.bufr")]] = os.path.getsize(os.path.join(args.corpus, f))
    L = ["## Engine targets", ""]
    L.append("The columnar engine (`quorvex.read_arrow`) against its goals, from this run's figures only.")
    L.append("")
    L.append("| goal | measured | verdict |")
    L.append("|---|---|---|")
    for goal, measured, v in engine_targets(results, floors, memory, corpus_sizes):
        L.append("| %s | %s | %s |" % (goal, measured.replace("|", "/"), v))
    L.append("")
    L.append("Notes:")
    L.append("")
    L.append("- Speed ratios are one tool's time over the other's on the messages both decoded, so they equal the "
             "ratio of values/s under any count of values; the values/s shown use ecCodes's numericValues of "
             "those messages, as the throughput table does.")
    L.append("- Times: a ratio involving threads=2 uses wall time on both sides (two threads: CPU time would "
             "hide the gain); every other ratio uses the charged time of the throughput table (wall time "
             "scaled by the process's CPU/wall ratio). On a loaded machine the wall-time ratios of threads=2 "
             "lose what other processes take.")
    L.append("- The engine's times are whole `read_arrow` calls, table loading from the definitions included; "
             "the core alone (`quorvex_bench`, BM_DecodeFile, its program replay when benchmarked, else its "
             "walk) has its tables loaded beforehand and makes no Arrow columns. Both sides of that ratio count "
             "DecodedValue records (the engine emits one row per record), not ecCodes's numericValues; the "
             "core's rate is per CPU second over the whole file%s." % (
                 ", the engine's over the first %d messages" % args.max_messages if args.max_messages else ""))
    L.append("- Memory: `bench/engine_memory.py`, each figure from a fresh process: the read_arrow table's "
             "bytes (pyarrow `nbytes`) per value, text octets apart; iter_batches peaks (ru_maxrss above the "
             "process's peak once the file is read, each batch dropped once counted) over the first 25, 50 and "
             "100 %% of the file's messages; flat means the three peaks lie within %.0f MB or 10 %% of each "
             "other." % FLAT_MB)
    per_file = ["%s %.1f" % (n, results[(n, "engine_t1")].d["bytes_per_value"]) for n in files
                if (n, "engine_t1") in results and results[(n, "engine_t1")].d.get("bytes_per_value")]
    if per_file:
        L.append("- Table bytes per value (text included) of each file's threads=1 run: " + ", ".join(per_file) + ".")
    L.append("")
    return L


def build_report(args, files, tools, results, problems, floors, meta, memory=None):
    model, cores, mem = machine()
    cmd = meta["command"]
    quorvex_status = meta["quorvex_status"]
    started = datetime.datetime.fromisoformat(meta["started"])
    finished = datetime.datetime.fromisoformat(meta["finished"])
    load0, load1 = meta["load_before"], meta["load_after"]
    L = []
    L.append("# Side-by-side benchmark")
    L.append("")
    L.append("Written by `bench/compare/run.py` (`make bench`); figures from one run, one process per tool and file.")
    L.append("")
    L.append("- Machine: %s, %s cores, %s memory; Linux %s" % (model, cores, mem, platform.release()))
    L.append("- Date: %s to %s" % (started.strftime("%Y-%m-%d %H:%M %Z"), finished.strftime("%H:%M %Z")))
    L.append("- Load average (1, 5, 15 min) before: %s, after: %s (the machine is shared; rates use CPU time, see Method)"
             % (" ".join(load0), " ".join(load1)))
    L.append("- Command: `%s`; source: commit %s" % (cmd, meta.get("git", "?")))
    versions = {}
    for (f, t), r in results.items():
        versions[t] = "%s %s (Python %s)" % (LABEL[t], r.d.get("tool_version"), r.d["python"]) if "python" in r.d \
            else "%s %s" % (LABEL[t], r.d.get("tool_version"))
    if versions:
        L.append("- Tools: " + "; ".join(versions[t] for t in tools if t in versions))
    caps = []
    if args.max_messages:
        caps.append("every tool at the first %d messages of each file" % args.max_messages)
    if "pybufrkit" in tools and (args.pybufrkit_seconds or args.pybufrkit_max_messages):
        caps.append("pybufrkit at the first messages it decodes within %s" % " / ".join(
            x for x in ["%g CPU seconds" % args.pybufrkit_seconds if args.pybufrkit_seconds else "",
                        "%d messages" % args.pybufrkit_max_messages if args.pybufrkit_max_messages else ""] if x)
            + " per file")
    if caps:
        L.append("- Caps: " + "; ".join(caps))
    if quorvex_status != "ok":
        L.append("- **_quorvex: %s** — its rows are missing; re-run `make bench` once the module decodes." % quorvex_status)
    L.append("")

    L.extend(engine_targets_section(args, files, tools, results, floors, memory))

    # Reference values per message: ecCodes C's numericValues counts.
    L.append("## Throughput")
    L.append("")
    L.append("msg/s, values/s and MB/s over the messages each tool decoded without error; \"values\" are ecCodes's "
             "numericValues entries of those messages for every tool. Peak RSS is ru_maxrss of the tool's process. "
             "\"_quorvex ×\" is how many times faster this module is than the peer on the same messages.")
    L.append("")
    L.append("| file | tool | messages ok / run | msg/s | values/s | MB/s | peak RSS MB | _quorvex × |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|")
    notes = []
    own = []
    for name in files:
        ref = results.get((name, "eccodes_c"))
        for tool in tools:
            r = results.get((name, tool))
            if r is None:
                why = problems.get((name, tool), "not run")
                L.append("| %s | %s | n/a | | | | | %s |" % (name, LABEL[tool], why.replace("|", "/")[:120]))
                continue
            # ecCodes C's count where it decoded the message, else the tool's own count.
            ref_values = list(r.d["msg_values"])
            missing_ref = 0
            for i in range(len(ref_values)):
                if ref is not None and i in ref.ok_set:
                    ref_values[i] = ref.d["msg_values"][i]
                elif i in r.ok_set:
                    missing_ref += 1
            if missing_ref:
                notes.append("%s/%s: %d messages without an ecCodes C count, own count used" % (name, LABEL[tool], missing_ref))
            rt = r.rates(ref_values)
            run_note = "%d / %d" % (r.d["ok"], r.d["attempted"])
            if r.d["attempted"] < r.d["messages_total"]:
                run_note += " of %d¹" % r.d["messages_total"]
            ratio = ""
            q = results.get((name, "quorvex"))
            if tool != "quorvex" and q is not None:
                common = r.ok_set & q.ok_set
                tq = q.time_of(common)
                ratio = fmt_ratio(r.time_of(common) / tq if common and tq > 0 else None)
                if len(common) < len(r.ok_set) or len(common) < len(q.ok_set):
                    ratio += " (%d msgs)" % len(common)
            elif tool == "quorvex":
                ratio = "1"
            if rt is None:
                L.append("| %s | %s | %s | n/a | n/a | n/a | %.0f | %s |" % (name, LABEL[tool], run_note, r.maxrss_kb / 1024, ratio))
            else:
                L.append("| %s | %s | %s | %s | %s | %.2f | %.0f | %s |" % (
                    name, LABEL[tool], run_note, fmt_rate(rt["msgs"]), fmt_rate(rt["values"]), rt["mbs"],
                    r.maxrss_kb / 1024, ratio))
            if r.d["failed"]:
                notes.append("%s/%s: %d messages failed, first: %s" % (name, LABEL[tool], r.d["failed"], r.d["first_error"][:200]))
            if r.d.get("strings_wall"):
                notes.append("%s/%s: %.2f s of its %.2f s CPU went to fetching stringValues" % (
                    name, LABEL[tool], r.d["strings_wall"] * r.factor, r.d["cpu_total"]))
            if (name, tool) in problems:
                notes.append("%s/%s: %s" % (name, LABEL[tool], problems[(name, tool)]))
            own.append((name, tool, r, sum(ref_values[i] for i in r.ok_set),
                        sum(r.d["msg_values"][i] for i in r.ok_set)))
    L.append("")
    if any(r.d["attempted"] < r.d["messages_total"] for r in results.values()):
        L.append("¹ capped: the tool ran on the first K messages of the file only (a time or message cap, "
                 "see Command); its rates are per message of those K, and its ratio compares the same K messages.")
        L.append("")
    if notes:
        L.append("Notes:")
        L.append("")
        for n in notes:
            L.append("- " + n)
        L.append("")

    L.append("## Values counted by each tool")
    L.append("")
    L.append("Over the messages each tool decoded: ecCodes's numericValues entries (the definition used above) and the "
             "tool's own count (ecCodes: numericValues, plus stringValues apart; _quorvex: DecodedValue objects; "
             "pybufrkit: values of all subsets of the decoded template).")
    L.append("")
    L.append("| file | tool | ecCodes values | own values | strings fetched | charged s | process CPU s | process wall s |")
    L.append("|---|---|---:|---:|---:|---:|---:|---:|")
    for name, tool, r, refv, ownv in own:
        L.append("| %s | %s | %d | %d | %s | %.2f | %.2f | %.2f |" % (
            name, LABEL[tool], refv, ownv, r.d.get("strings", "") if tool.startswith("eccodes") else "",
            r.time_of(r.ok_set), r.d["cpu_total"], r.d["wall_total"]))
    L.append("")
    L.append("\"charged s\" is the CPU time the rates above use (decoded messages only); the process columns cover "
             "the whole timed region (file read, scan, every message, failed ones included).")
    L.append("")
    q_rows = [(n, results[(n, "quorvex")]) for n in files if (n, "quorvex") in results]
    if q_rows:
        L.append("_quorvex table loading (TableSet.from_definitions, once per distinct selection; included above): " +
                 "; ".join("%s %d sets %.2f s" % (n, r.d.get("table_sets", 0), r.d.get("table_load_wall", 0.0))
                           for n, r in q_rows))
        L.append("")

    L.append("## Memory check")
    L.append("")
    biggest = None
    sizes = {n: os.path.getsize(os.path.join(args.corpus, n + "_ed4.bufr")) for n in files
             if os.path.exists(os.path.join(args.corpus, n + "_ed4.bufr"))}
    if sizes:
        biggest = max(sizes, key=sizes.get)
    if biggest:
        L.append("Largest file: %s (%.1f MB), decoded message by message in one process; RSS (VmRSS) and peak "
                 "(ru_maxrss) after 10 %%, 50 %% and 100 %% of its messages. The file's octets (read whole) stay "
                 "resident throughout." % (biggest, sizes[biggest] / MB))
        L.append("")
        L.append("| tool | after | messages | RSS MB | peak MB | table sets |")
        L.append("|---|---:|---:|---:|---:|---:|")
        for tool in ["quorvex", "eccodes_c", "eccodes_python"]:
            r = results.get((biggest, tool))
            if r is None:
                L.append("| %s | n/a | | | | |" % LABEL[tool])
                continue
            for cp in r.d["checkpoints"]:
                L.append("| %s | %.0f %% | %d | %.1f | %.1f | %s |" % (
                    LABEL[tool], cp["fraction"] * 100, cp["messages"], cp["rss_kb"] / 1024, cp["maxrss_kb"] / 1024,
                    cp.get("table_sets", "")))
        r = results.get((biggest, "quorvex"))
        if r is not None and len(r.d["checkpoints"]) >= 3:
            cps = r.d["checkpoints"]
            L.append("")
            spans = []
            for a, c in zip(cps, cps[1:]):
                grow = (c["maxrss_kb"] - a["maxrss_kb"]) / 1024
                new_sets = c.get("table_sets", 0) - a.get("table_sets", 0)
                spans.append("%.0f %% → %.0f %%: peak %+.1f MB, RSS %+.1f MB, %d new table sets" % (
                    a["fraction"] * 100, c["fraction"] * 100, grow, (c["rss_kb"] - a["rss_kb"]) / 1024, new_sets))
            L.append("_quorvex: " + "; ".join(spans) + ". The worker keeps every TableSet it loads (one per distinct "
                     "table selection, as a caller would), so growth while new sets load is table memory.")
            quiet = [(a, c) for a, c in zip(cps, cps[1:]) if c.get("table_sets", 0) == a.get("table_sets", 0)]
            if quiet:
                a, c = quiet[-1]
                grow = (c["maxrss_kb"] - a["maxrss_kb"]) / 1024
                L.append("")
                L.append("**Verdict:** over the %d messages decoded from %.0f %% to %.0f %% with no new tables, the peak "
                         "grows by %.1f MB: %s." % (c["messages"] - a["messages"], a["fraction"] * 100,
                                                     c["fraction"] * 100, grow,
                                                     "flat" if grow < 4 else "NOT flat (memory grows with messages decoded)"))
            else:
                L.append("")
                L.append("**Verdict:** none: new table sets were loaded in every span.")
        L.append("")

    L.append("## Floors")
    L.append("")
    fl = [(n, results[(n, "quorvex")]) for n in files if (n, "quorvex") in results]
    if fl:
        L.append("DecodedValue creation floor: after its timed run, the _quorvex worker makes and frees, message by "
                 "message, as many DecodedValue objects as each message gave (sharing as many distinct name strings, made beforehand as a TableSet makes the strs of its names), with "
                 "nothing decoded, through the module's own conversion (`_quorvex_floor.floor_seconds`, built beside the module by "
                 "-DQUORVEX_BENCH=ON). \"share\" is that floor over _quorvex's whole time for the file.")
        L.append("")
        L.append("| file | DecodedValue objects | floor s | _quorvex s | share | objects/s at the floor | objects/s in _quorvex |")
        L.append("|---|---:|---:|---:|---:|---:|---:|")
        for n, r in fl:
            tq = r.time_of(r.ok_set)
            if "floor_wall" in r.d:
                tf = r.d["floor_wall"] * r.d.get("floor_cpu_factor", 1.0)
                objs = r.d["floor_objects"]
                L.append("| %s | %d | %.3f | %.3f | %.0f %% | %s | %s |" % (
                    n, objs, tf, tq, 100 * tf / tq if tq else 0, fmt_rate(objs / tf if tf else None),
                    fmt_rate(objs / tq if tq else None)))
            else:
                L.append("| %s | %d | n/a | %.3f | | | %s |" % (n, r.d["own_values"], tq, r.d.get("floor_error", "")))
        L.append("")
    if "core" in floors:
        L.append("Core decode alone (C++, no Python objects): `quorvex_bench` (Google Benchmark)%s." %
                 (", peak RSS %.0f MB" % (floors["core_maxrss_kb"] / 1024) if "core_maxrss_kb" in floors else ""))
        L.append("")
        L.append("| benchmark | CPU time per iteration | wall time | counters (rates per CPU second) |")
        L.append("|---|---:|---:|---|")
        std = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
               "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit", "label",
               "aggregate_name", "aggregate_unit", "error_occurred", "error_message"}
        for b in floors["core"].get("benchmarks", []):
            if b.get("run_type") == "aggregate":
                continue
            counters = []
            for k, v in b.items():
                if k in std or not isinstance(v, (int, float)):
                    continue
                label = {"bytes_per_second": "bytes/s", "items_per_second": "items/s"}.get(k, k)
                counters.append("%s=%s" % (label, fmt_rate(v)))
            L.append("| %s | %.4g %s | %.4g %s | %s |" % (b["name"], b.get("cpu_time", 0), b.get("time_unit", ""),
                                                      b.get("real_time", 0), b.get("time_unit", ""),
                                                      " ".join(counters)))
        L.append("")
    else:
        L.append("- Core decode alone: %s" % floors.get("core_error", "skipped (--no-floors)"))
    if not fl:
        L.append("- DecodedValue creation floor: needs a _quorvex run")
    L.append("")

    L.append("## Method and limits")
    L.append("")
    L.append("""- Work per message, the same for every tool: take the message, decode all its subsets, get every value.
  ecCodes C: `codes_handle_new_from_file`, `unpack=1`, `codes_get_double_array(numericValues)` and
  `codes_get_string_array(stringValues)`. ecCodes Python: `codes_bufr_new_from_file`, `unpack=1`,
  `numericValues` and `stringValues` arrays. _quorvex: `decode_values_with_tables` on the message's own octets
  (list of DecodedValue objects), tables from `TableSet.from_definitions(/usr/share/eccodes/definitions, message)`
  loaded once per distinct (master table, master version, local version, centre, sub-centre) and reused; headers
  from one `parse_all_bytes` over the file. pybufrkit: `Decoder().process(message octets)`, full decode with its
  own bundled tables.
- Times: each message is timed on the wall clock; the run's setup (file read, and for _quorvex `parse_all_bytes`)
  is shared equally among its messages; the harness's own scan of the file (which message is message i, done in
  Python by the Python workers and in C by the ecCodes C worker) is not timed for any tool; everything is then scaled by the process's CPU time / wall time (at most 1), so
  that time lost to other processes on this shared 2-core machine is not charged. Start-up and imports are not
  timed. Rates count only the messages a tool decoded without error; failed messages' time is left out.
- "values" means ecCodes's numericValues entries (all subsets, operator slots included), the corpus's definition,
  for every tool, so values/s compares the same work. Each tool's own count is in the second table.
- Peak memory is the whole process (interpreter, libraries, tables, the file read whole by the Python workers).
- One run per tool and file: no repetition, no warm-up beyond what the run itself gives (ecCodes and _quorvex
  load their tables on first use, inside the timed loop). Expect a few per cent of noise, more while other
  processes compete for the caches.
- pybufrkit (0.2.25, with bitstring < 5: bitstring 5 dropped the BitStream class it uses) fails on messages whose
  local (centre) descriptors its bundled tables lack; those messages are left out of its rates and its ratio. It
  is capped per file at the messages it decodes within a CPU-time budget (`PYBUFRKIT_SECONDS`, default 60).
- "_quorvex ×" below 1 means the peer is faster on those messages. The DecodedValue floor's share says how much
  of _quorvex's time merely making the Python objects costs; the rest is scan, parse, decode and call overhead.
- The core benchmark links Debian's libbenchmark, itself a debug build (it warns); that affects its harness only,
  not the code measured, which is built Release.
""")
    return "\n".join(L)


if __name__ == "__main__":
    main()

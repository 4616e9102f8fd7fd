"""Shared by the Python workers of the side-by-side benchmark (standard library only:
the workers run under three interpreters).

A worker decodes the messages of one file, timing each message, and writes one JSON
summary (the shape eccodes_bench.c writes too):

  tool, tool_version, file, file_size, messages_total (found by the scan below),
  attempted, ok, failed, own_values (values as the tool itself counts them),
  strings, first_error, wall_total / cpu_total (the timed region: file read, scan,
  every message; the harness's
  scan below is not timed), setup_wall (the part of the timed region spent outside the
  per-message timers), maxrss_kb, checkpoints (RSS after 10 %, 50 %, 100 % of the
  messages to attempt), msg_wall (per message wall seconds, null when it failed),
  msg_values (per message own value count).
"""
import argparse
import json
import resource
import sys
import time


def scan_messages(buf):
    """(offset, length) of every message: find b"BUFR", trust the 24-bit length at +4,
    resume after the message (the scan the corpus tools use)."""
    out = []
    p = 0
    n = len(buf)
    while n - p >= 8:
        k = buf.find(b"BUFR", p)
        if k < 0 or k + 8 > n:
            break
        length = int.from_bytes(buf[k + 4:k + 7], "big")
        if length < 8 or k + length > n:
            break
        out.append((k, length))
        p = k + length
    return out


def current_rss_kb():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def maxrss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def parse_args(description):
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("file")
    ap.add_argument("out", help="JSON summary to write")
    ap.add_argument("--max-messages", type=int, default=0, help="attempt at most the first K messages (0: all)")
    ap.add_argument("--max-seconds", type=float, default=0.0,
                    help="stop after the message during which this much CPU time had been used (0: no limit)")
    return ap.parse_args()


class Run:
    """Bookkeeping of one worker run. Usage:

        run = Run(tool, version, args)        # starts the clocks, reads and scans the file
        for i, (off, length) in run.messages():
            t0 = time.perf_counter(); ...decode...; run.done(i, t0, own_values, strings)
            (or run.fail(i, error_text) on failure)
        run.write()
    """

    def __init__(self, tool, version, args):
        self.tool, self.version, self.args = tool, version, args
        self.wall0 = time.perf_counter()
        self.cpu0 = time.process_time()
        with open(args.file, "rb") as f:
            self.buf = f.read()
        # The harness's own scan (which message is message i, for the bookkeeping) is not the
        # tool's work: it is left out of the clocks, as eccodes_bench.c counts its messages
        # before starting them. A tool that needs message boundaries finds them itself, timed.
        scan_wall, scan_cpu = time.perf_counter(), time.process_time()
        self.views = scan_messages(self.buf)
        self.wall0 += time.perf_counter() - scan_wall
        self.cpu0 += time.process_time() - scan_cpu
        total = len(self.views)
        self.limit = min(total, args.max_messages) if args.max_messages > 0 else total
        self.msg_wall = []
        self.msg_values = []
        self.own_values = 0
        self.strings = 0
        self.ok = 0
        self.failed = 0
        self.first_error = ""
        self.checkpoints = []
        self._cp_at = [((self.limit + 9) // 10, 0.1), ((self.limit + 1) // 2, 0.5), (self.limit, 1.0)]
        self._timed = 0.0
        self.extra = {}

    def messages(self):
        for i in range(self.limit):
            if self.args.max_seconds > 0 and time.process_time() - self.cpu0 > self.args.max_seconds:
                break
            yield i, self.views[i]
            self._checkpoint(i + 1)

    def _checkpoint(self, attempted):
        while self._cp_at and attempted >= self._cp_at[0][0]:
            at, frac = self._cp_at.pop(0)
            self.checkpoints.append({"fraction": frac, "messages": at, "rss_kb": current_rss_kb(),
                                     "maxrss_kb": maxrss_kb(), **self.checkpoint_extra()})

    def checkpoint_extra(self):
        return {}

    def done(self, i, t0, own_values, strings=0):
        dt = time.perf_counter() - t0
        self._timed += dt
        self.msg_wall.append(dt)
        self.msg_values.append(own_values)
        self.own_values += own_values
        self.strings += strings
        self.ok += 1

    def fail(self, i, t0, error):
        self._timed += time.perf_counter() - t0
        self.msg_wall.append(None)
        self.msg_values.append(0)
        self.failed += 1
        if not self.first_error:
            self.first_error = "message %d: %s" % (i, error)

    def finish(self):
        """Stop the clocks (work done after this, such as a floor measurement, is not timed)."""
        if getattr(self, "_finished", None):
            return
        attempted = len(self.msg_wall)
        if attempted and (not self.checkpoints or self.checkpoints[-1]["messages"] < attempted):
            self.checkpoints.append({"fraction": round(attempted / max(1, self.limit), 4), "messages": attempted,
                                     "rss_kb": current_rss_kb(), "maxrss_kb": maxrss_kb(),
                                     **self.checkpoint_extra()})
        self._finished = (time.perf_counter() - self.wall0, time.process_time() - self.cpu0, maxrss_kb())

    def write(self):
        self.finish()
        wall, cpu, peak = self._finished
        out = {
            "tool": self.tool, "tool_version": self.version, "file": self.args.file,
            "file_size": len(self.buf), "messages_total": len(self.views),
            "attempted": len(self.msg_wall), "ok": self.ok, "failed": self.failed,
            "own_values": self.own_values, "strings": self.strings, "first_error": self.first_error,
            "wall_total": wall, "cpu_total": cpu, "setup_wall": max(0.0, wall - self._timed),
            "maxrss_kb": peak, "checkpoints": self.checkpoints,
            "python": sys.version.split()[0],
            "msg_wall": self.msg_wall, "msg_values": self.msg_values,
        }
        out.update(self.extra)
        with open(self.args.out, "w") as f:
            json.dump(out, f)

#!/usr/bin/env python3
"""pybufrkit peer (pure Python, run in its own venv): full decode of every message with
Decoder.process; the values counted are those of all subsets of the decoded template."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pybufrkit  # noqa: E402
import worker_common as wc  # noqa: E402
from pybufrkit.decoder import Decoder  # noqa: E402


def main():
    args = wc.parse_args(__doc__)
    run = wc.Run("pybufrkit", getattr(pybufrkit, "__version__", "?"), args)
    decoder = Decoder()
    buf = run.buf
    for i, (off, length) in run.messages():
        t0 = time.perf_counter()
        try:
            message = decoder.process(buf[off:off + length])
            subsets = message.template_data.value.decoded_values_all_subsets
            n = sum(len(s) for s in subsets)
            del message, subsets  # freeing the result is part of the message's cost
        except Exception as e:  # pybufrkit raises its own types, and others on unknown tables
            run.fail(i, t0, "%s: %s" % (type(e).__name__, e))
            continue
        run.done(i, t0, n, 0)
    run.write()


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""ecCodes Python-bindings peer (run with the interpreter that has `eccodes`, Debian's
/usr/bin/python3): per message codes_bufr_new_from_file, unpack=1, then every numeric
value (numericValues) and every string value (stringValues)."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import eccodes  # noqa: E402
import worker_common as wc  # noqa: E402


def main():
    args = wc.parse_args(__doc__)
    run = wc.Run("eccodes_python", eccodes.codes_get_api_version(), args)
    strings_wall = 0.0
    with open(args.file, "rb") as f:
        for i, _view in run.messages():
            t0 = time.perf_counter()
            h = eccodes.codes_bufr_new_from_file(f)
            if h is None:
                run.fail(i, t0, "no message")
                break
            try:
                eccodes.codes_set(h, "unpack", 1)
                values = eccodes.codes_get_array(h, "numericValues")
                ts = time.perf_counter()
                strings = eccodes.codes_get_string_array(h, "stringValues") \
                    if eccodes.codes_get_size(h, "stringValues") else []
                strings_wall += time.perf_counter() - ts
            except eccodes.CodesInternalError as e:
                eccodes.codes_release(h)
                run.fail(i, t0, e)
                continue
            eccodes.codes_release(h)
            n, ns = len(values), len(strings)
            del values, strings
            run.done(i, t0, n, ns)
    run.extra = {"strings_wall": strings_wall}
    run.write()


if __name__ == "__main__":
    main()

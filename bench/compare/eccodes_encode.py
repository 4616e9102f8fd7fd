"""ecCodes Python side of the writing benchmark: the input of eccodes_encode.c, encoded as
ecCodes users write BUFR from Python (csv2bufr, synop2bufr, wis2box): each message from the BUFR4
sample, its header, factors and descriptors set, every key set with codes_set, then packed.
Run with an interpreter that has the eccodes bindings:  python3 eccodes_encode.py INPUT OUT.bufr
Prints the seconds of the encoding loop and the octets written, as JSON."""
import json
import math
import sys
import time

import eccodes as ec


def read(path):
    messages = []
    with open(path) as handle:
        for line in handle:
            kind, _, rest = line.rstrip("\n").partition(" ")
            if kind == "m":
                parts = [int(x) for x in rest.split()]
                messages.append({"subsets": parts[0], "compressed": parts[1], "desc": parts[3:3 + parts[2]],
                                 "settings": []})
            elif kind in "hnsa":
                key, _, value = rest.partition(" ")
                if kind == "h":
                    value = int(value)
                elif kind == "a":
                    value = [int(x) for x in value.split()[1:]]
                elif kind == "n":
                    numbers = [float(x) for x in value.split()[1:]]
                    value = [ec.CODES_MISSING_DOUBLE if math.isnan(v) else v for v in numbers]
                messages[-1]["settings"].append((kind, key, value))
    return messages


def main():
    messages = read(sys.argv[1])
    octets = 0
    start = time.perf_counter()
    failed = []  # messages ecCodes cannot make: left out, the others still made
    with open(sys.argv[2], "wb") as out:
        for k, m in enumerate(messages):
            h = ec.codes_bufr_new_from_samples("BUFR4")
            try:
                for kind, key, value in m["settings"]:
                    if kind == "h":
                        ec.codes_set(h, key, value)
                ec.codes_set(h, "numberOfSubsets", m["subsets"])
                ec.codes_set(h, "compressedData", m["compressed"])
                for kind, key, value in m["settings"]:
                    if kind == "a":
                        ec.codes_set_array(h, key, value)
                ec.codes_set_array(h, "unexpandedDescriptors", m["desc"])
                for kind, key, value in m["settings"]:
                    if kind == "n":
                        if len(value) > 1:
                            ec.codes_set_array(h, key, value)
                        elif value[0] != ec.CODES_MISSING_DOUBLE:
                            ec.codes_set(h, key, value[0])
                    elif kind == "s":
                        ec.codes_set(h, key, value)
                ec.codes_set(h, "pack", 1)
                octets += out.write(ec.codes_get_message(h))
            except ec.CodesInternalError as e:
                if not failed:
                    print(f"message {k}: {e}", file=sys.stderr)
                failed.append(k)
            finally:
                ec.codes_release(h)
    print(json.dumps({"seconds": time.perf_counter() - start, "messages": len(messages), "octets": octets,
                      "failed": failed}))


main()

#!/bin/sh
# Builds the seed corpora of the fuzz targets: fuzz/seed.sh OUT_DIR [seed.py options]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: seed.sh OUT_DIR [--corpus DIR] [--tables DIR]}
shift
python3 "$here/seed.py" "$out" "$@"

#!/bin/sh
# Runs every fuzz target in turn, one process at a time:
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# Each target reads BUILD_DIR/seeds/<target> and grows BUILD_DIR/corpus/<target>; a crash,
# leak, hang (-timeout) or memory blow-up (-rss_limit_mb, -malloc_limit_mb) is written to
# BUILD_DIR/artifacts/<target>/ and the target's log to BUILD_DIR/logs/<target>.log.
# Exits non-zero when any target found something. Extra libFuzzer flags: FUZZ_FLAGS.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: run.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
if [ $# -eq 0 ]; then
  set -- $(cd "$build" && ls *_fuzz | sed 's/_fuzz$//')
fi
status=0
for t in "$@"; do
  mkdir -p "$build/corpus/$t" "$build/seeds/$t" "$build/artifacts/$t" "$build/logs"
  log="$build/logs/$t.log"
  case $t in
    scan_parse | columnar | header_older) dict=scan_parse.dict ;;
    expand | decode_* | encode) dict=descriptors.dict ;;
    *) dict=tables.dict ;;
  esac
  echo "== $t: ${seconds}s"
  "$build/${t}_fuzz" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t/" -dict="$here/$dict" ${FUZZ_FLAGS:-} \
    "$build/corpus/$t" "$build/seeds/$t" >"$log" 2>&1
  rc=$?
  grep -E '^#[0-9]+ +DONE|^stat::number_of_executed_units|^SUMMARY|ERROR:' "$log" | tail -4
  if [ $rc -ne 0 ]; then
    echo "!! $t exited with $rc; see $log and $build/artifacts/$t/"
    status=1
  fi
done
exit $status

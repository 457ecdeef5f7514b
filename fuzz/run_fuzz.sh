#!/bin/sh
# run_fuzz.sh -- builds the libFuzzer targets with clang (ASan + UBSan) and
# runs each for a set time, starting from the checked-in seed corpus
# (fuzz/corpus/<target>; new inputs go to the output directory, the seeds
# stay as they are). Prints each target's executions; fails on a finding.
#
#   fuzz/run_fuzz.sh [-t SECONDS] [-n RUNS] [-o OUTDIR] [target ...]
#
# Defaults: 60 s per target, OUTDIR build-fuzz, all targets. -n runs each
# target for RUNS executions instead (no time limit).
set -eu
SRC=$(cd "$(dirname "$0")/.." && pwd)
SECS=60
RUNS=
OUT=$SRC/build-fuzz
while getopts t:n:o: opt; do
  case $opt in
    t) SECS=$OPTARG ;;
    n) RUNS=$OPTARG ;;
    o) OUT=$OPTARG ;;
    *) echo "usage: $0 [-t SECONDS] [-n RUNS] [-o OUTDIR] [target ...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
TARGETS=${*:-"ndr_fuzz pdu_fuzz epm_fuzz binding_fuzz records_fuzz"}
CXX=${FUZZ_CXX:-clang++}
FLAGS="-std=c++20 -g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -I$SRC/src -I$SRC/include"

mkdir -p "$OUT/obj" "$OUT/artifacts"
# The runtime's objects, rebuilt when a source or any runtime header changed.
newest_header=$(ls -t "$SRC"/src/rpc/*.h "$SRC"/src/platform/*.h "$SRC"/src/core/*.h | head -1)
for f in "$SRC"/src/rpc/*.cc "$SRC"/src/platform/probe.cc "$SRC"/src/platform/large_block.cc; do
  case $f in *_test.cc) continue ;; esac
  o="$OUT/obj/$(basename "$f" .cc).o"
  if [ ! -f "$o" ] || [ "$f" -nt "$o" ] || [ "$newest_header" -nt "$o" ]; then
    echo "$CXX -fsanitize=fuzzer-no-link $FLAGS -c $f -o $o"
  fi
done | xargs -r -P2 -I{} sh -c '{}'

if [ -n "$RUNS" ]; then LIMIT="-runs=$RUNS"; SPAN="$RUNS runs"; else LIMIT="-max_total_time=$SECS"; SPAN="${SECS}s"; fi
status=0
for t in $TARGETS; do
  "$CXX" -fsanitize=fuzzer $FLAGS "$SRC/fuzz/$t.cc" "$OUT"/obj/*.o -lpthread -o "$OUT/$t"
  mkdir -p "$OUT/corpus/$t"
  log="$OUT/$t.log"
  if "$OUT/$t" "$LIMIT" -print_final_stats=1 -rss_limit_mb=2048 \
      -artifact_prefix="$OUT/artifacts/$t-" "$OUT/corpus/$t" "$SRC/fuzz/corpus/$t" >"$log" 2>&1; then
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    secs=$(sed -n 's/^stat::total_time: *//p; s/.*Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    echo "$t: $execs executions ($SPAN, ${secs:-?} s), no findings"
  else
    echo "$t: FINDING (see $log and $OUT/artifacts)"
    tail -40 "$log"
    status=1
  fi
done
exit $status

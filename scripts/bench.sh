#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: bench.sh BUILD_DIR
# Benchmarks that need a lab (network namespaces, a sound server) set it up themselves.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
dir=$1
status=0
for b in "$dir"/bench/bench_*; do
    [ -x "$b" ] || continue
    hh_log "$(basename "$b")"
    "$b" --benchmark_min_time=0.2 || status=1
done
for s in "$HH_ROOT"/bench/*.sh; do
    [ -f "$s" ] || continue
    hh_log "$(basename "$s")"
    bash "$s" "$dir" || status=1
done
exit $status

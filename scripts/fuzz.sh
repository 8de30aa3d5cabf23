#!/usr/bin/env bash
# Runs every fuzzer in a fuzz build for a bounded time: fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
source "$(dirname "$0")/lib.sh"
dir=$1 seconds=$2
status=0
for f in "$dir"/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    corpus=$(mktemp -d)
    hh_log "fuzzing $(basename "$f") for ${seconds}s"
    if ! "$f" -max_total_time="$seconds" -max_len=2100 -print_final_stats=1 "$corpus" 2>"$corpus.log"; then
        tail -40 "$corpus.log" >&2
        status=1
    else
        grep -E 'stat::number_of_executed_units|Done' "$corpus.log" >&2 || true
    fi
    rm -rf "$corpus" "$corpus.log"
done
exit $status

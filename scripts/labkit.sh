# Shared by the lab test and benchmark scripts. Source it, then call
#   lab_begin NAME BUILD_DIR
# which sets $build, $root, $cli, $tmp and HH_LAB (NAME and this process's id,
# so that runs never share a lab), and on exit ends what `lab_background`
# started and removes the network lab, the audio lab and $tmp.
# shellcheck shell=bash

lab_begin() {
    build=$(cd "$2" && pwd)
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    cli="$build/tools/hollerhopper-cli"
    export HH_LAB="$1$$"
    tmp=$(mktemp -d)
    lab_pids=()
    failures=0
    trap lab_end EXIT
}

lab_end() {
    local p
    for p in "${lab_pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${lab_pids[@]}"; do wait "$p" 2>/dev/null || true; done
    "$root/scripts/netlab.sh" down >/dev/null 2>&1 || true
    "$root/scripts/audiolab.sh" down >/dev/null 2>&1 || true
    rm -rf "$tmp"
}

# The network lab's commands: lab up N, lab exec hK CMD..., lab loss hK PCT, ...
lab() { "$root/scripts/netlab.sh" "$@"; }

# lab_background CMD...: runs CMD in the background, ended on exit; its pid in $!
lab_background() {
    "$@" &
    lab_pids+=($!)
}

# check DESCRIPTION EXPECTED ACTUAL
check() {
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        echo "FAIL: $1 (expected $2, got $3)"
        failures=$((failures + 1))
    fi
}

# The closing line, and the exit status.
lab_summary() {
    echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
    [ "$failures" -eq 0 ]
}

# tone_ms WAV: the milliseconds of 10 ms windows above a low level (one tone in
# it: a lost start shows, a late wake-up of a loaded machine costs little).
tone_ms() {
    python3 - "$1" <<'PY'
import struct, sys, wave
w = wave.open(sys.argv[1])
r, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
step = r // 100
print(10 * sum(1 for i in range(0, len(x) - step, step)
               if (sum(v * v for v in x[i:i + step]) / step) ** 0.5 / 32768 > 0.02))
PY
}

# holds LOG EXPR: exit 0 when the Python expression EXPR holds for the last
# events a listen or peers command printed to LOG. EXPR sees peers (name -> its
# entry), blocked, heard(name), responding(name), and every peers list in
# order as history (each a dict like peers).
holds() {
    python3 - "$1" "$2" <<'PY'
import json, sys
peers, blocked, history = {}, False, []
for line in open(sys.argv[1], errors="replace"):
    if not (line.startswith("{") and line.endswith("}\n")):
        continue  # a log line, or an event still being written
    e = json.loads(line)
    if e.get("event") == "peers":
        peers = {p["name"]: p for p in e["peers"]}
        history.append(peers)
    elif e.get("event") == "inbound":
        blocked = e["blocked"]
def heard(n): return n in peers and peers[n]["heard"]
def responding(n): return n in peers and peers[n]["responding"]
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
}

now() { echo "${EPOCHREALTIME/./}"; }  # microseconds

# measure DESCRIPTION SINCE LIMIT LOG EXPR: one check that EXPR comes to hold in
# LOG at most LIMIT seconds after SINCE (a time from now), with the time it took.
measure() {
    local elapsed
    while elapsed=$(( $(now) - $2 )); ! holds "$4" "$5"; do
        if (( elapsed > $3 * 1000000 )); then check "$1 within $3 s" "<= $3 s" more; return; fi
        sleep 0.25
    done
    check "$1 within $3 s (took $((elapsed / 1000000)).$((elapsed / 100000 % 10)) s)" ok ok
}

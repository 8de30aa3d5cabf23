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

# Field conditions on what a lab host receives on the intercom's port: a delay
# line (scripts/labkit/delay_line.cpp) behind iptables' NFQUEUE target.
field_conditions=(clean jitter dtim102 dtim204)
field_args() {
    case $1 in
    clean) ;;
    jitter) echo --mean 10 --sd 25 --loss 3 ;;  # Gaussian delay reorders
    dtim102) echo --hold 102.4 --loss 2 ;;      # multicast held to DTIM beacons
    dtim204) echo --hold 204.8 --loss 2 ;;
    burst2) echo --loss 4 --burst 2 ;;          # Wi-Fi loses a few frames at once
    burst3) echo --loss 3 --burst 3 ;;
    *) echo "no such condition: $1" >&2; return 2 ;;
    esac
}
# field HOST CONDITION: HOST's intercom traffic through the condition;
# `field_counts HOST` prints "packets N dropped N audio N audio-dropped N" so far.
declare -A field_pids
field() {
    local host=$1 args
    args=$(field_args "$2")
    [ -n "$args" ] || return 0
    lab exec "$host" iptables -A INPUT -p udp --dport 54321 -j NFQUEUE --queue-num 0
    # shellcheck disable=SC2086
    # Not through `lab`: netlab.sh and ip exec it, so its id is the delay line's.
    lab_background "$root/scripts/netlab.sh" exec "$host" "$build/scripts/labkit/hh-delay-line" $args \
        --stats "$tmp/$host.delay" 2>"$tmp/$host.delay.log"
    field_pids[$host]=$!
    local _
    for _ in $(seq 100); do grep -qs ready "$tmp/$host.delay.log" && return 0; sleep 0.05; done
    cat "$tmp/$host.delay.log" >&2
    return 1
}
# field_off HOST: HOST's traffic direct again.
field_off() {
    local host=$1
    [ -n "${field_pids[$host]:-}" ] || return 0
    lab exec "$host" iptables -D INPUT -p udp --dport 54321 -j NFQUEUE --queue-num 0
    kill -TERM "${field_pids[$host]}"
    wait "${field_pids[$host]}" 2>/dev/null || true
    unset "field_pids[$host]"
}
field_counts() {
    local host=$1 _
    [ -n "${field_pids[$host]:-}" ] || { echo "packets 0 dropped 0 audio 0 audio-dropped 0"; return; }
    rm -f "$tmp/$host.delay"
    kill -USR1 "${field_pids[$host]}"
    for _ in $(seq 100); do [ -s "$tmp/$host.delay" ] && break; sleep 0.02; done
    cat "$tmp/$host.delay"
}
# field_listeners: the audio lab with a sink for each of four listeners, five
# lab hosts, and `listen` in h2..h5 (hosts) through the four conditions, each
# to its own sink (sinks), its events in $tmp/hK.log.
field_listeners() {
    eval "$(HH_AUDIOLAB_SINKS="spk2 spk3 spk4" "$root/scripts/audiolab.sh" up)"
    lab up 5
    hosts=(h2 h3 h4 h5)
    sinks=(spk spk2 spk3 spk4)
    local k
    for k in 0 1 2 3; do
        field "${hosts[k]}" "${field_conditions[k]}"
        lab_background lab exec "${hosts[k]}" env PULSE_SINK="${sinks[k]}" "$cli" listen --name "ear$k" --cues off \
            >"$tmp/${hosts[k]}.log" 2>&1
    done
}

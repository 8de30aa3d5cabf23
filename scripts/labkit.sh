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

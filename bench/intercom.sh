#!/usr/bin/env bash
# The headless intercom between two lab hosts on the audio lab's sound server:
# mouth-to-ear delay (click into "stim" -> h1's microphone -> network -> h2's
# jitter buffer -> "spk", median of 10 clicks), and CPU and peak RSS of listen
# (idle, receiving one talker, two talkers) and of talk (transmitting). $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../scripts/labkit.sh"
lab_begin hhib "$1"
work=$tmp
eval "$("$root/scripts/audiolab.sh" up)"
lab up 2

# The hollerhopper-cli process under PID (ip netns exec runs it as a child).
program_pid() {
    local pid=$1 i
    for i in $(seq 50); do
        local child
        child=$(pgrep -P "$pid" -f hollerhopper-cli | head -1 || true)
        [ -n "$child" ] && { echo "$child"; return; }
        [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = hollerhopper-cl ] && { echo "$pid"; return; }
        sleep 0.05
    done
    echo "$pid"
}
# CPU nanoseconds a process's threads have run so far.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {print s + 0}'; }
# measure PID SECONDS LABEL TARGET%: CPU share of one core over the window, and peak RSS.
measure() {
    local pid=$1 seconds=$2 label=$3 target=$4 before after
    before=$(cpu_ns "$pid")
    sleep "$seconds"
    after=$(cpu_ns "$pid")
    local hwm
    hwm=$(awk '/VmHWM/ {print $2}' /proc/"$pid"/status)
    awk -v b="$before" -v a="$after" -v s="$seconds" -v l="$label" -v t="$target" -v h="$hwm" \
        'BEGIN {printf "%s: %.2f %% of a core (target <= %s %%), peak RSS %.1f MB (target <= 20 MB)\n", l, (a - b) / (s * 1e7), t, h / 1024}'
}

echo "== mouth-to-ear delay"
sox -n -r 48000 -c 2 -b 16 "$work/click.wav" synth 0.005 sine 2000 vol 0.5 pad 0 0.995
sox "$work/click.wav" "$work/clicks.wav" repeat 9
lab_background lab exec h2 "$cli" listen --name ear >/dev/null 2>&1
listenPid=$!
sleep 1.5
lab_background lab exec h1 "$cli" talk --seconds 14 --name mouth >/dev/null 2>&1
talkPid=$!
sleep 1.5
parecord --latency-msec=10 -d spk.monitor --file-format=wav "$work/rec.wav" &
recPid=$!
sleep 0.5
paplay -d stim "$work/clicks.wav"
sleep 0.8
kill -TERM $recPid; wait $recPid 2>/dev/null || true
python3 "$root/bench/click_delays.py" "$work/rec.wav" mouth-to-ear || true
wait $talkPid || true

echo "== CPU and memory"
sleep 1
listenPid=$(program_pid "$listenPid")
measure "$listenPid" 10 "listen, idle" 0.2
sox -n -r 16000 -c 1 -b 16 "$work/long.wav" synth 14 sine 440 vol 0.3
lab exec h1 "$cli" say "$work/long.wav" --name long >/dev/null 2>&1 &
sayPid=$!
sleep 2
measure "$listenPid" 10 "listen, receiving one talker" 1.5
wait $sayPid || true
lab exec h1 "$cli" say "$work/long.wav" --name long >/dev/null 2>&1 &
sayPid=$!
lab exec h1 "$cli" say "$work/long.wav" --name other >/dev/null 2>&1 &
otherPid=$!
sleep 2
measure "$listenPid" 10 "listen, receiving two talkers" 3
wait $sayPid $otherPid || true
lab_background lab exec h1 "$cli" talk --seconds 14 --name mouth >/dev/null 2>&1
talkPid=$!
sleep 2
measure "$(program_pid "$talkPid")" 10 "talk, transmitting" 2
wait $talkPid || true

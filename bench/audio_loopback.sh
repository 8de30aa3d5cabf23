#!/usr/bin/env bash
# Local loopback delay in the audio lab: click into "mic" -> capture -> frames
# -> enqueue -> jitter buffer -> "spk". Each click is played into the combine
# sink "stim", which feeds "spk" directly and "micfeed" (the microphone); the gap
# between the direct click and ours, both recorded from spk.monitor, is our
# delay. Prints each delay and the median of 10 clicks.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
export HH_LAB="hhaudiobench$$"
work=$(mktemp -d)
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    "$root/scripts/audiolab.sh" down
    rm -rf "$work"
}
trap cleanup EXIT
eval "$("$root/scripts/audiolab.sh" up)"

# A click: 5 ms of 2 kHz at half scale (band-limited, so it survives 16 kHz),
# then silence to one second; ten of them.
sox -n -r 48000 -c 2 -b 16 "$work/click.wav" synth 0.005 sine 2000 vol 0.5 pad 0 0.995
sox "$work/click.wav" "$work/clicks.wav" repeat 9

"$build/bench/hh_audio_loopback" 16 >"$work/loopback.txt" 2>&1 &
pids+=($!)
sleep 1.5
parecord --latency-msec=10 -d spk.monitor --file-format=wav "$work/rec.wav" &
pids+=($!)
sleep 0.5
echo "stream latencies while running (from the server):"
pactl list sink-inputs | grep -E 'media.name|Latency' | sed 's/^\s*/  /' || true
pactl list source-outputs | grep -E 'media.name|Latency' | sed 's/^\s*/  /' || true
paplay -d stim "$work/clicks.wav"
sleep 0.8
kill -TERM "${pids[1]}"
wait "${pids[1]}" 2>/dev/null || true
wait "${pids[0]}" || { cat "$work/loopback.txt"; exit 1; }
cat "$work/loopback.txt"

python3 "$root/bench/click_delays.py" "$work/rec.wav" loopback

#!/usr/bin/env bash
# Local loopback delay in the audio lab: click into "mic" -> capture -> frames
# -> enqueue -> jitter buffer -> "spk". Each click is played into the combine
# sink "stim", which feeds "spk" directly and "micfeed" (the microphone); the gap
# between the direct click and ours, both recorded from spk.monitor, is our
# delay. Prints each delay and the median of 10 clicks.
set -euo pipefail
source "$(dirname "$0")/../scripts/labkit.sh"
lab_begin hhaudiobench "$1"
work=$tmp
eval "$("$root/scripts/audiolab.sh" up)"

# A click: 5 ms of 2 kHz at half scale (band-limited, so it survives 16 kHz),
# then silence to one second; ten of them.
sox -n -r 48000 -c 2 -b 16 "$work/click.wav" synth 0.005 sine 2000 vol 0.5 pad 0 0.995
sox "$work/click.wav" "$work/clicks.wav" repeat 9

lab_background "$build/bench/hh_audio_loopback" 16 >"$work/loopback.txt" 2>&1
loopback=$!
sleep 1.5
lab_background parecord --latency-msec=10 -d spk.monitor --file-format=wav "$work/rec.wav"
recorder=$!
sleep 0.5
echo "stream latencies while running (from the server):"
pactl list sink-inputs | grep -E 'media.name|Latency' | sed 's/^\s*/  /' || true
pactl list source-outputs | grep -E 'media.name|Latency' | sed 's/^\s*/  /' || true
paplay -d stim "$work/clicks.wav"
sleep 0.8
kill -TERM $recorder
wait $recorder 2>/dev/null || true
wait $loopback || { cat "$work/loopback.txt"; exit 1; }
cat "$work/loopback.txt"

python3 "$root/bench/click_delays.py" "$work/rec.wav" loopback

#!/usr/bin/env bash
# The intercom under field conditions, all four at once: h1 talks, h2..h5 listen
# through clean, 10 +- 25 ms Gaussian delay with 3 % loss, and multicast held to
# 102.4 ms and 204.8 ms DTIM beacons with 2 % loss, each playing to a sink of its
# own. A 4 s 1 kHz tone said twice by one talker (`say --times 2`; the second
# spurt starts with what the first taught): how long the second is heard, the
# longest silent hole, frames concealed in both (and of them dropped late) as
# playback counts them, against the audio frames the delay line dropped, the
# delay aimed at and how often the output ran dry; spoken words, how
# recognisable they arrive; then mouth-to-ear delay, 6 clicks through h1's microphone (`talk`,
# noise suppression on) per condition. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../scripts/labkit.sh"
lab_begin hhfd "$1"
field_listeners
stims=(stim stim2 stim3 stim4)
for k in 1 2 3; do
    pactl load-module module-combine-sink sink_name="${stims[k]}" slaves="${sinks[k]},micfeed" >/dev/null
done
for h in "${hosts[@]}"; do
    for _ in $(seq 100); do grep -qs '"Ready"' "$tmp/$h.log" && break; sleep 0.1; done
done
# record_all NAME CMD...: every sink's monitor while CMD runs, and a moment after.
record_all() {
    local name=$1 k pids=()
    shift
    for k in 0 1 2 3; do
        parecord --latency-msec=10 -d "${sinks[k]}.monitor" --file-format=wav "$tmp/$name$k.wav" &
        pids+=($!)
    done
    sleep 0.5
    "$@"
    sleep 0.8
    kill -TERM "${pids[@]}"
    wait "${pids[@]}" 2>/dev/null || true
}

echo "== a 4 s tone, said twice: the second time heard with what the first taught"
sox -n -r 16000 -c 1 -b 16 "$tmp/tone.wav" synth 4 sine 1000 vol 0.3
record_all tone lab exec h1 "$cli" say "$tmp/tone.wav" --times 2 --name tone >/dev/null 2>&1
for h in "${hosts[@]}"; do
    for _ in $(seq 50); do [ "$(grep -c '"event":"spurt"' "$tmp/$h.log" || true)" -ge 2 ] && break; sleep 0.1; done
done
for k in 0 1 2 3; do
    read -r seconds hole < <(python3 "$root/scripts/labkit/tone.py" "$tmp/tone$k.wav" 1000)
    read -r frames concealed late target < <(grep '"event":"spurt"' "$tmp/${hosts[k]}.log" | tail -2 | python3 -c '
import json, sys
a, b = [json.loads(l) for l in sys.stdin.read().splitlines()]
pa, pb = a.get("playout", {}), b.get("playout", {})
print(a["frames"] + b["frames"], pb.get("concealed", 0), pb.get("late", 0), pb.get("targetMs", "-"))')
    dropped=$(field_counts "${hosts[k]}" | awk '{print $8}')
    dry=$(grep -c 'playback: ran dry' "$tmp/${hosts[k]}.log" || true)
    printf '%s: tone heard %s s, longest hole %s ms; concealed %s (of them late %s) of %s frames, %s lost on the way; delay aimed at %s ms; output ran dry %s times\n' \
        "${field_conditions[k]}" "$seconds" "$hole" "$concealed" "$late" "$frames" "${dropped:-0}" "$target" "$dry"
done

echo "== speech through each condition: how recognisable it stays (band-envelope correlation with what was said)"
# Said without suppression: only the network, the playout's stretching and
# concealment, and the sound server stand between the two.
espeak-ng -w "$tmp/words.wav" "Hello from the front door. Is anyone there? The package needs a signature."
sox "$tmp/words.wav" -r 16000 -c 1 -b 16 "$tmp/said.wav"
record_all words lab exec h1 "$cli" say "$tmp/said.wav" --name words >/dev/null 2>&1
for k in 0 1 2 3; do
    python3 - "$root/tests/audio" "$tmp/said.wav" "$tmp/words$k.wav" "${field_conditions[k]}" <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import speech_noise as s
print("%s: speech correlation %.3f" % (sys.argv[4], s.measure(s.sox([sys.argv[2]], []), s.sox([sys.argv[3]], []))[2]))
PY
done

echo "== mouth-to-ear delay, 6 clicks per condition"
sox -n -r 48000 -c 2 -b 16 "$tmp/click.wav" synth 0.005 sine 2000 vol 0.5 pad 0 0.995
clicks() {
    lab exec h1 "$cli" talk --seconds 27 --name mouth >/dev/null 2>&1 &
    local talk=$! round k
    sleep 1.5
    for round in 1 2 3 4 5 6; do
        for k in 0 1 2 3; do paplay -d "${stims[k]}" "$tmp/click.wav"; done
    done
    wait $talk || true
}
record_all click clicks
for k in 0 1 2 3; do
    python3 "$root/bench/click_delays.py" "$tmp/click$k.wav" "mouth-to-ear, ${field_conditions[k]}" 6 | tail -1 || true
done

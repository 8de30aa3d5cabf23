#!/usr/bin/env bash
# Noise suppression and level control with real audio: spoken sentences with
# steady pink noise at 10 dB SNR go into the audio lab's microphone, where two
# `talk` processes hear them at once, h1 with suppression off and h3 with it
# on; `listen --record` in h2 keeps what arrived. With suppression on the noise
# in the pauses must be at least 10 dB lower and the words as recognisable
# (band-envelope correlation with the clean speech at least as high). At the
# same time h4 says the same material at -35 dBFS with suppression on (the
# same capture path, fed from a file): it must arrive within 6 dB of the
# -20 dBFS talker. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhns "$1"
eval "$("$root/scripts/audiolab.sh" up)"
lab up 4
measure="$(dirname "$0")/speech_noise.py"

espeak-ng -w "$tmp/a.wav" "Hello from the front door. Is anyone there?"
espeak-ng -w "$tmp/b.wav" "The package needs a signature."
sox -n -r 16000 -c 1 -b 16 "$tmp/gap.wav" trim 0 1.5
sox "$tmp/a.wav" -r 16000 -c 1 -b 16 "$tmp/a16.wav"
sox "$tmp/b.wav" -r 16000 -c 1 -b 16 "$tmp/b16.wav"
# Noise first: the suppressor learns the room before the words.
sox "$tmp/gap.wav" "$tmp/gap.wav" "$tmp/a16.wav" "$tmp/gap.wav" "$tmp/b16.wav" "$tmp/gap.wav" "$tmp/speech.wav"
python3 "$measure" make "$tmp/speech.wav" -20 10 "$tmp/clean20.wav" "$tmp/noisy20.wav"
python3 "$measure" make "$tmp/speech.wav" -35 10 "$tmp/clean35.wav" "$tmp/noisy35.wav"
talkSeconds=$(soxi -D "$tmp/noisy20.wav" | awk '{print $1 + 2}')

mkdir -p "$tmp/rec"
lab_background lab exec h2 "$cli" listen --name ear --audio none --record "$tmp/rec" >"$tmp/listen.log" 2>&1
for _ in $(seq 100); do grep -q '"Ready"' "$tmp/listen.log" && break; sleep 0.1; done
lab exec h1 "$cli" talk --seconds "$talkSeconds" --noise-suppression off --name mouth-off >"$tmp/talk.log" 2>&1 &
pids=($!)
lab exec h3 "$cli" talk --seconds "$talkSeconds" --noise-suppression on --name mouth-on >>"$tmp/talk.log" 2>&1 &
pids+=($!)
sleep 1
lab exec h4 "$cli" say "$tmp/noisy35.wav" --noise-suppression on --name mouth-quiet >>"$tmp/talk.log" 2>&1 &
pids+=($!)
paplay -d micfeed "$tmp/noisy20.wav"
for p in "${pids[@]}"; do
    wait "$p" || { cat "$tmp/talk.log"; echo "FAIL: a transmission failed"; exit 1; }
done
for i in $(seq 50); do [ "$(grep -c '"recorded"' "$tmp/listen.log" || true)" -ge 3 ] && break; sleep 0.1; done
sleep 0.5

eval "$(python3 "$measure" measure "$tmp/clean20.wav" "$tmp/listen.log" off on quiet)"
read -r quieter recognisable levelled < <(awk -v no="$noise_off" -v nn="$noise_on" -v co="$corr_off" -v cn="$corr_on" \
    -v a="$speech_on" -v b="$speech_quiet" 'BEGIN {print (no - nn >= 10), (cn >= co), (a - b <= 6 && b - a <= 6)}')
check "the pauses at least 10 dB quieter with suppression ($noise_off dBFS off, $noise_on on)" 1 "$quieter"
check "the words as recognisable with suppression (correlation $corr_off off, $corr_on on)" 1 "$recognisable"
check "a -35 dBFS talker ($speech_quiet dBFS) within 6 dB of a -20 dBFS one ($speech_on)" 1 "$levelled"
lab_summary

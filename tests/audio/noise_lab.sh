#!/usr/bin/env bash
# Noise suppression and level control with real audio: spoken sentences with
# steady pink noise at 10 dB SNR go into the audio lab's microphone, `talk` in
# h1 sends them, `listen --record` in h2 keeps what arrived. With suppression
# on, the noise in the pauses must be at least 10 dB lower than with it off and
# the words as recognisable (band-envelope correlation with the clean speech at
# least as high); a talker at -35 dBFS must arrive within 6 dB of one at -20.
# $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhns "$1"
eval "$("$root/scripts/audiolab.sh" up)"
lab up 2
measure="$(dirname "$0")/speech_noise.py"

espeak-ng -w "$tmp/a.wav" "Hello from the front door. Is anyone there? Please come down."
espeak-ng -w "$tmp/b.wav" "The package has arrived, and it needs a signature before noon."
sox -n -r 16000 -c 1 -b 16 "$tmp/gap.wav" trim 0 1.5
sox "$tmp/a.wav" -r 16000 -c 1 -b 16 "$tmp/a16.wav"
sox "$tmp/b.wav" -r 16000 -c 1 -b 16 "$tmp/b16.wav"
# Three seconds of noise first: the suppressor learns the room before the words.
sox "$tmp/gap.wav" "$tmp/gap.wav" "$tmp/a16.wav" "$tmp/gap.wav" "$tmp/b16.wav" "$tmp/gap.wav" "$tmp/speech.wav"
python3 "$measure" make "$tmp/speech.wav" -20 10 "$tmp/clean20.wav" "$tmp/noisy20.wav"
python3 "$measure" make "$tmp/speech.wav" -35 10 "$tmp/clean35.wav" "$tmp/noisy35.wav"
seconds=$(soxi -D "$tmp/noisy20.wav")

# One listener keeps every spurt; each run measures the one it added.
mkdir -p "$tmp/rec"
: >"$tmp/seen"
lab_background lab exec h2 "$cli" listen --name ear --audio none --record "$tmp/rec" >"$tmp/listen.log" 2>&1
sleep 1.5

# run NAME FILE SUPPRESSION: one press carrying FILE; prints the measures.
run() {
    local name=$1 file=$2 ns=$3 before
    before=$(grep -c '"recorded"' "$tmp/listen.log" || true)
    lab exec h1 "$cli" talk --seconds "$(awk -v s="$seconds" 'BEGIN {print s + 2}')" --noise-suppression "$ns" \
        --name "mouth-$name" >"$tmp/talk-$name.log" 2>&1 &
    local talkPid=$!
    sleep 1
    paplay -d micfeed "$file"
    wait $talkPid || { cat "$tmp/talk-$name.log"; echo "FAIL: talk"; exit 1; }
    local i
    for i in $(seq 50); do [ "$(grep -c '"recorded"' "$tmp/listen.log")" -gt "$before" ] && break; sleep 0.1; done
    # A stall under load can split a press into spurts: all the new ones, in order.
    sleep 1
    local heard="$tmp/heard-$name.wav"
    sox $(ls -v "$tmp"/rec/*.wav | grep -vxF -f "$tmp/seen") "$heard"
    ls "$tmp"/rec/*.wav >"$tmp/seen"
    python3 "$measure" measure "$tmp/clean20.wav" "$heard" | tee "$tmp/$name.json" >&2
}

run off "$tmp/noisy20.wav" off
run on "$tmp/noisy20.wav" on
run quiet "$tmp/noisy35.wav" on

read -r noiseOff corrOff speechOn noiseOn corrOn speechQuiet < <(python3 - "$tmp" <<'PY'
import json, sys
m = {k: json.load(open('%s/%s.json' % (sys.argv[1], k))) for k in ('off', 'on', 'quiet')}
print(m['off']['pauseNoiseDb'], m['off']['correlation'], m['on']['speechDb'], m['on']['pauseNoiseDb'],
      m['on']['correlation'], m['quiet']['speechDb'])
PY
)
echo "noise in the pauses: $noiseOff dBFS off, $noiseOn dBFS on; correlation $corrOff off, $corrOn on"
echo "speech level with suppression on: $speechOn dBFS from -20 dBFS, $speechQuiet dBFS from -35 dBFS"
check "the pauses are at least 10 dB quieter with suppression" 1 "$(awk -v a="$noiseOff" -v b="$noiseOn" 'BEGIN {print (a - b >= 10) ? 1 : 0}')"
check "the words are as recognisable with suppression" 1 "$(awk -v a="$corrOff" -v b="$corrOn" 'BEGIN {print (b >= a) ? 1 : 0}')"
check "a -35 dBFS talker arrives within 6 dB of a -20 dBFS one" 1 "$(awk -v a="$speechOn" -v b="$speechQuiet" 'BEGIN {d = a - b; if (d < 0) d = -d; print (d <= 6) ? 1 : 0}')"
lab_summary

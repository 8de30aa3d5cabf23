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
seconds=$(soxi -D "$tmp/noisy20.wav")

mkdir -p "$tmp/rec"
lab_background lab exec h2 "$cli" listen --name ear --audio none --record "$tmp/rec" >"$tmp/listen.log" 2>&1
sleep 1.5
talkSeconds=$(awk -v s="$seconds" 'BEGIN {print s + 2}')
lab exec h1 "$cli" talk --seconds "$talkSeconds" --noise-suppression off --name mouth-off >"$tmp/talk-off.log" 2>&1 &
offPid=$!
lab exec h3 "$cli" talk --seconds "$talkSeconds" --noise-suppression on --name mouth-on >"$tmp/talk-on.log" 2>&1 &
onPid=$!
sleep 1
lab exec h4 "$cli" say "$tmp/noisy35.wav" --noise-suppression on --name mouth-quiet >"$tmp/say-quiet.log" 2>&1 &
quietPid=$!
paplay -d micfeed "$tmp/noisy20.wav"
for p in $offPid $onPid $quietPid; do
    wait $p || { cat "$tmp"/talk-*.log "$tmp/say-quiet.log"; echo "FAIL: a transmission failed"; exit 1; }
done
for i in $(seq 50); do [ "$(grep -c '"recorded"' "$tmp/listen.log" || true)" -ge 3 ] && break; sleep 0.1; done
sleep 0.5

# Each talker's spurts in order (a stall under load can split a press), joined.
for name in off on quiet; do
    files=$(python3 - "$tmp/listen.log" "mouth-$name" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    if e.get('event') == 'recorded' and e.get('name') == sys.argv[2]:
        print(e['file'])
PY
)
    [ -n "$files" ] || { cat "$tmp/listen.log"; echo "FAIL: nothing recorded from mouth-$name"; exit 1; }
    # shellcheck disable=SC2086
    sox $files "$tmp/heard-$name.wav"
    python3 "$measure" measure "$tmp/clean20.wav" "$tmp/heard-$name.wav" | tee "$tmp/$name.json" >&2
done

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

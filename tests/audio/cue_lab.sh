#!/usr/bin/env bash
# The "incoming" cue with real audio: listen in h2 plays to the lab speaker;
# h1 says a spurt (a 440 Hz tone standing in for speech after 0.3 s of quiet),
# h3 joins during it (660 Hz). On spk.monitor the cue's 1320 Hz ding must start
# before h1's first sound, and sound once only: none for the second talker.
# $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhcu "$1"
eval "$("$root/scripts/audiolab.sh" up)"
lab up 3

sox -n -r 16000 -c 1 -b 16 "$tmp/first.wav" synth 0.3 sine 440 vol 0 : synth 3 sine 440 vol 0.3
sox -n -r 16000 -c 1 -b 16 "$tmp/second.wav" synth 1.5 sine 660 vol 0.3
lab_background lab exec h2 "$cli" listen --name ear >"$tmp/listen.log" 2>&1
sleep 2
lab_background parecord --latency-msec=10 -d spk.monitor --file-format=wav "$tmp/heard.wav"
recorder=$!
sleep 0.5
lab exec h1 "$cli" say "$tmp/first.wav" --name one >/dev/null 2>&1 &
first=$!
sleep 1.5
lab exec h3 "$cli" say "$tmp/second.wav" --name three >/dev/null 2>&1 || true
wait $first || true
sleep 0.8
kill -TERM $recorder; wait $recorder 2>/dev/null || true

check "listen cued incoming once" 1 "$(grep -c '"cue":"incoming"' "$tmp/listen.log" || true)"
read -r dings dingAt toneAt < <(/usr/bin/python3 - "$tmp/heard.wav" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1])
rate, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
block = rate // 100
def level(f, i):
    # Goertzel power of frequency f in the 10 ms block at i, in dBFS.
    k = 2 * math.cos(2 * math.pi * f / rate); s1 = s2 = 0.0
    for v in x[i:i + block]:
        s1, s2 = v + k * s1 - s2, s1
    p = (s1 * s1 + s2 * s2 - k * s1 * s2) / (block * block / 4)
    return 10 * math.log10(max(p, 1e-9) / 32768.0 ** 2)
# Two talkers share one playback queue here, and their interleaved frames click
# across the spectrum: the ding is where 1320 Hz stands out over both tones.
ding = [level(1320, i) > max(-45, level(440, i) + 6, level(660, i) + 6) for i in range(0, len(x) - block, block)]
# The ding's leakage reaches the 440 Hz bin too: speech is where 440 Hz leads.
tone = [level(440, i) > max(-45, level(1320, i) + 6) for i in range(0, len(x) - block, block)]
onsets = sum(1 for i in range(1, len(ding)) if ding[i] and not any(ding[max(0, i - 30):i]))
first = lambda v: next((i * 10 for i, b in enumerate(v) if b), -1)
print(onsets, first(ding), first(tone))
PY
)
echo "ding onsets: $dings; first ding at $dingAt ms, first speech at $toneAt ms of the recording"
check "one ding on the speaker" 1 "$dings"
check "the ding comes before the first speech" 1 "$([ "$dingAt" -ge 0 ] && [ "$toneAt" -gt "$dingAt" ] && echo 1 || echo 0)"
lab_summary

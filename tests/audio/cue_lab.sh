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

sox -n -r 16000 -c 1 -b 16 "$tmp/first.wav" synth 0.3 sine 440 vol 0 : synth 2 sine 440 vol 0.3
sox -n -r 16000 -c 1 -b 16 "$tmp/second.wav" synth 0.8 sine 660 vol 0.3
lab_background lab exec h2 "$cli" listen --name ear >"$tmp/listen.log" 2>&1
for _ in $(seq 100); do grep -q '"Ready"' "$tmp/listen.log" && break; sleep 0.1; done
lab_background parecord --latency-msec=10 -d spk.monitor --file-format=wav "$tmp/heard.wav"
recorder=$!
sleep 0.5
lab exec h1 "$cli" say "$tmp/first.wav" --name one >/dev/null 2>&1 &
first=$!
sleep 1.3
lab exec h3 "$cli" say "$tmp/second.wav" --name three >/dev/null 2>&1 || true
wait $first || true
sleep 0.5
kill -TERM $recorder; wait $recorder 2>/dev/null || true

# Per ding on the speaker: when it starts and when the speech after it starts (ms).
mapfile -t dings < <(/usr/bin/python3 - "$tmp/heard.wav" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1])
rate, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
block = rate // 100
def level(f, i):
    # Goertzel power of frequency f in the 10 ms block at i, in dBFS of a sine's peak.
    k = 2 * math.cos(2 * math.pi * f / rate); s1 = s2 = 0.0
    for v in x[i:i + block]:
        s1, s2 = v + k * s1 - s2, s1
    p = (s1 * s1 + s2 * s2 - k * s1 * s2) / (block * block / 4)
    return 10 * math.log10(max(p, 1e-9) / 32768.0 ** 2)
l1320, l440, l660 = ([level(f, i) for i in range(0, len(x) - block, block)] for f in (1320, 440, 660))
# Two talkers' frames mixed click across the spectrum: the ding is where
# 1320 Hz stands out over both tones. The ding's leakage reaches the 440 Hz
# bin too: speech is where 440 Hz leads.
ding = [a > max(-45, b + 6, c + 6) for a, b, c in zip(l1320, l440, l660)]
tone = [b > max(-45, a + 6) for a, b in zip(l1320, l440)]
for o in [i for i in range(len(ding)) if ding[i] and not any(ding[max(0, i - 30):i])]:
    print(o * 10, 10 * next((i for i in range(o, len(tone)) if tone[i]), -1))
PY
)
printf 'ding at %s ms, speech at %s ms\n' ${dings[@]+${dings[@]}}
check "one ding on the speaker" 1 "${#dings[@]}"
read -r at speech <<<"${dings[0]:-0 -1}"
# The spurt starts with 0.3 s of quiet: a ding that waited for the speech to
# wake the output would come only a moment before it.
check "the ding comes well before the first speech" 1 "$((speech >= at + 150))"
lab_summary

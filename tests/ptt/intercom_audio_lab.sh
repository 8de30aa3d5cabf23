#!/usr/bin/env bash
# Real audio end to end: h1 talks from the audio lab's microphone, h2 listens
# and plays to its speaker; a spoken sentence fed into the microphone must be
# heard on the speaker. The sound server is reached through its unix socket from
# both lab hosts. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhia "$1"
eval "$("$root/scripts/audiolab.sh" up)"
lab up 2

espeak-ng -w "$tmp/speech.wav" "Hello from the front door. Is anyone there? Please come down."
lab_background lab exec h2 "$cli" listen --name listener --cues off >"$tmp/listen.log" 2>&1
sleep 1.5
lab_background parecord --latency-msec=10 -d spk.monitor --file-format=wav "$tmp/heard.wav"
recorder=$!
lab exec h1 "$cli" talk --seconds 6 --name talker >"$tmp/talk.log" 2>&1 &
talkPid=$!
sleep 1.5
paplay -d micfeed "$tmp/speech.wav"
wait $talkPid || { cat "$tmp/talk.log"; echo "FAIL: talk"; exit 1; }
sleep 0.5
kill -TERM $recorder; wait $recorder 2>/dev/null || true

/usr/bin/python3 - "$tmp/speech.wav" "$tmp/heard.wav" <<'PY'
import struct, sys, wave
def load(path, rate=8000):
    w = wave.open(path)
    r, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
    x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
    # Envelope at 8 kHz steps of 10 ms: robust to resampling and the jitter buffer.
    step = r // 100
    return [sum(abs(v) for v in x[i:i + step]) / step for i in range(0, len(x) - step, step)]
a, b = load(sys.argv[1]), load(sys.argv[2])
def norm(v):
    m = sum(v) / len(v); d = [x - m for x in v]; s = sum(x * x for x in d) ** 0.5 or 1
    return [x / s for x in d]
a, b = norm(a), norm(b)
best, lag = max((sum(x * y for x, y in zip(a, b[k:])), k) for k in range(0, max(1, len(b) - len(a))))
print("correlation of the heard envelope with the spoken one: %.2f at %d ms" % (best, lag * 10))
print("1 passed, 0 failed" if best > 0.6 else "0 passed, 1 failed")
sys.exit(0 if best > 0.6 else 1)
PY

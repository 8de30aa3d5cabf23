#!/usr/bin/env bash
# The receive side with real audio between three lab hosts (h2 listens and plays
# to the audio lab's speaker "spk", recorded from spk.monitor): two talkers at
# once both heard at their own level; 10 % loss on h2's link concealed without
# gaps or change of length; and the recorder against floods and a full disk.
# $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhrx "$1"
py=/usr/bin/python3
eval "$("$root/scripts/audiolab.sh" up)"
lab up 3
full="$tmp/full"
mkdir -p "$full"
# HH_RX_KEEP=DIR keeps the recordings there, for a closer look.
trap 'umount "$full" 2>/dev/null || true; [ -z "${HH_RX_KEEP:-}" ] || cp "$tmp"/*.wav "$HH_RX_KEEP"/ 2>/dev/null; lab_end' EXIT

sox -n -r 16000 -c 1 -b 16 "$tmp/low.wav" synth 3 sine 440 vol 0.25
sox -n -r 16000 -c 1 -b 16 "$tmp/high.wav" synth 3 sine 1250 vol 0.25

# tones.py RECORDING HZ... -> per tone: "start end level_dB" of where it is heard
# (10 ms steps, present when within 12 dB of its median level), and the longest
# silent gap inside the first-to-last sound.
cat >"$tmp/tones.py" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1]); r, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
x = struct.unpack('<%dh' % (n * ch), w.readframes(n))[::ch]
step = r // 100
def goertzel(s, hz):
    c = 2 * math.cos(2 * math.pi * hz / r); s1 = s2 = 0.0
    for v in s: s1, s2 = v + c * s1 - s2, s1
    return (s1 * s1 + s2 * s2 - c * s1 * s2) / len(s) ** 2
for hz in map(float, sys.argv[2:]):
    lv = [10 * math.log10(goertzel(x[i:i + step], hz) + 1e-9) for i in range(0, len(x) - step, step)]
    top = sorted(lv)[int(len(lv) * 0.97)]
    on = [i for i, v in enumerate(lv) if v > top - 12]
    if not on: print("none"); continue
    a, b = on[0], on[-1]
    inside = sorted(lv[a:b + 1])
    print("%.3f %.3f %.2f %d" % (a / 100, (b + 1) / 100, inside[len(inside) // 2], sum(1 for v in lv[a:b + 1] if v <= top - 12)))
# The longest run of near-silence (1 ms steps) between the first and last sound.
ms = r // 1000
env = [max(abs(v) for v in x[i:i + ms]) for i in range(0, len(x) - ms, ms)]
loud = [i for i, v in enumerate(env) if v > 300]
run = best = bestAt = 0
for k, v in enumerate(env[loud[0]:loud[-1]] if loud else []):
    run = run + 1 if v <= 300 else 0
    if run > best: best, bestAt = run, k - run + 1
print("gap %d at %.3f" % (best, (loud[0] + bestAt) / 1000 if loud else 0))
PY
# within A B TOLERANCE (plus the 10 ms step of the analysis, for durations)
within() { $py -c "print(1 if abs($1 - $2) <= $3 + 1e-6 else 0)"; }

lab_background lab exec h2 "$cli" listen --name ear --cues off >"$tmp/ear.log" 2>&1
sleep 2
# record SECONDS FILE CMD...: records spk while CMD runs.
record() {
    local seconds=$1 file=$2; shift 2
    parecord --latency-msec=10 -d spk.monitor --file-format=wav "$file" &
    local rec=$!
    sleep 0.5
    "$@"
    sleep "$seconds"
    kill -TERM $rec; wait $rec 2>/dev/null || true
}

echo "== each tone alone, then both at once"
record 0.5 "$tmp/solo-low.wav" lab exec h1 "$cli" say "$tmp/low.wav" --name Low
record 0.5 "$tmp/solo-high.wav" lab exec h3 "$cli" say "$tmp/high.wav" --name High
both() {
    lab exec h1 "$cli" say "$tmp/low.wav" --name Low &
    local one=$!
    lab exec h3 "$cli" say "$tmp/high.wav" --name High
    wait $one
}
record 0.5 "$tmp/both.wav" both
read -r _ _ lowSolo _ < <($py "$tmp/tones.py" "$tmp/solo-low.wav" 440)
read -r _ _ highSolo _ < <($py "$tmp/tones.py" "$tmp/solo-high.wav" 1250)
{ read -r la lb lowBoth lowHoles; read -r ha hb highBoth highHoles; } < <($py "$tmp/tones.py" "$tmp/both.wav" 440 1250)
echo "low tone heard $la..$lb s at $lowBoth dB (alone $lowSolo dB); high $ha..$hb s at $highBoth dB (alone $highSolo dB)"
check "low tone heard for 3 s within 60 ms" 1 "$(within "$lb - $la" 3 0.07)"
check "high tone heard for 3 s within 60 ms" 1 "$(within "$hb - $ha" 3 0.07)"
check "low tone within 3 dB of its solo level" 1 "$(within "$lowBoth" "$lowSolo" 3)"
check "high tone within 3 dB of its solo level" 1 "$(within "$highBoth" "$highSolo" 3)"
check "neither drops out while both talk" "0 0" "$lowHoles $highHoles"
check "the listener listed both talkers" 1 "$(grep -q '"event":"talker","name":"High"' "$tmp/ear.log" && grep -q '"event":"talker","name":"Low"' "$tmp/ear.log" && echo 1 || echo 0)"

echo "== 10 % loss on h2's link"
lab loss h2 10
record 0.5 "$tmp/lossy.wav" lab exec h1 "$cli" say "$tmp/low.wav" --name Lossy
lab loss h2 0
{ read -r a b _ _; read -r _ gap _ gapAt; } < <($py "$tmp/tones.py" "$tmp/lossy.wav" 440)
spurt=$(grep '"event":"spurt","name":"Lossy"' "$tmp/ear.log" | tail -1)
echo "heard $a..$b s, longest silent gap $gap ms at $gapAt s; $spurt"
check "the tone lasts 3 s within 60 ms" 1 "$(within "$b - $a" 3 0.07)"
check "no silent gap over 25 ms" 1 "$($py -c "print(1 if $gap <= 25 else 0)")"
check "the spurt event reports concealed frames" 1 "$(echo "$spurt" | grep -q '"concealed":[1-9]' && echo 1 || echo 0)"

# rss PID: resident kB of the hollerhopper-cli under PID.
rss() {
    local p
    p=$(pgrep -P "$1" | head -1 || true)
    awk '/VmRSS/ {print $2}' /proc/"${p:-$1}"/status 2>/dev/null || echo 0
}
# flood TYPE SECONDS RATE: packets from random senders (audio: 640 bytes of frame; hello: 1500-byte names).
cat >"$tmp/flood.py" <<'PY'
import os, socket, struct, sys, time
kind, seconds, rate = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
payload = bytes(640) if kind == "audio" else b"n" * 1500
t = 0 if kind == "audio" else 3
sent, start = 0, time.monotonic()
while time.monotonic() - start < seconds:
    due = int((time.monotonic() - start) * rate)
    while sent < due:
        s.sendto(struct.pack(">BB16sII", 1, t, os.urandom(16), sent, sent % 7) + payload, ("239.42.42.42", 54321))
        sent += 1
    time.sleep(0.005)
print("%d packets in %.1f s" % (sent, time.monotonic() - start))
PY

echo "== a flood of random senders' audio, then of long names, at a recorder"
lab_background lab exec h2 "$cli" listen --audio none --record "$tmp/rec" --name rec >"$tmp/rec.log" 2>&1
recPid=$!
sleep 2
before=$(rss $recPid)
lab exec h1 $py "$tmp/flood.py" audio 5 20000
sleep 1
afterAudio=$(rss $recPid)
lab exec h3 $py "$tmp/flood.py" hello 5 20000
sleep 1
afterHello=$(rss $recPid)
files=$({ find "$tmp/rec" -type f 2>/dev/null || true; } | wc -l)
echo "RSS $before kB, after the audio flood $afterAudio kB, after the hello flood $afterHello kB; $files files"
check "at most a handful of files" 1 "$([ "$files" -le 5 ] && echo 1 || echo 0)"
check "memory flat through both floods (within 8 MB)" 1 "$([ $((afterHello - before)) -le 8192 ] && echo 1 || echo 0)"
lab exec h1 "$cli" say "$tmp/low.wav" --name After >/dev/null 2>&1
sleep 1
check "a real talker is still recorded" 1 "$(grep -c '"event":"recorded".*"name":"After"' "$tmp/rec.log" || true)"
kill -TERM $recPid; wait $recPid 2>/dev/null || true

echo "== a full disk"
mount -t tmpfs -o size=64k tmpfs "$full"
lab exec h2 "$cli" listen --audio none --record "$full" --name full --seconds 12 >"$tmp/full.log" 2>&1 &
fullPid=$!
sleep 2
lab exec h1 "$cli" say "$tmp/low.wav" --name Filler >/dev/null 2>&1
sleep 1
lab exec h1 "$cli" say "$tmp/high.wav" --name Later >/dev/null 2>&1
status=0
wait $fullPid || status=$?
cat "$tmp/full.log" | grep -v '"event":"peers"' | head -12
check "an error event" 1 "$(grep -c '"event":"error"' "$tmp/full.log" || true)"
file=$(ls "$full"/*.wav | head -1)
check "the truncated WAV is valid" 1 "$($py -c "import wave,sys; w=wave.open('$file'); print(1 if 0 < w.getnframes() < 48000 else 0)" 2>/dev/null || echo 0)"
check "listen went on: the next spurt is reported" 1 "$(grep -c '"event":"spurt","name":"Later"' "$tmp/full.log" || true)"
check "exit status 1, no abort" 1 "$status"
umount "$full"

lab_summary

#!/usr/bin/env bash
# The headless intercom end to end between lab hosts: one says a file, others
# listen and record. Never on the machine's own network. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhic "$1"
py=/usr/bin/python3

# A 1.31 s 16 kHz mono file: a sweep, so any lost, repeated or shifted frame shows.
$py - "$tmp/speech.wav" <<'PY'
import math, struct, sys, wave
n = 20960  # 65.5 frames: the last one is padded
w = wave.open(sys.argv[1], "wb"); w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000)
w.writeframes(b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * (200 + i * 0.1) * i / 16000))) for i in range(n)))
w.close()
PY

# compare.py ORIGINAL RECORDING -> "exact" | "subset N" (N frames of the original, in order, none altered) | "bad ..."
cat > "$tmp/compare.py" <<'PY'
import sys, wave
a = wave.open(sys.argv[1]).readframes(10**8)
b = wave.open(sys.argv[2]).readframes(10**8)
a += bytes(-len(a) % 640)
frames = [a[i:i + 640] for i in range(0, len(a), 640)]
got = [b[i:i + 640] for i in range(0, len(b), 640)]
if got == frames:
    print("exact")
else:
    k = 0
    for g in got:
        while k < len(frames) and frames[k] != g:
            k += 1
        if k == len(frames):
            print("bad: a frame that is not in the original, or out of order"); sys.exit()
        k += 1
    print("subset", len(got))
PY

seen() { grep -q "$1" "$2" && echo 1 || echo 0; }  # seen PATTERN FILE

# Timestamps each line, to compare when the last packet came and when the talker
# cleared (two processes reading the same datagram: a few ms either way).
stamp() { while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done; }

echo "== h1 says a file; h2 and h3 record it"
lab up 3 --avahi
sleep 1
for h in h2 h3; do
    lab exec $h "$cli" listen --audio none --record "$tmp/rec-$h" --name "listener $h" --seconds 7 >"$tmp/$h.log" 2>&1 &
done
sleep 2
lab exec h1 "$cli" say "$tmp/speech.wav" --name "Hal <b>One</b>" ; check "say exits 0" 0 $?
wait
for h in h2 h3; do
    file=$(grep -o '"event":"recorded","file":"[^"]*"' "$tmp/$h.log" | head -1 | sed 's/.*"file":"//; s/"$//')
    check "$h recorded one spurt" 1 "$(grep -c '"event":"recorded"' "$tmp/$h.log" || true)"
    check "$h's recording equals the file, padded to whole frames" exact "$($py "$tmp/compare.py" "$tmp/speech.wav" "$file")"
    check "$h named the sender" 1 "$(grep -c '"event":"recorded".*"name":"Hal <b>One</b>","frames":66' "$tmp/$h.log" || true)"
    check "$h saw the talker" 1 "$(grep -c '"event":"talker","name":"Hal <b>One</b>"' "$tmp/$h.log" || true)"
    last=$(grep '"event":"talker"' "$tmp/$h.log" | tail -1)
    check "$h's talker cleared after the talk end" '{"event":"talker","name":null}' "$last"
    check "$h listed the sender as a peer" 1 "$(seen '"event":"peers".*"name":"Hal <b>One</b>"' "$tmp/$h.log")"
done

echo "== a missing file is a clear error, status 2, nothing sent"
lab exec h2 "$cli" monitor --seconds 2 >"$tmp/missing-monitor.log" &
sleep 0.5
status=0
lab exec h1 "$cli" say "$tmp/no-such.wav" 2>"$tmp/missing.err" || status=$?
wait
check "exit status 2" 2 "$status"
check "the error names the file" 1 "$(grep -c 'no-such.wav' "$tmp/missing.err" || true)"
check "nothing was sent" 0 "$(grep -c '"event":"packet"' "$tmp/missing-monitor.log" || true)"

echo "== 10 % loss on h2's link"
lab loss h2 10
lab exec h2 "$cli" listen --audio none --record "$tmp/loss" --seconds 6 2>&1 | stamp >"$tmp/loss.log" &
lab exec h2 "$cli" monitor --seconds 6 2>&1 | stamp >"$tmp/loss-monitor.log" &
sleep 2
lab exec h1 "$cli" say "$tmp/speech.wav" --name Lossy
wait
lab loss h2 0
file=$(grep -o '"file":"[^"]*"' "$tmp/loss.log" | head -1 | sed 's/"file":"//; s/"$//')
result=$($py "$tmp/compare.py" "$tmp/speech.wav" "$file")
case "$result" in
exact | subset*) echo "ok: recording is the file less lost frames ($result of 66)" ;;
*) echo "FAIL: lossy recording: $result"; failures=$((failures + 1)) ;;
esac
# The talker's last packet: presence beacons (hello) carry no talk.
lastPacket=$(grep '"event":"packet"' "$tmp/loss-monitor.log" | grep -v '"type":"hello"' | tail -1 | cut -d' ' -f1)
cleared=$(grep '"event":"talker","name":null' "$tmp/loss.log" | tail -1 | cut -d' ' -f1)
delay=$($py -c "print(round($cleared - $lastPacket, 3))" 2>/dev/null || echo none)
within=$($py -c "print(1 if -0.05 <= $delay <= 0.5 else 0)" 2>/dev/null || echo 0)
check "talker cleared within 0.5 s of the last packet ($delay s)" 1 "$within"

echo "== two hosts say at once"
lab exec h3 "$cli" listen --audio none --seconds 6 >"$tmp/both.log" 2>&1 &
sleep 2
lab exec h1 "$cli" say "$tmp/speech.wav" --name Alpha &
lab exec h2 "$cli" say "$tmp/speech.wav" --name Beta &
wait
check "Alpha seen talking" 1 "$(seen '"event":"talker","name":"Alpha"' "$tmp/both.log")"
check "Beta seen talking" 1 "$(seen '"event":"talker","name":"Beta"' "$tmp/both.log")"

echo "== SIGTERM while saying still ends the spurt with its talk end"
lab exec h2 "$cli" monitor --seconds 5 >"$tmp/term-monitor.log" &
sleep 0.5
"$root/scripts/netlab.sh" exec h1 "$cli" say "$tmp/speech.wav" --name Cut &
sayPid=$!
sleep 1.2
kill -TERM $sayPid
status=0
wait $sayPid || status=$?
wait
check "say exits 0 on SIGTERM" 0 "$status"
check "the talk end followed" 1 "$(grep -c '"type":"talkEnd"' "$tmp/term-monitor.log" || true)"

lab_summary

#!/usr/bin/env bash
# The headless intercom end to end between lab hosts: one says a file, others
# listen and record (loss and talkers at once: receive_lab.sh). Never on the
# machine's own network. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhic "$1"
py=/usr/bin/python3

# A 1.31 s 16 kHz mono file, 65.5 frames (the last one is padded): a sweep, so
# any lost, repeated or shifted frame shows.
sox -r 16000 -n -c 1 -b 16 "$tmp/speech.wav" synth 20960s sine 200:4000 vol 0.37

# compare.py ORIGINAL RECORDING -> "exact" when the recording is the original padded to whole frames
cat > "$tmp/compare.py" <<'PY'
import sys, wave
a = wave.open(sys.argv[1]).readframes(10**8)
b = wave.open(sys.argv[2]).readframes(10**8)
print("exact" if a + bytes(-len(a) % 640) == b else "differs: %d bytes recorded" % len(b))
PY

echo "== h1 says a file; h2 and h3 record it"
lab up 3 --avahi
sleep 1
# h2 logs at debug level (packet detail), h3 at the default (none of it).
for h in h2 h3; do
    level=info
    [ $h = h2 ] && level=debug
    lab exec $h env HH_LOG=$level "$cli" listen --audio none --record "$tmp/rec-$h" --name "listener $h" --seconds 7 \
        >"$tmp/$h.log" 2>"$tmp/$h.err" &
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
    check "$h listed the sender as a peer" 1 "$(grep -q '"event":"peers".*"name":"Hal <b>One</b>"' "$tmp/$h.log" && echo 1 || echo 0)"
done
check "HH_LOG=debug logs each packet" 1 "$(($(grep -c '^hollerhopper: debug net: received audio from' "$tmp/h2.err" || true) >= 66))"
check "the default log has no packet detail" 0 "$(grep -c '^hollerhopper: debug' "$tmp/h3.err" || true)"

echo "== a missing file is a clear error, status 2, nothing sent"
lab exec h2 "$cli" monitor --seconds 2 >"$tmp/missing-monitor.log" &
sleep 0.5
status=0
lab exec h1 "$cli" say "$tmp/no-such.wav" 2>"$tmp/missing.err" || status=$?
wait
check "exit status 2" 2 "$status"
check "the error names the file" 1 "$(grep -c 'no-such.wav' "$tmp/missing.err" || true)"
check "nothing was sent" 0 "$(grep -c '"event":"packet"' "$tmp/missing-monitor.log" || true)"

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

#!/usr/bin/env bash
# Compressed speech negotiated between three lab hosts, read from the wire
# (monitor in h3) and the listeners' events: two hosts that decode it talk
# compressed at under a seventh of PCM's bytes; a stand-in for an older build
# (--pcm-only) turns the next spurts to PCM and hears them, with avahi and
# with beacons only, and once it has gone spurts are compressed again.
# $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhcx "$1"
py=/usr/bin/python3
lab up 3 --avahi
sox -n -r 16000 -c 1 -b 16 "$tmp/tone.wav" synth 1.5 sine 700 vol 0.25

# spurt.py MONITOR_LOG NAME: the audio of the spurt whose talk start carried
# NAME: "TYPES SIZES BYTES_PER_SECOND" (IP and UDP headers included).
cat >"$tmp/spurt.py" <<'PY'
import json, sys
sender, types, sizes, wire, frames = None, set(), set(), 0, 0
for line in open(sys.argv[1], errors="replace"):
    if not (line.startswith("{") and line.endswith("}\n")):
        continue
    e = json.loads(line)
    if e.get("type") == "talkStart" and e.get("name") == sys.argv[2]:
        sender = e["sender"]
    elif sender and e.get("sender") == sender and e.get("type") in ("audio", "opus"):
        types.add(e["type"]); sizes.add(str(e["payloadBytes"]))
        wire += e["payloadBytes"] + 26 + 28; frames += 1
print(",".join(sorted(types)) or "none", ",".join(sorted(sizes, key=int)) or "0", wire * 50 // max(frames, 1))
PY
# await LOG PATTERN [ABSENT]: until LOG has (or, with ABSENT, no longer has in
# its last peers event) a line matching PATTERN, at most 15 s.
await() {
    for _ in $(seq 60); do
        if [ -z "${3:-}" ]; then grep -qs "$2" "$1" && return; else
            grep '"event":"peers"' "$1" | tail -1 | grep -qs "$2" || return 0; fi
        sleep 0.25
    done
}
# say hK NAME [ARGS...]: a spurt of the tone, then its audio on the wire as spurt.py tells.
say() {
    lab exec "$1" "$cli" say "$tmp/tone.wav" --name "$2" "${@:3}" >>"$tmp/say.log" 2>&1
    sleep 0.3  # the talk end reaches the monitor
    read -r types sizes rate < <($py "$tmp/spurt.py" "$tmp/mon.log" "$2")
}
# listener hK NAME [ARGS...]: listen in hK, its events in $tmp/NAME.log, its pid in $!.
listener() {
    lab_background "$root/scripts/netlab.sh" exec "$1" "$cli" listen --audio none --name "$2" "${@:3}" >"$tmp/$2.log" 2>&1
    await "$tmp/$2.log" '"on air"'
}

lab_background lab exec h3 "$cli" monitor >"$tmp/mon.log" 2>&1
listener h2 Ear
listener h3 Third

echo "== two hosts that decode compressed speech, a third that does too"
say h1 One
check "h1's spurt is compressed on the wire" opus "$types"
opusRate=$rate
say h2 Two
check "h2's spurt is compressed on the wire" opus "$types"
say h1 Plain --codec pcm
check "--codec pcm sends 640-byte PCM" "audio 640" "$types $sizes"
echo "bytes per second on the wire, one talker: PCM $rate, compressed $opusRate"
check "compressed at most a seventh of PCM ($opusRate * 7 <= $rate)" 1 "$((opusRate * 7 <= rate))"
check "Ear heard h1's spurt as compressed" 1 "$(grep -c '"name":"One".*"codec":"opus"' "$tmp/Ear.log")"

echo "== a host that decodes PCM only joins (with avahi)"
kill -TERM "${lab_pids[-1]}"; wait "${lab_pids[-1]}" 2>/dev/null || true
await "$tmp/Ear.log" '"Third"' absent
listener h3 Old --pcm-only
await "$tmp/Ear.log" '"name":"Old"'
say h1 Three
check "h1's next spurt is PCM" "audio 640" "$types $sizes"
say h2 Four
check "h2's next spurt is PCM" "audio 640" "$types $sizes"
await "$tmp/Old.log" '"name":"Four"'
check "the PCM-only host heard both" 2 "$(grep -cE '"event":"spurt","name":"(Three|Four)".*"frames":7[0-9].*"codec":"pcm"' "$tmp/Old.log")"
status=0
lab exec h1 "$cli" say "$tmp/tone.wav" --name Forced --codec opus >"$tmp/forced.log" 2>&1 || status=$?
check "--codec opus refused, naming the peer: exit 1" 1 "$status"
grep 'hollerhopper-cli:' "$tmp/forced.log" || true
check "the refusal names Old" 1 "$(grep -c 'not sending compressed speech: Old cannot decode it' "$tmp/forced.log")"
check "no spurt for it" 0 "$(grep -c '"type":"talkStart".*"name":"Forced"' "$tmp/mon.log")"

echo "== it leaves"
kill -TERM "${lab_pids[-1]}"; wait "${lab_pids[-1]}" 2>/dev/null || true
await "$tmp/Ear.log" '"Old"' absent
say h1 Five
check "the next spurt is compressed again" opus "$types"

echo "== a PCM-only host without a DNS-SD daemon (beacons only)"
lab avahi down h3
listener h3 Bare --pcm-only
# An older build answers a newcomer's beacon at most once in 5 s, and it has
# just answered Ear's: a one-shot talker must come after that.
sleep 6
say h1 Six
check "h1's next spurt is PCM" "audio 640" "$types $sizes"
await "$tmp/Bare.log" '"name":"Six"'
check "the host on beacons only heard it" 1 "$(grep -cE '"event":"spurt","name":"Six".*"codec":"pcm"' "$tmp/Bare.log")"
kill -TERM "${lab_pids[-1]}"; wait "${lab_pids[-1]}" 2>/dev/null || true
say h1 Seven
check "once it has gone, compressed again" opus "$types"

lab_summary

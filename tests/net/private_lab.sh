#!/usr/bin/env bash
# Private channels between three lab hosts: h1 and h2 on "Office" hear each
# other; h3 on the open channel sees nothing, and with a wrong passphrase hears
# nothing and says so once; h3's capture holds neither the tone nor the name;
# the captured spurt replayed and a flood of forgeries are dropped by h2, whose
# memory stays flat and whose CPU stays within the receive target.
# $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhpc "$1"
py=/usr/bin/python3
lab up 3
count() { grep -c "$1" "$tmp/$2" || true; }
# await FILE PATTERN: until FILE has a line matching PATTERN (at most 10 s).
await() { for _ in $(seq 100); do grep -qs "$2" "$tmp/$1" && return; sleep 0.1; done; }
printf 'correct horse battery staple\n' >"$tmp/pass"
printf 'wrong horse\n' >"$tmp/wrong"
office=(--channel Office --passphrase-file "$tmp/pass")
sox -n -r 16000 -c 1 -b 16 "$tmp/tone.wav" synth 1 sine 440 vol 0.5

# capture.py FILE: every UDP datagram to port 54321 on h3's link, as "source group hex" lines.
cat >"$tmp/capture.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
s.bind(("veth0", 0))
out = open(sys.argv[1], "w", buffering=1)
while True:
    f = s.recv(4096)
    ip = 14; udp = ip + (f[ip] & 0x0F) * 4
    if f[ip + 9] == 17 and f[udp + 2:udp + 4] == (54321).to_bytes(2, "big"):
        out.write("%s %s %s\n" % (socket.inet_ntoa(f[ip + 12:ip + 16]), socket.inet_ntoa(f[ip + 16:ip + 20]), f[udp + 8:].hex()))
PY
# inspect.py CAPTURE TONE.wav: checks on the captured payloads, one a line "what|expected|got".
cat >"$tmp/inspect.py" <<'PY'
import math, struct, sys, wave
lines = [l.split() for l in open(sys.argv[1]) if len(l.split()) == 3]
payloads = [bytes.fromhex(h) for _, _, h in lines]
def tone_share(b, hz=440.0, rate=16000.0):
    # The share of the signal's energy at the tone, reading the bytes as 16-bit samples.
    x = struct.unpack("<%dh" % (len(b) // 2), b[:len(b) // 2 * 2])
    if len(x) < 64: return 0.0
    c = 2 * math.cos(2 * math.pi * hz / rate); s1 = s2 = 0.0
    for v in x: s1, s2 = v + c * s1 - s2, s1
    power = (s1 * s1 + s2 * s2 - c * s1 * s2) * 2 / len(x)
    return power / (sum(v * v for v in x) + 1e-9)
w = wave.open(sys.argv[2]); frame = w.readframes(320)
print("the tone detector finds the tone in a plain frame|1|%d" % (tone_share(frame) > 0.5))
print("h3 captured the channel's traffic (%d datagrams)|1|%d" % (len(payloads), len(payloads) > 100))
print("the channel's name is in no datagram|0|%d" % sum(b"Office" in p for p in payloads))
print("no datagram carries the tone, at either byte alignment|0|%d" %
      sum(tone_share(p) > 0.5 or tone_share(p[1:]) > 0.5 for p in payloads))
print("every datagram is sealed (magic 0xC5)|%d|%d" % (len(payloads), sum(p[:1] == b"\xc5" for p in payloads)))
PY
# send.py GROUP FILE|flood HEADER COUNT: replays a capture's datagrams, or sends
# COUNT forgeries: a genuine 10-byte header, then random nonce and body.
cat >"$tmp/send.py" <<'PY'
import os, socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
group = sys.argv[1]
if sys.argv[2] == "flood":
    header, n = bytes.fromhex(sys.argv[3]), int(sys.argv[4])
    body = os.urandom(716 - 10)
    for i in range(n):
        s.sendto(header + i.to_bytes(4, "big") + body[4:], (group, 54321))
else:
    for l in open(sys.argv[2]):
        src, dst, h = l.split()
        s.sendto(bytes.fromhex(h), (group, 54321))
        time.sleep(0.002)
PY
checks() {
    $py "$@" >"$tmp/checks" || check "$(basename "$2") runs" 0 1
    while IFS='|' read -r what expected got; do check "$what" "$expected" "$got"; done <"$tmp/checks"
}

echo "== h1 and h2 on Office hear each other; h3 open and h3 with a wrong passphrase do not"
lab_background lab exec h3 $py "$tmp/capture.py" "$tmp/capture"
lab_background lab exec h1 "$cli" listen --audio none --cues off --name one "${office[@]}" >"$tmp/h1" 2>"$tmp/h1.err"
lab_background "$root/scripts/netlab.sh" exec h2 "$cli" listen --audio none --cues off --name two "${office[@]}" \
    >"$tmp/h2" 2>"$tmp/h2.err"
h2Pid=$!
lab_background lab exec h3 "$cli" monitor >"$tmp/h3open"
lab_background lab exec h3 "$cli" listen --audio none --cues off --name three --channel Office \
    --passphrase-file "$tmp/wrong" >"$tmp/h3wrong" 2>&1
for f in h1 h2 h3wrong; do await $f '"Ready"'; done
await h3open '"state":"ready"'
lab exec h1 "$cli" say "$tmp/tone.wav" --name Ada "${office[@]}" >/dev/null 2>&1
lab exec h2 "$cli" say "$tmp/tone.wav" --name Bo --channel Office --passphrase-file - <"$tmp/pass" >/dev/null 2>&1
await h2 '"event":"spurt","name":"Ada"'
await h1 '"event":"spurt","name":"Bo"'
# h3's beacons go every 5 s: its first may have gone before h2 had joined.
await h2 '"event":"wrongPassphrase"'
sleep 1
check "h2 heard Ada's spurt whole" 1 "$(count '"event":"spurt","name":"Ada","direct":false,"frames":5[01],"received":5[01]' h2)"
check "h1 heard Bo's spurt whole" 1 "$(count '"event":"spurt","name":"Bo","direct":false,"frames":5[01],"received":5[01]' h1)"
check "h2 lists h1 from its beacons" 1 "$(grep '"event":"peers"' "$tmp/h2" | tail -1 | grep -c '"name":"one"')"
check "h3 on the open channel: no packet decoded" 0 "$(count '"event":"packet"' h3open)"
check "h3 with a wrong passphrase: no talker" 0 "$(count '"event":"talker","name":"' h3wrong)"
check "h3 with a wrong passphrase: the state reported once" 1 "$(count '"event":"wrongPassphrase","active":true' h3wrong)"
check "h2 also notices h3's beacons, once" 1 "$(count '"event":"wrongPassphrase","active":true' h2)"
group=$(awk '$1 == "10.77.0.11" {print $2; exit}' "$tmp/capture")
checks "$tmp/inspect.py" "$tmp/capture" "$tmp/tone.wav"
check "the group is not the open channel's" 1 "$([ -n "$group" ] && [ "$group" != 239.42.42.42 ] && echo 1 || echo 0)"

echo "== the captured traffic from h1 replayed onto the group: h2 drops it"
grep '^10\.77\.0\.11 ' "$tmp/capture" >"$tmp/replay" || true
lab exec h3 $py "$tmp/send.py" "$group" "$tmp/replay"
sleep 1
check "h2 heard no second spurt from Ada" 1 "$(count '"event":"spurt","name":"Ada"' h2)"

echo "== 100,000 forgeries with the channel's header: h2's memory, CPU and log; then a real spurt"
snmp() { lab exec h2 awk '/^Udp:/ && ++n == 2 {print $2}' /proc/net/snmp; }  # datagrams h2's socket read
rss() { awk '/VmRSS/ {print $2}' /proc/$h2Pid/status; }
cpu_ns() { cat /proc/"$h2Pid"/task/*/schedstat | awk '{s += $1} END {print s + 0}'; }
header=$(awk -v g="$group" '$2 == g {print substr($3, 1, 20); exit}' "$tmp/capture")
errLines=$(wc -l <"$tmp/h2.err")
before=$(rss); cpuBefore=$(cpu_ns); inBefore=$(snmp)
lab exec h3 $py "$tmp/send.py" "$group" flood "$header" 100000
sleep 0.5
after=$(rss); cpuAfter=$(cpu_ns); inAfter=$(snmp)
arrived=$((inAfter - inBefore))
cpu=$((cpuAfter - cpuBefore))
echo "flood: h2 read $arrived datagrams in $((cpu / 1000000)) ms of its CPU:" \
    "$((cpu > 0 ? arrived * 1000000000 / cpu : 0)) datagrams/s per core (target >= 100000); RSS $before kB, then $after kB"
check "h2's CPU within the receive target (100,000 a second a core)" 1 \
    "$(( (cpuAfter - cpuBefore) <= 1000000000 * arrived / 100000 + 50000000 ))"
check "h2's memory flat (within 1 MB)" 1 "$(( after - before <= 1024 ))"
check "no log line for the forgeries" "$errLines" "$(wc -l <"$tmp/h2.err")"
lab exec h1 "$cli" say "$tmp/tone.wav" --name After "${office[@]}" >/dev/null 2>&1
await h2 '"event":"spurt","name":"After"'
check "a real spurt right after is heard" 1 "$(count '"event":"spurt","name":"After","direct":false,"frames":5[01],"received":5[01]' h2)"

lab_summary

#!/usr/bin/env bash
# The transport on real sockets, between network namespaces: never on the
# machine's own network. `monitor` is our receiving instance; `say` and a raw
# sender (for what our own code never sends) are the senders. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhtr "$1"
count() { grep -c "$1" "$tmp/$2" || true; }
monitor() { lab exec "$1" "$cli" monitor "${@:3}" >"$tmp/$2"; }
# ready NAME...: waits (a few seconds at most) until these monitors have joined.
ready() {
    local name
    for name in "$@"; do
        for _ in $(seq 100); do grep -qs '"state":"ready"' "$tmp/$name" && break; sleep 0.05; done
    done
}
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# Counts the frames for our group and port that reach a host's link, joined or
# not; hello beacons aside.
cat > "$tmp/count_frames.py" <<'PY'
import socket, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0800))
s.bind(("veth0", 0))
s.settimeout(0.1)
end, n = time.time() + float(sys.argv[1]), 0
while time.time() < end:
    try:
        f = s.recv(4096)
    except socket.timeout:
        continue
    udp = 14 + (f[14] & 0x0F) * 4
    if f[30:34] == bytes([239, 42, 42, 42]) and f[23] == 17 and f[udp + 2:udp + 4] == (54321).to_bytes(2, "big"):
        n += f[udp + 9] != 3
print(n)
PY
frames() { lab exec "$1" /usr/bin/python3 "$tmp/count_frames.py" 4 >"$tmp/$2"; }

# send.py TYPE COUNT [SIZE [VERSION]]: COUNT datagrams of packet type TYPE, named
# "lab", 20 ms apart; cut or padded to SIZE bytes.
cat > "$tmp/send.py" <<'PY'
import socket, sys, time, uuid
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
kind, count, sender = int(sys.argv[1]), int(sys.argv[2]), uuid.uuid4().bytes
size = int(sys.argv[3]) if len(sys.argv) > 3 else 0
version = int(sys.argv[4]) if len(sys.argv) > 4 else 1
for sequence in range(count):
    d = bytes([version, kind]) + sender + sequence.to_bytes(4, "big") + bytes(4) + b"lab"
    s.sendto(d.ljust(size, b"\xab")[:size or None], ("239.42.42.42", 54321))
    time.sleep(0.02)
PY
send() { lab exec "$1" /usr/bin/python3 "$tmp/send.py" "${@:2}"; }

# 0.2 s of tone: a talk start, 10 audio frames and a talk end.
sox -r 16000 -n -c 1 -b 16 "$tmp/tone.wav" synth 3200s sine 440 vol 0.3

echo "== say in h1 reaches a second instance in h1, and h2 and h3 through the bridge; monitor's --count"
lab up 3
monitor h1 h1 --seconds 4 & p1=$!
monitor h2 h2 --count 3 --seconds 10 & p2=$!
monitor h3 h3 --seconds 4 & p3=$!
ready h1 h2 h3
lab exec h1 "$cli" say "$tmp/tone.wav" --name lab >/dev/null 2>&1
wait $p1 $p2 $p3
for h in h1 h3; do
    check "$h heard the talk start" 1 "$(count '"type":"talkStart".*"name":"lab"' $h)"
    check "$h heard 10 audio frames" 10 "$(count '"type":"audio"' $h)"
    check "$h heard the talk end" 1 "$(count '"type":"talkEnd"' $h)"
done
check "h2's --count 3 printed 3 packets" 3 "$(count '"event":"packet"' h2)"
check "monitor ends with stopped" '"stopped"' "$(tail -1 "$tmp/h1" | grep -o '"stopped"')"

echo "== in h2: 2049 bytes dropped whole, 2048 delivered, malformed datagrams dropped; its link down (no network) and up"
"$root/scripts/netlab.sh" exec h2 "$cli" monitor >"$tmp/h2b" &
monitorPid=$!
ready h2b
send h1 3 1 2049; send h1 3 1 2048
send h1 1 1 25; send h1 1 1 26 0; send h1 1 1 26 2; send h1 6 1; send h1 255 1
send h1 2 1
sleep 0.3
check "the 2048-byte datagram delivered" 1 "$(count '"type":"hello".*"payloadBytes":2022' h2b)"
check "nothing else but the talk end" 2 "$(count '"event":"packet"' h2b)"
check "the talk end after them" 1 "$(count '"type":"talkEnd"' h2b)"
lab link h2 down
# No usable interface is no network: said so, never joined on loopback, and
# nothing to say into.
r=0; lab exec h2 "$cli" say "$tmp/tone.wav" --name down >/dev/null 2>"$tmp/down.err" || r=$?
check "say with the link down exits 1, saying No network connection" 1:1 "$r:$(count 'No network connection' down.err)"
lab exec h2 "$cli" listen --audio none --seconds 1 --name down >"$tmp/down.log" 2>&1 || true
check "listen says No network connection and joins nowhere (not on lo)" 1:0 \
    "$(count '"state":"No network connection"' down.log):$(count 'joined the group' down.log)"
# A talk start every 20 ms from before the link comes back until it is heard or the 3 s are over.
"$root/scripts/netlab.sh" exec h1 /usr/bin/python3 "$tmp/send.py" 1 200 &
senderPid=$!
sleep 0.3
lab link h2 up
up=$(now_ms)
while [ "$(count '"type":"talkStart"' h2b)" = 0 ] && (( $(now_ms) - up < 3000 )); do sleep 0.02; done
resumed=$(( $(now_ms) - up ))
kill $senderPid
wait $senderPid || true
kill -TERM $monitorPid
wait $monitorPid || true
check "delivery resumed within 3 s" 1 "$(( $(count '"type":"talkStart"' h2b) > 0 && resumed <= 3000 ))"
check "the group was rebuilt: a fresh setup and ready" 2 "$(count '"state":"ready"' h2b)"
echo "delivery resumed ${resumed} ms after the link came up"

echo "== with snooping and a querier on the bridge, only joined hosts receive"
lab up 3 --snooping
monitor h2 s2 --seconds 4 & frames h3 s3frames &
sleep 1.5  # the querier's first round
ready s2
send h1 1 10
wait
check "joined h2 heard 10" 10 "$(count '"type":"talkStart"' s2)"
check "h3, not joined, got no frame" 0 "$(cat "$tmp/s3frames")"

lab_summary

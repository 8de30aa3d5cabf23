#!/usr/bin/env bash
# The roster and direct talk between three lab hosts with avahi, read from the
# CLI's events: a spurt to one host reaches it alone, a reply finds its way
# back, a name nobody has sends nothing; a flood of hellos from 20,000 random
# senders takes no listed peer's health; `say` under a listener's name adds no
# row; and with avahi stopped in one of two hosts, each lists the other. Never
# on the machine's own network. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhro "$1"

names=([1]="Host One" [2]="Host Two" [3]="Host Three")
# listener hK [ARGS...]: the intercom in hK, recording what it hears, its
# events and log in $tmp/hK.log; its pid (netlab.sh and ip exec it) in pid[K].
pid=()
listener() {
    lab_background "$root/scripts/netlab.sh" exec "$1" "$cli" listen --audio none \
        --name "${names[${1#h}]}" --record "$tmp/rec-$1" "${@:2}" >"$tmp/$1.log" 2>&1
    pid[${1#h}]=$!
}
stop_listener() { kill -TERM "${pid[$1]}" 2>/dev/null || true; wait "${pid[$1]}" 2>/dev/null || true; }
# await LOG PATTERN: until LOG has a line matching PATTERN (at most 10 s).
await() { for _ in $(seq 40); do grep -qs "$2" "$1" && return; sleep 0.25; done; }
count() { grep -c "$2" "$1" || true; }
sox -r 16000 -n -c 1 -b 16 "$tmp/tone.wav" synth 0.5 sine 440 vol 0.3

lab up 3 --avahi
t0=$(now)
for k in 1 2 3; do listener h$k; done
lab_background "$root/scripts/netlab.sh" exec h3 "$cli" monitor >"$tmp/monitor.log" 2>&1
everyone="['Host One', 'Host Two', 'Host Three']"
for k in 1 2 3; do
    measure "h$k lists and hears the others" "$t0" 20 "$tmp/h$k.log" \
        "sorted(peers) == sorted(n for n in $everyone if n != '${names[$k]}') and all(map(heard, peers))"
done

echo "== h1 says a file to Host Two alone; a name nobody has sends nothing"
status=0
lab exec h1 "$cli" say "$tmp/tone.wav" --name Caller --to "Host Two" || status=$?
check "say --to exits 0" 0 "$status"
await "$tmp/h2.log" '"event":"recorded"'
check "h2 recorded it, marked direct" 1 "$(count "$tmp/h2.log" '"event":"recorded".*"name":"Caller","direct":true,"frames":25')"
check "h2 saw the talker talking to it" 1 "$(count "$tmp/h2.log" '"event":"talker","name":"Caller","direct":true')"
lab exec h1 "$cli" say "$tmp/tone.wav" --name Caller --to "Host Nine" 2>"$tmp/nine.err" && status=0 || status=$?
check "say --to a name nobody has exits 1, saying why" "1 1" "$status $(count "$tmp/nine.err" 'nobody called "Host Nine" is on this network')"
check "h1 and h3 recorded nothing" "0 0" "$(count "$tmp/h1.log" '"event":"recorded"') $(count "$tmp/h3.log" '"event":"recorded"')"
check "h3's monitor saw no talk packet at all" 0 "$(grep -c '"type":"\(talkStart\|audio\|talkEnd\)"' "$tmp/monitor.log" || true)"

echo "== a flood of hellos from 20,000 random senders at h1 and h2, and say under h1's name"
cat > "$tmp/flood.py" <<'PY'
import os, socket, struct, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
sent, start = 0, time.monotonic()
while sent < 20000:
    while sent < min(20000, int((time.monotonic() - start) * 2000)):
        s.sendto(struct.pack(">BB16sII", 1, 3, os.urandom(16), sent, 0) + b"Stranger %d" % sent, ("239.42.42.42", 54321))
        sent += 1
    time.sleep(0.005)
print("flood: %d hellos in %.1f s" % (sent, time.monotonic() - start))
PY
marks=("$(wc -l <"$tmp/h1.log")" "$(wc -l <"$tmp/h2.log")")
lab exec h3 python3 "$tmp/flood.py" &
flood=$!
sleep 2
lab exec h3 "$cli" say "$tmp/tone.wav" --name "Host One" >/dev/null 2>&1 || check "say under h1's name exits 0" 0 1
wait $flood
sleep 2  # judged at the next check, and beyond the flood's end
for k in 1 2; do
    tail -n +"${marks[$((k - 1))]}" "$tmp/h$k.log" >"$tmp/flooded$k.log"
    others="[n for n in $everyone if n != '${names[$k]}']"
    status=0
    holds "$tmp/flooded$k.log" "all(all(n in l and l[n]['heard'] and l[n]['responding'] for n in $others) and not any(n.startswith('Stranger') for n in l) for l in history)" || status=$?
    check "h$k: every list during the flood holds the others, heard and responding, and no stranger" 0 $status
    [ $status = 0 ] || grep '"event":"peers"' "$tmp/flooded$k.log" | sort | uniq -c | head -5
    # Advertised, it would have collided: "Host One #2" for a few seconds.
    check "h$k: say under h1's name added no row" 0 \
        "$(holds "$tmp/flooded$k.log" "all(('Host One' in l) == ($k != 1) and not any(n.startswith('Host One #') for n in l) for l in history)"; echo $?)"
done
check "h3 listed Host One from DNS-SD throughout" 0 "$(holds "$tmp/h3.log" "all(l['Host One']['source'] == 'dns-sd' for l in history if 'Host One' in l)"; echo $?)"
h3recorded=$(count "$tmp/h3.log" '"event":"recorded"')  # the say beside it

echo "== Host Two answers whoever talked to it alone"
stop_listener 2  # one program a host: a direct datagram reaches one socket there
lab_background "$root/scripts/netlab.sh" exec h2 "$cli" say "$tmp/tone.wav" --name "Host Two" --reply >"$tmp/reply.log" 2>&1
replier=$!
sleep 1
lab exec h1 "$cli" say "$tmp/tone.wav" --name Asker --to "Host Two" || check "say --to Host Two exits 0" 0 1
status=0
wait $replier || status=$?
await "$tmp/h1.log" '"event":"recorded".*"name":"Host Two"'
check "the reply exits 0 and h1 recorded it, marked direct" "0 1" \
    "$status $(count "$tmp/h1.log" '"event":"recorded".*"name":"Host Two","direct":true,"frames":25')"
check "h3 recorded none of it" "$h3recorded" "$(count "$tmp/h3.log" '"event":"recorded"')"
lab exec h2 "$cli" say "$tmp/tone.wav" --name "Host Two" --to "Host One" --reply 2>/dev/null && status=0 || status=$?
check "--to and --reply do not go together" 2 "$status"

echo "== avahi-daemon stopped in h2 only: each of two lists the other"
stop_listener 1
stop_listener 3
lab avahi down h2
t0=$(now)
listener h1
listener h2
measure "h1 (avahi) lists h2 from its beacons" "$t0" 10 "$tmp/h1.log" "heard('Host Two') and peers['Host Two']['source'] == 'beacons'"
measure "h2 (no avahi) lists h1 from its beacons" "$t0" 10 "$tmp/h2.log" "heard('Host One') and peers['Host One']['source'] == 'beacons'"

echo "== a datagram sent to h3 directly from outside its subnet is dropped"
# h3's monitor alone holds the port now. Its kernel would drop the stranger's
# datagram by reverse path already; switched off, only our own check remains.
lab exec h1 ip addr add 10.250.0.1/24 dev veth0
lab exec h3 sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.veth0.rp_filter=0
for from in "$(lab addr h1)" 10.250.0.1; do
    lab exec h1 python3 -c "import os, socket, struct, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((sys.argv[1], 0))
s.sendto(struct.pack('>BB16sII', 1, 3, os.urandom(16), 0, 0) + b'Outsider', (sys.argv[2], 54321))" "$from" "$(lab addr h3)"
done
sleep 0.5
check "h3's monitor saw the one from the subnet, marked direct, and not the other" "1 0" \
    "$(count "$tmp/monitor.log" "\"name\":\"Outsider\",\"from\":\"$(lab addr h1)\",\"direct\":true") $(count "$tmp/monitor.log" '"from":"10.250.0.1"')"

lab_summary

#!/usr/bin/env bash
# The transport on real sockets, between network namespaces: never on the
# machine's own network. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhtr "$1"
count() { grep -c "$1" "$tmp/$2" || true; }
monitor() { lab exec "$1" "$build/tools/hollerhopper-cli" monitor "${@:3}" >"$tmp/$2"; }
send10() { lab exec h1 "$build/tests/net/transport_lab_test" --gtest_also_run_disabled_tests --gtest_filter='*SendTenTalkStarts' >/dev/null; }

# Counts the frames for our group and port that reach a host's link, joined or not.
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
    ihl = (f[14] & 0x0F) * 4
    if f[30:34] == bytes([239, 42, 42, 42]) and f[23] == 17 and f[14 + ihl + 2:14 + ihl + 4] == (54321).to_bytes(2, "big"):
        n += 1
print(n)
PY
frames() { lab exec "$1" /usr/bin/python3 "$tmp/count_frames.py" 4 >"$tmp/$2"; }

echo "== in-process: two instances in one namespace, limits, malformed datagrams, link down and up"
lab up 1
lab exec h1 "$build/tests/net/transport_lab_test" || failures=$((failures + 1))

echo "== h1 reaches h2 and h3 through the bridge"
lab up 3
monitor h2 h2 --seconds 4 & monitor h3 h3 --seconds 4 & frames h3 h3frames &
sleep 1
send10
wait
check "h2 heard 10 talk starts" 10 "$(count '"type":"talkStart".*"name":"lab"' h2)"
check "h3 heard 10 talk starts" 10 "$(count '"type":"talkStart".*"name":"lab"' h3)"
check "h3's link carried them" 10 "$(cat "$tmp/h3frames")"
check "h2 reported ready" 1 "$(count '"state":"ready"' h2)"
check "h2 stopped cleanly" 1 "$(count '"state":"cancelled"' h2)"

echo "== with snooping and a querier on the bridge, only joined hosts receive"
lab up 3 --snooping
monitor h2 s2 --seconds 4 & frames h3 s3frames &
sleep 1.5
send10
wait
check "joined h2 heard 10" 10 "$(count '"type":"talkStart"' s2)"
check "h3, not joined, got no frame" 0 "$(cat "$tmp/s3frames")"

echo "== monitor exits after --count packets and on SIGTERM"
lab up 2
monitor h2 c2 --count 3 --seconds 10 &
countPid=$!
"$root/scripts/netlab.sh" exec h2 "$build/tools/hollerhopper-cli" monitor >"$tmp/t2" &
termPid=$!
sleep 1
send10
wait $countPid
check "--count 3 printed 3 packets" 3 "$(count '"event":"packet"' c2)"
kill -TERM $termPid
status=0
wait $termPid || status=$?
check "SIGTERM exits 0" 0 "$status"
check "SIGTERM stop reports cancelled" 1 "$(count '"state":"cancelled"' t2)"

lab_summary

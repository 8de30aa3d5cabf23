#!/usr/bin/env bash
# Peer discovery against real avahi-daemons in a three-host lab: foreign
# services published with avahi-publish, our own instances seen by avahi-browse,
# name collisions between hosts, and a daemon that starts late and restarts.
# Prints how long a peer takes to appear and to disappear.
#   $1: the build directory
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhdisc "$1"
trap 'echo "FAIL: discovery_lab stopped at line $LINENO" >&2' ERR
fail() {
    echo "FAIL: $*" >&2
    tail -n 20 "$tmp"/*.out >&2
    exit 1
}
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# run_bg NAME hK CMD...: runs CMD in hK in the background, output in $tmp/NAME.out,
# its pid in $NAME (ip netns exec replaces itself with CMD).
run_bg() {
    lab_background "$root/scripts/netlab.sh" exec "$2" "${@:3}" > "$tmp/$1.out" 2>&1
    printf -v "$1" %s "$!"
}
peers() { run_bg "$1" "$2" "$cli" peers --name "$3"; }
stop_pid() { kill -TERM "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# The names DNS-SD gave the last list a peers command printed, sorted, "|"-separated.
last_names() {
    python3 - "$tmp/$1.out" <<'PY'
import json, sys
last = ""
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    if line.startswith('{"event":"peers"'):
        peers = json.loads(line)["peers"]
        assert all(p["id"] == p["name"] for p in peers), line
        last = "|".join(sorted(p["name"] for p in peers if p["source"] == "dns-sd"))
print(last)
PY
}
lists() { [[ "|$(last_names "$1")|" == *"|$2|"* ]]; }
lacks() { ! lists "$1" "$2"; }
ever_listed() { grep -qF "\"name\":\"$2\"" "$tmp/$1.out"; }

# wait_until SECONDS CMD...: retries CMD until it succeeds; prints the ms it took.
wait_until() {
    local limit_ms=$(( ${1%.*} * 1000 )) start
    shift
    start=$(now_ms)
    while ! "$@"; do
        (( $(now_ms) - start > limit_ms )) && return 1
        sleep 0.02
    done
    echo $(( $(now_ms) - start ))
}

lab up 3 --avahi

echo "== a service published by avahi-publish appears and goes"
peers two h2 "Desk Two"
sleep 1
run_bg publisher h1 avahi-publish -s "Foreign Peer" _hollerhopper._tcp 4242
appear_ms=$(wait_until 5 lists two "Foreign Peer") || fail "h2 does not list Foreign Peer"
# No packet of its ever comes: its address is DNS-SD's, resolved.
resolved_foreign() { grep -F '"name":"Foreign Peer"' "$tmp/two.out" | grep -qF "\"address\":\"$(lab addr h1)\""; }
wait_until 5 resolved_foreign >/dev/null || fail "h2 does not know Foreign Peer's address"
stop_pid "$publisher"
gone_ms=$(wait_until 3 lacks two "Foreign Peer") || fail "Foreign Peer still listed 3 s after its publisher quit"
echo "foreign peer: appeared after ${appear_ms} ms, gone ${gone_ms} ms after its publisher quit"

echo "== our instance is advertised with its name and port, hangs up at once, hides only from itself, goes when stopped"
peers one h1 "Desk One"
own_appear_ms=$(wait_until 5 lists two "Desk One") || fail "h2 does not list Desk One"
# avahi-browse escapes the name's space as \032; fields 8 and 9 are the address and port.
resolved_one() {
    ENTRY=$(lab exec h3 avahi-browse -rpt _hollerhopper._tcp 2>/dev/null | grep -m1 '^=;[^;]*;IPv4;Desk\\032One;' || true)
    [ -n "$ENTRY" ]
}
wait_until 5 resolved_one >/dev/null || fail "avahi-browse in h3 does not resolve Desk One"
IFS=';' read -r _ _ _ _ _ _ _ address port _ <<< "$ENTRY"
[ "$address" = "$(lab addr h1)" ] || fail "Desk One resolves to $address"
[[ $port =~ ^[1-9][0-9]*$ ]] || fail "Desk One has no port: $ENTRY"
# cat ends at end of file, with nothing read; timeout ends it if the connection stays open.
hangup=$(lab exec h3 bash -c "set -o pipefail; exec 3<>/dev/tcp/$address/$port && timeout 0.5 cat <&3 | wc -c") ||
    fail "the advertised port did not hang up at once"
[ "$hangup" = 0 ] || fail "the advertised port sent $hangup bytes"
! ever_listed one "Desk One" || fail "Desk One lists itself"
echo "our instance: listed by h2 after ${own_appear_ms} ms, resolved by avahi-browse as $ENTRY"

stop_pid "$one"
wait_until 3 lacks two "Desk One" >/dev/null || fail "Desk One still listed 3 s after it stopped"
stop_pid "$two"

echo "== the same name on two hosts: both advertise, neither lists itself"
peers twin1 h1 "Twin"
sleep 1.5
peers twin2 h2 "Twin"
# Each lists one name, the other's: so both advertise (one renamed), and a twin
# that ever listed the name the other one lists would have listed itself.
one_each() { [[ $(last_names twin1) == Twin* && $(last_names twin2) == Twin* ]]; }
wait_until 8 one_each >/dev/null || fail "the twins do not list each other"
sleep 1  # anything that would list itself has come by now
l1=$(last_names twin1)
l2=$(last_names twin2)
[[ $l1 != *"|"* && $l2 != *"|"* && $l1 != "$l2" ]] || fail "twins list '$l1' and '$l2'"
! ever_listed twin1 "$l2" && ! ever_listed twin2 "$l1" || fail "a twin listed itself"
echo "twins: h1 lists '$l1', h2 lists '$l2'"
stop_pid "$twin1"
stop_pid "$twin2"

echo "== avahi-daemon starting late and restarting"
lab avahi down h1
peers late h1 "Late Desk"
peers watcher h2 "Watcher"
sleep 2
lab avahi up h1
late_ms=$(wait_until 5 lists watcher "Late Desk") || fail "Late Desk not advertised 5 s after the daemon came"
wait_until 5 lists late "Watcher" >/dev/null || fail "Late Desk does not browse 5 s after the daemon came"
echo "daemon started late: advertised ${late_ms} ms after the daemon was up"
# The log says once that discovery waits and once that it resumed, whatever the
# client tried in between.
count_log() { grep -c "$1" "$tmp/late.out" || true; }
[ "$(count_log 'discovery: browsing for peers: waiting')" = 1 ] || fail "not one 'waiting' line in Late Desk's log"
[ "$(count_log 'discovery: browsing for peers: working again')" = 1 ] || fail "not one 'working again' line in Late Desk's log"

# The daemon withdraws everything as it stops, so the watcher sees Late Desk go
# and come back; a new peer shows that browsing resumed too.
lines=$(wc -l < "$tmp/watcher.out")
lab avahi restart h1
gone_and_back() {
    tail -n +$((lines + 1)) "$tmp/watcher.out" |
        awk '/^\{"event":"peers"/ { if (!/"Late Desk"/) gone = 1; else if (gone) back = 1 } END { exit !back }'
}
back_ms=$(wait_until 5 gone_and_back) || fail "Late Desk not advertised again 5 s after the daemon restarted"
run_bg after h3 avahi-publish -s "After Restart" _hollerhopper._tcp 4343
browse_ms=$(wait_until 5 lists late "After Restart") || fail "Late Desk does not browse after the daemon restarted"
echo "daemon restarted: advertised again after ${back_ms} ms, a new peer listed after ${browse_ms} ms"

echo "discovery_lab: passed"

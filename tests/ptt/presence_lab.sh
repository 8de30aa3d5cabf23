#!/usr/bin/env bash
# Presence and path health between three lab hosts: a firewall in h2 that drops
# UDP 54321 but lets mDNS through, a host that dies without withdrawing its
# DNS-SD record, and no DNS-SD daemon at all. Read from the CLI's peers and
# inbound events. Never on the machine's own network. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhpr "$1"
py=/usr/bin/python3
run="/run/hollerhopper-lab/$HH_LAB"

# holds.py LOG EXPR: exit 0 when EXPR holds for the last events in LOG.
# EXPR sees peers (name -> {"heard", "responding", "source"}) and blocked.
cat > "$tmp/holds.py" <<'PY'
import json, sys
peers, blocked = {}, False
for line in open(sys.argv[1], errors="replace"):
    if not line.startswith("{"):
        continue
    try:
        e = json.loads(line)
    except ValueError:
        continue
    if e.get("event") == "peers":
        peers = {p["name"]: p for p in e["peers"]}
    elif e.get("event") == "inbound":
        blocked = e["blocked"]
def heard(n): return n in peers and peers[n]["heard"]
def responding(n): return n in peers and peers[n]["responding"]
sys.exit(0 if eval(sys.argv[2]) else 1)
PY

# mark: the moment the next measurements count from (the change they watch).
mark() { t0=${EPOCHREALTIME/./}; }

# within SECONDS LOG EXPR: waits until EXPR holds, at most SECONDS after the
# mark; prints the seconds since the mark, or "timeout".
within() {
    local elapsed
    while :; do
        elapsed=$(( ${EPOCHREALTIME/./} - t0 ))  # microseconds
        if $py "$tmp/holds.py" "$2" "$3"; then
            printf '%d.%d\n' $(( elapsed / 1000000 )) $(( elapsed / 100000 % 10 ))
            return 0
        fi
        (( elapsed > $1 * 1000000 )) && { echo timeout; return 0; }
        sleep 0.25
    done
}

# measure DESCRIPTION LIMIT LOG EXPR: one check, with the time it took.
measure() {
    local took
    took=$(within "$2" "$3" "$4")
    if [ "$took" = timeout ]; then
        check "$1 within $2 s" "<= $2 s" "more"
    else
        check "$1 within $2 s (took $took s)" ok ok
    fi
}

names=([1]="Host One" [2]="Host Two" [3]="Host Three")
listener() {  # listener hK [extra args]: the intercom in hK, printing its events
    local h=$1
    shift
    lab_background lab exec "$h" "$cli" listen --audio none --name "${names[${h#h}]}" "$@"
}

# The pid of the CLI running in host hK, found in its namespace.
cli_pid() {
    local p
    for p in $(ip netns pids "$HH_LAB-$1"); do
        [ "$(cat /proc/$p/comm 2>/dev/null)" = hollerhopper-cl ] && echo "$p"
    done
}

nft_h2() { lab exec h2 nft "$@"; }

echo "== three hosts with avahi: everyone listed and heard"
lab up 3 --avahi
mark
for k in 1 2 3; do listener h$k >"$tmp/h$k.log" 2>&1; done
for k in 1 2 3; do
    others=$(for j in 1 2 3; do [ $j = $k ] || printf '"%s",' "${names[$j]}"; done)
    measure "h$k lists and hears the others" 30 "$tmp/h$k.log" \
        "all(heard(n) and peers[n]['source'] == 'dns-sd' for n in [$others]) and not blocked"
done
# Past the grace period: from here on silence counts.
sleep 12

echo "== h2 drops incoming UDP 54321 (mDNS still allowed)"
nft_h2 add table inet hhfw
nft_h2 add chain inet hhfw input '{ type filter hook input priority 0; policy accept; }'
nft_h2 add rule inet hhfw input udp dport 54321 drop
mark
measure "h2 reports its inbound path blocked" 20 "$tmp/h2.log" "blocked"
measure "h2 shows h1 as not heard, still listed" 20 "$tmp/h2.log" "'Host One' in peers and not heard('Host One')"
# h2's own packets still leave: h1 does hear h2, and says so.
check "h1 still hears h2 (its packets still reach h1)" 0 \
    "$($py "$tmp/holds.py" "$tmp/h1.log" "heard('Host Two')"; echo $?)"

echo "== h2 drops outgoing UDP 54321 as well"
nft_h2 add chain inet hhfw output '{ type filter hook output priority 0; policy accept; }'
nft_h2 add rule inet hhfw output udp dport 54321 drop
mark
measure "h1 shows h2 as not heard, still listed" 20 "$tmp/h1.log" "'Host Two' in peers and not heard('Host Two')"

echo "== the rules go"
nft_h2 delete table inet hhfw
mark
measure "h2's inbound path is back" 10 "$tmp/h2.log" "not blocked"
measure "h1 hears h2 again" 10 "$tmp/h1.log" "heard('Host Two')"
measure "h2 hears h1 again" 10 "$tmp/h2.log" "heard('Host One')"

echo "== h3's program and avahi-daemon die (SIGKILL): its record stays cached"
pids=$(cli_pid h3)
[ -n "$pids" ] || { echo "FAIL: no CLI found in h3"; exit 1; }
kill -KILL $pids "$(cat "$run/h3.avahi.pid")"
mark
measure "h1 greys h3 out" 35 "$tmp/h1.log" "'Host Three' in peers and not responding('Host Three')"
check "h3 stays listed on h1" 0 "$($py "$tmp/holds.py" "$tmp/h1.log" "'Host Three' in peers"; echo $?)"
check "h1 still hears h2" 0 "$($py "$tmp/holds.py" "$tmp/h1.log" "heard('Host Two')"; echo $?)"

echo "== no avahi-daemon in any host: the beacons list the peers"
for k in 1 2; do kill -TERM $(cli_pid h$k) 2>/dev/null || true; done
for k in 1 2 3; do lab avahi down h$k; done
sleep 0.5
mark
listener h1 >"$tmp/b1.log" 2>&1
listener h2 --record "$tmp/rec" >"$tmp/b2.log" 2>&1
listener h3 >"$tmp/b3.log" 2>&1
for k in 1 2 3; do
    others=$(for j in 1 2 3; do [ $j = $k ] || printf '"%s",' "${names[$j]}"; done)
    measure "h$k lists the others from their beacons" 10 "$tmp/b$k.log" \
        "all(heard(n) and peers[n]['source'] == 'beacons' for n in [$others])"
done
# Audio flows without DNS-SD: a short tone from h1 is recorded in h2.
sox -r 16000 -n -c 1 -b 16 "$tmp/tone.wav" synth 0.5 sine 440 vol 0.27
status=0
lab exec h1 "$cli" say "$tmp/tone.wav" --name "Host One" >/dev/null 2>&1 || status=$?
check "say from h1 exits 0" 0 "$status"
for i in $(seq 1 20); do grep -q '"event":"recorded"' "$tmp/b2.log" && break; sleep 0.25; done
check "h2 recorded h1's talk, named" 1 "$(grep -c '"event":"recorded".*"name":"Host One"' "$tmp/b2.log" || true)"

lab_summary

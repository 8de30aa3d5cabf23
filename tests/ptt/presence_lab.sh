#!/usr/bin/env bash
# Presence, path health and the headless intercom between three lab hosts, read
# from the CLI's events: with avahi, a firewall in h2 that drops UDP 54321 but
# lets mDNS through while h3 dies without withdrawing its DNS-SD record; then
# with no DNS-SD daemon at all, h1 says a file that h2 and h3 record. Never on
# the machine's own network. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhpr "$1"
run="/run/hollerhopper-lab/$HH_LAB"

names=([1]="Host One" [2]="Host Two" [3]="Host Three")
# listener LOG hK [VAR=VALUE...]: the intercom in hK, recording what it hears,
# its events and log in LOG; its pid (netlab.sh and ip exec it) in pid[K].
pid=()
listener() {
    lab_background "$root/scripts/netlab.sh" exec "$2" env "${@:3}" "$cli" listen --audio none \
        --name "${names[${2#h}]}" --record "$tmp/rec-$2" >"$1" 2>&1
    pid[${2#h}]=$!
}
# all_listed LOGPREFIX SOURCE LIMIT: each host lists and hears the others from SOURCE.
all_listed() {
    local k j others
    for k in 1 2 3; do
        others=$(for j in 1 2 3; do [ $j = $k ] || printf '"%s",' "${names[$j]}"; done)
        measure "h$k lists and hears the others ($2)" "$t0" "$3" "$tmp/$1$k.log" \
            "all(heard(n) and peers[n]['source'] == '$2' for n in [$others]) and not blocked"
    done
}
nft_h2() { lab exec h2 nft "$@"; }

echo "== three hosts with avahi"
lab up 3 --avahi
t0=$(now)
for k in 1 2 3; do listener "$tmp/h$k.log" h$k; done
all_listed h dns-sd 30

echo "== h2 drops incoming UDP 54321 (mDNS still allowed); h3's program and avahi-daemon die (SIGKILL)"
nft_h2 add table inet hhfw
nft_h2 add chain inet hhfw input '{ type filter hook input priority 0; policy accept; }'
nft_h2 add rule inet hhfw input udp dport 54321 drop
kill -KILL "${pid[3]}" "$(cat "$run/h3.avahi.pid")"
t0=$(now)
measure "h2 reports its inbound path blocked" "$t0" 20 "$tmp/h2.log" "blocked"
measure "h2 shows h1 as not heard, still listed" "$t0" 20 "$tmp/h2.log" "'Host One' in peers and not heard('Host One')"
measure "h1 still hears h2: its packets still leave" "$t0" 0 "$tmp/h1.log" "heard('Host Two')"
echo "== h2 drops outgoing UDP 54321 as well"
nft_h2 add chain inet hhfw output '{ type filter hook output priority 0; policy accept; }'
nft_h2 add rule inet hhfw output udp dport 54321 drop
measure "h1 shows h2 as not heard, still listed" "$(now)" 20 "$tmp/h1.log" "'Host Two' in peers and not heard('Host Two')"
measure "h1 greys h3 out, still listed" "$t0" 35 "$tmp/h1.log" "'Host Three' in peers and not responding('Host Three')"
echo "== the rules go"
nft_h2 delete table inet hhfw
t0=$(now)
measure "h2's inbound path is back" "$t0" 10 "$tmp/h2.log" "not blocked"
measure "h1 hears h2 again" "$t0" 10 "$tmp/h1.log" "heard('Host Two')"
measure "h2 hears h1 again" "$t0" 10 "$tmp/h2.log" "heard('Host One')"

echo "== no avahi-daemon in any host: the beacons list the peers, and audio flows"
kill -TERM "${pid[1]}" "${pid[2]}" 2>/dev/null || true
for k in 1 2 3; do lab avahi down h$k; done
sleep 0.5
t0=$(now)
# h2 logs at debug level (packet detail, so the talk end of a cut spurt shows),
# h3 at the default (none of it).
listener "$tmp/b1.log" h1
listener "$tmp/b2.log" h2 HH_LOG=debug
listener "$tmp/b3.log" h3
all_listed b beacons 10

# A 1.31 s 16 kHz mono file, 65.5 frames (recorded, the last one is padded with
# 160 samples of silence): a sweep, so any lost, repeated or shifted frame shows.
sox -r 16000 -n -c 1 -b 16 "$tmp/speech.wav" synth 20960s sine 200:4000 vol 0.37
status=0
# Uncompressed, so the recording can equal the file sample for sample.
lab exec h1 "$cli" say "$tmp/speech.wav" --name "Hal <b>One</b>" --codec pcm || status=$?
check "say exits 0" 0 "$status"
for k in 2 3; do
    log=$tmp/b$k.log
    for _ in $(seq 20); do grep -q '"event":"recorded"' "$log" && break; sleep 0.25; done
    file=$(grep -o '"event":"recorded","file":"[^"]*"' "$log" | head -1 | sed 's/.*"file":"//; s/"$//')
    check "h$k recorded one spurt, named, of 66 frames" "1 1" \
        "$(grep -c '"event":"recorded"' "$log") $(grep -c '"event":"recorded".*"name":"Hal <b>One</b>","direct":false,"frames":66' "$log")"
    check "h$k's recording equals the file, padded to whole frames" 0 \
        "$(cmp -s <(sox "$file" -t raw -) <(sox "$tmp/speech.wav" -t raw - pad 0 160s); echo $?)"
    check "h$k saw the talker, cleared after the talk end" '{"event":"talker","name":"Hal <b>One</b>","direct":false}{"event":"talker","name":null}' \
        "$(grep '"event":"talker"' "$log" | tr -d '\n')"
done
check "HH_LOG=debug logs each packet" 1 "$(($(grep -c '^hollerhopper: debug net: received audio from' "$tmp/b2.log") >= 66))"
check "the default log has no packet detail" 0 "$(grep -c '^hollerhopper: debug' "$tmp/b3.log" || true)"

echo "== SIGTERM while saying still ends the spurt with its talk end"
ends=$(grep -c 'received talkEnd' "$tmp/b2.log" || true)
"$root/scripts/netlab.sh" exec h1 "$cli" say "$tmp/speech.wav" --name Cut &
sayPid=$!
sleep 1.2
kill -TERM $sayPid
status=0
wait $sayPid || status=$?
sleep 0.5
check "say exits 0 on SIGTERM, its talk end sent" "0 $((ends + 1))" "$status $(grep -c 'received talkEnd' "$tmp/b2.log")"

lab_summary

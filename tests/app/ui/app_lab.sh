#!/usr/bin/env bash
# The whole program in the network lab: the tray program in h1 (under its own
# Xvfb and D-Bus session, inside the host), read over AT-SPI by
# tray/program_reader.py, started before its sound server and later without a
# link, while h2 watches the wire; in h2 `hollerhopper-cli say` as "Hal Two", and names
# published through DNS-SD with no program behind them, so never heard: first
# Kitchen, then 39 more once the reader asks. In English collation, case and
# accents do not split the alphabet.
# $1: the build directory. HH_SCREENSHOT_DIR: where to save the screenshots.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/labkit.sh"
lab_begin hhapp "$1"
chmod 755 "$tmp"
sox -r 16000 -n -c 1 -b 16 "$tmp/speech.wav" synth 4 sine 440 vol 0.27
publish() { for n in "$@"; do lab_background lab exec h2 avahi-publish -s "$n" _hollerhopper._tcp 9 >/dev/null 2>&1; done; }
more=(apple Émile emma Zoë)
expected="apple"
for i in $(seq -w 1 35); do more+=("Desk $i"); expected+="|Desk $i"; done
expected+="|Émile|emma|Kitchen|Zoë"

# The program's sound server, not started until the reader asks.
export HH_AUDIOLAB_DIR=/run/hollerhopper-audiolab/$HH_LAB
eval "$("$root/scripts/audiolab.sh" env)"
lab up 2 --avahi
publish Kitchen
lab_background lab exec h2 "$cli" monitor >"$tmp/wire.log" 2>/dev/null
lab_background lab exec h1 env LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 "$here/tray/with_display.sh" /usr/bin/python3 \
    "$here/tray/program_reader.py" "$build/app/hollerhopper" "$tmp" "Hal Two" Kitchen "$expected"
reader=$!
# wait_file FILE: until the reader writes FILE (false if it ends first).
wait_file() {
    for _ in $(seq 900); do [ -e "$1" ] && return 0; kill -0 "$reader" 2>/dev/null || return 1; sleep 0.1; done
    return 1
}
! wait_file "$tmp/want-audio-up" || { "$root/scripts/audiolab.sh" up >/dev/null; touch "$tmp/audio-up"; }
! wait_file "$tmp/want-link-down" || { lab link h1 down; touch "$tmp/link-down"; }
! wait_file "$tmp/want-link-up" || { lab link h1 up; touch "$tmp/link-up"; }
if wait_file "$tmp/ready"; then
    # Said twice, so the panel sees both the peer and the talker for a while.
    for _ in 1 2; do lab exec h2 "$cli" say "$tmp/speech.wav" --name "Hal Two"; done &
    lab_pids+=($!)
    ! wait_file "$tmp/publish-more" || publish "${more[@]}"
fi
status=0
wait $reader || status=$?
[ -z "${HH_SCREENSHOT_DIR:-}" ] || cp "$tmp"/panel-*.png "$HH_SCREENSHOT_DIR/" || true
check "the panel read as expected over AT-SPI" 0 "$status"
check "no talk start on the wire but Hal Two's (a press that failed sent none)" 0 \
    "$(grep '"type":"talkStart"' "$tmp/wire.log" | grep -vc '"name":"Hal Two"')"
lab_summary

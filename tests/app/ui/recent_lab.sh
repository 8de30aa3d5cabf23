#!/usr/bin/env bash
# Recent messages and Reply on the real tray program: three lab hosts with
# avahi; in h2 the tray program ("Reply Desk", reply key F8 from its settings
# file) under its own display, read over AT-SPI by tray/program_reader.py
# --recent, its speaker the audio lab's "spk", recorded while it plays a
# message again; in h1 `hollerhopper-cli listen` as "Hop One" (recording what
# it hears) and the spurts it asks for; in h3 a monitor of the wire.
# $1: the build directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/labkit.sh"
lab_begin hhrecent "$1"
chmod 755 "$tmp"
sox -r 16000 -n -c 1 -b 16 "$tmp/direct.wav" synth 2.5 sine 440 vol 0.3
sox -r 16000 -n -c 1 -b 16 "$tmp/muted.wav" synth 1 sine 880 vol 0.3
sox -r 16000 -n -c 1 -b 16 "$tmp/ask.wav" synth 0.5 sine 440 vol 0.3
mkdir -p "$tmp/config/hollerhopper"
printf '[identity]\nname=Reply Desk\n[pushToTalk]\nreplyKey=F8\n' >"$tmp/config/hollerhopper/hollerhopper.conf"

eval "$("$root/scripts/audiolab.sh" up)"
lab up 3 --avahi
# The speaker from the start: only Play may put the 880 Hz second on it.
lab_background parecord --device=spk.monitor --file-format=wav "$tmp/speaker.wav"
recorder=$!
lab_background lab exec h1 "$cli" listen --audio none --name "Hop One" --record "$tmp/rec-h1" >"$tmp/h1.log" 2>&1
lab_background lab exec h3 "$cli" monitor >"$tmp/wire.log" 2>/dev/null
lab_background lab exec h2 env HH_TEST_CONFIG_HOME="$tmp/config" LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 \
    "$here/tray/with_display.sh" /usr/bin/python3 "$here/tray/program_reader.py" --recent \
    "$build/app/hollerhopper" "$tmp" "Hop One" F8
reader=$!
# wait_file FILE: until the reader writes FILE (false if it ends first).
wait_file() {
    for _ in $(seq 900); do [ -e "$1" ] && return 0; kill -0 "$reader" 2>/dev/null || return 1; sleep 0.1; done
    return 1
}
say_h1() { lab exec h1 "$cli" say "$@" --name "Hop One" >/dev/null; }
talk_packets() { grep -c '"type":"\(talkStart\|audio\|talkEnd\)"' "$tmp/wire.log" || true; }

if wait_file "$tmp/want-direct"; then
    lab_background say_h1 "$tmp/direct.wav" --to "Reply Desk"
    touch "$tmp/direct"
fi
! wait_file "$tmp/want-muted" || { say_h1 "$tmp/muted.wav"; touch "$tmp/muted"; }
before=0 after=0
if wait_file "$tmp/want-recording"; then
    before=$(talk_packets)
    touch "$tmp/recording"
    wait_file "$tmp/want-recorded" || true
    after=$(talk_packets)
fi
kill -INT "$recorder"
wait "$recorder" || true
sox "$tmp/speaker.wav" "$tmp/band.wav" remix 1 sinc 820-940
played=$(tone_ms "$tmp/band.wav")
touch "$tmp/recorded"
! wait_file "$tmp/want-reply" || { say_h1 "$tmp/ask.wav" --to "Reply Desk"; touch "$tmp/reply"; }
if wait_file "$tmp/want-replied"; then
    for _ in $(seq 40); do grep -qs '"event":"recorded".*"name":"Reply Desk"' "$tmp/h1.log" && break; sleep 0.25; done
    touch "$tmp/replied"
fi
status=0
wait $reader || status=$?
check "the program read as expected over AT-SPI and D-Bus" 0 "$status"
check "Play, and only Play, put the 880 Hz second on the speaker (${played} ms in band)" yes \
    "$([ "$played" -ge 700 ] && [ "$played" -le 1400 ] && echo yes)"
check "and no talk packet went out meanwhile" "$before" "$after"
check "the reply key: h1 recorded Reply Desk's spurt, to it alone" 1 \
    "$(grep -c '"event":"recorded".*"name":"Reply Desk","direct":true' "$tmp/h1.log" || true)"
lab_summary

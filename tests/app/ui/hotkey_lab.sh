#!/usr/bin/env bash
# The global push-to-talk key end to end: in lab host h1, under a display of
# its own, the tray program (key Pause, name "Key Desk" from its settings file)
# held with xdotool while another window has the focus, then under Wayland
# through a stand-in desktop portal ("Portal Desk"), then
# `hollerhopper-cli talk --key F9` held on a display that goes away mid-hold;
# `hollerhopper-cli monitor` in h2 must see, per hold, one talk start, audio
# frames and one talk end, also for the 2 s hold with auto-repeat on.
# $1: the build directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/labkit.sh"
lab_begin hhkey "$1"
eval "$("$root/scripts/audiolab.sh" up)"
lab up 2
chmod 755 "$tmp"
mkdir -p "$tmp/config/hollerhopper"
printf '[identity]\nname=Key Desk\n' >"$tmp/config/hollerhopper/hollerhopper.conf"

lab_background lab exec h2 "$cli" monitor >"$tmp/monitor.log" 2>&1
sleep 1
lab exec h1 env HH_TEST_CONFIG_HOME="$tmp/config" "$here/tray/with_display.sh" /usr/bin/python3 \
    "$here/tray/hotkey_lab_driver.py" "$build/app/hollerhopper" "$tmp/ready" || failures=$((failures + 1))

# A display that goes away while F9 is held: the hold ends at once, and says why.
lab exec h1 "$here/tray/with_display.sh" bash -c '
    "$0" talk --key F9 --name "Key Lost" >"$1" &
    for _ in $(seq 200); do grep -q "\"grabbed\"" "$1" && break; sleep 0.1; done
    sleep 1; xdotool keydown F9; sleep 1
    kill "$HH_XVFB_PID"; lost=$(date +%s%N)
    wait $!; echo "$? $(( ($(date +%s%N) - lost) / 1000000 ))"' "$cli" "$tmp/lost.log" >"$tmp/lost.out"
read -r code ms <"$tmp/lost.out"
check "the lost display is reported (exit 1, connectionLost)" "1 1" "$code $(grep -c '"connectionLost"' "$tmp/lost.log")"
check "and the hold ends within 5 s (${ms} ms)" "1 yes" "$(grep -c '"up"' "$tmp/lost.log") $([ "$ms" -lt 5000 ] && echo yes)"
sleep 1

# Per talker name: talk starts, audio frames and talk ends seen by the monitor.
counts() {
    /usr/bin/python3 - "$tmp/monitor.log" "$1" <<'PY'
import json, sys
names, starts, frames, ends = {}, 0, 0, 0
for line in open(sys.argv[1]):
    try:
        e = json.loads(line)
    except ValueError:
        continue
    if e.get("event") != "packet":
        continue
    if e["type"] == "talkStart":
        names[e["sender"]] = e.get("name")
    if names.get(e["sender"]) != sys.argv[2]:
        continue
    starts += e["type"] == "talkStart"
    frames += e["type"] == "audio"
    ends += e["type"] == "talkEnd"
print(starts, "many" if frames >= 40 * starts and frames > 0 else frames, ends)
PY
}
check "the tray program's two holds (1 s, 2 s with auto-repeat): two starts, audio, two ends" "2 many 2" "$(counts "Key Desk")"
check "a hold whose display went away: one start, audio, one end" "1 many 1" "$(counts "Key Lost")"
check "the portal's Activated and Deactivated, each sent twice: one start, audio, one end" "1 many 1" "$(counts "Portal Desk")"
lab_summary

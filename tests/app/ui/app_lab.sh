#!/usr/bin/env bash
# The whole program in the network lab: the tray program in h1 (under its own
# Xvfb and D-Bus session, inside the host) and `hollerhopper-cli say` in h2.
# h1's panel must list h2 and show "<name> is talking…" while h2 talks.
# $1: the build directory. HH_SCREENSHOT_DIR: where to save the screenshot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/labkit.sh"
lab_begin hhapp "$1"
chmod 755 "$tmp"
sox -r 16000 -n -c 1 -b 16 "$tmp/speech.wav" synth 4 sine 440 vol 0.27

lab up 2 --avahi
lab_background lab exec h1 "$here/tray/with_display.sh" /usr/bin/python3 "$here/tray/program_reader.py" \
    "$build/app/hollerhopper" "$tmp/ready" "Hal Two" "$tmp/panel-lab.png"
reader=$!
for _ in $(seq 300); do [ -e "$tmp/ready" ] && break; sleep 0.1; done
[ -e "$tmp/ready" ] || { echo "FAIL the program did not open its panel"; exit 1; }
# Say it twice, so the panel sees both the peer and the talker for a while.
for _ in 1 2; do lab exec h2 "$cli" say "$tmp/speech.wav" --name "Hal Two"; done &
lab_pids+=($!)
status=0
wait $reader || status=$?
[ -z "${HH_SCREENSHOT_DIR:-}" ] || [ ! -e "$tmp/panel-lab.png" ] || cp "$tmp/panel-lab.png" "$HH_SCREENSHOT_DIR/"
exit $status

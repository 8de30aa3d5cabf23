#!/usr/bin/env bash
# The tray program in lab host h1 with 40 peers published through DNS-SD from
# h2: the panel fits on the 1280x800 screen, every row (the last one too) is in
# the accessibility tree, in the user's collation order.
# $1: the build directory. HH_SCREENSHOT_DIR: where to save the screenshot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/labkit.sh"
lab_begin hhapm "$1"
chmod 755 "$tmp"

names=()
for i in $(seq 1 36); do names+=("Desk $(printf %02d "$i")"); done
names+=("apple" "Émile" "emma" "Zoë")
# In English collation: case and accents do not split the alphabet.
expected="apple"
for i in $(seq 1 36); do expected+="|Desk $(printf %02d "$i")"; done
expected+="|Émile|emma|Zoë"

lab up 2 --avahi
for n in "${names[@]}"; do
    lab_background lab exec h2 avahi-publish -s "$n" _hollerhopper._tcp 9 >/dev/null 2>&1
done
status=0
lab exec h1 env LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 "$here/tray/with_display.sh" /usr/bin/python3 \
    "$here/tray/program_reader.py" "$build/app/hollerhopper" "$tmp/ready" "$expected" "$tmp/panel-many.png" many \
    || status=$?
[ -z "${HH_SCREENSHOT_DIR:-}" ] || [ ! -e "$tmp/panel-many.png" ] || cp "$tmp/panel-many.png" "$HH_SCREENSHOT_DIR/"
check "the panel lists 40 peers, fits and reaches the last row" 0 "$status"
lab_summary

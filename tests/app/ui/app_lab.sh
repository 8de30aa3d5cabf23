#!/usr/bin/env bash
# The whole program in the network lab: the tray program in h1 (under its own
# Xvfb and D-Bus session, inside the host) and `hollerhopper-cli say` in h2.
# h1's panel must list h2 and show "<name> is talking…" while h2 talks.
# $1: the build directory. HH_SCREENSHOT_DIR: where to save the screenshot.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
export HH_LAB=hhapp$$
lab() { "$root/scripts/netlab.sh" "$@"; }
tmp=$(mktemp -d)
chmod 755 "$tmp"
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; lab down >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT

# Four seconds of sound to say.
/usr/bin/python3 - "$tmp/speech.wav" <<'PY'
import math, struct, sys, wave
w = wave.open(sys.argv[1], "wb"); w.setnchannels(1); w.setsampwidth(2); w.setframerate(16000)
w.writeframes(b"".join(struct.pack("<h", int(9000 * math.sin(2 * math.pi * 440 * i / 16000))) for i in range(64000)))
w.close()
PY

lab up 2 --avahi
lab exec h1 "$here/tray/with_display.sh" /usr/bin/python3 "$here/tray/program_reader.py" \
    "$build/app/hollerhopper" "$tmp/ready" "Hal Two" "$tmp/panel-lab.png" &
reader=$!
for _ in $(seq 300); do [ -e "$tmp/ready" ] && break; sleep 0.1; done
[ -e "$tmp/ready" ] || { echo "FAIL the program did not open its panel"; exit 1; }
# Say it twice, so the panel sees both the peer and the talker for a while.
for _ in 1 2; do lab exec h2 "$build/tools/hollerhopper-cli" say "$tmp/speech.wav" --name "Hal Two"; done &
status=0
wait $reader || status=$?
if [ -n "${HH_SCREENSHOT_DIR:-}" ] && [ -e "$tmp/panel-lab.png" ]; then
    cp "$tmp/panel-lab.png" "$HH_SCREENSHOT_DIR/panel-lab.png"
fi
exit $status

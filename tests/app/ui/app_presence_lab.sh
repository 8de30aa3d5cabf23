#!/usr/bin/env bash
# The tray program in lab host h1 lists h2, found through DNS-SD, whose packets
# a firewall in h2 drops on the way out: the panel must show h2 as "can't be
# heard from here" with the hint under the list (read over AT-SPI).
# $1: the build directory. HH_SCREENSHOT_DIR: where to save the screenshot.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../../scripts/labkit.sh"
lab_begin hhapn "$1"
chmod 755 "$tmp"

lab up 2 --avahi
lab exec h2 nft add table inet hhfw
lab exec h2 nft add chain inet hhfw output '{ type filter hook output priority 0; policy accept; }'
lab exec h2 nft add rule inet hhfw output udp dport 54321 drop
lab_background lab exec h2 "$cli" peers --name "Hal Two" >/dev/null 2>&1
status=0
lab exec h1 "$here/tray/with_display.sh" /usr/bin/python3 "$here/tray/program_reader.py" \
    "$build/app/hollerhopper" "$tmp/ready" "Hal Two" "$tmp/panel-not-heard.png" not-heard || status=$?
[ -z "${HH_SCREENSHOT_DIR:-}" ] || [ ! -e "$tmp/panel-not-heard.png" ] || cp "$tmp/panel-not-heard.png" "$HH_SCREENSHOT_DIR/"
check "the panel shows the peer it cannot hear" 0 "$status"
lab_summary

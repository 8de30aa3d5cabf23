#!/usr/bin/env bash
# Datagrams per second one transport receives, inside a lab host. $1: build dir.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
export HH_LAB=hhbt$$
trap '"$root/scripts/netlab.sh" down >/dev/null 2>&1 || true' EXIT
"$root/scripts/netlab.sh" up 1
"$root/scripts/netlab.sh" exec h1 "$build/bench/transport_receive" 300000

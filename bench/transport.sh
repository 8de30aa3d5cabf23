#!/usr/bin/env bash
# Datagrams per second one transport receives, inside a lab host. $1: build dir.
set -euo pipefail
source "$(dirname "$0")/../scripts/labkit.sh"
lab_begin hhbt "$1"
lab up 1
lab exec h1 "$build/bench/transport_receive" 300000
lab exec h1 "$build/bench/transport_receive" 300000 private

#!/usr/bin/env bash
# The audio engine against a real (headless) sound server: the audio lab.
set -euo pipefail
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
export HH_LAB="hhaudiotest$$"
trap '"$root/scripts/audiolab.sh" down' EXIT
eval "$("$root/scripts/audiolab.sh" up)"
"$build/tests/audio/audio_lab_gtest"

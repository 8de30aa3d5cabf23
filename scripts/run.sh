#!/usr/bin/env bash
# Sets up and runs Hollerhopper: installs what is missing (Debian packages),
# builds, and starts the program. Arguments go to the program.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$HH_ROOT"

hh_ensure_packages $(hh_required_packages run)
hh_build build/run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHH_BUILD_TESTS=OFF -DHH_BUILD_BENCH=OFF

exec build/run/tools/hollerhopper-cli "${@:-monitor}"

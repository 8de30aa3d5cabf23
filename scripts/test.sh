#!/usr/bin/env bash
# Sets up and runs every test: installs what is missing (Debian packages), builds,
# runs the unit and lab tests, the sanitizer builds, the fuzzer and the benchmarks.
#   HH_FUZZ_SECONDS   how long each fuzzer runs (default 60)
#   HH_QUICK=1        only the main build's tests (for a quick local check)
#   HH_SOUND_SERVERS  the sound servers for the audio tests: "pulseaudio",
#                     "pipewire" or both (default: the kind this machine uses; both
#                     where none is in use, as on CI; see hh_sound_servers)
# The lab tests run on the first server; the audio-labelled ones again on the second.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$HH_ROOT"

servers=$(hh_sound_servers)
hh_ensure_packages $(hh_required_packages) $(hh_sound_server_packages $servers)
export HH_SOUND_SERVERS="$servers"
read -r first others <<<"$servers"

jobs=$(nproc)
status=0
step() { hh_log "$*"; }

step "build (RelWithDebInfo)"
hh_build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHH_BUILD_FUZZ=OFF -DHH_BUILD_APP=ON

step "unit tests"
ctest --test-dir build/test -L unit -j "$jobs" --output-on-failure || status=1

step "lab tests (network namespaces, real daemons; sound server: $first)"
HH_SOUND_SERVER=$first ctest --test-dir build/test -L lab --output-on-failure || status=1

for server in $others; do
    step "audio lab tests on $server"
    HH_SOUND_SERVER=$server ctest --test-dir build/test -L audio --output-on-failure || status=1
done

if [ "${HH_QUICK:-0}" != 1 ]; then
    step "AddressSanitizer + UndefinedBehaviorSanitizer"
    hh_build build/asan -DCMAKE_BUILD_TYPE=Debug -DHH_SANITIZE=address,undefined \
        -DHH_BUILD_BENCH=OFF -DHH_BUILD_TOOLS=OFF -DHH_BUILD_APP=ON
    ctest --test-dir build/asan -L unit -j "$jobs" --output-on-failure || status=1

    step "ThreadSanitizer (concurrent parts)"
    hh_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHH_SANITIZE=thread \
        -DHH_BUILD_BENCH=OFF -DHH_BUILD_TOOLS=OFF
    # TSan needs the classic address-space layout on kernels with high mmap entropy.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        setarch "$(uname -m)" -R ctest --test-dir build/tsan -L concurrent --output-on-failure || status=1

    step "fuzzing"
    CC=clang CXX=clang++ hh_build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHH_BUILD_FUZZ=ON \
        -DHH_BUILD_TESTS=OFF -DHH_BUILD_BENCH=OFF -DHH_BUILD_TOOLS=OFF
    "$HH_ROOT/scripts/fuzz.sh" build/fuzz "${HH_FUZZ_SECONDS:-60}" || status=1

    step "benchmarks"
    "$HH_ROOT/scripts/bench.sh" build/test || status=1
fi

if [ $status -ne 0 ]; then
    hh_log "FAILED"
else
    hh_log "all tests passed"
fi
exit $status

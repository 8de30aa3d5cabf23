#!/usr/bin/env bash
# Builds the Debian package hollerhopper_<version>_<arch>.deb and prints its path.
#   scripts/package.sh            a Release build of its own in build/package,
#                                 with Debian's hardening flags (dpkg-buildflags)
#   scripts/package.sh BUILD_DIR  packages a tree already built (CI packages the
#                                 tree its tests ran on)
# Installs what it needs (Debian packages) first.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$HH_ROOT"

hh_ensure_packages $(hh_required_packages run) dpkg-dev file gzip

if [ $# -ge 1 ]; then
    build=$(cd "$1" && pwd)
    cmake --build "$build" >&2
else
    build="$HH_ROOT/build/package"
    # Debian's hardening and optimisation flags, as dpkg-buildpackage sets them.
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    hh_build "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DHH_BUILD_APP=ON \
        -DCMAKE_INSTALL_PREFIX=/usr
fi

out="$build/deb"
rm -rf "$out"
mkdir -p "$out"
# Files in the package belong to root whoever builds it.
(cd "$build" && cpack -G DEB -B "$out" >&2)
rm -rf "$out/_CPack_Packages"
deb=$(ls "$out"/hollerhopper_*.deb)
echo "$deb"

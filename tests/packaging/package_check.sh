#!/usr/bin/env bash
# The Debian package as a user and a packager meet it: builds it from BUILD_DIR
# (scripts/package.sh), checks it (lintian without errors, the AppStream and
# .desktop validators, every file in place), installs it with apt-get, runs
# both programs from /usr/bin, starts the installed tray program in a lab host
# under Xvfb until its status item registers, and removes it again.
# Needs root (it installs the package). $1: a built tree.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/labkit.sh"
source "$here/../../scripts/lib.sh"
lab_begin hhpkg "$1"
installed=""
cleanup() {
    [ -n "$installed" ] && dpkg -r hollerhopper >/dev/null 2>&1 || true
    lab_end
}
trap cleanup EXIT

deb=$("$root/scripts/package.sh" "$build")
check "the package is named hollerhopper_<version>_<arch>.deb" 1 \
    "$([[ $(basename "$deb") =~ ^hollerhopper_[0-9.]+_$(dpkg --print-architecture)\.deb$ ]] && echo 1 || echo 0)"

# lintian: errors fail; warnings are shown.
lintian --no-tag-display-limit "$deb" | tee "$tmp/lintian.txt" || true
check "lintian reports no errors" 0 "$(grep -c '^E:' "$tmp/lintian.txt" || true)"

dpkg-deb -x "$deb" "$tmp/root"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$tmp/files.txt"
for f in /usr/bin/hollerhopper /usr/bin/hollerhopper-cli /usr/share/applications/hollerhopper.desktop \
    /usr/share/icons/hicolor/scalable/apps/hollerhopper.svg \
    /usr/share/metainfo/org.hollerhopper.Hollerhopper.metainfo.xml \
    /usr/share/man/man1/hollerhopper.1.gz /usr/share/man/man1/hollerhopper-cli.1.gz \
    /usr/share/doc/hollerhopper/copyright /usr/share/doc/hollerhopper/changelog.gz; do
    check "the package has $f" 1 "$(grep -cx "$f" "$tmp/files.txt" || true)"
done
check "appstreamcli validates the metainfo" 0 \
    "$(appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/org.hollerhopper.Hollerhopper.metainfo.xml" >&2; echo $?)"
check "desktop-file-validate accepts the .desktop file" 0 \
    "$(desktop-file-validate "$tmp/root/usr/share/applications/hollerhopper.desktop" >&2; echo $?)"
check "Depends came from the binaries (shlibdeps)" 1 \
    "$(dpkg-deb -f "$deb" Depends | grep -c 'libqt6core6.*libstdc++6\|libstdc++6.*libqt6core6' || true)"
check "Recommends avahi-daemon and a sound server" "avahi-daemon, pulseaudio | pipewire-pulse" \
    "$(dpkg-deb -f "$deb" Recommends)"

# Install as a user would (dependencies from the archive; hh_ensure_packages
# never removes a package, starts no daemon and leaves the recommended
# daemons out, so the labs' own and the machine's sound server stay as they are).
cp "$deb" "$tmp/"
installed=1
hh_ensure_packages "$tmp/$(basename "$deb")"
check "hollerhopper --version" "hollerhopper $(dpkg-deb -f "$deb" Version)" "$(/usr/bin/hollerhopper --version)"
check "hollerhopper-cli --version" "hollerhopper-cli $(dpkg-deb -f "$deb" Version)" "$(/usr/bin/hollerhopper-cli --version)"

lab up 1 --avahi
check "the installed program runs in a lab host and hands a second launch over" 0 \
    "$(lab exec h1 "$root/tests/app/ui/tray/with_display.sh" /usr/bin/python3 \
        "$here/installed_tray.py" /usr/bin/hollerhopper >&2; echo $?)"

dpkg -r hollerhopper >&2
installed=""
check "the package is removed" 0 "$(dpkg-query -W -f='${Status}' hollerhopper 2>/dev/null | grep -c 'install ok installed' || true)"
lab_summary

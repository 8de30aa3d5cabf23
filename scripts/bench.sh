#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: bench.sh BUILD_DIR
# Benchmarks that need a lab (network namespaces, a sound server) set it up themselves.
# Those on the audio lab run once on each sound server of HH_SOUND_SERVERS
# (default: see hh_sound_servers in lib.sh), and their figures are then shown
# side by side.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
dir=$1
status=0
for b in "$dir"/bench/bench_*; do
    [ -x "$b" ] || continue
    hh_log "$(basename "$b")"
    "$b" --benchmark_min_time=0.2 || status=1
done

installed() {
    case "$1" in
    pulseaudio) command -v pulseaudio ;;
    pipewire) command -v pipewire-pulse && command -v wireplumber ;;
    esac >/dev/null
}
servers=()
for s in ${HH_SOUND_SERVERS:-$(hh_sound_servers)}; do
    if installed "$s"; then servers+=("$s"); else hh_log "$s is not installed: no benchmarks on it"; fi
done

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for s in "$HH_ROOT"/bench/*.sh; do
    [ -f "$s" ] || continue
    name=$(basename "$s" .sh)
    if grep -q 'audiolab.sh" up' "$s"; then
        for server in "${servers[@]}"; do
            hh_log "$name on $server"
            HH_SOUND_SERVER=$server bash "$s" "$dir" 2>&1 | tee "$out/$server.$name.txt" || status=1
        done
    else
        hh_log "$name"
        bash "$s" "$dir" || status=1
    fi
done

# "LABEL: 12.3 ms" and "LABEL: 0.12 % of a core (...), peak RSS 9.1 MB (...)"
# lines, one column per server.
if [ "${#servers[@]}" -gt 0 ] && compgen -G "$out/*.txt" >/dev/null; then
    hh_log "audio benchmarks by sound server"
    python3 - "$out" "${servers[@]}" <<'PY'
import glob, os, re, sys
out, servers = sys.argv[1], sys.argv[2:]
rows, figures = [], {}
for server in servers:
    for path in sorted(glob.glob(os.path.join(out, server + ".*.txt"))):
        for line in open(path, errors="replace"):
            m = re.match(r"(.*median of \d+ clicks): ([\d.]+ ms)", line) or \
                re.match(r"(.*?): ([\d.]+ %) of a core.*peak RSS ([\d.]+ MB)", line)
            if not m:
                continue
            label, value = m.group(1), ", ".join(m.groups()[1:])
            if label not in rows:
                rows.append(label)
            figures[(label, server)] = value
width = max(len(r) for r in rows) if rows else 10
print("%-*s  %s" % (width, "", "  ".join("%-18s" % s for s in servers)))
for r in rows:
    print("%-*s  %s" % (width, r, "  ".join("%-18s" % figures.get((r, s), "-") for s in servers)))
PY
fi
exit $status

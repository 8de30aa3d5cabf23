#!/usr/bin/env bash
# Audio that lives all day, against the audio lab's server with idle sinks
# suspending: what we play and capture keeps its frequency and level; the
# playback stream closes when quiet and the first spurt after that is heard
# whole; the server killed and started again under a listener (a compressed
# talker heard again mid-spurt) and under a press; default sink and source
# switched; the server stopped (SIGSTOP) during a press. Without a server listen says so once and talk fails at once; talk's
# events. h1 talks, h2 listens (recording each spurt) and h3 counts packets on
# the wire. $1: the build directory.
set -euo pipefail
source "$(dirname "$0")/../../scripts/labkit.sh"
lab_begin hhlive "$1"
export HH_AUDIOLAB_SUSPEND_IDLE=1 HH_AUDIOLAB_SINKS="spk3 micfeed2"
export HH_AUDIOLAB_DIR=/run/hollerhopper-audiolab/$HH_LAB
eval "$("$root/scripts/audiolab.sh" up)"
lab up 3

audiolab() { "$root/scripts/audiolab.sh" "$@"; }
# The sound server's processes (one for PulseAudio, three for PipeWire).
serverPids() { cat "$HH_AUDIOLAB_DIR/server.pid"; }
now() { date +%s.%N; }
# wait_for FILE PATTERN SECONDS [MINCOUNT]: until FILE has MINCOUNT lines matching PATTERN.
wait_for() {
    local i
    for i in $(seq $(($3 * 10))); do
        [ "$(grep -c -- "$2" "$1" 2>/dev/null || true)" -ge "${4:-1}" ] && return 0
        sleep 0.1
    done
    return 1
}
# heard SINK MS: plays a 440 Hz tone of MS ms from h1 and prints how much of it
# SINK's monitor heard; the recording is left in $tmp/heard.wav.
heard() {
    sox -n -r 16000 -c 1 -b 16 "$tmp/tone.wav" synth "$(awk -v m="$2" 'BEGIN {print m / 1000}')" sine 440 vol 0.5
    parecord --latency-msec=10 -d "$1.monitor" --file-format=wav "$tmp/heard.wav" &
    local recPid=$!
    sleep 0.7
    lab exec h1 "$cli" say "$tmp/tone.wav" --name mouth >/dev/null 2>&1
    sleep 1.5
    kill -TERM $recPid; wait $recPid 2>/dev/null || true
    tone_ms "$tmp/heard.wav"
}
# is_tone WAV FREQ: 1 when half a second of WAV, from 0.1 s into its sound, is a
# sine at FREQ (within 3 %) at half full scale (within 1 dB).
is_tone() {
    sox "$1" -n remix 1 silence 1 0.01 2% trim 0.1 0.5 stat 2>&1 | awk -v f="$2" '
        /RMS +amplitude/ {r = $3} /Rough +frequency/ {q = $3}
        END {printf "%s Hz, RMS %s\n", q, r > "/dev/stderr"; print (q > 0.97 * f && q < 1.03 * f && r > 0.315 && r < 0.397) ? 1 : 0}'
}
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {print s + 0}'; }
ours() { pactl list sink-inputs 2>/dev/null | grep -c 'Hollerhopper playback' || true; }

mkdir -p "$tmp/rec"
lab_background lab exec h3 "$cli" monitor > >(python3 -u -c '
import sys, time
for line in sys.stdin: print("%.3f %s" % (time.time(), line), end="", flush=True)' >"$tmp/wire.log")
lab_background lab exec h2 "$cli" listen --name ear --cues off --record "$tmp/rec" >"$tmp/listen.log" 2>"$tmp/listen.err"
wait_for "$tmp/listen.log" '"Ready"' 10 || echo "FAIL: listen not ready"
# The program itself, not the lab's wrappers that started it (started before it).
listenPid=$(pgrep -n -f -- "--record $tmp/rec")

echo "== idle: the stream closes, the sink suspends, the next spurt is heard whole"
heard spk 1000 >/dev/null
check "what we play is heard at its frequency and level" 1 "$(is_tone "$tmp/heard.wav" 440)"
sleep 5.5   # the quiet period (3 s), the close, and the sink's 1 s idle time
check "no playback stream of ours while idle" 0 "$(ours)"
check "the speaker sink suspended" SUSPENDED "$(pactl list sinks short | awk '$2 == "spk" {print $NF}')"
ms=$(heard spk 1000)
check "the first spurt after idle heard from its start (>= 950 of 1000 ms: $ms)" 1 "$((ms >= 950))"

echo "== the server killed and started again while listen runs"
audiolab stop --kill
wait_for "$tmp/listen.log" 'no sound server is running' 5 && r=1 || r=0
check "listen reports the audio error" 1 "$r"
# A program started while there is no server: its audio fails to start, and it says so.
r=0; lab exec h1 "$cli" listen --seconds 1 --name late >"$tmp/late.log" 2>&1 || r=$?
r="$r:$(grep -c '"state":"audio error: no sound server is running"' "$tmp/late.log" || true)"
r="$r:$(grep -c '^hollerhopper: .*no sound server is running' "$tmp/late.log" || true)"
check "listen started without a server runs and says so once (and logs it once)" 0:1:1 "$r"
start=$(now); r=0
lab exec h1 "$cli" talk --seconds 5 --name nosrv >/dev/null 2>"$tmp/nosrv.err" || r=$?
check "talk without a server exits 1 at once (< 2.5 s), saying why, sending no talk start" 1:1:1:0 "$r:$(awk -v s="$start" -v e="$(now)" \
    'BEGIN {print (e - s < 2.5)}'):$(grep -c 'cannot talk: audio error: no sound server' "$tmp/nosrv.err"):$(grep -c '"talkStart".*"nosrv"' "$tmp/wire.log")"
before=$(cpu_ns "$listenPid"); sleep 2; after=$(cpu_ns "$listenPid")
pct=$(awk -v b="$before" -v a="$after" 'BEGIN {printf "%.2f", (a - b) / 2e7}')
check "no busy loop while the server is away ($(cat /proc/"$listenPid"/comm): $pct % of a core < 1 %)" 1 "$(awk -v p="$pct" 'BEGIN {print (p < 1) ? 1 : 0}')"
onAir=$(grep -c '"Ready"' "$tmp/listen.log")
# A compressed talker already talking while the server is away: heard again
# once it is back, in the same spurt.
sox -n -r 16000 -c 1 -b 16 "$tmp/long.wav" synth 8 sine 440 vol 0.5
lab exec h1 "$cli" say "$tmp/long.wav" --name steady --codec opus >/dev/null 2>&1 & sayPid=$!
sleep 1.5
audiolab start
wait_for "$tmp/listen.log" '"Ready"' 3 $((onAir + 1)) && r=1 || r=0
check "listen says Ready again" 1 "$r"
sleep 0.5
parecord --latency-msec=10 -d spk.monitor --file-format=wav "$tmp/back.wav" & recPid=$!
sleep 2
kill -TERM $recPid; wait $recPid 2>/dev/null || true
ms=$(tone_ms "$tmp/back.wav")
check "a compressed talker mid-spurt is heard again after the restart ($ms of 2000 ms)" 1 "$((ms >= 1700))"
wait $sayPid || true
ms=$(heard spk 1000)
check "the next spurt is heard ($ms ms)" 1 "$((ms >= 900))"

echo "== the server killed and started again during a press"
sox -n -r 48000 -c 2 -b 16 "$tmp/mic.wav" synth 20 sine 660 vol 0.5
paplay -d micfeed "$tmp/mic.wav" & micPid=$!
start=$(now)
# Uncompressed: the frames on the wire are the microphone's as captured.
lab exec h1 "$cli" talk --seconds 10 --name presser --codec pcm >/dev/null 2>&1 & talkPid=$!
sleep 1.5
audiolab stop --kill
sleep 1.5
audiolab start
paplay -d micfeed "$tmp/mic.wav" & micPid=$!
restarted=$(now)
r=0; wait $talkPid || r=$?
kill -TERM $micPid 2>/dev/null || true
check "talk exits 0" 0 "$r"
sleep 0.5
# From the press on: the most audio packets within a second, the time from talk
# start to talk end, the audio packets after the restart and those not of 640 bytes.
awk -v start="$start" -v restarted="$restarted" -v first=0 '$1 + 0 >= start + 0 && /"event":"packet"/ {
    if (/"type":"audio"/) {
        t[n++] = $1 + 0; after += $1 + 0 > restarted + 0; odd += !/"payloadBytes":640[,}]/
        while (t[first] <= t[n - 1] - 1) first++
        if (n - first > peak) peak = n - first
    } else if (/"type":"talkStart"/ && !talkStart) talkStart = $1
    else if (/"type":"talkEnd"/ && !talkEnd) talkEnd = $1
} END {printf "%d %.2f %d %d\n", peak, talkEnd - talkStart, after, odd}' "$tmp/wire.log" >"$tmp/press.txt"
read -r peak length after odd <"$tmp/press.txt"
# 50 a second plus the burst of 10 is the sender's bound; the receiver's
# timestamps bunch by a few frames on a loaded machine.
check "at most 50 frames a second plus the burst on the wire (peak $peak)" 1 "$((peak <= 64))"
check "talk --seconds 10 lasts 10 s on the wire ($length s)" 1 "$(awk -v l="$length" 'BEGIN {print (l >= 9.9 && l <= 11) ? 1 : 0}')"
back=$(awk -v s="$start" -v r="$restarted" 'BEGIN {printf "%.1f", r - s}')
check "the microphone is sent again after the server came back at $back s ($after frames)" 1 "$((after >= 25))"
check "every audio packet carries one 640-byte frame" 0 "$odd"

echo "== the default source switched"
pactl load-module module-remap-source source_name=mic2 master=micfeed2.monitor >/dev/null
lab_background parecord --latency-msec=10 -d micfeed2.monitor --raw /dev/null
pactl set-default-source mic2
paplay -d micfeed2 "$tmp/mic.wav" & micPid=$!
sleep 1
spurts=$(ls "$tmp/rec" | wc -l)
lab exec h1 "$cli" talk --seconds 2 --noise-suppression off --name presser >"$tmp/talk.log" 2>&1
kill -TERM $micPid 2>/dev/null || true
# What talk tells a script: on air, the spurt sent with its frame count, the end.
sleep 0.3
onWire=$(grep '"type":"talkEnd"' "$tmp/wire.log" | tail -1 | grep -o '"frameIndex":[0-9]*')
check "talk prints on air, the spurt sent with its frame count as on the wire, and stopped last" "1:${onWire#*:}:stopped" \
    "$(grep -c '"talk","state":"on air"' "$tmp/talk.log"):$(grep -o '"sent","frames":[0-9]*' "$tmp/talk.log" | grep -o '[0-9]*$'):$(grep '^{' "$tmp/talk.log" | tail -1 | grep -o stopped)"
wait_for "$tmp/listen.log" '"recorded"' 5 $((spurts + 1)) || true
spurt=$(ls -t "$tmp"/rec/*.wav | head -1)
ms=$(tone_ms "$spurt")
# Nothing plays into the old source any more: any tone came from the new one
# (the first of a 2 s press may go to opening a source just made).
check "a press captures from the new default source ($ms ms)" 1 "$((ms >= 1000))"
check "what we capture arrives at its frequency and level" 1 "$(is_tone "$spurt" 660)"
pactl set-default-source mic

echo "== the default sink switched"
pactl set-default-sink spk3
ms=$(heard spk3 1000)
check "the next spurt is heard on the new default sink spk3 ($ms ms)" 1 "$((ms >= 900))"
pactl set-default-sink spk

echo "== the server stopped during a press"
talkers=$(grep -c '"talker","name":null' "$tmp/listen.log" || true)
start=$(now)
lab exec h1 "$cli" talk --seconds 3 --name presser >/dev/null 2>&1 & talkPid=$!
sleep 1
kill -STOP $(serverPids)
r=0; wait $talkPid || r=$?
took=$(awk -v s="$start" -v e="$(now)" 'BEGIN {printf "%.1f", e - s}')
check "talk ends on time with the server stopped ($took s)" 1 "$(awk -v t="$took" 'BEGIN {print (t < 6) ? 1 : 0}')"
wait_for "$tmp/listen.log" '"talker","name":null' 3 "$((talkers + 1))" && r=1 || r=0
check "the listener's talker timer still runs" 1 "$r"
kill -CONT $(serverPids)
sleep 1.5
ms=$(heard spk 1000)
check "after SIGCONT the next spurt is heard ($ms ms)" 1 "$((ms >= 900))"

lab_summary

#!/usr/bin/env python3
# Click delays in a recording of spk.monitor: each click played into "stim"
# arrives once directly and once through the path under test; prints the gaps
# and their median. Usage: click_delays.py REC.wav LABEL [CLICKS (10)]
import struct, sys, wave, statistics
label = sys.argv[2] if len(sys.argv) > 2 else "click"
clicks = int(sys.argv[3]) if len(sys.argv) > 3 else 10
w = wave.open(sys.argv[1])
rate, ch, n = w.getframerate(), w.getnchannels(), w.getnframes()
raw = w.readframes(n)
x = [abs(v) / 32768 for v in struct.unpack('<%dh' % (n * ch), raw)[::ch]]
# Low enough for a click through noise suppression, level control and the
# codec (0.03 to 0.3 of full scale by then), well above their quiet.
threshold = 0.02
onsets, quiet_until = [], 0
for i, v in enumerate(x):
    if v > threshold and i >= quiet_until:
        onsets.append(i)
        quiet_until = i + int(0.015 * rate)   # one onset per burst
    elif v > threshold:
        quiet_until = i + int(0.015 * rate)
delays, i = [], 0
while i + 1 < len(onsets):
    gap = (onsets[i + 1] - onsets[i]) / rate
    if 0.01 < gap < 0.5:                      # direct click, then ours
        delays.append(gap * 1000)
        i += 2
    else:
        i += 1
if len(delays) < clicks:
    print("%s: only %d of %d clicks came back (onsets %s)" % (label, len(delays), clicks, onsets))
    sys.exit(1)
print(label + " delays (ms): " + " ".join("%.1f" % d for d in delays[:clicks]))
print("%s delay, median of %d clicks: %.1f ms" % (label, clicks, statistics.median(delays[:clicks])))

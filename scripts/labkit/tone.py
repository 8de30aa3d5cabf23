#!/usr/bin/env python3
# tone.py REC.wav HZ: how long a tone is heard in a recording (10 ms steps within
# 12 dB of its top level; the last time, if it sounds more than once with half a
# second between) and the longest near-silence (1 ms steps) while it is:
# prints "SECONDS HOLE_MS".
import itertools, math, struct, subprocess, sys
hz = float(sys.argv[2])
raw = subprocess.run(["sox", sys.argv[1], "-t", "raw", "-r", "16000", "-c", "1", "-b", "16", "-e", "signed", "-"],
                     check=True, capture_output=True).stdout
x = struct.unpack("<%dh" % (len(raw) // 2), raw)
rate, step = 16000, 160
c = 2 * math.cos(2 * math.pi * hz / rate)
def level(s):
    s1 = s2 = 0.0
    for v in s:
        s1, s2 = v + c * s1 - s2, s1
    return 10 * math.log10((s1 * s1 + s2 * s2 - c * s1 * s2) / len(s) ** 2 + 1e-9)
lv = [level(x[i:i + step]) for i in range(0, len(x) - step, step)]
if not lv:
    print("0 0")
    sys.exit(0)
top = sorted(lv)[int(len(lv) * 0.97)]
on = [i for i, v in enumerate(lv) if v > top - 12] or [0]
starts = [i for k, i in enumerate(on) if k == 0 or i - on[k - 1] > 50]
a, b = starts[-1], on[-1] + 1
quiet = [max(map(abs, x[i:i + 16])) <= 300 for i in range(a * step, b * step - 16, 16)]
hole = max((len(list(run)) for q, run in itertools.groupby(quiet) if q), default=0)
print("%.2f %d" % ((b - a) / 100, hole))

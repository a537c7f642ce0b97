"""lines_series.py FOLDER [SLICES] [POINTS]: a synthetic series of six pseudo-Voigt lines on a
linear baseline for bench/lines_run.sh: 2d.txt (SLICES blocks of POINTS points between 0 and 2
ppm, every one inside the window 0 to 2), lines.txt (the six lines, their centres 0.004 ppm off
the truth, for --float) and peaks.txt (two of them and the window, for pairfit4 on the same
file). Deterministic: numpy's generator with a fixed seed."""
import math
import os
import sys

import numpy as np

folder = sys.argv[1]
slices = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
points = int(sys.argv[3]) if len(sys.argv) > 3 else 2048
os.makedirs(folder, exist_ok=True)
rng = np.random.default_rng(2026)
x = 2.0 - 2.0 * (np.arange(points) + 0.5) / points
lines = [  # ppm, half-width, height at slice 0, eta, rate of decay over the series
    (0.35, 0.012, 1.0, 0.3, 0.5), (0.52, 0.015, 0.8, 0.7, 1.0), (0.61, 0.010, 0.6, 0.5, 2.0),
    (1.05, 0.020, 0.9, 0.4, 0.3), (1.12, 0.012, 0.5, 0.6, 1.5), (1.60, 0.018, 0.7, 0.2, 0.8)]
ln2 = math.log(2.0)
with open(os.path.join(folder, "2d.txt"), "w") as out:
    for s in range(slices):
        t = s / max(slices - 1, 1)
        y = 0.05 + 0.02 * (x - 1.0) + rng.normal(0.0, 0.005, points)
        for ppm, width, height, eta, rate in lines:
            u2 = ((x - ppm) / width) ** 2
            y += height * math.exp(-rate * t) * (eta / (1 + u2) + (1 - eta) * np.exp(-ln2 * u2))
        out.write("".join("%.6f %.8f\n" % pair for pair in zip(x, y)))
        out.write("&\n")
with open(os.path.join(folder, "lines.txt"), "w") as out:
    for k, (ppm, width, _, _, _) in enumerate(lines):
        out.write("L%d %.4f %.4f pseudo-voigt\n" % (k + 1, ppm + (0.004 if k % 2 else -0.004),
                                                   width * 1.2))
with open(os.path.join(folder, "peaks.txt"), "w") as out:
    out.write("0.35 0.52\n2.0 0.0\n")

"""pairfit-lines against an independent solver: on synthetic series of known truth (each
shape, eta 0.3 and 0.7, one to six lines with two closer than one half-width, constant and
linear baselines, centres off by up to --float, lines of either sign), every slice's residual
sum is within 1e-6 relative of the best that SciPy's least_squares reaches on the same points,
in the same bounds, over all parameters at once (no projection) from several starts: the
truth, lines.txt's start, and the program's own result.

usage: check_against_scipy.py PAIRFIT_LINES
"""
import csv
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.optimize import least_squares

LN2 = math.log(2.0)


def unit_shape(shape, x, position, width, eta):
    u2 = ((x - position) / width) ** 2
    lorentz = 1.0 / (1.0 + u2)
    gauss = np.exp(-LN2 * u2)
    if shape == "lorentzian":
        return lorentz
    if shape == "gaussian":
        return gauss
    return eta * lorentz + (1.0 - eta) * gauss


class Model:
    """Every parameter of a slice in one vector: per line height, then (when fitted) width,
    position, eta; then the baseline coefficients."""

    def __init__(self, shapes, positions, widths, baseline, float_ppm, fit_widths, centre,
                 width_bounds, positive):
        self.shapes, self.baseline, self.centre = shapes, baseline, centre
        self.held_positions, self.held_widths = positions, widths
        self.float_ppm, self.fit_widths = float_ppm, fit_widths
        self.lower, self.upper = [], []
        self.slots = []
        for i, shape in enumerate(shapes):
            slot = {"height": self._add(0.0 if positive else -np.inf, np.inf)}
            if fit_widths:
                slot["width"] = self._add(*width_bounds)
            if float_ppm > 0:
                slot["position"] = self._add(positions[i] - float_ppm, positions[i] + float_ppm)
            if shape == "pseudo-voigt":
                slot["eta"] = self._add(0.0, 1.0)
            self.slots.append(slot)
        self.base = [self._add(-np.inf, np.inf) for _ in range({"none": 0, "constant": 1,
                                                               "linear": 2}[baseline])]

    def _add(self, low, high):
        self.lower.append(low)
        self.upper.append(high)
        return len(self.lower) - 1

    def values(self, p, i):
        slot = self.slots[i]
        return (p[slot["height"]],
                p[slot["width"]] if "width" in slot else self.held_widths[i],
                p[slot["position"]] if "position" in slot else self.held_positions[i],
                p[slot["eta"]] if "eta" in slot else 0.5)

    def __call__(self, p, x):
        y = np.zeros_like(x)
        for i, shape in enumerate(self.shapes):
            h, w, pos, eta = self.values(p, i)
            y += h * unit_shape(shape, x, pos, w, eta)
        for k, index in enumerate(self.base):
            y += p[index] * (x - self.centre) ** k
        return y

    def vector(self, heights, widths, positions, etas, base):
        p = np.zeros(len(self.lower))
        for i, slot in enumerate(self.slots):
            p[slot["height"]] = heights[i]
            if "width" in slot:
                p[slot["width"]] = widths[i]
            if "position" in slot:
                p[slot["position"]] = positions[i]
            if "eta" in slot:
                p[slot["eta"]] = etas[i]
        for k, index in enumerate(self.base):
            p[index] = base[k]
        low, high = np.array(self.lower), np.array(self.upper)
        span = np.where(np.isfinite(high - low), high - low, 1.0)
        return np.clip(p, low + 1e-9 * span, high - 1e-9 * span)


def best_scipy_rss(model, x, y, starts):
    best = math.inf
    for start in starts:
        fit = least_squares(lambda p: model(p, x) - y, start, bounds=(model.lower, model.upper),
                            method="trf", jac="3-point", x_scale="jac", ftol=1e-15, xtol=1e-15,
                            gtol=1e-15, max_nfev=20000)
        best = min(best, float(np.sum((model(fit.x, x) - y) ** 2)))
    return best


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


CASES = [
    # name, lines (shape, ppm, width, height, eta), baseline, float, options, truth offset
    ("one lorentzian", [("lorentzian", 0.5, 0.03, 1.0, 0)], "none", 0.0, [], 0.0),
    ("two close gaussians on a constant",
     [("gaussian", 0.40, 0.04, 1.0, 0), ("gaussian", 0.43, 0.05, 0.7, 0)], "constant", 0.0, [],
     0.0),
    ("pseudo-voigt eta 0.3 and 0.7, floating, linear",
     [("pseudo-voigt", 0.3, 0.03, 1.0, 0.3), ("pseudo-voigt", 0.6, 0.04, -0.8, 0.7),
      ("pseudo-voigt", 0.64, 0.02, 0.4, 0.5)], "linear", 0.01, [], 0.8),
    ("six lines of both signs and every shape",
     [("lorentzian", 0.15, 0.02, 1.0, 0), ("gaussian", 0.3, 0.03, -0.7, 0),
      ("pseudo-voigt", 0.45, 0.025, 0.9, 0.3), ("pseudo-voigt", 0.52, 0.03, 0.5, 0.7),
      ("lorentzian", 0.7, 0.02, -0.4, 0), ("gaussian", 0.85, 0.04, 0.6, 0)], "linear", 0.008, [],
     0.6),
    ("lines changing sign through the series",
     [("lorentzian", 0.35, 0.03, 1.0, 0), ("lorentzian", 0.55, 0.04, 0.8, 0)], "constant", 0.0,
     ["sign"], 0.0),
    ("positive heights with a weak line",
     [("lorentzian", 0.4, 0.03, 1.0, 0), ("gaussian", 0.6, 0.03, 0.15, 0)], "none", 0.0,
     ["--positive"], 0.0),
    ("held widths, floating centres",
     [("gaussian", 0.4, 0.03, 1.0, 0), ("pseudo-voigt", 0.6, 0.05, 0.5, 0.3)], "linear", 0.01,
     ["--widths", "fixed"], 0.5),
]


def run_case(program, name, lines, baseline, float_ppm, options, offset, seed):
    rng = np.random.default_rng(seed)
    slices, points = 4, 200
    x = 1.0 - (np.arange(points) + 0.5) / points
    folder = tempfile.mkdtemp(prefix="pairfit-lines-scipy-")
    blocks, truths = [], []
    for s in range(slices):
        factor = 1.0 - 2.0 * s / (slices - 1) if "sign" in options else 1.0 - 0.15 * s
        y = rng.normal(0.0, 0.01, points) + (0.05 if baseline != "none" else 0.0)
        if baseline == "linear":
            y += 0.1 * (x - 0.5)
        for k, (shape, ppm, width, height, eta) in enumerate(lines):
            shift = offset * float_ppm * (1 if k % 2 == 0 else -1)
            y += factor * height * unit_shape(shape, x, ppm + shift, width, eta)
        blocks.append("".join(f"{a!r} {b!r}\n" for a, b in zip(x, y)) + "&\n")
        truths.append(y)
    with open(os.path.join(folder, "2d.txt"), "w") as f:
        f.write("".join(blocks))
    with open(os.path.join(folder, "lines.txt"), "w") as f:
        for k, (shape, ppm, width, _, _) in enumerate(lines):
            f.write(f"L{k + 1} {ppm!r} {width * 1.2!r} {shape}\n")
    args = [program, "--window", "0", "1", "--baseline", baseline, "--float", repr(float_ppm)]
    args += [o for o in options if o != "sign"]
    run = subprocess.run(args + [folder], capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit(f"{name}: pairfit-lines ended with {run.returncode}: {run.stderr}")
    table = read_csv(os.path.join(folder, "lines.csv"))
    slices_table = read_csv(os.path.join(folder, "slices.csv"))
    data = np.loadtxt(os.path.join(folder, "lines_dat.txt"))
    spacing = abs(x[-1] - x[0]) / (points - 1)
    fit_widths = "fixed" not in options
    shapes = [line[0] for line in lines]
    positions = [line[1] for line in lines]
    model = Model(shapes, positions, [line[2] * 1.2 for line in lines], baseline, float_ppm,
                  fit_widths, 0.5, (spacing / 2, 1.0), "--positive" in options)
    worst = 0.0
    for s in range(slices):
        ys = data[:, s + 1]
        rows = [r for r in table if int(r["slice"]) == s]
        mine = float(slices_table[s]["rss"])
        number = lambda r, key, default: float(r[key]) if r[key] != "" else default
        found = model.vector([float(r["height"]) for r in rows],
                             [float(r["half_width"]) for r in rows],
                             [float(r["position"]) for r in rows],
                             [number(r, "eta", 0.5) for r in rows],
                             [number(slices_table[s], "baseline_0", 0.0),
                              number(slices_table[s], "baseline_1", 0.0)])
        factor = 1.0 - 2.0 * s / (slices - 1) if "sign" in options else 1.0 - 0.15 * s
        truth = model.vector([factor * line[3] for line in lines], [line[2] for line in lines],
                             [line[1] + offset * float_ppm * (1 if k % 2 == 0 else -1)
                              for k, line in enumerate(lines)],
                             [line[4] for line in lines],
                             [0.05 if baseline != "none" else 0.0, 0.1])
        start = model.vector([0.5] * len(lines), [line[2] * 1.2 for line in lines], positions,
                             [0.5] * len(lines), [0.0, 0.0])
        # The program's rss is its own points' (the file's values read back exactly).
        assert abs(float(np.sum((model(found, x) - ys) ** 2)) - mine) <= 1e-6 * mine + 1e-300, \
            f"{name}, slice {s}: lines.csv does not give slices.csv's rss"
        best = best_scipy_rss(model, x, ys, [found, truth, start])
        excess = (mine - best) / best
        worst = max(worst, excess)
        if excess > 1e-6:
            raise SystemExit(f"{name}, slice {s}: rss {mine!r} above SciPy's best {best!r} "
                             f"by {excess:.3g} relative")
    print(f"{name}: every slice within {max(worst, 0.0):.2g} relative of SciPy's best")


def main():
    program = sys.argv[1]
    for seed, case in enumerate(CASES):
        run_case(program, *case, seed=100 + seed)


if __name__ == "__main__":
    main()

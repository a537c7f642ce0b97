"""lines_scipy_bench.py FOLDER SLICES: the fit stage of pairfit-lines --baseline linear --float
D --shape pseudo-voigt done by SciPy, for bench/lines_run.sh: a loop of least_squares (trf,
analytic Jacobian) and one of curve_fit (trf, the same Jacobian) over the first SLICES slices
of FOLDER/2d.txt with the lines of FOLDER/lines.txt: the same model, bounds (half-width from
half the point spacing to the window's width, centres within D, eta in [0, 1]) and starts
(slice 0 from lines.txt with the heights and baseline solved linearly, each later slice from
the previous result). Prints seconds per slice of each and the median rss ratio to the
program's slices.csv when FOLDER holds one."""
import csv
import math
import os
import sys
import time

import numpy as np
from scipy.optimize import curve_fit, least_squares

folder, count = sys.argv[1], int(sys.argv[2])
D = float(sys.argv[3]) if len(sys.argv) > 3 else 0.01
LN2 = math.log(2.0)

with open(os.path.join(folder, "2d.txt")) as f:
    blocks = f.read().split("&\n")
blocks = [b for b in blocks if b.strip()][:count]
series = [np.array(b.split(), dtype=float).reshape(-1, 2) for b in blocks]
x = series[0][:, 0]
rows = [line.split() for line in open(os.path.join(folder, "lines.txt")) if line.strip()]
P0 = np.array([float(r[1]) for r in rows])
W0 = np.array([float(r[2]) for r in rows])
L = len(rows)
lo_x, hi_x = 0.0, 2.0
centre = (lo_x + hi_x) / 2
spacing = abs(x[-1] - x[0]) / (len(x) - 1)
# Parameters: per line h, W, P, eta; then c0, c1.
lower = np.concatenate([np.tile([-np.inf, spacing / 2, 0, 0], L), [-np.inf, -np.inf]])
upper = np.concatenate([np.tile([np.inf, hi_x - lo_x, 0, 1], L), [np.inf, np.inf]])
for i in range(L):
    lower[4 * i + 2], upper[4 * i + 2] = P0[i] - D, P0[i] + D


def model_and_jac(p, x):
    y = p[4 * L] + p[4 * L + 1] * (x - centre)
    jac = np.empty((x.size, p.size))
    for i in range(L):
        h, w, pos, eta = p[4 * i:4 * i + 4]
        u = (x - pos) / w
        u2 = u * u
        lor = 1 / (1 + u2)
        gau = np.exp(-LN2 * u2)
        shape = eta * lor + (1 - eta) * gau
        dshape_du2 = eta * (-lor * lor) + (1 - eta) * (-LN2 * gau)
        y += h * shape
        jac[:, 4 * i] = shape
        jac[:, 4 * i + 1] = h * dshape_du2 * (-2 * u2 / w)
        jac[:, 4 * i + 2] = h * dshape_du2 * (-2 * u / w)
        jac[:, 4 * i + 3] = h * (lor - gau)
    jac[:, 4 * L] = 1
    jac[:, 4 * L + 1] = x - centre
    return y, jac


def start_for(y):
    p = np.concatenate([np.column_stack([np.zeros(L), W0, P0, np.full(L, 0.5)]).ravel(), [0, 0]])
    _, jac = model_and_jac(p, x)
    linear = [4 * i for i in range(L)] + [4 * L, 4 * L + 1]
    solution, *_ = np.linalg.lstsq(jac[:, linear], y, rcond=None)
    p[linear] = solution
    return p


def run(fit_one):
    start = time.perf_counter()
    p, rss = None, []
    for block in series:
        y = block[:, 1]
        p = start_for(y) if p is None else np.clip(p, lower, upper)
        p = fit_one(p, y)
        rss.append(float(np.sum((model_and_jac(p, x)[0] - y) ** 2)))
    return (time.perf_counter() - start) / len(series), rss


def with_least_squares(p, y):
    return least_squares(lambda q: model_and_jac(q, x)[0] - y, p,
                         jac=lambda q: model_and_jac(q, x)[1], bounds=(lower, upper),
                         method="trf").x


def with_curve_fit(p, y):
    return curve_fit(lambda x, *q: model_and_jac(np.array(q), x)[0], x, y, p0=p,
                     jac=lambda x, *q: model_and_jac(np.array(q), x)[1], bounds=(lower, upper),
                     method="trf")[0]


mine = None
if os.path.exists(os.path.join(folder, "slices.csv")):
    with open(os.path.join(folder, "slices.csv")) as f:
        mine = [float(r["rss"]) for r in csv.DictReader(f)][:len(series)]
for name, fit_one in (("least_squares", with_least_squares), ("curve_fit", with_curve_fit)):
    seconds, rss = run(fit_one)
    ratio = "" if mine is None else "  median rss / pairfit-lines rss %.6f" % np.median(
        np.array(rss) / np.array(mine))
    print("%-14s %.5f s per slice over %d slices%s" % (name, seconds, len(series), ratio))

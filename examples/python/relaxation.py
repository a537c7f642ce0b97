#!/usr/bin/python3
"""The bundled inversion-recovery experiment from its Bruker folder to a T1 per line, in Python.

    PYTHONPATH=build/python /usr/bin/python3 examples/python/relaxation.py [OUT.png [LINES.txt]]

Imports the pseudo-2D folder cut to the methyl doublet's window, fits every slice with the
four lines of the window as pairfit-lines does (heights of either sign: the lines are
inverted at the short delays), prints the area of each line with its standard error against
the delay of each slice, the T1 of an inversion-recovery fit of the two tall lines, and plots
their areas (default relaxation.png in the working directory). LINES.txt, such as the one
pairfit-import --lines 4 writes, replaces the four positions below.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import pairfit  # noqa: E402

FOLDER = Path(__file__).resolve().parents[2] / "tests/data/bruker/inversion_recovery/1/pdata/1"
# The doublet, then the two small lines beside it (ppm), tallest first.
LINES = [("L1", 0.7176), ("L2", 0.7293), ("L3", 0.7462), ("L4", 0.7521)]


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "relaxation.png"
    lines = sys.argv[2] if len(sys.argv) > 2 else LINES
    series = pairfit.import_spectra(FOLDER, window=(0.76, 0.69))
    fit = pairfit.fit_lines(series, lines)
    print(series)
    area, area_se = fit.lines["area"], fit.lines["area_se"]
    print(f"{'z (' + series.z_unit + ')':>8}" + "".join(f" {name:>18}" for name in fit.names)
          + "  status")
    for s, z in enumerate(series.z):
        print(f"{z:8g}" + "".join(f" {area[s, k]:9.0f} ± {area_se[s, k]:6.0f}"
                                  for k in range(len(fit.names)))
              + f"  {fit.slices['status'][s]}")
    for name in fit.names[:2]:
        T1, se, se_mc = fit.trend(name, "inversion").params["T1"]
        print(f"T1 of {name}: {T1:.3f} ± {se:.3f} {series.z_unit} (Monte Carlo {se_mc:.3f})")

    for k, name in enumerate(fit.names[:2]):
        plt.errorbar(series.z, area[:, k], yerr=area_se[:, k], fmt="o", capsize=3, label=name)
    plt.xscale("log")
    plt.xlabel(f"delay ({series.z_unit})")
    plt.ylabel("area (intensity x ppm)")
    plt.legend()
    plt.title("inversion recovery of the doublet at 0.7176 and 0.7293 ppm")
    plt.savefig(output, dpi=100)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()

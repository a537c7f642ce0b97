#!/usr/bin/python3
"""The bundled inversion-recovery experiment from its Bruker folder to a plot, in Python.

    PYTHONPATH=build/python /usr/bin/python3 examples/python/relaxation.py [OUT.png]

Imports the pseudo-2D folder cut to the methyl doublet's window, fits every slice with
pairfit4 --signed's model (the lines are inverted at the short delays), prints the area of
line A with its standard error against the delay of each slice and the T1 of an
inversion-recovery fit to them, and plots them (default relaxation.png in the working
directory).
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import pairfit  # noqa: E402

FOLDER = Path(__file__).resolve().parents[2] / "tests/data/bruker/inversion_recovery/1/pdata/1"


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else "relaxation.png"
    series = pairfit.import_spectra(FOLDER, window=(0.76, 0.69))
    # Peaks A and B (ppm); half-widths fitted, amplitudes of either sign.
    fit = pairfit.fit(series, 0.7293, 0.7176, signed=True)
    print(f"{series}\nscale factor {fit.scale_factor:g}")
    print(f"{'z (' + series.z_unit + ')':>8} {'area_A':>10} {'area_A_se':>10}  status")
    for z, area, se, status in zip(series.z, fit.area_A, fit.area_A_se, fit.status):
        print(f"{z:8g} {area:10.5f} {se:10.5f}  {status}")
    T1, se, se_mc = pairfit.trend(series.z, fit.area_A, fit.area_A_se, "inversion")["T1"]
    print(f"T1 of line A: {T1:.4g} ± {se:.2g} {series.z_unit} (Monte Carlo {se_mc:.2g})")

    plt.errorbar(series.z, fit.area_A, yerr=fit.area_A_se, fmt="o", capsize=3)
    plt.xscale("log")
    plt.xlabel(f"delay ({series.z_unit})")
    plt.ylabel("area of line A (scaled)")
    plt.title("inversion recovery, line A at 0.7293 ppm")
    plt.savefig(output, dpi=100)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The fit of the Python module beside the programs' fit stage and a plain lmfit loop.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py SERIES [PAIRFIT4]

SERIES is a folder made by make_series (2d.txt and peaks.txt), for the figures of
bench/README.md the big series:

    build/make_series SERIES slices=1024 points=8192 noise=0.01 window_low=0.65 window_high=1.4

Prints, as medians of RUNS runs (default 3, taken in turns):
  - the programs' fit stage: pairfit4 in a copy of SERIES, from the console's table head
    (printed just before the first slice is fitted) to its last slice line, each line
    flushed as it is printed; and the whole run;
  - pairfit.fit on the series already in memory (read_series, untimed), and whether its
    values are those of the program's report.csv;
  - lmfit (Debian python3-lmfit) with the same model, bounds 1e-4..10 and carry-over from
    slice to slice, on the first LMFIT_SLICES slices (default 32), scaled to the series.
"""

import csv
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import pairfit


def program_fit_stage(program, folder, slices):
    """Seconds of the fit stage and of the whole run of one pairfit4 run in `folder`."""
    start = time.perf_counter()
    process = subprocess.Popen([program], cwd=folder, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL,
                               env={**os.environ, "PAIRFIT_THREADS": "2"})
    fit_start = fit_end = None
    seen = 0
    for line in process.stdout:
        if line.startswith(b"# index MA MB LWA LWB"):
            fit_start = time.perf_counter()
        elif fit_start is not None and fit_end is None and line.strip():
            seen += 1
            if seen == slices:
                fit_end = time.perf_counter()
    if process.wait() != 0 or fit_end is None:
        sys.exit(f"{program} failed in {folder}")
    return fit_end - fit_start, time.perf_counter() - start


def module_fit(series, peaks):
    start = time.perf_counter()
    fit = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"])
    return time.perf_counter() - start, fit


def lmfit_seconds_per_slice(series, peaks, slice_count):
    """A plain lmfit loop: the programs' model, bounds and start, each slice from the last."""
    import lmfit

    x = series.ppm
    scaled = series.intensity / series.intensity.max()

    def two_lines(x, MA, MB, LWA, LWB):
        a = MA * (1 / LWA) / (1 + (1 / LWA) ** 2 * (x - peaks["peak_A"]) ** 2)
        b = MB * (1 / LWB) / (1 + (1 / LWB) ** 2 * (x - peaks["peak_B"]) ** 2)
        return a + b

    model = lmfit.Model(two_lines)
    parameters = model.make_params(MA=0.2, MB=0.2, LWA=1.0, LWB=3.0)
    for parameter in parameters.values():
        parameter.set(min=1e-4, max=10.0)
    start = time.perf_counter()
    for s in range(slice_count):
        result = model.fit(scaled[s], parameters, x=x)
        parameters = result.params
    return (time.perf_counter() - start) / slice_count, result


def same_as_report(fit, report_path):
    with open(report_path, newline="") as report:
        rows = list(csv.DictReader(report))
    for name in fit.columns:
        for row, value in zip(rows, fit[name]):
            text = row[name]
            if name == "status":
                if text != value:
                    return False
            elif (text == "" and not np.isnan(value)) or (text != "" and float(text) != value):
                return False
    return len(rows) == len(fit)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    source = sys.argv[1]
    program = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else "build/apps/pairfit4")
    runs = int(os.environ.get("RUNS", "3"))
    lmfit_slices = int(os.environ.get("LMFIT_SLICES", "32"))

    series, peaks = pairfit.read_series(source)
    slices = series.slices
    print(f"series: {slices} slices of {len(series.ppm)} window points, load average "
          f"{os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as work:
        for name in ("2d.txt", "peaks.txt"):
            shutil.copy(os.path.join(source, name), work)
        program_fits, program_runs, module_fits = [], [], []
        for _ in range(runs):
            stage, whole = program_fit_stage(program, work, slices)
            program_fits.append(stage)
            program_runs.append(whole)
            seconds, fit = module_fit(series, peaks)
            module_fits.append(seconds)
        done = subprocess.run([program, "--report"], cwd=work, capture_output=True)
        identical = done.returncode == 0 and same_as_report(fit, os.path.join(work, "report.csv"))

    per_slice, _ = lmfit_seconds_per_slice(series, peaks, min(lmfit_slices, slices))
    program_fit = statistics.median(program_fits)
    module = statistics.median(module_fits)
    lmfit_total = per_slice * slices
    print(f"pairfit4 fit stage         {program_fit:8.3f} s  (whole run "
          f"{statistics.median(program_runs):.3f} s)")
    print(f"pairfit.fit from memory    {module:8.3f} s  ratio to the fit stage "
          f"{module / program_fit:.3f}; values as report.csv: {'identical' if identical else 'DIFFER'}")
    print(f"lmfit loop ({min(lmfit_slices, slices)} slices, scaled) {lmfit_total:8.3f} s  "
          f"{lmfit_total / module:.0f}x pairfit.fit")


if __name__ == "__main__":
    main()

"""pairfit-plot on a real fit of the bundled example, on synthetic runs, and on folders
whose result files are missing or do not agree; pairfit-trend-plot's picture writing.

Environment: PAIRFIT_PLOT (the command; pairfit-trend-plot is taken from beside it),
PAIRFIT_DRAWING_PATH (the folder of their package pairfit_drawing), PAIRFIT4 (the program)
and EXAMPLE_DIR (the folder with 2d.txt and peaks.txt of the titration example).
"""

import contextlib
import io
import json
import math
import os
import random
import re
import resource
import stat
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True

import numpy  # noqa: E402  (comes with python3-matplotlib)
from matplotlib import colors as mcolors  # noqa: E402
from matplotlib import image as mimage  # noqa: E402

PAIRFIT_PLOT = os.environ["PAIRFIT_PLOT"]
TREND_PLOT = os.path.join(os.path.dirname(PAIRFIT_PLOT), "pairfit-trend-plot")
PAIRFIT4 = os.environ.get("PAIRFIT4", "")
EXAMPLE_DIR = os.environ.get("EXAMPLE_DIR", "")
RESULT_FILES = ("dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt")
PICTURES = ("fits.png", "fits.pdf", "trends.png", "trends.pdf")


sys.path.insert(0, os.environ["PAIRFIT_DRAWING_PATH"])
from pairfit_drawing import plot as PLOT  # noqa: E402


def run_plot(*args, cwd=None, env=None):
    return subprocess.run([PAIRFIT_PLOT, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)


def fits_size(panels):
    """Pixel size of fits.png as its manual page states it."""
    columns = min(8, panels)
    rows = math.ceil(panels / columns)
    return 60 + 180 * columns, 100 + 140 * rows


def read_rgb(path):
    return (mimage.imread(path)[:, :, :3] * 255).astype(int)


def colour_mask(pixels, colour, tolerance=40):
    target = numpy.array(mcolors.to_rgb(colour)) * 255
    return numpy.abs(pixels - target).sum(axis=2) < tolerance


def lorentzian(ppm, amplitude, position, half_width):
    w = 1.0 / half_width
    return amplitude * w / (1.0 + w * w * (ppm - position) ** 2)


def fixture_noise(s, point_count=60):
    return [0.01 * math.sin(7.0 * r + s) for r in range(point_count)]


def write_run(folder, slice_count, point_count=60, residual_sums=None):
    """A consistent set of result files in pairfit's layout, with two lines whose
    amplitudes cross over the series."""
    ppm = [2.0 - 1.8 * r / (point_count - 1) for r in range(point_count)]
    matrices = {name: [] for name in RESULT_FILES[:4]}
    results = ["# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot"]
    for s in range(slice_count):
        ma = 0.09 - 0.08 * s / max(1, slice_count - 1)
        mb = 0.01 + 0.08 * s / max(1, slice_count - 1)
        a = [lorentzian(x, ma, 1.2, 0.08) for x in ppm]
        b = [lorentzian(x, mb, 0.9, 0.1) for x in ppm]
        noise = fixture_noise(s, point_count)
        dat = [ai + bi + ni for ai, bi, ni in zip(a, b, noise)]
        for name, column in zip(RESULT_FILES[:4], (dat, a, b, noise)):
            matrices[name].append(column)
        residual = sum(n * n for n in noise) if residual_sums is None else residual_sums[s]
        results.append(f"{s:2d} {ma:6.3f} {mb:6.3f}  0.080  0.100 {sum(a):6.3f} {sum(b):6.3f} "
                       f"{residual:6.3f} ")
    for name, columns in matrices.items():
        lines = []
        for r, x in enumerate(ppm):
            lines.append("".join(f"{v:10.6f} " for v in [x] + [c[r] for c in columns]))
        write_lines(os.path.join(folder, name), lines)
    write_lines(os.path.join(folder, "results.txt"), results)


def write_lines(path, lines):
    with open(path, "w") as file:
        file.write("\n".join(lines) + "\n")


class TemporaryFolderTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pairfit-plot-")
        self.addCleanup(shutil.rmtree, self.folder)

    def assert_no_pictures(self):
        for name in PICTURES:
            self.assertFalse(os.path.exists(os.path.join(self.folder, name)), name)

    def assert_fails(self, status, *fragments):
        result = run_plot(self.folder)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertEqual(result.stdout, "")
        for fragment in fragments:
            self.assertIn(fragment, result.stderr)
        self.assert_no_pictures()
        return result


class ExampleFitTest(unittest.TestCase):
    """pairfit4 fits the bundled titration, then pairfit-plot runs in that folder."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="pairfit-plot-example-")
        for name in ("2d.txt", "peaks.txt"):
            shutil.copy(os.path.join(EXAMPLE_DIR, name), cls.folder)
        subprocess.run([PAIRFIT4], cwd=cls.folder, check=True, capture_output=True, timeout=120)
        cls.result = run_plot(cwd=cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def picture(self, name):
        return read_rgb(os.path.join(self.folder, name))

    def test_writes_four_files_and_two_summary_lines(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertEqual(self.result.stderr, "")
        for name in PICTURES:
            with open(os.path.join(self.folder, name), "rb") as file:
                head = file.read(8)
            self.assertTrue(head.startswith(b"%PDF-" if name.endswith(".pdf") else b"\x89PNG"),
                            name)
        lines = self.result.stdout.splitlines()
        self.assertEqual(len(lines), 2)
        self.assertTrue(lines[0].startswith("fits.png, fits.pdf: 40 of 40 slices"), lines[0])
        self.assertTrue(lines[1].startswith("trends.png, trends.pdf: "), lines[1])

    def test_pixel_sizes(self):
        width, height = fits_size(40)
        self.assertEqual(self.picture("fits.png").shape[:2], (height, width))
        self.assertEqual(self.picture("trends.png").shape[:2], (900, 1200))

    def test_every_panel_shows_data_both_lines_sum_and_residual_below(self):
        pixels = self.picture("fits.png")
        for s in range(40):
            row, column = divmod(s, 8)
            top, left = 60 + 140 * row, 50 + 180 * column
            cell = pixels[top:top + 140, left:left + 180]
            masks = {part: colour_mask(cell, PLOT.COLOURS[part]) for part in PLOT.COLOURS}
            for part, mask in masks.items():
                self.assertGreater(mask.sum(), 10, f"slice {s}: too little of {part}")
            residual_rows = numpy.nonzero(masks["residual"])[0]
            sum_rows = numpy.nonzero(masks["sum"])[0]
            self.assertGreater(numpy.median(residual_rows), sum_rows.max(),
                               f"slice {s}: residual not below the sum")

    def test_ppm_axis_runs_from_high_to_low(self):
        # peaks.txt puts A at 1.20 ppm and B at 0.90 ppm: drawn high to low, the apex
        # of A lies left of the apex of B in every panel.
        pixels = self.picture("fits.png")
        for s in range(40):
            row, column = divmod(s, 8)
            top, left = 60 + 140 * row, 50 + 180 * column
            cell = pixels[top:top + 140, left:left + 180]
            apex = {}
            for line in ("A", "B"):
                rows, columns = numpy.nonzero(colour_mask(cell, PLOT.COLOURS[line]))
                apex[line] = numpy.median(columns[rows <= rows.min() + 2])
            self.assertLess(apex["A"], apex["B"], f"slice {s}")

    def test_trends_show_both_lines_and_the_residual(self):
        pixels = self.picture("trends.png")
        for part in ("A", "B", "residual"):
            self.assertGreater(colour_mask(pixels, PLOT.COLOURS[part]).sum(), 500, part)
        distinct = numpy.unique(pixels.reshape(-1, 3), axis=0)
        self.assertGreater(len(distinct), 50)


class SyntheticRunTest(TemporaryFolderTest):
    def test_more_than_48_slices_shows_48_panels(self):
        write_run(self.folder, 100)
        result = run_plot(self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("48 of 100 slices", result.stdout)
        width, height = fits_size(48)
        pixels = read_rgb(os.path.join(self.folder, "fits.png"))
        self.assertEqual(pixels.shape[:2], (height, width))

    def test_selection_is_even_and_keeps_first_and_last(self):
        for count in (1, 2, 47, 48, 49, 97, 100, 1000):
            shown = PLOT.select_slices(count)
            self.assertEqual(len(shown), min(count, 48), count)
            self.assertEqual((shown[0], shown[-1]), (0, count - 1), count)
            gaps = {b - a for a, b in zip(shown, shown[1:])}
            self.assertTrue(gaps == set() or (min(gaps) >= 1 and max(gaps) - min(gaps) <= 1),
                            f"{count}: gaps {gaps}")

    def test_single_slice(self):
        write_run(self.folder, 1)
        result = run_plot(self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        width, height = fits_size(1)
        self.assertEqual(read_rgb(os.path.join(self.folder, "fits.png")).shape[:2], (height, width))

    def test_residual_sums_of_zero(self):
        for sums, note in (([0.0] * 6, "0.000 for every slice"),
                           ([0.0, 0.012, 0.0, 0.02, 0.015, 0.0], "3 printed as 0.000")):
            write_run(self.folder, 6, residual_sums=sums)
            result = run_plot(self.folder)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(note, result.stdout)
            pixels = read_rgb(os.path.join(self.folder, "trends.png"))
            self.assertEqual(pixels.shape[:2], (900, 1200))
            self.assertGreater(colour_mask(pixels, PLOT.COLOURS["residual"]).sum(), 20)

    def test_picture_that_cannot_be_written(self):
        write_run(self.folder, 3)
        os.mkdir(os.path.join(self.folder, "fits.png"))
        result = run_plot(self.folder)
        self.assertEqual(result.returncode, 4)
        self.assertIn("fits.png: could not be written", result.stderr)
        for name in ("fits.pdf", "trends.png", "trends.pdf"):
            self.assertTrue(os.path.isfile(os.path.join(self.folder, name)), name)

    def test_without_matplotlib(self):
        write_run(self.folder, 3)
        shadow = os.path.join(self.folder, "shadow", "matplotlib")
        os.makedirs(shadow)
        write_lines(os.path.join(shadow, "__init__.py"), ["raise ImportError('not here')"])
        env = dict(os.environ, PYTHONPATH=os.path.dirname(shadow))
        result = run_plot(self.folder, env=env)
        self.assertEqual(result.returncode, 6)
        self.assertIn("install Debian's python3-matplotlib", result.stderr)
        self.assert_no_pictures()


class BadResultsTest(TemporaryFolderTest):
    """Missing result files (status 1) or disagreeing ones (status 2): the file named,
    nothing written."""

    def edit(self, name, change):
        path = os.path.join(self.folder, name)
        with open(path) as file:
            lines = file.read().splitlines()
        write_lines(path, change(lines))

    def test_empty_folder(self):
        self.assert_fails(1, self.folder, "no pairfit results")

    def test_folder_that_does_not_exist(self):
        missing = os.path.join(self.folder, "nowhere")
        result = run_plot(missing)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"{missing}: no such folder", result.stderr)

    def test_one_file_missing(self):
        write_run(self.folder, 4)
        os.remove(os.path.join(self.folder, "sim_b.txt"))
        self.assert_fails(1, "sim_b.txt: missing")

    def test_matrix_file_with_a_row_less(self):
        write_run(self.folder, 4, point_count=30)
        self.edit("sim_a.txt", lambda lines: lines[:-1])
        self.assert_fails(2, "sim_a.txt: 29 rows; expected 30")

    def test_ragged_row(self):
        write_run(self.folder, 4)
        self.edit("res.txt", lambda lines: lines[:6] + [lines[6].rsplit(None, 1)[0]] + lines[7:])
        self.assert_fails(2, "res.txt: row 7 has 4 values; expected 5")

    def test_slice_count_disagrees_with_results(self):
        write_run(self.folder, 4)
        self.edit("results.txt", lambda lines: lines[:-1])
        self.assert_fails(2, "results.txt: 3 rows; expected 4")

    def test_results_row_too_short(self):
        write_run(self.folder, 4)
        self.edit("results.txt",
                  lambda lines: lines[:2] + [lines[2].rsplit(None, 1)[0]] + lines[3:])
        self.assert_fails(2, "results.txt: row 2 has 7 values; expected 8")

    def test_results_out_of_order(self):
        write_run(self.folder, 4)
        self.edit("results.txt", lambda lines: [lines[0], lines[2], lines[1]] + lines[3:])
        self.assert_fails(2, "results.txt: row 1 holds index 1; expected 0")

    def test_ppm_axis_disagrees(self):
        write_run(self.folder, 4)
        self.edit("sim_b.txt", lambda lines: lines[:2] + ["  9.000000" + lines[2][10:]] + lines[3:])
        self.assert_fails(2, "sim_b.txt: row 3: ppm 9; expected")

    def test_value_that_is_not_a_number(self):
        write_run(self.folder, 4)
        self.edit("dat.txt", lambda lines: lines[:4] + [lines[4] + " x"] + lines[5:])
        self.assert_fails(2, "dat.txt: row 5, value 6: 'x' is not a finite number")

    def test_empty_result_files(self):
        for name in RESULT_FILES:
            write_lines(os.path.join(self.folder, name), ["# header only"])
        self.assert_fails(2, "dat.txt: no data rows")

    def test_input_that_is_not_a_regular_file(self):
        # /dev/zero never ends: read, it would fill the memory or outlast the timeout.
        write_run(self.folder, 4)
        makers = ((os.mkdir, "is a directory"),
                  (lambda path: os.symlink("/dev/zero", path), "is not a regular file"))
        results = os.path.join(self.folder, "results.txt")
        series = os.path.join(self.folder, "2d.txt")
        os.remove(results)
        for make, what in makers:
            make(results)
            self.assert_fails(2, f"results.txt: {what}; expected a text file")
            make(series)
            result = run_plot("--preview", self.folder)
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn(f"2d.txt: {what}; expected a text file", result.stderr)
            self.assertFalse(os.path.exists(os.path.join(self.folder, "preview.png")))
            for path in (results, series):
                os.rmdir(path) if make is os.mkdir else os.remove(path)


def write_report(folder, slice_count, se=0.0, z=None, statuses=None):
    """report.csv for the lines of write_run, every standard error `se`."""
    rows = [",".join(PLOT.REPORT_COLUMNS)]
    for s in range(slice_count):
        ma = 0.09 - 0.08 * s / max(1, slice_count - 1)
        mb = 0.01 + 0.08 * s / max(1, slice_count - 1)
        status = statuses[s] if statuses else "settled"
        cells = [s, "" if z is None else z[s], 60, f'"{status}"' if "," in status else status, 12]
        for value in (ma, mb, 0.08, 0.1, ma / 0.08, mb / 0.1, math.pi * ma, math.pi * mb,
                      ma / (ma + mb)):
            cells += [repr(value), repr(se)]
        cells += [sum(n * n for n in fixture_noise(s)), 0.013, 1234.5, "", ""]
        rows.append(",".join(str(cell) for cell in cells))
    write_lines(os.path.join(folder, "report.csv"), rows)


class ReportTrendsTest(TemporaryFolderTest):
    """With report.csv the trends carry error bars, use z and mark unsettled slices."""

    def trends(self, **report):
        write_run(self.folder, 8)
        write_report(self.folder, 8, **report)
        result = run_plot(self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        return read_rgb(os.path.join(self.folder, "trends.png")), result.stdout

    def test_error_bars_grow_with_the_standard_error(self):
        without, _ = self.trends(se=0.0)
        with_bars, _ = self.trends(se=0.05)
        for line in ("A", "B"):
            self.assertGreater(colour_mask(with_bars, PLOT.COLOURS[line]).sum(),
                               colour_mask(without, PLOT.COLOURS[line]).sum() + 300, line)

    def test_unsettled_slices_are_marked(self):
        plain, stdout = self.trends()
        self.assertIn("0 not plainly settled", stdout)
        self.assertEqual(colour_mask(plain, PLOT.UNSETTLED_COLOUR).sum(), 0)
        statuses = ["settled"] * 8
        statuses[3] = "iteration_limit"
        statuses[5] = "settled;bound:MA,MB"
        marked, stdout = self.trends(statuses=statuses)
        self.assertIn("2 not plainly settled", stdout)
        self.assertGreater(colour_mask(marked, PLOT.UNSETTLED_COLOUR).sum(), 400)

    def test_z_is_the_x_axis_when_every_slice_has_one(self):
        z = [0.5 * 2 ** s for s in range(8)]
        _, stdout = self.trends(z=z)
        self.assertIn("from report.csv against z", stdout)
        report = PLOT.read_report(os.path.join(self.folder, "report.csv"), 8)
        self.assertEqual(PLOT.report_axis(report), (z, "z (from --z)"))
        report["z"][2] = None
        self.assertEqual(PLOT.report_axis(report)[0], list(range(8)))

    def test_report_of_another_fit_is_set_aside(self):
        def edit(row, column, value):
            path = os.path.join(self.folder, "report.csv")
            with open(path) as file:
                lines = file.read().splitlines()
            cells = lines[row].split(",")
            cells[PLOT.REPORT_COLUMNS.index(column)] = value
            write_lines(path, lines[:row] + [",".join(cells)] + lines[row + 1:])

        # Each a report that is well formed but not of the fit in results.txt.
        cases = ((7, None, "7 slices where results.txt has 8"),
                 (8, (3, "MA", "0.0812"), "slice 2: MA 0.0812 rounds to 0.081, height_A"),
                 (8, (8, "LWB", "0.1006"), "slice 7: LWB 0.1006 rounds to 0.101, hwhh_B is "
                                           "0.100"),
                 (8, (5, "rss", "0.0041"), "slice 4: rss 0.0041 rounds to 0.004, "
                                           "residual_square_tot is 0.003"))
        for rows, change, reason in cases:
            write_run(self.folder, 8)
            write_report(self.folder, rows)
            if change:
                edit(*change)
            result = run_plot(self.folder)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(f"report.csv is not the report of the fit in results.txt ({reason}",
                          result.stderr)
            self.assertIn("drawn from results.txt alone", result.stderr)
            self.assertIn("(from results.txt; report.csv set aside)", result.stdout)
        # A value that rounds as printed is the same fit.
        write_report(self.folder, 8)
        edit(3, "MA", repr(float(f"{0.09 - 0.08 * 2 / 7:.3f}") + 0.0004))
        result = run_plot(self.folder)
        self.assertEqual(result.stderr, "")
        self.assertIn("from report.csv", result.stdout)

    def test_malformed_report_is_refused(self):
        write_run(self.folder, 8)
        write_report(self.folder, 8)
        path = os.path.join(self.folder, "report.csv")
        with open(path) as file:
            lines = file.read().splitlines()
        write_lines(path, lines[:3] + [lines[3].replace(",60,", ",sixty,")] + lines[4:])
        self.assert_fails(2, "report.csv: row 4, value 3: 'sixty' is not a finite number")


def write_series(folder, slice_count, point_count=200, z=None, peaks=None):
    """2d.txt of two lines trading height over the series, in the importer's layout; z.txt
    with the importer's first comment, peaks.txt with peaks and window when given."""
    lines = []
    for s in range(slice_count):
        share = s / max(1, slice_count - 1)
        lines.append(f"# slice {s}")
        for r in range(point_count):
            x = 2.5 - 3.0 * r / (point_count - 1)
            y = 1000 * (lorentzian(x, 0.09 * (1 - share), 1.2, 0.08)
                        + lorentzian(x, 0.09 * share, 0.9, 0.1))
            lines.append(f"{x!r} {y!r}")
        lines.append("&")
    write_lines(os.path.join(folder, "2d.txt"), lines)
    if z is not None:
        write_lines(os.path.join(folder, "z.txt"),
                    ["# x of each slice, from vdlist (unit s)"] + [repr(v) for v in z])
    if peaks is not None:
        write_lines(os.path.join(folder, "peaks.txt"),
                    ["# peak_A peak_B", "1.2 0.9", "# window", f"{peaks[0]} {peaks[1]}"])


def drawn_preview(folder, noise=None):
    import matplotlib.pyplot as pyplot
    figure, _, summary = PLOT.draw_preview(pyplot, PLOT.read_preview(folder, noise))
    return figure.axes[0], summary


def span_of(patch):
    x = patch.get_xy()[:, 0]
    return min(x), max(x)


# Numbers in the forms the programs read, and fields that end a row.
NUMBER_FORMS = ("{:.6f}", "{!r}", "{:e}", "{:+.3E}", "{:.0f}.")
NOT_NUMBERS = ("x", "1e", ".", "nan", "1e999", "#", "+-1")


def reference_rows(text):
    """Rows as a line-by-line reader of whole blank-separated fields would keep them."""
    grammar = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
    rows = []
    for line in text.split("\n"):
        if not line or line.startswith("#"):
            continue
        values = []
        for field in line.split():
            if not grammar.fullmatch(field) or math.isinf(float(field)):
                break
            values.append(float(field))
        if values:
            rows.append(values[:2])
    return rows


class PreviewTest(TemporaryFolderTest):
    """--preview draws 2d.txt before a fit, with peaks.txt, z.txt and --noise if given."""

    def test_series_without_peaks(self):
        z = [0.01 * 2 ** s for s in range(30)]
        write_series(self.folder, 30, z=z)
        result = run_plot("--preview", self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertIn("12 of 30 slices, 200 points each from 2.5 to -0.5 ppm", result.stdout)
        self.assertIn("z from z.txt (unit s)", result.stdout)
        self.assertEqual(read_rgb(os.path.join(self.folder, "preview.png")).shape[:2], (700, 1200))
        with open(os.path.join(self.folder, "preview.pdf"), "rb") as file:
            self.assertTrue(file.read(5) == b"%PDF-")
        panel, _ = drawn_preview(self.folder)
        self.assertEqual(panel.get_xlim(), (2.5, -0.5))
        shown = PLOT.select_slices(30, 12)
        self.assertEqual([t.get_text() for t in panel.get_legend().get_texts()],
                         [f"{s}: z = {z[s]:g} s" for s in shown])
        self.assertEqual(len(panel.patches), 0)
        os.remove(os.path.join(self.folder, "z.txt"))
        panel, summary = drawn_preview(self.folder)
        self.assertEqual([t.get_text() for t in panel.get_legend().get_texts()],
                         [str(s) for s in shown])
        self.assertNotIn("z.txt", summary)

    def test_peaks_window_and_noise(self):
        write_series(self.folder, 5, peaks=(0.2, 2.0))
        panel, summary = drawn_preview(self.folder, noise=(2.4, 2.2))
        window, noise = panel.patches
        self.assertEqual(span_of(window), (0.2, 2.0))
        self.assertEqual(span_of(noise), (2.2, 2.4))
        positions = [line.get_xdata()[0] for line in panel.get_lines()[5:]]
        self.assertEqual(positions, [1.2, 0.9])
        self.assertIn("window 2 to 0.2 ppm, peaks A 1.2 and B 0.9 ppm, noise 2.4 to 2.2 ppm",
                      summary)
        result = run_plot("--preview", "--noise", "2.2", "2.4", self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        pixels = read_rgb(os.path.join(self.folder, "preview.png"))
        self.assertGreater(colour_mask(pixels, PLOT.WINDOW_COLOUR, 10).sum(), 50000)
        result = run_plot("--preview", "--noise", "5", "6", self.folder)
        self.assertIn("noise region 5 to 6 ppm lies outside the drawn slices", result.stderr)

    def test_series_read_as_the_programs_read_it(self):
        # Blocks the fast path takes and blocks it must leave to the number-by-number reader.
        for seed in range(40):
            rng = random.Random(seed)
            lines = ["# block"]
            for _ in range(rng.randrange(1, 60)):
                fields = [rng.choice(NUMBER_FORMS).format(rng.uniform(-1e4, 1e4))
                          for _ in range(2)]
                if rng.random() < 0.1 * (seed % 4):
                    fields.append(rng.choice(NOT_NUMBERS) if rng.random() < 0.5 else "1.5")
                if rng.random() < 0.05 * (seed % 3):
                    lines.append(rng.choice(["", "   ", "\r", "# note"]))
                lines.append("\t".join(fields) + ("\r" if seed % 5 == 0 else ""))
            text = "\n".join(lines) + "\n"
            ppm, intensity = PLOT.read_block(text.encode(), 1)
            self.assertEqual([list(p) for p in zip(ppm, intensity)], reference_rows(text), seed)
        with self.assertRaisesRegex(PLOT.ResultsError, r"block 3, row 2 must hold a chemical "
                                    r"shift \(ppm\) and an intensity, found 1 value '5.5 x\\x01'"):
            PLOT.read_block(b"# c\n1 2\n5.5 x\x01\n", 3)

    def test_envelope_keeps_every_bins_extremes(self):
        numpy.random.seed(3)
        ppm = numpy.linspace(2.5, -0.5, 50000)
        intensity = numpy.random.standard_normal(ppm.size)
        intensity[numpy.random.randint(0, ppm.size, 20)] *= 100  # spikes narrower than a bin
        bins = 700
        keep = PLOT.envelope(ppm, intensity, -0.5, 2.5, bins)
        self.assertTrue((numpy.diff(keep) > 0).all())
        self.assertLessEqual(len(keep), 2 * bins + 2)
        where = numpy.minimum(((ppm + 0.5) * (bins / 3.0)).astype(int), bins - 1)
        for b in range(bins):
            inside = where == b
            kept = intensity[keep][where[keep] == b]
            self.assertEqual((kept.min(), kept.max()),
                             (intensity[inside].min(), intensity[inside].max()), b)
        self.assertEqual(list(PLOT.envelope(ppm[:100], intensity[:100], -0.5, 2.5, bins)),
                         list(range(100)))

    def test_series_that_cannot_be_previewed(self):
        result = run_plot("--preview", self.folder)
        self.assertEqual(result.returncode, 1)
        self.assertIn("2d.txt: not found in", result.stderr)
        write_lines(os.path.join(self.folder, "2d.txt"), ["1 2", "3 4"])
        result = run_plot("--preview", self.folder)
        self.assertEqual(result.returncode, 2)
        self.assertIn("no block closed by a line starting with '&'", result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "preview.png")))


class PictureWriteTest(TemporaryFolderTest):
    """Pictures are replaced whole or not at all, and read-only ones are kept."""

    def snapshot(self):
        contents = {}
        for name in sorted(os.listdir(self.folder)):
            with open(os.path.join(self.folder, name), "rb") as file:
                contents[name] = file.read()
        return contents

    def test_failed_writes_keep_the_old_pictures(self):
        write_run(self.folder, 6)
        self.assertEqual(run_plot(self.folder).returncode, 0)
        before = self.snapshot()

        def small_file_limit():  # a disk that fills after 4 kB of any one file
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        result = subprocess.run([PAIRFIT_PLOT, self.folder], capture_output=True, text=True,
                                preexec_fn=small_file_limit, timeout=120)
        self.assertEqual(result.returncode, 4, result.stderr)
        for name in PICTURES:
            self.assertIn(f"{name}: could not be written (File too large)", result.stderr)
        self.assertNotIn("Traceback", result.stderr)
        self.assertEqual(self.snapshot(), before)

    def test_read_only_picture_is_kept_and_the_others_written(self):
        write_run(self.folder, 6)
        self.assertEqual(run_plot(self.folder).returncode, 0)
        fits = os.path.join(self.folder, "fits.png")
        os.chmod(fits, 0o444)
        before = self.snapshot()
        inodes = {name: os.stat(os.path.join(self.folder, name)).st_ino for name in PICTURES}
        elsewhere = os.path.join(self.folder, "linked")
        os.mkdir(elsewhere)
        os.rename(os.path.join(self.folder, "trends.pdf"), os.path.join(elsewhere, "t.pdf"))
        os.symlink(os.path.join("linked", "t.pdf"), os.path.join(self.folder, "trends.pdf"))
        result = run_plot(self.folder)
        self.assertEqual(result.returncode, 4)
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertIn("fits.png: kept as it is, not redrawn: its write permission is off; make "
                      "it writable (chmod u+w", result.stderr)
        with open(fits, "rb") as file:
            self.assertEqual(file.read(), before["fits.png"])
        self.assertEqual(stat.S_IMODE(os.stat(fits).st_mode), 0o444)
        for name in ("fits.pdf", "trends.png"):
            self.assertNotEqual(os.stat(os.path.join(self.folder, name)).st_ino, inodes[name])
        self.assertTrue(os.path.islink(os.path.join(self.folder, "trends.pdf")))
        with open(os.path.join(elsewhere, "t.pdf"), "rb") as file:
            self.assertTrue(file.read(5) == b"%PDF-")
        self.assertEqual(sorted(os.listdir(self.folder)), sorted([*before, "linked"]))


    def test_trend_plot_write_failures(self):
        line = {"line": "A", "label": "MA", "z": [1, 2, 3], "y": [1.0, 2.0, 2.5],
                "se": [0.1, None, 0.1], "residual": [0.5, None, -0.5], "curve_z": [1, 3],
                "curve_y": [1.0, 2.6]}
        data = json.dumps({"model": "exp", "unit": "s", "lines": [line]})

        def trend_plot(folder, text=data):
            result = subprocess.run([TREND_PLOT, folder], input=text, capture_output=True,
                                    text=True, timeout=120)
            self.assertNotIn("Traceback", result.stderr)
            return result

        self.assertEqual(trend_plot(self.folder).returncode, 0)
        png, pdf = (os.path.join(self.folder, f"trend.{e}") for e in ("png", "pdf"))
        os.chmod(png, 0o444)
        os.chmod(pdf, 0o640)
        before = self.snapshot()
        pdf_inode = os.stat(pdf).st_ino
        result = trend_plot(self.folder)
        self.assertEqual(result.returncode, 4)
        self.assertEqual(result.stderr, f"pairfit-trend-plot: {png}: kept as it is, not "
                         "redrawn: its write permission is off; make it writable (chmod u+w "
                         f"{png}) or move it away to have it redrawn\n")
        self.assertEqual(self.snapshot()["trend.png"], before["trend.png"])
        self.assertNotEqual(os.stat(pdf).st_ino, pdf_inode)
        self.assertEqual(stat.S_IMODE(os.stat(pdf).st_mode), 0o640)
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(before))
        nowhere = os.path.join(self.folder, "nowhere")
        result = trend_plot(nowhere)
        self.assertEqual(result.returncode, 4)
        self.assertEqual(result.stderr.splitlines(),
                         [f"pairfit-trend-plot: {nowhere}/trend.{e}: could not be written (No "
                          "such file or directory); any older picture is kept"
                          for e in ("png", "pdf")])
        result = trend_plot(self.folder, json.dumps({"lines": [{"line": "A"}]}))
        self.assertEqual(result.returncode, 5)
        self.assertIn("internal error (KeyError: 'se')", result.stderr)


class TrendOrderTest(TemporaryFolderTest):
    """Trend lines join the slices in the order of z; markers stay at their slices."""

    def drawn(self, z):
        import matplotlib.pyplot as pyplot
        write_run(self.folder, 8)
        write_report(self.folder, 8, se=0.001, z=z)
        report = PLOT.read_report(os.path.join(self.folder, "report.csv"), 8)
        figure, _, summary = PLOT.draw_report_trends(pyplot, report)
        return report, figure.axes, summary

    def test_lines_in_z_order_and_markers_labelled(self):
        z = [3.0, 1.0, 4.0, 0.5, 5.0, 9.0, 2.0, 6.0]
        report, axes, summary = self.drawn(z)
        self.assertIn("z not monotonic: lines joined in z order, markers labelled", summary)
        columns = (("height_A", "height_B"), ("LWA", "LWB"), ("area_A", "area_B"), ("rss",))
        for panel, names in zip(axes, columns):
            lines = [line for line in panel.get_lines() if line.get_linestyle() == "-"]
            self.assertEqual(len(lines), len(names))
            for line, name in zip(lines, names):
                self.assertEqual(list(line.get_xdata()), sorted(z))
                self.assertEqual(sorted(zip(line.get_xdata(), line.get_ydata())),
                                 sorted(zip(z, report[name])))
            labels = {(text.get_text(), text.xy) for text in panel.texts}
            self.assertEqual(labels, {(str(s), (z[s], report[name][s]))
                                      for name in names for s in range(8)})
        _, axes, summary = self.drawn([9.0 - s for s in range(8)])
        self.assertNotIn("not monotonic", summary)
        self.assertEqual(sum(len(panel.texts) for panel in axes), 0)


def header_statuses(path):
    """{EXIT_NAME: status} of src/ExitStatus.h, read as text (an alias takes its target's)."""
    statuses = {}
    with open(path) as header:
        for name, value in re.findall(r"^constexpr int exit_(\w+) = (\w+);", header.read(),
                                      re.MULTILINE):
            statuses["EXIT_" + name.upper()] = (int(value) if value.isdigit()
                                                else statuses["EXIT_" + value[5:].upper()])
    return statuses


class StatusTableTest(TemporaryFolderTest):
    """The scripts' generated constants are the C++ table, and a fault of one kind ends a
    program and a script with one status."""

    SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")

    def test_constants_are_the_header_table(self):
        from pairfit_drawing import constants
        statuses = header_statuses(os.path.join(self.SOURCE, "src", "ExitStatus.h"))
        self.assertIn("EXIT_MISSING_TOOL", statuses)
        generated = {name: value for name, value in vars(constants).items()
                     if name.startswith("EXIT_")}
        self.assertEqual(generated, statuses)
        for launcher in ("pairfit-plot", "pairfit-trend-plot"):
            with open(os.path.join(os.path.dirname(PAIRFIT_PLOT), launcher)) as file:
                fallback = re.search(r"^EXIT_INTERNAL_ERROR = (\d+)$", file.read(), re.MULTILINE)
            self.assertEqual(int(fallback.group(1)), statuses["EXIT_INTERNAL_ERROR"], launcher)

    def test_report_columns_are_those_pairfit4_writes(self):
        from pairfit_drawing import constants
        for name in ("2d.txt", "peaks.txt"):
            shutil.copy(os.path.join(EXAMPLE_DIR, name), self.folder)
        subprocess.run([PAIRFIT4, "--report"], cwd=self.folder, check=True,
                       capture_output=True, timeout=120)
        with open(os.path.join(self.folder, "report.csv")) as report:
            self.assertEqual(report.readline().rstrip("\n").split(","),
                             list(constants.REPORT_COLUMNS))
        self.assertIs(PLOT.REPORT_COLUMNS, constants.REPORT_COLUMNS)

    def test_program_and_script_agree(self):
        from pairfit_drawing import constants
        empty = os.path.join(self.folder, "empty")
        broken = os.path.join(self.folder, "broken")
        os.mkdir(empty)
        os.mkdir(broken)
        write_run(broken, 2)
        write_lines(os.path.join(broken, "peaks.txt"), ["1.2"])  # one value on row 1
        write_lines(os.path.join(broken, "2d.txt"), ["1 2", "&"])
        with open(os.path.join(broken, "dat.txt"), "a") as file:
            file.write("1.0 x\n")
        for fault, folder, args, status in (
                ("a wrong argument", empty, ["--bogus"], constants.EXIT_BAD_ARGUMENTS),
                ("no input", empty, [], constants.EXIT_MISSING_INPUT),
                ("malformed input", broken, [], constants.EXIT_MALFORMED_INPUT)):
            program = subprocess.run([PAIRFIT4, *args], cwd=folder, capture_output=True,
                                     text=True, timeout=120)
            script = run_plot(*args, cwd=folder)
            self.assertEqual((program.returncode, script.returncode), (status, status),
                             (fault, program.stderr, script.stderr))


class ArgumentsTest(unittest.TestCase):
    def test_help(self):
        result = run_plot("--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith("usage: pairfit-plot [FOLDER]"))

    def test_wrong_arguments(self):
        for args, reason in ((("-x",), "unknown option '-x'"), (("a", "b"), "one folder"),
                             (("--noise", "1", "2"), "--noise goes with --preview"),
                             (("--preview", "--noise", "1"), "--noise needs two ppm values"),
                             (("--preview", "--noise", "1", "2ppm"), "'2ppm' is not a ppm")):
            result = run_plot(*args)
            self.assertEqual(result.returncode, 1, args)
            self.assertTrue(result.stderr.startswith("usage: pairfit-plot"), args)
            self.assertIn(reason, result.stderr)

    def test_unexpected_error_is_one_message(self):
        def broken(*_):
            raise RuntimeError("disk on fire")

        original = PLOT.read_run
        PLOT.read_run = broken
        stderr = io.StringIO()
        try:
            with contextlib.redirect_stderr(stderr):
                status = PLOT.main(["pairfit-plot"])
        finally:
            PLOT.read_run = original
        self.assertEqual(status, 5)
        self.assertEqual(stderr.getvalue(), "pairfit-plot: internal error (RuntimeError: disk "
                         "on fire); pictures already in place are complete, the others keep "
                         "their old content\n")


if __name__ == "__main__":
    unittest.main()

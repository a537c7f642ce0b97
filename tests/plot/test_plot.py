"""pairfit-plot on a real fit of the bundled example, on synthetic runs, and on folders
whose result files are missing or do not agree.

Environment: PAIRFIT_PLOT (the command), PAIRFIT4 (the program) and EXAMPLE_DIR (the
folder with 2d.txt and peaks.txt of the titration example).
"""

import importlib.machinery
import importlib.util
import math
import os
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
PAIRFIT4 = os.environ.get("PAIRFIT4", "")
EXAMPLE_DIR = os.environ.get("EXAMPLE_DIR", "")
RESULT_FILES = ("dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt")
PICTURES = ("fits.png", "fits.pdf", "trends.png", "trends.pdf")


def load_plot_module():
    loader = importlib.machinery.SourceFileLoader("pairfit_plot", PAIRFIT_PLOT)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


PLOT = load_plot_module()


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
        self.assertEqual(result.returncode, 3)
        self.assertIn("install Debian's python3-matplotlib", result.stderr)
        self.assert_no_pictures()


class BadResultsTest(TemporaryFolderTest):
    """Missing or disagreeing result files: status 2, the file named, nothing written."""

    def edit(self, name, change):
        path = os.path.join(self.folder, name)
        with open(path) as file:
            lines = file.read().splitlines()
        write_lines(path, change(lines))

    def test_empty_folder(self):
        self.assert_fails(2, self.folder, "no pairfit results")

    def test_folder_that_does_not_exist(self):
        missing = os.path.join(self.folder, "nowhere")
        result = run_plot(missing)
        self.assertEqual(result.returncode, 2)
        self.assertIn(f"{missing}: no such folder", result.stderr)

    def test_one_file_missing(self):
        write_run(self.folder, 4)
        os.remove(os.path.join(self.folder, "sim_b.txt"))
        self.assert_fails(2, "sim_b.txt: missing")

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
        cells += [sum(n * n for n in fixture_noise(s)), 0.013, 1234.5]
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


class ArgumentsTest(unittest.TestCase):
    def test_help(self):
        result = run_plot("--help")
        self.assertEqual(result.returncode, 0)
        self.assertTrue(result.stdout.startswith("usage: pairfit-plot [FOLDER]"))

    def test_wrong_arguments(self):
        for args in (("-x",), ("a", "b")):
            result = run_plot(*args)
            self.assertEqual(result.returncode, 1, args)
            self.assertTrue(result.stderr.startswith("usage: pairfit-plot"), args)


if __name__ == "__main__":
    unittest.main()

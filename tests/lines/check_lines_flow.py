"""pairfit-import --lines, pairfit-lines, pairfit-plot and pairfit-trend as a user runs them
one after the other on the bundled inversion recovery: the files each leaves, their statuses,
the T1 of the tall lines against the two-line fit's, lines.txt written, replaced and kept,
and the pictures of a pairfit-lines folder (drawn, refused when lines.csv is older than
2d.txt or the files disagree).

Environment: PAIRFIT_IMPORT, PAIRFIT_LINES, PAIRFIT_PLOT, PAIRFIT_TREND, PAIRFIT4 (the
commands) and PAIRFIT_DATA (the folder tests/data).
"""

import csv
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

IMPORT = os.environ["PAIRFIT_IMPORT"]
LINES = os.environ["PAIRFIT_LINES"]
PLOT = os.environ["PAIRFIT_PLOT"]
TREND = os.environ["PAIRFIT_TREND"]
PAIRFIT4 = os.environ["PAIRFIT4"]
SERIES = os.path.join(os.environ["PAIRFIT_DATA"], "bruker", "inversion_recovery", "1", "pdata",
                      "1")
PICTURES = ("fits.png", "fits.pdf", "trends.png", "trends.pdf")
LINE_COLOURS = ("#1f77b4", "#ff7f0e", "#9467bd", "#8c564b")  # lines_plot's first four
# The lines of the window the importer must find, tallest first (ppm, as README and the fit
# of pairfit-lines give them).
EXPECTED = (0.7176, 0.7293, 0.7462, 0.7521)


def run(command, *args, cwd):
    return subprocess.run([command, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


def read_csv(path):
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def lines_rows(path):
    """The data rows of a lines.txt as (name, ppm, half-width or None)."""
    rows = []
    with open(path) as file:
        for line in file:
            fields = line.split("#", 1)[0].split()
            if fields:
                rows.append((fields[0], float(fields[1]),
                             None if fields[2] == "-" else float(fields[2])))
    return rows


def colour_pixels(path, colour, tolerance=40):
    pixels = (mimage.imread(path)[:, :, :3] * 255).astype(int)
    target = numpy.array(mcolors.to_rgb(colour)) * 255
    return int((numpy.abs(pixels - target).sum(axis=2) < tolerance).sum())


class FolderTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pairfit-lines-flow-")
        self.addCleanup(shutil.rmtree, self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def run_ok(self, command, *args):
        done = run(command, *args, cwd=self.folder)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done

    def import_lines(self, count):
        return self.run_ok(IMPORT, "--window", "0.76", "0.69", "--lines", str(count), SERIES)


class FlowTest(FolderTest):
    """The README's commands, one process after the other."""

    def test_import_fit_and_plot(self):
        done = self.import_lines(4)
        self.assertIn("wrote ./lines.txt: 4 lines", done.stdout)
        with open(self.path("lines.txt")) as file:
            self.assertTrue(file.readline().startswith("# lines suggested by pairfit-import"))
        rows = lines_rows(self.path("lines.txt"))
        self.assertEqual([name for name, _, _ in rows], ["L1", "L2", "L3", "L4"])
        for (_, ppm, _), expected in zip(rows, EXPECTED):
            self.assertAlmostEqual(ppm, expected, delta=0.0001)
        # Every position is a point of the series as 2d.txt holds it.
        with open(self.path("2d.txt")) as file:
            axis = {float(line.split()[0]) for line in file if line[:1] not in "#&"}
        self.assertTrue(all(ppm in axis for _, ppm, _ in rows))

        done = self.run_ok(LINES, "--z", "z.txt")
        lines = read_csv(self.path("lines.csv"))
        slices = read_csv(self.path("slices.csv"))
        self.assertEqual(len(slices), 10)
        self.assertEqual(len(lines), 40)
        self.assertEqual({row["status"] for row in slices}, {"settled"})
        with open(self.path("z.txt")) as file:
            z = [line.strip() for line in file if not line.startswith("#")]
        self.assertEqual([row["z"] for row in slices], z)
        # The half-width measured at half height in the slice of largest |intensity| is a
        # start close to what the fit finds there: within a third for the two tall lines,
        # within a factor two for the small ones on their flanks.
        loudest = int(open(self.path("lines.txt")).readline().split("from slice ")[1].split()[0])
        for (name, _, start), tolerance in zip(rows, (0.33, 0.33, 1.0, 1.0)):
            fitted = next(float(row["half_width"]) for row in lines
                          if row["line"] == name and int(row["slice"]) == loudest)
            self.assertLess(abs(start / fitted - 1), tolerance, name)
        # A curve file per line, and the curves add up to the data.
        names = ["lines_dat.txt", "lines_res.txt"] + [f"lines_sim_{k}.txt" for k in range(1, 5)]
        curves = {name: numpy.loadtxt(self.path(name)) for name in names}
        model = sum(curves[f"lines_sim_{k}.txt"][:, 1:] for k in range(1, 5))
        scale = numpy.abs(curves["lines_dat.txt"][:, 1:]).max()
        self.assertLess(numpy.abs(curves["lines_dat.txt"][:, 1:] - model
                                  - curves["lines_res.txt"][:, 1:]).max(), 1e-9 * scale)

        done = self.run_ok(PLOT)
        self.assertIn("4 lines", done.stdout)
        for name in PICTURES:
            self.assertGreater(os.path.getsize(self.path(name)), 1000, name)
        # Every line is drawn in its colour in the fits and the trends.
        for picture in ("fits.png", "trends.png"):
            for colour in LINE_COLOURS:
                self.assertGreater(colour_pixels(self.path(picture), colour), 50,
                                   f"{picture}: {colour}")

        done = self.run_ok(PLOT, "--preview")
        self.assertIn("4 lines of lines.txt", done.stdout)
        self.assertGreater(colour_pixels(self.path("preview.png"), "#2ca02c"), 100)

        # The third command: a T1 per tall line, each within its error of the T1 that the
        # two-line pairfit4 --signed gives the same line of the same series.
        self.run_ok(TREND, "inversion", "--line", "L1", "--line", "L2", "--mc", "0", "--no-plot")
        four = {row["line"]: row for row in read_csv(self.path("trend.csv"))
                if row["parameter"] == "T1"}
        self.assertEqual(sorted(four), ["L1", "L2"])
        two_lines = self.path("two_lines")
        os.mkdir(two_lines)
        for name in ("2d.txt", "z.txt"):
            shutil.copy(self.path(name), two_lines)
        with open(os.path.join(two_lines, "peaks.txt"), "w") as file:
            file.write("0.7293 0.7176\n0.76 0.69\n")  # A is L2, B is L1
        for command in ((PAIRFIT4, "--signed", "--z", "z.txt"),
                        (TREND, "inversion", "--mc", "0", "--no-plot")):
            done = run(*command, cwd=two_lines)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        two = {row["line"]: row for row in read_csv(os.path.join(two_lines, "trend.csv"))
               if row["parameter"] == "T1"}
        for mine, theirs in (("L1", "B"), ("L2", "A")):
            difference = abs(float(four[mine]["value"]) - float(two[theirs]["value"]))
            self.assertLess(difference, float(four[mine]["se"]), (four[mine], two[theirs]))

    def test_stale_or_disagreeing_results_are_refused(self):
        self.import_lines(2)
        self.run_ok(LINES)
        # A new import after the fit: lines.csv is that of the earlier series.
        os.utime(self.path("lines.csv"), ns=(10**18, 10**18))
        os.utime(self.path("2d.txt"), ns=(2 * 10**18, 2 * 10**18))
        done = run(PLOT, cwd=self.folder)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("lines.csv is older than 2d.txt", done.stderr)
        self.assertFalse(any(os.path.exists(self.path(name)) for name in PICTURES))
        os.utime(self.path("lines.csv"), ns=(3 * 10**18, 3 * 10**18))
        # A curve file of another fit (a slice less) is refused, naming it.
        with open(self.path("lines_sim_2.txt")) as file:
            rows = [" ".join(line.split()[:-1]) for line in file]
        with open(self.path("lines_sim_2.txt"), "w") as file:
            file.write("\n".join(rows) + "\n")
        done = run(PLOT, cwd=self.folder)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertIn("lines_sim_2.txt", done.stderr)
        os.remove(self.path("lines_res.txt"))
        done = run(PLOT, cwd=self.folder)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("lines_res.txt: missing", done.stderr)


class LinesFileTest(FolderTest):
    """lines.txt beside 2d.txt: written, replaced when the importer wrote it, else kept."""

    def test_written_replaced_and_kept(self):
        self.import_lines(4)
        self.assertEqual(len(lines_rows(self.path("lines.txt"))), 4)
        self.import_lines(2)
        self.assertEqual([r[0] for r in lines_rows(self.path("lines.txt"))], ["L1", "L2"])
        # Without --lines the file stays as it is.
        before = open(self.path("lines.txt")).read()
        self.run_ok(IMPORT, "--window", "0.76", "0.69", SERIES)
        self.assertEqual(open(self.path("lines.txt")).read(), before)

        # Once the user edits it (the first line deleted), the file is theirs.
        mine = "A 0.7293 0.0013\nB 0.7176\n"
        with open(self.path("lines.txt"), "w") as file:
            file.write(mine)
        series = open(self.path("2d.txt")).read()
        done = self.run_ok(IMPORT, "--window", "0.77", "0.68", "--lines", "4", SERIES)
        self.assertIn("lines.txt was not written by pairfit-import and is kept", done.stderr)
        self.assertEqual(open(self.path("lines.txt")).read(), mine)
        self.assertNotEqual(open(self.path("2d.txt")).read(), series)

    def test_all_or_nothing(self):
        self.import_lines(2)
        before = {name: open(self.path(name)).read() for name in ("2d.txt", "z.txt", "lines.txt")}
        # A write-protected lines.txt is the user's "keep this": the import is refused whole,
        # 2d.txt and z.txt included.
        os.chmod(self.path("lines.txt"), 0o444)
        done = run(IMPORT, "--window", "0.77", "0.68", "--lines", "3", SERIES, cwd=self.folder)
        self.assertEqual(done.returncode, 4, done.stderr)
        self.assertIn("lines.txt", done.stderr)
        for name, text in before.items():
            self.assertEqual(open(self.path(name)).read(), text, name)
        self.assertEqual(sorted(os.listdir(self.folder)), ["2d.txt", "lines.txt", "z.txt"])

    def test_bad_counts_are_refused_before_reading(self):
        for word in ("0", "-1", "x", "1000"):
            done = run(IMPORT, "--lines", word, SERIES, cwd=self.folder)
            self.assertEqual(done.returncode, 1, word)
            self.assertIn("--lines needs a whole number of lines from 1 to 100", done.stderr)
        self.assertEqual(os.listdir(self.folder), [])

    def test_fewer_lines_than_asked(self):
        done = self.import_lines(9)
        rows = lines_rows(self.path("lines.txt"))
        self.assertLess(len(rows), 9)
        self.assertIn(f"holds only {len(rows)} local maxima", done.stderr)
        heights = []
        with open(self.path("lines.txt")) as file:
            for line in file:
                if line.startswith("L"):
                    heights.append(float(line.split("# height")[1]))
        self.assertEqual(heights, sorted(heights, reverse=True))
        self.assertEqual(heights[0], 1.0)
        self.assertTrue(all(h is None or h > 0 for _, _, h in rows))
        self.assertTrue(all(math.isfinite(ppm) for _, ppm, _ in rows))


if __name__ == "__main__":
    unittest.main()

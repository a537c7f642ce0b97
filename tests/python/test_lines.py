"""pairfit.fit_lines against pairfit-lines: every value of lines.csv and slices.csv and every
curve file value bit for bit, on synthetic series over the options and on the bundled
inversion recovery, and every refusal with the program's message. CTest sets PAIRFIT_LINES,
PAIRFIT_IMPORT and PAIRFIT_SOURCE."""

import csv
import math
import os
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest

import pairfit

LINES = os.environ["PAIRFIT_LINES"]
IMPORT = os.environ["PAIRFIT_IMPORT"]
SOURCE = Path(os.environ["PAIRFIT_SOURCE"])
INVERSION = SOURCE / "tests" / "data" / "bruker" / "inversion_recovery" / "1" / "pdata" / "1"


def run_lines(folder, *args):
    return subprocess.run([LINES, *args], cwd=folder, capture_output=True, text=True)


def shape_value(shape, x, position, height, half_width, eta=0.5):
    u = (x - position) / half_width
    lorentz = 1.0 / (1.0 + u * u)
    gauss = np.exp(-np.log(2.0) * u * u)
    return height * {"lorentzian": lorentz, "gaussian": gauss,
                     "pseudo-voigt": eta * lorentz + (1 - eta) * gauss}[shape]


def write_series(folder, lines, seed, slices=6, points=120, baseline=(0.0, 0.0),
                 low=1.0, high=2.0):
    """2d.txt of `lines` (shape, position, height, half-width), each height times a decay
    that changes sign over the slices, with noise; the axis runs from 0.8 to 2.2 ppm so that
    a noise region lies outside the window (low, high). peaks.txt gives the window."""
    random = np.random.default_rng(seed)
    x = np.linspace(2.2, 0.8, points)
    blocks = []
    for s in range(slices):
        factor = 1.0 - 1.6 * math.exp(-s / 2.0)
        y = baseline[0] + baseline[1] * (x - 1.5) + random.normal(0.0, 0.01, points)
        for shape, position, height, width in lines:
            y = y + factor * shape_value(shape, x, position, height, width)
        blocks.append("".join(f"{a!r} {b!r}\n" for a, b in zip(x, y)) + "&\n")
    (folder / "2d.txt").write_text("".join(blocks))
    (folder / "z.txt").write_text("# x of each slice (unit s)\n"
                                  + "".join(f"{0.5 * s!r}\n" for s in range(slices)))
    (folder / "peaks.txt").write_text(f"{lines[0][1]} {lines[1][1]}\n{low} {high}\n")


def cell_equal(text, value):
    return math.isnan(value) if text == "" else float(text) == value


def assert_same_as_files(fit, folder):
    """Every cell of lines.csv and slices.csv and every curve file value, bit for bit."""
    with open(folder / "lines.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == list(fit.lines)
    assert len(rows) - 1 == len(fit) * len(fit.names)
    for r, row in enumerate(rows[1:]):
        s, k = divmod(r, len(fit.names))
        for name, text in zip(rows[0], row):
            value = fit.lines[name][s, k]
            if name in ("line", "shape", "status"):
                assert value == text, (name, s, k)
            elif name == "slice":
                assert int(text) == value == s
            else:
                assert cell_equal(text, value), (name, s, k, text, value)
    with open(folder / "slices.csv", newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == list(fit.slices)
    for s, row in enumerate(rows[1:]):
        for name, text in zip(rows[0], row):
            value = fit.slices[name][s]
            if name == "status":
                assert value == text
            elif name in ("slice", "points", "iterations"):
                assert int(text) == value, (name, s)
            else:
                assert cell_equal(text, value), (name, s, text, value)
    curves = fit.curves()
    files = {"lines_dat.txt": curves.data, "lines_res.txt": curves.residual}
    files.update({f"lines_sim_{k + 1}.txt": line for k, line in enumerate(curves.lines)})
    if curves.baseline is not None:
        files["lines_baseline.txt"] = curves.baseline
    written = sorted(p.name for p in folder.glob("lines_*.txt"))
    assert written == sorted(files)
    for name, values in files.items():
        table = np.array([[float(v) for v in line.split()]
                          for line in (folder / name).read_text().splitlines()
                          if not line.startswith("#")])
        assert np.array_equal(table[:, 0], fit.ppm), name
        assert np.array_equal(table[:, 1:], values.T), name


# (lines of the series, lines.txt, program options, fit_lines keywords)
CASES = {
    "three lorentzians": (
        [("lorentzian", 1.3, 1.0, 0.03), ("lorentzian", 1.5, 0.6, 0.02),
         ("lorentzian", 1.56, 0.3, 0.02)],
        "a 1.3\nb 1.5 0.03\nc 1.56\n", [], {}),
    "pseudo-voigt on a linear baseline, floating, with noise": (
        [("pseudo-voigt", 1.3, 1.0, 0.03), ("pseudo-voigt", 1.52, 0.8, 0.025)],
        "# two lines\nleft 1.302\nright 1.518 0.02\n",
        ["--shape", "pseudo-voigt", "--baseline", "linear", "--float", "0.004",
         "--noise", "1.9", "2.19"],
        {"shape": "pseudo-voigt", "baseline": "linear", "float": 0.004,
         "noise": (1.9, 2.19)}),
    "gaussians of summed widths on a constant, positive": (
        [("gaussian", 1.25, 1.0, 0.03), ("gaussian", 1.45, 0.5, 0.04),
         ("gaussian", 1.7, 0.7, 0.02)],
        "p 1.25\nq 1.45\nr 1.7 0.03\n",
        ["--shape", "gaussian", "--widths", "sum", "--baseline", "constant", "--positive"],
        {"shape": "gaussian", "widths": "sum", "baseline": "constant", "positive": True}),
    "held widths of mixed shapes": (
        [("lorentzian", 1.3, 1.0, 0.03), ("gaussian", 1.6, 0.8, 0.025)],
        "A 1.3 0.03\nB 1.6 0.025 gaussian\n", ["--widths", "fixed"], {"widths": "fixed"}),
}


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.parametrize("seed", [1, 2])
def test_synthetic_series_as_the_program_writes_them(tmp_path, case, seed):
    truth, lines_txt, args, options = CASES[case]
    write_series(tmp_path, truth, seed, baseline=(0.05, 0.1) if "baseline" in case else (0, 0))
    (tmp_path / "lines.txt").write_text(lines_txt)
    done = run_lines(tmp_path, "--z", "z.txt", *args)
    assert done.returncode == 0, done.stderr
    series, peaks = pairfit.read_series(tmp_path, noise=options.get("noise"))
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        fit = pairfit.fit_lines(series, tmp_path / "lines.txt", window=peaks["window"],
                                **options)
    assert_same_as_files(fit, tmp_path)
    # The program's warnings, and nothing else, as PairfitWarning.
    printed = [line for line in done.stderr.splitlines() if "warning" in line]
    assert [str(w.message) for w in said] == printed
    # The same lines given as tuples fit to the same values.
    rows = pairfit.read_lines(tmp_path / "lines.txt")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", pairfit.PairfitWarning)
        again = pairfit.fit_lines(series, rows, window=peaks["window"], **options)
    for name, values in fit.lines.items():
        assert np.array_equal(values, again.lines[name]) or (
            values.dtype.kind == "f" and np.array_equal(values, again.lines[name],
                                                        equal_nan=True)), name


def test_bundled_inversion_recovery(tmp_path):
    """The README's series: pairfit-import --lines 4, then pairfit-lines without a window,
    and fit_lines on import_spectra's series with the same lines.txt."""
    done = subprocess.run([IMPORT, "--window", "0.76", "0.69", "--lines", "4", str(INVERSION)],
                          cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    done = run_lines(tmp_path, "--z", "z.txt")
    assert done.returncode == 0, done.stderr
    series = pairfit.import_spectra(INVERSION, window=(0.76, 0.69))
    fit = pairfit.fit_lines(series, tmp_path / "lines.txt")
    assert fit.names == ["L1", "L2", "L3", "L4"]
    assert_same_as_files(fit, tmp_path)
    # trend() is pairfit.trend on the line's column.
    t1 = fit.trend("L2", "inversion", mc=20, seed=7)
    by_hand = pairfit.trend(series.z, fit.lines["area"][:, 1], fit.lines["area_se"][:, 1],
                            "inversion", mc=20, seed=7, status=fit.lines["status"][:, 1],
                            line="L2")
    assert repr(t1) == repr(by_hand)
    assert t1.params["T1"] == by_hand.params["T1"] and t1.n == by_hand.n
    assert 0.8 < t1.params["T1"].value < 1.1


def test_refusals_carry_the_program_message(tmp_path):
    write_series(tmp_path, [("lorentzian", 1.3, 1.0, 0.03), ("lorentzian", 1.5, 0.6, 0.02)], 3,
                 slices=2, points=40)
    series, peaks = pairfit.read_series(tmp_path)
    cases = [("a 1.3\na 1.5\n", []), ("a 1.3\nb 2.1\n", []), ("a 1.3 0.02\nb 1.5\n",
                                                                ["--widths", "fixed"]),
             ("a 1.3 -0.1\n", []), ("a 1.3 0.02 cauchy\n", []),
             ("".join(f"l{k} {1.01 + 0.02 * k}\n" for k in range(14)), ["--float", "0.001"])]
    for text, args in cases:
        (tmp_path / "lines.txt").write_text(text)
        done = run_lines(tmp_path, *args)
        assert done.returncode == 2, (text, done.stderr)
        assert not (tmp_path / "lines.csv").exists()
        options = {"widths": "fixed"} if "--widths" in args else (
            {"float": 0.001} if "--float" in args else {})
        with pytest.raises(pairfit.Error) as raised:
            pairfit.fit_lines(series, tmp_path / "lines.txt", window=peaks["window"], **options)
        message = str(raised.value).replace(str(tmp_path / "lines.txt"), "lines.txt")
        assert message == done.stderr.strip(), text
        assert raised.value.kind == "malformed_input"
    # Arguments the program would not take either.
    for keywords in ({"shape": "voigt"}, {"baseline": "quadratic"}, {"widths": "some"},
                     {"float": -1.0}):
        with pytest.raises(pairfit.Error):
            pairfit.fit_lines(series, [("a", 1.3)], **keywords)
    with pytest.raises(pairfit.Error, match="lines: line 2: the name"):
        pairfit.fit_lines(series, [("a", 1.3), ("a", 1.5)])


def test_pandas_frames_or_a_clear_error(tmp_path):
    write_series(tmp_path, [("lorentzian", 1.3, 1.0, 0.03), ("lorentzian", 1.5, 0.6, 0.02)], 4,
                 slices=3, points=60)
    series, peaks = pairfit.read_series(tmp_path)
    fit = pairfit.fit_lines(series, [("a", 1.3), ("b", 1.5, 0.02)], window=peaks["window"])
    try:
        import pandas  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError, match="needs pandas"):
            fit.to_pandas()
        return
    lines, slices = fit.to_pandas()
    assert list(lines.columns) == list(fit.lines)
    assert list(lines["line"]) == ["a", "b"] * 3
    assert np.array_equal(lines["area"].to_numpy(), fit.lines["area"].reshape(-1))
    assert list(slices["status"]) == list(fit.slices["status"])


def test_stub_lists_the_lines_names(tmp_path):
    import ast
    stub = ast.parse((Path(pairfit.__file__).parent / "__init__.pyi").read_text())
    classes = {node.name: {child.target.id if isinstance(child, ast.AnnAssign) else child.name
                           for child in node.body
                           if isinstance(child, (ast.AnnAssign, ast.FunctionDef))}
               for node in stub.body if isinstance(node, ast.ClassDef)}
    write_series(tmp_path, [("lorentzian", 1.3, 1.0, 0.03), ("lorentzian", 1.5, 0.6, 0.02)], 5,
                 slices=2, points=60)
    series, peaks = pairfit.read_series(tmp_path)
    fit = pairfit.fit_lines(series, [("a", 1.3), ("b", 1.5)], baseline="constant")
    for name, instance, extra in (("LinesFit", fit, set()),
                                  ("LineCurves", fit.curves(), {"count", "index"})):
        runtime = {n for n in dir(instance) if not n.startswith("_")} - extra
        assert {n for n in classes[name] if not n.startswith("_")} == runtime, name


def test_four_lines_agree_with_the_two_line_signed_fit():
    """The doublet's T1 from the four-line fit lies within its error of the T1 that
    pairfit4 --signed's model gives the same line (the README's two numbers)."""
    series = pairfit.import_spectra(INVERSION, window=(0.76, 0.69))
    lines = pairfit.fit_lines(series, [("L1", 0.7176), ("L2", 0.7293), ("L3", 0.7462),
                                       ("L4", 0.7521)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", pairfit.PairfitWarning)
        pair = pairfit.fit(series, 0.7293, 0.7176, signed=True)
    for name, area, area_se in (("L2", pair.area_A, pair.area_A_se),
                                ("L1", pair.area_B, pair.area_B_se)):
        four = lines.trend(name, "inversion", mc=0)["T1"]
        two = pairfit.trend(series.z, area, area_se, "inversion", mc=0)["T1"]
        assert abs(four[0] - two[0]) < four[1], (name, four, two)

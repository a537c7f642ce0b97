"""The module pairfit against the programs: every value of a Fit is the one report.csv prints,
every curve rounds to the bytes of the result files, and every refusal carries the programs'
message, with a kind that gives the programs' exit status. The programs come from the environment (CTest sets PAIRFIT4, PAIRFIT2,
PAIRFIT_IMPORT and PAIRFIT_SOURCE)."""

import ast
import csv
import errno
import math
import os
import pickle
import shutil
import subprocess
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import pairfit

PROGRAMS = {name: os.environ[variable] for name, variable in
            [("pairfit4", "PAIRFIT4"), ("pairfit2", "PAIRFIT2"), ("import", "PAIRFIT_IMPORT"),
             ("trend", "PAIRFIT_TREND")]}
SOURCE = Path(os.environ["PAIRFIT_SOURCE"])
BRUKER = SOURCE / "tests" / "data" / "bruker"
MATRIX_FILES = ["dat.txt", "sim_a.txt", "sim_b.txt", "res.txt"]
# The exit status of each kind of refusal, as the programs' table documents it.
KIND_STATUS = {"bad_arguments": 1, "unreadable_input": 1, "malformed_input": 2,
               "non_finite_fit": 3, "unwritable_output": 4, "internal_error": 5}


def run(program, folder, *args):
    return subprocess.run([PROGRAMS[program], *args], cwd=folder, capture_output=True,
                          text=True, env={**os.environ, "PAIRFIT_THREADS": "1"})


def matrix_text(ppm, matrix):
    """A matrix file's text from full-precision values, by the programs' rule."""
    return "".join("%10.6f " % x + "".join("%10.6f " % v for v in row) + "\n"
                   for x, row in zip(ppm, matrix))


def assert_same_as_files(fit, folder):
    """Every column against report.csv (bit for bit, NaN for an empty cell) and the curves
    against the four matrix files (byte for byte)."""
    with open(folder / "report.csv", newline="") as report:
        rows = list(csv.reader(report))
    assert rows[0] == fit.columns
    assert len(rows) - 1 == len(fit)
    for index, name in enumerate(fit.columns):
        cells = [row[index] for row in rows[1:]]
        values = fit[name]
        if name == "status":
            assert list(values) == cells
            continue
        for s, (text, value) in enumerate(zip(cells, values)):
            if text == "":
                assert math.isnan(value), (name, s, value)
            else:
                assert float(text) == value, (name, s, text, repr(value))
    assert float(rows[1][fit.columns.index("scale_factor")]) == fit.scale_factor
    for name, curve in zip(MATRIX_FILES, fit.curves()):
        assert curve.shape == (len(fit), len(fit.ppm))  # [slice, point], the files' transpose
        assert matrix_text(fit.ppm, curve.T) == (folder / name).read_text(), name


def program_fit(program, folder, *args):
    done = run(program, folder, "--report", *args)
    assert done.returncode == 0, done.stderr
    return done


@pytest.fixture
def titration(tmp_path):
    for name in ("2d.txt", "peaks.txt"):
        shutil.copy(SOURCE / "examples" / "titration" / name, tmp_path)
    return tmp_path


@pytest.mark.parametrize("program", ["pairfit4", "pairfit2"])
def test_bundled_example_gives_the_programs_numbers(titration, program):
    program_fit(program, titration)
    series, peaks = pairfit.read_series(titration)
    assert peaks["window"] == (0.2, 2.0) and series.z is None
    widths = peaks["widths"] if program == "pairfit2" else None
    fit = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"], widths=widths)
    assert_same_as_files(fit, titration)
    # The residual is the files' (y - a) - b, not y - (a + b).
    data, line_a, line_b, residual = fit.curves()
    assert np.array_equal(residual, (data - line_a) - line_b)
    try:
        import pandas  # noqa: F401 (optional)
    except ImportError:
        return
    frame = fit.to_pandas()
    assert list(frame.columns) == fit.columns and np.array_equal(frame["MA"], fit.MA)


@pytest.mark.parametrize("program", ["pairfit4", "pairfit2"])
def test_signed_and_noise_give_the_programs_numbers(titration, program):
    # A region outside the window, and one inside the series' own points.
    for region, series_args in (((2.4, 2.1), {"noise": (2.1, 2.4)}), ((1.9, 1.6), {})):
        program_fit(program, titration, "--signed", "--noise", *map(str, region))
        series, peaks = pairfit.read_series(titration, **series_args)
        widths = peaks["widths"] if program == "pairfit2" else None
        fit = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"], widths=widths,
                          signed=True, noise=region)
        assert not np.isnan(fit.chi2_red).any()
        assert_same_as_files(fit, titration)


# Bruker data through pairfit-import: the inversion recovery with its delays, and two 1D
# folders of one axis.
BRUKER_RUNS = [
    ([BRUKER / "inversion_recovery" / "1" / "pdata" / "1"], (0.76, 0.69), (0.7293, 0.7176)),
    ([BRUKER / "coffee_UV1009" / "20" / "pdata" / "1", BRUKER / "coffee_UV1010" / "10" / "pdata" / "1"],
     (3.6, 3.2), (3.45, 3.3)),
]


@pytest.mark.parametrize("inputs, window, peaks", BRUKER_RUNS, ids=["pseudo2d", "two_1d"])
def test_imported_bruker_data_give_the_programs_numbers(tmp_path, inputs, window, peaks):
    done = run("import", tmp_path, "--window", *map(str, window), *map(str, inputs))
    assert done.returncode == 0, done.stderr
    (tmp_path / "peaks.txt").write_text("%r %r\n%r %r\n" % (*peaks, *window))
    has_z = (tmp_path / "z.txt").exists()
    done = program_fit("pairfit4", tmp_path, *(["--z", "z.txt"] if has_z else []))

    series = pairfit.import_spectra(*inputs, window=window)
    read, _ = pairfit.read_series(tmp_path)
    for name in ("ppm", "intensity", "z", "z_unit"):
        assert np.array_equal(getattr(series, name), getattr(read, name)), name
    assert has_z == (series.z is not None)
    if has_z:
        assert series.z_unit == "s" and len(series.z) == 10
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = pairfit.fit(series, *peaks)
    # The programs' warnings, in their order, as the lines of standard error.
    assert [str(w.message) for w in caught] == [
        line for line in done.stderr.splitlines() if "warning" in line]
    assert all(w.category is pairfit.PairfitWarning for w in caught)
    assert_same_as_files(fit, tmp_path)


def random_series(rng):
    """A small series of two noisy lines, sometimes upside down, on an axis in either order."""
    slices = int(rng.integers(1, 7))
    points = int(rng.integers(1, 40))
    ppm = np.sort(rng.uniform(-1.0, 3.0, points))
    if rng.random() < 0.5:
        ppm = ppm[::-1]
    peak_A, peak_B = rng.uniform(-1.0, 3.0, 2)
    widths = rng.uniform(0.01, 0.5, 2)
    sign = -1.0 if rng.random() < 0.1 else 1.0
    intensity = np.empty((slices, points))
    for s in range(slices):
        heights = sign * rng.uniform(0.0, 5.0, 2)
        lines = sum(h / (1 + ((ppm - p) / w) ** 2) for h, p, w in zip(heights, (peak_A, peak_B), widths))
        intensity[s] = lines + rng.normal(0.0, rng.uniform(0.001, 0.5), points)
    fixed = tuple(float(w) for w in rng.uniform(0.01, 0.5, 2)) if rng.random() < 0.5 else None
    return ppm, intensity, float(peak_A), float(peak_B), fixed


def write_series(folder, ppm, intensity, peak_A, peak_B, widths):
    folder.mkdir()
    blocks = ["".join("%r %r\n" % (x, y) for x, y in zip(ppm, row)) + "&\n" for row in intensity]
    (folder / "2d.txt").write_text("".join(blocks))
    rows = [(peak_A, peak_B), (ppm.min() - 1.0, ppm.max() + 1.0)] + ([widths] if widths else [])
    (folder / "peaks.txt").write_text("".join("%r %r\n" % tuple(map(float, row)) for row in rows))


@pytest.mark.filterwarnings("ignore::UserWarning")
def test_random_small_series_give_the_programs_numbers(tmp_path):
    rng = np.random.default_rng(20240611)
    cases = [random_series(rng) for _ in range(2000)]
    folders = [tmp_path / str(i) for i in range(len(cases))]
    for folder, case in zip(folders, cases):
        write_series(folder, *case)

    def program_run(i):
        return run("pairfit4" if cases[i][4] is None else "pairfit2", folders[i], "--report")

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        runs = list(pool.map(program_run, range(len(cases))))
    refused = 0
    for (ppm, intensity, peak_A, peak_B, widths), folder, done in zip(cases, folders, runs):
        series = pairfit.Series(ppm, intensity)
        if done.returncode != 0:
            # No positive intensity to scale by: the same refusal.
            with pytest.raises(pairfit.Error) as raised:
                pairfit.fit(series, peak_A, peak_B, widths=widths)
            assert done.stderr.endswith(str(raised.value) + "\n")
            assert KIND_STATUS[raised.value.kind] == done.returncode
            refused += 1
            continue
        assert_same_as_files(pairfit.fit(series, peak_A, peak_B, widths=widths), folder)
    assert refused < len(cases) // 5


def good_folder(folder):
    folder.mkdir()
    for name in ("2d.txt", "peaks.txt"):
        shutil.copy(SOURCE / "examples" / "titration" / name, folder)


def data_lines(text, change):
    """The text with `change(index, fields)` applied to each data line: a line, or None."""
    lines = []
    for index, line in enumerate(text.splitlines()):
        if line[:1] not in ("#", "&", ""):
            line = change(index, line.split())
        if line is not None:
            lines.append(line)
    return "\n".join(lines) + "\n"


def drop_window_point_of_last_slice(text):
    last_block = text.rindex("&", 0, len(text) - 2)
    head, tail = text[:last_block], text[last_block:]
    return head + data_lines(tail, lambda i, f: None if 1.0 < float(f[0]) < 1.1 else " ".join(f))


# Each case spoils a copy of the bundled example: (file, its new text, or a function of the
# old text); None removes the file.
REFUSALS = {
    "short_peaks_row": ("peaks.txt", "1.2\n0.2 2.0\n"),
    "no_window_point": ("peaks.txt", "1.2 0.9\n5.0 6.0\n"),
    "single_value_row": ("2d.txt", lambda text: data_lines(
        text, lambda i, f: f[0] if i == 30 else " ".join(f))),
    "fewer_points_later": ("2d.txt", drop_window_point_of_last_slice),
    "z_count": ("z.txt", "1\n2\n"),
    "z_not_a_number": ("z.txt", "1\nabc\n"),
    "missing_series": ("2d.txt", None),
    "no_positive_intensity": ("2d.txt", lambda text: data_lines(
        text, lambda i, f: f[0] + " -1")),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refusals_carry_the_programs_message(tmp_path, monkeypatch, case):
    good_folder(tmp_path / "good")
    expected = pairfit.fit(*pairfit.read_series(tmp_path / "good")[:1], 1.2, 0.9).MA
    folder = tmp_path / "bad"
    good_folder(folder)
    name, change = REFUSALS[case]
    path = folder / name
    if change is None:
        path.unlink()
    else:
        path.write_text(change(path.read_text()) if callable(change) else change)
    args = ["--z", "z.txt"] if (folder / "z.txt").exists() else []
    done = run("pairfit4", folder, *args)
    assert done.returncode != 0 and done.stderr

    monkeypatch.chdir(folder)  # the programs name their inputs as in the working directory
    with pytest.raises(pairfit.Error) as raised, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        series, peaks = pairfit.read_series()
        pairfit.fit(series, peaks["peak_A"], peaks["peak_B"])
    assert str(raised.value) and done.stderr.endswith(str(raised.value) + "\n")
    assert KIND_STATUS[raised.value.kind] == done.returncode, raised.value.kind
    # A missing file, and only that, is also a FileNotFoundError naming it.
    assert isinstance(raised.value, FileNotFoundError) == (change is None)
    if change is None:
        assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(path))
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (type(copy), str(copy), copy.kind) == (type(raised.value), str(raised.value),
                                                 raised.value.kind)
    # The module is as good as before.
    assert np.array_equal(pairfit.fit(*pairfit.read_series(tmp_path / "good")[:1], 1.2, 0.9).MA,
                          expected)


def test_importer_refusals_carry_its_message(tmp_path):
    pseudo2d = BRUKER / "inversion_recovery" / "1" / "pdata" / "1"
    for inputs, window in [([tmp_path / "nothing"], None),
                           ([BRUKER / "inversion_recovery" / "1"], None),
                           ([pseudo2d], (50.0, 60.0)),
                           ([BRUKER / "coffee_UV1009" / "20" / "pdata" / "1",
                             BRUKER / "coffee_UV1009" / "99999" / "pdata" / "1"], None)]:
        args = ["--window", *map(str, window)] if window else []
        done = run("import", tmp_path, *args, *map(str, inputs))
        assert done.returncode != 0
        with pytest.raises(pairfit.Error) as raised:
            pairfit.import_spectra(*inputs, window=window)
        assert done.stderr == "pairfit-import: " + str(raised.value) + "\n"
        assert KIND_STATUS[raised.value.kind] == done.returncode, raised.value.kind
        missing = next((str(path) for path in inputs if not path.exists()), None)
        assert getattr(raised.value, "filename", None) == missing
        assert isinstance(raised.value, FileNotFoundError) == (missing is not None)
    assert pairfit.import_spectra(pseudo2d, window=(0.76, 0.69)).intensity.shape == (10, 95)


def test_series_says_what_is_wrong():
    ppm = np.linspace(2.0, 0.0, 5)
    good = np.ones((3, 5))
    for arguments, words in [
        ((ppm, np.ones(5)), "intensity must be 2-D"),
        ((ppm, np.ones((3, 4))), "4 columns, ppm 5 points"),
        ((ppm.reshape(1, 5), good), "ppm must be 1-D"),
        ((np.array([1.0, np.nan, 0, 0, 0]), good), "ppm[1] is nan"),
        ((ppm, np.where(np.eye(3, 5) > 0, np.inf, 1.0)), "intensity[(0, 0)] is inf"),
        ((ppm, good, [1.0, 2.0]), "z holds 2 values for 3 slices"),
        ((ppm, good.tolist()[:0]), "intensity must be 2-D"),
        ((["a"] * 5, good), "ppm: an array of strings, not of real numbers"),
        ((ppm.astype(complex), good), "ppm: an array of complex numbers"),
        ((ppm, good > 0), "intensity: an array of booleans"),
        ((np.array([2.0, 1.5, 1.0, 0.5, None], dtype=object), good), "ppm: an array of Python"),
    ]:
        with pytest.raises(pairfit.Error, match=None) as raised:
            pairfit.Series(*arguments)
        assert words in str(raised.value), (words, str(raised.value))
        assert raised.value.kind == "malformed_input"
    series = pairfit.Series(ppm, good, z=[1, 2, 3], z_unit="s")
    for arguments, words, kind in [
            ((series, 1.0, float("nan")), "peak_B must be a finite number", "bad_arguments"),
            ((series, 1.0, 0.5, (0.1,)), "two half-widths", "bad_arguments"),
            ((series, 1.0, 0.5, (0.1, -0.2)), "must not be below 0", "malformed_input"),
            ((series, 1.0, 0.5, (0.1, 0.0)), "half-widths of peaks.txt", "non_finite_fit"),
            ((series, 1.0, 0.5, None, False, (0.2, 1.8)),
             "points of 2d.txt lie between 0 and 2 ppm", "malformed_input")]:
        with pytest.raises(pairfit.Error) as raised:
            pairfit.fit(*arguments)
        assert words in str(raised.value), (words, str(raised.value))
        assert raised.value.kind == kind, (words, raised.value.kind)
    for arguments, kind in [((series.z, [1, 2, 3], [1, 1, 1], "growth"), "bad_arguments"),
                            ((series.z, [1, 2, 3], [1, 0, 1], "decay"), "malformed_input"),
                            ((series.z, ["x"] * 3, [1, 1, 1], "decay"), "bad_arguments")]:
        with pytest.raises(pairfit.Error) as raised:
            pairfit.trend(*arguments)
        assert raised.value.kind == kind, (arguments, str(raised.value))
    # What pairfit-trend refuses, refused alike: an infinite value (NaN is an empty cell),
    # protein outside binding, mc and seed beyond the program's ranges, named with the range.
    z = np.linspace(0.1, 2.0, 8)
    y = np.exp(-z / 0.5)
    for change, keywords, words in [
            (lambda v: v.__setitem__(3, np.inf), {}, "y[3] is inf"),
            (None, {"protein": 1.0}, "protein applies to the binding model only"),
            (None, {"mc": 10**12}, "from 0 to 1000000"),
            (None, {"mc": -1}, "from 0 to 1000000"),
            (None, {"seed": 2**64}, "from 0 to 2**64 - 1")]:
        values = y.copy()
        if change:
            change(values)
        with pytest.raises(pairfit.Error) as raised:
            pairfit.trend(z, values, np.full(8, 0.01), "decay", **keywords)
        assert words in str(raised.value), (words, str(raised.value))
    assert pairfit.trend(z, np.where(z > 1.9, np.nan, y), np.full(8, 0.01), "decay", mc=0)["n"] == 7


def test_inversion_recovery_to_T1_as_the_programs_give_it(tmp_path):
    """Import, pairfit4 --signed --z, pairfit-trend inversion: every slice settled, no bound,
    and pairfit.trend gives trend.csv's numbers bit for bit."""
    inputs, window, peaks = BRUKER_RUNS[0]
    assert run("import", tmp_path, "--window", *map(str, window), *map(str, inputs)).returncode == 0
    (tmp_path / "peaks.txt").write_text("%r %r\n%r %r\n" % (*peaks, *window))
    done = program_fit("pairfit4", tmp_path, "--signed", "--z", "z.txt")
    assert "bound" not in done.stderr
    done = run("trend", tmp_path, "inversion")
    assert done.returncode == 0, done.stderr
    series = pairfit.import_spectra(*inputs, window=window)
    fit = pairfit.fit(series, *peaks, signed=True)
    assert fit.status == ["settled"] * 10
    with open(tmp_path / "trend.csv", newline="") as file:
        rows = list(csv.DictReader(file))
    for line in ("A", "B"):
        result = pairfit.trend(series.z, fit["area_" + line], fit["area_%s_se" % line],
                               "inversion", status=fit.status, line=line,
                               half_width=fit["LW" + line], half_width_se=fit["LW%s_se" % line],
                               point_spacing=series.point_spacing)
        mine = [row for row in rows if row["line"] == line]
        assert [row["parameter"] for row in mine] == ["Iinf", "I0", "T1", "R1"]
        for row in mine:
            assert result[row["parameter"]] == tuple(float(row[k]) for k in ("value", "se", "se_mc"))
            assert (result["chi2"], result["dof"]) == (float(row["chi2"]), int(row["dof"]))


def stub_names(tree):
    """{name: set of attribute names} of the stub's classes, and "" for the module."""
    names = {"": set()}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = {child.target.id if isinstance(child, ast.AnnAssign) else child.name
                                for child in node.body
                                if isinstance(child, (ast.AnnAssign, ast.FunctionDef))}
            names[""].add(node.name)
        elif isinstance(node, ast.FunctionDef):
            names[""].add(node.name)
    return names


def public(names):
    return {name for name in names if not name.startswith("_")}


def test_stub_lists_every_public_name_and_attribute(titration):
    """__init__.pyi against the package: the names, each class's attributes (a real Fit's
    and Series' included) and the columns of report.csv as Fit's attributes."""
    package = Path(pairfit.__file__).parent
    assert (package / "py.typed").exists()
    stub = stub_names(ast.parse((package / "__init__.pyi").read_text()))
    assert public(stub[""]) == set(pairfit.__all__)
    series, peaks = pairfit.read_series(titration)
    fitted = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"])
    for name, instance in (("Fit", fitted), ("Series", series), ("Curves", fitted.curves())):
        runtime = public(dir(instance)) - ({"count", "index"} if name == "Curves" else set())
        assert public(stub[name]) == runtime, name
    # Every column is a class attribute an editor sees, and the stub's Fit holds them all.
    column_attributes = {name for name, value in vars(pairfit.Fit).items()
                         if type(value).__name__ == "_Column"}
    assert column_attributes == set(fitted.columns) - {"scale_factor"}
    assert set(fitted.columns) <= stub["Fit"]
    with pytest.raises(AttributeError):
        fitted.MA = fitted.MB


def test_slices_on_axes_that_differ_within_the_tolerance_give_the_programs_numbers(titration):
    # Every other slice's points moved by 0.5 % of the point spacing: the fit uses each
    # slice's own ppm, as the programs do.
    blocks = [block for block in (titration / "2d.txt").read_text().split("&") if block.strip()]
    text = ""
    for s, block in enumerate(blocks):
        rows = [line.split() for line in block.splitlines() if line.strip()
                and not line.startswith("#")]
        spacing = abs(float(rows[1][0]) - float(rows[0][0]))
        shift = 0.005 * spacing if s % 2 else 0.0
        text += "".join(f"{float(x) + shift!r} {y}\n" for x, y, *_ in rows) + "&\n"
    (titration / "2d.txt").write_text(text)
    program_fit("pairfit4", titration)
    series, peaks = pairfit.read_series(titration)
    assert series._slice_ppm is not None  # the slices' own axes were kept
    assert_same_as_files(pairfit.fit(series, peaks["peak_A"], peaks["peak_B"]), titration)


def test_fits_on_several_threads_beside_python_work_give_one_result(titration):
    series, peaks = pairfit.read_series(titration)
    alone = pairfit.fit(series, peaks["peak_A"], peaks["peak_B"], signed=True)

    def fit(_):
        return pairfit.fit(series, peaks["peak_A"], peaks["peak_B"], signed=True)

    with ThreadPoolExecutor(max_workers=4) as pool:
        futures = [pool.submit(fit, i) for i in range(8)]
        # The interpreter works meanwhile: the fits must not touch it without the GIL.
        churn = [{"k": list(range(i % 50)), "s": str(i)} for i in range(200000)]
        fits = [future.result() for future in futures]
    assert len(churn) == 200000
    for other in fits:
        for name in alone.columns:
            if name != "status":
                assert np.array_equal(other[name], alone[name], equal_nan=True), name

"""pairfit-trend against what a user can check by hand: a lines.csv column fitted with the
module's trend() and with SciPy, fits of large chi2 (the bundled inversion recovery with
noise-based errors among them) converged to SciPy's minimum, TrendResult and a Series built
from arrays against the files, and one unit of z.txt for the programs, the module and
pairfit-plot. The programs come from the environment, as for test_pairfit.py."""

import csv
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.optimize import curve_fit

import pairfit

BIN = Path(os.environ["PAIRFIT4"]).parent
SOURCE = Path(os.environ["PAIRFIT_SOURCE"])
INVERSION = SOURCE / "tests" / "data" / "bruker" / "inversion_recovery" / "1" / "pdata" / "1"
sys.path.insert(0, str(BIN.parent / "share" / "pairfit" / "python"))
from pairfit_drawing import plot  # noqa: E402  (the drawing package of the build)

MODELS = {
    "decay": lambda z, i0, t: i0 * np.exp(-z / t),
    "recovery": lambda z, iinf, t: iinf * (1 - np.exp(-z / t)),
    "inversion": lambda z, iinf, i0, t: iinf - (iinf - i0) * np.exp(-z / t),
}


def run(program, folder, *args):
    done = subprocess.run([str(BIN / program), *map(str, args)], cwd=folder,
                          capture_output=True, text=True,
                          env={**os.environ, "PAIRFIT_THREADS": "1"})
    return done


def rows(path):
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def cell(text):
    return math.nan if text == "" else float(text)


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def write_two_line_decay(folder, seed=3):
    """A series of two Lorentzian lines, L1 (T 0.3) and L2 (T 0.1), for pairfit-lines."""
    rng = np.random.default_rng(seed)
    z = 0.02 * 1.5 ** np.arange(12)
    x = np.linspace(2.5, -0.5, 300)
    with open(folder / "2d.txt", "w") as out:
        for s, at in enumerate(z):
            y = (800 * np.exp(-at / 0.3) / (1 + ((x - 1.2) / 0.03) ** 2)
                 + 500 * np.exp(-at / 0.1) / (1 + ((x - 0.9) / 0.04) ** 2)
                 + rng.normal(0, 4, x.size))
            out.write("# slice %d\n" % s + "".join("%.9g %.9g\n" % p for p in zip(x, y)) + "&\n")
    (folder / "z.txt").write_text("# x of each slice, from vdlist (unit s)\n"
                                  + "".join("%.9g\n" % v for v in z))
    (folder / "lines.txt").write_text("L1 1.2 0.03\nL2 0.9 0.04\n")
    (folder / "peaks.txt").write_text("1.2 0.9\n1.6 0.5\n")


@pytest.fixture(scope="module")
def lines_folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("lines")
    write_two_line_decay(folder)
    done = run("pairfit-lines", folder, "--window", "1.6", "0.5", "--noise", "2.4", "2.0",
               "--z", "z.txt")
    assert done.returncode == 0, done.stderr
    return folder


def test_lines_csv_trend_is_the_column_fitted_by_hand(lines_folder):
    """pairfit-trend decay --line on lines.csv: each block of trend.csv is pairfit.trend() on
    the column read with the csv module, bit for bit, and SciPy's fit to its precision."""
    done = run("pairfit-trend", lines_folder, "decay", "--line", "L2", "--line", "L1",
               "--mc", "40", "--no-plot")
    assert done.returncode == 0, done.stderr
    assert not (lines_folder / "trend.png").exists()  # --no-plot
    assert "chi2/dof" in done.stdout
    trend = rows(lines_folder / "trend.csv")
    assert [r["line"] for r in trend] == ["L2"] * 3 + ["L1"] * 3
    table = rows(lines_folder / "lines.csv")
    for name, truth in (("L1", 0.3), ("L2", 0.1)):
        mine = [r for r in table if r["line"] == name]
        z, y, se = (np.array([cell(r[c]) for r in mine]) for c in ("z", "area", "area_se"))
        result = pairfit.trend(z, y, se, "decay", mc=40, status=[r["status"] for r in mine],
                               line=name)
        block = [r for r in trend if r["line"] == name]
        assert [r["parameter"] for r in block] == list(result.params) == ["I0", "T", "R"]
        for r in block:
            p = result.params[r["parameter"]]
            assert (p.value, p.se, p.se_mc) == tuple(cell(r[k]) for k in ("value", "se", "se_mc"))
            assert same(result.chi2, cell(r["chi2"])) and result.dof == int(r["dof"])
            assert same(result.p_value, cell(r["p_value"])) and result.status == r["status"]
        # SciPy on the slices the trend kept: those at a bound are named and left out.
        kept = np.array([i not in result.excluded for i in range(len(z))])
        assert result.n == kept.sum()
        assert all(name + ".half_width" in mine[i]["status"] or name + ".height" in
                   mine[i]["status"] for i in result.excluded)
        (i0, t), covariance = curve_fit(MODELS["decay"], z[kept], y[kept], p0=(y[0], 0.2),
                                        sigma=se[kept], absolute_sigma=True)
        assert result.params["T"].value == pytest.approx(t, rel=1e-6)
        assert result.params["T"].se == pytest.approx(math.sqrt(covariance[1, 1]), rel=1e-3)
        assert abs(t - truth) < 4 * result.params["T"].se
        assert repr(result).startswith("<pairfit.TrendResult decay: I0=")
    # --unweighted writes the residual sum of squares under its own name.
    done = run("pairfit-trend", lines_folder, "decay", "--line", "L1", "--unweighted",
               "--mc", "0", "--no-plot")
    assert done.returncode == 0, done.stderr
    assert "chi2/dof" not in done.stdout and " rss " in done.stdout, done.stdout
    block = rows(lines_folder / "trend.csv")
    assert {(r["chi2"], r["chi2_red"], r["p_value"], r["status"]) for r in block} == {
        ("", "", "", "")}
    mine = [r for r in table if r["line"] == "L1" and "L1.half_width" not in r["status"]
            and "L1.height" not in r["status"]]
    z, y = (np.array([cell(r[c]) for r in mine]) for c in ("z", "area"))
    (i0, t), _ = curve_fit(MODELS["decay"], z, y, p0=(y[0], 0.2))
    rss = float(np.sum((y - MODELS["decay"](z, i0, t)) ** 2))
    assert float(block[0]["rss"]) == pytest.approx(rss, rel=1e-9)


def test_a_narrow_half_width_is_left_out_by_the_program_and_the_module(tmp_path):
    """A half-width of report.csv narrower than half the point spacing of 2d.txt: pairfit-trend
    leaves the slice out of that line's trend and names it, and pairfit.trend with half_width
    and the series' point_spacing gives the same trend.csv numbers and warning."""
    write_two_line_decay(tmp_path)
    done = run("pairfit4", tmp_path, "--z", "z.txt")
    assert done.returncode == 0, done.stderr
    table = rows(tmp_path / "report.csv")
    table[4]["LWB"] = "0.003"  # half the spacing is 3/299/2 = 0.005 ppm
    with open(tmp_path / "report.csv", "w", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=list(table[0]))
        writer.writeheader()
        writer.writerows(table)
    done = run("pairfit-trend", tmp_path, "decay", "--mc", "30", "--no-plot")
    assert done.returncode == 0, done.stderr
    warning = [line[len("pairfit-trend: warning: "):] for line in done.stderr.splitlines()
               if line.startswith("pairfit-trend: warning: line B:")]
    assert len(warning) == 1, done.stderr
    assert ("slice 4: LWB 0.003 ppm narrower than half the point spacing (0.00502 ppm)"
            in warning[0]), warning
    series, _ = pairfit.read_series(tmp_path)
    z, y, se, lwb = (np.array([cell(r[c]) for r in table]) for c in ("z", "area_B", "area_B_se",
                                                                     "LWB"))
    with pytest.warns(pairfit.PairfitWarning) as caught:
        result = pairfit.trend(z, y, se, "decay", mc=30, status=[r["status"] for r in table],
                               line="B", half_width=lwb, point_spacing=series.point_spacing)
    assert [str(w.message) for w in caught] == warning
    by_status = [i for i, r in enumerate(table) if "LWB" in r["status"] or "MB" in r["status"]]
    assert 4 not in by_status and result.excluded == sorted(by_status + [4])
    assert result.n == len(table) - len(result.excluded)
    block = [r for r in rows(tmp_path / "trend.csv") if r["line"] == "B"]
    for r in block:
        p = result.params[r["parameter"]]
        assert (p.value, p.se, p.se_mc) == tuple(cell(r[k]) for k in ("value", "se", "se_mc"))
    with pytest.warns(pairfit.PairfitWarning):
        assert pairfit.trend(z, y, se, "decay", mc=0, status=[r["status"] for r in table],
                             line="B").excluded == by_status
    with pytest.raises(pairfit.Error, match="half_width and point_spacing come together"):
        pairfit.trend(z, y, se, "decay", status=[r["status"] for r in table], line="B",
                      half_width=lwb)
    with pytest.raises(pairfit.Error, match="half_width_se needs half_width"):
        pairfit.trend(z, y, se, "decay", status=[r["status"] for r in table], line="B",
                      half_width_se=lwb)
    with pytest.raises(pairfit.Error, match="half_width_se of line B holds 3 values"):
        pairfit.trend(z, y, se, "decay", status=[r["status"] for r in table], line="B",
                      half_width=lwb, half_width_se=lwb[:3], point_spacing=series.point_spacing)


def test_binding_of_two_lines_and_an_unknown_line(lines_folder):
    """binding --bound --free fits area(bound) / (sum of both); a line not in lines.csv is
    refused with the lines it holds."""
    done = run("pairfit-trend", lines_folder, "decay", "--line", "L7", "--no-plot")
    assert done.returncode == 1 and "its lines: L1, L2" in done.stderr, done.stderr
    done = run("pairfit-trend", lines_folder, "binding", "--protein", "1", "--bound", "L2",
               "--free", "L1", "--mc", "0", "--no-plot")
    # The fraction falls with z here, which a binding curve may not follow: fitted, its block
    # is named by the bound line; refused, the message names the fraction.
    if done.returncode == 0:
        assert {r["line"] for r in rows(lines_folder / "trend.csv")} == {"L2"}
    else:
        assert "L2 / (L2 + L1)" in done.stderr, done.stderr


def scipy_chi2(model, z, y, se, p0):
    p, _ = curve_fit(MODELS[model], z, y, p0=p0, sigma=se, absolute_sigma=True, maxfev=100000)
    return float(np.sum(((y - MODELS[model](z, *p)) / se) ** 2)), p


def test_large_chi2_fits_reach_scipys_minimum(tmp_path):
    """The bundled inversion recovery imported whole, fitted with --signed --noise 4.9 4.7
    (errors from the spectrum's noise, chi2 in the millions), and synthetic sets whose errors
    are a thousandth of their scatter: the trend converges where curve_fit does, to its chi2
    within 1e-9."""
    assert run("pairfit-import", tmp_path, INVERSION).returncode == 0
    (tmp_path / "peaks.txt").write_text("0.7293 0.7176\n0.69 0.76\n")
    done = run("pairfit4", tmp_path, "--signed", "--noise", "4.9", "4.7", "--z", "z.txt")
    assert done.returncode == 0, done.stderr
    done = run("pairfit-trend", tmp_path, "inversion", "--mc", "0", "--no-plot")
    assert done.returncode == 0, done.stderr
    assert "misfit" in done.stderr and "largest |residual|/se" in done.stderr
    report = rows(tmp_path / "report.csv")
    trend = rows(tmp_path / "trend.csv")
    z = np.array([float(r["z"]) for r in report])
    for line in ("A", "B"):
        y, se = (np.array([float(r[c % line]) for r in report]) for c in ("area_%s", "area_%s_se"))
        chi2, p = scipy_chi2("inversion", z, y, se, (y[np.argmax(z)], y[np.argmin(z)], 1.0))
        block = {r["parameter"]: r for r in trend if r["line"] == line}
        assert float(block["T1"]["chi2"]) == pytest.approx(chi2, rel=1e-9)
        assert float(block["T1"]["value"]) == pytest.approx(p[2], rel=1e-6)
        assert block["T1"]["status"] == "misfit"
    # The same series read as arrays: the whole axis for the noise, the window for the fit.
    ppm, intensity = read_2d(tmp_path / "2d.txt")
    inside = (ppm > 0.69) & (ppm < 0.76)
    series = pairfit.Series(ppm[inside], intensity[:, inside], z, "s",
                            noise_ppm=ppm, noise_intensity=intensity)
    with pytest.warns(pairfit.PairfitWarning):
        fit = pairfit.fit(series, 0.7293, 0.7176, signed=True, noise=(4.9, 4.7))
    for name in ("noise", "chi2_red", "area_B", "area_B_se"):
        assert [float(r[name]) for r in report] == list(fit[name]), name
    assert list(fit.status) == [r["status"] for r in report]
    rng = np.random.default_rng(11)
    for model, truth in (("decay", (5.0, 0.4)), ("recovery", (3.0, 0.7)),
                         ("inversion", (2.0, -1.8, 0.5))):
        for _ in range(4):
            z = np.sort(rng.uniform(0.02, 2.5, 10))
            y = MODELS[model](z, *truth) + rng.normal(0, 0.05, z.size)
            se = np.full(z.size, 5e-5)
            chi2, _ = scipy_chi2(model, z, y, se, truth)
            result = pairfit.trend(z, y, se, model, mc=0)
            assert result.chi2 == pytest.approx(chi2, rel=1e-9), model
            assert result.status == "misfit" and result.p_value < 1e-3


def read_2d(path):
    """2d.txt as a ppm axis and an array [slice, point], by the file's text."""
    slices, current = [], []
    for line in open(path):
        if line.startswith("#"):
            continue
        if line.startswith("&"):
            slices.append(current)
            current = []
        elif line.strip():
            current.append([float(v) for v in line.split()])
    data = np.array(slices)
    return data[0, :, 0], data[:, :, 1]


@pytest.mark.parametrize("text, unit", [
    ("# x of each slice, from vdlist (unit s)\n", "s"),
    ("# slices\n# (unit ms)\n", ""),               # the first comment line names none
    ("0.5\n# delays (unit ms)\n", "ms"),           # a first comment line on line 2
    ("  # (unit mM) and (unit s)\n", "mM"),
    ("# (unit two words)\n", ""),
    ("# (unit %s)\n" % ("u" * 70), ""),
])
def test_one_unit_of_z_txt_everywhere(lines_folder, tmp_path, text, unit):
    """The unit of z.txt as pairfit-trend prints it, as the module reads it with the series,
    and as pairfit-plot takes it for --preview: one and the same."""
    z = [r["z"] for r in rows(lines_folder / "lines.csv") if r["line"] == "L1"]
    values = "".join(v + "\n" for v in z)
    if text.startswith("0.5\n"):
        values = "".join(v + "\n" for v in z[1:])
        text = z[0] + "\n" + text.split("\n", 1)[1]
    (tmp_path / "z.txt").write_text(text + values)
    for name in ("lines.csv", "2d.txt", "peaks.txt"):
        (tmp_path / name).write_bytes((lines_folder / name).read_bytes())
    done = run("pairfit-trend", tmp_path, "decay", "--line", "L1", "--mc", "0", "--no-plot")
    assert done.returncode == 0, done.stderr
    printed = done.stdout.split("\n")[1].split(" = ")[1].split("   ")[0].split(" ")
    assert (printed[3] if len(printed) > 3 else "") == unit, done.stdout
    series, _ = pairfit.read_series(tmp_path)
    assert series.z_unit == unit
    lines = (tmp_path / "z.txt").read_bytes().split(b"\n")
    assert (plot.z_unit(lines) or "") == unit

"""pairfit.import_spectra on NMRPipe files against pairfit-import: the bundled Bruker inversion
recovery, written here in the NMRPipe layout as a pseudo-2D in both byte orders and as 1D files
(named one by one and as a template), gives the series of the program's 2d.txt bit for bit,
and the Bruker series as float32 keeps it."""

import os
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import pairfit

SOURCE = Path(os.environ["PAIRFIT_SOURCE"])
IMPORT = os.environ["PAIRFIT_IMPORT"]
PROCNO = SOURCE / "tests" / "data" / "bruker" / "inversion_recovery" / "1" / "pdata" / "1"
WINDOW = (0.76, 0.69)


def procs_number(name):
    text = (PROCNO / "procs").read_text()
    return float(re.search(r"^##\$%s= (\S+)" % re.escape(name), text, re.M).group(1))


def pipe_bytes(rows, order, dimensions):
    """A file of the NMRPipe layout: 512 float32 header words, then the rows."""
    points = rows.shape[1]
    sweep_width, observe = procs_number("SW_p"), procs_number("SF")
    header = np.zeros(512, dtype=order + "f4")
    header[2] = 2.345                                   # FDFLTORDER
    header[9] = dimensions                              # FDDIMCOUNT
    header[24:28] = [2, 1, 3, 4]                        # FDDIMORDER1-4
    header[[55, 56, 106]] = 1                           # F1, F2 and all real
    header[99] = points                                 # FDSIZE
    header[100] = sweep_width                           # FDF2SW
    header[101] = (procs_number("OFFSET") * observe     # FDF2ORIG: Hz at the last point
                   - sweep_width + sweep_width / points)
    header[119] = observe                               # FDF2OBS
    header[219] = rows.shape[0]                         # FDSPECNUM
    header[220] = 1                                     # FDF2FTFLAG
    header[442] = 1                                     # FDFILECOUNT
    return header.tobytes() + rows.astype(order + "f4").tobytes()


def series_of_2d_text(path):
    """ppm and intensity arrays of a 2d.txt, every number read back to its double."""
    blocks, block = [], []
    for line in path.read_text().splitlines():
        if line.startswith("#"):
            continue
        if line.startswith("&"):
            blocks.append(block)
            block = []
        elif line.strip():
            block.append([float(v) for v in line.split()])
    table = np.array(blocks)
    return table[0, :, 0], table[:, :, 1]


@pytest.fixture(scope="module")
def bruker():
    return pairfit.import_spectra(PROCNO)


FORMS = ["pseudo2d_little", "pseudo2d_big", "files_1d", "template_1d"]


@pytest.mark.parametrize("form", FORMS)
def test_nmrpipe_series_is_the_programs_and_brukers(tmp_path, bruker, form):
    rows = bruker.intensity
    if form.startswith("pseudo2d"):
        (tmp_path / "series.ft2").write_bytes(pipe_bytes(rows, "<" if "little" in form else ">", 2))
        inputs = [tmp_path / "series.ft2"]
    else:
        (tmp_path / "ft").mkdir()
        inputs = []
        for number, row in enumerate(rows, start=1):
            path = tmp_path / "ft" / ("test%03d.ft1" % number)
            path.write_bytes(pipe_bytes(row[np.newaxis, :], ">" if number % 2 else "<", 1))
            inputs.append(path)
        if form == "template_1d":
            inputs = [tmp_path / "ft" / "test%03d.ft1"]

    out = tmp_path / "out"
    done = subprocess.run([IMPORT, "-o", str(out), "--window", *map(str, WINDOW),
                           *map(str, inputs)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    ppm, intensity = series_of_2d_text(out / "2d.txt")

    series = pairfit.import_spectra(*inputs, window=WINDOW)
    assert np.array_equal(series.ppm, ppm)
    assert np.array_equal(series.intensity, intensity)
    assert series.z is None

    whole = pairfit.import_spectra(*inputs)
    assert np.array_equal(whole.intensity, bruker.intensity.astype(np.float32).astype(float))
    spacing = abs(bruker.ppm[1] - bruker.ppm[0])
    assert np.abs(whole.ppm - bruker.ppm).max() < 1e-3 * spacing

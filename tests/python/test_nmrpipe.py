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

PROCNO = (Path(os.environ["PAIRFIT_SOURCE"]) / "tests" / "data" / "bruker" /
          "inversion_recovery" / "1" / "pdata" / "1")
WINDOW = (0.76, 0.69)


def pipe_bytes(rows, order, dimensions):
    """512 float32 header words (by their index), then the rows."""
    procs = dict(re.findall(r"^##\$(\w+)= (\S+)", (PROCNO / "procs").read_text(), re.M))
    sweep_width, observe, points = float(procs["SW_p"]), float(procs["SF"]), rows.shape[1]
    header = np.zeros(512, dtype=order + "f4")
    words = {2: 2.345, 9: dimensions, 24: 2, 25: 1, 26: 3, 27: 4, 55: 1, 56: 1, 106: 1,
             99: points, 100: sweep_width, 119: observe, 219: rows.shape[0], 220: 1, 442: 1,
             101: float(procs["OFFSET"]) * observe - sweep_width + sweep_width / points}
    header[list(words)] = list(words.values())
    return header.tobytes() + rows.astype(order + "f4").tobytes()


def series_of_2d_text(path):
    """ppm and intensity arrays of a 2d.txt, every number read back to its double."""
    blocks = [[[float(v) for v in line.split()] for line in block.splitlines()
               if line.strip() and not line.startswith("#")]
              for block in path.read_text().split("&\n")[:-1]]
    table = np.array(blocks)
    return table[0, :, 0], table[:, :, 1]


@pytest.mark.parametrize("form", ["pseudo2d_little", "pseudo2d_big", "files_1d", "template_1d"])
def test_nmrpipe_series_is_the_programs_and_brukers(tmp_path, form):
    bruker = pairfit.import_spectra(PROCNO)
    if form.startswith("pseudo2d"):
        order = "<" if form.endswith("little") else ">"
        (tmp_path / "series.ft2").write_bytes(pipe_bytes(bruker.intensity, order, 2))
        inputs = [tmp_path / "series.ft2"]
    else:
        (tmp_path / "ft").mkdir()
        inputs = [tmp_path / "ft" / ("test%03d.ft1" % n) for n in range(1, len(bruker.z) + 1)]
        for n, (path, row) in enumerate(zip(inputs, bruker.intensity)):
            path.write_bytes(pipe_bytes(row[np.newaxis, :], "<>"[n % 2], 1))
        if form == "template_1d":
            inputs = [tmp_path / "ft" / "test%03d.ft1"]

    done = subprocess.run([os.environ["PAIRFIT_IMPORT"], "-o", str(tmp_path / "out"), "--window",
                           *map(str, WINDOW), *map(str, inputs)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    ppm, intensity = series_of_2d_text(tmp_path / "out" / "2d.txt")
    series = pairfit.import_spectra(*inputs, window=WINDOW)
    assert np.array_equal(series.ppm, ppm) and np.array_equal(series.intensity, intensity)
    assert series.z is None

    whole = pairfit.import_spectra(*inputs)
    assert np.array_equal(whole.intensity, bruker.intensity.astype(np.float32).astype(float))
    assert np.abs(whole.ppm - bruker.ppm).max() < 1e-3 * abs(bruker.ppm[1] - bruker.ppm[0])

    # A list file gives z, as pairfit-import --x-list FILE takes it.
    if form == "pseudo2d_little":
        (tmp_path / "vdlist").write_text("".join("%r\n" % z for z in bruker.z))
        listed = pairfit.import_spectra(*inputs, x_list=tmp_path / "vdlist")
        assert np.array_equal(listed.z, bruker.z)
        done = subprocess.run([os.environ["PAIRFIT_IMPORT"], "-o", str(tmp_path / "listed"),
                               "--x-list", str(tmp_path / "vdlist"), *map(str, inputs)],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        z_lines = (tmp_path / "listed" / "z.txt").read_text().splitlines()
        assert [float(line) for line in z_lines if not line.startswith("#")] == list(listed.z)

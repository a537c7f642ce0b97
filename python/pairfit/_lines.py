"""Any number of lines of any common shape, on a baseline, as pairfit-lines fits them.

    lines = pairfit.read_lines("lines.txt")             # or [("L1", 0.7176), ("L2", 0.7293)]
    result = pairfit.fit_lines(series, lines, baseline="constant")
    result.lines["area"][:, 0], result.slices["chi2_red"]
    result.trend("L1", "inversion")["T1"]

Every value is the one pairfit-lines writes to lines.csv, slices.csv and its curve files for
the same series and options, bit for bit: the module runs the program's own steps.
"""

import collections
import os
import warnings

import numpy as np

from . import (Error, PairfitWarning, Series, _arguments_checked, _core, _frozen, _number,
               _region)

__all__ = ["LinesFit", "LineCurves", "fit_lines", "read_lines"]

_SHAPES = ("lorentzian", "gaussian", "pseudo-voigt")
_BASELINES = (None, "none", "constant", "linear")
_WIDTHS = ("free", "fixed", "sum")

LineCurves = collections.namedtuple("LineCurves", ["data", "lines", "baseline", "residual"])
LineCurves.__doc__ = """The curves of pairfit-lines' curve files, each a 2-D array [slice,
point] laid out as Series.intensity: data (lines_dat.txt), lines (a tuple of one array per line,
lines_sim_1.txt, lines_sim_2.txt, ...), baseline (lines_baseline.txt; None without a baseline)
and residual (lines_res.txt, the data minus every line and the baseline). The files hold the
transposes, a row per point and a column per slice."""


def read_lines(path):
    """Read a lines.txt as pairfit-lines reads it.

    read_lines(path) -> list of (name, ppm, half_width, shape) tuples

    half_width and shape are None where the row leaves them out. Raises Error with the
    program's message naming the file and line for a row it refuses (a duplicate name, a
    half-width <= 0, an unknown shape), MissingFileError for a file that is not there.
    """
    with _arguments_checked():
        rows = _core.read_lines(os.fspath(path))
    return [tuple(row[:4]) for row in rows]


def _line_rows(lines):
    """The rows fit_lines passes on, (name, ppm, half_width, shape, source), from a list of
    tuples (written as a lines file and parsed as pairfit-lines parses one, so that it refuses
    the same rows) or the path of a lines.txt."""
    if isinstance(lines, (str, os.PathLike)):
        path = os.fspath(lines)
        with _arguments_checked():
            rows = _core.read_lines(path)
        return [(*row[:4], f"{path}: line {row[4]}") for row in rows]
    try:
        items = list(lines)
    except TypeError:
        raise Error(f"lines must be a list of (name, ppm[, half_width[, shape]]) tuples or the "
                    f"path of a lines.txt, not {type(lines).__name__}", "bad_arguments") from None
    text = []
    for k, item in enumerate(items):
        where = f"lines[{k}]"
        if isinstance(item, str) or not isinstance(item, (tuple, list)) or not 2 <= len(item) <= 4:
            raise Error(f"{where}: a (name, ppm[, half_width[, shape]]) tuple, not {item!r}",
                        "bad_arguments")
        name = item[0]
        if not isinstance(name, str) or not name or any(c.isspace() or c == "#" for c in name):
            raise Error(f"{where}: the name must be a non-empty str without blanks or '#', "
                        f"not {name!r}", "bad_arguments")
        fields = [name, repr(_number(item[1], f"{where} ppm"))]
        half_width = item[2] if len(item) > 2 else None
        fields.append("-" if half_width is None
                      else repr(_number(half_width, f"{where} half_width")))
        if len(item) > 3 and item[3] is not None:
            if item[3] not in _SHAPES:
                raise Error(f"{where}: shape takes {', '.join(_SHAPES)}, not {item[3]!r}",
                            "bad_arguments")
            fields.append(item[3])
        text.append(" ".join(fields))
    with _arguments_checked():
        rows = _core.parse_lines("\n".join(text) + "\n", "lines")
    return [(*row[:4], f"lines[{row[4] - 1}]") for row in rows]


def _choice(value, name, choices):
    if not isinstance(value, (str, type(None))) or value not in choices:
        words = ", ".join("None" if c is None else repr(c) for c in choices)
        raise Error(f"{name} takes {words}, not {value!r}", "bad_arguments")
    return value


def fit_lines(series, lines, shape="lorentzian", baseline=None, float=0.0, widths="free",
              positive=False, noise=None, window=None):
    """Fit every slice of a series with any number of lines, as pairfit-lines does.

    fit_lines(series, lines, shape="lorentzian", baseline=None, float=0.0, widths="free",
              positive=False, noise=None, window=None) -> LinesFit

    lines     a list of (name, ppm) or (name, ppm, half_width[, shape]) tuples (half_width
              None for none), or the path of a lines.txt
    shape     "lorentzian", "gaussian" or "pseudo-voigt": the lines without their own
    baseline  None (or "none"), "constant" or "linear" (c0 + c1 (x - the window's centre))
    float     every centre free within this many ppm of its position (0: held)
    widths    "free" (fitted per slice), "fixed" (held at the lines' half-widths) or "sum"
              (fitted once on the sum of the slices, then held)
    positive  heights >= 0
    noise     (A, B), as --noise A B: errors from each slice's noise in that region,
              chi2_red and ";misfit"; the points series.noise holds when the series was read
              with that region, else the series' own points inside it
    window    (A, B) ppm, as --window: the baseline's centre and the widest half-width. By
              default, as pairfit-lines on a 2d.txt without --window or peaks.txt, the
              series' ppm range widened by half a point spacing on each side. Every point of
              the series is fitted: cut it to the window first (read_series and
              import_spectra(window=...) do).

    Values are in the series' own units. The program's warnings are issued as
    PairfitWarning; its refusals raise Error with its message (a line outside the window, a
    half-width <= 0, --widths fixed without a half-width, more parameters than points, a fit
    that meets non-finite values). The fit runs without the GIL.
    """
    if not isinstance(series, Series):
        raise Error(f"series must be a pairfit.Series, got {type(series).__name__}",
                    "bad_arguments")
    rows = _line_rows(lines)
    options = {
        "shape": _choice(shape, "shape", _SHAPES),
        "baseline": _choice(baseline, "baseline", _BASELINES) or "none",
        "widths": _choice(widths, "widths", _WIDTHS),
        "positive": bool(positive),
        "float": _number(float, "float"),
        "noise": None,
        "window": None,
    }
    if options["float"] < 0:
        raise Error(f"float={float!r}: the distance a centre may move must be 0 or more ppm",
                    "malformed_input")
    if window is not None:
        options["window"] = _region(window)
        if options["window"][0] == options["window"][1]:
            raise Error(f"window={tuple(window)!r}: the two limits must differ", "bad_arguments")
    noise_intensity = []
    if noise is not None:
        region = _region(noise)
        if series.noise is not None and series.noise_region == region:
            noise_intensity = list(series.noise)
        else:
            inside = (series.ppm > region[0]) & (series.ppm < region[1])
            noise_intensity = [np.ascontiguousarray(row[inside]) for row in series.intensity]
        options["noise"] = region
    with _arguments_checked():
        fitted = _core.fit_lines(series.ppm, series.intensity, series._slice_ppm,
                                 noise_intensity, rows, options)
    for message in fitted.warnings:
        warnings.warn(message, PairfitWarning, stacklevel=2)
    return LinesFit(fitted, series)



class LinesFit:
    """A series fitted by fit_lines, with every value of lines.csv and slices.csv.

    names     the line names, in the order of the lines
    lines     {column of lines.csv: 2-D array [slice, line]}: floats (NaN for an empty cell),
              ints for slice, str arrays for line, shape and status
    slices    {column of slices.csv: 1-D array per slice}, likewise
    z         the series' z (None without)
    ppm       the axis of curves()
    curves()  LineCurves(data, lines, baseline, residual), the curve files' values
    to_pandas()           (lines frame, one row per slice and line as lines.csv; slices frame)
    trend(line, model, column="area", **options)
                          pairfit.trend of that line's column (and its se) against z
    """

    def __init__(self, fitted, series):
        self._fitted = fitted
        self._curves = None
        self.names = list(fitted.names)
        self.z = series.z
        self.ppm = series.ppm
        z = [] if series.z is None else list(series.z)
        self.lines = {name: self._array(values) for name, values in fitted.lines(z).items()}
        self.slices = {name: self._array(values)[:, 0]
                       for name, values in fitted.slices(z).items()}

    @staticmethod
    def _array(values):
        return _frozen(np.array(values) if isinstance(values, list) else values)

    def __len__(self):
        return len(self.slices["slice"])

    def __repr__(self):
        return f"<pairfit.LinesFit: {len(self.names)} lines in {len(self)} slices>"

    def _line(self, line):
        if line not in self.names:
            raise Error(f"no line {line!r}: the lines are {', '.join(self.names)}",
                        "bad_arguments")
        return self.names.index(line)

    def curves(self):
        """LineCurves(data, lines, baseline, residual), 2-D arrays [slice, point] as
        Series.intensity, the values of the curve files (their transposes)."""
        if self._curves is None:
            _, names, arrays = self._fitted.curves()
            arrays = [_frozen(array) for array in arrays]
            named = dict(zip(names, arrays))
            self._curves = LineCurves(
                named["lines_dat.txt"],
                tuple(named[f"lines_sim_{k + 1}.txt"] for k in range(len(self.names))),
                named.get("lines_baseline.txt"), named["lines_res.txt"])
        return self._curves

    def to_pandas(self):
        """(lines, slices): two pandas DataFrames with the columns of lines.csv (one row per
        slice and line, in the file's order) and of slices.csv. Needs pandas."""
        try:
            import pandas
        except ImportError:
            raise ImportError("LinesFit.to_pandas needs pandas (Debian: apt-get install "
                              "python3-pandas)") from None
        lines = pandas.DataFrame({name: values.reshape(-1)
                                  for name, values in self.lines.items()})
        return lines, pandas.DataFrame(dict(self.slices))

    def trend(self, line, model, column="area", **options):
        """pairfit.trend(z, the line's column, its se, model, **options): a rate or a
        constant from one line, as pairfit-trend --line NAME fits it, its slices at a bound
        left out unless keep_bound=True."""
        from . import trend
        k = self._line(line)
        if column not in self.lines or f"{column}_se" not in self.lines:
            raise Error(f"column {column!r} has no standard error: take one of position, "
                        "half_width, eta, height, area", "bad_arguments")
        if self.z is None:
            raise Error("the series has no z: give the series z values (Series(..., z=...), "
                        "z.txt beside 2d.txt) to fit a trend", "malformed_input")
        options.setdefault("status", list(self.lines["status"][:, k]))
        options.setdefault("line", self.names[k])
        return trend(self.z, self.lines[column][:, k], self.lines[f"{column}_se"][:, k], model,
                     **options)


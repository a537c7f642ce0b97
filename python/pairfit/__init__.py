"""Fit every slice of a pseudo-2D NMR series with two Lorentzian lines, from Python.

The same fit as the programs pairfit4 and pairfit2, on numpy arrays: the same readers, the
same scale factor, the same minimiser started from the previous slice, and every number
bit for bit the one the programs print (report.csv at full precision, the result files
dat.txt, sim_a.txt, sim_b.txt and res.txt to their six decimals).

    import pairfit
    series = pairfit.import_spectra("expno/pdata/1", window=(0.76, 0.69))
    fit = pairfit.fit(series, 0.7293, 0.7176)          # pairfit4: MA, MB, LWA, LWB fitted
    fit.area_A, fit.area_A_se, series.z                # one value per slice
    fit2 = pairfit.fit(series, 0.7293, 0.7176, widths=(0.002, 0.002))   # pairfit2

Reading:
    Series(ppm, intensity, z=None, z_unit="")   a series held in arrays, checked
    read_series(folder=".")                     peaks.txt, 2d.txt (and z.txt) of a folder
    import_spectra(*paths, window=None, x_list=None)
                                                Bruker processed data or JCAMP-DX files
Fitting:
    fit(series, peak_A, peak_B, widths=None, signed=False, noise=None)
                                                -> Fit, one value per slice per column of
                                                report.csv, and the curves of the result files

    fit_lines(series, lines, shape="lorentzian", baseline=None, float=0.0, widths="free",
              positive=False, noise=None, window=None)
                                                -> LinesFit, as pairfit-lines: any number of
                                                lines, the values of lines.csv and slices.csv
    read_lines(path)                            a lines.txt as pairfit-lines reads it

From the series to a rate or a constant (as pairfit-trend):
    trend(z, y, se, model, protein=None, mc=500, seed=None, weighted=True, status=None,
          line=None, keep_bound=False)
                                                -> TrendResult: .params[name].value, .se,
                                                .se_mc; .chi2, .dof, .chi2_red, .p_value,
                                                .status, .n, .excluded

Refusals and warnings:
    Error(ValueError)                           every refusal, with the programs' message
                                                (naming the file, the line or slice and what
                                                was expected) and its kind (Error.KINDS)
    MissingFileError(FileNotFoundError, Error)  an input file that is not there: errno
                                                ENOENT, filename the file
    PairfitWarning(UserWarning)                 what the programs print as warnings

Amplitudes, heights, areas and sigma are in the scaled units of the fit: multiply by
Fit.scale_factor for the spectrum's own units.
"""

import collections
import contextlib
import errno
import math
import numbers
import os
import re
import warnings

import numpy as np

__all__ = ["Series", "Fit", "Curves", "read_series", "import_spectra", "fit", "trend",
           "TrendResult", "TrendParameter", "Error", "MissingFileError", "PairfitWarning",
           "fit_lines", "read_lines", "LinesFit", "LineCurves"]


class Error(ValueError):
    """A refusal: the input, an argument or the fit cannot go on.

    str(error) is the programs' message; error.kind says what went wrong, one of KINDS as
    the programs' exit statuses tell them apart: "bad_arguments" (an argument that is not
    one the function takes), "unreadable_input" (a file that cannot be opened or read),
    "malformed_input" (input that cannot be fitted or imported), "non_finite_fit" (the fit
    met non-finite values), "unwritable_output", "internal_error".
    """

    KINDS = ("bad_arguments", "unreadable_input", "malformed_input", "non_finite_fit",
             "unwritable_output", "internal_error")

    def __init__(self, message, kind):
        if kind not in self.KINDS:
            raise ValueError(f"pairfit.Error: kind {kind!r} is not one of {self.KINDS}")
        super().__init__(message)
        self.kind = kind

    def __reduce__(self):
        return type(self), (str(self), self.kind)


class MissingFileError(FileNotFoundError, Error):
    """An input file that is not there: a FileNotFoundError (errno ENOENT, filename the
    missing file) and a pairfit.Error of kind "unreadable_input", whose str() is the
    programs' message."""

    def __init__(self, message, filename):
        FileNotFoundError.__init__(self, errno.ENOENT, os.strerror(errno.ENOENT), filename)
        self.kind = "unreadable_input"
        self.message = message

    def __str__(self):
        return self.message

    def __reduce__(self):
        return type(self), (self.message, self.filename)


class PairfitWarning(UserWarning):
    """What the programs print as a warning on standard error: data after the last '&', a
    peak outside the window, a slice stopped by the iteration limit, slices ended at a
    bound, a noise region overlapping the window, slices flagged as misfits."""


# The programs' line for an input that is not in the folder searched.
_NOT_FOUND_IN = re.compile(r"^(.+): not found in (.+)$")


def _failure(message, kind):
    """The exception for a refusal of the library (raised through _core): MissingFileError
    when the file the message leads with is not there, else Error."""
    if kind == "unreadable_input":
        first_line = message.split("\n", 1)[0]
        found = _NOT_FOUND_IN.match(first_line)
        # Else the message leads with the file it could not read, "PATH: why".
        named, colon, _ = first_line.partition(": ")
        path = os.path.join(found.group(2), found.group(1)) if found else colon and named
        if path and not os.path.exists(path):
            return MissingFileError(message, path)
    return Error(message, kind)


@contextlib.contextmanager
def _arguments_checked():
    """The compiled module's own checks of its arguments (ValueError) as refusals."""
    try:
        yield
    except Error:
        raise
    except ValueError as error:
        raise Error(str(error), "bad_arguments") from None


from . import _core  # noqa: E402  (its refusals are raised through _failure above)

# pairfit-trend's --mc range.
_MAX_MONTE_CARLO = _core.max_monte_carlo

# The lists of a pseudo-2D experiment that give the x value of each slice.
_X_LISTS = ("vdlist", "vclist", "vplist", "vtlist", "none")


def _frozen(array):
    array.setflags(write=False)
    return array


def _dtype_words(dtype):
    return {"c": "complex numbers", "b": "booleans", "U": "strings", "S": "bytes",
            "O": "Python objects"}.get(dtype.kind, f"{dtype} values")


def _float_array(value, name, ndim, kind="malformed_input"):
    """VALUE as a read-only float array; refused as KIND: data arrays are input, malformed
    when not finite numbers of the right shape."""
    given = np.asarray(value)
    if given.dtype.kind not in "iuf":
        raise Error(f"{name}: an array of {_dtype_words(given.dtype)}, not of real numbers "
                    "(give float or integer values)", kind)
    try:
        array = np.array(given, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise Error(f"{name}: not an array of numbers ({error})", kind) from None
    if array.ndim != ndim:
        raise Error(f"{name} must be {ndim}-D, got an array of shape {array.shape}", kind)
    if array.size == 0:
        raise Error(f"{name} holds no value (shape {array.shape})", kind)
    bad = np.argwhere(~np.isfinite(array))
    if len(bad):
        where = tuple(int(i) for i in bad[0])
        where = where[0] if ndim == 1 else where
        raise Error(f"{name}[{where}] is {array[tuple(bad[0])]}: every value must be finite "
                    f"({len(bad)} are not)", kind)
    return _frozen(array)


class Series:
    """A pseudo-2D series: one spectrum per slice, on one ppm axis.

    Series(ppm, intensity, z=None, z_unit="", noise_ppm=None, noise_intensity=None)

    ppm        1-D array, the ppm of every point, in any order (as the file holds them)
    intensity  2-D array, one row per slice, one column per ppm point
    z          None, or one x value per slice (delay, concentration...)
    z_unit     the unit of z ("s"), or ""
    noise_ppm, noise_intensity
               None, or the whole spectrum of every slice (a 1-D ppm axis and a 2-D array
               [slice, point] on it, as 2d.txt holds them before the window is cut): the
               points fit(..., noise=(A, B)) measures each slice's noise on, those strictly
               between A and B, as --noise A B takes them from 2d.txt

    A series from read_series(folder, noise=(A, B)) also holds, in noise_region and noise,
    that region and each slice's intensities in it (points outside the window too), which
    fit(..., noise=(A, B)) then uses.

    Every value must be finite; the shapes must agree. The arrays are copied and kept
    read-only. fit() fits every point given: cut the series to the window first
    (read_series and import_spectra(window=...) do).
    """

    def __init__(self, ppm, intensity, z=None, z_unit="", noise_ppm=None, noise_intensity=None):
        self.ppm = _float_array(ppm, "ppm", 1)
        self.intensity = _float_array(intensity, "intensity", 2)
        slices, points = self.intensity.shape
        if points != len(self.ppm):
            raise Error(f"intensity has {points} columns, ppm {len(self.ppm)} points: "
                        "intensity needs one row per slice and a column per ppm point",
                        "malformed_input")
        if z is None:
            self.z = None
        else:
            self.z = _float_array(z, "z", 1)
            if len(self.z) != slices:
                raise Error(f"z holds {len(self.z)} values for {slices} slices: one per "
                            "slice (row of intensity)", "malformed_input")
        if not isinstance(z_unit, str):
            raise Error(f"z_unit must be a str, got {type(z_unit).__name__}", "bad_arguments")
        self.z_unit = z_unit
        # The ppm of each slice, where a file gave slices axes that differ slightly from
        # slice 0's (as the programs accept); None when every slice lies on ppm.
        self._slice_ppm = None
        # The signal-free region read with the series, and each slice's intensities in it.
        self.noise_region = None
        self.noise = None
        if (noise_ppm is None) != (noise_intensity is None):
            raise Error("noise_ppm and noise_intensity come together: the axis and the "
                        "intensities of the whole spectrum", "bad_arguments")
        self.noise_ppm = None if noise_ppm is None else _float_array(noise_ppm, "noise_ppm", 1)
        self.noise_intensity = (None if noise_intensity is None
                                else _float_array(noise_intensity, "noise_intensity", 2))
        if self.noise_intensity is not None and (
                self.noise_intensity.shape != (slices, len(self.noise_ppm))):
            raise Error(f"noise_intensity has the shape {self.noise_intensity.shape}: it needs "
                        f"one row per slice ({slices}) and a column per noise_ppm point "
                        f"({len(self.noise_ppm)})", "malformed_input")

    @property
    def slices(self):
        """The number of slices (rows of intensity)."""
        return self.intensity.shape[0]

    @property
    def point_spacing(self):
        """The mean ppm between neighbouring points, (max - min) / (points - 1) of ppm: what
        pairfit-trend reads from 2d.txt's first block, for trend(..., point_spacing=); NaN
        with fewer than two points."""
        if len(self.ppm) < 2:
            return float("nan")
        return _core.mean_point_spacing(float(self.ppm.min()), float(self.ppm.max()),
                                        len(self.ppm))

    def __repr__(self):
        z = "" if self.z is None else f", z {self.z[0]:g}..{self.z[-1]:g} {self.z_unit}".rstrip()
        return (f"<pairfit.Series: {self.slices} slices of {len(self.ppm)} points, "
                f"{self.ppm.min():g}..{self.ppm.max():g} ppm{z}>")


def read_series(folder=".", noise=None):
    """Read a folder as pairfit4 and pairfit2 read their working directory.

    read_series(folder=".", noise=None) -> (Series, peaks)

    noise=(A, B), as --noise A B, also keeps each slice's intensities strictly inside that
    signal-free region (ppm, either order; inside the window or not) in series.noise, and
    refuses a region of fewer than 16 points as the programs do.

    peaks.txt gives the two peak positions and the window; 2d.txt is read and cut to the
    window (points strictly inside it) and checked as the programs check it; z.txt, when
    the folder holds one, gives z and z_unit (as --z z.txt would). peaks is a dict with
    "peak_A", "peak_B", "window" (lower, upper) and, when peaks.txt has a third row, "widths"
    (LWA, LWB) for fit(..., widths=peaks["widths"]).

    Raises Error with the programs' message and kind for everything they refuse
    (MissingFileError for a missing 2d.txt or peaks.txt); outside the working directory the
    message names the files by their path in `folder`. Warnings (a peak outside the window,
    data after the last '&') are issued as PairfitWarning.
    """
    region = None if noise is None else _region(noise)
    with _arguments_checked():
        read = _core.read_folder(os.fspath(folder), region)
    for message in read["warnings"]:
        warnings.warn(message, PairfitWarning, stacklevel=2)
    series = Series(read["ppm"], read["intensity"], read["z"], read["z_unit"])
    if read["slice_ppm"] is not None:
        series._slice_ppm = _frozen(read["slice_ppm"])
    if region is not None:
        series.noise_region = region
        series.noise = [_frozen(np.array(values)) for values in read["noise"]]
    return series, read["peaks"]


def import_spectra(*paths, window=None, x_list=None):
    """Read spectrometer files as pairfit-import does.

    import_spectra(*paths, window=None, x_list=None) -> Series

    paths   one Bruker pseudo-2D processing folder (EXPNO/pdata/PROCNO with 2rr), or
            several Bruker 1D processing folders (1r), or JCAMP-DX 1D files (one slice
            each), or an NMRPipe pseudo-2D file, NMRPipe 1D files or one template of them
            ("ft/test%03d.ft1", numbered from 1)
    window  (A, B): keep the points strictly between A and B ppm (either order)
    x_list  "vdlist", "vclist", "vplist", "vtlist" or "none": the list of a pseudo-2D that
            gives z (default: the first of them present); or a list file (a path, as
            pairfit-import --x-list FILE) giving the x value of every slice of any input

    z and z_unit are those pairfit-import writes to z.txt. Raises Error with the importer's
    message and kind (the file and the parameter or line) for what it refuses,
    MissingFileError for an input or a file of a folder that is not there.
    """
    if not paths:
        raise Error("import_spectra: no input given", "bad_arguments")
    if isinstance(x_list, os.PathLike) or (isinstance(x_list, str) and x_list not in _X_LISTS):
        # A list file, named as pairfit-import --x-list names it.
        x_list = os.fspath(x_list)
        if not _core.names_x_list_file(x_list):
            x_list = os.path.join(".", x_list)
    elif x_list is not None and x_list not in _X_LISTS:
        raise Error(f"x_list takes {', '.join(_X_LISTS[:-1])}, none or a list file, "
                    f"not {x_list!r}", "bad_arguments")
    limits = None
    if window is not None:
        limits = tuple(_float_array(window, "window", 1, "bad_arguments"))
        if len(limits) != 2:
            raise Error(f"window takes two limits (ppm), got {len(limits)}", "bad_arguments")
    with _arguments_checked():
        imported = _core.import_inputs([os.fspath(path) for path in paths], limits,
                                       x_list or "")
    return Series(imported["ppm"], imported["intensity"], imported["z"], imported["z_unit"])


Curves = collections.namedtuple("Curves", ["data", "line_A", "line_B", "residual"])
Curves.__doc__ = """The curves of the result files, each a 2-D array [slice, point] laid out
as Series.intensity (one row per slice, one column per window point of Fit.ppm): data
(dat.txt, the scaled intensities), line_A (sim_a.txt), line_B (sim_b.txt) and residual
(res.txt, (data - line_A) - line_B), at full precision. The files hold the transpose, a
row per point and a column per slice: curves.data.T is dat.txt without its ppm column."""


class _Column:
    """A column of report.csv as a read-only attribute of Fit."""

    def __init__(self, doc):
        self.__doc__ = doc

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, fit, owner=None):
        return self if fit is None else fit._values[self.name]

    def __set__(self, fit, value):
        raise AttributeError(f"Fit.{self.name} is a column of the fit; it cannot be set")


class Fit:
    """A fitted series: one value per slice for every column of report.csv.

    Made by fit(). Its attributes named as the columns of report.csv (Fit.columns, in file
    order) hold one value per slice, numpy arrays but status. NaN stands where report.csv
    has an empty cell (an error not defined: a half-width held fixed or a value at a bound).
    scale_factor is the one divisor of the series (a float; fit["scale_factor"] is its
    column). fit[name] gives any column, to_pandas() all of them, curves() the curves of
    dat.txt, sim_a.txt, sim_b.txt and res.txt, and ppm their axis.
    """

    slice = _Column("The slice, counting from 0 in file order (int).")
    z = _Column("The series' z of each slice; NaN without.")
    points = _Column("The slice's window points (int).")
    status = _Column("list of str: \"settled\" or \"iteration_limit\", then \";bound:\" and the "
                     "parameters at a bound, then \";misfit\" for a slice flagged by noise=.")
    iterations = _Column("The minimiser's iterations (int).")
    MA = _Column("The fitted amplitude M of line A (scaled intensity x ppm).")
    MA_se = _Column("The standard error of MA.")
    MB = _Column("The fitted amplitude M of line B (scaled intensity x ppm).")
    MB_se = _Column("The standard error of MB.")
    LWA = _Column("The half width at half height of line A (ppm), fixed with widths=.")
    LWA_se = _Column("The standard error of LWA; NaN when it is fixed.")
    LWB = _Column("The half width at half height of line B (ppm), fixed with widths=.")
    LWB_se = _Column("The standard error of LWB; NaN when it is fixed.")
    height_A = _Column("The maximum MA/LWA of line A (scaled intensity).")
    height_A_se = _Column("The standard error of height_A.")
    height_B = _Column("The maximum MB/LWB of line B (scaled intensity).")
    height_B_se = _Column("The standard error of height_B.")
    area_A = _Column("The area pi*MA of line A.")
    area_A_se = _Column("The standard error of area_A.")
    area_B = _Column("The area pi*MB of line B.")
    area_B_se = _Column("The standard error of area_B.")
    fraction_A = _Column("MA/(MA + MB), A's share of the total area.")
    fraction_A_se = _Column("The standard error of fraction_A.")
    rss = _Column("The residual sum of squares.")
    sigma = _Column("sqrt(rss/(points - fitted parameters)).")
    noise = _Column("The slice's noise in the region of noise=; NaN without.")
    chi2_red = _Column("rss/((points - fitted parameters) noise^2); NaN without noise=.")

    def __init__(self, fitted, series, peak_A, peak_B, widths):
        self._fitted = fitted
        self._curves = None
        self.columns = list(_core.columns)
        self._values = fitted.columns([] if series.z is None else list(series.z))
        for column in self._values.values():
            if isinstance(column, np.ndarray):
                _frozen(column)
        self.scale_factor = fitted.scale_factor
        self.ppm = series.ppm
        self.peak_A = peak_A
        self.peak_B = peak_B
        self.widths = widths

    def __len__(self):
        return len(self.status)

    def __getitem__(self, name):
        """The column `name` of report.csv."""
        return self._values[name]

    def __repr__(self):
        kind = "pairfit4" if self.widths is None else "pairfit2"
        return f"<pairfit.Fit ({kind}): {len(self)} slices, scale_factor {self.scale_factor:g}>"

    def to_pandas(self):
        """A pandas DataFrame with the columns of report.csv (needs pandas)."""
        import pandas
        return pandas.DataFrame({name: self._values[name] for name in self.columns})

    def curves(self):
        """Curves(data, line_A, line_B, residual): 2-D arrays [slice, point] as
        Series.intensity, at full precision (Fit.ppm is their axis); the files dat.txt,
        sim_a.txt, sim_b.txt and res.txt hold their transposes (curves().data.T)."""
        if self._curves is None:
            _, *arrays = self._fitted.curves()
            self._curves = Curves(*(_frozen(array) for array in arrays))
        return self._curves


def _number(value, name):
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
        raise Error(f"{name} must be a finite number (ppm), got {value!r}", "bad_arguments")
    return float(value)


def _region(noise):
    limits = tuple(noise)
    if len(limits) != 2:
        raise Error(f"noise takes the two ppm limits of a region, got {len(limits)} values",
                    "bad_arguments")
    a, b = (_number(limit, "noise") for limit in limits)
    return (min(a, b), max(a, b))


def fit(series, peak_A, peak_B, widths=None, signed=False, noise=None):
    """Fit every slice of a series with two Lorentzian lines at peak_A and peak_B (ppm).

    fit(series, peak_A, peak_B, widths=None, signed=False, noise=None) -> Fit

    signed=True is --signed: amplitudes within -10 and 10, the scale factor the largest
    absolute intensity, and each slice fitted by variable projection (the amplitudes solved
    exactly for each pair of widths, the widths fitted by a trust region), as pairfit4 does. noise=(A, B) is --noise A B: the standard
    errors come from each slice's noise in that region, and fit.noise, fit.chi2_red and the
    status ";misfit" are filled in; the noise points are those series.noise holds when the
    series was read with the same region (read_series(folder, noise=(A, B))), else those of
    the series' noise_ppm and noise_intensity strictly inside the region, else the series' own
    points strictly inside the region (which are then fitted too).

    widths=None fits MA, MB, LWA and LWB (pairfit4); widths=(LWA, LWB) holds the half-widths
    and fits MA and MB (pairfit2). As in the programs the intensities are divided by the
    largest of them, and the slices are fitted in order, each from the previous result,
    every parameter within 1e-4 and 10. The programs' warnings (a slice stopped by the
    iteration limit, slices ended at a bound) are issued as PairfitWarning. Raises Error of
    kind "non_finite_fit" with the programs' message when the fit meets non-finite values
    (no positive intensity, a zero half-width).
    """
    if not isinstance(series, Series):
        raise Error(f"series must be a pairfit.Series, got {type(series).__name__}",
                    "bad_arguments")
    options = {"peak_A": _number(peak_A, "peak_A"), "peak_B": _number(peak_B, "peak_B")}
    if widths is not None:
        widths = tuple(widths)
        if len(widths) != 2:
            raise Error(f"widths takes two half-widths (LWA, LWB), got {len(widths)}",
                        "bad_arguments")
        widths = tuple(_number(w, name) for w, name in zip(widths, ("LWA", "LWB")))
        if min(widths) < 0:
            raise Error(f"widths: the half-widths must not be below 0, got {widths}",
                        "malformed_input")
    options["widths"] = widths
    options["signed"] = bool(signed)
    noise_intensity = []
    if noise is not None:
        region = _region(noise)
        if series.noise is not None and series.noise_region == region:
            noise_intensity = list(series.noise)
        elif series.noise_ppm is not None:
            inside = (series.noise_ppm > region[0]) & (series.noise_ppm < region[1])
            noise_intensity = [np.ascontiguousarray(row[inside])
                               for row in series.noise_intensity]
        else:
            inside = (series.ppm > region[0]) & (series.ppm < region[1])
            noise_intensity = [np.ascontiguousarray(row[inside]) for row in series.intensity]
        options["noise"] = region
    with _arguments_checked():
        fitted = _core.fit(series.ppm, series.intensity, series._slice_ppm, noise_intensity,
                           **options)
    for message in fitted.warnings():
        warnings.warn(message, PairfitWarning, stacklevel=2)
    return Fit(fitted, series, options["peak_A"], options["peak_B"], widths)


TrendParameter = collections.namedtuple("TrendParameter", "value se se_mc")
TrendParameter.__doc__ = """A fitted trend parameter: its value, its standard error from the covariance
(se) and from the Monte Carlo refits (se_mc, NaN with mc=0), as trend.csv's columns."""


class TrendResult:
    """The fit of one line's values against z, as a block of trend.csv.

    params    {name: TrendParameter(value, se, se_mc)} in trend.csv's order, each time
              constant followed by its rate
    chi2, dof, chi2_red, rss, p_value
              trend.csv's columns (chi2, chi2_red and p_value NaN for weighted=False)
    status    "ok", "misfit" (p_value below 0.001) or "" (weighted=False: not judged)
    n         the slices fitted
    excluded  the slices left out because the line's value is at a bound there (or, with
              half_width, its half-width narrower than half the point spacing)
    model     the model's name

    result["T1"] and result["chi2"] give what the dict of earlier versions held.
    """

    def __init__(self, model, values):
        self.model = model
        self.params = {name: TrendParameter(value, se, se_mc)
                       for name, value, se, se_mc in values["parameters"]}
        self.chi2 = values["chi2"]
        self.dof = values["dof"]
        self.chi2_red = values["chi2_red"]
        self.rss = values["rss"]
        self.p_value = values["p_value"]
        self.status = values["status"]
        self.n = values["n"]
        self.excluded = list(values["excluded"])

    def __getitem__(self, name):
        if name in self.params:
            return tuple(self.params[name])
        if name in ("chi2", "dof", "n"):
            return getattr(self, name)
        raise KeyError(name)

    def __repr__(self):
        parameters = ", ".join(f"{name}={p.value:.6g}\u00b1{p.se:.2g}"
                               for name, p in self.params.items())
        quality = (f"chi2/dof {self.chi2_red:.3g} ({self.dof}), p {self.p_value:.2g}, "
                   f"{self.status}" if self.status else f"rss {self.rss:.3g} ({self.dof} dof)")
        left_out = f", {len(self.excluded)} left out" if self.excluded else ""
        return f"<pairfit.TrendResult {self.model}: {parameters}; {quality}; n {self.n}{left_out}>"


def _trend_values(name, values):
    """A column of a trend as pairfit-trend reads one from its table."""
    given = np.asarray(values)
    if given.dtype.kind not in "iuf":
        raise Error(f"{name}: an array of {_dtype_words(given.dtype)}, not of real numbers",
                    "bad_arguments")
    array = np.ascontiguousarray(given.astype(np.float64).ravel())
    # NaN is an empty cell, left out as pairfit-trend leaves it; an infinity is refused
    # there as a cell that is not one finite number.
    infinite = np.flatnonzero(np.isinf(array))
    if len(infinite):
        raise Error(f"{name}[{infinite[0]}] is {array[infinite[0]]}: a value must be finite "
                    "(NaN leaves a point out)", "malformed_input")
    return array


def _arrays_per_line(name, given, line, lines):
    """trend()'s half_width or half_width_se: one array for one line, else one per line."""
    if given is None:
        return []
    arrays = [given] if isinstance(line, str) else list(given)
    if len(arrays) != len(lines):
        raise Error(f"{name} holds {len(arrays)} arrays for {len(lines)} lines: one per line",
                    "bad_arguments")
    return [list(_trend_values(f"{name} of line {n}", values)) for n, values in zip(lines, arrays)]


def trend(z, y, se, model, protein=None, mc=500, seed=None, weighted=True, status=None,
          line=None, keep_bound=False, half_width=None, point_spacing=None, half_width_se=None):
    """Fit a trend across the slices as pairfit-trend does, with the same numbers.

    trend(z, y, se, model, protein=None, mc=500, seed=None, weighted=True, status=None,
          line=None, keep_bound=False, half_width=None, point_spacing=None,
          half_width_se=None) -> TrendResult

    status (fit.status, or lines.csv's status column) and line (its name, "A" or "B" for a
    two-line fit; a tuple of names for a fraction of several lines, ("A", "B") for binding)
    leave out the slices where the line's amplitude (height) or half-width is at a bound, as
    pairfit-trend does unless keep_bound=True; the warnings naming them, and a misfit of the
    trend itself, are issued as PairfitWarning. half_width (the line's fitted half-widths,
    fit.LWB; a tuple of arrays for a tuple of lines) with point_spacing (series.point_spacing)
    leaves out too the slices where a half-width is narrower than half the point spacing, as
    pairfit-trend does on report.csv: a line the sampling cannot tell from a spike. With
    half_width_se too (fit.LWB_se), and a model other than binding, a slice whose half-width
    lies more than 3.29 se from the other slices' is left out as well: a relaxation series
    has one width per line, so such a slice is a line fitted to noise. Leave half_width out
    for half-widths held fixed. "decay2" is A1 exp(-z/Ta) + A2 exp(-z/Tb).

    model: "decay" y = I0 exp(-z/T); "recovery" y = Iinf (1 - exp(-z/T1)); "inversion"
    y = Iinf - (Iinf - I0) exp(-z/T1); "binding" the bound fraction with ligand depletion at
    total protein `protein` (same unit as z), parameter Kd. y is weighted by 1/se^2 (se as
    absolute sigmas), or with weighted=False equally, the errors then scaled by the residual
    scatter. mc synthetic sets drawn from the fitted curve with each point's se are refitted
    for se_mc; seed=None is pairfit-trend's default seed, so a run is reproducible. Points
    whose z, y or se is NaN are left out.

    Returns a TrendResult. Raises Error with pairfit-trend's message for
    an unknown model, protein with a model other than binding, mc outside 0 to 1000000 or seed
    outside 0 to 2**64 - 1 ("bad_arguments"), too few points, an infinite value or an se <= 0
    ("malformed_input"), or a fit that does not converge ("non_finite_fit").

        fit = pairfit.fit(series, 0.7293, 0.7176, signed=True)
        pairfit.trend(series.z, fit.area_A, fit.area_A_se, "inversion",
                      status=fit.status, line="A").params["T1"].value
    """
    arrays = [_trend_values(name, values) for name, values in (("z", z), ("y", y), ("se", se))]
    if (isinstance(mc, bool) or not isinstance(mc, numbers.Integral)
            or not 0 <= mc <= _MAX_MONTE_CARLO):
        raise Error(f"mc needs a whole number from 0 to {_MAX_MONTE_CARLO}, not {mc!r}",
                    "bad_arguments")
    if _core.monte_carlo_problem(int(mc)):
        raise Error(f"mc={mc}: {_core.monte_carlo_problem(int(mc))}", "bad_arguments")
    if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)
                             or not 0 <= seed < 2**64):
        raise Error(f"seed needs a whole number from 0 to 2**64 - 1, not {seed!r}",
                    "bad_arguments")
    if protein is not None and str(model) != "binding":
        raise Error("protein applies to the binding model only", "bad_arguments")
    if (status is None) != (line is None):
        raise Error("status and line come together: the slices' statuses and the line's name",
                    "bad_arguments")
    lines = [] if line is None else [line] if isinstance(line, str) else [str(n) for n in line]
    if (half_width is None) != (point_spacing is None):
        raise Error("half_width and point_spacing come together: the line's fitted half-widths "
                    "and the series' point spacing", "bad_arguments")
    if half_width is not None and line is None:
        raise Error("half_width needs line, the name of the line it belongs to", "bad_arguments")
    if half_width_se is not None and half_width is None:
        raise Error("half_width_se needs half_width, the half-widths it is the error of",
                    "bad_arguments")
    widths = _arrays_per_line("half_width", half_width, line, lines)
    width_ses = _arrays_per_line("half_width_se", half_width_se, line, lines)
    with _arguments_checked():
        values = _core.trend(*(list(a) for a in arrays), str(model),
                             None if protein is None else float(protein), int(mc),
                             None if seed is None else int(seed), bool(weighted),
                             [] if status is None else [str(s) for s in status], lines,
                             bool(keep_bound), widths, width_ses,
                             None if point_spacing is None else float(point_spacing))
    for message in values["warnings"]:
        warnings.warn(message, PairfitWarning, stacklevel=2)
    return TrendResult(str(model), values)


# pairfit-lines: any number of lines (_lines.py), on the helpers above.
from ._lines import LineCurves, LinesFit, fit_lines, read_lines  # noqa: E402

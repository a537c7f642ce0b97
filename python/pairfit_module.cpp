// pairfit._core: the library's readers and fit_series for Python, on numpy arrays. The package
// pairfit (pairfit/__init__.py) validates the arguments and documents the interface; this
// file only moves values between numpy and the library's records.
#include "Failure.h"
#include "FitSeries.h"
#include "ReadFolder.h"
#include "ReadImport.h"
#include "ReadNumbers.h"
#include "ReadSeries.h"
#include "ReadZValues.h"
#include "Trend.h"
#include "lines_module.h"
#include "module_arrays.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

py::array_t<double> matrix(std::size_t rows, std::size_t columns) {
    return py::array_t<double>({rows, columns});
}

// ---------------------------------------------------------------------------------------
// Reading a folder as the programs read their working directory
// ---------------------------------------------------------------------------------------

// The programs' steps on `folder`: z.txt when the folder holds one (as --z z.txt), peaks.txt
// with its third row optional, 2d.txt on every core; the warnings collected.
FolderInput read_folder_series(const std::string& folder, const NoiseRegion& noise,
                               std::vector<std::string>& warnings) {
    FolderReading reading;
    reading.folder = folder;
    const std::string z_path = folder == "." ? "z.txt" : (fs::path(folder) / "z.txt").string();
    std::error_code error;
    if (fs::exists(z_path, error)) {
        reading.z_file = z_path;
    }
    reading.noise = noise;
    reading.thread_count = [] { return std::max(1u, std::thread::hardware_concurrency()); };
    reading.warnings = [&warnings](const std::vector<std::string>& found) {
        warnings.insert(warnings.end(), found.begin(), found.end());
    };
    return read_folder_input(reading);
}

// The series as arrays: ppm of slice 0, intensity [slice][point], and the ppm of every slice
// when any differs from slice 0's (check_fit_series lets them differ by 1 % of a spacing).
py::tuple series_arrays(const WindowedSeries& series) {
    const std::size_t slices = series.slice_count();
    const std::size_t points = series.points_in(0);
    py::array_t<double> ppm(points);
    std::copy_n(series.ppm.data(), points, ppm.mutable_data());
    py::array_t<double> intensity = matrix(slices, points);
    py::array_t<double> slice_ppm = matrix(slices, points);
    bool one_axis = true;
    for (std::size_t s = 0; s < slices; ++s) {
        const std::size_t first = series.slice_start[s];
        std::copy_n(series.intensity.data() + first, points, intensity.mutable_data(s, 0));
        std::copy_n(series.ppm.data() + first, points, slice_ppm.mutable_data(s, 0));
        one_axis = one_axis && std::memcmp(series.ppm.data() + first, series.ppm.data(),
                                           points * sizeof(double)) == 0;
    }
    return py::make_tuple(ppm, intensity, one_axis ? py::object(py::none()) : slice_ppm);
}

py::dict read_folder(const std::string& folder, std::optional<py::tuple> noise_region) {
    NoiseRegion noise;
    if (noise_region) {
        const double a = noise_region->operator[](0).cast<double>();
        const double b = noise_region->operator[](1).cast<double>();
        noise = {true, std::min(a, b), std::max(a, b)};
    }
    FolderInput read;
    std::vector<std::string> warnings;
    {
        py::gil_scoped_release unlocked;
        read = read_folder_series(folder, noise, warnings);
    }
    py::dict result;
    const py::tuple arrays = series_arrays(read.series);
    result["ppm"] = arrays[0];
    result["intensity"] = arrays[1];
    result["slice_ppm"] = arrays[2];
    result["z"] = read.z ? py::object(py::cast(read.z->values)) : py::object(py::none());
    result["z_unit"] = read.z ? read.z->unit : std::string();
    py::dict peaks;
    peaks["peak_A"] = read.peaks.peak_A;
    peaks["peak_B"] = read.peaks.peak_B;
    peaks["window"] = py::make_tuple(read.peaks.window_lower, read.peaks.window_upper);
    if (read.peaks.has_widths) {
        peaks["widths"] = py::make_tuple(read.peaks.LWA, read.peaks.LWB);
    }
    result["peaks"] = peaks;
    result["warnings"] = warnings;
    py::list noise_points;
    for (std::size_t s = 0; noise.given && s < read.series.slice_count(); ++s) {
        const std::size_t first = read.series.noise_start[s];
        const std::size_t count = read.series.noise_start[s + 1] - first;
        py::array_t<double> values(count);
        std::copy_n(read.series.noise_intensity.data() + first, count, values.mutable_data());
        noise_points.append(values);
    }
    result["noise"] = noise_points;
    return result;
}

// ---------------------------------------------------------------------------------------
// Importing spectrometer files as pairfit-import does
// ---------------------------------------------------------------------------------------

using ImportedSlice = ImportedSpectrum;

py::dict import_inputs(const std::vector<std::string>& paths, std::optional<py::tuple> window,
                       const std::string& x_list) {
    std::vector<fs::path> inputs(paths.begin(), paths.end());
    ImportedSeries imported;
    std::vector<ImportedSlice> slices;
    std::optional<ZValues> z;
    std::optional<std::pair<double, double>> limits;
    if (window) {
        limits =
            std::pair{window->operator[](0).cast<double>(), window->operator[](1).cast<double>()};
    }
    {
        py::gil_scoped_release unlocked;
        imported = read_spectrometer_inputs(inputs, x_list);
        slices = imported.slices;
        if (limits) {
            slices = cut_slices_to_window(slices, limits->first, limits->second);
        }
        if (!imported.x_values.empty()) {
            z = ZValues{};
            z->values = imported.x_values;
            z->unit = imported.x_unit;
        }
    }
    const std::size_t points = slices.front().ppm.size();
    py::array_t<double> ppm(points);
    std::copy_n(slices.front().ppm.data(), points, ppm.mutable_data());
    py::array_t<double> intensity = matrix(slices.size(), points);
    for (std::size_t s = 0; s < slices.size(); ++s) {
        if (slices[s].intensity.size() != points) {
            throw Failure(FailureKind::malformed_input,
                          "slice " + std::to_string(s) + " holds " +
                              std::to_string(slices[s].intensity.size()) + " points, slice 0 " +
                              std::to_string(points));
        }
        std::copy_n(slices[s].intensity.data(), points, intensity.mutable_data(s, 0));
    }
    py::dict result;
    result["ppm"] = ppm;
    result["intensity"] = intensity;
    result["z"] = z ? py::object(py::cast(z->values)) : py::object(py::none());
    result["z_unit"] = z ? z->unit : std::string();
    result["notes"] = imported.notes;
    return result;
}

// ---------------------------------------------------------------------------------------
// Fitting
// ---------------------------------------------------------------------------------------

// The keywords of fit(), each setting its part of FitSettings: a new option is one entry.
FitSettings fit_settings(const py::kwargs& options) {
    using Setter = std::function<void(FitSettings&, const py::handle&)>;
    static const std::map<std::string, Setter> setters = {
        {"peak_A", [](FitSettings& s, const py::handle& v) { s.peak_A = v.cast<double>(); }},
        {"peak_B", [](FitSettings& s, const py::handle& v) { s.peak_B = v.cast<double>(); }},
        {"widths",
         [](FitSettings& s, const py::handle& v) {
             if (!v.is_none()) {
                 s.fixed_widths = v.cast<std::array<double, 2>>();
             }
         }},
        {"signed",
         [](FitSettings& s, const py::handle& v) { s.signed_amplitudes = v.cast<bool>(); }},
        // The noise points come with the series (noise_intensity of fit()).
        {"noise", [](FitSettings& s, const py::handle& v) { s.with_noise = !v.is_none(); }},
    };
    FitSettings settings;
    settings.with_report = true;
    for (const auto& [key, value] : options) {
        const std::string name = key.cast<std::string>();
        const auto setter = setters.find(name);
        if (setter == setters.end()) {
            throw py::type_error("fit() got an unexpected keyword argument '" + name + "'");
        }
        setter->second(settings, value);
    }
    return settings;
}

// What this represents: a fitted series held for Python, its columns and curves made on
// request.
struct FittedSeries {
    SeriesFit fit;
    std::vector<std::string> noise_warnings; // of the noise region, before the fit
};

// With a noise region (fit(noise=(A, B))): `noise` holds each slice's intensities in it,
// checked as the programs check --noise A B; the warnings are returned.
std::vector<std::string> add_noise_points(WindowedSeries& series, const FitSettings& settings,
                                          const py::kwargs& options,
                                          const std::vector<DoubleArray>& noise) {
    std::vector<std::string> warnings;
    if (!settings.with_noise) {
        return warnings;
    }
    if (noise.size() != series.slice_count()) {
        throw py::value_error("noise: one array of intensities per slice");
    }
    for (const DoubleArray& values : noise) {
        series.noise_intensity.insert(series.noise_intensity.end(), values.data(),
                                      values.data() + values.size());
        series.noise_start.push_back(series.noise_intensity.size());
    }
    const py::tuple region = options["noise"].cast<py::tuple>();
    const double a = region[0].cast<double>();
    const double b = region[1].cast<double>();
    PeakSettings peaks; // no window of its own here: the series is the window
    peaks.peak_A = settings.peak_A;
    peaks.peak_B = settings.peak_B;
    peaks.window_lower = not_a_number;
    peaks.window_upper = not_a_number;
    check_noise_region(series, {true, std::min(a, b), std::max(a, b)}, peaks, warnings);
    return warnings;
}

FittedSeries fit_arrays(const DoubleArray& ppm, const DoubleArray& intensity,
                        const py::object& slice_ppm, const std::vector<DoubleArray>& noise,
                        const py::kwargs& options) {
    const FitSettings settings = fit_settings(options);
    WindowedSeries series = windowed_series(ppm, intensity, slice_ppm);
    FittedSeries fitted;
    fitted.noise_warnings = add_noise_points(series, settings, options, noise);
    py::gil_scoped_release unlocked;
    // The programs' refusal: the first slice that meets non-finite values ends the fit.
    fitted.fit = fit_series(std::move(series), settings,
                            [](std::size_t, const SliceFit& slice) { refuse_non_finite(slice); });
    return fitted;
}

std::vector<std::string> column_names() {
    std::vector<std::string> names;
    for (const ReportColumn& column : report_columns()) {
        names.push_back(column.name);
    }
    return names;
}

// report.csv's cell as a number: an empty cell (a value undefined or not finite) is NaN.
double cell(double value) {
    return std::isfinite(value) ? value : not_a_number;
}

// Every column of report.csv by its name, in file order: integers for slice, points and
// iterations, a list of str for status, float arrays for the rest (NaN for an empty cell).
py::dict fit_columns(const FittedSeries& fitted, const std::vector<double>& z) {
    const SeriesFit& fit = fitted.fit;
    const std::size_t slices = fit.slices.size();
    py::dict columns;
    for (const ReportColumn& column : report_columns()) {
        if (column.kind == ReportColumnKind::text) {
            std::vector<std::string> status;
            for (const SliceFit& slice : fit.slices) {
                status.push_back(slice_status(slice));
            }
            columns[column.name.c_str()] = status;
        } else if (column.kind == ReportColumnKind::integer) {
            py::array_t<long long> values(slices);
            for (std::size_t s = 0; s < slices; ++s) {
                values.mutable_at(s) = static_cast<long long>(column.value(fit, s, z));
            }
            columns[column.name.c_str()] = values;
        } else {
            py::array_t<double> values(slices);
            for (std::size_t s = 0; s < slices; ++s) {
                values.mutable_at(s) = cell(column.value(fit, s, z));
            }
            columns[column.name.c_str()] = values;
        }
    }
    return columns;
}

// What the programs print on standard error about a fit: a warning per slice stopped by the
// iteration limit, then the slices ended at a bound.
std::vector<std::string> fit_warnings(const FittedSeries& fitted) {
    std::vector<std::string> warnings = fitted.noise_warnings;
    for (std::size_t s = 0; s < fitted.fit.slices.size(); ++s) {
        if (fitted.fit.slices[s].end == SliceEnd::iteration_limit) {
            warnings.push_back(fitted.fit.slices[s].end_message);
        }
    }
    for (const std::string& warning : {bound_warning(fitted.fit), misfit_warning(fitted.fit)}) {
        if (!warning.empty()) {
            warnings.push_back(warning);
        }
    }
    return warnings;
}

// dat.txt, sim_a.txt, sim_b.txt and res.txt as arrays [slice][point], the layout of the
// series' intensity (the files' is its transpose), and their ppm column, computed as the
// programs write them.
py::tuple fit_curves(const FittedSeries& fitted) {
    const SeriesFit& fit = fitted.fit;
    const WindowedSeries& series = fit.scaled;
    const std::size_t slices = series.slice_count();
    const std::size_t points = slices == 0 ? 0 : series.points_in(0);
    py::array_t<double> ppm(points);
    std::copy_n(series.ppm.data(), points, ppm.mutable_data());
    py::array_t<double> data = matrix(slices, points);
    py::array_t<double> line_a = matrix(slices, points);
    py::array_t<double> line_b = matrix(slices, points);
    py::array_t<double> residual = matrix(slices, points);
    auto d = data.mutable_unchecked<2>();
    auto a = line_a.mutable_unchecked<2>();
    auto b = line_b.mutable_unchecked<2>();
    auto r = residual.mutable_unchecked<2>();
    for (std::size_t s = 0; s < slices; ++s) {
        for (std::size_t k = 0; k < points; ++k) {
            const std::size_t i = series.slice_start[s] + k;
            const LinePoint line = lines_at(fit.slices[s], fit.settings, series.ppm[i]);
            d(s, k) = series.intensity[i];
            a(s, k) = line.a;
            b(s, k) = line.b;
            r(s, k) = (series.intensity[i] - line.a) - line.b;
        }
    }
    return py::make_tuple(ppm, data, line_a, line_b, residual);
}

// pairfit-trend's fit of one line: the parameters as (name, value, se, se_mc) in trend.csv's
// order, chi2, dof, chi2_red, rss, p_value, status, n, the slices left out and the warnings
// pairfit-trend prints. `status` (one per slice, or empty) and `line` choose the slices as
// pairfit-trend does, with `half_widths` (empty, or one array per line: its fitted half-widths),
// their standard errors `half_width_ses` (empty, or one array per line) and `point_spacing`.
py::dict fit_trend_values(const std::vector<double>& z, const std::vector<double>& y,
                          const std::vector<double>& se, const std::string& model_name,
                          std::optional<double> protein, unsigned monte_carlo,
                          std::optional<std::uint64_t> seed, bool weighted,
                          const std::vector<std::string>& status,
                          const std::vector<std::string>& lines, bool keep_bound,
                          const std::vector<std::vector<double>>& half_widths,
                          const std::vector<std::vector<double>>& half_width_ses,
                          std::optional<double> point_spacing) {
    TrendModel model;
    if (!parse_trend_model(model_name, model)) {
        throw py::value_error("unknown model '" + model_name +
                              "': decay, recovery, inversion, decay2 or binding");
    }
    if (!status.empty() && status.size() != z.size()) {
        throw py::value_error("status holds " + std::to_string(status.size()) + " values for " +
                              std::to_string(z.size()) + " slices: one per slice");
    }
    if (!half_widths.empty() && half_widths.size() != lines.size()) {
        throw py::value_error("half_width holds " + std::to_string(half_widths.size()) +
                              " arrays for " + std::to_string(lines.size()) +
                              " lines: one per line");
    }
    if (!half_width_ses.empty() && half_width_ses.size() != half_widths.size()) {
        throw py::value_error("half_width_se holds " + std::to_string(half_width_ses.size()) +
                              " arrays for " + std::to_string(half_widths.size()) +
                              " of half_width: one per line");
    }
    std::vector<FittedHalfWidths> fitted_widths;
    for (std::size_t l = 0; l < half_widths.size(); ++l) {
        if (half_widths[l].size() != z.size()) {
            throw py::value_error("half_width of line " + lines[l] + " holds " +
                                  std::to_string(half_widths[l].size()) + " values for " +
                                  std::to_string(z.size()) + " slices: one per slice");
        }
        // The names of report.csv for the two-line fit's A and B, of lines.csv for the others.
        const std::string& line = lines[l];
        std::vector<double> ses;
        if (!half_width_ses.empty()) {
            ses = half_width_ses[l];
            if (ses.size() != z.size()) {
                throw py::value_error("half_width_se of line " + lines[l] + " holds " +
                                      std::to_string(ses.size()) + " values for " +
                                      std::to_string(z.size()) + " slices: one per slice");
            }
        }
        fitted_widths.push_back(
            {line == "A" || line == "B" ? "LW" + line : line + ".half_width", half_widths[l], ses});
    }
    // As pairfit-trend: a relaxation series has one width per line, a titration need not.
    const TrendSelection selection = select_trend_slices(
        status, lines, keep_bound, fitted_widths,
        point_spacing ? *point_spacing : std::numeric_limits<double>::quiet_NaN(),
        model != TrendModel::binding);
    const std::string line_name = lines.empty() ? "y" : lines.back();
    TrendOptions options;
    options.weighted = weighted;
    options.monte_carlo = monte_carlo;
    if (seed) {
        options.seed = *seed;
    }
    if (protein) {
        options.protein = *protein;
    }
    TrendFit fitted;
    {
        py::gil_scoped_release unlocked;
        fitted = fit_trend(z, y, se, model, options, selection.left_out);
    }
    py::list parameters;
    for (const TrendParameter& parameter : fitted.parameters) {
        parameters.append(
            py::make_tuple(parameter.name, parameter.value, parameter.se, parameter.se_mc));
    }
    py::dict result;
    result["parameters"] = parameters;
    result["chi2"] = fitted.chi2;
    result["dof"] = fitted.dof;
    result["chi2_red"] = fitted.chi2_red;
    result["rss"] = fitted.rss;
    result["p_value"] = fitted.p_value;
    result["status"] = fitted.status;
    result["n"] = fitted.n;
    result["excluded"] = fitted.excluded;
    std::vector<std::string> warnings;
    for (const std::string& warning :
         {left_out_warning(line_name, selection), misfit_slices_warning(line_name, selection),
          trend_misfit_warning(line_name, fitted)}) {
        if (!warning.empty()) {
            warnings.push_back(warning);
        }
    }
    result["warnings"] = warnings;
    return result;
}

// The names of FailureKind, as pairfit.Error's kind.
const char* failure_kind_name(FailureKind kind) {
    switch (kind) {
    case FailureKind::bad_arguments:
        return "bad_arguments";
    case FailureKind::unreadable_input:
        return "unreadable_input";
    case FailureKind::malformed_input:
        return "malformed_input";
    case FailureKind::non_finite_fit:
        return "non_finite_fit";
    case FailureKind::unwritable_output:
        return "unwritable_output";
    case FailureKind::internal_error:
        break;
    }
    return "internal_error";
}

// A Failure as the package's exception: pairfit.Error with its kind, or the FileNotFoundError
// that is also one when the file is missing. The package defines them, so that its own checks
// raise the same types, and it is imported whenever this module is.
void raise_failure(const Failure& failure) {
    try {
        const py::object error = py::module_::import("pairfit").attr("_failure")(
            failure.what(), failure_kind_name(failure.kind));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    } catch (py::error_already_set& raised) {
        raised.restore();
    }
}

} // namespace

WindowedSeries windowed_series(const DoubleArray& ppm, const DoubleArray& intensity,
                               const py::object& slice_ppm) {
    if (ppm.ndim() != 1 || intensity.ndim() != 2 || intensity.shape(1) != ppm.shape(0)) {
        throw py::value_error("ppm must be 1-D and intensity 2-D with a column per ppm point");
    }
    const std::size_t slices = intensity.shape(0);
    const std::size_t points = intensity.shape(1);
    std::optional<DoubleArray> axes;
    if (!slice_ppm.is_none()) {
        axes = slice_ppm.cast<DoubleArray>();
        if (axes->ndim() != 2 || axes->shape(0) != intensity.shape(0) ||
            axes->shape(1) != intensity.shape(1)) {
            throw py::value_error("slice_ppm must have the shape of intensity");
        }
    }
    WindowedSeries series;
    series.ppm.resize(slices * points);
    series.intensity.assign(intensity.data(), intensity.data() + slices * points);
    series.slice_start.resize(slices + 1);
    for (std::size_t s = 0; s < slices; ++s) {
        std::copy_n(axes ? axes->data(s, 0) : ppm.data(), points, series.ppm.data() + s * points);
        series.slice_start[s + 1] = (s + 1) * points;
    }
    // The range a refused noise region is measured against.
    for (const double x : series.ppm) {
        series.ppm_low = std::min(series.ppm_low, x);
        series.ppm_high = std::max(series.ppm_high, x);
    }
    return series;
}

PYBIND11_MODULE(_core, module) {
    module.doc() = "The compiled part of pairfit: use the package pairfit, not this module.";
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) {
                std::rethrow_exception(raised);
            }
        } catch (const Failure& failure) {
            raise_failure(failure);
        }
    });
    module.attr("columns") = column_names();
    module.def("read_folder", &read_folder, py::arg("folder"), py::arg("noise"),
               "The series, peaks, z values and warnings of a folder's peaks.txt, 2d.txt and "
               "z.txt, read as the programs read them.");
    module.def("import_inputs", &import_inputs, py::arg("paths"), py::arg("window"),
               py::arg("x_list"), "Spectrometer inputs read as pairfit-import reads them.");
    py::class_<FittedSeries>(module, "FittedSeries", "A series as fit_series fitted it.")
        .def_property_readonly("scale_factor",
                               [](const FittedSeries& fitted) { return fitted.fit.scale_factor; })
        .def("columns", &fit_columns, py::arg("z"), "report.csv's columns by name.")
        .def("warnings", &fit_warnings, "The programs' warnings about the fit.")
        .def("curves", &fit_curves, "ppm, then the data, line A, line B and residual arrays.");
    module.def("monte_carlo_problem", &monte_carlo_problem, py::arg("sets"));
    module.def("names_x_list_file", &names_x_list_file, py::arg("x_list"));
    module.attr("max_monte_carlo") = max_monte_carlo_sets;
    module.def("trend", &fit_trend_values, py::arg("z"), py::arg("y"), py::arg("se"),
               py::arg("model"), py::arg("protein"), py::arg("mc"), py::arg("seed"),
               py::arg("weighted"), py::arg("status"), py::arg("lines"), py::arg("keep_bound"),
               py::arg("half_widths"), py::arg("half_width_ses"), py::arg("point_spacing"),
               "pairfit-trend's fit of one line.");
    module.def("mean_point_spacing", &mean_point_spacing, py::arg("first_ppm"), py::arg("last_ppm"),
               py::arg("points"), "The mean spacing of an axis' points.");
    module.def("fit", &fit_arrays, py::arg("ppm"), py::arg("intensity"), py::arg("slice_ppm"),
               py::arg("noise_intensity"),
               "fit_series on the rows of intensity; settings as keywords.");
    add_lines_functions(module);
}

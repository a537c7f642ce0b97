// pairfit._core's part for pairfit-lines: lines.txt, the fit of any number of lines and its
// columns and curves, through the functions pairfit-lines calls, so that every value is the
// one its files hold. The package's pairfit/_lines.py checks the arguments and documents them.
#include "lines_module.h"
#include "module_arrays.h"

#include "Failure.h"
#include "LineFit.h"
#include "LinesInput.h"
#include "LinesProgram.h"
#include "LinesResults.h"
#include "Program.h"
#include "ReadChecks.h"
#include "ReadNumbers.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// A row of lines.txt for Python: (name, ppm, half_width or None, shape or None, line).
py::list row_tuples(const std::vector<LineRow>& rows) {
    py::list list;
    for (const LineRow& row : rows) {
        list.append(py::make_tuple(
            row.name, row.position,
            row.half_width ? py::object(py::float_(*row.half_width)) : py::object(py::none()),
            row.shape ? py::object(py::str(line_shape_name(*row.shape))) : py::object(py::none()),
            row.line));
    }
    return list;
}

py::list read_lines(const std::string& path) {
    std::vector<LineRow> rows;
    {
        py::gil_scoped_release unlocked;
        rows = read_lines_file(path, path);
    }
    return row_tuples(rows);
}

py::list parse_lines(const std::string& text, const std::string& name) {
    return row_tuples(parse_lines_file(text, name));
}

// A fit held for Python: the series as fitted (for the curves) and what was said about it.
struct FittedLines {
    LineSeriesFit fit;
    WindowedSeries series;
    std::vector<std::string> warnings;
};

// The rows of `intensity` at `ppm` (or at the rows of `slice_ppm`), with each slice's noise
// points when a region is given.
WindowedSeries series_of(const DoubleArray& ppm, const DoubleArray& intensity,
                         const py::object& slice_ppm, const std::vector<DoubleArray>& noise) {
    WindowedSeries series = windowed_series(ppm, intensity, slice_ppm);
    const std::size_t slices = intensity.shape(0);
    if (!noise.empty()) {
        if (noise.size() != slices) {
            throw py::value_error("noise: one array of intensities per slice");
        }
        for (const DoubleArray& values : noise) {
            series.noise_intensity.insert(series.noise_intensity.end(), values.data(),
                                          values.data() + values.size());
            series.noise_start.push_back(series.noise_intensity.size());
        }
    }
    return series;
}

// options: shape, baseline, widths (names as the program's words), float, positive, and
// noise and window as (lower, upper) or None. rows: (name, ppm, half_width, shape, source).
FittedLines fit_lines(const DoubleArray& ppm, const DoubleArray& intensity,
                      const py::object& slice_ppm, const std::vector<DoubleArray>& noise,
                      const py::list& rows, const py::dict& options) {
    std::vector<LineRow> lines;
    std::vector<std::string> sources;
    for (const py::handle& item : rows) {
        const py::tuple row = item.cast<py::tuple>();
        LineRow line;
        line.name = row[0].cast<std::string>();
        line.position = row[1].cast<double>();
        if (!row[2].is_none()) {
            line.half_width = row[2].cast<double>();
        }
        if (!row[3].is_none()) {
            line.shape = parse_line_shape(row[3].cast<std::string>());
        }
        lines.push_back(line);
        sources.push_back(row[4].cast<std::string>());
    }
    LinesOptions chosen;
    chosen.shape = *parse_line_shape(options["shape"].cast<std::string>());
    const std::string baseline = options["baseline"].cast<std::string>();
    chosen.baseline = baseline == "constant" ? BaselineKind::constant
                      : baseline == "linear" ? BaselineKind::linear
                                             : BaselineKind::none;
    const std::string widths = options["widths"].cast<std::string>();
    chosen.widths = widths == "fixed" ? WidthMode::fixed
                    : widths == "sum" ? WidthMode::sum
                                      : WidthMode::free;
    chosen.float_ppm = options["float"].cast<double>();
    chosen.positive = options["positive"].cast<bool>();
    if (!options["noise"].is_none()) {
        const py::tuple region = options["noise"].cast<py::tuple>();
        chosen.noise = {true, region[0].cast<double>(), region[1].cast<double>()};
    }
    FittedLines fitted;
    fitted.series = series_of(ppm, intensity, slice_ppm, noise);
    double lower = 0.0, upper = 0.0;
    if (options["window"].is_none()) {
        std::tie(lower, upper) = series_window(fitted.series);
    } else {
        const py::tuple window = options["window"].cast<py::tuple>();
        lower = window[0].cast<double>();
        upper = window[1].cast<double>();
    }
    if (chosen.noise.given) {
        PeakSettings peaks; // the window's overlap with the region, as the program warns
        peaks.peak_A = peaks.peak_B = not_a_number;
        peaks.window_lower = lower;
        peaks.window_upper = upper;
        check_noise_region(fitted.series, chosen.noise, peaks, fitted.warnings);
    }
    LineFitSettings settings = line_fit_settings(lines, sources, chosen, lower, upper);
    settings.threads = thread_count();
    for (const std::string& warning : noise_line_warnings(settings, chosen.noise)) {
        fitted.warnings.push_back(warning);
    }
    check_parameter_count(fitted.series, settings);
    {
        py::gil_scoped_release unlocked;
        fitted.fit = fit_line_series(fitted.series, settings);
    }
    for (const std::string& warning : line_series_warnings(fitted.fit)) {
        fitted.warnings.push_back(warning);
    }
    return fitted;
}

// A cell of a number column as Python holds it: NaN where the file's cell is empty.
double number_cell(const std::optional<double>& value) {
    return value && std::isfinite(*value) ? *value : not_a_number;
}

// The columns of `columns` over `rows` rows of `lines` lines each (1 for slices.csv): numbers
// as float arrays, whole numbers as int arrays, text as nested lists, each [row][line].
py::dict table(const FittedLines& fitted, const std::vector<LinesColumn>& columns,
               std::size_t lines, const std::vector<double>& z) {
    const std::size_t slices = fitted.fit.slices.size();
    py::dict result;
    for (const LinesColumn& column : columns) {
        if (column.kind == LinesCellKind::text) {
            py::list table_rows;
            for (std::size_t s = 0; s < slices; ++s) {
                py::list row;
                for (std::size_t l = 0; l < lines; ++l) {
                    row.append(column.text(fitted.fit, s, l));
                }
                table_rows.append(row);
            }
            result[column.name] = table_rows;
        } else if (column.kind == LinesCellKind::integer) {
            py::array_t<long long> values({slices, lines});
            for (std::size_t s = 0; s < slices; ++s) {
                for (std::size_t l = 0; l < lines; ++l) {
                    values.mutable_at(s, l) =
                        static_cast<long long>(*column.number(fitted.fit, s, l, z));
                }
            }
            result[column.name] = values;
        } else {
            py::array_t<double> values({slices, lines});
            for (std::size_t s = 0; s < slices; ++s) {
                for (std::size_t l = 0; l < lines; ++l) {
                    values.mutable_at(s, l) = number_cell(column.number(fitted.fit, s, l, z));
                }
            }
            result[column.name] = values;
        }
    }
    return result;
}

// The curve files' names and each as an array [slice][point] (the transpose of the file),
// with their ppm column.
py::tuple curves(const FittedLines& fitted) {
    const WindowedSeries& series = fitted.series;
    const std::size_t slices = series.slice_count();
    const std::size_t points = slices == 0 ? 0 : series.points_in(0);
    const std::vector<std::string> names = curve_file_names(fitted.fit.settings);
    py::array_t<double> ppm(points);
    std::copy_n(series.ppm.data(), points, ppm.mutable_data());
    py::list arrays;
    for (std::size_t f = 0; f < names.size(); ++f) {
        py::array_t<double> values({slices, points});
        for (std::size_t s = 0; s < slices; ++s) {
            for (std::size_t p = 0; p < points; ++p) {
                values.mutable_at(s, p) = curve_value(fitted.fit, series, f, s, p);
            }
        }
        arrays.append(values);
    }
    return py::make_tuple(ppm, names, arrays);
}

} // namespace

void add_lines_functions(py::module_& module) {
    module.def("read_lines", &read_lines, py::arg("path"),
               "lines.txt read as pairfit-lines reads it: (name, ppm, half_width, shape, line).");
    module.def("parse_lines", &parse_lines, py::arg("text"), py::arg("name"),
               "The text of a lines file parsed as pairfit-lines parses lines.txt.");
    module.attr("lines_columns") = [] {
        std::vector<std::string> names;
        for (const LinesColumn& column : lines_csv_columns()) {
            names.push_back(column.name);
        }
        return names;
    }();
    module.attr("slices_columns") = [] {
        std::vector<std::string> names;
        for (const LinesColumn& column : slices_csv_columns()) {
            names.push_back(column.name);
        }
        return names;
    }();
    py::class_<FittedLines>(module, "FittedLines", "A series as fit_line_series fitted it.")
        .def_property_readonly("names",
                               [](const FittedLines& fitted) {
                                   std::vector<std::string> names;
                                   for (const LineDefinition& line : fitted.fit.settings.lines) {
                                       names.push_back(line.name);
                                   }
                                   return names;
                               })
        .def_property_readonly("warnings",
                               [](const FittedLines& fitted) { return fitted.warnings; })
        .def(
            "lines",
            [](const FittedLines& fitted, const std::vector<double>& z) {
                return table(fitted, lines_csv_columns(), fitted.fit.settings.lines.size(), z);
            },
            py::arg("z"), "lines.csv's columns, each [slice][line].")
        .def(
            "slices",
            [](const FittedLines& fitted, const std::vector<double>& z) {
                return table(fitted, slices_csv_columns(), 1, z);
            },
            py::arg("z"), "slices.csv's columns, each [slice][1].")
        .def("curves", &curves, "ppm, the curve files' names and their arrays [slice][point].");
    module.def("fit_lines", &fit_lines, py::arg("ppm"), py::arg("intensity"), py::arg("slice_ppm"),
               py::arg("noise_intensity"), py::arg("rows"), py::arg("options"),
               "fit_line_series on the rows of intensity.");
}

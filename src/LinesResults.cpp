// lines.csv, slices.csv and the curve files of pairfit-lines.
#include "LinesResults.h"

#include "ReadNumbers.h"

#include <cmath>

const char* const lines_csv_header =
    "slice,z,line,shape,position,position_se,half_width,half_width_se,eta,eta_se,height,"
    "height_se,area,area_se,status";
const char* const slices_csv_header = "slice,z,points,status,iterations,rss,sigma,noise,chi2_red,"
                                      "baseline_0,baseline_0_se,baseline_1,baseline_1_se";

namespace {

using Number = std::optional<double>;
using Fit = LineSeriesFit;
using Z = std::vector<double>;

const FittedLine& fitted(const Fit& fit, std::size_t slice, std::size_t line) {
    return fit.slices[slice].lines[line];
}

Number se_of(const std::optional<Estimate>& estimate) {
    return estimate ? estimate->se : std::nullopt;
}

Number value_of(const std::optional<Estimate>& estimate) {
    return estimate ? Number(estimate->value) : std::nullopt;
}

Number slice_number(const Fit&, std::size_t slice, std::size_t, const Z&) {
    return static_cast<double>(slice);
}

Number z_value(const Fit&, std::size_t slice, std::size_t, const Z& z) {
    return slice < z.size() ? Number(z[slice]) : std::nullopt;
}

bool has_eta(const Fit& fit, std::size_t line) {
    return fit.settings.lines[line].shape == LineShape::pseudo_voigt;
}

// A status holds commas once two values are at a bound.
std::string status_text(const Fit& fit, std::size_t slice, std::size_t) {
    return line_slice_status(fit.slices[slice]);
}

// A fitted line's value and its se, by the member of FittedLine that holds them.
template <Estimate FittedLine::*member>
Number estimate_value(const Fit& fit, std::size_t slice, std::size_t line, const Z&) {
    return (fitted(fit, slice, line).*member).value;
}

template <Estimate FittedLine::*member>
Number estimate_se(const Fit& fit, std::size_t slice, std::size_t line, const Z&) {
    return (fitted(fit, slice, line).*member).se;
}

} // namespace

const std::vector<LinesColumn>& lines_csv_columns() {
    static const std::vector<LinesColumn> columns = {
        {"slice", LinesCellKind::integer, slice_number, nullptr},
        {"z", LinesCellKind::number, z_value, nullptr},
        {"line", LinesCellKind::text, nullptr,
         [](const Fit& fit, std::size_t, std::size_t l) { return fit.settings.lines[l].name; }},
        {"shape", LinesCellKind::text, nullptr,
         [](const Fit& fit, std::size_t, std::size_t l) {
             return std::string(line_shape_name(fit.settings.lines[l].shape));
         }},
        {"position", LinesCellKind::number, estimate_value<&FittedLine::position>, nullptr},
        {"position_se", LinesCellKind::number, estimate_se<&FittedLine::position>, nullptr},
        {"half_width", LinesCellKind::number, estimate_value<&FittedLine::half_width>, nullptr},
        {"half_width_se", LinesCellKind::number, estimate_se<&FittedLine::half_width>, nullptr},
        {"eta", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t l, const Z&) -> Number {
             return has_eta(fit, l) ? Number(fitted(fit, s, l).eta.value) : std::nullopt;
         },
         nullptr},
        {"eta_se", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t l, const Z&) -> Number {
             return has_eta(fit, l) ? fitted(fit, s, l).eta.se : std::nullopt;
         },
         nullptr},
        {"height", LinesCellKind::number, estimate_value<&FittedLine::height>, nullptr},
        {"height_se", LinesCellKind::number, estimate_se<&FittedLine::height>, nullptr},
        {"area", LinesCellKind::number, estimate_value<&FittedLine::area>, nullptr},
        {"area_se", LinesCellKind::number, estimate_se<&FittedLine::area>, nullptr},
        {"status", LinesCellKind::text, nullptr, status_text},
    };
    return columns;
}

const std::vector<LinesColumn>& slices_csv_columns() {
    static const std::vector<LinesColumn> columns = {
        {"slice", LinesCellKind::integer, slice_number, nullptr},
        {"z", LinesCellKind::number, z_value, nullptr},
        {"points", LinesCellKind::integer,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) -> Number {
             return static_cast<double>(fit.slices[s].points);
         },
         nullptr},
        {"status", LinesCellKind::text, nullptr, status_text},
        {"iterations", LinesCellKind::integer,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) -> Number {
             return static_cast<double>(fit.slices[s].iterations);
         },
         nullptr},
        {"rss", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) -> Number {
             return fit.slices[s].rss;
         },
         nullptr},
        {"sigma", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) { return fit.slices[s].sigma; },
         nullptr},
        {"noise", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) { return fit.slices[s].noise; },
         nullptr},
        {"chi2_red", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) {
             return fit.slices[s].chi2_red;
         },
         nullptr},
        {"baseline_0", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) {
             return value_of(fit.slices[s].baseline_0);
         },
         nullptr},
        {"baseline_0_se", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) {
             return se_of(fit.slices[s].baseline_0);
         },
         nullptr},
        {"baseline_1", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) {
             return value_of(fit.slices[s].baseline_1);
         },
         nullptr},
        {"baseline_1_se", LinesCellKind::number,
         [](const Fit& fit, std::size_t s, std::size_t, const Z&) {
             return se_of(fit.slices[s].baseline_1);
         },
         nullptr},
    };
    return columns;
}

namespace {

// One row of a table of `columns`; text holding a comma (a status with two values at a bound)
// is quoted.
void append_row(const std::vector<LinesColumn>& columns, const Fit& fit, std::size_t slice,
                std::size_t line, const Z& z, std::string& text) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const LinesColumn& column = columns[c];
        if (c > 0) {
            text += ',';
        }
        if (column.kind == LinesCellKind::text) {
            const std::string cell = column.text(fit, slice, line);
            text += cell.find(',') == std::string::npos ? cell : '"' + cell + '"';
            continue;
        }
        const Number value = column.number(fit, slice, line, z);
        if (column.kind == LinesCellKind::integer) {
            text += std::to_string(static_cast<unsigned long long>(*value));
        } else if (value && std::isfinite(*value)) {
            text += shortest_text(*value);
        }
    }
    text += '\n';
}

} // namespace

std::string format_lines_csv(const LineSeriesFit& fit, const std::vector<double>& z) {
    std::string text = std::string(lines_csv_header) + "\n";
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        for (std::size_t i = 0; i < fit.slices[s].lines.size(); ++i) {
            append_row(lines_csv_columns(), fit, s, i, z, text);
        }
    }
    return text;
}

std::string format_slices_csv(const LineSeriesFit& fit, const std::vector<double>& z) {
    std::string text = std::string(slices_csv_header) + "\n";
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        append_row(slices_csv_columns(), fit, s, 0, z, text);
    }
    return text;
}

std::vector<std::string> curve_file_names(const LineFitSettings& settings) {
    std::vector<std::string> names{"lines_dat.txt"};
    for (std::size_t i = 0; i < settings.lines.size(); ++i) {
        names.push_back("lines_sim_" + std::to_string(i + 1) + ".txt");
    }
    if (settings.baseline != BaselineKind::none) {
        names.push_back("lines_baseline.txt");
    }
    names.push_back("lines_res.txt");
    return names;
}

namespace {

enum class CurveKind { data, line, baseline, residual };

CurveKind curve_kind(const LineFitSettings& settings, std::size_t index) {
    const std::size_t lines = settings.lines.size();
    const bool baseline = settings.baseline != BaselineKind::none;
    return index == 0                       ? CurveKind::data
           : index <= lines                 ? CurveKind::line
           : baseline && index == lines + 1 ? CurveKind::baseline
                                            : CurveKind::residual;
}

} // namespace

std::string curve_file_head(const LineSeriesFit& fit, std::size_t index) {
    const LineFitSettings& settings = fit.settings;
    std::string text = "# ";
    switch (curve_kind(settings, index)) {
    case CurveKind::data:
        text += "the data";
        break;
    case CurveKind::line:
        text += "line " + settings.lines[index - 1].name + " (" +
                line_shape_name(settings.lines[index - 1].shape) + ")";
        break;
    case CurveKind::baseline:
        text += std::string("the baseline (") + baseline_kind_name(settings.baseline) + ")";
        break;
    case CurveKind::residual:
        text += "the residual: data minus every line and the baseline";
        break;
    }
    return text + ": ppm, then one column per slice\n";
}

double curve_value(const LineSeriesFit& fit, const WindowedSeries& series, std::size_t index,
                   std::size_t slice, std::size_t point) {
    const LineFitSettings& settings = fit.settings;
    const CurveKind kind = curve_kind(settings, index);
    const std::size_t at = series.slice_start[slice] + point;
    const double x = series.ppm[at];
    const LineSliceFit& fitted = fit.slices[slice];
    double value = series.intensity[at];
    if (kind == CurveKind::line) {
        value = line_value(fitted.lines[index - 1], settings.lines[index - 1].shape, x);
    } else if (kind == CurveKind::baseline) {
        value = baseline_value(fitted, settings, x);
    } else if (kind == CurveKind::residual) {
        double model = baseline_value(fitted, settings, x);
        for (std::size_t i = 0; i < settings.lines.size(); ++i) {
            model += line_value(fitted.lines[i], settings.lines[i].shape, x);
        }
        value -= model;
    }
    return value;
}

void append_curve_row(const LineSeriesFit& fit, const WindowedSeries& series, std::size_t index,
                      std::size_t point, std::string& text) {
    text += shortest_text(series.ppm[point]);
    for (std::size_t s = 0; s < series.slice_count(); ++s) {
        text += ' ';
        text += shortest_text(curve_value(fit, series, index, s, point));
    }
    text += '\n';
}

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

void cell(std::string& row, double value) {
    row += ',';
    if (std::isfinite(value)) {
        row += shortest_text(value);
    }
}

void cell(std::string& row, const std::optional<double>& value) {
    if (value) {
        cell(row, *value);
    } else {
        row += ',';
    }
}

void cells(std::string& row, const Estimate& estimate) {
    cell(row, estimate.value);
    cell(row, estimate.se);
}

void cells(std::string& row, const std::optional<Estimate>& estimate) {
    if (estimate) {
        cells(row, *estimate);
    } else {
        row += ",,";
    }
}

// A status holds commas once two values are at a bound.
std::string status_cell(const std::string& status) {
    return status.find(',') == std::string::npos ? status : '"' + status + '"';
}

std::string slice_and_z(std::size_t slice, const std::vector<double>& z) {
    std::string row = std::to_string(slice);
    if (slice < z.size()) {
        cell(row, z[slice]);
    } else {
        row += ',';
    }
    return row;
}

} // namespace

std::string format_lines_csv(const LineSeriesFit& fit, const std::vector<double>& z) {
    std::string text = std::string(lines_csv_header) + "\n";
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const LineSliceFit& slice = fit.slices[s];
        const std::string status = status_cell(line_slice_status(slice));
        for (std::size_t i = 0; i < slice.lines.size(); ++i) {
            const LineDefinition& definition = fit.settings.lines[i];
            const FittedLine& line = slice.lines[i];
            std::string row = slice_and_z(s, z);
            row += ',' + definition.name + ',' + line_shape_name(definition.shape);
            cells(row, line.position);
            cells(row, line.half_width);
            if (definition.shape == LineShape::pseudo_voigt) {
                cells(row, line.eta);
            } else {
                row += ",,";
            }
            cells(row, line.height);
            cells(row, line.area);
            text += row + ',' + status + '\n';
        }
    }
    return text;
}

std::string format_slices_csv(const LineSeriesFit& fit, const std::vector<double>& z) {
    std::string text = std::string(slices_csv_header) + "\n";
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const LineSliceFit& slice = fit.slices[s];
        std::string row = slice_and_z(s, z);
        row += ',' + std::to_string(slice.points) + ',' + status_cell(line_slice_status(slice)) +
               ',' + std::to_string(slice.iterations);
        cell(row, slice.rss);
        cell(row, slice.sigma);
        cell(row, slice.noise);
        cell(row, slice.chi2_red);
        cells(row, slice.baseline_0);
        cells(row, slice.baseline_1);
        text += row + '\n';
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

void append_curve_row(const LineSeriesFit& fit, const WindowedSeries& series, std::size_t index,
                      std::size_t point, std::string& text) {
    const LineFitSettings& settings = fit.settings;
    const CurveKind kind = curve_kind(settings, index);
    text += shortest_text(series.ppm[point]);
    for (std::size_t s = 0; s < series.slice_count(); ++s) {
        const std::size_t at = series.slice_start[s] + point;
        const double x = series.ppm[at];
        const LineSliceFit& slice = fit.slices[s];
        double value = series.intensity[at];
        if (kind == CurveKind::line) {
            value = line_value(slice.lines[index - 1], settings.lines[index - 1].shape, x);
        } else if (kind == CurveKind::baseline) {
            value = baseline_value(slice, settings, x);
        } else if (kind == CurveKind::residual) {
            double model = baseline_value(slice, settings, x);
            for (std::size_t i = 0; i < settings.lines.size(); ++i) {
                model += line_value(slice.lines[i], settings.lines[i].shape, x);
            }
            value -= model;
        }
        text += ' ';
        text += shortest_text(value);
    }
    text += '\n';
}

// report.csv: every value of a fitted series at full precision, with its standard error.
#include "FitSeries.h"

#include "ReadNumbers.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>

const char* const report_header =
    "slice,z,points,status,iterations,MA,MA_se,MB,MB_se,LWA,LWA_se,LWB,LWB_se,height_A,"
    "height_A_se,height_B,height_B_se,area_A,area_A_se,area_B,area_B_se,fraction_A,"
    "fraction_A_se,rss,sigma,scale_factor,noise,chi2_red";

namespace {

void append_number(std::string& line, double value) {
    if (!std::isfinite(value)) {
        return; // an empty cell: the file never holds nan or inf
    }
    line += shortest_text(value);
}

void append_cell(std::string& line, double value) {
    line += ',';
    append_number(line, value);
}

void append_cell(std::string& line, const std::optional<double>& value) {
    line += ',';
    if (value) {
        append_number(line, *value);
    }
}

void append_cell(std::string& line, const Estimate& estimate) {
    append_cell(line, estimate.value);
    append_cell(line, estimate.se);
}

template <typename Integer> void append_integer(std::string& line, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end);
}

} // namespace

std::string format_report(const SeriesFit& fit, const std::vector<double>& z) {
    std::string text = report_header;
    text += '\n';
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const SliceFit& row = fit.slices[s];
        const SliceReport& stats = *row.report;
        append_integer(text, s);
        text += ',';
        if (s < z.size()) {
            append_number(text, z[s]);
        }
        text += ',';
        append_integer(text, stats.points);
        text += ',';
        // Quoted, as CSV quotes a cell holding a comma: "settled;bound:MA,MB".
        const std::string status = slice_status(row);
        text += status.find(',') == std::string::npos ? status : '"' + status + '"';
        text += ',';
        append_integer(text, row.iterations);
        for (const Estimate* estimate :
             {&stats.MA, &stats.MB, &stats.LWA, &stats.LWB, &stats.height_A, &stats.height_B,
              &stats.area_A, &stats.area_B, &stats.fraction_A}) {
            append_cell(text, *estimate);
        }
        append_cell(text, stats.rss);
        append_cell(text, stats.sigma);
        append_cell(text, fit.scale_factor);
        append_cell(text, stats.noise);
        append_cell(text, stats.chi2_red);
        text += '\n';
    }
    return text;
}

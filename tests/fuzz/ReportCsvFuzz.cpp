// report.csv on any bytes: parse_report_csv either refuses with a message naming the file and
// a line or gives rows as wide as the header, which written back as CSV read back the same;
// every column is numbers or a refusal naming it; the status and LWA columns choose the slices
// a trend leaves out; a fit of z against area_A is a fit or a Failure, never a crash or another
// exception.
#include "Failure.h"
#include "FuzzSupport.h"
#include "ReadZValues.h"
#include "ReportCsv.h"
#include "Trend.h"

#include <cmath>
#include <algorithm>
#include <string>

namespace {

std::string csv_cell(const std::string& cell) {
    // A cell that ends in a carriage return would lose it to the CRLF line end unquoted, and a
    // row of one empty cell would be a blank line, which the reader skips.
    if (!cell.empty() && cell.find_first_of(",\"\r") == std::string::npos) {
        return cell;
    }
    std::string out = "\"";
    for (const char c : cell) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + '"';
}

std::string csv_line(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        line += (c == 0 ? "" : ",") + csv_cell(cells[c]);
    }
    return line + '\n';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string input = "report.csv \"" + fuzzing::shown(bytes) + "\"";
    ReportTable table;
    try {
        table = parse_report_csv(bytes, "report.csv");
    } catch (const Failure& failure) {
        FUZZ_CHECK(failure.kind == FailureKind::malformed_input, input);
        FUZZ_CHECK(std::string(failure.what()).rfind("report.csv: ", 0) == 0, input);
        return 0;
    }
    FUZZ_CHECK(table.rows.size() == table.lines.size(), input);
    std::string again = csv_line(table.names);
    for (const auto& row : table.rows) {
        FUZZ_CHECK(row.size() == table.names.size(), input);
        again += csv_line(row);
    }
    const ReportTable reread = parse_report_csv(again, "again");
    FUZZ_CHECK(reread.names == table.names && reread.rows == table.rows, input);

    for (std::size_t c = 0; c < table.names.size(); ++c) {
        const std::string& name = table.names[c];
        try {
            const std::vector<double> values = report_column(table, name, "report.csv");
            FUZZ_CHECK(values.size() == table.rows.size(), input);
            for (std::size_t r = 0; r < values.size(); ++r) {
                // An empty cell is NaN, any other a finite number.
                FUZZ_CHECK(std::isfinite(values[r]) != table.rows[r][c].empty(), input);
            }
        } catch (const Failure& failure) {
            // The column is named, quoted with its bytes escaped.
            FUZZ_CHECK(std::string(failure.what()).find("column \"") != std::string::npos,
                       input + ": " + failure.what());
        }
    }
    const std::string unit = z_unit(bytes);
    for (const char c : unit) {
        FUZZ_CHECK(c > 0x20 && c < 0x7f, input);
    }

    // Any status column, and an LWA column when it holds numbers: a slice is left out exactly
    // where the status names a value of the line at a bound or LWA lies below half the point
    // spacing (0.01 ppm here), its reason naming which; the others may be flagged misfit.
    std::vector<std::size_t> left_out;
    if (has_report_column(table, "status")) {
        const std::vector<std::string> status = report_text_column(table, "status", "report.csv");
        FittedHalfWidths widths{"LWA", {}, {}};
        try {
            widths.ppm = report_column(table, "LWA", "report.csv");
            widths.se = report_column(table, "LWA_se", "report.csv");
        } catch (const Failure&) {
        }
        const double spacing = 0.01;
        const auto narrow = [&](std::size_t s) {
            return s < widths.ppm.size() && widths.ppm[s] < spacing / 2;
        };
        const TrendSelection selection =
            select_trend_slices(status, {"A"}, false, {widths}, spacing);
        FUZZ_CHECK(selection.left_out.size() == selection.reasons.size(), input);
        std::size_t k = 0;
        for (std::size_t s = 0; s < status.size(); ++s) {
            const bool at_bound = !line_values_at_bound(status[s], "A").empty();
            const bool out = k < selection.left_out.size() && selection.left_out[k] == s;
            FUZZ_CHECK(out == (at_bound || narrow(s)), input + ": slice " + std::to_string(s));
            if (out) {
                const std::string& reason = selection.reasons[k++];
                FUZZ_CHECK(at_bound == (reason.find(" at a bound") != std::string::npos), input);
                FUZZ_CHECK(reason.find("narrower than half the point spacing") !=
                                   std::string::npos ||
                               !narrow(s) || reason.find("LWA at a bound") != std::string::npos,
                           input + ": " + reason);
            }
        }
        FUZZ_CHECK(k == selection.left_out.size(), input);
        for (const std::size_t s : selection.misfit) {
            FUZZ_CHECK(status_is_misfit(status[s]) &&
                           line_values_at_bound(status[s], "A").empty() && !narrow(s),
                       input);
        }
        FUZZ_CHECK(select_trend_slices(status, {"A"}, true, {widths}, spacing).left_out.empty(),
                   input);
        // The width check leaves out more, never fewer, and keeps its reasons in step.
        const TrendSelection one_width =
            select_trend_slices(status, {"A"}, false, {widths}, spacing, true);
        FUZZ_CHECK(one_width.left_out.size() == one_width.reasons.size() &&
                       std::includes(one_width.left_out.begin(), one_width.left_out.end(),
                                     selection.left_out.begin(), selection.left_out.end()),
                   input);
        FUZZ_CHECK(
            select_trend_slices(status, {"A"}, true, {widths}, spacing, true).left_out.empty(),
            input);
        left_out = selection.left_out;
    }

    if (table.rows.size() <= 64) {
        try {
            const std::vector<double> z = report_column(table, "z", "report.csv");
            const std::vector<double> y = report_column(table, "area_A", "report.csv");
            const std::vector<double> se = report_column(table, "area_A_se", "report.csv");
            TrendOptions options;
            options.monte_carlo = 3;
            const TrendFit fit = fit_trend(z, y, se, TrendModel::inversion, options, left_out);
            FUZZ_CHECK(fit.converged && fit.dof >= 1 && std::isfinite(fit.chi2), input);
            FUZZ_CHECK(fit.excluded == left_out && (fit.status == "ok" || fit.status == "misfit"),
                       input);
        } catch (const Failure&) {
        }
    }
    return 0;
}

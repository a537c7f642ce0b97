// report.csv: every value of a fitted series at full precision, with its standard error.
#include "FitSeries.h"

#include "ReadNumbers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace {

constexpr double empty_cell = std::numeric_limits<double>::quiet_NaN();

const SliceReport& report_of(const SeriesFit& fit, std::size_t slice) {
    return *fit.slices[slice].report;
}

double cell(const std::optional<double>& value) {
    return value ? *value : empty_cell;
}

// The columns of one Estimate of SliceReport: NAME and NAME_se.
void add_estimate(std::vector<ReportColumn>& columns, const std::string& name,
                  Estimate SliceReport::*member) {
    columns.push_back({name, ReportColumnKind::number,
                       [member](const SeriesFit& fit, std::size_t s, const std::vector<double>&) {
                           return (report_of(fit, s).*member).value;
                       }});
    columns.push_back({name + "_se", ReportColumnKind::number,
                       [member](const SeriesFit& fit, std::size_t s, const std::vector<double>&) {
                           return cell((report_of(fit, s).*member).se);
                       }});
}

std::vector<ReportColumn> make_report_columns() {
    using Kind = ReportColumnKind;
    using Z = const std::vector<double>&;
    std::vector<ReportColumn> columns = {
        {"slice", Kind::integer,
         [](const SeriesFit&, std::size_t s, Z) { return static_cast<double>(s); }},
        {"z", Kind::number,
         [](const SeriesFit&, std::size_t s, Z z) { return s < z.size() ? z[s] : empty_cell; }},
        {"points", Kind::integer,
         [](const SeriesFit& fit, std::size_t s, Z) {
             return static_cast<double>(report_of(fit, s).points);
         }},
        {"status", Kind::text, nullptr},
        {"iterations", Kind::integer,
         [](const SeriesFit& fit, std::size_t s, Z) {
             return static_cast<double>(fit.slices[s].iterations);
         }},
    };
    const std::pair<const char*, Estimate SliceReport::*> estimates[] = {
        {"MA", &SliceReport::MA},
        {"MB", &SliceReport::MB},
        {"LWA", &SliceReport::LWA},
        {"LWB", &SliceReport::LWB},
        {"height_A", &SliceReport::height_A},
        {"height_B", &SliceReport::height_B},
        {"area_A", &SliceReport::area_A},
        {"area_B", &SliceReport::area_B},
        {"fraction_A", &SliceReport::fraction_A},
    };
    for (const auto& [name, member] : estimates) {
        add_estimate(columns, name, member);
    }
    const std::vector<ReportColumn> rest = {
        {"rss", Kind::number,
         [](const SeriesFit& fit, std::size_t s, Z) { return report_of(fit, s).rss; }},
        {"sigma", Kind::number,
         [](const SeriesFit& fit, std::size_t s, Z) { return cell(report_of(fit, s).sigma); }},
        {"scale_factor", Kind::number,
         [](const SeriesFit& fit, std::size_t, Z) { return fit.scale_factor; }},
        {"noise", Kind::number,
         [](const SeriesFit& fit, std::size_t s, Z) { return cell(report_of(fit, s).noise); }},
        {"chi2_red", Kind::number,
         [](const SeriesFit& fit, std::size_t s, Z) { return cell(report_of(fit, s).chi2_red); }},
    };
    columns.insert(columns.end(), rest.begin(), rest.end());
    return columns;
}

void append_integer(std::string& line, double value) {
    char digits[24];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, static_cast<unsigned long long>(value)).ptr;
    line.append(digits, end);
}

} // namespace

const std::vector<ReportColumn>& report_columns() {
    static const std::vector<ReportColumn> columns = make_report_columns();
    return columns;
}

std::string report_header() {
    std::string header;
    for (const ReportColumn& column : report_columns()) {
        header += (header.empty() ? "" : ",") + column.name;
    }
    return header;
}

std::string format_report(const SeriesFit& fit, const std::vector<double>& z) {
    const std::vector<ReportColumn>& columns = report_columns();
    std::string text = report_header();
    text += '\n';
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c > 0) {
                text += ',';
            }
            const ReportColumn& column = columns[c];
            if (column.kind == ReportColumnKind::text) {
                // Quoted, as CSV quotes a cell holding a comma: "settled;bound:MA,MB".
                const std::string status = slice_status(fit.slices[s]);
                text += status.find(',') == std::string::npos ? status : '"' + status + '"';
            } else if (column.kind == ReportColumnKind::integer) {
                append_integer(text, column.value(fit, s, z));
            } else {
                append_cell_number(text, column.value(fit, s, z));
            }
        }
        text += '\n';
    }
    return text;
}

// pairfit-trend: one column of report.csv against z, fitted with a relaxation or binding
// model; writes trend.csv and draws trend.png and trend.pdf.
#include "ExitStatus.h"
#include "Failure.h"
#include "Program.h"
#include "Read.h"
#include "ReadNumbers.h"
#include "ReadSeries.h"
#include "ReadZValues.h"
#include "ReportCsv.h"
#include "ResultFile.h"
#include "Trend.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const char* const usage =
    "usage: pairfit-trend MODEL [--column area|height] [--protein P] [--mc N] [--seed S]\n"
    "                     [--unweighted] [--keep-bound] [--compare MODEL2] [--line NAME]...\n"
    "                     [--bound NAME --free NAME] [--log-z] [--no-plot] [FOLDER]\n"
    "       pairfit-trend --help\n"
    "\n"
    "Fits a column of FOLDER/report.csv (pairfit4; default FOLDER: the working directory)\n"
    "against z, for line A and line B separately, or of FOLDER/lines.csv (pairfit-lines) for\n"
    "each of its lines, and writes trend.csv, trend.png and trend.pdf there. A slice whose\n"
    "value for a line is at a bound (its status), or whose fitted half-width for the line\n"
    "is narrower than half the point spacing of FOLDER/2d.txt, is left out of that line's\n"
    "fit.\n"
    "\n"
    "MODEL:\n"
    "  decay      y = I0 exp(-z/T)                     I0, T, R = 1/T\n"
    "  recovery   y = Iinf (1 - exp(-z/T1))            Iinf, T1, R1 = 1/T1\n"
    "  inversion  y = Iinf - (Iinf - I0) exp(-z/T1)    Iinf, I0, T1, R1\n"
    "  decay2     y = A1 exp(-z/Ta) + A2 exp(-z/Tb)    A1, Ta, Ra, A2, Tb, Rb (Ta < Tb)\n"
    "  binding    1 - fraction_A = (P + z + Kd - sqrt((P + z + Kd)^2 - 4 P z)) / (2 P)\n"
    "             against the total ligand z, line B only: Kd (needs --protein); with\n"
    "             lines.csv the fraction area(--bound) / (area(--bound) + area(--free))\n"
    "\n"
    "  --column C       area (the default) or height\n"
    "  --protein P      the total protein concentration of binding, in the unit of z\n"
    "  --mc N           Monte Carlo sets for se_mc (default 500; 0: none)\n"
    "  --seed S         the seed of the Monte Carlo noise (a whole number)\n"
    "  --unweighted     equal weights; errors scaled by the residual scatter\n"
    "  --keep-bound     keep the slices whose value is at a bound, or whose half-width is\n"
    "                   narrower than half the point spacing or contradicted by the others'\n"
    "  --compare M2     fit MODEL2 too and test it against MODEL (trend_compare.csv)\n"
    "  --line NAME      fit this line only (repeatable); lines.csv's names, or A and B\n"
    "  --bound NAME, --free NAME   the lines of binding in lines.csv\n"
    "  --log-z          draw z on a log scale\n"
    "  --no-plot        write trend.csv (and trend_compare.csv) only, no pictures\n"
    "  --help           print this text and exit\n";

struct Options {
    bool help = false;
    TrendModel model = TrendModel::decay;
    std::string column = "area";
    bool column_given = false;
    TrendOptions fit;
    bool keep_bound = false;
    bool compare = false;
    TrendModel model2 = TrendModel::decay2;
    std::vector<std::string> lines; // --line, in the order given
    std::string bound_line, free_line;
    bool log_z = false;
    bool plot = true;
    std::string folder = ".";
};

TrendModel model_named(const std::string& name) {
    TrendModel model = TrendModel::decay;
    if (!parse_trend_model(name, model)) {
        throw Failure(FailureKind::bad_arguments,
                      "unknown model '" + name +
                          "': decay, recovery, inversion, decay2 or binding");
    }
    return model;
}

Options parse_options(const std::vector<std::string>& args) {
    Options options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const OptionWord word = split_option_word(args[i]);
        const std::string& arg = word.name;
        const std::string& value = word.value;
        const bool has_value = word.has_value;
        const auto take_value = [&](const char* what) {
            return has_value ? value : option_value(args, i, arg + " needs " + what);
        };
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--column") {
            options.column = take_value("area or height");
            options.column_given = true;
            if (options.column != "area" && options.column != "height") {
                throw Failure(FailureKind::bad_arguments,
                              "--column takes area or height, not '" + options.column + "'");
            }
        } else if (arg == "--protein") {
            const std::string text = take_value("a concentration");
            if (!parse_number(text, options.fit.protein) || !(options.fit.protein > 0.0)) {
                throw Failure(FailureKind::bad_arguments,
                              "--protein needs a number > 0, not '" + text + "'");
            }
        } else if (arg == "--mc") {
            const std::string text = take_value("a count");
            unsigned long long n = 0;
            if (!parse_whole_number(text, max_monte_carlo_sets, n)) {
                throw Failure(FailureKind::bad_arguments, "--mc needs a whole number from 0 to " +
                                                              std::to_string(max_monte_carlo_sets) +
                                                              ", not '" + text + "'");
            }
            if (const std::string problem = monte_carlo_problem(n); !problem.empty()) {
                throw Failure(FailureKind::bad_arguments, "--mc " + text + ": " + problem);
            }
            options.fit.monte_carlo = static_cast<unsigned>(n);
        } else if (arg == "--seed") {
            const std::string text = take_value("a whole number");
            unsigned long long seed = 0;
            if (!parse_whole_number(text, std::numeric_limits<std::uint64_t>::max(), seed)) {
                throw Failure(FailureKind::bad_arguments,
                              "--seed needs a whole number, not '" + text + "'");
            }
            options.fit.seed = seed;
        } else if (arg == "--compare") {
            options.model2 = model_named(take_value("a second model"));
            options.compare = true;
        } else if (arg == "--line") {
            const std::string name = take_value("a line name");
            if (name.empty()) {
                throw Failure(FailureKind::bad_arguments, "--line needs a line name");
            }
            options.lines.push_back(name);
        } else if (arg == "--bound" || arg == "--free") {
            const std::string name = take_value("a line name");
            if (name.empty()) {
                throw Failure(FailureKind::bad_arguments, arg + " needs a line name");
            }
            (arg == "--bound" ? options.bound_line : options.free_line) = name;
        } else if (arg == "--unweighted" && !has_value) {
            options.fit.weighted = false;
        } else if (arg == "--keep-bound" && !has_value) {
            options.keep_bound = true;
        } else if (arg == "--log-z" && !has_value) {
            options.log_z = true;
        } else if (arg == "--no-plot" && !has_value) {
            options.plot = false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw Failure(FailureKind::bad_arguments, "unknown option '" + args[i] + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (options.help) {
        return options;
    }
    if (positional.empty()) {
        throw Failure(FailureKind::bad_arguments, "no MODEL given");
    }
    if (positional.size() > 2) {
        throw Failure(FailureKind::bad_arguments, "unexpected argument '" + positional[2] + "'");
    }
    options.model = model_named(positional[0]);
    if (positional.size() == 2) {
        options.folder = positional[1];
    }
    const bool binding = options.model == TrendModel::binding;
    if (binding && !std::isfinite(options.fit.protein)) {
        throw Failure(FailureKind::bad_arguments,
                      "binding needs --protein P, the total protein concentration");
    }
    if (!binding && std::isfinite(options.fit.protein)) {
        throw Failure(FailureKind::bad_arguments, "--protein applies to the binding model only");
    }
    if (binding && options.column_given) {
        throw Failure(FailureKind::bad_arguments,
                      "binding fits a fraction of the areas; --column applies to the other models");
    }
    if (!binding && (!options.bound_line.empty() || !options.free_line.empty())) {
        throw Failure(FailureKind::bad_arguments, "--bound and --free apply to binding only");
    }
    if (options.bound_line.empty() != options.free_line.empty()) {
        throw Failure(FailureKind::bad_arguments,
                      "binding on lines.csv needs both --bound NAME and --free NAME");
    }
    if (!options.bound_line.empty() && options.bound_line == options.free_line) {
        throw Failure(FailureKind::bad_arguments,
                      "--bound and --free name the same line '" + options.bound_line + "'");
    }
    if (binding && !options.lines.empty()) {
        throw Failure(FailureKind::bad_arguments,
                      "binding fits one fraction: choose its lines with --bound and --free, not "
                      "--line");
    }
    if (options.compare && !trend_models_comparable(options.model, options.model2)) {
        throw Failure(FailureKind::bad_arguments,
                      std::string("--compare ") + trend_model_name(options.model2) + ": " +
                          (options.model == options.model2
                               ? "the same model as MODEL"
                               : "binding fits a fraction, the other models a column; they "
                                 "cannot be compared"));
    }
    return options;
}

// report.csv holds a row of about 30 numbers per slice: 64 MiB is some 100,000 slices.
constexpr std::uint64_t max_report_bytes = std::uint64_t{64} << 20;

// The values of one line across the slices, as a trend fits them.
struct LineValues {
    std::string name;
    std::string label; // the column fitted, e.g. area_A, L1 area, 1 - fraction_A
    std::vector<double> z, y, se;
    std::vector<std::string> status; // one per slice
    // The lines whose value at a bound in a slice's status leaves the slice out.
    std::vector<std::string> bound_lines;
    // The slice numbers of the rows (report.csv's or lines.csv's slice column, else the row).
    std::vector<std::size_t> slice;
    // The fitted half-widths of those lines (report.csv); one narrower than half the point
    // spacing leaves a slice out too. pairfit-lines' half-widths never go below it.
    std::vector<FittedHalfWidths> half_widths;
};

struct Series {
    std::string table_name; // FOLDER/report.csv or FOLDER/lines.csv
    bool from_lines = false;
    std::vector<LineValues> lines;
    std::string unit; // of z, from z.txt; empty when unknown
    // Of 2d.txt, when a line's half-widths were fitted and slices may be left out; else NaN.
    double point_spacing = std::numeric_limits<double>::quiet_NaN();
};

bool file_exists(const std::string& name) {
    struct stat status {};
    return ::stat(name.c_str(), &status) == 0 || errno != ENOENT;
}

ReportTable read_table(const std::string& name, const char* hint) {
    if (!file_exists(name)) {
        throw Failure(FailureKind::malformed_input, name + ": not found; " + hint);
    }
    std::string text;
    read_text_file(name, max_report_bytes, text);
    return parse_report_csv(text, name);
}

void require_z(const std::vector<double>& z, const std::string& name, const char* hint) {
    for (const double value : z) {
        if (std::isfinite(value)) {
            return;
        }
    }
    throw Failure(FailureKind::malformed_input,
                  name + ": " + name.substr(name.rfind('/') + 1) + " has no z; " + hint);
}

std::vector<std::size_t> slice_numbers(const ReportTable& table, const std::string& name) {
    std::vector<std::size_t> slices;
    const std::vector<double> column = has_report_column(table, "slice")
                                           ? report_column(table, "slice", name)
                                           : std::vector<double>{};
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const double s = r < column.size() ? column[r] : static_cast<double>(r);
        slices.push_back(std::isfinite(s) && s >= 0.0 && s < 1e15 ? static_cast<std::size_t>(s)
                                                                  : r);
    }
    return slices;
}

// report.csv: line A and line B (or the one fraction of binding).
std::vector<LineValues> report_lines(const Options& options, const ReportTable& table,
                                     const std::string& name) {
    const std::vector<double> z = report_column(table, "z", name);
    require_z(z, name, "run with --z FILE");
    const std::vector<std::string> status = has_report_column(table, "status")
                                                ? report_text_column(table, "status", name)
                                                : std::vector<std::string>(table.rows.size());
    const std::vector<std::size_t> slices = slice_numbers(table, name);
    // pairfit2 holds its half-widths (no LWA_se in any slice): only fitted ones can collapse.
    const auto fitted_half_widths = [&](const std::vector<std::string>& line_names) {
        std::vector<FittedHalfWidths> widths;
        for (const std::string& line_name : line_names) {
            const std::string column = "LW" + line_name;
            if (!has_report_column(table, column) || !has_report_column(table, column + "_se")) {
                continue;
            }
            const std::vector<double> se = report_column(table, column + "_se", name);
            if (std::any_of(se.begin(), se.end(), [](double v) { return std::isfinite(v); })) {
                widths.push_back({column, report_column(table, column, name), se});
            }
        }
        return widths;
    };
    std::vector<LineValues> lines;
    if (options.model == TrendModel::binding) {
        // The fraction holds both lines: a value of either at a bound leaves the slice out.
        LineValues line{"B",
                        "1 - fraction_A",
                        z,
                        report_column(table, "fraction_A", name),
                        report_column(table, "fraction_A_se", name),
                        status,
                        {"A", "B"},
                        slices,
                        fitted_half_widths({"A", "B"})};
        for (double& y : line.y) {
            y = 1.0 - y;
        }
        lines.push_back(line);
        return lines;
    }
    std::vector<std::string> names = options.lines;
    if (names.empty()) {
        names = {"A", "B"};
    }
    for (const std::string& line_name : names) {
        if (line_name != "A" && line_name != "B") {
            throw Failure(FailureKind::bad_arguments,
                          "--line " + line_name + ": " + name + " holds the lines A and B");
        }
        const std::string label = options.column + "_" + line_name;
        lines.push_back({line_name,
                         label,
                         z,
                         report_column(table, label, name),
                         report_column(table, label + "_se", name),
                         status,
                         {line_name},
                         slices,
                         fitted_half_widths({line_name})});
    }
    return lines;
}

// lines.csv: a line per name, in the order of their first row (or of --line).
std::vector<LineValues> lines_csv_lines(const Options& options, const ReportTable& table,
                                        const std::string& name) {
    const std::vector<double> z = report_column(table, "z", name);
    require_z(z, name, "run pairfit-lines with --z FILE");
    const std::vector<std::string> line_column = report_text_column(table, "line", name);
    const std::vector<std::string> status = report_text_column(table, "status", name);
    const std::string column = options.model == TrendModel::binding ? "area" : options.column;
    const std::vector<double> y = report_column(table, column, name);
    const std::vector<double> se = report_column(table, column + "_se", name);
    const std::vector<std::size_t> slices = slice_numbers(table, name);
    std::vector<LineValues> found;
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        auto line = std::find_if(found.begin(), found.end(),
                                 [&](const LineValues& l) { return l.name == line_column[r]; });
        if (line == found.end()) {
            found.push_back({line_column[r],
                             line_column[r] + " " + column,
                             {},
                             {},
                             {},
                             {},
                             {line_column[r]},
                             {},
                             {}});
            line = found.end() - 1;
        }
        line->z.push_back(z[r]);
        line->y.push_back(y[r]);
        line->se.push_back(se[r]);
        line->status.push_back(status[r]);
        line->slice.push_back(slices[r]);
    }
    const auto named = [&](const std::string& line_name, const char* option) {
        const auto line = std::find_if(found.begin(), found.end(),
                                       [&](const LineValues& l) { return l.name == line_name; });
        if (line == found.end()) {
            std::string known;
            for (const LineValues& l : found) {
                known += (known.empty() ? "" : ", ") + l.name;
            }
            throw Failure(FailureKind::bad_arguments, std::string(option) + " " + line_name + ": " +
                                                          name +
                                                          " holds no line of that "
                                                          "name (its lines: " +
                                                          known + ")");
        }
        return *line;
    };
    if (options.model == TrendModel::binding) {
        if (options.bound_line.empty()) {
            throw Failure(FailureKind::bad_arguments,
                          "binding on " + name +
                              " needs --bound NAME --free NAME, the lines of "
                              "the bound and the free state");
        }
        const LineValues bound = named(options.bound_line, "--bound");
        const LineValues free = named(options.free_line, "--free");
        if (bound.slice != free.slice) {
            throw Failure(FailureKind::malformed_input, name + ": the lines " + bound.name +
                                                            " and " + free.name +
                                                            " are not given for the same slices");
        }
        // pairfit-lines gives every line of a slice the slice's status.
        LineValues fraction{bound.name,
                            bound.name + " / (" + bound.name + " + " + free.name + ")",
                            bound.z,
                            {},
                            {},
                            bound.status,
                            {bound.name, free.name},
                            bound.slice,
                            {}};
        for (std::size_t s = 0; s < bound.y.size(); ++s) {
            // f = a / (a + b), its error propagated from the two areas' as independent.
            const double a = bound.y[s];
            const double b = free.y[s];
            const double total = a + b;
            fraction.y.push_back(a / total);
            fraction.se.push_back(
                std::sqrt(b * b * bound.se[s] * bound.se[s] + a * a * free.se[s] * free.se[s]) /
                (total * total));
        }
        return {fraction};
    }
    if (options.lines.empty()) {
        return found;
    }
    std::vector<LineValues> chosen;
    for (const std::string& line_name : options.lines) {
        chosen.push_back(named(line_name, "--line"));
    }
    return chosen;
}

Series read_series(const Options& options) {
    Series series;
    const std::string report = options.folder + "/report.csv";
    const std::string lines = options.folder + "/lines.csv";
    const bool wants_lines =
        !options.bound_line.empty() || (!options.lines.empty() && !file_exists(report));
    const bool named_lines = std::any_of(options.lines.begin(), options.lines.end(),
                                         [](const std::string& n) { return n != "A" && n != "B"; });
    series.from_lines = wants_lines || named_lines || (!file_exists(report) && file_exists(lines));
    series.table_name = series.from_lines ? lines : report;
    if (series.from_lines) {
        const ReportTable table = read_table(lines, "run pairfit-lines --z FILE first");
        series.lines = lines_csv_lines(options, table, series.table_name);
    } else {
        const ReportTable table = read_table(report, "run pairfit4 --report or --z first");
        series.lines = report_lines(options, table, series.table_name);
        if (file_exists(lines)) {
            std::cerr << "pairfit-trend: note: fitting " << report << "; " << lines
                      << " is there too: --line NAME fits its lines" << std::endl;
        }
        const bool half_widths_fitted =
            std::any_of(series.lines.begin(), series.lines.end(),
                        [](const LineValues& line) { return !line.half_widths.empty(); });
        if (half_widths_fitted && !options.keep_bound) {
            const PointSpacing spacing = read_point_spacing(options.folder + "/2d.txt");
            series.point_spacing = spacing.ppm;
            if (!spacing.problem.empty()) {
                std::cerr << "pairfit-trend: warning: " << spacing.problem
                          << "; without the point spacing only the slices whose status names a "
                             "bound are taken out of the trend"
                          << std::endl;
            }
        }
    }
    // z.txt only names the unit: without a readable one the unit is left unnamed.
    try {
        const ZValues z = read_z_file(options.folder + "/z.txt");
        series.unit = z.unit;
        if (!z.unit_note.empty()) {
            std::cerr << "pairfit-trend: note: " << z.unit_note << std::endl;
        }
    } catch (const Failure&) {
    }
    return series;
}

// Models of a relaxation series, whose delays leave a line's width as it is (unlike a
// titration's ligand, which can broaden it).
bool relaxation(TrendModel model) {
    return model != TrendModel::binding;
}

struct FittedLine {
    TrendLine trend;
    const LineValues* values = nullptr;
};

TrendFit fit_line(const Options& options, const Series& series, const LineValues& line,
                  TrendModel model, const std::vector<std::size_t>& left_out) {
    try {
        return fit_trend(line.z, line.y, line.se, model, options.fit, left_out);
    } catch (const Failure& failure) {
        throw Failure(failure.kind, series.table_name + ", line " + line.name + " (" + line.label +
                                        "): " + failure.what());
    }
}

struct Fits {
    std::vector<FittedLine> lines; // the fits of MODEL, then of MODEL2
    std::vector<TrendComparison> comparisons;
};

Fits fit_lines(const Options& options, const Series& series) {
    Fits fits;
    std::vector<FittedLine> second;
    for (const LineValues& line : series.lines) {
        const TrendSelection selection =
            select_trend_slices(line.status, line.bound_lines, options.keep_bound, line.half_widths,
                                series.point_spacing, relaxation(options.model));
        // The warnings name the slices by their slice numbers, not their rows.
        TrendSelection named = selection;
        for (std::size_t& s : named.left_out) {
            s = line.slice[s];
        }
        for (std::size_t& s : named.misfit) {
            s = line.slice[s];
        }
        for (const std::string& warning :
             {left_out_warning(line.name, named), misfit_slices_warning(line.name, named)}) {
            if (!warning.empty()) {
                std::cerr << "pairfit-trend: warning: " << warning << std::endl;
            }
        }
        FittedLine fitted;
        fitted.values = &line;
        fitted.trend.line = line.name;
        fitted.trend.fit = fit_line(options, series, line, options.model, selection.left_out);
        fits.lines.push_back(fitted);
        if (!options.compare) {
            continue;
        }
        try {
            FittedLine other = fitted;
            other.trend.fit = fit_line(options, series, line, options.model2, selection.left_out);
            second.push_back(other);
            fits.comparisons.push_back(compare_trends(line.name, fitted.trend.fit, options.model2,
                                                      &second.back().trend.fit, ""));
        } catch (const Failure& failure) {
            fits.comparisons.push_back(compare_trends(line.name, fitted.trend.fit, options.model2,
                                                      nullptr, failure.what()));
        }
    }
    fits.lines.insert(fits.lines.end(), second.begin(), second.end());
    return fits;
}

// trend.csv, and trend_compare.csv with --compare: both replaced, or neither.
void write_trend_files(const Options& options, const Fits& fits) {
    std::vector<TrendLine> trends;
    for (const FittedLine& line : fits.lines) {
        trends.push_back(line.trend);
    }
    ResultFile trend(options.folder + "/trend.csv", new_file_mode());
    trend.text() = format_trend_csv(trends);
    if (!options.compare) {
        if (!trend.commit()) {
            throw Failure(FailureKind::unwritable_output,
                          options.folder + "/trend.csv: cannot be written: " + trend.reason());
        }
        return;
    }
    ResultFile compare(options.folder + "/trend_compare.csv", new_file_mode());
    compare.text() = format_trend_compare_csv(fits.comparisons);
    if (!commit_together({&trend, &compare})) {
        const ResultFile& failed = trend.reason().empty() ? compare : trend;
        throw Failure(FailureKind::unwritable_output,
                      options.folder + (&failed == &trend ? "/trend.csv" : "/trend_compare.csv") +
                          ": cannot be written: " + failed.reason() +
                          " (neither trend.csv nor trend_compare.csv was replaced)");
    }
}

// What the drawing script reads on its standard input.
std::string plot_data(const Options& options, const Series& series,
                      const std::vector<FittedLine>& lines) {
    // The fits of MODEL2 are drawn as dashed curves over MODEL's points.
    const auto number = [](double v) { return std::isfinite(v) ? shortest_text(v) : "null"; };
    const auto escaped = [](const std::string& text) {
        std::string out;
        for (const char c : text) {
            out += (c == '"' || c == '\\') ? '_' : c;
        }
        return '"' + out + '"';
    };
    std::string text = "{\"model\": " + escaped(trend_model_name(options.model)) +
                       ", \"unit\": " + escaped(series.unit) +
                       ", \"log_z\": " + (options.log_z ? "true" : "false") +
                       ", \"weighted\": " + (options.fit.weighted ? "true" : "false") +
                       ", \"lines\": [";
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const FittedLine& line = lines[l];
        const LineValues& values = *line.values;
        const TrendFit& fit = line.trend.fit;
        std::string z, y, se, residual;
        double low = std::numeric_limits<double>::infinity();
        double high = -low;
        const double s = std::sqrt(fit.rss / static_cast<double>(fit.dof));
        for (std::size_t k = 0; k < fit.used.size(); ++k) {
            const std::size_t i = fit.used[k];
            const double curve =
                trend_curve(fit.model, fit.fitted, options.fit.protein, values.z[i]);
            const char* comma = k == 0 ? "" : ", ";
            z += comma + number(values.z[i]);
            y += comma + number(values.y[i]);
            se += comma + number(values.se[i]);
            residual +=
                comma + number((values.y[i] - curve) / (options.fit.weighted ? values.se[i] : s));
            if (!options.log_z || values.z[i] > 0.0) {
                low = std::min(low, values.z[i]);
                high = std::max(high, values.z[i]);
            }
        }
        std::string curve_z, curve_y;
        constexpr int steps = 200;
        for (int k = 0; k <= steps && low <= high; ++k) {
            const double t = static_cast<double>(k) / steps;
            const double at =
                options.log_z ? low * std::pow(high / low, t) : low + (high - low) * t;
            const char* comma = k == 0 ? "" : ", ";
            curve_z += comma + number(at);
            curve_y += comma + number(trend_curve(fit.model, fit.fitted, options.fit.protein, at));
        }
        text += std::string(l == 0 ? "" : ", ") + "{\"line\": " + escaped(line.trend.line) +
                ", \"model\": " + escaped(trend_model_name(fit.model)) +
                ", \"label\": " + escaped(values.label) + ", \"z\": [" + z + "], \"y\": [" + y +
                "], \"se\": [" + se + "], \"residual\": [" + residual + "], \"curve_z\": [" +
                curve_z + "], \"curve_y\": [" + curve_y + "]}";
    }
    return text + "]}\n";
}

// The drawing script: beside this program first, then on PATH.
std::string find_plot_script() {
    const std::string name = "pairfit-trend-plot";
    std::vector<std::string> folders;
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        const std::string path(self, static_cast<std::size_t>(length));
        folders.push_back(path.substr(0, path.rfind('/')));
    }
    const char* path = std::getenv("PATH");
    for (std::string rest = path != nullptr ? path : ""; !rest.empty();) {
        const std::size_t colon = rest.find(':');
        folders.push_back(rest.substr(0, colon));
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    for (const std::string& folder : folders) {
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        struct stat info;
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            return candidate;
        }
    }
    return "";
}

// The drawing script's status when it has named a picture it could not write or that is
// write-protected on standard error; the other picture is then written. The script takes its
// statuses from the same table.
constexpr int picture_not_written = exit_write_failed;
const char* const picture_not_written_text = "a picture was not written";

// Runs the script with the data on its standard input; the reason when it could not draw.
std::string draw(const Options& options, const std::string& data) {
    const std::string python = "/usr/bin/python3";
    const std::string script = find_plot_script();
    if (script.empty()) {
        return "pairfit-trend-plot was found neither beside pairfit-trend nor on PATH";
    }
    if (::access(python.c_str(), X_OK) != 0) {
        return python + " cannot be run: " + std::strerror(errno);
    }
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) {
        return std::string("no pipe to the script: ") + std::strerror(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
    std::vector<std::string> words = {python, script, options.folder};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, python.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_ends[0]);
    if (spawned != 0) {
        ::close(pipe_ends[1]);
        return python + " cannot be started: " + std::strerror(spawned);
    }
    // A script that stops reading must not end this program through SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t written = ::write(pipe_ends[1], data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    ::close(pipe_ends[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == picture_not_written) {
            return picture_not_written_text;
        }
        return "pairfit-trend-plot failed (" +
               (WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                  : std::string("killed by a signal")) +
               ")";
    }
    return "";
}

int run(const std::vector<std::string>& args) {
    const Options options = parse_options(args);
    if (options.help) {
        std::cout << usage;
        return exit_success;
    }
    {
        // Read under a shared lock and write under an exclusive one, as the fitting programs
        // do, so that a trend never reads a report.csv or lines.csv half-replaced by a run.
        const Series series = [&] {
            const FolderLock reading(options.folder, LockMode::shared);
            return read_series(options);
        }();
        const Fits fits = fit_lines(options, series);
        {
            const FolderLock writing(options.folder, LockMode::exclusive);
            write_trend_files(options, fits);
        }
        std::vector<TrendLine> trends;
        for (const FittedLine& line : fits.lines) {
            trends.push_back(line.trend);
        }
        std::cout << format_trend_summary(trends, series.unit);
        for (const TrendLine& trend : trends) {
            const std::string misfit = trend_misfit_warning(trend.line, trend.fit);
            if (!misfit.empty()) {
                std::cerr << "pairfit-trend: warning: " << misfit << std::endl;
            }
            const std::string unidentified = not_identifiable_reason(trend.fit);
            if (!unidentified.empty() && !options.compare) {
                std::cerr << "pairfit-trend: warning: line " << trend.line << ": "
                          << trend_model_name(trend.fit.model)
                          << " is not identifiable: " << unidentified << std::endl;
            }
        }
        if (options.compare) {
            std::cout << format_trend_compare_summary(fits.comparisons);
            std::cout << "wrote " << options.folder << "/trend.csv and " << options.folder
                      << "/trend_compare.csv" << std::endl;
        } else {
            std::cout << "wrote " << options.folder << "/trend.csv" << std::endl;
        }
        if (!options.plot) {
            return exit_success;
        }
        const std::string problem = draw(options, plot_data(options, series, fits.lines));
        if (problem.empty()) {
            std::cout << "wrote " << options.folder << "/trend.png and " << options.folder
                      << "/trend.pdf\n";
        } else if (problem == picture_not_written_text) {
            // A picture refused like any result file: the status says so; trend.csv stands.
            throw Failure(FailureKind::unwritable_output,
                          "a picture named above was not written; trend.csv is written");
        } else {
            std::cerr << "pairfit-trend: warning: no pictures drawn: " << problem
                      << "; trend.csv is written\n";
        }
    }
    return exit_success;
}

} // namespace

int main(int argc, char** argv) {
    return run_guarded(
        "pairfit-trend", usage,
        [&] { return run(std::vector<std::string>(argv + 1, argv + argc)); },
        /*name_every_message=*/true);
}

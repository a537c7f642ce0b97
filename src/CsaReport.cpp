// The command line of the programs and the fit report, report.csv.
#include "Csa.h"
#include "CsaResultFile.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>

const char* const report_header =
    "slice,z,points,status,iterations,MA,MA_se,MB,MB_se,LWA,LWA_se,LWB,LWB_se,height_A,"
    "height_A_se,height_B,height_B_se,area_A,area_A_se,area_B,area_B_se,fraction_A,"
    "fraction_A_se,rss,sigma,scale_factor";

RunOptions parse_options(int argc, const char* const* argv) {
    RunOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--report") {
            options.report = true;
        } else if (argument == "--z" || argument.rfind("--z=", 0) == 0) {
            if (argument == "--z" && i + 1 == argc) {
                options.refused = "--z needs a FILE of x values";
                return options;
            }
            options.z_name = argument == "--z" ? argv[++i] : argument.substr(4);
            if (options.z_name.empty()) {
                options.refused = "--z needs a FILE of x values";
                return options;
            }
            options.report = true;
        } else {
            options.refused =
                (argument.rfind('-', 0) == 0 ? "unknown option '" : "unexpected argument '") +
                argument + "'";
            return options;
        }
    }
    return options;
}

std::string usage_text(const std::string& program) {
    return "usage: " + program + " [--report] [--z FILE]\n" + "       " + program +
           " --help\n"
           "\n"
           "Fits every slice of 2d.txt with two Lorentzian lines at the positions of peaks.txt\n"
           "(both in the working directory) and writes dat.txt, sim_a.txt, sim_b.txt, res.txt\n"
           "and results.txt there. Without options nothing else is written.\n"
           "\n"
           "  --report   also write report.csv: one row per slice, every value at full\n"
           "             precision with its standard error, and the fit's status\n"
           "  --z FILE   the x value of each slice (delay, concentration, temperature...) for\n"
           "             report.csv: one number per line in slice order, '#' comments and\n"
           "             empty lines skipped; implies --report\n"
           "  --help     print this text and exit\n"
           "\n"
           "report.csv, one header line, then one row per slice:\n"
           "  slice            the slice index, from 0\n"
           "  z                the slice's value of --z FILE; empty without\n"
           "  points           the slice's points inside the window\n"
           "  status           settled, or iteration_limit (stopped after 10000 iterations);\n"
           "                   then ';bound:' and the fitted parameters within 1e-9 of the\n"
           "                   bound 1e-4 or 10, e.g. \"settled;bound:MA,MB\" (quoted when\n"
           "                   it holds a comma)\n"
           "  iterations       the minimiser's iterations\n"
           "  MA, MB           the amplitudes (scaled intensity x ppm)\n"
           "  LWA, LWB         the half widths at half height (ppm)\n"
           "  height_A, _B     the line maxima M/W (scaled intensity)\n"
           "  area_A, _B       the line areas pi*M\n"
           "  fraction_A       MA/(MA+MB), A's share of the total area\n"
           "  rss              the residual sum of squares (residual_square_tot of results.txt)\n"
           "  sigma            sqrt(rss/(points - fitted parameters))\n"
           "  scale_factor     the common divisor of the intensities: multiply MA, MB,\n"
           "                   heights, areas, sigma and the errors by it, rss by its square,\n"
           "                   for the spectrum's own units\n"
           "  NAME_se          the standard error of NAME\n"
           "Standard errors: covariance = sigma^2 (J^T J)^-1, where J holds the derivatives of\n"
           "the two-line model at every window point with respect to the fitted parameters not\n"
           "at a bound; heights, areas and fraction_A by first-order propagation. Values are\n"
           "shortest round-trip numbers. An empty cell is a value not defined: the error of a\n"
           "parameter held fixed or at a bound (and of what is derived from it), and every\n"
           "error when points <= fitted parameters or J^T J is singular.\n";
}

namespace {

void append_number(std::string& line, double value) {
    if (!std::isfinite(value)) {
        return; // an empty cell: the file never holds nan or inf
    }
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, end);
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

std::string status_of(const ReportRow& row) {
    std::string status = row.settled ? "settled" : "iteration_limit";
    const char* const names[4] = {"MA", "MB", "LWA", "LWB"};
    const char* separator = ";bound:";
    for (int i = 0; i < 4; ++i) {
        if (row.stats.at_bound[i]) {
            status += separator;
            status += names[i];
            separator = ",";
        }
    }
    return status;
}

} // namespace

std::string format_report(const std::vector<ReportRow>& rows, const std::vector<double>& z,
                          double scale_factor) {
    std::string text = report_header;
    text += '\n';
    for (std::size_t s = 0; s < rows.size(); ++s) {
        const ReportRow& row = rows[s];
        const SliceReport& stats = row.stats;
        append_integer(text, s);
        text += ',';
        if (s < z.size()) {
            append_number(text, z[s]);
        }
        text += ',';
        append_integer(text, stats.points);
        text += ',';
        // Quoted, as CSV quotes a cell holding a comma: "settled;bound:MA,MB".
        const std::string status = status_of(row);
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
        append_cell(text, scale_factor);
        text += '\n';
    }
    return text;
}

bool write_text_file(const char* name, const std::string& text) {
    ResultFile file(name, new_file_mode());
    file.text() = text;
    return file.commit();
}

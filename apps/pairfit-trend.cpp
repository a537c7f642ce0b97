// pairfit-trend: one column of report.csv against z, fitted with a relaxation or binding
// model; writes trend.csv and draws trend.png and trend.pdf.
#include "ExitStatus.h"
#include "Failure.h"
#include "Program.h"
#include "Read.h"
#include "ReadNumbers.h"
#include "ReadZValues.h"
#include "ReportCsv.h"
#include "ResultFile.h"
#include "Trend.h"

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
    "                     [--unweighted] [--log-z] [FOLDER]\n"
    "       pairfit-trend --help\n"
    "\n"
    "Fits a column of FOLDER/report.csv (default: the working directory) against z, for line\n"
    "A and line B separately, and writes trend.csv, trend.png and trend.pdf there.\n"
    "\n"
    "MODEL:\n"
    "  decay      y = I0 exp(-z/T)                     I0, T, R = 1/T\n"
    "  recovery   y = Iinf (1 - exp(-z/T1))            Iinf, T1, R1 = 1/T1\n"
    "  inversion  y = Iinf - (Iinf - I0) exp(-z/T1)    Iinf, I0, T1, R1\n"
    "  binding    1 - fraction_A = (P + z + Kd - sqrt((P + z + Kd)^2 - 4 P z)) / (2 P)\n"
    "             against the total ligand z, line B only: Kd (needs --protein)\n"
    "\n"
    "  --column C    area (area_A, area_B; the default) or height (height_A, height_B)\n"
    "  --protein P   the total protein concentration of binding, in the unit of z\n"
    "  --mc N        Monte Carlo sets for se_mc (default 500; 0: none)\n"
    "  --seed S      the seed of the Monte Carlo noise (a whole number)\n"
    "  --unweighted  equal weights; errors scaled by the residual scatter\n"
    "  --log-z       draw z on a log scale\n"
    "  --help        print this text and exit\n";

struct Options {
    bool help = false;
    TrendModel model = TrendModel::decay;
    std::string column = "area";
    bool column_given = false;
    TrendOptions fit;
    bool log_z = false;
    std::string folder = ".";
};

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
        } else if (arg == "--unweighted" && !has_value) {
            options.fit.weighted = false;
        } else if (arg == "--log-z" && !has_value) {
            options.log_z = true;
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
    if (!parse_trend_model(positional[0], options.model)) {
        throw Failure(FailureKind::bad_arguments, "unknown model '" + positional[0] +
                                                      "': decay, recovery, inversion or binding");
    }
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
                      "binding fits 1 - fraction_A; --column applies to the other models");
    }
    return options;
}

// report.csv holds a row of about 30 numbers per slice: 64 MiB is some 100,000 slices.
constexpr std::uint64_t max_report_bytes = std::uint64_t{64} << 20;

struct Series {
    std::string report_name;
    ReportTable table;
    std::vector<double> z;
    std::string unit; // of z, from z.txt; empty when unknown
};

Series read_series(const Options& options) {
    Series series;
    series.report_name = options.folder + "/report.csv";
    struct stat status {};
    if (::stat(series.report_name.c_str(), &status) != 0 && errno == ENOENT) {
        throw Failure(FailureKind::malformed_input,
                      series.report_name + ": not found; run pairfit4 --report or --z first");
    }
    std::string text;
    read_text_file(series.report_name, max_report_bytes, text);
    series.table = parse_report_csv(text, series.report_name);
    series.z = report_column(series.table, "z", series.report_name);
    bool any_z = false;
    for (const double z : series.z) {
        any_z = any_z || std::isfinite(z);
    }
    if (!any_z) {
        throw Failure(FailureKind::malformed_input,
                      series.report_name + ": report.csv has no z; run with --z FILE");
    }
    // z.txt only names the unit: without a readable one the unit is left unnamed.
    try {
        std::string z_text;
        read_text_file(options.folder + "/z.txt", max_z_file_bytes, z_text);
        std::string note;
        series.unit = z_unit(z_text, &note);
        if (!note.empty()) {
            std::cerr << "pairfit-trend: note: " << note << std::endl;
        }
    } catch (const Failure&) {
    }
    return series;
}

struct FittedLine {
    TrendLine trend;
    std::string label; // the column fitted
    std::vector<double> y, se;
};

std::vector<FittedLine> fit_lines(const Options& options, const Series& series) {
    std::vector<FittedLine> lines;
    const std::vector<std::string> names = options.model == TrendModel::binding
                                               ? std::vector<std::string>{"B"}
                                               : std::vector<std::string>{"A", "B"};
    for (const std::string& name : names) {
        FittedLine line;
        line.trend.line = name;
        if (options.model == TrendModel::binding) {
            line.label = "1 - fraction_A";
            line.y = report_column(series.table, "fraction_A", series.report_name);
            for (double& y : line.y) {
                y = 1.0 - y;
            }
            line.se = report_column(series.table, "fraction_A_se", series.report_name);
        } else {
            line.label = options.column + "_" + name;
            line.y = report_column(series.table, line.label, series.report_name);
            line.se = report_column(series.table, line.label + "_se", series.report_name);
        }
        try {
            line.trend.fit = fit_trend(series.z, line.y, line.se, options.model, options.fit);
        } catch (const Failure& failure) {
            throw Failure(failure.kind, series.report_name + ", line " + name + " (" + line.label +
                                            "): " + failure.what());
        }
        lines.push_back(line);
    }
    return lines;
}

void write_trend_csv(const Options& options, const std::vector<FittedLine>& lines) {
    std::vector<TrendLine> trends;
    for (const FittedLine& line : lines) {
        trends.push_back(line.trend);
    }
    const std::string name = options.folder + "/trend.csv";
    ResultFile file(name, new_file_mode());
    file.text() = format_trend_csv(trends, options.model);
    if (!file.commit()) {
        throw Failure(FailureKind::unwritable_output,
                      name + ": cannot be written: " + file.reason());
    }
}

// What the drawing script reads on its standard input.
std::string plot_data(const Options& options, const Series& series,
                      const std::vector<FittedLine>& lines) {
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
        const TrendFit& fit = line.trend.fit;
        std::string z, y, se, residual;
        double low = std::numeric_limits<double>::infinity();
        double high = -low;
        const double s = std::sqrt(fit.chi2_red);
        for (std::size_t k = 0; k < fit.used.size(); ++k) {
            const std::size_t i = fit.used[k];
            const double curve =
                trend_curve(options.model, fit.fitted, options.fit.protein, series.z[i]);
            const char* comma = k == 0 ? "" : ", ";
            z += comma + number(series.z[i]);
            y += comma + number(line.y[i]);
            se += comma + number(line.se[i]);
            residual +=
                comma + number((line.y[i] - curve) / (options.fit.weighted ? line.se[i] : s));
            if (!options.log_z || series.z[i] > 0.0) {
                low = std::min(low, series.z[i]);
                high = std::max(high, series.z[i]);
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
            curve_y +=
                comma + number(trend_curve(options.model, fit.fitted, options.fit.protein, at));
        }
        text += std::string(l == 0 ? "" : ", ") + "{\"line\": " + escaped(line.trend.line) +
                ", \"label\": " + escaped(line.label) + ", \"z\": [" + z + "], \"y\": [" + y +
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
        const Series series = read_series(options);
        const std::vector<FittedLine> lines = fit_lines(options, series);
        write_trend_csv(options, lines);
        std::vector<TrendLine> trends;
        for (const FittedLine& line : lines) {
            trends.push_back(line.trend);
        }
        std::cout << format_trend_summary(trends, series.unit);
        std::cout << "wrote " << options.folder << "/trend.csv" << std::endl;
        const std::string problem = draw(options, plot_data(options, series, lines));
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

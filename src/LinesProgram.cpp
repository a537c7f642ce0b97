// pairfit-lines: the command line, the folder's files through the fit to the result files.
#include "LinesProgram.h"

#include "LinesInput.h"
#include "LinesResults.h"
#include "Program.h"
#include "ReadFolder.h"
#include "ReadNumbers.h"
#include "ReadZValues.h"
#include "ResultFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

void print_lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::cerr << line << std::endl;
    }
}

// What a run reads from the folder.
struct LinesInputs {
    LineFitSettings settings;
    std::vector<LineRow> rows;
    std::vector<std::string> line_sources; // "lines.txt: line 3" per line, for messages
    bool window_from_series = false;       // no --window, no peaks.txt: all of 2d.txt
    WindowedSeries series;
    ZValues z;
};

// The folder's name for messages: the working directory's path when it is ".".
std::string folder_text(const std::string& folder) {
    if (folder != ".") {
        return folder;
    }
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return error ? "the working directory" : here.string();
}

// The lines of lines.txt, or A and B of peaks.txt; the window of --window or peaks.txt, or,
// with lines.txt alone, every point of 2d.txt (as pairfit-import --window cut it).
void read_lines_and_window(const LinesOptions& options, LinesInputs& input) {
    const bool have_lines = input_can_be_read("lines.txt");
    const bool need_peaks = !have_lines || !options.window_given;
    std::optional<PeakSettings> peaks;
    if (need_peaks && (input_can_be_read("peaks.txt") || !have_lines)) {
        std::vector<std::string> ignored; // a line outside the window is refused below
        peaks = read_peak_settings("peaks.txt", false, ignored);
    }
    LineFitSettings& settings = input.settings;
    if (options.window_given) {
        settings.window_lower = options.window_lower;
        settings.window_upper = options.window_upper;
    } else if (peaks) {
        settings.window_lower = peaks->window_lower;
        settings.window_upper = peaks->window_upper;
    } else {
        input.window_from_series = true;
        settings.window_lower = -std::numeric_limits<double>::infinity();
        settings.window_upper = std::numeric_limits<double>::infinity();
    }
    if (have_lines) {
        input.rows = read_lines_file("lines.txt", "lines.txt");
        for (const LineRow& row : input.rows) {
            input.line_sources.push_back("lines.txt: line " + std::to_string(row.line));
        }
    } else {
        input.rows = {{"A", peaks->peak_A, std::nullopt, std::nullopt, 1},
                      {"B", peaks->peak_B, std::nullopt, std::nullopt, 1}};
        if (peaks->has_widths) {
            input.rows[0].half_width = peaks->LWA;
            input.rows[1].half_width = peaks->LWB;
        }
        input.line_sources = {"peaks.txt: data row 1", "peaks.txt: data row 1"};
        std::cout << "pairfit-lines: no lines.txt; fitting lines A and B of peaks.txt" << std::endl;
    }
}

// Reads and checks everything under a shared lock of the folder; false when 2d.txt, or both
// lines.txt and peaks.txt, are missing (the usage and what is missing are then on standard
// error).
bool read_inputs(const LinesOptions& options, const std::string& z_path, LinesInputs& input) {
    if (!z_path.empty()) {
        input.z = read_z_file(z_path);
    }
    const bool series_found = input_can_be_read("2d.txt");
    const bool lines_found = input_can_be_read("lines.txt") || input_can_be_read("peaks.txt");
    if (!series_found || !lines_found) {
        std::cerr << lines_usage_text() << std::endl;
        const std::string where = folder_text(options.folder);
        if (!series_found) {
            std::cerr << "2d.txt: not found or not readable in " << where << std::endl;
        }
        if (!lines_found) {
            std::cerr << "lines.txt: not found or not readable in " << where << " (nor peaks.txt)"
                      << std::endl;
        }
        return false;
    }
    std::vector<std::string> warnings;
    read_lines_and_window(options, input);
    const unsigned threads = thread_count();
    ReadReport report;
    input.series =
        read_windowed_series("2d.txt", input.settings.window_lower, input.settings.window_upper,
                             options.noise, threads, report);
    if (input.window_from_series && input.series.slice_count() > 0) {
        const auto [lower, upper] = series_window(input.series);
        input.settings.window_lower = lower;
        input.settings.window_upper = upper;
    }
    // The lines' checks need the window; those of the series come first, as in pairfit4.
    PeakSettings window;
    window.window_lower = input.settings.window_lower;
    window.window_upper = input.settings.window_upper;
    window.peak_A = window.peak_B = std::numeric_limits<double>::quiet_NaN();
    try {
        check_fit_series(input.series, report, window, warnings);
        check_noise_region(input.series, options.noise, window, warnings);
    } catch (const Failure&) {
        print_lines(warnings);
        throw;
    }
    input.settings = line_fit_settings(input.rows, input.line_sources, options,
                                       input.settings.window_lower, input.settings.window_upper);
    input.settings.threads = threads;
    for (const std::string& warning : noise_line_warnings(input.settings, options.noise)) {
        warnings.push_back(warning);
    }
    print_lines(warnings);
    check_parameter_count(input.series, input.settings);
    if (!z_path.empty()) {
        check_z_count(input.z, z_path, input.series.slice_count());
    }
    return true;
}

} // namespace

std::vector<std::string> line_series_warnings(const LineSeriesFit& fit) {
    std::vector<std::string> warnings;
    std::vector<std::size_t> bounded, misfits, unsettled;
    std::vector<std::string> names;
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const LineSliceFit& slice = fit.slices[s];
        if (!slice.at_bound.empty()) {
            bounded.push_back(s);
            for (const std::string& name : slice.at_bound) {
                if (std::find(names.begin(), names.end(), name) == names.end()) {
                    names.push_back(name);
                }
            }
        }
        if (slice.misfit) {
            misfits.push_back(s);
        }
        if (!slice.settled) {
            unsettled.push_back(s);
        }
    }
    if (fit.summed && !fit.summed->at_bound.empty()) {
        std::string list;
        for (const std::string& name : fit.summed->at_bound) {
            list += (list.empty() ? "" : ", ") + name;
        }
        std::ostringstream text;
        text << "pairfit-lines: warning: the fit of the summed slices (--widths sum) ended "
                "with "
             << list << " at a bound, which every slice then holds";
        warnings.push_back(text.str());
    }
    if (!unsettled.empty()) {
        std::ostringstream text;
        text << "pairfit-lines: warning: the iteration limit ended the fit of slices "
             << slice_ranges(unsettled);
        warnings.push_back(text.str());
    }
    if (!bounded.empty()) {
        std::string list;
        for (const std::string& name : names) {
            list += (list.empty() ? "" : ", ") + name;
        }
        std::ostringstream text;
        text << "pairfit-lines: warning: " << bounded.size() << " of " << fit.slices.size()
             << " slices ended with a value at a bound (slices " << slice_ranges(bounded) << ": "
             << list
             << "); usual causes: a line that is absent or weak in those slices, a --float "
                "range too narrow, or a line outside the data";
        warnings.push_back(text.str());
    }
    if (!misfits.empty()) {
        std::ostringstream text;
        text << "pairfit-lines: warning: " << misfits.size() << " of " << fit.slices.size()
             << " slices fit worse than their noise allows (status misfit: slices "
             << slice_ranges(misfits)
             << "); usual causes: a line missing from lines.txt, a baseline not modelled, "
                "the wrong shape, a phase error";
        warnings.push_back(text.str());
    }
    return warnings;
}

std::pair<double, double> series_window(const WindowedSeries& series) {
    const std::size_t points = series.points_in(0);
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t i = 0; i < points; ++i) {
        low = std::min(low, series.ppm[i]);
        high = std::max(high, series.ppm[i]);
    }
    const double margin = points > 1 ? (high - low) / static_cast<double>(points - 1) / 2 : 0.5;
    return {low - margin, high + margin};
}

LineFitSettings line_fit_settings(const std::vector<LineRow>& rows,
                                  const std::vector<std::string>& sources,
                                  const LinesOptions& options, double window_lower,
                                  double window_upper) {
    LineFitSettings settings;
    settings.window_lower = window_lower;
    settings.window_upper = window_upper;
    settings.baseline = options.baseline;
    settings.float_ppm = options.float_ppm;
    settings.widths = options.widths;
    settings.positive = options.positive;
    settings.with_noise = options.noise.given;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const LineRow& row = rows[i];
        const std::string& where = sources[i];
        if (!(window_lower < row.position && row.position < window_upper)) {
            throw Failure(FailureKind::malformed_input,
                          where + ": line " + row.name + " at " + shortest_text(row.position) +
                              " ppm lies outside the window " + shortest_text(window_lower) +
                              " to " + shortest_text(window_upper) +
                              " ppm; move it inside or widen the window");
        }
        if (row.half_width && !(*row.half_width > 0.0)) {
            throw Failure(FailureKind::malformed_input,
                          where + ": the half-width of line " + row.name +
                              " must be above 0 ppm, found " + shortest_text(*row.half_width));
        }
        if (options.widths == WidthMode::fixed && !row.half_width) {
            const bool from_peaks = where.rfind("peaks.txt", 0) == 0;
            throw Failure(FailureKind::malformed_input,
                          where + ": line " + row.name +
                              " has no half-width; --widths fixed holds the half-widths of " +
                              (from_peaks ? "peaks.txt (its third data row)"
                                          : "lines.txt (its third column)"));
        }
        settings.lines.push_back(
            {row.name, row.position, row.half_width, row.shape.value_or(options.shape)});
    }
    return settings;
}

std::vector<std::string> noise_line_warnings(const LineFitSettings& settings,
                                             const NoiseRegion& noise) {
    std::vector<std::string> warnings;
    for (const LineDefinition& line : settings.lines) {
        if (noise.given && noise.lower < line.position && line.position < noise.upper) {
            warnings.push_back(
                "--noise " + shortest_text(noise.lower) + " " + shortest_text(noise.upper) +
                ": warning: the noise region holds line " + line.name + " at " +
                shortest_text(line.position) + " ppm; the noise would be measured on its line");
        }
    }
    return warnings;
}

void check_parameter_count(const WindowedSeries& series, const LineFitSettings& settings) {
    const std::size_t points = series.points_in(0);
    const std::size_t parameters = free_parameter_count(settings);
    if (parameters > points) {
        throw Failure(FailureKind::malformed_input,
                      "2d.txt: slice 0 holds " + std::to_string(points) +
                          " points inside the window, fewer than the " +
                          std::to_string(parameters) +
                          " free parameters of the fit; widen the window, fit fewer lines or "
                          "hold more values (--widths fixed or sum, no --float)");
    }
}

namespace {

std::string compact(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// lines.csv, slices.csv and the curve files, each whole or not at all; the status.
int write_outputs(const LineSeriesFit& fit, const LinesInputs& input) {
    const WorkingDirectoryLock lock;
    std::signal(SIGXFSZ, SIG_IGN);
    std::vector<WriteFailure> failed =
        write_text_file("lines.csv", format_lines_csv(fit, input.z.values));
    for (WriteFailure& failure :
         write_text_file("slices.csv", format_slices_csv(fit, input.z.values))) {
        failed.push_back(std::move(failure));
    }
    const std::vector<std::string> names = curve_file_names(fit.settings);
    std::vector<std::string> reasons(names.size());
    std::vector<char> written(names.size(), 0);
    const mode_t mode = new_file_mode();
    std::atomic<std::size_t> next{0};
    const auto take_files = [&] {
        for (std::size_t f = next++; f < names.size(); f = next++) {
            ResultFile file(names[f], mode);
            file.text() = curve_file_head(fit, f);
            const std::size_t points = input.series.slice_count() ? input.series.points_in(0) : 0;
            for (std::size_t p = 0; p < points; ++p) {
                append_curve_row(fit, input.series, f, p, file.text());
                file.flush_if_large();
            }
            written[f] = file.commit();
            reasons[f] = written[f] ? "" : file.reason();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < std::min<std::size_t>(fit.settings.threads, names.size()); ++t) {
        helpers.emplace_back(take_files);
    }
    take_files();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    for (std::size_t f = 0; f < names.size(); ++f) {
        if (!written[f]) {
            failed.push_back({names[f], reasons[f]});
        }
    }
    for (const WriteFailure& failure : failed) {
        std::cerr << failure.name << ": could not be written"
                  << (failure.reason.empty() ? "" : ": " + failure.reason) << std::endl;
    }
    if (!failed.empty()) {
        return exit_write_failed;
    }
    // Curve files of an earlier run with more lines, or with a baseline, no longer belong.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(".", error)) {
        const std::string name = entry.path().filename().string();
        const bool curve =
            name == "lines_baseline.txt" || (name.rfind("lines_sim_", 0) == 0 && name.size() > 14 &&
                                             name.compare(name.size() - 4, 4, ".txt") == 0);
        if (curve && std::find(names.begin(), names.end(), name) == names.end() &&
            entry.is_regular_file(error)) {
            ::unlink(name.c_str());
        }
    }
    return exit_success;
}

int run_lines(const LinesOptions& options) {
    std::string z_path = options.z_name;
    if (!z_path.empty() && options.folder != "." && z_path[0] != '/') {
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(z_path, error);
        if (!error) {
            z_path = absolute.string();
        }
    }
    if (options.folder != "." && ::chdir(options.folder.c_str()) != 0) {
        throw Failure(FailureKind::unreadable_input,
                      options.folder + ": cannot be entered: " + std::strerror(errno));
    }
    LinesInputs input;
    {
        // An import replacing 2d.txt in this folder finishes first; the lock ends before the fit.
        const FolderLock reading(".", LockMode::shared);
        if (!read_inputs(options, z_path, input)) {
            return exit_missing_input;
        }
    }
    const LineFitSettings& settings = input.settings;
    std::cout << "pairfit-lines: " << settings.lines.size() << " lines in "
              << input.series.slice_count() << " slices of " << input.series.points_in(0)
              << " points between " << shortest_text(settings.window_lower) << " and "
              << shortest_text(settings.window_upper) << " ppm; baseline "
              << baseline_kind_name(settings.baseline) << ", widths "
              << width_mode_name(settings.widths) << ", float " << shortest_text(settings.float_ppm)
              << (settings.positive ? ", heights >= 0" : "") << std::endl;
    std::cout << "# slice";
    for (const LineDefinition& line : settings.lines) {
        std::cout << ' ' << line.name << ".height";
    }
    std::cout << " rss status" << std::endl;
    const LineSeriesFit fit =
        fit_line_series(input.series, settings, [](std::size_t s, const LineSliceFit& slice) {
            std::cout << s;
            for (const FittedLine& line : slice.lines) {
                std::cout << ' ' << compact(line.height.value);
            }
            std::cout << ' ' << compact(slice.rss) << ' ' << line_slice_status(slice) << std::endl;
        });
    print_lines(line_series_warnings(fit));
    return write_outputs(fit, input);
}

bool parse_choice(const std::string& word, const char* option, const char* const* names, int count,
                  int& chosen) {
    for (int k = 0; k < count; ++k) {
        if (word == names[k]) {
            chosen = k;
            return true;
        }
    }
    std::string list;
    for (int k = 0; k < count; ++k) {
        list += (k == 0 ? "" : k + 1 == count ? " or " : ", ") + std::string(names[k]);
    }
    throw Failure(FailureKind::bad_arguments,
                  std::string(option) + " takes " + list + ", not " + quoted_text(word));
}

} // namespace

LinesOptions parse_lines_options(const std::vector<std::string>& args) {
    LinesOptions options;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const OptionWord word = split_option_word(args[i]);
        const std::string& arg = word.name;
        const std::string& value = word.value;
        const bool has_value = word.has_value;
        const auto take = [&](const std::string& what) {
            return has_value ? value : option_value(args, i, arg + " needs " + what);
        };
        const auto no_value = [&] {
            if (has_value) {
                throw Failure(FailureKind::bad_arguments, arg + " takes no value");
            }
        };
        if (arg == "-h" || arg == "--help") {
            no_value();
            options.help = true;
        } else if (arg == "--window" || arg == "--noise") {
            if (has_value) {
                throw Failure(FailureKind::bad_arguments,
                              arg + " takes two numbers: " + arg + " A B");
            }
            const auto [a, b] = option_numbers(
                args, i,
                arg == "--window" ? "--window needs the two ppm limits of the window to fit"
                                  : "--noise needs the two ppm limits of a signal-free region");
            if (arg == "--window") {
                if (a == b) {
                    throw Failure(FailureKind::malformed_input, "--window " + shortest_text(a) +
                                                                    " " + shortest_text(b) +
                                                                    ": the two limits must differ");
                }
                options.window_given = true;
                options.window_lower = std::min(a, b);
                options.window_upper = std::max(a, b);
            } else {
                options.noise = {true, std::min(a, b), std::max(a, b)};
            }
        } else if (arg == "--shape") {
            static const char* const names[] = {"lorentzian", "gaussian", "pseudo-voigt"};
            int k = 0;
            parse_choice(take("lorentzian, gaussian or pseudo-voigt"), "--shape", names, 3, k);
            options.shape = *parse_line_shape(names[k]);
        } else if (arg == "--baseline") {
            static const char* const names[] = {"none", "constant", "linear"};
            int k = 0;
            parse_choice(take("none, constant or linear"), "--baseline", names, 3, k);
            options.baseline = static_cast<BaselineKind>(k);
        } else if (arg == "--widths") {
            static const char* const names[] = {"free", "fixed", "sum"};
            int k = 0;
            parse_choice(take("free, fixed or sum"), "--widths", names, 3, k);
            options.widths = static_cast<WidthMode>(k);
        } else if (arg == "--float") {
            const std::string text = take("a distance D in ppm");
            if (!parse_number(text, options.float_ppm)) {
                throw Failure(FailureKind::bad_arguments,
                              "--float needs a distance D in ppm, not " + quoted_text(text));
            }
            if (options.float_ppm < 0.0) {
                throw Failure(FailureKind::malformed_input,
                              "--float " + text +
                                  ": the distance a centre may move must be 0 or more ppm");
            }
        } else if (arg == "--positive") {
            no_value();
            options.positive = true;
        } else if (arg == "--z") {
            options.z_name = take("a FILE of x values");
            if (options.z_name.empty()) {
                throw Failure(FailureKind::bad_arguments, "--z needs a FILE of x values");
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw Failure(FailureKind::bad_arguments, "unknown option " + quoted_text(args[i]));
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() > 1) {
        throw Failure(FailureKind::bad_arguments,
                      "unexpected argument " + quoted_text(positional[1]) + "; give one FOLDER");
    }
    if (!positional.empty()) {
        options.folder = positional[0];
    }
    return options;
}

std::string lines_usage_text() {
    return "usage: pairfit-lines [--window A B] [--shape SHAPE] [--baseline none|constant|linear]\n"
           "                     [--float D] [--widths free|fixed|sum] [--positive]\n"
           "                     [--noise A B] [--z FILE] [FOLDER]\n"
           "       pairfit-lines --help\n"
           "\n"
           "Fits every slice of FOLDER/2d.txt (default: the working directory) with the lines of\n"
           "lines.txt (one row per line: NAME PPM [HALF_WIDTH [SHAPE]]; without it, lines A and B\n"
           "of peaks.txt) on a baseline, by variable projection, and writes lines.csv,\n"
           "slices.csv and the curve files lines_dat.txt, lines_sim_K.txt, lines_baseline.txt\n"
           "and lines_res.txt there, in the spectrum's own units.\n"
           "\n"
           "  --window A B   the window to fit, ppm (default: row 2 of peaks.txt)\n"
           "  --shape S      lorentzian (default), gaussian or pseudo-voigt, for the lines\n"
           "                 whose row names no shape\n"
           "  --baseline B   none (default), constant c0, or linear c0 + c1 (x - centre)\n"
           "  --float D      every centre free within D ppm of its position (default 0: fixed)\n"
           "  --widths W     free: fitted in every slice (default); fixed: held at lines.txt's;\n"
           "                 sum: fitted once, with centres and eta, on the sum of the slices,\n"
           "                 then held, so each slice is a linear fit\n"
           "  --positive     heights >= 0 (default: either sign)\n"
           "  --noise A B    a signal-free region, ppm: errors from its noise, chi2_red and\n"
           "                 ';misfit' in the status\n"
           "  --z FILE       the x value of each slice, one number per line, for the z columns\n"
           "  --help         print this text and exit\n"
           "\n"
           "Model, with W the half width at half height and u = (x - P)/W:\n"
           "  lorentzian h/(1 + u^2), gaussian h exp(-ln2 u^2), pseudo-voigt\n"
           "  h (eta L + (1 - eta) G) of unit-height L, G; areas pi h W, h W sqrt(pi/ln2),\n"
           "  h W (eta pi + (1 - eta) sqrt(pi/ln2)).\n"
           "\n"
           "lines.csv: slice,z,line,shape,position,position_se,half_width,half_width_se,eta,\n"
           "  eta_se,height,height_se,area,area_se,status (one row per slice and line)\n"
           "slices.csv: slice,z,points,status,iterations,rss,sigma,noise,chi2_red,baseline_0,\n"
           "  baseline_0_se,baseline_1,baseline_1_se (one row per slice)\n"
           "An empty cell is a value not defined: the error of a value held, at a bound or not\n"
           "determined, eta of a pure shape, what an option did not ask for.\n";
}

int pairfit_lines_main(int argc, char** argv) {
    const std::string program = program_name(argc, argv);
    return run_guarded(program, lines_usage_text(), [&] {
        const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
        const LinesOptions options = parse_lines_options(args);
        if (options.help) {
            std::cout << lines_usage_text();
            return exit_success;
        }
        return run_lines(options);
    });
}

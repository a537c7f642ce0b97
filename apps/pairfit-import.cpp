// pairfit-import: spectrometer data (Bruker TopSpin processed data, JCAMP-DX 1D spectra,
// NMRPipe pseudo-2D and 1D files) into the 2d.txt the fitting programs read, and z.txt where
// the data or a named list carry x values.
#include "Failure.h"
#include "Program.h"
#include "ReadImport.h"
#include "ReadNumbers.h"
#include "ResultFile.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const usage =
    "usage: pairfit-import [-o DIR] [--window A B] [--lines N] [--list NAME | --x-list FILE]\n"
    "                      INPUT...\n"
    "  INPUT  a Bruker processing folder (EXPNO/pdata/PROCNO) holding a pseudo-2D 2rr,\n"
    "         or several holding 1r, or JCAMP-DX 1D spectra (.dx, .jdx), one slice each,\n"
    "         or NMRPipe files: a pseudo-2D (one slice per row) or 1D spectra, given one by\n"
    "         one or as a template such as ft/test%03d.ft1 (numbered from 1)\n"
    "  -o DIR         write 2d.txt (and z.txt) into DIR instead of the working directory\n"
    "  --window A B   keep only the points strictly between A and B ppm\n"
    "  --lines N      also write lines.txt for pairfit-lines: the N tallest lines (L1..LN)\n"
    "                 with their positions and half-widths; a lines.txt not written by\n"
    "                 pairfit-import is kept\n"
    "  --list NAME    the x list of a pseudo-2D: vdlist, vclist, vplist, vtlist or none\n"
    "                 (default: the first of them present)\n"
    "  --x-list FILE  the x value of every slice from FILE, one per line (as a vdlist), for\n"
    "                 any input; none for no z.txt\n";

// More lines than any window holds local maxima worth fitting together.
constexpr unsigned long long max_suggested_lines = 100;

struct Options {
    std::vector<fs::path> inputs;
    fs::path output = ".";
    bool windowed = false;
    double window_a = 0.0;
    double window_b = 0.0;
    std::string x_list;        // as read_spectrometer_inputs takes it
    std::string x_list_option; // the option that set it
    std::size_t lines = 0;     // --lines N; 0: no lines.txt
    bool help = false;
};

[[noreturn]] void bad_usage(const std::string& message) {
    throw Failure(FailureKind::bad_arguments, message);
}

Options parse_options(const std::vector<std::string>& args) {
    Options options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        } else if (arg == "-o") {
            options.output = option_value(args, i, "-o needs a folder");
        } else if (arg == "--window") {
            const auto [a, b] = option_numbers(args, i, "--window needs two numbers (ppm)");
            options.window_a = a;
            options.window_b = b;
            options.windowed = true;
        } else if (arg == "--lines") {
            const std::string text = option_value(args, i, "--lines needs a number of lines");
            unsigned long long count = 0;
            if (!parse_whole_number(text, max_suggested_lines, count) || count == 0) {
                bad_usage("--lines needs a whole number of lines from 1 to " +
                          std::to_string(max_suggested_lines) + ", not " + quoted_text(text));
            }
            options.lines = count;
        } else if (arg == "--x-list") {
            if (options.x_list_option == "--list") {
                bad_usage("give one of --list and --x-list");
            }
            options.x_list_option = arg;
            const std::string file = option_value(args, i, "--x-list needs a file (or none)");
            if (file.empty()) {
                bad_usage("--x-list needs a file (or none)");
            }
            // A file named as one of a Bruker experiment's lists is still the file.
            options.x_list = file == "none" || names_x_list_file(file) ? file : "./" + file;
        } else if (arg == "--list") {
            if (options.x_list_option == "--x-list") {
                bad_usage("give one of --list and --x-list");
            }
            options.x_list_option = arg;
            options.x_list = option_value(args, i, "--list needs a name");
            if (options.x_list != "vdlist" && options.x_list != "vclist" &&
                options.x_list != "vplist" && options.x_list != "vtlist" &&
                options.x_list != "none") {
                bad_usage("--list takes vdlist, vclist, vplist, vtlist or none, not " +
                          quoted_text(options.x_list));
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            bad_usage("unknown option " + quoted_text(arg));
        } else {
            options.inputs.emplace_back(arg);
        }
    }
    if (options.inputs.empty()) {
        bad_usage("no input given");
    }
    return options;
}

// The slices cut to the window, when one is given.
std::vector<ImportedSpectrum> slices_in_window(const std::vector<ImportedSpectrum>& slices,
                                               const Options& options) {
    return options.windowed ? cut_slices_to_window(slices, options.window_a, options.window_b)
                            : slices;
}

// What was read, on standard output (warnings on standard error), with the tallest lines of
// the loudest slice as a start for peaks.txt.
void report(const ImportedSeries& series, const std::vector<ImportedSpectrum>& slices,
            const Options& options) {
    for (const std::string& note : series.notes) {
        std::cout << note << "\n";
    }
    if (options.windowed) {
        const std::vector<double>& axis = series.slices.front().ppm;
        const std::vector<double>& kept = slices.front().ppm;
        std::cout << "window (" << shortest_text(options.window_a) << ", "
                  << shortest_text(options.window_b) << ") ppm: " << kept.size() << " of "
                  << axis.size() << " points kept, " << shortest_text(kept.front()) << " to "
                  << shortest_text(kept.back()) << " ppm\n";
    }
    for (const std::string& warning : series.warnings) {
        std::cerr << "pairfit-import: warning: " << warning << "\n";
    }
    const std::string advice = pulse_program_advice(series.pulse_program);
    if (!advice.empty()) {
        std::cout << advice << "\n";
    }
    const std::size_t loudest = loudest_slice(slices);
    const std::vector<LineSuggestion> lines = tallest_lines(slices[loudest], 5);
    if (lines.empty()) {
        return;
    }
    std::cout << "tallest lines " << (options.windowed ? "inside the window" : "of the spectrum")
              << " in slice " << loudest << " (the largest |intensity|), for peaks.txt:\n";
    for (const LineSuggestion& line : lines) {
        std::string text = "  ";
        append_fixed(text, line.ppm, 4, 9);
        text += " ppm, height ";
        append_fixed(text, line.relative_height, 3, 5);
        std::cout << text << "\n";
    }
}

// The start of z.txt as written here, by which an earlier import's z.txt is known.
const std::string z_file_head = "# x of each slice, from ";

std::string z_text(const ImportedSeries& series) {
    std::string text = z_file_head + series.x_description + "\n";
    for (const double x : series.x_values) {
        text += shortest_text(x) + "\n";
    }
    return text;
}

// Whether a file in the output folder is there, and whether an import wrote it: a regular file
// that starts with the head this program gives it. Nothing else is read (a FIFO is not waited
// on).
enum class Authorship { absent, import, other };

Authorship authorship(const fs::path& path, const std::string& file_head) {
    std::string head(file_head.size(), '\0');
    struct stat status {};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Authorship::absent : Authorship::other;
    }
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const bool ours = regular &&
                      ::read(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
                      head == file_head;
    ::close(fd);
    return ours ? Authorship::import : Authorship::other;
}

// Called under the folder's lock once a 2d.txt without x values is in place: a z.txt that an
// earlier import wrote belongs to the 2d.txt just replaced and goes with it; one written by
// hand (a titration's concentrations for JCAMP-DX spectra) is the user's and stays.
void remove_earlier_z_file(const fs::path& z_path) {
    const Authorship author = authorship(z_path, z_file_head);
    if (author == Authorship::absent) {
        return;
    }
    if (author == Authorship::other) {
        std::cerr << "pairfit-import: warning: " << z_path.string()
                  << " was not written by pairfit-import and is kept; check that it belongs to "
                     "this 2d.txt\n";
    } else if (::unlink(z_path.c_str()) == 0) {
        std::cout << "removed " << z_path.string()
                  << ": it held the x values of the earlier import, not of this 2d.txt\n";
    } else {
        std::cerr << "pairfit-import: warning: " << z_path.string()
                  << " of the earlier import cannot be removed (" << std::strerror(errno)
                  << ") and does not belong to this 2d.txt\n";
    }
}

// The text of lines.txt for --lines, or "" (with a warning) when the window holds no line.
std::string suggested_lines_text(const std::vector<ImportedSpectrum>& slices,
                                 const Options& options, std::size_t& count) {
    const std::size_t loudest = loudest_slice(slices);
    const std::vector<LineSuggestion> lines = tallest_lines(slices[loudest], options.lines);
    count = lines.size();
    if (lines.empty()) {
        std::cerr << "pairfit-import: warning: --lines " << options.lines << ": slice " << loudest
                  << " holds no local maximum" << (options.windowed ? " inside the window" : "")
                  << "; no lines.txt written\n";
        return "";
    }
    if (lines.size() < options.lines) {
        std::cerr << "pairfit-import: warning: --lines " << options.lines << ": slice " << loudest
                  << " holds only " << lines.size() << " local maxima; lines.txt lists those\n";
    }
    std::string source;
    for (const fs::path& input : options.inputs) {
        source += (source.empty() ? "" : " ") + input.string();
    }
    return format_lines_suggestion(lines, loudest, source);
}

// 2d.txt, z.txt where the series has x values, and lines.txt with --lines, replaced together
// or not at all, under an exclusive lock of the output folder so that a fit reading there sees
// one import or the other. A lines.txt the user wrote is kept.
void write_outputs(const ImportedSeries& series, const std::vector<ImportedSpectrum>& slices,
                   const Options& options) {
    std::error_code error;
    fs::create_directories(options.output, error);
    std::string header = "pairfit-import";
    for (const fs::path& input : options.inputs) {
        header += " " + input.string();
    }
    for (const std::string& note : series.notes) {
        header += "\n" + note;
    }
    const fs::path series_path = options.output / "2d.txt";
    const fs::path z_path = options.output / "z.txt";
    const fs::path lines_path = options.output / "lines.txt";
    std::size_t line_count = 0;
    const std::string lines_text =
        options.lines ? suggested_lines_text(slices, options, line_count) : "";
    const FolderLock lock(options.output.string(), LockMode::exclusive);
    const mode_t mode = new_file_mode();
    ResultFile series_file(series_path.string(), mode);
    series_file.text() = format_series(slices, header);
    std::optional<ResultFile> z_file;
    std::vector<ResultFile*> files{&series_file};
    std::vector<fs::path> paths{series_path}; // of files, in its order
    if (!series.x_values.empty()) {
        z_file.emplace(z_path.string(), mode);
        z_file->text() = z_text(series);
        files.push_back(&*z_file);
        paths.push_back(z_path);
    }
    std::optional<ResultFile> lines_file;
    bool lines_kept = false;
    if (!lines_text.empty()) {
        if (authorship(lines_path, imported_lines_head) == Authorship::other) {
            lines_kept = true;
        } else {
            lines_file.emplace(lines_path.string(), mode);
            lines_file->text() = lines_text;
            files.push_back(&*lines_file);
            paths.push_back(lines_path);
        }
    }
    if (!commit_together(files)) {
        std::string message;
        std::string names;
        for (std::size_t f = 0; f < files.size(); ++f) {
            if (!files[f]->reason().empty()) {
                message += (message.empty() ? "" : "\npairfit-import: ") + paths[f].string() +
                           ": cannot be written: " + files[f]->reason();
            }
            names += (f == 0 ? "" : f + 1 == files.size() ? " and " : ", ") + paths[f].string();
        }
        throw Failure(FailureKind::unwritable_output,
                      message + (files.size() > 1
                                     ? "\npairfit-import: " + names + " keep their old content"
                                     : ""));
    }
    std::cout << "wrote " << series_path.string() << ": " << slices.size()
              << (slices.size() == 1 ? " slice of " : " slices of ") << slices.front().ppm.size()
              << " points\n";
    if (lines_file) {
        std::cout << "wrote " << lines_path.string() << ": " << line_count
                  << (line_count == 1 ? " line" : " lines") << " for pairfit-lines\n";
    } else if (lines_kept) {
        std::cerr << "pairfit-import: warning: " << lines_path.string()
                  << " was not written by pairfit-import and is kept; --lines " << options.lines
                  << " wrote no lines.txt (move the file away to have one written)\n";
    }
    if (series.x_values.empty()) {
        if (!options.x_list.empty() && options.x_list != "none") {
            std::cout << "--list " << options.x_list
                      << " applies to a pseudo-2D folder only: no z.txt written\n";
        }
        remove_earlier_z_file(z_path);
        return;
    }
    std::cout << "wrote " << z_path.string() << ": " << series.x_values.size() << " x values from "
              << series.x_description << "\n";
}

int run(const std::vector<std::string>& args) {
    const Options options = parse_options(args);
    if (options.help) {
        std::cout << usage;
        return exit_success;
    }
    const ImportedSeries series = read_spectrometer_inputs(options.inputs, options.x_list);
    const std::vector<ImportedSpectrum> slices = slices_in_window(series.slices, options);
    report(series, slices, options);
    write_outputs(series, slices, options);
    return exit_success;
}

} // namespace

int main(int argc, char** argv) {
    return run_guarded(
        "pairfit-import", usage,
        [&] { return run(std::vector<std::string>(argv + 1, argv + argc)); },
        /*name_every_message=*/true);
}

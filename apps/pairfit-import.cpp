// pairfit-import: spectrometer data (Bruker TopSpin processed data, JCAMP-DX 1D spectra)
// into the 2d.txt the fitting programs read, and z.txt where the data carry x values.
#include "CsaProgram.h"
#include "ReadImport.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const usage =
    "usage: pairfit-import [-o DIR] [--window A B] [--list NAME] INPUT...\n"
    "  INPUT  a Bruker processing folder (EXPNO/pdata/PROCNO) holding a pseudo-2D 2rr,\n"
    "         or several holding 1r, or JCAMP-DX 1D spectra (.dx, .jdx), one slice each\n"
    "  -o DIR         write 2d.txt (and z.txt) into DIR instead of the working directory\n"
    "  --window A B   keep only the points strictly between A and B ppm\n"
    "  --list NAME    the x list of a pseudo-2D: vdlist, vclist, vplist, vtlist or none\n"
    "                 (default: the first of them present)\n";

struct Options {
    std::vector<fs::path> inputs;
    fs::path output = ".";
    bool windowed = false;
    double window_a = 0.0;
    double window_b = 0.0;
    std::string x_list;
};

int usage_error(const std::string& message) {
    std::cerr << "pairfit-import: " << message << "\n" << usage;
    return exit_missing_input;
}

bool parse_number(const std::string& text, double& value) {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string shortest(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// Writes the file whole; false when it cannot be.
bool write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << usage;
            return exit_success;
        } else if (arg == "-o") {
            if (i + 1 >= args.size()) {
                return usage_error("-o needs a folder");
            }
            options.output = args[++i];
        } else if (arg == "--window") {
            if (i + 2 >= args.size() || !parse_number(args[i + 1], options.window_a) ||
                !parse_number(args[i + 2], options.window_b)) {
                return usage_error("--window needs two numbers (ppm)");
            }
            options.windowed = true;
            i += 2;
        } else if (arg == "--list") {
            if (i + 1 >= args.size()) {
                return usage_error("--list needs a name");
            }
            options.x_list = args[++i];
            if (options.x_list != "vdlist" && options.x_list != "vclist" &&
                options.x_list != "vplist" && options.x_list != "vtlist" &&
                options.x_list != "none") {
                return usage_error("--list takes vdlist, vclist, vplist, vtlist or none, not " +
                                   options.x_list);
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else {
            options.inputs.emplace_back(arg);
        }
    }
    if (options.inputs.empty()) {
        return usage_error("no input given");
    }

    ImportedSeries series;
    try {
        series = read_spectrometer_inputs(options.inputs, options.x_list);
    } catch (const ImportError& error) {
        std::cerr << "pairfit-import: " << error.what() << "\n";
        return error.status;
    }
    for (const std::string& note : series.notes) {
        std::cout << note << "\n";
    }

    std::vector<Spectrum> slices = series.slices;
    if (options.windowed) {
        for (Spectrum& slice : slices) {
            slice = cut_to_window(slice, options.window_a, options.window_b);
        }
        if (slices.front().ppm.empty()) {
            std::cerr << "pairfit-import: no point lies strictly inside the window ("
                      << shortest(options.window_a) << ", " << shortest(options.window_b)
                      << ") ppm; the axis runs from " << shortest(series.slices.front().ppm.front())
                      << " to " << shortest(series.slices.front().ppm.back()) << " ppm\n";
            return exit_missing_input;
        }
        std::cout << "window (" << shortest(options.window_a) << ", " << shortest(options.window_b)
                  << ") ppm: " << slices.front().ppm.size() << " of "
                  << series.slices.front().ppm.size() << " points kept, "
                  << shortest(slices.front().ppm.front()) << " to "
                  << shortest(slices.front().ppm.back()) << " ppm\n";
    }

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
    if (!write_text(series_path, format_series(slices, header))) {
        std::cerr << "pairfit-import: " << series_path.string() << ": cannot be written\n";
        return exit_write_failed;
    }
    std::cout << "wrote " << series_path.string() << ": " << slices.size()
              << (slices.size() == 1 ? " slice of " : " slices of ") << slices.front().ppm.size()
              << " points\n";
    const fs::path z_path = options.output / "z.txt";
    if (series.x_values.empty()) {
        if (!options.x_list.empty() && options.x_list != "none") {
            std::cout << "--list " << options.x_list
                      << " applies to a pseudo-2D folder only: no z.txt written\n";
        }
        if (fs::exists(z_path, error)) {
            std::cerr << "pairfit-import: warning: " << z_path.string()
                      << " is left from an earlier run and does not belong to this 2d.txt\n";
        }
    } else {
        std::string text = "# x of each slice, from " + series.x_description + "\n";
        for (const double x : series.x_values) {
            text += shortest(x) + "\n";
        }
        if (!write_text(z_path, text)) {
            std::cerr << "pairfit-import: " << z_path.string() << ": cannot be written\n";
            return exit_write_failed;
        }
        std::cout << "wrote " << z_path.string() << ": " << series.x_values.size()
                  << " x values from " << series.x_description << "\n";
    }
    return exit_success;
}

// Several spectrometer inputs into one series, the window and the text of 2d.txt.
#include "ReadImport.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string shortest(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// Every point of both axes within a millionth of a point spacing.
bool same_axis(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    if (a.size() < 2) {
        return a == b;
    }
    const double spacing = std::fabs(a[1] - a[0]);
    const double tolerance = 1e-6 * spacing;
    return std::fabs(a.front() - b.front()) <= tolerance &&
           std::fabs(a.back() - b.back()) <= tolerance;
}

std::string axis_text(const std::vector<double>& ppm) {
    std::ostringstream text;
    text.precision(10);
    text << ppm.size() << " points";
    if (!ppm.empty()) {
        text << " from " << ppm.front() << " to " << ppm.back() << " ppm";
    }
    if (ppm.size() > 1) {
        text << ", spacing " << ppm[0] - ppm[1];
    }
    return text.str();
}

} // namespace

ImportedSeries read_spectrometer_inputs(const std::vector<fs::path>& inputs,
                                        const std::string& x_list) {
    ImportedSeries series;
    std::string first_name;
    for (const fs::path& input : inputs) {
        ImportedSeries part;
        std::error_code error;
        if (fs::is_directory(input, error)) {
            if (fs::exists(input / "2rr")) {
                if (inputs.size() > 1) {
                    throw ImportError(1, input.string() + ": a pseudo-2D folder (2rr) is read " +
                                             "alone, not with other inputs");
                }
                return read_bruker_pseudo2d(input, x_list);
            }
            if (!fs::exists(input / "1r")) {
                const bool experiment = fs::exists(input / "pdata");
                throw ImportError(1, input.string() + ": holds no 2rr or 1r; " +
                                         (experiment ? "it is an experiment folder: give " +
                                                           (input / "pdata" / "1").string() +
                                                           " (or another processing number)"
                                                     : std::string("give a processing folder, "
                                                                   "EXPNO/pdata/PROCNO")));
            }
            part = read_bruker_1d(input);
        } else {
            std::ifstream in(input, std::ios::binary);
            if (!in) {
                throw ImportError(1, input.string() + ": no such file or folder");
            }
            part = parse_jcamp(
                std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                input.string());
        }
        if (!series.slices.empty() &&
            !same_axis(series.slices.front().ppm, part.slices.front().ppm)) {
            throw ImportError(
                2, input.string() + ": its ppm axis (" + axis_text(part.slices.front().ppm) +
                       ") differs from that of " + first_name + " (" +
                       axis_text(series.slices.front().ppm) + "); every slice must share one axis");
        }
        if (series.slices.empty()) {
            first_name = input.string();
        }
        series.slices.insert(series.slices.end(), part.slices.begin(), part.slices.end());
        series.notes.insert(series.notes.end(), part.notes.begin(), part.notes.end());
    }
    return series;
}

Spectrum cut_to_window(const Spectrum& spectrum, double limit_a, double limit_b) {
    const double lower = std::fmin(limit_a, limit_b);
    const double upper = std::fmax(limit_a, limit_b);
    Spectrum cut;
    for (std::size_t i = 0; i < spectrum.ppm.size(); ++i) {
        if (spectrum.ppm[i] > lower && spectrum.ppm[i] < upper) {
            cut.ppm.push_back(spectrum.ppm[i]);
            cut.intensity.push_back(spectrum.intensity[i]);
        }
    }
    return cut;
}

std::string format_series(const std::vector<Spectrum>& slices, const std::string& header) {
    std::string text;
    std::istringstream header_lines(header);
    std::string line;
    while (std::getline(header_lines, line)) {
        text += "# " + line + "\n";
    }
    for (std::size_t s = 0; s < slices.size(); ++s) {
        text += "# slice " + std::to_string(s) + "\n";
        for (std::size_t i = 0; i < slices[s].ppm.size(); ++i) {
            text += shortest(slices[s].ppm[i]) + " " + shortest(slices[s].intensity[i]) + "\n";
        }
        text += "&\n";
    }
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

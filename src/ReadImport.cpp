// Several spectrometer inputs into one series, the window and the text of 2d.txt.
#include "ReadImportParts.h"
#include "ReadNumbers.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void unreadable(const fs::path& path, const std::string& what, int error) {
    throw Failure(FailureKind::unreadable_input,
                  path.string() + ": " + what + ": " + std::strerror(error));
}

std::string size_text(std::uint64_t bytes) {
    if (bytes % (1 << 30) == 0) {
        return std::to_string(bytes >> 30) + " GiB";
    }
    return bytes % (1 << 20) == 0 ? std::to_string(bytes >> 20) + " MiB"
                                  : std::to_string(bytes) + " bytes";
}

// An open file descriptor, closed when it goes.
struct OpenFile {
    int fd = -1;
    ~OpenFile() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// Opens `path` for reading and refuses it unless it is a regular file; returns its size.
// O_NONBLOCK: a FIFO must be refused, not waited on.
std::uint64_t open_regular(const fs::path& path, OpenFile& file) {
    file.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) {
        unreadable(path, "cannot be opened", errno);
    }
    struct stat status {};
    if (::fstat(file.fd, &status) != 0) {
        unreadable(path, "cannot be read", errno);
    }
    if (S_ISDIR(status.st_mode)) {
        throw Failure(FailureKind::malformed_input,
                      path.string() + ": is a folder, where a file is needed");
    }
    if (!S_ISREG(status.st_mode)) {
        throw Failure(FailureKind::malformed_input,
                      path.string() + ": is not a regular file (a device, a FIFO or a socket); " +
                          "give the file itself");
    }
    return static_cast<std::uint64_t>(status.st_size);
}

// Appends up to `most` bytes; false at the end of the file.
bool read_some(const fs::path& path, const OpenFile& file, std::string& bytes, std::size_t most) {
    const std::size_t old_size = bytes.size();
    bytes.resize(old_size + most);
    ssize_t got = 0;
    do {
        got = ::read(file.fd, &bytes[old_size], most);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int error = errno;
        unreadable(path, "cannot be read", error);
    }
    bytes.resize(old_size + static_cast<std::size_t>(got));
    return got > 0;
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

[[noreturn]] void too_large(const fs::path& path, std::uint64_t limit) {
    throw Failure(FailureKind::malformed_input,
                  path.string() + ": holds more than " + size_text(limit) +
                      ", more than a file of its kind ever holds; it is not read");
}

// What lies at `path`, following links; not_found when nothing does.
fs::file_type type_of(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error && status.type() != fs::file_type::not_found) {
        unreadable(path, "cannot be read", error.value());
    }
    return status.type();
}

} // namespace

bool input_exists(const fs::path& path) {
    return type_of(path) != fs::file_type::not_found;
}

std::string read_bounded_file(const fs::path& path, std::uint64_t limit) {
    OpenFile file;
    const std::uint64_t size = open_regular(path, file);
    if (size > limit) {
        too_large(path, limit);
    }
    // A file may grow, or claim size 0 and hold more (as files under /proc do): read at
    // most one byte past the limit.
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    constexpr std::size_t piece = std::size_t(1) << 20;
    while (read_some(
        path, file, bytes,
        static_cast<std::size_t>(std::min<std::uint64_t>(piece, limit + 1 - bytes.size())))) {
        if (bytes.size() > limit) {
            too_large(path, limit);
        }
    }
    return bytes;
}

std::string read_exact_file(const fs::path& path, std::uint64_t size, const std::string& what) {
    OpenFile file;
    const std::uint64_t found = open_regular(path, file);
    if (found != size) {
        throw Failure(FailureKind::malformed_input, path.string() + ": holds " +
                                                        std::to_string(found) +
                                                        " bytes, the parameters call for " + what +
                                                        " (" + std::to_string(size) + " bytes)");
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(size));
    while (bytes.size() < size &&
           read_some(path, file, bytes, static_cast<std::size_t>(size - bytes.size()))) {
    }
    if (bytes.size() != size) {
        throw Failure(FailureKind::malformed_input,
                      path.string() + ": ended after " + std::to_string(bytes.size()) +
                          " bytes of " + std::to_string(size) + " while it was read");
    }
    return bytes;
}

std::string read_file_head(const fs::path& path, std::size_t count) {
    OpenFile file;
    open_regular(path, file);
    std::string bytes;
    while (bytes.size() < count && read_some(path, file, bytes, count - bytes.size())) {
    }
    return bytes;
}

bool names_x_list_file(const std::string& x_list) {
    return !x_list.empty() && x_list != "none" && x_list != "vdlist" && x_list != "vclist" &&
           x_list != "vplist" && x_list != "vtlist";
}

std::string x_list_kind(const fs::path& file) {
    const std::string name = file.filename().string();
    for (const char* kind : {"vdlist", "vclist", "vplist", "vtlist"}) {
        if (name.rfind(kind, 0) == 0) {
            return kind;
        }
    }
    return "list";
}

void read_x_list_file(ImportedSeries& series, const fs::path& list_path) {
    if (!input_exists(list_path)) {
        throw Failure(FailureKind::unreadable_input,
                      list_path.string() + ": no such file (the x list asked for)");
    }
    const std::string kind = x_list_kind(list_path);
    const XList list =
        parse_x_list(read_bounded_file(list_path, max_parameter_bytes), kind, list_path.string());
    series.notes.push_back(assign_x_values(series, list, list_path.string(), list_path.string(),
                                           series.slices.size(), false));
}

namespace {

// The series of one file: NMRPipe when its header says so (and then `nmrpipe` is set),
// JCAMP-DX when it holds the labels (##) of one, else refused as neither.
ImportedSeries read_spectrum_file(const fs::path& input, bool& nmrpipe) {
    const std::string head = read_file_head(input, nmrpipe_header_bytes);
    if (is_nmrpipe_header(head)) {
        nmrpipe = true;
        return read_nmrpipe(input);
    }
    if (head.find("##") == std::string::npos) {
        try {
            parse_nmrpipe_header(head, input.string());
        } catch (const Failure& failure) {
            throw Failure(FailureKind::malformed_input,
                          failure.what() + std::string("; nor a JCAMP-DX file: no label (##) in ") +
                              "its first " + std::to_string(nmrpipe_header_bytes) + " bytes");
        }
    }
    return parse_jcamp(read_bounded_file(input, max_jcamp_bytes), input.string());
}

// An input as read: a path as given, or one of the files a template numbers, which must be
// files.
struct InputFile {
    fs::path path;
    bool from_template = false;
};

} // namespace

ImportedSeries read_spectrometer_inputs(const std::vector<fs::path>& inputs,
                                        const std::string& x_list) {
    std::vector<InputFile> files;
    std::vector<std::string> template_notes;
    for (const fs::path& input : inputs) {
        if (type_of(input) != fs::file_type::not_found) {
            files.push_back({input, false});
            continue;
        }
        const std::vector<fs::path> numbered = template_files(input.string());
        if (numbered.empty()) {
            throw Failure(FailureKind::unreadable_input,
                          input.string() + ": no such file or folder");
        }
        for (const fs::path& file : numbered) {
            files.push_back({file, true});
        }
        template_notes.push_back("template " + input.string() + ": " +
                                 std::to_string(numbered.size()) + " files, " +
                                 numbered.front().string() + " to " + numbered.back().string() +
                                 " (the next number names no file)");
    }

    ImportedSeries series = {};
    series.notes = template_notes;
    std::string first_name;
    bool nmrpipe = false;
    for (const InputFile& file : files) {
        const fs::path& input = file.path;
        ImportedSeries part;
        if (!file.from_template && type_of(input) == fs::file_type::directory) {
            if (input_exists(input / "2rr")) {
                if (files.size() > 1) {
                    throw Failure(FailureKind::unreadable_input,
                                  input.string() + ": a pseudo-2D folder (2rr) is read alone, " +
                                      "not with other inputs");
                }
                return read_bruker_pseudo2d(input, x_list);
            }
            if (!input_exists(input / "1r")) {
                const bool experiment = input_exists(input / "pdata");
                throw Failure(FailureKind::unreadable_input,
                              input.string() + ": holds no 2rr or 1r; " +
                                  (experiment ? "it is an experiment folder: give " +
                                                    (input / "pdata" / "1").string() +
                                                    " (or another processing number)"
                                              : std::string("give a processing folder, "
                                                            "EXPNO/pdata/PROCNO")));
            }
            part = read_bruker_1d(input);
        } else {
            part = read_spectrum_file(input, nmrpipe);
        }
        if (!series.slices.empty() &&
            !same_axis(series.slices.front().ppm, part.slices.front().ppm)) {
            throw Failure(FailureKind::malformed_input,
                          input.string() + ": its ppm axis (" + axis_text(part.slices.front().ppm) +
                              ") differs from that of " + first_name + " (" +
                              axis_text(series.slices.front().ppm) +
                              "); every slice must share one axis");
        }
        if (series.slices.empty()) {
            first_name = input.string();
        }
        series.slices.insert(series.slices.end(), part.slices.begin(), part.slices.end());
        series.notes.insert(series.notes.end(), part.notes.begin(), part.notes.end());
        series.warnings.insert(series.warnings.end(), part.warnings.begin(), part.warnings.end());
    }
    if (names_x_list_file(x_list)) {
        read_x_list_file(series, x_list);
    } else if (nmrpipe && x_list.empty()) {
        series.notes.push_back("no x values: NMRPipe files carry none (--x-list FILE gives them)");
    }
    return series;
}

std::string pulse_program_advice(const std::string& pulse_program) {
    if (pulse_program.rfind("t1ir", 0) == 0) {
        return "pulse program " + pulse_program + ": an inversion-recovery series, its lines " +
               "inverted at short delays: fit it with pairfit4 --signed";
    }
    return "";
}

std::size_t loudest_slice(const std::vector<ImportedSpectrum>& slices) {
    std::size_t loudest = 0;
    double largest = -1.0;
    for (std::size_t s = 0; s < slices.size(); ++s) {
        for (const double y : slices[s].intensity) {
            if (std::fabs(y) > largest) {
                largest = std::fabs(y);
                loudest = s;
            }
        }
    }
    return loudest;
}

namespace {

// Where the line at `peak` falls to half its height on one side (step -1 or +1), as a distance
// in ppm from the peak, interpolated between the two points around the crossing; empty when a
// rise (the flank of a neighbour) or the end of the spectrum comes first.
std::optional<double> half_height_distance(const ImportedSpectrum& spectrum, std::size_t peak,
                                           double direction, int step) {
    const std::vector<double>& y = spectrum.intensity;
    const double half = direction * y[peak] / 2;
    double previous = direction * y[peak];
    for (std::size_t j = peak + step; j < y.size(); j += step) {
        const double here = direction * y[j];
        if (here > previous) {
            return std::nullopt;
        }
        if (here <= half) {
            const std::size_t before = j - step;
            const double t = (previous - half) / (previous - here);
            const double x = spectrum.ppm[before] + t * (spectrum.ppm[j] - spectrum.ppm[before]);
            return std::fabs(x - spectrum.ppm[peak]);
        }
        previous = here;
    }
    return std::nullopt;
}

std::optional<double> half_height_width(const ImportedSpectrum& spectrum, std::size_t peak,
                                        double direction) {
    const std::optional<double> left = half_height_distance(spectrum, peak, direction, -1);
    const std::optional<double> right = half_height_distance(spectrum, peak, direction, 1);
    if (left && right) {
        return (*left + *right) / 2;
    }
    return left ? left : right;
}

} // namespace

std::vector<LineSuggestion> tallest_lines(const ImportedSpectrum& spectrum, std::size_t count) {
    const std::vector<double>& y = spectrum.intensity;
    double direction = 1.0;
    double largest = -1.0;
    for (const double value : y) {
        if (std::fabs(value) > largest) {
            largest = std::fabs(value);
            direction = value < 0 ? -1.0 : 1.0;
        }
    }
    std::vector<std::size_t> maxima;
    for (std::size_t i = 1; i + 1 < y.size(); ++i) {
        const double here = direction * y[i];
        if (here > 0 && here > direction * y[i - 1] && here >= direction * y[i + 1]) {
            maxima.push_back(i);
        }
    }
    std::stable_sort(maxima.begin(), maxima.end(), [&](std::size_t a, std::size_t b) {
        return direction * y[a] > direction * y[b];
    });
    maxima.resize(std::min(maxima.size(), count));
    std::vector<LineSuggestion> lines;
    for (const std::size_t i : maxima) {
        lines.push_back(
            {spectrum.ppm[i], y[i] / y[maxima.front()], half_height_width(spectrum, i, direction)});
    }
    return lines;
}

const char* const imported_lines_head = "# lines suggested by pairfit-import";

std::string format_lines_suggestion(const std::vector<LineSuggestion>& lines, std::size_t slice,
                                    const std::string& source) {
    std::string text = std::string(imported_lines_head) + " from slice " + std::to_string(slice) +
                       " (the largest |intensity|) of " + source + "\n" +
                       "# NAME PPM HALF_WIDTH (ppm, measured at half height; - for none); "
                       "edit freely, then delete the first line to keep the file\n";
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const LineSuggestion& line = lines[k];
        std::string row = "L" + std::to_string(k + 1) + " " + shortest_text(line.ppm) + " ";
        if (line.half_width) {
            char width[32];
            std::snprintf(width, sizeof width, "%.4g", *line.half_width);
            row += width;
        } else {
            row += "-";
        }
        row += "  # height ";
        append_fixed(row, line.relative_height, 3, 0);
        text += row + "\n";
    }
    return text;
}

ImportedSpectrum cut_to_window(const ImportedSpectrum& spectrum, double limit_a, double limit_b) {
    const double lower = std::fmin(limit_a, limit_b);
    const double upper = std::fmax(limit_a, limit_b);
    ImportedSpectrum cut;
    for (std::size_t i = 0; i < spectrum.ppm.size(); ++i) {
        if (spectrum.ppm[i] > lower && spectrum.ppm[i] < upper) {
            cut.ppm.push_back(spectrum.ppm[i]);
            cut.intensity.push_back(spectrum.intensity[i]);
        }
    }
    return cut;
}

std::string format_series(const std::vector<ImportedSpectrum>& slices, const std::string& header) {
    std::string text;
    std::istringstream header_lines(header);
    std::string line;
    while (std::getline(header_lines, line)) {
        text += "# " + line + "\n";
    }
    for (std::size_t s = 0; s < slices.size(); ++s) {
        text += "# slice " + std::to_string(s) + "\n";
        for (std::size_t i = 0; i < slices[s].ppm.size(); ++i) {
            text += shortest_text(slices[s].ppm[i]) + " " + shortest_text(slices[s].intensity[i]) +
                    "\n";
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

std::vector<ImportedSpectrum> cut_slices_to_window(const std::vector<ImportedSpectrum>& slices,
                                                   double limit_a, double limit_b) {
    std::vector<ImportedSpectrum> cut;
    for (const ImportedSpectrum& slice : slices) {
        cut.push_back(cut_to_window(slice, limit_a, limit_b));
    }
    if (!cut.empty() && cut.front().ppm.empty()) {
        const std::vector<double>& axis = slices.front().ppm;
        throw Failure(FailureKind::unreadable_input,
                      "no point lies strictly inside the window (" + shortest_text(limit_a) + ", " +
                          shortest_text(limit_b) + ") ppm; the axis runs from " +
                          (axis.empty() ? std::string("nowhere")
                                        : shortest_text(axis.front()) + " to " +
                                              shortest_text(axis.back()) + " ppm"));
    }
    return cut;
}

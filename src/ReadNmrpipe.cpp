// NMRPipe files: the 2048-byte header of float32 words, the float32 rows of a pseudo-2D or a 1D
// spectrum, and the printf-style templates that name a series of 1D files.
#include "ReadImportParts.h"
#include "ReadNumbers.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// The header words read, by their index (counted from 0) and name.
struct HeaderWord {
    std::size_t index;
    const char* name;
};
constexpr HeaderWord fdfltorder{2, "FDFLTORDER"};
constexpr HeaderWord fddimcount{9, "FDDIMCOUNT"};
constexpr HeaderWord fddimorder1{24, "FDDIMORDER1"};
constexpr HeaderWord fdf1quadflag{55, "FDF1QUADFLAG"};
constexpr HeaderWord fdf2quadflag{56, "FDF2QUADFLAG"};
constexpr HeaderWord fdsize{99, "FDSIZE"};
constexpr HeaderWord fdf2sw{100, "FDF2SW"};
constexpr HeaderWord fdf2orig{101, "FDF2ORIG"};
constexpr HeaderWord fdquadflag{106, "FDQUADFLAG"};
constexpr HeaderWord fdf2obs{119, "FDF2OBS"};
constexpr HeaderWord fdspecnum{219, "FDSPECNUM"};
constexpr HeaderWord fdf2ftflag{220, "FDF2FTFLAG"};
constexpr HeaderWord fdtransposed{221, "FDTRANSPOSED"};
constexpr HeaderWord fdf1ftflag{222, "FDF1FTFLAG"};
constexpr HeaderWord fdfilecount{442, "FDFILECOUNT"};

// The byte-order mark of word 2, as float32.
constexpr float byte_order_mark = 2.345f;
// More points in a row, or rows, than any spectrum holds; keeps every size product in 64 bits.
constexpr double max_count = double(1 << 28);

[[noreturn]] void malformed(const std::string& message) {
    throw Failure(FailureKind::malformed_input, message);
}

std::string shown(double value) {
    std::ostringstream text;
    text.precision(10);
    text << value;
    return text.str();
}

// The float32 at word `index` of `bytes`, in the given byte order.
float float_word(std::string_view bytes, std::size_t index, bool big_endian) {
    std::uint32_t word = 0;
    for (std::size_t b = 0; b < 4; ++b) {
        const std::size_t shift = big_endian ? 3 - b : b;
        word |= std::uint32_t(static_cast<unsigned char>(bytes[4 * index + b])) << (8 * shift);
    }
    float value = 0.0f;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

// Reads the header's words in its byte order and refuses them naming the file and the word.
struct HeaderReader {
    std::string_view head;
    bool big_endian;
    const std::string& file_name;

    double value(const HeaderWord& word) const { return float_word(head, word.index, big_endian); }

    std::string where(const HeaderWord& word) const {
        return file_name + ": " + word.name + " (header word " + std::to_string(word.index) + ")";
    }

    // A whole number from `least` to `most`.
    std::size_t count(const HeaderWord& word, double least, double most,
                      const std::string& meaning) const {
        const double found = value(word);
        if (!(found >= least && found <= most) || found != std::floor(found)) {
            malformed(where(word) + ", " + meaning + ", must be a whole number from " +
                      shown(least) + " to " + shown(most) + ", found " + shown(found));
        }
        return static_cast<std::size_t>(found);
    }

    // A flag: 0 or 1.
    bool flag(const HeaderWord& word, const std::string& meaning) const {
        const double found = value(word);
        if (found != 0 && found != 1) {
            malformed(where(word) + " must be 0 or 1 (" + meaning + "), found " + shown(found));
        }
        return found == 1;
    }

    double positive(const HeaderWord& word, const std::string& meaning) const {
        const double found = value(word);
        if (!(found > 0) || !std::isfinite(found)) {
            malformed(where(word) + ", " + meaning + ", must be above 0, found " + shown(found));
        }
        return found;
    }
};

std::string order_text(bool big_endian) {
    return big_endian ? "big endian" : "little endian";
}

std::string axis_note(const std::vector<double>& ppm, const NmrpipeHeader& header) {
    return std::to_string(ppm.size()) + " points (FDSIZE) from " + shown(ppm.front()) + " to " +
           shown(ppm.back()) + " ppm (FDF2SW " + shown(header.sweep_width) + " Hz, FDF2ORIG " +
           shown(header.origin) + " Hz, FDF2OBS " + shown(header.observe) + " MHz)";
}

std::string complex_note(const NmrpipeHeader& header) {
    return header.complex ? "the direct dimension is complex (FDF2QUADFLAG 0): the real half of "
                            "each row is read, the imaginary half left out"
                          : "";
}

// The name of the template for `number`, or nothing when `pattern` holds not exactly one
// conversion of a whole number (%d, %i or %u, with an optional 0 flag and width).
std::optional<std::string> template_name(const std::string& pattern, unsigned long number) {
    std::string name;
    int conversions = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            name += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            name += '%';
            ++i;
            continue;
        }
        std::size_t at = i + 1;
        const bool zeros = at < pattern.size() && pattern[at] == '0';
        at += zeros ? 1 : 0;
        std::size_t width = 0;
        for (int digits = 0;
             at < pattern.size() && pattern[at] >= '0' && pattern[at] <= '9' && digits < 2;
             ++digits, ++at) {
            width = width * 10 + std::size_t(pattern[at] - '0');
        }
        if (at >= pattern.size() ||
            (pattern[at] != 'd' && pattern[at] != 'i' && pattern[at] != 'u')) {
            return std::nullopt;
        }
        const std::string digits = std::to_string(number);
        if (digits.size() < width) {
            name += std::string(width - digits.size(), zeros ? '0' : ' ');
        }
        name += digits;
        ++conversions;
        i = at;
    }
    if (conversions != 1) {
        return std::nullopt;
    }
    return name;
}

} // namespace

bool is_nmrpipe_header(std::string_view head) {
    if (head.size() < 4 * (fdfltorder.index + 1)) {
        return false;
    }
    return float_word(head, fdfltorder.index, false) == byte_order_mark ||
           float_word(head, fdfltorder.index, true) == byte_order_mark;
}

NmrpipeHeader parse_nmrpipe_header(std::string_view head, const std::string& file_name) {
    if (!is_nmrpipe_header(head)) {
        if (head.size() < 4 * (fdfltorder.index + 1)) {
            malformed(file_name + ": not an NMRPipe file: it holds " + std::to_string(head.size()) +
                      " bytes, less than the " + std::to_string(nmrpipe_header_bytes) +
                      " of the header");
        }
        malformed(file_name + ": not an NMRPipe file: FDFLTORDER (header word 2) reads " +
                  shown(float_word(head, fdfltorder.index, false)) + " as little endian and " +
                  shown(float_word(head, fdfltorder.index, true)) +
                  " as big endian, where an NMRPipe file holds 2.345");
    }
    if (head.size() < nmrpipe_header_bytes) {
        malformed(file_name + ": holds " + std::to_string(head.size()) + " bytes, less than the " +
                  std::to_string(nmrpipe_header_bytes) + " of an NMRPipe header");
    }
    NmrpipeHeader header;
    header.big_endian = float_word(head, fdfltorder.index, false) != byte_order_mark;
    const HeaderReader words{head, header.big_endian, file_name};

    const std::size_t dimensions = words.count(fddimcount, 1, 4, "the number of dimensions");
    if (dimensions > 2) {
        malformed(words.where(fddimcount) + " is " + std::to_string(dimensions) + ": a " +
                  std::to_string(dimensions) +
                  "D spectrum; only 1D spectra and 2D files (a series of 1D rows) are read");
    }
    header.dimensions = static_cast<int>(dimensions);
    const double files = words.value(fdfilecount);
    if (files != 0 && files != 1) {
        malformed(words.where(fdfilecount) + " is " + shown(files) +
                  ": one plane of a series of files (a 3D or 4D spectrum); only a single "
                  "1D or 2D file is read");
    }
    if (words.flag(fdtransposed, "1 when transposed")) {
        malformed(words.where(fdtransposed) +
                  " is 1: the file is transposed, its rows run along the indirect dimension; "
                  "transpose it back so that each row is one spectrum");
    }
    const double order = words.value(fddimorder1);
    if (order != 2) {
        malformed(words.where(fddimorder1) + " is " + shown(order) +
                  ": the rows do not run along F2, the direct dimension (2); it is not read");
    }
    if (!words.flag(fdf2ftflag, "1 when the direct dimension is a spectrum")) {
        malformed(words.where(fdf2ftflag) +
                  " is 0: the direct dimension holds time-domain data (an FID), not a "
                  "spectrum; Fourier transform it first");
    }
    header.complex = !words.flag(fdf2quadflag, "1 for real data, 0 for complex");
    if (header.dimensions == 2) {
        header.indirect_spectrum = words.flag(fdf1ftflag, "1 when F1 is a spectrum");
        if (!words.flag(fdf1quadflag, "1 for real data, 0 for complex")) {
            malformed(words.where(fdf1quadflag) +
                      " is 0: F1 is complex, so its rows are not one spectrum each; only a "
                      "real F1 is read");
        }
    }
    // With F1 real, the whole file is real exactly when F2 is. Where FDQUADFLAG says otherwise,
    // the layout of each row is FDF2QUADFLAG's, and the size check holds it to the file.
    header.whole_file_quad_flag = words.value(fdquadflag);
    header.points = words.count(fdsize, 1, max_count, "the points of a row");
    header.rows = header.dimensions == 1 ? words.count(fdspecnum, 1, 1, "the rows of a 1D file")
                                         : words.count(fdspecnum, 1, max_count, "the rows");
    header.sweep_width = words.positive(fdf2sw, "the spectral width in Hz");
    header.observe = words.positive(fdf2obs, "the observe frequency in MHz");
    header.origin = words.value(fdf2orig);
    if (!std::isfinite(header.origin)) {
        malformed(words.where(fdf2orig) + ", the origin in Hz, must be a finite number, found " +
                  shown(header.origin));
    }
    const std::uint64_t bytes = nmrpipe_file_bytes(header);
    if (bytes > max_nmrpipe_bytes) {
        malformed(file_name + ": its header calls for " + std::to_string(bytes) + " bytes (" +
                  std::to_string(header.rows) + " rows of " + std::to_string(header.points) +
                  (header.complex ? " complex" : "") +
                  " points), more than the 1 GiB read; it is not read");
    }
    return header;
}

std::uint64_t nmrpipe_file_bytes(const NmrpipeHeader& header) {
    const std::uint64_t values_per_row = std::uint64_t(header.points) * (header.complex ? 2 : 1);
    return nmrpipe_header_bytes + 4 * values_per_row * header.rows;
}

std::vector<double> nmrpipe_ppm_axis(const NmrpipeHeader& header, const std::string& file_name) {
    const auto n = static_cast<double>(header.points);
    std::vector<double> ppm(header.points);
    for (std::size_t i = 0; i < header.points; ++i) {
        ppm[i] = (header.origin + header.sweep_width -
                  static_cast<double>(i + 1) * header.sweep_width / n) /
                 header.observe;
        if (!std::isfinite(ppm[i]) || (i > 0 && !(ppm[i] < ppm[i - 1]))) {
            malformed(file_name + ": FDF2SW " + shown(header.sweep_width) + " Hz over " +
                      std::to_string(header.points) + " points from FDF2ORIG " +
                      shown(header.origin) + " Hz at FDF2OBS " + shown(header.observe) +
                      " MHz give no descending, finite ppm axis (point " + std::to_string(i + 1) +
                      ")");
        }
    }
    return ppm;
}

ImportedSeries parse_nmrpipe(std::string_view bytes, const std::string& file_name) {
    const NmrpipeHeader header =
        parse_nmrpipe_header(bytes.substr(0, nmrpipe_header_bytes), file_name);
    const std::uint64_t expected = nmrpipe_file_bytes(header);
    if (bytes.size() != expected) {
        malformed(file_name + ": holds " + std::to_string(bytes.size()) +
                  " bytes, its header calls for " + std::to_string(expected) + " (" +
                  std::to_string(header.rows) + " rows of " + std::to_string(header.points) +
                  (header.complex ? " complex" : "") + " float32 points after the " +
                  std::to_string(nmrpipe_header_bytes) + "-byte header)");
    }
    const std::vector<double> ppm = nmrpipe_ppm_axis(header, file_name);
    const std::size_t row_values = header.points * (header.complex ? 2 : 1);
    const std::string_view data = bytes.substr(nmrpipe_header_bytes);

    ImportedSeries series;
    series.slices.reserve(header.rows);
    for (std::size_t r = 0; r < header.rows; ++r) {
        ImportedSpectrum slice;
        slice.ppm = ppm;
        slice.intensity.resize(header.points);
        for (std::size_t i = 0; i < header.points; ++i) {
            const double value = float_word(data, r * row_values + i, header.big_endian);
            if (!std::isfinite(value)) {
                malformed(file_name + ": row " + std::to_string(r + 1) + ", point " +
                          std::to_string(i + 1) + " is not a finite number (" + shown(value) + ")");
            }
            slice.intensity[i] = value;
        }
        series.slices.push_back(std::move(slice));
    }

    std::string flag_note;
    if (header.whole_file_quad_flag != (header.complex ? 0 : 1)) {
        flag_note =
            (file_name + ": FDQUADFLAG (header word 106) is " + shown(header.whole_file_quad_flag) +
             ", where FDF2QUADFLAG says the rows are " + (header.complex ? "complex" : "real") +
             "; they are read as FDF2QUADFLAG says, which the size of the file bears out");
    }
    const std::string storage = "float32, " + order_text(header.big_endian) + " (FDFLTORDER)";
    if (header.dimensions == 1) {
        std::string note = "NMRPipe 1D " + file_name +
                           " (FDDIMCOUNT 1): " + axis_note(ppm, header) + ", " + storage;
        if (header.complex) {
            note += "; " + complex_note(header);
        }
        series.notes.push_back(note);
        if (!flag_note.empty()) {
            series.notes.push_back(flag_note);
        }
        return series;
    }
    series.notes.push_back(
        "NMRPipe " + std::string(header.indirect_spectrum ? "2D " : "pseudo-2D ") + file_name +
        " (FDDIMCOUNT 2): " + std::to_string(header.rows) + " rows (FDSPECNUM), F1 " +
        (header.indirect_spectrum ? "a spectrum (FDF1FTFLAG 1)"
                                  : "not transformed (FDF1FTFLAG 0)"));
    series.notes.push_back("F2 axis: " + axis_note(ppm, header));
    series.notes.push_back("stored as " + storage);
    if (header.complex) {
        series.notes.push_back(complex_note(header));
    }
    if (!flag_note.empty()) {
        series.notes.push_back(flag_note);
    }
    if (header.indirect_spectrum) {
        series.warnings.push_back(
            file_name +
            ": F1 is a spectrum too (FDF1FTFLAG 1), so this is a true 2D, not a series of 1D "
            "spectra; its rows are imported as slices all the same");
    }
    return series;
}

ImportedSeries read_nmrpipe(const fs::path& file) {
    const std::string name = file.string();
    const NmrpipeHeader header =
        parse_nmrpipe_header(read_file_head(file, nmrpipe_header_bytes), name);
    const std::string bytes = read_exact_file(
        file, nmrpipe_file_bytes(header),
        "a 2048-byte header and " + std::to_string(header.rows) + " rows of " +
            std::to_string(header.points) + (header.complex ? " complex" : "") + " float32 points");
    return parse_nmrpipe(bytes, name);
}

std::vector<fs::path> template_files(const std::string& input) {
    std::vector<fs::path> files;
    const std::optional<std::string> first = template_name(input, 1);
    if (!first) {
        return files;
    }
    if (!input_exists(*first)) {
        throw Failure(FailureKind::unreadable_input,
                      input + ": no such file, and as a template its first file " +
                          quoted_text(*first) + " does not exist either");
    }
    for (unsigned long number = 1;; ++number) {
        const std::string name = *template_name(input, number);
        if (!input_exists(name)) {
            break;
        }
        files.emplace_back(name);
    }
    return files;
}

// JCAMP-DX 1D NMR spectra: labelled data records, blocks of LINK files, NTUPLES pages and
// the ASDF compression of the data lines.
#include "ReadImportParts.h"
#include "ReadNumbers.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace {

[[noreturn]] void malformed(const std::string& message) {
    throw Failure(FailureKind::malformed_input, message);
}

// One labelled data record (##LABEL= value) and the lines that follow it up to the next.
struct Record {
    std::string label; // upper case, without blanks, '-', '/' and '_', as labels compare
    std::string value; // without a "$$" comment, trimmed
    int line = 0;
    std::vector<std::pair<int, std::string>> data_lines;
};

// The records from one ##TITLE to the next ##TITLE or ##END.
using Block = std::vector<Record>;

// Far beyond any 1D spectrum; bounds what a header or a repeat count can make us hold.
constexpr std::size_t max_points = 10000000;

std::string without_comment(const std::string& text) {
    return trimmed(text.substr(0, text.find("$$")));
}

std::string compared(const std::string& text) {
    std::string result;
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '-' && c != '/' && c != '_' && c != '\r') {
            result += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return result;
}

std::vector<Block> parse_blocks(const std::string& text) {
    std::vector<Block> blocks;
    Block current;
    bool open = false;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (line.rfind("##", 0) == 0) {
            Record record;
            const auto equals = line.find('=');
            record.label = compared(
                line.substr(2, equals == std::string::npos ? std::string::npos : equals - 2));
            record.value =
                equals == std::string::npos ? "" : without_comment(line.substr(equals + 1));
            record.line = number;
            if (record.label == "TITLE" || record.label == "END") {
                if (open && !current.empty()) {
                    blocks.push_back(current);
                }
                current.clear();
                open = record.label == "TITLE";
            }
            if (open) {
                current.push_back(record);
            }
        } else if (open && !current.empty() && line.rfind("$$", 0) != 0) {
            const std::string data = without_comment(line);
            if (!data.empty()) {
                current.back().data_lines.emplace_back(number, data);
            }
        }
    }
    if (open && !current.empty()) {
        blocks.push_back(current);
    }
    return blocks;
}

const Record* find(const Block& block, const std::string& label) {
    for (const Record& record : block) {
        if (record.label == label) {
            return &record;
        }
    }
    return nullptr;
}

double number_in(const std::string& text, const std::string& what, const std::string& file_name) {
    double value = 0.0;
    if (!parse_number(trimmed(text), value)) {
        malformed(file_name + ": " + what + " must be a number, found " + quoted_text(text));
    }
    return value;
}

double required_number(const Block& block, const std::string& label, const std::string& shown_label,
                       const std::string& file_name) {
    const Record* record = find(block, label);
    if (record == nullptr) {
        malformed(file_name + ": no ##" + shown_label + "= in the spectrum's block");
    }
    return number_in(record->value, "line " + std::to_string(record->line) + ": ##" + shown_label,
                     file_name);
}

double optional_number(const Block& block, const std::string& label, const std::string& shown_label,
                       double otherwise, const std::string& file_name) {
    return find(block, label) == nullptr ? otherwise
                                         : required_number(block, label, shown_label, file_name);
}

std::vector<std::string> list_of(const std::string& value) {
    std::vector<std::string> items;
    std::istringstream fields(value);
    std::string item;
    while (std::getline(fields, item, ',')) {
        items.push_back(trimmed(item));
    }
    return items;
}

std::string shown(double value) {
    std::ostringstream text;
    text.precision(10);
    text << value;
    return text.str();
}

// What the spectrum's block says about its axis and data, whichever shape it has.
struct Layout {
    double first_x = 0.0;
    double last_x = 0.0;
    double x_factor = 1.0;
    double y_factor = 1.0;
    std::size_t points = 0;
    std::string x_units;
    const std::vector<std::pair<int, std::string>>* data_lines = nullptr;
    std::string shape;
};

Layout xydata_layout(const Block& block, const Record& xydata, const std::string& file_name) {
    if (compared(xydata.value) != "(X++(Y..Y))") {
        malformed(file_name + ":" + std::to_string(xydata.line) +
                  ": ##XYDATA= " + quoted_text(xydata.value) + " is not read; only (X++(Y..Y)) is");
    }
    Layout layout;
    layout.first_x = required_number(block, "FIRSTX", "FIRSTX", file_name);
    layout.last_x = required_number(block, "LASTX", "LASTX", file_name);
    layout.x_factor = optional_number(block, "XFACTOR", "XFACTOR", 1.0, file_name);
    layout.y_factor = optional_number(block, "YFACTOR", "YFACTOR", 1.0, file_name);
    const double points = required_number(block, "NPOINTS", "NPOINTS", file_name);
    if (points < 1 || points > double(max_points) || points != std::floor(points)) {
        malformed(file_name + ": ##NPOINTS= must be a positive whole number");
    }
    layout.points = static_cast<std::size_t>(points);
    const Record* units = find(block, "XUNITS");
    if (units == nullptr) {
        malformed(file_name + ": no ##XUNITS= in the spectrum's block");
    }
    layout.x_units = compared(units->value);
    layout.data_lines = &xydata.data_lines;
    layout.shape = "XYDATA (X++(Y..Y))";
    return layout;
}

Layout ntuples_layout(const Block& block, const std::string& file_name) {
    const auto column = [&](const std::string& label) {
        const Record* record = find(block, label);
        if (record == nullptr) {
            malformed(file_name + ": NTUPLES without ##" + label + "=");
        }
        return list_of(record->value);
    };
    const std::vector<std::string> symbols = column("SYMBOL");
    const auto index_of = [&](const std::string& symbol) {
        for (std::size_t i = 0; i < symbols.size(); ++i) {
            if (compared(symbols[i]) == symbol) {
                return i;
            }
        }
        malformed(file_name + ": NTUPLES ##SYMBOL= has no column " + symbol +
                  "; only a real spectrum (X, R, I) is read");
    };
    const std::size_t x = index_of("X");
    const std::size_t r = index_of("R");
    const auto entry = [&](const std::string& label, std::size_t i) {
        const std::vector<std::string> items = column(label);
        if (i >= items.size() || items[i].empty()) {
            malformed(file_name + ": ##" + label + "= has no entry for column " + symbols[i]);
        }
        return items[i];
    };
    Layout layout;
    layout.first_x = number_in(entry("FIRST", x), "##FIRST= of X", file_name);
    layout.last_x = number_in(entry("LAST", x), "##LAST= of X", file_name);
    layout.x_factor = number_in(entry("FACTOR", x), "##FACTOR= of X", file_name);
    layout.y_factor = number_in(entry("FACTOR", r), "##FACTOR= of R", file_name);
    const double points = number_in(entry("VARDIM", x), "##VAR_DIM= of X", file_name);
    if (points < 1 || points > double(max_points) || points != std::floor(points)) {
        malformed(file_name + ": ##VAR_DIM= of X must be a positive whole number");
    }
    layout.points = static_cast<std::size_t>(points);
    layout.x_units = compared(entry("UNITS", x));
    for (const Record& record : block) {
        if (record.label == "DATATABLE" && compared(record.value).rfind("(X++(R..R))", 0) == 0) {
            layout.data_lines = &record.data_lines;
            layout.shape = "NTUPLES, real page (X++(R..R))";
            return layout;
        }
    }
    malformed(file_name + ": NTUPLES without a ##DATA TABLE= (X++(R..R)) page");
}

// Why a block with data is not a 1D spectrum this reader takes, or "".
std::string refusal(const Block& block) {
    const Record* type = find(block, "DATATYPE");
    const std::string data_type = type == nullptr ? "" : compared(type->value);
    const Record* dimensions = find(block, "NUMDIM");
    if (data_type.find("FID") != std::string::npos) {
        return "holds an NMR FID (##DATA TYPE= " + quoted_text(type->value) +
               "); only processed spectra are read: transform it first";
    }
    if (data_type.rfind("ND", 0) == 0 ||
        (dimensions != nullptr && trimmed(dimensions->value) != "1")) {
        return "holds a 2D spectrum (##DATA TYPE= " + quoted_text(type ? type->value : "") +
               "); only 1D spectra are read, one file per slice";
    }
    if (data_type.find("NMRSPECTRUM") == std::string::npos) {
        return "holds ##DATA TYPE= " + (type ? quoted_text(type->value) : std::string("(none)")) +
               ", not an NMR SPECTRUM";
    }
    return "";
}

} // namespace

DataLine decode_jcamp_line(const std::string& line, const std::string& where) {
    DataLine decoded;
    std::vector<double>& values = decoded.values;
    bool last_is_dif = false;
    double last_difference = 0.0;
    std::size_t i = 0;
    const auto digits = [&](std::string& number) {
        while (i < line.size() &&
               (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.')) {
            number += line[i++];
        }
        if (i + 1 < line.size() && (line[i] == 'E' || line[i] == 'e') &&
            (line[i + 1] == '+' || line[i + 1] == '-')) {
            number += line.substr(i, 2);
            i += 2;
            while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
                number += line[i++];
            }
        }
    };
    const auto to_value = [&](const std::string& number) {
        double value = 0.0;
        if (!parse_number(number, value)) {
            malformed(where + ": " + quoted_text(number) + " is not a number");
        }
        return value;
    };
    const auto check_size = [&] {
        if (values.size() > max_points) {
            malformed(where + ": more than " + std::to_string(max_points) + " values on one line");
        }
    };
    while (i < line.size()) {
        const char c = line[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == ' ' || c == '\t' || c == ',' || c == ';' || c == '\r') {
            ++i;
        } else if (std::isdigit(u) || c == '+' || c == '-' || c == '.') { // AFFN
            std::string number(1, c);
            ++i;
            digits(number);
            values.push_back(to_value(number));
            last_is_dif = false;
        } else if (c == '@' || (c >= 'A' && c <= 'I') || (c >= 'a' && c <= 'i')) { // SQZ
            std::string number = c == '@'   ? "0"
                                 : c <= 'I' ? std::string(1, char('1' + (c - 'A')))
                                            : "-" + std::string(1, char('1' + (c - 'a')));
            ++i;
            digits(number);
            values.push_back(to_value(number));
            last_is_dif = false;
        } else if (c == '%' || (c >= 'J' && c <= 'R') || (c >= 'j' && c <= 'r')) { // DIF
            std::string number = c == '%'   ? "0"
                                 : c <= 'R' ? std::string(1, char('1' + (c - 'J')))
                                            : "-" + std::string(1, char('1' + (c - 'j')));
            ++i;
            digits(number);
            if (values.size() < 2) {
                // The first value of a line is its abscissa, which no y is a difference from.
                malformed(where + ": a difference (DIF) " +
                          (values.empty() ? "with no value before it"
                                          : "straight after the abscissa, where a y value is "
                                            "needed"));
            }
            last_difference = to_value(number);
            values.push_back(values.back() + last_difference);
            last_is_dif = true;
        } else if ((c >= 'S' && c <= 'Z') || c == 's') { // DUP
            std::string number(1, c == 's' ? '9' : char('1' + (c - 'S')));
            ++i;
            while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) {
                number += line[i++];
            }
            if (values.size() < 2 || number.size() > 8) {
                malformed(where + ": a repeat count (DUP) " +
                          (number.size() > 8 ? std::string("too large")
                           : values.empty()  ? std::string("with no value before it")
                                             : std::string("straight after the abscissa, which "
                                                            "is not repeated")));
            }
            const long count = std::stol(number);
            if (values.size() + static_cast<std::size_t>(count) > max_points) {
                malformed(where + ": more than " + std::to_string(max_points) +
                          " values on one line");
            }
            for (long k = 1; k < count; ++k) {
                values.push_back(last_is_dif ? values.back() + last_difference : values.back());
            }
        } else if (c == '?') {
            malformed(where + ": a missing value (?) in the data");
        } else {
            malformed(where + ": character " + quoted_text(std::string_view(&line[i], 1)) +
                      " belongs to no data form (AFFN, SQZ, DIF, DUP)");
        }
        check_size();
    }
    decoded.ends_in_dif = last_is_dif;
    return decoded;
}

ImportedSeries parse_jcamp(const std::string& text, const std::string& file_name) {
    const std::vector<Block> blocks = parse_blocks(text);
    if (blocks.empty()) {
        malformed(file_name + ": not a JCAMP-DX file (no ##TITLE= line)");
    }
    const Block* spectrum = nullptr;
    const Record* data = nullptr;
    std::string first_refusal;
    for (const Block& block : blocks) {
        const Record* xydata = find(block, "XYDATA");
        const Record* ntuples = find(block, "NTUPLES");
        const Record* other =
            find(block, "XYPOINTS") ? find(block, "XYPOINTS") : find(block, "PEAKTABLE");
        if (xydata == nullptr && ntuples == nullptr) {
            if (other != nullptr && first_refusal.empty()) {
                first_refusal = "line " + std::to_string(other->line) + ": ##" + other->label +
                                " is not read; only XYDATA and NTUPLES spectra are";
            }
            continue;
        }
        const std::string why = refusal(block);
        if (!why.empty()) {
            if (first_refusal.empty()) {
                first_refusal = "line " + std::to_string(block.front().line) + ": " + why;
            }
            continue;
        }
        if (spectrum != nullptr) {
            malformed(file_name + ": holds more than one NMR SPECTRUM block (lines " +
                      std::to_string(spectrum->front().line) + " and " +
                      std::to_string(block.front().line) + "); give one per file");
        }
        spectrum = &block;
        data = xydata != nullptr ? xydata : ntuples;
    }
    if (spectrum == nullptr) {
        malformed(
            file_name + ": " +
            (first_refusal.empty() ? "no NMR SPECTRUM with XYDATA or NTUPLES" : first_refusal));
    }
    const Block& block = *spectrum;

    const Record* version = find(block, "JCAMPDX");
    if (version == nullptr) {
        version = find(blocks.front(), "JCAMPDX");
    }
    if (version == nullptr) {
        malformed(file_name + ": no ##JCAMP-DX= line giving the version");
    }
    double version_number = 0.0;
    if (!parse_number(version->value.substr(0, version->value.find_first_of(" \t")),
                      version_number) ||
        !(version_number >= 4.24 && version_number < 7)) {
        malformed(file_name + ":" + std::to_string(version->line) + ": JCAMP-DX version " +
                  quoted_text(version->value) + " is not read (4.24, 5.x and 6.0 are)");
    }

    const Layout layout = data->label == "XYDATA" ? xydata_layout(block, *data, file_name)
                                                  : ntuples_layout(block, file_name);
    const double step = layout.points > 1 ? (layout.last_x - layout.first_x) /
                                                static_cast<double>(layout.points - 1)
                                          : 0.0;
    const double tolerance = 2 * std::fabs(step) + std::fabs(layout.x_factor);

    std::vector<double> y;
    bool check_next = false;
    for (const auto& [number, line] : *layout.data_lines) {
        const std::string where = file_name + ":" + std::to_string(number);
        DataLine decoded = decode_jcamp_line(line, where);
        if (decoded.values.empty()) {
            continue;
        }
        std::vector<double> ys(decoded.values.begin() + 1, decoded.values.end());
        std::size_t first_index = y.size();
        if (check_next && !y.empty()) {
            if (ys.empty() || ys.front() != y.back()) {
                malformed(where + ": the y-check value " +
                          (ys.empty() ? std::string("is missing") : shown(ys.front())) +
                          " does not equal the last value " + shown(y.back()) +
                          " of the line before");
            }
            ys.erase(ys.begin());
            first_index = y.size() - 1;
        }
        const double x = decoded.values.front() * layout.x_factor;
        const double expected = layout.first_x + static_cast<double>(first_index) * step;
        if (!(std::fabs(x - expected) <= tolerance)) {
            malformed(where + ": the line starts at x = " + shown(x) + ", but point " +
                      std::to_string(first_index + 1) + " lies at " + shown(expected) +
                      " (a line missing or out of order)");
        }
        y.insert(y.end(), ys.begin(), ys.end());
        if (y.size() > layout.points) {
            malformed(where + ": more points than the " + std::to_string(layout.points) +
                      " announced");
        }
        check_next = decoded.ends_in_dif;
    }
    if (y.size() != layout.points) {
        malformed(file_name + ": the data hold " + std::to_string(y.size()) +
                  " points, the header announces " + std::to_string(layout.points));
    }

    ImportedSeries series;
    ImportedSpectrum slice;
    slice.intensity.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        slice.intensity[i] = y[i] * layout.y_factor;
    }
    slice.ppm.resize(y.size());
    std::string reference;
    if (layout.x_units == "PPM") {
        for (std::size_t i = 0; i < y.size(); ++i) {
            slice.ppm[i] = layout.first_x + static_cast<double>(i) * step;
        }
        reference = "x axis in ppm";
    } else if (layout.x_units == "HZ") {
        // TopSpin scales ppm by SF, not by the observe frequency (SFO1) it also writes: where
        // its ##$SF is given, the axis is the one TopSpin shows.
        const bool bruker_sf = find(block, "$SF") != nullptr;
        const std::string frequency_label = bruker_sf ? "##$SF=" : "##.OBSERVE FREQUENCY=";
        const double frequency = bruker_sf ? required_number(block, "$SF", "$SF", file_name)
                                           : required_number(block, ".OBSERVEFREQUENCY",
                                                             ".OBSERVE FREQUENCY", file_name);
        if (!(frequency > 0)) {
            malformed(file_name + ": " + frequency_label + " must be above 0");
        }
        // The ppm of one point, where the file gives it; else the Hz values are from 0 ppm.
        std::size_t reference_point = 0;
        double reference_ppm = 0.0;
        bool referenced = false;
        if (const Record* shift = find(block, ".SHIFTREFERENCE")) {
            const std::vector<std::string> items = list_of(shift->value);
            const std::string what =
                "line " + std::to_string(shift->line) + ": ##.SHIFT REFERENCE=";
            if (items.size() != 4) {
                malformed(file_name + ": " + what + " must hold 4 fields (type, " +
                          "solvent, point number, ppm), found " + quoted_text(shift->value));
            }
            const double point = number_in(items[2], what + " point number", file_name);
            if (point < 1 || point > static_cast<double>(y.size()) || point != std::floor(point)) {
                malformed(file_name + ": " + what + " point number " + items[2] +
                          " is not a point of the spectrum");
            }
            reference_point = static_cast<std::size_t>(point) - 1;
            reference_ppm = number_in(items[3], what + " shift", file_name);
            referenced = true;
            reference = "ppm from ##.SHIFT REFERENCE= (point " + items[2] + " at " + items[3] +
                        " ppm) and " + frequency_label + " " + shown(frequency) + " MHz";
        } else if (find(block, "$OFFSET") != nullptr) {
            reference_ppm = required_number(block, "$OFFSET", "$OFFSET", file_name);
            referenced = true;
            reference = "ppm from ##$OFFSET= " + shown(reference_ppm) + " (the first point) and " +
                        frequency_label + " " + shown(frequency) + " MHz";
        } else {
            reference = "ppm = Hz / " + frequency_label + " " + shown(frequency) +
                        " MHz (the file gives no ppm reference)";
        }
        const double reference_x = layout.first_x + static_cast<double>(reference_point) * step;
        for (std::size_t i = 0; i < y.size(); ++i) {
            const double x = layout.first_x + static_cast<double>(i) * step;
            slice.ppm[i] =
                referenced ? reference_ppm + (x - reference_x) / frequency : x / frequency;
        }
    } else {
        malformed(file_name + ": x units " + quoted_text(layout.x_units) +
                  " are not read (HZ or PPM are)");
    }
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (!std::isfinite(slice.ppm[i]) || !std::isfinite(slice.intensity[i])) {
            malformed(file_name + ": point " + std::to_string(i + 1) +
                      " has no finite ppm or intensity");
        }
    }
    const bool ascending = slice.ppm.size() > 1 && slice.ppm.front() < slice.ppm.back();
    if (ascending) {
        std::reverse(slice.ppm.begin(), slice.ppm.end());
        std::reverse(slice.intensity.begin(), slice.intensity.end());
    }
    series.slices.push_back(slice);
    series.notes.push_back("JCAMP-DX " + escaped(version->value, 80) + " " + file_name + ": " +
                           layout.shape + ", " + std::to_string(y.size()) + " points from " +
                           shown(slice.ppm.front()) + " to " + shown(slice.ppm.back()) + " ppm" +
                           (ascending ? " (stored ascending, written descending)" : "") +
                           ", y factor " + shown(layout.y_factor));
    series.notes.push_back(reference);
    return series;
}

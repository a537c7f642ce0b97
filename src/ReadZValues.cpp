// The x value of each slice: the file of --z.
#include "ReadZValues.h"

#include "Failure.h"
#include "Read.h"
#include "ReadNumbers.h"
#include "ReadSpaces.h"
#include "TextLines.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

ZValues parse_z_values(const std::string& text, const std::string& name) {
    ZValues z;
    TextLines lines(text);
    std::string_view line;
    while (lines.next(line)) {
        z.line_count = lines.number();
        std::string_view content = line.substr(0, line.find('#'));
        while (!content.empty() && is_classic_space(content.front())) {
            content.remove_prefix(1);
        }
        while (!content.empty() && is_classic_space(content.back())) {
            content.remove_suffix(1);
        }
        if (content.empty()) {
            continue;
        }
        double value = 0.0;
        const bool blank_inside =
            std::find_if(content.begin(), content.end(), is_classic_space) != content.end();
        if (blank_inside || !parse_number(content, value)) {
            throw Failure(FailureKind::malformed_input,
                          name + ": line " + std::to_string(z.line_count) +
                              ": expected one number (the slice's x value), found '" +
                              escaped(line, 40) + "'");
        }
        z.values.push_back(value);
        z.lines.push_back(z.line_count);
    }
    z.unit = z_unit(text, &z.unit_note);
    return z;
}

ZValues read_z_file(const std::string& name) {
    std::string text;
    read_text_file(name, max_z_file_bytes, text);
    return parse_z_values(text, name);
}

void check_z_count(const ZValues& z, const std::string& name, std::size_t slice_count) {
    const std::size_t count = z.values.size();
    if (count == slice_count) {
        return;
    }
    const std::string needed = "; expected one value per slice, " + std::to_string(slice_count) +
                               (slice_count == 1 ? " slice" : " slices") + " in 2d.txt";
    if (count > slice_count) {
        throw Failure(FailureKind::malformed_input,
                      name + ": line " + std::to_string(z.lines[slice_count]) + ": value " +
                          std::to_string(slice_count + 1) + " is one too many" + needed);
    }
    throw Failure(FailureKind::malformed_input, name + ": line " + std::to_string(z.line_count) +
                                                    " (end of file): " + std::to_string(count) +
                                                    (count == 1 ? " value" : " values") + needed);
}

std::string z_unit(const std::string& z_text, std::string* note) {
    const std::string_view open = z_unit_open;
    TextLines lines(z_text);
    std::string_view line;
    while (lines.next(line)) {
        std::size_t first = 0;
        while (first < line.size() && is_classic_space(line[first])) {
            ++first;
        }
        if (first == line.size() || line[first] != '#') {
            continue;
        }
        // The first comment line decides, whether it names a unit or not.
        const std::size_t at = line.find(open);
        const std::size_t close = at == std::string::npos ? at : line.find(')', at + open.size());
        if (close == std::string::npos) {
            return "";
        }
        const std::string unit(line.substr(at + open.size(), close - at - open.size()));
        if (unit.size() > max_unit_length) {
            if (note != nullptr) {
                *note = "the unit named in z.txt is " + std::to_string(unit.size()) +
                        " characters long, over " + std::to_string(max_unit_length) +
                        ": it is left unnamed";
            }
            return "";
        }
        const bool printable = std::all_of(unit.begin(), unit.end(), [](char c) {
            return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7f;
        });
        return printable ? unit : "";
    }
    return "";
}

// The reader of lines.txt.
#include "LinesInput.h"

#include "Failure.h"
#include "Read.h"
#include "ReadNumbers.h"
#include "ReadSpaces.h"
#include "TextLines.h"

#include <set>
#include <string_view>

namespace {

std::vector<std::string_view> fields_of(std::string_view content) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < content.size()) {
        while (at < content.size() && is_classic_space(content[at])) {
            ++at;
        }
        const std::size_t start = at;
        while (at < content.size() && !is_classic_space(content[at])) {
            ++at;
        }
        if (at > start) {
            fields.push_back(content.substr(start, at - start));
        }
    }
    return fields;
}

bool acceptable_name(std::string_view name) {
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == ',' || c == '"' || c == ';') {
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<LineRow> parse_lines_file(const std::string& text, const std::string& name) {
    std::vector<LineRow> rows;
    std::set<std::string> names;
    TextLines lines(text);
    std::string_view line;
    while (lines.next(line)) {
        const std::size_t line_number = lines.number();
        const std::vector<std::string_view> fields = fields_of(line.substr(0, line.find('#')));
        if (fields.empty()) {
            continue;
        }
        const std::string where = name + ": line " + std::to_string(line_number) + ": ";
        const auto refuse = [&](const std::string& what) {
            throw Failure(FailureKind::malformed_input,
                          where + what + " in " + quoted_text(line) +
                              "; a row is NAME PPM [HALF_WIDTH [SHAPE]]");
        };
        LineRow row;
        row.line = line_number;
        row.name = std::string(fields[0]);
        if (!acceptable_name(row.name)) {
            refuse("the name " + quoted_text(row.name) +
                   " holds a comma, quote, semicolon or control byte");
        }
        if (fields.size() < 2) {
            refuse("expected the position (ppm) after the name " + quoted_text(row.name));
        }
        if (!parse_number(fields[1], row.position)) {
            refuse("expected the position of " + quoted_text(row.name) + " (ppm), found " +
                   quoted_text(fields[1]));
        }
        std::size_t next = 2;
        if (fields.size() > next) {
            double half_width = 0.0;
            if (parse_number(fields[next], half_width)) {
                if (!(half_width > 0.0)) {
                    refuse("the half-width of " + quoted_text(row.name) +
                           " must be above 0 ppm, found " + std::string(fields[next]));
                }
                row.half_width = half_width;
                ++next;
            } else if (fields[next] == "-") {
                ++next;
            } else if (!parse_line_shape(std::string(fields[next]))) {
                refuse("expected the half-width of " + quoted_text(row.name) +
                       " (ppm), '-' or a shape (lorentzian, gaussian, pseudo-voigt), found " +
                       quoted_text(fields[next]));
            }
        }
        if (fields.size() > next) {
            row.shape = parse_line_shape(std::string(fields[next]));
            if (!row.shape) {
                refuse("unknown shape " + quoted_text(fields[next]) +
                       ": expected lorentzian, gaussian or pseudo-voigt");
            }
            ++next;
        }
        if (fields.size() > next) {
            refuse("unexpected field " + quoted_text(fields[next]) + " after the shape");
        }
        if (!names.insert(row.name).second) {
            std::size_t first = 0;
            for (const LineRow& earlier : rows) {
                if (earlier.name == row.name) {
                    first = earlier.line;
                }
            }
            refuse("the name " + quoted_text(row.name) + " is given already on line " +
                   std::to_string(first) + "; every line needs a name of its own");
        }
        rows.push_back(row);
    }
    if (rows.empty()) {
        throw Failure(FailureKind::malformed_input,
                      name + ": holds no line to fit; give one row per line, NAME PPM "
                             "[HALF_WIDTH [SHAPE]]");
    }
    return rows;
}

std::vector<LineRow> read_lines_file(const std::string& path, const std::string& name) {
    std::string text;
    read_text_file(path, max_lines_file_bytes, text);
    return parse_lines_file(text, name);
}

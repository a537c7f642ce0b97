// lines.txt, the lines pairfit-lines fits: one row per line, NAME PPM [HALF_WIDTH [SHAPE]].
#pragma once

#include "LineShapes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One row of lines.txt as written: what it leaves out is empty.
struct LineRow {
    std::string name;
    double position = 0.0;
    std::optional<double> half_width;
    std::optional<LineShape> shape;
    std::size_t line = 0; // the line of the file it stands on, from 1
};

// lines.txt holds a short row per line.
constexpr std::uint64_t max_lines_file_bytes = std::uint64_t{64} << 20;

// Parses the text of a lines file called `name` (for messages). A '#' starts a comment to the
// end of the line; lines empty but for blanks and comments are skipped. Each other line holds
// a name (no comma, quote, semicolon or control byte), a position (ppm), optionally a
// half-width (ppm, above 0; '-' for none) and optionally a shape (lorentzian, gaussian,
// pseudo-voigt; it may stand in place of the half-width). Throws Failure (malformed_input)
// naming the line and what it expected: no line at all, a field that is not what it should
// be, a half-width <= 0, an unknown shape, a duplicate name, more than four fields.
std::vector<LineRow> parse_lines_file(const std::string& text, const std::string& name);

// Reads and parses the file as parse_lines_file; Failure as read_text_file for a file that
// cannot be read, is not a regular file or is longer than max_lines_file_bytes.
std::vector<LineRow> read_lines_file(const std::string& path, const std::string& name);

// Numbers in text: the scanner every reader of outside input uses, and the number text of
// every file the programs write.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One line of numbers; rows of one table may differ in length and may be empty.
using Row = std::vector<double>;

// The numbers of one line as `stream >> value` in the classic locale extracts them: blanks
// skipped, then [+-] digits [. digits] [(e|E) [+-] digits], until the first field that is not
// such a number or lies beyond the range of double; the rest of the line is ignored. No
// hexadecimal, no "inf" or "nan".
Row parse_row(const std::string& line);
// parse_row into `values`, which is cleared first (its storage is reused).
void parse_fields(std::string_view line, Row& values);

// The strict form, for a field that must be one number and nothing else (an option's value,
// an x list entry, a parameter): the whole of `text` is one number of the grammar above and
// finite. Leaves `value` untouched when false.
bool parse_number(std::string_view text, double& value);

// The strict form for a count or a seed: the whole of `text` is decimal digits (no sign, no
// blank) naming a value no larger than `limit`. Leaves `value` untouched when false.
bool parse_whole_number(std::string_view text, unsigned long long limit, unsigned long long& value);

// The shortest text that reads back as the same double ("0.1", "1e-05", "-3").
std::string shortest_text(double value);

// Appends the shortest_text of `value` to a CSV cell; nothing for nan or inf, so that a file
// never holds them (an empty cell is a value not defined).
void append_cell_number(std::string& text, double value);

// Appends `value` as a stream in the classic locale writes it after std::fixed,
// std::setprecision(precision) and std::setw(width): the bytes of printf("%*.*f", width,
// precision, value), "nan", "-nan", "inf" and "-inf" included.
void append_fixed(std::string& text, double value, int precision, int width);

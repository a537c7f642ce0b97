// Text tables in and out: the readers of peaks.txt and 2d.txt and small printers for tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "ReadNumbers.h"

using Table = std::vector<Row>;
// One table per block of a multi-block file, in file order.
using TableSeries = std::vector<Table>;

// True when `name` can be opened for reading (an empty file counts).
bool fileExists(const std::string& name);

// The start of a line as read, kept for a message that quotes it: its first 80 bytes (the
// carriage return of a CRLF line end left out), whether more followed, and whether a comma
// stands anywhere in it.
struct LineExcerpt {
    std::string text;
    bool cut = false;
    bool has_comma = false;
};
LineExcerpt excerpt_of(std::string_view line);

// What a reader found beside the rows: whether the file could be opened and read to its end,
// and how many data lines (rows holding a value) follow the last '&' line of a block file
// (they belong to no block).
struct ReadReport {
    bool opened = false;
    bool read_to_end = false;
    std::size_t unfinished_rows = 0;
    // The first line longer than max_line_length, from 1, where the reading stopped; 0 when
    // there is none.
    std::uint64_t overlong_line = 0;
    // The errno of a failed open or read; 0 when there was none.
    int error_number = 0;
    bool is_directory = false; // the name is a folder, which opens but does not read
    // read_windowed_series: the first row holding a single value, which the fit refuses: its
    // block and its data line within the block, both from 1 (0 when there is none), and its
    // text for the message.
    std::size_t single_value_block = 0;
    std::size_t single_value_row = 0;
    LineExcerpt single_value_line;
};

// The longest line the readers take: a line holds one row of numbers, so anything longer is
// not a text table (a link to a device, binary data) and would only fill memory.
constexpr std::size_t max_line_length = std::size_t{64} << 20;

// `text` for a message: at most `at_most` bytes, each byte that does not print (a control
// byte, NUL, a byte above 0x7e) as \xNN, and "..." when it was cut.
std::string escaped(std::string_view text, std::size_t at_most);
// `text` between double quotes, control bytes (but tab) and DEL written as \xNN, cut with
// "..." after 80 bytes, bytes from 0x80 on kept (UTF-8 names): refused text in a message.
std::string quoted_text(std::string_view text);

// The whole of a text file that must be a regular file of at most max_bytes. Throws Failure:
// unreadable_input when it cannot be opened or read (with the reason), malformed_input when it
// is a directory or another kind of file, or longer than max_bytes.
void read_text_file(const std::string& name, std::uint64_t max_bytes, std::string& text);

// The readers below, silent, with a report of what they could not read.
Table read_table(const char* name, ReadReport& report);
// As read_table, keeping in `lines` an excerpt of each of the first `lines_kept` data lines.
Table read_table(const char* name, ReadReport& report, std::vector<LineExcerpt>& lines,
                 std::size_t lines_kept);
TableSeries read_series(const char* name, ReadReport& report);

// Reads every data line of a file into one row; lines starting with '#' or '&' and empty
// lines are skipped. A file that cannot be opened gives a message on stderr and an empty table.
Table fileIn(const char* name);

// Reads a file of blocks, each closed by a line starting with '&'; data after the last
// '&' line belongs to no block. The number of tables equals the number of '&' lines.
TableSeries fileIn3(const char* name);

// ---------------------------------------------------------------------------------------
// Table printers. Each sets fixed notation, precision and width before every number and
// leaves std::cout in fixed notation with the last precision it set. Every line ends with
// a newline and a flush.
// ---------------------------------------------------------------------------------------

// The squared difference (b - a)^2; no square root is taken.
double dist(double a, double b);

// The first value of every row, 6 decimals in a field of 8, then a blank. A row without
// values is refused with std::out_of_range before anything is printed.
void print_time(const Table& table);

// One line per row: the row index in a field of 2, a blank, then every value with 3
// decimals in a field of 6, each followed by a blank (the data lines of results.txt).
void print_DATA(const Table& table);
// One such line, written to `out` with a flush; `out` is left as the printers leave std::cout.
void write_DATA_row(std::ostream& out, std::size_t index, const Row& row);
// One such line, newline included, appended to `line`.
void append_DATA_row(std::string& line, std::size_t index, const Row& row);

// The series in the block form of 2d.txt: every value with 6 decimals in a field of 8 and a
// blank, one line per row, and a line "&" after each block.
void print_DATA3(const TableSeries& series);

// As long as the four-parameter fit vector; a plain array keeps dlib out of this header.
using FixedColumn = std::array<double, 4>;

// Element i + k receives table[i][k], later writes replacing earlier ones; elements no
// write reaches stay 0.0. A table that would write past the column is refused with
// std::out_of_range naming the first such row and value index.
FixedColumn vec2matrix(const Table& table);

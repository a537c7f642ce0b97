// Text tables in and out: the readers of peaks.txt and 2d.txt, the usage text,
// and small printers for tables.
#pragma once

#include <string>
#include <vector>

// One line of numbers; rows of one table may differ in length and may be empty.
using Row = std::vector<double>;
using Table = std::vector<Row>;
// One table per block of a multi-block file, in file order.
using TableSeries = std::vector<Table>;

// True when `name` can be opened for reading (an empty file counts).
bool fileExists(const std::string& name);

// Reads every data line of a file into one row; lines starting with '#' or '&' and empty
// lines are skipped. A file that cannot be opened gives a message on stderr and an empty table.
Table fileIn(const char* name);

// Reads a file of blocks, each closed by a line starting with '&'; data after the last
// '&' line belongs to no block. The number of tables equals the number of '&' lines.
TableSeries fileIn3(const char* name);

// Writes the usage text to stderr and ends the process with exit status 1.
[[noreturn]] void print_help();

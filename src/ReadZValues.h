// The x values of the slices (--z FILE): one number per line, in slice order. A '#' starts a
// comment to the end of the line; lines empty but for blanks and comments are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ZValues {
    std::vector<double> values;     // one per slice
    std::vector<std::size_t> lines; // the line (from 1) each value stands on
    std::size_t line_count = 0;     // lines in the file, a last one without '\n' included
    std::string unit;               // z_unit of the text
    std::string unit_note;          // why a unit named is left unnamed, or empty
};

// The largest z file read: a z file holds one short line per slice.
constexpr std::uint64_t max_z_file_bytes = std::uint64_t{64} << 20;

// Parses the text of a z file called `name` (for messages), with its unit (z_unit). Throws Failure
// (malformed_input) naming the first line that does not hold exactly one finite number.
ZValues parse_z_values(const std::string& text, const std::string& name);
// Reads and parses the file. Throws Failure: unreadable_input when it cannot be opened or
// read (with the reason), malformed_input when it is not a regular file, is longer than
// max_z_file_bytes or holds a line parse_z_values refuses.
ZValues read_z_file(const std::string& name);
// Throws Failure (malformed_input) naming the file and the line unless there is one value
// per slice.
void check_z_count(const ZValues& z, const std::string& name, std::size_t slice_count);

// The longest unit taken from a z file; a longer one is left unnamed, not echoed on every line.
constexpr std::size_t max_unit_length = 64;

// The unit of a z file: X of the first "(unit X)" in its first comment line (the first line
// whose first character other than a blank is '#'), as pairfit-import writes it ("# x of each
// slice, from vdlist (unit s)"). Empty when that line names none, or when X is empty, holds a
// character outside the printable ASCII ones without the space, or is longer than
// max_unit_length, which `note` (when given) then says. Every reader of z.txt takes the unit
// this way: the programs, pairfit-trend, the Python module, and pairfit-plot through the
// constants z_unit_open and max_unit_length written into its constants.py.
std::string z_unit(const std::string& z_text, std::string* note = nullptr);
// What opens the unit in that line.
constexpr const char* z_unit_open = "(unit ";

// The steps of the importer's readers that its tests and fuzz targets reach one by one. Not
// installed.
#pragma once

#include "ReadImport.h"

#include <cstddef>
#include <string>
#include <vector>

// `text` without the blanks, tabs and carriage returns around it.
std::string trimmed(const std::string& text);

// The rows of a 2rr matrix of si1 rows (F1) of si2 points (F2), stored as tiles of xdim1 rows
// of xdim2 points each, tile rows after tile rows; row r, point c lands at [r * si2 + c].
std::vector<double> untile_2rr(const std::vector<double>& stored, std::size_t si2, std::size_t si1,
                               std::size_t xdim2, std::size_t xdim1);

// The values of one ASDF or AFFN data line, abscissa first, each DUP expanded. `ends_in_dif`
// tells whether the line's last value was written in DIF form, so that the next line opens
// with a y-check. Refused (malformed_input) naming `where` for a character of no form, and for
// a DIF or DUP straight after the abscissa (no y value is a difference from or a repeat of it).
struct DataLine {
    std::vector<double> values;
    bool ends_in_dif = false;
};
DataLine decode_jcamp_line(const std::string& line, const std::string& where);

// Up to `count` bytes from the start of a regular file, refused as read_bounded_file refuses
// what is not one: enough to tell its format before the whole of it is read.
std::string read_file_head(const std::filesystem::path& path, std::size_t count);

// The x values of `count` slices from `list`, read from `list_path`: the list's values in
// order, used from its start again (with a warning) when it is shorter, its first `count` when
// longer. Sets x_values, x_unit and x_description (`kind` and the unit) of `series` and returns
// the note that tells what was taken. `acquired_rows`: the slices are the rows of a Bruker
// experiment's own list, and the warning counts them as TopSpin does.
std::string assign_x_values(ImportedSeries& series, const XList& list, const std::string& kind,
                            const std::string& list_path, std::size_t count, bool acquired_rows);

// The x values of every slice of `series` from a list file, read within bounds as the kind
// its name tells (x_list_kind); its note is added to the series' notes.
void read_x_list_file(ImportedSeries& series, const std::filesystem::path& list_path);

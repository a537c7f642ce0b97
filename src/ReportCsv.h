// The reader of report.csv, the table pairfit-trend fits its columns from.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// report.csv read into its header names and cells, one row per data line.
struct ReportTable {
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows; // each as long as names, quotes removed
    std::vector<std::size_t> lines;             // the line number (from 1) of each row
};
// Reads CSV text: the first line is the header; cells are separated by commas and may be
// quoted ("a,b", "" for a quote); lines may end in CRLF; empty lines are skipped. Throws
// Failure(malformed_input) naming `name` and the line for an empty header, a repeated or empty
// column name, an unclosed quote or a row whose cell count differs from the header's.
ReportTable parse_report_csv(const std::string& text, const std::string& name);
// The column `column` as numbers, an empty cell as NaN. Throws Failure(malformed_input) for a
// missing column or a cell that is not one finite number, naming `name`, the line and column.
std::vector<double> report_column(const ReportTable& table, const std::string& column,
                                  const std::string& name);
// True when the header names `column`.
bool has_report_column(const ReportTable& table, const std::string& column);
// The column `column` as text, as the file holds it (quotes removed). Throws
// Failure(malformed_input) for a missing column, naming `name`.
std::vector<std::string> report_text_column(const ReportTable& table, const std::string& column,
                                            const std::string& name);

// report.csv read back into its cells and columns.
#include "ReportCsv.h"

#include "Failure.h"
#include "Read.h"
#include "ReadNumbers.h"
#include "TextLines.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

} // namespace

ReportTable parse_report_csv(const std::string& text, const std::string& name) {
    ReportTable table;
    bool header = true;
    TextLines lines(text);
    std::string_view next_line;
    while (lines.next(next_line)) {
        const std::size_t line_number = lines.number();
        std::string line(next_line);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        const std::string where = name + ": line " + std::to_string(line_number) + ": ";
        std::vector<std::string> cells(1);
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == ',') {
                cells.emplace_back();
            } else if (line[i] == '"' && cells.back().empty() && (i == 0 || line[i - 1] == ',')) {
                std::size_t j = i + 1;
                for (;; ++j) {
                    if (j >= line.size()) {
                        throw Failure(FailureKind::malformed_input,
                                      where + "a quoted cell is not closed: " + quoted_text(line));
                    }
                    if (line[j] == '"') {
                        if (j + 1 < line.size() && line[j + 1] == '"') {
                            cells.back() += '"';
                            ++j;
                            continue;
                        }
                        break;
                    }
                    cells.back() += line[j];
                }
                if (j + 1 < line.size() && line[j + 1] != ',') {
                    throw Failure(FailureKind::malformed_input,
                                  where +
                                      "a quoted cell is followed by text before the next "
                                      "comma: " +
                                      quoted_text(line));
                }
                i = j;
            } else {
                cells.back() += line[i];
            }
        }
        if (header) {
            for (std::size_t c = 0; c < cells.size(); ++c) {
                if (cells[c].empty()) {
                    throw Failure(FailureKind::malformed_input,
                                  where + "column " + std::to_string(c + 1) +
                                      " of the header has no name: " + quoted_text(line));
                }
                if (std::find(cells.begin(), cells.begin() + static_cast<long>(c), cells[c]) !=
                    cells.begin() + static_cast<long>(c)) {
                    throw Failure(FailureKind::malformed_input, where + "the header names column " +
                                                                    quoted_text(cells[c]) +
                                                                    " twice");
                }
            }
            table.names = cells;
            header = false;
        } else {
            if (cells.size() != table.names.size()) {
                throw Failure(FailureKind::malformed_input, where + std::to_string(cells.size()) +
                                                                " cells where the header has " +
                                                                std::to_string(table.names.size()) +
                                                                ": " + quoted_text(line));
            }
            table.rows.push_back(std::move(cells));
            table.lines.push_back(line_number);
        }
    }
    if (header) {
        throw Failure(FailureKind::malformed_input,
                      name + ": empty; expected a header line of column names");
    }
    return table;
}

namespace {

std::size_t column_index(const ReportTable& table, const std::string& column,
                         const std::string& name) {
    const auto found = std::find(table.names.begin(), table.names.end(), column);
    if (found == table.names.end()) {
        const bool lines = name.size() >= 9 && name.compare(name.size() - 9, 9, "lines.csv") == 0;
        throw Failure(FailureKind::malformed_input,
                      name + ": no column " + quoted_text(column) +
                          " in the header; it is written by " +
                          (lines ? "pairfit-lines" : "pairfit4 --report"));
    }
    return static_cast<std::size_t>(found - table.names.begin());
}

} // namespace

bool has_report_column(const ReportTable& table, const std::string& column) {
    return std::find(table.names.begin(), table.names.end(), column) != table.names.end();
}

std::vector<std::string> report_text_column(const ReportTable& table, const std::string& column,
                                            const std::string& name) {
    const std::size_t c = column_index(table, column, name);
    std::vector<std::string> cells;
    for (const std::vector<std::string>& row : table.rows) {
        cells.push_back(row[c]);
    }
    return cells;
}

std::vector<double> report_column(const ReportTable& table, const std::string& column,
                                  const std::string& name) {
    const std::size_t c = column_index(table, column, name);
    std::vector<double> values;
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const std::string& cell = table.rows[r][c];
        double value = not_a_number;
        if (!cell.empty() && !parse_number(cell, value)) {
            throw Failure(FailureKind::malformed_input,
                          name + ": line " + std::to_string(table.lines[r]) + ": column " +
                              quoted_text(column) + " holds " + quoted_text(cell) +
                              " where a finite number or an empty cell was expected");
        }
        values.push_back(value);
    }
    return values;
}

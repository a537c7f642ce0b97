#include "ReferenceStages.h"

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iomanip>
#include <locale>
#include <sstream>

namespace reference {

Row parse_row(const std::string& line) {
    std::istringstream fields(line);
    fields.imbue(std::locale::classic());
    Row row;
    double value = 0.0;
    while (fields >> value) {
        row.push_back(value);
    }
    return row;
}

Table read_table(const char* name, ReadReport& report) {
    std::vector<LineExcerpt> no_lines;
    return read_table_with_lines(name, report, no_lines, 0);
}

Table read_table_with_lines(const char* name, ReadReport& report, std::vector<LineExcerpt>& lines,
                            std::size_t lines_kept) {
    report = ReadReport{};
    lines.clear();
    Table table;
    std::ifstream file(name);
    if (!file) {
        return table;
    }
    report.opened = true;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '&') {
            continue;
        }
        table.push_back(parse_row(line));
        if (lines.size() < lines_kept) {
            lines.push_back(excerpt_of(line));
        }
    }
    // A read error (a directory, a failing device) sets badbit; the end of the file does not.
    report.read_to_end = !file.bad();
    return table;
}

TableSeries read_series(const char* name, ReadReport& report) {
    LineExcerpt ignored;
    return read_series_with_line(name, report, ignored);
}

TableSeries read_series_with_line(const char* name, ReadReport& report,
                                  LineExcerpt& single_value_line) {
    report = ReadReport{};
    single_value_line = LineExcerpt{};
    // The first row of a single value of the block being read, kept once its block closes.
    LineExcerpt block_single_value;
    bool block_has_single_value = false;
    TableSeries series;
    std::ifstream file(name);
    if (!file) {
        return series;
    }
    report.opened = true;
    Table block;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '&') {
            series.push_back(block);
            block.clear();
            if (block_has_single_value && single_value_line.text.empty()) {
                single_value_line = block_single_value;
            }
            block_has_single_value = false;
            continue;
        }
        block.push_back(parse_row(line));
        if (block.back().size() == 1 && !block_has_single_value) {
            block_single_value = excerpt_of(line);
            block_has_single_value = true;
        }
    }
    report.read_to_end = !file.bad();
    // Lines after the last '&' are an unfinished block and are not part of the series.
    report.unfinished_rows = static_cast<std::size_t>(
        std::count_if(block.begin(), block.end(), [](const Row& row) { return !row.empty(); }));
    return series;
}

namespace {

void write_DATA_row(std::ostream& out, std::size_t index, const Row& row) {
    out << std::setw(2) << index << ' ';
    for (const double value : row) {
        out << std::fixed << std::setprecision(3) << std::setw(6) << value << ' ';
    }
    out << std::endl;
}

void write_matrix_number(std::ostream& out, double value) {
    out << std::fixed << std::setprecision(6) << std::setw(10) << value << " ";
}

} // namespace

std::vector<std::string> write_result_files(const TableSeries& slices,
                                            const TableSeries& sim_a_series,
                                            const TableSeries& sim_b_series,
                                            const TableSeries& res_series,
                                            const Table& results_table) {
    const char* const names[] = {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"};
    std::ofstream dat(names[0]);
    std::ofstream sim_a(names[1]);
    std::ofstream sim_b(names[2]);
    std::ofstream res(names[3]);
    std::ofstream results(names[4]);

    results << "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot "
            << std::endl;
    for (std::size_t i = 0; i < results_table.size(); ++i) {
        write_DATA_row(results, i, results_table[i]);
    }

    // Points down, slices across; the ppm column comes from the first slice.
    std::ofstream* const matrix_files[] = {&dat, &sim_a, &sim_b, &res};
    const TableSeries* const matrix_values[] = {&slices, &sim_a_series, &sim_b_series, &res_series};
    const std::size_t point_count = slices.empty() ? 0 : slices[0].size();
    for (std::size_t r = 0; r < point_count; ++r) {
        for (std::ofstream* file : matrix_files) {
            write_matrix_number(*file, slices[0][r][0]);
        }
        for (std::size_t s = 0; s < slices.size(); ++s) {
            for (int f = 0; f < 4; ++f) {
                write_matrix_number(*matrix_files[f], (*matrix_values[f])[s][r][1]);
            }
        }
        for (std::ofstream* file : matrix_files) {
            *file << std::endl;
        }
    }

    std::ofstream* const files[] = {&dat, &sim_a, &sim_b, &res, &results};
    std::vector<std::string> failed;
    for (int f = 0; f < 5; ++f) {
        files[f]->close();
        if (files[f]->fail()) {
            failed.push_back(names[f]);
        }
    }
    return failed;
}

} // namespace reference

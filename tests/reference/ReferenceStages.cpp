#include "ReferenceStages.h"

#include <algorithm>
#include <cmath>
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

double global_scale_factor(const TableSeries& raw_series, double window_lower,
                           double window_upper) {
    double scale_factor = 0.0;
    for (const Table& block : raw_series) {
        for (const Row& row : block) {
            if (row.size() < 2) {
                continue; // a line of blanks carries no point
            }
            const double x = row[0];
            const double y = row[1];
            if (window_lower < x && x < window_upper && y > scale_factor) {
                scale_factor = y;
            }
        }
    }
    return scale_factor;
}

TableSeries cut_slices(const TableSeries& raw_series, double window_lower, double window_upper,
                       double scale_factor) {
    TableSeries slices;
    for (const Table& block : raw_series) {
        Table slice;
        for (const Row& row : block) {
            if (row.size() < 2) {
                continue;
            }
            const double x = row[0];
            const double y = row[1];
            if (window_lower < x && x < window_upper) {
                slice.push_back({x, y / scale_factor});
            }
        }
        // Empty slices keep their place so that slice i is always block i.
        slices.push_back(std::move(slice));
    }
    return slices;
}

std::string check_series(const TableSeries& raw_series, const LineExcerpt& single_value_line) {
    for (std::size_t b = 0; b < raw_series.size(); ++b) {
        for (std::size_t r = 0; r < raw_series[b].size(); ++r) {
            if (raw_series[b][r].size() == 1) {
                return single_value_message(b + 1, r + 1, single_value_line);
            }
        }
    }
    return "";
}

std::string check_slice_lengths(const TableSeries& slices) {
    for (std::size_t s = 1; s < slices.size(); ++s) {
        if (slices[s].size() < slices[0].size()) {
            return "2d.txt: slice " + std::to_string(s) + " holds " +
                   std::to_string(slices[s].size()) + " points inside the window, fewer than the " +
                   std::to_string(slices[0].size()) +
                   " of slice 0; every slice must share the ppm axis of the first";
        }
    }
    return "";
}

WindowedSeries windowed_series_of(const TableSeries& raw_series, const TableSeries& slices) {
    WindowedSeries series;
    for (const Table& block : raw_series) {
        for (const Row& row : block) {
            if (row.size() >= 2) {
                series.ppm_low = std::min(series.ppm_low, row[0]);
                series.ppm_high = std::max(series.ppm_high, row[0]);
            }
        }
    }
    for (const Table& slice : slices) {
        for (const Row& point : slice) {
            series.ppm.push_back(point[0]);
            series.intensity.push_back(point[1]);
        }
        series.slice_start.push_back(series.ppm.size());
    }
    return series;
}

void note_bound_hits(BoundHits& hits, std::size_t slice, const std::array<double, 4>& fitted,
                     std::size_t free_count) {
    bool hit = false;
    for (std::size_t i = 0; i < free_count; ++i) {
        if (fitted[i] - 1e-4 <= 1e-9 || 10.0 - fitted[i] <= 1e-9) {
            hits.parameters[i] = true;
            hit = true;
        }
    }
    if (hit) {
        hits.slices.push_back(slice);
    }
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

#include "Read.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>

bool fileExists(const std::string& name) {
    std::ifstream file(name);
    return file.good();
}

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
    report = ReadReport{};
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
    }
    // A read error (a directory, a failing device) sets badbit; the end of the file does not.
    report.read_to_end = !file.bad();
    return table;
}

TableSeries read_series(const char* name, ReadReport& report) {
    report = ReadReport{};
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
            continue;
        }
        block.push_back(parse_row(line));
    }
    report.read_to_end = !file.bad();
    // Lines after the last '&' are an unfinished block and are not part of the series. Rows
    // without any value (blanks, a lone CR of a CRLF file) hold no data that could be lost.
    report.unfinished_rows = static_cast<std::size_t>(
        std::count_if(block.begin(), block.end(), [](const Row& row) { return !row.empty(); }));
    return series;
}

namespace {

template <typename Result>
Result readOrComplain(const char* name, Result (*reader)(const char*, ReadReport&)) {
    ReadReport report;
    Result result = reader(name, report);
    if (!report.opened) {
        std::cerr << "No such read-in file\n";
    }
    return result;
}

} // namespace

Table fileIn(const char* name) {
    return readOrComplain(name, read_table);
}

TableSeries fileIn3(const char* name) {
    return readOrComplain(name, read_series);
}

void print_help() {
    static const char usage[] = "##############################################\n"
                                "##############################################\n"
                                "\n"
                                "ERROR: Not enough input files specified. \n"
                                "USAGE: reads in 'peak.txt' and '2d.txt'  \n"
                                " files by default so they must be in your directory  \n"
                                "\n"
                                " peak.txt format: \n"
                                " peak_A(in ppm) peak_B(in ppm) \n"
                                " peak range to cut in ppm \n"
                                "  \n"
                                " eg): \n"
                                " 0.013 0.234 \n"
                                " -5.2 5.2 \n"
                                "\n"
                                "##############################################\n"
                                "##############################################\n";
    std::cerr << usage << std::flush;
    std::exit(1);
}

double dist(double a, double b) {
    const double difference = b - a;
    return difference * difference;
}

namespace {

void printNumber(double value, int precision, int width) {
    std::cout << std::fixed << std::setprecision(precision) << std::setw(width) << value;
}

} // namespace

void print_time(const Table& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].empty()) {
            throw std::out_of_range("print_time: row " + std::to_string(i) + " has no value");
        }
    }
    for (const Row& row : table) {
        printNumber(row[0], 6, 8);
        std::cout << ' ' << std::endl;
    }
}

void print_DATA(const Table& table) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        write_DATA_row(std::cout, i, table[i]);
    }
}

void write_DATA_row(std::ostream& out, std::size_t index, const Row& row) {
    out << std::setw(2) << index << ' ';
    for (const double value : row) {
        out << std::fixed << std::setprecision(3) << std::setw(6) << value << ' ';
    }
    out << std::endl;
}

void print_DATA3(const TableSeries& series) {
    for (const Table& block : series) {
        for (const Row& row : block) {
            for (const double value : row) {
                printNumber(value, 6, 8);
                std::cout << ' ';
            }
            std::cout << std::endl;
        }
        std::cout << '&' << std::endl;
    }
}

FixedColumn vec2matrix(const Table& table) {
    FixedColumn column{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (std::size_t k = 0; k < table[i].size(); ++k) {
            if (i + k >= column.size()) {
                throw std::out_of_range("vec2matrix: row " + std::to_string(i) + ", value " +
                                        std::to_string(k) + " falls outside the " +
                                        std::to_string(column.size()) + "-element column");
            }
            column[i + k] = table[i][k];
        }
    }
    return column;
}

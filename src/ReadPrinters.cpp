// The table printers.
#include "Read.h"
#include "ReadNumbers.h"

#include <charconv>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <string>

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

void append_DATA_row(std::string& line, std::size_t index, const Row& row) {
    char digits[24];
    const auto index_end = std::to_chars(digits, digits + sizeof digits, index).ptr;
    if (index_end - digits < 2) {
        line += ' ';
    }
    line.append(digits, index_end);
    line += ' ';
    for (const double value : row) {
        append_fixed(line, value, 3, 6);
        line += ' ';
    }
    line += '\n';
}

void write_DATA_row(std::ostream& out, std::size_t index, const Row& row) {
    std::string line;
    append_DATA_row(line, index, row);
    if (!row.empty()) {
        out << std::fixed << std::setprecision(3);
    }
    out.width(0);
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
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

#include "Stats.h"

#include <cstddef>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <string>

double calc_residuals(const Table& model, const Table& data) {
    double sum = 0.0;
    for (std::size_t i = 0; i < model.size(); ++i) {
        const double difference = model[i][1] - data[i][1];
        sum += difference * difference;
    }
    return sum;
}

void print_residuals(const Table& model, const Table& data) {
    if (data.size() < model.size()) {
        throw std::out_of_range("print_residuals: " + std::to_string(model.size()) +
                                " model rows but only " + std::to_string(data.size()) +
                                " data rows");
    }
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (model[i].size() < 2 || data[i].size() < 2) {
            throw std::out_of_range("print_residuals: row " + std::to_string(i) +
                                    " holds fewer than two values");
        }
    }
    std::cout << std::fixed << std::setprecision(3) << std::setw(2) << calc_residuals(model, data);
}

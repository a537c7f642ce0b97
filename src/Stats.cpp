#include "Stats.h"

double calc_residuals(const Table& model, const Table& data) {
    double sum = 0.0;
    for (std::size_t i = 0; i < model.size(); ++i) {
        const double difference = model[i][1] - data[i][1];
        sum += difference * difference;
    }
    return sum;
}

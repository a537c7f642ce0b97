// Sums of squared residuals between two tables of {x, y} rows.
#pragma once

#include "Read.h"

// Sum over the rows of `model` of (model[i][1] - data[i][1])^2, in row order from 0.0.
// `data` must have at least as many rows as `model`; column 0 is not compared.
double calc_residuals(const Table& model, const Table& data);

// Prints calc_residuals(model, data) with 3 decimals in a field of 2: no separator, no
// newline, and std::cout left in fixed notation with precision 3. `data` shorter than
// `model`, or a compared row with fewer than two values, is refused with std::out_of_range
// before anything is printed.
void print_residuals(const Table& model, const Table& data);

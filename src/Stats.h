// Sums of squared residuals between two tables of {x, y} rows.
#pragma once

#include "Read.h"

// Sum over the rows of `model` of (model[i][1] - data[i][1])^2, in row order from 0.0.
// `data` must have at least as many rows as `model`; column 0 is not compared.
double calc_residuals(const Table& model, const Table& data);

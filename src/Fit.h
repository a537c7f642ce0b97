// The two-Lorentzian line model of the fit: the line function and the iteration limit of a
// slice fit. The objective and the minimiser it runs on are the library's own (SliceFit.h).
#pragma once

#include "Read.h"

// One Lorentzian line of amplitude M and half width at half height W at position P:
// M*w / (1 + w^2 (x-P)^2) with w = 1/W. Its maximum is M/W and its area pi*M.
// The order of operations is fixed: results are compared digit for digit across versions.
// The steps that depend on x, given w^2 and M*w. `Number` is double, or LinePair for two
// lines at once, where each lane takes exactly the steps a double does.
template <typename Number>
Number lorentzian_at(Number x, Number position, Number w_squared, Number numerator) {
    const Number d = x - position;
    const Number denominator = 1.0 + w_squared * (d * d);
    return numerator / denominator;
}

inline double lorentzian(double amplitude, double half_width, double position, double x) {
    const double w = 1.0 / half_width;
    const double numerator = amplitude * w;
    return lorentzian_at(x, position, w * w, numerator);
}

// Kept for callers that link against it; fits nothing and changes neither table.
void fit_DATA(Table& model, const Table& data);

// The most iterations one slice fit may take. Fits of real slices settle within a few hundred
// (about 1200 at most seen, in a narrow window). Where the objective is so large (above about
// 4.5) that 1e-15 lies below its rounding step, the minimiser can creep along a flat valley
// one rounding step per iteration, millions of iterations: the limit ends such a fit.
constexpr unsigned long max_fit_iterations = 10000;

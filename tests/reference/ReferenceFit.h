// Fits every slice of a table series in file order, each fit starting from the previous
// result, as the programs do, with the table objective and dlib's own central differences: the
// fit the programs' fit_series is compared with, at full precision.
#pragma once

#include "ReferenceStages.h"

#include <complex>
#include <vector>

namespace reference {

template <long FreeParams>
std::vector<params_type<FreeParams>> fit_every_slice(const TableSeries& slices, double peak_A,
                                                     double peak_B, double fixed_LWA,
                                                     double fixed_LWB) {
    int slice_index = 0;
    const std::complex<double> position_A = peak_A;
    const std::complex<double> position_B = peak_B;
    std::complex<double> MA = 0.0;
    std::complex<double> MB = 0.0;
    double LWA = fixed_LWA;
    double LWB = fixed_LWB;
    const auto objective = reference::make_slice_objective<FreeParams>(
        slices, slice_index, position_A, position_B, MA, MB, LWA, LWB);
    params_type<FreeParams> x;
    if constexpr (FreeParams == 4) {
        x = 0.2, 0.2, 1.0, 3.0;
    } else {
        x = 0.2, 0.2;
    }
    std::vector<params_type<FreeParams>> fitted;
    for (slice_index = 0; slice_index < static_cast<int>(slices.size()); ++slice_index) {
        reference::fit_slice<FreeParams>(objective, x);
        fitted.push_back(x);
    }
    return fitted;
}

} // namespace reference

// The fit of one slice with amplitudes of either sign (--signed): variable projection, the
// library's inside (Ceres stays in the .cpp), never installed.
#pragma once

#include "Stats.h"

#include <vector>

// What a signed slice fit found: the model's values in the scaled problem.
struct SignedSliceFit {
    double MA = 0.0; // amplitudes, within [-10, 10]
    double MB = 0.0;
    double LWA = 0.0; // half-widths, within [1e-4, 10] when fitted, else the held ones
    double LWB = 0.0;
    unsigned long iterations = 0; // the trust region's steps in the fit kept
    bool settled = true;          // false when max_fit_iterations ended the fit kept
    bool finite = true;           // false when the model or the data meet non-finite values
};

// What the signed fits of a series share: unit lines at the half-widths a fit scans the box
// at, which depend only on the slice's ppm values and the positions (the same in every
// slice of a series as check_fit_series accepts it, and made again where they are not), and
// their products.
struct SignedFitScan {
    std::vector<double> ppm;
    double peak_A = 0.0, peak_B = 0.0;
    std::vector<double> widths;
    std::vector<double> columns_A, columns_B; // a column of the points per width
    std::vector<double> aa, bb, ab;           // products of the columns: aa[u], ab[u * count + v]
};

// Fits line A at peak_A and line B at peak_B to the points. The amplitudes enter linearly:
// for given half-widths they are the exact least-squares solution within [-10, 10]^2, so no
// sign has to be guessed. With half_widths_free the half-widths are fitted within [1e-4, 10]
// by Ceres' bounded Levenberg-Marquardt on the projected residuals (Golub and Pereyra's exact
// Jacobian) from the start (LWA, LWB), then from the cells of a scan of the box whose rss lies
// below the minimum found (in order of their rss, at most four); the lowest rss is kept, the
// first of equals. Without, the half-widths stay (LWA, LWB).
SignedSliceFit fit_signed_slice(const SlicePoints& points, double peak_A, double peak_B, double LWA,
                                double LWB, bool half_widths_free, SignedFitScan& scan);

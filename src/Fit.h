// The two-Lorentzian line model and the minimiser it is fitted with.
#pragma once

#include "Read.h"

// Every translation unit that uses dlib includes it through this header, so that all of
// them see the same configuration:
//  - Debian's dlib/config.h turns on the BLAS and LAPACK bindings. The BFGS matrix algebra
//    would then run in whichever BLAS the machine has, and fitted values would move in the
//    11th digit from machine to machine. We want dlib's own matrix code everywhere.
//  - dlib/test_for_odr_violations.h makes every user reference symbols of the compiled
//    libdlib. We use dlib through its headers only and link no dlib library.
// dlib/config.h has no include guard and is included only by the two headers named here,
// so after assert.h it is not read again and the #undefs below stay in force.
#define DLIB_TEST_FOR_ODR_VIOLATIONS_H_
#include <dlib/assert.h>
#undef DLIB_USE_BLAS
#undef DLIB_USE_LAPACK
#undef DLIB_CHECK_FOR_VERSION_MISMATCH
#include <dlib/optimization.h>

// The fit's parameter vector: (MA, MB, LWA, LWB) when both half-widths are free,
// (MA, MB) when they are held fixed.
template <long FreeParams> using params_type = dlib::matrix<double, FreeParams, 1>;

// One Lorentzian line of amplitude M and half width at half height W at position P:
// M*w / (1 + w^2 (x-P)^2) with w = 1/W. Its maximum is M/W and its area pi*M.
// The order of operations is fixed: results are compared digit for digit across versions.
inline double lorentzian(double amplitude, double half_width, double position, double x) {
    const double w = 1.0 / half_width;
    const double numerator = amplitude * w;
    const double d = x - position;
    const double denominator = 1 + (w * w) * (d * d);
    return numerator / denominator;
}

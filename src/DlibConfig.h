// dlib as every part of pairfit uses it. Not installed: callers of the library never see dlib.
#pragma once

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

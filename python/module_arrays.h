// What pairfit._core's two parts share: the array type they take and the series they make of
// the arrays of a pairfit.Series.
#pragma once

#include "ReadSeries.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

using DoubleArray =
    pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

// The rows of `intensity` as the slices of a windowed series, each at the ppm of `slice_ppm`
// (one row per slice) or, when it is None, at `ppm`. Throws ValueError on shapes that do not
// agree.
WindowedSeries windowed_series(const DoubleArray& ppm, const DoubleArray& intensity,
                               const pybind11::object& slice_ppm);

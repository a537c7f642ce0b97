// The signed fit by restarts that variable projection replaced: every slice fitted with
// dlib's box-constrained BFGS from the previous result, then (with free half-widths) again
// with each amplitude held to each sign, from that start and from the first slice's start,
// each result released into the whole box, the lowest objective kept. The fit_series of
// --signed is proven against it: on every slice its rss may only be lower.
#pragma once

#include "FitSeries.h"
#include "SliceFit.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace reference {

struct SignedSlice {
    double MA = 0.0, MB = 0.0, LWA = 0.0, LWB = 0.0;
    double rss = 0.0; // as fit_series computes residual_square_tot, from lines_at
};

inline void refit_with_each_sign(const WindowObjective<4>& slice_objective,
                                 const params_type<4>& start, params_type<4>& x) {
    const auto derivative = [&](const params_type<4>& at) {
        return slice_objective.central_differences(at, 1e-7);
    };
    params_type<4> fresh;
    fresh = 0.2, 0.2, 1.0, 3.0;
    params_type<4> whole_lower;
    whole_lower = signed_amplitude_lower_bound, signed_amplitude_lower_bound, parameter_lower_bound,
    parameter_lower_bound;
    const params_type<4> whole_upper = dlib::uniform_matrix<double>(4, 1, parameter_upper_bound);
    double best = slice_objective(x);
    for (const params_type<4>* base : {&start, static_cast<const params_type<4>*>(&fresh)}) {
        for (const double sign_A : {1.0, -1.0}) {
            for (const double sign_B : {1.0, -1.0}) {
                params_type<4> lower = whole_lower;
                params_type<4> upper = whole_upper;
                params_type<4> other = *base;
                const double signs[2] = {sign_A, sign_B};
                for (int i = 0; i < 2; ++i) {
                    lower(i) = signs[i] > 0 ? parameter_lower_bound : -parameter_upper_bound;
                    upper(i) = signs[i] > 0 ? parameter_upper_bound : -parameter_lower_bound;
                    other(i) = signs[i] * std::max(std::fabs(other(i)), parameter_lower_bound);
                }
                unsigned long iterations = 0;
                fit_slice_in_box<4>(slice_objective, derivative, other, iterations, lower, upper);
                fit_slice_in_box<4>(slice_objective, derivative, other, iterations, whole_lower,
                                    whole_upper);
                const double value = slice_objective(other);
                if (value < best) {
                    best = value;
                    x = other;
                }
            }
        }
    }
}

// `scaled`: a series already divided by its largest absolute intensity, as fit_series
// leaves SeriesFit::scaled. Every slice must be finite.
template <long FreeParams>
std::vector<SignedSlice> fit_signed_by_restarts(const WindowedSeries& scaled,
                                                const FitSettings& settings) {
    params_type<FreeParams> x;
    if constexpr (FreeParams == 4) {
        x = 0.2, 0.2, 1.0, 3.0;
    } else {
        x = 0.2, 0.2;
    }
    LinePairValues state;
    state.peak_A = settings.peak_A;
    state.peak_B = settings.peak_B;
    if constexpr (FreeParams == 2) {
        state.LWA = (*settings.fixed_widths)[0];
        state.LWB = (*settings.fixed_widths)[1];
    }
    int slice_index = 0;
    const WindowObjective<FreeParams> objective(scaled, slice_index, state);
    std::vector<SignedSlice> slices;
    for (slice_index = 0; slice_index < static_cast<int>(scaled.slice_count()); ++slice_index) {
        const params_type<FreeParams> start = x;
        unsigned long iterations = 0;
        fit_slice<FreeParams>(objective, x, iterations, true);
        if constexpr (FreeParams == 4) {
            refit_with_each_sign(objective, start, x);
        }
        SliceFit fitted;
        fitted.MA = x(0);
        fitted.MB = x(1);
        fitted.LWA = FreeParams == 4 ? x(FreeParams - 2) : state.LWA;
        fitted.LWB = FreeParams == 4 ? x(FreeParams - 1) : state.LWB;
        SignedSlice slice{fitted.MA, fitted.MB, fitted.LWA, fitted.LWB, 0.0};
        const std::size_t s = static_cast<std::size_t>(slice_index);
        for (std::size_t i = scaled.slice_start[s]; i < scaled.slice_start[s + 1]; ++i) {
            const LinePoint line = lines_at(fitted, settings, scaled.ppm[i]);
            const double difference = (line.b + line.a) - scaled.intensity[i];
            slice.rss += difference * difference;
        }
        slices.push_back(slice);
    }
    return slices;
}

} // namespace reference

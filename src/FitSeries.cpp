// fit_series: every slice of a windowed series fitted in file order, each fit starting from
// the previous slice's result, and the record of each slice.
#include "FitSeries.h"

#include "Failure.h"
#include "ReadNumbers.h"
#include "SignedSliceFit.h"
#include "SliceFit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// One factor for the whole series: the largest intensity inside the window (with its sign; 0.0
// when none is above 0).
double divide_by_largest(WindowedSeries& series, bool absolute) {
    double scale_factor = 0.0;
    for (const double intensity : series.intensity) {
        const double size = absolute ? std::fabs(intensity) : intensity;
        if (size > scale_factor) {
            scale_factor = size;
        }
    }
    for (double& intensity : series.intensity) {
        intensity /= scale_factor;
    }
    for (double& intensity : series.noise_intensity) {
        intensity /= scale_factor;
    }
    return scale_factor;
}

// The sums and marks of a slice whose fitted parameters `slice` holds.
void complete_slice(SliceFit& slice, const SeriesFit& fit, std::size_t index) {
    const WindowedSeries& series = fit.scaled;
    const std::size_t first = series.slice_start[index];
    const std::size_t end = series.slice_start[index + 1];
    for (std::size_t i = first; i < end; ++i) {
        const LinePoint line = lines_at(slice, fit.settings, series.ppm[i]);
        slice.integ_A += line.a;
        slice.integ_B += line.b;
        const double difference = (line.b + line.a) - series.intensity[i];
        slice.residual_square_tot += difference * difference;
    }
    const double fitted[4] = {slice.MA, slice.MB, slice.LWA, slice.LWB};
    const bool signed_amplitudes = fit.settings.signed_amplitudes;
    for (int i = 0; i < fit.free_parameters(); ++i) {
        const double lower =
            i < 2 && signed_amplitudes ? signed_amplitude_lower_bound : parameter_lower_bound;
        slice.at_bound[i] = at_bound(fitted[i], lower, parameter_upper_bound);
    }
    if (fit.settings.with_report || fit.settings.with_noise) {
        SliceReportOptions options;
        options.signed_amplitudes = signed_amplitudes;
        if (fit.settings.with_noise) {
            options.noise = noise_of(series, index);
            options.noise_points = series.noise_start[index + 1] - series.noise_start[index];
        }
        const SlicePoints points{series.ppm.data() + first, series.intensity.data() + first,
                                 end - first};
        const LinePairValues fitted{
            fit.settings.peak_A, fit.settings.peak_B, slice.MA, slice.MB, slice.LWA, slice.LWB};
        slice.report = report_slice(points, fitted, fit.free_parameters(), options);
    }
}

// The signed fit of slice_index (fit_signed_slice) from the half-widths of x, into x; false
// when max_fit_iterations ended it. Throws dlib::error as the unsigned fit does when the model
// or the data meet non-finite values.
template <long FreeParams>
bool fit_signed(const SeriesFit& fit, int slice_index, params_type<FreeParams>& x,
                unsigned long& iterations, SignedFitScan& scan) {
    const WindowedSeries& series = fit.scaled;
    const std::size_t first = series.slice_start[static_cast<std::size_t>(slice_index)];
    const std::size_t end = series.slice_start[static_cast<std::size_t>(slice_index) + 1];
    const SlicePoints points{series.ppm.data() + first, series.intensity.data() + first,
                             end - first};
    constexpr bool half_widths_free = FreeParams == 4;
    const double LWA = half_widths_free ? x(FreeParams - 2) : (*fit.settings.fixed_widths)[0];
    const double LWB = half_widths_free ? x(FreeParams - 1) : (*fit.settings.fixed_widths)[1];
    const SignedSliceFit found = fit_signed_slice(points, fit.settings.peak_A, fit.settings.peak_B,
                                                  LWA, LWB, half_widths_free, scan);
    if (!found.finite) {
        throw dlib::error("The objective function generated non-finite outputs");
    }
    x(0) = found.MA;
    x(1) = found.MB;
    if constexpr (half_widths_free) {
        x(FreeParams - 2) = found.LWA;
        x(FreeParams - 1) = found.LWB;
    }
    iterations = found.iterations;
    return found.settled;
}

template <long FreeParams> void fit_slices(SeriesFit& fit, const SliceFitted& on_slice) {
    constexpr bool half_widths_free = FreeParams == 4;
    params_type<FreeParams> x; // start point of each fit, then its result
    if constexpr (half_widths_free) {
        x = 0.2, 0.2, 1.0, 3.0; // MA, MB, LWA, LWB
    } else {
        x = 0.2, 0.2; // MA, MB
    }
    // Model state: read and written by the slice objective on every evaluation.
    LinePairValues state;
    state.peak_A = fit.settings.peak_A;
    state.peak_B = fit.settings.peak_B;
    if constexpr (!half_widths_free) {
        state.LWA = (*fit.settings.fixed_widths)[0];
        state.LWB = (*fit.settings.fixed_widths)[1];
    }
    int slice_index = 0;
    const WindowObjective<FreeParams> slice_objective(fit.scaled, slice_index, state);
    const int slice_count = static_cast<int>(fit.scaled.slice_count());
    SignedFitScan scan;
    fit.slices.reserve(fit.scaled.slice_count());
    for (slice_index = 0; slice_index < slice_count; ++slice_index) {
        SliceFit slice;
        const params_type<FreeParams> start = x;
        try {
            const bool settled =
                fit.settings.signed_amplitudes
                    ? fit_signed<FreeParams>(fit, slice_index, x, slice.iterations, scan)
                    : fit_slice<FreeParams>(slice_objective, x, slice.iterations);
            slice.end = settled ? SliceEnd::settled : SliceEnd::iteration_limit;
            if (slice.end == SliceEnd::iteration_limit) {
                slice.end_message = iteration_limit_warning(slice_index);
            }
        } catch (const dlib::error& e) {
            slice.end = SliceEnd::non_finite;
            slice.end_message = non_finite_fit_message(e.what(), slice_index, half_widths_free,
                                                       fit.settings.signed_amplitudes);
            x = start;
        }
        // The last evaluation may have been a derivative probe beside the result.
        state.MA = x(0);
        state.MB = x(1);
        if constexpr (half_widths_free) {
            state.LWA = x(2);
            state.LWB = x(3);
        }
        slice.MA = state.MA;
        slice.MB = state.MB;
        slice.LWA = state.LWA;
        slice.LWB = state.LWB;
        complete_slice(slice, fit, slice_index);
        fit.slices.push_back(std::move(slice));
        if (on_slice) {
            on_slice(slice_index, fit.slices.back());
        }
    }
}

} // namespace

SeriesFit fit_series(WindowedSeries series, const FitSettings& settings,
                     const SliceFitted& on_slice) {
    SeriesFit fit;
    fit.settings = settings;
    fit.scaled = std::move(series);
    fit.scale_factor = divide_by_largest(fit.scaled, settings.signed_amplitudes);
    if (settings.fixed_widths) {
        fit_slices<2>(fit, on_slice);
    } else {
        fit_slices<4>(fit, on_slice);
    }
    return fit;
}

void refuse_non_finite(const SliceFit& slice) {
    if (slice.end == SliceEnd::non_finite) {
        throw Failure(FailureKind::non_finite_fit, slice.end_message);
    }
}

void refuse_non_finite(const SeriesFit& fit) {
    for (const SliceFit& slice : fit.slices) {
        refuse_non_finite(slice);
    }
}

LinePoint lines_at(const SliceFit& fit, const FitSettings& settings, double ppm) {
    return {lorentzian(fit.MA, fit.LWA, settings.peak_A, ppm),
            lorentzian(fit.MB, fit.LWB, settings.peak_B, ppm)};
}

std::string slice_status(const SliceFit& fit) {
    const char* const ends[] = {"settled", "iteration_limit", "non_finite"};
    std::string status = ends[static_cast<int>(fit.end)];
    const char* const names[4] = {"MA", "MB", "LWA", "LWB"};
    const char* separator = ";bound:";
    for (int i = 0; i < 4; ++i) {
        if (fit.at_bound[i]) {
            status += separator;
            status += names[i];
            separator = ",";
        }
    }
    if (fit.report && fit.report->misfit) {
        status += ";misfit";
    }
    return status;
}

std::string bound_warning(const SeriesFit& fit) {
    std::vector<std::size_t> slices;
    std::array<bool, 4> parameters{};
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        bool hit = false;
        for (int i = 0; i < 4; ++i) {
            if (fit.slices[s].at_bound[i]) {
                parameters[i] = true;
                hit = true;
            }
        }
        if (hit) {
            slices.push_back(s);
        }
    }
    return bound_warning(slices, parameters, fit.slices.size(), fit.settings.signed_amplitudes);
}

std::string slice_ranges(const std::vector<std::size_t>& slices) {
    std::string ranges;
    for (std::size_t i = 0; i < slices.size();) {
        std::size_t last = i;
        while (last + 1 < slices.size() && slices[last + 1] == slices[last] + 1) {
            ++last;
        }
        ranges += (ranges.empty() ? "" : ", ") + std::to_string(slices[i]) +
                  (last == i ? "" : "-" + std::to_string(slices[last]));
        i = last + 1;
    }
    return ranges;
}

std::string bound_warning(const std::vector<std::size_t>& slices,
                          const std::array<bool, 4>& parameters, std::size_t slice_count,
                          bool signed_amplitudes) {
    if (slices.empty()) {
        return "";
    }
    std::string named;
    const char* const names[] = {"MA", "MB", "LWA", "LWB"};
    for (int i = 0; i < 4; ++i) {
        if (parameters[i]) {
            named += (named.empty() ? "" : ", ") + std::string(names[i]);
        }
    }
    return "warning: " + std::to_string(slices.size()) + " of " + std::to_string(slice_count) +
           " slices ended with a fitted value at a bound " +
           (signed_amplitudes ? "(amplitudes -10 or 10, half-widths 1e-4 or 10), "
                              : "(1e-4 or 10), ") +
           (slices.size() == 1 ? "slice " : "slices ") + slice_ranges(slices) +
           (named.find(',') == std::string::npos ? ", parameter " : ", parameters ") + named +
           (signed_amplitudes ? "; usual causes: a missing line, a peak outside the window, or "
                                "an intensity spike that set the scale factor"
                              : "; usual causes: an inverted or missing line, a peak outside "
                                "the window, or an intensity spike that set the scale factor");
}

std::string misfit_warning(const SeriesFit& fit) {
    std::vector<std::size_t> slices;
    double lowest = 0.0;
    double highest = 0.0;
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const std::optional<SliceReport>& report = fit.slices[s].report;
        if (!report || !report->misfit) {
            continue;
        }
        const double chi2_red = *report->chi2_red;
        lowest = slices.empty() ? chi2_red : std::min(lowest, chi2_red);
        highest = slices.empty() ? chi2_red : std::max(highest, chi2_red);
        slices.push_back(s);
    }
    if (slices.empty()) {
        return "";
    }
    const auto shown = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3g", value);
        return std::string(text);
    };
    return "warning: " + std::to_string(slices.size()) + " of " +
           std::to_string(fit.slices.size()) +
           " slices fit worse than their noise allows (status misfit: chi2/dof " +
           (lowest == highest ? shown(lowest) : shown(lowest) + " to " + shown(highest)) +
           ", above the 99.9 % point of F), " + (slices.size() == 1 ? "slice " : "slices ") +
           slice_ranges(slices) +
           "; usual causes: a third line, a baseline offset, a non-Lorentzian shape, a phase "
           "error";
}

std::string non_finite_fit_message(const std::string& minimiser_error, std::size_t slice,
                                   bool half_widths_free, bool signed_amplitudes) {
    return minimiser_error + "\nslice " + std::to_string(slice) +
           ": check the intensities of 2d.txt inside the window (a window " +
           (signed_amplitudes ? "whose intensities are all 0 (no |intensity| above 0)"
                              : "without any positive intensity") +
           " cannot be scaled)" +
           (half_widths_free ? "" : " and the half-widths of peaks.txt (not 0)");
}

std::string iteration_limit_warning(std::size_t slice) {
    return "slice " + std::to_string(slice) + ": warning: the fit stopped after " +
           std::to_string(max_fit_iterations) +
           " iterations before its objective settled; its values may be off";
}

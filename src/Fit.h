// The two-Lorentzian line model and the minimiser it is fitted with.
#pragma once

#include "Read.h"
#include "Stats.h"

#include <complex>
#include <cstddef>

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

// Two doubles that arithmetic treats lane by lane (a GCC and Clang vector type), so that the
// two lines of the model share their divisions' instruction.
typedef double LinePair __attribute__((vector_size(2 * sizeof(double))));

// Kept for callers that link against it; fits nothing and changes neither table.
void fit_DATA(Table& model, const Table& data);

// The slice objective: the sum of squared differences between the two-line model and the
// slice `slices[slice_index]`. It refers to the driver's model state and stores the
// parameters it is evaluated at into it (MA, MB, and LWA, LWB when they are free), so the
// state always holds the last evaluated point. Its model table of {ppm, A + B} rows keeps
// its storage from one evaluation to the next, so that an evaluation allocates nothing
// while the slices share their length. Not safe to evaluate concurrently.
template <long FreeParams> class SliceObjective {
  public:
    SliceObjective(const TableSeries& slices, const int& slice_index,
                   const std::complex<double>& peak_A, const std::complex<double>& peak_B,
                   std::complex<double>& MA, std::complex<double>& MB, double& LWA, double& LWB)
        : slices_(slices), slice_index_(slice_index), peak_A_(peak_A), peak_B_(peak_B), MA_(MA),
          MB_(MB), LWA_(LWA), LWB_(LWB) {
        const std::size_t index = static_cast<std::size_t>(slice_index);
        if (index < slices.size()) {
            model_.assign(slices[index].size(), Row(2));
        }
    }

    double operator()(const params_type<FreeParams>& p) const {
        MA_ = {p(0), 0.0};
        MB_ = {p(1), 0.0};
        if constexpr (FreeParams == 4) {
            LWA_ = p(2);
            LWB_ = p(3);
        }
        const Table& data = slices_[slice_index_];
        if (model_.size() != data.size()) {
            model_.assign(data.size(), Row(2));
        }
        // Lane 0 is line A, lane 1 line B, as lorentzian() computes each.
        const LinePair w = 1.0 / LinePair{LWA_, LWB_};
        const LinePair numerator = LinePair{MA_.real(), MB_.real()} * w;
        const LinePair position = {peak_A_.real(), peak_B_.real()};
        const LinePair w_squared = w * w;
        for (std::size_t i = 0; i < data.size(); ++i) {
            const double ppm = data[i][0];
            const LinePair lines =
                lorentzian_at(LinePair{ppm, ppm}, position, w_squared, numerator);
            Row& model_row = model_[i];
            model_row[0] = ppm;
            model_row[1] = lines[0] + lines[1];
        }
        return calc_residuals(model_, data);
    }

  private:
    const TableSeries& slices_;
    const int& slice_index_;
    const std::complex<double>& peak_A_;
    const std::complex<double>& peak_B_;
    std::complex<double>& MA_;
    std::complex<double>& MB_;
    double& LWA_;
    double& LWB_;
    mutable Table model_;
};

template <long FreeParams>
SliceObjective<FreeParams>
make_slice_objective(const TableSeries& slices, const int& slice_index,
                     const std::complex<double>& peak_A, const std::complex<double>& peak_B,
                     std::complex<double>& MA, std::complex<double>& MB, double& LWA, double& LWB) {
    return SliceObjective<FreeParams>(slices, slice_index, peak_A, peak_B, MA, MB, LWA, LWB);
}

// The most iterations one slice fit may take. Fits of real slices settle within a few hundred
// (about 1200 at most seen, in a narrow window). Where the objective is so large (above about
// 4.5) that 1e-15 lies below its rounding step, the minimiser can creep along a flat valley
// one rounding step per iteration, millions of iterations: the limit ends such a fit.
constexpr unsigned long max_fit_iterations = 10000;

// objective_delta_stop_strategy(1e-15), ended after max_fit_iterations, which it records,
// counting the iterations it lets the search go on to (one line search each).
class SliceFitStop {
  public:
    SliceFitStop(bool& limit_reached, unsigned long& iterations)
        : limit_reached_(limit_reached), iterations_(iterations) {}
    template <typename T> bool should_continue_search(const T& x, double value, const T& gradient) {
        if (!settled_.should_continue_search(x, value, gradient)) {
            return false;
        }
        limit_reached_ = iterations_ >= max_fit_iterations;
        if (!limit_reached_) {
            ++iterations_;
        }
        return !limit_reached_;
    }

  private:
    dlib::objective_delta_stop_strategy settled_{1e-15};
    bool& limit_reached_;
    unsigned long& iterations_;
};

// Minimises the objective from x, within 1e-4 <= x(i) <= 10, and leaves the result in x.
// Returns false when max_fit_iterations, not the objective settling, ended the fit.
// `iterations` receives the number of iterations the fit took (max_fit_iterations at most).
// Throws dlib::error ("The objective function generated non-finite outputs") when the
// objective or its derivative is not finite.
template <long FreeParams, typename Objective>
bool fit_slice(const Objective& slice_objective, params_type<FreeParams>& x,
               unsigned long& iterations) {
    bool limit_reached = false;
    iterations = 0;
    dlib::find_min_box_constrained(
        dlib::bfgs_search_strategy(), SliceFitStop(limit_reached, iterations), slice_objective,
        dlib::derivative(slice_objective, 1e-7), x,
        dlib::uniform_matrix<double>(FreeParams, 1, parameter_lower_bound),
        dlib::uniform_matrix<double>(FreeParams, 1, parameter_upper_bound));
    return !limit_reached;
}

template <long FreeParams, typename Objective>
bool fit_slice(const Objective& slice_objective, params_type<FreeParams>& x) {
    unsigned long iterations = 0;
    return fit_slice<FreeParams>(slice_objective, x, iterations);
}

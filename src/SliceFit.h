// The slice objective and the box-constrained minimiser one slice is fitted with: the
// library's inside, on dlib, never installed.
#pragma once

#include "DlibConfig.h"
#include "Fit.h"
#include "ReadSeries.h"
#include "Stats.h"

#include <cstddef>
#include <utility>

// The fit's parameter vector: (MA, MB, LWA, LWB) when both half-widths are free,
// (MA, MB) when they are held fixed.
template <long FreeParams> using params_type = dlib::matrix<double, FreeParams, 1>;

// Two doubles that arithmetic treats lane by lane (a GCC and Clang vector type), so that the
// two lines of the model share their divisions' instruction.
typedef double LinePair __attribute__((vector_size(2 * sizeof(double))));

// The slice objective: the sum of squared differences between the two-line model and the
// points of slice `slice_index` of a WindowedSeries. It stores the parameters it is evaluated
// at into the run's model state (MA, MB, and LWA, LWB when they are free; the positions are
// only read), so the state always
// holds the last evaluated point; it reads series.slice_start at the run's slice index on every
// evaluation. Not safe to evaluate concurrently.
template <long FreeParams> class WindowObjective {
  public:
    WindowObjective(const WindowedSeries& series, const int& slice_index, LinePairValues& state)
        : series_(series), slice_index_(slice_index), state_(state) {}

    double operator()(const params_type<FreeParams>& p) const {
        store(p);
        // Lane 0 is line A, lane 1 line B, as lorentzian() computes each.
        const LinePair w = 1.0 / LinePair{state_.LWA, state_.LWB};
        const LinePair numerator = LinePair{state_.MA, state_.MB} * w;
        const LinePair position = {state_.peak_A, state_.peak_B};
        const LinePair w_squared = w * w;
        const auto [first, last] = slice_range();
        double sum = 0.0;
        for (std::size_t i = first; i < last; ++i) {
            const double ppm = series_.ppm[i];
            const LinePair lines =
                lorentzian_at(LinePair{ppm, ppm}, position, w_squared, numerator);
            const double difference = (lines[0] + lines[1]) - series_.intensity[i];
            sum += difference * difference;
        }
        return sum;
    }

    // dlib's central_differences(*this, step)(x): for each parameter i the objective at x
    // with x(i) + step and with x(i) - step, over the difference of those two values of x(i).
    // All probes are taken in one pass over the slice, each with its own sum in point order,
    // so each has the bits of a lone evaluation; a probe recomputes only the line whose
    // parameter it moves. The model state is left as dlib's last probe leaves it.
    params_type<FreeParams> central_differences(const params_type<FreeParams>& x,
                                                double step) const {
        store(x);
        const double LWA = state_.LWA;
        const double LWB = state_.LWB;
        const double MA = state_.MA;
        const double MB = state_.MB;
        const LinePair position = {state_.peak_A, state_.peak_B};
        // The lines at x.
        const LinePair w = 1.0 / LinePair{LWA, LWB};
        const LinePair base_numerator = LinePair{MA, MB} * w;
        const LinePair base_w_squared = w * w;
        // Each pair of lanes is one parameter moved up (lane 0) and down (lane 1).
        const LinePair moved_MA = LinePair{MA + step, MA - step} * w[0];
        const LinePair moved_MB = LinePair{MB + step, MB - step} * w[1];
        const LinePair w_at_LWA = 1.0 / LinePair{LWA + step, LWA - step};
        const LinePair w_at_LWB = 1.0 / LinePair{LWB + step, LWB - step};
        const LinePair moved_LWA = MA * w_at_LWA;
        const LinePair moved_LWB = MB * w_at_LWB;
        const LinePair w_squared_LWA = w_at_LWA * w_at_LWA;
        const LinePair w_squared_LWB = w_at_LWB * w_at_LWB;
        const LinePair w_squared_A = {base_w_squared[0], base_w_squared[0]};
        const LinePair w_squared_B = {base_w_squared[1], base_w_squared[1]};

        LinePair sum_MA = {0.0, 0.0};
        LinePair sum_MB = {0.0, 0.0};
        LinePair sum_LWA = {0.0, 0.0};
        LinePair sum_LWB = {0.0, 0.0};
        const auto [first, last] = slice_range();
        for (std::size_t i = first; i < last; ++i) {
            const double ppm = series_.ppm[i];
            const double intensity = series_.intensity[i];
            const LinePair d = LinePair{ppm, ppm} - position;
            const LinePair d_squared = d * d;
            const LinePair lines = base_numerator / (1.0 + base_w_squared * d_squared);
            const LinePair a = {lines[0], lines[0]};
            const LinePair b = {lines[1], lines[1]};
            const LinePair d_A = {d_squared[0], d_squared[0]};
            const LinePair d_B = {d_squared[1], d_squared[1]};
            const LinePair y = {intensity, intensity};
            const LinePair at_MA = (moved_MA / (1.0 + w_squared_A * d_A) + b) - y;
            const LinePair at_MB = (a + moved_MB / (1.0 + w_squared_B * d_B)) - y;
            sum_MA += at_MA * at_MA;
            sum_MB += at_MB * at_MB;
            if constexpr (FreeParams == 4) {
                const LinePair at_LWA = (moved_LWA / (1.0 + w_squared_LWA * d_A) + b) - y;
                const LinePair at_LWB = (a + moved_LWB / (1.0 + w_squared_LWB * d_B)) - y;
                sum_LWA += at_LWA * at_LWA;
                sum_LWB += at_LWB * at_LWB;
            }
        }
        const LinePair sums[] = {sum_MA, sum_MB, sum_LWA, sum_LWB};
        params_type<FreeParams> derivative;
        for (long i = 0; i < FreeParams; ++i) {
            derivative(i) = (sums[i][0] - sums[i][1]) / ((x(i) + step) - (x(i) - step));
        }
        params_type<FreeParams> last_probe = x;
        last_probe(FreeParams - 1) = x(FreeParams - 1) - step;
        store(last_probe);
        return derivative;
    }

  private:
    void store(const params_type<FreeParams>& p) const {
        state_.MA = p(0);
        state_.MB = p(1);
        if constexpr (FreeParams == 4) {
            state_.LWA = p(2);
            state_.LWB = p(3);
        }
    }
    std::pair<std::size_t, std::size_t> slice_range() const {
        const std::size_t slice = static_cast<std::size_t>(slice_index_);
        return {series_.slice_start[slice], series_.slice_start[slice + 1]};
    }

    const WindowedSeries& series_;
    const int& slice_index_;
    LinePairValues& state_;
};

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

// The box of every fitted parameter: 1e-4 to 10, the amplitudes MA, MB from -10 with
// signed_amplitudes.
template <long FreeParams>
std::pair<params_type<FreeParams>, params_type<FreeParams>> parameter_box(bool signed_amplitudes) {
    params_type<FreeParams> lower =
        dlib::uniform_matrix<double>(FreeParams, 1, parameter_lower_bound);
    if (signed_amplitudes) {
        lower(0) = signed_amplitude_lower_bound;
        lower(1) = signed_amplitude_lower_bound;
    }
    const params_type<FreeParams> upper =
        dlib::uniform_matrix<double>(FreeParams, 1, parameter_upper_bound);
    return {lower, upper};
}

// Minimises the objective from x within lower <= x <= upper with dlib's box-constrained BFGS
// and leaves the result in x, with `derivative` as its gradient (dlib's central differences of
// step 1e-7, or the same values computed otherwise). Returns false when max_fit_iterations, not
// the objective settling, ended the fit. `iterations` receives the number of iterations the fit
// took (max_fit_iterations at most). Throws dlib::error ("The objective function generated
// non-finite outputs") when the objective or its derivative is not finite.
template <long FreeParams, typename Objective, typename Derivative>
bool fit_slice_in_box(const Objective& slice_objective, const Derivative& derivative,
                      params_type<FreeParams>& x, unsigned long& iterations,
                      const params_type<FreeParams>& lower, const params_type<FreeParams>& upper) {
    bool limit_reached = false;
    iterations = 0;
    dlib::find_min_box_constrained(dlib::bfgs_search_strategy(),
                                   SliceFitStop(limit_reached, iterations), slice_objective,
                                   derivative, x, lower, upper);
    return !limit_reached;
}

// The fit of one slice within parameter_box, with the batched central differences of
// WindowObjective.
template <long FreeParams>
bool fit_slice(const WindowObjective<FreeParams>& slice_objective, params_type<FreeParams>& x,
               unsigned long& iterations, bool signed_amplitudes = false) {
    const auto derivative = [&](const params_type<FreeParams>& at) {
        return slice_objective.central_differences(at, 1e-7);
    };
    const auto [lower, upper] = parameter_box<FreeParams>(signed_amplitudes);
    return fit_slice_in_box<FreeParams>(slice_objective, derivative, x, iterations, lower, upper);
}

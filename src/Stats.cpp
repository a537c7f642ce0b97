#include "Stats.h"

#include "Fit.h"

#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/special_functions/gamma.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <iomanip>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

double calc_residuals(const Table& model, const Table& data) {
    double sum = 0.0;
    for (std::size_t i = 0; i < model.size(); ++i) {
        const double difference = model[i][1] - data[i][1];
        sum += difference * difference;
    }
    return sum;
}

void print_residuals(const Table& model, const Table& data) {
    if (data.size() < model.size()) {
        throw std::out_of_range("print_residuals: " + std::to_string(model.size()) +
                                " model rows but only " + std::to_string(data.size()) +
                                " data rows");
    }
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (model[i].size() < 2 || data[i].size() < 2) {
            throw std::out_of_range("print_residuals: row " + std::to_string(i) +
                                    " holds fewer than two values");
        }
    }
    std::cout << std::fixed << std::setprecision(3) << std::setw(2) << calc_residuals(model, data);
}

bool at_bound(double value, double lower, double upper) {
    return std::abs(value - lower) <= at_bound_tolerance ||
           std::abs(value - upper) <= at_bound_tolerance;
}

double f_quantile(double probability, double numerator_dof, double denominator_dof) {
    const boost::math::fisher_f_distribution<double> distribution(numerator_dof, denominator_dof);
    return boost::math::quantile(distribution, probability);
}

double chi2_survival(double chi2, double dof) {
    if (!(dof > 0.0) || !std::isfinite(chi2) || !std::isfinite(dof)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // The regularised upper incomplete gamma function Q(dof/2, chi2/2); an argument beyond what
    // boost evaluates (a dof of millions) is NaN rather than an exception.
    try {
        return boost::math::gamma_q(dof / 2.0, std::max(chi2, 0.0) / 2.0);
    } catch (const std::exception&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
}

double f_survival(double f, double numerator_dof, double denominator_dof) {
    if (!(numerator_dof > 0.0) || !(denominator_dof > 0.0) || !std::isfinite(f) ||
        !std::isfinite(numerator_dof) || !std::isfinite(denominator_dof)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    try {
        const boost::math::fisher_f_distribution<double> distribution(numerator_dof,
                                                                      denominator_dof);
        return boost::math::cdf(boost::math::complement(distribution, std::max(f, 0.0)));
    } catch (const std::exception&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
}

bool invert_symmetric(const double* a, int n, double* inverse) {
    // Cholesky factors of the correlation form, whose unit diagonal makes one threshold fit
    // every scale of the parameters.
    double scale[4];
    for (int i = 0; i < n; ++i) {
        const double diagonal = a[i * n + i];
        if (!(diagonal > 0.0) || !std::isfinite(diagonal)) {
            return false;
        }
        scale[i] = 1.0 / std::sqrt(diagonal);
    }
    double lower[4][4] = {};
    for (int j = 0; j < n; ++j) {
        for (int i = j; i < n; ++i) {
            double sum = a[i * n + j] * scale[i] * scale[j];
            for (int k = 0; k < j; ++k) {
                sum -= lower[i][k] * lower[j][k];
            }
            if (i == j) {
                if (!(sum > 1e-12) || !std::isfinite(sum)) {
                    return false;
                }
                lower[j][j] = std::sqrt(sum);
            } else {
                lower[i][j] = sum / lower[j][j];
            }
        }
    }
    double lower_inverse[4][4] = {};
    for (int j = 0; j < n; ++j) {
        lower_inverse[j][j] = 1.0 / lower[j][j];
        for (int i = j + 1; i < n; ++i) {
            double sum = 0.0;
            for (int k = j; k < i; ++k) {
                sum += lower[i][k] * lower_inverse[k][j];
            }
            lower_inverse[i][j] = -sum / lower[i][i];
        }
    }
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int k = std::max(i, j); k < n; ++k) {
                sum += lower_inverse[k][i] * lower_inverse[k][j];
            }
            inverse[i * n + j] = sum * scale[i] * scale[j];
        }
    }
    return true;
}

namespace {

// Derivatives of M*w/(1 + w^2 d^2), w = 1/W, d = x - P, with respect to M and to W.
void line_derivatives(double amplitude, double half_width, double d, double& by_amplitude,
                      double& by_half_width) {
    const double w = 1.0 / half_width;
    const double u = (w * w) * (d * d);
    const double denominator = 1.0 + u;
    by_amplitude = w / denominator;
    by_half_width = -amplitude * (w * w) * (1.0 - u) / (denominator * denominator);
}

// Standard error of a value with the given gradient over (MA, MB, LWA, LWB). Fixed
// parameters count as exact; a fitted one without a covariance leaves the error undefined.
std::optional<double> propagated(const double (&gradient)[4], const bool (&fixed)[4],
                                 const bool (&in_covariance)[4], const double (&covariance)[4][4]) {
    for (int i = 0; i < 4; ++i) {
        if (gradient[i] != 0.0 && !fixed[i] && !in_covariance[i]) {
            return std::nullopt;
        }
    }
    double variance = 0.0;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            if (in_covariance[i] && in_covariance[j]) {
                variance += gradient[i] * gradient[j] * covariance[i][j];
            }
        }
    }
    if (!(variance >= 0.0) || !std::isfinite(variance)) {
        return std::nullopt;
    }
    return std::sqrt(variance);
}

} // namespace

SliceReport report_slice(const SlicePoints& slice, const LinePairValues& fitted, int free_params,
                         const SliceReportOptions& options) {
    const double* const ppm = slice.ppm;
    const double* const intensity = slice.intensity;
    const std::size_t points = slice.count;
    const double peak_A = fitted.peak_A;
    const double peak_B = fitted.peak_B;
    const double MA = fitted.MA;
    const double MB = fitted.MB;
    const double LWA = fitted.LWA;
    const double LWB = fitted.LWB;
    SliceReport report;
    report.points = points;
    const double p[4] = {MA, MB, LWA, LWB};
    bool fixed[4];
    bool active[4];
    for (int i = 0; i < 4; ++i) {
        fixed[i] = i >= free_params;
        const double lower = i < 2 && options.signed_amplitudes ? signed_amplitude_lower_bound
                                                                : parameter_lower_bound;
        report.at_bound[i] = !fixed[i] && at_bound(p[i], lower, parameter_upper_bound);
        active[i] = !fixed[i] && !report.at_bound[i];
    }
    // A line of amplitude 0 has no width to determine: its column of J would be all zero.
    for (int i = 2; i < 4; ++i) {
        if (p[i - 2] == 0.0) {
            active[i] = false;
        }
    }

    // The residual sum exactly as residual_square_tot: the same lines, sums and order.
    double rss = 0.0;
    for (std::size_t j = 0; j < points; ++j) {
        const double a = lorentzian(MA, LWA, peak_A, ppm[j]);
        const double b = lorentzian(MB, LWB, peak_B, ppm[j]);
        const double difference = (b + a) - intensity[j];
        rss += difference * difference;
    }
    report.rss = rss;
    const bool has_dof = free_params >= 0 && points > static_cast<std::size_t>(free_params);
    if (has_dof) {
        report.sigma = std::sqrt(rss / static_cast<double>(points - free_params));
    }

    // J^T J over the active parameters, the inverse and the covariance.
    int index[4];
    int n = 0;
    for (int i = 0; i < 4; ++i) {
        if (active[i]) {
            index[n++] = i;
        }
    }
    double covariance[4][4] = {};
    bool in_covariance[4] = {false, false, false, false};
    if (has_dof && n > 0) {
        double normal[16] = {};
        for (std::size_t j = 0; j < points; ++j) {
            double row[4];
            line_derivatives(MA, LWA, ppm[j] - peak_A, row[0], row[2]);
            line_derivatives(MB, LWB, ppm[j] - peak_B, row[1], row[3]);
            for (int r = 0; r < n; ++r) {
                for (int c = 0; c < n; ++c) {
                    normal[r * n + c] += row[index[r]] * row[index[c]];
                }
            }
        }
        double inverse[16];
        if (invert_symmetric(normal, n, inverse)) {
            const double scatter = options.noise ? *options.noise : *report.sigma;
            const double variance = scatter * scatter;
            for (int r = 0; r < n; ++r) {
                in_covariance[index[r]] = true;
                for (int c = 0; c < n; ++c) {
                    covariance[index[r]][index[c]] = variance * inverse[r * n + c];
                }
            }
        }
    }

    if (options.noise) {
        report.noise = options.noise;
        const double noise_squared = *options.noise * *options.noise;
        if (has_dof && noise_squared > 0.0 && std::isfinite(noise_squared)) {
            const double dof = static_cast<double>(points - free_params);
            report.chi2_red = rss / (dof * noise_squared);
            report.misfit =
                options.noise_points > 1 &&
                *report.chi2_red > f_quantile(misfit_probability, dof,
                                              static_cast<double>(options.noise_points - 1));
        }
    }

    Estimate* const parameters[4] = {&report.MA, &report.MB, &report.LWA, &report.LWB};
    for (int i = 0; i < 4; ++i) {
        double gradient[4] = {0.0, 0.0, 0.0, 0.0};
        gradient[i] = 1.0;
        parameters[i]->value = p[i];
        if (!fixed[i]) {
            parameters[i]->se = propagated(gradient, fixed, in_covariance, covariance);
        }
    }
    const double pi = 3.14159265358979323846;
    const auto derived = [&](double value, const double(&gradient)[4]) {
        return Estimate{value, propagated(gradient, fixed, in_covariance, covariance)};
    };
    report.height_A = derived(MA / LWA, {1.0 / LWA, 0.0, -MA / (LWA * LWA), 0.0});
    report.height_B = derived(MB / LWB, {0.0, 1.0 / LWB, 0.0, -MB / (LWB * LWB)});
    report.area_A = derived(pi * MA, {pi, 0.0, 0.0, 0.0});
    report.area_B = derived(pi * MB, {0.0, pi, 0.0, 0.0});
    const double total = MA + MB;
    report.fraction_A =
        derived(MA / total, {MB / (total * total), -MA / (total * total), 0.0, 0.0});
    return report;
}

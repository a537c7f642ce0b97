// The trend models and their fit: data-derived starts, Levenberg-Marquardt, covariance and
// Monte Carlo errors.
#include "Trend.h"

#include "DlibConfig.h"
#include "Failure.h"
#include "ReadNumbers.h"
#include "Stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// ------------------------------------------------------------------------------------------
// The models
// ------------------------------------------------------------------------------------------

// A fitted parameter is an amplitude, fitted as a multiple of the data's scale, or a time
// constant (Kd), fitted as the logarithm of a multiple of the z scale so that it stays > 0.
enum class Kind { amplitude, scale };

std::vector<Kind> kinds_of(TrendModel model) {
    switch (model) {
    case TrendModel::decay:
    case TrendModel::recovery:
        return {Kind::amplitude, Kind::scale};
    case TrendModel::inversion:
        return {Kind::amplitude, Kind::amplitude, Kind::scale};
    case TrendModel::binding:
        return {Kind::scale};
    case TrendModel::decay2:
        return {Kind::amplitude, Kind::scale, Kind::amplitude, Kind::scale};
    }
    return {};
}

// The most parameters a model fits.
constexpr std::size_t max_parameters = 4;

// The model at z and its derivatives with respect to the parameters.
double model_and_gradient(TrendModel model, const std::vector<double>& p, double protein, double z,
                          double* gradient) {
    switch (model) {
    case TrendModel::decay: {
        const double e = std::exp(-z / p[1]);
        if (gradient != nullptr) {
            gradient[0] = e;
            gradient[1] = p[0] * e * z / (p[1] * p[1]);
        }
        return p[0] * e;
    }
    case TrendModel::recovery: {
        const double e = std::exp(-z / p[1]);
        if (gradient != nullptr) {
            gradient[0] = 1.0 - e;
            gradient[1] = -p[0] * e * z / (p[1] * p[1]);
        }
        return p[0] * (1.0 - e);
    }
    case TrendModel::inversion: {
        const double e = std::exp(-z / p[2]);
        if (gradient != nullptr) {
            gradient[0] = 1.0 - e;
            gradient[1] = e;
            gradient[2] = -(p[0] - p[1]) * e * z / (p[2] * p[2]);
        }
        return p[0] - (p[0] - p[1]) * e;
    }
    case TrendModel::binding: {
        // The bound fraction in the form without cancellation: s - q = 4Pz / (s + q), and
        // s^2 - 4Pz written as a sum of terms that are >= 0.
        const double s = protein + z + p[0];
        const double q =
            std::sqrt((protein - z) * (protein - z) + p[0] * (2.0 * (protein + z) + p[0]));
        const double f = 2.0 * z / (s + q);
        if (gradient != nullptr) {
            gradient[0] = -f / q;
        }
        return f;
    }
    case TrendModel::decay2: {
        const double ea = std::exp(-z / p[1]);
        const double eb = std::exp(-z / p[3]);
        if (gradient != nullptr) {
            gradient[0] = ea;
            gradient[1] = p[0] * ea * z / (p[1] * p[1]);
            gradient[2] = eb;
            gradient[3] = p[2] * eb * z / (p[3] * p[3]);
        }
        return p[0] * ea + p[2] * eb;
    }
    }
    return not_a_number;
}

// ------------------------------------------------------------------------------------------
// Small dense algebra: the matrices have at most four rows.
// ------------------------------------------------------------------------------------------

using Matrix = std::vector<std::vector<double>>;

// The inverse of the symmetric k x k matrix `h` (k <= 4) by invert_symmetric of Stats.h; false
// when the data cannot tell its parameters apart.
bool invert_symmetric(const Matrix& h, Matrix& inverse) {
    const std::size_t k = h.size();
    double flat[16];
    double flat_inverse[16];
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            flat[i * k + j] = h[i][j];
        }
    }
    if (!::invert_symmetric(flat, static_cast<int>(k), flat_inverse)) {
        return false;
    }
    inverse.assign(k, std::vector<double>(k, 0.0));
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            inverse[i][j] = flat_inverse[i * k + j];
        }
    }
    return true;
}

// ------------------------------------------------------------------------------------------
// The least-squares problem in the fitted coordinates
// ------------------------------------------------------------------------------------------

using Vector = dlib::matrix<double, 0, 1>;

struct Problem {
    TrendModel model;
    std::vector<Kind> kinds;
    double protein;
    double y_scale; // the amplitudes' unit in the fitted coordinates
    double z_scale; // the time constant's unit
    std::vector<double> z, y;
    std::vector<double> divisor; // se (weighted) or y_scale (unweighted)
};

std::vector<double> natural_of(const Problem& problem, const Vector& x) {
    std::vector<double> p(problem.kinds.size());
    for (std::size_t j = 0; j < p.size(); ++j) {
        const double v = x(static_cast<long>(j));
        p[j] = problem.kinds[j] == Kind::amplitude ? problem.y_scale * v
                                                   : problem.z_scale * std::exp(v);
    }
    return p;
}

Vector fitted_of(const Problem& problem, const std::vector<double>& p) {
    Vector x(static_cast<long>(p.size()));
    for (std::size_t j = 0; j < p.size(); ++j) {
        x(static_cast<long>(j)) = problem.kinds[j] == Kind::amplitude
                                      ? p[j] / problem.y_scale
                                      : std::log(p[j] / problem.z_scale);
    }
    return x;
}

// The residual of point i and its derivatives with respect to the fitted coordinates.
double residual(const Problem& problem, const std::vector<double>& p, std::size_t i,
                double* gradient) {
    double g[max_parameters] = {0.0, 0.0, 0.0, 0.0};
    const double value =
        model_and_gradient(problem.model, p, problem.protein, problem.z[i], gradient ? g : nullptr);
    if (gradient != nullptr) {
        for (std::size_t j = 0; j < p.size(); ++j) {
            const double chain = problem.kinds[j] == Kind::amplitude ? problem.y_scale : p[j];
            gradient[j] = -g[j] * chain / problem.divisor[i];
        }
    }
    return (problem.y[i] - value) / problem.divisor[i];
}

double sum_of_squares(const Problem& problem, const std::vector<double>& p) {
    double sum = 0.0;
    for (std::size_t i = 0; i < problem.z.size(); ++i) {
        const double r = residual(problem, p, i, nullptr);
        sum += r * r;
    }
    return sum;
}

// Stops dlib's minimiser once an accepted step no longer lowers the sum in its 15th digit.
struct StopWhenSettled {
    unsigned iterations_left = 400;
    double previous = std::numeric_limits<double>::infinity();
    template <typename T> bool should_continue_search(const T&, double value, const T& gradient) {
        if (!std::isfinite(value) || iterations_left == 0 || value == 0.0 ||
            dlib::max(dlib::abs(gradient)) == 0.0 || previous - value <= 1e-15 * value) {
            return false;
        }
        --iterations_left;
        previous = value;
        return true;
    }
};

struct Solution {
    std::vector<double> p;     // natural parameters
    Matrix covariance;         // of the fitted coordinates, scaled to absolute errors
    double sum = 0.0;          // of the squared residuals in fitted coordinates
    double sum_rounding = 0.0; // what the rounding of the residuals can move sum by
    std::vector<double> step;  // the Gauss-Newton step to the minimum, in fitted coordinates
    bool converged = false;
    bool singular = false;
};

// Checks the point: J^T J not singular, and the Gauss-Newton step from it below a millionth of
// each coordinate's standard error, or below what the rounding of the residuals moves it.
Solution examine(const Problem& problem, const Vector& x, bool weighted) {
    Solution solution;
    solution.p = natural_of(problem, x);
    const std::size_t k = solution.p.size();
    const std::size_t n = problem.z.size();
    Matrix h(k, std::vector<double>(k, 0.0));
    std::vector<double> g(k, 0.0);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double d[max_parameters];
        const double r = residual(problem, solution.p, i, d);
        sum += r * r;
        for (std::size_t a = 0; a < k; ++a) {
            g[a] += d[a] * r;
            for (std::size_t b = 0; b < k; ++b) {
                h[a][b] += d[a] * d[b];
            }
        }
    }
    solution.sum = sum;
    bool finite = std::isfinite(sum);
    for (const double v : solution.p) {
        finite = finite && std::isfinite(v);
    }
    if (!finite) {
        return solution;
    }
    Matrix inverse;
    if (!invert_symmetric(h, inverse)) {
        solution.singular = true;
        return solution;
    }
    const double dof = static_cast<double>(n - k);
    const double variance = weighted ? 1.0 : std::max(sum / dof, 1e-16);
    // Each residual carries the rounding of y - f, a few units in the last place of the larger
    // of |y| and the amplitudes' scale, over its divisor. Summed over the points, that noise
    // hides any step of a coordinate below about its root sum of squares times the coordinate's
    // standard error: such a step is as settled as double precision can tell. Without this
    // floor, data whose errors lie far below their values would never pass.
    double rounding_squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double unit = std::max(std::fabs(problem.y[i]), problem.y_scale) / problem.divisor[i];
        rounding_squares += unit * unit;
        const double r = residual(problem, solution.p, i, nullptr);
        solution.sum_rounding +=
            8.0 * std::numeric_limits<double>::epsilon() * unit * (std::fabs(r) + unit);
    }
    solution.sum_rounding += 16.0 * std::numeric_limits<double>::epsilon() * sum;
    const double rounding_floor =
        4.0 * std::numeric_limits<double>::epsilon() * std::sqrt(rounding_squares);
    solution.converged = true;
    solution.step.assign(k, 0.0);
    for (std::size_t a = 0; a < k; ++a) {
        double& step = solution.step[a];
        for (std::size_t b = 0; b < k; ++b) {
            step += inverse[a][b] * g[b];
        }
        const double allowed =
            std::sqrt(inverse[a][a]) * std::max(1e-6 * std::sqrt(variance), rounding_floor);
        if (!(std::fabs(step) <= allowed)) {
            solution.converged = false;
        }
    }
    const double scale = weighted ? 1.0 : sum / dof;
    for (auto& row : inverse) {
        for (double& v : row) {
            v *= scale;
        }
    }
    solution.covariance = inverse;
    return solution;
}

// decay2 keeps its faster time first: a fit that ends with them the other way round is the
// same curve with the two terms swapped.
void put_in_order(const Problem& problem, Vector& x) {
    if (problem.model == TrendModel::decay2 && x(1) > x(3)) {
        std::swap(x(0), x(2));
        std::swap(x(1), x(3));
    }
}

// The Euclidean norm of each column of the Jacobian of the residuals at x: the coordinates'
// scale for the rounds after the first (1 where a column is zero or not finite).
std::vector<double> column_norms(const Problem& problem, const Vector& x) {
    const std::vector<double> p = natural_of(problem, x);
    std::vector<double> norms(p.size(), 0.0);
    for (std::size_t i = 0; i < problem.z.size(); ++i) {
        double d[max_parameters];
        residual(problem, p, i, d);
        for (std::size_t j = 0; j < p.size(); ++j) {
            norms[j] += d[j] * d[j];
        }
    }
    for (double& norm : norms) {
        norm = std::sqrt(norm);
        if (!(norm > 0.0) || !std::isfinite(norm)) {
            norm = 1.0;
        }
    }
    return norms;
}

// Levenberg-Marquardt from `start` (natural parameters), rerun from where it stopped until
// the step test holds, a few times at most. dlib's damping adds the same multiple of the
// identity to every coordinate, so where the data fix one coordinate far better than another
// (small errors, a large chi2) the first round can stop short of the minimum; the later
// rounds solve for the coordinates multiplied by the Jacobian's column norms, in which every
// coordinate has about unit curvature.
Solution minimise(const Problem& problem, const std::vector<double>& start, bool weighted) {
    Vector x = fitted_of(problem, start);
    std::vector<long> points(problem.z.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        points[i] = static_cast<long>(i);
    }
    Solution solution;
    std::vector<double> scale(start.size(), 1.0);
    const auto unscaled = [&scale](const Vector& at) {
        Vector out(at.size());
        for (long j = 0; j < at.size(); ++j) {
            out(j) = at(j) / scale[static_cast<std::size_t>(j)];
        }
        return out;
    };
    const auto f = [&](const long& i, const Vector& at) {
        return residual(problem, natural_of(problem, unscaled(at)), static_cast<std::size_t>(i),
                        nullptr);
    };
    const auto derivative = [&](const long& i, const Vector& at) {
        double d[max_parameters];
        residual(problem, natural_of(problem, unscaled(at)), static_cast<std::size_t>(i), d);
        Vector out(at.size());
        for (long j = 0; j < at.size(); ++j) {
            out(j) = d[j] / scale[static_cast<std::size_t>(j)];
        }
        return out;
    };
    for (int round = 0; round < 8; ++round) {
        if (round > 0) {
            scale = column_norms(problem, x);
        }
        Vector u = x;
        for (long j = 0; j < u.size(); ++j) {
            u(j) = x(j) * scale[static_cast<std::size_t>(j)];
        }
        dlib::solve_least_squares_lm(StopWhenSettled{}, f, derivative, points, u);
        x = unscaled(u);
        put_in_order(problem, x);
        solution = examine(problem, x, weighted);
        // Near a minimum of a large chi2, the sum's own rounding hides the last steps from a
        // minimiser that compares sums; the Gauss-Newton step, computed from the gradient,
        // still sees them. Taken while it does not raise the sum beyond that rounding.
        for (int polish = 0; polish < 4 && !solution.converged && !solution.singular &&
                             solution.step.size() == static_cast<std::size_t>(x.size());
             ++polish) {
            Vector moved = x;
            for (long j = 0; j < moved.size(); ++j) {
                moved(j) -= solution.step[static_cast<std::size_t>(j)];
            }
            put_in_order(problem, moved);
            const Solution next = examine(problem, moved, weighted);
            if (!(next.sum <= solution.sum + solution.sum_rounding + next.sum_rounding)) {
                break;
            }
            x = moved;
            solution = next;
        }
        if (solution.converged || solution.singular || !std::isfinite(solution.sum)) {
            break;
        }
    }
    return solution;
}

// ------------------------------------------------------------------------------------------
// Start values
// ------------------------------------------------------------------------------------------

// For a fixed time constant the amplitudes enter linearly: solved by weighted least squares.
// Returns the full parameter vector, or an empty one when the normal equations are singular.
std::vector<double> with_best_amplitudes(const Problem& problem, double tau) {
    const std::size_t n = problem.z.size();
    switch (problem.model) {
    case TrendModel::decay:
    case TrendModel::recovery: {
        double sbb = 0.0;
        double sby = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double e = std::exp(-problem.z[i] / tau);
            const double b = problem.model == TrendModel::decay ? e : 1.0 - e;
            const double w = 1.0 / (problem.divisor[i] * problem.divisor[i]);
            sbb += w * b * b;
            sby += w * b * problem.y[i];
        }
        if (!(sbb > 0.0)) {
            return {};
        }
        return {sby / sbb, tau};
    }
    case TrendModel::inversion: {
        // y = c0 + c1 e: Iinf = c0, I0 = c0 + c1.
        double s11 = 0.0, s1e = 0.0, see = 0.0, s1y = 0.0, sey = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double e = std::exp(-problem.z[i] / tau);
            const double w = 1.0 / (problem.divisor[i] * problem.divisor[i]);
            s11 += w;
            s1e += w * e;
            see += w * e * e;
            s1y += w * problem.y[i];
            sey += w * e * problem.y[i];
        }
        const double det = s11 * see - s1e * s1e;
        if (!(std::fabs(det) > 1e-12 * s11 * see)) {
            return {};
        }
        const double c0 = (see * s1y - s1e * sey) / det;
        const double c1 = (s11 * sey - s1e * s1y) / det;
        return {c0, c0 + c1, tau};
    }
    case TrendModel::binding:
        return {tau};
    case TrendModel::decay2:
        break; // two time constants: with_best_amplitude_pair
    }
    return {};
}

// decay2 at the times (ta, tb) with its two amplitudes solved by weighted least squares; empty
// when the two terms cannot be told apart on these points.
std::vector<double> with_best_amplitude_pair(const Problem& problem, double ta, double tb) {
    double saa = 0.0, sab = 0.0, sbb = 0.0, say = 0.0, sby = 0.0;
    for (std::size_t i = 0; i < problem.z.size(); ++i) {
        const double a = std::exp(-problem.z[i] / ta);
        const double b = std::exp(-problem.z[i] / tb);
        const double w = 1.0 / (problem.divisor[i] * problem.divisor[i]);
        saa += w * a * a;
        sab += w * a * b;
        sbb += w * b * b;
        say += w * a * problem.y[i];
        sby += w * b * problem.y[i];
    }
    const double det = saa * sbb - sab * sab;
    if (!(det > 1e-12 * saa * sbb)) {
        return {};
    }
    return {(sbb * say - sab * sby) / det, ta, (saa * sby - sab * say) / det, tb};
}

std::vector<std::vector<double>> start_values(const Problem& problem);
Solution minimise(const Problem& problem, const std::vector<double>& start, bool weighted);

// decay2 from the one-exponential fit of the same points: its time T split into a faster and
// a slower one on a grid of ratios around T, the amplitudes solved at each pair; the two
// pairs of lowest sum are the starts.
std::vector<std::vector<double>> decay2_starts(const Problem& problem, bool weighted) {
    Problem single = problem;
    single.model = TrendModel::decay;
    single.kinds = kinds_of(TrendModel::decay);
    double t = std::numeric_limits<double>::quiet_NaN();
    double best_sum = std::numeric_limits<double>::infinity();
    for (const std::vector<double>& start : start_values(single)) {
        const Solution solution = minimise(single, start, weighted);
        if (std::isfinite(solution.sum) && solution.sum < best_sum && solution.p[1] > 0.0) {
            best_sum = solution.sum;
            t = solution.p[1];
        }
    }
    if (!std::isfinite(t)) {
        t = problem.z_scale / 3.0;
    }
    struct Candidate {
        double sum;
        std::vector<double> p;
    };
    std::vector<Candidate> candidates;
    const double factors[] = {1.2, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0, 100.0};
    for (const double faster : factors) {
        for (const double slower : factors) {
            std::vector<double> p = with_best_amplitude_pair(problem, t / faster, t * slower);
            const double sum = p.empty() ? not_a_number : sum_of_squares(problem, p);
            if (std::isfinite(sum)) {
                candidates.push_back({sum, p});
            }
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.sum < b.sum; });
    std::vector<std::vector<double>> starts;
    for (std::size_t c = 0; c < candidates.size() && c < 2; ++c) {
        starts.push_back(candidates[c].p);
    }
    return starts;
}

std::vector<std::vector<double>> start_values(const Problem& problem) {
    std::vector<double> sorted = problem.z;
    std::sort(sorted.begin(), sorted.end());
    double smallest_gap = std::numeric_limits<double>::infinity();
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        if (sorted[i] > sorted[i - 1]) {
            smallest_gap = std::min(smallest_gap, sorted[i] - sorted[i - 1]);
        }
    }
    double low = problem.z_scale * 1e-4;
    double high = problem.z_scale * 1e3;
    if (problem.model != TrendModel::binding && std::isfinite(smallest_gap)) {
        low = std::max(low, smallest_gap / 10.0);
        high = std::max(high, low * 10.0);
    }
    std::vector<std::vector<double>> starts;
    std::vector<double> best;
    double best_sum = std::numeric_limits<double>::infinity();
    constexpr int steps = 60;
    for (int s = 0; s <= steps; ++s) {
        const double tau = low * std::pow(high / low, static_cast<double>(s) / steps);
        const std::vector<double> p = with_best_amplitudes(problem, tau);
        if (p.empty()) {
            continue;
        }
        const double sum = sum_of_squares(problem, p);
        if (sum < best_sum) {
            best_sum = sum;
            best = p;
        }
    }
    if (!best.empty()) {
        starts.push_back(best);
    }
    if (problem.model == TrendModel::decay) {
        // ln y = ln I0 - z/T over the positive values, weighted by (y/se)^2.
        double sw = 0.0, sz = 0.0, szz = 0.0, sl = 0.0, szl = 0.0;
        for (std::size_t i = 0; i < problem.z.size(); ++i) {
            if (problem.y[i] > 0.0) {
                const double w =
                    problem.y[i] * problem.y[i] / (problem.divisor[i] * problem.divisor[i]);
                const double l = std::log(problem.y[i]);
                sw += w;
                sz += w * problem.z[i];
                szz += w * problem.z[i] * problem.z[i];
                sl += w * l;
                szl += w * problem.z[i] * l;
            }
        }
        const double det = sw * szz - sz * sz;
        if (det > 0.0) {
            const double slope = (sw * szl - sz * sl) / det;
            const double intercept = (sl - slope * sz) / sw;
            if (slope < 0.0 && std::isfinite(intercept)) {
                starts.push_back({std::exp(intercept), -1.0 / slope});
            }
        }
    }
    return starts;
}

// ------------------------------------------------------------------------------------------
// Monte Carlo
// ------------------------------------------------------------------------------------------

// Standard normal numbers by Marsaglia's polar method from std::mt19937_64, whose output the
// C++ standard fixes, so that every standard library gives the same numbers.
struct NormalSource {
    explicit NormalSource(std::uint64_t seed) : engine(seed) {}
    double next() {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        for (;;) {
            const double u = 2.0 * static_cast<double>(engine() >> 11) * 0x1p-53 - 1.0;
            const double v = 2.0 * static_cast<double>(engine() >> 11) * 0x1p-53 - 1.0;
            const double s = u * u + v * v;
            if (s > 0.0 && s < 1.0) {
                const double factor = std::sqrt(-2.0 * std::log(s) / s);
                spare = v * factor;
                has_spare = true;
                return u * factor;
            }
        }
    }
    std::mt19937_64 engine;
    bool has_spare = false;
    double spare = 0.0;
};

double spread(const std::vector<double>& values) {
    if (values.size() < 2) {
        return not_a_number;
    }
    double mean = 0.0;
    for (const double v : values) {
        mean += v;
    }
    mean /= static_cast<double>(values.size());
    double sum = 0.0;
    for (const double v : values) {
        sum += (v - mean) * (v - mean);
    }
    return std::sqrt(sum / static_cast<double>(values.size() - 1));
}

std::string rate_name(const std::string& time_constant) {
    return "R" + time_constant.substr(1);
}

} // namespace

std::string monte_carlo_problem(unsigned long long sets) {
    if (sets > max_monte_carlo_sets) {
        return "at most " + std::to_string(max_monte_carlo_sets) + " Monte Carlo sets";
    }
    if (sets == 1) {
        return "one Monte Carlo set has no spread for se_mc: ask for 0 (none) or at least 2";
    }
    return "";
}

bool parse_trend_model(const std::string& name, TrendModel& model) {
    for (const TrendModel candidate :
         {TrendModel::decay, TrendModel::recovery, TrendModel::inversion, TrendModel::binding,
          TrendModel::decay2}) {
        if (name == trend_model_name(candidate)) {
            model = candidate;
            return true;
        }
    }
    return false;
}

const char* trend_model_name(TrendModel model) {
    switch (model) {
    case TrendModel::decay:
        return "decay";
    case TrendModel::recovery:
        return "recovery";
    case TrendModel::inversion:
        return "inversion";
    case TrendModel::binding:
        return "binding";
    case TrendModel::decay2:
        return "decay2";
    }
    return "";
}

std::vector<std::string> trend_parameter_names(TrendModel model) {
    switch (model) {
    case TrendModel::decay:
        return {"I0", "T"};
    case TrendModel::recovery:
        return {"Iinf", "T1"};
    case TrendModel::inversion:
        return {"Iinf", "I0", "T1"};
    case TrendModel::binding:
        return {"Kd"};
    case TrendModel::decay2:
        return {"A1", "Ta", "A2", "Tb"};
    }
    return {};
}

double trend_curve(TrendModel model, const std::vector<double>& parameters, double protein,
                   double z) {
    if (parameters.size() != kinds_of(model).size()) {
        return not_a_number;
    }
    return model_and_gradient(model, parameters, protein, z, nullptr);
}

TrendFit fit_trend(const std::vector<double>& z, const std::vector<double>& y,
                   const std::vector<double>& se, TrendModel model, const TrendOptions& options,
                   const std::vector<std::size_t>& left_out) {
    if (z.size() != y.size() || z.size() != se.size()) {
        throw Failure(FailureKind::malformed_input,
                      "z, values and standard errors differ in count (" + std::to_string(z.size()) +
                          ", " + std::to_string(y.size()) + ", " + std::to_string(se.size()) + ")");
    }
    if (model == TrendModel::binding &&
        !(options.protein > 0.0 && std::isfinite(options.protein))) {
        throw Failure(FailureKind::malformed_input,
                      "binding needs the total protein concentration P > 0 (--protein P)");
    }
    const std::vector<std::string> names = trend_parameter_names(model);
    const std::size_t k = names.size();

    Problem problem{model, kinds_of(model), options.protein, 0.0, 0.0, {}, {}, {}};
    TrendFit fit;
    fit.model = model;
    fit.weighted = options.weighted;
    std::vector<bool> leave_out(z.size(), false);
    for (const std::size_t i : left_out) {
        if (i < z.size() && !leave_out[i]) {
            leave_out[i] = true;
            fit.excluded.push_back(i);
        }
    }
    std::sort(fit.excluded.begin(), fit.excluded.end());
    for (std::size_t i = 0; i < z.size(); ++i) {
        if (leave_out[i] || !std::isfinite(z[i]) || !std::isfinite(y[i]) ||
            (options.weighted && !std::isfinite(se[i]))) {
            continue;
        }
        if (options.weighted && !(se[i] > 0.0)) {
            throw Failure(FailureKind::malformed_input,
                          "slice " + std::to_string(i) + " has the standard error " +
                              shortest_text(se[i]) +
                              ", and a weighted fit needs every se > 0: leave that slice out of "
                              "report.csv or fit with --unweighted");
        }
        if (model == TrendModel::binding && z[i] < 0.0) {
            throw Failure(FailureKind::malformed_input,
                          "slice " + std::to_string(i) + " has the total ligand z = " +
                              shortest_text(z[i]) + "; binding needs z >= 0");
        }
        fit.used.push_back(i);
        problem.z.push_back(z[i]);
        problem.y.push_back(y[i]);
        problem.divisor.push_back(se[i]);
    }
    fit.n = fit.used.size();
    if (fit.n < k + 1) {
        throw Failure(FailureKind::malformed_input,
                      std::to_string(fit.n) + (fit.n == 1 ? " slice has" : " slices have") +
                          " a finite z, value" + (options.weighted ? " and se" : "") + "; " +
                          trend_model_name(model) + " fits " + std::to_string(k) +
                          " parameters and needs at least " + std::to_string(k + 1));
    }
    for (std::size_t i = 0; i < fit.n; ++i) {
        problem.y_scale = std::max(problem.y_scale, std::fabs(problem.y[i]));
        problem.z_scale = std::max(problem.z_scale, std::fabs(problem.z[i]));
    }
    if (problem.y_scale == 0.0) {
        problem.y_scale = 1.0;
    }
    // An error below the rounding of the largest value is no measurement: it would weight its
    // slice beyond every other and leave the fit to rounding.
    for (std::size_t j = 0; options.weighted && j < fit.n; ++j) {
        if (problem.divisor[j] < 1e-15 * problem.y_scale) {
            throw Failure(FailureKind::malformed_input,
                          "slice " + std::to_string(fit.used[j]) + " has the standard error " +
                              shortest_text(problem.divisor[j]) +
                              ", below the rounding of the values (the largest |value| is " +
                              shortest_text(problem.y_scale) +
                              "): no measurement is that precise; check how it was made, leave "
                              "that slice out of report.csv or fit with --unweighted");
        }
    }
    if (problem.z_scale == 0.0) {
        problem.z_scale = 1.0;
    }
    if (!options.weighted) {
        problem.divisor.assign(fit.n, problem.y_scale);
    }

    Solution best;
    bool any_singular = false;
    const std::vector<std::vector<double>> starts = model == TrendModel::decay2
                                                        ? decay2_starts(problem, options.weighted)
                                                        : start_values(problem);
    for (const std::vector<double>& start : starts) {
        const Solution solution = minimise(problem, start, options.weighted);
        any_singular = any_singular || solution.singular;
        if (solution.converged && (!best.converged || solution.sum < best.sum)) {
            best = solution;
        }
    }
    if (!best.converged) {
        throw Failure(FailureKind::non_finite_fit,
                      std::string("the ") + trend_model_name(model) + " fit " +
                          (any_singular ? "is singular: the data do not determine every parameter"
                                        : "did not converge") +
                          " (" + std::to_string(fit.n) +
                          " slices); check that the values follow the model over the z range");
    }
    const double dof = static_cast<double>(fit.n - k);
    fit.dof = static_cast<long>(fit.n - k);
    fit.fitted = best.p;
    fit.converged = true;
    std::vector<double> curve(fit.n);
    fit.rss = 0.0;
    for (std::size_t i = 0; i < fit.n; ++i) {
        curve[i] = model_and_gradient(model, best.p, options.protein, problem.z[i], nullptr);
        fit.rss += (problem.y[i] - curve[i]) * (problem.y[i] - curve[i]);
    }
    // Unweighted, the sum in the fitted coordinates is the rss in units of y_scale^2.
    const double s =
        options.weighted ? 1.0 : std::sqrt(best.sum * (problem.y_scale * problem.y_scale) / dof);
    if (options.weighted) {
        fit.chi2 = best.sum;
        fit.chi2_red = fit.chi2 / dof;
        fit.p_value = chi2_survival(fit.chi2, dof);
        fit.status = fit.p_value < trend_misfit_p_value ? "misfit" : "ok";
    } else {
        fit.rss = best.sum * problem.y_scale * problem.y_scale;
        fit.chi2 = not_a_number;
        fit.chi2_red = not_a_number;
    }
    for (std::size_t i = 0; i < fit.n; ++i) {
        const double normalised =
            (problem.y[i] - curve[i]) / (options.weighted ? problem.divisor[i] : s);
        if (i == 0 || std::fabs(normalised) > std::fabs(fit.worst_residual)) {
            fit.worst_residual = normalised;
            fit.worst_point = fit.used[i];
        }
    }

    // Monte Carlo: the fitted curve plus noise of each point's se, or of s unweighted.
    std::vector<std::vector<double>> samples(k);
    NormalSource normal(options.seed);
    for (unsigned m = 0; m < options.monte_carlo; ++m) {
        Problem synthetic = problem;
        for (std::size_t i = 0; i < fit.n; ++i) {
            synthetic.y[i] = curve[i] + (options.weighted ? problem.divisor[i] : s) * normal.next();
        }
        const Solution refit = minimise(synthetic, best.p, options.weighted);
        if (refit.converged) {
            ++fit.monte_carlo_refits;
            for (std::size_t j = 0; j < k; ++j) {
                samples[j].push_back(refit.p[j]);
            }
        }
    }

    for (std::size_t j = 0; j < k; ++j) {
        // From the fitted coordinates to the parameter: x = p / y_scale or ln(p / z_scale).
        const double chain = problem.kinds[j] == Kind::amplitude ? problem.y_scale : best.p[j];
        TrendParameter parameter{names[j], best.p[j],
                                 std::fabs(chain) * std::sqrt(best.covariance[j][j]),
                                 spread(samples[j])};
        fit.parameters.push_back(parameter);
        if (problem.kinds[j] == Kind::scale && model != TrendModel::binding) {
            std::vector<double> rates;
            for (const double t : samples[j]) {
                rates.push_back(1.0 / t);
            }
            fit.parameters.push_back({rate_name(names[j]), 1.0 / best.p[j],
                                      parameter.se / (best.p[j] * best.p[j]), spread(rates)});
        }
    }
    return fit;
}

std::string not_identifiable_reason(const TrendFit& fit) {
    if (fit.model != TrendModel::decay2 || fit.parameters.size() != 6) {
        return "";
    }
    // A1, Ta, Ra, A2, Tb, Rb
    const TrendParameter& a1 = fit.parameters[0];
    const TrendParameter& ta = fit.parameters[1];
    const TrendParameter& a2 = fit.parameters[3];
    const TrendParameter& tb = fit.parameters[4];
    std::string reason;
    const auto add = [&reason](const std::string& text) {
        reason += (reason.empty() ? "" : "; ") + text;
    };
    if (!(std::fabs(tb.value - ta.value) > ta.se + tb.se)) {
        add("Ta and Tb lie within their errors of each other");
    }
    for (const TrendParameter* amplitude : {&a1, &a2}) {
        if (!(std::fabs(amplitude->value) > amplitude->se)) {
            add(amplitude->name + " lies within its error of 0");
        }
    }
    return reason;
}

bool trend_models_nested(TrendModel simpler, TrendModel larger) {
    return (simpler == TrendModel::decay &&
            (larger == TrendModel::decay2 || larger == TrendModel::inversion)) ||
           (simpler == TrendModel::recovery && larger == TrendModel::inversion);
}

bool trend_models_comparable(TrendModel model, TrendModel model2) {
    return model != model2 && (model == TrendModel::binding) == (model2 == TrendModel::binding);
}

TrendComparison compare_trends(const std::string& line, const TrendFit& fit, TrendModel model2,
                               const TrendFit* fit2, const std::string& failure) {
    TrendComparison comparison;
    comparison.line = line;
    comparison.model = fit.model;
    comparison.model2 = model2;
    comparison.preferred = fit.model;
    comparison.chi2 = fit.weighted ? fit.chi2 : fit.rss;
    comparison.dof = fit.dof;
    if (fit2 == nullptr) {
        comparison.chi2_2 = not_a_number;
        comparison.dof_2 =
            static_cast<long>(fit.n) - static_cast<long>(trend_parameter_names(model2).size());
        comparison.note = std::string(trend_model_name(model2)) + " was not fitted: " + failure;
        return comparison;
    }
    comparison.chi2_2 = fit2->weighted ? fit2->chi2 : fit2->rss;
    comparison.dof_2 = fit2->dof;
    const double n = static_cast<double>(fit.n);
    const double k = n - static_cast<double>(fit.dof);
    const double k2 = n - static_cast<double>(fit2->dof);
    comparison.delta_aic = fit.weighted
                               ? comparison.chi2_2 - comparison.chi2 + 2.0 * (k2 - k)
                               : n * std::log(comparison.chi2_2 / comparison.chi2) + 2.0 * (k2 - k);
    const bool nested = trend_models_nested(fit.model, model2);
    if (nested && comparison.dof_2 > 0 && comparison.dof > comparison.dof_2) {
        const double extra = static_cast<double>(comparison.dof - comparison.dof_2);
        const double denominator = static_cast<double>(comparison.dof_2);
        comparison.F = std::max(comparison.chi2 - comparison.chi2_2, 0.0) / extra /
                       (comparison.chi2_2 / denominator);
        comparison.p_value = f_survival(comparison.F, extra, denominator);
    }
    const std::string unidentified = not_identifiable_reason(*fit2);
    const bool better =
        nested ? comparison.p_value < trend_misfit_p_value : comparison.delta_aic < -10.0;
    if (!unidentified.empty()) {
        comparison.note = std::string(trend_model_name(model2)) +
                          " is not identifiable: " + unidentified +
                          "; the data do not support its extra parameters";
    } else if (better) {
        comparison.preferred = model2;
    }
    return comparison;
}

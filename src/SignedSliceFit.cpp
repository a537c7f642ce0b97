// Variable projection for the two-line model with amplitudes of either sign. For given
// half-widths the rss is a convex quadratic in (MA, MB), minimised exactly within the box;
// the trust region then sees only the half-widths. An amplitude passing through 0 leaves
// nothing to stall on: the projection puts it where the data want it.
#include "SignedSliceFit.h"

#include "Fit.h"
#include "TrustRegionOptions.h"

#include <ceres/ceres.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

constexpr double amplitude_lower = signed_amplitude_lower_bound;
constexpr double amplitude_upper = parameter_upper_bound;
// The most basins a slice fit starts the trust region in beside the carried-over start.
constexpr int max_restarts = 4;
// The scan of the box: this many half-widths from 1e-4 to 10, each scan_step times the last.
constexpr std::size_t scan_widths = 17;
const double scan_step =
    std::pow(parameter_upper_bound / parameter_lower_bound, 1.0 / (scan_widths - 1.0));

// The best amplitudes for given columns, and which of them the box holds.
struct Amplitudes {
    double MA = 0.0;
    double MB = 0.0;
    bool A_free = true; // strictly inside the box: it follows the half-widths
    bool B_free = true;
};

// The sums of one evaluation: the Gram matrix of the two unit columns and their products
// with the data.
struct Sums {
    double aa = 0.0, ab = 0.0, bb = 0.0, ay = 0.0, by = 0.0;
};

double clamp_amplitude(double m) {
    return std::clamp(m, amplitude_lower, amplitude_upper);
}

bool inside_box(double m) {
    return m > amplitude_lower && m < amplitude_upper;
}

// The minimum of |MA a + MB b - y|^2 within [-10, 10]^2: the unconstrained minimum when it
// lies inside, else the lowest of the edges' minima (on an edge the rss is a convex parabola,
// whose minimum within the edge is its clamped vertex). The edges are compared by the rss
// less |y|^2, which the sums give without another pass over the points.
Amplitudes best_amplitudes(const Sums& s) {
    const double det = s.aa * s.bb - s.ab * s.ab;
    if (det > 1e-13 * s.aa * s.bb) {
        const double MA = (s.bb * s.ay - s.ab * s.by) / det;
        const double MB = (s.aa * s.by - s.ab * s.ay) / det;
        if (inside_box(MA) && inside_box(MB)) {
            return {MA, MB, true, true};
        }
    }
    const auto reduced_rss = [&](double MA, double MB) {
        return MA * (MA * s.aa + 2.0 * MB * s.ab - 2.0 * s.ay) + MB * (MB * s.bb - 2.0 * s.by);
    };
    std::array<Amplitudes, 6> candidates;
    std::size_t count = 0;
    for (const double edge : {amplitude_lower, amplitude_upper}) {
        const double MB = s.bb > 0.0 ? clamp_amplitude((s.by - s.ab * edge) / s.bb) : 0.0;
        candidates[count++] = {edge, MB, false, inside_box(MB)};
        const double MA = s.aa > 0.0 ? clamp_amplitude((s.ay - s.ab * edge) / s.aa) : 0.0;
        candidates[count++] = {MA, edge, inside_box(MA), false};
    }
    // Columns parallel within rounding have no single unconstrained minimum; those with one
    // amplitude at 0 (held there) stand for it.
    if (s.aa > 0.0) {
        const double MA = clamp_amplitude(s.ay / s.aa);
        candidates[count++] = {MA, 0.0, inside_box(MA), false};
    }
    if (s.bb > 0.0) {
        const double MB = clamp_amplitude(s.by / s.bb);
        candidates[count++] = {0.0, MB, false, inside_box(MB)};
    }
    Amplitudes best = candidates.front();
    double lowest = reduced_rss(best.MA, best.MB);
    for (std::size_t i = 1; i < count; ++i) {
        const double value = reduced_rss(candidates[i].MA, candidates[i].MB);
        if (value < lowest) {
            lowest = value;
            best = candidates[i];
        }
    }
    return best;
}

// What one evaluation at (LWA, LWB) gives: the amplitudes, the rss, and the products of the
// projected residuals' exact Jacobian J (Golub and Pereyra) with itself and with the residuals
// r = model - data.
struct Evaluation {
    double LWA = 0.0, LWB = 0.0;
    Amplitudes amplitudes;
    double rss = 0.0;
    double JA_JA = 0.0, JA_JB = 0.0, JB_JB = 0.0; // J^T J
    double JA_r = 0.0, JB_r = 0.0;                // J^T r: half the gradient of the rss
    bool finite = false;
};

// The projected residuals of one slice as functions of (LWA, LWB). A unit line (amplitude 1)
// at distance d from its position is W / (W^2 + d^2), its derivative in the half-width
// (d^2 - W^2) / (W^2 + d^2)^2.
class ProjectedLinePair {
  public:
    ProjectedLinePair(const SlicePoints& points, double peak_A, double peak_B)
        : points_(points), peak_A_(peak_A), peak_B_(peak_B), a_(points.count), b_(points.count),
          da_(points.count), db_(points.count) {}

    // The evaluation at (LWA, LWB); the last one is kept, since the trust region asks for the
    // point it accepted once more.
    const Evaluation& evaluate(double LWA, double LWB) const {
        if (last_.finite && last_.LWA == LWA && last_.LWB == LWB) {
            return last_;
        }
        last_ = Evaluation{};
        last_.LWA = LWA;
        last_.LWB = LWB;
        const std::size_t n = points_.count;
        const double* const ppm = points_.ppm;
        const double* const intensity = points_.intensity;
        Sums s;
        double da_da = 0.0, db_db = 0.0, da_db = 0.0, a_da = 0.0, b_da = 0.0, a_db = 0.0,
               b_db = 0.0;
        const double LWA_squared = LWA * LWA;
        const double LWB_squared = LWB * LWB;
        for (std::size_t i = 0; i < n; ++i) {
            const double y = intensity[i];
            const double dA = ppm[i] - peak_A_;
            const double dB = ppm[i] - peak_B_;
            const double dA_squared = dA * dA;
            const double dB_squared = dB * dB;
            const double inverse_A = 1.0 / (LWA_squared + dA_squared);
            const double inverse_B = 1.0 / (LWB_squared + dB_squared);
            const double a = LWA * inverse_A;
            const double b = LWB * inverse_B;
            const double da = (dA_squared - LWA_squared) * (inverse_A * inverse_A);
            const double db = (dB_squared - LWB_squared) * (inverse_B * inverse_B);
            a_[i] = a;
            b_[i] = b;
            da_[i] = da;
            db_[i] = db;
            s.aa += a * a;
            s.ab += a * b;
            s.bb += b * b;
            s.ay += a * y;
            s.by += b * y;
            da_da += da * da;
            db_db += db * db;
            da_db += da * db;
            a_da += a * da;
            b_da += b * da;
            a_db += a * db;
            b_db += b * db;
        }
        if (!std::isfinite(s.aa + s.ab + s.bb + s.ay + s.by + da_da + db_db + da_db)) {
            return last_;
        }
        const Amplitudes m = best_amplitudes(s);
        double rss = 0.0, a_r = 0.0, b_r = 0.0, da_r = 0.0, db_r = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double r = (m.MA * a_[i] + m.MB * b_[i]) - intensity[i];
            rss += r * r;
            a_r += a_[i] * r;
            b_r += b_[i] * r;
            da_r += da_[i] * r;
            db_r += db_[i] * r;
        }
        // The free amplitudes keep their normal equations (a.r = 0, b.r = 0) as a half-width
        // moves; differentiated: G_free dm = -(the moved column's product with r where it is
        // the free amplitude's own, + the moved amplitude times the moved column's products
        // with the free columns).
        const auto amplitude_steps = [&](bool width_A) {
            const double moved = width_A ? m.MA : m.MB;
            const double rhs_A = (width_A ? da_r : 0.0) + moved * (width_A ? a_da : a_db);
            const double rhs_B = (width_A ? 0.0 : db_r) + moved * (width_A ? b_da : b_db);
            std::array<double, 2> dm{0.0, 0.0};
            if (m.A_free && m.B_free) {
                const double det = s.aa * s.bb - s.ab * s.ab;
                dm[0] = -(s.bb * rhs_A - s.ab * rhs_B) / det;
                dm[1] = -(s.aa * rhs_B - s.ab * rhs_A) / det;
            } else if (m.A_free) {
                dm[0] = -rhs_A / s.aa;
            } else if (m.B_free) {
                dm[1] = -rhs_B / s.bb;
            }
            return dm;
        };
        // J_A = MA da + dm_A[0] a + dm_A[1] b, J_B = MB db + dm_B[0] a + dm_B[1] b: their
        // products from the sums.
        const std::array<double, 2> p = amplitude_steps(true);
        const std::array<double, 2> q = amplitude_steps(false);
        const auto product = [&](double m1, double x1, double y1, bool first_is_A, double m2,
                                 double x2, double y2, bool second_is_A) {
            // (m1 d1 + x1 a + y1 b) . (m2 d2 + x2 a + y2 b), d the moved column of each.
            const double d1_d2 = first_is_A == second_is_A ? (first_is_A ? da_da : db_db) : da_db;
            const double d1_a = first_is_A ? a_da : a_db;
            const double d1_b = first_is_A ? b_da : b_db;
            const double d2_a = second_is_A ? a_da : a_db;
            const double d2_b = second_is_A ? b_da : b_db;
            return m1 * m2 * d1_d2 + m1 * (x2 * d1_a + y2 * d1_b) + m2 * (x1 * d2_a + y1 * d2_b) +
                   x1 * x2 * s.aa + (x1 * y2 + y1 * x2) * s.ab + y1 * y2 * s.bb;
        };
        last_.amplitudes = m;
        last_.rss = rss;
        last_.JA_JA = product(m.MA, p[0], p[1], true, m.MA, p[0], p[1], true);
        last_.JB_JB = product(m.MB, q[0], q[1], false, m.MB, q[0], q[1], false);
        last_.JA_JB = product(m.MA, p[0], p[1], true, m.MB, q[0], q[1], false);
        last_.JA_r = m.MA * da_r + p[0] * a_r + p[1] * b_r;
        last_.JB_r = m.MB * db_r + q[0] * a_r + q[1] * b_r;
        last_.finite =
            std::isfinite(rss + last_.JA_JA + last_.JB_JB + last_.JA_JB + last_.JA_r + last_.JB_r);
        return last_;
    }

  private:
    SlicePoints points_;
    double peak_A_, peak_B_;
    // The columns of an evaluation, kept to spare an allocation per evaluation.
    mutable std::vector<double> a_, b_, da_, db_;
    mutable Evaluation last_;
};

// The trust region's view of the projected residuals: three residuals r' and their
// Jacobian J' (the triangular factor of [J r]) with |r'|^2 = |r|^2, J'^T J' = J^T J and
// J'^T r' = J^T r, so that its linear model |r + J step|^2, its scaling and its gradient are
// those of the n points while its own work is that of three.
class ProjectedCost : public ceres::SizedCostFunction<3, 2> {
  public:
    explicit ProjectedCost(const ProjectedLinePair& model) : model_(model) {}
    bool Evaluate(double const* const* parameters, double* residuals,
                  double** jacobians) const override {
        const Evaluation& e = model_.evaluate(parameters[0][0], parameters[0][1]);
        if (!e.finite) {
            return false;
        }
        const auto root = [](double x) { return std::sqrt(std::max(x, 0.0)); };
        const double R11 = root(e.JA_JA);
        const double R12 = R11 > 0.0 ? e.JA_JB / R11 : 0.0;
        const double R13 = R11 > 0.0 ? e.JA_r / R11 : 0.0;
        const double R22 = root(e.JB_JB - R12 * R12);
        const double R23 = R22 > 0.0 ? (e.JB_r - R12 * R13) / R22 : 0.0;
        residuals[0] = R13;
        residuals[1] = R23;
        residuals[2] = root(e.rss - R13 * R13 - R23 * R23);
        if (jacobians != nullptr && jacobians[0] != nullptr) {
            double* const J = jacobians[0]; // row-major, 3 x 2
            J[0] = R11;
            J[1] = R12;
            J[2] = 0.0;
            J[3] = R22;
            J[4] = 0.0;
            J[5] = 0.0;
        }
        return true;
    }

  private:
    const ProjectedLinePair& model_;
};

struct WidthFit {
    std::array<double, 2> widths{};
    unsigned long steps = 0;
    bool converged = true;
    bool finite = true;
    double rss = HUGE_VAL;
};

// One run of Ceres' bounded Levenberg-Marquardt on the half-widths, those in `held` kept.
bool trust_region(const ProjectedLinePair& model, const std::vector<int>& held,
                  std::array<double, 2>& widths, WidthFit& fit) {
    ceres::Problem::Options problem_options;
    problem_options.cost_function_ownership = ceres::TAKE_OWNERSHIP;
    problem_options.manifold_ownership = ceres::TAKE_OWNERSHIP;
    ceres::Problem problem(problem_options);
    problem.AddResidualBlock(new ProjectedCost(model), nullptr, widths.data());
    for (int j = 0; j < 2; ++j) {
        problem.SetParameterLowerBound(widths.data(), j, parameter_lower_bound);
        problem.SetParameterUpperBound(widths.data(), j, parameter_upper_bound);
    }
    if (!held.empty()) {
        problem.SetManifold(widths.data(), new ceres::SubsetManifold(2, held));
    }
    // Tight enough that the rss is that of the minimum to rounding, as the unsigned fit's,
    // which stops only when its objective moves by less than 1e-15.
    const ceres::Solver::Options options = bounded_levenberg_marquardt(
        ceres::DENSE_QR, static_cast<int>(max_fit_iterations), 1e-15, 1e-13);
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    if (summary.termination_type == ceres::FAILURE ||
        summary.termination_type == ceres::USER_FAILURE) {
        return false;
    }
    fit.steps +=
        static_cast<unsigned long>(summary.num_successful_steps + summary.num_unsuccessful_steps);
    fit.converged = summary.termination_type == ceres::CONVERGENCE;
    return true;
}

// The half-widths at a bound that the gradient of the rss presses outwards.
std::vector<int> pressed_against_bounds(const ProjectedLinePair& model,
                                        const std::array<double, 2>& widths) {
    const Evaluation& e = model.evaluate(widths[0], widths[1]);
    std::vector<int> held;
    if (!e.finite) {
        return held;
    }
    const double gradient[2] = {e.JA_r, e.JB_r};
    for (int j = 0; j < 2; ++j) {
        const double w = widths[static_cast<std::size_t>(j)];
        const bool low = std::fabs(w - parameter_lower_bound) <= at_bound_tolerance;
        const bool high =
            std::fabs(w - parameter_upper_bound) <= at_bound_tolerance * parameter_upper_bound;
        if ((low && gradient[j] >= 0.0) || (high && gradient[j] <= 0.0)) {
            held.push_back(j);
        }
    }
    return held;
}

WidthFit fit_widths(const ProjectedLinePair& model, double LWA, double LWB) {
    WidthFit fit;
    fit.widths = {std::clamp(LWA, parameter_lower_bound, parameter_upper_bound),
                  std::clamp(LWB, parameter_lower_bound, parameter_upper_bound)};
    // Ceres would log a start it cannot evaluate to the standard error.
    if (!model.evaluate(fit.widths[0], fit.widths[1]).finite) {
        fit.finite = false;
        return fit;
    }
    std::vector<int> held;
    if (!trust_region(model, held, fit.widths, fit)) {
        fit.finite = false;
        return fit;
    }
    for (int round = 0; round < 2; ++round) {
        const std::vector<int> pressed = pressed_against_bounds(model, fit.widths);
        if (pressed.empty() || pressed == held || pressed.size() == 2) {
            break;
        }
        held = pressed;
        std::array<double, 2> widths = fit.widths;
        WidthFit again = fit;
        if (!trust_region(model, held, widths, again)) {
            break;
        }
        fit.widths = widths;
        fit.steps = again.steps;
        fit.converged = again.converged;
    }
    const Evaluation& e = model.evaluate(fit.widths[0], fit.widths[1]);
    fit.finite = e.finite;
    fit.rss = e.rss;
    return fit;
}

// Sum of x[i] y[i] over n points, in four interleaved sums: the scan's products are many,
// and one chain of additions would wait on each.
double dot(const double* x, const double* y, std::size_t n) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) {
            sums[k] += x[i + k] * y[i + k];
        }
    }
    for (; i < n; ++i) {
        sums[0] += x[i] * y[i];
    }
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// Unit lines of half-width W at `peak` on the points, one column of n per width.
void fill_columns(const SlicePoints& points, double peak, const double* widths, std::size_t count,
                  double* columns) {
    for (std::size_t w = 0; w < count; ++w) {
        const double W = widths[w];
        double* const column = columns + w * points.count;
        for (std::size_t i = 0; i < points.count; ++i) {
            const double d = points.ppm[i] - peak;
            column[i] = W / (W * W + d * d);
        }
    }
}

// The rss less |y|^2 of the best amplitudes for sums `s`.
double reduced_rss(const Sums& s) {
    const Amplitudes m = best_amplitudes(s);
    return m.MA * (m.MA * s.aa + 2.0 * m.MB * s.ab - 2.0 * s.ay) +
           m.MB * (m.MB * s.bb - 2.0 * s.by);
}

// Makes the scan's columns and their products for the points of this slice, unless they are
// already those of its points.
void prepare_scan(SignedFitScan& scan, const SlicePoints& points, double peak_A, double peak_B) {
    if (scan.ppm.size() == points.count && scan.peak_A == peak_A && scan.peak_B == peak_B &&
        std::equal(scan.ppm.begin(), scan.ppm.end(), points.ppm)) {
        return;
    }
    constexpr std::size_t count = scan_widths;
    const std::size_t n = points.count;
    scan.ppm.assign(points.ppm, points.ppm + n);
    scan.peak_A = peak_A;
    scan.peak_B = peak_B;
    scan.widths.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double share = static_cast<double>(i) / (count - 1.0);
        scan.widths[i] = std::clamp(
            parameter_lower_bound * std::pow(parameter_upper_bound / parameter_lower_bound, share),
            parameter_lower_bound, parameter_upper_bound);
    }
    scan.columns_A.resize(count * n);
    scan.columns_B.resize(count * n);
    fill_columns(points, peak_A, scan.widths.data(), count, scan.columns_A.data());
    fill_columns(points, peak_B, scan.widths.data(), count, scan.columns_B.data());
    scan.aa.resize(count);
    scan.bb.resize(count);
    scan.ab.resize(count * count);
    for (std::size_t u = 0; u < count; ++u) {
        const double* const column_A = scan.columns_A.data() + u * n;
        scan.aa[u] = dot(column_A, column_A, n);
        const double* const column_B = scan.columns_B.data() + u * n;
        scan.bb[u] = dot(column_B, column_B, n);
        for (std::size_t v = 0; v < count; ++v) {
            scan.ab[u * count + v] = dot(column_A, scan.columns_B.data() + v * n, n);
        }
    }
}

// A cell of the scan: the rss less |y|^2 at its half-widths, and whether it is a local
// minimum of its grid or line.
struct ScanCell {
    double value = 0.0;
    std::array<double, 2> widths{};
    bool lowest_around = false;
};

// Starts in other basins than the one `carried` ended in, lowest first: the cells of a scan of
// the box (17 x 17 half-widths, a factor of 2.05 apart) and of the lines through `carried`
// along each half-width (a weak line can change its basin while the strong one stays).
std::vector<ScanCell> other_starts(SignedFitScan& scan, const SlicePoints& points, double peak_A,
                                   double peak_B, const WidthFit& carried) {
    prepare_scan(scan, points, peak_A, peak_B);
    const std::size_t n = points.count;
    const std::size_t count = scan.widths.size();
    std::vector<double> ay(count), by(count);
    for (std::size_t u = 0; u < count; ++u) {
        ay[u] = dot(scan.columns_A.data() + u * n, points.intensity, n);
        by[u] = dot(scan.columns_B.data() + u * n, points.intensity, n);
    }
    std::vector<ScanCell> grid(count * count);
    for (std::size_t u = 0; u < count; ++u) {
        for (std::size_t v = 0; v < count; ++v) {
            const Sums s{scan.aa[u], scan.ab[u * count + v], scan.bb[v], ay[u], by[v]};
            grid[u * count + v] = {reduced_rss(s), {scan.widths[u], scan.widths[v]}, false};
        }
    }
    const auto value_at = [&](std::size_t u, std::size_t v, long du, long dv) {
        const long i = static_cast<long>(u) + du;
        const long j = static_cast<long>(v) + dv;
        const long last = static_cast<long>(count) - 1;
        return i < 0 || j < 0 || i > last || j > last
                   ? HUGE_VAL
                   : grid[static_cast<std::size_t>(i) * count + static_cast<std::size_t>(j)].value;
    };
    for (std::size_t u = 0; u < count; ++u) {
        for (std::size_t v = 0; v < count; ++v) {
            const double value = grid[u * count + v].value;
            grid[u * count + v].lowest_around =
                value <= value_at(u, v, -1, 0) && value <= value_at(u, v, 1, 0) &&
                value <= value_at(u, v, 0, -1) && value <= value_at(u, v, 0, 1);
        }
    }
    std::vector<ScanCell> starts = grid;
    std::vector<double> carried_A(n), carried_B(n);
    fill_columns(points, peak_A, &carried.widths[0], 1, carried_A.data());
    fill_columns(points, peak_B, &carried.widths[1], 1, carried_B.data());
    const double aa = dot(carried_A.data(), carried_A.data(), n);
    const double bb = dot(carried_B.data(), carried_B.data(), n);
    const double carried_ay = dot(carried_A.data(), points.intensity, n);
    const double carried_by = dot(carried_B.data(), points.intensity, n);
    std::vector<ScanCell> along_A(count), along_B(count);
    for (std::size_t w = 0; w < count; ++w) {
        const Sums moving_B{aa, dot(carried_A.data(), scan.columns_B.data() + w * n, n), scan.bb[w],
                            carried_ay, by[w]};
        along_B[w] = {reduced_rss(moving_B), {carried.widths[0], scan.widths[w]}, false};
        const Sums moving_A{scan.aa[w], dot(scan.columns_A.data() + w * n, carried_B.data(), n), bb,
                            ay[w], carried_by};
        along_A[w] = {reduced_rss(moving_A), {scan.widths[w], carried.widths[1]}, false};
    }
    for (std::vector<ScanCell>* line : {&along_A, &along_B}) {
        for (std::size_t w = 0; w < count; ++w) {
            const double value = (*line)[w].value;
            (*line)[w].lowest_around = (w == 0 || value <= (*line)[w - 1].value) &&
                                       (w + 1 == count || value <= (*line)[w + 1].value);
            starts.push_back((*line)[w]);
        }
    }
    std::sort(starts.begin(), starts.end(),
              [](const ScanCell& a, const ScanCell& b) { return a.value < b.value; });
    return starts;
}

} // namespace

SignedSliceFit fit_signed_slice(const SlicePoints& points, double peak_A, double peak_B, double LWA,
                                double LWB, bool half_widths_free, SignedFitScan& scan) {
    const ProjectedLinePair model(points, peak_A, peak_B);
    SignedSliceFit result;
    result.LWA = LWA;
    result.LWB = LWB;
    if (half_widths_free) {
        WidthFit best = fit_widths(model, LWA, LWB);
        if (!best.finite) {
            result.finite = false;
            return result;
        }
        // A slice may hold several minima (a weak line as a spike on one point or as a broad
        // hump, either sign). A cell of the scan below the minimum found lies in a basin the
        // trust region has not seen; so may a cell that is a local minimum of the scan within
        // 1 % above it, away from the minimum found (where the scan's step can hide a lower
        // minimum, as on a slice of noise). They are taken lowest first.
        double y_squared = 0.0;
        for (std::size_t i = 0; i < points.count; ++i) {
            y_squared += points.intensity[i] * points.intensity[i];
        }
        // The scan's values lose about 1e-13 of |y|^2 to cancellation.
        const double margin = 1e-12 * y_squared;
        const auto near_found = [&](const std::array<double, 2>& widths) {
            for (int j = 0; j < 2; ++j) {
                const double ratio =
                    widths[static_cast<std::size_t>(j)] / best.widths[static_cast<std::size_t>(j)];
                if (ratio > scan_step || ratio < 1.0 / scan_step) {
                    return false;
                }
            }
            return true;
        };
        int restarts = 0;
        for (const ScanCell& cell : other_starts(scan, points, peak_A, peak_B, best)) {
            const double rss = cell.value + y_squared;
            if (rss >= best.rss * (1.0 + 1e-2) || restarts == max_restarts) {
                break;
            }
            if (rss >= best.rss - margin && (!cell.lowest_around || near_found(cell.widths))) {
                continue;
            }
            ++restarts;
            const WidthFit found = fit_widths(model, cell.widths[0], cell.widths[1]);
            if (found.finite && found.rss < best.rss) {
                best = found;
            }
        }
        result.LWA = best.widths[0];
        result.LWB = best.widths[1];
        result.iterations = best.steps;
        result.settled = best.converged;
    }
    const Evaluation& e = model.evaluate(result.LWA, result.LWB);
    if (!e.finite) {
        result.finite = false;
        return result;
    }
    result.MA = e.amplitudes.MA;
    result.MB = e.amplitudes.MB;
    return result;
}

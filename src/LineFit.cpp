// Variable projection on Ceres: for given half-widths, centres and eta the heights and the
// baseline are the (non-negative) linear least-squares solution, so the trust region only
// sees the nonlinear values, with the projected Jacobian of Kaufman, whose gradient is exact.
#include "LineFit.h"

#include "ColumnGram.h"
#include "Failure.h"
#include "ReadNumbers.h"
#include "TrustRegionOptions.h"

#include <ceres/ceres.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

// The trust region's limits: steps far beyond what a slice needs, and tolerances tight
// enough that the rss is that of the minimum to about 1e-10 relative.
constexpr int max_trust_region_steps = 500;
constexpr double eta_start = 0.5;

// Where a line's nonlinear values sit in the trust region's vector; -1 when held.
struct LineSlots {
    int half_width = -1;
    int position = -1;
    int eta = -1;
};

// Which nonlinear values a fit varies, their bounds, and the values of the held ones.
struct Layout {
    std::vector<LineSlots> slots;
    std::vector<double> lower, upper;
    std::vector<double> held_half_width, held_position, held_eta;
    int size() const { return static_cast<int>(lower.size()); }
};

struct SliceData {
    const double* x = nullptr;
    const double* y = nullptr;
    std::size_t n = 0;
};

Layout make_layout(const LineFitSettings& settings, const HalfWidthBounds& widths, bool widths_free,
                   bool positions_free, bool eta_free) {
    Layout layout;
    for (const LineDefinition& line : settings.lines) {
        LineSlots slots;
        const auto add = [&](double lower, double upper) {
            layout.lower.push_back(lower);
            layout.upper.push_back(upper);
            return layout.size() - 1;
        };
        if (widths_free) {
            slots.half_width = add(widths.lower, widths.upper);
        }
        if (positions_free && settings.float_ppm > 0.0) {
            slots.position =
                add(line.position - settings.float_ppm, line.position + settings.float_ppm);
        }
        if (eta_free && line.shape == LineShape::pseudo_voigt) {
            slots.eta = add(0.0, 1.0);
        }
        layout.slots.push_back(slots);
        layout.held_half_width.push_back(line.half_width.value_or(widths.lower));
        layout.held_position.push_back(line.position);
        layout.held_eta.push_back(eta_start);
    }
    return layout;
}

std::size_t baseline_columns(BaselineKind kind) {
    return kind == BaselineKind::none ? 0 : kind == BaselineKind::constant ? 1 : 2;
}

// The nonlinear values of line i at theta.
struct LineValues {
    double half_width, position, eta;
};
LineValues values_of(const Layout& layout, const double* theta, std::size_t i) {
    const LineSlots& s = layout.slots[i];
    return {s.half_width >= 0 ? theta[s.half_width] : layout.held_half_width[i],
            s.position >= 0 ? theta[s.position] : layout.held_position[i],
            s.eta >= 0 ? theta[s.eta] : layout.held_eta[i]};
}

// An orthonormal basis Q of the span of the columns a fit uses. Where every column of the
// basis is in use and solved by its normal equations, Q = basis F (F upper triangular, k x k)
// is not formed: products with Q go through the basis and F.
struct Span {
    Matrix q;      // Q itself, unless of_basis
    Matrix factor; // F, when of_basis
    bool of_basis = false;

    Eigen::Index columns() const { return of_basis ? factor.cols() : q.cols(); }
    // Q^T x
    Matrix transposed_times(const Matrix& basis, const Matrix& x) const {
        if (!of_basis) {
            return q.transpose() * x;
        }
        const Matrix along = basis.transpose() * x;
        return factor.transpose() * along;
    }
    Vector transposed_times(const Matrix& basis, const Vector& x) const {
        if (!of_basis) {
            return q.transpose() * x;
        }
        const Vector along = basis.transpose() * x;
        return factor.transpose() * along;
    }
    // Q y
    Matrix times(const Matrix& basis, const Matrix& y) const {
        if (!of_basis) {
            return q * y;
        }
        const Matrix along = factor * y;
        return basis * along;
    }
};

// Least squares of y on the columns `use` of basis: coefficients (0 elsewhere) and the
// orthonormal basis of their span.
void solve_on(const Matrix& basis, const Vector& y, const std::vector<int>& use, Vector& c,
              Span* span) {
    const Eigen::Index n = basis.rows();
    c = Vector::Zero(basis.cols());
    if (use.empty()) {
        if (span != nullptr) {
            *span = Span{Matrix(n, 0), Matrix(), false};
        }
        return;
    }
    const bool every_column = use.size() == static_cast<std::size_t>(basis.cols());
    Matrix selected;
    if (!every_column) {
        selected.resize(n, static_cast<Eigen::Index>(use.size()));
        for (std::size_t k = 0; k < use.size(); ++k) {
            selected.col(static_cast<Eigen::Index>(k)) = basis.col(use[k]);
        }
    }
    const Matrix& a = every_column ? basis : selected;
    const Eigen::Index k = a.cols();
    // The normal equations in correlation form, when they are well conditioned (a few lines
    // and a baseline: k x k, cheap beside a QR of n x k); else the pivoted QR. A^T A and
    // A^T y come from the Gram matrix of [A y].
    std::vector<const double*> columns;
    for (Eigen::Index j = 0; j < k; ++j) {
        columns.push_back(a.col(j).data());
    }
    columns.push_back(y.data());
    Matrix products(k + 1, k + 1);
    column_gram(columns.data(), columns.size(), static_cast<std::size_t>(n), products.data());
    const Matrix gram = products.topLeftCorner(k, k);
    const Vector along_y = products.col(k).head(k);
    const Vector scale = gram.diagonal().cwiseSqrt();
    if ((scale.array() > 0.0).all() && scale.allFinite()) {
        const Vector inverse_scale = scale.cwiseInverse();
        const Matrix correlation = inverse_scale.asDiagonal() * gram * inverse_scale.asDiagonal();
        const Eigen::LLT<Matrix> cholesky(correlation);
        if (cholesky.info() == Eigen::Success) {
            const auto lower = cholesky.matrixL();
            const double smallest_pivot = Matrix(lower).diagonal().minCoeff();
            if (smallest_pivot > 1e-5) {
                const Vector solution = inverse_scale.asDiagonal() *
                                        cholesky.solve(inverse_scale.asDiagonal() * along_y);
                for (std::size_t j = 0; j < use.size(); ++j) {
                    c[use[j]] = solution[static_cast<Eigen::Index>(j)];
                }
                if (span != nullptr) {
                    // Q = A R^-1 with R = L^T D: orthonormal columns of A's span.
                    const Matrix upper_inverse = Matrix(lower.transpose())
                                                     .triangularView<Eigen::Upper>()
                                                     .solve(Matrix::Identity(k, k));
                    Matrix factor = inverse_scale.asDiagonal() * upper_inverse;
                    if (every_column) {
                        *span = Span{Matrix(), std::move(factor), true};
                    } else {
                        *span = Span{a.lazyProduct(factor), Matrix(), false};
                    }
                }
                return;
            }
        }
    }
    const Eigen::ColPivHouseholderQR<Matrix> qr(a);
    const Vector solution = qr.solve(y);
    for (std::size_t j = 0; j < use.size(); ++j) {
        c[use[j]] = solution[static_cast<Eigen::Index>(j)];
    }
    if (span != nullptr) {
        const Eigen::Index rank = qr.rank();
        // The thin Q: the reflections applied to the first columns of the identity, never
        // the n x n matrix.
        Matrix q = Matrix::Identity(n, rank);
        q.applyOnTheLeft(qr.householderQ().setLength(rank));
        *span = Span{std::move(q), Matrix(), false};
    }
}

// The coefficients of y on basis, the first `bounded` of them >= 0 when `positive`
// (Lawson and Hanson's active set, the baseline columns always free), and the span of the
// columns in use.
void project(const Matrix& basis, const Vector& y, std::size_t bounded, bool positive, Vector& c,
             Span* span) {
    const int k = static_cast<int>(basis.cols());
    std::vector<int> all(static_cast<std::size_t>(k));
    for (int j = 0; j < k; ++j) {
        all[static_cast<std::size_t>(j)] = j;
    }
    if (!positive || bounded == 0) {
        solve_on(basis, y, all, c, span);
        return;
    }
    std::vector<bool> in_use(static_cast<std::size_t>(k), false);
    for (int j = static_cast<int>(bounded); j < k; ++j) {
        in_use[static_cast<std::size_t>(j)] = true;
    }
    const auto used = [&] {
        std::vector<int> columns;
        for (int j = 0; j < k; ++j) {
            if (in_use[static_cast<std::size_t>(j)]) {
                columns.push_back(j);
            }
        }
        return columns;
    };
    solve_on(basis, y, used(), c, nullptr);
    const double scale = basis.norm() * y.norm();
    const double tolerance = 1e-13 * (scale > 0.0 ? scale : 1.0);
    for (int round = 0; round < 3 * k + 3; ++round) {
        const Vector gradient = basis.transpose() * (y - basis * c);
        int best = -1;
        for (int j = 0; j < static_cast<int>(bounded); ++j) {
            if (!in_use[static_cast<std::size_t>(j)] && gradient[j] > tolerance &&
                (best < 0 || gradient[j] > gradient[best])) {
                best = j;
            }
        }
        if (best < 0) {
            break;
        }
        in_use[static_cast<std::size_t>(best)] = true;
        for (int inner = 0; inner < 3 * k + 3; ++inner) {
            Vector trial;
            solve_on(basis, y, used(), trial, nullptr);
            double step = 1.0;
            for (int j = 0; j < static_cast<int>(bounded); ++j) {
                if (in_use[static_cast<std::size_t>(j)] && trial[j] <= 0.0) {
                    const double denominator = c[j] - trial[j];
                    step = std::min(step, denominator > 0.0 ? c[j] / denominator : 0.0);
                }
            }
            if (step >= 1.0) {
                c = trial;
                break;
            }
            c += step * (trial - c);
            for (int j = 0; j < static_cast<int>(bounded); ++j) {
                if (in_use[static_cast<std::size_t>(j)] && c[j] <= 1e-300) {
                    in_use[static_cast<std::size_t>(j)] = false;
                    c[j] = 0.0;
                }
            }
        }
    }
    solve_on(basis, y, used(), c, span);
    for (int j = 0; j < static_cast<int>(bounded); ++j) {
        c[j] = std::max(c[j], 0.0);
    }
}

// Where a line's unit-height values and derivatives go: a column each, or none.
struct LineColumns {
    double* value;
    double* d_half_width;
    double* d_position;
    double* d_eta;
};

// The shape and its derivatives at every point, from the Gaussian parts already taken. The
// columns are parameters, so that their __restrict holds (GCC honours it on parameters, not
// on local pointers) and the loop vectorises without run-time overlap checks.
template <LineShape shape>
void shape_columns(const double* __restrict x, const double* __restrict gauss, std::size_t n,
                   const LineValues v, double* __restrict value, double* __restrict d_half_width,
                   double* __restrict d_position, double* __restrict d_eta) {
    for (std::size_t p = 0; p < n; ++p) {
        const ShapePoint point = shape_point_with(shape, x[p], v.position, v.half_width, v.eta,
                                                  shape != LineShape::lorentzian ? gauss[p] : 0.0);
        value[p] = point.value;
        d_half_width[p] = point.d_half_width;
        d_position[p] = point.d_position;
        d_eta[p] = point.d_eta;
    }
}

// One line's columns, with its shape known when compiled so that the loop holds no branch on it.
template <LineShape shape>
void fill_line(const double* x, std::size_t n, const LineValues& v, const LineColumns& out,
               std::vector<double>& scratch) {
    // Every column written on each point, the unwanted ones into scratch, so that the loop has
    // no branch and no possible overlap.
    scratch.resize(4 * n);
    double* gauss = scratch.data() + 3 * n;
    if (shape != LineShape::lorentzian) {
        const double negligible =
            shape == LineShape::pseudo_voigt ? negligible_gaussian_exponent(v.eta) : 746.0;
        for (std::size_t p = 0; p < n; ++p) {
            gauss[p] = unit_gaussian(squared_offset(x[p], v.position, v.half_width), negligible);
        }
    }
    shape_columns<shape>(x, gauss, n, v, out.value,
                         out.d_half_width ? out.d_half_width : scratch.data(),
                         out.d_position ? out.d_position : scratch.data() + n,
                         out.d_eta ? out.d_eta : scratch.data() + 2 * n);
}

// The variable-projection model of one slice: residuals (model - data) and their Jacobian
// with respect to the nonlinear values.
class ProjectedModel {
  public:
    ProjectedModel(const LineFitSettings& settings, const Layout& layout, const SliceData& slice)
        : settings_(settings), layout_(layout), slice_(slice),
          centre_((settings.window_lower + settings.window_upper) / 2.0),
          lines_(settings.lines.size()), columns_(lines_ + baseline_columns(settings.baseline)),
          y_(Eigen::Map<const Vector>(slice.y, static_cast<Eigen::Index>(slice.n))) {}

    std::size_t points() const { return slice_.n; }

    // The basis and derivatives of the last evaluation when it was at theta (the fit ends
    // with one there); false otherwise.
    bool last_basis(const double* theta, Matrix& phi, Matrix& derivatives) const {
        if (!at(latest_, theta)) {
            return false;
        }
        phi = latest_.phi;
        derivatives = latest_.d;
        return true;
    }

    // The basis at theta: one unit-height column per line, then the baseline's.
    void basis(const double* theta, Matrix& phi, Matrix* derivatives) const {
        const Eigen::Index n = static_cast<Eigen::Index>(slice_.n);
        phi.resize(n, static_cast<Eigen::Index>(columns_));
        if (derivatives != nullptr) {
            // Every slot is a value of one line, whose columns are all written below.
            derivatives->resize(n, layout_.size());
        }
        for (std::size_t i = 0; i < lines_; ++i) {
            const LineValues v = values_of(layout_, theta, i);
            const LineSlots& s = layout_.slots[i];
            double* const value = phi.col(static_cast<Eigen::Index>(i)).data();
            const auto column = [&](int slot) {
                return derivatives != nullptr && slot >= 0 ? derivatives->col(slot).data()
                                                           : nullptr;
            };
            LineColumns columns{value, column(s.half_width), column(s.position), column(s.eta)};
            switch (settings_.lines[i].shape) {
            case LineShape::lorentzian:
                fill_line<LineShape::lorentzian>(slice_.x, slice_.n, v, columns, scratch_);
                break;
            case LineShape::gaussian:
                fill_line<LineShape::gaussian>(slice_.x, slice_.n, v, columns, scratch_);
                break;
            case LineShape::pseudo_voigt:
                fill_line<LineShape::pseudo_voigt>(slice_.x, slice_.n, v, columns, scratch_);
                break;
            }
        }
        if (settings_.baseline != BaselineKind::none) {
            phi.col(static_cast<Eigen::Index>(lines_)).setOnes();
        }
        if (settings_.baseline == BaselineKind::linear) {
            for (Eigen::Index p = 0; p < n; ++p) {
                phi(p, static_cast<Eigen::Index>(lines_ + 1)) = slice_.x[p] - centre_;
            }
        }
    }

    // The coefficients at theta and the residuals; with `jacobian` (row-major, points x
    // nonlinear values) Kaufman's projected Jacobian. false for non-finite values.
    bool evaluate(const double* theta, double* residuals, double* jacobian, Vector& c) const {
        project_at(theta);
        const Matrix& d = latest_.d;
        const Span& span = latest_.span;
        c = latest_.c;
        const Vector& r = latest_.r;
        if (!r.allFinite()) {
            return false;
        }
        if (residuals != nullptr) {
            Eigen::Map<Vector>(residuals, r.size()) = r;
        }
        if (jacobian != nullptr) {
            Matrix& projected = projected_;
            projected = d;
            scale_by_heights(projected, c);
            if (span.columns() > 0) {
                projected -= span.times(latest_.phi, span.transposed_times(latest_.phi, projected));
            }
            if (!projected.allFinite()) {
                return false;
            }
            using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
            Eigen::Map<RowMajor>(jacobian, projected.rows(), projected.cols()) = projected;
        }
        return true;
    }

    // The rss at theta (the trust region's cost, twice) and, with `gram`, the Gram matrix of
    // [J r] for Kaufman's J: J^T J = M^T M - A^T A and J^T r = M^T r - A^T (Q^T r), with M the
    // derivative columns times their heights, Q the orthonormal span of the basis and
    // A = Q^T M, so that J itself (n x size) is never formed. false for non-finite values.
    bool gram_form(const double* theta, double& rss, Matrix* gram) const {
        project_at(theta);
        const Vector& r = latest_.r;
        if (!r.allFinite()) {
            return false;
        }
        rss = r.squaredNorm();
        if (gram == nullptr) {
            return std::isfinite(rss);
        }
        const Eigen::Index p = layout_.size();
        // One pass over the points: the Gram matrix of [D r B], D the derivative columns and
        // B the basis where Q = B F, else Q itself, gives M^T M, M^T r and B^T [M r] once the
        // rows and columns of D are multiplied by their lines' heights (M = D diag(heights)).
        // B^T B is not needed.
        const Span& span = latest_.span;
        const Matrix& spanned = span.of_basis ? latest_.phi : span.q;
        const Eigen::Index k = span.columns();
        std::vector<const double*>& columns = gram_columns_;
        columns.clear();
        for (Eigen::Index j = 0; j < p; ++j) {
            columns.push_back(latest_.d.col(j).data());
        }
        columns.push_back(r.data());
        for (Eigen::Index j = 0; j < k; ++j) {
            columns.push_back(spanned.col(j).data());
        }
        Matrix& products = products_;
        products.setZero(p + 1 + k, p + 1 + k);
        column_gram(columns.data(), columns.size(), slice_.n, products.data(),
                    static_cast<std::size_t>(p + 1));
        Vector heights = Vector::Ones(p + 1 + k);
        heights.head(p) = heights_of_derivatives(latest_.c);
        products = heights.asDiagonal() * products * heights.asDiagonal();
        Matrix& g = *gram;
        g = products.topLeftCorner(p + 1, p + 1);
        if (k > 0) {
            // A = Q^T [M r]; J^T [J r] = [M r]^T [M r] - A^T A.
            Matrix along = products.bottomLeftCorner(k, p + 1);
            if (span.of_basis) {
                along = span.factor.transpose() * along;
            }
            g.noalias() -= along.transpose() * along;
        }
        g = g.selfadjointView<Eigen::Lower>();
        g(p, p) = rss;
        return g.allFinite();
    }

  private:
    // Column j of a derivative matrix belongs to one line: its contribution to the model is
    // that line's height times it.
    Vector heights_of_derivatives(const Vector& c) const {
        Vector heights(layout_.size());
        for (std::size_t i = 0; i < lines_; ++i) {
            const LineSlots& s = layout_.slots[i];
            for (const int j : {s.half_width, s.position, s.eta}) {
                if (j >= 0) {
                    heights[j] = c[static_cast<Eigen::Index>(i)];
                }
            }
        }
        return heights;
    }
    void scale_by_heights(Matrix& columns, const Vector& c) const {
        columns = columns * heights_of_derivatives(c).asDiagonal();
    }

    // What an evaluation at theta gives.
    struct Evaluation {
        bool valid = false;
        std::vector<double> theta;
        Matrix phi, d;
        Span span;
        Vector c, r;
    };

    bool at(const Evaluation& e, const double* theta) const {
        return e.valid && std::equal(theta, theta + layout_.size(), e.theta.begin());
    }

    // The basis, derivatives, projection and residuals at theta, unless they are those of one
    // of the last two points: the trust region asks for the residuals of a point and then,
    // once it takes the step, for them again with the Jacobian, and a fit that ends on a step
    // it refused asks again for the point before.
    void project_at(const double* theta) const {
        if (at(latest_, theta)) {
            return;
        }
        std::swap(latest_, before_);
        if (at(latest_, theta)) {
            return;
        }
        // The derivatives come at little cost beside the values, and an accepted step asks
        // for them next.
        basis(theta, latest_.phi, &latest_.d);
        project(latest_.phi, y_, lines_, settings_.positive, latest_.c, &latest_.span);
        latest_.r = latest_.phi * latest_.c - y_;
        latest_.theta.assign(theta, theta + layout_.size());
        latest_.valid = true;
    }

    const LineFitSettings& settings_;
    const Layout& layout_;
    SliceData slice_;
    double centre_;
    std::size_t lines_;
    std::size_t columns_;
    Eigen::Map<const Vector> y_;
    // The last two points evaluated and what they gave, and buffers reused between
    // evaluations.
    mutable Evaluation latest_, before_;
    mutable Matrix projected_, products_;
    mutable std::vector<double> scratch_;
    mutable std::vector<const double*> gram_columns_;
};

// The trust region's view of a slice: size + 1 residuals r' and their Jacobian J', a square
// root of the Gram matrix of [J r] (J^T J, J^T r and |r|^2 of the points), so that its
// linear model |r + J step|^2, its column scaling, its gradient and its cost are those of the
// points while its own work per step is that of size + 1 residuals, not of every point.
// Where only the cost is asked for, r' is (0, ..., 0, |r|).
class ProjectedCost : public ceres::CostFunction {
  public:
    ProjectedCost(const ProjectedModel& model, int size) : model_(model), size_(size) {
        set_num_residuals(size + 1);
        mutable_parameter_block_sizes()->push_back(size);
    }
    bool Evaluate(double const* const* parameters, double* residuals,
                  double** jacobians) const override {
        const Eigen::Index p = size_;
        Eigen::Map<Vector> compressed(residuals, p + 1);
        double rss = 0.0;
        if (jacobians == nullptr || jacobians[0] == nullptr) {
            if (!model_.gram_form(parameters[0], rss, nullptr)) {
                return false;
            }
            compressed.setZero();
            compressed[p] = std::sqrt(rss);
            return true;
        }
        if (!model_.gram_form(parameters[0], rss, &gram_)) {
            return false;
        }
        Matrix root;
        const Eigen::LLT<Matrix> cholesky(gram_);
        if (cholesky.info() == Eigen::Success) {
            root = cholesky.matrixU();
        } else {
            // A Jacobian of lower rank (a value without effect): any square root will do.
            const Eigen::SelfAdjointEigenSolver<Matrix> eigen(gram_);
            root = eigen.eigenvalues().cwiseMax(0.0).cwiseSqrt().asDiagonal() *
                   eigen.eigenvectors().transpose();
        }
        if (!root.allFinite()) {
            return false;
        }
        compressed = root.col(p);
        using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
        Eigen::Map<RowMajor>(jacobians[0], p + 1, p) = root.leftCols(p);
        return true;
    }

  private:
    const ProjectedModel& model_;
    Eigen::Index size_;
    mutable Matrix gram_; // kept between evaluations
};

struct NonlinearFit {
    std::vector<double> theta;
    Vector coefficients;
    double rss = 0.0;
    unsigned iterations = 0;
    bool settled = true;
};

bool near_bound(double value, double lower, double upper) {
    const double tolerance =
        at_bound_tolerance * std::max({1.0, std::fabs(lower), std::fabs(upper)});
    return std::fabs(value - lower) <= tolerance || std::fabs(value - upper) <= tolerance;
}

bool any_at_bound(const Layout& layout, const std::vector<double>& theta) {
    for (int j = 0; j < layout.size(); ++j) {
        const auto u = static_cast<std::size_t>(j);
        if (near_bound(theta[u], layout.lower[u], layout.upper[u])) {
            return true;
        }
    }
    return false;
}

// One run of Ceres' bounded Levenberg-Marquardt on theta, the values `held` kept as they are;
// false when it fails (no finite model at the start).
bool trust_region(const ProjectedModel& model, const Layout& layout, const std::vector<int>& held,
                  std::vector<double>& theta, unsigned& steps, bool& converged) {
    const int size = layout.size();
    if (static_cast<int>(held.size()) == size) {
        converged = true;
        return true;
    }
    ceres::Problem::Options problem_options;
    problem_options.cost_function_ownership = ceres::TAKE_OWNERSHIP;
    problem_options.manifold_ownership = ceres::TAKE_OWNERSHIP;
    ceres::Problem problem(problem_options);
    problem.AddResidualBlock(new ProjectedCost(model, size), nullptr, theta.data());
    for (int j = 0; j < size; ++j) {
        problem.SetParameterLowerBound(theta.data(), j, layout.lower[static_cast<std::size_t>(j)]);
        problem.SetParameterUpperBound(theta.data(), j, layout.upper[static_cast<std::size_t>(j)]);
    }
    if (!held.empty()) {
        problem.SetManifold(theta.data(), new ceres::SubsetManifold(size, held));
    }
    const ceres::Solver::Options options = bounded_levenberg_marquardt(
        ceres::DENSE_NORMAL_CHOLESKY, max_trust_region_steps, 1e-12, 1e-10);
    ceres::Solver::Summary summary;
    ceres::Solve(options, &problem, &summary);
    if (summary.termination_type == ceres::FAILURE ||
        summary.termination_type == ceres::USER_FAILURE) {
        return false;
    }
    steps += static_cast<unsigned>(summary.num_successful_steps + summary.num_unsuccessful_steps);
    converged = summary.termination_type == ceres::CONVERGENCE;
    return true;
}

// The values at a bound that the gradient presses against it: the trust region, which only
// projects its steps onto the bounds, creeps along them, so they are held and the others
// fitted again, until the values held are just those the gradient presses outwards.
std::vector<int> pressed_against_bounds(const ProjectedModel& model, const Layout& layout,
                                        const std::vector<double>& theta) {
    const int size = layout.size();
    std::vector<int> held;
    if (!any_at_bound(layout, theta)) {
        return held; // the common case, without the projected Jacobian of every point
    }
    std::vector<double> residuals(model.points());
    std::vector<double> jacobian(model.points() * static_cast<std::size_t>(size));
    Vector c;
    if (!model.evaluate(theta.data(), residuals.data(), jacobian.data(), c)) {
        return held;
    }
    for (int j = 0; j < size; ++j) {
        const auto u = static_cast<std::size_t>(j);
        const double tolerance = at_bound_tolerance * std::max({1.0, std::fabs(layout.lower[u]),
                                                                std::fabs(layout.upper[u])});
        const bool low = std::fabs(theta[u] - layout.lower[u]) <= tolerance;
        const bool high = std::fabs(theta[u] - layout.upper[u]) <= tolerance;
        if (!low && !high) {
            continue;
        }
        double gradient = 0.0; // of half the rss
        for (std::size_t p = 0; p < model.points(); ++p) {
            gradient += jacobian[p * static_cast<std::size_t>(size) + u] * residuals[p];
        }
        if ((low && gradient >= 0.0) || (high && gradient <= 0.0)) {
            held.push_back(j);
        }
    }
    return held;
}

// Fits the nonlinear values from `start` (moved inside the bounds) with Ceres' bounded
// Levenberg-Marquardt; false when the model is not finite at the start.
bool fit_nonlinear(const ProjectedModel& model, const Layout& layout, std::vector<double> start,
                   NonlinearFit& fit) {
    for (int j = 0; j < layout.size(); ++j) {
        const auto u = static_cast<std::size_t>(j);
        start[u] = std::clamp(start[u], layout.lower[u], layout.upper[u]);
    }
    fit.theta = std::move(start);
    fit.iterations = 0;
    if (layout.size() > 0) {
        std::vector<int> held;
        if (!trust_region(model, layout, held, fit.theta, fit.iterations, fit.settled)) {
            return false;
        }
        for (int round = 0; round < 8; ++round) {
            const std::vector<int> pressed = pressed_against_bounds(model, layout, fit.theta);
            if (pressed.empty() || pressed == held) {
                break;
            }
            held = pressed;
            std::vector<double> theta = fit.theta;
            bool converged = true;
            if (!trust_region(model, layout, held, theta, fit.iterations, converged)) {
                break;
            }
            fit.theta = theta;
            fit.settled = converged;
        }
    }
    std::vector<double> residuals(model.points());
    if (!model.evaluate(fit.theta.data(), residuals.data(), nullptr, fit.coefficients)) {
        return false;
    }
    fit.rss = 0.0;
    for (const double r : residuals) {
        fit.rss += r * r;
    }
    return std::isfinite(fit.rss);
}

// The record of a fitted slice, with the standard errors from the Jacobian of the whole
// model (heights and baseline with the nonlinear values not held, at a bound or undetermined).
LineSliceFit describe(const ProjectedModel& model, const LineFitSettings& settings,
                      const Layout& layout, const NonlinearFit& fit,
                      std::optional<std::pair<double, std::size_t>> noise) {
    const std::size_t lines = settings.lines.size();
    const std::size_t baseline = baseline_columns(settings.baseline);
    const std::size_t n = model.points();
    LineSliceFit slice;
    slice.points = n;
    slice.rss = fit.rss;
    slice.settled = fit.settled;
    slice.iterations = fit.iterations;
    slice.fitted_parameters = lines + baseline + static_cast<std::size_t>(layout.size());

    Matrix phi, d;
    if (!model.last_basis(fit.theta.data(), phi, d)) {
        model.basis(fit.theta.data(), phi, &d);
    }
    const Vector& c = fit.coefficients;

    // The columns of J: what each stands for, to read the covariance back.
    enum class Of { height, baseline, half_width, position, eta };
    struct Column {
        Of of;
        std::size_t line;
        Vector values;
    };
    std::vector<Column> columns;
    slice.lines.resize(lines);
    for (std::size_t i = 0; i < lines; ++i) {
        FittedLine& line = slice.lines[i];
        const LineValues v = values_of(layout, fit.theta.data(), i);
        const LineSlots& s = layout.slots[i];
        const double h = c[static_cast<Eigen::Index>(i)];
        line.height.value = h;
        line.half_width.value = v.half_width;
        line.position.value = v.position;
        line.eta.value = v.eta;
        line.area.value = h * v.half_width * unit_area(settings.lines[i].shape, v.eta);
        line.half_width_free = s.half_width >= 0;
        line.position_free = s.position >= 0;
        line.eta_free = s.eta >= 0;
        const auto at = [&](int j) {
            const auto u = static_cast<std::size_t>(j);
            return j >= 0 && near_bound(fit.theta[u], layout.lower[u], layout.upper[u]);
        };
        line.half_width_at_bound = at(s.half_width);
        line.position_at_bound = at(s.position);
        line.eta_at_bound = at(s.eta);
        line.height_at_bound = settings.positive && h == 0.0;
        const std::string& name = settings.lines[i].name;
        for (const auto& [flag, what] :
             {std::pair{line.position_at_bound, "position"},
              std::pair{line.half_width_at_bound, "half_width"},
              std::pair{line.eta_at_bound, "eta"}, std::pair{line.height_at_bound, "height"}}) {
            if (flag) {
                slice.at_bound.push_back(name + "." + what);
            }
        }
        if (!line.height_at_bound) {
            columns.push_back({Of::height, i, phi.col(static_cast<Eigen::Index>(i))});
        }
    }
    for (std::size_t b = 0; b < baseline; ++b) {
        columns.push_back({Of::baseline, b, phi.col(static_cast<Eigen::Index>(lines + b))});
    }
    for (std::size_t i = 0; i < lines; ++i) {
        const FittedLine& line = slice.lines[i];
        if (line.height_at_bound || line.height.value == 0.0) {
            continue; // a line of no height does not determine its shape
        }
        const LineSlots& s = layout.slots[i];
        const double h = line.height.value;
        if (s.half_width >= 0 && !line.half_width_at_bound) {
            columns.push_back({Of::half_width, i, h * d.col(s.half_width)});
        }
        if (s.position >= 0 && !line.position_at_bound) {
            columns.push_back({Of::position, i, h * d.col(s.position)});
        }
        if (s.eta >= 0 && !line.eta_at_bound) {
            columns.push_back({Of::eta, i, h * d.col(s.eta)});
        }
    }
    if (settings.baseline != BaselineKind::none) {
        slice.baseline_0 = Estimate{c[static_cast<Eigen::Index>(lines)], std::nullopt};
    }
    if (settings.baseline == BaselineKind::linear) {
        slice.baseline_1 = Estimate{c[static_cast<Eigen::Index>(lines + 1)], std::nullopt};
    }

    const double dof = static_cast<double>(n) - static_cast<double>(slice.fitted_parameters);
    if (dof > 0.0) {
        slice.sigma = std::sqrt(fit.rss / dof);
    }
    double scatter = slice.sigma.value_or(0.0);
    if (noise) {
        slice.noise = noise->first;
        scatter = noise->first;
        if (dof > 0.0 && noise->first > 0.0) {
            slice.chi2_red = fit.rss / (dof * noise->first * noise->first);
            slice.misfit = *slice.chi2_red > f_quantile(misfit_probability, dof,
                                                        static_cast<double>(noise->second) - 1.0);
        }
    }
    if (!(dof > 0.0) || !(scatter > 0.0) || !std::isfinite(scatter)) {
        return slice;
    }

    // Columns the earlier ones (heights and baseline first) already explain are not
    // determined: a Cholesky factor built column by column in this order drops each column
    // whose part outside the span of the kept ones is below 1e-7 of its length.
    const Eigen::Index all = static_cast<Eigen::Index>(columns.size());
    Matrix every(static_cast<Eigen::Index>(n), all);
    Vector lengths(all);
    for (Eigen::Index k = 0; k < all; ++k) {
        lengths[k] = columns[static_cast<std::size_t>(k)].values.norm();
        every.col(k) =
            columns[static_cast<std::size_t>(k)].values / (lengths[k] > 0.0 ? lengths[k] : 1.0);
    }
    const Matrix gram_all = every.transpose() * every;
    std::vector<Eigen::Index> kept_index;
    Matrix factor = Matrix::Zero(all, all); // rows: kept columns, lower triangular
    for (Eigen::Index k = 0; k < all; ++k) {
        if (!(lengths[k] > 0.0) || !std::isfinite(lengths[k])) {
            continue;
        }
        const Eigen::Index r = static_cast<Eigen::Index>(kept_index.size());
        double rest = gram_all(k, k);
        for (Eigen::Index a = 0; a < r; ++a) {
            double value = gram_all(kept_index[static_cast<std::size_t>(a)], k);
            for (Eigen::Index b = 0; b < a; ++b) {
                value -= factor(a, b) * factor(r, b);
            }
            factor(r, a) = value / factor(a, a);
            rest -= factor(r, a) * factor(r, a);
        }
        if (!(rest > 1e-14)) {
            factor.row(r).setZero();
            continue;
        }
        factor(r, r) = std::sqrt(rest);
        kept_index.push_back(k);
    }
    std::vector<Column> kept;
    for (const Eigen::Index k : kept_index) {
        kept.push_back(std::move(columns[static_cast<std::size_t>(k)]));
    }
    const Eigen::Index p = static_cast<Eigen::Index>(kept.size());
    if (p == 0) {
        return slice;
    }
    Matrix j(static_cast<Eigen::Index>(n), p);
    Vector norms(p);
    for (Eigen::Index k = 0; k < p; ++k) {
        norms[k] = lengths[kept_index[static_cast<std::size_t>(k)]];
        j.col(k) = every.col(kept_index[static_cast<std::size_t>(k)]);
    }
    // With every column kept J is `every`, whose Gram matrix is at hand.
    const Eigen::LDLT<Matrix> normal(p == all ? gram_all : Matrix(j.transpose() * j));
    if (normal.info() != Eigen::Success) {
        return slice;
    }
    Matrix covariance = normal.solve(Matrix::Identity(p, p));
    for (Eigen::Index a = 0; a < p; ++a) {
        for (Eigen::Index b = 0; b < p; ++b) {
            covariance(a, b) *= scatter * scatter / (norms[a] * norms[b]);
        }
    }
    if (!covariance.allFinite()) {
        return slice;
    }
    const auto se = [&](Eigen::Index k) {
        const double variance = covariance(k, k);
        return variance > 0.0 ? std::optional<double>(std::sqrt(variance)) : std::nullopt;
    };
    for (Eigen::Index k = 0; k < p; ++k) {
        const Column& column = kept[static_cast<std::size_t>(k)];
        switch (column.of) {
        case Of::height:
            slice.lines[column.line].height.se = se(k);
            break;
        case Of::baseline:
            (column.line == 0 ? slice.baseline_0 : slice.baseline_1)->se = se(k);
            break;
        case Of::half_width:
            slice.lines[column.line].half_width.se = se(k);
            break;
        case Of::position:
            slice.lines[column.line].position.se = se(k);
            break;
        case Of::eta:
            slice.lines[column.line].eta.se = se(k);
            break;
        }
    }
    // The area h W a(eta) by first-order propagation; a half-width or eta that is held, at a
    // bound or undetermined counts as exact.
    for (std::size_t i = 0; i < lines; ++i) {
        FittedLine& line = slice.lines[i];
        if (!line.height.se) {
            continue;
        }
        const LineShape shape = settings.lines[i].shape;
        const double h = line.height.value, w = line.half_width.value, eta = line.eta.value;
        Vector gradient = Vector::Zero(p);
        for (Eigen::Index k = 0; k < p; ++k) {
            const Column& column = kept[static_cast<std::size_t>(k)];
            if (column.line != i || column.of == Of::baseline) {
                continue;
            }
            if (column.of == Of::height) {
                gradient[k] = w * unit_area(shape, eta);
            } else if (column.of == Of::half_width) {
                gradient[k] = h * unit_area(shape, eta);
            } else if (column.of == Of::eta) {
                gradient[k] = h * w * (pi_value - gaussian_area_factor());
            }
        }
        const double variance = gradient.dot(covariance * gradient);
        if (variance > 0.0 && std::isfinite(variance)) {
            line.area.se = std::sqrt(variance);
        }
    }
    return slice;
}

// A start for a half-width that lines.txt leaves out: the distance from the line's position
// to where the data fall to half its height, on either side, in the first slice.
double estimated_half_width(const SliceData& slice, double position, const HalfWidthBounds& bounds,
                            bool baseline) {
    if (slice.n == 0) {
        return bounds.lower;
    }
    std::size_t at = 0;
    for (std::size_t p = 1; p < slice.n; ++p) {
        if (std::fabs(slice.x[p] - position) < std::fabs(slice.x[at] - position)) {
            at = p;
        }
    }
    double floor = 0.0;
    if (baseline) {
        std::vector<double> sorted(slice.y, slice.y + slice.n);
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                         sorted.end());
        floor = sorted[sorted.size() / 2];
    }
    const double peak = slice.y[at] - floor;
    double sum = 0.0;
    int sides = 0;
    for (const int step : {-1, 1}) {
        for (long p = static_cast<long>(at) + step; p >= 0 && p < static_cast<long>(slice.n);
             p += step) {
            const double value = slice.y[static_cast<std::size_t>(p)] - floor;
            if (std::fabs(value) <= std::fabs(peak) / 2.0 || value * peak <= 0.0) {
                sum += std::fabs(slice.x[static_cast<std::size_t>(p)] - slice.x[at]);
                ++sides;
                break;
            }
        }
    }
    const double guess = sides > 0 ? sum / sides : 10.0 * bounds.lower;
    return std::clamp(guess, bounds.lower, bounds.upper);
}

std::vector<double> start_of(const Layout& layout, const LineFitSettings& settings) {
    std::vector<double> start(static_cast<std::size_t>(layout.size()));
    for (std::size_t i = 0; i < settings.lines.size(); ++i) {
        const LineSlots& s = layout.slots[i];
        if (s.half_width >= 0) {
            start[static_cast<std::size_t>(s.half_width)] = *settings.lines[i].half_width;
        }
        if (s.position >= 0) {
            start[static_cast<std::size_t>(s.position)] = settings.lines[i].position;
        }
        if (s.eta >= 0) {
            start[static_cast<std::size_t>(s.eta)] = layout.held_eta[i];
        }
    }
    return start;
}

SliceData slice_of(const WindowedSeries& series, std::size_t s) {
    const std::size_t first = series.slice_start[s];
    return {&series.ppm[first], &series.intensity[first], series.points_in(s)};
}

[[noreturn]] void fail_non_finite(const std::string& what) {
    throw Failure(FailureKind::non_finite_fit,
                  what + ": the line model met values that are not finite numbers; check "
                         "2d.txt for intensities near the limits of double precision and "
                         "lines.txt for half-widths");
}

} // namespace

const char* baseline_kind_name(BaselineKind kind) {
    return kind == BaselineKind::none       ? "none"
           : kind == BaselineKind::constant ? "constant"
                                            : "linear";
}

const char* width_mode_name(WidthMode mode) {
    return mode == WidthMode::free ? "free" : mode == WidthMode::fixed ? "fixed" : "sum";
}

HalfWidthBounds half_width_bounds(const WindowedSeries& series, const LineFitSettings& settings) {
    const double width = settings.window_upper - settings.window_lower;
    const std::size_t n = series.slice_count() > 0 ? series.points_in(0) : 0;
    const double spacing = n >= 2 ? mean_point_spacing(series.ppm[0], series.ppm[n - 1], n) : width;
    return {std::min(spacing / 2.0, width), width};
}

std::size_t free_parameter_count(const LineFitSettings& settings) {
    std::size_t count = settings.lines.size() + baseline_columns(settings.baseline);
    for (const LineDefinition& line : settings.lines) {
        count += settings.widths == WidthMode::free ? 1 : 0;
        count += settings.widths != WidthMode::sum && settings.float_ppm > 0.0 ? 1 : 0;
        count += settings.widths != WidthMode::sum && line.shape == LineShape::pseudo_voigt ? 1 : 0;
    }
    return count;
}

namespace {

// A slice's nonlinear fit with the model it was fitted on (whose last basis its record reuses).
struct FittedSlice {
    std::unique_ptr<ProjectedModel> model;
    NonlinearFit fit;
};

// Slices that must be fitted one after another (each from the previous one's result): `fit(s)`
// runs them in turn on the calling thread, and `finish` (their records and errors, a third of the
// work) runs on a second thread when there are two, always in slice order and on one thread at a
// time. What either throws ends the run as it would one step after the other: every slice before
// the failing one is finished first, and the failure of the earlier slice is the one rethrown.
template <typename Fit, typename Finish>
void fit_in_turn(std::size_t count, unsigned threads, const Fit& fit, const Finish& finish) {
    if (threads < 2 || count < 2) {
        for (std::size_t s = 0; s < count; ++s) {
            finish(s, fit(s));
        }
        return;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::size_t, FittedSlice>> waiting; // fitted, not yet finished
    bool fitting_ended = false;
    std::exception_ptr finish_failure;
    std::thread finisher([&] {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !waiting.empty() || fitting_ended; });
            if (waiting.empty()) {
                return;
            }
            std::pair<std::size_t, FittedSlice> next = std::move(waiting.front());
            waiting.pop_front();
            lock.unlock();
            try {
                finish(next.first, next.second);
            } catch (...) {
                lock.lock();
                finish_failure = std::current_exception();
                changed.notify_all();
                return;
            }
        }
    });
    std::exception_ptr fit_failure;
    try {
        for (std::size_t s = 0; s < count; ++s) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (finish_failure) {
                    break;
                }
            }
            FittedSlice fitted = fit(s); // its model is not touched here once handed over
            const std::lock_guard<std::mutex> lock(mutex);
            waiting.emplace_back(s, std::move(fitted));
            changed.notify_all();
        }
    } catch (...) {
        fit_failure = std::current_exception();
    }
    {
        const std::lock_guard<std::mutex> lock(mutex);
        fitting_ended = true;
        changed.notify_all();
    }
    finisher.join();
    if (finish_failure) {
        std::rethrow_exception(finish_failure);
    }
    if (fit_failure) {
        std::rethrow_exception(fit_failure);
    }
}

} // namespace

LineSeriesFit fit_line_series(const WindowedSeries& series, const LineFitSettings& settings_in,
                              const LineSliceFitted& on_slice) {
    LineSeriesFit result;
    result.settings = settings_in;
    LineFitSettings& settings = result.settings;
    const std::size_t count = series.slice_count();
    if (count == 0) {
        return result;
    }
    const HalfWidthBounds bounds = half_width_bounds(series, settings);
    const bool with_baseline = settings.baseline != BaselineKind::none;

    // --widths sum: the slices' sum, fitted with everything free, sets what each slice holds.
    std::vector<double> summed_intensity;
    const SliceData first = slice_of(series, 0);
    if (settings.widths == WidthMode::sum) {
        summed_intensity.assign(first.n, 0.0);
        for (std::size_t s = 0; s < count; ++s) {
            const SliceData slice = slice_of(series, s);
            for (std::size_t p = 0; p < first.n; ++p) {
                summed_intensity[p] += slice.y[p];
            }
        }
    }
    const SliceData start_data = settings.widths == WidthMode::sum
                                     ? SliceData{first.x, summed_intensity.data(), first.n}
                                     : first;
    for (LineDefinition& line : settings.lines) {
        if (!line.half_width) {
            line.half_width =
                estimated_half_width(start_data, line.position, bounds, with_baseline);
        }
    }

    Layout layout;
    if (settings.widths == WidthMode::sum) {
        const Layout summed_layout = make_layout(settings, bounds, true, true, true);
        const ProjectedModel model(settings, summed_layout, start_data);
        NonlinearFit fit;
        if (!fit_nonlinear(model, summed_layout, start_of(summed_layout, settings), fit)) {
            fail_non_finite("the sum of the slices");
        }
        result.summed = describe(model, settings, summed_layout, fit, std::nullopt);
        layout = make_layout(settings, bounds, false, false, false);
        for (std::size_t i = 0; i < settings.lines.size(); ++i) {
            const LineValues v = values_of(summed_layout, fit.theta.data(), i);
            layout.held_half_width[i] = v.half_width;
            layout.held_position[i] = v.position;
            layout.held_eta[i] = v.eta;
        }
    } else {
        layout = make_layout(settings, bounds, settings.widths == WidthMode::free, true, true);
    }
    const std::vector<double> first_start = start_of(layout, settings);

    // A slice's fit, tried again from slice 0's start when it ends at a bound, and its record
    // with the errors: two steps, so that the errors of one slice can be worked out while the
    // next is fitted.
    const auto fit_only = [&](const ProjectedModel& model, std::size_t s,
                              const std::vector<double>& start) {
        NonlinearFit fit;
        if (!fit_nonlinear(model, layout, start, fit)) {
            fail_non_finite("2d.txt: slice " + std::to_string(s));
        }
        const bool height_at_zero =
            settings.positive &&
            (fit.coefficients.head(static_cast<Eigen::Index>(settings.lines.size())).array() == 0.0)
                .any();
        if (s > 0 && start != first_start && (height_at_zero || any_at_bound(layout, fit.theta))) {
            NonlinearFit again;
            if (fit_nonlinear(model, layout, first_start, again)) {
                again.iterations += fit.iterations;
                if (again.rss < fit.rss) {
                    fit = std::move(again);
                } else {
                    fit.iterations = again.iterations;
                }
            }
        }
        return fit;
    };
    const auto record = [&](const ProjectedModel& model, std::size_t s, const NonlinearFit& fit) {
        std::optional<std::pair<double, std::size_t>> noise;
        if (settings.with_noise) {
            noise =
                std::pair{noise_of(series, s), series.noise_start[s + 1] - series.noise_start[s]};
        }
        return describe(model, settings, layout, fit, noise);
    };

    result.slices.resize(count);
    if (settings.widths == WidthMode::free) {
        std::vector<double> start = first_start;
        fit_in_turn(
            count, settings.threads,
            [&](std::size_t s) {
                auto model =
                    std::make_unique<ProjectedModel>(settings, layout, slice_of(series, s));
                NonlinearFit fit = fit_only(*model, s, start);
                start = fit.theta;
                return FittedSlice{std::move(model), std::move(fit)};
            },
            [&](std::size_t s, const FittedSlice& fitted) {
                result.slices[s] = record(*fitted.model, s, fitted.fit);
                if (on_slice) {
                    on_slice(s, result.slices[s]);
                }
            });
        return result;
    }
    // Every slice from the same start: independent, so side by side; the first failure (by
    // slice) is the one reported.
    const unsigned threads = static_cast<unsigned>(
        std::max<std::size_t>(1, std::min<std::size_t>(settings.threads, count)));
    std::vector<std::exception_ptr> failures(count);
    const auto run = [&](unsigned worker) {
        for (std::size_t s = worker; s < count; s += threads) {
            try {
                const ProjectedModel model(settings, layout, slice_of(series, s));
                result.slices[s] = record(model, s, fit_only(model, s, first_start));
            } catch (...) {
                failures[s] = std::current_exception();
                return;
            }
        }
    };
    std::vector<std::thread> workers;
    for (unsigned w = 1; w < threads; ++w) {
        workers.emplace_back(run, w);
    }
    run(0);
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (std::size_t s = 0; s < count; ++s) {
        if (failures[s]) {
            std::rethrow_exception(failures[s]);
        }
        if (on_slice) {
            on_slice(s, result.slices[s]);
        }
    }
    return result;
}

double line_value(const FittedLine& line, LineShape shape, double x) {
    return line.height.value *
           shape_point(shape, x, line.position.value, line.half_width.value, line.eta.value).value;
}

double baseline_value(const LineSliceFit& slice, const LineFitSettings& settings, double x) {
    double value = slice.baseline_0 ? slice.baseline_0->value : 0.0;
    if (slice.baseline_1) {
        value +=
            slice.baseline_1->value * (x - (settings.window_lower + settings.window_upper) / 2.0);
    }
    return value;
}

std::string line_slice_status(const LineSliceFit& slice) {
    std::string status = slice.settled ? "settled" : "iteration_limit";
    for (std::size_t k = 0; k < slice.at_bound.size(); ++k) {
        status += (k == 0 ? ";bound:" : ",") + slice.at_bound[k];
    }
    if (slice.misfit) {
        status += ";misfit";
    }
    return status;
}

// The line shapes of pairfit-lines: Lorentzian, Gaussian and pseudo-Voigt of height h at
// position P with half width at half height W, their areas and the derivatives the fit and
// the standard errors need. Plain inline functions, so a caller evaluates them as the fit does.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

enum class LineShape { lorentzian, gaussian, pseudo_voigt };

// "lorentzian", "gaussian", "pseudo-voigt": the names of lines.txt, --shape and lines.csv.
inline const char* line_shape_name(LineShape shape) {
    switch (shape) {
    case LineShape::gaussian:
        return "gaussian";
    case LineShape::pseudo_voigt:
        return "pseudo-voigt";
    case LineShape::lorentzian:
        break;
    }
    return "lorentzian";
}

inline std::optional<LineShape> parse_line_shape(const std::string& name) {
    for (const LineShape shape :
         {LineShape::lorentzian, LineShape::gaussian, LineShape::pseudo_voigt}) {
        if (name == line_shape_name(shape)) {
            return shape;
        }
    }
    return std::nullopt;
}

// ln 2, and the area of a unit-height Gaussian of unit half-width, sqrt(pi / ln 2).
constexpr double ln_two = 0.69314718055994530942;
constexpr double pi_value = 3.14159265358979323846;
inline double gaussian_area_factor() {
    return std::sqrt(pi_value / ln_two);
}

// A unit-height line and its derivatives at one point, for one position, half-width and eta.
struct ShapePoint {
    double value = 0.0;        // the unit-height shape
    double d_position = 0.0;   // d value / d P
    double d_half_width = 0.0; // d value / d W
    double d_eta = 0.0;        // d value / d eta (pseudo-Voigt: L - G)
};

// u^2 for u = (x - P)/W, as (x - P) times 1/W: one division per line rather than per point,
// since a loop over points hoists it.
inline double squared_offset(double x, double position, double half_width) {
    const double u = (x - position) * (1.0 / half_width);
    return u * u;
}

// G = exp(-ln 2 u^2). Beyond 746 the exponential is 0 in double precision; saying so skips
// exp's slow underflow path far out in the tails. A caller that knows G makes no difference
// beyond a smaller exponent (negligible_gaussian_exponent) passes that.
inline double unit_gaussian(double u2, double negligible_exponent = 746.0) {
    const double exponent = ln_two * u2;
    return exponent < negligible_exponent ? std::exp(-exponent) : 0.0;
}

// The exponent ln 2 u^2 beyond which a pseudo-Voigt's Gaussian part G is below 2^-60 of
// eta L^2 (L = 1 / (1 + u^2)): added to eta L (the value), to eta dL/du^2 = -eta L^2 (the
// slope) or taken from L (d/d eta), it is below half a unit in their last place, so G = 0
// gives every bit of them, and its exponential need not be taken. The bound solves
// x = 60 ln 2 - ln eta + 2 ln(1 + x / ln 2) from below, plus 1: past it the left side grows
// faster than the right. 746 (G = 0 anyway) for an eta too small to help.
inline double negligible_gaussian_exponent(double eta) {
    if (!(eta >= 1e-200)) {
        return 746.0;
    }
    const double base = 60.0 * ln_two - std::log(eta);
    double x = base;
    // Each round shrinks the distance to the root by 2 / (ln 2 + x) < 0.05.
    for (int round = 0; round < 8; ++round) {
        x = base + 2.0 * std::log1p(x / ln_two);
    }
    return std::min(x + 1.0, 746.0);
}

// The shape at x given its Gaussian part `gauss` (unit_gaussian of x's u^2; ignored by a
// Lorentzian): a loop over points can then take the exponentials in a pass of their own and
// the rest in one without a call, which the compiler vectorises.
inline ShapePoint shape_point_with(LineShape shape, double x, double position, double half_width,
                                   double eta, double gauss) {
    const double inverse_width = 1.0 / half_width;
    const double u = (x - position) * inverse_width;
    const double u2 = u * u;
    // d u^2 / dP = -2u/W, d u^2 / dW = -2u^2/W
    const double du2_dP = -2.0 * u * inverse_width;
    const double du2_dW = -2.0 * u2 * inverse_width;
    ShapePoint point;
    double lorentz = 0.0, dlorentz = 0.0, dgauss = 0.0; // d/d(u^2)
    if (shape != LineShape::gaussian) {
        lorentz = 1.0 / (1.0 + u2);
        dlorentz = -lorentz * lorentz;
    }
    if (shape != LineShape::lorentzian) {
        dgauss = -ln_two * gauss;
    } else {
        gauss = 0.0;
    }
    double mix = 0.0; // d value / d(u^2)
    switch (shape) {
    case LineShape::lorentzian:
        point.value = lorentz;
        mix = dlorentz;
        break;
    case LineShape::gaussian:
        point.value = gauss;
        mix = dgauss;
        break;
    case LineShape::pseudo_voigt:
        point.value = eta * lorentz + (1.0 - eta) * gauss;
        mix = eta * dlorentz + (1.0 - eta) * dgauss;
        point.d_eta = lorentz - gauss;
        break;
    }
    point.d_position = mix * du2_dP;
    point.d_half_width = mix * du2_dW;
    return point;
}

// L(x) = 1 / (1 + u^2), G(x) = exp(-ln 2 u^2), u = (x - P)/W; the pseudo-Voigt is
// eta L + (1 - eta) G. eta is ignored by the pure shapes.
inline ShapePoint shape_point(LineShape shape, double x, double position, double half_width,
                              double eta) {
    const double gauss = shape != LineShape::lorentzian
                             ? unit_gaussian(squared_offset(x, position, half_width))
                             : 0.0;
    return shape_point_with(shape, x, position, half_width, eta, gauss);
}

// The area of a unit-height line of half-width 1 (multiply by h W): pi, sqrt(pi/ln 2), or
// their mix by eta.
inline double unit_area(LineShape shape, double eta) {
    switch (shape) {
    case LineShape::gaussian:
        return gaussian_area_factor();
    case LineShape::pseudo_voigt:
        return eta * pi_value + (1.0 - eta) * gaussian_area_factor();
    case LineShape::lorentzian:
        break;
    }
    return pi_value;
}

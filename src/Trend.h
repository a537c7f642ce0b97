// From the series to a rate or a constant: the trend models fitted to one column of
// report.csv against z, the reader of report.csv, and the text of trend.csv and of the summary.
// Every function takes values and returns values; refusals are thrown as Failure (Failure.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

enum class TrendModel {
    decay,     // y = I0 exp(-z/T)
    recovery,  // y = Iinf (1 - exp(-z/T1))
    inversion, // y = Iinf - (Iinf - I0) exp(-z/T1)
    binding,   // y = (P + z + Kd - sqrt((P + z + Kd)^2 - 4 P z)) / (2 P), z the total ligand
};

// "decay", "recovery", "inversion", "binding"; false for any other name.
bool parse_trend_model(const std::string& name, TrendModel& model);
const char* trend_model_name(TrendModel model);
// The fitted parameters in their order, without the rates: {"I0", "T"}, {"Iinf", "T1"},
// {"Iinf", "I0", "T1"}, {"Kd"}.
std::vector<std::string> trend_parameter_names(TrendModel model);
// The model's value at z for the fitted parameters in the order above; `protein` is P.
double trend_curve(TrendModel model, const std::vector<double>& parameters, double protein,
                   double z);

// The most Monte Carlo sets one fit may take (pairfit-trend --mc, pairfit.trend's mc).
constexpr unsigned max_monte_carlo_sets = 1000000;
// Empty, or why `sets` Monte Carlo sets cannot be asked for: more than max_monte_carlo_sets,
// or one set, whose spread is not defined (0 means none).
std::string monte_carlo_problem(unsigned long long sets);

struct TrendOptions {
    bool weighted = true;          // weights 1/se^2; false: equal weights, errors scaled by s
    unsigned monte_carlo = 500;    // synthetic sets refitted for se_mc; 0: no se_mc
    std::uint64_t seed = 20261209; // of the std::mt19937_64 the synthetic noise is drawn from
    double protein = std::numeric_limits<double>::quiet_NaN(); // P of binding, the unit of z
};

struct TrendParameter {
    std::string name; // I0, Iinf, T, T1, Kd, or the rate R (= 1/T), R1 (= 1/T1)
    double value = 0.0;
    double se = std::numeric_limits<double>::quiet_NaN();    // from the covariance
    double se_mc = std::numeric_limits<double>::quiet_NaN(); // spread of the Monte Carlo refits
};

struct TrendFit {
    // The fitted parameters in the order of trend_parameter_names, each time constant followed
    // by its rate.
    std::vector<TrendParameter> parameters;
    std::vector<double> fitted;      // the fitted parameters alone, for trend_curve
    std::vector<std::size_t> used;   // the indices of the points fitted (finite z, y and se)
    std::size_t n = 0;               // used.size()
    long dof = 0;                    // n - fitted parameters
    double chi2 = 0.0;               // sum ((y - f)/se)^2; unweighted: sum (y - f)^2
    double chi2_red = 0.0;           // chi2 / dof
    unsigned monte_carlo_refits = 0; // synthetic sets whose refit converged
    bool converged = false;          // always true in a returned fit: others are thrown
};

// Fits `model` to the points (z[i], y[i]) with standard errors se[i]; points where z, y (or, when
// weighted, se) is not finite are left out. Start values come from the data: a grid over the
// time constant (or Kd) with the amplitudes solved linearly at each, and for decay a log-linear
// estimate; each is refined by dlib's Levenberg-Marquardt and the lowest chi2 kept.
// se: covariance (J^T W J)^-1 with se as absolute sigmas; unweighted, s^2 (J^T J)^-1 with
// s^2 = chi2/dof. se_mc: options.monte_carlo sets drawn from the fitted curve plus Gaussian
// noise of each point's se (unweighted: s), refitted from the fitted values.
// Throws Failure: malformed_input for vectors of different lengths, fewer usable points than
// parameters + 1, an se <= 0 when weighted (naming the point by its index), binding without a
// protein P > 0 or with a z < 0, an se below 1e-15 times the largest |y| when weighted;
// non_finite_fit for a fit that does not converge or whose J^T W J is singular.
TrendFit fit_trend(const std::vector<double>& z, const std::vector<double>& y,
                   const std::vector<double>& se, TrendModel model, const TrendOptions& options);

// One fitted line: its name (A, B) and fit.
struct TrendLine {
    std::string line;
    TrendFit fit;
};
// trend.csv: header line,model,parameter,value,se,se_mc,n,dof,chi2,chi2_red and one row per
// line and parameter; shortest round-trip numbers, empty cells where undefined.
std::string format_trend_csv(const std::vector<TrendLine>& lines, TrendModel model);
// One line per line and parameter, e.g.
// "A  T1 = 0.8012 ± 0.0061 s (Monte Carlo 0.0063)   chi2/dof 1.08 (10)".
// `unit` is the unit of z (empty: none), given to time constants, Kd and (as 1/unit) rates.
std::string format_trend_summary(const std::vector<TrendLine>& lines, const std::string& unit);

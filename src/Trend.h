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
    decay2,    // y = A1 exp(-z/Ta) + A2 exp(-z/Tb), Ta < Tb
};

// "decay", "recovery", "inversion", "binding", "decay2"; false for any other name.
bool parse_trend_model(const std::string& name, TrendModel& model);
const char* trend_model_name(TrendModel model);
// The fitted parameters in their order, without the rates: {"I0", "T"}, {"Iinf", "T1"},
// {"Iinf", "I0", "T1"}, {"Kd"}, {"A1", "Ta", "A2", "Tb"}.
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

// A trend fit whose chi2 lies above this share of its chi-square distribution is a misfit.
constexpr double trend_misfit_p_value = 0.001;

struct TrendParameter {
    std::string name; // I0, Iinf, T, T1, Kd, A1, Ta, A2, Tb, or a rate: R, R1, Ra, Rb (1/T...)
    double value = 0.0;
    double se = std::numeric_limits<double>::quiet_NaN();    // from the covariance
    double se_mc = std::numeric_limits<double>::quiet_NaN(); // spread of the Monte Carlo refits
};

struct TrendFit {
    TrendModel model = TrendModel::decay;
    bool weighted = true;
    // The fitted parameters in the order of trend_parameter_names, each time constant followed
    // by its rate.
    std::vector<TrendParameter> parameters;
    std::vector<double> fitted;        // the fitted parameters alone, for trend_curve
    std::vector<std::size_t> used;     // the indices of the points fitted (finite z, y and se)
    std::vector<std::size_t> excluded; // the indices the caller left out (a value at a bound)
    std::size_t n = 0;                 // used.size()
    long dof = 0;                      // n - fitted parameters
    double chi2 = 0.0;                 // sum ((y - f)/se)^2; NaN unweighted, where se plays no part
    double chi2_red = 0.0;             // chi2 / dof; NaN unweighted
    double rss = 0.0;                  // sum (y - f)^2, the residual sum of squares
    double p_value = std::numeric_limits<double>::quiet_NaN(); // P(chi-square(dof) > chi2)
    // "ok", or "misfit" when p_value < trend_misfit_p_value; empty unweighted (not judged).
    std::string status;
    // The point of the largest |y - f| / se (unweighted: / s), as an index into the input, and
    // that ratio with its sign.
    std::size_t worst_point = 0;
    double worst_residual = 0.0;
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
// `left_out` names points not to fit whatever their values (kept in fit.excluded).
// Each round of Levenberg-Marquardt after the first works in coordinates scaled by the
// Jacobian's column norms, so that values known to very different precision settle together.
// decay2 starts from the one-exponential fit, its two times split around it.
TrendFit fit_trend(const std::vector<double>& z, const std::vector<double>& y,
                   const std::vector<double>& se, TrendModel model, const TrendOptions& options,
                   const std::vector<std::size_t>& left_out = {});

// ------------------------------------------------------------------------------------------
// Which slices a trend fits
// ------------------------------------------------------------------------------------------

// The values of `line` that a slice's status names at a bound and that make the slice's value
// for that line no measurement: the amplitude or half-width of a two-line fit (report.csv,
// "settled;bound:MA,LWB": line A's MA, line B's LWB) or the height or half-width of a line of
// pairfit-lines (lines.csv, "settled;bound:L1.half_width,L2.position": line L1's half_width).
std::vector<std::string> line_values_at_bound(const std::string& status, const std::string& line);
// True when a slice's status carries the misfit flag ";misfit".
bool status_is_misfit(const std::string& status);

// The slices of one line a trend leaves out (a value at a bound) and those it keeps although
// flagged as misfits, with the warnings that name them ("" when there is nothing to say).
struct TrendSelection {
    std::vector<std::size_t> left_out;
    std::vector<std::string> reasons; // per slice left out, e.g. "MB at a bound"
    std::vector<std::size_t> misfit;  // kept
};
// A line's fitted half-widths, one per slice (ppm; NaN where a slice has none), under the name
// the reasons give them (LWB), and their standard errors (NaN where none; empty: not known).
struct FittedHalfWidths {
    std::string name;
    std::vector<double> ppm;
    std::vector<double> se;
};
// `statuses` holds one status per slice; a value at a bound of any of `lines` leaves a slice
// out (a fraction of two lines needs both), unless keep_bound. So does a half-width of
// `half_widths` narrower than half of `point_spacing` (the series' ppm between neighbouring
// points; NaN: not known, none is): its line is narrower than the sampling can tell from a
// spike, the lowest half-width pairfit-lines allows, so it is at a bound as much as one that
// reached pairfit4's 1e-4 ppm.
// With one_width (a relaxation series: the delay does not change a line's width), a slice
// whose half-width lies more than 3.29 se (two-sided p < 0.001, the trend's misfit level) from
// the weighted mean of the other slices' is left out too: a width the series contradicts is
// a line fitted to noise, whose area and error are then too small.
TrendSelection select_trend_slices(const std::vector<std::string>& statuses,
                                   const std::vector<std::string>& lines, bool keep_bound,
                                   const std::vector<FittedHalfWidths>& half_widths = {},
                                   double point_spacing = std::numeric_limits<double>::quiet_NaN(),
                                   bool one_width = false);
std::string left_out_warning(const std::string& line, const TrendSelection& selection);
std::string misfit_slices_warning(const std::string& line, const TrendSelection& selection);

// The warning of a trend fit flagged misfit, naming chi2/dof, the usual causes and the slice
// of the largest |residual|/se; "" for a fit that is not.
std::string trend_misfit_warning(const std::string& line, const TrendFit& fit);
// For decay2: empty, or why the data do not tell its four parameters apart (the two times
// within their errors of each other, an amplitude within its error of 0).
std::string not_identifiable_reason(const TrendFit& fit);

// ------------------------------------------------------------------------------------------
// A second model against the first
// ------------------------------------------------------------------------------------------

// True when `simpler` is `larger` with parameters held: decay in decay2 and in inversion,
// recovery in inversion.
bool trend_models_nested(TrendModel simpler, TrendModel larger);
// True when the two models fit the same values (binding fits 1 - fraction_A, the others a
// column of the report).
bool trend_models_comparable(TrendModel model, TrendModel model2);

struct TrendComparison {
    std::string line;
    TrendModel model = TrendModel::decay, model2 = TrendModel::decay2;
    double chi2 = 0.0, chi2_2 = 0.0; // unweighted: the residual sums of squares
    long dof = 0, dof_2 = 0;
    // The F test of nested models, ((chi2 - chi2_2)/(dof - dof_2)) / (chi2_2/dof_2), and its
    // p-value; NaN for models that are not nested or a second fit that failed.
    double F = std::numeric_limits<double>::quiet_NaN();
    double p_value = std::numeric_limits<double>::quiet_NaN();
    // AIC(model2) - AIC(model): chi2 + 2k weighted, n ln(rss/n) + 2k unweighted; < 0 favours
    // model2.
    double delta_aic = std::numeric_limits<double>::quiet_NaN();
    TrendModel preferred = TrendModel::decay;
    std::string note; // why model2 is not preferred though it fits better, or why it failed
};
// The comparison of `fit` with `fit2` (null: the second fit failed with `failure`). model2 is
// preferred when it is identifiable and, nested, its F test has p < trend_misfit_p_value, or,
// not nested, delta_aic < -10.
TrendComparison compare_trends(const std::string& line, const TrendFit& fit, TrendModel model2,
                               const TrendFit* fit2, const std::string& failure);
// trend_compare.csv: line,model,model2,chi2,chi2_2,dof,dof_2,F,p_value,delta_aic,preferred.
std::string format_trend_compare_csv(const std::vector<TrendComparison>& comparisons);
// One line per comparison, with the note when there is one.
std::string format_trend_compare_summary(const std::vector<TrendComparison>& comparisons);

// One fitted line: its name (A, B) and fit.
struct TrendLine {
    std::string line;
    TrendFit fit;
};
// trend.csv: header line,model,parameter,value,se,se_mc,n,dof,chi2,chi2_red,rss,p_value,status
// and one row per line and parameter; shortest round-trip numbers, empty cells where
// undefined (chi2, chi2_red, p_value and status of an unweighted fit).
extern const char* const trend_csv_header;
std::string format_trend_csv(const std::vector<TrendLine>& lines);
// One line per line and parameter, e.g.
// "A  T1 = 0.8012 ± 0.0061 s (Monte Carlo 0.0063)   chi2/dof 1.08 (10)"; unweighted
// "... rss 3.1e-10 (10 dof)".
// `unit` is the unit of z (empty: none), given to time constants, Kd and (as 1/unit) rates.
std::string format_trend_summary(const std::vector<TrendLine>& lines, const std::string& unit);

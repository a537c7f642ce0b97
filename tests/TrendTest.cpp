// The trend fits against a plain Gauss-Newton written here, their errors against the spread
// over noise seeds, and the report.csv reader on what pairfit4 writes.
#include "Trend.h"
#include "Failure.h"
#include "ReadZValues.h"
#include "ReportCsv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>

namespace {

using Curve = std::function<double(const std::vector<double>&, double)>;

struct Data {
    std::vector<double> z, y, se;
};

// Noise from a generator of this test (splitmix64 and a sum of twelve uniforms), not the
// library's.
double gaussian(std::uint64_t& state) {
    double sum = 0.0;
    for (int i = 0; i < 12; ++i) {
        std::uint64_t x = (state += 0x9e3779b97f4a7c15ULL);
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        sum += static_cast<double>((x ^ (x >> 31)) >> 11) * 0x1p-53;
    }
    return sum - 6.0;
}

Data make_data(const Curve& curve, const std::vector<double>& truth, const std::vector<double>& z,
               double se_fraction, std::uint64_t seed) {
    Data data{z, {}, {}};
    double top = 0.0;
    for (const double at : z) {
        top = std::max(top, std::fabs(curve(truth, at)));
    }
    for (std::size_t i = 0; i < z.size(); ++i) {
        const double se = se_fraction * top * (1.0 + 0.5 * static_cast<double>(i % 3));
        data.se.push_back(se);
        data.y.push_back(curve(truth, z[i]) + se * gaussian(seed));
    }
    return data;
}

// Gauss-Newton on the parameters themselves, derivatives by central differences, step
// halving; returns the parameters and their covariance (absolute sigmas, or s^2 scaled).
struct Reference {
    std::vector<double> p, se;
};
Reference gauss_newton(const Curve& curve, std::vector<double> p, const Data& data, bool weighted) {
    const std::size_t k = p.size();
    const std::size_t n = data.z.size();
    const auto w = [&](std::size_t i) { return weighted ? data.se[i] : 1.0; };
    const auto chi2 = [&](const std::vector<double>& q) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double r = (data.y[i] - curve(q, data.z[i])) / w(i);
            sum += r * r;
        }
        return sum;
    };
    std::vector<std::vector<double>> a;
    for (int iteration = 0; iteration < 200; ++iteration) {
        std::vector<std::vector<double>> jac(n, std::vector<double>(k));
        for (std::size_t j = 0; j < k; ++j) {
            const double h = 1e-6 * std::max(std::fabs(p[j]), 1e-3);
            std::vector<double> up = p, down = p;
            up[j] += h;
            down[j] -= h;
            for (std::size_t i = 0; i < n; ++i) {
                jac[i][j] = (curve(up, data.z[i]) - curve(down, data.z[i])) / (2 * h) / w(i);
            }
        }
        // Normal equations [J^T J | J^T r], solved by Gauss-Jordan, inverse alongside.
        a.assign(k, std::vector<double>(2 * k + 1, 0.0));
        for (std::size_t r = 0; r < k; ++r) {
            for (std::size_t c = 0; c < k; ++c) {
                for (std::size_t i = 0; i < n; ++i) {
                    a[r][c] += jac[i][r] * jac[i][c];
                }
            }
            for (std::size_t i = 0; i < n; ++i) {
                a[r][2 * k] += jac[i][r] * (data.y[i] - curve(p, data.z[i])) / w(i);
            }
            a[r][k + r] = 1.0;
        }
        for (std::size_t c = 0; c < k; ++c) {
            const double pivot = a[c][c];
            for (double& v : a[c]) {
                v /= pivot;
            }
            for (std::size_t r = 0; r < k; ++r) {
                if (r != c) {
                    const double factor = a[r][c];
                    for (std::size_t m = 0; m < a[r].size(); ++m) {
                        a[r][m] -= factor * a[c][m];
                    }
                }
            }
        }
        std::vector<double> next = p;
        for (double step = 1.0; step > 1e-6; step /= 2) {
            for (std::size_t j = 0; j < k; ++j) {
                next[j] = p[j] + step * a[j][2 * k];
            }
            if (chi2(next) <= chi2(p)) {
                break;
            }
        }
        p = next;
    }
    const double scale = weighted ? 1.0 : chi2(p) / static_cast<double>(n - k);
    Reference reference{p, {}};
    for (std::size_t j = 0; j < k; ++j) {
        reference.se.push_back(std::sqrt(a[j][k + j] * scale));
    }
    return reference;
}

struct Case {
    TrendModel model;
    Curve curve;
    std::vector<double> truth;
    double protein;
};

std::vector<Case> cases() {
    const double protein = 0.5;
    return {
        {TrendModel::decay,
         [](const auto& p, double z) { return p[0] * std::exp(-z / p[1]); },
         {2.0e5, 0.08},
         NAN},
        {TrendModel::recovery,
         [](const auto& p, double z) { return p[0] * (1 - std::exp(-z / p[1])); },
         {3.5, 1.2},
         NAN},
        {TrendModel::inversion,
         [](const auto& p, double z) { return p[0] - (p[0] - p[1]) * std::exp(-z / p[2]); },
         {1.0, -0.9, 0.8},
         NAN},
        {TrendModel::binding,
         [protein](const auto& p, double z) {
             const double s = protein + z + p[0];
             return (s - std::sqrt(s * s - 4 * protein * z)) / (2 * protein);
         },
         {0.2},
         protein},
    };
}

std::vector<double> z_for(TrendModel model) {
    if (model == TrendModel::decay) {
        return {0.0, 0.01, 0.02, 0.04, 0.06, 0.09, 0.13, 0.18, 0.25, 0.35, 0.5, 0.7};
    }
    return {0.0, 0.05, 0.1, 0.2, 0.35, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 4.5, 6.0};
}

// The fitted parameters without the rates, which follow each time constant.
std::vector<TrendParameter> fitted(const TrendFit& fit) {
    std::vector<TrendParameter> out;
    for (const TrendParameter& p : fit.parameters) {
        if (p.name != "R" && p.name != "R1") {
            out.push_back(p);
        }
    }
    return out;
}

} // namespace

TEST(TrendFit, AgreesWithPlainGaussNewtonForEveryModelWeightedAndNot) {
    for (const Case& c : cases()) {
        for (const bool weighted : {true, false}) {
            for (const std::uint64_t seed : {1u, 2u, 3u}) {
                const Data data = make_data(c.curve, c.truth, z_for(c.model), 0.02, seed);
                TrendOptions options;
                options.weighted = weighted;
                options.monte_carlo = 0;
                options.protein = c.protein;
                const TrendFit fit = fit_trend(data.z, data.y, data.se, c.model, options);
                const Reference ref = gauss_newton(c.curve, c.truth, data, weighted);
                const std::vector<TrendParameter> got = fitted(fit);
                SCOPED_TRACE(std::string(trend_model_name(c.model)) +
                             (weighted ? " weighted" : " unweighted") + " seed " +
                             std::to_string(seed));
                ASSERT_EQ(got.size(), ref.p.size());
                for (std::size_t j = 0; j < got.size(); ++j) {
                    EXPECT_NEAR(got[j].value, ref.p[j], 1e-6 * std::fabs(ref.p[j]));
                    EXPECT_NEAR(got[j].se, ref.se[j], 1e-3 * ref.se[j]);
                    EXPECT_TRUE(std::isnan(got[j].se_mc));
                }
                // Each rate is 1/T with the propagated error.
                for (std::size_t j = 0; j + 1 < fit.parameters.size(); ++j) {
                    const TrendParameter& t = fit.parameters[j];
                    if (t.name == "T" || t.name == "T1") {
                        const TrendParameter& r = fit.parameters[j + 1];
                        EXPECT_EQ(r.name, t.name == "T" ? "R" : "R1");
                        EXPECT_DOUBLE_EQ(r.value, 1 / t.value);
                        EXPECT_DOUBLE_EQ(r.se, t.se / (t.value * t.value));
                    }
                }
                EXPECT_EQ(fit.n, data.z.size());
                EXPECT_EQ(fit.dof, static_cast<long>(data.z.size() - ref.p.size()));
                if (weighted) {
                    EXPECT_DOUBLE_EQ(fit.chi2_red, fit.chi2 / static_cast<double>(fit.dof));
                } else {
                    // Unweighted, se plays no part: the sum is the rss, under its own name.
                    EXPECT_TRUE(std::isnan(fit.chi2) && std::isnan(fit.chi2_red));
                    EXPECT_TRUE(fit.status.empty() && std::isnan(fit.p_value));
                    EXPECT_GT(fit.rss, 0.0);
                }
            }
        }
    }
}

// Clean values of every model at 200,000 slices, with errors ten orders below the values
// (what a noiseless series gives): the fit converges to the truth, weighted and not, however long
// the sums it settles on.
TEST(TrendFit, CleanDataConvergesAtAnySliceCount) {
    for (const Case& c : cases()) {
        const std::vector<double> grid = z_for(c.model);
        Data data;
        for (std::size_t i = 0; i < 200000; ++i) {
            const double f = static_cast<double>(i) / 199999.0;
            data.z.push_back(grid.front() + f * (grid.back() - grid.front()));
            data.y.push_back(c.curve(c.truth, data.z.back()));
        }
        const double largest =
            *std::max_element(data.y.begin(), data.y.end(),
                              [](double a, double b) { return std::fabs(a) < std::fabs(b); });
        data.se.assign(data.y.size(), 1e-10 * std::fabs(largest));
        for (const bool weighted : {true, false}) {
            SCOPED_TRACE(std::string(trend_model_name(c.model)) + (weighted ? " weighted" : ""));
            TrendOptions options;
            options.weighted = weighted;
            options.monte_carlo = 0;
            options.protein = c.protein;
            const std::vector<TrendParameter> got =
                fitted(fit_trend(data.z, data.y, data.se, c.model, options));
            ASSERT_EQ(got.size(), c.truth.size());
            for (std::size_t j = 0; j < got.size(); ++j) {
                EXPECT_NEAR(got[j].value, c.truth[j], 1e-9 * std::fabs(c.truth[j]));
            }
        }
    }
}

// Over 300 noise seeds the true time constant lies within +-1 se in 68 % of the fits
// (binomial sd 2.7 %, so +-6 % is over 2 sd), and se_mc matches se.
TEST(TrendFit, ErrorsCoverTheTruthOverNoiseSeeds) {
    for (const Case& c : cases()) {
        if (c.model == TrendModel::binding || c.model == TrendModel::recovery) {
            continue; // decay and inversion: one and two amplitudes beside the time constant
        }
        const std::size_t t_index = c.truth.size() - 1;
        int covered = 0;
        std::vector<double> ratios;
        const int seeds = 300;
        for (int seed = 0; seed < seeds; ++seed) {
            const Data data = make_data(c.curve, c.truth, z_for(c.model), 0.01,
                                        1000 + static_cast<unsigned>(seed));
            TrendOptions options;
            options.monte_carlo = 100;
            options.seed = static_cast<std::uint64_t>(seed);
            const TrendFit fit = fit_trend(data.z, data.y, data.se, c.model, options);
            const TrendParameter t = fitted(fit)[t_index];
            covered += std::fabs(t.value - c.truth[t_index]) <= t.se ? 1 : 0;
            ratios.push_back(t.se_mc / t.se);
            EXPECT_EQ(fit.monte_carlo_refits, 100u);
        }
        std::nth_element(ratios.begin(), ratios.begin() + seeds / 2, ratios.end());
        const double fraction = static_cast<double>(covered) / seeds;
        SCOPED_TRACE(trend_model_name(c.model));
        EXPECT_NEAR(fraction, 0.6827, 0.06);
        EXPECT_NEAR(ratios[seeds / 2], 1.0, 0.15);
    }
}

TEST(TrendFit, MonteCarloIsFixedByTheSeed) {
    const Case c = cases()[0];
    const Data data = make_data(c.curve, c.truth, z_for(c.model), 0.02, 7);
    TrendOptions options;
    options.monte_carlo = 50;
    const TrendFit first = fit_trend(data.z, data.y, data.se, c.model, options);
    const TrendFit again = fit_trend(data.z, data.y, data.se, c.model, options);
    options.seed += 1;
    const TrendFit other = fit_trend(data.z, data.y, data.se, c.model, options);
    EXPECT_EQ(format_trend_csv({{"A", first}}), format_trend_csv({{"A", again}}));
    EXPECT_NE(first.parameters[1].se_mc, other.parameters[1].se_mc);
}

// se_mc exactly: the documented draws (Marsaglia's polar method on std::mt19937_64, written
// again here) around the fitted curve with each point's se, each set refitted, the spread with
// N - 1. The same draws around the data give a spread measurably different, so the test tells
// the two apart.
TEST(TrendFit, MonteCarloSpreadIsTheN1SpreadOfRefitsAroundTheFittedCurve) {
    const Case c = cases()[2]; // inversion: three parameters, curved enough to tell
    const Data data = make_data(c.curve, c.truth, z_for(c.model), 0.05, 7);
    TrendOptions options;
    options.monte_carlo = 6;
    options.seed = 99;
    const TrendFit fit = fit_trend(data.z, data.y, data.se, c.model, options);
    ASSERT_EQ(fit.monte_carlo_refits, 6u);

    std::mt19937_64 engine(options.seed);
    bool has_spare = false;
    double spare = 0.0;
    const auto normal = [&] {
        if (has_spare) {
            has_spare = false;
            return spare;
        }
        for (;;) {
            const double u = 2.0 * static_cast<double>(engine() >> 11) * 0x1p-53 - 1.0;
            const double v = 2.0 * static_cast<double>(engine() >> 11) * 0x1p-53 - 1.0;
            const double s = u * u + v * v;
            if (s > 0.0 && s < 1.0) {
                spare = v * std::sqrt(-2.0 * std::log(s) / s);
                has_spare = true;
                return u * std::sqrt(-2.0 * std::log(s) / s);
            }
        }
    };
    TrendOptions plain = options;
    plain.monte_carlo = 0;
    std::vector<std::vector<double>> around_curve(3), around_data(3);
    for (unsigned m = 0; m < options.monte_carlo; ++m) {
        Data curve_set = data, data_set = data;
        for (std::size_t i = 0; i < data.z.size(); ++i) {
            const double noise = data.se[i] * normal();
            curve_set.y[i] = trend_curve(c.model, fit.fitted, c.protein, data.z[i]) + noise;
            data_set.y[i] = data.y[i] + noise;
        }
        const std::vector<TrendParameter> a =
            fitted(fit_trend(curve_set.z, curve_set.y, curve_set.se, c.model, plain));
        const std::vector<TrendParameter> b =
            fitted(fit_trend(data_set.z, data_set.y, data_set.se, c.model, plain));
        for (std::size_t j = 0; j < 3; ++j) {
            around_curve[j].push_back(a[j].value);
            around_data[j].push_back(b[j].value);
        }
    }
    const auto spread = [](const std::vector<double>& v) {
        const double mean = std::accumulate(v.begin(), v.end(), 0.0) / v.size();
        double sum = 0.0;
        for (const double x : v) {
            sum += (x - mean) * (x - mean);
        }
        return std::sqrt(sum / (v.size() - 1));
    };
    const std::vector<TrendParameter> got = fitted(fit);
    for (std::size_t j = 0; j < 3; ++j) {
        SCOPED_TRACE(got[j].name);
        const double expected = spread(around_curve[j]);
        EXPECT_NEAR(got[j].se_mc, expected, 1e-6 * expected);
        EXPECT_GT(std::fabs(spread(around_data[j]) - expected), 1e-4 * expected);
    }
}

TEST(TrendFit, RefusesWhatCannotBeFitted) {
    const auto kind_of = [](const Data& data, TrendModel model, TrendOptions options) {
        try {
            fit_trend(data.z, data.y, data.se, model, options);
        } catch (const Failure& failure) {
            return std::pair<FailureKind, std::string>(failure.kind, failure.what());
        }
        return std::pair<FailureKind, std::string>(FailureKind::unwritable_output, "fitted");
    };
    const Case c = cases()[0];
    Data data = make_data(c.curve, c.truth, z_for(c.model), 0.02, 9);
    TrendOptions options;
    options.monte_carlo = 0;
    // Two finite slices (NaN as report.csv's empty cells) for two parameters.
    Data few = data;
    for (std::size_t i = 2; i < few.y.size(); ++i) {
        (i % 2 == 0 ? few.y[i] : few.se[i]) = NAN;
    }
    EXPECT_EQ(kind_of(few, c.model, options).first, FailureKind::malformed_input);
    Data zero_se = data;
    zero_se.se[4] = 0.0;
    const auto refused = kind_of(zero_se, c.model, options);
    EXPECT_EQ(refused.first, FailureKind::malformed_input);
    EXPECT_NE(refused.second.find("slice 4"), std::string::npos) << refused.second;
    options.weighted = false; // the se is not used then
    EXPECT_EQ(kind_of(zero_se, c.model, options).second, "fitted");
    // Rising values: the decay's T runs off to infinity, and the fit is refused, not reported.
    Data rising = data;
    for (std::size_t i = 0; i < rising.y.size(); ++i) {
        rising.y[i] = 1.0 + rising.z[i];
    }
    EXPECT_EQ(kind_of(rising, TrendModel::decay, options).first, FailureKind::non_finite_fit);
    EXPECT_EQ(kind_of(data, TrendModel::binding, options).first, FailureKind::malformed_input);
}

TEST(ReportCsv, ReadsColumnsByNameWithQuotesCrlfAndAppendedColumns) {
    const std::string text = "slice,z,status,area_A,area_A_se,later\r\n"
                             "0,0.5,\"settled;bound:MA,MB\",12.5,,x\r\n"
                             "\r\n"
                             "1,1e-3,settled,-3,0.25,\"a \"\"b\"\"\"\r\n";
    const ReportTable table = parse_report_csv(text, "report.csv");
    ASSERT_EQ(table.rows.size(), 2u);
    EXPECT_EQ(table.rows[0][2], "settled;bound:MA,MB");
    EXPECT_EQ(table.rows[1][5], "a \"b\"");
    EXPECT_EQ(table.lines, (std::vector<std::size_t>{2, 4}));
    const std::vector<double> se = report_column(table, "area_A_se", "report.csv");
    EXPECT_TRUE(std::isnan(se[0]));
    EXPECT_EQ(se[1], 0.25);
    EXPECT_EQ(report_column(table, "z", "report.csv"), (std::vector<double>{0.5, 1e-3}));

    const auto message = [](const std::function<void()>& run) {
        try {
            run();
        } catch (const Failure& failure) {
            return std::string(failure.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(
        message([&] { report_column(table, "status", "r.csv"); }),
        "r.csv: line 2: column \"status\" holds \"settled;bound:MA,MB\" where a finite number "
        "or an empty cell was expected");
    EXPECT_NE(message([&] { report_column(table, "height_A", "r.csv"); }).find("no column"),
              std::string::npos);
    EXPECT_EQ(message([] { parse_report_csv("a,b\n1,2,3\n", "r.csv"); }),
              "r.csv: line 2: 3 cells where the header has 2: \"1,2,3\"");
    EXPECT_NE(message([] { parse_report_csv("a,b\n\"1,2\n", "r.csv"); }).find("not closed"),
              std::string::npos);
    EXPECT_NE(message([] { parse_report_csv("a,a\n", "r.csv"); }).find("twice"), std::string::npos);
    EXPECT_NE(message([] { parse_report_csv("", "r.csv"); }).find("empty"), std::string::npos);

    EXPECT_EQ(z_unit("# x of each slice, from vdlist (unit s)\n0.1\n"), "s");
    EXPECT_EQ(z_unit("0.1\n# (unit ms)\n"), "ms");
    EXPECT_EQ(z_unit("# x of each slice, from vclist\n# (unit s)\n"), "");
}

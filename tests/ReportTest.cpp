// report.csv: that its standard errors mean what they say (Monte Carlo over noise seeds, and
// the formula computed a second, plain way), and the programs' --report, --z and --help.
#include "FitSeries.h"
#include "ReferenceStages.h"
#include "SliceFit.h"
#include "Stats.h"
#include "TestFiles.h"
#include "synthetic_series.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

using testfiles::read_file;
using testfiles::result_names;
using testfiles::small_series;
using testfiles::TempDir;
using testfiles::write_file;

namespace {

// ---------------------------------------------------------------------------------------
// Monte Carlo: the spread of fitted values over noise seeds against the reported errors
// ---------------------------------------------------------------------------------------

struct Truth {
    double MA = 0.07, MB = 0.03, LWA = 0.08, LWB = 0.10;
};

// One slice of the synthetic series' line pair and axis, scaled already, with noise of the
// given standard deviation drawn from `seed`.
Table noisy_slice(const Truth& truth, double noise, std::uint64_t seed) {
    SeriesSettings settings;
    std::uint64_t state = seed;
    Table slice;
    for (int i = 0; i < settings.points; ++i) {
        const double x = ppm_of_point(settings, i);
        if (settings.window_low < x && x < settings.window_high) {
            const double y = line_value(truth.MA, truth.LWA, settings.peak_A, x) +
                             line_value(truth.MB, truth.LWB, settings.peak_B, x);
            slice.push_back({x, y + noise * next_gaussian(state)});
        }
    }
    return slice;
}

template <long FreeParams> void expect_errors_match_the_spread() {
    SCOPED_TRACE(std::to_string(FreeParams) + " free parameters");
    const Truth truth;
    const SeriesSettings settings;
    const int seeds = 300;
    std::vector<std::vector<double>> fitted(FreeParams), errors(FreeParams);
    for (int seed = 1; seed <= seeds; ++seed) {
        const TableSeries slices = {noisy_slice(truth, 0.01, 1000 + seed)};
        const WindowedSeries series = reference::windowed_series_of(slices, slices);
        const int slice_index = 0;
        LinePairValues state{settings.peak_A, settings.peak_B, 0.0, 0.0, truth.LWA, truth.LWB};
        const WindowObjective<FreeParams> objective(series, slice_index, state);
        params_type<FreeParams> x;
        if constexpr (FreeParams == 4) {
            x = truth.MA, truth.MB, truth.LWA, truth.LWB;
        } else {
            x = truth.MA, truth.MB;
        }
        unsigned long iterations = 0;
        ASSERT_TRUE(fit_slice<FreeParams>(objective, x, iterations));
        const double p[4] = {x(0), x(1), FreeParams == 4 ? x(2) : truth.LWA,
                             FreeParams == 4 ? x(3) : truth.LWB};
        const SliceReport report =
            report_slice({series.ppm.data(), series.intensity.data(), series.ppm.size()},
                         {settings.peak_A, settings.peak_B, p[0], p[1], p[2], p[3]}, FreeParams);
        const Estimate* const estimates[4] = {&report.MA, &report.MB, &report.LWA, &report.LWB};
        for (long i = 0; i < FreeParams; ++i) {
            ASSERT_TRUE(estimates[i]->se.has_value()) << "seed " << seed << ", parameter " << i;
            fitted[i].push_back(p[i]);
            errors[i].push_back(*estimates[i]->se);
        }
    }
    for (long i = 0; i < FreeParams; ++i) {
        double mean = 0.0;
        for (const double v : fitted[i]) {
            mean += v / seeds;
        }
        double squares = 0.0;
        for (const double v : fitted[i]) {
            squares += (v - mean) * (v - mean);
        }
        const double spread = std::sqrt(squares / (seeds - 1));
        std::nth_element(errors[i].begin(), errors[i].begin() + seeds / 2, errors[i].end());
        const double median_error = errors[i][seeds / 2];
        EXPECT_NEAR(median_error / spread, 1.0, 0.15)
            << "parameter " << i << ": spread " << spread << ", median error " << median_error;
    }
}

TEST(ReportErrors, MatchTheSpreadOverNoiseSeeds) {
    expect_errors_match_the_spread<4>();
    expect_errors_match_the_spread<2>();
}

// ---------------------------------------------------------------------------------------
// The formula computed plainly: difference-quotient Jacobian, Gauss-Jordan inverse
// ---------------------------------------------------------------------------------------

struct SmallCase {
    std::vector<double> ppm = {1.5, 1.3, 1.2, 1.1, 1.0, 0.9, 0.8, 0.6};
    std::vector<double> y = {0.09, 0.3, 0.95, 0.42, 0.33, 0.52, 0.36, 0.11};
    double peak_A = 1.2, peak_B = 0.9;
};

double model(const SmallCase& c, const double (&p)[4], double x) {
    const auto line = [](double m, double w, double pos, double x) {
        return m / w / (1.0 + (x - pos) * (x - pos) / (w * w));
    };
    return line(p[0], p[2], c.peak_A, x) + line(p[1], p[3], c.peak_B, x);
}

// sigma^2 (J^T J)^-1 over the parameters `free`, J by central differences.
std::vector<std::vector<double>> plain_covariance(const SmallCase& c, const double (&p)[4],
                                                  const std::vector<int>& free,
                                                  int counted_params) {
    const std::size_t n = free.size();
    double rss = 0.0;
    for (std::size_t j = 0; j < c.ppm.size(); ++j) {
        rss += std::pow(model(c, p, c.ppm[j]) - c.y[j], 2);
    }
    const double variance = rss / (c.ppm.size() - counted_params);
    std::vector<std::vector<double>> a(n, std::vector<double>(2 * n, 0.0));
    for (std::size_t j = 0; j < c.ppm.size(); ++j) {
        std::vector<double> row(n);
        for (std::size_t k = 0; k < n; ++k) {
            double up[4] = {p[0], p[1], p[2], p[3]}, down[4] = {p[0], p[1], p[2], p[3]};
            const double h = 1e-6 * p[free[k]];
            up[free[k]] += h;
            down[free[k]] -= h;
            row[k] = (model(c, up, c.ppm[j]) - model(c, down, c.ppm[j])) / (2 * h);
        }
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t k = 0; k < n; ++k) {
                a[r][k] += row[r] * row[k];
            }
        }
    }
    for (std::size_t r = 0; r < n; ++r) {
        a[r][n + r] = 1.0;
    }
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < n; ++r) {
            if (std::abs(a[r][col]) > std::abs(a[pivot][col])) {
                pivot = r;
            }
        }
        std::swap(a[col], a[pivot]);
        const double divisor = a[col][col];
        for (double& v : a[col]) {
            v /= divisor;
        }
        for (std::size_t r = 0; r < n; ++r) {
            if (r != col) {
                const double factor = a[r][col];
                for (std::size_t k = 0; k < 2 * n; ++k) {
                    a[r][k] -= factor * a[col][k];
                }
            }
        }
    }
    std::vector<std::vector<double>> covariance(n, std::vector<double>(n));
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t k = 0; k < n; ++k) {
            covariance[r][k] = variance * a[r][n + k];
        }
    }
    return covariance;
}

SliceReport report_of(const SmallCase& c, const double (&p)[4], int free_params) {
    return report_slice({c.ppm.data(), c.y.data(), c.ppm.size()},
                        {c.peak_A, c.peak_B, p[0], p[1], p[2], p[3]}, free_params);
}

void expect_close(const std::optional<double>& got, double expected, const char* what) {
    ASSERT_TRUE(got.has_value()) << what;
    EXPECT_NEAR(*got / expected, 1.0, 1e-6) << what;
}

TEST(ReportErrors, AgreeWithAPlainComputationOfTheFormula) {
    const SmallCase c;
    const double p[4] = {0.09, 0.06, 0.08, 0.11};

    const SliceReport four = report_of(c, p, 4);
    const auto cov = plain_covariance(c, p, {0, 1, 2, 3}, 4);
    const Estimate* const parameters[4] = {&four.MA, &four.MB, &four.LWA, &four.LWB};
    for (int i = 0; i < 4; ++i) {
        expect_close(parameters[i]->se, std::sqrt(cov[i][i]), "parameter");
    }
    // height_A = MA/LWA: gradient (1/LWA, -MA/LWA^2) over (MA, LWA).
    const double g0 = 1.0 / p[2], g2 = -p[0] / (p[2] * p[2]);
    expect_close(four.height_A.se,
                 std::sqrt(g0 * g0 * cov[0][0] + 2 * g0 * g2 * cov[0][2] + g2 * g2 * cov[2][2]),
                 "height_A");
    expect_close(four.area_B.se, M_PI * std::sqrt(cov[1][1]), "area_B");
    const double s = p[0] + p[1], f0 = p[1] / (s * s), f1 = -p[0] / (s * s);
    expect_close(four.fraction_A.se,
                 std::sqrt(f0 * f0 * cov[0][0] + 2 * f0 * f1 * cov[0][1] + f1 * f1 * cov[1][1]),
                 "fraction_A");
    EXPECT_NEAR(*four.sigma, std::sqrt(four.rss / (c.ppm.size() - 4)), 1e-15);

    // Half-widths held fixed: they and nothing else drop out; height_B = MB/LWB exactly.
    const SliceReport two = report_of(c, p, 2);
    const auto cov2 = plain_covariance(c, p, {0, 1}, 2);
    expect_close(two.MB.se, std::sqrt(cov2[1][1]), "MB, fixed half-widths");
    expect_close(two.height_B.se, std::sqrt(cov2[1][1]) / p[3], "height_B, fixed half-widths");
    EXPECT_FALSE(two.LWA.se || two.LWB.se);

    // MA at its lower bound: its column leaves J; what depends on MA has no error.
    const double bound[4] = {1e-4 + 5e-10, 0.06, 0.08, 0.11};
    const SliceReport held = report_of(c, bound, 4);
    const auto cov3 = plain_covariance(c, bound, {1, 2, 3}, 4);
    EXPECT_TRUE(held.at_bound[0] && !held.at_bound[1] && !held.at_bound[2]);
    EXPECT_FALSE(held.MA.se || held.height_A.se || held.area_A.se || held.fraction_A.se);
    expect_close(held.LWA.se, std::sqrt(cov3[1][1]), "LWA beside a bound");
    expect_close(held.height_B.se,
                 std::sqrt(cov3[0][0] / (p[3] * p[3]) - 2 * p[1] / std::pow(p[3], 3) * cov3[0][2] +
                           std::pow(p[1] / (p[3] * p[3]), 2) * cov3[2][2]),
                 "height_B beside a bound");
}

TEST(ReportErrors, UndefinedWhereTheFormulaIs) {
    SmallCase c;
    const double p[4] = {0.09, 0.06, 0.08, 0.11};
    // Four points, four parameters: no degree of freedom left.
    const SliceReport few = report_slice({c.ppm.data(), c.y.data(), 4},
                                         {c.peak_A, c.peak_B, p[0], p[1], p[2], p[3]}, 4);
    EXPECT_FALSE(few.sigma || few.MA.se || few.LWB.se || few.height_A.se || few.fraction_A.se);
    EXPECT_TRUE(std::isfinite(few.rss) && few.rss > 0.0);
    // Two identical lines at one place: MA and MB cannot be told apart.
    c.peak_B = c.peak_A;
    const double same[4] = {0.09, 0.06, 0.08, 0.08};
    const SliceReport twins = report_of(c, same, 4);
    EXPECT_TRUE(twins.sigma.has_value());
    EXPECT_FALSE(twins.MA.se || twins.MB.se || twins.LWA.se || twins.area_A.se);
}

// ---------------------------------------------------------------------------------------
// The programs with --report, --z and --help
// ---------------------------------------------------------------------------------------

testfiles::RunResult run_with(const TempDir& dir, const std::string& program,
                              const std::string& arguments) {
    TempDir capture;
    const std::string command = "cd '" + dir.path().string() + "' && '" + program + "' " +
                                arguments + " > '" + capture.file("out") + "' 2> '" +
                                capture.file("err") + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(capture.file("out")),
            read_file(capture.file("err"))};
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells(1);
        bool quoted = false;
        for (const char c : line) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                cells.emplace_back();
            } else {
                cells.back() += c;
            }
        }
        rows.push_back(cells);
    }
    return rows;
}

double number(const std::string& cell) {
    double value = NAN;
    const auto [end, error] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
    EXPECT_TRUE(error == std::errc() && end == cell.data() + cell.size()) << "'" << cell << "'";
    return value;
}

std::string three_decimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// With --report the five files and standard error are those of the plain run, standard
// output gains one line, and report.csv agrees with results.txt to its three decimals.
TEST(ReportProgram, AddsReportCsvAndChangesNothingElse) {
    for (const char* program : {PAIRFIT4, PAIRFIT2, PAIRFIT2X}) {
        SCOPED_TRACE(program);
        TempDir plain, reported;
        SeriesSettings settings;
        settings.slices = 3;
        settings.points = 64;
        settings.noise = 0.01;
        for (const TempDir* dir : {&plain, &reported}) {
            ASSERT_TRUE(write_series(settings, dir->path().string()));
        }
        write_file(reported.file("z.txt"), "# delay (s)\n0.5\n1e-3 # short\n\n+2\n");
        const auto before = run_with(plain, program, "");
        const auto after = run_with(reported, program, "--z z.txt");
        ASSERT_EQ(before.status, 0);
        ASSERT_EQ(after.status, 0) << after.err;
        EXPECT_EQ(after.err, before.err);
        const std::string announcement = "# Writing fit report \"report.csv\" file. \n";
        const std::size_t at = after.out.find(announcement);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(after.out.substr(0, at) + after.out.substr(at + announcement.size()), before.out);
        for (const char* name : result_names) {
            EXPECT_TRUE(read_file(plain.file(name)) == read_file(reported.file(name))) << name;
        }

        const auto rows = csv_rows(read_file(reported.file("report.csv")));
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[0].size(), 28u);
        std::istringstream results(read_file(reported.file("results.txt")));
        std::string line;
        std::getline(results, line);
        const double z[3] = {0.5, 1e-3, 2};
        for (std::size_t s = 1; s < rows.size(); ++s) {
            const auto& cell = rows[s];
            ASSERT_EQ(cell.size(), 28u);
            std::getline(results, line);
            std::istringstream printed(line);
            std::string index, height_A, height_B, hwhh_A, hwhh_B, integ_A, integ_B, rss;
            printed >> index >> height_A >> height_B >> hwhh_A >> hwhh_B >> integ_A >> integ_B >>
                rss;
            EXPECT_EQ(cell[0], std::to_string(s - 1));
            EXPECT_EQ(number(cell[1]), z[s - 1]);
            int points = 0;
            for (int i = 0; i < settings.points; ++i) {
                const double x = ppm_of_point(settings, i);
                points += settings.window_low < x && x < settings.window_high;
            }
            EXPECT_EQ(cell[2], std::to_string(points));
            EXPECT_EQ(three_decimals(number(cell[5])), height_A);
            EXPECT_EQ(three_decimals(number(cell[7])), height_B);
            EXPECT_EQ(three_decimals(number(cell[9])), hwhh_A);
            EXPECT_EQ(three_decimals(number(cell[11])), hwhh_B);
            EXPECT_EQ(three_decimals(number(cell[23])), rss);
            ReadReport ignored;
            EXPECT_EQ(number(cell[25]), reference::global_scale_factor(
                                            read_series(reported.file("2d.txt").c_str(), ignored),
                                            settings.window_low, settings.window_high));
            const bool fixed = std::string(program) != PAIRFIT4;
            EXPECT_EQ(cell[10].empty(), fixed);
            EXPECT_EQ(cell[12].empty(), fixed);
            EXPECT_EQ(cell[3].rfind("settled", 0), 0u) << cell[3];
        }
        const std::string report = read_file(reported.file("report.csv"));
        EXPECT_EQ(report.find("nan"), std::string::npos);
        EXPECT_EQ(report.find("inf"), std::string::npos);
    }
}

TEST(ReportProgram, RefusesBadArgumentsAndZFilesBeforeFitting) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "0.5 0.0\n-1 1\n");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Refusal {
        const char* z_text;
        const char* arguments;
        int status;
        const char* message;
        bool usage;
    };
    const Refusal refusals[] = {
        {"1\n2 3\n4\n", "--z z.txt", 2, "z.txt: line 2: expected one number", false},
        {"1\n# two only\n2\n", "--z=z.txt", 2, "z.txt: line 3 (end of file): 2 values", false},
        {"1\n2\n3\n4\n", "--z z.txt", 2, "z.txt: line 4: value 4 is one too many", false},
        {"1\nnan\n3\n", "--report --z z.txt", 2, "z.txt: line 2: expected one number", false},
        {nullptr, "--z missing.txt", 1, "missing.txt: cannot be opened: No such file or directory",
         false},
        {nullptr, "--z", 1, "--z needs a FILE", true},
        // Neither endless nor waited on: refused before anything is read.
        {nullptr, "--z /dev/zero", 2, "/dev/zero: is not a regular file", false},
        {nullptr, "--z .", 2, ".: is a directory", false},
        {nullptr, "--z fifo", 2, "fifo: is not a regular file", false},
        {nullptr, "--reprot", 1, "unknown option '--reprot'", true},
        {nullptr, "extra", 1, "unexpected argument 'extra'", true},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.arguments);
        if (refusal.z_text != nullptr) {
            write_file(dir.file("z.txt"), refusal.z_text);
        }
        const auto run = run_with(dir, PAIRFIT4, refusal.arguments);
        EXPECT_EQ(run.status, refusal.status);
        EXPECT_NE(run.err.find(refusal.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("# index"), std::string::npos) << "a fit began";
        EXPECT_EQ(run.err.find("usage: pairfit4 [--report] [--z FILE]") != std::string::npos,
                  refusal.usage);
        for (const char* name : {"report.csv", "results.txt", "dat.txt"}) {
            EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
        }
    }
    const auto help = run_with(dir, PAIRFIT2, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("usage: pairfit2 [--report] [--z FILE] [--signed] [--noise A B]\n", 0),
              0u);
    for (const char* column : {"fraction_A", "scale_factor", "sigma^2 (J^T J)^-1", "empty cell"}) {
        EXPECT_NE(help.out.find(column), std::string::npos) << column;
    }
}

TEST(ReportProgram, UnwritableReportIsNamedWithStatusFour) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "0.5 0.0\n-1 1\n");
    std::filesystem::create_directory(dir.file("report.csv"));
    const auto run = run_with(dir, PAIRFIT4, "--report");
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(run.err.find("report.csv: could not be written"), std::string::npos) << run.err;
    EXPECT_TRUE(std::filesystem::exists(dir.file("results.txt")));
}

// Every cell reads back to the double it was made from, and a status names its bounds.
TEST(ReportFormat, RoundTripsAndMarksLimitsAndBounds) {
    SliceReport stats;
    stats.points = 7;
    stats.MA = {1e-4, std::nullopt};
    stats.MB = {0.1 + 0.2, 1.0 / 3.0};
    stats.LWA = {10.0, std::nullopt};
    stats.LWB = {5e-324, NAN};
    stats.height_A = {INFINITY, 2.0};
    stats.rss = 123456.789e-20;
    stats.at_bound[0] = stats.at_bound[2] = true;
    SliceFit row;
    row.end = SliceEnd::iteration_limit;
    row.iterations = 10000;
    row.at_bound[0] = row.at_bound[2] = true;
    row.report = stats;
    SeriesFit fit;
    fit.settings.with_report = true;
    fit.scale_factor = 1149467.72978;
    fit.slices = {row};
    const auto rows = csv_rows(format_report(fit, {}));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(csv_rows(report_header())[0], rows[0]);
    const auto& cell = rows[1];
    EXPECT_EQ(cell[1], "");
    EXPECT_EQ(cell[3], "iteration_limit;bound:MA,LWA");
    EXPECT_EQ(cell[4], "10000");
    EXPECT_EQ(number(cell[5]), 1e-4);
    EXPECT_EQ(cell[6], "");
    EXPECT_EQ(number(cell[7]), 0.1 + 0.2);
    EXPECT_EQ(number(cell[8]), 1.0 / 3.0);
    EXPECT_EQ(number(cell[11]), 5e-324);
    EXPECT_EQ(cell[12], "");                     // NaN
    EXPECT_EQ(cell[13], "");                     // infinity
    EXPECT_EQ(number(cell[23]), 123456.789e-20); // rss
    EXPECT_EQ(cell[24], "");                     // sigma not defined
    EXPECT_EQ(number(cell[25]), 1149467.72978);
}

} // namespace

// Edges of the fit: parameters that want to leave the box, slices without signal or with one
// point, coinciding peaks, a window holding one of the two lines, and a fit that creeps.
// Each is run through a program, and where the exact value matters, fitted in-process too.
#include "FitSeries.h"
#include "ReadSeries.h"
#include "SliceFit.h"

#include "TestFiles.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using testfiles::read_file;
using testfiles::run_in;
using testfiles::TempDir;
using testfiles::write_file;

namespace {

double lorentzian_line(double amplitude, double half_width, double position, double x) {
    const double d = (x - position) / half_width;
    return amplitude / half_width / (1 + d * d);
}

// 20 points from -0.95 to 0.95 ppm in steps of 0.1, all inside the window (-1, 1).
std::vector<double> axis() {
    std::vector<double> ppm;
    for (int i = 0; i < 20; ++i) {
        ppm.push_back(-0.95 + 0.1 * i);
    }
    return ppm;
}

template <typename Intensity> std::string block(Intensity intensity) {
    std::ostringstream text;
    text.precision(17);
    for (const double x : axis()) {
        text << x << ' ' << intensity(x) << '\n';
    }
    text << "&\n";
    return text.str();
}

// The fields of every data line of results.txt: index, MA, MB, LWA, LWB, integ_A, integ_B,
// residual_square_tot, as printed.
std::vector<std::vector<std::string>> results_rows(const TempDir& dir) {
    std::istringstream lines(read_file(dir.file("results.txt")));
    std::string line;
    std::getline(lines, line); // the header
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> row;
        std::string field;
        while (fields >> field) {
            row.push_back(field);
        }
        rows.push_back(row);
    }
    return rows;
}

struct Fitted {
    testfiles::RunResult run;
    std::vector<std::vector<std::string>> rows;
};

Fitted run_case(const char* program, const std::string& peaks, const std::string& series) {
    TempDir dir;
    write_file(dir.file("peaks.txt"), peaks);
    write_file(dir.file("2d.txt"), series);
    Fitted fitted{run_in(dir.path(), program), {}};
    fitted.rows = results_rows(dir);
    return fitted;
}

// The series as the programs read, scale and fit it, in-process at full precision.
SeriesFit fit_in_process(const std::string& series, double peak_A, double peak_B,
                         std::optional<std::array<double, 2>> fixed_widths) {
    TempDir dir;
    write_file(dir.file("2d.txt"), series);
    ReadReport report;
    FitSettings settings;
    settings.peak_A = peak_A;
    settings.peak_B = peak_B;
    settings.fixed_widths = fixed_widths;
    return fit_series(read_windowed_series(dir.file("2d.txt").c_str(), -1.0, 1.0, 1, report),
                      settings);
}

// A slice of {ppm, intensity} points as a series of its own.
WindowedSeries one_slice(const std::vector<std::pair<double, double>>& points) {
    WindowedSeries series;
    for (const auto& [ppm, intensity] : points) {
        series.ppm.push_back(ppm);
        series.intensity.push_back(intensity);
    }
    series.slice_start.push_back(points.size());
    return series;
}

} // namespace

TEST(FitEdges, ParametersThatWantToLeaveTheBoxStopAtItsLimits) {
    // Flat data of height 1 under two lines of fixed half-width 20: the lines are flat too,
    // and reaching the data would take MA + MB = 20, beyond the upper limit 10 for each.
    const std::string flat = block([](double) { return 1.0; });
    const Fitted up = run_case(PAIRFIT2, "0 0.5\n-1 1\n20 20\n", flat);
    EXPECT_EQ(up.run.status, 0);
    EXPECT_NE(up.run.out.find("\n 0  10.000 10.000 20.000 20.000\n"), std::string::npos);
    ASSERT_EQ(up.rows.size(), 1u);
    EXPECT_EQ(up.rows[0][1], "10.000");
    EXPECT_EQ(up.rows[0][2], "10.000");
    const SeriesFit up_fit = fit_in_process(flat, 0.0, 0.5, std::array<double, 2>{20.0, 20.0});
    EXPECT_EQ(up_fit.slices[0].MA, 10.0);
    EXPECT_EQ(up_fit.slices[0].MB, 10.0);
    EXPECT_TRUE(up_fit.slices[0].at_bound[0] && up_fit.slices[0].at_bound[1]);

    // Line B plus a negative line A: the best MA is negative, so it stops at 1e-4.
    const std::string dip = block([](double x) {
        return lorentzian_line(0.05, 0.05, 0.5, x) - 0.5 * lorentzian_line(0.05, 0.05, 0.0, x);
    });
    const Fitted low = run_case(PAIRFIT2, "0 0.5\n-1 1\n0.05 0.05\n", dip);
    EXPECT_EQ(low.run.status, 0);
    ASSERT_EQ(low.rows.size(), 1u);
    EXPECT_EQ(low.rows[0][1], "0.000");
    EXPECT_NE(low.rows[0][2], "0.000");
    EXPECT_EQ(fit_in_process(dip, 0.0, 0.5, std::array<double, 2>{0.05, 0.05}).slices[0].MA, 1e-4);
}

TEST(FitEdges, AllZeroSliceAndAllZeroSeries) {
    // Zero data: every residual is the model itself, which grows with either amplitude, so
    // both stop at the lower limit and the residual sum is next to nothing.
    const std::string lines = block([](double x) {
        return lorentzian_line(0.1, 0.1, 0.0, x) + lorentzian_line(0.05, 0.1, 0.5, x);
    });
    const std::string zero = block([](double) { return 0.0; });
    const Fitted fitted = run_case(PAIRFIT4, "0 0.5\n-1 1\n", lines + zero);
    EXPECT_EQ(fitted.run.status, 0);
    EXPECT_EQ(fitted.run.err,
              "warning: 1 of 2 slices ended with a fitted value at a bound (1e-4 or 10), slice 1, "
              "parameters MA, MB, LWA, LWB; usual causes: an inverted or missing line, a peak "
              "outside the window, or an intensity spike that set the scale factor\n");
    ASSERT_EQ(fitted.rows.size(), 2u);
    EXPECT_EQ(fitted.rows[1][1], "0.000");
    EXPECT_EQ(fitted.rows[1][2], "0.000");
    EXPECT_EQ(fitted.rows[1][7], "0.000");
    const SeriesFit in_process = fit_in_process(lines + zero, 0.0, 0.5, std::nullopt);
    EXPECT_EQ(in_process.slices[1].MA, 1e-4);
    EXPECT_EQ(in_process.slices[1].MB, 1e-4);
    EXPECT_EQ(bound_warning(in_process) + "\n", fitted.run.err);

    // With nothing but zeros there is nothing to scale by: 0/0 reaches the fit.
    TempDir dir;
    write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
    write_file(dir.file("2d.txt"), zero + zero);
    const auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.err, "The objective function generated non-finite outputs\n"
                       "slice 0: check the intensities of 2d.txt inside the window (a window "
                       "without any positive intensity cannot be scaled)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("results.txt")));
}

TEST(FitEdges, SlicesOfOnePointAreMetExactly) {
    // Four free parameters and one point: the fit passes through it.
    const Fitted fitted = run_case(PAIRFIT4, "0 0.5\n-1 1\n", "0.25 4\n&\n0.25 2\n&\n0.25 1\n&\n");
    EXPECT_EQ(fitted.run.status, 0);
    ASSERT_EQ(fitted.rows.size(), 3u);
    const double scaled[] = {1.0, 0.5, 0.25}; // divided by the largest, 4
    for (std::size_t s = 0; s < 3; ++s) {
        const auto& row = fitted.rows[s];
        ASSERT_EQ(row.size(), 8u);
        EXPECT_EQ(row[7], "0.000");
        // integ_A + integ_B is the model at the one point, which meets the scaled intensity.
        EXPECT_NEAR(std::stod(row[5]) + std::stod(row[6]), scaled[s], 0.002);
    }
}

TEST(FitEdges, IdenticalPeakPositions) {
    // Two lines at one position with equal fixed half-widths are interchangeable: the fit,
    // started from equal amplitudes, keeps them equal, and together they make the line.
    const std::string line = block([](double x) { return lorentzian_line(0.1, 0.1, 0.25, x); });
    const Fitted two = run_case(PAIRFIT2, "0.25 0.25\n-1 1\n0.1 0.1\n", line);
    EXPECT_EQ(two.run.status, 0);
    ASSERT_EQ(two.rows.size(), 1u);
    EXPECT_EQ(two.rows[0][1], two.rows[0][2]);
    const SliceFit in_process =
        fit_in_process(line, 0.25, 0.25, std::array<double, 2>{0.1, 0.1}).slices[0];
    EXPECT_EQ(in_process.MA, in_process.MB);
    // The data's largest point is the line's top (0.25 is on the axis), so it is scaled to
    // height 1: MA + MB = 1 * 0.1.
    EXPECT_NEAR(in_process.MA + in_process.MB, 0.1, 1e-6);

    // With free half-widths the split is arbitrary, but the sum still meets the data.
    const Fitted four = run_case(PAIRFIT4, "0.25 0.25\n-1 1\n", line);
    EXPECT_EQ(four.run.status, 0);
    ASSERT_EQ(four.rows.size(), 1u);
    EXPECT_EQ(four.rows[0][7], "0.000");
}

TEST(FitEdges, WindowHoldingOnlyOneOfThePeaks) {
    // Line B sits at 3 ppm, outside the window, and the data hold line A only: A is found,
    // and B, which could only add to the data, stops at the lower limit.
    const std::string line = block([](double x) { return lorentzian_line(0.1, 0.1, 0.0, x); });
    const Fitted fitted = run_case(PAIRFIT4, "0 3\n-1 1\n", line);
    EXPECT_EQ(fitted.run.status, 0);
    ASSERT_EQ(fitted.rows.size(), 1u);
    // The axis misses 0.0: the largest point, at +-0.05, is 1/(1 + 0.5^2) = 0.8 of the top,
    // and scaling by it makes MA = 0.1 / 0.8.
    EXPECT_EQ(fitted.rows[0][1], "0.125");
    EXPECT_EQ(fitted.rows[0][2], "0.000");
    EXPECT_EQ(fitted.rows[0][3], "0.100");
    EXPECT_EQ(fitted.rows[0][7], "0.000");
}

TEST(FitEdges, CreepingFitIsStoppedWithAWarning) {
    // One point far from both lines, below zero: the objective is about 25, above the size
    // where its rounding step exceeds the 1e-15 stop threshold, and the best point lies at the
    // far end of an almost flat valley. The minimiser creeps along it one rounding step at a
    // time: from this start about three million iterations.
    const WindowedSeries slice = one_slice({{100.0, -5.0}});
    const int slice_index = 0;
    LinePairValues state{0.0, 0.5, 0.0, 0.0, 0.0, 0.0};
    const WindowObjective<4> objective(slice, slice_index, state);
    params_type<4> x = {1.0, 0.2, 1.0, 3.0};
    const double start_value = objective(x);
    unsigned long iterations = 0;
    EXPECT_FALSE(fit_slice<4>(objective, x, iterations));
    EXPECT_EQ(iterations, max_fit_iterations);
    for (long i = 0; i < 4; ++i) {
        EXPECT_GE(x(i), 1e-4);
        EXPECT_LE(x(i), 10.0);
    }
    EXPECT_LT(objective(x), start_value);

    params_type<4> settled = {0.2, 0.2, 1.0, 3.0};
    const WindowedSeries two_lines = one_slice({{-0.5, 0.1}, {0.0, 1.0}, {0.25, 0.4}, {0.5, 0.9}});
    const WindowObjective<4> ordinary(two_lines, slice_index, state);
    EXPECT_TRUE(fit_slice<4>(ordinary, settled, iterations));
    EXPECT_LT(iterations, max_fit_iterations);

    // The programs name the slice and carry on.
    TempDir dir;
    write_file(dir.file("peaks.txt"), "0 0.5\n-1000 1000\n");
    write_file(dir.file("2d.txt"), "100 -5\n&\n100 1\n&\n");
    const auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err.rfind("slice 0: warning: the fit stopped after 10000 iterations before its "
                            "objective settled; its values may be off\nwarning: 2 of 2 slices "
                            "ended with a fitted value at a bound",
                            0),
              0u)
        << run.err;
    EXPECT_EQ(results_rows(dir).size(), 2u);
}

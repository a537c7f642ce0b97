#include "Failure.h"
#include "FitSeries.h"
#include "Program.h"
#include "ReadCheckParts.h"
#include "ReadSeries.h"
#include "ReferenceStages.h"

#include "TestFiles.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using reference::cut_slices;
using reference::global_scale_factor;
using testfiles::read_file;
using testfiles::TempDir;

namespace {

// The text of `raw` as a 2d.txt: one line per row, "&" after each block.
std::string series_text(const TableSeries& raw) {
    std::ostringstream text;
    text.precision(17);
    for (const Table& block : raw) {
        for (const Row& row : block) {
            for (const double value : row) {
                text << value << ' ';
            }
            text << '\n';
        }
        text << "&\n";
    }
    return text.str();
}

WindowedSeries read_in(const TempDir& dir, const TableSeries& raw, double lower, double upper) {
    testfiles::write_file(dir.file("2d.txt"), series_text(raw));
    ReadReport report;
    return read_windowed_series(dir.file("2d.txt").c_str(), lower, upper, 1, report);
}

// Two lines at 0 and 0.5 ppm, their half-widths fitted.
FitSettings lines_at_zero_and_half() {
    FitSettings settings;
    settings.peak_A = 0.0;
    settings.peak_B = 0.5;
    return settings;
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(GlobalScaleFactor, LargestIntensityStrictlyInsideTheWindow) {
    const TableSeries raw = {
        {{-1.0, 50.0}, {0.0, 2.0}, {1.0, 70.0}}, // the limits themselves are outside
        {{0.5, 4.0, 999.0}, {2.0, 80.0}},
        {{}, {0.2, 3.0}}, // a blank line carries no point
    };
    EXPECT_EQ(global_scale_factor(raw, -1.0, 1.0), 4.0);
    EXPECT_EQ(global_scale_factor(raw, 1.0, 1.0), 0.0);
    EXPECT_EQ(global_scale_factor({}, -1.0, 1.0), 0.0);
}

TEST(GlobalScaleFactor, SignedIntensitiesAndNaN) {
    EXPECT_EQ(global_scale_factor({{{0.0, -5.0}, {0.1, -1.0}}}, -1.0, 1.0), 0.0);
    EXPECT_EQ(global_scale_factor({{{0.0, NAN}, {NAN, 9.0}, {0.1, 2.0}}}, -1.0, 1.0), 2.0);
}

TEST(CutSlices, ScaledPointsInsideTheWindowInFileOrder) {
    const TableSeries raw = {
        {{2.0, 8.0}, {0.5, 4.0, 77.0}, {-0.5, 2.0}, {-1.0, 6.0}},
        {{5.0, 1.0}}, // no point inside: keeps its place
        {{}, {0.25, -2.0}},
    };
    const TableSeries slices = cut_slices(raw, -1.0, 1.0, 4.0);
    ASSERT_EQ(slices.size(), 3u);
    EXPECT_EQ(slices[0], Table({{0.5, 1.0}, {-0.5, 0.5}}));
    EXPECT_TRUE(slices[1].empty());
    EXPECT_EQ(slices[2], Table({{0.25, -0.5}}));
}

TEST(CutSlices, ZeroScaleFactorGivesInfinitiesOfTheirSign) {
    const TableSeries slices = cut_slices({{{0.0, -3.0}, {0.1, 0.0}}}, -1.0, 1.0, 0.0);
    EXPECT_EQ(slices[0][0][1], -INFINITY);
    EXPECT_TRUE(std::isnan(slices[0][1][1]));
}

// The programs' scaling (read_windowed_series, then fit_series) gives the factor and the
// scaled points of the table path, bit for bit.
TEST(FitSeriesScaling, SameFactorAndPointsAsTheTablePath) {
    const TableSeries raw = {
        {{-1.0, 50.0}, {0.0, 2.0}, {0.5, 70.0}, {0.9, 0.3}},
        {{2.0, 80.0}, {0.0, 4.0, 999.0}, {0.5, -1.0}, {0.9, 0.25}},
        {{}, {0.0, 3.0}, {0.5, 1.0 / 3.0}, {0.9, 0.1}},
    };
    TempDir dir;
    for (const auto& [lower, upper] : {std::pair{-1.0, 1.0}, std::pair{0.2, 1.0}}) {
        const SeriesFit fit = fit_series(read_in(dir, raw, lower, upper), lines_at_zero_and_half());
        const double expected = global_scale_factor(raw, lower, upper);
        EXPECT_TRUE(same_bits(fit.scale_factor, expected)) << fit.scale_factor;
        const TableSeries slices = cut_slices(raw, lower, upper, expected);
        ASSERT_EQ(fit.scaled.slice_count(), slices.size());
        for (std::size_t s = 0; s < slices.size(); ++s) {
            ASSERT_EQ(fit.scaled.points_in(s), slices[s].size());
            for (std::size_t k = 0; k < slices[s].size(); ++k) {
                const std::size_t i = fit.scaled.slice_start[s] + k;
                EXPECT_TRUE(same_bits(fit.scaled.ppm[i], slices[s][k][0]));
                EXPECT_TRUE(same_bits(fit.scaled.intensity[i], slices[s][k][1]));
            }
        }
    }
    // A window without points leaves nothing to scale by and nothing to fit.
    const SeriesFit empty_window = fit_series(read_in(dir, raw, 1.0, 1.0), FitSettings{});
    EXPECT_EQ(empty_window.scale_factor, 0.0);
    const SeriesFit no_slices = fit_series(WindowedSeries{}, FitSettings{});
    EXPECT_EQ(no_slices.scale_factor, 0.0);
}

// No positive intensity: the points become infinities of their sign. A library caller gets the
// record of every slice, the non-finite one with the refusal's message and its start values, and
// the next slice fitted from that start; refuse_non_finite turns the record into the programs'
// refusal.
TEST(FitSeriesScaling, NoPositiveIntensityIsANonFiniteFit) {
    TempDir dir;
    const SeriesFit fit = fit_series(
        read_in(dir, {{{0.0, -5.0}, {0.1, -1.0}}, {{0.0, -4.0}, {0.1, -2.0}}}, -1.0, 1.0),
        lines_at_zero_and_half());
    ASSERT_EQ(fit.slices.size(), 2u);
    for (std::size_t s = 0; s < 2; ++s) {
        const SliceFit& slice = fit.slices[s];
        EXPECT_EQ(slice.end, SliceEnd::non_finite);
        EXPECT_EQ(
            slice.end_message,
            non_finite_fit_message("The objective function generated non-finite outputs", s, true));
        EXPECT_EQ(slice_status(slice).rfind("non_finite", 0), 0u);
        const double start[4] = {0.2, 0.2, 1.0, 3.0};
        const double values[4] = {slice.MA, slice.MB, slice.LWA, slice.LWB};
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(values[i], start[i]) << "slice " << s << ", parameter " << i;
        }
    }
    try {
        refuse_non_finite(fit);
        FAIL() << "accepted";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.kind, FailureKind::non_finite_fit);
        EXPECT_EQ(std::string(failure.what()), fit.slices[0].end_message);
    }
}

TEST(CheckPeaks, NamesTheRowAndWhatItMustHold) {
    EXPECT_EQ(check_peaks({{0.013, 0.234}, {-5.2, 5.2}}, 2), "");
    EXPECT_EQ(check_peaks({{0.013, 0.234, 9.0}, {-5.2, 5.2}, {}}, 2), "");
    EXPECT_EQ(check_peaks({}, 2),
              "peaks.txt: data row 1 is missing; it must hold the positions peak_A and peak_B "
              "(ppm)");
    EXPECT_EQ(check_peaks({{0.013, 0.234}, {-5.2}}, 2),
              "peaks.txt: data row 2 must hold the two limits of the window to cut (ppm), "
              "found 1 value");
    EXPECT_EQ(check_peaks({{0.013, 0.234}, {-5.2, 5.2}}, 3),
              "peaks.txt: data row 3 is missing; it must hold the fixed half-widths LWA and LWB "
              "(ppm)");
    EXPECT_EQ(check_peaks({{}, {-5.2, 5.2}}, 3),
              "peaks.txt: data row 1 must hold the positions peak_A and peak_B (ppm), found 0 "
              "values");
}

TEST(CheckFitSeries, RowsWithOneValueAreMalformed) {
    TempDir dir;
    PeakSettings peaks;
    peaks.peak_A = 0.5;
    peaks.window_upper = 10.0;
    std::vector<std::string> warnings;
    ReadReport report;
    testfiles::write_file(dir.file("2d.txt"), "1 2\n\n3 4 5\n&\n1 2\n\n3 4\n&\n");
    WindowedSeries series = read_windowed_series(dir.file("2d.txt").c_str(), 0.0, 10.0, 1, report);
    EXPECT_EQ(report.single_value_block, 0u);
    EXPECT_NO_THROW(check_fit_series(series, report, peaks, warnings));

    testfiles::write_file(dir.file("2d.txt"), "1 2\n&\n1 2\n\n7.1\n&\n");
    series = read_windowed_series(dir.file("2d.txt").c_str(), 0.0, 10.0, 1, report);
    try {
        check_fit_series(series, report, peaks, warnings);
        FAIL() << "accepted";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.kind, FailureKind::malformed_input);
        EXPECT_STREQ(failure.what(), "2d.txt: block 2, row 2 must hold a chemical shift (ppm) "
                                     "and an intensity, found 1 value in \"7.1\"");
    }
    EXPECT_TRUE(warnings.empty());
    // The table path finds the same row (its rows count blank lines too).
    EXPECT_EQ(reference::check_series({{{1, 2}}, {{1, 2}, {}, {7.1}}}),
              "2d.txt: block 2, row 3 must hold a chemical shift (ppm) and an intensity, found 1 "
              "value");
}

TEST(CheckWindowPoints, EverySliceHoldsThePointsOfTheFirst) {
    const auto check = [](const TableSeries& slices) {
        return check_window_points(reference::windowed_series_of(slices, slices), -5.0, 5.0);
    };
    EXPECT_EQ(check({}).substr(0, 29), "2d.txt: no block of data line");
    EXPECT_EQ(check({{{0, 1}}, {{0, 1}, {1, 2}}, {}}),
              "2d.txt: slice 1 holds 2 points inside the window, more than the 1 of slice 0; "
              "every slice must share the ppm axis of the first");
    EXPECT_EQ(check({{{0, 1}, {1, 1}}, {{0, 1}, {1, 2}}, {{0, 1}}}),
              "2d.txt: slice 2 holds 1 points inside the window, fewer than the 2 of slice 0; "
              "every slice must share the ppm axis of the first");
    EXPECT_EQ(check({{}, {}}).substr(0, 45), "2d.txt: slice 0 holds no point inside the win");
    EXPECT_EQ(check({{{0, 1}, {1, 1}}, {{0, 1}, {1, 2}}}), "");
}

// A later slice may stand off slice 0's axis by up to 1 % of the local point spacing.
TEST(CheckWindowPoints, AxisToleranceIsOnePercentOfTheLocalSpacing) {
    const double axis[] = {0.0, 0.1, 0.2, 0.4};
    // The spacing around each point: its neighbour's distance at the ends, else half the
    // distance between its neighbours.
    const double spacing[] = {0.1, 0.1, 0.15, 0.2};
    for (std::size_t k = 0; k < 4; ++k) {
        for (const double share : {0.008, -0.008, 0.012, -0.012}) {
            SCOPED_TRACE("point " + std::to_string(k) + ", off by " + std::to_string(share));
            Table first, later;
            for (std::size_t i = 0; i < 4; ++i) {
                first.push_back({axis[i], 1.0});
                later.push_back({i == k ? axis[i] + share * spacing[i] : axis[i], 1.0});
            }
            const TableSeries slices = {first, later};
            const std::string problem =
                check_window_points(reference::windowed_series_of(slices, slices), -1.0, 1.0);
            if (std::fabs(share) < 0.01) {
                EXPECT_EQ(problem, "");
            } else {
                EXPECT_EQ(problem.substr(0, 38),
                          "2d.txt: slice 1 has its point " + std::to_string(k + 1) + " inside");
            }
        }
    }
}

TEST(ConsoleLine, IndexFieldAndThreeDecimals) {
    std::ostringstream out;
    print_slice_line(out, 0, 0.2, 0.2, 1.0, 3.0);
    print_slice_line(out, 7, 1e-4, 10.0, 0.0126, 2.0);
    print_slice_line(out, 42, 0.1, 0.1, 0.1, 0.1);
    print_slice_line(out, 123, 9.9996, 0.1, 0.1, 0.1);
    EXPECT_EQ(out.str(), " 0  0.200 0.200 1.000 3.000\n"
                         " 7  0.000 10.000 0.013 2.000\n"
                         "42  0.100 0.100 0.100 0.100\n"
                         "123  10.000 0.100 0.100 0.100\n");
}

TEST(ResultsLine, FieldsOfSixWithThreeDecimals) {
    std::ostringstream out;
    write_DATA_row(out, 3, {0.2, 0.2, 1.0, 3.0, 12.3456, 7.5, 0.0001234});
    EXPECT_EQ(out.str(), " 3  0.200  0.200  1.000  3.000 12.346  7.500  0.000 \n");
    EXPECT_EQ(out.str().size(), 53u);
    out.str("");
    write_DATA_row(out, 100, {123.456, -12.5, -1.25, 0, 0, 0, 1e6});
    EXPECT_EQ(out.str(), "100 123.456 -12.500 -1.250  0.000  0.000  0.000 1000000.000 \n");
}

namespace {

// Runs write_results with `dir` as the working directory; the names of the files it could
// not write.
std::vector<std::string> write_in(const TempDir& dir, const SeriesFit& fit, unsigned threads) {
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto failed = write_results(fit, threads);
    std::filesystem::current_path(here);
    std::vector<std::string> names;
    for (const WriteFailure& failure : failed) {
        names.push_back(failure.name);
    }
    return names;
}

const char* const results_header =
    "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot \n";

// A fitted series of the given slices, {ppm, intensity} points, and fitted values.
SeriesFit fitted_series(const TableSeries& slices, const std::vector<SliceFit>& fitted) {
    SeriesFit fit;
    fit.settings.peak_A = 8.0;
    fit.settings.peak_B = -12.0;
    fit.scaled = reference::windowed_series_of(slices, slices);
    fit.slices = fitted;
    return fit;
}

// The curves of `fit` as tables, through the reference writer in `dir`.
std::vector<std::string> write_reference_in(const TempDir& dir, const SeriesFit& fit,
                                            const TableSeries& slices) {
    TableSeries sim_a(slices.size()), sim_b(slices.size()), res(slices.size());
    Table results;
    for (std::size_t s = 0; s < slices.size(); ++s) {
        const SliceFit& f = fit.slices[s];
        for (const Row& point : slices[s]) {
            const LinePoint line = lines_at(f, fit.settings, point[0]);
            sim_a[s].push_back({point[0], line.a});
            sim_b[s].push_back({point[0], line.b});
            res[s].push_back({point[0], (point[1] - line.a) - line.b});
        }
        results.push_back({f.MA, f.MB, f.LWA, f.LWB, f.integ_A, f.integ_B, f.residual_square_tot});
    }
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    auto failed = reference::write_result_files(slices, sim_a, sim_b, res, results);
    std::filesystem::current_path(here);
    return failed;
}

SliceFit slice_fit(double MA, double MB, double LWA, double LWB, double integ_A, double integ_B,
                   double rss) {
    SliceFit fit;
    fit.MA = MA;
    fit.MB = MB;
    fit.LWA = LWA;
    fit.LWB = LWB;
    fit.integ_A = integ_A;
    fit.integ_B = integ_B;
    fit.residual_square_tot = rss;
    return fit;
}

} // namespace

TEST(ResultFiles, MatrixFilesHoldPointsDownAndSlicesAcross) {
    // The second slice's third point lies beyond the rows of slice 0 and is not written.
    const TableSeries slices = {{{8.123456789, -0.0123}, {-12.345678, 1.0}},
                                {{8.0, 0.5}, {-12.0, 123456.5}, {-13.0, 9.0}}};
    const SeriesFit fit = fitted_series(
        slices, {slice_fit(1, 2, 3, 4, 5, 6, 7), slice_fit(0.25, 0.5, 0.125, 2, 0, 0, 0)});
    for (const unsigned threads : {1u, 5u}) {
        TempDir dir, plain;
        EXPECT_TRUE(write_in(dir, fit, threads).empty());
        EXPECT_EQ(read_file(dir.file("dat.txt")), "  8.123457  -0.012300   0.500000 \n"
                                                  "-12.345678   1.000000 123456.500000 \n");
        EXPECT_EQ(read_file(dir.file("results.txt")),
                  std::string(results_header) +
                      " 0  1.000  2.000  3.000  4.000  5.000  6.000  7.000 \n"
                      " 1  0.250  0.500  0.125  2.000  0.000  0.000  0.000 \n");
        EXPECT_FALSE(std::filesystem::exists(dir.file("sim.txt")));
        // The curves, computed as they are written, are those of the reference writer.
        EXPECT_TRUE(write_reference_in(plain, fit, slices).empty());
        for (const char* name : {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"}) {
            EXPECT_EQ(read_file(dir.file(name)), read_file(plain.file(name))) << name;
        }
    }
}

TEST(ResultFiles, NoSlicesGiveAHeaderAndEmptyMatrixFiles) {
    TempDir dir;
    testfiles::write_file(dir.file("dat.txt"), "old contents\n");
    EXPECT_TRUE(write_in(dir, SeriesFit{}, 2).empty());
    EXPECT_EQ(read_file(dir.file("results.txt")), results_header);
    for (const char* name : {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt"}) {
        EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
        EXPECT_EQ(read_file(dir.file(name)), "") << name;
    }
}

TEST(ResultFiles, NamesTheFilesThatCouldNotBeWritten) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("results.txt"));
    std::filesystem::create_symlink("/dev/full", dir.file("sim_b.txt"));
    const SeriesFit fit = fitted_series({{{1.0, 2.0}}}, {slice_fit(1, 2, 3, 4, 5, 6, 7)});
    EXPECT_EQ(write_in(dir, fit, 1), std::vector<std::string>({"sim_b.txt", "results.txt"}));
    EXPECT_EQ(read_file(dir.file("dat.txt")), "  1.000000   2.000000 \n");
    EXPECT_EQ(read_file(dir.file("res.txt")).substr(0, 11), "  1.000000 ");
}

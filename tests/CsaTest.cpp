#include "Csa.h"

#include "TestFiles.h"

#include <cmath>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

using testfiles::read_file;
using testfiles::TempDir;

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

TEST(CheckSeries, RowsWithOneValueAreMalformed) {
    EXPECT_EQ(check_series({{{1, 2}, {}, {3, 4, 5}}, {}}), "");
    EXPECT_EQ(check_series({{{1, 2}}, {{1, 2}, {}, {7.1}}}),
              "2d.txt: block 2, row 3 must hold a chemical shift (ppm) and an intensity, found 1 "
              "value");
}

TEST(CheckSliceLengths, LaterSlicesMayNotBeShorterThanTheFirst) {
    EXPECT_EQ(check_slice_lengths({}), "");
    EXPECT_EQ(check_slice_lengths({{{0, 1}}, {{0, 1}, {1, 2}}, {}}).substr(0, 23),
              "2d.txt: slice 2 holds 0");
    EXPECT_EQ(check_slice_lengths({{{0, 1}, {1, 1}}, {{0, 1}, {1, 2}}, {{0, 1}}}),
              "2d.txt: slice 2 holds 1 points inside the window, fewer than the 2 of slice 0; "
              "every slice must share the ppm axis of the first");
    EXPECT_EQ(check_slice_lengths({{}, {}}), "");
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

// Runs write_result_files with `dir` as the working directory.
std::vector<std::string> write_in(const TempDir& dir, const TableSeries& slices,
                                  const TableSeries& sim_a, const TableSeries& sim_b,
                                  const TableSeries& res, const Table& results) {
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    auto failed = write_result_files(slices, sim_a, sim_b, res, results);
    std::filesystem::current_path(here);
    return failed;
}

const char* const results_header =
    "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot \n";

} // namespace

TEST(ResultFiles, MatrixFilesHoldPointsDownAndSlicesAcross) {
    TempDir dir;
    const TableSeries slices = {{{8.123456789, -0.0123}, {-12.345678, 1.0}},
                                {{8.0, 0.5}, {-12.0, 123456.5}, {-13.0, 9.0}}};
    const TableSeries sim_a = {{{8.1, 0.1}, {-12.3, 0.2}}, {{8.0, 0.3}, {-12.0, 0.4}, {0, 0}}};
    const TableSeries sim_b = {{{8.1, 1.1}, {-12.3, 1.2}}, {{8.0, 1.3}, {-12.0, 1.4}, {0, 0}}};
    const TableSeries res = {{{8.1, -2.1}, {-12.3, -2.2}}, {{8.0, -2.3}, {-12.0, -2.4}, {0, 0}}};
    const Table results = {{1, 2, 3, 4, 5, 6, 7}, {0, 0, 0, 0, 0, 0, 0}};
    EXPECT_TRUE(write_in(dir, slices, sim_a, sim_b, res, results).empty());

    EXPECT_EQ(read_file(dir.file("dat.txt")), "  8.123457  -0.012300   0.500000 \n"
                                              "-12.345678   1.000000 123456.500000 \n");
    EXPECT_EQ(read_file(dir.file("sim_a.txt")), "  8.123457   0.100000   0.300000 \n"
                                                "-12.345678   0.200000   0.400000 \n");
    EXPECT_EQ(read_file(dir.file("sim_b.txt")), "  8.123457   1.100000   1.300000 \n"
                                                "-12.345678   1.200000   1.400000 \n");
    EXPECT_EQ(read_file(dir.file("res.txt")), "  8.123457  -2.100000  -2.300000 \n"
                                              "-12.345678  -2.200000  -2.400000 \n");
    EXPECT_EQ(read_file(dir.file("results.txt")),
              std::string(results_header) +
                  " 0  1.000  2.000  3.000  4.000  5.000  6.000  7.000 \n"
                  " 1  0.000  0.000  0.000  0.000  0.000  0.000  0.000 \n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("sim.txt")));
}

TEST(ResultFiles, NoSlicesGiveAHeaderAndEmptyMatrixFiles) {
    TempDir dir;
    testfiles::write_file(dir.file("dat.txt"), "old contents\n");
    EXPECT_TRUE(write_in(dir, {}, {}, {}, {}, {}).empty());
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
    const TableSeries one = {{{1.0, 2.0}}};
    const auto failed = write_in(dir, one, one, one, one, {{1, 2, 3, 4, 5, 6, 7}});
    EXPECT_EQ(failed, std::vector<std::string>({"sim_b.txt", "results.txt"}));
    EXPECT_EQ(read_file(dir.file("dat.txt")), "  1.000000   2.000000 \n");
    EXPECT_EQ(read_file(dir.file("res.txt")), "  1.000000   2.000000 \n");
}

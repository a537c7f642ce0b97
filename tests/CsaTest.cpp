#include "Csa.h"

#include "Printed.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using testfiles::TempDir;
using testfiles::write_file;
using testprint::printed;
using testprint::Printed;

namespace {

using cplx = std::complex<double>;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

params acquisition(double np, double sw, double offset) {
    params p;
    p.np = np;
    p.sw = sw;
    p.offset = offset;
    return p;
}

std::vector<params> marked(std::size_t count) {
    std::vector<params> records(count);
    for (params& record : records) {
        record.shape_col1 = -1.0;
        record.shape_col2 = -2.0;
        record.np = 7.0;
        record.lb = 9.0;
    }
    return records;
}

// genShape's count, checked against genV on the same file.
int shapeCount(std::vector<params>& records, const std::string& path) {
    const int count = genShape(records.data(), path.c_str());
    EXPECT_EQ(genV(path.c_str()), count) << path;
    return count;
}

} // namespace

TEST(ShapeFile, CommentsAndEmptyLinesAreSkippedAndRecordsLeftAlone) {
    TempDir dir;
    write_file(dir.file("s.txt"), "# a comment\n\n#1 2\n\n");
    std::vector<params> records = marked(1);
    EXPECT_EQ(shapeCount(records, dir.file("s.txt")), 0);
    EXPECT_EQ(records[0].shape_col1, -1.0);
}

TEST(ShapeFile, FillsOnlyTheShapeMembersOfOneRecordPerDataLine) {
    TempDir dir;
    write_file(dir.file("s.txt"), "1 2\n# comment\n3 4 5"); // last line unterminated
    std::vector<params> records = marked(3);
    EXPECT_EQ(shapeCount(records, dir.file("s.txt")), 2);
    EXPECT_EQ(records[0].shape_col1, 1.0);
    EXPECT_EQ(records[0].shape_col2, 2.0);
    EXPECT_EQ(records[1].shape_col1, 3.0);
    EXPECT_EQ(records[1].shape_col2, 4.0);
    EXPECT_EQ(records[1].np, 7.0);
    EXPECT_EQ(records[1].lb, 9.0);
    EXPECT_EQ(records[2].shape_col1, -1.0);
    EXPECT_EQ(testfiles::read_file(dir.file("s.txt")), "1 2\n# comment\n3 4 5");
}

TEST(ShapeFile, BlankCrlfAndIndentedCommentLinesAreDataLines) {
    TempDir dir;
    write_file(dir.file("s.txt"), "1.5 -2e1\r\n\r\n   \n # x\n8\n");
    std::vector<params> records = marked(5);
    EXPECT_EQ(shapeCount(records, dir.file("s.txt")), 5);
    EXPECT_EQ(records[0].shape_col1, 1.5);
    EXPECT_EQ(records[0].shape_col2, -20.0);
    for (int i = 1; i < 4; ++i) {
        EXPECT_TRUE(std::isnan(records[i].shape_col1)) << i;
        EXPECT_TRUE(std::isnan(records[i].shape_col2)) << i;
    }
    EXPECT_EQ(records[4].shape_col1, 8.0);
    EXPECT_TRUE(std::isnan(records[4].shape_col2));
}

TEST(ShapeFile, MissingFileAndDirectoryGiveZero) {
    TempDir dir;
    std::vector<params> records = marked(1);
    EXPECT_EQ(shapeCount(records, dir.file("missing.txt")), 0);
    EXPECT_EQ(shapeCount(records, dir.path().string()), 0);
    EXPECT_EQ(records[0].shape_col1, -1.0);
}

TEST(ShapeFile, ReadOnlyFileGivesZero) {
    TempDir dir;
    write_file(dir.file("s.txt"), "1 2\n");
    std::filesystem::permissions(dir.file("s.txt"), std::filesystem::perms::owner_read);
    if (std::fstream(dir.file("s.txt"), std::ios::in | std::ios::out)) {
        GTEST_SKIP() << "file permissions do not bind this user (root)";
    }
    std::vector<params> records = marked(1);
    EXPECT_EQ(shapeCount(records, dir.file("s.txt")), 0);
}

// The kernel refuses writes to this sysctl even for root, yet anyone may read it.
TEST(ShapeFile, ReadableButUnwritableFileGivesZeroEvenForRoot) {
    const std::string path = "/proc/sys/kernel/osrelease";
    if (testfiles::read_file(path).empty() || std::fstream(path, std::ios::in | std::ios::out)) {
        GTEST_SKIP() << path << " is not a readable, unwritable file here";
    }
    std::vector<params> records = marked(1);
    EXPECT_EQ(shapeCount(records, path), 0);
}

TEST(SpectralTransform, OnePointOrFewerProducesNothing) {
    const std::vector<spectrum> fid(2, spectrum{1.0, 0.0});
    const std::vector<cplx> points(2, 1.0);
    for (const double np : {1.0, 0.0, -3.0}) {
        Table table;
        EXPECT_EQ(printed([&] {
                      genFFT(acquisition(np, 100.0, 0.0), fid.data());
                      genFFT2(acquisition(np, 100.0, 0.0), points.data());
                      genFFT3(acquisition(np, 100.0, 0.0), points.data(), table);
                  }).text,
                  "");
        EXPECT_TRUE(table.empty());
    }
}

TEST(SpectralTransform, EightPointsGiveSevenLinesAndConstantInputOnlyAtZero) {
    const std::vector<spectrum> fid(8, spectrum{2.0, 0.0});
    const Printed out = printed([&] { genFFT(acquisition(8.0, 800.0, 100.0), fid.data()); });
    const std::vector<std::string> rows = lines(out.text);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0].substr(0, 20), "       -300.00000000");
    EXPECT_EQ(rows[4], "        100.00000000          2.00000000");
    EXPECT_EQ(rows[6].substr(0, 20), "        300.00000000");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 40u) << rows[i];
        if (i != 4) {
            EXPECT_NEAR(std::stod(rows[i].substr(20)), 0.0, 1e-8) << rows[i];
        }
    }
    EXPECT_TRUE(out.fixed);
    EXPECT_EQ(out.precision, 8);
}

TEST(SpectralTransform, OddCountsUseHalfIntegerIndicesAndOnlyGenFFTTruncates) {
    const std::vector<cplx> points(6, 1.0);
    Table table;
    genFFT3(acquisition(5.0, 500.0, 0.0), points.data(), table);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ((Row{table[0][0], table[1][0], table[2][0], table[3][0]}),
              (Row{-250.0, -150.0, -50.0, 50.0}));

    const std::vector<spectrum> fid(6, spectrum{1.0, 0.0});
    // At every half-integer k the five cosines of a constant input sum to 1.
    EXPECT_EQ(lines(printed([&] { genFFT(acquisition(5.9, 500.0, 0.0), fid.data()); }).text),
              (std::vector<std::string>{"       -250.00000000          0.20000000",
                                        "       -150.00000000          0.20000000",
                                        "        -50.00000000          0.20000000",
                                        "         50.00000000          0.20000000"}));
    EXPECT_EQ(
        lines(printed([&] { genFFT2(acquisition(5.9, 590.0, 0.0), points.data()); }).text).size(),
        5u);
}

TEST(SpectralTransform, GenFFTReadsRealPartsOnly) {
    // A single imaginary unit at point 1: at k = -1 the sum is Re(i * exp(i pi/2)) = -1.
    const std::vector<spectrum> fid = {{0.0, 0.0}, {0.0, 1.0}, {0.0, 0.0}, {0.0, 0.0}};
    const std::vector<cplx> points = {0.0, cplx(0.0, 1.0), 0.0, 0.0};
    const auto real = lines(printed([&] { genFFT(acquisition(4.0, 4.0, 0.0), fid.data()); }).text);
    const auto full =
        lines(printed([&] { genFFT2(acquisition(4.0, 4.0, 0.0), points.data()); }).text);
    ASSERT_EQ(real.size(), 3u);
    ASSERT_EQ(full.size(), 3u);
    EXPECT_EQ(real[1], "         -1.00000000          0.00000000");
    EXPECT_EQ(full[1], "         -1.00000000         -0.25000000");
}

TEST(SpectralTransform, GenFFT3KeepsBothPartsAndAgreesWithGenFFT2) {
    const std::vector<cplx> points = {cplx(0.5, 0.25), cplx(1.0, -1.0), cplx(0.0, 2.0), -1.5};
    Table table = {{42.0}};
    genFFT3(acquisition(4.0, 40.0, 3.0), points.data(), table);
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0], Row{42.0});
    EXPECT_EQ(table[3], (Row{3.0, 0.0, 0.3125}));
    // k = -1 weighs point j with i^j.
    EXPECT_NEAR(table[2][1], 1.5 / 4.0, 1e-15);
    EXPECT_NEAR(table[2][2], 0.75 / 4.0, 1e-15);

    const std::vector<std::string> out =
        lines(printed([&] { genFFT2(acquisition(4.0, 40.0, 3.0), points.data()); }).text);
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::ostringstream expected;
        expected << std::fixed << std::setprecision(8) << std::setw(20) << table[i + 1][0]
                 << std::setw(20) << table[i + 1][1];
        EXPECT_EQ(out[i], expected.str());
    }

    genFFT3(acquisition(4.0, 40.0, 3.0), points.data(), table);
    ASSERT_EQ(table.size(), 7u);
    EXPECT_EQ(Table(table.begin() + 1, table.begin() + 4), Table(table.begin() + 4, table.end()));
}

TEST(FidPrinter, RealAndImaginaryPartsAgainstTime) {
    const std::vector<spectrum> fid = {{1.0, 9.0}, {-1.0, 9.0}, {0.0, 9.0}, {0.5, -0.125}};
    const Printed out = printed([&] {
        print_fid_real(acquisition(4.0, 1000.0, 0.0), fid.data());
        print_fid_imag(acquisition(1.0, 1000.0, 0.0), fid.data() + 3);
    });
    EXPECT_EQ(out.text, "   0.00000   1.000000000\n"
                        "   0.00100  -1.000000000\n"
                        "   0.00200   0.000000000\n"
                        "   0.00300   0.500000000\n"
                        "   0.00000  -0.125000000\n");
    EXPECT_TRUE(out.fixed);
    EXPECT_EQ(out.precision, 9);
}

TEST(FidPrinter, WideValuesAreNotCutAndComplexPointsTakeTheWidthWhole) {
    const std::vector<spectrum> wide = {{12345678.5, 0.0}};
    const std::vector<cplx> fid = {cplx(0.5, -0.25), cplx(1.0, 2.0), 7.0};
    EXPECT_EQ(printed([&] { print_fid_real(acquisition(1.0, 1.0, 0.0), wide.data()); }).text,
              "   0.0000012345678.500000000\n");
    EXPECT_EQ(printed([&] { print_fid2(acquisition(2.7, 4.0, 0.0), fid.data()); }).text,
              "   0.00000 (0.500000000,-0.250000000)\n"
              "   0.25000 (1.000000000,2.000000000)\n");
}

TEST(FidPrinter, NoPointsPrintNothing) {
    const std::vector<spectrum> fid = {{1.0, 1.0}};
    const std::vector<cplx> points = {1.0};
    EXPECT_EQ(printed([&] {
                  print_fid_real(acquisition(0.9, 1.0, 0.0), fid.data());
                  print_fid_imag(acquisition(-1.0, 1.0, 0.0), fid.data());
                  print_fid2(acquisition(0.0, 1.0, 0.0), points.data());
                  print_dip(acquisition(0.0, 1.0, 0.0), fid.data());
              }).text,
              "");
}

// Counts no array can hold, or no count at all: each routine must treat them as zero points
// rather than convert them to int (undefined, caught by the sanitizer build) or walk a grid
// whose step 1.0 no longer moves k (1e300 never ends).
TEST(PointCount, NanNegativeAndBeyondIntAreZeroPoints) {
    const std::vector<spectrum> fid(2, spectrum{1.0, 1.0});
    const std::vector<cplx> points(2, cplx(1.0, 1.0));
    const double infinity = std::numeric_limits<double>::infinity();
    for (const double np : {std::nan(""), -1.0, 1e300, 3e9, 2147483648.0, infinity, -infinity}) {
        const params p = acquisition(np, 100.0, 0.0);
        Table table = {{42.0}};
        EXPECT_EQ(printed([&] {
                      genFFT(p, fid.data());
                      genFFT2(p, points.data());
                      genFFT3(p, points.data(), table);
                      print_fid2(p, points.data());
                      print_fid_real(p, fid.data());
                      print_fid_imag(p, fid.data());
                      print_dip(p, fid.data());
                  }).text,
                  "")
            << "np " << np;
        EXPECT_EQ(table, Table{{42.0}}) << "np " << np;
    }
}

TEST(FidPrinter, PrintFidUsesTheFormatTheDipLeavesBehind) {
    const double values[] = {3.14159265, 1234567.0};
    const std::vector<spectrum> fid = {{2.0, 5.0}, {-0.5, 5.0}};
    EXPECT_EQ(printed([&] {
                  print_fid(values, values + 2);
                  print_dip(acquisition(2.0, 1.0, 0.0), fid.data());
                  print_fid(values, values + 1);
              }).text,
              "3.14159\n"
              "1.23457e+06\n"
              "   1.000000000\n"
              "  -0.250000000\n"
              "3.141592650\n");
}

TEST(FidPrinter, PrintFFTPrintsEveryRowIncludingEmptyOnes) {
    const Printed out = printed([] {
        print_FFT({});
        print_FFT({{-1.5, 0.25}, {}, {12.5}});
    });
    EXPECT_EQ(out.text, "-1.500000 0.250000 \n\n12.500000 \n");
    EXPECT_EQ(out.precision, 6);
}

TEST(TensorPrinter, CartesianTensors) {
    const double identity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    cplx ones[3][3] = {{1.0, 1.0, 1.0}, {1.0, 1.0, 1.0}, {1.0, 1.0, cplx(-12.25, 0.5)}};
    const Printed real = printed([&] { print_cart(identity); });
    EXPECT_EQ(real.text, "     1.0      0.0      0.0 \n"
                         "     0.0      1.0      0.0 \n"
                         "     0.0      0.0      1.0 \n");
    EXPECT_TRUE(real.fixed);
    EXPECT_EQ(real.precision, 1);
    EXPECT_EQ(printed([&] { print_cart_complex(ones); }).text,
              "(1.0,0.0) (1.0,0.0) (1.0,0.0) \n"
              "(1.0,0.0) (1.0,0.0) (1.0,0.0) \n"
              "(1.0,0.0) (1.0,0.0) (-12.2,0.5) \n");
}

TEST(TensorPrinter, MatricesAndVectorsEndWithAnEmptyLine) {
    const cplx values[] = {cplx(1, 2), cplx(3, -4), 0.005, -1.0};
    const Printed matrix = printed([&] {
        print_matx(0, values);
        print_matx(2, values);
    });
    EXPECT_EQ(matrix.text, "\n(1.00,2.00) (3.00,-4.00) \n(0.01,0.00) (-1.00,0.00) \n\n");
    EXPECT_EQ(matrix.precision, 2);
    const Printed vector = printed([&] {
        print_vec(0, values);
        print_vec(2, values);
    });
    EXPECT_EQ(vector.text, "\n(1.0000,2.0000)\n(3.0000,-4.0000)\n\n");
    EXPECT_EQ(vector.precision, 4);
}

TEST(TensorPrinter, EulerSetsLeaveOutGamma) {
    const euler set[] = {{0.0, 90.0, 45.0, 0.5}, {-180.0, 1.0, 2.0, 1.0}};
    EXPECT_EQ(printed([&] { print_euler(set, set); }).text, "");
    const Printed out = printed([&] { print_euler(set, set + 2); });
    EXPECT_EQ(out.text, " 0.00000\t90.00000\t0.5000000\n"
                        "-180.00000\t 1.00000\t1.0000000\n");
    EXPECT_TRUE(out.fixed);
    EXPECT_EQ(out.precision, 7);
}

TEST(VectorNorm, DividesByTheSumOfAllElements) {
    std::vector<cplx> v = {1.0, 1.0, 2.0};
    norm_vec(3, v.data());
    EXPECT_EQ(v, (std::vector<cplx>{0.25, 0.25, 0.5}));
    std::vector<cplx> w = {cplx(1, 1), cplx(1, -1)};
    norm_vec(2, w.data());
    norm_vec(0, w.data());
    EXPECT_EQ(w, (std::vector<cplx>{cplx(0.5, 0.5), cplx(0.5, -0.5)}));
    std::vector<cplx> zero = {1.0, -1.0};
    norm_vec(2, zero.data());
    EXPECT_FALSE(std::isfinite(zero[0].real()));
}

TEST(NullSpaceNorm, ChoosesTheLastQualifyingColumn) {
    cplx out[] = {9.0, 9.0};
    const cplx values[] = {-1.0, 0.0};
    const cplx matrix[] = {1.0, 1.0, -1.0, 3.0};
    norm_mag(2, values, matrix, out);
    EXPECT_EQ(out[0], 0.25);
    EXPECT_EQ(out[1], 0.75);
    // Both columns qualify; imaginary parts take no part in the choice, only in the sum.
    const cplx both[] = {cplx(0.0, 5.0), cplx(5e-7, -3.0)};
    const cplx second[] = {1.0, cplx(1.0, 1.0), 3.0, cplx(-1.0, 1.0)};
    norm_mag(2, both, second, out);
    EXPECT_LT(std::abs(out[0] - cplx(0.5, -0.5)), 1e-15) << out[0];
    EXPECT_LT(std::abs(out[1] - cplx(0.5, 0.5)), 1e-15) << out[1];
}

TEST(NullSpaceNorm, PassesOverColumnsWithTwoNearZeroEntries) {
    cplx out[] = {9.0, 9.0, 9.0};
    const cplx values[] = {0.0, 0.0, 1.0};
    const cplx matrix[] = {2.0, 1e-7, 0.0, 6.0, -1e-7, 0.0, 0.0, 4.0, 0.0};
    norm_mag(3, values, matrix, out);
    EXPECT_EQ(out[0], 0.25);
    EXPECT_EQ(out[1], 0.75);
    EXPECT_EQ(out[2], 0.0);
}

TEST(NullSpaceNorm, NoQualifyingColumnLeavesOutputUntouched) {
    cplx out[] = {9.0, 8.0};
    const cplx values[] = {1.0, 1e-6};
    const cplx matrix[] = {1.0, 2.0, 3.0, 4.0};
    norm_mag(2, values, matrix, out);
    norm_mag(0, values, matrix, out);
    EXPECT_EQ(out[0], 9.0);
    EXPECT_EQ(out[1], 8.0);
}

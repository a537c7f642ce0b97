// The programs against the reference programs of tests/reference (the same run with the plain
// stream-based readers, writers and objective): the same exit status, standard output,
// standard error and result files, byte for byte; and the fast readers against the plain
// ones on awkward files.
#include "Csa.h"
#include "ReferenceStages.h"
#include "TestFiles.h"
#include "synthetic_series.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>

using testfiles::read_file;
using testfiles::result_names;
using testfiles::run_in;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

// Runs the program and its reference in two copies of `inputs` and compares everything
// they leave.
void expect_same_run(const fs::path& inputs, const char* program, const char* reference) {
    SCOPED_TRACE(fs::path(program).filename().string());
    TempDir fast_dir, reference_dir;
    for (const char* input : {"2d.txt", "peaks.txt"}) {
        fs::copy_file(inputs / input, fast_dir.path() / input);
        fs::copy_file(inputs / input, reference_dir.path() / input);
    }
    const auto fast = run_in(fast_dir.path(), program);
    const auto plain = run_in(reference_dir.path(), reference);
    EXPECT_EQ(fast.status, plain.status);
    EXPECT_EQ(fast.out, plain.out);
    EXPECT_EQ(fast.err, plain.err);
    for (const char* name : result_names) {
        EXPECT_EQ(fs::exists(fast_dir.path() / name), fs::exists(reference_dir.path() / name))
            << name;
        // EXPECT_TRUE on the comparison keeps megabytes of text out of a failure message.
        EXPECT_TRUE(read_file(fast_dir.file(name)) == read_file(reference_dir.file(name)))
            << name << " differs";
    }
}

void expect_same_runs(const fs::path& inputs) {
    expect_same_run(inputs, PAIRFIT4, PAIRFIT4_REFERENCE);
    expect_same_run(inputs, PAIRFIT2, PAIRFIT2_REFERENCE);
}

// Rows equal in length and bit pattern.
bool same_bits(const Row& a, const Row& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}
bool same_bits(const Table& a, const Table& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i])) {
            return false;
        }
    }
    return true;
}

void expect_same_reading(const std::string& file) {
    ReadReport fast_report, plain_report;
    const TableSeries fast = read_series(file.c_str(), fast_report);
    const TableSeries plain = reference::read_series(file.c_str(), plain_report);
    ASSERT_EQ(fast.size(), plain.size());
    for (std::size_t b = 0; b < fast.size(); ++b) {
        EXPECT_TRUE(same_bits(fast[b], plain[b])) << "block " << b;
    }
    EXPECT_EQ(fast_report.opened, plain_report.opened);
    EXPECT_EQ(fast_report.read_to_end, plain_report.read_to_end);
    EXPECT_EQ(fast_report.unfinished_rows, plain_report.unfinished_rows);

    // The programs' reader, on one thread and on pieces split at any line, against the
    // series cut plainly; once around the lines and once keeping every point.
    for (const auto& [lower, upper] : {std::pair{0.4, 1.6}, std::pair{-1e300, 1e300}}) {
        Row ppm, intensity;
        std::vector<std::size_t> slice_start{0};
        for (const Table& slice : reference::cut_slices(plain, lower, upper, 1.0)) {
            for (const Row& point : slice) {
                ppm.push_back(point[0]);
                intensity.push_back(point[1]);
            }
            slice_start.push_back(ppm.size());
        }
        double ppm_low = std::numeric_limits<double>::infinity();
        double ppm_high = -ppm_low;
        for (const Table& block : plain) {
            for (const Row& row : block) {
                if (row.size() >= 2) {
                    ppm_low = std::min(ppm_low, row[0]);
                    ppm_high = std::max(ppm_high, row[0]);
                }
            }
        }
        LineExcerpt single_value_line;
        reference::read_series_with_line(file.c_str(), plain_report, single_value_line);
        std::string single_value_row;
        for (std::size_t b = 0; b < plain.size() && single_value_row.empty(); ++b) {
            for (std::size_t r = 0; r < plain[b].size() && single_value_row.empty(); ++r) {
                if (plain[b][r].size() == 1) {
                    single_value_row = std::to_string(b + 1) + ":" + std::to_string(r + 1);
                }
            }
        }
        for (const auto& [threads, smallest_piece] :
             {std::pair{1u, 1ul}, std::pair{2u, 1ul}, std::pair{3u, 7ul}, std::pair{5u, 64ul}}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, pieces of " +
                         std::to_string(smallest_piece) + " bytes and more");
            ReadReport windowed_report;
            const WindowedSeries windowed = read_windowed_series(
                file.c_str(), lower, upper, threads, windowed_report, smallest_piece);
            EXPECT_TRUE(same_bits(windowed.ppm, ppm));
            EXPECT_TRUE(same_bits(windowed.intensity, intensity));
            EXPECT_EQ(windowed.slice_start, slice_start);
            EXPECT_EQ(windowed_report.single_value_block == 0
                          ? ""
                          : std::to_string(windowed_report.single_value_block) + ":" +
                                std::to_string(windowed_report.single_value_row),
                      single_value_row);
            EXPECT_EQ(windowed.ppm_low, ppm_low);
            EXPECT_EQ(windowed.ppm_high, ppm_high);
            EXPECT_EQ(windowed_report.single_value_line.text, single_value_line.text);
            EXPECT_EQ(windowed_report.single_value_line.cut, single_value_line.cut);
            EXPECT_EQ(windowed_report.single_value_line.has_comma, single_value_line.has_comma);
            EXPECT_EQ(windowed_report.opened, plain_report.opened);
            EXPECT_EQ(windowed_report.read_to_end, plain_report.read_to_end);
            EXPECT_EQ(windowed_report.unfinished_rows, plain_report.unfinished_rows);
        }
    }

    const Table fast_table = read_table(file.c_str(), fast_report);
    const Table plain_table = reference::read_table(file.c_str(), plain_report);
    EXPECT_TRUE(same_bits(fast_table, plain_table));
    EXPECT_EQ(fast_report.opened, plain_report.opened);
    EXPECT_EQ(fast_report.read_to_end, plain_report.read_to_end);
}

} // namespace

TEST(ReferencePrograms, GoldenInputs) {
    expect_same_runs(GOLDEN_DIR);
}

// 128 slices of 4096 points, a window of a quarter of the axis: the medium series of the
// benchmark (bench/run.sh compares the big one).
TEST(ReferencePrograms, MediumSeries) {
    TempDir inputs;
    ASSERT_TRUE(write_series(medium_series(), inputs.path().string()));
    expect_same_runs(inputs.path());
}

TEST(ReferencePrograms, MessyAndFaultyInputs) {
    // CRLF, blank rows, junk after numbers, comments, values beyond double, a tail after the
    // last block, and series the checks refuse.
    const std::pair<const char*, const char*> cases[] = {
        {"# axis\r\n2 1\r\n1.5 4e0junk\r\n\r\n1 9,5\r\n 0.5\t3\r\n0 1\r\n&\r\n"
         "2 1\r\n1.5 3\r\n \r\n1 8\r\n0.5 4 x\r\n0 1e-400\r\n&\r\n0 1\r\n",
         "1 0.5\r\n0.1 1.9\r\n0.2 0.2\r\n"},
        {"2 1\n1.5 1e400\n1 2\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n0.5\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n0.5 2\n&\n1 5\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 -5\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n&\n", "1 0.5\n"},
        // The refusals before fitting and the warnings of a run that goes on.
        {"1 5\n0.5 2\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n&\n1 5\n0.5 2\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n0.5 2\n&\n1 5\n0.502 2\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n0.5 2\n&\n1 5\n0.5 2\n&\n", "1 0.5\n100 400\n0.2 0.2\n"},
        {"1 5\n0.5,2\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n0.5 2\n&\n1 5\n0.51 2\n&\n", "1 0.5\n0.1 1.9\n0.2 0.2\n"},
        {"1 5\n0.5 2\n&\n", "1 0.5\n0.1 1.9\n-0.2 0.2\n"},
        {"1 5\n0.5 2\n&\n", "peak_A,peak_B\n"},
        {"1 5\n0.5 2\n0.75 0\n1.25 0\n&\n", "1 3\n0.1 1.9\n0.2 0.2\n"},
    };
    for (const auto& [series, peaks] : cases) {
        SCOPED_TRACE(series);
        TempDir inputs;
        write_file(inputs.file("2d.txt"), series);
        write_file(inputs.file("peaks.txt"), peaks);
        expect_same_runs(inputs.path());
    }
}

TEST(ReadersAgree, LongLinesNulBytesAndGarbage) {
    TempDir dir;
    std::mt19937_64 random(99);
    std::string long_row; // far longer than the reader's chunk
    for (int i = 0; i < 60000; ++i) {
        long_row += std::to_string(random() % 100000) + "." + std::to_string(random() % 1000) + " ";
    }
    std::string garbage(300000, '\0');
    for (char& byte : garbage) {
        byte = static_cast<char>(random() % 256);
    }
    // Blocks of random lengths with comments, blank and CRLF rows, rows of one or three
    // values and points on both sides of the window, so that pieces split inside all of them.
    std::string mixed;
    const std::string long_single = "0.8 " + std::string(100, 'y') + "\n";
    const char* const odd_lines[] = {"# comment\n", "\n",    " \n",
                                     "\r\n",        "0.9\n", "0.7,1\r\n",
                                     "&\n",         "&&\n",  long_single.c_str()};
    for (int i = 0; i < 3000; ++i) {
        if (random() % 8 == 0) {
            mixed += odd_lines[random() % std::size(odd_lines)];
        } else {
            mixed += std::to_string(static_cast<double>(random() % 2000) / 1000.0) + " " +
                     std::to_string(random() % 1000) + (random() % 5 == 0 ? " 7\r\n" : "\n");
        }
    }
    const std::string files[] = {
        mixed,
        mixed + "0.9\n1 2\n",
        "",
        "&",
        "\n\n\n",
        "1 2",                  // no newline at the end
        "1 2\n&\n3 4\n5 6",     // an unfinished block without a final newline
        "#\n&\n&&\n& 1 2\n1\n", // comments and empty blocks
        std::string("1 2\0 3\n\0\n4\x00 5\n&\n", 17),
        "1 2\r\n\r\n\r&\r\n&\r\n",
        long_row + "\n&\n" + long_row + "\n" + long_row + "&\n",
        long_row + long_row + long_row + long_row, // one line of 1.5 MB without a newline
        garbage,
        garbage + "\n&\n1 2\n&\n",
    };
    for (std::size_t i = 0; i < std::size(files); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        write_file(dir.file("in.txt"), files[i]);
        expect_same_reading(dir.file("in.txt"));
    }
    SCOPED_TRACE("a directory");
    expect_same_reading(dir.path().string());
    SCOPED_TRACE("a missing file");
    expect_same_reading(dir.file("absent.txt"));
}

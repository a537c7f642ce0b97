// The programs against the reference programs of tests/reference (the same run with the plain
// stream-based readers, writers and objective): the same exit status, standard output,
// standard error and result files, byte for byte; and the fast readers against the plain
// ones on awkward files.
#include "ReferenceStages.h"
#include "TestFiles.h"
#include "synthetic_series.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
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
    const std::string files[] = {
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

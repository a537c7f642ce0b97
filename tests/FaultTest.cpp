// Faulty and hostile input and output, run as processes in temporary folders: every run ends
// with the results or with a message and its documented status, never with a crash or a
// hang, and leaves the folder in the documented state.
#include "TestFiles.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using testfiles::files_in;
using testfiles::ProgramRun;
using testfiles::read_file;
using testfiles::result_names;
using testfiles::run_limited;
using testfiles::small_series;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

const char* const sound_peaks = "0 0.5\n-1 1\n0.1 0.1\n";

const char* const usage_start = "##############################################\n";
const char* const non_finite_start = "The objective function generated non-finite outputs\n";

const std::set<std::string> only_inputs = {"2d.txt", "peaks.txt"};
const std::set<std::string> inputs_and_results = {
    "2d.txt", "peaks.txt", "dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"};

std::size_t lines_of(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The fields of every line of a matrix result file (points down, ppm then one per slice).
std::vector<std::size_t> fields_per_line(const std::string& text) {
    std::vector<std::size_t> counts;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field;
        std::size_t count = 0;
        while (fields >> field) {
            ++count;
        }
        counts.push_back(count);
    }
    return counts;
}

// What every successful run leaves: results.txt with its header and one line per slice, and
// four matrix files with one line per window point of ppm plus one column per slice.
void expect_complete_results(const fs::path& folder, std::size_t slices, std::size_t points) {
    EXPECT_EQ(files_in(folder), inputs_and_results);
    EXPECT_EQ(lines_of(read_file((folder / "results.txt").string())), slices + 1);
    for (const char* name : {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt"}) {
        const std::vector<std::size_t> fields =
            fields_per_line(read_file((folder / name).string()));
        EXPECT_EQ(fields.size(), points) << name;
        EXPECT_TRUE(std::all_of(fields.begin(), fields.end(), [&](std::size_t n) {
            return n == slices + 1;
        })) << name;
    }
}

// Deterministic bytes of every value, as from a file of the wrong kind.
std::string garbage(std::size_t size, std::uint64_t seed) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        byte = static_cast<char>(seed >> 56);
    }
    return bytes;
}

} // namespace

TEST(FaultyInputs, DanglingLinkGivesTheUsageText) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    fs::create_symlink("nowhere.txt", dir.file("peaks.txt"));
    const ProgramRun run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind(usage_start, 0), 0u);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(files_in(dir.path()), only_inputs);
}

TEST(FaultyInputs, UnreadableInputGivesTheUsageText) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "as root a file without read permission can still be read";
    }
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), sound_peaks);
    fs::permissions(dir.file("2d.txt"), fs::perms::none);
    const ProgramRun run = run_limited(dir.path(), PAIRFIT2);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind(usage_start, 0), 0u);
    EXPECT_EQ(files_in(dir.path()), only_inputs);
}

TEST(FaultyInputs, EmptyFiles) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "");
    ProgramRun run = run_limited(dir.path(), PAIRFIT2);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "peaks.txt: data row 1 is missing; it must hold the positions peak_A and "
                       "peak_B (ppm)\n");
    EXPECT_EQ(files_in(dir.path()), only_inputs);

    // An empty 2d.txt holds no block, so there is no slice to fit.
    write_file(dir.file("peaks.txt"), sound_peaks);
    write_file(dir.file("2d.txt"), "");
    run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(
        run.err.rfind("2d.txt: no block of data lines is closed by a line starting with '&'", 0),
        0u);
    EXPECT_EQ(files_in(dir.path()), only_inputs);
}

TEST(FaultyInputs, BinaryGarbageEndsInADocumentedWay) {
    // Whatever the bytes, a run either succeeds with complete results or stops before writing
    // anything with a message naming 2d.txt (status 2) or the fit's error (status 3).
    std::map<std::string, std::string> inputs;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        inputs["garbage " + std::to_string(seed)] = garbage(20000, seed);
    }
    // Garbage with many line ends and block ends, where rows are likelier to form.
    std::string lines = garbage(20000, 99);
    for (std::size_t i = 0; i < lines.size(); i += 7) {
        lines[i] = i % 21 == 0 ? '&' : '\n';
    }
    inputs["garbage lines"] = lines;
    inputs["a program"] = read_file(PAIRFIT4);
    for (const auto& [name, bytes] : inputs) {
        SCOPED_TRACE(name);
        TempDir dir;
        write_file(dir.file("2d.txt"), bytes);
        write_file(dir.file("peaks.txt"), sound_peaks);
        const ProgramRun run = run_limited(dir.path(), PAIRFIT4);
        if (run.status == 0) {
            EXPECT_EQ(files_in(dir.path()), inputs_and_results);
        } else {
            EXPECT_EQ(files_in(dir.path()), only_inputs);
            if (run.status == 2) {
                // A warning about lines after the last block may come first.
                std::istringstream lines(run.err);
                std::string line;
                while (std::getline(lines, line)) {
                    EXPECT_EQ(line.rfind("2d.txt: ", 0), 0u) << run.err;
                }
                EXPECT_EQ(line.find("warning"), std::string::npos) << run.err;
            } else {
                EXPECT_EQ(run.status, 3);
                EXPECT_NE(run.err.find(non_finite_start), std::string::npos) << run.err;
            }
        }
        // The same bytes as peaks.txt: refused with a message naming peaks.txt, or read.
        write_file(dir.file("peaks.txt"), bytes);
        write_file(dir.file("2d.txt"), small_series);
        const ProgramRun swapped = run_limited(dir.path(), PAIRFIT2);
        EXPECT_TRUE(swapped.status == 0 || swapped.status == 2 || swapped.status == 3)
            << swapped.status;
        if (swapped.status == 2) {
            // Refused for its rows, or read and warned of, then a window that misses the data.
            const bool rows = swapped.err.rfind("peaks.txt: data row ", 0) == 0;
            EXPECT_TRUE(rows || swapped.err.find("\n2d.txt: slice 0 holds no point inside the "
                                                 "window ") != std::string::npos)
                << swapped.err;
        }
    }
}

TEST(FaultyInputs, NulBytes) {
    // A NUL ends the numbers of its line like any other character that is not a number.
    TempDir dir;
    write_file(dir.file("peaks.txt"), sound_peaks);
    write_file(dir.file("2d.txt"), std::string("1.0 1\n0.5\0 9\n&\n", 15));
    ProgramRun run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "2d.txt: block 1, row 2 must hold a chemical shift (ppm) and an intensity, "
                       "found 1 value in \"0.5\\x00 9\"\n");
    EXPECT_EQ(files_in(dir.path()), only_inputs);

    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), std::string("0\0 0.5\n-1 1\n", 12));
    run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "peaks.txt: data row 1 must hold the positions peak_A and peak_B (ppm), "
                       "found 1 value in \"0\\x00 0.5\"\n");

    // NULs after the numbers, NUL lines and a NUL after '&' change nothing.
    TempDir clean;
    write_file(clean.file("2d.txt"), small_series);
    write_file(clean.file("peaks.txt"), sound_peaks);
    std::string with_nuls;
    for (const char c : std::string(small_series)) {
        if (c == '\n') {
            with_nuls += std::string(" \0junk\n\0\n", 9);
        } else {
            with_nuls += c;
        }
    }
    write_file(dir.file("2d.txt"), with_nuls);
    write_file(dir.file("peaks.txt"), sound_peaks);
    const ProgramRun plain = run_limited(clean.path(), PAIRFIT4);
    run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, plain.out);
    for (const char* name : result_names) {
        EXPECT_EQ(read_file(dir.file(name)), read_file(clean.file(name))) << name;
    }
}

TEST(FaultyInputs, LinesWithoutValuesAfterTheLastBlockLoseNothing) {
    // Files from Windows tools often end in an empty CRLF line: no data follows the last
    // block, so no warning; a line with a value there is named.
    TempDir dir;
    write_file(dir.file("peaks.txt"), sound_peaks);
    write_file(dir.file("2d.txt"), "0.5 9\r\n0 8\r\n&\r\n\r\n  \t\r\njunk\r\n");
    ProgramRun run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    write_file(dir.file("2d.txt"), "0.5 9\r\n0 8\r\n&\r\n\r\n0.5 7\r\n\r\n");
    run = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "2d.txt: warning: the last 1 data line follows the last '&' line, so no "
                       "slice holds them; close every block with a line starting with '&'\n");
}

TEST(FaultyInputs, TenMegabyteLines) {
    // One line of 10 MB: its first two numbers are the point, the rest is ignored.
    const std::string long_tail = [] {
        std::string tail;
        while (tail.size() < 10'000'000) {
            tail += " 12345.678";
        }
        return tail;
    }();
    TempDir dir, clean;
    write_file(dir.file("2d.txt"), "0.25 4" + long_tail + "\n&\n0.25 2\n&\n");
    write_file(dir.file("peaks.txt"), "# " + long_tail + "\n0 0.5" + long_tail + "\n-1 1\n");
    write_file(clean.file("2d.txt"), "0.25 4\n&\n0.25 2\n&\n");
    write_file(clean.file("peaks.txt"), "0 0.5\n-1 1\n");
    const ProgramRun run = run_limited(dir.path(), PAIRFIT4);
    const ProgramRun plain = run_limited(clean.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, plain.out);
    for (const char* name : result_names) {
        EXPECT_EQ(read_file(dir.file(name)), read_file(clean.file(name))) << name;
    }

    // A point and 10 MB of junk without a line end after the last block: one data line
    // that no slice holds.
    write_file(dir.file("2d.txt"), "0.25 4\n&\n0.25 2\n&\n0.25 9" + std::string(10'000'000, 'x'));
    const ProgramRun tail = run_limited(dir.path(), PAIRFIT4);
    EXPECT_EQ(tail.status, 0);
    EXPECT_EQ(tail.err, "2d.txt: warning: the last 1 data line follows the last '&' line, so no "
                        "slice holds them; close every block with a line starting with '&'\n");
    EXPECT_EQ(tail.out, plain.out);
}

TEST(FaultyInputs, HundredThousandBlocksOfOnePoint) {
    constexpr std::size_t blocks = 100'000;
    std::string series;
    for (std::size_t b = 0; b < blocks; ++b) {
        // Intensities that change from block to block, so every fit has work to do.
        series += "0.25 " + std::to_string(1 + (b * 7919) % 1000) + "\n&\n";
    }
    TempDir dir;
    write_file(dir.file("2d.txt"), series);
    write_file(dir.file("peaks.txt"), sound_peaks);
    const ProgramRun run = run_limited(dir.path(), PAIRFIT2, 600);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    expect_complete_results(dir.path(), blocks, 1);
    // The console table too has one line per slice.
    EXPECT_NE(run.out.find("\n99999  "), std::string::npos);
}

TEST(UnwritableResults, StatusFourNamesEachFileAndWritesTheOthers) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), sound_peaks);
    fs::create_directory(dir.file("results.txt"));
    fs::create_symlink("/dev/full", dir.file("dat.txt"));
    const ProgramRun run = run_limited(dir.path(), PAIRFIT2);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "dat.txt: could not be written: No space left on device\n"
                       "results.txt: could not be written: Is a directory\n");
    EXPECT_TRUE(fs::is_directory(dir.file("results.txt")));
    EXPECT_TRUE(fs::is_empty(dir.file("results.txt")));
    for (const char* name : {"sim_a.txt", "sim_b.txt", "res.txt"}) {
        const std::vector<std::size_t> fields = fields_per_line(read_file(dir.file(name)));
        EXPECT_EQ(fields, std::vector<std::size_t>(4, 4)) << name;
    }
}

TEST(FailedRuns, LeaveEarlierResultsByteForByte) {
    struct Case {
        const char* what;
        const char* program;
        std::string peaks;
        std::string series;
        int status;
        const char* message_start;
    };
    const Case cases[] = {
        {"peaks.txt missing", PAIRFIT4, "", small_series, 1, usage_start},
        {"2d.txt a directory", PAIRFIT4, sound_peaks, "", 2, "2d.txt: is a directory"},
        {"short peaks row", PAIRFIT4, "0 0.5\n-1\n", small_series, 2, "peaks.txt: data row 2"},
        {"single value", PAIRFIT2, sound_peaks, "0.5 1\n0.25\n&\n", 2, "2d.txt: block 1, row 2"},
        {"ragged slices", PAIRFIT4, sound_peaks, "0.5 1\n0 2\n&\n0.5 1\n&\n", 2, "2d.txt: slice 1"},
        {"more points", PAIRFIT4, sound_peaks, "0.5 1\n&\n0.5 1\n0 2\n&\n", 2, "2d.txt: slice 1"},
        {"other axis", PAIRFIT2, sound_peaks, "0.5 1\n0 2\n&\n0.5 1\n0.1 2\n&\n", 2,
         "2d.txt: slice 1 has its point 2"},
        {"window in Hz", PAIRFIT4, "150 250\n100 400\n", small_series, 2, "2d.txt: slice 0"},
        {"no block", PAIRFIT4, sound_peaks, "0.5 1\n0 2\n", 2, "2d.txt: warning"},
        {"negative half-width", PAIRFIT2, "0 0.5\n-1 1\n-0.1 0.1\n", small_series, 2,
         "peaks.txt: data row 3"},
        {"nothing positive", PAIRFIT4, sound_peaks, "0.5 -1\n0 -2\n&\n", 3, non_finite_start},
        // run_limited quotes the program: the option follows as a word of its own.
        {"all zero, signed", PAIRFIT4 "' '--signed", sound_peaks, "0.5 0\n0 0\n&\n", 3,
         non_finite_start},
        {"zero half-width", PAIRFIT2, "0 0.5\n-1 1\n0 0.1\n", small_series, 3, non_finite_start},
        // Slices 0 to 2 are fitted before the last one meets an infinite square.
        {"last slice", PAIRFIT4, sound_peaks,
         std::string(small_series) + "0.5 1\n0.25 -1e300\n0 1\n-0.5 1\n&\n", 3, non_finite_start},
    };
    // An empty series stands for a 2d.txt that is a directory, an empty peaks for none.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        if (c.series.empty()) {
            fs::create_directory(dir.file("2d.txt"));
        } else {
            write_file(dir.file("2d.txt"), c.series);
        }
        if (!c.peaks.empty()) {
            write_file(dir.file("peaks.txt"), c.peaks);
        }
        std::map<std::string, std::string> earlier;
        for (const char* name : result_names) {
            earlier[name] = "earlier " + std::string(name) + "\n" + garbage(5000, name[0]);
            write_file(dir.file(name), earlier[name]);
        }
        const std::set<std::string> before = files_in(dir.path());
        const ProgramRun run = run_limited(dir.path(), c.program);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.rfind(c.message_start, 0), 0u) << run.err;
        if (c.what == std::string("all zero, signed")) {
            EXPECT_NE(run.err.find("no |intensity| above 0"), std::string::npos) << run.err;
        }
        if (c.what == std::string("last slice")) {
            EXPECT_NE(run.err.find("\nslice 3: "), std::string::npos) << run.err;
        }
        EXPECT_EQ(files_in(dir.path()), before);
        for (const char* name : result_names) {
            EXPECT_EQ(read_file(dir.file(name)), earlier[name]) << name;
        }
    }
}

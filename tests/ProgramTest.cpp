// The programs run as processes in temporary folders.
#include "../tools/synthetic_series.h"
#include "TestFiles.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

using testfiles::files_in;
using testfiles::read_file;
using testfiles::result_names;
using testfiles::run_in;
using testfiles::small_series;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

const char* const usage_text = "##############################################\n"
                               "##############################################\n"
                               "\n"
                               "ERROR: Not enough input files specified. \n"
                               "USAGE: reads in 'peak.txt' and '2d.txt'  \n"
                               " files by default so they must be in your directory  \n"
                               "\n"
                               " peak.txt format: \n"
                               " peak_A(in ppm) peak_B(in ppm) \n"
                               " peak range to cut in ppm \n"
                               "  \n"
                               " eg): \n"
                               " 0.013 0.234 \n"
                               " -5.2 5.2 \n"
                               "\n"
                               "##############################################\n"
                               "##############################################\n";

const char* const reading_lines = "\n"
                                  "# Reading \"peaks.txt\" file. \n"
                                  "# Reading \"2d.txt\" file. \n";

} // namespace

TEST(Programs, MissingInputGivesTheUsageTextAndStatusOne) {
    for (const char* program : {PAIRFIT4, PAIRFIT2, PAIRFIT2X}) {
        SCOPED_TRACE(program);
        TempDir dir;
        auto run = run_in(dir.path(), program); // both missing: the text once
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, usage_text);
        EXPECT_EQ(run.out, "");

        write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n0.1 0.1\n");
        run = run_in(dir.path(), program);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, usage_text);

        fs::remove(dir.file("peaks.txt"));
        write_file(dir.file("2d.txt"), small_series);
        run = run_in(dir.path(), program);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, usage_text);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>({"2d.txt"}));
    }
}

TEST(Programs, ShortPeaksRowsAreRefused) {
    struct Case {
        const char* program;
        const char* peaks;
        const char* message;
    };
    const Case cases[] = {
        {PAIRFIT4, "",
         "peaks.txt: data row 1 is missing; it must hold the positions peak_A and peak_B (ppm)\n"},
        {PAIRFIT4, "0 0.5\n-1\n",
         "peaks.txt: data row 2 must hold the two limits of the window to cut (ppm), found 1 "
         "value\n"},
        {PAIRFIT2, "0 0.5\n-1 1\n",
         "peaks.txt: data row 3 is missing; it must hold the fixed half-widths LWA and LWB "
         "(ppm)\n"},
        {PAIRFIT2X, "0 0.5\n-1 1\n0.1\n",
         "peaks.txt: data row 3 must hold the fixed half-widths LWA and LWB (ppm), found 1 "
         "value\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " with peaks.txt: " + c.peaks);
        TempDir dir;
        write_file(dir.file("2d.txt"), small_series);
        write_file(dir.file("peaks.txt"), c.peaks);
        const auto run = run_in(dir.path(), c.program);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, c.message);
        EXPECT_EQ(run.out, "\n# Reading \"peaks.txt\" file. \n");
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>({"2d.txt", "peaks.txt"}));
    }
}

TEST(Programs, MalformedSeriesIsRefusedBeforeFitting) {
    const std::pair<const char*, const char*> cases[] = {
        {"0.5 1\n&\n0.5 2\n\n0.0 3\n7.1abc\n&\n",
         "2d.txt: block 2, row 3 must hold a chemical shift (ppm) and an intensity, found 1 "
         "value\n"},
        {"0.5 1\n0.0 2\n&\n0.5 1\n&\n",
         "2d.txt: slice 1 holds 1 points inside the window, fewer than the 2 of slice 0; every "
         "slice must share the ppm axis of the first\n"},
    };
    for (const auto& [series, message] : cases) {
        TempDir dir;
        write_file(dir.file("2d.txt"), series);
        write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
        const auto run = run_in(dir.path(), PAIRFIT4);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, message);
        EXPECT_EQ(run.out, reading_lines);
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>({"2d.txt", "peaks.txt"}));
    }
}

TEST(Programs, BlankRowsAndWindowOrder) {
    // Lines of blanks and lone carriage returns carry no data; limits may come in any order.
    TempDir plain, messy;
    write_file(plain.file("2d.txt"), small_series);
    write_file(plain.file("peaks.txt"), "0 0.5\n-0.75 0.75\n");
    write_file(messy.file("2d.txt"),
               "1.0 1\r\n0.5 9\r\n   \r\n0.25 4\r\n0.0 8\r\n\r\n-0.5 1\r\n&\r\n"
               "1.0 1\n0.5 6\n0.25 4\n \t\n0.0 10\n-0.5 1\n&\n"
               "1.0 1\n0.5 3\n0.25 3\n0.0 12\n-0.5 1\n&\n");
    write_file(messy.file("peaks.txt"), "# positions\n0 0.5 extra\n&\n0.75 -0.75\n");
    const auto a = run_in(plain.path(), PAIRFIT4);
    const auto b = run_in(messy.path(), PAIRFIT4);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(b.status, 0);
    EXPECT_EQ(a.err, "");
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.out.rfind(reading_lines, 0), 0u);
    for (const char* name : result_names) {
        EXPECT_EQ(read_file(plain.file(name)), read_file(messy.file(name))) << name;
    }
    // Points on the limits (1.0 and -0.5 with limits +-1 and -0.5) are outside.
    write_file(plain.file("peaks.txt"), "0 0.5\n1.0 -0.5\n");
    EXPECT_EQ(run_in(plain.path(), PAIRFIT4).status, 0);
    EXPECT_EQ(read_file(plain.file("dat.txt")), "  0.500000   0.750000   0.500000   0.250000 \n"
                                                "  0.250000   0.333333   0.333333   0.250000 \n"
                                                "  0.000000   0.666667   0.833333   1.000000 \n");
}

TEST(Programs, SecondSliceStartsFromTheFirstResult) {
    TempDir dir;
    // Far from both lines the second slice's objective is below the stop threshold, so its
    // fit ends where it starts: at the first slice's result, not at the start vector.
    write_file(dir.file("2d.txt"), "1.0 1\n0.5 9\n0.25 4\n0.0 8\n-0.5 1\n&\n"
                                   "900 0\n901 0\n902 0\n903 0\n904 0\n&\n");
    write_file(dir.file("peaks.txt"), "0.1 0.4\n-1000 1000\n");
    const auto run = run_in(dir.path(), PAIRFIT4);
    ASSERT_EQ(run.status, 0);
    std::istringstream lines(run.out);
    std::string line, first, second;
    while (std::getline(lines, line)) {
        if (line.rfind(" 0  ", 0) == 0) {
            first = line;
        } else if (line.rfind(" 1  ", 0) == 0) {
            second = line;
        }
    }
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.substr(4), "0.200 0.200 1.000 3.000");
    EXPECT_EQ(second.substr(4), first.substr(4));
}

TEST(Programs, EqualLimitsAndEmptySeries) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "0 0.5\n0.25 0.25\n");
    auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("# index MA MB LWA LWB \n"
                           " 0  0.200 0.200 1.000 3.000\n"
                           " 1  0.200 0.200 1.000 3.000\n"
                           " 2  0.200 0.200 1.000 3.000\n\n\n"),
              std::string::npos);
    EXPECT_EQ(read_file(dir.file("dat.txt")), "");

    write_file(dir.file("2d.txt"), "1.0 2.0\n");
    run = run_in(dir.path(), PAIRFIT2);
    EXPECT_EQ(run.status, 2); // no third row for the fixed half-widths
    write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n0.1 0.2\n");
    run = run_in(dir.path(), PAIRFIT2);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(reading_lines) +
                           "# Writing simulation \"sim.txt\" file. \n"
                           "# Writing residuals \"res.txt\" file. \n"
                           "# Writing results \"results.txt\" file. \n"
                           "# Writing scaled original data \"dat.txt\" file. \n"
                           "\n# index MA MB LWA LWB \n\n\n");
    EXPECT_EQ(read_file(dir.file("results.txt")),
              "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot \n");
}

TEST(Programs, NonFiniteFitLeavesExistingResultsUntouched) {
    struct Case {
        const char* program;
        const char* peaks;
        const char* series;
    };
    const Case cases[] = {
        {PAIRFIT4, "0 0.5\n-1 1\n", "0.0 -3\n0.5 -1\n&\n"}, // nothing positive to scale by
        {PAIRFIT2, "0 0.5\n-1 1\n0 0.1\n", small_series},   // zero half-width
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        TempDir dir;
        write_file(dir.file("2d.txt"), c.series);
        write_file(dir.file("peaks.txt"), c.peaks);
        for (const char* name : result_names) {
            write_file(dir.file(name), std::string("earlier ") + name + "\n");
        }
        const auto run = run_in(dir.path(), c.program);
        EXPECT_EQ(run.status, 3);
        EXPECT_EQ(
            run.err.rfind("The objective function generated non-finite outputs\nslice 0: ", 0), 0u)
            << run.err;
        for (const char* name : result_names) {
            EXPECT_EQ(read_file(dir.file(name)), std::string("earlier ") + name + "\n");
        }
    }
}

TEST(Programs, UnwritableResultFileGivesStatusFour) {
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
    fs::create_directory(dir.file("results.txt"));
    fs::create_symlink("/dev/full", dir.file("res.txt"));
    const auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "res.txt: could not be written\nresults.txt: could not be written\n");
    for (const char* name : {"dat.txt", "sim_a.txt", "sim_b.txt"}) {
        const std::string text = read_file(dir.file(name));
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << name;
    }
}

TEST(Programs, InputsThatAreDirectoriesAreRefused) {
    for (const char* input : {"2d.txt", "peaks.txt"}) {
        SCOPED_TRACE(input);
        TempDir dir;
        write_file(dir.file("2d.txt"), small_series);
        write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
        fs::remove(dir.file(input));
        fs::create_directory(dir.file(input));
        const auto run = run_in(dir.path(), PAIRFIT4);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err,
                  std::string(input) + ": cannot be read: it is a directory, not a file\n");
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>({"2d.txt", "peaks.txt"}));
    }
}

TEST(Programs, DataAfterTheLastBlockIsNamedOnStderr) {
    TempDir dir;
    write_file(dir.file("2d.txt"), std::string(small_series) + "1.0 1\n0.5 9\n");
    write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
    const auto with_tail = run_in(dir.path(), PAIRFIT4);
    const std::string results_with_tail = read_file(dir.file("results.txt"));
    EXPECT_EQ(with_tail.status, 0);
    EXPECT_EQ(with_tail.err, "2d.txt: warning: the last 2 data lines follow the last '&' line, "
                             "so no slice holds them; close every block with a line starting "
                             "with '&'\n");

    write_file(dir.file("2d.txt"), small_series);
    const auto without_tail = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(without_tail.err, "");
    EXPECT_EQ(with_tail.out, without_tail.out);
    EXPECT_EQ(results_with_tail, read_file(dir.file("results.txt")));
}

TEST(Programs, GoldenRunsAreReproducedByteForByte) {
    // tests/golden holds one input series; tests/golden/<program>/ the expected output.
    for (const char* program : {PAIRFIT4, PAIRFIT2, PAIRFIT2X}) {
        const std::string name = fs::path(program).filename().string();
        SCOPED_TRACE(name);
        const fs::path input = GOLDEN_DIR;
        const fs::path golden = input / (name == "pairfit2x" ? "pairfit2" : name);
        TempDir dir;
        fs::copy_file(input / "2d.txt", dir.path() / "2d.txt");
        fs::copy_file(input / "peaks.txt", dir.path() / "peaks.txt");
        const auto run = run_in(dir.path(), program);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, read_file((golden / "stdout.txt").string()));
        for (const char* result : result_names) {
            EXPECT_EQ(read_file(dir.file(result)), read_file((golden / result).string())) << result;
        }
    }
}

// Reading and writing on several threads changes no byte: a series large enough to be read in
// three pieces, run with one, two and three threads.
TEST(Programs, EveryThreadCountGivesTheSameBytes) {
    SeriesSettings settings;
    settings.slices = 240;
    settings.points = 2400; // about 14 MB of 2d.txt
    settings.noise = 0.01;
    TempDir inputs;
    ASSERT_TRUE(write_series(settings, inputs.path().string()));
    std::string first_run;
    for (const char* threads : {"1", "2", "3"}) {
        SCOPED_TRACE(std::string("PAIRFIT_THREADS=") + threads);
        TempDir dir;
        fs::copy_file(inputs.file("2d.txt"), dir.file("2d.txt"));
        fs::copy_file(inputs.file("peaks.txt"), dir.file("peaks.txt"));
        setenv("PAIRFIT_THREADS", threads, 1);
        const auto run = run_in(dir.path(), PAIRFIT4);
        unsetenv("PAIRFIT_THREADS");
        ASSERT_EQ(run.status, 0) << run.err;
        std::string everything = run.out + run.err;
        for (const char* name : result_names) {
            everything += read_file(dir.file(name));
        }
        if (first_run.empty()) {
            first_run = everything;
        }
        EXPECT_TRUE(everything == first_run) << "differs from the run on one thread";
    }
}

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
        // The usage text once, then a line for each file that is missing.
        const std::string folder = fs::canonical(dir.path()).string();
        auto run = run_in(dir.path(), program);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, std::string(usage_text) + "2d.txt: not found in " + folder +
                               "\npeaks.txt: not found in " + folder + "\n");
        EXPECT_EQ(run.out, "");

        write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n0.1 0.1\n");
        run = run_in(dir.path(), program);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, std::string(usage_text) + "2d.txt: not found in " + folder + "\n");

        fs::remove(dir.file("peaks.txt"));
        write_file(dir.file("2d.txt"), small_series);
        run = run_in(dir.path(), program);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, std::string(usage_text) + "peaks.txt: not found in " + folder + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>({"2d.txt"}));
    }
}

TEST(Programs, ShortPeaksRowsAreRefused) {
    struct Case {
        const char* program;
        std::string peaks;
        std::string message;
    };
    const Case cases[] = {
        {PAIRFIT4, "",
         "peaks.txt: data row 1 is missing; it must hold the positions peak_A and peak_B (ppm)\n"},
        {PAIRFIT4, "0 0.5\n-1\n",
         "peaks.txt: data row 2 must hold the two limits of the window to cut (ppm), found 1 "
         "value in \"-1\"\n"},
        // Commas, a header and a number beyond double: the line is quoted as read.
        {PAIRFIT4, "7.30,7.22\r\n-1 1\n",
         "peaks.txt: data row 1 must hold the positions peak_A and peak_B (ppm), found 1 value "
         "in \"7.30,7.22\"; commas do not separate numbers, use blanks or tabs\n"},
        {PAIRFIT4, "peak_A peak_B\n0 0.5\n-1 1\n",
         "peaks.txt: data row 1 must hold the positions peak_A and peak_B (ppm), found 0 values "
         "in \"peak_A peak_B\"\n"},
        {PAIRFIT2, "0 0.5\n-1 1\n1e400 0.1 " + std::string(100, 'x') + ",\n",
         "peaks.txt: data row 3 must hold the fixed half-widths LWA and LWB (ppm), found 0 values "
         "in \"1e400 0.1 " +
             std::string(70, 'x') + "...\"; commas do not separate numbers, use blanks or tabs\n"},
        // A negative fixed half-width (zero is left to the fit, which fails with status 3).
        {PAIRFIT2X, "0 0.5\n-1 1\n0.1 -0.05\n",
         "peaks.txt: data row 3 must hold the fixed half-widths LWA and LWB (ppm) above 0, found "
         "LWB -0.05\n"},
        {PAIRFIT2, "0 0.5\n-1 1\n",
         "peaks.txt: data row 3 is missing; it must hold the fixed half-widths LWA and LWB "
         "(ppm)\n"},
        {PAIRFIT2X, "0 0.5\n-1 1\n0.1\n",
         "peaks.txt: data row 3 must hold the fixed half-widths LWA and LWB (ppm), found 1 "
         "value in \"0.1\"\n"},
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
         "value in \"7.1abc\"\n"},
        {"0.5 1\n0.0 2\n&\n0.5 1\n&\n",
         "2d.txt: slice 1 holds 1 points inside the window, fewer than the 2 of slice 0; every "
         "slice must share the ppm axis of the first\n"},
        {"0.5 1\n0.0 2\n&\n0.5 1\n0.0 2\n0.25 3\n&\n",
         "2d.txt: slice 1 holds 3 points inside the window, more than the 2 of slice 0; every "
         "slice must share the ppm axis of the first\n"},
        // Another referencing: 0.25 ppm off where the points lie 0.5 ppm apart. Within 1 % of
        // that spacing (0.004) is the same axis.
        {"0.5 1\n0.0 2\n-0.5 1\n&\n0.5 1\n0.004 2\n-0.5 1\n&\n0.75 1\n0.25 2\n-0.25 1\n&\n",
         "2d.txt: slice 2 has its point 1 inside the window at 0.75 ppm where slice 0 has 0.5 "
         "ppm; every slice must share the ppm axis of the first (within 1 % of the point "
         "spacing)\n"},
        // Limits in Hz, or a first column that is not the chemical shift.
        {"-3 1\n&\n0.5 1\n0.0 2\n&\n",
         "2d.txt: slice 0 holds no point inside the window -1 to 1 ppm (row 2 of peaks.txt); the "
         "points of 2d.txt lie between -3 and 0.5 ppm; give the window in ppm, the unit of the "
         "first column of 2d.txt\n"},
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
               "1.0 1\n0.5 4\n0.25 3\n0.0 12\n-0.5 1\n&\n");
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
    EXPECT_EQ(read_file(plain.file("dat.txt")), "  0.500000   0.750000   0.500000   0.333333 \n"
                                                "  0.250000   0.333333   0.333333   0.250000 \n"
                                                "  0.000000   0.666667   0.833333   1.000000 \n");
}

TEST(Programs, SecondSliceStartsFromTheFirstResult) {
    // On a slice of zeros both amplitudes fall to their bound at once, and with them the pull
    // on the half-widths: these end near where the fit started. After a fitted slice that is
    // elsewhere than after the start vector.
    const std::string lines = "1.0 1\n0.5 9\n0.25 4\n0.0 8\n-0.5 1\n&\n";
    const std::string zeros = "1.0 0\n0.5 0\n0.25 0\n0.0 0\n-0.5 0\n&\n";
    const auto fitted_values = [](const std::string& series) {
        TempDir dir;
        write_file(dir.file("2d.txt"), series);
        write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
        const auto run = run_in(dir.path(), PAIRFIT4);
        EXPECT_EQ(run.status, 0);
        std::istringstream text(run.out);
        std::vector<std::string> values;
        std::string line;
        while (std::getline(text, line)) {
            if (line.rfind(" 0  ", 0) == 0 || line.rfind(" 1  ", 0) == 0) {
                values.push_back(line.substr(4));
            }
        }
        return values;
    };
    const std::vector<std::string> after_lines = fitted_values(lines + zeros);
    const std::vector<std::string> zeros_first = fitted_values(zeros + lines);
    ASSERT_EQ(after_lines.size(), 2u);
    ASSERT_EQ(zeros_first.size(), 2u);
    EXPECT_NE(after_lines[0], "0.200 0.200 1.000 3.000");
    EXPECT_EQ(after_lines[1].substr(0, 12), "0.000 0.000 ");
    EXPECT_EQ(zeros_first[0].substr(0, 12), "0.000 0.000 ");
    EXPECT_NE(after_lines[1], zeros_first[0]);
}

TEST(Programs, EqualLimitsAndEmptySeriesAreRefused) {
    // Nothing to fit is not a result: no start values printed as fitted, no empty files.
    TempDir dir;
    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "0 0.5\n0.25 0.25\n");
    auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, reading_lines);
    EXPECT_EQ(run.err,
              "peaks.txt: warning: peak_A at 0 ppm lies outside the window 0.25 to 0.25 ppm; its "
              "line is fitted from its tail alone and will likely end at a bound\n"
              "peaks.txt: warning: peak_B at 0.5 ppm lies outside the window 0.25 to 0.25 ppm; "
              "its line is fitted from its tail alone and will likely end at a bound\n"
              "2d.txt: slice 0 holds no point inside the window 0.25 to 0.25 ppm (row 2 of "
              "peaks.txt); the points of 2d.txt lie between -0.5 and 1 ppm and no slice has any "
              "point inside; give the window in ppm, the unit of the first column of 2d.txt\n");

    // No block closed by '&', with or without data lines.
    write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n0.1 0.2\n");
    const std::string no_block = "2d.txt: no block of data lines is closed by a line starting "
                                 "with '&', so there is no slice to fit; end the lines of every "
                                 "slice with such a line\n";
    for (const char* series : {"", "# only comments\n\n", "1.0 2.0\n0.5 3\n"}) {
        write_file(dir.file("2d.txt"), series);
        run = run_in(dir.path(), PAIRFIT2);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, reading_lines);
        EXPECT_EQ(run.err.substr(run.err.find("2d.txt: no block")), no_block) << series;
    }
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>({"2d.txt", "peaks.txt"}));
}

TEST(Programs, PeaksOutsideTheWindowAndFitsAtABoundAreNamed) {
    // A peak beyond the window, and slices without line B, whose fit makes B as broad as it
    // may be: the run goes on with one warning after the last slice.
    const std::string lines = "1.0 1\n0.5 9\n0.25 4\n0.0 8\n-0.5 1\n&\n";
    const std::string no_B = "1.0 1\n0.5 0\n0.25 1\n0.0 12\n-0.5 1\n&\n";
    TempDir dir;
    write_file(dir.file("2d.txt"), lines + no_B + no_B + lines + lines + no_B);
    write_file(dir.file("peaks.txt"), "0 0.5\n-1 1\n");
    const auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "warning: 3 of 6 slices ended with a fitted value at a bound (1e-4 or "
                       "10), slices 1-2, 5, parameter LWB; usual causes: an inverted or missing "
                       "line, a peak outside the window, or an intensity spike that set the "
                       "scale factor\n");
    EXPECT_NE(run.out.find("\n 5  0.061 0.266 0.062 10.000\n"), std::string::npos) << run.out;

    write_file(dir.file("2d.txt"), small_series);
    write_file(dir.file("peaks.txt"), "0 1.5\n0.75 -0.75\n0.1 0.1\n");
    const auto outside = run_in(dir.path(), PAIRFIT2);
    EXPECT_EQ(outside.status, 0);
    EXPECT_EQ(outside.err.rfind("peaks.txt: warning: peak_B at 1.5 ppm lies outside the window "
                                "-0.75 to 0.75 ppm; its line is fitted from its tail alone and "
                                "will likely end at a bound\n",
                                0),
              0u)
        << outside.err;
    const std::string results = read_file(dir.file("results.txt"));
    EXPECT_EQ(std::count(results.begin(), results.end(), '\n'), 4);
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
    EXPECT_EQ(run.err, "res.txt: could not be written: No space left on device\n"
                       "results.txt: could not be written: Is a directory\n");
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
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, std::string(input) + ": is a directory, not a file; give a text file\n");
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

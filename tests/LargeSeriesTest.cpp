// A real-sized series through pairfit4: every slice fitted, and all five result files
// complete. The size is SLICESxPOINTS from PAIRFIT_LARGE_SERIES (2000x2000 by default; the
// sanitizer run uses a smaller one). CTest label "large".
#include "../tools/synthetic_series.h"
#include "TestFiles.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

using testfiles::read_file;
using testfiles::run_in;
using testfiles::TempDir;

namespace {

SeriesSettings large_series() {
    SeriesSettings settings;
    settings.slices = 2000;
    settings.points = 2000;
    settings.noise = 0.01;
    if (const char* size = std::getenv("PAIRFIT_LARGE_SERIES")) {
        char times = 0;
        std::istringstream(size) >> settings.slices >> times >> settings.points;
    }
    return settings;
}

} // namespace

TEST(LargeSeries, EveryFileIsComplete) {
    const SeriesSettings settings = large_series();
    ASSERT_GT(settings.slices, 0);
    ASSERT_GT(settings.points, 0);
    TempDir dir;
    ASSERT_TRUE(write_series(settings, dir.path().string()));
    const auto run = run_in(dir.path(), PAIRFIT4);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    std::size_t window_points = 0;
    for (int i = 0; i < settings.points; ++i) {
        const double ppm = ppm_of_point(settings, i);
        window_points += settings.window_low < ppm && ppm < settings.window_high ? 1 : 0;
    }
    // results.txt: a header and one line of 8 fields per slice.
    std::istringstream results(read_file(dir.file("results.txt")));
    std::string line;
    std::size_t result_lines = 0;
    std::getline(results, line);
    while (std::getline(results, line)) {
        std::istringstream fields(line);
        std::string field;
        std::size_t count = 0;
        while (fields >> field) {
            ++count;
            EXPECT_EQ(field.find_first_of("naif"), std::string::npos) << field; // nan, inf
        }
        EXPECT_EQ(count, 8u) << line;
        ++result_lines;
    }
    EXPECT_EQ(result_lines, static_cast<std::size_t>(settings.slices));
    // The matrix files: one line per window point, ppm and one column per slice.
    for (const char* name : {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt"}) {
        SCOPED_TRACE(name);
        std::istringstream matrix(read_file(dir.file(name)));
        std::size_t lines = 0;
        while (std::getline(matrix, line)) {
            std::istringstream fields(line);
            std::string field;
            std::size_t count = 0;
            while (fields >> field) {
                ++count;
            }
            ASSERT_EQ(count, static_cast<std::size_t>(settings.slices) + 1) << "line " << lines;
            ++lines;
        }
        EXPECT_EQ(lines, window_points);
    }
}

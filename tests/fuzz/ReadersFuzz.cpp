// Both readers on a file holding any bytes: read_table and read_series (and fileIn and
// fileIn3 that wrap them) must give, bit for bit, what the reference reading of the same
// text gives, read the file to its end, and count the rows after the last '&' line. The
// programs' windowed reader, on one thread and on pieces split anywhere, must give the
// window points of the reference series, and the point spacing of its first block.
#include "FuzzSupport.h"
#include "ReadSeries.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = fuzzing::write_scratch("input.txt", bytes);
    const std::string input = "file \"" + fuzzing::shown(bytes) + "\"";

    ReadReport report;
    const Table table = read_table(path.c_str(), report);
    FUZZ_CHECK(report.opened && report.read_to_end, input);
    FUZZ_CHECK(report.unfinished_rows == 0, input);
    ReadReport expected_report;
    FUZZ_CHECK(fuzzing::same_table(table, reference::read_table(path.c_str(), expected_report)),
               input);
    FUZZ_CHECK(fuzzing::same_table(fileIn(path.c_str()), table), input);

    const TableSeries series = read_series(path.c_str(), report);
    const TableSeries expected = reference::read_series(path.c_str(), expected_report);
    FUZZ_CHECK(report.opened && report.read_to_end, input);
    FUZZ_CHECK(report.unfinished_rows == expected_report.unfinished_rows,
               input + ": " + std::to_string(report.unfinished_rows) + " unfinished rows, not " +
                   std::to_string(expected_report.unfinished_rows));
    FUZZ_CHECK(series.size() == expected.size(), input);
    for (std::size_t b = 0; b < series.size(); ++b) {
        FUZZ_CHECK(fuzzing::same_table(series[b], expected[b]),
                   input + ": block " + std::to_string(b + 1));
    }
    Row ppm, intensity;
    std::vector<std::size_t> slice_start{0};
    for (const Table& slice : reference::cut_slices(expected, 0.4, 1.6, 1.0)) {
        for (const Row& point : slice) {
            ppm.push_back(point[0]);
            intensity.push_back(point[1]);
        }
        slice_start.push_back(ppm.size());
    }
    for (const unsigned threads : {1u, 3u}) {
        const WindowedSeries windowed =
            read_windowed_series(path.c_str(), 0.4, 1.6, threads, report, 1 + size / 5);
        const std::string case_input = input + " on " + std::to_string(threads) + " threads";
        FUZZ_CHECK(report.opened && report.read_to_end, case_input);
        FUZZ_CHECK(report.unfinished_rows == expected_report.unfinished_rows, case_input);
        FUZZ_CHECK(fuzzing::same_row(windowed.ppm, ppm), case_input);
        FUZZ_CHECK(fuzzing::same_row(windowed.intensity, intensity), case_input);
        FUZZ_CHECK(windowed.slice_start == slice_start, case_input);
        const std::string refusal = reference::check_series(expected);
        FUZZ_CHECK((report.single_value_block == 0) == refusal.empty(), case_input);
        FUZZ_CHECK(refusal.empty() ||
                       refusal.rfind("2d.txt: block " + std::to_string(report.single_value_block) +
                                         ", row " + std::to_string(report.single_value_row) + " ",
                                     0) == 0,
                   case_input + ": " + refusal);
    }

    // The point spacing pairfit-trend reads: the first block's first and last ppm, from the
    // reference block, or the reason it has none.
    const PointSpacing spacing = read_point_spacing(path);
    FUZZ_CHECK(std::isnan(spacing.ppm) != spacing.problem.empty(), input);
    FUZZ_CHECK(spacing.problem.empty() || spacing.problem.rfind(path + ": ", 0) == 0,
               input + ": " + spacing.problem);
    if (!expected.empty()) {
        std::size_t points = 0, single_row = 0;
        double first = 0.0, last = 0.0;
        for (std::size_t r = 0; r < expected[0].size() && single_row == 0; ++r) {
            const Row& row = expected[0][r];
            single_row = row.size() == 1 ? r + 1 : 0;
            if (row.size() >= 2) {
                first = points++ == 0 ? row[0] : first;
                last = row[0];
            }
        }
        const double ppm = points >= 2 ? std::fabs(last - first) / double(points - 1) : NAN;
        if (single_row != 0) {
            FUZZ_CHECK(spacing.problem.rfind(path + ": block 1, row " + std::to_string(single_row) +
                                                 " must hold a chemical shift",
                                             0) == 0,
                       input + ": " + spacing.problem);
        } else if (ppm > 0.0) {
            FUZZ_CHECK(spacing.ppm == ppm, input);
        } else {
            FUZZ_CHECK(!spacing.problem.empty(), input);
        }
    }

    const TableSeries wrapped = fileIn3(path.c_str());
    FUZZ_CHECK(wrapped.size() == series.size(), input);
    for (std::size_t b = 0; b < series.size(); ++b) {
        FUZZ_CHECK(fuzzing::same_table(wrapped[b], series[b]), input);
    }
    return 0;
}

// pairfit4 --noise and --signed as runs in temporary folders: the refusal of a region of too
// few points, the warnings, report.csv's noise columns and misfit status, result files that the
// options leave alone, and the signed fit of the bundled inversion-recovery experiment.
#include "ReadNumbers.h"
#include "TestFiles.h"
#include "synthetic_series.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

using testfiles::read_file;
using testfiles::result_names;
using testfiles::TempDir;
using testfiles::write_file;
namespace fs = std::filesystem;

namespace {

using Outcome = testfiles::RunResult;
const auto run = testfiles::run_command;

std::string pairfit4(const std::string& options = "") {
    return std::string("'") + PAIRFIT4 + "' " + options;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The cells of a CSV line, a quoted cell unquoted.
std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> result(1);
    bool quoted = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            result.emplace_back();
        } else {
            result.back() += c;
        }
    }
    return result;
}

// report.csv's rows after the header, as cells.
std::vector<std::vector<std::string>> report_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream stream(text);
    std::string line;
    std::getline(stream, line);
    while (std::getline(stream, line)) {
        rows.push_back(cells(line));
    }
    return rows;
}

// The series of tools/synthetic_series.h (axis 2.5 to -0.5 ppm, window 0.2 to 2 ppm, lines at 1.2
// and 0.9 ppm) with noise on every point, and from slice 4 on a third line 0.3 ppm below B, a
// fifth of the tallest height. The region 2.1 to 2.5 ppm is free of lines.
void write_series_with_third_line(const fs::path& folder) {
    SeriesSettings settings;
    std::ostringstream series;
    series.precision(12);
    std::uint64_t state = 5;
    const double tallest = settings.amplitude * settings.first_share_A / settings.hwhh_A;
    for (int s = 0; s < 8; ++s) {
        for (int i = 0; i < settings.points; ++i) {
            const double x = ppm_of_point(settings, i);
            series << x << " "
                   << line_value(amplitude_A(settings, s), settings.hwhh_A, settings.peak_A, x) +
                          line_value(amplitude_B(settings, s), settings.hwhh_B, settings.peak_B,
                                     x) +
                          (s >= 4 ? line_value(0.2 * tallest * 0.03, 0.03, 0.6, x) : 0.0) +
                          0.005 * tallest * next_gaussian(state)
                   << "\n";
        }
        series << "&\n";
    }
    write_file((folder / "2d.txt").string(), series.str());
    write_file((folder / "peaks.txt").string(), "1.2 0.9\n0.2 2\n");
}

// Too few points: refused naming the region, the points found and the data's range, with no
// result file touched. Over the window or a peak: warned about, and fitted.
TEST(NoiseOption, RegionIsCheckedAgainstTheDataTheWindowAndThePeaks) {
    TempDir folder;
    write_series_with_third_line(folder.path());
    // Counted from 2d.txt here: slice 0's points strictly inside (2.47, 2.5), and the ppm range.
    std::size_t inside = 0;
    double low = HUGE_VAL, high = -HUGE_VAL;
    std::istringstream lines(read_file(folder.file("2d.txt")));
    for (std::string line; std::getline(lines, line) && line != "&";) {
        const Row row = parse_row(line);
        inside += row[0] > 2.47 && row[0] < 2.5;
        low = std::min(low, row[0]);
        high = std::max(high, row[0]);
    }
    ASSERT_TRUE(inside > 0 && inside < 16) << inside;
    std::vector<std::string> outputs(std::begin(result_names), std::end(result_names));
    outputs.push_back("report.csv");
    for (const std::string& name : outputs) {
        write_file(folder.file(name), "earlier run\n");
    }
    const auto before = testfiles::files_in(folder.path());
    const Outcome refused = run(folder.path(), pairfit4("--noise 2.5 2.47"));
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(contains(refused.err,
                         "--noise 2.47 2.5: slice 0 holds " + std::to_string(inside) + " points"))
        << refused.err;
    EXPECT_TRUE(contains(refused.err,
                         "between " + shortest_text(low) + " and " + shortest_text(high) + " ppm"))
        << refused.err;
    EXPECT_EQ(testfiles::files_in(folder.path()), before);
    for (const std::string& name : outputs) {
        EXPECT_EQ(read_file(folder.file(name)), "earlier run\n") << name;
    }

    const Outcome overlap = run(folder.path(), pairfit4("--noise 1.9 2.5"));
    EXPECT_EQ(overlap.status, 0) << overlap.err;
    EXPECT_TRUE(contains(overlap.err, "--noise 1.9 2.5: warning: the noise region overlaps the "
                                      "window 0.2 to 2 ppm"))
        << overlap.err;
    EXPECT_FALSE(contains(overlap.err, "holds peak")) << overlap.err;
    const Outcome on_peak = run(folder.path(), pairfit4("--noise 1.1 1.3"));
    EXPECT_EQ(on_peak.status, 0) << on_peak.err;
    EXPECT_TRUE(contains(on_peak.err, "the noise region holds peak_A at 1.2 ppm")) << on_peak.err;
    EXPECT_FALSE(contains(on_peak.err, "peak_B")) << on_peak.err;
}

// The five result files are the same with and without --report and --noise. report.csv ends with
// noise and chi2_red, empty without --noise; with it the slices of the third line, and only
// they, get ";misfit" in their status.
TEST(NoiseOption, AddsReportColumnsAndMisfitStatusAndLeavesTheResultFilesAlone) {
    const std::vector<std::string> option_sets = {"", "--report", "--noise 2.1 2.5"};
    std::vector<std::vector<std::string>> files(option_sets.size());
    std::vector<std::string> reports(option_sets.size());
    std::string noise_warnings;
    for (std::size_t k = 0; k < option_sets.size(); ++k) {
        TempDir folder;
        write_series_with_third_line(folder.path());
        const Outcome outcome = run(folder.path(), pairfit4(option_sets[k]));
        ASSERT_EQ(outcome.status, 0) << option_sets[k] << ": " << outcome.err;
        for (const char* name : result_names) {
            files[k].push_back(read_file(folder.file(name)));
            EXPECT_TRUE(files[k].back() == files[0][files[k].size() - 1])
                << option_sets[k] << ": " << name;
        }
        reports[k] = read_file(folder.file("report.csv"));
        noise_warnings = outcome.err;
    }
    EXPECT_TRUE(reports[0].empty());
    for (std::size_t k = 1; k < option_sets.size(); ++k) {
        const std::string header = reports[k].substr(0, reports[k].find('\n'));
        EXPECT_TRUE(ends_with(header, ",scale_factor,noise,chi2_red")) << header;
        const auto rows = report_rows(reports[k]);
        ASSERT_EQ(rows.size(), 8u);
        for (std::size_t s = 0; s < rows.size(); ++s) {
            const std::string& noise = rows[s][rows[s].size() - 2];
            const std::string& chi2_red = rows[s].back();
            double value = 0.0;
            if (k == 1) {
                EXPECT_TRUE(noise.empty() && chi2_red.empty()) << noise << "," << chi2_red;
            } else {
                EXPECT_TRUE(parse_number(noise, value) && value > 0.0) << noise;
                EXPECT_TRUE(parse_number(chi2_red, value) && value > 0.0) << chi2_red;
            }
            EXPECT_EQ(ends_with(rows[s][3], ";misfit"), k == 2 && s >= 4)
                << option_sets[k] << ", slice " << s << ": " << rows[s][3];
        }
    }
    EXPECT_TRUE(contains(noise_warnings, "slices 4-7; usual causes: a third line"))
        << noise_warnings;
}

// The imported experiment (README, "Your first fit") fitted with --signed: every slice settles
// off the bounds.
TEST(SignedOption, InversionRecoveryExperimentSettlesOffTheBounds) {
    TempDir folder;
    const fs::path procno = fs::path(DATA_DIR) / "bruker/inversion_recovery/1/pdata/1";
    const Outcome imported =
        run(folder.path(),
            std::string("'") + PAIRFIT_IMPORT + "' --window 0.76 0.69 '" + procno.string() + "'");
    ASSERT_EQ(imported.status, 0) << imported.err;
    write_file(folder.file("peaks.txt"), "0.7293 0.7176\n0.76 0.69\n");
    const Outcome fitted = run(folder.path(), pairfit4("--signed --report"));
    ASSERT_EQ(fitted.status, 0) << fitted.err;
    EXPECT_FALSE(contains(fitted.err, "bound")) << fitted.err;
    const auto rows = report_rows(read_file(folder.file("report.csv")));
    ASSERT_EQ(rows.size(), 10u);
    for (std::size_t s = 0; s < rows.size(); ++s) {
        EXPECT_EQ(rows[s][3], "settled") << "slice " << s;
    }
}

// Without the options a run still writes the golden files, console included.
TEST(SignedOption, RunWithoutTheOptionsWritesTheGoldenFiles) {
    TempDir folder;
    const fs::path golden = GOLDEN_DIR;
    fs::copy_file(golden / "2d.txt", folder.path() / "2d.txt");
    fs::copy_file(golden / "peaks.txt", folder.path() / "peaks.txt");
    const Outcome outcome = run(folder.path(), pairfit4());
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out == read_file((golden / "pairfit4/stdout.txt").string()));
    for (const char* name : result_names) {
        EXPECT_TRUE(read_file(folder.file(name)) ==
                    read_file((golden / "pairfit4" / name).string()))
            << name;
    }
}

} // namespace

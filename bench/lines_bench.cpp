// lines_bench FOLDER [pairfit-lines options]: the fit stage of pairfit-lines on FOLDER's
// 2d.txt and lines.txt (or the lines A and B of peaks.txt), and, where FOLDER has a
// peaks.txt, the fit stage of pairfit4 on the same file; reading is left out of both timings.
// Prints one line per stage: its name, seconds, slices.
#include "FitSeries.h"
#include "LinesInput.h"
#include "LinesProgram.h"
#include "ReadSeries.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: lines_bench FOLDER [pairfit-lines options]\n";
        return 1;
    }
    const std::string folder = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    const LinesOptions options = parse_lines_options(args);
    const bool has_peaks = std::filesystem::exists(folder + "/peaks.txt");
    std::vector<std::string> warnings;
    PeakSettings peaks;
    if (has_peaks) {
        peaks = read_peak_settings(folder + "/peaks.txt", false, warnings);
    }
    LineFitSettings settings;
    settings.window_lower = options.window_given ? options.window_lower : peaks.window_lower;
    settings.window_upper = options.window_given ? options.window_upper : peaks.window_upper;
    settings.baseline = options.baseline;
    settings.float_ppm = options.float_ppm;
    settings.widths = options.widths;
    settings.positive = options.positive;
    settings.threads = 2;
    if (std::filesystem::exists(folder + "/lines.txt")) {
        for (const LineRow& row : read_lines_file(folder + "/lines.txt", "lines.txt")) {
            settings.lines.push_back(
                {row.name, row.position, row.half_width, row.shape.value_or(options.shape)});
        }
    } else {
        settings.lines = {{"A", peaks.peak_A, std::nullopt, options.shape},
                          {"B", peaks.peak_B, std::nullopt, options.shape}};
    }
    ReadReport report;
    const WindowedSeries series = read_windowed_series(
        (folder + "/2d.txt").c_str(), settings.window_lower, settings.window_upper, 2, report);
    std::cout << "series: " << series.slice_count() << " slices x " << series.points_in(0)
              << " window points, " << settings.lines.size() << " lines" << std::endl;

    auto start = std::chrono::steady_clock::now();
    const LineSeriesFit fit = fit_line_series(series, settings);
    std::cout << "pairfit-lines fit " << seconds_since(start) << " s" << std::endl;
    settings.threads = 1;
    start = std::chrono::steady_clock::now();
    const LineSeriesFit one = fit_line_series(series, settings);
    std::cout << "pairfit-lines fit on one thread " << seconds_since(start) << " s" << std::endl;
    if (has_peaks && settings.lines.size() == 2 && settings.baseline == BaselineKind::none) {
        FitSettings two_lines;
        two_lines.peak_A = peaks.peak_A;
        two_lines.peak_B = peaks.peak_B;
        start = std::chrono::steady_clock::now();
        const SeriesFit reference = fit_series(series, two_lines);
        std::cout << "pairfit4 fit " << seconds_since(start) << " s" << std::endl;
    }
    return 0;
}

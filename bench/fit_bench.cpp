// Timings of the stages of a run on real-sized series: reading 2d.txt, and fitting every
// slice, with fit_series as the programs do and with the reference table path beside it.
// Run: build/bench/fit_bench
#include "FitSeries.h"
#include "ReadSeries.h"
#include "ReferenceFit.h"
#include "synthetic_series.h"

#include <array>
#include <benchmark/benchmark.h>
#include <filesystem>

namespace {

// A temporary folder holding a noisy synthetic series of the given size.
struct SeriesOnDisk {
    explicit SeriesOnDisk(int slices, int points) {
        folder = std::filesystem::temp_directory_path() /
                 ("pairfit-bench-" + std::to_string(slices) + "x" + std::to_string(points));
        std::filesystem::create_directories(folder);
        settings.slices = slices;
        settings.points = points;
        settings.noise = 0.01;
        write_series(settings, folder.string());
    }
    ~SeriesOnDisk() { std::filesystem::remove_all(folder); }
    std::string file(const char* name) const { return (folder / name).string(); }
    SeriesSettings settings;
    std::filesystem::path folder;
};

void ReadSeries(benchmark::State& state) {
    const SeriesOnDisk series(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(fileIn3(series.file("2d.txt").c_str()));
    }
}
BENCHMARK(ReadSeries)->Args({40, 1024})->Args({200, 4096})->Unit(benchmark::kMillisecond);

void ReadWindowedSeries(benchmark::State& state) {
    const SeriesOnDisk series(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        ReadReport report;
        benchmark::DoNotOptimize(read_windowed_series(series.file("2d.txt").c_str(),
                                                      series.settings.window_low,
                                                      series.settings.window_high, 1, report));
    }
}
BENCHMARK(ReadWindowedSeries)->Args({40, 1024})->Args({200, 4096})->Unit(benchmark::kMillisecond);

// The series as the programs read it, fitted by fit_series (a copy per run: it takes the
// series by value).
template <long FreeParams> void FitSeries(benchmark::State& state) {
    const SeriesOnDisk series(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const SeriesSettings& settings = series.settings;
    ReadReport report;
    const WindowedSeries windowed = read_windowed_series(
        series.file("2d.txt").c_str(), settings.window_low, settings.window_high, 1, report);
    FitSettings fit_settings;
    fit_settings.peak_A = settings.peak_A;
    fit_settings.peak_B = settings.peak_B;
    if (FreeParams == 2) {
        fit_settings.fixed_widths = std::array<double, 2>{settings.hwhh_A, settings.hwhh_B};
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(fit_series(windowed, fit_settings));
    }
}
BENCHMARK_TEMPLATE(FitSeries, 4)->Args({40, 1024})->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FitSeries, 2)->Args({40, 1024})->Unit(benchmark::kMillisecond);

// The same fits on the reference table path: a table per slice and dlib's central differences.
template <long FreeParams> void FitSeriesReference(benchmark::State& state) {
    const SeriesOnDisk series(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const SeriesSettings& settings = series.settings;
    const TableSeries raw = fileIn3(series.file("2d.txt").c_str());
    const double scale =
        reference::global_scale_factor(raw, settings.window_low, settings.window_high);
    const TableSeries slices =
        reference::cut_slices(raw, settings.window_low, settings.window_high, scale);
    for (auto _ : state) {
        benchmark::DoNotOptimize(reference::fit_every_slice<FreeParams>(
            slices, settings.peak_A, settings.peak_B, settings.hwhh_A, settings.hwhh_B));
    }
}
BENCHMARK_TEMPLATE(FitSeriesReference, 4)->Args({40, 1024})->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FitSeriesReference, 2)->Args({40, 1024})->Unit(benchmark::kMillisecond);

} // namespace

// Timings of the stages of a run on real-sized series: reading 2d.txt, and fitting every
// slice as the programs do. Run: build/bench/fit_bench
#include "Csa.h"
#include "Fit.h"
#include "fit_series.h"
#include "synthetic_series.h"

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

template <long FreeParams> void FitSeries(benchmark::State& state) {
    const SeriesOnDisk series(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const SeriesSettings& settings = series.settings;
    const TableSeries raw = fileIn3(series.file("2d.txt").c_str());
    const double scale = global_scale_factor(raw, settings.window_low, settings.window_high);
    const TableSeries slices = cut_slices(raw, settings.window_low, settings.window_high, scale);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fit_every_slice<FreeParams>(
            slices, settings.peak_A, settings.peak_B, settings.hwhh_A, settings.hwhh_B));
    }
}
BENCHMARK_TEMPLATE(FitSeries, 4)->Args({40, 1024})->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FitSeries, 2)->Args({40, 1024})->Unit(benchmark::kMillisecond);

} // namespace

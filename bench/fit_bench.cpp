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
        spec.slices = slices;
        spec.points = points;
        spec.noise = 0.01;
        write_series(spec, folder.string());
    }
    ~SeriesOnDisk() { std::filesystem::remove_all(folder); }
    std::string file(const char* name) const { return (folder / name).string(); }
    SeriesSpec spec;
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
    const SeriesSpec& spec = series.spec;
    const TableSeries raw = fileIn3(series.file("2d.txt").c_str());
    const double scale = global_scale_factor(raw, spec.window_low, spec.window_high);
    const TableSeries slices = cut_slices(raw, spec.window_low, spec.window_high, scale);
    for (auto _ : state) {
        benchmark::DoNotOptimize(fit_every_slice<FreeParams>(slices, spec.peak_A, spec.peak_B,
                                                             spec.hwhh_A, spec.hwhh_B));
    }
}
BENCHMARK_TEMPLATE(FitSeries, 4)->Args({40, 1024})->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(FitSeries, 2)->Args({40, 1024})->Unit(benchmark::kMillisecond);

} // namespace

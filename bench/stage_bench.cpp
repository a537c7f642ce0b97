// The stages the programs made fast, each beside its reference (tests/reference) in the same
// run: reading 2d.txt, one evaluation of the slice objective, writing the five result files.
// The series is the folder named by $PAIRFIT_BENCH_SERIES (2d.txt and peaks.txt, as
// bench/run.sh makes them) or, without it, a medium synthetic series in a temporary folder.
// Run through bench/run.sh, which prints the ratios.
#include "Csa.h"
#include "Fit.h"
#include "ReferenceStages.h"
#include "synthetic_series.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

// The series every benchmark works on, prepared once: read, cut to the window, and the
// three fitted tables made as the driver makes them, from the true parameters.
struct Series {
    fs::path folder;
    bool made_here = false;
    double file_bytes = 0.0;
    TableSeries slices;
    TableSeries sim_a;
    TableSeries sim_b;
    TableSeries residuals;
    Table results;
    double peak_A = 0.0;
    double peak_B = 0.0;

    Series() {
        if (const char* named = std::getenv("PAIRFIT_BENCH_SERIES")) {
            folder = named;
        } else {
            folder = fs::temp_directory_path() / "pairfit-stage-bench";
            fs::create_directories(folder);
            write_series(medium_series(), folder.string());
            made_here = true;
        }
        file_bytes = static_cast<double>(fs::file_size(folder / "2d.txt"));
        const Table peaks = fileIn((folder / "peaks.txt").c_str());
        peak_A = peaks.at(0).at(0);
        peak_B = peaks.at(0).at(1);
        const double low = std::min(peaks.at(1).at(0), peaks.at(1).at(1));
        const double high = std::max(peaks.at(1).at(0), peaks.at(1).at(1));
        const TableSeries raw = fileIn3((folder / "2d.txt").c_str());
        slices = cut_slices(raw, low, high, global_scale_factor(raw, low, high));
        for (const Table& slice : slices) {
            Table a, b, r;
            for (const Row& point : slice) {
                const double line_A = lorentzian(0.05, 0.08, peak_A, point[0]);
                const double line_B = lorentzian(0.05, 0.1, peak_B, point[0]);
                a.push_back({point[0], line_A});
                b.push_back({point[0], line_B});
                r.push_back({point[0], (point[1] - line_A) - line_B});
            }
            sim_a.push_back(std::move(a));
            sim_b.push_back(std::move(b));
            residuals.push_back(std::move(r));
            results.push_back({0.05, 0.05, 0.08, 0.1, 1.0, 1.0, 0.01});
        }
    }
    ~Series() {
        std::error_code ignored;
        fs::remove_all(folder / "written", ignored);
        if (made_here) {
            fs::remove_all(folder, ignored);
        }
    }
    std::string series_file() const { return (folder / "2d.txt").string(); }
};

const Series& series() {
    static const Series prepared;
    return prepared;
}

template <typename Reader> void read_2d(benchmark::State& state, Reader read) {
    const std::string file = series().series_file();
    for (auto _ : state) {
        ReadReport report;
        TableSeries read_in = read(file.c_str(), report);
        benchmark::DoNotOptimize(read_in);
        state.PauseTiming(); // freeing the series is not part of reading it
        read_in = TableSeries();
        state.ResumeTiming();
    }
    state.counters["bytes"] =
        benchmark::Counter(series().file_bytes * state.iterations(), benchmark::Counter::kIsRate);
}
void Read_fast(benchmark::State& state) {
    read_2d(state, read_series);
}
void Read_reference(benchmark::State& state) {
    read_2d(state, reference::read_series);
}

template <typename MakeObjective>
void evaluate_objective(benchmark::State& state, MakeObjective make_objective) {
    const TableSeries& slices = series().slices;
    const int slice_index = 0;
    const std::complex<double> peak_A = series().peak_A;
    const std::complex<double> peak_B = series().peak_B;
    std::complex<double> MA = 0.0, MB = 0.0;
    double LWA = 0.0, LWB = 0.0;
    const auto objective = make_objective(slices, slice_index, peak_A, peak_B, MA, MB, LWA, LWB);
    const params_type<4> p = {0.05, 0.05, 0.08, 0.1};
    for (auto _ : state) {
        benchmark::DoNotOptimize(objective(p));
    }
    state.counters["per_point"] =
        benchmark::Counter(static_cast<double>(slices.at(0).size()) * state.iterations(),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
void Objective_fast(benchmark::State& state) {
    evaluate_objective(state, [](auto&... state) { return make_slice_objective<4>(state...); });
}
void Objective_reference(benchmark::State& state) {
    evaluate_objective(state,
                       [](auto&... state) { return reference::make_slice_objective<4>(state...); });
}

// Writes into folder/written, the working directory while the files are written.
template <typename Writer> void write_results(benchmark::State& state, Writer write) {
    const Series& s = series();
    const fs::path written = s.folder / "written";
    fs::create_directories(written);
    const fs::path here = fs::current_path();
    fs::current_path(written);
    double bytes = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(s.slices, s.sim_a, s.sim_b, s.residuals, s.results));
    }
    for (const auto& entry : fs::directory_iterator(written)) {
        bytes += static_cast<double>(entry.file_size());
    }
    fs::current_path(here);
    state.counters["bytes"] =
        benchmark::Counter(bytes * state.iterations(), benchmark::Counter::kIsRate);
}
void Write_fast(benchmark::State& state) {
    write_results(state, write_result_files);
}
void Write_reference(benchmark::State& state) {
    write_results(state, reference::write_result_files);
}

// Wall-clock rates; whole-file stages run once per repetition, three repetitions each.
BENCHMARK(Read_fast)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(Read_reference)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime();
BENCHMARK(Objective_fast)->Unit(benchmark::kMicrosecond)->Repetitions(3)->UseRealTime();
BENCHMARK(Objective_reference)->Unit(benchmark::kMicrosecond)->Repetitions(3)->UseRealTime();
BENCHMARK(Write_fast)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(Write_reference)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime();

} // namespace

// The stages of the programs' path, each beside its reference (tests/reference) in the same
// run: reading 2d.txt (read_windowed_series against reading every block whole and cutting it),
// one evaluation of the slice objective (WindowObjective against a model table built afresh),
// writing the five result files (write_results of a SeriesFit against stream writing of the
// curve tables).
// The series is the folder named by $PAIRFIT_BENCH_SERIES (2d.txt and peaks.txt, as
// bench/run.sh makes them) or, without it, a medium synthetic series in a temporary folder.
// Run through bench/run.sh, which prints the ratios.
#include "FitSeries.h"
#include "Program.h"
#include "ReferenceStages.h"
#include "SliceFit.h"
#include "synthetic_series.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

// The series every benchmark works on, prepared once: read, cut to the window, and fitted
// with the same parameters in every slice (a SeriesFit for the programs' writer, the three
// curve tables as the reference driver makes them).
struct Series {
    fs::path folder;
    bool made_here = false;
    double file_bytes = 0.0;
    double window_lower = 0.0;
    double window_upper = 0.0;
    SeriesFit fit;
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
        window_lower = low;
        window_upper = high;
        const TableSeries raw = fileIn3((folder / "2d.txt").c_str());
        const double scale_factor = reference::global_scale_factor(raw, low, high);
        slices = reference::cut_slices(raw, low, high, scale_factor);
        fit.settings.peak_A = peak_A;
        fit.settings.peak_B = peak_B;
        fit.scale_factor = scale_factor;
        fit.scaled = reference::windowed_series_of(raw, slices);
        SliceFit fitted;
        fitted.MA = 0.05;
        fitted.MB = 0.05;
        fitted.LWA = 0.08;
        fitted.LWB = 0.1;
        fitted.integ_A = fitted.integ_B = 1.0;
        fitted.residual_square_tot = 0.01;
        fit.slices.assign(slices.size(), fitted);
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
        auto read_in = read(file.c_str());
        benchmark::DoNotOptimize(read_in);
        state.PauseTiming(); // freeing the series is not part of reading it
        read_in = decltype(read_in)();
        state.ResumeTiming();
    }
    state.counters["bytes"] =
        benchmark::Counter(series().file_bytes * state.iterations(), benchmark::Counter::kIsRate);
}
// The programs read 2d.txt on the threads of thread_count(), cutting the window as they go.
void Read_fast(benchmark::State& state) {
    read_2d(state, [](const char* name) {
        ReadReport report;
        return read_windowed_series(name, series().window_lower, series().window_upper,
                                    thread_count(), report);
    });
}
// Every block read whole, then cut into slices.
void Read_reference(benchmark::State& state) {
    read_2d(state, [](const char* name) {
        ReadReport report;
        const TableSeries raw = reference::read_series(name, report);
        const double low = series().window_lower, high = series().window_upper;
        return reference::cut_slices(raw, low, high,
                                     reference::global_scale_factor(raw, low, high));
    });
}

template <typename Objective>
void evaluate_objective(benchmark::State& state, const Objective& objective) {
    const params_type<4> p = {0.05, 0.05, 0.08, 0.1};
    for (auto _ : state) {
        benchmark::DoNotOptimize(objective(p));
    }
    state.counters["per_point"] =
        benchmark::Counter(static_cast<double>(series().slices.at(0).size()) * state.iterations(),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// The model state both objectives refer to.
struct ModelState {
    int slice_index = 0;
    std::complex<double> peak_A = series().peak_A;
    std::complex<double> peak_B = series().peak_B;
    std::complex<double> MA = 0.0, MB = 0.0;
    double LWA = 0.0, LWB = 0.0;
    LinePairValues values{series().peak_A, series().peak_B, 0.0, 0.0, 0.0, 0.0};
};
void Objective_fast(benchmark::State& state) {
    ModelState m;
    const WindowObjective<4> objective(series().fit.scaled, m.slice_index, m.values);
    evaluate_objective(state, objective);
}
void Objective_reference(benchmark::State& state) {
    ModelState m;
    evaluate_objective(state,
                       reference::make_slice_objective<4>(series().slices, m.slice_index, m.peak_A,
                                                          m.peak_B, m.MA, m.MB, m.LWA, m.LWB));
}
// The gradient the minimiser asks for at every step: the batched probes against dlib's one
// evaluation per probe of the same objective.
void Derivative_fast(benchmark::State& state) {
    ModelState m;
    const WindowObjective<4> objective(series().fit.scaled, m.slice_index, m.values);
    const params_type<4> p = {0.05, 0.05, 0.08, 0.1};
    for (auto _ : state) {
        benchmark::DoNotOptimize(objective.central_differences(p, 1e-7));
    }
}
void Derivative_reference(benchmark::State& state) {
    ModelState m;
    const WindowObjective<4> objective(series().fit.scaled, m.slice_index, m.values);
    const auto derivative = dlib::derivative(objective, 1e-7);
    const params_type<4> p = {0.05, 0.05, 0.08, 0.1};
    for (auto _ : state) {
        benchmark::DoNotOptimize(derivative(p));
    }
}

// Writes into folder/written, the working directory while the files are written.
template <typename Writer> void write_files(benchmark::State& state, Writer write) {
    const Series& s = series();
    const fs::path written = s.folder / "written";
    fs::create_directories(written);
    const fs::path here = fs::current_path();
    fs::current_path(written);
    double bytes = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(s));
    }
    for (const auto& entry : fs::directory_iterator(written)) {
        bytes += static_cast<double>(entry.file_size());
    }
    fs::current_path(here);
    state.counters["bytes"] =
        benchmark::Counter(bytes * state.iterations(), benchmark::Counter::kIsRate);
}
void Write_fast(benchmark::State& state) {
    write_files(state, [](const Series& s) { return write_results(s.fit, thread_count()); });
}
void Write_reference(benchmark::State& state) {
    write_files(state, [](const Series& s) {
        return reference::write_result_files(s.slices, s.sim_a, s.sim_b, s.residuals, s.results);
    });
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
BENCHMARK(Derivative_fast)->Unit(benchmark::kMicrosecond)->Repetitions(3)->UseRealTime();
BENCHMARK(Derivative_reference)->Unit(benchmark::kMicrosecond)->Repetitions(3)->UseRealTime();
BENCHMARK(Write_fast)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(Write_reference)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseRealTime();

} // namespace

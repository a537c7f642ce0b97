// The programs' slice objective allocates nothing on the heap, in its evaluations and in its
// batched central differences, and evaluates to the same bits as the reference objective that
// builds its model table afresh. This binary replaces the global operator new to count
// allocations.
#include "ReferenceStages.h"
#include "SliceFit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

namespace {
std::atomic<long> allocations{0};
}

[[gnu::noinline]] void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
// Not inlined, so that the compiler does not pair a new-expression with free().
[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

// Slices of `points` points on one axis, with two lines and some ripple.
TableSeries series_of(int slices, int points) {
    TableSeries series;
    for (int s = 0; s < slices; ++s) {
        Table slice;
        for (int i = 0; i < points; ++i) {
            const double ppm = 2.0 - 1.5 * i / points;
            slice.push_back({ppm, lorentzian(0.1 + 0.01 * s, 0.08, 1.2, ppm) +
                                      lorentzian(0.2, 0.1, 0.9, ppm) + 0.001 * (i % 7)});
        }
        series.push_back(slice);
    }
    return series;
}

struct ModelState {
    int slice_index = 0;
    std::complex<double> peak_A = 1.2, peak_B = 0.9;
    std::complex<double> MA = 0.0, MB = 0.0;
    double LWA = 0.08, LWB = 0.1;
};

} // namespace

TEST(WindowObjective, EvaluationsAndCentralDifferencesAllocateNothing) {
    const TableSeries slices = series_of(4, 500);
    const WindowedSeries series = reference::windowed_series_of(slices, slices);
    ModelState state;
    LinePairValues values{1.2, 0.9, 0.0, 0.0, 0.08, 0.1};
    const WindowObjective<4> four(series, state.slice_index, values);
    const WindowObjective<2> two(series, state.slice_index, values);
    const params_type<4> p4 = {0.1, 0.2, 0.07, 0.11};
    const params_type<2> p2 = {0.1, 0.2};
    const long before = allocations;
    double sum = 0.0;
    for (state.slice_index = 0; state.slice_index < 4; ++state.slice_index) {
        for (int k = 0; k < 10; ++k) {
            sum += four(p4) + two(p2);
            const params_type<4> d4 = four.central_differences(p4, 1e-7);
            const params_type<2> d2 = two.central_differences(p2, 1e-7);
            sum += d4(0) * 0.0 + d2(1) * 0.0;
        }
    }
    EXPECT_EQ(allocations - before, 0);
    EXPECT_GT(sum, 0.0);
}

TEST(WindowObjective, SameBitsAsTheReferenceObjective) {
    // Slices of different lengths, one empty, each evaluated in turn.
    TableSeries slices = series_of(3, 300);
    slices.push_back(series_of(1, 450)[0]);
    slices.push_back(series_of(1, 20)[0]);
    slices.push_back({});
    const WindowedSeries series = reference::windowed_series_of(slices, slices);
    ModelState fast_state, plain_state;
    LinePairValues fast_values{1.2, 0.9, 0.0, 0.0, 0.08, 0.1};
    const WindowObjective<4> fast(series, fast_state.slice_index, fast_values);
    const auto plain = reference::make_slice_objective<4>(
        slices, plain_state.slice_index, plain_state.peak_A, plain_state.peak_B, plain_state.MA,
        plain_state.MB, plain_state.LWA, plain_state.LWB);
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> parameter(1e-4, 10.0);
    for (int i = 0; i < 3000; ++i) {
        const int index = static_cast<int>(random() % slices.size());
        fast_state.slice_index = plain_state.slice_index = index;
        const params_type<4> p = {parameter(random), parameter(random), parameter(random),
                                  parameter(random)};
        const double fast_value = fast(p);
        const double plain_value = plain(p);
        ASSERT_EQ(std::memcmp(&fast_value, &plain_value, sizeof(double)), 0)
            << "slice " << index << ": " << fast_value << " vs " << plain_value;
        ASSERT_EQ(fast_values.MA, plain_state.MA.real());
        ASSERT_EQ(fast_values.LWB, plain_state.LWB);
    }
}

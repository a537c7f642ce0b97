// One slice fit on tiny inputs, with four and with two free parameters, as fit_series runs
// it: WindowObjective and fit_slice with its batched central differences, from a start inside
// the box; and the same fit of the reference table objective with dlib's own central
// differences, which must end at the same bits. The input is text:
//   peak_A peak_B
//   LWA LWB          (the fixed half-widths of the two-parameter fit)
//   MA MB LWA LWB    (the start; clamped into the box as every driver start is)
//   ppm intensity    (the slice, one point a line, at most max_points)
// Rows missing or short take the driver's values. A fit either ends inside the box at a
// finite objective or throws dlib::error for non-finite values, as the reference fit does;
// anything else is a finding.
#include "FuzzSupport.h"

#include "SliceFit.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t max_points = 32;
constexpr double lower_bound = 1e-4;
constexpr double upper_bound = 10.0;

struct SliceCase {
    double peak_A = 0.0;
    double peak_B = 0.5;
    double fixed_LWA = 0.1;
    double fixed_LWB = 0.1;
    double start[4] = {0.2, 0.2, 1.0, 3.0};
    Table points;
};

SliceCase read_case(const std::string& bytes) {
    SliceCase c;
    std::size_t row_index = 0;
    fuzzing::for_each_line(bytes, [&](const std::string& line) {
        const Row row = parse_row(line);
        if (row_index == 0 && row.size() >= 2) {
            c.peak_A = row[0];
            c.peak_B = row[1];
        } else if (row_index == 1 && row.size() >= 2) {
            c.fixed_LWA = row[0];
            c.fixed_LWB = row[1];
        } else if (row_index == 2) {
            for (std::size_t i = 0; i < row.size() && i < 4; ++i) {
                c.start[i] = std::clamp(row[i], lower_bound, upper_bound);
            }
        } else if (row_index > 2 && row.size() >= 2 && c.points.size() < max_points) {
            c.points.push_back({row[0], row[1]});
        }
        ++row_index;
    });
    return c;
}

// The fitted vector, or the minimiser's error.
struct SliceResult {
    bool failed = false;
    std::string error;
    std::vector<double> x;
    unsigned long iterations = 0;
    bool settled = false;
};

template <long FreeParams, typename Fit> SliceResult fit_from_start(const SliceCase& c, Fit fit) {
    params_type<FreeParams> x;
    for (long i = 0; i < FreeParams; ++i) {
        x(i) = c.start[i];
    }
    SliceResult result;
    try {
        result.settled = fit(x, result.iterations);
    } catch (const dlib::error& e) {
        result.failed = true;
        result.error = e.what();
    }
    result.x.assign(x.begin(), x.end());
    return result;
}

template <long FreeParams> void fit_one_slice(const SliceCase& c, const std::string& input) {
    WindowedSeries series;
    for (const Row& point : c.points) {
        series.ppm.push_back(point[0]);
        series.intensity.push_back(point[1]);
    }
    series.slice_start.push_back(series.ppm.size());
    const TableSeries slices = {c.points};
    const int slice_index = 0;
    const std::complex<double> peak_A = c.peak_A;
    const std::complex<double> peak_B = c.peak_B;
    std::complex<double> table_MA = 0.0;
    std::complex<double> table_MB = 0.0;
    double table_LWA = c.fixed_LWA;
    double table_LWB = c.fixed_LWB;
    LinePairValues state{c.peak_A, c.peak_B, 0.0, 0.0, c.fixed_LWA, c.fixed_LWB};
    const WindowObjective<FreeParams> objective(series, slice_index, state);
    const auto table = reference::make_slice_objective<FreeParams>(
        slices, slice_index, peak_A, peak_B, table_MA, table_MB, table_LWA, table_LWB);
    const std::string what = input + " with " + std::to_string(FreeParams) + " free parameters";

    const SliceResult fast =
        fit_from_start<FreeParams>(c, [&](params_type<FreeParams>& x, unsigned long& iterations) {
            return fit_slice<FreeParams>(objective, x, iterations);
        });
    const SliceResult plain =
        fit_from_start<FreeParams>(c, [&](params_type<FreeParams>& x, unsigned long& iterations) {
            return reference::fit_slice<FreeParams>(table, x, iterations);
        });
    FUZZ_CHECK(fast.failed == plain.failed && fast.error == plain.error, what + ": " + fast.error);
    FUZZ_CHECK(fast.x.size() == plain.x.size() &&
                   std::memcmp(fast.x.data(), plain.x.data(), fast.x.size() * sizeof(double)) == 0,
               what + ": " + fuzzing::shown(Row(fast.x)) + " against the reference fit's " +
                   fuzzing::shown(Row(plain.x)));
    FUZZ_CHECK(fast.iterations == plain.iterations && fast.settled == plain.settled, what);
    if (fast.failed) {
        FUZZ_CHECK(fast.error == "The objective function generated non-finite outputs",
                   what + ": " + fast.error);
        return;
    }
    params_type<FreeParams> x;
    for (long i = 0; i < FreeParams; ++i) {
        x(i) = fast.x[i];
        FUZZ_CHECK(lower_bound <= x(i) && x(i) <= upper_bound,
                   what + ": parameter " + std::to_string(i) + " = " + std::to_string(x(i)));
    }
    FUZZ_CHECK(std::isfinite(objective(x)), what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const SliceCase c = read_case(bytes);
    const std::string input = "input \"" + fuzzing::shown(bytes) + "\"";
    fit_one_slice<4>(c, input);
    fit_one_slice<2>(c, input);
    return 0;
}

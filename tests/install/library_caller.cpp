// A program outside the project that uses the installed library: it must build against the
// installed headers alone (no dlib) and link the installed static library alone.
// library_caller FOLDER fits FOLDER's peaks.txt and 2d.txt as pairfit4 --report does and writes
// the text of report.csv to FOLDER/caller-report.csv, for the test to compare with the program's.
#include <pairfit/Csa.h>
#include <pairfit/pairfit.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

int fit_folder(const std::string& folder) {
    std::vector<std::string> warnings;
    const PeakSettings peaks = read_peak_settings(folder + "/peaks.txt", false, warnings);
    ReadReport report;
    WindowedSeries series = read_windowed_series((folder + "/2d.txt").c_str(), peaks.window_lower,
                                                 peaks.window_upper, 1, report);
    check_fit_series(series, report, peaks, warnings);
    FitSettings settings;
    settings.peak_A = peaks.peak_A;
    settings.peak_B = peaks.peak_B;
    settings.with_report = true;
    const SeriesFit fit = fit_series(std::move(series), settings);
    for (const SliceFit& slice : fit.slices) {
        if (slice.end != SliceEnd::settled) {
            std::fprintf(stderr, "fit_series: a slice did not settle: %s\n",
                         slice.end_message.c_str());
            return 1;
        }
    }
    std::ofstream(folder + "/caller-report.csv") << format_report(fit, {});
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc > 1 && fit_folder(argv[1]) != 0) {
            return 1;
        }
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    // norm_vec divides every element by the sum of all: 1, 1, 2 become 1/4, 1/4, 1/2.
    std::complex<double> values[] = {{1.0, 0.0}, {1.0, 0.0}, {2.0, 0.0}};
    norm_vec(3, values);
    const double expected[] = {0.25, 0.25, 0.5};
    for (int i = 0; i < 3; ++i) {
        if (std::abs(values[i] - std::complex<double>(expected[i], 0.0)) > 1e-15) {
            std::fprintf(stderr, "norm_vec: element %d is %g\n", i, values[i].real());
            return 1;
        }
    }
    // genFFT3 appends one row {frequency, real, imaginary} per grid point, N - 1 of them.
    params acquisition;
    acquisition.np = 8;
    acquisition.sw = 800.0;
    const std::vector<std::complex<double>> fid(8, {1.0, 0.0});
    Table rows;
    genFFT3(acquisition, fid.data(), rows);
    if (rows.size() != 7 || rows[0].size() != 3) {
        std::fprintf(stderr, "genFFT3: %zu rows\n", rows.size());
        return 1;
    }
    // The line model at its own position: M*w / (1 + w^2 * 0) is M*w exactly.
    if (lorentzian_at(1.25, 1.25, 16.0, 0.75) != 0.75) {
        std::fprintf(stderr, "lorentzian_at: wrong height at the position\n");
        return 1;
    }
    return 0;
}

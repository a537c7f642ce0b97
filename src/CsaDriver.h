// The run of the programs, step by step: read the peaks, read and cut the series, fit every
// slice, write the results. A detail of the programs, not part of the library's interface.
#pragma once

#include "Csa.h"
#include "CsaResultFile.h"
#include "Fit.h"

#include <complex>
#include <iostream>
#include <string>
#include <vector>

// Fits every slice in file order, each fit starting from the previous slice's result in x,
// prints its line of the console table and appends its row of results.txt to results_table:
// MA, MB, LWA, LWB, integ_A, integ_B, residual_square_tot; and, when `with_report`, its row of
// report.csv to report_rows. The model state and slice_index are the run's, read and written
// by the objective on every evaluation. On a non-finite objective the message is on standard
// error and the exit status is returned. After the last slice, a warning names the slices
// whose fit ended at a bound.
template <long FreeParams>
int fit_every_slice(const WindowedSeries& series, int& slice_index, params_type<FreeParams>& x,
                    const std::complex<double>& peak_A, const std::complex<double>& peak_B,
                    std::complex<double>& MA, std::complex<double>& MB, double& LWA, double& LWB,
                    Table& results_table, bool with_report, std::vector<ReportRow>& report_rows) {
    constexpr bool half_widths_free = FreeParams == 4;
    const WindowObjective<FreeParams> slice_objective(series, slice_index, peak_A, peak_B, MA, MB,
                                                      LWA, LWB);
    results_table.reserve(series.slice_count());
    BoundHits bound_hits;
    for (slice_index = 0; slice_index < static_cast<int>(series.slice_count()); ++slice_index) {
        bool settled = true;
        unsigned long iterations = 0;
        try {
            settled = fit_slice<FreeParams>(slice_objective, x, iterations);
        } catch (const dlib::error& e) {
            std::cerr << non_finite_fit_message(e.what(), slice_index, half_widths_free)
                      << std::endl;
            return exit_non_finite_fit;
        }
        if (!settled) {
            std::cerr << iteration_limit_warning(slice_index) << std::endl;
        }
        // The last evaluation may have been a derivative probe beside the result.
        MA = {x(0), 0.0};
        MB = {x(1), 0.0};
        if constexpr (half_widths_free) {
            LWA = x(2);
            LWB = x(3);
        }
        print_slice_line(std::cout, slice_index, MA.real(), MB.real(), LWA, LWB);
        note_bound_hits(bound_hits, slice_index, {MA.real(), MB.real(), LWA, LWB}, FreeParams);

        double integ_A = 0.0;
        double integ_B = 0.0;
        double residual_square_tot = 0.0;
        const std::size_t first = series.slice_start[slice_index];
        const std::size_t end = series.slice_start[slice_index + 1];
        for (std::size_t i = first; i < end; ++i) {
            const double ppm = series.ppm[i];
            const double a = lorentzian(MA.real(), LWA, peak_A.real(), ppm);
            const double b = lorentzian(MB.real(), LWB, peak_B.real(), ppm);
            integ_A += a;
            integ_B += b;
            const double difference = (b + a) - series.intensity[i];
            residual_square_tot += difference * difference;
        }
        results_table.push_back(
            {MA.real(), MB.real(), LWA, LWB, integ_A, integ_B, residual_square_tot});
        if (with_report) {
            report_rows.push_back(
                {report_slice(series.ppm.data() + first, series.intensity.data() + first,
                              end - first, peak_A.real(), peak_B.real(), MA.real(), MB.real(), LWA,
                              LWB, static_cast<int>(FreeParams)),
                 settled, iterations});
        }
    }
    const std::string warning = bound_warning(bound_hits, series.slice_count());
    if (!warning.empty()) {
        std::cerr << warning << std::endl;
    }
    return exit_success;
}

// `options` adds report.csv and its z values; by default the run writes the five files only.
template <long FreeParams> int run_series_fit(const RunOptions& options) {
    static_assert(FreeParams == 4 || FreeParams == 2, "two or four free parameters");
    constexpr bool half_widths_free = FreeParams == 4;

    if (report_missing_inputs()) {
        return exit_missing_input;
    }
    const unsigned threads = thread_count();

    params_type<FreeParams> x; // start point of each fit, then its result
    if constexpr (half_widths_free) {
        x = 0.2, 0.2, 1.0, 3.0; // MA, MB, LWA, LWB
    } else {
        x = 0.2, 0.2; // MA, MB
    }
    // Model state: read and written by the slice objective on every evaluation.
    std::complex<double> peak_A;
    std::complex<double> peak_B;
    std::complex<double> MA = 0.0;
    std::complex<double> MB = 0.0;
    double LWA = 0.0;
    double LWB = 0.0;

    std::cout << std::endl;
    std::cout << "# Reading \"peaks.txt\" file. " << std::endl;
    PeakSettings settings;
    if (const int status = read_peak_settings(half_widths_free ? 2 : 3, settings)) {
        return status;
    }
    peak_A = {settings.peak_A, 0.0};
    peak_B = {settings.peak_B, 0.0};
    if constexpr (!half_widths_free) {
        LWA = settings.LWA;
        LWB = settings.LWB;
    }

    WindowedSeries series;
    double scale_factor = 0.0;
    if (const int status = read_and_cut_series(settings, threads, series, scale_factor)) {
        return status;
    }
    if (!options.z_name.empty()) {
        const std::string z_problem =
            check_z_count(options.z, options.z_name, series.slice_count());
        if (!z_problem.empty()) {
            std::cerr << z_problem << std::endl;
            return exit_malformed_input;
        }
    }

    announce_result_files(options.report);
    int slice_index = 0;
    Table results_table;
    std::vector<ReportRow> report_rows;
    if (const int status =
            fit_every_slice<FreeParams>(series, slice_index, x, peak_A, peak_B, MA, MB, LWA, LWB,
                                        results_table, options.report, report_rows)) {
        return status;
    }
    std::cout << std::endl;
    std::cout << std::endl;

    const WorkingDirectoryLock lock; // a run writing in this folder finishes first
    int status = write_results(series, results_table, peak_A.real(), peak_B.real(), threads);
    if (options.report &&
        !write_text_file("report.csv",
                         format_report(report_rows, options.z.values, scale_factor))) {
        std::cerr << "report.csv: could not be written" << std::endl;
        status = exit_write_failed;
    }
    return status;
}

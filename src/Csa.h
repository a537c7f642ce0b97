// The series fitter's driver and the spectral utility library.
#pragma once

#include "Read.h"

#include <complex>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------
// Series fitter
// ---------------------------------------------------------------------------------------

// Exit statuses, the same for every program.
constexpr int exit_success = 0;
constexpr int exit_missing_input = 1;   // 2d.txt or peaks.txt cannot be opened: usage text
constexpr int exit_malformed_input = 2; // a row too short for its use, or ragged slices
constexpr int exit_non_finite_fit = 3;  // the objective met non-finite values
constexpr int exit_write_failed = 4;    // a result file could not be written

// The whole run: reads peaks.txt and 2d.txt from the working directory, fits every slice
// with two Lorentzian lines and writes the five result files. FreeParams is 4 (amplitudes
// and half-widths fitted) or 2 (half-widths fixed by the third row of peaks.txt).
template <long FreeParams> int pairfit_main();

// The largest intensity strictly inside (window_lower, window_upper) over the whole series,
// or 0.0 when none is above 0. Intensities keep their sign.
double global_scale_factor(const TableSeries& raw_series, double window_lower,
                           double window_upper);

// One table per block, in order and of the same count: the {ppm, intensity/scale_factor}
// rows strictly inside the window, in file order. Rows without values are skipped.
TableSeries cut_slices(const TableSeries& raw_series, double window_lower, double window_upper,
                       double scale_factor);

// Input checks. Each returns an empty string for sound input, otherwise a one-line message
// that names the file, the row and what it must hold.
std::string check_peaks(const Table& peaks, std::size_t rows_needed);
std::string check_series(const TableSeries& raw_series);
// Every slice must hold at least as many window points as the first, which gives the
// row count of the matrix result files.
std::string check_slice_lengths(const TableSeries& slices);

// One line of the console table: index, then the four parameters with 3 decimals.
void print_slice_line(std::ostream& out, int index, double p1, double p2, double p3,
                      double p4);

// One data line of results.txt.
void write_results_line(std::ostream& out, std::size_t index, const Row& results_row);

// Writes results.txt, then dat.txt, sim_a.txt, sim_b.txt and res.txt (points down, slices
// across) into the working directory. Returns the names of the files that could not be
// written, in the order they were opened.
std::vector<std::string> write_result_files(const TableSeries& slices,
                                            const TableSeries& sim_a_series,
                                            const TableSeries& sim_b_series,
                                            const TableSeries& res_series,
                                            const Table& results_table);

// ---------------------------------------------------------------------------------------
// Spectral utility library (CsaSpectral.cpp)
// ---------------------------------------------------------------------------------------

// The series fitter's driver and the spectral utility library.
#pragma once

#include "Read.h"
#include "Stats.h"

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
constexpr int exit_missing_input = 1;   // 2d.txt, peaks.txt or the --z FILE cannot be read
constexpr int exit_malformed_input = 2; // input that cannot be fitted (see the checks below), a
                                        // huge line, a bad z file
constexpr int exit_non_finite_fit = 3;  // the objective met non-finite values
constexpr int exit_write_failed = 4;    // a result file or report.csv could not be written
// Arguments that are not options, like missing input files, end the run with the usage text.
constexpr int exit_bad_arguments = exit_missing_input;

// The whole run: reads peaks.txt and 2d.txt from the working directory, fits every slice
// with two Lorentzian lines and writes the five result files (and report.csv when asked).
// FreeParams is 4 (amplitudes and half-widths fitted) or 2 (half-widths fixed by the third
// row of peaks.txt). No arguments: the run as it has always been.
template <long FreeParams> int pairfit_main(int argc, char** argv);

// What the command line asks for.
struct RunOptions {
    bool help = false;
    bool report = false; // --report, or --z
    std::string z_name;  // --z FILE; empty without
    ZValues z;           // what z_name holds; read by pairfit_main, counted by the run
    std::string refused; // why the arguments are refused; empty when they are sound
};

// Reads --report, --z FILE (or --z=FILE) and --help; anything else is refused.
RunOptions parse_options(int argc, const char* const* argv);
// The usage text of --help, with the options and the columns of report.csv.
std::string usage_text(const std::string& program);

// What report.csv holds of one slice beside its statistics.
struct ReportRow {
    SliceReport stats;
    bool settled = true;
    unsigned long iterations = 0;
};

// The header line of report.csv.
extern const char* const report_header;
// report.csv: the header and one row per slice; z holds one value per slice or none.
// Numbers in their shortest round-trip form; undefined or non-finite values as empty cells.
std::string format_report(const std::vector<ReportRow>& rows, const std::vector<double>& z,
                          double scale_factor);
// Replaces the file `name` with `text` as the result files are replaced; false when that failed.
bool write_text_file(const char* name, const std::string& text);

// The steps of the run (CsaDriver.h), each with what it takes and what it gives.

// The threads that reading and writing may use: PAIRFIT_THREADS when it holds a whole number
// from 1 on, else the machine's cores. The fit itself is one thread.
unsigned thread_count();

// What the run takes from peaks.txt.
struct PeakSettings {
    double peak_A = 0.0; // positions of the lines, ppm
    double peak_B = 0.0;
    double window_lower = 0.0; // the window to cut, ppm, lower limit first
    double window_upper = 0.0;
    double LWA = 0.0; // fixed half-widths, ppm (third row; read when rows_needed is 3)
    double LWB = 0.0;
};
// Reads peaks.txt into `settings`; rows_needed is 2, or 3 with the fixed half-widths. On
// failure the message is on standard error and the exit status is returned.
int read_peak_settings(std::size_t rows_needed, PeakSettings& settings);

// Reads 2d.txt cut to the window into `series` with its intensities divided by the series'
// scale factor, announcing the reading on standard output; refuses what cannot be fitted with
// a message on standard error and the exit status, or warns and returns exit_success.
int read_and_cut_series(const PeakSettings& settings, unsigned threads, WindowedSeries& series,
                        double& scale_factor);

// The four announcement lines of the result files (a fifth for report.csv) and the head of
// the console table.
void announce_result_files(bool with_report);

// Writes results.txt, then dat.txt, sim_a.txt, sim_b.txt and res.txt of a fitted series, side
// by side on up to `threads` threads: results_table holds per slice MA, MB, LWA, LWB, integ_A,
// integ_B and residual_square_tot, from which the curves are computed again as they are
// written. Names every file that could not be written on standard error; returns the status.
int write_results(const WindowedSeries& series, const Table& results_table, double peak_A,
                  double peak_B, unsigned threads);

// The pieces the steps are made of, for callers with tables of their own.

// The largest intensity strictly inside (window_lower, window_upper) over the whole series,
// or 0.0 when none is above 0. Intensities keep their sign.
double global_scale_factor(const TableSeries& raw_series, double window_lower, double window_upper);

// One table per block, in order and of the same count: the {ppm, intensity/scale_factor}
// rows strictly inside the window, in file order. Rows without values are skipped.
TableSeries cut_slices(const TableSeries& raw_series, double window_lower, double window_upper,
                       double scale_factor);

// When 2d.txt or peaks.txt cannot be opened: writes the usage text and, for each such file,
// a line naming it and the folder it was looked for in, to standard error; returns true.
bool report_missing_inputs();

// Input checks. Each returns an empty string for sound input, otherwise a one-line message
// that names the file, the row and what it must hold.
std::string check_read(const char* name, const ReadReport& report);
// The exit status for a file check_read refuses: a line too long is malformed input (2),
// anything else an unreadable file (1).
int unreadable_status(const ReadReport& report);
// Rows too short, and with rows_needed 3 a fixed half-width below 0. A short row is quoted
// from `lines`, the excerpts of the first data lines, when they reach it.
std::string check_peaks(const Table& peaks, std::size_t rows_needed,
                        const std::vector<LineExcerpt>& lines = {});
// A row of a single value, quoted from single_value_line when it is given.
std::string check_series(const TableSeries& raw_series, const LineExcerpt& single_value_line = {});
// Every slice must hold at least as many window points as the first, which gives the
// row count of the matrix result files.
std::string check_slice_lengths(const TableSeries& slices);
// What the fit and the matrix result files need of the window points: at least one slice,
// a point of slice 0 inside the window, and in every later slice the points of slice 0 (as
// many, each ppm within 1 % of the local point spacing of slice 0's at the same place).
std::string check_window_points(const WindowedSeries& series, double window_lower,
                                double window_upper);
// The window points of slices cut from raw_series, in the form check_window_points takes,
// with the ppm range of every point of raw_series.
WindowedSeries windowed_series_of(const TableSeries& raw_series, const TableSeries& slices);
// A warning for data lines after the last '&' of 2d.txt, which no slice holds; else empty.
std::string unfinished_block_warning(const ReadReport& series_report);
// A warning for a peak position outside the window, naming the peak ("peak_A"); else empty.
std::string peak_window_warning(const char* peak, double position, double window_lower,
                                double window_upper);

// Slices whose fit ended with a parameter within 1e-9 of a bound (1e-4 or 10), gathered for
// one warning after the last slice.
struct BoundHits {
    std::vector<std::size_t> slices;
    bool parameters[4] = {}; // MA, MB, LWA, LWB
};
// Notes slice `slice` when any of the first free_count fitted values lies at a bound.
void note_bound_hits(BoundHits& hits, std::size_t slice, const FixedColumn& fitted,
                     std::size_t free_count);
// The warning line for the slices noted, or empty when there are none.
std::string bound_warning(const BoundHits& hits, std::size_t slice_count);

// The message of a slice fit that met non-finite values: the minimiser's error, then what to
// check. And the warning for a slice fit ended by max_fit_iterations.
std::string non_finite_fit_message(const std::string& minimiser_error, int slice,
                                   bool half_widths_free);
std::string iteration_limit_warning(int slice);

// One line of the console table: index, then the four parameters with 3 decimals.
void print_slice_line(std::ostream& out, int index, double p1, double p2, double p3, double p4);

// Writes results.txt, then dat.txt, sim_a.txt, sim_b.txt and res.txt (points down, slices
// across) into the working directory. Returns the names of the files that could not be
// written, in the order they were opened.
std::vector<std::string> write_result_files(const TableSeries& slices,
                                            const TableSeries& sim_a_series,
                                            const TableSeries& sim_b_series,
                                            const TableSeries& res_series,
                                            const Table& results_table);

// ---------------------------------------------------------------------------------------
// Spectral utility library (CsaUtility.cpp)
// ---------------------------------------------------------------------------------------

// Records of the spectral utility library. Members default to zero so that a record made
// with `params p;` holds no indeterminate values.

// One acquisition, plus the two numbers of one shape-file line. The declared order is part
// of the interface: code elsewhere relies on it, so new members go only where these are.
struct params {
    double sfrq = 0.0; // spectrometer frequency of the observed nucleus, MHz
    double np = 0.0;   // number of points of the signal and of its spectrum
    double ni = 0.0;   // increments of an indirect dimension
    double sw = 0.0;   // spectral width, Hz: the dwell time is 1/sw
    double sw1 = 0.0;  // spectral width of the indirect dimension, Hz
    double offset = 0.0;
    double shape_col2 = 0.0; // second number of a shape-file line, before the first
    double shape_col1 = 0.0;
    double lb = 0.0; // exponential line broadening, Hz
};

// One complex point, laid out as std::complex<double>.
struct spectrum {
    double re = 0.0;
    double im = 0.0;
};
static_assert(sizeof(spectrum) == sizeof(std::complex<double>),
              "spectrum must share the layout of std::complex<double>");

// One orientation of an Euler-angle set and its weight.
struct euler {
    double alpha = 0.0;
    double beta = 0.0;
    double gamma = 0.0;
    double weight = 0.0;
};

// Shape files: "\n"-terminated lines; a line whose very first character is '#' and an
// empty line are skipped; every other line is a data line, of which the first two
// whitespace-separated numbers are read. The file is opened for reading and writing, never
// written, so one that cannot be opened for writing counts as unreadable and gives 0.
// Both return the number of data lines, also for lines that do not hold two numbers.

// Record n receives shape_col1 and shape_col2 of the n-th data line; no other member is
// touched. A number that cannot be extracted (missing, not a number, beyond the range of
// double) is stored as NaN. `records` must hold one record per data line.
int genShape(params* records, const char* path);
// The count of data lines genShape would fill, reading nothing into memory.
int genV(const char* path);

// The point count np of the transforms and FID printers below: a NaN, a negative np and
// one of 2^31 or more (infinity too) count as zero points, so nothing is printed or
// appended; no array holds that many points, and converting such a value to int would be
// undefined.

// Direct discrete Fourier transforms on the centred grid k = -N/2, -N/2 + 1, ... while
// k < N/2 - 1 (N - 1 points, half-integers for odd N), frequency sw/N * k + offset.
// One line per k: frequency and the real transform, both width 20 with 8 decimals.
// genFFT reads the real parts of trunc(np) points only.
void genFFT(params acquisition, const spectrum* fid);
// N = np as a double; reads the points 0 <= j < np.
void genFFT2(params acquisition, const std::complex<double>* fid);
// As genFFT2, but appends one row {frequency, real, imaginary} per k to `out` and prints
// nothing.
void genFFT3(params acquisition, const std::complex<double>* fid, Table& out);

// Every value with 6 decimals in a field of 8, each followed by a blank; one line per row.
void print_FFT(const Table& table);
// One value per line in whatever format std::cout has at the time.
void print_fid(const double* first, const double* last);
// trunc(np) points, one line each: time (t = i/sw) width 10 with 5 decimals, then the point.
void print_fid2(params acquisition, const std::complex<double>* fid);
void print_fid_real(params acquisition, const spectrum* fid);
void print_fid_imag(params acquisition, const spectrum* fid);
// The decay normalised to its first point: re[k]/re[0], width 14 with 9 decimals.
void print_dip(params acquisition, const spectrum* fid);

// Tensor, matrix and vector printers. An n x n matrix is stored row by row.
void print_cart(const double tensor[3][3]);
void print_cart_complex(const std::complex<double> tensor[3][3]);
void print_matx(int n, const std::complex<double>* matrix);
void print_vec(int n, const std::complex<double>* vector);
// alpha, beta and weight of each record; gamma is not printed.
void print_euler(const euler* first, const euler* last);

// Divides each element by the sum of all n elements.
void norm_vec(int n, std::complex<double>* vector);
// Picks the last column i whose value i has |Re| < 1e-6 and which itself holds at most one
// entry with |Re| < 1e-6, and writes it, divided by its sum, to `out`. When no column
// qualifies, `out` is left untouched.
void norm_mag(int n, const std::complex<double>* values, const std::complex<double>* matrix,
              std::complex<double>* out);

// Every printer above sets fixed notation, the precision and the width before each number
// and leaves std::cout in fixed notation with the precision it set last; print_fid sets
// nothing and so prints in that format.

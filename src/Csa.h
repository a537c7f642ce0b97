// The spectral utility library: parameter records, shape files, direct Fourier transforms,
// FID, tensor and vector printers.
#pragma once

#include "Read.h"

#include <complex>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------
// Spectral utility library (Csa.cpp)
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

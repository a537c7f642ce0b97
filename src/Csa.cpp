#include "Csa.h"

#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <locale>
#include <sstream>

namespace {

// Written out rather than derived so that every build sums the same phases.
constexpr double two_pi = 6.283185307179586;
constexpr double not_read = std::numeric_limits<double>::quiet_NaN();

// Calls store(count, first, second) for every data line of a shape file and returns the
// count. The file is opened for writing too, so one we may not write reads as missing.
template <typename Store> int readShape(const char* path, Store store) {
    std::fstream file(path, std::ios::in | std::ios::out);
    int count = 0;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        double first = 0.0;
        double second = 0.0;
        if (!(fields >> first)) {
            first = not_read;
        }
        if (!(fields >> second)) {
            second = not_read;
        }
        store(count, first, second);
        ++count;
    }
    return count;
}

// S at index k, as the real part and the imaginary part summed separately from 0.0.
std::complex<double> directSum(const std::complex<double>* fid, double n, double k) {
    double re = 0.0;
    double im = 0.0;
    for (long j = 0; j < n; ++j) {
        const double phase = (static_cast<double>(j) * (two_pi * k)) / n;
        const std::complex<double> term =
            fid[j] * std::complex<double>(std::cos(phase), -std::sin(phase));
        re += term.real();
        im += term.imag();
    }
    return {re, im};
}

void printNumber(double value, int precision, int width) {
    std::cout << std::fixed << std::setprecision(precision) << std::setw(width) << value;
}

// std::complex's inserter formats into its own stream with our flags and precision, and
// the width then applies to the whole "(re,im)" text.
void printComplex(const std::complex<double>& value, int precision, int width) {
    std::cout << std::fixed << std::setprecision(precision) << std::setw(width) << value;
}

void printTime(int point, double dwell) {
    printNumber(point * dwell, 5, 10);
}

// np as a point count. NaN, a negative count and one beyond int (infinity too) are no
// points: no array holds that many, and the conversion to int would be undefined.
double pointCount(double np) {
    constexpr double beyond_int = 2147483648.0; // std::numeric_limits<int>::max() + 1
    return np >= 0.0 && np < beyond_int ? np : 0.0;
}

} // namespace

int genShape(params* records, const char* path) {
    return readShape(path, [records](int n, double first, double second) {
        records[n].shape_col1 = first;
        records[n].shape_col2 = second;
    });
}

int genV(const char* path) {
    return readShape(path, [](int, double, double) {});
}

void genFFT(params acquisition, const spectrum* fid) {
    const int points = static_cast<int>(pointCount(acquisition.np));
    const double n = points;
    const double step = acquisition.sw / n;
    double k = 0.5 * (-n);
    const double bound = -k - 1;
    while (k < bound) {
        double sum = 0.0;
        for (int j = 0; j < points; ++j) {
            const double phase = (j * (two_pi * k)) / n;
            sum += fid[j].re * std::cos(phase);
        }
        printNumber(step * k + acquisition.offset, 8, 20);
        printNumber(sum / n, 8, 20);
        std::cout << std::endl;
        k += 1.0;
    }
}

namespace {

// Calls visit(frequency, S) for k = -N/2, -N/2 + 1, ... while k < N/2 - 1, N = np.
template <typename Visit>
void walkGrid(params acquisition, const std::complex<double>* fid, Visit visit) {
    const double n = pointCount(acquisition.np);
    const double step = acquisition.sw / n;
    double k = (-0.5) * n;
    const double bound = -k - 1;
    while (k < bound) {
        visit(step * k + acquisition.offset, directSum(fid, n, k));
        k += 1.0;
    }
}

} // namespace

void genFFT2(params acquisition, const std::complex<double>* fid) {
    const double n = pointCount(acquisition.np);
    walkGrid(acquisition, fid, [n](double frequency, const std::complex<double>& sum) {
        printNumber(frequency, 8, 20);
        printNumber(sum.real() / n, 8, 20);
        std::cout << std::endl;
    });
}

void genFFT3(params acquisition, const std::complex<double>* fid, Table& out) {
    const double n = pointCount(acquisition.np);
    walkGrid(acquisition, fid, [n, &out](double frequency, const std::complex<double>& sum) {
        out.push_back({frequency, sum.real() / n, sum.imag() / n});
    });
}

void print_FFT(const Table& table) {
    for (const Row& row : table) {
        for (const double value : row) {
            printNumber(value, 6, 8);
            std::cout << ' ';
        }
        std::cout << std::endl;
    }
}

void print_fid(const double* first, const double* last) {
    for (; first != last; ++first) {
        std::cout << *first << std::endl;
    }
}

void print_fid2(params acquisition, const std::complex<double>* fid) {
    const int points = static_cast<int>(pointCount(acquisition.np));
    const double dwell = 1.0 / acquisition.sw;
    for (int i = 0; i < points; ++i) {
        printTime(i, dwell);
        std::cout << ' ';
        printComplex(fid[i], 9, 14);
        std::cout << std::endl;
    }
}

namespace {

// One line per point: its time, then one part of it with no blank between.
void printFidPart(params acquisition, const spectrum* fid, double spectrum::*part) {
    const int points = static_cast<int>(pointCount(acquisition.np));
    const double dwell = 1.0 / acquisition.sw;
    for (int i = 0; i < points; ++i) {
        printTime(i, dwell);
        printNumber(fid[i].*part, 9, 14);
        std::cout << std::endl;
    }
}

} // namespace

void print_fid_real(params acquisition, const spectrum* fid) {
    printFidPart(acquisition, fid, &spectrum::re);
}

void print_fid_imag(params acquisition, const spectrum* fid) {
    printFidPart(acquisition, fid, &spectrum::im);
}

void print_dip(params acquisition, const spectrum* fid) {
    const int points = static_cast<int>(pointCount(acquisition.np));
    for (int k = 0; k < points; ++k) {
        printNumber(fid[k].re / fid[0].re, 9, 14);
        std::cout << std::endl;
    }
}

void print_cart(const double tensor[3][3]) {
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            printNumber(tensor[row][column], 1, 8);
            std::cout << ' ';
        }
        std::cout << std::endl;
    }
}

void print_cart_complex(const std::complex<double> tensor[3][3]) {
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            printComplex(tensor[row][column], 1, 8);
            std::cout << ' ';
        }
        std::cout << std::endl;
    }
}

void print_matx(int n, const std::complex<double>* matrix) {
    for (int row = 0; row < n; ++row) {
        for (int column = 0; column < n; ++column) {
            printComplex(matrix[static_cast<std::size_t>(row) * n + column], 2, 8);
            std::cout << ' ';
        }
        std::cout << std::endl;
    }
    std::cout << std::endl;
}

void print_vec(int n, const std::complex<double>* vector) {
    for (int i = 0; i < n; ++i) {
        printComplex(vector[i], 4, 8);
        std::cout << std::endl;
    }
    std::cout << std::endl;
}

void print_euler(const euler* first, const euler* last) {
    for (; first != last; ++first) {
        printNumber(first->alpha, 5, 8);
        std::cout << '\t';
        printNumber(first->beta, 5, 8);
        std::cout << '\t';
        printNumber(first->weight, 7, 8);
        std::cout << std::endl;
    }
}

void norm_vec(int n, std::complex<double>* vector) {
    if (n <= 0) {
        return;
    }
    std::complex<double> sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += vector[i];
    }
    for (int i = 0; i < n; ++i) {
        vector[i] /= sum;
    }
}

void norm_mag(int n, const std::complex<double>* values, const std::complex<double>* matrix,
              std::complex<double>* out) {
    constexpr double zero = 1e-6;
    const auto size = static_cast<std::size_t>(n > 0 ? n : 0);
    bool found = false;
    std::size_t chosen = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (!(std::abs(values[i].real()) < zero)) {
            continue;
        }
        int zeros = 0;
        for (std::size_t j = 0; j < size; ++j) {
            if (std::abs(matrix[j * size + i].real()) < zero) {
                ++zeros;
            }
        }
        if (zeros <= 1) {
            chosen = i;
            found = true;
        }
    }
    if (!found) {
        return;
    }
    std::complex<double> sum = 0.0;
    for (std::size_t j = 0; j < size; ++j) {
        sum += matrix[j * size + chosen];
    }
    for (std::size_t j = 0; j < size; ++j) {
        out[j] = matrix[j * size + chosen] / sum;
    }
}

// The five result files of a fitted series: results.txt and the four matrix files.
#include "Program.h"

#include "Read.h"
#include "ResultFile.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

void append_matrix_number(std::string& line, double value) {
    append_fixed(line, value, 6, 10);
    line += ' ';
}

// The header's names are the file's own, kept for the readers that rely on them, but read
// literally they mislead: height_A and height_B hold the amplitudes MA and MB (intensity x ppm;
// the line maximum is MA/LWA, report.csv's height_A), hwhh_A and hwhh_B the half-widths LWA and
// LWB, integ_A and integ_B the plain sums of each sampled line over the window points (not
// multiplied by the point spacing; the area is pi*MA, report.csv's area_A).
bool write_results_table(ResultFile& file, const SeriesFit& fit) {
    file.text() = "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot \n";
    for (std::size_t i = 0; i < fit.slices.size(); ++i) {
        const SliceFit& s = fit.slices[i];
        append_DATA_row(file.text(), i,
                        {s.MA, s.MB, s.LWA, s.LWB, s.integ_A, s.integ_B, s.residual_square_tot});
        file.flush_if_large();
    }
    return file.commit();
}

enum class MatrixFile { dat, sim_a, sim_b, res };

// Points down, slices across; the ppm column comes from the first slice. The values of a few
// points are gathered slice by slice before their lines are made, so that memory is read in
// order. The curves are computed as in the fit's completion of each slice.
bool write_matrix_file(ResultFile& file, MatrixFile kind, const SeriesFit& fit) {
    const WindowedSeries& series = fit.scaled;
    const std::size_t slice_count = series.slice_count();
    const std::size_t point_count = slice_count == 0 ? 0 : series.points_in(0);
    constexpr std::size_t points_per_pass = 32;
    std::vector<double> gathered(points_per_pass * slice_count); // [point][slice]
    for (std::size_t first = 0; first < point_count; first += points_per_pass) {
        const std::size_t points = std::min(points_per_pass, point_count - first);
        for (std::size_t s = 0; s < slice_count; ++s) {
            const SliceFit& fitted = fit.slices[s];
            const std::size_t start = series.slice_start[s] + first;
            for (std::size_t k = 0; k < points; ++k) {
                const double ppm = series.ppm[start + k];
                const double intensity = series.intensity[start + k];
                double value = intensity;
                if (kind != MatrixFile::dat) {
                    const LinePoint line = lines_at(fitted, fit.settings, ppm);
                    value = kind == MatrixFile::sim_a   ? line.a
                            : kind == MatrixFile::sim_b ? line.b
                                                        : (intensity - line.a) - line.b;
                }
                gathered[k * slice_count + s] = value;
            }
        }
        for (std::size_t k = 0; k < points; ++k) {
            std::string& line = file.text();
            append_matrix_number(line, series.ppm[first + k]);
            for (std::size_t s = 0; s < slice_count; ++s) {
                append_matrix_number(line, gathered[k * slice_count + s]);
            }
            line += '\n';
        }
        file.flush_if_large();
    }
    return file.commit();
}

} // namespace

std::vector<WriteFailure> write_results(const SeriesFit& fit, unsigned threads) {
    const char* const names[] = {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"};
    constexpr std::size_t file_count = 5;
    bool written[file_count] = {};
    const mode_t mode = new_file_mode();
    std::string reasons[file_count];
    const auto write_file = [&](std::size_t f) {
        ResultFile file(names[f], mode);
        written[f] = f == 4 ? write_results_table(file, fit)
                            : write_matrix_file(file, static_cast<MatrixFile>(f), fit);
        reasons[f] = written[f] ? "" : file.reason();
    };
    // Each thread takes the next file not yet taken, results.txt first.
    constexpr std::size_t writing_order[file_count] = {4, 0, 1, 2, 3};
    std::atomic<std::size_t> next_file{0};
    const auto take_files = [&] {
        for (std::size_t taken = next_file++; taken < file_count; taken = next_file++) {
            write_file(writing_order[taken]);
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < std::min<unsigned>(threads, file_count); ++t) {
        helpers.emplace_back(take_files);
    }
    take_files();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    std::vector<WriteFailure> failed;
    for (std::size_t f = 0; f < file_count; ++f) {
        if (!written[f]) {
            failed.push_back({names[f], reasons[f]});
        }
    }
    return failed;
}

std::vector<WriteFailure> write_text_file(const char* name, const std::string& text) {
    ResultFile file(name, new_file_mode());
    file.text() = text;
    if (file.commit()) {
        return {};
    }
    return {{name, file.reason()}};
}

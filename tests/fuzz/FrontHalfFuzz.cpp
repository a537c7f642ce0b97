// The programs' steps before fitting on a peaks.txt and a 2d.txt carved from one input:
// read_peak_settings, read_windowed_series, check_fit_series and the scaling of fit_series,
// against the table path of tests/reference (read, check_peaks, the peak warnings, the
// unfinished block warning, check_series, global_scale_factor, cut_slices,
// check_slice_lengths, check_window_points): the same refusals, warnings and scaled points.
// The input is "PEAKS%%SERIES"; without "%%" it is all 2d.txt beside a sound peaks.txt.
// Every refusal must be a one-line message naming its file; every prepared slice must be
// what the fit and the result files rely on.
#include "FuzzSupport.h"

#include "Failure.h"
#include "ReadCheckParts.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace {

const char* const sound_peaks = "# peak_A peak_B\n0 0.5\n# window\n-1 1\n# LWA LWB\n0.1 0.1\n";

bool is_message_about(const std::string& message, const std::string& start) {
    return message.rfind(start, 0) == 0 && message.find('\n') == std::string::npos;
}

bool holds_a_point(const Row& row) {
    return row.size() >= 2;
}

void check_prepared_slices(const TableSeries& raw_series, const TableSeries& slices,
                           double window_lower, double window_upper, double scale_factor,
                           const std::string& input) {
    FUZZ_CHECK(std::isfinite(scale_factor) && scale_factor >= 0.0, input);
    bool scale_is_an_intensity = false;
    for (const Table& block : raw_series) {
        for (const Row& row : block) {
            if (holds_a_point(row) && window_lower < row[0] && row[0] < window_upper) {
                FUZZ_CHECK(row[1] <= scale_factor, input);
                scale_is_an_intensity = scale_is_an_intensity || row[1] == scale_factor;
            }
        }
    }
    FUZZ_CHECK(scale_factor == 0.0 || scale_is_an_intensity, input);

    FUZZ_CHECK(slices.size() == raw_series.size(), input);
    for (std::size_t s = 0; s < slices.size(); ++s) {
        const auto inside =
            std::count_if(raw_series[s].begin(), raw_series[s].end(), [&](const Row& row) {
                return holds_a_point(row) && window_lower < row[0] && row[0] < window_upper;
            });
        FUZZ_CHECK(slices[s].size() == static_cast<std::size_t>(inside),
                   input + ": slice " + std::to_string(s));
        for (const Row& point : slices[s]) {
            FUZZ_CHECK(point.size() == 2, input);
            FUZZ_CHECK(window_lower < point[0] && point[0] < window_upper, input);
            // Scaled by the largest intensity, no point lies above 1.
            FUZZ_CHECK(scale_factor == 0.0 || point[1] <= 1.0, input);
        }
    }
}

// The message of the Failure `step` throws, which must be of malformed input; empty when it
// throws none.
template <typename Step> std::string refusal_of(Step step, const std::string& input) {
    try {
        step();
    } catch (const Failure& failure) {
        FUZZ_CHECK(failure.kind == FailureKind::malformed_input, input + ": " + failure.what());
        FUZZ_CHECK(failure.what()[0] != '\0', input);
        return failure.what();
    }
    return "";
}

// The programs' reading of peaks.txt: the refusal the table path gives, else its values.
void expect_peak_settings(const std::string& peaks_path, bool widths_needed, const Table& peaks,
                          const std::string& problem, const std::string& input) {
    std::vector<std::string> warnings;
    PeakSettings settings;
    const std::string refusal = refusal_of(
        [&] { settings = read_peak_settings(peaks_path, widths_needed, warnings); }, input);
    FUZZ_CHECK(refusal == problem, input + ": " + refusal + " instead of " + problem);
    if (!refusal.empty()) {
        return;
    }
    const double lower = std::min(peaks[1][0], peaks[1][1]);
    const double upper = std::max(peaks[1][0], peaks[1][1]);
    FUZZ_CHECK(settings.peak_A == peaks[0][0] && settings.peak_B == peaks[0][1], input);
    FUZZ_CHECK(settings.window_lower == lower && settings.window_upper == upper, input);
    std::vector<std::string> expected;
    for (const auto& [peak, position] :
         {std::pair{"peak_A", peaks[0][0]}, std::pair{"peak_B", peaks[0][1]}}) {
        const std::string warning = peak_window_warning(peak, position, lower, upper);
        if (!warning.empty()) {
            expected.push_back(warning);
        }
    }
    FUZZ_CHECK(warnings == expected, input);
    FUZZ_CHECK(!widths_needed || (settings.has_widths && settings.LWA == peaks[2][0] &&
                                  settings.LWB == peaks[2][1]),
               input);
}

// fit_series's scaling of the window points, the largest intensity above 0 dividing every
// one, gives the bits of the table path's slices.
void expect_scaled_as_slices(const WindowedSeries& windowed, const TableSeries& slices,
                             double scale_factor, const std::string& input) {
    double largest = 0.0;
    for (const double intensity : windowed.intensity) {
        largest = intensity > largest ? intensity : largest;
    }
    FUZZ_CHECK(fuzzing::same_row({largest}, {scale_factor}), input);
    FUZZ_CHECK(windowed.slice_count() == slices.size(), input);
    for (std::size_t s = 0; s < slices.size(); ++s) {
        FUZZ_CHECK(windowed.points_in(s) == slices[s].size(), input);
        for (std::size_t k = 0; k < slices[s].size(); ++k) {
            const std::size_t i = windowed.slice_start[s] + k;
            FUZZ_CHECK(
                fuzzing::same_row({windowed.ppm[i], windowed.intensity[i] / largest}, slices[s][k]),
                input + ": slice " + std::to_string(s));
        }
    }
}

// The files are read from the scratch folder; messages name them as the programs do.
void prepare(const std::string& peaks_path, const std::string& series_path,
             const std::string& input) {
    ReadReport peaks_report;
    std::vector<LineExcerpt> peaks_lines;
    const Table peaks =
        reference::read_table_with_lines(peaks_path.c_str(), peaks_report, peaks_lines, 3);
    FUZZ_CHECK(refusal_of([&] { check_read("peaks.txt", peaks_report); }, input).empty(), input);
    const std::string problem_for_four = check_peaks(peaks, 2, peaks_lines);
    const std::string problem_for_two = check_peaks(peaks, 3, peaks_lines);
    FUZZ_CHECK(problem_for_two.empty() || is_message_about(problem_for_two, "peaks.txt: data row "),
               input + ": " + problem_for_two);
    FUZZ_CHECK(problem_for_four.empty() ||
                   is_message_about(problem_for_four, "peaks.txt: data row "),
               input + ": " + problem_for_four);
    // A peaks.txt good enough for pairfit2 is good enough for pairfit4.
    FUZZ_CHECK(!problem_for_two.empty() || problem_for_four.empty(), input);
    expect_peak_settings(peaks_path, false, peaks, problem_for_four, input);
    expect_peak_settings(peaks_path, true, peaks, problem_for_two, input);
    if (!problem_for_four.empty()) {
        return;
    }
    FUZZ_CHECK(peaks.size() >= 2 && holds_a_point(peaks[0]) && holds_a_point(peaks[1]), input);
    FUZZ_CHECK(!problem_for_two.empty() || holds_a_point(peaks[2]), input);
    double window_lower = peaks[1][0];
    double window_upper = peaks[1][1];
    if (window_lower > window_upper) {
        std::swap(window_lower, window_upper);
    }
    const std::string peak_warning =
        peak_window_warning("peak_A", peaks[0][0], window_lower, window_upper);
    FUZZ_CHECK(peak_warning.empty() == (window_lower < peaks[0][0] && peaks[0][0] < window_upper),
               input);
    FUZZ_CHECK(peak_warning.empty() ||
                   is_message_about(peak_warning, "peaks.txt: warning: peak_A "),
               input);

    ReadReport series_report;
    LineExcerpt single_value_line;
    const TableSeries raw_series =
        reference::read_series_with_line(series_path.c_str(), series_report, single_value_line);
    FUZZ_CHECK(refusal_of([&] { check_read("2d.txt", series_report); }, input).empty(), input);
    const std::string warning = unfinished_block_warning(series_report);
    FUZZ_CHECK(warning.empty() == (series_report.unfinished_rows == 0), input);
    FUZZ_CHECK(warning.empty() || is_message_about(warning, "2d.txt: warning: "), input);

    bool single_value_row = false;
    for (const Table& block : raw_series) {
        for (const Row& row : block) {
            single_value_row = single_value_row || row.size() == 1;
        }
    }
    // The programs' reading and checks refuse what the table path refuses, with its message.
    PeakSettings settings;
    settings.window_lower = window_lower;
    settings.window_upper = window_upper;
    ReadReport windowed_report;
    const WindowedSeries windowed =
        read_windowed_series(series_path.c_str(), window_lower, window_upper, 1, windowed_report);
    std::vector<std::string> warnings;
    const std::string refusal =
        refusal_of([&] { check_fit_series(windowed, windowed_report, settings, warnings); }, input);
    FUZZ_CHECK(warnings == (warning.empty() ? std::vector<std::string>{}
                                            : std::vector<std::string>{warning}),
               input);

    const std::string series_problem = reference::check_series(raw_series, single_value_line);
    FUZZ_CHECK(series_problem.empty() != single_value_row, input + ": " + series_problem);
    if (!series_problem.empty()) {
        FUZZ_CHECK(is_message_about(series_problem, "2d.txt: block "), input);
        FUZZ_CHECK(refusal.rfind(series_problem, 0) == 0, input + ": " + refusal);
        return;
    }

    TableSeries slices;
    double scale_factor = 0.0;
    if (!raw_series.empty()) {
        scale_factor = reference::global_scale_factor(raw_series, window_lower, window_upper);
        slices = reference::cut_slices(raw_series, window_lower, window_upper, scale_factor);
    }
    check_prepared_slices(raw_series, slices, window_lower, window_upper, scale_factor, input);
    expect_scaled_as_slices(windowed, slices, scale_factor, input);

    const std::string slices_problem = reference::check_slice_lengths(slices);
    const bool ragged = std::any_of(slices.begin(), slices.end(), [&](const Table& slice) {
        return slice.size() < slices[0].size();
    });
    FUZZ_CHECK(slices_problem.empty() != ragged, input + ": " + slices_problem);
    FUZZ_CHECK(slices_problem.empty() || is_message_about(slices_problem, "2d.txt: slice "), input);

    // Refused when there is nothing to fit or the counts differ; never when every slice holds
    // exactly slice 0's ppm values.
    const std::string points_problem = check_window_points(
        reference::windowed_series_of(raw_series, slices), window_lower, window_upper);
    FUZZ_CHECK(refusal == points_problem, input + ": " + refusal + " instead of " + points_problem);
    FUZZ_CHECK(points_problem.empty() || is_message_about(points_problem, "2d.txt: "),
               input + ": " + points_problem);
    const bool nothing = slices.empty() || slices[0].empty();
    const bool counts_differ = std::any_of(slices.begin(), slices.end(), [&](const Table& slice) {
        return slice.size() != slices[0].size();
    });
    bool same_axis = !nothing && !counts_differ;
    for (std::size_t s = 1; same_axis && s < slices.size(); ++s) {
        for (std::size_t k = 0; k < slices[0].size(); ++k) {
            same_axis = same_axis && slices[s][k][0] == slices[0][k][0];
        }
    }
    FUZZ_CHECK(!(nothing || counts_differ) || !points_problem.empty(), input);
    FUZZ_CHECK(!same_axis || points_problem.empty(), input + ": " + points_problem);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t separator = bytes.find("%%");
    const bool carved = separator != std::string::npos;
    const std::string peaks_path =
        fuzzing::write_scratch("peaks.txt", carved ? bytes.substr(0, separator) : sound_peaks);
    const std::string series_path =
        fuzzing::write_scratch("2d.txt", carved ? bytes.substr(separator + 2) : bytes);
    prepare(peaks_path, series_path, "input \"" + fuzzing::shown(bytes) + "\"");
    return 0;
}

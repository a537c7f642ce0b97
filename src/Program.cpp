// The programs' run: parse the options, read the files, fit_series, print and write.
#include "Program.h"
#include "ReadFolder.h"
#include "ReadUsage.h"

#include "ReadNumbers.h"
#include "ReadSeries.h"
#include "ResultFile.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <limits>
#include <new>
#include <thread>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

void print_lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        std::cerr << line << std::endl;
    }
}

// Reads and checks the input of the working directory (and the --z file), announcing it on
// standard output and its warnings on standard error; `threads` receives the threads reading
// and writing may use. When 2d.txt or peaks.txt is missing, the usage text precedes the refusal.
FolderInput read_fit_input(const RunOptions& options, bool half_widths_free, unsigned& threads) {
    FolderReading reading;
    reading.z_file = options.z_name;
    reading.widths_needed = !half_widths_free;
    reading.noise = options.noise;
    reading.thread_count = [&threads] { return threads = thread_count(); };
    reading.before_missing_refusal = [](const std::string&) { write_usage_text(); };
    reading.before_peaks = [] {
        std::cout << std::endl;
        std::cout << "# Reading \"peaks.txt\" file. " << std::endl;
    };
    reading.after_series_read = [] { std::cout << "# Reading \"2d.txt\" file. " << std::endl; };
    reading.warnings = print_lines;
    return read_folder_input(reading);
}

// Fits the series, printing each slice's console line as soon as it is fitted, then the
// warnings of the whole series.
SeriesFit fit_and_print(FolderInput& input, const RunOptions& options, bool half_widths_free) {
    FitSettings settings;
    settings.peak_A = input.peaks.peak_A;
    settings.peak_B = input.peaks.peak_B;
    if (!half_widths_free) {
        settings.fixed_widths = std::array<double, 2>{input.peaks.LWA, input.peaks.LWB};
    }
    settings.with_report = options.report;
    settings.signed_amplitudes = options.signed_amplitudes;
    settings.with_noise = options.noise.given;
    announce_result_files(options.report);
    SeriesFit fit =
        fit_series(std::move(input.series), settings, [](std::size_t index, const SliceFit& slice) {
            refuse_non_finite(slice);
            if (slice.end == SliceEnd::iteration_limit) {
                std::cerr << slice.end_message << std::endl;
            }
            print_slice_line(std::cout, static_cast<int>(index), slice.MA, slice.MB, slice.LWA,
                             slice.LWB);
        });
    for (const std::string& warning : {bound_warning(fit), misfit_warning(fit)}) {
        if (!warning.empty()) {
            std::cerr << warning << std::endl;
        }
    }
    std::cout << std::endl;
    std::cout << std::endl;
    return fit;
}

// The five result files and report.csv; the status.
int write_all(const SeriesFit& fit, const RunOptions& options, const std::vector<double>& z,
              unsigned threads) {
    const WorkingDirectoryLock lock; // a run writing in this folder finishes first
    std::vector<WriteFailure> failed = write_results(fit, threads);
    if (options.report) {
        for (WriteFailure& failure : write_text_file("report.csv", format_report(fit, z))) {
            failed.push_back(std::move(failure));
        }
    }
    for (const WriteFailure& failure : failed) {
        std::cerr << failure.name << ": could not be written"
                  << (failure.reason.empty() ? "" : ": " + failure.reason) << std::endl;
    }
    return failed.empty() ? exit_success : exit_write_failed;
}

// After the options: the files in the working directory through the fit to the result files.
int fit_in_working_directory(const RunOptions& options, bool half_widths_free) {
    FolderInput input;
    unsigned threads = 1;
    {
        // An import replacing 2d.txt and z.txt in this folder finishes first, and none starts
        // until they are read; the lock is given up before the fit.
        const FolderLock reading(".", LockMode::shared);
        input = read_fit_input(options, half_widths_free, threads);
    }
    const SeriesFit fit = fit_and_print(input, options, half_widths_free);
    return write_all(fit, options, input.z ? input.z->values : std::vector<double>{}, threads);
}

} // namespace

int exit_status(FailureKind kind) {
    switch (kind) {
    case FailureKind::bad_arguments:
        return exit_bad_arguments;
    case FailureKind::unreadable_input:
        return exit_missing_input;
    case FailureKind::malformed_input:
        return exit_malformed_input;
    case FailureKind::non_finite_fit:
        return exit_non_finite_fit;
    case FailureKind::unwritable_output:
        return exit_write_failed;
    case FailureKind::internal_error:
        break;
    }
    return exit_internal_error;
}

int run_guarded(const std::string& program, const std::string& usage,
                const std::function<int()>& steps, bool name_every_message) {
    // A file-size limit makes a write fail (EFBIG), which every writer reports, instead of
    // ending the process before it can keep the old file and remove its temporary.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return steps();
    } catch (const Failure& failure) {
        if (failure.kind == FailureKind::bad_arguments) {
            std::cerr << program << ": " << failure.what() << "\n\n" << usage << std::flush;
        } else {
            std::cerr << (name_every_message ? program + ": " : "") << failure.what() << std::endl;
        }
        return exit_status(failure.kind);
    } catch (const std::bad_alloc&) {
        std::cerr << program << ": out of memory" << std::endl;
    } catch (const std::exception& error) {
        std::cerr << program << ": internal error: " << error.what() << std::endl;
    } catch (...) {
        std::cerr << program << ": internal error" << std::endl;
    }
    return exit_internal_error;
}

std::string program_name(int argc, const char* const* argv) {
    return argc > 0 && argv[0] != nullptr ? std::filesystem::path(argv[0]).filename().string()
                                          : "pairfit";
}

int pairfit_main(int argc, char** argv, bool half_widths_free) {
    const std::string program = program_name(argc, argv);
    const std::string usage = usage_text(program);
    return run_guarded(program, usage, [&] {
        const RunOptions options = parse_options(argc, argv);
        if (options.help) {
            std::cout << usage;
            return exit_success;
        }
        return fit_in_working_directory(options, half_widths_free);
    });
}

unsigned thread_count() {
    if (const char* setting = std::getenv("PAIRFIT_THREADS")) {
        unsigned long long threads = 0;
        if (parse_whole_number(setting, std::numeric_limits<unsigned>::max(), threads) &&
            threads >= 1) {
            return static_cast<unsigned>(std::min(threads, 256ull));
        }
        std::cerr << "PAIRFIT_THREADS: warning: '" << setting
                  << "' is not a whole number from 1 on; using every core" << std::endl;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void announce_result_files(bool with_report) {
    for (const char* line :
         {"# Writing simulation \"sim.txt\" file. ", "# Writing residuals \"res.txt\" file. ",
          "# Writing results \"results.txt\" file. ",
          "# Writing scaled original data \"dat.txt\" file. "}) {
        std::cout << line << std::endl;
    }
    if (with_report) {
        std::cout << "# Writing fit report \"report.csv\" file. " << std::endl;
    }
    std::cout << std::endl;
    std::cout << "# index MA MB LWA LWB " << std::endl;
}

void print_slice_line(std::ostream& out, int index, double p1, double p2, double p3, double p4) {
    out << std::setw(2) << index << std::setw(2) << " ";
    out << std::fixed << std::setprecision(3) << p1 << " ";
    out << std::fixed << std::setprecision(3) << p2 << " ";
    out << std::fixed << std::setprecision(3) << p3 << " ";
    out << std::fixed << std::setprecision(3) << p4 << std::endl;
}

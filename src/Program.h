// What the programs add around the library: the command line, exit statuses, the console and
// the result files in the working directory. A detail of the programs, not installed.
#pragma once

#include "ExitStatus.h"
#include "Failure.h"
#include "FitSeries.h"
#include "ReadZValues.h"

#include <array>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

// The one place where a kind of failure becomes an exit status.
int exit_status(FailureKind kind);

// Runs `steps` and returns their status; a Failure or any other exception that escapes them
// is printed as one message on standard error and becomes its exit status; a bad_arguments
// failure is followed by `usage`. Failures are printed as they stand (they name their file),
// or after "PROGRAM: " with name_every_message; other exceptions always after "PROGRAM: ".
int run_guarded(const std::string& program, const std::string& usage,
                const std::function<int()>& steps, bool name_every_message = false);

// The file name of argv[0], for messages.
std::string program_name(int argc, const char* const* argv);

// The whole run of pairfit4 (half-widths fitted) or pairfit2 and pairfit2x (half-widths fixed
// by the third row of peaks.txt): options, reading, fit_series, console and result files.
int pairfit_main(int argc, char** argv, bool half_widths_free);

// What the command line asks for.
struct RunOptions {
    bool help = false;
    bool report = false;            // --report, or --z, or --noise
    std::string z_name;             // --z FILE; empty without
    bool signed_amplitudes = false; // --signed
    NoiseRegion noise;              // --noise A B
};

// Reads --report, --z FILE (or --z=FILE), --signed, --noise A B and --help; throws Failure
// (bad_arguments) for anything else.
RunOptions parse_options(int argc, const char* const* argv);

// The command line of every program, one argument at a time: the value after the option at
// args[i], with i moved onto it; or Failure (bad_arguments) with the message `missing`.
const std::string& option_value(const std::vector<std::string>& args, std::size_t& i,
                                const std::string& missing);
// The two numbers after the option at args[i], with i moved onto the second; or Failure
// (bad_arguments) with the message `missing` when they are not there or not numbers.
std::array<double, 2> option_numbers(const std::vector<std::string>& args, std::size_t& i,
                                     const std::string& missing);
// One word of a command line: "--name=value" split at its first '=' (an option and its value
// in one word), any other word as it stands, without a value.
struct OptionWord {
    std::string name;
    std::string value;
    bool has_value = false;
};
OptionWord split_option_word(const std::string& word);

// The usage text of --help, with the options and the columns of report.csv.
std::string usage_text(const std::string& program);

// The threads that reading and writing may use: PAIRFIT_THREADS when it holds a whole number
// from 1 on, else the machine's cores. The fit itself is one thread.
unsigned thread_count();

// The four announcement lines of the result files (a fifth for report.csv) and the head of
// the console table.
void announce_result_files(bool with_report);
// One line of the console table: index, then the four parameters with 3 decimals.
void print_slice_line(std::ostream& out, int index, double p1, double p2, double p3, double p4);

// A file that could not be written, and why.
struct WriteFailure {
    std::string name;
    std::string reason;
};
// Writes results.txt, then dat.txt, sim_a.txt, sim_b.txt and res.txt of a fitted series into
// the working directory, side by side on up to `threads` threads, each replaced whole or not
// at all; the curves are computed from the fitted parameters as they are written. Returns the
// files that could not be written, in the order above.
std::vector<WriteFailure> write_results(const SeriesFit& fit, unsigned threads);
// Replaces the file `name` with `text` as the result files are replaced.
std::vector<WriteFailure> write_text_file(const char* name, const std::string& text);

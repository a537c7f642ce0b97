// The exit statuses of every program and script of pairfit, in one table. The drawing scripts
// read the same table: the build turns the lines below into their Python constants, so a
// status is added or renumbered here only (one `constexpr int exit_NAME = N;` per line).
#pragma once

constexpr int exit_success = 0;
constexpr int exit_missing_input = 1;   // an input cannot be opened or read; a bad command line
constexpr int exit_malformed_input = 2; // input that cannot be fitted, drawn or imported
constexpr int exit_non_finite_fit = 3;  // the objective met non-finite values
constexpr int exit_write_failed = 4;    // a result file or picture could not be written or was kept
constexpr int exit_internal_error = 5;  // out of memory or another unexpected failure
constexpr int exit_missing_tool = 6;    // a script's drawing library (matplotlib) cannot be loaded
// Arguments that are not options, like missing input files, end the run with the usage text.
constexpr int exit_bad_arguments = exit_missing_input;

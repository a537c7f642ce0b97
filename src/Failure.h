// Why a run cannot go on: every reader, check and step of the library reports a fault this one
// way, and each program turns the kind into its exit status in one place.
#pragma once

#include <stdexcept>
#include <string>

enum class FailureKind {
    bad_arguments,     // a command line that is not the program's: the usage follows
    unreadable_input,  // a file that cannot be opened or read to its end
    malformed_input,   // input that cannot be fitted or imported, refused before any work
    non_finite_fit,    // the objective met non-finite values
    unwritable_output, // an output file that could not be put in place
    internal_error,    // anything else: out of memory, an unexpected exception
};

// What this represents: a refusal or failure, with the message for the user, which names the
// file, the row or slice, what was found and what was expected.
struct Failure : std::runtime_error {
    Failure(FailureKind failure_kind, const std::string& message)
        : std::runtime_error(message), kind(failure_kind) {}
    FailureKind kind;
};

// The programs' text for a run without its input files. Not installed: it ends the process.
#pragma once

// Writes the usage text to stderr and ends the process with exit status 1.
[[noreturn]] void print_help();
// Writes the usage text to stderr and returns.
void write_usage_text();

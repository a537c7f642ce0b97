// pairfit-lines as a program: its command line, the reading of a folder, the fit, the console
// and the result files. A detail of the programs, not installed.
#pragma once

#include "LineFit.h"

#include <string>
#include <vector>

// What the command line of pairfit-lines asks for.
struct LinesOptions {
    bool help = false;
    std::string folder = ".";
    bool window_given = false;
    double window_lower = 0.0, window_upper = 0.0;
    LineShape shape = LineShape::lorentzian;
    BaselineKind baseline = BaselineKind::none;
    double float_ppm = 0.0;
    WidthMode widths = WidthMode::free;
    bool positive = false;
    NoiseRegion noise;
    std::string z_name; // as given; empty without --z
};

// Reads the options of pairfit-lines (args without the program's name). Throws Failure:
// bad_arguments for an unknown option, a missing or non-numeric value or a word an option
// does not take; malformed_input for --float below 0.
LinesOptions parse_lines_options(const std::vector<std::string>& args);

// The text of --help.
std::string lines_usage_text();

// The whole run of pairfit-lines.
int pairfit_lines_main(int argc, char** argv);

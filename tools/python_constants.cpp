// python_constants OUTPUT: writes the Python module of what the drawing scripts share with the
// programs, the exit statuses of ExitStatus.h and the columns of report.csv, so that the
// scripts take them from the C++ headers instead of keeping tables that drift. The build runs
// it into the package pairfit_drawing (cmake/PairfitScripts.cmake).
#include "ExitStatus.h"
#include "FitSeries.h"
#include "ReadZValues.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>

namespace {

// Every status of ExitStatus.h under its Python name; tests/plot checks that none is missing.
const std::pair<const char*, int> statuses[] = {
    {"EXIT_SUCCESS", exit_success},
    {"EXIT_MISSING_INPUT", exit_missing_input},
    {"EXIT_MALFORMED_INPUT", exit_malformed_input},
    {"EXIT_NON_FINITE_FIT", exit_non_finite_fit},
    {"EXIT_WRITE_FAILED", exit_write_failed},
    {"EXIT_INTERNAL_ERROR", exit_internal_error},
    {"EXIT_MISSING_TOOL", exit_missing_tool},
    {"EXIT_BAD_ARGUMENTS", exit_bad_arguments},
};

std::string module_text() {
    std::string text =
        "\"\"\"The exit statuses of every pairfit program and script (src/ExitStatus.h), the\n"
        "columns of report.csv (report_columns, src/FitReport.cpp) and how z.txt names its unit\n"
        "(z_unit, src/ReadZValues.h), written by the build from them: change them there, not\n"
        "here.\"\"\"\n\n";
    for (const auto& [name, status] : statuses) {
        text += std::string(name) + " = " + std::to_string(status) + "\n";
    }
    // How z_unit (src/ReadZValues.h) finds the unit of z.txt, for pairfit-plot's z_unit.
    text += "\nZ_UNIT_OPEN = \"" + std::string(z_unit_open) + "\"\n";
    text += "MAX_UNIT_LENGTH = " + std::to_string(max_unit_length) + "\n";
    text += "\nREPORT_COLUMNS = (\n";
    for (const ReportColumn& column : report_columns()) {
        text += "    \"" + column.name + "\",\n";
    }
    return text + ")\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: python_constants OUTPUT.py\n";
        return exit_bad_arguments;
    }
    // Replaced whole or not at all: a build stopped halfway leaves no half module behind.
    const std::string output = argv[1];
    const std::string temporary = output + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << module_text();
        file.close();
        if (!file) {
            std::cerr << "python_constants: " << temporary << ": cannot be written\n";
            std::remove(temporary.c_str());
            return exit_write_failed;
        }
    }
    if (std::rename(temporary.c_str(), output.c_str()) != 0) {
        std::cerr << "python_constants: " << output << ": cannot be replaced\n";
        std::remove(temporary.c_str());
        return exit_write_failed;
    }
    return exit_success;
}

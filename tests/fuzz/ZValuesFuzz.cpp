// The z file of --z on any bytes: parse_z_values either takes every value line or names the
// first line it refuses; every value it takes is finite, is what the project's number reader
// makes of that line, and stands on an increasing line; read_z_file agrees with it.
#include "FuzzSupport.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string input = "z file \"" + fuzzing::shown(bytes) + "\"";
    const ZValues z = parse_z_values(bytes, "z.txt");

    FUZZ_CHECK(z.opened, input);
    FUZZ_CHECK(z.values.size() == z.lines.size(), input);
    std::vector<std::string> lines;
    fuzzing::for_each_line(bytes, [&](const std::string& line) { lines.push_back(line); });
    FUZZ_CHECK(z.line_count <= lines.size(), input);
    if (z.problem.empty()) {
        FUZZ_CHECK(z.line_count == lines.size(), input + ": not every line was read");
    } else {
        const std::string where = "z.txt: line " + std::to_string(z.line_count) + ": ";
        FUZZ_CHECK(z.problem.rfind(where, 0) == 0, input + ": " + z.problem);
    }
    std::size_t previous_line = 0;
    for (std::size_t i = 0; i < z.values.size(); ++i) {
        FUZZ_CHECK(std::isfinite(z.values[i]), input);
        FUZZ_CHECK(z.lines[i] > previous_line && z.lines[i] <= z.line_count, input);
        previous_line = z.lines[i];
        const std::string& line = lines[z.lines[i] - 1];
        const Row read = parse_row(line.substr(0, line.find('#')));
        FUZZ_CHECK(read.size() == 1 && fuzzing::same_row(read, Row{z.values[i]}),
                   input + ": line " + std::to_string(z.lines[i]) + " gives " +
                       fuzzing::shown(read) + " to the number reader");
    }

    const ZValues from_file = read_z_file(fuzzing::write_scratch("z.txt", bytes));
    FUZZ_CHECK(from_file.opened && from_file.values.size() == z.values.size() &&
                   from_file.line_count == z.line_count &&
                   from_file.problem.empty() == z.problem.empty(),
               input);
    FUZZ_CHECK(from_file.values.empty() || fuzzing::same_row(Row(from_file.values), Row(z.values)),
               input);
    return 0;
}

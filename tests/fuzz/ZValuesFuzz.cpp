// The z file of --z on any bytes: parse_z_values either takes every value line or names the
// first line it refuses; every value it takes is finite, is what the project's number reader
// makes of that line, and stands on an increasing line; a refusal throws one line naming an
// existing line; read_z_file agrees with it.
#include "FuzzSupport.h"

#include "Failure.h"
#include "ReadZValues.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

// The values parse_z_values or read_z_file gives, or the message of the refusal, which must be
// of malformed input.
template <typename Read>
ZValues read_or_refuse(Read read, std::string& problem, const std::string& input) {
    problem.clear();
    try {
        return read();
    } catch (const Failure& failure) {
        FUZZ_CHECK(failure.kind == FailureKind::malformed_input, input + ": " + failure.what());
        problem = failure.what();
    }
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string input = "z file \"" + fuzzing::shown(bytes) + "\"";
    std::string problem;
    const ZValues z =
        read_or_refuse([&] { return parse_z_values(bytes, "z.txt"); }, problem, input);

    FUZZ_CHECK(z.values.size() == z.lines.size(), input);
    std::vector<std::string> lines;
    fuzzing::for_each_line(bytes, [&](const std::string& line) { lines.push_back(line); });
    FUZZ_CHECK(z.line_count <= lines.size(), input);
    if (problem.empty()) {
        FUZZ_CHECK(z.line_count == lines.size(), input + ": not every line was read");
    } else {
        FUZZ_CHECK(problem.rfind("z.txt: line ", 0) == 0 && problem.find('\n') == std::string::npos,
                   input + ": " + problem);
        // The line named exists, and no line before it holds more than one number.
        const std::size_t named = std::strtoul(problem.c_str() + 12, nullptr, 10);
        FUZZ_CHECK(1 <= named && named <= lines.size(), input + ": " + problem);
        for (std::size_t i = 0; i + 1 < named; ++i) {
            FUZZ_CHECK(parse_row(lines[i].substr(0, lines[i].find('#'))).size() <= 1,
                       input + ": line " + std::to_string(i + 1) + " taken");
        }
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

    std::string file_problem;
    const std::string path = fuzzing::write_scratch("z.txt", bytes);
    const ZValues from_file =
        read_or_refuse([&] { return read_z_file(path); }, file_problem, input);
    FUZZ_CHECK(from_file.values.size() == z.values.size() && from_file.line_count == z.line_count &&
                   file_problem.empty() == problem.empty(),
               input);
    FUZZ_CHECK(from_file.values.empty() || fuzzing::same_row(Row(from_file.values), Row(z.values)),
               input);
    return 0;
}

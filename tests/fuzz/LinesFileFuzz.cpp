// lines.txt on any bytes: parse_lines_file either takes every row or names the line it
// refuses (an existing line, on one message line); every row it takes has a name of its own
// without a comma, quote, semicolon or control byte, a finite position, a half-width above 0
// when one is given, and stands on an increasing line whose first two fields read back as its
// name and position; read_lines_file agrees with it.
#include "FuzzSupport.h"

#include "Failure.h"
#include "LinesInput.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <string>

namespace {

template <typename Read>
std::vector<LineRow> read_or_refuse(Read read, std::string& problem, const std::string& input) {
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
    const std::string input = "lines file \"" + fuzzing::shown(bytes) + "\"";
    std::string problem;
    const std::vector<LineRow> rows =
        read_or_refuse([&] { return parse_lines_file(bytes, "lines.txt"); }, problem, input);

    std::vector<std::string> lines;
    fuzzing::for_each_line(bytes, [&](const std::string& line) { lines.push_back(line); });
    if (!problem.empty()) {
        FUZZ_CHECK(rows.empty(), input);
        FUZZ_CHECK(problem.rfind("lines.txt: ", 0) == 0, input + ": " + problem);
        if (problem.rfind("lines.txt: line ", 0) == 0) {
            const std::size_t named = std::strtoul(problem.c_str() + 16, nullptr, 10);
            FUZZ_CHECK(1 <= named && named <= lines.size(), input + ": " + problem);
        } else {
            FUZZ_CHECK(problem.find("holds no line") != std::string::npos, input + ": " + problem);
        }
    } else {
        FUZZ_CHECK(!rows.empty(), input);
    }
    std::set<std::string> names;
    std::size_t previous = 0;
    for (const LineRow& row : rows) {
        FUZZ_CHECK(!row.name.empty() && names.insert(row.name).second, input + ": " + row.name);
        for (const char c : row.name) {
            const auto byte = static_cast<unsigned char>(c);
            FUZZ_CHECK(byte > 0x20 && byte != 0x7f && c != ',' && c != '"' && c != ';' && c != '#',
                       input);
        }
        FUZZ_CHECK(std::isfinite(row.position), input);
        FUZZ_CHECK(!row.half_width || (std::isfinite(*row.half_width) && *row.half_width > 0.0),
                   input);
        FUZZ_CHECK(row.line > previous && row.line <= lines.size(), input);
        previous = row.line;
        const std::string& line = lines[row.line - 1];
        std::istringstream fields(line.substr(0, line.find('#')));
        fields.imbue(std::locale::classic());
        std::string name, position_text;
        fields >> name >> position_text;
        FUZZ_CHECK(name == row.name, input + ": line " + std::to_string(row.line));
        const Row position = parse_row(position_text);
        FUZZ_CHECK(position.size() == 1 && fuzzing::same_row(position, Row{row.position}),
                   input + ": line " + std::to_string(row.line));
    }

    std::string file_problem;
    const std::string path = fuzzing::write_scratch("lines.txt", bytes);
    const std::vector<LineRow> from_file =
        read_or_refuse([&] { return read_lines_file(path, "lines.txt"); }, file_problem, input);
    FUZZ_CHECK(from_file.size() == rows.size() && file_problem == problem, input);
    return 0;
}

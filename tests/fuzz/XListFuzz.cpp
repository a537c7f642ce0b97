// parse_x_list on any bytes, as each kind of list (and as a list file of any other name): a list
// of finite values, one per line that is not blank, in one unit the kind takes, or a refusal
// naming the file and a line, with no control byte of the input in its message.
#include "FuzzSupport.h"
#include "ReadImportParts.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t filled_lines = 0;
    fuzzing::for_each_line(
        text, [&](const std::string& line) { filled_lines += trimmed(line).empty() ? 0 : 1; });
    for (const std::string name : {"vdlist", "vclist", "vplist", "vtlist", "list"}) {
        try {
            const XList list = parse_x_list(text, name, "exp/" + name);
            FUZZ_CHECK(list.values.size() == filled_lines, fuzzing::shown(text));
            FUZZ_CHECK(list.unit.empty() ||
                           (list.unit.size() == 1 &&
                            x_list_units(name).find(list.unit) != std::string::npos),
                       list.unit + " in " + fuzzing::shown(text));
            for (const double value : list.values) {
                FUZZ_CHECK(std::isfinite(value), fuzzing::shown(text));
                FUZZ_CHECK(name != "vclist" || value == std::floor(value), fuzzing::shown(text));
            }
        } catch (const Failure& failure) {
            const std::string message = failure.what();
            FUZZ_CHECK(failure.kind == FailureKind::malformed_input, message);
            FUZZ_CHECK(message.rfind("exp/" + name + ":", 0) == 0, message);
            for (const char c : message) {
                const auto byte = static_cast<unsigned char>(c);
                FUZZ_CHECK((byte >= 0x20 && byte != 0x7f) || c == '\t', fuzzing::shown(message));
            }
        }
    }
    return 0;
}

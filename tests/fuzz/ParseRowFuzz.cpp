// parse_row on any bytes: it must give what an istringstream in the classic locale gives,
// bit for bit, and only finite numbers (a field beyond the range of double ends the row).
#include "FuzzSupport.h"

#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const Row row = parse_row(line);
    const Row expected = reference::parse_row(line);
    FUZZ_CHECK(fuzzing::same_row(row, expected),
               "line \"" + fuzzing::shown(line) + "\": parse_row gives " + fuzzing::shown(row) +
                   ", the classic " + "istringstream " + fuzzing::shown(expected));
    for (const double value : row) {
        FUZZ_CHECK(std::isfinite(value), "line \"" + fuzzing::shown(line) + "\"");
    }
    // Nothing after the first field that is not a number counts.
    FUZZ_CHECK(fuzzing::same_row(parse_row(line + " x 1 2 3"), expected),
               "line \"" + fuzzing::shown(line) + "\" with a tail");
    return 0;
}

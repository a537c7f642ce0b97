// Runs a printer with std::cout captured, for tests of exact output text.
#pragma once

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testprint {

struct Printed {
    std::string text;
    bool fixed;                // std::cout left in fixed notation
    std::streamsize precision; // and with this precision
    std::string refused;       // what() of a std::out_of_range thrown by the call
};

// Runs `print` with std::cout sent to a string in its default format; buffer and format are
// put back afterwards.
template <typename Print> Printed printed(Print print) {
    std::ostringstream captured;
    std::streambuf* const buffer = std::cout.rdbuf(captured.rdbuf());
    const std::ios_base::fmtflags flags =
        std::cout.flags(std::ios_base::skipws | std::ios_base::dec);
    const std::streamsize precision = std::cout.precision(6);
    std::string refused;
    try {
        print();
    } catch (const std::out_of_range& error) {
        refused = error.what();
    }
    const Printed result{captured.str(),
                         (std::cout.flags() & std::ios_base::floatfield) == std::ios_base::fixed,
                         std::cout.precision(), refused};
    std::cout.rdbuf(buffer);
    std::cout.flags(flags);
    std::cout.precision(precision);
    return result;
}

} // namespace testprint

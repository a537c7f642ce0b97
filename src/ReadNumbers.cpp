// The number scanner of the readers and the number text of every file the programs write.
#include "ReadNumbers.h"
#include "ReadSpaces.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>
#include <system_error>

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The classic "C" locale for strtod_l, whatever the process's locale is.
locale_t classic_c_locale() {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return c_locale;
}

// What the stream makes of a number text beyond the range of std::from_chars: strtod's value,
// refused (as by libstdc++) when it overflows to an infinity; an underflow is kept.
bool convert_out_of_range(std::string_view text, double& value) {
    const std::string terminated(text);
    const locale_t c_locale = classic_c_locale();
    const double converted = c_locale != locale_t{}
                                 ? strtod_l(terminated.c_str(), nullptr, c_locale)
                                 : std::strtod(terminated.c_str(), nullptr);
    if (std::isinf(converted)) {
        return false;
    }
    value = converted;
    return true;
}

// Powers of ten that a double holds exactly.
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int largest_exact_power = 22;
constexpr std::uint64_t largest_exact_integer = std::uint64_t{1} << 53;

// One `stream >> value` in the classic locale, from `pos`: blanks are skipped, then the
// longest prefix that fits the stream's grammar  [+-] digits [. digits] [(e|E) [+-] digits]
// is taken (the 'e' only after a mantissa digit). The extraction fails, and the row ends,
// when that text is not a whole number ("", "-", ".", "1e", "1e+") or overflows a double.
// On success `pos` is left just after the number, as the stream leaves it.
bool extract_number(const char*& pos, const char* end, double& value) {
    const char* first = pos;
    while (first != end && is_classic_space(*first)) {
        ++first;
    }
    const char* p = first;
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) {
        ++p;
    }
    // The mantissa's digits as one integer (exact while there are at most 19 of them) and
    // the power of ten it stands at.
    std::uint64_t digits = 0;
    const char* const integer_part = p;
    for (; p != end && is_digit(*p); ++p) {
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
    }
    std::ptrdiff_t digit_count = p - integer_part;
    int decimal_exponent = 0;
    if (p != end && *p == '.') {
        ++p;
        const char* const fraction = p;
        for (; p != end && is_digit(*p); ++p) {
            digits = digits * 10 + static_cast<unsigned>(*p - '0');
        }
        digit_count += p - fraction;
        decimal_exponent = -static_cast<int>(std::min<std::ptrdiff_t>(p - fraction, 1000));
    }
    if (digit_count == 0) {
        return false;
    }
    const bool digits_fit = digit_count <= 19;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool exponent_negative = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) {
            ++p;
        }
        int exponent = 0;
        bool exponent_digit = false;
        for (; p != end && is_digit(*p); ++p) {
            exponent_digit = true;
            if (exponent < 100000) { // beyond any double either way; saturate
                exponent = exponent * 10 + (*p - '0');
            }
        }
        if (!exponent_digit) {
            return false;
        }
        decimal_exponent += exponent_negative ? -exponent : exponent;
    }
    // Exact integer and exact power of ten: one rounding, as correct as strtod's.
    if (digits_fit && digits <= largest_exact_integer && decimal_exponent >= -largest_exact_power &&
        decimal_exponent <= largest_exact_power) {
        double magnitude = static_cast<double>(digits);
        if (decimal_exponent < 0) {
            magnitude /= exact_powers_of_ten[-decimal_exponent];
        } else {
            magnitude *= exact_powers_of_ten[decimal_exponent];
        }
        value = negative ? -magnitude : magnitude;
        pos = p;
        return true;
    }
    // Otherwise from_chars, correctly rounded as strtod is; it takes no leading '+'.
    const char* const number = *first == '+' ? first + 1 : first;
    const auto [stop, error] = std::from_chars(number, p, value);
    if (error == std::errc::result_out_of_range) {
        if (!convert_out_of_range(std::string_view(first, static_cast<std::size_t>(p - first)),
                                  value)) {
            return false;
        }
    } else if (error != std::errc() || stop != p) {
        return false; // not reached for text of the grammar above
    }
    pos = p;
    return true;
}

} // namespace

void parse_fields(std::string_view line, Row& values) {
    values.clear();
    const char* pos = line.data();
    const char* const end = pos + line.size();
    double value = 0.0;
    while (extract_number(pos, end, value)) {
        values.push_back(value);
    }
}

Row parse_row(const std::string& line) {
    Row row;
    parse_fields(line, row);
    return row;
}

bool parse_number(std::string_view text, double& value) {
    if (text.empty() || is_classic_space(text.front())) {
        return false;
    }
    const char* pos = text.data();
    const char* const end = pos + text.size();
    double parsed = 0.0;
    if (!extract_number(pos, end, parsed) || pos != end || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

bool parse_whole_number(std::string_view text, unsigned long long limit,
                        unsigned long long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    unsigned long long parsed = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (error != std::errc() || stop != text.data() + text.size() || parsed > limit) {
        return false;
    }
    value = parsed;
    return true;
}

std::string shortest_text(double value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

void append_fixed(std::string& text, double value, int precision, int width) {
    char digits[64];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    if (error == std::errc()) {
        const int length = static_cast<int>(end - digits);
        if (length < width) {
            text.append(static_cast<std::size_t>(width - length), ' ');
        }
        text.append(digits, end);
        return;
    }
    // Up to 309 digits before the point: a buffer as wide as the largest double needs.
    std::string wide(std::numeric_limits<double>::max_exponent10 + 4 + precision, ' ');
    const auto [wide_end, wide_error] = std::to_chars(wide.data(), wide.data() + wide.size(), value,
                                                      std::chars_format::fixed, precision);
    wide.resize(wide_error == std::errc() ? static_cast<std::size_t>(wide_end - wide.data()) : 0);
    if (static_cast<int>(wide.size()) < width) {
        text.append(static_cast<std::size_t>(width) - wide.size(), ' ');
    }
    text += wide;
}

void append_cell_number(std::string& text, double value) {
    if (std::isfinite(value)) {
        text += shortest_text(value);
    }
}

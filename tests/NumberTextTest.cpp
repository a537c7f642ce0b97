// The fast number reading and writing against the plain stream code of tests/reference:
// the quirks of `stream >> double` in the classic locale, a differential run over more than a
// million generated fields, and fixed-notation formatting against the stream and printf.
#include "Read.h"
#include "ReferenceStages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::uint64_t bits(double value) {
    std::uint64_t pattern = 0;
    std::memcpy(&pattern, &value, sizeof pattern);
    return pattern;
}

// Rows compared by length and bit pattern, so that -0.0 differs from 0.0.
std::string describe(const Row& row) {
    std::string text = "{";
    for (const double value : row) {
        char hex[64];
        std::snprintf(hex, sizeof hex, " %a", value);
        text += hex;
    }
    return text + " }";
}

::testing::AssertionResult same_row(const Row& expected, const Row& actual) {
    bool same = expected.size() == actual.size();
    for (std::size_t i = 0; same && i < expected.size(); ++i) {
        same = bits(expected[i]) == bits(actual[i]);
    }
    if (same) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "expected " << describe(expected) << ", got " << describe(actual);
}

const double smallest_subnormal = std::numeric_limits<double>::denorm_min();

} // namespace

// What libstdc++'s num_get does: it gathers the longest prefix of the shape
// [+-] digits [. digits] [(e|E) [+-] digits] (an 'e' only after a mantissa digit), hands it to
// strtod, and fails the extraction - the row ends without a value - when strtod does not take
// all of it or overflows to an infinity. An underflow is kept. The next extraction starts
// right after the prefix, whatever follows it.
TEST(StreamQuirks, PrefixesSignsAndDots) {
    const std::pair<std::string, Row> cases[] = {
        {"+.5 +5 -0", {0.5, 5.0, -0.0}},
        {"5. .5 00012", {5.0, 0.5, 12.0}},
        {".", {}},
        {"-.", {}},
        {"- 5", {}},
        {"++5", {}},
        {"+-5", {}},
        {".e5", {}},
        {"1-2", {1.0, -2.0}},  // a sign ends a number and starts the next
        {"1.5.3", {1.5, 0.3}}, // so does a second point
        {"1e5.3", {1e5, 0.3}}, // and a point after the exponent
        {"1e-5-3", {1e-5, -3.0}},
        {"1.5abc 2", {1.5}}, // a number glued to junk is read, then the row ends
        {"1.0,2.0", {1.0}},
        {"0x1p3 7", {0.0}}, // hexadecimal text: the "0" is a number, "x1p3" is not
        {"inf 1", {}},
        {"nan 1", {}},
        {"-inf", {}},
    };
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE("line \"" + line + "\"");
        EXPECT_TRUE(same_row(expected, reference::parse_row(line))) << "stream";
        EXPECT_TRUE(same_row(expected, parse_row(line))) << "parse_row";
    }
}

TEST(StreamQuirks, ExponentsOverflowAndUnderflow) {
    const std::pair<std::string, Row> cases[] = {
        {"1e5 1E-5 1e+05 2.5e0", {1e5, 1e-5, 1e5, 2.5}},
        {"1e 7", {}}, // an exponent without digits fails the whole number
        {"1e+ 7", {}},
        {"1E- 7", {}},
        {"1e5e 7", {1e5}},
        {"2 1e400 3", {2.0}}, // overflow fails the extraction
        {"2 -1e400 3", {2.0}},
        {"1.7976931348623157e308 1.7976931348623159e308", {1.7976931348623157e308}},
        {"1e-400 -1e-400 2.4e-324", {0.0, -0.0, 0.0}}, // underflow to zero is kept, signed
        {"4.9e-324 2.5e-324", {smallest_subnormal, smallest_subnormal}},
        {"1e-99999999999999999999 1e99999999999999999999", {0.0}},
        {"0e999999 -0e-999999", {0.0, -0.0}},
        {"0.1234567890123456789012345678901234567890",
         {0.1234567890123456789012345678901234567890}},
        {"1234567890123456789012345678901234567890e-20",
         {1234567890123456789012345678901234567890e-20}},
        {"9007199254740993 18014398509481985", {9007199254740992.0, 18014398509481984.0}},
    };
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE("line \"" + line + "\"");
        EXPECT_TRUE(same_row(expected, reference::parse_row(line))) << "stream";
        EXPECT_TRUE(same_row(expected, parse_row(line))) << "parse_row";
    }
}

TEST(StreamQuirks, WhitespaceIsTheClassicSixAndNothingElse) {
    const std::pair<std::string, Row> cases[] = {
        {" \t1\v2\f3\r4 \n5", {1, 2, 3, 4, 5}},
        {"1\r", {1}},
        {std::string("1\0 2", 4), {1}}, // NUL is junk, not a separator
        {std::string("\0", 1), {}},
        {"1\x1c"
         "2",
         {1}},
        {"1\xa0"
         "2",
         {1}},
        {"1\x85"
         "2",
         {1}},
        {"", {}},
        {"   ", {}},
    };
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE("line of " + std::to_string(line.size()) + " bytes");
        EXPECT_TRUE(same_row(expected, reference::parse_row(line))) << "stream";
        EXPECT_TRUE(same_row(expected, parse_row(line))) << "parse_row";
    }
}

namespace {

// Random fields, most of them numbers of every shape the grammar allows, some of them the
// hard cases, some junk, separated by runs of whitespace and now and then by other bytes.
class FieldMaker {
  public:
    explicit FieldMaker(std::uint64_t seed) : random_(seed) {}

    std::string line(std::size_t& fields) {
        std::string text = pick(4) == 0 ? separator() : "";
        const int count = 1 + static_cast<int>(pick(12));
        for (int i = 0; i < count; ++i) {
            text += field();
            ++fields;
            text += pick(60) == 0 ? stray_byte() : separator();
        }
        return text;
    }

  private:
    std::uint64_t pick(std::uint64_t n) { return random_() % n; }

    std::string digits(int count) {
        std::string text;
        for (int i = 0; i < count; ++i) {
            text += static_cast<char>('0' + pick(10));
        }
        return text;
    }

    std::string number() {
        std::string text;
        switch (pick(6)) {
        case 0:
            text += '-';
            break;
        case 1:
            text += '+';
            break;
        default:
            break;
        }
        // Short and long mantissas, with and without digits on either side of the point.
        const int length =
            pick(8) == 0 ? 17 + static_cast<int>(pick(30)) : static_cast<int>(pick(14));
        const int before = static_cast<int>(pick(static_cast<std::uint64_t>(length) + 1));
        text += digits(before);
        if (pick(5) != 0) {
            text += '.';
            text += digits(length - before);
        }
        if (pick(3) == 0) {
            text += pick(2) == 0 ? 'e' : 'E';
            const std::uint64_t sign = pick(3);
            text += sign == 0 ? "-" : sign == 1 ? "+" : "";
            // Exponents from none at all to far beyond the range of double.
            const std::uint64_t size = pick(10);
            text += size == 0  ? ""
                    : size < 6 ? std::to_string(pick(30))
                               : std::to_string(pick(450));
        }
        return text;
    }

    std::string printed_double() {
        // Real values printed as a program would print them, including subnormals.
        std::uint64_t pattern = random_();
        double value = 0.0;
        std::memcpy(&value, &pattern, sizeof value);
        if (!std::isfinite(value)) {
            value = 1.0;
        }
        char text[64];
        const int precision = static_cast<int>(pick(20));
        std::snprintf(text, sizeof text, pick(2) == 0 ? "%.*e" : "%.*g", precision, value);
        return text;
    }

    std::string field() {
        static const char* const hard[] = {
            "1e",       "1e+",   "1e-",      ".",      "+.",      "-.",       "+",
            "-",        "+.5",   "-.5",      "5.",     ".5",      "1e5e",     "1e5.3",
            "1.5.3",    "1e400", "-1e400",   "1e-400", "-1e-400", "4.9e-324", "2.4e-324",
            "2.5e-324", "1e308", "1.8e308",  "0x1p3",  "0x10",    "inf",      "-inf",
            "nan",      "NAN",   "infinity", "1.5abc", "1.0,2.0", "1-2",      "--1",
            "e5",       ".e5",   "00000",    "-0",     "+0.0e-0", "0e99999",  "9007199254740993",
            "1,5",      "1_000", "#1",       "&2",     "1d5",     "1.e5",     "1.e",
        };
        const std::uint64_t kind = pick(10);
        if (kind < 5) {
            return number();
        }
        if (kind < 7) {
            return printed_double();
        }
        if (kind < 9) {
            return hard[pick(sizeof hard / sizeof hard[0])];
        }
        return number() + hard[pick(sizeof hard / sizeof hard[0])]; // glued to junk
    }

    std::string separator() {
        static const char spaces[] = {' ', '\t', '\v', '\f', '\r', '\n'};
        std::string text(1, ' ');
        while (pick(3) == 0) {
            text += spaces[pick(sizeof spaces)];
        }
        return text;
    }

    std::string stray_byte() { return std::string(1, static_cast<char>(pick(256))); }

    std::mt19937_64 random_;
};

} // namespace

TEST(ParseRowDifferential, AMillionFieldsReadAsTheStreamReadsThem) {
    FieldMaker maker(20240611);
    std::size_t fields = 0;
    std::size_t values = 0;
    std::size_t differences = 0;
    while (fields < 1'000'000) {
        const std::string line = maker.line(fields);
        const Row expected = reference::parse_row(line);
        values += expected.size();
        const ::testing::AssertionResult same = same_row(expected, parse_row(line));
        if (!same && ++differences <= 10) {
            ADD_FAILURE() << "line \"" << line << "\": " << same.message();
        }
    }
    EXPECT_EQ(differences, 0u);
    // The lines must exercise both outcomes: values read and rows ended early.
    EXPECT_GT(values, fields / 4);
    EXPECT_LT(values, fields);
}

namespace {

std::string stream_fixed(double value, int precision, int width) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(precision) << std::setw(width) << value;
    return out.str();
}

std::string printf_fixed(double value, int precision, int width) {
    std::vector<char> text(400 + static_cast<std::size_t>(precision));
    std::snprintf(text.data(), text.size(), "%*.*f", width, precision, value);
    return text.data();
}

std::string fast_fixed(double value, int precision, int width) {
    std::string text = "x"; // appends keep what is there
    append_fixed(text, value, precision, width);
    return text.substr(1);
}

} // namespace

TEST(AppendFixed, WritesWhatTheStreamAndPrintfWrite) {
    std::vector<double> values = {
        0.0,
        -0.0,
        std::numeric_limits<double>::quiet_NaN(),
        -std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::max(),
        -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::min(),
        smallest_subnormal,
        0.0005,
        0.0015,
        -0.0005,
        0.125,
        0.375,
        2.5,
        3.5,
        -2.5,
        1e15,
        123456.5,
        9.9996,
        -1e-7,
    };
    // Exact binary ties at every decimal count the files use, and random bit patterns.
    for (int k = -2000; k <= 2000; ++k) {
        values.push_back(k / 2048.0);
        values.push_back(k / 2.0);
        values.push_back(k * 0.0005);
    }
    std::mt19937_64 random(7);
    for (int i = 0; i < 30000; ++i) {
        std::uint64_t pattern = random();
        double value = 0.0;
        std::memcpy(&value, &pattern, sizeof value);
        values.push_back(value);
        values.push_back(std::ldexp(static_cast<double>(random() >> 11), -50 + (i % 60)));
    }
    std::size_t differences = 0;
    for (const double value : values) {
        for (const auto& [precision, width] : {std::pair{3, 6}, std::pair{6, 10}, std::pair{6, 8},
                                               std::pair{0, 0}, std::pair{9, 14}}) {
            const std::string expected = stream_fixed(value, precision, width);
            const std::string fast = fast_fixed(value, precision, width);
            if ((fast != expected || printf_fixed(value, precision, width) != expected) &&
                ++differences <= 10) {
                ADD_FAILURE() << std::hexfloat << value << " at " << precision
                              << " decimals, width " << width << ": stream \"" << expected
                              << "\", append_fixed \"" << fast << "\"";
            }
        }
    }
    EXPECT_EQ(differences, 0u);
}

TEST(AppendFixed, NotANumberAndInfinityAsTheStreamPrintsThem) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(fast_fixed(nan, 6, 10), "       nan");
    EXPECT_EQ(fast_fixed(-nan, 6, 10), "      -nan");
    EXPECT_EQ(fast_fixed(inf, 3, 6), "   inf");
    EXPECT_EQ(fast_fixed(-inf, 3, 0), "-inf");
    EXPECT_EQ(fast_fixed(-0.0, 3, 6), "-0.000");
}

// Counts and seeds: digits only, within the limit, the value untouched otherwise.
TEST(ParseWholeNumber, DigitsOnlyWithinTheLimit) {
    unsigned long long value = 7;
    for (const char* refused :
         {"", " 1", "1 ", "+1", "-1", "1.0", "1e3", "0x10", "11", "18446744073709551616"}) {
        EXPECT_FALSE(parse_whole_number(refused, 10, value)) << refused;
    }
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(parse_whole_number("0010", 10, value));
    EXPECT_EQ(value, 10u);
    EXPECT_TRUE(parse_whole_number("18446744073709551615", ~0ull, value));
    EXPECT_EQ(value, ~0ull);
}

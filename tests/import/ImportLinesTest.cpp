// The half-widths pairfit-import --lines measures at half height, against lines of known width,
// and the lines.txt it writes read back by pairfit-lines' own reader.
#include "LinesInput.h"
#include "ReadImport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

// A spectrum on a descending axis of `points` from 1 to 0 ppm, of the given lines (position,
// height, half-width) of one shape.
struct Line {
    double position, height, half_width;
};

ImportedSpectrum spectrum_of(const std::vector<Line>& lines, bool gaussian, std::size_t points) {
    ImportedSpectrum spectrum;
    for (std::size_t i = 0; i < points; ++i) {
        const double x = 1.0 - static_cast<double>(i) / static_cast<double>(points - 1);
        double y = 0.0;
        for (const Line& line : lines) {
            const double u = (x - line.position) / line.half_width;
            y += line.height * (gaussian ? std::exp(-std::log(2.0) * u * u) : 1.0 / (1.0 + u * u));
        }
        spectrum.ppm.push_back(x);
        spectrum.intensity.push_back(y);
    }
    return spectrum;
}

TEST(ImportLines, HalfWidthOfLonelyLinesOfEitherShapeAndSign) {
    std::mt19937_64 random(17);
    std::uniform_real_distribution<double> position(0.3, 0.7), width(0.004, 0.03),
        height(0.5, 20.0);
    for (int trial = 0; trial < 200; ++trial) {
        const bool gaussian = trial % 2 == 1;
        const double sign = trial % 4 < 2 ? 1.0 : -1.0;
        const Line line{position(random), sign * height(random), width(random)};
        const ImportedSpectrum spectrum = spectrum_of({line}, gaussian, 2001);
        const std::vector<LineSuggestion> found = tallest_lines(spectrum, 1);
        ASSERT_EQ(found.size(), 1u);
        ASSERT_TRUE(found[0].half_width);
        // The chord between the points around the crossing and the peak's sampling offset
        // move it by well under 1 % of a line 8 to 60 points wide.
        EXPECT_NEAR(*found[0].half_width, line.half_width, 0.01 * line.half_width)
            << "trial " << trial << (gaussian ? " gaussian" : " lorentzian");
    }
}

TEST(ImportLines, OverlappedSideIsLeftOutAndNoCrossingGivesNone) {
    // Two lines closer than the tall one's full width: its inner side rises into the other
    // before it falls to half height, so its outer side alone gives the width.
    const ImportedSpectrum pair = spectrum_of({{0.5, 10.0, 0.02}, {0.53, 8.0, 0.02}}, false, 2001);
    const std::vector<LineSuggestion> found = tallest_lines(pair, 2);
    ASSERT_EQ(found.size(), 2u);
    for (const LineSuggestion& line : found) {
        ASSERT_TRUE(line.half_width);
        EXPECT_GT(*line.half_width, 0.01);
        EXPECT_LT(*line.half_width, 0.03);
    }
    // A line wider than the spectrum never falls to half height on either side.
    const std::vector<LineSuggestion> wide =
        tallest_lines(spectrum_of({{0.5, 1.0, 5.0}}, true, 101), 1);
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_FALSE(wide[0].half_width);
}

TEST(ImportLines, SuggestionReadsBackAsLinesFile) {
    const ImportedSpectrum spectrum =
        spectrum_of({{0.2, 3.0, 0.01}, {0.5, 10.0, 0.02}, {0.8, 6.0, 0.015}}, false, 1001);
    std::vector<LineSuggestion> found = tallest_lines(spectrum, 3);
    found.push_back({0.9, 0.01, std::nullopt}); // one whose width was not measured
    const std::string text = format_lines_suggestion(found, 4, "exp/pdata/1");
    EXPECT_EQ(text.rfind(imported_lines_head, 0), 0u);
    const std::vector<LineRow> rows = parse_lines_file(text, "lines.txt");
    ASSERT_EQ(rows.size(), 4u);
    for (std::size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].name, "L" + std::to_string(k + 1));
        EXPECT_EQ(rows[k].position, found[k].ppm); // the point's ppm, bit for bit
        EXPECT_FALSE(rows[k].shape);
        EXPECT_EQ(rows[k].half_width.has_value(), found[k].half_width.has_value());
        if (found[k].half_width) {
            EXPECT_NEAR(*rows[k].half_width, *found[k].half_width, 1e-3 * *found[k].half_width);
        }
    }
    EXPECT_NEAR(rows[0].position, 0.5, 1e-12); // tallest first
    EXPECT_NEAR(rows[1].position, 0.8, 1e-12);
}

} // namespace

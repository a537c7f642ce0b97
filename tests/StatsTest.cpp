#include "Stats.h"

#include "ReferenceStages.h"

#include <gtest/gtest.h>

TEST(CalcResiduals, SumsSquaredDifferencesOfTheSecondColumn) {
    EXPECT_EQ(calc_residuals({}, {}), 0.0);
    // Column 0 is not compared.
    EXPECT_EQ(calc_residuals({{1.0, 2.0}, {2.0, 3.0}}, {{9.0, 2.0}, {-4.0, 3.0}}), 0.0);
    // A sum over rows, not a mean: (1-0)^2 + (0-2)^2 + (0.5-0)^2.
    EXPECT_EQ(calc_residuals({{0, 1.0}, {0, 0.0}, {0, 0.5}}, {{0, 0.0}, {0, 2.0}, {0, 0.0}}), 5.25);
}

TEST(CalcResiduals, CountsTheRowsOfTheFirstTableOnly) {
    const Table data = {{0, 1.0}, {0, 5.0}, {0, 7.0}};
    EXPECT_EQ(calc_residuals({{0, 3.0}}, data), 4.0);
    EXPECT_EQ(calc_residuals({}, data), 0.0);
}

// A value counts as held by a bound within 1e-9 of it, in the fit record, the bound warning
// and report.csv alike; the table path's gathering of bound hits draws the same line.
TEST(AtBound, ToleranceOfOneBillionth) {
    const double bounds[] = {parameter_lower_bound, parameter_upper_bound};
    for (const double bound : bounds) {
        const double inward = bound == parameter_lower_bound ? 1.0 : -1.0;
        SCOPED_TRACE("bound " + std::to_string(bound));
        EXPECT_TRUE(at_bound(bound));
        EXPECT_TRUE(at_bound(bound + inward * 5e-10));
        EXPECT_FALSE(at_bound(bound + inward * 2e-9));
        for (const double off : {0.0, 5e-10, 2e-9, 1e-3}) {
            const double value = bound + inward * off;
            reference::BoundHits hits;
            reference::note_bound_hits(hits, 0, {value, 0.5, 0.5, 0.5}, 4);
            EXPECT_EQ(hits.parameters[0], at_bound(value)) << off;
        }
    }
    EXPECT_FALSE(at_bound(0.5));
}

#include "Stats.h"

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

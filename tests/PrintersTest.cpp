#include "Fit.h"
#include "Read.h"
#include "Stats.h"

#include "Printed.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

using testprint::printed;
using testprint::Printed;

TEST(Dist, IsTheSquaredDifferenceEitherWayRound) {
    EXPECT_EQ(dist(1.0, 3.0), 4.0);
    EXPECT_EQ(dist(3.0, 1.0), 4.0);
    EXPECT_EQ(dist(-1.0, 2.0), 9.0);
}

TEST(PrintTime, FirstValueOfEachRow) {
    const Printed out = printed([] {
        print_time({});
        print_time({{0.5, 9.0}, {12.25}, {-1.0}});
    });
    EXPECT_EQ(out.text, "0.500000 \n12.250000 \n-1.000000 \n");
    EXPECT_TRUE(out.fixed);
    EXPECT_EQ(out.precision, 6);
}

TEST(PrintTime, RowWithoutValueIsRefusedBeforeAnyOutput) {
    const Printed out = printed([] { print_time({{1.0}, {}, {2.0}}); });
    EXPECT_EQ(out.refused, "print_time: row 1 has no value");
    EXPECT_EQ(out.text, "");
}

TEST(PrintData, IndexThenValues) {
    const Printed out = printed([] {
        print_DATA({});
        print_DATA({{1.0, -2.5}});
    });
    EXPECT_EQ(out.text, " 0  1.000 -2.500 \n");
    EXPECT_TRUE(out.fixed);
    EXPECT_EQ(out.precision, 3);
}

TEST(PrintData, EmptyRowsWideValuesAndTwoDigitIndices) {
    Table table(11);
    table[1] = {123.4567};
    table[10] = {0.0005};
    std::string expected = " 0 \n 1 123.457 \n";
    for (int i = 2; i < 10; ++i) {
        expected += " " + std::to_string(i) + " \n";
    }
    EXPECT_EQ(printed([&] { print_DATA(table); }).text, expected + "10  0.001 \n");
}

TEST(PrintData3, BlocksEachClosedByAmpersand) {
    const Printed out = printed([] {
        print_DATA3({});
        print_DATA3({{{1.0, 2.0}}, {}, {{-0.25}, {}, {100.0, 1e-7}}});
    });
    EXPECT_EQ(out.text, "1.000000 2.000000 \n&\n&\n-0.250000 \n\n100.000000 0.000000 \n&\n");
    EXPECT_EQ(out.precision, 6);
}

TEST(PrintResiduals, SumWithoutSeparatorOrLineEnd) {
    const Printed out = printed([] {
        print_residuals({{0.0, 1.0}, {1.0, 2.0}}, {{0.0, 1.5}, {1.0, 2.0}, {7.0}});
        print_residuals({}, {});
        print_residuals({{0.0, -2.0, 99.0}}, {{5.0, 2.0}});
    });
    EXPECT_EQ(out.text, "0.2500.00016.000");
    EXPECT_TRUE(out.fixed);
    EXPECT_EQ(out.precision, 3);
}

TEST(PrintResiduals, ShortTablesAndRowsAreRefusedBeforeAnyOutput) {
    const Table two = {{0.0, 1.0}, {1.0, 2.0}};
    const Printed shortData = printed([&] { print_residuals(two, {{0.0, 1.0}}); });
    EXPECT_EQ(shortData.refused, "print_residuals: 2 model rows but only 1 data rows");
    EXPECT_EQ(shortData.text, "");
    EXPECT_EQ(printed([&] {
                  print_residuals({{0.0, 1.0}, {1.0}}, two);
              }).refused,
              "print_residuals: row 1 holds fewer than two values");
    EXPECT_EQ(printed([&] {
                  print_residuals({{0.0, 1.0}}, {{}});
              }).refused,
              "print_residuals: row 0 holds fewer than two values");
}

TEST(Vec2Matrix, ElementIPlusKTakesTheLastValueWritten) {
    EXPECT_EQ(vec2matrix({{1.5}, {-2.0}, {3.0}}), (FixedColumn{1.5, -2.0, 3.0, 0.0}));
    EXPECT_EQ(vec2matrix({{4.0, 3.0, 2.0, 1.0}}), (FixedColumn{4.0, 3.0, 2.0, 1.0}));
    // Row 1 overwrites element 1 of row 0; nothing reaches elements 2 and 3.
    EXPECT_EQ(vec2matrix({{1.0, 2.0}, {3.0}, {}}), (FixedColumn{1.0, 3.0, 0.0, 0.0}));
    EXPECT_EQ(vec2matrix({{}, {}, {}, {7.0}}), (FixedColumn{0.0, 0.0, 0.0, 7.0}));
    EXPECT_EQ(vec2matrix({}), FixedColumn{});
}

TEST(Vec2Matrix, WritesPastTheColumnAreRefused) {
    EXPECT_EQ(printed([] {
                  vec2matrix({{1.0, 2.0, 3.0, 4.0, 5.0}});
              }).refused,
              "vec2matrix: row 0, value 4 falls outside the 4-element column");
    EXPECT_EQ(printed([] {
                  vec2matrix({{1.0}, {}, {2.0, 3.0, 4.0}});
              }).refused,
              "vec2matrix: row 2, value 2 falls outside the 4-element column");
    EXPECT_EQ(printed([] { vec2matrix(Table(5, Row{1.0})); }).refused,
              "vec2matrix: row 4, value 0 falls outside the 4-element column");
    // Empty rows reach nothing, however many there are.
    EXPECT_EQ(printed([] { vec2matrix(Table(9)); }).refused, "");
}

TEST(FitData, ChangesNothing) {
    Table model = {{1.0, 2.0}, {}};
    EXPECT_EQ(printed([&] { fit_DATA(model, {{3.0}}); }).text, "");
    EXPECT_EQ(model, (Table{{1.0, 2.0}, {}}));
}

// The Gram kernel: each copy gives the same bits (the reason the fit may pick the wider one),
// the products are dot products, checked against long double sums, and those not wanted may
// be left alone but no other.
#include "ColumnGram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

struct Columns {
    std::vector<std::vector<double>> values;
    std::vector<const double*> pointers;
};

Columns random_columns(std::size_t count, std::size_t n, std::mt19937_64& random) {
    // Values spread over decades and of either sign, as line columns and residuals are.
    std::normal_distribution<double> normal;
    Columns columns;
    columns.values.resize(count);
    for (auto& column : columns.values) {
        for (std::size_t p = 0; p < n; ++p) {
            column.push_back(normal(random) * std::pow(10.0, 3.0 * normal(random)));
        }
    }
    for (const auto& column : columns.values) {
        columns.pointers.push_back(column.data());
    }
    return columns;
}

TEST(ColumnGram, EveryCopyGivesTheSameBitsAndTheDotProducts) {
    std::mt19937_64 random(7);
    for (const std::size_t count : {1, 2, 3, 4, 5, 8, 9, 27}) {
        for (const std::size_t n : {0, 1, 3, 4, 5, 7, 8, 11, 2048, 2051}) {
            const Columns columns = random_columns(count, n, random);
            std::vector<double> baseline(count * count, -1.0), chosen(count * count, -2.0);
            column_gram_baseline(columns.pointers.data(), count, n, baseline.data(), count);
            column_gram(columns.pointers.data(), count, n, chosen.data());
            if (column_gram_avx2_runs()) {
                std::vector<double> wide(count * count, -3.0);
                column_gram_avx2(columns.pointers.data(), count, n, wide.data(), count);
                EXPECT_EQ(wide, baseline) << count << " columns of " << n;
            }
            EXPECT_EQ(chosen, baseline) << count << " columns of " << n;
            // The products among the columns from `unwanted` on may be left as they were; the
            // rest are all there.
            for (const std::size_t unwanted : {std::size_t{0}, count / 2, count - 1}) {
                std::vector<double> part(count * count, -4.0);
                column_gram(columns.pointers.data(), count, n, part.data(), unwanted);
                for (std::size_t i = 0; i < count; ++i) {
                    for (std::size_t j = 0; j < count; ++j) {
                        const double got = part[i + j * count];
                        if (!(i >= unwanted && j >= unwanted && got == -4.0)) {
                            ASSERT_EQ(got, baseline[i + j * count])
                                << "(" << i << ", " << j << ") from " << unwanted;
                        }
                    }
                }
            }
            for (std::size_t i = 0; i < count; ++i) {
                for (std::size_t j = 0; j < count; ++j) {
                    long double exact = 0.0L, scale = 0.0L;
                    for (std::size_t p = 0; p < n; ++p) {
                        const long double product =
                            static_cast<long double>(columns.values[i][p]) * columns.values[j][p];
                        exact += product;
                        scale += std::fabs(product);
                    }
                    EXPECT_NEAR(baseline[i + j * count], static_cast<double>(exact),
                                1e-14 * static_cast<double>(scale))
                        << "(" << i << ", " << j << ") of " << count << " columns of " << n;
                }
            }
        }
    }
}

} // namespace

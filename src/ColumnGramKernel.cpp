// The Gram matrix of a few long columns, compiled once per instruction set: the build names
// each copy with COLUMN_GRAM_NAME and gives the wide one its -m flag. Every dot product sums
// in one order fixed here: four partial sums by point modulo 4, combined pairwise, then the
// points past the last multiple of 4 in turn. With no contraction into FMA
// (-ffp-contract=off) and no reassociation, each copy gives the same bits; only the width of
// the registers that carry the partial sums differs.
//
// This file includes no header with inline code: a function compiled here for a wider
// instruction set could otherwise be the one the linker keeps for every caller.
#include <cstddef>

#if !defined(COLUMN_GRAM_NAME) || !defined(COLUMN_GRAM_ROWS)
#error "the build names this copy with COLUMN_GRAM_NAME and sizes its tiles with COLUMN_GRAM_ROWS"
#endif

namespace {

// Four doubles side by side in one AVX2 register, two in one SSE2 register. Only local
// values have these types: no function takes or returns one.
typedef double Four __attribute__((vector_size(32)));
typedef double Two __attribute__((vector_size(16)));

constexpr std::size_t lanes = 4;

// The dot products of a0..a3 with b0 and b1 over the first `blocked` points, each summed by
// lanes and the lanes pairwise: sums[r][c] for a_r and b_c. Written out, so that the sixteen
// AVX2 registers hold the eight partial sums and the six columns' values.
void four_by_two(const double* a0, const double* a1, const double* a2, const double* a3,
                 const double* b0, const double* b1, std::size_t blocked, double sums[4][2]) {
    Four s00 = {0, 0, 0, 0}, s10 = s00, s20 = s00, s30 = s00;
    Four s01 = s00, s11 = s00, s21 = s00, s31 = s00;
    for (std::size_t p = 0; p < blocked; p += lanes) {
        Four x0, x1, x2, x3, y0, y1;
        __builtin_memcpy(&x0, a0 + p, sizeof x0);
        __builtin_memcpy(&x1, a1 + p, sizeof x1);
        __builtin_memcpy(&x2, a2 + p, sizeof x2);
        __builtin_memcpy(&x3, a3 + p, sizeof x3);
        __builtin_memcpy(&y0, b0 + p, sizeof y0);
        __builtin_memcpy(&y1, b1 + p, sizeof y1);
        s00 += x0 * y0;
        s10 += x1 * y0;
        s20 += x2 * y0;
        s30 += x3 * y0;
        s01 += x0 * y1;
        s11 += x1 * y1;
        s21 += x2 * y1;
        s31 += x3 * y1;
    }
    const Four* const s[4][2] = {{&s00, &s01}, {&s10, &s11}, {&s20, &s21}, {&s30, &s31}};
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 2; ++c) {
            const Four& v = *s[r][c];
            sums[r][c] = (v[0] + v[1]) + (v[2] + v[3]);
        }
    }
}

// The same for a0, a1 with b0, b1, each sum kept as its lanes 0-1 and 2-3 in two SSE2
// registers: eight for the sums, the rest for the values (a Four would be kept in memory).
void two_by_two(const double* a0, const double* a1, const double* b0, const double* b1,
                std::size_t blocked, double sums[4][2]) {
    Two l00 = {0, 0}, h00 = l00, l10 = l00, h10 = l00, l01 = l00, h01 = l00, l11 = l00, h11 = l00;
    for (std::size_t p = 0; p < blocked; p += lanes) {
        Two x0l, x0h, x1l, x1h, y0l, y0h, y1l, y1h;
        __builtin_memcpy(&x0l, a0 + p, sizeof x0l);
        __builtin_memcpy(&x0h, a0 + p + 2, sizeof x0h);
        __builtin_memcpy(&x1l, a1 + p, sizeof x1l);
        __builtin_memcpy(&x1h, a1 + p + 2, sizeof x1h);
        __builtin_memcpy(&y0l, b0 + p, sizeof y0l);
        __builtin_memcpy(&y0h, b0 + p + 2, sizeof y0h);
        __builtin_memcpy(&y1l, b1 + p, sizeof y1l);
        __builtin_memcpy(&y1h, b1 + p + 2, sizeof y1h);
        l00 += x0l * y0l;
        h00 += x0h * y0h;
        l10 += x1l * y0l;
        h10 += x1h * y0h;
        l01 += x0l * y1l;
        h01 += x0h * y1h;
        l11 += x1l * y1l;
        h11 += x1h * y1h;
    }
    sums[0][0] = (l00[0] + l00[1]) + (h00[0] + h00[1]);
    sums[1][0] = (l10[0] + l10[1]) + (h10[0] + h10[1]);
    sums[0][1] = (l01[0] + l01[1]) + (h01[0] + h01[1]);
    sums[1][1] = (l11[0] + l11[1]) + (h11[0] + h11[1]);
}

} // namespace

// Tiles of COLUMN_GRAM_ROWS columns by two, as many as the registers hold (the tiling leaves
// each dot product's order as it is). Past the last column a tile reads the last one again
// and writes nothing.
void COLUMN_GRAM_NAME(const double* const* columns, std::size_t count, std::size_t n, double* gram,
                      std::size_t unwanted_from) {
    constexpr std::size_t rows = COLUMN_GRAM_ROWS;
    static_assert(rows == 2 || rows == 4, "tiles of two or four columns");
    const std::size_t blocked = n - n % lanes;
    const auto column = [&](std::size_t k) { return columns[k < count ? k : count - 1]; };
    for (std::size_t i = 0; i < count; i += rows) {
        const double* a[4] = {column(i), column(i + 1), column(i + 2), column(i + 3)};
        for (std::size_t j = 0; j < i + rows && j < count; j += 2) {
            if (i >= unwanted_from && j >= unwanted_from) {
                break;
            }
            const double* b[2] = {column(j), column(j + 1)};
            double d[4][2];
            if (rows == 4) {
                four_by_two(a[0], a[1], a[2], a[3], b[0], b[1], blocked, d);
            } else {
                two_by_two(a[0], a[1], b[0], b[1], blocked, d);
            }
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t c = 0; c < 2; ++c) {
                    for (std::size_t p = blocked; p < n; ++p) {
                        d[r][c] += a[r][p] * b[c][p];
                    }
                }
            }
            // Column-major count x count, both triangles.
            for (std::size_t r = 0; r < rows && i + r < count; ++r) {
                for (std::size_t c = 0; c < 2 && j + c < count; ++c) {
                    gram[(i + r) + (j + c) * count] = d[r][c];
                    gram[(j + c) + (i + r) * count] = d[r][c];
                }
            }
        }
    }
}

// Gram matrices of a few long columns (a slice's basis, its derivative columns and its
// residuals), each dot product summed in one order fixed by the code, so that the bits are
// the same on every processor while the wider vector instructions are used where present.
#pragma once

#include <cstddef>

// gram (count x count, column-major, both triangles) holds the dot products of the columns,
// each of n points; those between two columns at or after `unwanted_from` are not needed, and
// may be left as they are.
void column_gram(const double* const* columns, std::size_t count, std::size_t n, double* gram,
                 std::size_t unwanted_from = static_cast<std::size_t>(-1));

// The copies column_gram chooses from, for the tests: the baseline one, and the AVX2 one
// where the build has it and the processor runs it.
void column_gram_baseline(const double* const* columns, std::size_t count, std::size_t n,
                          double* gram, std::size_t unwanted_from);
bool column_gram_avx2_runs();
void column_gram_avx2(const double* const* columns, std::size_t count, std::size_t n, double* gram,
                      std::size_t unwanted_from);

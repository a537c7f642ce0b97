// The choice between the copies of the Gram kernel (ColumnGramKernel.cpp), made once: they
// give the same bits, so it only decides the speed.
#include "ColumnGram.h"

bool column_gram_avx2_runs() {
#ifdef PAIRFIT_COLUMN_GRAM_AVX2
    static const bool runs = __builtin_cpu_supports("avx2");
    return runs;
#else
    return false;
#endif
}

#ifndef PAIRFIT_COLUMN_GRAM_AVX2
// Never called: column_gram_avx2_runs() is false without the AVX2 copy.
void column_gram_avx2(const double* const* columns, std::size_t count, std::size_t n, double* gram,
                      std::size_t unwanted_from) {
    column_gram_baseline(columns, count, n, gram, unwanted_from);
}
#endif

void column_gram(const double* const* columns, std::size_t count, std::size_t n, double* gram,
                 std::size_t unwanted_from) {
    if (column_gram_avx2_runs()) {
        column_gram_avx2(columns, count, n, gram, unwanted_from);
    } else {
        column_gram_baseline(columns, count, n, gram, unwanted_from);
    }
}

// AVX-512 MaxSim kernel, with two layouts. Where 512-bit operations run
// whole, a query of more than 8 rows takes 512-bit vectors of 16 query rows,
// in blocks of 6 document rows x two vectors, and one of at most 8 rows runs
// the AVX2 kernel (a half-empty 512-bit vector does the same work no
// faster; two document rows interleaved into one 512-bit vector measured no
// faster either, and the same 256-bit code compiled here ran about 7%
// slower than the AVX2 file's). Where they are split in two 256-bit halves,
// 256-bit vectors with AVX-512's 32 registers do best: a query of at most 8
// rows takes one vector in blocks of 10 rows, one of more than 16 rows
// strips of four vectors (32 query rows) in blocks of 6 float16 or 5 float32
// rows, reusing each broadcast four times; one of 9 to 16 rows keeps the
// 512-bit layout, which beat two 256-bit vectors there. FMA is disabled for
// this file.
#include "common/simd_x86.hpp"
#include "rerank/maxsim.hpp"
#include "rerank/maxsim_kernel.inl"

namespace qor {

void maxsim_rows_avx512(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const void* rows,
                        RowType type, std::size_t n_rows, float* maxima, Lookahead& ahead) {
    static const bool split = parallel::splits_wide_vectors();
    if (q <= 8 && !split)
        maxsim_rows_avx2(qt, stride, q, dim, rows, type, n_rows, maxima, ahead);
    else if (q <= 8)
        maxsim_rows_of<Avx2, 5, 2>(qt, stride, q, dim, rows, type, n_rows, maxima, ahead);
    else if (q <= 16 || !split)
        maxsim_rows_of<Avx512, 6, 2>(qt, stride, q, dim, rows, type, n_rows, maxima, ahead);
    else
        maxsim_rows_of<Avx2, 5, 4, 6>(qt, stride, q, dim, rows, type, n_rows, maxima, ahead);
}

}  // namespace qor

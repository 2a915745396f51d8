// Body of the vector distance kernels, included by one thin file per
// instruction set after it has defined its vector operations `V` (see
// common/simd_x86.hpp): blocks of rows x 2 * LANES centroid lanes, so each
// centroid load serves every row of the block. Every lane performs the
// scalar sequence (sub, mul, add, each rounded, dimensions in increasing
// order, sums from -0.0); FMA is disabled for the including files.
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time.
#include "codebook/distances.hpp"

namespace qor {

namespace {

// A block of ROWS rows (a full block, or the smallest that holds the last
// rows); rows past `valid` repeat row 0 and are not stored.
template <class V, std::size_t ROWS>
void distance_rows_block(const float* const* rows, std::size_t valid, std::size_t d, const float* ct,
                         std::size_t stride, std::size_t begin, std::size_t end, float* out) {
    const float* row[ROWS];
    for (std::size_t r = 0; r < ROWS; ++r) row[r] = rows[r < valid ? r : 0];
    constexpr std::size_t W = V::LANES;
    const std::size_t span = end - begin;
    for (std::size_t p = begin; p < end; p += 2 * W) {
        typename V::F acc[ROWS][2];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < ROWS; ++r) {
            acc[r][0] = V::set1(-0.0f);
            acc[r][1] = V::set1(-0.0f);
        }
        const float* col = ct + p;
        for (std::size_t j = 0; j < d; ++j) {
            const typename V::F c0 = V::load(col + j * stride);
            const typename V::F c1 = V::load(col + j * stride + W);
#pragma GCC unroll 8
            for (std::size_t r = 0; r < ROWS; ++r) {
                const typename V::F xb = V::set1(row[r][j]);
                const typename V::F d0 = V::sub(xb, c0);
                const typename V::F d1 = V::sub(xb, c1);
                acc[r][0] = V::add(acc[r][0], V::mul(d0, d0));
                acc[r][1] = V::add(acc[r][1], V::mul(d1, d1));
            }
        }
        for (std::size_t r = 0; r < valid; ++r) {
            V::storeu(out + r * span + (p - begin), acc[r][0]);
            V::storeu(out + r * span + (p - begin) + W, acc[r][1]);
        }
    }
}

// Blocks of MAX_ROWS rows; the last rows run in the smallest power-of-two
// block that holds them.
template <class V, std::size_t MAX_ROWS>
void distance_rows(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct, std::size_t stride,
                   std::size_t begin, std::size_t end, float* out) {
    for (std::size_t r0 = 0; r0 < n_rows; r0 += MAX_ROWS) {
        const std::size_t valid = n_rows - r0 < MAX_ROWS ? n_rows - r0 : MAX_ROWS;
        float* o = out + r0 * (end - begin);
        if (valid > MAX_ROWS / 2)
            distance_rows_block<V, MAX_ROWS>(rows + r0, valid, d, ct, stride, begin, end, o);
        else if (valid > MAX_ROWS / 4)
            distance_rows_block<V, MAX_ROWS / 2>(rows + r0, valid, d, ct, stride, begin, end, o);
        else if (valid > 1)
            distance_rows_block<V, MAX_ROWS / 4>(rows + r0, valid, d, ct, stride, begin, end, o);
        else
            distance_rows_block<V, 1>(rows + r0, valid, d, ct, stride, begin, end, o);
    }
}

}  // namespace
}  // namespace qor

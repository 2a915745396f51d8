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


// Per row and segment [seg[s], seg[s + 1]) of lanes: the smallest distance
// (first), the second smallest (second; equal to the smallest when it occurs
// twice) and the lane of the first occurrence of the smallest (lane), NaN
// values ignored, +inf when a segment holds no finite value. Each vector lane
// keeps its own smallest, second smallest and first position over the
// segment's steps; the lanes are then merged on the lowest position among
// equal smallest values, which is the first occurrence in lane order.
template <class V, std::size_t ROWS>
void minima_rows_block(const float* const* rows, std::size_t valid, std::size_t d, const float* ct,
                       std::size_t stride, const std::size_t* seg, std::size_t n_seg, float* first, float* second,
                       uint32_t* lane, std::size_t out_stride) {
    const float* row[ROWS];
    for (std::size_t r = 0; r < ROWS; ++r) row[r] = rows[r < valid ? r : 0];
    constexpr std::size_t W = V::LANES;
    constexpr float INF = __builtin_inff();
    const typename V::I iota = V::iota();
    for (std::size_t s = 0; s < n_seg; ++s) {
        typename V::F b1[ROWS][2], b2[ROWS][2];
        typename V::I i1[ROWS][2];
        for (std::size_t r = 0; r < ROWS; ++r)
            for (int h = 0; h < 2; ++h) {
                b1[r][h] = V::set1(INF);
                b2[r][h] = V::set1(INF);
                i1[r][h] = V::zero_i();
            }
        for (std::size_t p = seg[s]; p < seg[s + 1]; p += 2 * W) {
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
            const typename V::I p0 = V::add_i(V::set1_i(static_cast<int>(p)), iota);
            const typename V::I pos[2] = {p0, V::add_i(p0, V::set1_i(static_cast<int>(W)))};
#pragma GCC unroll 8
            for (std::size_t r = 0; r < ROWS; ++r)
                for (int h = 0; h < 2; ++h) {
                    // Strictly smaller only: a lane keeps its first minimum;
                    // a value equal to it becomes the second smallest.
                    const typename V::Mask m1 = V::less(acc[r][h], b1[r][h]);
                    const typename V::Mask m2 = V::less(acc[r][h], b2[r][h]);
                    b2[r][h] = V::select(m1, V::select(m2, b2[r][h], acc[r][h]), b1[r][h]);
                    b1[r][h] = V::select(m1, b1[r][h], acc[r][h]);
                    i1[r][h] = V::select(m1, i1[r][h], pos[h]);
                }
        }
        alignas(V::ALIGN) float v1[2 * W];
        alignas(V::ALIGN) float v2[2 * W];
        alignas(V::ALIGN) uint32_t ix[2 * W];
        for (std::size_t r = 0; r < valid; ++r) {
            V::store(v1, b1[r][0]);
            V::store(v1 + W, b1[r][1]);
            V::store(v2, b2[r][0]);
            V::store(v2 + W, b2[r][1]);
            V::store_i(ix, i1[r][0]);
            V::store_i(ix + W, i1[r][1]);
            float m1 = INF;
            uint32_t l1 = 0xFFFFFFFFu;
            for (std::size_t l = 0; l < 2 * W; ++l)
                if (v1[l] < m1 || (v1[l] == m1 && v1[l] < INF && ix[l] < l1)) {
                    m1 = v1[l];
                    l1 = ix[l];
                }
            float m2 = INF;
            for (std::size_t l = 0; l < 2 * W; ++l) {
                if (v2[l] < m2) m2 = v2[l];
                if (ix[l] != l1 && v1[l] < m2) m2 = v1[l];
            }
            first[r * out_stride + s] = m1;
            second[r * out_stride + s] = m2;
            lane[r * out_stride + s] = l1;
        }
    }
}

template <class V, std::size_t MAX_ROWS>
void minima_rows(const float* const* rows, std::size_t n_rows, std::size_t d, const float* ct, std::size_t stride,
                 const std::size_t* seg, std::size_t n_seg, float* first, float* second, uint32_t* lane,
                 std::size_t out_stride) {
    for (std::size_t r0 = 0; r0 < n_rows; r0 += MAX_ROWS) {
        const std::size_t valid = n_rows - r0 < MAX_ROWS ? n_rows - r0 : MAX_ROWS;
        const std::size_t o = r0 * out_stride;
        if (valid > MAX_ROWS / 2)
            minima_rows_block<V, MAX_ROWS>(rows + r0, valid, d, ct, stride, seg, n_seg, first + o, second + o,
                                           lane + o, out_stride);
        else if (valid > MAX_ROWS / 4)
            minima_rows_block<V, MAX_ROWS / 2>(rows + r0, valid, d, ct, stride, seg, n_seg, first + o, second + o,
                                               lane + o, out_stride);
        else if (valid > 1)
            minima_rows_block<V, MAX_ROWS / 4>(rows + r0, valid, d, ct, stride, seg, n_seg, first + o, second + o,
                                               lane + o, out_stride);
        else
            minima_rows_block<V, 1>(rows + r0, valid, d, ct, stride, seg, n_seg, first + o, second + o, lane + o,
                                    out_stride);
    }
}

}  // namespace
}  // namespace qor

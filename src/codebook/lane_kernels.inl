// Body of the vector lane kernels, included by one thin file per instruction
// set after it has defined its vector operations `V` (see
// common/simd_x86.hpp). Rows go in blocks of ROWS x 2 * LANES lanes, so each
// centroid load serves every row of the block and each row broadcast serves
// 2 * LANES lanes. Every lane performs the scalar sequence (sub, mul, add,
// each rounded, dimensions in increasing order, sums from -0.0); FMA is
// disabled for the including files.
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time. No standard template is instantiated here either, for the same
// reason: the linker could share such a copy with portable code.
#include "codebook/lane_kernels.hpp"
#include "codebook/nearest.hpp"

namespace qor {
namespace {

// acc[r][h] = the squared distances of row[r] to the lanes [col + h * LANES,
// col + (h + 1) * LANES) of the transposed copy (stride floats a dimension).
template <class V, std::size_t ROWS>
inline void accumulate_lanes(const float* const* row, std::size_t d, const float* col, std::size_t stride,
                             typename V::F (&acc)[ROWS][2]) {
    constexpr std::size_t W = V::LANES;
#pragma GCC unroll 8
    for (std::size_t r = 0; r < ROWS; ++r) {
        acc[r][0] = V::set1(-0.0f);
        acc[r][1] = V::set1(-0.0f);
    }
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
}

// Calls block.template operator()<R>(r0, valid) for blocks of MAX_ROWS rows
// from row r0, `valid` of them real; the last rows run in the smallest of
// MAX_ROWS, MAX_ROWS / 2, MAX_ROWS / 4 and 1 rows that holds them, the rows
// past `valid` repeating the block's first row and not stored.
template <std::size_t MAX_ROWS, class Block>
inline void for_row_blocks(std::size_t n_rows, Block&& block) {
    for (std::size_t r0 = 0; r0 < n_rows; r0 += MAX_ROWS) {
        const std::size_t valid = n_rows - r0 < MAX_ROWS ? n_rows - r0 : MAX_ROWS;
        if (valid > MAX_ROWS / 2)
            block.template operator()<MAX_ROWS>(r0, valid);
        else if (valid > MAX_ROWS / 4)
            block.template operator()<MAX_ROWS / 2>(r0, valid);
        else if (valid > 1)
            block.template operator()<MAX_ROWS / 4>(r0, valid);
        else
            block.template operator()<1>(r0, valid);
    }
}

// The scalar rule over per-lane winners: smallest value below NEAREST_START,
// ties to the lower centroid index; 0 when no lane found one.
inline uint32_t reduce_lanes(const float* value, const uint32_t* index, std::size_t lanes) {
    float best = NEAREST_START;
    uint32_t best_index = 0;
    for (std::size_t l = 0; l < lanes; ++l) {
        const float v = value[l];
        if (v < best || (v == best && v < NEAREST_START && index[l] < best_index)) {
            best = v;
            best_index = index[l];
        }
    }
    return best_index;
}

template <class V, std::size_t ROWS>
void nearest_block(const float* const* row, std::size_t valid, const LaneView& c, uint32_t* out) {
    constexpr std::size_t W = V::LANES;
    typename V::F best[ROWS][2];
    typename V::I best_idx[ROWS][2];
    for (std::size_t r = 0; r < ROWS; ++r)
        for (int h = 0; h < 2; ++h) {
            best[r][h] = V::set1(NEAREST_START);
            best_idx[r][h] = V::zero_i();
        }
    const typename V::I iota = V::iota();
    for (std::size_t p = 0; p < c.width; p += 2 * W) {
        typename V::F acc[ROWS][2];
        accumulate_lanes<V, ROWS>(row, c.d, c.ct + p, c.width, acc);
        const typename V::I i0 = V::add_i(V::set1_i(static_cast<int>(p)), iota);
        const typename V::I i1 = V::add_i(i0, V::set1_i(static_cast<int>(W)));
#pragma GCC unroll 8
        for (std::size_t r = 0; r < ROWS; ++r) {
            // Strictly smaller only: a lane keeps the first index of its minimum.
            const typename V::Mask m0 = V::less(acc[r][0], best[r][0]);
            const typename V::Mask m1 = V::less(acc[r][1], best[r][1]);
            best[r][0] = V::select(m0, best[r][0], acc[r][0]);
            best[r][1] = V::select(m1, best[r][1], acc[r][1]);
            best_idx[r][0] = V::select(m0, best_idx[r][0], i0);
            best_idx[r][1] = V::select(m1, best_idx[r][1], i1);
        }
    }
    alignas(V::ALIGN) float v[2 * W];
    alignas(V::ALIGN) uint32_t ix[2 * W];
    for (std::size_t r = 0; r < valid; ++r) {
        V::store(v, best[r][0]);
        V::store(v + W, best[r][1]);
        V::store_i(ix, best_idx[r][0]);
        V::store_i(ix + W, best_idx[r][1]);
        out[r] = reduce_lanes(v, ix, 2 * W);
    }
}

template <class V, std::size_t MAX_ROWS>
void nearest_rows(const float* rows, std::size_t n, const LaneView& c, uint32_t* out) {
    for_row_blocks<MAX_ROWS>(n, [&]<std::size_t R>(std::size_t r0, std::size_t valid) {
        const float* row[R];
        for (std::size_t r = 0; r < R; ++r) row[r] = rows + (r0 + (r < valid ? r : 0)) * c.d;
        nearest_block<V, R>(row, valid, c, out + r0);
    });
}

template <class V, std::size_t ROWS>
void distance_block(const float* const* row, std::size_t valid, const LaneView& c, std::size_t begin,
                    std::size_t end, float* out) {
    constexpr std::size_t W = V::LANES;
    const std::size_t span = end - begin;
    for (std::size_t p = begin; p < end; p += 2 * W) {
        typename V::F acc[ROWS][2];
        accumulate_lanes<V, ROWS>(row, c.d, c.ct + p, c.width, acc);
        for (std::size_t r = 0; r < valid; ++r) {
            V::storeu(out + r * span + (p - begin), acc[r][0]);
            V::storeu(out + r * span + (p - begin) + W, acc[r][1]);
        }
    }
}

template <class V, std::size_t MAX_ROWS>
void distance_rows(const float* const* rows, std::size_t n_rows, const LaneView& c, std::size_t begin,
                   std::size_t end, float* out) {
    for_row_blocks<MAX_ROWS>(n_rows, [&]<std::size_t R>(std::size_t r0, std::size_t valid) {
        const float* row[R];
        for (std::size_t r = 0; r < R; ++r) row[r] = rows[r0 + (r < valid ? r : 0)];
        distance_block<V, R>(row, valid, c, begin, end, out + r0 * (end - begin));
    });
}

// Merges one row's per-lane smallest (v1, at lanes ix) and second smallest
// (v2) values: the smallest on the lowest position among equal smallest
// values, which is the first occurrence in lane order.
inline void merge_minima(const float* v1, const float* v2, const uint32_t* ix, std::size_t lanes,
                         float* first, float* second, uint32_t* lane) {
    constexpr float INF = __builtin_inff();
    float m1 = INF;
    uint32_t l1 = NO_CENTROID;
    for (std::size_t l = 0; l < lanes; ++l)
        if (v1[l] < m1 || (v1[l] == m1 && v1[l] < INF && ix[l] < l1)) {
            m1 = v1[l];
            l1 = ix[l];
        }
    float m2 = INF;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (v2[l] < m2) m2 = v2[l];
        if (ix[l] != l1 && v1[l] < m2) m2 = v1[l];
    }
    *first = m1;
    *second = m2;
    *lane = l1;
}

// Each vector lane keeps its own smallest, second smallest and first
// position over the segment's steps; merge_minima then combines the lanes.
template <class V, std::size_t ROWS>
void minima_block(const float* const* row, std::size_t valid, const LaneView& c, const std::size_t* seg,
                  std::size_t n_seg, float* first, float* second, uint32_t* lane, std::size_t out_stride) {
    constexpr std::size_t W = V::LANES;
    const typename V::I iota = V::iota();
    for (std::size_t s = 0; s < n_seg; ++s) {
        typename V::F b1[ROWS][2], b2[ROWS][2];
        typename V::I i1[ROWS][2];
        for (std::size_t r = 0; r < ROWS; ++r)
            for (int h = 0; h < 2; ++h) {
                b1[r][h] = V::set1(__builtin_inff());
                b2[r][h] = V::set1(__builtin_inff());
                i1[r][h] = V::zero_i();
            }
        for (std::size_t p = seg[s]; p < seg[s + 1]; p += 2 * W) {
            typename V::F acc[ROWS][2];
            accumulate_lanes<V, ROWS>(row, c.d, c.ct + p, c.width, acc);
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
            const std::size_t o = r * out_stride + s;
            merge_minima(v1, v2, ix, 2 * W, first + o, second + o, lane + o);
        }
    }
}

template <class V, std::size_t MAX_ROWS>
void minima_rows(const float* const* rows, std::size_t n_rows, const LaneView& c, const std::size_t* seg,
                 std::size_t n_seg, float* first, float* second, uint32_t* lane, std::size_t out_stride) {
    for_row_blocks<MAX_ROWS>(n_rows, [&]<std::size_t R>(std::size_t r0, std::size_t valid) {
        const float* row[R];
        for (std::size_t r = 0; r < R; ++r) row[r] = rows[r0 + (r < valid ? r : 0)];
        const std::size_t o = r0 * out_stride;
        minima_block<V, R>(row, valid, c, seg, n_seg, first + o, second + o, lane + o, out_stride);
    });
}

// The family for vector type V, MAX_ROWS rows per block.
template <class V, std::size_t MAX_ROWS>
LaneKernels vector_lane_kernels() {
    return LaneKernels{&nearest_rows<V, MAX_ROWS>, &distance_rows<V, MAX_ROWS>, &minima_rows<V, MAX_ROWS>,
                       true};
}

}  // namespace
}  // namespace qor

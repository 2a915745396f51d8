// Body of the vector nearest-centroid kernels, included by one thin file per
// instruction set after it has defined its vector operations `V` (see
// common/simd_x86.hpp). Blocks of ROWS rows x 2 * LANES centroids: each
// centroid load serves ROWS rows and each row broadcast serves 2 * LANES
// centroids. Every lane performs the scalar sequence (sub, mul, add, each
// rounded, dimensions in increasing order, sums from -0.0); FMA is disabled
// for the including files.
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time. No standard template is instantiated here either, for the same
// reason: the linker could share such a copy with portable code.
#include <cstdlib>
#include <cstring>
#include <new>

#include "codebook/nearest.hpp"

namespace qor {
namespace {

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
void row_block(const float* x, std::size_t d, const float* ct, std::size_t kpad, uint32_t* out, std::size_t valid) {
    constexpr std::size_t LANES = V::LANES;
    typename V::F best[ROWS][2];
    typename V::I best_idx[ROWS][2];
    for (std::size_t r = 0; r < ROWS; ++r)
        for (int h = 0; h < 2; ++h) {
            best[r][h] = V::set1(NEAREST_START);
            best_idx[r][h] = V::zero_i();
        }
    const typename V::I iota = V::iota();
    for (std::size_t cb = 0; cb < kpad; cb += 2 * LANES) {
        typename V::F acc[ROWS][2];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < ROWS; ++r) {
            acc[r][0] = V::set1(-0.0f);
            acc[r][1] = V::set1(-0.0f);
        }
        const float* col = ct + cb;
        for (std::size_t j = 0; j < d; ++j) {
            const typename V::F c0 = V::load(col + j * kpad);
            const typename V::F c1 = V::load(col + j * kpad + LANES);
#pragma GCC unroll 8
            for (std::size_t r = 0; r < ROWS; ++r) {
                const typename V::F xb = V::set1(x[r * d + j]);
                const typename V::F d0 = V::sub(xb, c0);
                const typename V::F d1 = V::sub(xb, c1);
                acc[r][0] = V::add(acc[r][0], V::mul(d0, d0));
                acc[r][1] = V::add(acc[r][1], V::mul(d1, d1));
            }
        }
        const typename V::I i0 = V::add_i(V::set1_i(static_cast<int>(cb)), iota);
        const typename V::I i1 = V::add_i(i0, V::set1_i(static_cast<int>(LANES)));
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
    alignas(V::ALIGN) float v[2 * LANES];
    alignas(V::ALIGN) uint32_t ix[2 * LANES];
    for (std::size_t r = 0; r < valid; ++r) {
        V::store(v, best[r][0]);
        V::store(v + LANES, best[r][1]);
        V::store_i(ix, best_idx[r][0]);
        V::store_i(ix + LANES, best_idx[r][1]);
        out[r] = reduce_lanes(v, ix, 2 * LANES);
    }
}

template <class V, std::size_t ROWS>
void nearest_rows(const float* rows, std::size_t n, std::size_t d, const float* ct, std::size_t kpad,
                  uint32_t* out) {
    const std::size_t full = n / ROWS * ROWS;
    for (std::size_t i = 0; i < full; i += ROWS) row_block<V, ROWS>(rows + i * d, d, ct, kpad, out + i, ROWS);
    if (full < n) {
        // Last partial block: copy into a zero-padded block; the padding rows'
        // results are computed and dropped. malloc rather than a standard
        // container (see above).
        const std::size_t bytes = ROWS * d * sizeof(float);
        auto* tail = static_cast<float*>(std::malloc(bytes));
        if (tail == nullptr) throw std::bad_alloc();
        std::memset(tail, 0, bytes);
        std::memcpy(tail, rows + full * d, (n - full) * d * sizeof(float));
        row_block<V, ROWS>(tail, d, ct, kpad, out + full, n - full);
        std::free(tail);
    }
}

}  // namespace
}  // namespace qor

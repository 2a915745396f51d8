// Body of the vector MaxSim kernels, included by one thin file per
// instruction set after it has defined its vector operations `V` (see
// common/simd_x86.hpp). One lane per query row: a block of CB document rows
// times NV vectors of query rows stays in registers across the dimensions,
// each lane doing the scalar kernel's operations in its order (start from
// +0, multiply, then add, dimensions in increasing order); the block's dots
// then enter the running maxima in row order.
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time.
#include <cstddef>
#include <limits>

namespace qor {
namespace {

template <class V, std::size_t CB, std::size_t NV>
inline void maxsim_block(const float* qt, std::size_t stride, std::size_t dim, const float* rows,
                         std::size_t j0, typename V::F* mx, Lookahead& ahead) {
    typename V::F acc[CB][NV];
    for (std::size_t c = 0; c < CB; ++c)
        for (std::size_t v = 0; v < NV; ++v) acc[c][v] = V::zero();
    for (std::size_t slot = 0; slot < dim; slot += Lookahead::SLOT) {
        // Rows stream in while these are scored: the lookahead's, or else
        // the next block's, a line per row every slot of dimensions (past
        // the document's end, the next document's).
        if (ahead.per_slot != 0)
            ahead.fetch();
        else
            for (std::size_t c = 0; c < CB; ++c) __builtin_prefetch(rows + (CB + c) * dim + slot);
        const std::size_t slot_end = slot + Lookahead::SLOT < dim ? slot + Lookahead::SLOT : dim;
        for (std::size_t p = slot; p < slot_end; ++p) {
            typename V::F x[NV];
            for (std::size_t v = 0; v < NV; ++v) x[v] = V::loadu(qt + p * stride + j0 + v * V::LANES);
#pragma GCC unroll 16
            for (std::size_t c = 0; c < CB; ++c) {
                const typename V::F rv = V::set1(rows[c * dim + p]);
                for (std::size_t v = 0; v < NV; ++v) acc[c][v] = V::add(acc[c][v], V::mul(x[v], rv));
            }
        }
    }
    for (std::size_t c = 0; c < CB; ++c)
        for (std::size_t v = 0; v < NV; ++v) mx[v] = V::max_keep(acc[c][v], mx[v]);
}

// Query rows j0 .. j0 + NV * LANES - 1 over all document rows: full blocks
// of CB rows, then one row at a time.
template <class V, std::size_t CB, std::size_t NV>
void maxsim_strip(const float* qt, std::size_t stride, std::size_t dim, const float* rows, std::size_t n_rows,
                  std::size_t j0, float* maxima, Lookahead& ahead) {
    typename V::F mx[NV];
    for (std::size_t v = 0; v < NV; ++v) mx[v] = V::set1(-std::numeric_limits<float>::infinity());
    std::size_t r = 0;
    for (; r + CB <= n_rows; r += CB) maxsim_block<V, CB, NV>(qt, stride, dim, rows + r * dim, j0, mx, ahead);
    for (; r < n_rows; ++r) maxsim_block<V, 1, NV>(qt, stride, dim, rows + r * dim, j0, mx, ahead);
    for (std::size_t v = 0; v < NV; ++v) V::storeu(maxima + j0 + v * V::LANES, mx[v]);
}

// The kernel: query rows 0 .. q - 1 rounded up to whole vectors (within the
// stride's zero padding), in strips of NV vectors, then single vectors with
// blocks of twice as many rows.
template <class V, std::size_t CB, std::size_t NV>
void maxsim_rows(const float* qt, std::size_t stride, std::size_t q, std::size_t dim, const float* rows,
                 std::size_t n_rows, float* maxima, Lookahead& ahead) {
    static_assert(NV == 2 && 16 % V::LANES == 0, "the strip dispatch below assumes two vectors per strip");
    constexpr std::size_t STRIP = NV * V::LANES;
    const std::size_t lanes = (q + V::LANES - 1) / V::LANES * V::LANES;
    // Fetches: one per slot of dimensions of every block of the first strip.
    const std::size_t blocks =
        lanes >= STRIP ? n_rows / CB + n_rows % CB : n_rows / (2 * CB) + n_rows % (2 * CB);
    ahead.pace(blocks * ((dim + Lookahead::SLOT - 1) / Lookahead::SLOT));
    std::size_t j0 = 0;
    for (; j0 + STRIP <= lanes; j0 += STRIP)
        maxsim_strip<V, CB, NV>(qt, stride, dim, rows, n_rows, j0, maxima, ahead);
    for (; j0 < lanes; j0 += V::LANES)
        maxsim_strip<V, 2 * CB, 1>(qt, stride, dim, rows, n_rows, j0, maxima, ahead);
}

}  // namespace
}  // namespace qor

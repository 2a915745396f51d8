// Body of the vector similarity kernels, included by one thin file per
// instruction set after it has defined its vector operations `V` (see
// common/simd_x86.hpp). One lane per query row: a block of CB centroids times
// RB vectors of query rows stays in registers across the dimensions, each
// lane doing the scalar kernel's operations in its order (start from +0,
// multiply, then add, dimensions in increasing order).
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time.
#include <cstddef>

namespace qor {
namespace {

template <class V, std::size_t CB, std::size_t NV>
void similarity_block(const float* qt, std::size_t stride, std::size_t dim, const float* centroids,
                      std::size_t c0, std::size_t j0, float* out) {
    typename V::F acc[CB][NV];
    for (std::size_t c = 0; c < CB; ++c)
        for (std::size_t v = 0; v < NV; ++v) acc[c][v] = V::zero();
    const float* cent = centroids + c0 * dim;
    for (std::size_t p = 0; p < dim; ++p) {
        // Centroid rows stream from memory when the set is large: fetch the
        // next block's line while this one is used for 16 dimensions.
        if (p % 16 == 0)
            for (std::size_t c = 0; c < CB; ++c) __builtin_prefetch(cent + (CB + c) * dim + p);
        typename V::F x[NV];
        for (std::size_t v = 0; v < NV; ++v) x[v] = V::loadu(qt + p * stride + j0 + v * V::LANES);
#pragma GCC unroll 16
        for (std::size_t c = 0; c < CB; ++c) {
            const typename V::F cv = V::set1(cent[c * dim + p]);
            for (std::size_t v = 0; v < NV; ++v) acc[c][v] = V::add(acc[c][v], V::mul(x[v], cv));
        }
    }
    for (std::size_t c = 0; c < CB; ++c)
        for (std::size_t v = 0; v < NV; ++v)
            V::storeu(out + (c0 + c) * stride + j0 + v * V::LANES, acc[c][v]);
}

// Centroids c_begin .. c_end - 1 for the query rows j0 .. j0 + NV * LANES - 1:
// full blocks of CB centroids, then one centroid at a time.
template <class V, std::size_t CB, std::size_t NV>
void similarity_strip(const float* qt, std::size_t stride, std::size_t dim, const float* centroids,
                      std::size_t c_begin, std::size_t c_end, std::size_t j0, float* out) {
    std::size_t c = c_begin;
    for (; c + CB <= c_end; c += CB) similarity_block<V, CB, NV>(qt, stride, dim, centroids, c, j0, out);
    for (; c < c_end; ++c) similarity_block<V, 1, NV>(qt, stride, dim, centroids, c, j0, out);
}

// The kernel: query rows 0 .. q - 1 rounded up to whole vectors (the
// padding lanes of qt are zero; lanes past the last vector are the
// caller's to fill), in strips of at most NV vectors, centroid blocks of CB.
// An 8-row query on 8-lane vectors thus computes 8 lanes, not the 16 of its
// code-major row.
template <class V, std::size_t CB, std::size_t NV, std::size_t TB = 2 * CB>
void similarity_rows(const float* qt, std::size_t stride, std::size_t q, std::size_t dim,
                     const float* centroids, std::size_t c_begin, std::size_t c_end, float* out) {
    static_assert(NV == 2 && 16 % V::LANES == 0, "the strip dispatch below assumes two vectors per strip");
    constexpr std::size_t STRIP = NV * V::LANES;
    const std::size_t lanes = (q + V::LANES - 1) / V::LANES * V::LANES;
    std::size_t j0 = 0;
    for (; j0 + STRIP <= lanes; j0 += STRIP)
        similarity_strip<V, CB, NV>(qt, stride, dim, centroids, c_begin, c_end, j0, out);
    for (; j0 < lanes; j0 += V::LANES)
        similarity_strip<V, TB, 1>(qt, stride, dim, centroids, c_begin, c_end, j0, out);
}

}  // namespace
}  // namespace qor

// Body of the vector code-major proxy kernels, included by one thin file
// per instruction set after it has defined its vector operations `V` (see
// common/simd_x86.hpp): one lane per query row, up to four vectors held in
// registers across a document's codes; the row sums of eight documents then
// run side by side in one 256-bit vector, one lane per document, each lane
// adding its rows in row order.
//
// Everything here sits in an anonymous namespace: each including file gets
// its own copy, compiled with its own flags, and nothing collides at link
// time. No inline function of a shared header is compiled here either, for
// the same reason: the linker could pick this copy for the portable code.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "router/doc_codes.hpp"

namespace qor {

namespace {

constexpr float NO_MATCH_DISTANCE = 3.40282346638528859812e+38f;
constexpr std::size_t MAX_VECTORS = 4;
constexpr std::size_t GROUP = 8;

// Row maxima of rows j0 .. j0 + LANES * NV - 1 over one document's codes, with
// -inf (no valid code) replaced by +0: the running sum starts at +0 and so
// is never -0, and adding +0 then leaves it exactly as skipping the row.
//
// The codes are split over STREAMS interleaved accumulators, merged at the
// end, so consecutive maxima do not wait on each other. This can change only
// which sign of zero a row's maximum carries (equal values are otherwise the
// same bits, and NaN never wins), and a zero of either sign leaves the row
// sum unchanged; so the distance is bit for bit the sequential one. A code
// at or above n_fine reads row n_fine, which holds -inf and never wins.
template <class V, std::size_t NV>
void block_maxima(const float* sims, std::size_t stride, uint64_t j0, uint64_t n_fine, DocCodes doc,
                  float* out) {
    constexpr std::size_t STREAMS = NV == 1 ? 4 : 2;
    constexpr std::size_t LANES = V::LANES;
    const typename V::F neg_inf = V::set1(-__builtin_inff());
    typename V::F m[STREAMS][NV];
    for (std::size_t s = 0; s < STREAMS; ++s)
        for (std::size_t v = 0; v < NV; ++v) m[s][v] = neg_inf;
    const float* base = sims + j0;
    std::size_t i = 0;
    for (; i + STREAMS <= doc.n; i += STREAMS) {
        for (std::size_t s = 0; s < STREAMS; ++s) {
            const uint64_t c = doc.codes[i + s] < n_fine ? doc.codes[i + s] : n_fine;
            const float* p = base + c * stride;
            for (std::size_t v = 0; v < NV; ++v) m[s][v] = V::max_keep(V::loadu(p + v * LANES), m[s][v]);
        }
    }
    for (; i < doc.n; ++i) {
        const uint64_t c = doc.codes[i] < n_fine ? doc.codes[i] : n_fine;
        const float* p = base + c * stride;
        for (std::size_t v = 0; v < NV; ++v) m[0][v] = V::max_keep(V::loadu(p + v * LANES), m[0][v]);
    }
    for (std::size_t s = 1; s < STREAMS; ++s)
        for (std::size_t v = 0; v < NV; ++v) m[0][v] = V::max_keep(m[s][v], m[0][v]);
    for (std::size_t v = 0; v < NV; ++v) {
        const typename V::Mask none = V::equal(m[0][v], neg_inf);
        V::store(out + v * LANES, V::select(none, m[0][v], V::zero()));
    }
}

template <class V>
void group_maxima(std::size_t nv, const float* sims, std::size_t stride, uint64_t j0, uint64_t n_fine,
                  DocCodes doc, float* out) {
    switch (nv) {
        case 1:
            block_maxima<V, 1>(sims, stride, j0, n_fine, doc, out);
            break;
        case 2:
            block_maxima<V, 2>(sims, stride, j0, n_fine, doc, out);
            break;
        case 3:
            block_maxima<V, 3>(sims, stride, j0, n_fine, doc, out);
            break;
        default:
            block_maxima<V, 4>(sims, stride, j0, n_fine, doc, out);
            break;
    }
}

template <class V>
void proxy_distances(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine, const DocCodes* docs,
                     std::size_t n_docs, float* w) {
    constexpr std::size_t LANES = V::LANES;
    constexpr std::size_t BLOCK_ROWS = LANES * MAX_VECTORS;
    if (q == 0) {
        for (std::size_t i = 0; i < n_docs; ++i) w[i] = NO_MATCH_DISTANCE;
        return;
    }
    const __m256i slots = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i slot_stride = _mm256_mullo_epi32(slots, _mm256_set1_epi32(static_cast<int>(BLOCK_ROWS)));
    alignas(V::ALIGN) float maxima[GROUP * BLOCK_ROWS] = {};
    for (std::size_t g0 = 0; g0 < n_docs; g0 += GROUP) {
        const std::size_t gn = n_docs - g0 < GROUP ? n_docs - g0 : GROUP;
        __m256 sums = _mm256_setzero_ps();
        for (uint64_t j0 = 0; j0 < q; j0 += BLOCK_ROWS) {
            const uint64_t rows = q - j0 < BLOCK_ROWS ? q - j0 : BLOCK_ROWS;
            const std::size_t nv = static_cast<std::size_t>((rows + LANES - 1) / LANES);
            for (std::size_t g = 0; g < gn; ++g)
                group_maxima<V>(nv, sims, stride, j0, n_fine, docs[g0 + g], maxima + g * BLOCK_ROWS);
            // Lane g adds document g's maxima in row order; lanes past gn
            // read zeros or an earlier group's values and are discarded.
            for (uint64_t l = 0; l < rows; ++l)
                sums = _mm256_add_ps(sums, _mm256_i32gather_ps(maxima + l, slot_stride, 4));
        }
        alignas(32) float out[GROUP];
        _mm256_store_ps(out, _mm256_sub_ps(_mm256_set1_ps(1.0f),
                                           _mm256_div_ps(sums, _mm256_set1_ps(static_cast<float>(q)))));
        for (std::size_t g = 0; g < gn; ++g) w[g0 + g] = docs[g0 + g].n == 0 ? NO_MATCH_DISTANCE : out[g];
    }
}

}  // namespace
}  // namespace qor

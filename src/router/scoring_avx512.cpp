// Code-major proxy distance with 512-bit vectors: one lane per query row,
// up to four vectors (64 rows) held in registers across a document's codes.
// Self-contained on purpose: no inline function of a shared header may be
// compiled here with AVX-512 enabled and then picked by the linker for the
// portable code.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace qor {

namespace {

constexpr float NO_MATCH_DISTANCE = 3.40282346638528859812e+38f;
constexpr std::size_t LANES = 16;
constexpr std::size_t MAX_VECTORS = 4;

// Adds, in row order, the maxima of rows j0 .. j0 + rows - 1 to sum.
template <std::size_t NV>
float add_block(const float* sims, std::size_t stride, uint64_t j0, uint64_t rows, uint64_t n_fine,
                const uint16_t* codes, std::size_t n_codes, float sum) {
    const float neg_inf = -__builtin_inff();
    __m512 m[NV];
    for (std::size_t v = 0; v < NV; ++v) m[v] = _mm512_set1_ps(neg_inf);
    for (std::size_t i = 0; i < n_codes; ++i) {
        const uint64_t c = codes[i];
        if (c >= n_fine) continue;
        const float* p = sims + c * stride + j0;
        // max_ps(x, m) returns m unless x > m: NaN never wins and an equal
        // value (either zero sign) leaves m as it was, as in the scalar loop.
        // (The all-lanes masked form sidesteps a false uninitialised-value
        // warning of GCC 12 on the unmasked intrinsic.)
        for (std::size_t v = 0; v < NV; ++v)
            m[v] = _mm512_mask_max_ps(m[v], static_cast<__mmask16>(0xFFFF), _mm512_loadu_ps(p + v * LANES), m[v]);
    }
    alignas(64) float out[NV * LANES];
    for (std::size_t v = 0; v < NV; ++v) _mm512_store_ps(out + v * LANES, m[v]);
    for (uint64_t l = 0; l < rows; ++l)
        if (out[l] != neg_inf) sum += out[l];
    return sum;
}

}  // namespace

float proxy_distance_code_major_avx512(const float* sims, std::size_t stride, uint64_t q, uint64_t n_fine,
                                       const uint16_t* codes, std::size_t n_codes) {
    if (q == 0 || n_codes == 0) return NO_MATCH_DISTANCE;
    float sum = 0.0f;
    for (uint64_t j0 = 0; j0 < q; j0 += MAX_VECTORS * LANES) {
        const uint64_t rows = q - j0 < MAX_VECTORS * LANES ? q - j0 : MAX_VECTORS * LANES;
        switch ((rows + LANES - 1) / LANES) {
            case 1: sum = add_block<1>(sims, stride, j0, rows, n_fine, codes, n_codes, sum); break;
            case 2: sum = add_block<2>(sims, stride, j0, rows, n_fine, codes, n_codes, sum); break;
            case 3: sum = add_block<3>(sims, stride, j0, rows, n_fine, codes, n_codes, sum); break;
            default: sum = add_block<4>(sims, stride, j0, rows, n_fine, codes, n_codes, sum); break;
        }
    }
    return 1.0f - sum / static_cast<float>(q);
}

}  // namespace qor

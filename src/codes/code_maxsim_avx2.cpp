// AVX2 code-MaxSim kernel: 8 query rows per register, blocks of 8 vectors
// (independent sums hide the latency of the adds). FMA is disabled for this
// file.
#include "codes/code_maxsim.hpp"
#include "codes/code_maxsim_kernel.inl"
#include "common/simd_x86.hpp"

namespace qor {

void code_maxsim_avx2(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                      int32_t* maxima) {
    for (std::size_t j0 = 0; j0 < t.q; j0 += Avx2::LANES)
        code_strip<Avx2, 8>(t, fine, residual, n, j0, maxima);
}

}  // namespace qor

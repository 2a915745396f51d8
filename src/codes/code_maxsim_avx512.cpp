// AVX-512 code-MaxSim kernel: 16 query rows per 512-bit register while 16
// remain, then the last 8 in a 256-bit one (a half-empty 512-bit register
// would read twice the table bytes for nothing). FMA is disabled for this
// file.
#include "codes/code_maxsim.hpp"
#include "codes/code_maxsim_kernel.inl"
#include "common/simd_x86.hpp"

namespace qor {

void code_maxsim_avx512(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual,
                        std::size_t n, int32_t* maxima) {
    std::size_t j0 = 0;
    for (; j0 + Avx512::LANES <= t.t_stride; j0 += Avx512::LANES)
        code_strip<Avx512, 8>(t, fine, residual, n, j0, maxima);
    for (; j0 < t.q; j0 += Avx2::LANES) code_strip<Avx2, 8>(t, fine, residual, n, j0, maxima);
}

}  // namespace qor

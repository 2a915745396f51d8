// Run-time choice of instruction-set kernels.
//
// The vector kernels exist only in builds with QOR_SIMD_KERNELS set to 1
// (x86-64 with the CMake option QOR_SIMD on); elsewhere every query here
// answers Isa::Scalar and the scalar kernels serve.
#pragma once

#ifndef QOR_SIMD_KERNELS
#define QOR_SIMD_KERNELS 0
#endif

#if QOR_SIMD_KERNELS
#define QOR_SIMD_ONLY(kernel) (kernel)
#else
#define QOR_SIMD_ONLY(kernel) nullptr
#endif

namespace qor::parallel {

enum class Isa { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// Whether this build has the kernels of `isa` and this processor (and
// operating system) runs them. The one feature test every caller shares;
// Isa::Scalar is always supported.
bool isa_supported(Isa isa);

// The widest kernel family isa_supported() accepts. Setting
// QOR_FORCE_SCALAR=1 in the environment before the first call pins it to
// Isa::Scalar, so tests can exercise the reference path.
Isa best_isa();

const char* isa_name(Isa isa);

// Whether this processor runs AVX-512 but executes a 512-bit operation as two
// 256-bit halves (AMD's Zen 4), where kernels may do better on 256-bit
// vectors with AVX-512's 32 registers. Only a choice of speed: every kernel
// layout gives the same bits.
bool splits_wide_vectors();

// The kernel of `isa` among one family's variants, or the scalar one when
// this processor or build lacks it. Pass the vector variants through
// QOR_SIMD_ONLY, so a build without them never names them.
template <class Kernel>
Kernel pick_kernel(Isa isa, Kernel scalar, Kernel avx2, Kernel avx512) {
    if (!isa_supported(isa)) return scalar;
    const Kernel chosen = isa == Isa::Avx512 ? avx512 : isa == Isa::Avx2 ? avx2 : scalar;
    return chosen != nullptr ? chosen : scalar;
}

}  // namespace qor::parallel

#include "parallel/cpu_features.hpp"

#include <cstdlib>
#include <cstring>

#if QOR_SIMD_KERNELS
#include <cpuid.h>
#endif

namespace qor::parallel {

namespace {

Isa detect() {
    const char* force = std::getenv("QOR_FORCE_SCALAR");
    if (force != nullptr && force[0] != '\0' && std::strcmp(force, "0") != 0) return Isa::Scalar;
    if (isa_supported(Isa::Avx512)) return Isa::Avx512;
    if (isa_supported(Isa::Avx2)) return Isa::Avx2;
    return Isa::Scalar;
}

}  // namespace

bool isa_supported(Isa isa) {
#if QOR_SIMD_KERNELS
    __builtin_cpu_init();
    // __builtin_cpu_supports also checks that the OS saves the wide registers.
    switch (isa) {
        case Isa::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
        case Isa::Avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
#else
    return isa == Isa::Scalar;
#endif
}

Isa best_isa() {
    static const Isa isa = detect();  // thread-safe one-time initialisation
    return isa;
}

bool splits_wide_vectors() {
#if QOR_SIMD_KERNELS
    static const bool split = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(0, &a, &b, &c, &d) == 0) return false;
        const bool amd = b == 0x68747541u && d == 0x69746E65u && c == 0x444D4163u;  // "AuthenticAMD"
        if (!amd || __get_cpuid(1, &a, &b, &c, &d) == 0) return false;
        const unsigned base = (a >> 8) & 0xFu;
        const unsigned family = base == 0xFu ? base + ((a >> 20) & 0xFFu) : base;
        return family == 0x19u && isa_supported(Isa::Avx512);  // Zen 4: AVX-512 on 256-bit units
    }();
    return split;
#else
    return false;
#endif
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::Avx512:
            return "avx512";
        case Isa::Avx2:
            return "avx2";
        default:
            return "scalar";
    }
}

}  // namespace qor::parallel

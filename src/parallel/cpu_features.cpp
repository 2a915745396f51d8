#include "parallel/cpu_features.hpp"

#include <cstdlib>
#include <cstring>

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

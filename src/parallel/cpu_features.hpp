// Run-time choice of instruction-set kernels.
#pragma once

namespace qor::parallel {

enum class Isa { Scalar = 0, Avx2 = 1, Avx512 = 2 };

// The widest kernel family this processor (and operating system) supports.
// Setting QOR_FORCE_SCALAR=1 in the environment before the first call pins
// it to Isa::Scalar, so tests can exercise the reference path.
Isa best_isa();

const char* isa_name(Isa isa);

}  // namespace qor::parallel

// Size arithmetic for "holds at least" checks.
#pragma once

#include <cstdint>
#include <limits>

namespace qor {

// a * b, or the largest value when the product does not fit: a size that
// cannot exist never passes a "holds at least" check.
inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t p = 0;
    return __builtin_mul_overflow(a, b, &p) ? std::numeric_limits<uint64_t>::max() : p;
}

}  // namespace qor

// Decimal text of numbers inside error messages.
#pragma once

#include <cstdint>
#include <string>

namespace qor {

// `v` in decimal, as messages write counts, sizes and indices.
inline std::string num(uint64_t v) {
    return std::to_string(v);
}

}  // namespace qor

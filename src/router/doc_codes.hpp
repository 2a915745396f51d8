// One document's run of fine codes, as the proxy kernels read it. A plain
// record with no inline code, so the instruction-set kernels can include it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor {

struct DocCodes {
    const uint16_t* codes;
    std::size_t n;
};

}  // namespace qor

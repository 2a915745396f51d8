// The proxy distance of a document from a query, read from the query's
// row-major similarities to the fine centroids: the reference the router's
// code-major scoring kernels reproduce bit for bit.
#pragma once

#include <cstdint>
#include <span>

namespace qor {

// 1 - (sum over query rows j of max over ids < h of sims[j*h + id], NaN
// ignored, rows without a valid value adding nothing) / q, in float32;
// 3.4028235e38 when q == 0 or ids is empty. sims holds at least q*h values.
float proxy_distance(std::span<const float> sims, uint64_t q, uint64_t h, std::span<const uint16_t> ids);

}  // namespace qor

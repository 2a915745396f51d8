#include "codebook/proxy_distance.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "common/errors.hpp"
#include "common/saturating.hpp"
#include "common/text.hpp"

namespace qor {

float proxy_distance(std::span<const float> sims, uint64_t q, uint64_t h, std::span<const uint16_t> ids) {
    if (q == 0 || ids.empty()) return std::numeric_limits<float>::max();
    if (sims.size() < saturating_mul(q, h))
        throw InternalFailure("similarity shape mismatch: " + num(q) + " rows x " + num(h) +
                              " centroids needs " + num(saturating_mul(q, h)) + " values, the matrix holds " +
                              num(sims.size()));
    float sum = 0.0f;
    const float neg_inf = -std::numeric_limits<float>::infinity();
    for (uint64_t j = 0; j < q; ++j) {
        const float* row = sims.data() + j * h;
        float m = neg_inf;
        for (const uint16_t id : ids) {
            if (id >= h) continue;
            const float v = row[id];
            if (v > m) m = v;  // false for NaN: NaN values are ignored
        }
        if (m != neg_inf && !std::isnan(m)) sum = sum + m;
    }
    return 1.0f - sum / static_cast<float>(q);
}

}  // namespace qor

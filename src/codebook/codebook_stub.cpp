// Placeholder; replaced by the codebook engine.
#include "codebook/codebook.hpp"
#include "codebook/encode.hpp"
#include "common/errors.hpp"

namespace qor {

TwoStageCodebook train_codebook(std::span<const float>, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t) {
    throw NotImplemented("codebook training is not implemented yet");
}
std::vector<float> compute_idf(std::span<const std::vector<uint32_t>>, uint64_t) {
    throw NotImplemented("idf is not implemented yet");
}
std::vector<uint32_t> encode_vectors(const TwoStageCodebook&, std::span<const float>, uint64_t) {
    throw NotImplemented("encoding is not implemented yet");
}
std::vector<uint32_t> top_coarse_clusters(const TwoStageCodebook&, std::span<const uint32_t>, uint64_t) {
    throw NotImplemented("C_top selection is not implemented yet");
}
float proxy_distance(std::span<const float>, uint64_t, uint64_t, std::span<const uint16_t>) {
    throw NotImplemented("proxy distance is not implemented yet");
}

}  // namespace qor

#include "codebook/rng.hpp"

#include <bit>
#include <utility>

namespace qor {

namespace {

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b;
    d ^= a;
    d = std::rotl(d, 16);
    c += d;
    b ^= c;
    b = std::rotl(b, 12);
    a += b;
    d ^= a;
    d = std::rotl(d, 8);
    c += d;
    b ^= c;
    b = std::rotl(b, 7);
}

// The 64-bit halves of the 128-bit product a * b.
inline void mul_64x64(uint64_t a, uint64_t b, uint64_t& hi, uint64_t& lo) {
    const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const uint64_t ll = a_lo * b_lo;
    const uint64_t lh = a_lo * b_hi;
    const uint64_t hl = a_hi * b_lo;
    const uint64_t hh = a_hi * b_hi;
    const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    lo = (mid << 32) | (ll & 0xFFFFFFFFu);
    hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
}

}  // namespace

void chacha_block(const uint32_t in[16], uint32_t out[16], int rounds) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

std::array<uint32_t, 8> seed_expander(uint64_t seed) {
    constexpr uint64_t MUL = 6364136223846793005ULL;
    constexpr uint64_t INC = 11634580027462260723ULL;
    std::array<uint32_t, 8> key{};
    uint64_t s = seed;
    for (auto& word : key) {
        s = s * MUL + INC;
        const auto x = static_cast<uint32_t>(((s >> 18) ^ s) >> 27);
        const auto rot = static_cast<int>(s >> 59);
        word = std::rotr(x, rot);
    }
    return key;
}

ChaChaRng::ChaChaRng(uint64_t seed) {
    // "expand 32-byte k" as four little-endian words.
    state_[0] = 0x61707865u;
    state_[1] = 0x3320646eu;
    state_[2] = 0x79622d32u;
    state_[3] = 0x6b206574u;
    const auto key = seed_expander(seed);
    for (int i = 0; i < 8; ++i) state_[4 + i] = key[i];
    // Words 12-13 (block counter) are set at each refill; 14-15 (stream) stay 0.
}

void ChaChaRng::refill() {
    for (int b = 0; b < 4; ++b) {
        const uint64_t block = counter_ + static_cast<uint64_t>(b);
        state_[12] = static_cast<uint32_t>(block);
        state_[13] = static_cast<uint32_t>(block >> 32);
        chacha_block(state_.data(), buffer_.data() + 16 * b, CHACHA_GEN_ROUNDS);
    }
    counter_ += 4;
    index_ = 0;
}

uint32_t ChaChaRng::next_u32() {
    if (index_ >= 64) refill();
    return buffer_[index_++];
}

uint64_t ChaChaRng::next_u64() {
    if (index_ < 63) {
        const uint64_t lo = buffer_[index_];
        const uint64_t hi = buffer_[index_ + 1];
        index_ += 2;
        return (hi << 32) | lo;
    }
    if (index_ == 63) {
        const uint64_t lo = buffer_[63];
        refill();
        const uint64_t hi = buffer_[0];
        index_ = 1;
        return (hi << 32) | lo;
    }
    refill();
    index_ = 2;
    return (static_cast<uint64_t>(buffer_[1]) << 32) | buffer_[0];
}

uint64_t ChaChaRng::gen_range(uint64_t w) {
    if (w == 0) return 0;  // empty range: nothing to draw (callers pass w >= 1)
    const uint64_t zone = (w << std::countl_zero(w)) - 1;
    for (;;) {
        uint64_t hi = 0, lo = 0;
        mul_64x64(next_u64(), w, hi, lo);
        if (lo <= zone) return hi;
    }
}

std::vector<uint64_t> shuffled_indices(uint64_t n, ChaChaRng& rng) {
    std::vector<uint64_t> perm(n);
    for (uint64_t i = 0; i < n; ++i) perm[i] = i;
    for (uint64_t w = n; w >= 2; --w) {
        const uint64_t j = rng.gen_range(w);
        std::swap(perm[w - 1], perm[j]);
    }
    return perm;
}

}  // namespace qor

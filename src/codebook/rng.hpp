// The seeded random generator of k-means initialisation: a ChaCha keystream
// (12 rounds) keyed by a PCG32 expansion of a 64-bit seed, a uniform index
// draw and the Fisher-Yates shuffle built on it. Every output is fixed by
// the seed, so a training run is reproducible bit for bit.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace qor {

// Rounds of the generator's ChaCha core (6 double rounds).
inline constexpr int CHACHA_GEN_ROUNDS = 12;

// One ChaCha block: `out` = the 16 input words after `rounds` rounds (an
// even number: column and diagonal rounds alternate), plus the input word by
// word. The round count is a parameter so the core can be checked against
// the published 20-round vectors.
void chacha_block(const uint32_t in[16], uint32_t out[16], int rounds);

// The 8 key words from a 64-bit seed: a PCG32 (XSH-RR) stream whose state is
// advanced before each output.
std::array<uint32_t, 8> seed_expander(uint64_t seed);

// A ChaCha12 keystream: key from seed_expander, 64-bit block counter from 0,
// stream 0; the buffer holds four blocks (64 words) and is refilled when a
// read finds it exhausted.
class ChaChaRng {
public:
    explicit ChaChaRng(uint64_t seed);

    // The next keystream word.
    uint32_t next_u32();

    // The next two words, the first as the low half; a draw at word 63 takes
    // its high half from word 0 of the refilled buffer.
    uint64_t next_u64();

    // A uniform value in [0, w) for w >= 1: the high half of the 128-bit
    // product of a 64-bit draw and w, redrawn while the low half lies above
    // the acceptance zone.
    uint64_t gen_range(uint64_t w);

    // Keystream words consumed so far.
    uint64_t word_pos() const { return counter_ * 16 + index_ - 64; }

private:
    void refill();

    std::array<uint32_t, 16> state_{};
    std::array<uint32_t, 64> buffer_{};
    uint64_t counter_ = 0;  // block counter of the next refill
    uint32_t index_ = 64;   // next word to read; 64 means empty
};

// The identity permutation of n indices shuffled with: for w = n down to 2,
// swap perm[w-1] with perm[j], j = gen_range(w). No draw when n < 2.
std::vector<uint64_t> shuffled_indices(uint64_t n, ChaChaRng& rng);

}  // namespace qor

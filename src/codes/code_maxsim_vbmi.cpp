// AVX-512 byte-lookup code-MaxSim kernel (VBMI and VNNI): sixteen vectors
// in the lanes of a register. For four groups at a time (two code bytes of
// each vector) one byte permute reads the 64-byte table of one query row at
// every vector's four group values, and one four-byte dot product with ones
// adds those four entries into the vector's int32 sum. The centroid term
// starts each sum, from the K rows of the vectors' codes turned around the
// same way as the codes. Up to four blocks of sixteen vectors go
// together, so that each 64-byte table row, read once, serves every
// block's lookups (a 50-vector document at 2 bits measured 0.41 us against
// 0.52 us block by block). Several documents can be scored as one run,
// their vectors one after another in the lanes, so that a document's last,
// partly filled block is shared with the next one's first vectors; each
// lane's sum goes to the maximum of its own document. Whole numbers, so
// the result equals the scalar kernel's whatever the order of additions.
// FMA is disabled for this file.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "codes/code_maxsim.hpp"

// GCC 12 warns that the unmasked AVX-512 intrinsics read an uninitialised
// register (their undefined pass-through operand); nothing here does.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace qor {

namespace {

constexpr std::size_t STRIP = 8;  // query rows sharing one reading of the codes

// Byte b of every 64-bit word (two vectors' code words, one per 32-bit
// half) picks the 8 bits from (b / 4) * 32 + half * 16 + (b % 4) * 4: group
// b % 4 of the vector's chunk `half` of that code word, in its low 4 bits.
__m512i nibble_offsets(int half) {
    alignas(64) std::array<uint8_t, 64> ctl{};
    for (int b = 0; b < 64; ++b) {
        const int in_word = b % 8;
        ctl[static_cast<std::size_t>(b)] =
            static_cast<uint8_t>((in_word / 4) * 32 + half * 16 + (in_word % 4) * 4);
    }
    return _mm512_load_si512(ctl.data());
}

// (b % 4) * 16 at byte b: the table row of group b % 4 of a chunk.
__m512i group_rows() {
    alignas(64) std::array<uint8_t, 64> rows{};
    for (std::size_t b = 0; b < 64; ++b) rows[b] = static_cast<uint8_t>((b % 4) * 16);
    return _mm512_load_si512(rows.data());
}

// Reads 8 dwords of each of 16 vectors (vector v's at at(v)) into 8
// registers, register w holding dword w of vector v in lane v. The loads
// put each vector's two 16-byte halves into a 128-bit quarter of a register
// (a broadcast load with a lane mask: no shuffle), so that quarter p of
// register 4h + m holds half h of vector 4p + m; a 4 x 4 transpose within
// the quarters of each four registers then ends it (16 in-lane unpacks
// against 24 two-register permutes and 8 inserts for a transpose from
// 256-bit rows). `width` < 8 reads only dwords below it (zeros above).
// One half (4 dwords from dword 4h) of each of 16 vectors: quarter p of
// y[m] holds vector 4p + m's, each read by one 16-byte load (a broadcast
// with a lane mask for quarters 1 to 3) or, for h_width < 4 dwords, a
// masked load.
template <typename At>
__attribute__((always_inline)) inline void load_halves(At&& at, std::size_t h, std::size_t h_width,
                                                       __m512i y[4]) {
    if (h_width == 4) {
#pragma GCC unroll 4
        for (std::size_t m = 0; m < 4; ++m) {
            __m512i r = _mm512_castsi128_si512(_mm_loadu_si128(static_cast<const __m128i*>(at(m)) + h));
            r = _mm512_mask_broadcast_i32x4(r, 0x00F0,
                                            _mm_loadu_si128(static_cast<const __m128i*>(at(4 + m)) + h));
            r = _mm512_mask_broadcast_i32x4(r, 0x0F00,
                                            _mm_loadu_si128(static_cast<const __m128i*>(at(8 + m)) + h));
            r = _mm512_mask_broadcast_i32x4(r, 0xF000,
                                            _mm_loadu_si128(static_cast<const __m128i*>(at(12 + m)) + h));
            y[m] = r;
        }
    } else {
        const auto m4 = static_cast<__mmask8>((1u << h_width) - 1);
        for (std::size_t m = 0; m < 4; ++m) {
            __m512i r = _mm512_setzero_si512();
            for (std::size_t p = 0; p < 4; ++p)
                r = _mm512_mask_broadcast_i32x4(
                    r, static_cast<__mmask16>(0xFu << (4 * p)),
                    _mm_maskz_loadu_epi32(m4, static_cast<const int32_t*>(at(4 * p + m)) + 4 * h));
            y[m] = r;
        }
    }
}

// A 4 x 4 transpose of dwords within every 128-bit quarter: out[k] lane
// 4p + m = dword k of quarter p of y[m].
__attribute__((always_inline)) inline void transpose_quarters(const __m512i y[4], __m512i* out) {
    const __m512i a = _mm512_unpacklo_epi32(y[0], y[1]), b = _mm512_unpackhi_epi32(y[0], y[1]);
    const __m512i c = _mm512_unpacklo_epi32(y[2], y[3]), d = _mm512_unpackhi_epi32(y[2], y[3]);
    out[0] = _mm512_unpacklo_epi64(a, c);
    out[1] = _mm512_unpackhi_epi64(a, c);
    out[2] = _mm512_unpacklo_epi64(b, d);
    out[3] = _mm512_unpackhi_epi64(b, d);
}

// Reads `width` (<= 8) dwords of each of 16 vectors (vector v's at at(v))
// into registers, register w holding dword w of vector v in lane v. Each
// vector's 16-byte halves go straight into 128-bit quarters (no shuffle),
// and a transpose within the quarters ends it: 16 in-lane unpacks against
// 24 two-register permutes and 8 inserts for a transpose from 256-bit rows.
template <typename At>
__attribute__((always_inline)) inline void gather_words(At&& at, std::size_t width, __m512i out[8]) {
    for (std::size_t h = 0; 4 * h < width; ++h) {
        __m512i y[4];
        load_halves(at, h, std::min<std::size_t>(4, width - 4 * h), y);
        transpose_quarters(y, out + 4 * h);
    }
}

// Documents scored together, their vectors one after another: vector i's
// K row offset at rows_at[i] and its code at code[i], both padded with
// unread entries to a multiple of 16 (the invalid row); document k holds
// vectors ends[k - 1] .. ends[k] - 1 (from 0 for k = 0).
struct Run {
    const uint32_t* rows_at;
    const uint8_t* const* code;
    std::size_t n;
    const std::size_t* ends;
    std::size_t docs;
    std::size_t code_bytes;
    const CodeStoreView* store;  // the documents to fetch ahead, or none
    const int64_t* ahead;
    std::size_t ahead_docs;
};

// Asks for the codes of document ahead[k] of the run's store, to be read
// soon: one such document as each of the run's own is done, so that the
// requests go out spread over the run (all at once they stall the core on
// the few outstanding misses it can hold).
inline void fetch_ahead(const Run& run, std::size_t k) {
    if (k >= run.ahead_docs) return;
    const CodeStoreView& store = *run.store;
    const int64_t d = run.ahead[k];
    const auto first = static_cast<std::size_t>(store.offsets[d]);
    const auto last = static_cast<std::size_t>(store.offsets[d + 1]);
    if (first == last) return;
    const auto begin = reinterpret_cast<uintptr_t>(store.residual + first * run.code_bytes);
    const auto end = reinterpret_cast<uintptr_t>(store.residual + last * run.code_bytes);
    for (uintptr_t at = begin & ~uintptr_t{63}; at < end; at += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(at));
}

// The byte indices of one code word of every lane's vector: its first
// chunk of four groups (half 0) or its second (half 1), each index the
// group's value plus 16 times its place in the chunk.
struct Indices {
    __m512i ctl[2] = {nibble_offsets(0), nibble_offsets(1)};
    __m512i rows = group_rows();

    __m512i operator()(__m512i word, int half) const {
        // (selected bits & 0x0F) | row of the group.
        return _mm512_ternarylogic_epi32(_mm512_multishift_epi64_epi8(ctl[half], word),
                                         _mm512_set1_epi8(0x0F), rows, 0xEA);
    }
};

// sum += the four-byte dot products of the unsigned bytes x with ones (the
// sum of each lane's four bytes), in place: GCC 12 otherwise copies every
// running sum to a new register at each step of a loop.
inline void add_bytes(__m512i& sum, __m512i x, __m512i ones) {
#if defined(__GNUC__) && !defined(__clang__)
    __asm__("vpdpbusd %2, %1, %0" : "+v"(sum) : "v"(x), "v"(ones));
#else
    sum = _mm512_dpbusd_epi32(sum, x, ones);
#endif
}

// Adds to the sums of Q query rows (Q <= 4) the table entries at `index`
// for `chunks` chunks (an even count), the rows' tables `chunk_bytes`
// apart. Two sums per row, even and odd chunks, keep eight dot products
// in flight.
template <std::size_t Q>
__attribute__((always_inline)) inline void add_rows(__m512i* sum, const __m512i* index, std::size_t chunks,
                                                    const uint8_t* table, std::size_t chunk_bytes) {
    const __m512i ones = _mm512_set1_epi8(1);
    __m512i even[Q], odd[Q];
    for (std::size_t r = 0; r < Q; ++r) even[r] = sum[r], odd[r] = _mm512_setzero_si512();
    for (std::size_t c = 0; c < chunks; c += 2) {
        const __m512i ie = index[c], io = index[c + 1];
        const uint8_t* tc = table + c * 64;
#pragma GCC unroll 4
        for (std::size_t r = 0; r < Q; ++r)
            add_bytes(even[r], _mm512_permutexvar_epi8(ie, _mm512_loadu_si512(tc + r * chunk_bytes)), ones);
#pragma GCC unroll 4
        for (std::size_t r = 0; r < Q; ++r)
            add_bytes(odd[r], _mm512_permutexvar_epi8(io, _mm512_loadu_si512(tc + r * chunk_bytes + 64)),
                      ones);
    }
    for (std::size_t r = 0; r < Q; ++r) sum[r] = _mm512_add_epi32(even[r], odd[r]);
}

// Code words turned into byte indices per pass: 8 KiB of indices per block.
constexpr std::size_t SEGMENT = 64;

// Blocks of 16 vectors scored together.
constexpr std::size_t GROUP = 4;

// The same for NB blocks of vectors at once (sum[b] and index[b] of block
// b) and R query rows from row r0: each table row is read once for all the
// blocks' lookups.
template <std::size_t NB, std::size_t R>
__attribute__((always_inline)) inline void add_rows_blocks(__m512i (*sum)[8],
                                                           const __m512i (*index)[2 * SEGMENT],
                                                           std::size_t r0, std::size_t chunks,
                                                           const uint8_t* table, std::size_t chunk_bytes) {
    const __m512i ones = _mm512_set1_epi8(1);
    __m512i acc[NB][R];
    for (std::size_t b = 0; b < NB; ++b)
        for (std::size_t r = 0; r < R; ++r) acc[b][r] = sum[b][r0 + r];
    const uint8_t* rows = table + r0 * chunk_bytes;
    for (std::size_t c = 0; c < chunks; ++c) {
        __m512i ix[NB];
        for (std::size_t b = 0; b < NB; ++b) ix[b] = index[b][c];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < R; ++r) {
            const __m512i t = _mm512_loadu_si512(rows + r * chunk_bytes + c * 64);
#pragma GCC unroll 4
            for (std::size_t b = 0; b < NB; ++b)
                add_bytes(acc[b][r], _mm512_permutexvar_epi8(ix[b], t), ones);
        }
    }
    for (std::size_t b = 0; b < NB; ++b)
        for (std::size_t r = 0; r < R; ++r) sum[b][r0 + r] = acc[b][r];
}

// The K rows j0 .. j0 + 7 of the codes of the run's vectors i0 .. i0 + 15
// (the invalid row for the padding), one register per query row.
inline void centroid_terms(const int32_t* k_base, const uint32_t* rows_at, std::size_t i0, __m512i sum[8]) {
    const uint32_t* off = rows_at + i0;
    gather_words([&](std::size_t v) { return static_cast<const void*>(k_base + off[v]); }, 8, sum);
}

// The byte indices of code words s0 .. s0 + seg - 1 of the run's vectors
// i0 .. i0 + 15, two per word. (The padding's lanes read the run's first
// code; their sums are never used.)
__attribute__((noinline)) void block_indices(const Run& run, std::size_t i0, std::size_t s0, std::size_t seg,
                                             __m512i* index) {
    static const Indices indices;
    const uint8_t* const* code = run.code + i0;
    for (std::size_t w0 = 0; w0 < seg; w0 += 8) {
        const std::size_t width = std::min<std::size_t>(8, seg - w0), at = 4 * (s0 + w0);
        __m512i word[8];
        gather_words([&](std::size_t v) { return static_cast<const void*>(code[v] + at); }, width, word);
        for (std::size_t i = 0; i < width; ++i) {
            index[2 * (w0 + i)] = indices(word[i], 0);
            index[2 * (w0 + i) + 1] = indices(word[i], 1);
        }
    }
}

// The lanes of a block holding its vectors a .. b - 1 (a <= b <= 16).
inline __mmask16 lanes_between(std::size_t a, std::size_t b) {
    return static_cast<__mmask16>(((1u << b) - 1) & ~((1u << a) - 1));
}

// out[r] = the largest lane of mx[r] for r < 8, by halving all eight
// registers together (25 instructions against 64 one register at a time).
inline void store_maxima(const __m512i mx[8], int32_t* out) {
    __m512i c[4], e[2];
    for (int k = 0; k < 4; ++k)  // 256-bit halves: rows 2k and 2k + 1, eight lanes each
        c[k] = _mm512_max_epi32(_mm512_shuffle_i64x2(mx[2 * k], mx[2 * k + 1], 0x44),
                                _mm512_shuffle_i64x2(mx[2 * k], mx[2 * k + 1], 0xEE));
    for (int k = 0; k < 2; ++k)  // 128-bit quarters: rows 4k .. 4k + 3, four lanes each
        e[k] = _mm512_max_epi32(_mm512_shuffle_i64x2(c[2 * k], c[2 * k + 1], 0x88),
                                _mm512_shuffle_i64x2(c[2 * k], c[2 * k + 1], 0xDD));
    // Quarter k: rows k and k + 4, two lanes each, then one.
    __m512i h = _mm512_max_epi32(_mm512_unpacklo_epi64(e[0], e[1]), _mm512_unpackhi_epi64(e[0], e[1]));
    h = _mm512_max_epi32(h, _mm512_shuffle_epi32(h, _MM_PERM_CDAB));
    const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 2, 6, 10, 14, 0, 0, 0, 0, 0, 0, 0, 0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm512_castsi512_si256(_mm512_permutexvar_epi32(order, h)));
}

// Adds the residual terms of NB blocks (the run's vectors i0 .. i0 + 16 NB
// - 1) to their sums, for R query rows. Not inlined: its loops need every vector register.
template <std::size_t NB, std::size_t R>
__attribute__((noinline)) void score_blocks(const CodeQueryTables& t, const Run& run, std::size_t i0,
                                            const uint8_t* table, __m512i (*sum)[8],
                                            __m512i (*index)[2 * SEGMENT]) {
    const std::size_t words = t.code_bytes / 4, chunk_bytes = t.chunks * 64;
    for (std::size_t s0 = 0; s0 < words; s0 += SEGMENT) {
        const std::size_t seg = std::min(SEGMENT, words - s0);
        for (std::size_t b = 0; b < NB; ++b) block_indices(run, i0 + 16 * b, s0, seg, index[b]);
        const uint8_t* ts = table + 2 * s0 * 64;
        if constexpr (NB == 1) {
            // One block: two sums per row keep enough dot products in flight.
            std::size_t r0 = 0;
            for (; r0 + 4 <= R; r0 += 4)
                add_rows<4>(sum[0] + r0, index[0], 2 * seg, ts + r0 * chunk_bytes, chunk_bytes);
            if constexpr (R % 4 != 0)
                add_rows<R % 4>(sum[0] + r0, index[0], 2 * seg, ts + r0 * chunk_bytes, chunk_bytes);
        } else if constexpr (NB == 2) {
            add_rows_blocks<2, R>(sum, index, 0, 2 * seg, ts, chunk_bytes);
        } else {
            std::size_t r0 = 0;
            for (; r0 + 4 <= R; r0 += 4) add_rows_blocks<NB, 4>(sum, index, r0, 2 * seg, ts, chunk_bytes);
            if constexpr (R % 4 != 0) add_rows_blocks<NB, R % 4>(sum, index, r0, 2 * seg, ts, chunk_bytes);
        }
    }
}

// M_j for rows j0 .. j0 + R - 1 of every document of the run, document k's
// at maxima[k * t_stride + j]. Up to GROUP blocks of 16 vectors go together
// (each table row read once for all of them); after them each block's sums
// go to the maxima of the documents its lanes hold.
template <std::size_t R>
void strip(const CodeQueryTables& t, const Run& run, std::size_t j0, int32_t* maxima) {
    const int32_t* k_base = t.centroid.data() + j0;
    const uint8_t* table = t.bytes.data() + j0 * t.chunks * 64;
    const __m512i lowest = _mm512_set1_epi32(std::numeric_limits<int32_t>::min());
    __m512i mx[8], sum[GROUP][8], index[GROUP][2 * SEGMENT];
    for (std::size_t r = 0; r < 8; ++r) mx[r] = lowest;
    std::size_t d = 0, from = 0;  // the document being scored and its first vector
    auto finish = [&] {
        alignas(32) int32_t best[8];
        store_maxima(mx, best);
        std::copy(best, best + R, maxima + d * t.t_stride + j0);
        for (std::size_t r = 0; r < R; ++r) mx[r] = lowest;
        if (j0 == 0) fetch_ahead(run, d);
        from = run.ends[d++];
    };
    for (std::size_t i0 = 0; i0 < run.n; i0 += 16 * GROUP) {
        const std::size_t blocks = std::min(GROUP, (run.n - i0 + 15) / 16);
        const std::size_t last =
            std::min<std::size_t>(16, run.n - i0 - 16 * (blocks - 1));  // in the last block
        for (std::size_t b = 0; b < blocks; ++b) centroid_terms(k_base, run.rows_at, i0 + 16 * b, sum[b]);
        switch (blocks) {
            case 1:
                score_blocks<1, R>(t, run, i0, table, sum, index);
                break;
            case 2:
                score_blocks<2, R>(t, run, i0, table, sum, index);
                break;
            case 3:
                score_blocks<3, R>(t, run, i0, table, sum, index);
                break;
            default:
                score_blocks<4, R>(t, run, i0, table, sum, index);
                break;
        }
        for (std::size_t b = 0; b < blocks; ++b) {
            const std::size_t lo = i0 + 16 * b, hi = lo + (b + 1 < blocks ? 16 : last);
            // The documents that end in this block (empty ones included) ...
            while (d < run.docs && run.ends[d] <= hi) {
                const std::size_t a = std::max(from, lo);
                if (run.ends[d] > a) {
                    const __mmask16 m = lanes_between(a - lo, run.ends[d] - lo);
                    for (std::size_t r = 0; r < R; ++r)
                        mx[r] = _mm512_mask_max_epi32(mx[r], m, mx[r], sum[b][r]);
                }
                finish();
            }
            // ... and the one that goes on into the next (every lane from its first).
            if (d < run.docs) {
                if (from <= lo) {
                    for (std::size_t r = 0; r < R; ++r) mx[r] = _mm512_max_epi32(mx[r], sum[b][r]);
                } else {
                    const __mmask16 m = lanes_between(from - lo, 16);
                    for (std::size_t r = 0; r < R; ++r)
                        mx[r] = _mm512_mask_max_epi32(mx[r], m, mx[r], sum[b][r]);
                }
            }
        }
    }
    while (d < run.docs) finish();  // empty documents after the last vector
    if (j0 == 0)
        for (std::size_t k = run.docs; k < run.ahead_docs; ++k) fetch_ahead(run, k);
}

template <std::size_t... R>
void strip_of(std::size_t rows, std::index_sequence<R...>, const CodeQueryTables& t, const Run& run,
              std::size_t j0, int32_t* maxima) {
    ((rows == R + 1 ? strip<R + 1>(t, run, j0, maxima) : void()), ...);
}

// Whether the byte-lookup kernel reads these codes: whole 4-byte words, K
// rows addressed by 32-bit offsets.
bool fits(const CodeQueryTables& t) {
    return t.code_bytes % 4 == 0 && (t.n_fine + 1) * t.c_stride <= UINT32_MAX;
}

// The run's buffers, kept per thread for runs of usual sizes.
struct RunBuffers {
    std::vector<uint32_t> rows_at;
    std::vector<const uint8_t*> code;
    std::vector<std::size_t> ends;
};

constexpr std::size_t REUSED_VECTORS = 8192;

// Appends a document of n vectors (fine codes `fine`, residual codes from
// `residual`) to the run being built in `buf`, its vectors from `at` on.
void append(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
            std::size_t at, RunBuffers& buf) {
    const __m512i limit = _mm512_set1_epi32(static_cast<int>(t.n_fine));
    const __m512i stride = _mm512_set1_epi32(static_cast<int>(t.c_stride));
    for (std::size_t i = 0; i < n; i += 16) {
        const auto m = static_cast<__mmask16>(n - i >= 16 ? 0xFFFFu : (1u << (n - i)) - 1);
        const __m512i codes = _mm512_cvtepu16_epi32(_mm256_maskz_loadu_epi16(m, fine + i));
        _mm512_mask_storeu_epi32(buf.rows_at.data() + at + i, m,
                                 _mm512_mullo_epi32(_mm512_min_epu32(codes, limit), stride));
    }
    // The codes' addresses, eight at a time.
    const auto step = static_cast<long long>(t.code_bytes);
    __m512i address = _mm512_add_epi64(
        _mm512_set1_epi64(reinterpret_cast<long long>(residual)),
        _mm512_mullo_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7), _mm512_set1_epi64(step)));
    const __m512i eight = _mm512_set1_epi64(8 * step);
    for (std::size_t i = 0; i < n; i += 8) {
        const auto m = static_cast<__mmask8>(n - i >= 8 ? 0xFFu : (1u << (n - i)) - 1);
        _mm512_mask_storeu_epi64(buf.code.data() + at + i, m, address);
        address = _mm512_add_epi64(address, eight);
    }
    buf.ends.push_back(at + n);
}

// Scores the run of `docs` documents whose vectors `buf` holds (n in all).
void score_run(const CodeQueryTables& t, RunBuffers& buf, std::size_t n, int32_t* maxima,
               const CodeStoreView* store = nullptr, const int64_t* ahead = nullptr,
               std::size_t ahead_docs = 0) {
    // Padding up to a block: the invalid K row and an address never read.
    const std::size_t padded = (n + 15) / 16 * 16;
    const uint8_t* any = n > 0 ? buf.code[0] : nullptr;
    for (std::size_t i = n; i < padded; ++i) {
        buf.rows_at[i] = static_cast<uint32_t>(t.n_fine * t.c_stride);
        buf.code[i] = any;
    }
    const Run run{buf.rows_at.data(), buf.code.data(), n,     buf.ends.data(), buf.ends.size(),
                  t.code_bytes,       store,           ahead, ahead_docs};
    for (std::size_t j0 = 0; j0 < t.q; j0 += STRIP)
        strip_of(std::min(STRIP, t.q - j0), std::make_index_sequence<STRIP>{}, t, run, j0, maxima);
}

// A per-thread buffer for runs of usual sizes, an own one for larger.
template <typename F>
void with_buffers(std::size_t n, F&& f) {
    const std::size_t padded = (n + 15) / 16 * 16;
    thread_local RunBuffers reused;
    RunBuffers own;
    RunBuffers& buf = padded <= REUSED_VECTORS ? reused : own;
    buf.rows_at.resize(std::max(buf.rows_at.size(), padded));
    buf.code.resize(std::max(buf.code.size(), padded));
    buf.ends.clear();
    f(buf);
}

}  // namespace

void code_maxsim_vbmi(const CodeQueryTables& t, const uint16_t* fine, const uint8_t* residual, std::size_t n,
                      int32_t* maxima) {
    if (!fits(t)) {
        code_maxsim_avx512(t, fine, residual, n, maxima);
        return;
    }
    with_buffers(n, [&](RunBuffers& buf) {
        append(t, fine, residual, n, 0, buf);
        score_run(t, buf, n, maxima);
    });
}

void code_maxsim_vbmi_docs(const CodeQueryTables& t, const CodeStoreView& store, const int64_t* docs,
                           std::size_t m, int32_t* maxima, const int64_t* ahead, std::size_t ahead_docs) {
    if (!fits(t)) {
        for (std::size_t k = 0; k < m; ++k) {
            const auto first = static_cast<std::size_t>(store.offsets[docs[k]]);
            const auto len = static_cast<std::size_t>(store.offsets[docs[k] + 1]) - first;
            code_maxsim_avx512(t, store.fine + first, store.residual + first * t.code_bytes, len,
                               maxima + k * t.t_stride);
        }
        return;
    }
    std::size_t n = 0;
    for (std::size_t k = 0; k < m; ++k)
        n += static_cast<std::size_t>(store.offsets[docs[k] + 1] - store.offsets[docs[k]]);
    // The next run's fine codes are read first thing in it: asked for now.
    for (std::size_t k = 0; k < ahead_docs; ++k) {
        const auto first = static_cast<std::size_t>(store.offsets[ahead[k]]);
        const auto last = static_cast<std::size_t>(store.offsets[ahead[k] + 1]);
        if (first == last) continue;
        __builtin_prefetch(store.fine + first);
        __builtin_prefetch(store.fine + last - 1);
    }
    with_buffers(n, [&](RunBuffers& buf) {
        std::size_t at = 0;
        for (std::size_t k = 0; k < m; ++k) {
            const auto first = static_cast<std::size_t>(store.offsets[docs[k]]);
            const auto len = static_cast<std::size_t>(store.offsets[docs[k] + 1]) - first;
            append(t, store.fine + first, store.residual + first * t.code_bytes, len, at, buf);
            at += len;
        }
        score_run(t, buf, n, maxima, &store, ahead, ahead_docs);
    });
}

}  // namespace qor

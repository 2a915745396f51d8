// The body writer: the state as one compact JSON object, built whole in
// memory. Every write first makes room for what it writes, so no field can
// run past the buffer; the buffer starts at a bound of the whole body (the
// integer text counted exactly, the float text bounded), so it is normally
// allocated once.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "state_file/state_file.hpp"

namespace qor {

namespace {

// Longest text of one float: sign, "0.", five zeros and nine digits.
constexpr std::size_t MAX_F32_TEXT = 17;

constexpr uint64_t kPow10[20] = {1ull,
                                 10ull,
                                 100ull,
                                 1000ull,
                                 10000ull,
                                 100000ull,
                                 1000000ull,
                                 10000000ull,
                                 100000000ull,
                                 1000000000ull,
                                 10000000000ull,
                                 100000000000ull,
                                 1000000000000ull,
                                 10000000000000ull,
                                 100000000000000ull,
                                 1000000000000000ull,
                                 10000000000000000ull,
                                 100000000000000000ull,
                                 1000000000000000000ull,
                                 10000000000000000000ull};

// Digit count from the bit length (1233/4096 approximates log10(2)).
std::size_t decimal_digits(uint64_t v) {
    const unsigned bits = 64u - static_cast<unsigned>(__builtin_clzll(v | 1));
    const unsigned t = (bits * 1233u) >> 12;
    return t + 1 - ((v | 1) < kPow10[t] ? 1 : 0);
}

// The text of 0..999 followed by a comma, four bytes per entry, and its
// length: most codes and indices are written with one copy.
struct SmallTable {
    char text[1000][4];
    unsigned char len[1000];
    constexpr SmallTable() : text{}, len{} {
        for (unsigned v = 0; v < 1000; ++v) {
            unsigned n = 0;
            if (v >= 100) text[v][n++] = static_cast<char>('0' + v / 100);
            if (v >= 10) text[v][n++] = static_cast<char>('0' + v / 10 % 10);
            text[v][n++] = static_cast<char>('0' + v % 10);
            text[v][n++] = ',';
            len[v] = static_cast<unsigned char>(n);
        }
    }
};
constexpr SmallTable kSmall;

// Writes v and a comma at p, which must have room for kUintCommaRoom bytes
// (the table copy may touch up to 3 bytes past the comma).
constexpr std::size_t kUintCommaRoom = 21 + 3;
inline char* put_uint_comma(char* p, uint64_t v) {
    if (v < 1000) {
        std::memcpy(p, kSmall.text[v], 4);
        return p + kSmall.len[v];
    }
    p = std::to_chars(p, p + 20, v).ptr;
    *p = ',';
    return p + 1;
}

// Text length of an integer array with brackets and commas.
template <class T>
std::size_t int_array_size(const std::vector<T>& v) {
    std::size_t n = 2 + (v.empty() ? 0 : v.size() - 1);
    for (const T x : v) n += decimal_digits(x);
    return n;
}

std::size_t float_array_bound(const std::vector<float>& v) {
    return 2 + v.size() * (MAX_F32_TEXT + 1);
}

// Writes one float at p (room for MAX_F32_TEXT bytes) and returns the end.
char* put_f32(char* p, float value) {
    if (!std::isfinite(value)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    if (value == 0.0f) {
        if (std::signbit(value)) *p++ = '-';
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    const char* s = sci;
    if (*s == '-') *p++ = *s++;
    char digits[12];
    int n = 0;
    digits[n++] = *s++;
    if (*s == '.') {
        ++s;
        while (*s != 'e') digits[n++] = *s++;
    }
    ++s;  // 'e'
    const bool neg_exp = *s == '-';
    ++s;
    int g = 0;
    for (; s < res.ptr; ++s) g = g * 10 + (*s - '0');
    if (neg_exp) g = -g;

    if (g >= 13 || g <= -7) {
        *p++ = digits[0];
        if (n >= 2) {
            *p++ = '.';
            std::memcpy(p, digits + 1, n - 1);
            p += n - 1;
        }
        *p++ = 'e';
        *p++ = g < 0 ? '-' : '+';
        return std::to_chars(p, p + 4, g < 0 ? -g : g).ptr;
    }
    if (g >= 0) {
        if (n <= g + 1) {
            std::memcpy(p, digits, n);
            p += n;
            for (int i = n; i < g + 1; ++i) *p++ = '0';
            std::memcpy(p, ".0", 2);
            return p + 2;
        }
        std::memcpy(p, digits, g + 1);
        p += g + 1;
        *p++ = '.';
        std::memcpy(p, digits + g + 1, n - (g + 1));
        return p + n - (g + 1);
    }
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -g - 1; ++i) *p++ = '0';
    std::memcpy(p, digits, n);
    return p + n;
}

// Appends to a string through a raw pointer; each write makes room for its
// bytes first, growing the string when the initial size falls short.
class BodyWriter {
public:
    BodyWriter(std::string& out, std::size_t initial) : out_(out) {
        out_.resize(initial);
        p_ = out_.data();
        end_ = p_ + out_.size();
    }

    // Cuts the string to what was written.
    void finish() { out_.resize(static_cast<std::size_t>(p_ - out_.data())); }

    void raw(std::string_view s) {
        room(s.size());
        std::memcpy(p_, s.data(), s.size());
        p_ += s.size();
    }
    void put(char c) {
        room(1);
        *p_++ = c;
    }
    void uint(uint64_t v) {
        room(20);
        p_ = std::to_chars(p_, p_ + 20, v).ptr;
    }

    template <class T>
    void int_array(const std::vector<T>& v) {
        put('[');
        for (const T x : v) {
            room(kUintCommaRoom);
            p_ = put_uint_comma(p_, x);
        }
        if (!v.empty()) --p_;  // the last comma becomes the bracket
        put(']');
    }

    void float_array(const std::vector<float>& v) {
        put('[');
        for (std::size_t i = 0; i < v.size(); ++i) {
            room(MAX_F32_TEXT + 1);
            if (i) *p_++ = ',';
            p_ = put_f32(p_, v[i]);
        }
        put(']');
    }

private:
    void room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) >= n) return;
        const std::size_t used = static_cast<std::size_t>(p_ - out_.data());
        out_.resize(std::max(2 * out_.size(), used + n));
        p_ = out_.data() + used;
        end_ = out_.data() + out_.size();
    }

    std::string& out_;
    char* p_;
    char* end_;
};

// Fixed text of the body: keys, braces and separators.
constexpr std::string_view K_CODEBOOK = "{\"codebook\":{\"cquant\":";
constexpr std::string_view K_N_FINE = ",\"n_fine\":";
constexpr std::string_view K_DIM = ",\"dim\":";
constexpr std::string_view K_CINDEX = ",\"cindex_labels\":";
constexpr std::string_view K_N_COARSE = ",\"n_coarse\":";
constexpr std::string_view K_DISTS = ",\"centroid_dists\":";
constexpr std::string_view K_IDF = ",\"idf\":";
constexpr std::string_view K_PROFILES = "},\"doc_profiles\":[";
constexpr std::string_view K_CIDS = "{\"centroid_ids\":";
constexpr std::string_view K_CTOP = ",\"ctop\":";
constexpr std::string_view K_DOC_IDS = "],\"doc_ids\":";
constexpr std::string_view K_POSTINGS = ",\"postings\":{\"lists\":[";
constexpr std::string_view K_REPS = "],\"cluster_reps\":[";
constexpr std::string_view K_CTOP_R = "]},\"ctop_r\":";
constexpr std::string_view K_CODES = ",\"flat_codes\":{\"codes\":";
constexpr std::string_view K_OFFSETS = ",\"offsets\":";
constexpr std::string_view K_LENGTHS = ",\"lengths\":";
constexpr std::string_view K_END = "}}";

// A bound of the body's size: the first size of the buffer.
std::size_t body_bound(const QorRouterState& s) {
    const TwoStageCodebook& cb = s.codebook;
    // The slack keeps the per-element room checks from growing the buffer
    // near its end, where the bound is exact.
    std::size_t n = 64 + K_CODEBOOK.size() + K_N_FINE.size() + K_DIM.size() + K_CINDEX.size() +
                    K_N_COARSE.size() + K_DISTS.size() + K_IDF.size() + K_PROFILES.size() + K_DOC_IDS.size() +
                    K_POSTINGS.size() + K_REPS.size() + K_CTOP_R.size() + K_CODES.size() + K_OFFSETS.size() +
                    K_LENGTHS.size() + K_END.size();
    n += float_array_bound(cb.cquant) + float_array_bound(cb.centroid_dists) + float_array_bound(cb.idf);
    n += decimal_digits(cb.n_fine) + decimal_digits(cb.dim) + decimal_digits(cb.n_coarse) +
         decimal_digits(s.ctop_r);
    n += int_array_size(cb.cindex_labels);
    for (const DocProfile& d : s.doc_profiles)
        n += K_CIDS.size() + K_CTOP.size() + 2 + int_array_size(d.centroid_ids) + int_array_size(d.ctop);
    n += int_array_size(s.doc_ids);
    for (const auto& list : s.postings.lists) n += 1 + int_array_size(list);
    for (const auto& rep : s.postings.cluster_reps) n += 1 + (rep ? decimal_digits(*rep) : 4);
    n += int_array_size(s.flat_codes.codes) + int_array_size(s.flat_codes.offsets) +
         int_array_size(s.flat_codes.lengths);
    return n;
}

}  // namespace

std::string format_f32(float value) {
    char buf[MAX_F32_TEXT];
    return std::string(buf, put_f32(buf, value));
}

std::string write_state_json(const QorRouterState& s) {
    std::string out;
    BodyWriter w(out, body_bound(s));
    const TwoStageCodebook& cb = s.codebook;

    w.raw(K_CODEBOOK);
    w.float_array(cb.cquant);
    w.raw(K_N_FINE);
    w.uint(cb.n_fine);
    w.raw(K_DIM);
    w.uint(cb.dim);
    w.raw(K_CINDEX);
    w.int_array(cb.cindex_labels);
    w.raw(K_N_COARSE);
    w.uint(cb.n_coarse);
    w.raw(K_DISTS);
    w.float_array(cb.centroid_dists);
    w.raw(K_IDF);
    w.float_array(cb.idf);

    w.raw(K_PROFILES);
    for (std::size_t d = 0; d < s.doc_profiles.size(); ++d) {
        if (d) w.put(',');
        w.raw(K_CIDS);
        w.int_array(s.doc_profiles[d].centroid_ids);
        w.raw(K_CTOP);
        w.int_array(s.doc_profiles[d].ctop);
        w.put('}');
    }
    w.raw(K_DOC_IDS);
    w.int_array(s.doc_ids);

    w.raw(K_POSTINGS);
    for (std::size_t c = 0; c < s.postings.lists.size(); ++c) {
        if (c) w.put(',');
        w.int_array(s.postings.lists[c]);
    }
    w.raw(K_REPS);
    for (std::size_t c = 0; c < s.postings.cluster_reps.size(); ++c) {
        if (c) w.put(',');
        if (const auto& rep = s.postings.cluster_reps[c])
            w.uint(*rep);
        else
            w.raw("null");
    }
    w.raw(K_CTOP_R);
    w.uint(s.ctop_r);

    w.raw(K_CODES);
    w.int_array(s.flat_codes.codes);
    w.raw(K_OFFSETS);
    w.int_array(s.flat_codes.offsets);
    w.raw(K_LENGTHS);
    w.int_array(s.flat_codes.lengths);
    w.raw(K_END);

    w.finish();
    return out;
}

}  // namespace qor

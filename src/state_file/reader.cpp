// The body reader: a schema-directed JSON reader that fills the state
// records directly, without building a document tree.
//
// Every failure carries the byte count of the line up to where reading
// stopped. Two conventions exist and both are kept exactly: an error found
// while looking at a byte that was not consumed counts that byte ("peek"
// errors), an error found after a value was consumed counts up to the last
// consumed byte. Errors about a whole record (a duplicate or missing field,
// too few elements) are placed after the record's closing bracket when that
// bracket is next.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>

#include "state_file/json_text.hpp"
#include "state_file/state_file.hpp"

namespace qor {

namespace {

// Unwinds the reader to read_state_json; never escapes this file.
struct ReadFailure {
    std::size_t consumed;  // bytes of the body up to where reading stopped
    std::string message;
};

constexpr int kEof = -1;
constexpr int kMaxDepth = 128;  // arrays and objects nest at most 127 levels

// Integer element types and the word that names them in messages.
enum class IntWord { Usize, U64, U32, U16 };

const char* word_text(IntWord w) {
    switch (w) {
        case IntWord::Usize: return "usize";
        case IntWord::U64: return "u64";
        case IntWord::U32: return "u32";
        case IntWord::U16: return "u16";
    }
    return "";
}

uint64_t word_max(IntWord w) {
    switch (w) {
        case IntWord::U32: return 0xFFFFFFFFull;
        case IntWord::U16: return 0xFFFFull;
        default: return UINT64_MAX;
    }
}

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// A JSON number as read: a non-negative integer, a negative integer, or
// anything else as a double.
struct Number {
    enum class Kind { U64, I64, F64 } kind;
    uint64_t u = 0;
    int64_t i = 0;
    double f = 0.0;
};

class Reader {
public:
    explicit Reader(std::string_view body) : b_(body.data()), p_(body.data()), e_(body.data() + body.size()) {}

    void state(QorRouterState& s);
    void end() {
        if (skip_ws() != kEof) peek_error("trailing characters");
    }

private:
    // ---- positions and errors ----
    [[noreturn]] void error(std::string msg) const {
        throw ReadFailure{static_cast<std::size_t>(p_ - b_), std::move(msg)};
    }
    [[noreturn]] void peek_error(std::string msg) const {
        const std::size_t at = static_cast<std::size_t>(p_ - b_);
        const std::size_t len = static_cast<std::size_t>(e_ - b_);
        throw ReadFailure{at + 1 < len ? at + 1 : len, std::move(msg)};
    }
    // A record-level error: placed after the closing bracket when it is next.
    [[noreturn]] void record_error(std::string msg, char close) {
        const int c = skip_ws();
        if (c == close) {
            ++p_;
        } else if (close == ']' && c == ',') {
            ++p_;
            skip_ws();
        }
        error(std::move(msg));
    }

    int peek() const { return p_ < e_ ? static_cast<unsigned char>(*p_) : kEof; }
    int skip_ws() {
        while (p_ < e_) {
            const char c = *p_;
            if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
            ++p_;
        }
        return kEof;
    }

    void enter() {
        if (--depth_ == 0) peek_error("recursion limit exceeded");
    }
    void leave() { ++depth_; }

    // ---- literals, strings, numbers ----
    void ident(const char* rest) {
        for (; *rest; ++rest) {
            if (p_ == e_) error("EOF while parsing a value");
            if (*p_++ != *rest) error("expected ident");
        }
    }
    std::string_view string_value();
    void skip_string();
    uint16_t hex4();
    void escape(std::string& out);
    void skip_escape();

    Number number(bool positive, const char* start);
    Number number_tail(bool positive, uint64_t significand, const char* start);
    void scan_fraction();
    void scan_exponent(bool zero_significand);
    double to_double(const char* start);
    [[noreturn]] void invalid_type(std::string_view expected);

    // ---- skipped values ----
    void skip_value();
    void skip_number();

    // ---- typed values ----
    template <class T>
    T integer(IntWord word);
    float f32();
    std::optional<uint32_t> optional_u32();
    template <class T, class Elem>
    void sequence(std::vector<T>& out, Elem&& elem);
    template <class T>
    void int_sequence(std::vector<T>& out, IntWord word);
    bool next_element(bool& first);
    bool next_key(bool& first, std::string_view& key);
    void colon();
    template <std::size_t N, class Field>
    void record(const char* name, const std::array<std::string_view, N>& fields, Field&& field);

    void codebook(TwoStageCodebook& cb);
    void profile(DocProfile& d);
    void postings(ClusterPostings& p);
    void flat_codes(FlatDocCodes& f);

    const char* b_;
    const char* p_;
    const char* e_;
    int depth_ = kMaxDepth;
    std::string scratch_;
    bool fraction_nonzero_ = false;  // the last fraction read had a non-zero digit
};

// ---------------------------------------------------------------------------
// Strings

// After the opening quote: the decoded text, which must be valid UTF-8.
std::string_view Reader::string_value() {
    const char* start = p_;
    bool copied = false;
    scratch_.clear();
    for (;;) {
        while (p_ < e_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
        if (p_ == e_) error("EOF while parsing a string");
        if (*p_ == '"') {
            std::string_view text;
            if (copied) {
                scratch_.append(start, static_cast<std::size_t>(p_ - start));
                text = scratch_;
            } else {
                text = std::string_view(start, static_cast<std::size_t>(p_ - start));
            }
            ++p_;
            if (!json::valid_utf8(text)) error("invalid unicode code point");
            return text;
        }
        if (*p_ == '\\') {
            scratch_.append(start, static_cast<std::size_t>(p_ - start));
            copied = true;
            ++p_;
            escape(scratch_);
            start = p_;
        } else {
            ++p_;
            error("control character (\\u0000-\\u001F) found while parsing a string");
        }
    }
}

// After the opening quote of a string whose text is not needed: checks the
// escapes' form only.
void Reader::skip_string() {
    for (;;) {
        while (p_ < e_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) ++p_;
        if (p_ == e_) error("EOF while parsing a string");
        if (*p_ == '"') {
            ++p_;
            return;
        }
        if (*p_ != '\\') error("control character (\\u0000-\\u001F) found while parsing a string");
        ++p_;
        skip_escape();
    }
}

uint16_t Reader::hex4() {
    if (e_ - p_ < 4) {
        p_ = e_;
        error("EOF while parsing a string");
    }
    unsigned v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        const char c = p_[k];
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else { ok = false; d = 0; }
        v = v * 16 + d;
    }
    p_ += 4;
    if (!ok) error("invalid escape");
    return static_cast<uint16_t>(v);
}

void Reader::escape(std::string& out) {
    if (p_ == e_) error("EOF while parsing a string");
    const char c = *p_++;
    switch (c) {
        case '"': out += '"'; return;
        case '\\': out += '\\'; return;
        case '/': out += '/'; return;
        case 'b': out += '\b'; return;
        case 'f': out += '\f'; return;
        case 'n': out += '\n'; return;
        case 'r': out += '\r'; return;
        case 't': out += '\t'; return;
        case 'u': break;
        default: error("invalid escape");
    }
    const uint32_t n = hex4();
    if (n >= 0xDC00 && n <= 0xDFFF) error("lone leading surrogate in hex escape");
    if (n < 0xD800 || n > 0xDBFF) {
        json::append_utf8(out, n);
        return;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    for (const char want : {'\\', 'u'}) {
        if (p_ == e_) error("EOF while parsing a string");
        if (*p_++ != want) error("unexpected end of hex escape");
    }
    const uint32_t n2 = hex4();
    if (n2 < 0xDC00 || n2 > 0xDFFF) error("lone leading surrogate in hex escape");
    json::append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
}

void Reader::skip_escape() {
    if (p_ == e_) error("EOF while parsing a string");
    switch (*p_++) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return;
        case 'u': hex4(); return;
        default: error("invalid escape");
    }
}

// ---------------------------------------------------------------------------
// Numbers

// Reads an integer part (after any minus sign) and what follows it; start is
// where the number's text begins, sign included.
Number Reader::number(bool positive, const char* start) {
    if (p_ == e_) error("EOF while parsing a value");
    const char c = *p_++;
    if (c == '0') {
        if (is_digit(peek())) peek_error("invalid number");
        return number_tail(positive, 0, start);
    }
    if (c < '1' || c > '9') error("invalid number");
    uint64_t sig = static_cast<uint64_t>(c - '0');
    while (is_digit(peek())) {
        const uint64_t d = static_cast<uint64_t>(*p_ - '0');
        if (sig > (UINT64_MAX - d) / 10) {
            // Beyond 64 bits: read on as a double.
            while (is_digit(peek())) ++p_;
            if (peek() == '.') scan_fraction();
            if (peek() == 'e' || peek() == 'E') scan_exponent(false);
            return Number{Number::Kind::F64, 0, 0, to_double(start)};
        }
        ++p_;
        sig = sig * 10 + d;
    }
    return number_tail(positive, sig, start);
}

Number Reader::number_tail(bool positive, uint64_t sig, const char* start) {
    const int c = peek();
    if (c == '.' || c == 'e' || c == 'E') {
        fraction_nonzero_ = false;
        if (c == '.') scan_fraction();
        if (peek() == 'e' || peek() == 'E') scan_exponent(sig == 0 && !fraction_nonzero_);
        return Number{Number::Kind::F64, 0, 0, to_double(start)};
    }
    if (positive) return Number{Number::Kind::U64, sig, 0, 0.0};
    const int64_t neg = static_cast<int64_t>(0 - sig);
    // -0 and integers below the signed 64-bit range read as doubles.
    if (neg >= 0) return Number{Number::Kind::F64, 0, 0, -static_cast<double>(sig)};
    return Number{Number::Kind::I64, 0, neg, 0.0};
}

void Reader::scan_fraction() {
    ++p_;  // '.'
    const char* digits = p_;
    fraction_nonzero_ = false;
    while (is_digit(peek())) {
        if (*p_ != '0') fraction_nonzero_ = true;
        ++p_;
    }
    if (p_ == digits) {
        if (p_ < e_) peek_error("invalid number");
        peek_error("EOF while parsing a value");
    }
}

void Reader::scan_exponent(bool zero_significand) {
    ++p_;  // 'e' or 'E'
    bool positive_exp = true;
    if (peek() == '+') {
        ++p_;
    } else if (peek() == '-') {
        positive_exp = false;
        ++p_;
    }
    if (p_ == e_) error("EOF while parsing a value");
    const char c = *p_++;
    if (!is_digit(c)) error("invalid number");
    int64_t exp = c - '0';
    while (is_digit(peek())) {
        exp = exp * 10 + (*p_++ - '0');
        if (exp > INT32_MAX) {
            // An exponent beyond 32 bits: a huge value is out of range, a
            // tiny one is zero.
            if (!zero_significand && positive_exp) error("number out of range");
            while (is_digit(peek())) ++p_;
            return;
        }
    }
}

// The number text [start, p_) as the nearest double; out of range when it
// overflows (an underflow is zero).
double Reader::to_double(const char* start) {
    double v = 0.0;
    const auto res = std::from_chars(start, p_, v);
    if (res.ec == std::errc::result_out_of_range) {
        if (json::magnitude_exponent(std::string_view(start, static_cast<std::size_t>(p_ - start))) >= 0)
            error("number out of range");
        v = *start == '-' ? -0.0 : 0.0;
    }
    return v;
}

[[noreturn]] void Reader::invalid_type(std::string_view expected) {
    std::string found;
    switch (peek()) {
        case 'n': ++p_; ident("ull"); found = "null"; break;
        case 't': ++p_; ident("rue"); found = "boolean `true`"; break;
        case 'f': ++p_; ident("alse"); found = "boolean `false`"; break;
        case '"': ++p_; found = "string " + json::debug_quote(string_value()); break;
        case '[': found = "sequence"; break;
        case '{': found = "map"; break;
        default: {
            const int c = peek();
            if (c != '-' && !is_digit(c)) peek_error("expected value");
            const char* start = p_;
            if (c == '-') ++p_;
            const Number n = number(c != '-', start);
            if (n.kind == Number::Kind::U64) found = "integer `" + std::to_string(n.u) + "`";
            else if (n.kind == Number::Kind::I64) found = "integer `" + std::to_string(n.i) + "`";
            else found = "floating point `" + json::format_f64(n.f) + "`";
        }
    }
    error("invalid type: " + found + ", expected " + std::string(expected));
}

// ---------------------------------------------------------------------------
// Skipped values: well-formed JSON of any shape, counted against the nesting
// limit like the typed values.

void Reader::skip_number() {
    const char c = p_ < e_ ? *p_ : '\0';
    if (p_ < e_) ++p_;
    if (c == '0') {
        if (is_digit(peek())) peek_error("invalid number");
    } else if (c >= '1' && c <= '9') {
        while (is_digit(peek())) ++p_;
    } else {
        error("invalid number");
    }
    if (peek() == '.') {
        ++p_;
        const char* digits = p_;
        while (is_digit(peek())) ++p_;
        if (p_ == digits) peek_error("invalid number");
    }
    if (peek() == 'e' || peek() == 'E') {
        ++p_;
        if (peek() == '+' || peek() == '-') ++p_;
        const char d = p_ < e_ ? *p_ : '\0';
        if (p_ < e_) ++p_;
        if (!is_digit(d)) error("invalid number");
        while (is_digit(peek())) ++p_;
    }
}

void Reader::skip_value() {
    const int c = skip_ws();
    switch (c) {
        case kEof: peek_error("EOF while parsing a value");
        case 'n': ++p_; ident("ull"); return;
        case 't': ++p_; ident("rue"); return;
        case 'f': ++p_; ident("alse"); return;
        case '-': ++p_; skip_number(); return;
        case '"': ++p_; skip_string(); return;
        case '[': {
            enter();
            ++p_;
            bool first = true;
            for (;;) {
                const int d = skip_ws();
                if (d == ']') {
                    ++p_;
                    break;
                }
                if (d == ',' && !first) {
                    ++p_;
                } else if (d == kEof) {
                    peek_error("EOF while parsing a list");
                } else if (first) {
                    first = false;
                } else {
                    peek_error("expected `,` or `]`");
                }
                skip_value();
            }
            leave();
            return;
        }
        case '{': {
            enter();
            ++p_;
            bool first = true;
            for (;;) {
                int d = skip_ws();
                if (d == '}') {
                    ++p_;
                    break;
                }
                if (d == ',' && !first) {
                    ++p_;
                    d = skip_ws();
                } else if (d == kEof) {
                    peek_error("EOF while parsing an object");
                } else if (first) {
                    first = false;
                } else {
                    peek_error("expected `,` or `}`");
                }
                if (d == kEof) peek_error("EOF while parsing a value");
                if (d != '"') peek_error("key must be a string");
                ++p_;
                skip_string();
                colon();
                skip_value();
            }
            leave();
            return;
        }
        default:
            if (is_digit(c)) {
                skip_number();
                return;
            }
            peek_error("expected value");
    }
}

// ---------------------------------------------------------------------------
// Typed values

template <class T>
T Reader::integer(IntWord word) {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    const char* start = p_;
    // Fast path: a plain decimal integer of at most 19 digits.
    if (c >= '1' && c <= '9') {
        const char* q = p_;
        uint64_t v = 0;
        while (q < e_ && is_digit(*q) && q - p_ < 19) v = v * 10 + static_cast<uint64_t>(*q++ - '0');
        const int next = q < e_ ? static_cast<unsigned char>(*q) : kEof;
        if (!is_digit(next) && next != '.' && next != 'e' && next != 'E') {
            p_ = q;
            if (v > word_max(word))
                error("invalid value: integer `" + std::to_string(v) + "`, expected " + word_text(word));
            return static_cast<T>(v);
        }
    }
    if (c != '-' && !is_digit(c)) invalid_type(word_text(word));
    if (c == '-') ++p_;
    const Number n = number(c != '-', start);
    switch (n.kind) {
        case Number::Kind::U64:
            if (n.u > word_max(word))
                error("invalid value: integer `" + std::to_string(n.u) + "`, expected " + word_text(word));
            return static_cast<T>(n.u);
        case Number::Kind::I64:
            error("invalid value: integer `" + std::to_string(n.i) + "`, expected " + word_text(word));
        case Number::Kind::F64:
            break;
    }
    error("invalid type: floating point `" + json::format_f64(n.f) + "`, expected " + word_text(word));
}

float Reader::f32() {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) invalid_type("f32");
    const char* start = p_;
    if (c == '-') ++p_;
    number(c != '-', start);
    // The nearest float to the text itself, not to an intermediate double.
    float v = 0.0f;
    const auto res = std::from_chars(start, p_, v);
    if (res.ec == std::errc::result_out_of_range) {
        if (json::magnitude_exponent(std::string_view(start, static_cast<std::size_t>(p_ - start))) >= 0)
            error("number out of range");
        v = *start == '-' ? -0.0f : 0.0f;
    }
    return v;
}

std::optional<uint32_t> Reader::optional_u32() {
    if (skip_ws() == 'n') {
        ++p_;
        ident("ull");
        return std::nullopt;
    }
    return integer<uint32_t>(IntWord::U32);
}

bool Reader::next_element(bool& first) {
    int c = skip_ws();
    if (c == ']') return false;
    if (c == ',' && !first) {
        ++p_;
        c = skip_ws();
    } else if (c == kEof) {
        peek_error("EOF while parsing a list");
    } else if (first) {
        first = false;
    } else {
        peek_error("expected `,` or `]`");
    }
    if (c == ']') peek_error("trailing comma");
    if (c == kEof) peek_error("EOF while parsing a value");
    return true;
}

template <class T, class Elem>
void Reader::sequence(std::vector<T>& out, Elem&& elem) {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    if (c != '[') invalid_type("a sequence");
    enter();
    ++p_;
    bool first = true;
    while (next_element(first)) out.push_back(elem());
    ++p_;  // ']'
    leave();
}

// An array of integers. Compact text ("[12,0,345]", plain values in range)
// takes a fast loop; anything else goes back to the separator before it and
// continues on the general path, which gives the exact error.
template <class T>
void Reader::int_sequence(std::vector<T>& out, IntWord word) {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    if (c != '[') invalid_type("a sequence");
    enter();
    ++p_;
    const uint64_t max = word_max(word);
    // Size the array once from its commas: lists are then allocated once,
    // never copied while they grow, and carry no spare capacity. Every
    // element takes at least two bytes, which caps what a malformed array
    // can reserve.
    if (const void* close = std::memchr(p_, ']', static_cast<std::size_t>(e_ - p_))) {
        const char* end = static_cast<const char*>(close);
        const std::size_t span = static_cast<std::size_t>(end - p_);
        if (span > 0) {
            const std::size_t commas = static_cast<std::size_t>(std::count(p_, end, ','));
            out.reserve(out.size() + std::min(commas + 1, span / 2 + 1));
        }
    }
    bool first = true;
    while (p_ < e_ && is_digit(*p_)) {
        const char* q = p_;
        uint64_t v = static_cast<uint64_t>(*q++ - '0');
        if (v != 0)
            while (q < e_ && is_digit(*q) && q - p_ < 19) v = v * 10 + static_cast<uint64_t>(*q++ - '0');
        if (q == e_ || (*q != ',' && *q != ']') || v > max) break;
        out.push_back(static_cast<T>(v));
        first = false;
        p_ = q + 1;
        if (*q == ']') {
            leave();
            return;
        }
    }
    if (!first) --p_;  // back to the comma after the last element read
    while (next_element(first)) out.push_back(integer<T>(word));
    ++p_;  // ']'
    leave();
}

void Reader::colon() {
    const int c = skip_ws();
    if (c == ':') {
        ++p_;
        return;
    }
    if (c == kEof) peek_error("EOF while parsing an object");
    peek_error("expected `:`");
}

bool Reader::next_key(bool& first, std::string_view& key) {
    int c = skip_ws();
    if (c == '}') return false;
    if (c == ',' && !first) {
        ++p_;
        c = skip_ws();
    } else if (c == kEof) {
        peek_error("EOF while parsing an object");
    } else if (first) {
        first = false;
    } else {
        peek_error("expected `,` or `}`");
    }
    if (c == '"') {
        ++p_;
        key = string_value();
        return true;
    }
    if (c == '}') peek_error("trailing comma");
    if (c == kEof) peek_error("EOF while parsing a value");
    peek_error("key must be a string");
}

// One record, as an object with its fields in any order (unknown keys
// skipped) or as an array of its fields in declared order.
template <std::size_t N, class Field>
void Reader::record(const char* name, const std::array<std::string_view, N>& fields, Field&& field) {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    if (c == '[') {
        enter();
        ++p_;
        bool first = true;
        for (std::size_t i = 0; i < N; ++i) {
            if (!next_element(first))
                record_error("invalid length " + std::to_string(i) + ", expected struct " + name + " with " +
                                 std::to_string(N) + " elements",
                             ']');
            field(i);
        }
        leave();
        const int d = skip_ws();
        if (d == ']') {
            ++p_;
        } else if (d == ',') {
            ++p_;
            if (skip_ws() == ']') peek_error("trailing comma");
            peek_error("trailing characters");
        } else if (d == kEof) {
            peek_error("EOF while parsing a list");
        } else {
            peek_error("trailing characters");
        }
        return;
    }
    if (c != '{') invalid_type(std::string("struct ") + name);
    enter();
    ++p_;
    uint32_t seen = 0;
    bool first = true;
    std::string_view key;
    while (next_key(first, key)) {
        std::size_t i = 0;
        while (i < N && fields[i] != key) ++i;
        if (i == N) {
            colon();
            skip_value();
            continue;
        }
        if (seen & (1u << i)) record_error("duplicate field `" + std::string(fields[i]) + "`", '}');
        colon();
        field(i);
        seen |= 1u << i;
    }
    for (std::size_t i = 0; i < N; ++i)
        if (!(seen & (1u << i))) record_error("missing field `" + std::string(fields[i]) + "`", '}');
    ++p_;  // '}'
    leave();
}

void Reader::codebook(TwoStageCodebook& cb) {
    static constexpr std::array<std::string_view, 7> kFields = {"cquant", "n_fine", "dim", "cindex_labels",
                                                                "n_coarse", "centroid_dists", "idf"};
    record("TwoStageCodebook", kFields, [&](std::size_t i) {
        switch (i) {
            case 0: cb.cquant.clear(); sequence(cb.cquant, [&] { return f32(); }); break;
            case 1: cb.n_fine = integer<uint64_t>(IntWord::Usize); break;
            case 2: cb.dim = integer<uint64_t>(IntWord::Usize); break;
            case 3: int_sequence(cb.cindex_labels, IntWord::U32); break;
            case 4: cb.n_coarse = integer<uint64_t>(IntWord::Usize); break;
            case 5: sequence(cb.centroid_dists, [&] { return f32(); }); break;
            case 6: sequence(cb.idf, [&] { return f32(); }); break;
        }
    });
}

void Reader::profile(DocProfile& d) {
    static constexpr std::array<std::string_view, 2> kFields = {"centroid_ids", "ctop"};
    record("DocProfile", kFields, [&](std::size_t i) {
        auto& out = i == 0 ? d.centroid_ids : d.ctop;
        int_sequence(out, IntWord::U32);
    });
}

void Reader::postings(ClusterPostings& p) {
    static constexpr std::array<std::string_view, 2> kFields = {"lists", "cluster_reps"};
    record("ClusterPostings", kFields, [&](std::size_t i) {
        if (i == 0) {
            sequence(p.lists, [&] {
                std::vector<uint32_t> list;
                int_sequence(list, IntWord::U32);
                return list;
            });
        } else {
            sequence(p.cluster_reps, [&] { return optional_u32(); });
        }
    });
}

void Reader::flat_codes(FlatDocCodes& f) {
    static constexpr std::array<std::string_view, 3> kFields = {"codes", "offsets", "lengths"};
    record("FlatDocCodes", kFields, [&](std::size_t i) {
        switch (i) {
            case 0: int_sequence(f.codes, IntWord::U16); break;
            case 1: int_sequence(f.offsets, IntWord::U32); break;
            case 2: int_sequence(f.lengths, IntWord::U16); break;
        }
    });
}

void Reader::state(QorRouterState& s) {
    static constexpr std::array<std::string_view, 6> kFields = {"codebook", "doc_profiles", "doc_ids",
                                                                "postings", "ctop_r",       "flat_codes"};
    record("QorRouterState", kFields, [&](std::size_t i) {
        switch (i) {
            case 0: codebook(s.codebook); break;
            case 1:
                sequence(s.doc_profiles, [&] {
                    DocProfile d;
                    profile(d);
                    return d;
                });
                break;
            case 2: int_sequence(s.doc_ids, IntWord::U64); break;
            case 3: postings(s.postings); break;
            case 4: s.ctop_r = integer<uint64_t>(IntWord::Usize); break;
            case 5: flat_codes(s.flat_codes); break;
        }
    });
}

}  // namespace

std::optional<QorRouterState> read_state_json(std::string_view body, PersistError* error) {
    Reader reader(body);
    try {
        QorRouterState state;
        reader.state(state);
        reader.end();
        return state;
    } catch (const ReadFailure& f) {
        if (error) {
            const json::LineColumn at = json::line_column(body, f.consumed);
            *error = PersistError{PersistError::Kind::Serialization,
                                  f.message + " at line " + std::to_string(at.line) + " column " +
                                      std::to_string(at.column),
                                  0};
        }
        return std::nullopt;
    }
}

}  // namespace qor

// The body reader: a schema-directed JSON reader that fills the state
// records directly, without building a document tree. Its messages (and the
// way values are quoted in them) are pinned for compatibility: callers match
// them word for word.
//
// Values of unknown keys are skipped through the same string, number and
// container code that reads typed values; `skipping` marks the few places
// where a skipped value is read differently (its form only, no ranges, and
// the messages noted there).
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
        case IntWord::Usize:
            return "usize";
        case IntWord::U64:
            return "u64";
        case IntWord::U32:
            return "u32";
        case IntWord::U16:
            return "u16";
    }
    return "";
}

uint64_t word_max(IntWord w) {
    switch (w) {
        case IntWord::U32:
            return 0xFFFFFFFFull;
        case IntWord::U16:
            return 0xFFFFull;
        default:
            return UINT64_MAX;
    }
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

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
    explicit Reader(std::string_view body)
        : b_(body.data()), p_(body.data()), e_(body.data() + body.size()) {}

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
    // A number that ends where a digit must follow: a skipped number calls
    // the missing digit invalid, a read one the value unfinished.
    [[noreturn]] void missing_digit(bool skipping) const {
        error(skipping ? "invalid number" : "EOF while parsing a value");
    }
    [[noreturn]] void out_of_range() const { error("number out of range"); }
    // Whether the number text [start, p_), which a conversion reported out of
    // range, is too large (rather than too small) in magnitude.
    bool overflows(const char* start) const {
        return json::magnitude_exponent(std::string_view(start, static_cast<std::size_t>(p_ - start))) >= 0;
    }
    [[noreturn]] void invalid_value(const std::string& integer, IntWord word) const {
        error("invalid value: integer `" + integer + "`, expected " + word_text(word));
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
    std::string_view string(bool skipping);
    uint16_t hex4();
    void escape(std::string* out);
    const char* plain_uint(uint64_t* v) const;
    Number number(bool skipping);
    double to_double(const char* start);
    [[noreturn]] void invalid_type(std::string_view expected);

    // ---- containers ----
    void open_array();
    bool next_member(bool& first, char close, int* c);
    bool next_element(bool& first, bool skipping);
    template <class Elem>
    void elements(bool first, bool skipping, Elem&& elem);
    bool next_key(bool& first, bool skipping, std::string_view* key);
    void colon();
    void skip_value();

    // ---- typed values ----
    template <class T>
    T in_range(uint64_t v, IntWord word) const {
        if (v > word_max(word)) invalid_value(std::to_string(v), word);
        return static_cast<T>(v);
    }
    template <class T>
    T integer(IntWord word);
    float f32();
    std::optional<uint32_t> optional_u32();
    template <class T, class Elem>
    void sequence(std::vector<T>& out, Elem&& elem);
    template <class T>
    void int_sequence(std::vector<T>& out, IntWord word);
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
};

// ---------------------------------------------------------------------------
// Strings

// After the opening quote, through the closing one. Read: the decoded text,
// which must be valid UTF-8. Skipped: escapes checked for form only, nothing
// decoded, and a control character reported before it rather than after.
std::string_view Reader::string(bool skipping) {
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
            if (!skipping && !json::valid_utf8(text)) error("invalid unicode code point");
            return text;
        }
        if (*p_ != '\\') {
            if (!skipping) ++p_;
            error("control character (\\u0000-\\u001F) found while parsing a string");
        }
        if (!skipping) {
            scratch_.append(start, static_cast<std::size_t>(p_ - start));
            copied = true;
        }
        ++p_;
        escape(skipping ? nullptr : &scratch_);
        start = p_;
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
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else {
            ok = false;
            d = 0;
        }
        v = v * 16 + d;
    }
    p_ += 4;
    if (!ok) error("invalid escape");
    return static_cast<uint16_t>(v);
}

// After a backslash: appends the escaped character to *out, or only checks
// the escape's form when out is null.
void Reader::escape(std::string* out) {
    static constexpr std::string_view kNamed = "\"\\/bfnrt";
    static constexpr std::string_view kMeans = "\"\\/\b\f\n\r\t";
    if (p_ == e_) error("EOF while parsing a string");
    const char c = *p_++;
    if (const std::size_t k = kNamed.find(c); k != std::string_view::npos) {
        if (out) *out += kMeans[k];
        return;
    }
    if (c != 'u') error("invalid escape");
    const uint32_t n = hex4();
    if (!out) return;
    if (n >= 0xDC00 && n <= 0xDFFF) error("lone leading surrogate in hex escape");
    if (n < 0xD800 || n > 0xDBFF) {
        json::append_utf8(*out, n);
        return;
    }
    // A leading surrogate must be followed by an escaped trailing one.
    for (const char want : {'\\', 'u'}) {
        if (p_ == e_) error("EOF while parsing a string");
        if (*p_++ != want) error("unexpected end of hex escape");
    }
    const uint32_t n2 = hex4();
    if (n2 < 0xDC00 || n2 > 0xDFFF) error("lone leading surrogate in hex escape");
    json::append_utf8(*out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
}

// ---------------------------------------------------------------------------
// Numbers

// The fast path of integer reading: at p_, a plain unsigned integer of at
// most 19 digits (so it cannot overflow) that is not followed by more of a
// number. Returns its end and sets *v, or nullptr when the general number
// reader must decide.
const char* Reader::plain_uint(uint64_t* v) const {
    const char* q = p_;
    if (q == e_ || !is_digit(*q)) return nullptr;
    uint64_t x = static_cast<uint64_t>(*q++ - '0');
    if (x != 0)
        while (q < e_ && is_digit(*q) && q - p_ < 19) x = x * 10 + static_cast<uint64_t>(*q++ - '0');
    if (q < e_ && (is_digit(*q) || *q == '.' || *q == 'e' || *q == 'E')) return nullptr;
    *v = x;
    return q;
}

// A number at p_ (a minus sign or a digit). Read: its value, an integer
// beyond 64 bits as a double, "number out of range" when it does not fit a
// double. Skipped: its form only.
Number Reader::number(bool skipping) {
    const char* start = p_;
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == e_) missing_digit(skipping);
    const char c = *p_++;
    uint64_t sig = 0;
    bool wide = false;  // more than 64 bits of integer
    if (c == '0') {
        if (is_digit(peek())) peek_error("invalid number");
    } else if (c >= '1' && c <= '9') {
        sig = static_cast<uint64_t>(c - '0');
        for (; is_digit(peek()); ++p_) {
            const uint64_t d = static_cast<uint64_t>(*p_ - '0');
            if (sig > (UINT64_MAX - d) / 10) wide = true;
            if (!wide) sig = sig * 10 + d;
        }
    } else {
        error("invalid number");
    }
    bool fraction = false, nonzero_fraction = false, exponent = false;
    if (peek() == '.') {
        ++p_;
        fraction = true;
        const char* digits = p_;
        for (; is_digit(peek()); ++p_)
            if (*p_ != '0') nonzero_fraction = true;
        if (p_ == digits) {
            if (p_ < e_) peek_error("invalid number");
            missing_digit(skipping);
        }
    }
    if (peek() == 'e' || peek() == 'E') {
        ++p_;
        exponent = true;
        bool positive_exp = true;
        if (peek() == '+' || peek() == '-') positive_exp = *p_++ == '+';
        if (p_ == e_) missing_digit(skipping);
        const char d = *p_++;
        if (!is_digit(d)) error("invalid number");
        int64_t exp = d - '0';
        while (is_digit(peek())) {
            exp = exp * 10 + (*p_++ - '0');
            if (exp > INT32_MAX) {
                // An exponent beyond 32 bits: a huge value is out of range,
                // a tiny one (or zero) is zero.
                const bool zero = sig == 0 && !wide && !nonzero_fraction;
                if (!skipping && !zero && positive_exp) out_of_range();
                while (is_digit(peek())) ++p_;
            }
        }
    }
    if (skipping) return Number{Number::Kind::U64, 0, 0, 0.0};
    if (wide || fraction || exponent) return Number{Number::Kind::F64, 0, 0, to_double(start)};
    if (!negative) return Number{Number::Kind::U64, sig, 0, 0.0};
    const int64_t neg = static_cast<int64_t>(0 - sig);
    // -0 and integers below the signed 64-bit range read as doubles.
    if (neg >= 0) return Number{Number::Kind::F64, 0, 0, -static_cast<double>(sig)};
    return Number{Number::Kind::I64, 0, neg, 0.0};
}

// The number text [start, p_) as the nearest double; out of range when it
// overflows (an underflow is zero).
double Reader::to_double(const char* start) {
    double v = 0.0;
    const auto res = std::from_chars(start, p_, v);
    if (res.ec == std::errc::result_out_of_range) {
        if (overflows(start)) out_of_range();
        v = *start == '-' ? -0.0 : 0.0;
    }
    return v;
}

[[noreturn]] void Reader::invalid_type(std::string_view expected) {
    std::string found;
    switch (peek()) {
        case 'n':
            ++p_;
            ident("ull");
            found = "null";
            break;
        case 't':
            ++p_;
            ident("rue");
            found = "boolean `true`";
            break;
        case 'f':
            ++p_;
            ident("alse");
            found = "boolean `false`";
            break;
        case '"':
            ++p_;
            found = "string " + json::debug_quote(string(false));
            break;
        case '[':
            found = "sequence";
            break;
        case '{':
            found = "map";
            break;
        default: {
            const int c = peek();
            if (c != '-' && !is_digit(c)) peek_error("expected value");
            const Number n = number(false);
            if (n.kind == Number::Kind::U64)
                found = "integer `" + std::to_string(n.u) + "`";
            else if (n.kind == Number::Kind::I64)
                found = "integer `" + std::to_string(n.i) + "`";
            else
                found = "floating point `" + json::format_f64(n.f) + "`";
        }
    }
    error("invalid type: " + found + ", expected " + std::string(expected));
}

// ---------------------------------------------------------------------------
// Containers, read and skipped alike, counted against the nesting limit.

// At an array where one is required.
void Reader::open_array() {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    if (c != '[') invalid_type("a sequence");
    enter();
    ++p_;
}

// Before each member of an array (close ']') or object (close '}'): false
// at the closing bracket (not consumed); otherwise steps over the comma that
// separates members and sets *c to the next byte.
bool Reader::next_member(bool& first, char close, int* c) {
    const bool list = close == ']';
    *c = skip_ws();
    if (*c == close) return false;
    if (*c == ',' && !first) {
        ++p_;
        *c = skip_ws();
    } else if (*c == kEof) {
        peek_error(list ? "EOF while parsing a list" : "EOF while parsing an object");
    } else if (first) {
        first = false;
    } else {
        peek_error(list ? "expected `,` or `]`" : "expected `,` or `}`");
    }
    return true;
}

// Before each element: false at the closing bracket (not consumed). A comma
// before the bracket is a trailing comma where elements are read; a skipped
// array leaves it to the value reader ("expected value").
bool Reader::next_element(bool& first, bool skipping) {
    int c;
    if (!next_member(first, ']', &c)) return false;
    if (c == ']' && !skipping) peek_error("trailing comma");
    if (c == kEof) peek_error("EOF while parsing a value");
    return true;
}

// The remaining elements of an opened array, each read by elem(), then the
// closing bracket.
template <class Elem>
void Reader::elements(bool first, bool skipping, Elem&& elem) {
    while (next_element(first, skipping)) elem();
    ++p_;  // ']'
    leave();
}

// Before each key: false at the closing brace (not consumed). Read keys are
// decoded into *key; a skipped object reports a comma before the brace as a
// key that is not a string.
bool Reader::next_key(bool& first, bool skipping, std::string_view* key) {
    int c;
    if (!next_member(first, '}', &c)) return false;
    if (c == '"') {
        ++p_;
        const std::string_view text = string(skipping);
        if (key) *key = text;
        return true;
    }
    if (c == '}' && !skipping) peek_error("trailing comma");
    if (c == kEof) peek_error("EOF while parsing a value");
    peek_error("key must be a string");
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

// Well-formed JSON of any shape, not kept.
void Reader::skip_value() {
    const int c = skip_ws();
    switch (c) {
        case kEof:
            peek_error("EOF while parsing a value");
        case 'n':
            ++p_;
            ident("ull");
            return;
        case 't':
            ++p_;
            ident("rue");
            return;
        case 'f':
            ++p_;
            ident("alse");
            return;
        case '"':
            ++p_;
            string(true);
            return;
        case '[':
            enter();
            ++p_;
            elements(true, true, [&] { skip_value(); });
            return;
        case '{': {
            enter();
            ++p_;
            bool first = true;
            while (next_key(first, true, nullptr)) {
                colon();
                skip_value();
            }
            ++p_;  // '}'
            leave();
            return;
        }
        default:
            if (c != '-' && !is_digit(c)) peek_error("expected value");
            number(true);
    }
}

// ---------------------------------------------------------------------------
// Typed values

template <class T>
T Reader::integer(IntWord word) {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    uint64_t v = 0;
    if (const char* end = plain_uint(&v)) {
        p_ = end;
        return in_range<T>(v, word);
    }
    if (c != '-' && !is_digit(c)) invalid_type(word_text(word));
    const Number n = number(false);
    if (n.kind == Number::Kind::U64) return in_range<T>(n.u, word);
    if (n.kind == Number::Kind::I64) invalid_value(std::to_string(n.i), word);
    error("invalid type: floating point `" + json::format_f64(n.f) + "`, expected " + word_text(word));
}

// Any number, rounded to the nearest float: beyond the float range it is an
// infinity, below it zero. Only a number that does not fit a double is out of
// range (number() says so).
float Reader::f32() {
    const int c = skip_ws();
    if (c == kEof) peek_error("EOF while parsing a value");
    if (c != '-' && !is_digit(c)) invalid_type("f32");
    const char* start = p_;
    number(false);
    // The nearest float to the text itself, not to an intermediate double.
    float v = 0.0f;
    const auto res = std::from_chars(start, p_, v);
    if (res.ec == std::errc::result_out_of_range) {
        v = overflows(start) ? HUGE_VALF : 0.0f;
        if (*start == '-') v = -v;
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

template <class T, class Elem>
void Reader::sequence(std::vector<T>& out, Elem&& elem) {
    open_array();
    elements(true, false, [&] { out.push_back(elem()); });
}

// An array of integers. Compact text ("[12,0,345]", plain values in range)
// takes a fast loop; anything else goes back to the separator before it and
// continues on the general path, which gives the exact error.
template <class T>
void Reader::int_sequence(std::vector<T>& out, IntWord word) {
    open_array();
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
    uint64_t v = 0;
    for (const char* q; (q = plain_uint(&v)) != nullptr && q < e_ && (*q == ',' || *q == ']') && v <= max;) {
        out.push_back(static_cast<T>(v));
        first = false;
        p_ = q + 1;
        if (*q == ']') {
            leave();
            return;
        }
    }
    if (!first) --p_;  // back to the comma after the last element read
    elements(first, false, [&] { out.push_back(integer<T>(word)); });
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
            if (!next_element(first, false))
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
    while (next_key(first, false, &key)) {
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
    static constexpr std::array<std::string_view, 7> kFields = {
        "cquant", "n_fine", "dim", "cindex_labels", "n_coarse", "centroid_dists", "idf"};
    record("TwoStageCodebook", kFields, [&](std::size_t i) {
        switch (i) {
            case 0:
                cb.cquant.clear();
                sequence(cb.cquant, [&] { return f32(); });
                break;
            case 1:
                cb.n_fine = integer<uint64_t>(IntWord::Usize);
                break;
            case 2:
                cb.dim = integer<uint64_t>(IntWord::Usize);
                break;
            case 3:
                int_sequence(cb.cindex_labels, IntWord::U32);
                break;
            case 4:
                cb.n_coarse = integer<uint64_t>(IntWord::Usize);
                break;
            case 5:
                sequence(cb.centroid_dists, [&] { return f32(); });
                break;
            case 6:
                sequence(cb.idf, [&] { return f32(); });
                break;
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
            case 0:
                int_sequence(f.codes, IntWord::U16);
                break;
            case 1:
                int_sequence(f.offsets, IntWord::U32);
                break;
            case 2:
                int_sequence(f.lengths, IntWord::U16);
                break;
        }
    });
}

void Reader::state(QorRouterState& s) {
    static constexpr std::array<std::string_view, 6> kFields = {"codebook", "doc_profiles", "doc_ids",
                                                                "postings", "ctop_r",       "flat_codes"};
    record("QorRouterState", kFields, [&](std::size_t i) {
        switch (i) {
            case 0:
                codebook(s.codebook);
                break;
            case 1:
                sequence(s.doc_profiles, [&] {
                    DocProfile d;
                    profile(d);
                    return d;
                });
                break;
            case 2:
                int_sequence(s.doc_ids, IntWord::U64);
                break;
            case 3:
                postings(s.postings);
                break;
            case 4:
                s.ctop_r = integer<uint64_t>(IntWord::Usize);
                break;
            case 5:
                flat_codes(s.flat_codes);
                break;
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
            *error = PersistError{PersistError::Kind::Serialization, f.message, 0, at.line, at.column};
        }
        return std::nullopt;
    }
}

}  // namespace qor

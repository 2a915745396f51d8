#include "state_file/json_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace qor::json {

bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* e = p + s.size();
    while (p < e) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0)
                lo = 0xA0;  // overlong
            else if (c == 0xED)
                hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0)
                lo = 0x90;  // overlong
            else if (c == 0xF4)
                hi = 0x8F;  // above U+10FFFF
        } else {
            return false;
        }
        if (e - p <= extra) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (int k = 2; k <= extra; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        p += extra + 1;
    }
    return true;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string debug_quote(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        uint32_t cp = c;
        if (c == 0xC2 && i + 1 < s.size()) cp = (static_cast<unsigned char>(s[i + 1]) & 0x3Fu) | 0x80u;
        if (c < 0x20 || c == 0x7F || (c == 0xC2 && cp >= 0x80 && cp <= 0x9F)) {
            // C0 and C1 control characters.
            char hex[8];
            const auto r = std::to_chars(hex, hex + sizeof hex, cp, 16);
            out += "\\u{";
            out.append(hex, static_cast<std::size_t>(r.ptr - hex));
            out += '}';
            if (c == 0xC2) ++i;
            continue;
        }
        out += static_cast<char>(c);
    }
    out += '"';
    return out;
}

std::string format_f64(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string out;
    if (std::signbit(v)) out += '-';
    if (v == 0.0) return out + "0.0";
    char sci[40];
    const auto res = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific);
    std::string digits;
    const char* s = sci;
    digits += *s++;
    if (*s == '.')
        for (++s; *s != 'e'; ++s) digits += *s;
    ++s;
    const bool neg = *s++ == '-';
    int g = 0;
    for (; s < res.ptr; ++s) g = g * 10 + (*s - '0');
    if (neg) g = -g;
    const int n = static_cast<int>(digits.size());
    const int kk = g + 1;  // digits before the decimal point
    if (n <= kk && kk <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(kk - n), '0');
        out += ".0";
    } else if (kk > 0 && kk <= 16) {
        out += digits.substr(0, static_cast<std::size_t>(kk));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(kk));
    } else if (kk > -5 && kk <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-kk), '0');
        out += digits;
    } else {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += g < 0 ? "e" : "e+";  // the exponent's sign is always written
        out += std::to_string(g);
    }
    return out;
}

int64_t magnitude_exponent(std::string_view t) {
    std::size_t i = 0;
    if (i < t.size() && t[i] == '-') ++i;
    int64_t position = 0;  // decimal exponent of the digit at i
    bool seen_point = false;
    int64_t int_digits = 0;
    for (std::size_t j = i; j < t.size() && (std::isdigit(static_cast<unsigned char>(t[j])) || t[j] == '.');
         ++j) {
        if (t[j] == '.')
            seen_point = true;
        else if (!seen_point)
            ++int_digits;
    }
    int64_t first = INT64_MIN / 4;  // zero: no non-zero digit
    for (; i < t.size() && (std::isdigit(static_cast<unsigned char>(t[i])) || t[i] == '.'); ++i) {
        if (t[i] == '.') continue;
        if (t[i] != '0') {
            first = int_digits - 1 - position;
            break;
        }
        ++position;
    }
    while (i < t.size() && t[i] != 'e' && t[i] != 'E') ++i;
    int64_t exp = 0;
    if (i < t.size()) {
        ++i;
        bool neg = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
        for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i) {
            exp = exp * 10 + (t[i] - '0');
            if (exp > (int64_t{1} << 40)) exp = int64_t{1} << 40;
        }
        if (neg) exp = -exp;
    }
    if (first == INT64_MIN / 4) return first;
    return first + exp;
}

LineColumn line_column(std::string_view text, std::size_t consumed) {
    if (consumed > text.size()) consumed = text.size();
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* base = text.data();
    const char* p = base;
    const char* end = base + consumed;
    while (p < end) {
        const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (!nl) break;
        ++line;
        p = static_cast<const char*>(nl) + 1;
        line_start = static_cast<std::size_t>(p - base);
    }
    return LineColumn{line, consumed - line_start};
}

}  // namespace qor::json
